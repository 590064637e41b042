#include "bridge/bridge.h"

#include "bridge/page_messages.h"
#include "host/site_rule.h"
#include "notifications/notifications.h"

#include <type_traits>

namespace orvo {

Bridge::Bridge(Platform& platform) : platform_(platform) {}

Bridge::~Bridge() = default;

void Bridge::setWebView(std::weak_ptr<WebView> webView) {
    webView_ = std::move(webView);
}

void Bridge::setWindow(std::weak_ptr<Window> window) {
    window_ = std::move(window);
}

void Bridge::setHostSource(std::function<std::optional<std::string>()> loadHost) {
    loadHost_ = std::move(loadHost);
}

void Bridge::openWindow(ActivationCause cause) {
    if (auto window = window_.lock())
        window->makeKeyAndOrderFront();
    platform_.application().activateIgnoringOtherApps(cause);
}

void Bridge::setupStatusItem() {
    std::unique_ptr<StatusItem> item = platform_.createStatusItem();
    if (!item)
        return;
    if (item->hasButton()) {
        item->setImage("phone.circle.fill", "ORVO");
        item->setToolTip("ORVO");
    }
    std::vector<MenuItem> menu;
    menu.push_back(MenuItem{"Open ORVO", [this] { openWindow(); }, "", false});
    menu.push_back(MenuItem::separatorItem());
    menu.push_back(MenuItem{"Quit", [this] { platform_.application().terminate(); }, "q", false});
    item->setMenu(std::move(menu));
    statusItem_ = std::move(item);
}

void Bridge::showIdleStatus() {
    if (statusItem_ && statusItem_->hasButton())
        statusItem_->setToolTip("ORVO");
}

void Bridge::deliverCommand(std::string_view commandWord) {
    const std::string expression = deliveryExpression(commandWord);
    auto webView = webView_.lock();
    // A command answers the tenant's call; another site that the view has
    // been taken to must not learn of it, let alone act on it.
    if (webView && loadHost_ && isTenantSite(webView->mainFrameUrl(), loadHost_()))
        webView->evaluateJavaScript(expression);
}

void Bridge::handleScriptMessage(const ScriptMessage& message) {
    const std::optional<PageMessage> parsed = parsePageMessage(message);
    // Only the tenant's own site drives the desktop; frames of other sites
    // that its page embeds (widgets, ads) are silently ignored.
    if (!parsed || !loadHost_ || !isTenantSite(message.frameOrigin, loadHost_()))
        return;
    std::visit(
        [this](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, StatusMessage>) {
                if (statusItem_ && statusItem_->hasButton())
                    statusItem_->setToolTip(m.toolTip);
            } else if constexpr (std::is_same_v<T, CallMessage>) {
                postNotification(platform_.notificationCenter(), kCallTitle, m.caller, true);
                openWindow(ActivationCause::page);
            } else {
                postNotification(platform_.notificationCenter(), m.title, m.body, false);
            }
        },
        *parsed);
}

void Bridge::didReceiveScriptMessage(const ScriptMessage& message) {
    handleScriptMessage(message);
}

unsigned Bridge::willPresentNotification() {
    return kPresentationOptions;
}

void Bridge::didReceiveNotificationResponse(const std::string& actionIdentifier,
                                            const std::function<void()>& completionHandler) {
    if (actionIdentifier == kAnswerActionIdentifier) {
        openWindow();
        deliverCommand("answer");
    } else if (actionIdentifier == kDeclineActionIdentifier) {
        deliverCommand("decline");
    } else if (actionIdentifier == kNotificationDefaultActionIdentifier) {
        openWindow();
    }
    if (completionHandler)
        completionHandler();
}

} // namespace orvo
