#pragma once

#include "platform/platform.h"

#include <QIcon>

#include <memory>

namespace orvo::qt {

// A status item in the desktop's tray (StatusNotifierItem where the session
// has a watcher, the X11 tray otherwise).
std::unique_ptr<StatusItem> createStatusItem();

// ORVO's own phone icon: the drawing where Qt's SVG icon engine is
// installed (Debian 13 ships it in a package of its own, which nothing
// pulls in), else the picture rendered from it.
QIcon bundledPhoneIcon();

} // namespace orvo::qt
