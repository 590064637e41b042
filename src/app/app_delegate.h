#pragma once

#include "app/backoff.h"
#include "bridge/bridge.h"
#include "platform/platform.h"

#include <memory>
#include <string>

namespace orvo {

inline constexpr Rect kMainWindowContentRect{0, 0, 1200, 800};
inline constexpr std::string_view kMainWindowTitle = "ORVO";
inline constexpr std::string_view kMainWindowAutosaveName = "OrvoMain";
inline constexpr std::chrono::seconds kStartRequestTimeout{60};

// "https://" + host + "/".
std::string startAddress(std::string_view host);

// The application delegate: runs the launch sequence and owns the main
// window, the web view and the bridge. It answers the web view's policy
// questions.
class AppDelegate : public WebViewPolicyDelegate {
public:
    using Clock = std::chrono::steady_clock;

    explicit AppDelegate(Platform& platform);
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch sequence; runs once, when the platform has finished launching.
    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

    NavigationDecision decidePolicyForNavigation(const NavigationAction& action) override;
    void decidePolicyForNewWindow(const NewWindowAction& action) override;
    PermissionDecision decideMediaCapturePermission(const std::string& originHost,
                                                    MediaCaptureType type) override;
    void webContentProcessDidTerminate() override;
    // The same, at a given moment.
    void webContentProcessDidTerminate(Clock::time_point now);
    void webViewDidFinishLoad(bool succeeded) override;
    // The desktop reports the network reachable again.
    void networkDidBecomeReachable();

    Bridge& bridge() { return bridge_; }

private:
    Platform& platform_;
    // Declared first so that it outlives the window and web view that hold
    // references to it as their handler.
    Bridge bridge_;
    std::shared_ptr<Window> window_;
    std::shared_ptr<WebView> webView_;
    // What the launch loaded, for loading it again after a crash.
    std::optional<Url> startUrl_;

    // Keeping the start page up: a softphone that shows an error page or
    // nothing at all misses calls, so failures and dead page processes are
    // met by loading the start address again. A page that loaded is never
    // interrupted.
    enum class PageState { none, loading, shown, failed, dead };
    void loadStartAddress();
    void reloadIfStillDown();
    PageState pageState_ = PageState::none;
    std::unique_ptr<Timer> reloadTimer_;
    Backoff startRetry_ = kStartPageRetry;
    Backoff processRecovery_ = kPageProcessRecovery;
    std::optional<Clock::time_point> lastProcessDeath_;
    // Tells, when asked, why an address stayed where it was.
    static void explainRefusal(const char* what, const std::optional<Url>& url, const char* why);
    // Navigations and new windows share one hand-over per input event.
    void handOver(const Url& url, std::uint64_t userActivation);
    // The user activation that the last hand-over to the desktop used.
    std::uint64_t consumedActivation_ = 0;
};

} // namespace orvo
