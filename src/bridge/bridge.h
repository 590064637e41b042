#pragma once

#include "platform/platform.h"

#include <functional>
#include <memory>
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

    // Brings the main window to the front and activates the application.
    void openWindow();
    void setupStatusItem();
    void deliverCommand(std::string_view commandWord);
    void handleScriptMessage(const ScriptMessage& message);
    // Shows the app's name as the tooltip again, as before the page's first
    // status: for when no page runs.
    void showIdleStatus();

    // ScriptMessageHandler
    void didReceiveScriptMessage(const ScriptMessage& message) override;
    // NotificationCenterDelegate
    unsigned willPresentNotification() override;
    void didReceiveNotificationResponse(const std::string& actionIdentifier,
                                        const std::function<void()>& completionHandler) override;

private:
    Platform& platform_;
    std::weak_ptr<WebView> webView_;
    std::weak_ptr<Window> window_;
    std::unique_ptr<StatusItem> statusItem_;
};

} // namespace orvo
