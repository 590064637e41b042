#include "host/host_store.h"
#include "host/normalize_host.h"
#include "host/site_rule.h"

#include "fakes.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <csignal>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvo {
namespace {

namespace fs = std::filesystem;
using testing::TempConfigHome;

std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(HostStore, LoadsHostElseSeedWhichIsCopied) {
    const std::optional<std::string> none;
    const struct {
        std::optional<std::string> host, seed, loaded, hostAfter;
    } rows[] = {
        {"HTTPS://Tenant.Service.tld:444/app\n", none, "tenant.service.tld",
         "HTTPS://Tenant.Service.tld:444/app\n"},
        {none, " https://Tenant.Service.tld/\n", "tenant.service.tld", "tenant.service.tld"},
        {"localhost", "tenant.service.tld", "tenant.service.tld", "tenant.service.tld"},
        {"one.service.tld", "two.service.tld", "one.service.tld", "one.service.tld"},
        {none, none, none, none},
        {"tenant.service.tld\xff", "seed.service.tld", "seed.service.tld", "seed.service.tld"},
        {"\xef\xbb\xbftenant.service.tld", none, "tenant.service.tld", "\xef\xbb\xbftenant.service.tld"},
        // A settings file is read whole only up to 64 KiB; a larger one is unreadable.
        {"one.service.tld" + std::string(65536 - 15, ' '), "seed.service.tld", "one.service.tld",
         "one.service.tld" + std::string(65536 - 15, ' ')},
        {"one.service.tld" + std::string(65536 - 14, ' '), "seed.service.tld", "seed.service.tld",
         "seed.service.tld"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host.value_or("no host").substr(0, 40) + ", " + row.seed.value_or("no seed"));
        TempConfigHome config;
        if (row.host)
            config.write("host.txt", *row.host);
        if (row.seed)
            config.write("seed.txt", *row.seed);
        // Nothing is cached: each load reads the files as they are now.
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(loadStoredHost(), row.loaded);
            EXPECT_EQ(config.read("host.txt"), row.hostAfter);
            EXPECT_EQ(config.read("seed.txt"), row.seed);
        }
    }
}

TEST(HostStore, SaveWritesTheBareHostWithTheUsersMode) {
    TempConfigHome config;
    saveHost("localhost");
    EXPECT_FALSE(fs::exists(config.folder));
    saveHost("  HTTPS://Tenant.Service.TLD:444/app?x=1\n");
    EXPECT_EQ(config.read("host.txt"), "tenant.service.tld");
    EXPECT_EQ(entriesOf(config.folder), std::set<std::string>{"host.txt"});

    // A rewrite keeps the mode the user gave the file.
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(config.folder / "host.txt", mode);
    saveHost("b.service.tld");
    EXPECT_EQ(config.read("host.txt"), "b.service.tld");
    EXPECT_EQ(fs::status(config.folder / "host.txt").permissions(), mode);

    // A pipe in place of host.txt is not waited on: the seed stands in, and
    // the failed copy over the pipe leaves no temporary file.
    config.write("seed.txt", "two.service.tld");
    fs::remove(config.folder / "host.txt");
    ::mkfifo((config.folder / "host.txt").c_str(), 0600);
    EXPECT_EQ(loadStoredHost(), "two.service.tld");
    EXPECT_EQ(entriesOf(config.folder), (std::set<std::string>{"host.txt", "seed.txt"}));

    // A plain file in place of the folder: nothing read, nothing written.
    fs::remove_all(config.folder);
    std::ofstream(config.folder) << "not a folder";
    EXPECT_EQ(loadStoredHost(), std::nullopt);
    saveHost("tenant.service.tld");
    EXPECT_EQ(fs::file_size(config.folder), 12u);
}

