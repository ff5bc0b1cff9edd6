#pragma once

#include <string>
#include <vector>

/// The players the person keeps out: bus-name patterns from the store value
/// "MprisIgnore" under "Software\\Fenwave\\Vortlebox", separated by ";",
/// "," or white space. A pattern may use "*", "?" and "[...]" and ignores a
/// player when it matches the whole bus name
/// ("org.mpris.MediaPlayer2.firefox*"), the part after
/// "org.mpris.MediaPlayer2." ("chromium.instance42") or the player's name,
/// that part without an ".instance..." ending ("vlc" for
/// "org.mpris.MediaPlayer2.vlc.instance1234"); case counts, as in bus names.
///
/// A store without the value ignores kDefault: web browsers, which publish
/// every video they play, the desktop's browser integrations, phone bridges
/// and proxies that publish another player's track a second time.
class CIgnoreList {
public:
    static constexpr const char* kKey = "Software\\Fenwave\\Vortlebox";
    static constexpr const char* kValue = "MprisIgnore";
    static constexpr const char* kMprisPrefix = "org.mpris.MediaPlayer2.";
    static constexpr const char* kDefault =
        "chromium*; chrome*; google-chrome*; brave*; vivaldi*; opera*; firefox*; librewolf*; epiphany*; "
        "org.gnome.Epiphany*; falkon*; qutebrowser*; plasma-browser-integration*; kdeconnect*; gsconnect*; "
        "GSConnect*; playerctld";

    CIgnoreList() = default;
    /// Patterns that cannot match any bus name (a character no bus name
    /// has, an unclosed "[") are left out; Invalid() names them.
    explicit CIgnoreList(const std::string& text);

    /// Reads the value from the store; when it is missing, kDefault is
    /// stored and used. A store that cannot be read ignores nothing, and says
    /// so in the log; an invalid pattern is logged once per process.
    static CIgnoreList FromStore();

    bool Ignores(const std::string& busName) const;
    const std::vector<std::string>& Patterns() const noexcept { return mPatterns; }
    const std::vector<std::string>& Invalid() const noexcept { return mInvalid; }
    /// The patterns joined with "; ", as stored.
    std::string Text() const;

    /// The list with the player counted (every pattern that ignores it
    /// taken out) or ignored (its name added).
    CIgnoreList With(const std::string& busName, bool counted) const;

    /// The player's name: the bus name without "org.mpris.MediaPlayer2."
    /// and without an ending whose last part starts with "instance".
    static std::string PlayerName(const std::string& busName);

private:
    std::vector<std::string> mPatterns;
    std::vector<std::string> mInvalid;
};
