// The switches ORVO adds to the web engine's (Chromium's) own at start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Chromium wakes the timers of a page that is not shown (window minimised,
// covered, on another workspace, unmapped) once a second, and after five
// minutes once a minute. A softphone's page keeps its connection to the
// service alive and learns of calls on timers, so they keep full speed here.
//
// The engine keeps only the last --disable-features it is given: the user's
// lists and ours become one. Everything else of the user's stays as it is.
std::vector<std::string> withUnthrottledTimers(const std::vector<std::string>& switches);

// The same for the text of QTWEBENGINE_CHROMIUM_FLAGS, which the engine
// splits at spaces, double quotes grouping.
std::string withUnthrottledTimers(std::string_view flags);

} // namespace orvo
