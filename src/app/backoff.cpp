#include "app/backoff.h"

#include <algorithm>

namespace orvo {

Backoff::Delay Backoff::next() {
    unsigned step = attempts_;
    if (attempts_ < 64)
        ++attempts_;
    if (immediately_) {
        if (step == 0)
            return Delay::zero();
        --step;
    }
    Delay delay = first_;
    for (; step > 0 && delay < limit_; --step)
        delay *= 2;
    return std::min(delay, limit_);
}

} // namespace orvo
