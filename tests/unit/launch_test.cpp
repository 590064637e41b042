#include "app/app_delegate.h"
#include "app/launch_request.h"
#include "app/web_view_policies.h"
#include "app/window_placement.h"

#include "fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace orvo {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;
using testing::Log;
using testing::TempConfigHome;

// A stored host that forms no URL leaves an empty window: failures and crashes
// then have nothing to load, and the end of the launch unhooks the notification
// centre, which outlives it.
TEST(Launch, HostThatFormsNoUrlLoadsNothing) {
    TempConfigHome config;
    config.write("host.txt", "my tenant.zandoral.com");
    FakePlatform p;
    {
        AppDelegate delegate(p);
        delegate.applicationDidFinishLaunching();
        delegate.webViewDidFinishLoad(false);
        delegate.webContentProcessDidTerminate();
    }
    EXPECT_TRUE(std::ranges::none_of(p.log, [](const std::string& e) { return e.starts_with("load"); }));
    EXPECT_EQ(p.log.back(), "no delegate");
}

// Without a stored or seeded host the user is asked; the answer is reduced to
// the host and saved before any window exists, so a crash at start keeps it.
TEST(Launch, PromptedHostIsSavedBeforeTheWindow) {
    TempConfigHome config;
    FakePlatform p;
    p.alertAnswer = {kAlertFirstButtonReturn, " HTTPS://C.Zandoral.COM:444/app?x=1\n"};
    std::optional<std::string> savedAtWindow;
    p.onCreateWindow = [&] { savedAtWindow = config.read("host.txt"); };
    AppDelegate delegate(p);
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(p.alert);
    EXPECT_EQ(p.alert->messageText, "Connect to your Zandoral instance");
    EXPECT_EQ(p.alert->informativeText, "Enter your address, e.g. yourcompany.zandoral.com");
    EXPECT_EQ(p.alert->buttonTitles, (std::vector<std::string>{"Connect", "Quit"}));
    EXPECT_EQ(p.alert->textFieldFrame, (Rect{0, 0, 280, 24}));
    EXPECT_EQ(p.alert->textFieldPlaceholder, "yourcompany.zandoral.com");
    EXPECT_EQ(savedAtWindow, "c.zandoral.com");
    EXPECT_EQ(p.log.back(), "load https://c.zandoral.com/ 60");
}

// Only https and about stay in the view. Anything else is cancelled, and goes
// to the desktop only for a link or form that the user's own input started,
// once per input. New windows never open: their address goes to the desktop
// when the engine saw a gesture, under the same once-per-input rule.
TEST(Launch, NavigationsAndHandOvers) {
    FakePlatform p;
    AppDelegate delegate(p);
    using K = NavigationKind;
    enum class Via { view, newWindow, scriptWindow }; // scriptWindow: no gesture seen by the engine
    const struct {
        const char* url; // nothing: not parsed
        K kind;
        std::uint64_t activation;
        const char* outcome;
        Via via = Via::view;
    } steps[] = {
        {"https://other.example/", K::other, 0, "allow"},
        {"about:blank", K::linkClicked, 1, "allow"},
        {"mailto:a@b.example", K::linkClicked, 0, "cancel"},
        {"mailto:a@b.example", K::linkClicked, 1, "open"},
        {"tel:123", K::linkClicked, 1, "cancel"},
        {"http://x.example/", K::redirect, 2, "cancel"},
        {"smb://host/share", K::formSubmitted, 2, "open"},
        {"file:///etc/passwd", K::linkClicked, 3, "cancel"},
        {nullptr, K::linkClicked, 3, "cancel"},
        {"tel:123", K::linkClicked, 3, "open"},
        {"https://w.example/", K::other, 3, "cancel", Via::newWindow},
        {"https://w.example/", K::other, 4, "cancel", Via::scriptWindow},
        {"https://w.example/", K::other, 4, "open", Via::newWindow},
        {"mailto:a@b.example", K::linkClicked, 4, "cancel"},
        {"about:blank", K::other, 5, "cancel", Via::newWindow},
        {"blob:https://w.example/1", K::other, 5, "cancel", Via::newWindow},
        {nullptr, K::other, 5, "cancel", Via::newWindow},
        {"tel:123", K::other, 5, "open", Via::newWindow},
        {"http://x.example/", K::other, 6, "open", Via::newWindow},
    };
    for (const auto& step : steps) {
        const std::string text = step.url ? step.url : "";
        SCOPED_TRACE(text + " at input " + std::to_string(step.activation));
        std::optional<Url> url;
        if (step.url)
            url = Url{text, text.substr(0, text.find(':')), ""};
        p.log.clear();
        if (step.via == Via::view) {
            const auto decision =
                delegate.decidePolicyForNavigation({url, step.kind, false, step.activation});
            EXPECT_EQ(decision == NavigationDecision::allow, step.outcome == std::string("allow"));
        } else {
            delegate.decidePolicyForNewWindow({url, step.via == Via::newWindow, step.activation});
        }
        EXPECT_EQ(p.log, step.outcome == std::string("open") ? Log{"open " + text} : Log{});
    }
}

