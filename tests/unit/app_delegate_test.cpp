#include "app/app_delegate.h"
#include "app/launch_request.h"
#include "app/window_placement.h"

#include "fakes.h"
#include "temp_config_home.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace orvo {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using ::testing::HasSubstr;
using testing::TempConfigHome;

// Where `entry` stands in the log, or -1.
long position(const testing::Log& log, const std::string& entry) {
    const auto it = std::find(log.begin(), log.end(), entry);
    return it == log.end() ? -1 : it - log.begin();
}

class LaunchTest : public ::testing::Test {
protected:
    TempConfigHome config;
    FakePlatform platform;
};

TEST_F(LaunchTest, StoredHostRunsTheWholeSequenceInOrderWithoutPrompt) {
    config.write("host.txt", "tenant.zandoral.com");
    {
        AppDelegate delegate(platform);
        delegate.applicationDidFinishLaunching();
        EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    }
    EXPECT_THAT(platform.log,
                ElementsAre("createWindow 1200x800", "window.setTitle ORVO", "window.center",
                            "window.setFrameAutosaveName OrvoMain", "createWebView 1200x800 autoplay",
                            "webView.setPolicyDelegate", "webView.addScriptMessageHandler orvo",
                            "webView.addUserScript start all", "createStatusItem",
                            "status.setImage phone.circle.fill ORVO", "status.setToolTip ORVO",
                            "status.setMenu", "center.setDelegate", "center.requestAuthorization 7",
                            "center.setNotificationCategories", "window.setContentView", "window.front",
                            "app.activate", "webView.load https://tenant.zandoral.com/ 60",
                            // Teardown leaves the notification centre without a delegate.
                            "center.clearDelegate"));
    EXPECT_TRUE(platform.alerts.empty());
}

TEST_F(LaunchTest, PromptedHostIsSavedBeforeAnyWindowAndLoaded) {
    platform.alertAnswer = {kAlertFirstButtonReturn, "  HTTPS://Acme.Zandoral.COM:444/app?x=1\n"};
    std::optional<std::string> savedWhenTheWindowCame;
    platform.onCreateWindow = [&] { savedWhenTheWindowCame = config.read("host.txt"); };
    // A restored frame gives the content area another size than the default;
    // the web view must take the window's, not the constant's.
    platform.restoredContentBounds = Rect{0, 0, 1000, 640};
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(savedWhenTheWindowCame, "acme.zandoral.com");
    EXPECT_EQ(config.read("host.txt"), "acme.zandoral.com");
    EXPECT_EQ(position(platform.log, "alert"), 0);
    EXPECT_NE(position(platform.log, "createWebView 1000x640 autoplay"), -1);
    EXPECT_NE(position(platform.log, "webView.load https://acme.zandoral.com/ 60"), -1);
    ASSERT_EQ(platform.alerts.size(), 1u);
    const AlertContent& prompt = platform.alerts[0];
    EXPECT_EQ(prompt.messageText, "Connect to your Zandoral instance");
    EXPECT_EQ(prompt.informativeText, "Enter your address, e.g. yourcompany.zandoral.com");
    EXPECT_THAT(prompt.buttonTitles, ElementsAre("Connect", "Quit"));
    EXPECT_EQ(prompt.textFieldFrame, (Rect{0, 0, 280, 24}));
    EXPECT_EQ(prompt.textFieldPlaceholder, "yourcompany.zandoral.com");
}

