#pragma once

#include <string>
#include <vector>

/// The players the user keeps out: bus-name patterns from the store value
/// "MprisIgnore" under "Software\\Fenwave\\Vortlebox", separated by ";",
/// "," or white space. A pattern may use "*" and "?" and matches either the
/// whole bus name ("org.mpris.MediaPlayer2.firefox*") or the part after
/// "org.mpris.MediaPlayer2." ("firefox*", "chromium.*"); case counts, as in
/// bus names.
class CIgnoreList {
public:
    static constexpr const char* kKey = "Software\\Fenwave\\Vortlebox";
    static constexpr const char* kValue = "MprisIgnore";
    static constexpr const char* kMprisPrefix = "org.mpris.MediaPlayer2.";

    CIgnoreList() = default;
    explicit CIgnoreList(const std::string& text);

    /// Reads the value from the store (an empty one is stored when it is
    /// missing). A store that cannot be read ignores nothing, and says so in
    /// the log.
    static CIgnoreList FromStore();

    bool Ignores(const std::string& busName) const;
    const std::vector<std::string>& Patterns() const noexcept { return mPatterns; }

private:
    std::vector<std::string> mPatterns;
};