// The microphone alone is granted, to the stored host (read afresh each time,
// compared in IDNA form); everything else is the user's to decide.
TEST(Launch, MicrophoneGrantedOnlyToTheStoredHost) {
    using T = MediaCaptureType;
    const struct {
        const char *stored, *origin;
        T type;
        bool granted;
    } rows[] = {
        {"a.zandoral.com", "a.zandoral.com", T::microphone, true},
        {"a.zandoral.com", "a.zandoral.com", T::camera, false},
        {"a.zandoral.com", "a.zandoral.com", T::screen, false},
        {"a.zandoral.com", "b.zandoral.com", T::microphone, false},
        {"b\u00fccher.example", "xn--bcher-kva.example", T::microphone, true},
        {"xn--bcher-kva.example", "b\u00fccher.example", T::microphone, true},
    };
    TempConfigHome config;
    FakePlatform p;
    AppDelegate delegate(p);
    for (const auto& row : rows) {
        config.write("host.txt", row.stored);
        EXPECT_EQ(delegate.decideMediaCapturePermission(row.origin, row.type) == PermissionDecision::grant,
                  row.granted)
            << row.origin << " for " << row.stored;
    }
    // The prompt names the asking site; a port of its own makes it another service.
    EXPECT_EQ(permissionQuestion({"https://w.example", "https", "w.example"}, false, T::camera),
              "w.example wants to use your camera");
    EXPECT_EQ(
        permissionQuestion({"https://w.example:8443", "https", "w.example"}, true, T::cameraAndMicrophone),
        "https://w.example:8443 wants to use your camera and microphone");
    // A screen capture says what is shared: what the user picked, else the whole screen.
    const Url site{"https://w.example", "https", "w.example"};
    EXPECT_EQ(permissionQuestion(site, false, T::screen), "w.example wants to share your whole screen");
    EXPECT_EQ(permissionQuestion(site, false, T::screen, CaptureSource{true, "Notes"}),
              "w.example wants to share the window \u201cNotes\u201d");
}

TEST(Launch, StartPageRetriesDoubleUpToAMinute) {
    Backoff retry = kStartPageRetry;
    std::vector<Backoff::Delay> delays(7);
    std::generate(delays.begin(), delays.end(), [&] { return retry.next(); });
    EXPECT_EQ(delays, (std::vector<Backoff::Delay>{5s, 10s, 20s, 40s, 60s, 60s, 60s}));
}

