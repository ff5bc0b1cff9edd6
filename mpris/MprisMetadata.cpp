#include "mpris/MprisMetadata.h"

namespace {

bool Conflicts(const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && a != b;
}

} // namespace

bool CMprisMetadata::Empty() const noexcept {
    return trackId.empty() && artist.empty() && title.empty() && album.empty() && url.empty();
}

std::optional<std::int64_t> CMprisMetadata::LengthSeconds() const noexcept {
    if (!lengthUs || *lengthUs <= 0)
        return std::nullopt;
    // Compared before rounding so that no sum can overflow.
    if (*lengthUs / 1000000 > kMaxLengthSeconds)
        return std::nullopt;
    const std::int64_t seconds = (*lengthUs + 500000) / 1000000;
    if (seconds <= 0 || seconds > kMaxLengthSeconds)
        return std::nullopt;
    return seconds;
}

bool CMprisMetadata::IsOtherTrackThan(const CMprisMetadata& other) const {
    return Conflicts(trackId, other.trackId) || Conflicts(url, other.url) || Conflicts(title, other.title) ||
           Conflicts(artist, other.artist) || Conflicts(album, other.album);
}

bool CMprisMetadata::IsCountable() const noexcept {
    return !artist.empty() && !title.empty() && LengthSeconds().has_value();
}
