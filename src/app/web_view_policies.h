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
    // Why a navigation was cancelled without a hand-over, for diagnostics;
    // it says nothing about the outcome itself, so equality leaves it out.
    const char* refusal = nullptr;
    friend bool operator==(const NavigationOutcome& a, const NavigationOutcome& b) {
        return a.decision == b.decision && a.handOver == b.handOver;
    }
};

// Keeps the view on "https" and "about" addresses. Any other address is
// cancelled; it goes to the desktop only when the user started it (a link
// followed or a form submitted after a real input event that no earlier
// hand-over used, `consumedActivation` being the one the last hand-over
// used), and never for schemes that mean nothing outside this view. A URL
// that could not be parsed is cancelled.
NavigationOutcome navigationPolicy(const NavigationAction& action, std::uint64_t consumedActivation);

// A new window is never opened. Its address goes to the desktop when the user
// started the request (the engine saw a gesture, and a real input event that
// no earlier hand-over used came before it) and the address is one for the
// desktop: "https", "http", or another scheme that navigations hand over;
// never "about" or the local schemes. Returns why the address stays where it
// is, or nothing when it is handed over.
const char* newWindowRefusal(const NewWindowAction& action, std::uint64_t consumedActivation);

// Grants the microphone alone to pages whose origin host is the stored host
// address (compared in IDNA ASCII form); everything else is left to the
// user. `loadHost` is read only for microphone requests.
PermissionDecision mediaCapturePolicy(MediaCaptureType type, const std::string& originHost,
                                      const std::function<std::optional<std::string>()>& loadHost);

// What a permission prompt asks: the asking site by its host, or by its whole
// origin when the origin names a port (the engine leaves a scheme's default
// port out), since another port may be another service; and what it would
// get. A screen capture names the screen or window the user picked, else it
// is the whole screen.
std::string permissionQuestion(const Url& origin, bool hasPort, MediaCaptureType type,
                               const std::optional<CaptureSource>& source = std::nullopt);

} // namespace orvo
