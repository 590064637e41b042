#include "app/web_view_policies.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

TEST(NavigationPolicy, SchemeTable) {
    const NavigationOutcome allow{NavigationDecision::allow, false};
    const NavigationOutcome handOver{NavigationDecision::cancel, true};
    const NavigationOutcome refuse{NavigationDecision::cancel, false};
    struct Case {
        const char* scheme;
        NavigationOutcome expected;
    } cases[] = {
        {"https", allow},
        {"about", allow},
        // The comparison is exact: a scheme the URL type did not lower-case stays foreign.
        {"HTTPS", handOver},
        {"Https", handOver},
        {"http", handOver},
        {"mailto", handOver},
        {"tel", handOver},
        {"sip", handOver},
        {"data", handOver},
        {"blob", handOver},
        {"", handOver},
        {"ftp", handOver},
        {"https ", handOver},
        // Local files are never opened on a page's behalf.
        {"file", refuse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scheme);
        EXPECT_EQ(navigationPolicy(Url{std::string(c.scheme) + ":x", c.scheme, ""}), c.expected);
    }
    EXPECT_EQ(navigationPolicy(std::nullopt), allow);
}

TEST(MediaCapturePolicy, PermissionTable) {
    const std::optional<std::string> stored = "tenant.zandoral.com";
    struct Case {
        MediaCaptureType type;
        const char* origin;
        std::optional<std::string> storedHost;
        PermissionDecision expected;
    } cases[] = {
        {MediaCaptureType::microphone, "tenant.zandoral.com", stored, PermissionDecision::grant},
        {MediaCaptureType::camera, "tenant.zandoral.com", stored, PermissionDecision::prompt},
        {MediaCaptureType::cameraAndMicrophone, "tenant.zandoral.com", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "other.zandoral.com", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "TENANT.zandoral.com", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "tenant.zandoral.com.evil.tld", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "tenant.zandoral.com", std::nullopt, PermissionDecision::prompt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.origin);
        int reads = 0;
        const auto decision = mediaCapturePolicy(c.type, c.origin, [&] {
            ++reads;
            return c.storedHost;
        });
        EXPECT_EQ(decision, c.expected);
        // The store is only consulted for the one request it can grant.
        EXPECT_EQ(reads, c.type == MediaCaptureType::microphone ? 1 : 0);
    }
}

} // namespace
} // namespace orvo
