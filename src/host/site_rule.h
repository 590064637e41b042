#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// The ASCII (IDNA) form of a host name, lower case and without a trailing
// dot; nothing when the name cannot be converted. Hosts are compared in this
// form only, so a Unicode spelling and its punycode are the same host.
std::optional<std::string> asciiHost(std::string_view host);

// Whether `host` belongs to the same site as `storedHost`: the same
// registrable domain by the Public Suffix List. An IP address, or a name that
// has no registrable domain (a public suffix itself, a single label), matches
// only itself.
bool sameSite(std::string_view host, std::string_view storedHost);

// Whether a frame's origin or a page's URL speaks for the tenant: "https" and
// of the stored host's site. Nothing stored, or no origin (an opaque one),
// never does.
bool isTenantSite(const std::optional<Url>& origin, const std::optional<std::string>& storedHost);

} // namespace orvo
