#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// Reduces a typed or stored address (UTF-8) to a host address: lower case,
// without scheme, port or path, with at least two labels of which the last is
// letters only. Anything else, and absent text, gives nothing.
std::optional<std::string> normalizeHost(std::optional<std::string_view> text);

} // namespace orvo