// A save that fails (the disk refuses the content) leaves the old host.txt
// whole and no temporary file beside it.
TEST(HostStore, FullDiskKeepsTheOldHost) {
    TempConfigHome config;
    const std::string hostA = "alpha.zandoral.com";
    saveHost(hostA);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file size limit fails every write past a few bytes as a full disk does.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4, 4};
        setrlimit(RLIMIT_FSIZE, &limit);
        saveHost("new-and-longer.zandoral.com");
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(config.read("host.txt"), hostA);
    EXPECT_EQ(entriesOf(config.folder), std::set<std::string>{"host.txt"});
}

TEST(NormalizeHost, Table) {
    const std::optional<std::string> none;
    const struct {
        std::string input;
        std::optional<std::string> expected;
    } rows[] = {
        {" \t\n\r\v\f ", none},
        {"  HTTPS://Tenant.Service.tld:444/app/page?x=1\n", "tenant.service.tld"},
        {"::tenant.service.tld:1", "tenant.service.tld"},
        {"tenant..service.tld.", "tenant..service.tld."},
        {"user@tenant.service.tld", "user@tenant.service.tld"},
        // White space beyond ASCII is trimmed; other invisible characters are not.
        {"\u00a0\u2028\u0085\u3000TENANT.SERVICE.TLD\u2029\u00a0", "tenant.service.tld"},
        {"a\u00a0b.tld", "a\u00a0b.tld"},
        {" \u0301a.tld", "\u0301a.tld"},
        // The full lower-case mapping of each code point on its own.
        {"\u039f\u0394\u039f\u03a3.tld", "\u03bf\u03b4\u03bf\u03c3.tld"},
        {"\u0130.tld", "i\u0307.tld"},
        {"a.\U00010400", "a.\U00010428"},
        // Letters of any script end a host.
        {"tenant.service.\u4e2d\u56fd", "tenant.service.\u4e2d\u56fd"},
        // A separator with a combining mark on it is no separator.
        {"a/\u0301b.tld", "a/\u0301b.tld"},
        // Text that is not UTF-8: an overlong full stop.
        {"a\xc0\xaetld", none},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(normalizeHost(row.input), row.expected) << row.input;
    }
}

// Turkish, Lithuanian and Azeri have rules of their own for the letter i; the
// user's language must not change a host.
TEST(NormalizeHost, IgnoresTheDefaultLocale) {
    const icu::Locale before = icu::Locale::getDefault();
    for (const char* locale : {"tr", "lt", "az"}) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(locale), status);
        EXPECT_EQ(normalizeHost("\u00c7I\u0130\u00cc.TLD"), "\u00e7ii\u0307\u00ec.tld") << locale;
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
        {"tenant.zandoral.com.evil.example", "tenant.zandoral.com", false},
        {"a.acme.co.uk", "b.acme.co.uk", true},
        {"acme.co.uk", "other.co.uk", false},
        {"co.uk", "acme.co.uk", false},
        {"alice.github.io", "bob.github.io", false},
        {"10.168.1.10", "192.168.1.10", false},
        {"a.localhost", "localhost", false},
        {"TENANT.Zandoral.COM.", "tenant.zandoral.com", true},
        {"shop.b\u00fccher.example", "xn--bcher-kva.example", true},
        {"tenant..zandoral.com", "tenant.zandoral.com", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sameSite(row.host, row.stored), row.same) << row.host << " vs " << row.stored;
        EXPECT_EQ(sameSite(row.stored, row.host), row.same) << row.stored << " vs " << row.host;
    }
    // The tenant's site is that of the stored host, over https only.
    const Url https{"https://tenant.zandoral.com", "https", "tenant.zandoral.com"};
    EXPECT_TRUE(isTenantSite(https, "tenant.zandoral.com"));
    EXPECT_FALSE(isTenantSite(Url{"http://tenant.zandoral.com", "http", "tenant.zandoral.com"},
                              "tenant.zandoral.com"));
    EXPECT_FALSE(isTenantSite(std::nullopt, "tenant.zandoral.com"));
    EXPECT_FALSE(isTenantSite(https, std::nullopt));
}

} // namespace
} // namespace orvo
