#pragma once

#include "platform/platform.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// The page bridge: receives page messages, owns the status item, answers the
// notification centre and delivers commands into the page. It reaches the
// window and the web view only weakly and does nothing once they are gone.
class Bridge : public ScriptMessageHandler, public NotificationCenterDelegate {
public:
    explicit Bridge(Platform& platform);
    ~Bridge() override;
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    void setWebView(std::weak_ptr<WebView> webView);
    void setWindow(std::weak_ptr<Window> window);
    // Where the stored host is read, afresh for every message and command.
    // Until it is set there is no tenant, and nothing is acted on.
    void setHostSource(std::function<std::optional<std::string>()> loadHost);

    // Brings the main window to the front and activates the application.
    void openWindow(ActivationCause cause = ActivationCause::user);
    void setupStatusItem();
    // Delivers the command into the main frame while it shows the tenant's
    // site; otherwise (another site, no page, no stored host) drops it.
    void deliverCommand(std::string_view commandWord);
    // Acts on messages from frames of the tenant's site only.
    void handleScriptMessage(const ScriptMessage& message);
    // Shows the app's name as the tooltip again, as before the page's first
    // status: for when no page runs.
    void showIdleStatus();

    // ScriptMessageHandler
    void didReceiveScriptMessage(const ScriptMessage& message) override;
    // NotificationCenterDelegate
    void didReceiveNotificationResponse(const std::string& actionIdentifier,
                                        const std::function<void()>& completionHandler) override;

private:
    Platform& platform_;
    std::weak_ptr<WebView> webView_;
    std::weak_ptr<Window> window_;
    std::unique_ptr<StatusItem> statusItem_;
    std::function<std::optional<std::string>()> loadHost_;
};

} // namespace orvo
