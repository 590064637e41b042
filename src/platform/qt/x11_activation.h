#pragma once

#include "platform/platform.h"

class QString;
class QWindow;

namespace orvo::qt {

// Starts keeping the X server time of the user's last input in ORVO's
// windows: the page's activations show it to the window manager, which
// refuses them while the user works elsewhere.
void watchUserInputTimes();

// Asks the X11 window manager to activate the window (EWMH
// _NET_ACTIVE_WINDOW) with the time of the user's action: the one in
// `token` (a startup id) or now for the user's own requests, the user's
// last input in ORVO for the page's. Without a window manager only a user's
// request takes the focus directly. Returns whether a window manager was
// asked; if not, raising the window is left to the caller.
bool activateOnX11(QWindow& window, ActivationCause cause, const QString& token);

} // namespace orvo::qt
