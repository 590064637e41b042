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

// A bridge wired to a window and a web view on the tenant's page, as the launch leaves it.
class BridgeTest : public ::testing::Test {
protected:
    BridgeTest() {
        bridge.setWindow(window);
        bridge.setWebView(webView);
        bridge.setHostSource([this] { return stored; });
        bridge.setupStatusItem();
        webView->url = kTenant;
        p.log.clear();
    }
    testing::FakePlatform p;
    std::shared_ptr<testing::FakeWindow> window = std::make_shared<testing::FakeWindow>(p.log);
    std::shared_ptr<testing::FakeWebView> webView = std::make_shared<testing::FakeWebView>(p.log);
    std::optional<std::string> stored = "tenant.zandoral.com";
    Bridge bridge{p};
};

// Only frames of the stored host's site (by registrable domain, over https)
// drive the desktop; the stored host is read for every message.
TEST_F(BridgeTest, MessagesCountOnlyFromTheTenantsSite) {
    const std::optional<std::string> tenant = "tenant.zandoral.com";
    const struct {
        std::optional<Url> origin;
        std::optional<std::string> stored;
        bool acted;
    } rows[] = {
        {kTenant, tenant, true},
        {Url{"https://ads.example", "https", "ads.example"}, tenant, false},
        {Url{"http://tenant.zandoral.com", "http", "tenant.zandoral.com"}, tenant, false},
        {std::nullopt, tenant, false},
        {kTenant, "other.example", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE((row.origin ? row.origin->text : "opaque") + " for " + row.stored.value_or("nothing"));
        stored = row.stored;
        p.log.clear();
        for (const char* body : {"orvo-status:x", "orvo-call:Mallory", R"(orvo-notify:{"title":"t"})"})
            bridge.handleScriptMessage({"orvo", body, row.origin});
        // A page's call may only ask for the front: the user may be typing elsewhere.
        const Log acted = {"tooltip ORVO \u2014 x", "post Incoming call|Mallory", "front", "activate page",
                           "post t|"};
        EXPECT_EQ(p.log, row.acted ? acted : Log{});
    }
}

// The user's answers to a notification; the commands go only into a main frame
// that shows the tenant's site.
TEST_F(BridgeTest, NotificationResponsesAndCommands) {
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
freedesktop::NotifyArguments notifyFor(const std::string& text, bool isCall, const Strings& capabilities,
                                       bool categoryRegistered = true) {
    testing::FakePlatform center;
    postNotification(center, text, text, isCall);
    std::vector<NotificationCategory> categories;
    if (categoryRegistered)
        categories.push_back(callCategory());
    return freedesktop::notifyArguments(center.requests.at(0), categories, capabilities, "orvo");
}

// A call is urgent, never expires and offers Answer and Decline where the
// server shows actions and knows the category.
TEST(Notify, ShapeFollowsTheKindAndTheServer) {
    using freedesktop::Urgency;
    const Strings actions = {"body", "actions"};
    const Strings call = {"default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"};
    const Strings click = {"default", "Open ORVO"};
    const freedesktop::NotifyHints ringing{Urgency::critical, "call.incoming", "phone-incoming-call", "orvo"};
    const freedesktop::NotifyHints message{Urgency::normal, "", "message-new-instant", "orvo"};
    const struct {
        bool isCall;
        Strings capabilities;
        bool registered;
        Strings actions;
    } rows[] = {
        {true, actions, true, call},
        // Without the capability not even the click is offered.
        {true, {"body", "body-markup"}, true, {}},
        {true, actions, false, click},
        {false, actions, true, click},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.isCall << " " << row.capabilities.size() << row.registered);
        const auto args = notifyFor("Alice", row.isCall, row.capabilities, row.registered);
        EXPECT_EQ(args.actions, row.actions);
        EXPECT_EQ(args.hints, row.isCall ? ringing : message);
        EXPECT_EQ(args.expireTimeout, row.isCall ? 0 : -1);
    }
}

// The summary is plain text by the protocol; many servers parse the body as
// markup. A D-Bus string ends at NUL; what follows must not be lost.
TEST(Notify, SummaryStaysPlainAndBodyIsEscaped) {
    const struct {
        std::string text, summary, body;
    } rows[] = {
        {"Alice <+1 555 0100>", "Alice <+1 555 0100>", "Alice &lt;+1 555 0100&gt;"},
        {std::string("a\0<", 3), "a\uFFFD<", "a\uFFFD&lt;"},
    };
    for (const auto& row : rows) {
        const auto args = notifyFor(row.text, true, {"actions"});
        EXPECT_EQ(args.summary, row.summary);
        EXPECT_EQ(args.body, row.body);
    }
}

TEST(Notify, OnlyTheOfferedNamedActionsSettleTheNotification) {
    const auto call = notifyFor("Bob", true, {"actions"});
    const auto ordinary = notifyFor("Hi", false, {"actions"});
    const auto plainCall = notifyFor("Bob", true, {});
    const struct {
        const freedesktop::NotifyArguments& posted;
        const char* key;
        bool closes;
    } rows[] = {
        {call, "ANSWER", true},      {call, "DECLINE", true},      {call, "default", false},
        {ordinary, "ANSWER", false}, {plainCall, "ANSWER", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(freedesktop::closesAfterAction(row.posted, row.key), row.closes) << row.key;
}

} // namespace
} // namespace orvo
