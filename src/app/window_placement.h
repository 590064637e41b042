#pragma once

#include "platform/platform.h"

namespace orvo {

// The space a window manager adds around a window's content: title bar and
// borders, in pixels.
struct FrameMargins {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const FrameMargins&, const FrameMargins&) = default;
};

// What a frame is taken to add before the desktop has decorated the window
// and its real margins are known: a title bar and thin borders, about what
// the common desktops draw.
inline constexpr FrameMargins kDefaultFrameMargins{4, 32, 4, 4};

// Where a new window goes: its frame (content plus margins) centred on the
// screen's available area, the content shrunk first where the frame would
// not fit, so that the title bar and the bottom edge stay reachable. The
// result is the frame's rectangle; the content keeps at least one pixel
// each way. An empty area (no screen known) leaves the size as it is.
Rect placeNewWindow(int contentWidth, int contentHeight, const FrameMargins& margins, const Rect& available);

} // namespace orvo
