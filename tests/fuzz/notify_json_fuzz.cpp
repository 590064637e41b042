// Feeds arbitrary bytes as the payload of a notify message and checks what
// the parser makes of them: it never throws (an escaping exception ends the run), it yields a notification
// only for a JSON object, the title and body it yields are valid UTF-8 (they go out over D-Bus, which refuses
// anything else), and the same payload always yields the same result.
#include "bridge/page_messages.h"
#include "fuzz_checks.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

using orvo::fuzz::framedAsObject;
using orvo::fuzz::isValidUtf8;

[[noreturn]] void fail(const char* what, std::string_view payload) {
    std::fprintf(stderr, "%s\n  payload of %zu bytes\n", what, payload.size());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const orvo::ScriptMessage message{std::string(orvo::kMessageHandlerName),
                                      std::string(orvo::kNotifyPrefix) + std::string(payload)};

    const auto first = orvo::parsePageMessage(message);
    if (orvo::parsePageMessage(message) != first)
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