TEST_F(LaunchTest, NoHostTerminatesWithNothingBuiltOrSaved) {
    struct Case {
        const char* name;
        AlertResult answer;
    } cases[] = {
        {"quit with a valid entry", {kAlertFirstButtonReturn + 1, "acme.zandoral.com"}},
        {"connect with an empty entry", {kAlertFirstButtonReturn, ""}},
        {"connect with a single label", {kAlertFirstButtonReturn, "localhost"}},
        {"connect with a digit in the last label", {kAlertFirstButtonReturn, "acme.zandoral.c0m"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempConfigHome fresh;
        FakePlatform p;
        p.alertAnswer = c.answer;
        {
            AppDelegate delegate(p);
            delegate.applicationDidFinishLaunching();
        }
        EXPECT_THAT(p.log, ElementsAre("alert", "app.terminate"));
        EXPECT_FALSE(fresh.read("host.txt"));
    }
}

TEST_F(LaunchTest, SeededHostNeedsNoPrompt) {
    config.write("seed.txt", "https://seeded.zandoral.com/\n");
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(platform.alerts.empty());
    EXPECT_EQ(config.read("host.txt"), "seeded.zandoral.com");
    EXPECT_NE(position(platform.log, "webView.load https://seeded.zandoral.com/ 60"), -1);
}

TEST_F(LaunchTest, HostThatFormsNoUrlShowsAnEmptyWindow) {
    config.write("host.txt", "my tenant.zandoral.com");
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();
    EXPECT_NE(position(platform.log, "window.front"), -1);
    EXPECT_EQ(std::count_if(platform.log.begin(), platform.log.end(),
                            [](const std::string& e) { return e.starts_with("webView.load"); }),
              0);
}

TEST_F(LaunchTest, QuittingWritesNothing) {
    config.write("host.txt", "HTTPS://Tenant.Zandoral.com/\n");
    {
        AppDelegate delegate(platform);
        delegate.applicationDidFinishLaunching();
        delegate.bridge().handleScriptMessage({"orvo", "orvo-status:Busy"});
    }
    // The stored text is used as it stands and never rewritten.
    EXPECT_EQ(config.read("host.txt"), "HTTPS://Tenant.Zandoral.com/\n");
}

// Each real input hands over at most one address, however many navigations
// its page starts; a later input may hand over again.
TEST_F(LaunchTest, OneHandOverPerUserActivation) {
    AppDelegate delegate(platform);
    const Url mail{"mailto:a@b.example", "mailto", ""};
    struct Step {
        std::optional<Url> url;
        std::uint64_t activation;
        NavigationDecision decision;
        bool handedOver;
    } steps[] = {
        {mail, 0, NavigationDecision::cancel, false},
        {mail, 1, NavigationDecision::cancel, true},
        {mail, 1, NavigationDecision::cancel, false},
        {Url{"https://other.example/", "https", "other.example"}, 1, NavigationDecision::allow, false},
        {Url{"tel:123", "tel", ""}, 1, NavigationDecision::cancel, false},
        {Url{"file:///etc/passwd", "file", ""}, 2, NavigationDecision::cancel, false},
        {Url{"tel:123", "tel", ""}, 2, NavigationDecision::cancel, true},
        {std::nullopt, 3, NavigationDecision::cancel, false},
        {mail, 3, NavigationDecision::cancel, true},
    };
    int index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(index++);
        platform.log.clear();
        const NavigationAction action{step.url, NavigationKind::linkClicked, false, step.activation};
        EXPECT_EQ(delegate.decidePolicyForNavigation(action), step.decision);
        EXPECT_EQ(platform.log.size(), step.handedOver ? 1u : 0u);
        if (step.handedOver) {
            EXPECT_THAT(platform.log[0], HasSubstr(step.url->text));
        }
    }
}

TEST_F(LaunchTest, MicrophoneDecisionReadsTheStoreAfresh) {
    AppDelegate delegate(platform);
    EXPECT_EQ(delegate.decideMediaCapturePermission("tenant.zandoral.com", MediaCaptureType::microphone),
              PermissionDecision::prompt);
    config.write("host.txt", "tenant.zandoral.com");
    EXPECT_EQ(delegate.decideMediaCapturePermission("tenant.zandoral.com", MediaCaptureType::microphone),
              PermissionDecision::grant);
    config.write("host.txt", "other.zandoral.com");
    EXPECT_EQ(delegate.decideMediaCapturePermission("tenant.zandoral.com", MediaCaptureType::microphone),
              PermissionDecision::prompt);
}

TEST(BackoffTest, Schedules) {
    using namespace std::chrono_literals;
    using D = Backoff::Delay;
    const struct {
        const char* name;
        Backoff backoff;
        std::vector<D> delays;
    } cases[] = {
        {"start page", kStartPageRetry, {5s, 10s, 20s, 40s, 60s, 60s, 60s}},
        {"page process", kPageProcessRecovery, {0s, 1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s}},
        {"limit below the first delay", Backoff(10s, 3s, false), {3s, 3s}},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 2; ++round) {
            std::vector<D> got;
            for (std::size_t i = 0; i < c.delays.size(); ++i)
                got.push_back(c.backoff.next());
            EXPECT_EQ(got, c.delays);
            c.backoff.reset();
        }
        // However long it keeps failing, the delay stays at the limit.
        for (int i = 0; i < 1000; ++i)
            c.backoff.next();
        EXPECT_EQ(c.backoff.next(), c.delays.back());
    }
}

