#pragma once

#include "mpris/MprisMetadata.h"

#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

/// Turns what players put on the bus into plain values, without trusting
/// them: every value may have the wrong D-Bus type, be wrapped in a variant
/// once too often, be absurdly large or missing. What cannot be used is
/// reported to the oddity sink (a short key for "log once", and a text) and
/// left out; nothing here throws.
class CMprisReader {
public:
    enum class EStatus { Stopped, Playing, Paused };

    /// key: what kind of oddity ("type:xesam:title"), so that the caller
    /// can log each kind once; text: the log message without line break.
    using OdditySink = std::function<void(const std::string& key, const std::string& text)>;

    /// Longest text kept of one field, and of a URL; longer ones are cut
    /// after the last whole UTF-8 character that fits.
    static constexpr std::size_t kMaxText = 1024;
    static constexpr std::size_t kMaxUrl = 8192;
    /// Artists beyond this many are dropped.
    static constexpr int kMaxArtists = 32;

    CMprisReader() = delete;

    /// A property map (D-Bus "a{sv}") however Qt delivered it; nothing when
    /// the value is something else.
    static std::optional<QVariantMap> ReadMap(const QVariant& value);

    /// The "Metadata" property. Nothing when it is not a map at all.
    static std::optional<CMprisMetadata> ReadMetadata(const QVariant& value, const OdditySink& oddity);

    /// The "PlaybackStatus" property; nothing for an unknown text or type.
    static std::optional<EStatus> ReadStatus(const QVariant& value, const OdditySink& oddity);

    /// A position or length in microseconds from any numeric D-Bus type.
    static std::optional<std::int64_t> ReadMicroseconds(const QVariant& value);

    /// Removes every variant wrapper around a value.
    static QVariant Unwrap(QVariant value);

    /// Cuts text to at most max bytes, after the last whole UTF-8 character
    /// that fits.
    static std::string CutUtf8(std::string text, std::size_t max);

    static const char* StatusName(EStatus status) noexcept;
};
