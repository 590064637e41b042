#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// What a later launch sends the running instance: "raise\n", or, when the
// desktop started it with an activation token or startup id, "raise <token>\n"
// so that the running instance can prove the user's request when it asks
// for the focus.

// Tokens longer than this are not passed on; startup ids and activation
// tokens are far shorter.
inline constexpr std::size_t kMaxLaunchTokenLength = 255;
// The longest request: the word, a space, the longest token, the line end.
inline constexpr std::size_t kMaxLaunchRequestLength = 6 + kMaxLaunchTokenLength + 1;

// Whether `token` may travel in a request: 1 to kMaxLaunchTokenLength
// printable ASCII characters, no space.
bool isValidLaunchToken(std::string_view token);

// The request for a launch with `token`; a bare raise when the token is
// empty or cannot travel (the raise itself must still reach the instance).
std::string launchRequest(std::string_view token);

struct ParsedLaunchRequest {
    enum class State { incomplete, invalid, complete };
    State state = State::incomplete;
    // For a complete request, its token ("" for a bare raise).
    std::string token;
};

// Judges the bytes received so far on one connection: `incomplete` while
// they may still become a request, `invalid` as soon as they cannot (or
// when anything follows the line end), `complete` for exactly one request.
ParsedLaunchRequest parseLaunchRequest(std::string_view received);

} // namespace orvo
