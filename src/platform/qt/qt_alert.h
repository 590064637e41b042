#pragma once

#include "platform/platform.h"

namespace orvo::qt {

// Runs the alert application-modal and returns the button pressed
// (kAlertFirstButtonReturn + index; closing the dialog counts as the last
// button) together with the text field's content.
AlertResult runModalAlert(const AlertContent& content);

} // namespace orvo::qt
