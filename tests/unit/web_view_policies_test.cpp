#include "app/web_view_policies.h"
#include "host/site_rule.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

TEST(SiteRule, RegistrableDomainTable) {
    struct Case {
        const char* host;
        const char* stored;
        bool same;
    } cases[] = {
        {"tenant.zandoral.com", "tenant.zandoral.com", true},
        {"cdn.zandoral.com", "tenant.zandoral.com", true},
        {"zandoral.com", "tenant.zandoral.com", true},
        {"a.b.zandoral.com", "tenant.zandoral.com", true},
        {"zandoral.co", "tenant.zandoral.com", false},
        {"tenant.zandoral.com.evil.example", "tenant.zandoral.com", false},
        {"evilzandoral.com", "tenant.zandoral.com", false},
        // Multi-label public suffixes: the registrable domain is one label more.
        {"a.acme.co.uk", "b.acme.co.uk", true},
        {"acme.co.uk", "other.co.uk", false},
        {"co.uk", "acme.co.uk", false},
        {"co.uk", "co.uk", true},
        // Private suffixes of the list count as well: tenants of a hosting
        // service are different sites.
        {"alice.github.io", "bob.github.io", false},
        {"x.alice.github.io", "alice.github.io", true},
        // IP addresses and names without a registrable domain match only themselves.
        {"192.168.1.10", "192.168.1.10", true},
        {"10.168.1.10", "192.168.1.10", false},
        {"1.10", "192.168.1.10", false},
        {"[::1]", "[::1]", true},
        {"[::2]", "[::1]", false},
        {"intranet", "intranet", true},
        {"other", "intranet", false},
        {"a.localhost", "localhost", false},
        // One form for every spelling: case, a trailing dot, Unicode and punycode.
        {"TENANT.Zandoral.COM", "tenant.zandoral.com", true},
        {"tenant.zandoral.com.", "tenant.zandoral.com", true},
        {"tenant.zandoral.com", "cdn.zandoral.com.", true},
        {"xn--bcher-kva.example", "b\u00fccher.example", true},
        {"shop.b\u00fccher.example", "xn--bcher-kva.example", true},
        {"xn--bcher-kva.example", "bucher.example", false},
        {"a-.zandoral.com", "tenant.zandoral.com", true},
        // Nothing is no site at all.
        {"", "tenant.zandoral.com", false},
        {"", "", false},
        {"tenant..zandoral.com", "tenant.zandoral.com", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " vs " + c.stored);
        EXPECT_EQ(sameSite(c.host, c.stored), c.same);
        EXPECT_EQ(sameSite(c.stored, c.host), c.same);
    }
}

// Hand-over decisions by scheme, kind of navigation, user activation and frame.
TEST(NavigationPolicy, HandOverTable) {
    const NavigationOutcome allow{NavigationDecision::allow, false};
    const NavigationOutcome handOver{NavigationDecision::cancel, true};
    const NavigationOutcome cancel{NavigationDecision::cancel, false};
    constexpr std::uint64_t consumed = 4;
    constexpr std::uint64_t fresh = 5;
    using K = NavigationKind;
    struct Case {
        const char* url;
        const char* scheme;
        NavigationKind kind;
        std::uint64_t activation;
        NavigationOutcome main;
        NavigationOutcome sub; // the same in a sub-frame
    } cases[] = {
        {"https://x.example/", "https", K::other, 0, allow, allow},
        {"about:blank", "about", K::other, 0, allow, allow},
        // The user's click or form leaves the view once per input.
        {"mailto:a@b.example", "mailto", K::linkClicked, fresh, handOver, handOver},
        {"tel:+15551234", "tel", K::linkClicked, fresh, handOver, handOver},
        {"http://x.example/", "http", K::linkClicked, fresh, handOver, handOver},
        {"smb://host/share", "smb", K::formSubmitted, fresh, handOver, handOver},
        // ... and not again for the same input, nor without one.
        {"mailto:a@b.example", "mailto", K::linkClicked, consumed, cancel, cancel},
        {"mailto:a@b.example", "mailto", K::linkClicked, 0, cancel, cancel},
        {"http://x.example/", "http", K::linkClicked, 3, cancel, cancel},
        // Scripts, refreshes, redirects and frame addresses never do.
        {"ssh://host", "ssh", K::redirect, fresh, cancel, cancel},
        {"http://x.example/", "http", K::other, fresh, cancel, cancel},
        {"http://x.example/", "http", K::reload, fresh, cancel, cancel},
        {"http://x.example/", "http", K::backForward, fresh, cancel, cancel},
        {"http://x.example/", "http", K::typed, fresh, cancel, cancel},
        // Addresses that mean nothing outside this view never leave it.
        {"data:text/html,x", "data", K::linkClicked, fresh, cancel, cancel},
        {"blob:https://t.example/1", "blob", K::linkClicked, fresh, cancel, cancel},
        {"javascript:alert(1)", "javascript", K::linkClicked, fresh, cancel, cancel},
        {"filesystem:https://t.example/x", "filesystem", K::linkClicked, fresh, cancel, cancel},
        {"file:///etc/passwd", "file", K::linkClicked, fresh, cancel, cancel},
        {"view-source:https://t.example/", "view-source", K::linkClicked, fresh, cancel, cancel},
        {"chrome://gpu", "chrome", K::linkClicked, fresh, cancel, cancel},
        {"devtools://devtools", "devtools", K::linkClicked, fresh, cancel, cancel},
        {"qrc:/orvo/icons/orvo-phone.svg", "qrc", K::linkClicked, fresh, cancel, cancel},
        // The comparison is exact: a scheme the URL type did not lower-case is foreign.
        {"HTTPS://x.example/", "HTTPS", K::linkClicked, fresh, handOver, handOver},
        {"HTTPS://x.example/", "HTTPS", K::other, fresh, cancel, cancel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        for (const bool mainFrame : {true, false}) {
            const NavigationAction action{Url{c.url, c.scheme, ""}, c.kind, mainFrame, c.activation};
            EXPECT_EQ(navigationPolicy(action, consumed), mainFrame ? c.main : c.sub);
        }
    }
    // A URL the platform could not parse is cancelled, whatever else holds.
    EXPECT_EQ(navigationPolicy(NavigationAction{std::nullopt, K::linkClicked, true, fresh}, consumed),
              cancel);
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
        {MediaCaptureType::microphone, "tenant.zandoral.com.evil.tld", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "", stored, PermissionDecision::prompt},
        {MediaCaptureType::microphone, "tenant.zandoral.com", std::nullopt, PermissionDecision::prompt},
        // The engine reports an IDN origin in punycode; the stored host may be Unicode.
        {MediaCaptureType::microphone, "xn--bcher-kva.example", "b\u00fccher.example",
         PermissionDecision::grant},
        {MediaCaptureType::microphone, "b\u00fccher.example", "xn--bcher-kva.example",
         PermissionDecision::grant},
        {MediaCaptureType::microphone, "xn--bcher-kva.example", "bucher.example", PermissionDecision::prompt},
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
