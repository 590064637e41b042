#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orvo {

inline constexpr std::string_view kMessageHandlerName = "orvo";
inline constexpr std::string_view kStatusPrefix = "orvo-status:";
inline constexpr std::string_view kCallPrefix = "orvo-call:";
inline constexpr std::string_view kNotifyPrefix = "orvo-notify:";
inline constexpr std::string_view kCommandPrefix = "orvo-cmd:";
inline constexpr std::string_view kToolTipPrefix = "ORVO \u2014 ";
inline constexpr std::string_view kCallTitle = "Incoming call";
inline constexpr std::string_view kUnknownCaller = "Unknown caller";
inline constexpr std::string_view kDefaultNotifyTitle = "ORVO";

struct StatusMessage {
    std::string toolTip;
    friend bool operator==(const StatusMessage&, const StatusMessage&) = default;
};
struct CallMessage {
    std::string caller;
    friend bool operator==(const CallMessage&, const CallMessage&) = default;
};
struct NotifyMessage {
    std::string title;
    std::string body;
    friend bool operator==(const NotifyMessage&, const NotifyMessage&) = default;
};
using PageMessage = std::variant<StatusMessage, CallMessage, NotifyMessage>;

// What a page message asks for, or nothing when it is to be ignored (another
// handler, a body that is not text, no known prefix, a notify payload that is
// not a JSON object). Never throws.
std::optional<PageMessage> parsePageMessage(const ScriptMessage& message);

// The script that delivers a command word to the page's listeners.
std::string deliveryExpression(std::string_view commandWord);

} // namespace orvo
