// Feeds arbitrary bytes as the payload of a notify message and checks what
// the parser makes of them: it never throws, it yields a notification only
// for a JSON object, the title and body it yields are valid UTF-8 (they go
// out over D-Bus, which refuses anything else), and the same payload always
// yields the same result.
#include "bridge/page_messages.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

[[noreturn]] void fail(const char* what, std::string_view payload) {
    std::fprintf(stderr, "%s\n  payload of %zu bytes\n", what, payload.size());
    std::abort();
}

// Strict UTF-8 as RFC 3629 has it: shortest form only, no surrogates,
// nothing above U+10FFFF. Written out here rather than borrowed from the
// parser under test.
bool isValidUtf8(std::string_view text) {
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

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether the text can only be a JSON object, if it is JSON at all. A byte
// order mark in front may be ignored by a JSON parser, and this one does.
bool framedAsObject(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    while (!text.empty() && isJsonSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isJsonSpace(text.back()))
        text.remove_suffix(1);
    return text.size() >= 2 && text.front() == '{' && text.back() == '}';
}

std::optional<orvo::PageMessage> parse(const orvo::ScriptMessage& message, std::string_view payload) {
    try {
        return orvo::parsePageMessage(message);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "exception: %s\n", e.what());
    } catch (...) {
    }
    fail("an exception escaped parsePageMessage", payload);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const orvo::ScriptMessage message{std::string(orvo::kMessageHandlerName),
                                      std::string(orvo::kNotifyPrefix) + std::string(payload)};

    const auto first = parse(message, payload);
    if (parse(message, payload) != first)
        fail("parsing the same payload twice gave different results", payload);

    // The parser's validating pass, which builds no document, stands in for
    // "is this JSON"; the framing tells an object from anything else. That
    // pass takes a NUL byte for the end of its input, while JSON text never
    // holds one raw, so a NUL rules the payload out before it is asked.
    const bool isObject = framedAsObject(payload) && payload.find('\0') == std::string_view::npos &&
                          nlohmann::json::accept(payload);
    if (!first) {
        if (isObject)
            fail("a JSON object was dropped", payload);
        return 0;
    }
    if (!isObject)
        fail("a payload that is no JSON object gave a notification", payload);
    const auto* notify = std::get_if<orvo::NotifyMessage>(&*first);
    if (!notify)
        fail("a notify payload gave another kind of message", payload);
    if (!isValidUtf8(notify->title))
        fail("the title is not valid UTF-8", payload);
    if (!isValidUtf8(notify->body))
        fail("the body is not valid UTF-8", payload);
    return 0;
}
