#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace orvo {

struct NavigationOutcome {
    NavigationDecision decision = NavigationDecision::allow;
    // Whether the URL goes to the desktop's default application.
    bool handOver = false;
    friend bool operator==(const NavigationOutcome&, const NavigationOutcome&) = default;
};

// Keeps the view on "https" and "about" addresses. Any other address is
// cancelled; it goes to the desktop only when the user started it (a link
// followed or a form submitted after a real input event that no earlier
// hand-over used, `consumedActivation` being the one the last hand-over
// used), and never for schemes that mean nothing outside this view. A URL
// that could not be parsed is cancelled.
NavigationOutcome navigationPolicy(const NavigationAction& action, std::uint64_t consumedActivation);

// Grants the microphone alone to pages whose origin host is the stored host
// address (compared in IDNA ASCII form); everything else is left to the
// user. `loadHost` is read only for microphone requests.
PermissionDecision mediaCapturePolicy(MediaCaptureType type, const std::string& originHost,
                                      const std::function<std::optional<std::string>()>& loadHost);

// What a permission prompt asks: the asking site by its host, or by its whole
// origin when the origin names a port (the engine leaves a scheme's default
// port out), since another port may be another service.
std::string permissionQuestion(const Url& origin, bool hasPort, MediaCaptureType type);

} // namespace orvo
