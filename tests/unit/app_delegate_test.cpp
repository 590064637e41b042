#include "app/app_delegate.h"
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
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(config.read("host.txt"), "acme.zandoral.com");
    EXPECT_EQ(position(platform.log, "alert"), 0);
    EXPECT_NE(position(platform.log, "webView.load https://acme.zandoral.com/ 60"), -1);
    ASSERT_EQ(platform.alerts.size(), 1u);
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

TEST_F(LaunchTest, NavigationHandsOverOnlyWhatLeavesTheView) {
    AppDelegate delegate(platform);
    struct Case {
        std::optional<Url> url;
        NavigationDecision decision;
        bool handedOver;
    } cases[] = {
        {Url{"https://other.example/", "https", "other.example"}, NavigationDecision::allow, false},
        {std::nullopt, NavigationDecision::allow, false},
        {Url{"mailto:a@b.c", "mailto", ""}, NavigationDecision::cancel, true},
        {Url{"file:///etc/passwd", "file", ""}, NavigationDecision::cancel, false},
    };
    for (const auto& c : cases) {
        platform.log.clear();
        EXPECT_EQ(delegate.decidePolicyForNavigation(c.url), c.decision);
        EXPECT_EQ(platform.log.size(), c.handedOver ? 1u : 0u);
        if (c.handedOver) {
            EXPECT_THAT(platform.log[0], HasSubstr(c.url->text));
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

TEST_F(LaunchTest, CrashedPageIsLoadedAgainButNotInALoop) {
    config.write("host.txt", "tenant.zandoral.com");
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();
    using namespace std::chrono_literals;
    const auto start = ContentCrashRecovery::Clock::time_point{} + 1h;
    struct Step {
        std::chrono::milliseconds at;
        bool reloads;
    } steps[] = {
        {0ms, true},                  // the first crash is recovered
        {9999ms, false},              // dying again right after the recovery: give up
        {20s, true},                  // a crash long after the last recovery is recovered again
        {29s, false},    {30s, true}, // the window counts from the last recovery, not the last crash
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at.count());
        platform.log.clear();
        delegate.webContentProcessDidTerminate(start + step.at);
        EXPECT_EQ(platform.log, step.reloads ? testing::Log{"webView.load https://tenant.zandoral.com/ 60"}
                                             : testing::Log{});
    }
}

TEST_F(LaunchTest, CrashWithoutStartAddressLoadsNothing) {
    config.write("host.txt", "my tenant.zandoral.com");
    AppDelegate delegate(platform);
    delegate.applicationDidFinishLaunching();
    platform.log.clear();
    delegate.webContentProcessDidTerminate();
    EXPECT_TRUE(platform.log.empty());
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
