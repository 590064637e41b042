#include "notifications/notification_sounds.h"

#include "notifications/freedesktop.h"

#include <algorithm>

namespace orvo::freedesktop {

namespace {

constexpr std::size_t kMaxPlaying = 64;

} // namespace

void NotificationSounds::posted(const NotificationRequest& request,
                                const std::vector<std::string>& capabilities) {
    const std::optional<EventSound> sound = ownSound(request, capabilities);
    if (!sound)
        return;
    // Id 0 stays free: by libcanberra's custom it marks sounds never stopped.
    if (++lastId_ == 0)
        ++lastId_;
    if (playing_.size() >= kMaxPlaying)
        playing_.pop_front();
    playing_.emplace_back(request.identifier, lastId_);
    player_.play(lastId_, *sound);
}

void NotificationSounds::answered(const std::string& requestIdentifier) {
    stop(requestIdentifier);
}

void NotificationSounds::closed(const std::string& requestIdentifier) {
    stop(requestIdentifier);
}

void NotificationSounds::serverGone() {
    for (const auto& [request, id] : playing_)
        player_.cancel(id);
    playing_.clear();
}

void NotificationSounds::stop(const std::string& requestIdentifier) {
    const auto found = std::find_if(playing_.begin(), playing_.end(),
                                    [&](const auto& entry) { return entry.first == requestIdentifier; });
    if (found == playing_.end())
        return;
    player_.cancel(found->second);
    playing_.erase(found);
}

} // namespace orvo::freedesktop
