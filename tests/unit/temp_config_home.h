// Points XDG_CONFIG_HOME (and HOME, at a folder below it) at a fresh
// temporary folder for one test and puts everything back afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace orvo::testing {

class TempConfigHome {
public:
    TempConfigHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        for (int i = 0; i < 2; ++i)
            if (const char* old = std::getenv(kVariables[i]))
                previous_[i] = old;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        setenv("HOME", (root_ / "home").c_str(), 1);
    }
    ~TempConfigHome() {
        for (int i = 0; i < 2; ++i) {
            if (previous_[i])
                setenv(kVariables[i], previous_[i]->c_str(), 1);
            else
                unsetenv(kVariables[i]);
        }
        // Give back any permission a test took away, so that cleaning works.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root_, ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    TempConfigHome(const TempConfigHome&) = delete;
    TempConfigHome& operator=(const TempConfigHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path folder() const { return root_ / "Zandoral.Orvo"; }

    void write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(folder());
        std::ofstream(folder() / name, std::ios::binary) << bytes;
    }
    // The file's bytes; nothing when it is absent or no regular file.
    std::optional<std::string> read(const std::string& name) const {
        std::ifstream in(folder() / name, std::ios::binary);
        if (!in || !std::filesystem::is_regular_file(folder() / name))
            return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    static constexpr const char* kVariables[2] = {"XDG_CONFIG_HOME", "HOME"};
    std::filesystem::path root_;
    std::optional<std::string> previous_[2];
};

} // namespace orvo::testing
