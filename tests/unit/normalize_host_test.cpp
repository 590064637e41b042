#include "host/normalize_host.h"
#include "host/normalize_host_paths.h"
#include "host/site_rule.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <algorithm>

namespace orvo {
namespace {

using namespace std::string_literals;

TEST(NormalizeHost, Table) {
    const std::optional<std::string> none;
    const struct {
        std::string input;
        std::optional<std::string> expected;
    } rows[] = {
        {"", none},
        {" \t\n\r\v\f ", none},
        {"  HTTPS://Tenant.Service.tld:444/app/page?x=1\n", "tenant.service.tld"},
        {"::tenant.service.tld:1", "tenant.service.tld"},
        {"a://b://c.tld", none},
        {"localhost:3000", none},
        {"192.168.10.20", none},
        {".tld", none},
        {"tenant..service.tld.", "tenant..service.tld."},
        {"tenant.service.t1d", none},
        {"tenant.service.xn--p1ai", none},
        {"user@tenant.service.tld", "user@tenant.service.tld"},
        {"user:secret@tenant.service.tld", none},
        {"tenant.service.tld?x=1", none},
        {"https:// tenant.service.tld", " tenant.service.tld"},
        {" .tld", none},
        {"https:///tenant.service.tld", none},
        {"tenant.service.tld\nsecond", none},
        {"a\0b.tld"s, "a\0b.tld"s},
        // White space beyond ASCII is trimmed; other invisible characters are not.
        {"\u00a0\u2028\u0085\u3000TENANT.SERVICE.TLD\u2029\u00a0", "tenant.service.tld"},
        {"a\u00a0b.tld", "a\u00a0b.tld"},
        {"\u200ba.tld", "\u200ba.tld"},
        {" \u0301a.tld", "\u0301a.tld"},
        // The full lower-case mapping of each code point on its own.
        {"tenant.service.\u0420\u0424", "tenant.service.\u0440\u0444"},
        {"\u039f\u0394\u039f\u03a3.tld", "\u03bf\u03b4\u03bf\u03c3.tld"},
        {"\u0130.tld", "i\u0307.tld"},
        {"a.\u212a", "a.k"},
        {"a.\U00010400", "a.\U00010428"},
        // Letters of any script end a host; digits and symbols of any script do not.
        {"tenant.service.\u4e2d\u56fd", "tenant.service.\u4e2d\u56fd"},
        {"tenant.tld\uff11", none},
        {"a.\U0001f600", none},
        // A separator with a combining mark on it is no separator.
        {"tenant.\u0301service", none},
        {"a/\u0301b.tld", "a/\u0301b.tld"},
        {"a\uff0fb.tld", "a\uff0fb.tld"},
        {"tenant\uff0etld", none},
        // Text that is not UTF-8.
        {"a.tld\xff", none},
        {"a\xc0\xaetld", none},
        {"a.\xed\xa0\x80tld", none},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(normalizeHost(row.input), row.expected);
        if (std::all_of(row.input.begin(), row.input.end(), [](char c) { return (c & 0x80) == 0; })) {
            EXPECT_EQ(detail::normalizeHostAscii(row.input), detail::normalizeHostUnicode(row.input));
        }
        // A host address passed back in stays as it is.
        if (row.expected && !row.expected->starts_with(' ')) {
            EXPECT_EQ(normalizeHost(*row.expected), row.expected);
        }
    }
    EXPECT_EQ(normalizeHost(std::nullopt), none);
}

// Turkish, Lithuanian and Azeri have rules of their own for the letter i; the
// user's language must not change a host.
TEST(NormalizeHost, IgnoresTheDefaultLocale) {
    const icu::Locale before = icu::Locale::getDefault();
    for (const char* locale : {"tr", "lt", "az"}) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(locale), status);
        EXPECT_EQ(normalizeHost("\u00c7I.TLD"), "\u00e7i.tld") << locale;
        EXPECT_EQ(normalizeHost("\u0130\u00cc.tld"), "i\u0307\u00ec.tld") << locale;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(before, status);
}

TEST(SiteRule, RegistrableDomainTable) {
    const struct {
        const char *host, *stored;
        bool same;
    } rows[] = {
        {"cdn.zandoral.com", "tenant.zandoral.com", true},
        {"zandoral.co", "tenant.zandoral.com", false},
        {"tenant.zandoral.com.evil.example", "tenant.zandoral.com", false},
        {"a.acme.co.uk", "b.acme.co.uk", true},
        {"acme.co.uk", "other.co.uk", false},
        {"co.uk", "acme.co.uk", false},
        {"alice.github.io", "bob.github.io", false},
        {"x.alice.github.io", "alice.github.io", true},
        {"192.168.1.10", "192.168.1.10", true},
        {"10.168.1.10", "192.168.1.10", false},
        {"[::1]", "[::1]", true},
        {"intranet", "intranet", true},
        {"a.localhost", "localhost", false},
        {"TENANT.Zandoral.COM.", "tenant.zandoral.com", true},
        {"shop.b\u00fccher.example", "xn--bcher-kva.example", true},
        {"xn--bcher-kva.example", "bucher.example", false},
        {"tenant..zandoral.com", "tenant.zandoral.com", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sameSite(row.host, row.stored), row.same) << row.host << " vs " << row.stored;
        EXPECT_EQ(sameSite(row.stored, row.host), row.same) << row.stored << " vs " << row.host;
    }
}

} // namespace
} // namespace orvo
