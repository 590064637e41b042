#include "bridge/page_messages.h"

#include <nlohmann/json.hpp>

namespace orvo {

namespace {

std::optional<std::string_view> payloadAfter(std::string_view body, std::string_view prefix) {
    if (!body.starts_with(prefix))
        return std::nullopt;
    return body.substr(prefix.size());
}

std::optional<PageMessage> parseNotify(std::string_view payload) {
    // JSON text never holds a raw NUL byte (inside a string it must be
    // escaped), but the parser takes one for the end of its input and would
    // accept an object followed by a NUL and anything at all.
    if (payload.find('\0') != std::string_view::npos)
        return std::nullopt;
    // The parser rejects invalid UTF-8 inside strings, which stands for text
    // that cannot be encoded without loss.
    nlohmann::json value = nlohmann::json::parse(payload, nullptr, /*allow_exceptions=*/false);
    if (!value.is_object())
        return std::nullopt;
    NotifyMessage message{std::string(kDefaultNotifyTitle), std::string()};
    if (auto title = value.find("title"); title != value.end() && title->is_string())
        message.title = title->get<std::string>();
    if (auto body = value.find("body"); body != value.end() && body->is_string())
        message.body = body->get<std::string>();
    return message;
}

} // namespace

std::optional<PageMessage> parsePageMessage(const ScriptMessage& message) {
    if (message.name != kMessageHandlerName || !message.body)
        return std::nullopt;
    const std::string_view body = *message.body;
    if (auto payload = payloadAfter(body, kStatusPrefix))
        return StatusMessage{std::string(kToolTipPrefix) + std::string(*payload)};
    if (auto payload = payloadAfter(body, kCallPrefix))
        return CallMessage{payload->empty() ? std::string(kUnknownCaller) : std::string(*payload)};
    if (auto payload = payloadAfter(body, kNotifyPrefix)) {
        try {
            return parseNotify(*payload);
        } catch (const std::exception&) {
            // Nesting too deep for the parser, or memory exhausted: a bad
            // page message is dropped like any other.
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string deliveryExpression(std::string_view commandWord) {
    // Backslashes are doubled and apostrophes escaped in one pass, so the
    // backslashes added before apostrophes are never doubled again.
    std::string escaped;
    for (char c : commandWord) {
        if (c == '\\' || c == '\'')
            escaped += '\\';
        escaped += c;
    }
    return "window.chrome.webview.__deliver('" + std::string(kCommandPrefix) + escaped + "')";
}

} // namespace orvo
