#pragma once

#include <string_view>

namespace orvo {

// The script injected at the start of every document; it provides
// window.chrome.webview to the page.
extern const std::string_view kPageBridgeScript;

} // namespace orvo
