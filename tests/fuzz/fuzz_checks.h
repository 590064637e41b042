// Checks shared by the fuzz targets, written out here rather than borrowed
// from the code under test.
#pragma once

#include <cstdint>
#include <string_view>
#include <unicode/ustring.h>

namespace orvo::fuzz {

// Strict UTF-8 (shortest form only, no surrogates, nothing above U+10FFFF),
// as ICU's converter judges it: an opinion independent of the JSON parser.
inline bool isValidUtf8(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<std::int32_t>(text.size()), &status);
    return status != U_INVALID_CHAR_FOUND;
}

// Whether the text can only be a JSON object, if it is JSON at all. A byte
// order mark in front may be ignored by a JSON parser, and this one does.
inline bool framedAsObject(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    const auto first = text.find_first_not_of(" \t\n\r"), last = text.find_last_not_of(" \t\n\r");
    return first != std::string_view::npos && last > first && text[first] == '{' && text[last] == '}';
}

} // namespace orvo::fuzz
