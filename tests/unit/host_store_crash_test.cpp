// host.txt must never be left half-written: not when the process is killed in
// the middle of a save, and not when the disk refuses the new content.
#include "host/host_store.h"

#include "temp_config_home.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace orvo {
namespace {

int countTemporaryFiles(const std::filesystem::path& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("host.txt."))
            ++count;
    return count;
}

TEST(HostStoreCrash, KilledWhileSavingLeavesOneWholeHost) {
    testing::TempConfigHome config;
    const std::string hostA = "alpha.zandoral.com";
    const std::string hostB = "a-much-longer-second-tenant-name.zandoral.com";
    saveHost(hostA);

    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
    constexpr int kKills = 200;
    int leftovers = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i)
                saveHost(i % 2 == 0 ? hostB : hostA);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);

        const auto content = config.read("host.txt");
        ASSERT_TRUE(content == hostA || content == hostB)
            << "after kill " << kill << ": " << content.value_or("<none>");
        // A killed save may leave its own temporary file, but never more than one.
        const int temporaries = countTemporaryFiles(config.folder());
        ASSERT_LE(temporaries, 1) << "after kill " << kill;
        leftovers += temporaries;
        for (const auto& entry : std::filesystem::directory_iterator(config.folder()))
            if (entry.path().filename() != "host.txt")
                std::filesystem::remove(entry.path());
    }
    RecordProperty("kills", kKills);
    RecordProperty("temporary_files_left_by_kills", leftovers);

    // A save that completes leaves nothing behind.
    saveHost(hostA);
    EXPECT_EQ(countTemporaryFiles(config.folder()), 0);
}

TEST(HostStoreCrash, FullDiskKeepsTheOldHost) {
    testing::TempConfigHome config;
    saveHost("old.zandoral.com");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file size limit makes every write past a few bytes fail the way
        // a full disk does.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4, 4};
        setrlimit(RLIMIT_FSIZE, &limit);
        saveHost("new-and-longer.zandoral.com");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(config.read("host.txt"), "old.zandoral.com");
    EXPECT_EQ(countTemporaryFiles(config.folder()), 0);
}

} // namespace
} // namespace orvo