// The page is kept up: a failed start load and a dead page process are met
// with loading the start address again, on the backoff schedules, and never
// while a page is shown.
TEST_F(LaunchTest, StartPageIsKeptUp) {
    using namespace std::chrono_literals;
    config.write("host.txt", "tenant.zandoral.com");
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();
    ASSERT_EQ(platform.timers.size(), 1u);
    testing::FakeTimer& timer = *platform.timers[0];
    const std::string load = "webView.load https://tenant.zandoral.com/ 60";
    const auto start = AppDelegate::Clock::time_point{} + 1h;

    enum Event { fail, succeed, fire, reachable, die, status };
    const struct {
        const char* what;
        Event event;
        std::chrono::milliseconds at; // for deaths
        bool loads;
        std::optional<std::chrono::milliseconds> timerAfter;
        const char* toolTip = nullptr;
    } steps[] = {
        {"offline at login", fail, {}, false, 5s, "ORVO"},
        {"retry", fire, {}, true, std::nullopt},
        {"fails again", fail, {}, false, 10s},
        {"a timer that fires while a load is under way", reachable, {}, true, std::nullopt},
        {"fails once more", fail, {}, false, 20s},
        {"page loads", succeed, {}, false, std::nullopt},
        {"a stray firing does not reload a shown page", fire, {}, false, std::nullopt},
        {"network back while the page is shown", reachable, {}, false, std::nullopt},
        {"the page posts a status", status, {}, false, std::nullopt, "ORVO \u2014 Online"},
        {"first death: at once", die, 0s, true, std::nullopt, "ORVO"},
        {"loaded", succeed, {}, false, std::nullopt},
        {"second death within 10 s", die, 3s, false, 1s, "ORVO"},
        {"a failure reported for the dead page waits", fail, {}, false, 1s},
        {"recovery", fire, {}, true, std::nullopt},
        {"third death", die, 6s, false, 2s},
        {"recovery", fire, {}, true, std::nullopt},
        {"the recovery load fails: start page schedule, reset by the success", fail, {}, false, 5s},
        {"network back", reachable, {}, true, std::nullopt},
        {"loaded", succeed, {}, false, std::nullopt},
        {"a death long after the last starts over", die, 10min, true, std::nullopt},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        platform.log.clear();
        switch (step.event) {
        case fail:
            delegate.webViewDidFinishLoad(false);
            break;
        case succeed:
            delegate.webViewDidFinishLoad(true);
            break;
        case fire:
            timer.fire();
            break;
        case reachable:
            platform.networkReachable();
            break;
        case die:
            delegate.webContentProcessDidTerminate(start + step.at);
            break;
        case status:
            delegate.bridge().handleScriptMessage(
                {"orvo", "orvo-status:Online",
                 Url{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"}});
            break;
        }
        EXPECT_EQ(position(platform.log, load) != -1, step.loads);
        EXPECT_EQ(timer.delay, step.timerAfter);
        if (step.toolTip) {
            EXPECT_EQ(platform.statusItem->toolTip, step.toolTip);
        }
    }
}

TEST_F(LaunchTest, CrashWithoutStartAddressLoadsNothing) {
    config.write("host.txt", "my tenant.zandoral.com");
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();
    platform.log.clear();
    delegate.webContentProcessDidTerminate();
    delegate.webViewDidFinishLoad(false);
    EXPECT_TRUE(platform.log.empty());
    EXPECT_TRUE(platform.timers.empty());
}

// A later launch's request to the running instance, judged on the bytes
// received so far: the bare word stays valid, a token rides along when it is
// short printable ASCII without spaces, and anything else ends the talk.
TEST(LaunchRequest, ParseTable) {
    using State = ParsedLaunchRequest::State;
    const std::string longest(kMaxLaunchTokenLength, 'a');
    struct Row {
        std::string received;
        State state;
        std::string token;
    };
    const Row rows[] = {
        {"", State::incomplete, ""},
        {"rai", State::incomplete, ""},
        {"raise", State::incomplete, ""},
        {"raise\n", State::complete, ""},
        {"raise ", State::incomplete, ""},
        {"raise orvo-1234_TIME42", State::incomplete, ""},
        {"raise orvo-1234_TIME42\n", State::complete, "orvo-1234_TIME42"},
        {"raise " + longest + "\n", State::complete, longest},
        {"raise " + longest, State::incomplete, ""},
        {"raise " + longest + "a", State::invalid, ""},
        {"raise \n", State::invalid, ""},
        {"raise  token\n", State::invalid, ""},
        {"raise to ken\n", State::invalid, ""},
        {"raise tok\ten\n", State::invalid, ""},
        {"raise tok\x7f\n", State::invalid, ""},
        {"raise t\xc3\xa9\n", State::invalid, ""},
        {std::string("raise t\0k\n", 10), State::invalid, ""},
        {"raise\nraise\n", State::invalid, ""},
        {"raise token\nx", State::invalid, ""},
        {"raisex", State::invalid, ""},
        {"Raise\n", State::invalid, ""},
        {"hello!\n", State::invalid, ""},
        {std::string(7, '\0'), State::invalid, ""},
    };
    for (const Row& row : rows) {
        const ParsedLaunchRequest parsed = parseLaunchRequest(row.received);
        EXPECT_EQ(parsed.state, row.state) << row.received;
        EXPECT_EQ(parsed.token, row.token) << row.received;
    }

    // What a launch sends is what the instance accepts, and a token that
    // cannot travel leaves a bare raise rather than no raise.
    for (const std::string& token : {std::string("orvo_TIME7"), longest, std::string(), longest + "a",
                                     std::string("with space"), std::string("line\nbreak")}) {
        const ParsedLaunchRequest parsed = parseLaunchRequest(launchRequest(token));
        EXPECT_EQ(parsed.state, State::complete) << token;
        EXPECT_EQ(parsed.token, isValidLaunchToken(token) ? token : "") << token;
    }
    EXPECT_EQ(launchRequest(longest).size(), kMaxLaunchRequestLength);
}

// The 1200x800 content with a frame of 4+4 by 32+4 pixels on common screens,
// their panels taken off the available area.
TEST(WindowPlacement, NewWindowShrinksToTheAvailableAreaAndIsCentred) {
    struct Row {
        const char* screen;
        Rect available;
        FrameMargins margins;
        Rect frame;
    } rows[] = {
        {"1920x1080, no panel", {0, 0, 1920, 1080}, kDefaultFrameMargins, {356, 122, 1208, 836}},
        {"1280x1024 fits", {0, 0, 1280, 1024}, kDefaultFrameMargins, {36, 94, 1208, 836}},
        {"1280x800, top panel 28", {0, 28, 1280, 772}, kDefaultFrameMargins, {36, 28, 1208, 772}},
        {"1366x768, bottom panel 48", {0, 0, 1366, 720}, kDefaultFrameMargins, {79, 0, 1208, 720}},
        {"1024x768, both too small", {0, 0, 1024, 768}, kDefaultFrameMargins, {0, 0, 1024, 768}},
        {"second screen right of the first",
         {1920, 0, 1280, 800},
         kDefaultFrameMargins,
         {1956, 0, 1208, 800}},
        {"screen left of and above the first",
         {-1280, -800, 1280, 800},
         kDefaultFrameMargins,
         {-1244, -800, 1208, 800}},
        {"frame drawn inside the window", {0, 0, 1280, 720}, {}, {40, 0, 1200, 720}},
        {"thick real frame", {0, 0, 1280, 800}, {10, 50, 10, 10}, {30, 0, 1220, 800}},
        {"margins alone exceed the area", {5, 5, 6, 20}, kDefaultFrameMargins, {5, 5, 9, 37}},
        {"no screen known", {}, kDefaultFrameMargins, {0, 0, 1208, 836}},
    };
    for (const Row& row : rows) {
        const Rect frame = placeNewWindow(1200, 800, row.margins, row.available);
        EXPECT_EQ(frame, row.frame) << row.screen << ": got " << frame.x << "," << frame.y << " "
                                    << frame.width << "x" << frame.height;
        // The content never grows beyond what was asked.
        EXPECT_LE(frame.width - row.margins.left - row.margins.right, 1200) << row.screen;
        EXPECT_LE(frame.height - row.margins.top - row.margins.bottom, 800) << row.screen;
    }
}

} // namespace
} // namespace orvo
