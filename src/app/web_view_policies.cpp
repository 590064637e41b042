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
    const auto cancel = [](const char* why) {
        return NavigationOutcome{NavigationDecision::cancel, false, why};
    };
    if (!action.url)
        return cancel("an address that does not parse");
    const std::string& scheme = action.url->scheme;
    if (scheme == "https" || scheme == "about")
        return {NavigationDecision::allow, false};
    if (isLocalScheme(scheme))
        return cancel("a local scheme, never handed over");
    if (action.kind != NavigationKind::linkClicked && action.kind != NavigationKind::formSubmitted)
        return cancel("not a link or form the user followed");
    if (action.userActivation <= consumedActivation)
        return cancel("no user input since the last hand-over");
    return {NavigationDecision::cancel, true};
}

const char* newWindowRefusal(const NewWindowAction& action, std::uint64_t consumedActivation) {
    if (!action.url)
        return "an address that does not parse";
    if (action.url->scheme == "about" || isLocalScheme(action.url->scheme))
        return "a local scheme, never handed over";
    if (!action.userInitiated)
        return "not started by the user";
    if (action.userActivation <= consumedActivation)
        return "no user input since the last hand-over";
    return nullptr;
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

std::string permissionQuestion(const Url& origin, bool hasPort, MediaCaptureType type,
                               const std::optional<CaptureSource>& source) {
    const std::string& site = origin.host.empty() || hasPort ? origin.text : origin.host;
    switch (type) {
    case MediaCaptureType::microphone:
        return site + " wants to use your microphone";
    case MediaCaptureType::camera:
        return site + " wants to use your camera";
    case MediaCaptureType::cameraAndMicrophone:
        return site + " wants to use your camera and microphone";
    case MediaCaptureType::screen:
        if (!source)
            return site + " wants to share your whole screen";
        return site + " wants to share the " + (source->window ? "window" : "screen") + " \u201c" +
               source->name + "\u201d";
    }
    return site + " wants to use a device";
}

} // namespace orvo
