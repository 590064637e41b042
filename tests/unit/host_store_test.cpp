#include "host/host_store.h"

#include "temp_config_home.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvo {
namespace {

namespace fs = std::filesystem;

const std::optional<std::string> none;

std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

// Every test gets a fresh, empty configuration home of its own.
class HostStoreTest : public ::testing::Test {
protected:
    testing::TempConfigHome config;
};

struct LoadRow {
    const char* name;
    std::optional<std::string> host;
    std::optional<std::string> seed;
    std::optional<std::string> loaded;
    std::optional<std::string> loadedAgain;
    std::optional<std::string> hostAfter; // host.txt's bytes afterwards; nothing: absent
};

const std::vector<LoadRow> kLoadRows = {
    {"FullAddressInHost", "HTTPS://Tenant.Service.tld:444/app\n", none, "tenant.service.tld",
     "tenant.service.tld", "HTTPS://Tenant.Service.tld:444/app\n"},
    {"SeedCopiedToHost", none, " https://Tenant.Service.tld/\n", "tenant.service.tld", "tenant.service.tld",
     "tenant.service.tld"},
    {"InvalidHostReplacedBySeed", "localhost", "tenant.service.tld", "tenant.service.tld",
     "tenant.service.tld", "tenant.service.tld"},
    {"HostWinsOverSeed", "one.service.tld", "two.service.tld", "one.service.tld", "one.service.tld",
     "one.service.tld"},
    {"NothingAnywhere", none, none, none, none, none},
    {"BothInvalid", "localhost", "127.0.0.1", none, none, "localhost"},
    {"EmptyFiles", "", "", none, none, ""},
    {"HostNotUtf8", "tenant.service.tld\xff", "seed.service.tld", "seed.service.tld", "seed.service.tld",
     "seed.service.tld"},
    {"SeedNotUtf8", none, "tenant.service.tld\xc3", none, none, none},
    {"ByteOrderMarkIgnored", "\xef\xbb\xbftenant.service.tld", none, "tenant.service.tld",
     "tenant.service.tld", "\xef\xbb\xbftenant.service.tld"},
    {"SpaceAfterSchemeInSeed", none, "https:// tenant.service.tld", " tenant.service.tld",
     "tenant.service.tld", "tenant.service.tld"},
    {"SpaceLabelInSeed", none, "https:// .tld", " .tld", " .tld", none},
};

class LoadRowTest : public HostStoreTest, public ::testing::WithParamInterface<LoadRow> {};

TEST_P(LoadRowTest, LoadsAndCopies) {
    const LoadRow& row = GetParam();
    fs::create_directories(config.folder());
    if (row.host)
        config.write("host.txt", *row.host);
    if (row.seed)
        config.write("seed.txt", *row.seed);
    EXPECT_EQ(loadStoredHost(), row.loaded);
    EXPECT_EQ(config.read("host.txt"), row.hostAfter);
    EXPECT_EQ(config.read("seed.txt"), row.seed) << "seed.txt is never written";
    // Nothing is cached: the next load reads the files as they are now.
    EXPECT_EQ(loadStoredHost(), row.loadedAgain);
    EXPECT_EQ(config.read("host.txt"), row.hostAfter);
}

INSTANTIATE_TEST_SUITE_P(Files, LoadRowTest, ::testing::ValuesIn(kLoadRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostStoreTest, MissingFolderIsCreatedEmpty) {
    EXPECT_EQ(loadStoredHost(), std::nullopt);
    EXPECT_TRUE(fs::is_directory(config.folder()));
    EXPECT_TRUE(entriesOf(config.folder()).empty());
}

TEST_F(HostStoreTest, HostThatIsAFolderFallsBackToSeedAndStaysAFolder) {
    config.write("seed.txt", "tenant.service.tld");
    fs::create_directory(config.folder() / "host.txt");
    EXPECT_EQ(loadStoredHost(), "tenant.service.tld");
    // Writing over a folder fails; the attempt must leave no temporary file.
    EXPECT_TRUE(fs::is_directory(config.folder() / "host.txt"));
    EXPECT_EQ(entriesOf(config.folder()), (std::set<std::string>{"host.txt", "seed.txt"}));
}

TEST_F(HostStoreTest, UnreadableHostFallsBackToSeed) {
    const std::string padded = "one.service.tld" + std::string(kMaxSettingsFileSize - 15, ' ');
    const struct {
        const char* name;
        std::function<void(const fs::path&)> spoil;
    } cases[] = {
        // Root reads any file whatever its mode; the other cases hold for root too.
        {"no permissions", [](const fs::path& p) { fs::permissions(p, fs::perms::none); }},
        {"a link to itself", [](const fs::path& p) { fs::remove(p), fs::create_symlink(p, p); }},
        {"a link to nothing",
         [](const fs::path& p) { fs::remove(p), fs::create_symlink(p.string() + ".gone", p); }},
        {"one byte over the limit",
         [&](const fs::path& p) { std::ofstream(p, std::ios::binary) << padded << ' '; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (::geteuid() == 0 && std::string_view(c.name) == "no permissions")
            continue;
        testing::TempConfigHome fresh;
        fresh.write("host.txt", "one.service.tld");
        fresh.write("seed.txt", "two.service.tld");
        c.spoil(fresh.folder() / "host.txt");
        EXPECT_EQ(loadStoredHost(), "two.service.tld");
    }
    // At the limit the file is still read.
    config.write("host.txt", padded);
    EXPECT_EQ(loadStoredHost(), "one.service.tld");
    config.write("seed.txt", "two.service.tld" + std::string(kMaxSettingsFileSize, '\n'));
    config.write("host.txt", "");
    EXPECT_EQ(loadStoredHost(), std::nullopt) << "the limit holds for the seed too";
}

// host.txt gets the mode any new file of the user gets, and a rewrite keeps
// the mode the file has.
TEST_F(HostStoreTest, HostFileModeFollowsTheUmaskAndIsKept) {
    const auto modeOf = [&] {
        struct stat info {};
        ::stat((config.folder() / "host.txt").c_str(), &info);
        return info.st_mode & 07777;
    };
    const mode_t before = ::umask(0);
    for (const mode_t mask : {022, 077, 002, 0}) {
        SCOPED_TRACE(mask);
        ::umask(mask);
        fs::remove(config.folder() / "host.txt");
        saveHost("a.service.tld");
        EXPECT_EQ(modeOf(), 0666 & ~mask);
    }
    ::umask(077);
    ::chmod((config.folder() / "host.txt").c_str(), 0640);
    saveHost("b.service.tld");
    EXPECT_EQ(config.read("host.txt"), "b.service.tld");
    EXPECT_EQ(modeOf(), 0640u);
    ::umask(before);
}

TEST_F(HostStoreTest, PlainFileInPlaceOfTheFolder) {
    std::ofstream(config.folder()) << "not a folder";
    EXPECT_EQ(loadStoredHost(), std::nullopt);
    saveHost("tenant.service.tld");
    std::ifstream file(config.folder());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "not a folder");
}

TEST_F(HostStoreTest, SaveStoresTheBareHostAndLeavesNoTemporaryFile) {
    config.write("seed.txt", "seed.service.tld");
    saveHost("  HTTPS://Tenant.Service.TLD:444/app?x=1\n");
    EXPECT_EQ(config.read("host.txt"), "tenant.service.tld");
    saveHost("new.service.tld");
    EXPECT_EQ(config.read("host.txt"), "new.service.tld");
    EXPECT_EQ(entriesOf(config.folder()), (std::set<std::string>{"host.txt", "seed.txt"}));
}

TEST_F(HostStoreTest, SaveOfInvalidValueChangesNothing) {
    saveHost("localhost");
    EXPECT_FALSE(fs::exists(config.folder()));
    config.write("host.txt", "old.service.tld");
    saveHost("https://tenant.service.t1d");
    EXPECT_EQ(config.read("host.txt"), "old.service.tld");
}

TEST_F(HostStoreTest, FolderFollowsTheEnvironment) {
    const fs::path fallback = config.root() / "home/.config/Zandoral.Orvo";
    const struct {
        std::optional<std::string> xdg; // nothing: unset; a relative path is ignored
        fs::path expected;
    } cases[] = {
        {(config.root() / "xdg").string(), config.root() / "xdg/Zandoral.Orvo"},
        {std::nullopt, fallback},
        {"", fallback},
        {"relative", fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xdg.value_or("unset"));
        if (c.xdg)
            ::setenv("XDG_CONFIG_HOME", c.xdg->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(settingsDirectory(), c.expected);
        EXPECT_TRUE(fs::is_directory(c.expected));
    }

    // Without a usable HOME the home comes from the password database, the
    // same one the rest of the app is then given.
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    for (const char* home : {static_cast<const char*>(nullptr), "", "relative/home"}) {
        SCOPED_TRACE(home ? home : "unset");
        if (home)
            ::setenv("HOME", home, 1);
        else
            ::unsetenv("HOME");
        EXPECT_EQ(homeDirectory(), fs::path(entry->pw_dir));
    }
    ::setenv("HOME", config.root().c_str(), 1);
    EXPECT_EQ(homeDirectory(), config.root());
}

} // namespace
} // namespace orvo
