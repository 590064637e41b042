#include "app/address_prompt.h"

#include "host/normalize_host.h"

namespace orvo {

AlertContent addressPromptContent() {
    AlertContent content;
    content.messageText = "Connect to your Zandoral instance";
    content.informativeText = "Enter your address, e.g. " + std::string(kExampleTenantAddress);
    content.buttonTitles = {"Connect", "Quit"};
    content.textFieldFrame = Rect{0, 0, 280, 24};
    content.textFieldPlaceholder = std::string(kExampleTenantAddress);
    return content;
}

std::optional<std::string> promptForHost(Platform& platform) {
    const AlertResult result = platform.runModalAlert(addressPromptContent());
    // Only "Connect" reads the field; an entry the rule rejects ends up as
    // nothing, exactly like "Quit".
    if (result.response != kAlertFirstButtonReturn)
        return std::nullopt;
    return normalizeHost(result.textFieldValue);
}

} // namespace orvo
