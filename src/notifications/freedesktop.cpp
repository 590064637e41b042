#include "notifications/freedesktop.h"

#include "notifications/notifications.h"

#include <algorithm>

namespace orvo::freedesktop {

namespace {

// The label of the click on the notification itself. Most servers never show
// it; those that list actions in a menu do.
constexpr std::string_view kDefaultActionLabel = "Open ORVO";

bool contains(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

const NotificationCategory* findCategory(const std::vector<NotificationCategory>& categories,
                                         const std::string& identifier) {
    const auto found = std::find_if(categories.begin(), categories.end(), [&](const NotificationCategory& c) {
        return c.identifier == identifier;
    });
    return found == categories.end() ? nullptr : &*found;
}

} // namespace

bool isCallNotification(const NotificationRequest& request) {
    return request.content.categoryIdentifier == kCallCategoryIdentifier;
}

std::string escapeMarkup(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        case '\0':
            out += "\xEF\xBF\xBD";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string plainText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\0')
            out += "\xEF\xBF\xBD";
        else
            out += c;
    }
    return out;
}

NotifyArguments notifyArguments(const NotificationRequest& request,
                                const std::vector<NotificationCategory>& categories,
                                const std::vector<std::string>& capabilities, std::string_view desktopEntry) {
    const NotificationContent& content = request.content;
    const bool isCall = isCallNotification(request);

    NotifyArguments args;
    args.appName = kAppName;
    args.replacesId = 0; // every post is a notification of its own
    // The app's icon is installed under its desktop entry's name.
    args.appIcon = desktopEntry;
    args.summary = plainText(content.title);
    // Escaped only for a server that reads markup: any other shows the body
    // as it comes, entities and all.
    args.body =
        contains(capabilities, kBodyMarkupCapability) ? escapeMarkup(content.body) : plainText(content.body);

    // Without the capability a server may turn a notification with actions
    // into something else (a dialog), so none are sent, not even the click.
    if (contains(capabilities, kActionsCapability)) {
        args.actions = {std::string(kDefaultActionKey), std::string(kDefaultActionLabel)};
        if (content.categoryIdentifier) {
            if (const NotificationCategory* category =
                    findCategory(categories, *content.categoryIdentifier)) {
                for (const NotificationAction& action : category->actions) {
                    args.actions.push_back(action.identifier);
                    args.actions.push_back(action.title);
                }
            }
        }
    }

    // The critical sound is the one meant to reach the user whatever the
    // settings; critical urgency is the same promise on this side.
    args.hints.urgency =
        content.sound == NotificationSound::defaultCriticalSound ? Urgency::critical : Urgency::normal;
    args.hints.category = isCall ? kCallHintCategory : "";
    args.hints.soundName = isCall ? kCallSoundName : kMessageSoundName;
    args.hints.desktopEntry = desktopEntry;
    // The name stays for servers that pick a look by it; the sound itself
    // comes from the shell wherever the server does not promise to play it.
    args.hints.suppressSound = ownSound(request, capabilities).has_value();

    // A ringing call must not disappear while the user looks away: it stays
    // until it is answered, declined or dismissed. Everything else follows the
    // user's server settings.
    args.expireTimeout = isCall ? kExpireNever : kExpireServerDefault;
    return args;
}

std::string actionIdentifierForKey(std::string_view key) {
    if (key == kDefaultActionKey)
        return std::string(kNotificationDefaultActionIdentifier);
    return std::string(key);
}

bool offersAction(const NotifyArguments& posted, std::string_view key) {
    // Keys sit at the even positions of the flat key/label list.
    for (std::size_t i = 0; i + 1 < posted.actions.size(); i += 2) {
        if (posted.actions[i] == key)
            return true;
    }
    return false;
}

std::optional<EventSound> ownSound(const NotificationRequest& request,
                                   const std::vector<std::string>& capabilities) {
    if (contains(capabilities, kSoundCapability))
        return std::nullopt;
    // The title says what the sound announces ("Incoming call" for a call).
    return EventSound{std::string(isCallNotification(request) ? kCallSoundName : kMessageSoundName),
                      request.content.title};
}

bool closesAfterAction(const NotifyArguments& posted, std::string_view key) {
    return key != kDefaultActionKey && offersAction(posted, key);
}

} // namespace orvo::freedesktop
