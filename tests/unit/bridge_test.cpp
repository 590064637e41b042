#include "bridge/bridge.h"
#include "bridge/page_messages.h"

#include "fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvo {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using testing::Log;

const Url kTenant{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"};

TEST(PageMessages, ParsedByPrefix) {
    const std::optional<PageMessage> none;
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const struct {
        std::optional<std::string> body;
        std::optional<PageMessage> expected;
    } rows[] = {
        {"orvo-status:In a call", StatusMessage{"ORVO \u2014 In a call"}},
        {"orvo-status: x\n", StatusMessage{"ORVO \u2014  x\n"}},
        {"orvo-call:Alice <+1 555 0100>", CallMessage{"Alice <+1 555 0100>"}},
        {"orvo-call:", CallMessage{"Unknown caller"}},
        {R"(orvo-notify:{"title":"T","body":"B","x":1})", NotifyMessage{"T", "B"}},
        {R"(orvo-notify:{"title":5,"body":null})", NotifyMessage{"ORVO", ""}},
        {"orvo-notify: {\"body\":\"b\"} ", NotifyMessage{"ORVO", "b"}},
        {R"(orvo-notify:{"body":"a\u0000b"})", NotifyMessage{"ORVO", "a\0b"s}},
        {"orvo-notify:\xEF\xBB\xBF{\"title\":\"T\"}", NotifyMessage{"T", ""}},
        {"orvo-notify:{\"a\":" + deep + "}", NotifyMessage{"ORVO", ""}},
        {"orvo-notify:" + deep, none},
        {"orvo-notify:[1]", none},
        {"orvo-notify:{", none},
        {"orvo-notify:{\"title\":\"\xed\xa0\x80\"}", none},
        {R"(orvo-notify:{"title":"\ud800"})", none},
        {"orvo-notify:{\"title\":\"T\"}\0garbage"s, none},
        {"ORVO-status:x", none},
        {" orvo-status:x", none},
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
        {Url{"https://cdn.zandoral.com:8443", "https", "cdn.zandoral.com"}, tenant, true},
        {Url{"https://xn--bcher-kva.example", "https", "xn--bcher-kva.example"}, "b\u00fccher.example", true},
        {Url{"https://ads.example", "https", "ads.example"}, tenant, false},
        {Url{"http://tenant.zandoral.com", "http", "tenant.zandoral.com"}, tenant, false},
        {std::nullopt, tenant, false},
        {kTenant, std::nullopt, false},
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
    ASSERT_EQ(p.requests.size(), 6u);
    EXPECT_EQ(p.requests[0].content.categoryIdentifier, "ORVO_CALL");
    EXPECT_EQ(p.requests[1].content.categoryIdentifier, std::nullopt);
    window.reset();
    stored = tenant;
    p.log.clear();
    bridge.handleScriptMessage({"orvo", "orvo-call:", kTenant});
    EXPECT_THAT(p.log, ElementsAre("post Incoming call|Unknown caller", "activate page"));
}

TEST_F(BridgeTest, NotificationResponsesAndCommands) {
    const std::string deliver = "evaluate window.chrome.webview.__deliver('orvo-cmd:";
    const struct {
        std::string action;
        Log effects;
    } responses[] = {
        {"ANSWER", {"front", "activate", deliver + "answer')"}},
        {"DECLINE", {deliver + "decline')"}},
        {"default", {"front", "activate"}},
        {"dismiss", {}},
    };
    int completions = 0;
    for (const auto& row : responses) {
        p.log.clear();
        bridge.didReceiveNotificationResponse(row.action, [&] { ++completions; });
        EXPECT_EQ(p.log, row.effects) << row.action;
    }
    // Commands go only into a main frame that shows the tenant's site.
    const std::optional<std::string> tenant = "tenant.zandoral.com";
    const struct {
        std::optional<Url> url;
        std::optional<std::string> stored;
        bool delivered;
    } pages[] = {
        {Url{"https://login.zandoral.com/", "https", "login.zandoral.com"}, tenant, true},
        {Url{"https://evil.example/", "https", "evil.example"}, tenant, false},
        {Url{"http://tenant.zandoral.com/", "http", "tenant.zandoral.com"}, tenant, false},
        {std::nullopt, tenant, false},
        {kTenant, std::nullopt, false},
    };
    for (const auto& row : pages) {
        webView->url = row.url;
        stored = row.stored;
        p.log.clear();
        bridge.didReceiveNotificationResponse("DECLINE", [&] { ++completions; });
        EXPECT_EQ(p.log.size(), row.delivered ? 1u : 0u) << (row.url ? row.url->text : "no page");
    }
    window.reset();
    webView.reset();
    p.log.clear();
    bridge.didReceiveNotificationResponse("ANSWER", [&] { ++completions; });
    EXPECT_THAT(p.log, ElementsAre("activate"));
    EXPECT_EQ(completions, 10);
}

TEST_F(BridgeTest, StatusMenuOpensAndQuits) {
    const auto& menu = p.statusItem->menu;
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[2].keyEquivalent, "q");
    menu[0].action();
    menu[2].action();
    EXPECT_THAT(p.log, ElementsAre("front", "activate", "terminate"));
}

} // namespace
} // namespace orvo
