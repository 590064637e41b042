#include "host/site_rule.h"

#include <arpa/inet.h>
#include <libpsl.h>
#include <unicode/uidna.h>

#include <algorithm>
#include <memory>

namespace orvo {

namespace {

const psl_ctx_t* publicSuffixList() {
    // The newest list at hand: the distribution's file when it is newer than
    // the copy built into the library. Loaded once; it does not change while
    // the application runs.
    struct Free {
        void operator()(psl_ctx_t* ctx) const { psl_free(ctx); }
    };
    static const std::unique_ptr<psl_ctx_t, Free> latest(psl_latest(nullptr));
    return latest ? latest.get() : psl_builtin();
}

bool isIpAddress(const std::string& host) {
    unsigned char buffer[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buffer) == 1;
    if (host.find(':') != std::string::npos)
        return true;
    // A last label of digits is how URL parsers recognise an IPv4 address in
    // any of its spellings (0x7f.1, 127.1, ...); none of them is a name.
    const std::size_t dot = host.rfind('.');
    const std::string last = dot == std::string::npos ? host : host.substr(dot + 1);
    const auto digits = [](std::string_view s, bool hex) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [hex](char c) {
            return (c >= '0' && c <= '9') || (hex && c >= 'a' && c <= 'f');
        });
    };
    return digits(last, false) ||
           (last.starts_with("0x") && (last.size() == 2 || digits(last.substr(2), true)));
}

} // namespace

std::optional<std::string> asciiHost(std::string_view host) {
    if (host.empty() || host.size() > 1024)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    struct Close {
        void operator()(UIDNA* idna) const { uidna_close(idna); }
    };
    thread_local const std::unique_ptr<UIDNA, Close> idna(
        uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_CHECK_BIDI, &status));
    if (!idna)
        return std::nullopt;
    status = U_ZERO_ERROR;
    char out[1024];
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    const int32_t length = uidna_nameToASCII_UTF8(idna.get(), host.data(), static_cast<int32_t>(host.size()),
                                                  out, static_cast<int32_t>(sizeof out), &info, &status);
    // Hyphen rules are the browser's business: a name it loads must not fail
    // here for a label that starts or ends with a hyphen.
    const uint32_t errors = info.errors & ~(UIDNA_ERROR_LEADING_HYPHEN | UIDNA_ERROR_TRAILING_HYPHEN |
                                            UIDNA_ERROR_HYPHEN_3_4 | UIDNA_ERROR_EMPTY_LABEL);
    if (U_FAILURE(status) || errors != 0 || length <= 0 || length >= static_cast<int32_t>(sizeof out))
        return std::nullopt;
    std::string ascii(out, static_cast<std::size_t>(length));
    if (ascii.back() == '.')
        ascii.pop_back();
    if (ascii.empty() || ascii.find("..") != std::string::npos || ascii.front() == '.')
        return std::nullopt;
    return ascii;
}

bool sameSite(std::string_view host, std::string_view storedHost) {
    const std::optional<std::string> a = asciiHost(host);
    const std::optional<std::string> b = asciiHost(storedHost);
    if (!a || !b)
        return false;
    if (*a == *b)
        return true;
    if (isIpAddress(*a) || isIpAddress(*b))
        return false;
    const psl_ctx_t* psl = publicSuffixList();
    if (!psl)
        return false;
    const char* siteA = psl_registrable_domain(psl, a->c_str());
    const char* siteB = psl_registrable_domain(psl, b->c_str());
    return siteA && siteB && std::string_view(siteA) == std::string_view(siteB);
}

bool isTenantSite(const std::optional<Url>& origin, const std::optional<std::string>& storedHost) {
    return origin && storedHost && origin->scheme == "https" && sameSite(origin->host, *storedHost);
}

} // namespace orvo
