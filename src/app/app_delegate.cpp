#include "app/app_delegate.h"

#include "app/address_prompt.h"
#include "app/web_view_policies.h"
#include "bridge/page_bridge_script.h"
#include "bridge/page_messages.h"
#include "host/host_store.h"
#include "notifications/notifications.h"
#include "platform/diagnostics.h"

namespace orvo {

std::string startAddress(std::string_view host) {
    return "https://" + std::string(host) + "/";
}

AppDelegate::AppDelegate(Platform& platform) : platform_(platform), bridge_(platform) {
    bridge_.setHostSource([] { return loadStoredHost(); });
}

AppDelegate::~AppDelegate() {
    platform_.setNetworkReachableHandler({});
    // The notification centre outlives this object; it must not call a
    // bridge that is gone.
    if (window_)
        platform_.notificationCenter().setDelegate(nullptr);
}

void AppDelegate::applicationDidFinishLaunching() {
    std::optional<std::string> host = loadStoredHost();
    if (!host) {
        host = promptForHost(platform_);
        if (!host) {
            platform_.application().terminate();
            return;
        }
        // The launch goes on with the prompted value even if saving fails.
        saveHost(*host);
    }

    window_ = platform_.createWindow(kMainWindowContentRect);
    window_->setTitle(std::string(kMainWindowTitle));
    window_->center();
    window_->setFrameAutosaveName(std::string(kMainWindowAutosaveName));

    WebViewConfiguration configuration;
    configuration.mediaRequiresUserAction = false;
    webView_ = platform_.createWebView(window_->contentBounds(), configuration);
    webView_->setPolicyDelegate(this);

    bridge_.setWebView(webView_);
    bridge_.setWindow(window_);

    webView_->addScriptMessageHandler(bridge_, std::string(kMessageHandlerName));
    webView_->addUserScript(std::string(kPageBridgeScript), UserScriptInjectionTime::atDocumentStart, false);

    bridge_.setupStatusItem();

    NotificationCenter& center = platform_.notificationCenter();
    center.setDelegate(&bridge_);
    center.requestAuthorization();
    registerNotificationCategories(center);

    window_->setContentView(*webView_);
    window_->show();
    platform_.application().bringToFront(ActivationCause::user);

    // A stored host that no URL can be formed from (one holding a space, for
    // instance) leaves the window open with an empty view.
    startUrl_ = platform_.urlFromString(startAddress(*host));
    if (!startUrl_)
        return;
    reloadTimer_ = platform_.createTimer([this] { reloadIfStillDown(); });
    platform_.setNetworkReachableHandler([this] { networkDidBecomeReachable(); });
    loadStartAddress();
}

void AppDelegate::loadStartAddress() {
    if (!webView_ || !startUrl_)
        return;
    pageState_ = PageState::loading;
    webView_->loadRequest(*startUrl_, kStartRequestTimeout);
}

void AppDelegate::reloadIfStillDown() {
    if (pageState_ == PageState::failed || pageState_ == PageState::dead)
        loadStartAddress();
}

NavigationDecision AppDelegate::decidePolicyForNavigation(const NavigationAction& action) {
    const NavigationOutcome outcome = navigationPolicy(action, consumedActivation_);
    if (outcome.handOver && action.url)
        handOver(*action.url, action.userActivation);
    else if (outcome.refusal)
        explainRefusal("navigation", action.url, outcome.refusal);
    return outcome.decision;
}

void AppDelegate::decidePolicyForNewWindow(const NewWindowAction& action) {
    if (const char* refusal = newWindowRefusal(action, consumedActivation_))
        explainRefusal("new window", action.url, refusal);
    else
        handOver(*action.url, action.userActivation);
}

void AppDelegate::explainRefusal(const char* what, const std::optional<Url>& url, const char* why) {
    explain(DiagnosticTopic::navigation, [&] {
        return std::string(what) + " to " + (url ? pageExcerpt(url->text) : std::string("?")) +
               " cancelled: " + why;
    });
}

void AppDelegate::handOver(const Url& url, std::uint64_t userActivation) {
    consumedActivation_ = userActivation;
    platform_.workspace().openURL(url);
}

PermissionDecision AppDelegate::decideMediaCapturePermission(const std::string& originHost,
                                                             MediaCaptureType type) {
    return mediaCapturePolicy(type, originHost, [] { return loadStoredHost(); });
}

void AppDelegate::webContentProcessDidTerminate() {
    webContentProcessDidTerminate(Clock::now());
}

void AppDelegate::webContentProcessDidTerminate(Clock::time_point now) {
    if (!webView_ || !startUrl_ || !reloadTimer_)
        return;
    // Nothing runs the page now; the tooltip must not go on showing the
    // softphone's last status as if it could still take calls.
    bridge_.showIdleStatus();
    pageState_ = PageState::dead;
    if (!lastProcessDeath_ || now - *lastProcessDeath_ >= kPageProcessCalmPeriod)
        processRecovery_.reset();
    lastProcessDeath_ = now;
    const Backoff::Delay delay = processRecovery_.next();
    reloadTimer_->stop();
    if (delay == Backoff::Delay::zero())
        loadStartAddress();
    else
        reloadTimer_->start(delay);
}

void AppDelegate::webViewDidFinishLoad(bool succeeded) {
    if (!reloadTimer_)
        return;
    if (succeeded) {
        pageState_ = PageState::shown;
        startRetry_.reset();
        reloadTimer_->stop();
        return;
    }
    // A dead page waits for its own recovery.
    if (pageState_ == PageState::dead)
        return;
    pageState_ = PageState::failed;
    bridge_.showIdleStatus();
    reloadTimer_->start(startRetry_.next());
}

void AppDelegate::networkDidBecomeReachable() {
    if (pageState_ != PageState::failed || !reloadTimer_)
        return;
    reloadTimer_->stop();
    loadStartAddress();
}

} // namespace orvo
