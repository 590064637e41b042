#pragma once

#include <chrono>
#include <optional>

namespace orvo {

// Decides whether the start address is loaded again after the page's content
// process died. One crash is recovered at once; a crash that follows a
// recovery within the retry window means the page cannot be shown right now,
// and the view is left as it is rather than looping.
class ContentCrashRecovery {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRetryWindow{10};

    // Whether to load the start address again for a crash at `now`.
    bool shouldReload(Clock::time_point now);

private:
    std::optional<Clock::time_point> lastReload_;
};

} // namespace orvo
