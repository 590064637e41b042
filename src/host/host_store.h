#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// Settings files larger than this are treated as unreadable: a host address
// is a few dozen bytes.
inline constexpr std::size_t kMaxSettingsFileSize = 64 * 1024;

// The user's home folder: $HOME when it is an absolute path, else the one
// the password database gives; empty when neither does.
std::filesystem::path homeDirectory();

// The per-user settings folder ($XDG_CONFIG_HOME/Zandoral.Orvo, by default
// ~/.config/Zandoral.Orvo). Created, with its parents, on every call; a
// failure to create it is ignored.
std::filesystem::path settingsDirectory();

// The stored host address from host.txt, else from seed.txt (which is then
// copied into host.txt). Nothing is cached: every call reads the files again.
std::optional<std::string> loadStoredHost();

// Normalises the text and, when that yields a host address, writes it to
// host.txt atomically. Failures are ignored.
void saveHost(std::string_view text);

} // namespace orvo
