#include "app/app_delegate.h"

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

} // namespace
} // namespace orvo
