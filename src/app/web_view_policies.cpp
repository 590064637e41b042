#include "app/web_view_policies.h"

namespace orvo {

NavigationOutcome navigationPolicy(const std::optional<Url>& url) {
    if (!url || url->scheme == "https" || url->scheme == "about")
        return {NavigationDecision::allow, false};
    // A page must not be able to open or launch local files through the
    // desktop's opener, so file addresses are refused without a hand-over.
    if (url->scheme == "file")
        return {NavigationDecision::cancel, false};
    return {NavigationDecision::cancel, true};
}

PermissionDecision mediaCapturePolicy(MediaCaptureType type, const std::string& originHost,
                                      const std::function<std::optional<std::string>()>& loadHost) {
    if (type != MediaCaptureType::microphone)
        return PermissionDecision::prompt;
    const std::optional<std::string> storedHost = loadHost();
    if (!storedHost)
        return PermissionDecision::prompt;
    return originHost == *storedHost ? PermissionDecision::grant : PermissionDecision::prompt;
}

} // namespace orvo
