#include "notifications/notifications.h"

#include <uuid/uuid.h>

namespace orvo {

NotificationCategory callCategory() {
    NotificationCategory category;
    category.identifier = std::string(kCallCategoryIdentifier);
    category.actions = {
        {std::string(kAnswerActionIdentifier), "Answer"},
        {std::string(kDeclineActionIdentifier), "Decline"},
    };
    return category;
}

void registerNotificationCategories(NotificationCenter& center) {
    center.setNotificationCategories({callCategory()});
}

std::string newRequestIdentifier() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return std::string(text, 36);
}

void postNotification(NotificationCenter& center, std::string_view title, std::string_view body,
                      bool isCall) {
    NotificationRequest request;
    request.content.title = std::string(title);
    request.content.body = std::string(body);
    request.content.sound =
        isCall ? NotificationSound::defaultCriticalSound : NotificationSound::defaultSound;
    if (isCall)
        request.content.categoryIdentifier = std::string(kCallCategoryIdentifier);
    // A fresh identifier for every post, so that no notification ever
    // replaces an earlier one.
    request.identifier = newRequestIdentifier();
    center.addNotificationRequest(request);
}

} // namespace orvo
