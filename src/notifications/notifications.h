#pragma once

#include "platform/platform.h"

#include <string>
#include <string_view>

namespace orvo {

inline constexpr std::string_view kCallCategoryIdentifier = "ORVO_CALL";
inline constexpr std::string_view kAnswerActionIdentifier = "ANSWER";
inline constexpr std::string_view kDeclineActionIdentifier = "DECLINE";

// The one category the shell registers: "ORVO_CALL" with Answer and Decline.
NotificationCategory callCategory();

// Registers the call category, replacing any registered before.
void registerNotificationCategories(NotificationCenter& center);

// A fresh random UUID in its upper-case 36-character form.
std::string newRequestIdentifier();

// Posts one notification at once; a call notification carries the call
// category and the critical sound. The outcome is not awaited.
void postNotification(NotificationCenter& center, std::string_view title, std::string_view body, bool isCall);

} // namespace orvo
