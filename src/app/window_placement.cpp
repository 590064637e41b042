#include "app/window_placement.h"

#include <algorithm>

namespace orvo {

namespace {

// One axis: the content length that fits `room` with `extra` around it, and
// the frame's start centred in [start, start + room).
struct Span {
    int content;
    int origin;
};

Span fitSpan(int content, int extra, int start, int room) {
    const int wanted = std::max(content, 1);
    if (room <= 0)
        return {wanted, start};
    const int fitted = std::clamp(room - extra, 1, wanted);
    const int frame = fitted + extra;
    // A frame larger than the room (margins alone exceed it) starts at the
    // edge: its top-left, with the title bar, is what must stay visible.
    return {fitted, start + std::max(0, (room - frame) / 2)};
}

} // namespace

Rect placeNewWindow(int contentWidth, int contentHeight, const FrameMargins& margins, const Rect& available) {
    const int extraX = std::max(0, margins.left) + std::max(0, margins.right);
    const int extraY = std::max(0, margins.top) + std::max(0, margins.bottom);
    const Span x = fitSpan(contentWidth, extraX, available.x, available.width);
    const Span y = fitSpan(contentHeight, extraY, available.y, available.height);
    return Rect{x.origin, y.origin, x.content + extraX, y.content + extraY};
}

} // namespace orvo
