#include "bridge/bridge.h"
#include "bridge/page_messages.h"
#include "notifications/freedesktop.h"
#include "notifications/notification_sounds.h"
#include "notifications/notifications.h"
#include "platform/diagnostics.h"

#include "fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvo {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using testing::Log;
using Strings = std::vector<std::string>;

const Url kTenant{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"};

TEST(PageMessages, ParsedByPrefix) {
    const std::optional<PageMessage> none;
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const struct {
        std::optional<std::string> body;
        std::optional<PageMessage> expected;
    } rows[] = {
        {"orvo-status:In a call", StatusMessage{"ORVO \u2014 In a call"}},
        {"orvo-call:", CallMessage{"Unknown caller"}},
        {R"(orvo-notify:{"title":"T","body":"B","x":1})", NotifyMessage{"T", "B"}},
        {R"(orvo-notify:{"title":5,"body":null})", NotifyMessage{"ORVO", ""}},
        {"orvo-notify:{\"a\":" + deep + "}", NotifyMessage{"ORVO", ""}},
        {R"(orvo-notify:{"title":"\ud800"})", none},
        {"orvo-notify:{\"title\":\"T\"}\0garbage"s, none},
        {"ORVO-status:x", none},
        {std::nullopt, none},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.value_or("no text").substr(0, 60));
        EXPECT_EQ(parsePageMessage({"orvo", row.body}), row.expected);
    }
    EXPECT_EQ(parsePageMessage({"other", "orvo-status:x"}), none);
}

TEST(PageMessages, CommandsAreEscapedForTheScript) {
    EXPECT_EQ(deliveryExpression("answer"), "window.chrome.webview.__deliver('orvo-cmd:answer')");
    EXPECT_EQ(deliveryExpression(R"(a\'b)"), R"(window.chrome.webview.__deliver('orvo-cmd:a\\\'b'))");
}

// The user's answers to a notification. Commands go only into a main frame
// that shows the tenant's site, and a window or view that is gone is no fault.
TEST(Bridge, NotificationResponsesAndCommands) {
    testing::FakePlatform p;
    auto window = std::make_shared<testing::FakeWindow>(p.log);
    auto webView = std::make_shared<testing::FakeWebView>(p.log);
    Bridge bridge{p};
    bridge.setWindow(window);
    bridge.setWebView(webView);
    bridge.setHostSource([] { return std::optional<std::string>("tenant.zandoral.com"); });
    const std::string deliver = "evaluate window.chrome.webview.__deliver('orvo-cmd:";
    const Url evil{"https://evil.example/", "https", "evil.example"};
    const struct {
        std::string action;
        std::optional<Url> page;
        Log effects;
    } rows[] = {
        {"ANSWER", kTenant, {"front", "activate", deliver + "answer')"}},
        {"DECLINE", kTenant, {deliver + "decline')"}},
        {"default", kTenant, {"front", "activate"}},
        {"dismiss", kTenant, {}},
        {"DECLINE",
         Url{"https://login.zandoral.com/", "https", "login.zandoral.com"},
         {deliver + "decline')"}},
        {"ANSWER", evil, {"front", "activate"}},
        {"DECLINE", std::nullopt, {}},
    };
    int completions = 0;
    for (const auto& row : rows) {
        webView->url = row.page;
        p.log.clear();
        bridge.didReceiveNotificationResponse(row.action, [&] { ++completions; });
        EXPECT_EQ(p.log, row.effects) << row.action << " on " << (row.page ? row.page->text : "no page");
    }
    window.reset();
    webView.reset();
    p.log.clear();
    bridge.didReceiveNotificationResponse("ANSWER", [&] { ++completions; });
    EXPECT_THAT(p.log, ElementsAre("activate"));
    EXPECT_EQ(completions, 8);
}

// Dropped input is explained only to a listener, with at most 80 characters
// of the page's text, cut between characters and escaped.
TEST(Diagnostics, DropsExplainedWithAnExcerptOfThePage) {
    struct Sink : DiagnosticSink {
        bool wants(DiagnosticTopic topic) const override { return topic == DiagnosticTopic::bridge; }
        void write(DiagnosticTopic, const std::string& line) override { lines.push_back(line); }
        Strings lines;
    } sink;
    testing::FakePlatform p;
    Bridge bridge{p};
    bridge.setHostSource([] { return std::optional<std::string>("tenant.zandoral.com"); });
    const Url evil{"https://evil.example", "https", "evil.example"};
    bridge.handleScriptMessage({"orvo", "orvo-call:Mallory", evil});
    installDiagnosticSink(&sink);
    bridge.handleScriptMessage({"orvo", "orvo-call:Mallory", evil});
    bridge.handleScriptMessage({"orvo", "orvo-nope:" + std::string(100, 'x'), kTenant});
    installDiagnosticSink(nullptr);
    EXPECT_THAT(sink.lines,
                ElementsAre(::testing::HasSubstr("https://evil.example, not an https frame"),
                            ::testing::HasSubstr("\"orvo-nope:" + std::string(70, 'x') + "\"\u2026")));
    EXPECT_EQ(pageExcerpt("a\nb\xff"), "\"a\\nb\xef\xbf\xbd\"");
    EXPECT_EQ(pageExcerpt(std::string(79, 'x') + "\u00e9\u00e9"),
              "\"" + std::string(79, 'x') + "\u00e9\"\u2026");
}

