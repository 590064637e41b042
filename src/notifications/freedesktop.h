// How a notification of the shell becomes a call of the freedesktop
// notification service (org.freedesktop.Notifications), and how the service's
// answers come back. Pure functions over plain values, so that the shapes are
// checked without a bus; the Qt backend only marshals what these produce.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::freedesktop {

inline constexpr std::string_view kServiceName = "org.freedesktop.Notifications";
inline constexpr std::string_view kObjectPath = "/org/freedesktop/Notifications";
inline constexpr std::string_view kInterfaceName = "org.freedesktop.Notifications";

inline constexpr std::string_view kAppName = "ORVO";
// The server capability that lets a notification carry actions at all.
inline constexpr std::string_view kActionsCapability = "actions";
// The server parses the body as markup.
inline constexpr std::string_view kBodyMarkupCapability = "body-markup";
// The server plays the sound a notification names in its hints.
inline constexpr std::string_view kSoundCapability = "sound";
// The action key a server reports when the notification itself was clicked.
inline constexpr std::string_view kDefaultActionKey = "default";

inline constexpr std::string_view kCallHintCategory = "call.incoming";
inline constexpr std::string_view kCallSoundName = "phone-incoming-call";
inline constexpr std::string_view kMessageSoundName = "message-new-instant";

// Expiration timeouts in milliseconds, with the protocol's two special values.
inline constexpr std::int32_t kExpireServerDefault = -1;
inline constexpr std::int32_t kExpireNever = 0;

// The urgency hint travels as a D-Bus byte; servers read any other type as
// "normal".
enum class Urgency : std::uint8_t { low = 0, normal = 1, critical = 2 };

struct NotifyHints {
    Urgency urgency = Urgency::normal;
    std::string category;     // omitted when empty
    std::string soundName;    // omitted when empty
    std::string desktopEntry; // omitted when empty
    // Asks the server not to play a sound of its own, because the shell plays it.
    bool suppressSound = false; // omitted when false
    friend bool operator==(const NotifyHints&, const NotifyHints&) = default;
};

// The arguments of one Notify call, in the order the method takes them.
struct NotifyArguments {
    std::string appName;
    std::uint32_t replacesId = 0;
    std::string appIcon;
    std::string summary;
    std::string body;
    // Flat pairs: key, label, key, label, ...
    std::vector<std::string> actions;
    NotifyHints hints;
    std::int32_t expireTimeout = kExpireServerDefault;
    friend bool operator==(const NotifyArguments&, const NotifyArguments&) = default;
};

// Whether the request is an incoming call (it carries the call category).
bool isCallNotification(const NotificationRequest& request);

// Escapes text for a body that the server parses as markup, with the five
// entities of XML alone (`&amp;` `&lt;` `&gt;` `&quot;` `&apos;`): some
// servers show any other, a numeric one too, as it is written. NUL
// characters, which a D-Bus string cannot carry, become U+FFFD.
std::string escapeMarkup(std::string_view text);

// Text as it is, for the summary (plain text by the protocol; servers that
// format it with markup escape it themselves) and for the body on servers
// that show it as plain text: only NUL characters change, as above.
std::string plainText(std::string_view text);

// The Notify arguments for one request. `categories` are those registered
// with the centre, `capabilities` what the server reported (empty when it is
// unknown or unreachable), `desktopEntry` the application's desktop file name
// without ".desktop".
NotifyArguments notifyArguments(const NotificationRequest& request,
                                const std::vector<NotificationCategory>& categories,
                                const std::vector<std::string>& capabilities, std::string_view desktopEntry);

// The action identifier handed to the centre's delegate for an ActionInvoked
// key.
std::string actionIdentifierForKey(std::string_view key);

// Whether `key` is an action the notification was posted with: the click on
// it, Answer or Decline. A server reporting any other key is not believed.
bool offersAction(const NotifyArguments& posted, std::string_view key);

// The sound the shell plays itself for a notification sent to a server with
// these capabilities: none where the server plays the sound hint itself.
std::optional<EventSound> ownSound(const NotificationRequest& request,
                                   const std::vector<std::string>& capabilities);

// Whether the shell closes the notification itself after the user chose
// `key` on it: true for the named actions it offered (Answer, Decline), which
// settle the notification. A server keeps critical notifications until they
// are closed, so a settled call would otherwise stay on screen.
bool closesAfterAction(const NotifyArguments& posted, std::string_view key);

} // namespace orvo::freedesktop
