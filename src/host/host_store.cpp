#include "host/host_store.h"

#include "host/normalize_host.h"
#include "platform/diagnostics.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace orvo {
namespace {

constexpr const char* kFolderName = "Zandoral.Orvo";
constexpr const char* kHostFile = "host.txt";
constexpr const char* kSeedFile = "seed.txt";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Owns a file descriptor and closes it once.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded: for a written file
    // a failing close can be the first sign of lost data.
    bool reset() {
        if (fd_ < 0)
            return true;
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        return closed;
    }

private:
    int fd_;
};

std::filesystem::path absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return {};
    std::filesystem::path path(value);
    // A relative location would depend on the working folder of the moment.
    return path.is_absolute() ? path : std::filesystem::path();
}

std::filesystem::path configHome() {
    if (auto xdg = absoluteFromEnvironment("XDG_CONFIG_HOME"); !xdg.empty())
        return xdg;
    const std::filesystem::path home = homeDirectory();
    return home.empty() ? home : home / ".config";
}

// Reads a whole regular file. Anything else (missing, unreadable, a folder,
// a pipe that would block the start) gives nothing, and so does a file larger
// than any settings file ORVO reads: reading a huge one would cost the start,
// and every microphone request, seconds and gigabytes for nothing.
std::optional<std::string> readFile(const std::filesystem::path& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.valid())
        return std::nullopt;
    struct stat info = {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > static_cast<off_t>(kMaxSettingsFileSize))
        return std::nullopt;
    std::string content;
    std::vector<char> buffer(kMaxSettingsFileSize + 1);
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        content.append(buffer.data(), static_cast<std::size_t>(got));
        // The file may grow while it is read.
        if (content.size() > kMaxSettingsFileSize)
            return std::nullopt;
    }
    return content;
}

// The text value of a settings file. Editors on some systems put a byte-order
// mark in front of UTF-8; it is no part of the address and would otherwise
// end up inside the host. Invalid UTF-8 is left for normalizeHost to reject.
std::optional<std::string> readSetting(const std::filesystem::path& folder, const char* name) {
    if (folder.empty())
        return std::nullopt;
    auto content = readFile(folder / name);
    if (!content) {
        explain(DiagnosticTopic::settings, [&] {
            std::error_code missing;
            return std::filesystem::exists(folder / name, missing)
                       ? std::string(name) + " ignored: not a readable regular file of at most 64 KiB"
                       : std::string(name) + " not found";
        });
    }
    if (content && content->starts_with(kByteOrderMark))
        content->erase(0, kByteOrderMark.size());
    return content;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The permission bits a new file of the user gets: what the umask leaves of
// 0666. The kernel applies the umask itself when the temporary file is made
// with that mode, so the umask never has to be read (and changed) here.
constexpr mode_t kNewFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

// Makes a new, empty file with a unique name beside `target`; the file
// descriptor and its name, or an invalid descriptor.
FileDescriptor createTemporary(const std::filesystem::path& target, std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target.string() + "." + std::to_string(random() % 1000000000000ULL);
        FileDescriptor file(
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kNewFileMode));
        if (file.valid() || errno != EEXIST)
            return FileDescriptor(file.release());
    }
    return FileDescriptor(-1);
}

// Replaces the file's content so that a reader, or a crash at any moment,
// sees either the old or the new content in full. The new content goes to a
// fresh file beside it, reaches the disk, and is then renamed over the old
// one; the folder is synced so that the rename itself survives a crash. The
// rename would carry the new file's mode over, so an existing file's mode is
// given to it first: a user who made host.txt private keeps it private.
void writeAtomically(const std::filesystem::path& folder, const char* name, std::string_view content) {
    const std::filesystem::path target = folder / name;
    std::string temporary;
    FileDescriptor file = createTemporary(target, temporary);
    if (!file.valid())
        return;
    struct stat existing = {};
    bool stored = true;
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        stored = ::fchmod(file.get(), existing.st_mode & 07777) == 0;
    stored = stored && writeAll(file.get(), content) && ::fsync(file.get()) == 0;
    if (!file.reset() || !stored || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return;
    }
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid())
        ::fsync(directory.get());
}

} // namespace

std::filesystem::path homeDirectory() {
    if (auto home = absoluteFromEnvironment("HOME"); !home.empty())
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        std::filesystem::path fromDatabase(entry->pw_dir);
        if (fromDatabase.is_absolute())
            return fromDatabase;
    }
    return {};
}

std::filesystem::path settingsDirectory() {
    try {
        const std::filesystem::path base = configHome();
        // Without any home there is no place for settings; callers treat the
        // empty location as a folder that cannot be created.
        if (base.empty())
            return {};
        std::filesystem::path folder = base / kFolderName;
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        return folder;
    } catch (...) {
        return {};
    }
}

std::optional<std::string> loadStoredHost() {
    try {
        const std::optional<std::string> stored = readSetting(settingsDirectory(), kHostFile);
        if (auto host = normalizeHost(stored))
            return host;
        if (stored)
            explain(DiagnosticTopic::settings, [&] {
                return std::string(kHostFile) + " holds no host address: " + pageExcerpt(*stored);
            });
        auto seeded = normalizeHost(readSetting(settingsDirectory(), kSeedFile));
        if (!seeded)
            return std::nullopt;
        // saveHost normalises once more; in the rare case that rejects the
        // value nothing is written and the seed is read again next time.
        saveHost(*seeded);
        return seeded;
    } catch (...) {
        return std::nullopt;
    }
}

void saveHost(std::string_view text) {
    try {
        const auto host = normalizeHost(text);
        if (!host)
            return;
        const std::filesystem::path folder = settingsDirectory();
        if (folder.empty())
            return;
        writeAtomically(folder, kHostFile, *host);
    } catch (...) {
        // Saving is best effort; a failure leaves the earlier host.txt.
    }
}

} // namespace orvo
