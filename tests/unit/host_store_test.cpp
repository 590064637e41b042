#include "host/host_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvo {
namespace {

namespace fs = std::filesystem;

// Remembers an environment variable and puts it back on destruction.
class SavedVariable {
public:
    explicit SavedVariable(const char* name) : name_(name) {
        if (const char* value = std::getenv(name))
            value_ = value;
    }
    ~SavedVariable() {
        if (value_)
            ::setenv(name_, value_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    SavedVariable(const SavedVariable&) = delete;
    SavedVariable& operator=(const SavedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> value_;
};

std::optional<std::string> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in || fs::is_directory(path))
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

// Every test gets a fresh, empty configuration home of its own.
class HostStoreTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "orvo-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("HOME", (root_ / "home").c_str(), 1);
    }

    void TearDown() override {
        // Give back any permission a test took away, so that cleaning works.
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(root_, ec))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }

    fs::path folder() const { return root_ / "config" / "Zandoral.Orvo"; }
    fs::path hostFile() const { return folder() / "host.txt"; }
    fs::path seedFile() const { return folder() / "seed.txt"; }

    void place(const std::optional<std::string>& host, const std::optional<std::string>& seed) {
        fs::create_directories(folder());
        if (host)
            writeBytes(hostFile(), *host);
        if (seed)
            writeBytes(seedFile(), *seed);
    }

    fs::path root_;

private:
    SavedVariable xdg_{"XDG_CONFIG_HOME"};
    SavedVariable home_{"HOME"};
};

TEST_F(HostStoreTest, FirstLoadCreatesAnEmptyFolder) {
    EXPECT_EQ(loadStoredHost(), std::nullopt);
    EXPECT_TRUE(fs::is_directory(folder()));
    EXPECT_TRUE(entriesOf(folder()).empty());
}

struct LoadRow {
    const char* name;
    std::optional<std::string> host;
    std::optional<std::string> seed;
    std::optional<std::string> loaded;
    std::optional<std::string> loadedAgain;
    std::optional<std::string> hostAfter; // host.txt's bytes afterwards; nothing: absent
};

void PrintTo(const LoadRow& row, std::ostream* out) {
    *out << row.name;
}

class LoadRowTest : public HostStoreTest, public testing::WithParamInterface<LoadRow> {};

const std::optional<std::string> none;

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

TEST_P(LoadRowTest, LoadsAndCopies) {
    const LoadRow& row = GetParam();
    place(row.host, row.seed);
    EXPECT_EQ(loadStoredHost(), row.loaded);
    EXPECT_EQ(readBytes(hostFile()), row.hostAfter);
    EXPECT_EQ(readBytes(seedFile()), row.seed) << "seed.txt is never written";
    // Nothing is cached: the next load reads the files as they are now.
    EXPECT_EQ(loadStoredHost(), row.loadedAgain);
    EXPECT_EQ(readBytes(hostFile()), row.hostAfter);
}

INSTANTIATE_TEST_SUITE_P(Files, LoadRowTest, testing::ValuesIn(kLoadRows),
                         [](const testing::TestParamInfo<LoadRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(HostStoreTest, EditedHostIsReadAgain) {
    place("one.service.tld", none);
    EXPECT_EQ(loadStoredHost(), "one.service.tld");
    writeBytes(hostFile(), "two.service.tld");
    EXPECT_EQ(loadStoredHost(), "two.service.tld");
}

TEST_F(HostStoreTest, HostThatIsAFolderFallsBackToSeedAndStaysAFolder) {
    place(none, "tenant.service.tld");
    fs::create_directory(hostFile());
    EXPECT_EQ(loadStoredHost(), "tenant.service.tld");
    // Writing over a folder fails; the attempt must leave no temporary file.
    EXPECT_TRUE(fs::is_directory(hostFile()));
    EXPECT_EQ(entriesOf(folder()), (std::set<std::string>{"host.txt", "seed.txt"}));
}

TEST_F(HostStoreTest, UnreadableHostFallsBackToSeed) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads any file; the folder case above covers unreadable input";
    place("one.service.tld", "two.service.tld");
    fs::permissions(hostFile(), fs::perms::none);
    EXPECT_EQ(loadStoredHost(), "two.service.tld");
}

TEST_F(HostStoreTest, PlainFileInPlaceOfTheFolder) {
    fs::create_directories(folder().parent_path());
    writeBytes(folder(), "not a folder");
    EXPECT_EQ(loadStoredHost(), std::nullopt);
    saveHost("tenant.service.tld");
    EXPECT_EQ(readBytes(folder()), "not a folder");
}

TEST_F(HostStoreTest, SaveStoresTheBareHost) {
    saveHost("  HTTPS://Tenant.Service.TLD:444/app?x=1\n");
    EXPECT_EQ(readBytes(hostFile()), "tenant.service.tld");
    EXPECT_EQ(loadStoredHost(), "tenant.service.tld");
}

TEST_F(HostStoreTest, SaveReplacesAndLeavesNoTemporaryFile) {
    place("old.service.tld", "seed.service.tld");
    saveHost("new.service.tld");
    EXPECT_EQ(readBytes(hostFile()), "new.service.tld");
    EXPECT_EQ(entriesOf(folder()), (std::set<std::string>{"host.txt", "seed.txt"}));
}

TEST_F(HostStoreTest, SaveOfInvalidValueCreatesNoFolder) {
    saveHost("localhost");
    EXPECT_FALSE(fs::exists(root_ / "config"));
}

TEST_F(HostStoreTest, SaveOfInvalidValueKeepsTheOldHost) {
    place("old.service.tld", none);
    saveHost("https://tenant.service.t1d");
    EXPECT_EQ(readBytes(hostFile()), "old.service.tld");
}

struct LocationRow {
    const char* name;
    std::optional<std::string> xdg; // relative to the test root when absolute
    bool xdgAbsolute;
    fs::path expected; // relative to the test root
};

void PrintTo(const LocationRow& row, std::ostream* out) {
    *out << row.name;
}

class LocationTest : public HostStoreTest, public testing::WithParamInterface<LocationRow> {};

TEST_P(LocationTest, FindsTheFolder) {
    const LocationRow& row = GetParam();
    if (!row.xdg)
        ::unsetenv("XDG_CONFIG_HOME");
    else
        ::setenv("XDG_CONFIG_HOME", row.xdgAbsolute ? (root_ / *row.xdg).c_str() : row.xdg->c_str(), 1);
    EXPECT_EQ(settingsDirectory(), root_ / row.expected);
    EXPECT_TRUE(fs::is_directory(root_ / row.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Environment, LocationTest,
    testing::Values(LocationRow{"Xdg", "xdg", true, "xdg/Zandoral.Orvo"},
                    LocationRow{"XdgUnset", std::nullopt, false, "home/.config/Zandoral.Orvo"},
                    LocationRow{"XdgEmpty", "", false, "home/.config/Zandoral.Orvo"},
                    LocationRow{"XdgRelative", "relative", false, "home/.config/Zandoral.Orvo"}),
    [](const testing::TestParamInfo<LocationRow>& info) { return std::string(info.param.name); });

} // namespace
} // namespace orvo
