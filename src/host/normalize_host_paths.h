#pragma once

#include <optional>
#include <string>
#include <string_view>

// The two ways normalizeHost can take. They must agree on every plain ASCII
// input; they are declared here only so that the fuzzer can hold them side by
// side. Everything else calls normalizeHost.
namespace orvo::detail {

// The general rule over Unicode text. Input that is not valid UTF-8 gives nothing.
std::optional<std::string> normalizeHostUnicode(std::string_view text);

// The same rule reduced to byte operations. Only valid for text whose bytes
// are all below 0x80.
std::optional<std::string> normalizeHostAscii(std::string_view text);

} // namespace orvo::detail
