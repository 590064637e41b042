#include "notifications/notifications.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace orvo {
namespace {

TEST(Notifications, CallCategoryIsTheOnlyOneRegistered) {
    testing::Log log;
    testing::FakeNotificationCenter center(log);
    registerNotificationCategories(center);
    ASSERT_EQ(center.categories.size(), 1u);
    const NotificationCategory& category = center.categories[0];
    EXPECT_EQ(category.identifier, "ORVO_CALL");
    EXPECT_EQ(category.actions,
              (std::vector<NotificationAction>{{"ANSWER", "Answer", 4}, {"DECLINE", "Decline", 2}}));
    EXPECT_TRUE(category.intentIdentifiers.empty());
    EXPECT_EQ(category.options, 0u);
}

TEST(Notifications, PostedContentByKind) {
    testing::Log log;
    testing::FakeNotificationCenter center(log);
    postNotification(center, "Incoming call", "Alice", true);
    postNotification(center, "", "", false);
    ASSERT_EQ(center.requests.size(), 2u);
    EXPECT_EQ(center.requests[0].content,
              (NotificationContent{"Incoming call", "Alice", NotificationSound::defaultCriticalSound,
                                   "ORVO_CALL"}));
    EXPECT_EQ(center.requests[1].content,
              (NotificationContent{"", "", NotificationSound::defaultSound, std::nullopt}));
}

TEST(Notifications, EveryPostHasItsOwnUpperCaseUuid) {
    testing::Log log;
    testing::FakeNotificationCenter center(log);
    for (int i = 0; i < 1000; ++i)
        postNotification(center, "same", "same", i % 2 == 0);
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (const auto& request : center.requests) {
        EXPECT_TRUE(std::regex_match(request.identifier, form)) << request.identifier;
        seen.insert(request.identifier);
    }
    EXPECT_EQ(seen.size(), center.requests.size());
}

} // namespace
} // namespace orvo
