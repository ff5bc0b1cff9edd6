#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The players heard on this desktop, as the MPRIS bridge records them for
/// the person to choose from: one key per player name (see
/// CIgnoreList::PlayerName) under kKey, with what the player calls itself
/// ("Identity") and when it was last seen ("LastSeen", seconds since 1970).
/// At most kMaxPlayers are kept; the ones seen longest ago make room.
/// Failures are thrown as CRegistryUtils::CRegistryException.
class CMprisPlayers {
public:
    static constexpr const char* kKey = "Software\\Fenwave\\Vortlebox\\MprisPlayers";
    static constexpr std::size_t kMaxPlayers = 100;

    struct CRecord {
        std::string name;
        std::string identity;
        std::uint32_t lastSeen = 0;
        bool operator==(const CRecord&) const = default;
    };

    CMprisPlayers() = delete;

    /// Every recorded player, the one seen last first.
    static std::vector<CRecord> List();
    /// Records the player as seen at `now`.
    static void Record(const CRecord& record);
};
