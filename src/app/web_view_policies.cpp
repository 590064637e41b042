#include "app/web_view_policies.h"

#include "host/site_rule.h"

#include <array>
#include <string_view>

namespace orvo {

namespace {

// Addresses of the view's own making, or of the local machine: handed to the
// desktop they would open local files, or another browser's internals, on a
// page's behalf.
constexpr std::array<std::string_view, 9> kLocalSchemes = {
    "data", "blob", "javascript", "filesystem", "file", "view-source", "chrome", "devtools", "qrc"};

bool isLocalScheme(std::string_view scheme) {
    for (std::string_view local : kLocalSchemes) {
        if (scheme == local)
            return true;
    }
    return false;
}

} // namespace

NavigationOutcome navigationPolicy(const NavigationAction& action, std::uint64_t consumedActivation) {
    constexpr NavigationOutcome cancel{NavigationDecision::cancel, false};
    if (!action.url)
        return cancel;
    const std::string& scheme = action.url->scheme;
    if (scheme == "https" || scheme == "about")
        return {NavigationDecision::allow, false};
    if (isLocalScheme(scheme))
        return cancel;
    const bool userStarted =
        (action.kind == NavigationKind::linkClicked || action.kind == NavigationKind::formSubmitted) &&
        action.userActivation > consumedActivation;
    return userStarted ? NavigationOutcome{NavigationDecision::cancel, true} : cancel;
}

PermissionDecision mediaCapturePolicy(MediaCaptureType type, const std::string& originHost,
                                      const std::function<std::optional<std::string>()>& loadHost) {
    if (type != MediaCaptureType::microphone)
        return PermissionDecision::prompt;
    const std::optional<std::string> storedHost = loadHost();
    if (!storedHost)
        return PermissionDecision::prompt;
    const std::optional<std::string> origin = asciiHost(originHost);
    return origin && origin == asciiHost(*storedHost) ? PermissionDecision::grant
                                                      : PermissionDecision::prompt;
}

std::string permissionQuestion(const Url& origin, bool hasPort, MediaCaptureType type) {
    const std::string& site = origin.host.empty() || hasPort ? origin.text : origin.host;
    const char* device = type == MediaCaptureType::microphone ? "microphone"
                         : type == MediaCaptureType::camera   ? "camera"
                                                              : "camera and microphone";
    return site + " wants to use your " + device;
}

} // namespace orvo
