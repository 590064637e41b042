#include "bridge/bridge.h"

#include "bridge/page_messages.h"
#include "host/site_rule.h"
#include "notifications/notifications.h"
#include "platform/diagnostics.h"

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
        window->show();
    platform_.application().bringToFront(cause);
}

void Bridge::setupStatusItem() {
    std::unique_ptr<StatusItem> item = platform_.createStatusItem();
    if (!item)
        return;
    item->setImage("phone.circle.fill", "ORVO");
    item->setToolTip("ORVO");
    std::vector<MenuItem> menu;
    menu.push_back(MenuItem{"Open ORVO", [this] { openWindow(); }, "", false});
    menu.push_back(MenuItem::separatorItem());
    menu.push_back(MenuItem{"Quit", [this] { platform_.application().terminate(); }, "q", false});
    item->setMenu(std::move(menu));
    statusItem_ = std::move(item);
}

void Bridge::showIdleStatus() {
    if (statusItem_)
        statusItem_->setToolTip("ORVO");
}

void Bridge::deliverCommand(std::string_view commandWord) {
    const std::string expression = deliveryExpression(commandWord);
    auto webView = webView_.lock();
    // A command answers the tenant's call; another site that the view has
    // been taken to must not learn of it, let alone act on it.
    if (!webView)
        return;
    const std::optional<Url> page = webView->mainFrameUrl();
    if (loadHost_ && isTenantSite(page, loadHost_())) {
        webView->evaluateJavaScript(expression);
        return;
    }
    explain(DiagnosticTopic::bridge, [&] {
        return "command " + std::string(commandWord) + " not delivered: the window shows " +
               (page ? page->text : std::string("no page")) + ", not the tenant's site";
    });
}

void Bridge::handleScriptMessage(const ScriptMessage& message) {
    const std::optional<PageMessage> parsed = parsePageMessage(message);
    if (!parsed) {
        explain(DiagnosticTopic::bridge, [&] {
            return "page message dropped: handler " + pageExcerpt(message.name) +
                   (message.body ? ", no known prefix or a malformed payload: " + pageExcerpt(*message.body)
                                 : ", a body that is not text");
        });
        return;
    }
    // Only the tenant's own site drives the desktop; frames of other sites
    // that its page embeds (widgets, ads) are ignored.
    if (!loadHost_ || !isTenantSite(message.frameOrigin, loadHost_())) {
        explain(DiagnosticTopic::bridge, [&] {
            return "page message dropped: posted by " +
                   (message.frameOrigin ? message.frameOrigin->text : std::string("an opaque origin")) +
                   ", not an https frame of the tenant's site";
        });
        return;
    }
    std::visit(
        [this](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, StatusMessage>) {
                if (statusItem_)
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
