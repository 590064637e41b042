// Checks shared by the fuzz targets, written out here rather than borrowed
// from the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvo::fuzz {

// Strict UTF-8 as RFC 3629 has it: shortest form only, no surrogates,
// nothing above U+10FFFF.
inline bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
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
