#include "app/address_prompt.h"

#include "host/normalize_host.h"

namespace orvo {

AlertSpec addressPromptSpec() {
    AlertSpec spec;
    spec.messageText = "Connect to your Zandoral instance";
    spec.informativeText = "Enter your address, e.g. " + std::string(kExampleTenantAddress);
    spec.buttonTitles = {"Connect", "Quit"};
    spec.textFieldFrame = Rect{0, 0, 280, 24};
    spec.textFieldPlaceholder = std::string(kExampleTenantAddress);
    return spec;
}

std::optional<std::string> promptForHost(Platform& platform) {
    const AlertResult result = platform.runModalAlert(addressPromptSpec());
    // Only "Connect" reads the field; an entry the rule rejects ends up as
    // nothing, exactly like "Quit".
    if (result.response != kAlertFirstButtonReturn)
        return std::nullopt;
    return normalizeHost(result.textFieldValue);
}

} // namespace orvo
