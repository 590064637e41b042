#include "bridge/bridge.h"
#include "bridge/page_messages.h"
#include "notifications/freedesktop.h"
#include "notifications/notifications.h"

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

// The Notify call for a notification exactly as the shell posts it.
freedesktop::NotifyArguments notifyFor(const std::string& text, bool isCall, const Strings& capabilities) {
    testing::FakePlatform center;
    postNotification(center, text, text, isCall);
    return freedesktop::notifyArguments(center.requests.at(0), {callCategory()}, capabilities, "orvo");
}

// A call is urgent, never expires, and offers Answer and Decline where the
// server shows actions; only those two settle it. The summary is plain text
// by the protocol, while many servers parse the body as markup.
TEST(Notify, ShapeFollowsTheKindAndTheServer) {
    using freedesktop::Urgency;
    const Strings call = {"default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"};
    const freedesktop::NotifyHints ringing{Urgency::critical, "call.incoming", "phone-incoming-call", "orvo"};
    const freedesktop::NotifyHints message{Urgency::normal, "", "message-new-instant", "orvo"};
    const struct {
        bool isCall;
        Strings capabilities, actions;
    } rows[] = {
        {true, {"body", "actions"}, call},
        {true, {"body", "body-markup"}, {}},
        {false, {"body", "actions"}, {"default", "Open ORVO"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.isCall << " " << row.capabilities.back());
        const auto args = notifyFor("Alice <+1 555 0100>", row.isCall, row.capabilities);
        EXPECT_EQ(args.summary, "Alice <+1 555 0100>");
        EXPECT_EQ(args.body, "Alice &lt;+1 555 0100&gt;");
        EXPECT_EQ(args.actions, row.actions);
        EXPECT_EQ(args.hints, row.isCall ? ringing : message);
        EXPECT_EQ(args.expireTimeout, row.isCall ? 0 : -1);
        EXPECT_EQ(freedesktop::closesAfterAction(args, "ANSWER"), row.actions == call);
        EXPECT_EQ(freedesktop::closesAfterAction(args, "DECLINE"), row.actions == call);
        EXPECT_FALSE(freedesktop::closesAfterAction(args, "default"));
    }
    // A D-Bus string ends at NUL; what follows must not be lost.
    const auto cut = notifyFor(std::string("a\0<", 3), true, {});
    EXPECT_EQ(cut.summary, "a\uFFFD<");
    EXPECT_EQ(cut.body, "a\uFFFD&lt;");
}

} // namespace
} // namespace orvo
