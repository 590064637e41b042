#include "bridge/bridge.h"

#include "bridge/page_messages.h"
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

void Bridge::openWindow() {
    if (auto window = window_.lock())
        window->makeKeyAndOrderFront();
    platform_.application().activateIgnoringOtherApps();
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
    if (auto webView = webView_.lock())
        webView->evaluateJavaScript(expression);
}

void Bridge::handleScriptMessage(const ScriptMessage& message) {
    const std::optional<PageMessage> parsed = parsePageMessage(message);
    if (!parsed)
        return;
    std::visit(
        [this](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, StatusMessage>) {
                if (statusItem_ && statusItem_->hasButton())
                    statusItem_->setToolTip(m.toolTip);
            } else if constexpr (std::is_same_v<T, CallMessage>) {
                postNotification(platform_.notificationCenter(), kCallTitle, m.caller, true);
                openWindow();
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
