// The sounds of ORVO's notifications on servers that play none: most servers
// show a notification silently and ignore the sound it names, so a call
// would ring nowhere.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace orvo::freedesktop {

class NotificationSounds {
public:
    explicit NotificationSounds(SoundPlayer& player) : player_(player) {}
    // Quitting ORVO silences it.
    ~NotificationSounds() { serverGone(); }
    NotificationSounds(const NotificationSounds&) = delete;
    NotificationSounds& operator=(const NotificationSounds&) = delete;

    // A notification goes out to a server with these capabilities (empty
    // when they are unknown): its sound starts unless the server plays it.
    void posted(const NotificationRequest& request, const std::vector<std::string>& capabilities);
    // The user chose one of the actions the notification offered. Any
    // answer, a click on it included, means the user has noticed: its sound
    // stops.
    void answered(const std::string& requestIdentifier);
    // The server took the notification away (dismissed, expired or closed by
    // the shell): its sound stops with it.
    void closed(const std::string& requestIdentifier);
    // The server went away, and with it every notification it showed.
    void serverGone();

private:
    void stop(const std::string& requestIdentifier);

    SoundPlayer& player_;
    // Notifications whose sound may still play, oldest first, with the id it
    // plays under. Sounds are short; the oldest are forgotten past a bound
    // that no run of notifications reaches while one still plays.
    std::deque<std::pair<std::string, std::uint32_t>> playing_;
    std::uint32_t lastId_ = 0;
};

} // namespace orvo::freedesktop
