#pragma once

#include <xcb/xcb.h>

namespace orvo::qt {

// The atom named `name` on that connection; XCB_ATOM_NONE when the server
// gives no answer.
xcb_atom_t internAtom(xcb_connection_t* connection, const char* name);

} // namespace orvo::qt
