#include "app/content_crash_recovery.h"

namespace orvo {

bool ContentCrashRecovery::shouldReload(Clock::time_point now) {
    if (lastReload_ && now - *lastReload_ < kRetryWindow)
        return false;
    lastReload_ = now;
    return true;
}

} // namespace orvo
