#include "host/host_store.h"

#include "temp_config_home.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
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
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads any file; the folder case above covers unreadable input";
    config.write("host.txt", "one.service.tld");
    config.write("seed.txt", "two.service.tld");
    fs::permissions(config.folder() / "host.txt", fs::perms::none);
    EXPECT_EQ(loadStoredHost(), "two.service.tld");
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
}

} // namespace
} // namespace orvo
