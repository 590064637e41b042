// The shell's notifications as freedesktop Notify calls, and the server's
// action keys back.
#include "notifications/freedesktop.h"
#include "notifications/notifications.h"

#include "fakes.h"

#include <gtest/gtest.h>

namespace orvo::freedesktop {
namespace {

using Strings = std::vector<std::string>;

// The Notify arguments for a notification exactly as the shell posts it.
NotifyArguments notifyFor(const std::string& text, bool isCall, const Strings& capabilities,
                          bool categoryRegistered = true) {
    testing::FakePlatform center;
    postNotification(center, text, text, isCall);
    std::vector<NotificationCategory> categories;
    if (categoryRegistered)
        categories.push_back(callCategory());
    return notifyArguments(center.requests.at(0), categories, capabilities, "orvo");
}

TEST(Notify, ShapeFollowsTheKindAndTheServer) {
    const Strings actions = {"body", "actions"};
    const Strings call = {"default", "Open ORVO", "ANSWER", "Answer", "DECLINE", "Decline"};
    const Strings click = {"default", "Open ORVO"};
    const struct {
        bool isCall;
        Strings capabilities;
        bool registered;
        Strings actions;
        Urgency urgency;
        std::string category, sound;
        std::int32_t expireTimeout;
    } rows[] = {
        {true, actions, true, call, Urgency::critical, "call.incoming", "phone-incoming-call", 0},
        // Without the capability (or an answer) not even the click is offered.
        {true,
         {"body", "body-markup"},
         true,
         {},
         Urgency::critical,
         "call.incoming",
         "phone-incoming-call",
         0},
        {true, {}, true, {}, Urgency::critical, "call.incoming", "phone-incoming-call", 0},
        {true, actions, false, click, Urgency::critical, "call.incoming", "phone-incoming-call", 0},
        {false, actions, true, click, Urgency::normal, "", "message-new-instant", -1},
        {false, {}, true, {}, Urgency::normal, "", "message-new-instant", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.isCall << " " << row.capabilities.size() << row.registered);
        const NotifyArguments args = notifyFor("Alice", row.isCall, row.capabilities, row.registered);
        EXPECT_EQ(args.replacesId, 0u);
        EXPECT_EQ(args.appIcon, "orvo");
        EXPECT_EQ(args.actions, row.actions);
        EXPECT_EQ(args.hints, (NotifyHints{row.urgency, row.category, row.sound, "orvo"}));
        EXPECT_EQ(args.expireTimeout, row.expireTimeout);
    }
}

// The summary is plain text by the protocol; many servers parse the body as markup.
TEST(Notify, SummaryStaysPlainAndBodyIsEscaped) {
    const std::string replacement = "\xEF\xBF\xBD";
    const struct {
        std::string text, body;
    } rows[] = {
        {"Alice <+1 555 0100>", "Alice &lt;+1 555 0100&gt;"},
        {"Tom & Jerry", "Tom &amp; Jerry"},
        {"&lt;b&gt;", "&amp;lt;b&amp;gt;"},
        // A D-Bus string ends at NUL; what follows must not be lost.
        {std::string("a\0<", 3), "a" + replacement + "&lt;"},
    };
    for (const auto& row : rows) {
        const NotifyArguments args = notifyFor(row.text, true, {"actions"});
        const std::string plain =
            row.text.find('\0') == std::string::npos ? row.text : "a" + replacement + "<";
        EXPECT_EQ(args.summary, plain);
        EXPECT_EQ(args.body, row.body);
    }
}

TEST(Notify, OnlyTheOfferedNamedActionsSettleTheNotification) {
    const NotifyArguments call = notifyFor("Bob", true, {"actions"});
    const NotifyArguments ordinary = notifyFor("Hi", false, {"actions"});
    const NotifyArguments plainCall = notifyFor("Bob", true, {});
    const struct {
        const NotifyArguments& posted;
        const char* key;
        bool closes;
    } rows[] = {
        {call, "ANSWER", true},       {call, "DECLINE", true},     {call, "default", false},
        {call, "Answer", false},      {ordinary, "ANSWER", false}, {ordinary, "default", false},
        {plainCall, "ANSWER", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(closesAfterAction(row.posted, row.key), row.closes) << row.key;
    EXPECT_EQ(actionIdentifierForKey("default"), kNotificationDefaultActionIdentifier);
    EXPECT_EQ(actionIdentifierForKey("ANSWER"), kAnswerActionIdentifier);
}

} // namespace
} // namespace orvo::freedesktop