// The launch from a stored host; then a failed start load and a dead page
// process are met with loading the start address again on the retry
// schedules, and never while a page is shown.
TEST(Launch, StartPageIsKeptUp) {
    TempConfigHome config;
    config.write("host.txt", "tenant.zandoral.com");
    FakePlatform p;
    p.windowBounds = {0, 0, 1000, 640}; // a restored frame: the view takes the window's size
    AppDelegate delegate(p);
    delegate.applicationDidFinishLaunching();
    // The page is loaded last, once the bridge script reaches every frame and
    // everything that answers the page is in place.
    EXPECT_THAT(p.log, ::testing::IsSupersetOf({"webView 1000x640 autoplay", "script start all"}));
    const std::string load = "load https://tenant.zandoral.com/ 60";
    EXPECT_EQ(p.log.back(), load);
    ASSERT_EQ(p.timers.size(), 1u);
    testing::FakeTimer& timer = *p.timers[0];
    const auto start = AppDelegate::Clock::time_point{} + 1h;
    const std::optional<std::chrono::milliseconds> off;
    enum Event { fail, succeed, fire, reachable, die, status };
    const struct {
        const char* what;
        Event event;
        std::chrono::milliseconds at; // of a death
        bool loads;
        std::optional<std::chrono::milliseconds> timerAfter;
        const char* toolTip = nullptr;
    } steps[] = {
        {"offline at login", fail, {}, false, 5s, "ORVO"},
        {"retry", fire, {}, true, off},
        {"fails again", fail, {}, false, 10s},
        {"network back while a load is under way", reachable, {}, true, off},
        {"page loads", succeed, {}, false, off},
        {"a stray firing does not reload a shown page", fire, {}, false, off},
        {"network back while the page is shown", reachable, {}, false, off},
        {"the page posts a status", status, {}, false, off, "ORVO \u2014 Online"},
        {"first death: at once", die, 0s, true, off, "ORVO"},
        {"loaded", succeed, {}, false, off},
        {"second death within 10 s", die, 3s, false, 1s, "ORVO"},
        {"a failure reported for the dead page waits", fail, {}, false, 1s},
        {"recovery", fire, {}, true, off},
        {"the recovery load fails: start page schedule, reset by the success", fail, {}, false, 5s},
        {"a death long after the last starts over", die, 10min, true, off},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        p.log.clear();
        if (step.event == fail || step.event == succeed)
            delegate.webViewDidFinishLoad(step.event == succeed);
        else if (step.event == fire)
            timer.fire();
        else if (step.event == reachable)
            p.networkReachable();
        else if (step.event == die)
            delegate.webContentProcessDidTerminate(start + step.at);
        else
            delegate.bridge().handleScriptMessage(
                {"orvo", "orvo-status:Online", Url{"", "https", "tenant.zandoral.com"}});
        EXPECT_EQ(std::ranges::count(p.log, load), step.loads ? 1 : 0);
        EXPECT_EQ(timer.delay, step.timerAfter);
        if (step.toolTip) {
            EXPECT_EQ(p.statusItem->toolTip, step.toolTip);
        }
    }
}

// A later launch's request to the running instance, judged on the bytes
// received so far: a token rides along only when it is short printable ASCII
// without spaces, and anything else ends the talk.
TEST(Launch, RequestsOfLaterLaunches) {
    using S = ParsedLaunchRequest::State;
    const std::string longest(255, 'a');
    const struct {
        std::string received;
        S state;
        std::string token;
    } rows[] = {
        {"raise", S::incomplete, ""},
        {"raise\n", S::complete, ""},
        {"raise orvo-1234_TIME42", S::incomplete, ""},
        {"raise orvo-1234_TIME42\n", S::complete, "orvo-1234_TIME42"},
        {"raise " + longest + "\n", S::complete, longest},
        {"raise " + longest + "a", S::invalid, ""},
        {"raise \n", S::invalid, ""},
        {"raise to ken\n", S::invalid, ""},
        {std::string("raise t\0k\n", 10), S::invalid, ""},
        {"raise\nraise\n", S::invalid, ""},
        {"raisex", S::invalid, ""},
        // What a launch sends for a token that cannot travel: a bare raise.
        {launchRequest("a b"), S::complete, ""},
        {launchRequest(longest + "a"), S::complete, ""},
    };
    for (const auto& row : rows) {
        const ParsedLaunchRequest parsed = parseLaunchRequest(row.received);
        EXPECT_EQ(parsed.state, row.state) << row.received;
        EXPECT_EQ(parsed.token, row.token) << row.received;
    }
}

// The 1200x800 content, centred in the area panels leave and shrunk where its
// frame would not fit; with no screen at all, at the origin.
TEST(Launch, NewWindowFitsTheAvailableArea) {
    EXPECT_EQ(placeNewWindow(1200, 800, kDefaultFrameMargins, {0, 0, 1366, 720}), (Rect{79, 0, 1208, 720}));
    EXPECT_EQ(placeNewWindow(1200, 800, kDefaultFrameMargins, {}), (Rect{0, 0, 1208, 836}));
}

} // namespace
} // namespace orvo
