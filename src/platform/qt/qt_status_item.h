#pragma once

#include "platform/platform.h"

#include <memory>

namespace orvo::qt {

// A status item in the desktop's tray (StatusNotifierItem where the session
// has a watcher, the X11 tray otherwise).
std::unique_ptr<StatusItem> createStatusItem();

} // namespace orvo::qt
