#pragma once

#include "mpris/MprisPlayer.h"

#include <cstdint>
#include <string>
#include <vector>

/// What the bridge has told the listener, per player, kept in a private file
/// of the session bus it serves. A bridge that was killed cannot stop what it
/// announced; the one started after it reads the file and goes on: a player
/// still playing the same track on the same connection is not announced
/// again (so a play is counted once), one that has gone is stopped.
///
/// One line per player, tab-separated, every text form-encoded: bus name,
/// owner, "playing" or "paused", "1" for a mirror, played ms, the clock
/// reading it was saved at (ms), track id, artist, title, album, URL,
/// MusicBrainz id, length in microseconds ("-" for none).
class CAnnouncedFile {
public:
    struct CEntry {
        std::string busName;
        /// The unique name of the player's connection: never reused on a
        /// bus, so it tells the same player from a new one of that name.
        std::string owner;
        CMprisPlayer::CAnnounced announced;
        /// The player's clock when this was saved.
        std::int64_t savedAtMs = 0;
    };

    explicit CAnnouncedFile(std::string path) : mPath(std::move(path)) {}

    /// The file for a bus (by its id): in $XDG_RUNTIME_DIR, which ends with
    /// the session, else in the user data folder; "" when neither is known.
    static std::string PathFor(const std::string& busId);

    const std::string& Path() const noexcept { return mPath; }
    /// Every well-formed line; a damaged line is logged and left out.
    std::vector<CEntry> Read() const;
    /// Replaces the file (written aside and renamed, mode 0600); removes it
    /// when there is nothing to keep. Failures are logged.
    void Write(const std::vector<CEntry>& entries) const;

private:
    std::string mPath;
};
