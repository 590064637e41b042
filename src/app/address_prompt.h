#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>

namespace orvo {

// The example tenant address shown in the prompt's text and as placeholder.
inline constexpr std::string_view kExampleTenantAddress = "yourcompany.zandoral.com";

// The alert that asks for the instance's address on first start.
AlertContent addressPromptContent();

// Runs the address prompt modally; the normalised host address of the entry
// when the user chose "Connect", else nothing.
std::optional<std::string> promptForHost(Platform& platform);

} // namespace orvo
