#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// One user account and its options, as kept under
/// "Software\\Fenwave\\Users\\" + name. Passed by value.
struct CUser {
    /// The key of the record; unique; one key name (no backslash).
    std::string name;
    /// Lowercase hexadecimal MD5 of the password ("Password").
    std::string passwordHash;
    /// Directories whose files are never submitted ("ExclusionDirs").
    std::vector<std::string> exclusionDirs;
    /// Tray icon colour, 0 to 4 ("Icon").
    std::int32_t colour = 0;
    /// "RememberPass".
    bool rememberPassword = false;
    /// Whether plays are submitted ("LogToProfile").
    bool submitPlays = false;
    /// "DisplayRecent".
    bool displayRecent = false;

    bool operator==(const CUser&) const = default;
};
