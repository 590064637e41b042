#pragma once

#include "platform/platform.h"

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

// Keeps the view on "https" and "about" addresses (and requests without a
// URL); every other scheme is cancelled and handed to the desktop, except
// "file", which is only cancelled: web content must not open local files.
NavigationOutcome navigationPolicy(const std::optional<Url>& url);

// Grants the microphone alone to pages whose origin host is the stored host
// address; everything else is left to the user. `loadHost` is read only for
// microphone requests.
PermissionDecision mediaCapturePolicy(MediaCaptureType type, const std::string& originHost,
                                      const std::function<std::optional<std::string>()>& loadHost);

} // namespace orvo
