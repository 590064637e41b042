#include "host/host_store.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
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
        {"localhost", "127.0.0.1", none, "localhost"},
        {"", "", none, ""},
        {"tenant.service.tld\xff", "seed.service.tld", "seed.service.tld", "seed.service.tld"},
        {none, "tenant.service.tld\xc3", none, none},
        {"\xef\xbb\xbftenant.service.tld", none, "tenant.service.tld", "\xef\xbb\xbftenant.service.tld"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host.value_or("no host") + ", " + row.seed.value_or("no seed"));
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
        if (!row.host && !row.seed) {
            EXPECT_TRUE(fs::is_directory(config.folder) && entriesOf(config.folder).empty());
        }
    }
}

TEST(HostStore, UnreadableHostFallsBackToSeedWithoutWaiting) {
    const std::string padded = "one.service.tld" + std::string(64 * 1024 - 15, ' '); // 64 KiB
    const struct {
        const char* what;
        std::function<void(const fs::path&)> spoil;
    } rows[] = {
        {"a folder", [](const fs::path& p) { fs::remove(p), fs::create_directory(p); }},
        {"a pipe", [](const fs::path& p) { fs::remove(p), ::mkfifo(p.c_str(), 0600); }},
        {"a link to itself", [](const fs::path& p) { fs::remove(p), fs::create_symlink(p, p); }},
        {"a link to nothing",
         [](const fs::path& p) { fs::remove(p), fs::create_symlink(p.string() + "x", p); }},
        {"one byte over the limit",
         [&](const fs::path& p) { std::ofstream(p, std::ios::binary) << padded << ' '; }},
        // Root reads any file whatever its mode; it gets an empty one.
        {"no permissions",
         [](const fs::path& p) {
             ::geteuid() ? fs::permissions(p, fs::perms::none) : void(std::ofstream(p));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempConfigHome config;
        config.write("host.txt", "one.service.tld");
        config.write("seed.txt", "two.service.tld");
        row.spoil(config.folder / "host.txt");
        EXPECT_EQ(loadStoredHost(), "two.service.tld");
        // Writing over what is there may fail; it must leave no temporary file.
        EXPECT_EQ(entriesOf(config.folder), (std::set<std::string>{"host.txt", "seed.txt"}));
    }
    TempConfigHome config;
    config.write("host.txt", padded);
    EXPECT_EQ(loadStoredHost(), "one.service.tld") << "at the limit the file is still read";
    config.write("seed.txt", "two.service.tld" + std::string(64 * 1024, '\n'));
    config.write("host.txt", "");
    EXPECT_EQ(loadStoredHost(), std::nullopt) << "the limit holds for the seed too";
}

TEST(HostStore, SaveWritesTheBareHostWithTheUsersMode) {
    TempConfigHome config;
    saveHost("localhost");
    EXPECT_FALSE(fs::exists(config.folder));
    saveHost("  HTTPS://Tenant.Service.TLD:444/app?x=1\n");
    EXPECT_EQ(config.read("host.txt"), "tenant.service.tld");
    saveHost("https://tenant.service.t1d");
    EXPECT_EQ(config.read("host.txt"), "tenant.service.tld");
    EXPECT_EQ(entriesOf(config.folder), std::set<std::string>{"host.txt"});

    // A new host.txt gets the mode the umask gives; a rewrite keeps the file's.
    const auto modeOf = [&] {
        struct stat info {};
        ::stat((config.folder / "host.txt").c_str(), &info);
        return info.st_mode & 07777;
    };
    const mode_t before = ::umask(0);
    for (const mode_t mask : {022, 077}) {
        ::umask(mask);
        fs::remove(config.folder / "host.txt");
        saveHost("a.service.tld");
        EXPECT_EQ(modeOf(), 0666 & ~mask) << mask;
    }
    ::chmod((config.folder / "host.txt").c_str(), 0640);
    saveHost("b.service.tld");
    EXPECT_EQ(config.read("host.txt"), "b.service.tld");
    EXPECT_EQ(modeOf(), 0640u);
    ::umask(before);

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

} // namespace
} // namespace orvo
