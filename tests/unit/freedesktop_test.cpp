// The translation of the shell's notifications into freedesktop Notify calls
// and of the server's action keys back into action identifiers.
#include "notifications/freedesktop.h"
#include "notifications/notifications.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace orvo::freedesktop {
namespace {

using Strings = std::vector<std::string>;

// The request exactly as the shell posts it.
NotificationRequest posted(std::string_view title, std::string_view body, bool isCall) {
    testing::Log log;
    testing::FakeNotificationCenter center(log);
    postNotification(center, title, body, isCall);
    return center.requests.at(0);
}

const Strings kWithActions = {"body", "actions", "persistence"};
const Strings kWithoutActions = {"body", "body-markup"};

struct ShapeCase {
    const char* name;
    bool isCall;
    Strings capabilities;
    bool categoryRegistered;
    Strings actions;
    Urgency urgency;
    std::string hintCategory;
    std::string soundName;
    std::int32_t expireTimeout;
};

// Cases print as their names; the default would dump their bytes.
void PrintTo(const ShapeCase& c, std::ostream* out) {
    *out << c.name;
}

class NotifyShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(NotifyShape, MatchesTheKindAndTheServer) {
    const ShapeCase& c = GetParam();
    const std::vector<NotificationCategory> categories =
        c.categoryRegistered ? std::vector<NotificationCategory>{callCategory()}
                             : std::vector<NotificationCategory>{};
    const NotificationRequest request = posted(c.isCall ? "Incoming call" : "Lunch", "Alice", c.isCall);

    const NotifyArguments args = notifyArguments(request, categories, c.capabilities, "orvo");

    EXPECT_EQ(args.appName, "ORVO");
    EXPECT_EQ(args.replacesId, 0u);
    EXPECT_EQ(args.appIcon, "orvo");
    EXPECT_EQ(args.summary, request.content.title);
    EXPECT_EQ(args.body, "Alice");
    EXPECT_EQ(args.actions, c.actions);
    EXPECT_EQ(args.hints.urgency, c.urgency);
    EXPECT_EQ(args.hints.category, c.hintCategory);
    EXPECT_EQ(args.hints.soundName, c.soundName);
    EXPECT_EQ(args.hints.desktopEntry, "orvo");
    EXPECT_EQ(args.expireTimeout, c.expireTimeout);
}

const Strings kCallActions = {"default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"};
const Strings kClickOnly = {"default", "Open ORVO"};
const Strings kNoActions;
const Strings kUnknownServer; // no answer from the server: the plainest shape

INSTANTIATE_TEST_SUITE_P(
    Kinds, NotifyShape,
    ::testing::Values(ShapeCase{"CallWithActions", true, kWithActions, true, kCallActions, Urgency::critical,
                                "call.incoming", "phone-incoming-call", 0},
                      // Without the capability not even the click is offered.
                      ShapeCase{"CallWithoutActions", true, kWithoutActions, true, kNoActions,
                                Urgency::critical, "call.incoming", "phone-incoming-call", 0},
                      ShapeCase{"CallUnknownServer", true, kUnknownServer, true, kNoActions,
                                Urgency::critical, "call.incoming", "phone-incoming-call", 0},
                      // A category that was never registered brings no actions of its own.
                      ShapeCase{"CallUnregisteredCategory", true, kWithActions, false, kClickOnly,
                                Urgency::critical, "call.incoming", "phone-incoming-call", 0},
                      ShapeCase{"OrdinaryWithActions", false, kWithActions, true, kClickOnly, Urgency::normal,
                                "", "message-new-instant", -1},
                      ShapeCase{"OrdinaryWithoutActions", false, kWithoutActions, true, kNoActions,
                                Urgency::normal, "", "message-new-instant", -1}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
    const char* name;
    std::string text;
    std::string summary; // plain text by the protocol
    std::string body;    // parsed as markup by many servers
};

void PrintTo(const TextCase& c, std::ostream* out) {
    *out << c.name;
}

class NotifyText : public ::testing::TestWithParam<TextCase> {};

TEST_P(NotifyText, SummaryStaysPlainAndBodyIsEscaped) {
    const TextCase& c = GetParam();
    const NotifyArguments args =
        notifyArguments(posted(c.text, c.text, true), {callCategory()}, kWithActions, "");
    EXPECT_EQ(args.summary, c.summary);
    EXPECT_EQ(args.body, c.body);
}

const std::string kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Texts, NotifyText,
    ::testing::Values(TextCase{"CallerWithNumber", "Alice <+1 555 0100>", "Alice <+1 555 0100>",
                               "Alice &lt;+1 555 0100&gt;"},
                      TextCase{"Ampersand", "Tom & Jerry", "Tom & Jerry", "Tom &amp; Jerry"},
                      // An entity is text too and must not be read back as one.
                      TextCase{"Entity", "&lt;b&gt;", "&lt;b&gt;", "&amp;lt;b&amp;gt;"},
                      TextCase{"Tag", "<b>bold</b>", "<b>bold</b>", "&lt;b&gt;bold&lt;/b&gt;"},
                      TextCase{"Quotes", "\"a\" 'b'", "\"a\" 'b'", "&quot;a&quot; &#39;b&#39;"},
                      TextCase{"Empty", "", "", ""},
                      TextCase{"NonAscii", "Zoë ☎ 北京", "Zoë ☎ 北京", "Zoë ☎ 北京"},
                      // A D-Bus string ends at NUL; what follows must not be lost.
                      TextCase{"Nul", std::string("a\0<", 3), "a" + kReplacement + "<",
                               "a" + kReplacement + "&lt;"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponseKey, MapsToTheDelegatesIdentifiers) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"default", std::string(kNotificationDefaultActionIdentifier)},
        {"ANSWER", "ANSWER"},
        {"DECLINE", "DECLINE"},
        // Unknown keys pass unchanged; the delegate ignores them.
        {"answer", "answer"},
        {"", ""},
        {"inline-reply", "inline-reply"},
    };
    for (const auto& [key, identifier] : cases)
        EXPECT_EQ(actionIdentifierForKey(key), identifier) << key;
}

TEST(ResponseKey, OnlyTheOfferedNamedActionsSettleTheNotification) {
    const NotifyArguments call =
        notifyArguments(posted("Incoming call", "Bob", true), {callCategory()}, kWithActions, "orvo");
    const NotifyArguments ordinary =
        notifyArguments(posted("Hi", "there", false), {callCategory()}, kWithActions, "orvo");
    const NotifyArguments plainCall =
        notifyArguments(posted("Incoming call", "Bob", true), {callCategory()}, kWithoutActions, "orvo");

    struct Case {
        const NotifyArguments& posted;
        const char* key;
        bool closes;
    };
    const std::vector<Case> cases = {
        {call, "ANSWER", true},       {call, "DECLINE", true},      {call, "default", false},
        {call, "Answer", false},      {call, "OTHER", false},       {ordinary, "ANSWER", false},
        {ordinary, "default", false}, {plainCall, "ANSWER", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(closesAfterAction(c.posted, c.key), c.closes) << c.key;
}

} // namespace
} // namespace orvo::freedesktop
