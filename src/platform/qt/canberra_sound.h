#pragma once

#include "platform/platform.h"

struct ca_context;

namespace orvo::qt {

// Event sounds through libcanberra, from the user's sound theme. Like GTK
// applications, it takes the event-sound switch and the theme from the
// desktop's settings (XSETTINGS on X11, GSettings on Wayland) at each sound.
class CanberraSound : public SoundPlayer {
public:
    CanberraSound();
    ~CanberraSound() override;
    CanberraSound(const CanberraSound&) = delete;
    CanberraSound& operator=(const CanberraSound&) = delete;

    void play(std::uint32_t id, const EventSound& sound) override;
    void cancel(std::uint32_t id) override;

private:
    // Connects to the sound system at the first sound, not at start. Never
    // destroyed: see the destructor.
    ca_context* context_ = nullptr;
};

} // namespace orvo::qt