// The Notify call for a notification exactly as the shell posts it.
freedesktop::NotifyArguments notifyFor(const std::string& text, bool isCall, const Strings& capabilities) {
    testing::FakePlatform center;
    postNotification(center, text, text, isCall);
    return freedesktop::notifyArguments(center.requests.at(0), {callCategory()}, capabilities, "orvo");
}

// A call is urgent, never expires, and offers Answer and Decline where the
// server shows actions; only those two settle it, and only what was offered
// counts as an answer. The summary is plain text by the protocol; the body is
// markup only for a server that reads markup (with entities all servers
// know), and goes as written to any other. The server is asked to stay quiet
// where the shell plays the sound.
TEST(Notify, ShapeFollowsTheKindAndTheServer) {
    using freedesktop::Urgency;
    const Strings call = {"default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"};
    const std::string text = R"(O'Brien <+1 555> & "Co")";
    const struct {
        bool isCall;
        Strings capabilities, actions;
        std::string body;
    } rows[] = {
        {true, {"body", "actions"}, call, text},
        {true, {"body", "body-markup", "sound"}, {}, "O&apos;Brien &lt;+1 555&gt; &amp; &quot;Co&quot;"},
        {false, {"body", "actions"}, {"default", "Open ORVO"}, text},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.isCall << " " << row.capabilities.back());
        const auto args = notifyFor(text, row.isCall, row.capabilities);
        const bool quiet = row.capabilities.back() != "sound";
        const freedesktop::NotifyHints ringing{Urgency::critical, "call.incoming", "phone-incoming-call",
                                               "orvo", quiet};
        const freedesktop::NotifyHints message{Urgency::normal, "", "message-new-instant", "orvo", quiet};
        EXPECT_EQ(args.summary, text);
        EXPECT_EQ(args.body, row.body);
        EXPECT_EQ(args.actions, row.actions);
        EXPECT_EQ(args.hints, row.isCall ? ringing : message);
        EXPECT_EQ(args.expireTimeout, row.isCall ? 0 : -1);
        for (const std::string key : {"ANSWER", "DECLINE"}) {
            EXPECT_EQ(freedesktop::offersAction(args, key), row.actions == call) << key;
            EXPECT_EQ(freedesktop::closesAfterAction(args, key), row.actions == call) << key;
        }
        EXPECT_EQ(freedesktop::offersAction(args, "default"), !row.actions.empty());
        EXPECT_FALSE(freedesktop::closesAfterAction(args, "default"));
        EXPECT_FALSE(freedesktop::offersAction(args, "Answer"));
    }
    // A D-Bus string ends at NUL; what follows must not be lost.
    EXPECT_EQ(notifyFor(std::string("a\0<", 3), true, {}).body, "a\uFFFD<");
    EXPECT_EQ(notifyFor(std::string("a\0<", 3), true, {"body-markup"}).body, "a\uFFFD&lt;");
}

// The shell sounds a notification only where the server plays no sound, and
// stops it once the notification is answered or closed, or its server gone.
TEST(Notify, SoundsWhereTheServerIsSilentUntilSettled) {
    const struct {
        Strings capabilities;
        bool isCall, answered;
        Log effects;
    } rows[] = {
        {{"actions"}, true, true, {"play 1 phone-incoming-call|Incoming call", "cancel 1"}},
        {{}, true, false, {"play 1 phone-incoming-call|Incoming call", "cancel 1"}},
        {{"actions"}, false, true, {"play 1 message-new-instant|Lunch", "cancel 1"}},
        {{"body"}, false, false, {"play 1 message-new-instant|Lunch", "cancel 1"}},
        {{"actions", "sound"}, true, true, {}},
        {{"sound"}, false, false, {}},
    };
    for (const auto& row : rows) {
        testing::FakePlatform center;
        Log log;
        testing::FakeSoundPlayer player{log};
        freedesktop::NotificationSounds sounds{player};
        postNotification(center, row.isCall ? "Incoming call" : "Lunch", "Alice", row.isCall);
        const std::string id = center.requests.at(0).identifier;
        sounds.posted(center.requests.at(0), row.capabilities);
        sounds.closed("another");
        row.answered ? sounds.answered(id) : sounds.closed(id);
        // Settled once: the server's later close finds nothing to stop.
        sounds.closed(id);
        EXPECT_EQ(log, row.effects) << row.isCall << row.answered << " " << row.capabilities.size();
    }
    // A server that goes, or ORVO quitting, silences everything.
    testing::FakePlatform center;
    Log log;
    testing::FakeSoundPlayer player{log};
    {
        freedesktop::NotificationSounds sounds{player};
        for (const bool isCall : {true, false, true}) {
            postNotification(center, "T", "B", isCall);
            sounds.posted(center.requests.back(), {});
            if (center.requests.size() == 2)
                sounds.serverGone();
        }
    }
    EXPECT_THAT(log, ElementsAre("play 1 phone-incoming-call|T", "play 2 message-new-instant|T", "cancel 1",
                                 "cancel 2", "play 3 phone-incoming-call|T", "cancel 3"));
}

} // namespace
} // namespace orvo
