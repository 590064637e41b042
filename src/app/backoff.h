#pragma once

#include <chrono>

namespace orvo {

// The delays between attempts at something that keeps failing: the first
// delay, then each one twice the one before, never more than the limit. With
// `immediately`, the first attempt comes at once and the doubling follows.
class Backoff {
public:
    using Delay = std::chrono::milliseconds;

    constexpr Backoff(Delay first, Delay limit, bool immediately)
        : first_(first), limit_(limit), immediately_(immediately) {}

    // The delay before the next attempt; every call moves one step on.
    Delay next();
    // Back to the first step, after something went well.
    void reset() { attempts_ = 0; }

private:
    Delay first_;
    Delay limit_;
    bool immediately_;
    unsigned attempts_ = 0;
};

using namespace std::chrono_literals;

// The start page could not be loaded (offline, no name, a server error, no
// answer): again after a few seconds, then less and less often, but at least
// once a minute so that the softphone is back soon after the network.
inline constexpr Backoff kStartPageRetry{5s, 60s, false};

// The page's process died: loaded again at once, and if it keeps dying, with
// growing pauses so that a page that kills its process cannot spin the CPU.
inline constexpr Backoff kPageProcessRecovery{1s, 60s, true};

// A death this long after the one before starts the recovery schedule over.
inline constexpr std::chrono::minutes kPageProcessCalmPeriod{2};

} // namespace orvo
