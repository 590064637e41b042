#pragma once

#include <QString>

class QWindow;

namespace orvo::qt {

// Asks a Wayland compositor to activate the window with an activation token
// that stands for a user action elsewhere (a notification's button, a
// launcher). Qt offers no way to hand it a token the desktop gave us, so this
// speaks the activation protocol on Qt's own connection. False where there is
// no Wayland window or the compositor does not offer the protocol.
bool activateWithToken(QWindow& window, const QString& token);

} // namespace orvo::qt
