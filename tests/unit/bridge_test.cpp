#include "bridge/bridge.h"

#include "bridge/page_messages.h"
#include "fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvo {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using testing::FakeWebView;
using testing::FakeWindow;

// A bridge wired to a window and a web view, as the launch leaves it.
class BridgeTest : public ::testing::Test {
protected:
    BridgeTest()
        : window(std::make_shared<FakeWindow>(platform.log)),
          webView(std::make_shared<FakeWebView>(platform.log)), bridge(platform) {
        bridge.setWindow(window);
        bridge.setWebView(webView);
        bridge.setHostSource([this] { return storedHost; });
        bridge.setupStatusItem();
        webView->url = Url{"https://tenant.zandoral.com/", "https", "tenant.zandoral.com"};
        platform.log.clear();
    }

    // A message as the tenant's own page posts it.
    static ScriptMessage fromTenant(std::optional<std::string> body, std::string name = "orvo") {
        return {std::move(name), std::move(body),
                Url{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"}};
    }

    FakePlatform platform;
    std::shared_ptr<FakeWindow> window;
    std::shared_ptr<FakeWebView> webView;
    Bridge bridge;
    std::optional<std::string> storedHost = "tenant.zandoral.com";
};

TEST(PageMessages, DispatchAndPayloads) {
    using M = std::optional<PageMessage>;
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::optional<std::string> body;
        M expected;
    } cases[] = {
        {"status", "orvo-status:In a call", StatusMessage{"ORVO \u2014 In a call"}},
        {"empty status ends in a space", "orvo-status:", StatusMessage{"ORVO \u2014 "}},
        {"status payload is kept raw", "orvo-status: x\n", StatusMessage{"ORVO \u2014  x\n"}},
        {"call", "orvo-call:Alice <+1 555 0100>", CallMessage{"Alice <+1 555 0100>"}},
        {"empty call", "orvo-call:", CallMessage{"Unknown caller"}},
        {"blank call is used unchanged", "orvo-call:  ", CallMessage{"  "}},
        {"notify", R"(orvo-notify:{"title":"T","body":"B","x":1})", NotifyMessage{"T", "B"}},
        {"notify empty object", "orvo-notify:{}", NotifyMessage{"ORVO", ""}},
        {"notify wrong types", R"(orvo-notify:{"title":5,"body":null})", NotifyMessage{"ORVO", ""}},
        {"notify empty title", R"(orvo-notify:{"title":""})", NotifyMessage{"", ""}},
        {"notify with blanks", "orvo-notify: {\"body\":\"b\"} ", NotifyMessage{"ORVO", "b"}},
        {"notify array", "orvo-notify:[1]", std::nullopt},
        {"notify bare text", R"(orvo-notify:"x")", std::nullopt},
        {"notify number", "orvo-notify:5", std::nullopt},
        {"notify invalid", "orvo-notify:{", std::nullopt},
        {"notify empty", "orvo-notify:", std::nullopt},
        {"notify invalid UTF-8", "orvo-notify:{\"title\":\"\xed\xa0\x80\"}", std::nullopt},
        {"notify lone surrogate escape", R"(orvo-notify:{"title":"\ud800"})", std::nullopt},
        {"notify object followed by NUL", "orvo-notify:{\"title\":\"T\"}\0garbage"s, std::nullopt},
        {"notify NUL between brackets", "orvo-notify:{}\0}"s, std::nullopt},
        {"notify escaped NUL is kept", R"(orvo-notify:{"body":"a\u0000b"})", NotifyMessage{"ORVO", "a\0b"s}},
        {"notify after a byte order mark", "orvo-notify:\xEF\xBB\xBF{\"title\":\"T\"}",
         NotifyMessage{"T", ""}},
        {"upper-case prefix", "ORVO-status:x", std::nullopt},
        {"leading blank", " orvo-status:x", std::nullopt},
        {"unknown prefix", "orvo-cmd:answer", std::nullopt},
        {"prefix without colon", "orvo-status", std::nullopt},
        {"not text", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parsePageMessage(ScriptMessage{"orvo", c.body}), c.expected);
    }
    EXPECT_EQ(parsePageMessage(ScriptMessage{"other", "orvo-status:x"}), std::nullopt);
}

TEST(PageMessages, DeeplyNestedNotifyIsDroppedNotCrashed) {
    const std::string nested = "orvo-notify:" + std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(parsePageMessage(ScriptMessage{"orvo", nested}), std::nullopt);
    const std::string deepObject =
        "orvo-notify:{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_EQ(parsePageMessage(ScriptMessage{"orvo", deepObject}), PageMessage(NotifyMessage{"ORVO", ""}));
}

TEST(PageMessages, DeliveryExpressionEscapesBackslashesThenApostrophes) {
    EXPECT_EQ(deliveryExpression("answer"), "window.chrome.webview.__deliver('orvo-cmd:answer')");
    EXPECT_EQ(deliveryExpression("a'b"), R"(window.chrome.webview.__deliver('orvo-cmd:a\'b'))");
    EXPECT_EQ(deliveryExpression(R"(a\'b)"), R"(window.chrome.webview.__deliver('orvo-cmd:a\\\'b'))");
}

TEST_F(BridgeTest, StatusSetsToolTip) {
    bridge.handleScriptMessage(fromTenant("orvo-status:In a call"));
    EXPECT_EQ(platform.statusItem->toolTip, "ORVO \u2014 In a call");
}

TEST_F(BridgeTest, StatusWithoutButtonIsIgnored) {
    FakePlatform buttonless;
    buttonless.statusItemHasButton = false;
    Bridge b(buttonless);
    b.setHostSource([] { return std::optional<std::string>("tenant.zandoral.com"); });
    b.handleScriptMessage(fromTenant("orvo-status:x")); // no status item yet
    b.setupStatusItem();
    buttonless.log.clear();
    b.handleScriptMessage(fromTenant("orvo-status:x"));
    EXPECT_TRUE(buttonless.log.empty());
    ASSERT_EQ(buttonless.statusItem->menu.size(), 3u); // the menu is set all the same
}

TEST_F(BridgeTest, CallPostsThenBringsWindowToFront) {
    bridge.handleScriptMessage(fromTenant("orvo-call:Alice"));
    // A page's call may only ask for the front: the user may be typing elsewhere.
    EXPECT_THAT(platform.log,
                ElementsAre("center.add Incoming call|Alice", "window.front", "app.activate page"));
    ASSERT_EQ(platform.center.requests.size(), 1u);
    EXPECT_EQ(platform.center.requests[0].content.categoryIdentifier, "ORVO_CALL");

    window.reset();
    platform.log.clear();
    bridge.handleScriptMessage(fromTenant("orvo-call:"));
    EXPECT_THAT(platform.log, ElementsAre("center.add Incoming call|Unknown caller", "app.activate page"));
}

TEST_F(BridgeTest, NotifyPostsOrdinaryNotificationAndLeavesWindow) {
    bridge.handleScriptMessage(fromTenant(R"(orvo-notify:{"title":"Voicemail","body":"1 new"})"));
    EXPECT_THAT(platform.log, ElementsAre("center.add Voicemail|1 new"));
    EXPECT_FALSE(platform.center.requests[0].content.categoryIdentifier);
}

TEST_F(BridgeTest, IgnoredMessagesHaveNoEffect) {
    for (const char* body : {"ORVO-call:x", " orvo-call:x", "orvo-notify:[]", "hello"})
        bridge.handleScriptMessage(fromTenant(body));
    bridge.handleScriptMessage(fromTenant("orvo-call:x", "other"));
    bridge.handleScriptMessage(fromTenant(std::nullopt));
    EXPECT_TRUE(platform.log.empty());
}

// Only frames of the tenant's site (by registrable domain, over https) drive
// the desktop; the stored host is read for every message.
TEST_F(BridgeTest, MessagesCountOnlyFromTheTenantsSite) {
    struct Case {
        const char* label;
        std::optional<Url> origin;
        std::optional<std::string> stored;
        bool acted;
    } cases[] = {
        {"tenant", Url{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"}, "tenant.zandoral.com",
         true},
        {"same site, other host", Url{"https://cdn.zandoral.com:8443", "https", "cdn.zandoral.com"},
         "tenant.zandoral.com", true},
        {"punycode of a Unicode host", Url{"https://xn--bcher-kva.example", "https", "xn--bcher-kva.example"},
         "b\u00fccher.example", true},
        {"cross-site widget", Url{"https://ads.example", "https", "ads.example"}, "tenant.zandoral.com",
         false},
        {"look-alike suffix", Url{"https://zandoral.com.evil.example", "https", "zandoral.com.evil.example"},
         "tenant.zandoral.com", false},
        {"plain http of the tenant", Url{"http://tenant.zandoral.com", "http", "tenant.zandoral.com"},
         "tenant.zandoral.com", false},
        {"opaque origin (sandboxed frame)", std::nullopt, "tenant.zandoral.com", false},
        {"no stored host", Url{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"}, std::nullopt,
         false},
        {"stored host changed meanwhile", Url{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"},
         "other.example", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        storedHost = c.stored;
        platform.log.clear();
        platform.center.requests.clear();
        for (const char* body : {"orvo-status:x", "orvo-call:Mallory", R"(orvo-notify:{"title":"t"})"})
            bridge.handleScriptMessage(ScriptMessage{"orvo", body, c.origin});
        EXPECT_EQ(platform.center.requests.size(), c.acted ? 2u : 0u);
        EXPECT_EQ(platform.log.empty(), !c.acted);
    }
}

// Commands go only into a main frame that shows the tenant's site.
TEST_F(BridgeTest, CommandsReachOnlyATenantMainFrame) {
    struct Case {
        const char* label;
        std::optional<Url> url;
        std::optional<std::string> stored;
        bool delivered;
    } cases[] = {
        {"tenant page", Url{"https://tenant.zandoral.com/app", "https", "tenant.zandoral.com"},
         "tenant.zandoral.com", true},
        {"same-site page", Url{"https://login.zandoral.com/", "https", "login.zandoral.com"},
         "tenant.zandoral.com", true},
        {"foreign site", Url{"https://evil.example/", "https", "evil.example"}, "tenant.zandoral.com", false},
        {"tenant over http", Url{"http://tenant.zandoral.com/", "http", "tenant.zandoral.com"},
         "tenant.zandoral.com", false},
        {"blank page", Url{"about:blank", "about", ""}, "tenant.zandoral.com", false},
        {"no page yet", std::nullopt, "tenant.zandoral.com", false},
        {"no stored host", Url{"https://tenant.zandoral.com/", "https", "tenant.zandoral.com"}, std::nullopt,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        webView->url = c.url;
        storedHost = c.stored;
        platform.log.clear();
        int completions = 0;
        bridge.didReceiveNotificationResponse("DECLINE", [&] { ++completions; });
        EXPECT_EQ(platform.log.size(), c.delivered ? 1u : 0u);
        EXPECT_EQ(completions, 1);
    }
}

TEST_F(BridgeTest, ResponsesTable) {
    struct Case {
        std::string action;
        std::vector<std::string> expected;
    } cases[] = {
        {"ANSWER",
         {"window.front", "app.activate",
          "webView.evaluate window.chrome.webview.__deliver('orvo-cmd:answer')"}},
        {"DECLINE", {"webView.evaluate window.chrome.webview.__deliver('orvo-cmd:decline')"}},
        {"default", {"window.front", "app.activate"}},
        {"dismiss", {}},
        {"answer", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        platform.log.clear();
        int completions = 0;
        bridge.didReceiveNotificationResponse(c.action, [&] { ++completions; });
        EXPECT_EQ(platform.log, c.expected);
        EXPECT_EQ(completions, 1);
    }
    EXPECT_EQ(bridge.willPresentNotification(), 18u);
}

TEST_F(BridgeTest, ResponsesAfterWindowAndWebViewAreGone) {
    window.reset();
    webView.reset();
    int completions = 0;
    bridge.didReceiveNotificationResponse("ANSWER", [&] { ++completions; });
    bridge.didReceiveNotificationResponse("DECLINE", [&] { ++completions; });
    EXPECT_THAT(platform.log, ElementsAre("app.activate"));
    EXPECT_EQ(completions, 2);
}

TEST_F(BridgeTest, StatusMenuOpensAndQuits) {
    auto& menu = platform.statusItem->menu;
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[0].title, "Open ORVO");
    EXPECT_TRUE(menu[1].separator);
    EXPECT_EQ(menu[2].title, "Quit");
    EXPECT_EQ(menu[2].keyEquivalent, "q");
    menu[0].action();
    menu[2].action();
    EXPECT_THAT(platform.log, ElementsAre("window.front", "app.activate", "app.terminate"));
}

} // namespace
} // namespace orvo
