#include "app/launch_request.h"

#include <algorithm>

namespace orvo {

namespace {

constexpr std::string_view kWord = "raise";

bool isTokenCharacter(char c) {
    return c > ' ' && c < 0x7f;
}

} // namespace

bool isValidLaunchToken(std::string_view token) {
    if (token.empty() || token.size() > kMaxLaunchTokenLength)
        return false;
    for (const char c : token) {
        if (!isTokenCharacter(c))
            return false;
    }
    return true;
}

std::string launchRequest(std::string_view token) {
    std::string request(kWord);
    if (isValidLaunchToken(token)) {
        request += ' ';
        request += token;
    }
    request += '\n';
    return request;
}

ParsedLaunchRequest parseLaunchRequest(std::string_view received) {
    using State = ParsedLaunchRequest::State;
    const std::size_t word = std::min(received.size(), kWord.size());
    if (received.substr(0, word) != kWord.substr(0, word))
        return {State::invalid, {}};
    if (received.size() == kWord.size())
        return {};
    if (received.size() > kWord.size()) {
        std::string_view rest = received.substr(kWord.size());
        if (rest == "\n")
            return {State::complete, {}};
        if (rest.front() != ' ')
            return {State::invalid, {}};
        rest.remove_prefix(1);
        const std::size_t end = rest.find('\n');
        const std::string_view token = rest.substr(0, end);
        // Every character up to the line end must be one a token may hold,
        // and the token must still fit, even before the line is complete.
        for (const char c : token) {
            if (!isTokenCharacter(c))
                return {State::invalid, {}};
        }
        if (token.size() > kMaxLaunchTokenLength)
            return {State::invalid, {}};
        if (end == std::string_view::npos)
            return {};
        if (token.empty() || end + 1 != rest.size())
            return {State::invalid, {}};
        return {State::complete, std::string(token)};
    }
    return {};
}

} // namespace orvo
