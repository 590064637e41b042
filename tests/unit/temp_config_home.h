// Points XDG_CONFIG_HOME at a fresh temporary folder for one test and puts
// everything back afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace orvo::testing {

class TempConfigHome {
public:
    TempConfigHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            previous_ = old;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    ~TempConfigHome() {
        if (previous_)
            setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
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
    std::optional<std::string> read(const std::string& name) const {
        std::ifstream in(folder() / name, std::ios::binary);
        if (!in)
            return std::nullopt;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::filesystem::path root_;
    std::optional<std::string> previous_;
};

} // namespace orvo::testing
