#include "mpris/MprisReader.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>

#include <cmath>
#include <limits>

namespace {

constexpr const char* kNoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

std::string TypeName(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return "D-Bus '" + value.value<QDBusArgument>().currentSignature().toStdString() + "'";
    const char* name = value.typeName();
    return name != nullptr ? name : "nothing";
}

/// A list of texts ("as", or a plain list of strings, or a list of
/// variants holding strings); nothing when the value is not one.
std::optional<QStringList> ReadStringList(const QVariant& value) {
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList();
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return std::nullopt;
    const QDBusArgument argument = value.value<QDBusArgument>();
    const QString signature = argument.currentSignature();
    if (signature == QLatin1String("as"))
        return qdbus_cast<QStringList>(argument);
    if (signature == QLatin1String("av")) {
        QStringList texts;
        for (const QVariant& item : qdbus_cast<QVariantList>(argument)) {
            const QVariant inner = CMprisReader::Unwrap(item);
            if (inner.userType() != QMetaType::QString)
                return std::nullopt;
            texts << inner.toString();
        }
        return texts;
    }
    return std::nullopt;
}

class CFieldReader {
public:
    CFieldReader(const QVariantMap& map, const CMprisReader::OdditySink& oddity) : mMap(map), mOddity(oddity) {}

    /// A text field; a list of texts is joined with ", ".
    std::string Text(const char* key, std::size_t max = CMprisReader::kMaxText) {
        const auto found = mMap.constFind(QLatin1String(key));
        if (found == mMap.constEnd())
            return {};
        const QVariant value = CMprisReader::Unwrap(*found);
        std::string text;
        if (value.userType() == QMetaType::QString) {
            text = value.toString().toStdString();
        } else if (value.userType() == qMetaTypeId<QDBusObjectPath>()) {
            text = value.value<QDBusObjectPath>().path().toStdString();
        } else if (auto list = ReadStringList(value)) {
            text = Join(key, *list);
            if (std::string(key) != "xesam:artist")
                Odd(std::string("type:") + key, std::string("Field ") + key + " is a list, taken as one text");
        } else {
            Odd(std::string("type:") + key,
                std::string("Field ") + key + " has the wrong type (" + TypeName(value) + "), ignored");
            return {};
        }
        return Cut(key, std::move(text), max);
    }

    /// The artists: a list by the standard, a plain text from some players.
    std::string Artists(const char* key) {
        const auto found = mMap.constFind(QLatin1String(key));
        if (found == mMap.constEnd())
            return {};
        const QVariant value = CMprisReader::Unwrap(*found);
        if (auto list = ReadStringList(value))
            return Cut(key, Join(key, *list), CMprisReader::kMaxText);
        if (value.userType() == QMetaType::QString) {
            Odd(std::string("type:") + key, std::string("Field ") + key + " is a text, not a list");
            return Cut(key, value.toString().toStdString(), CMprisReader::kMaxText);
        }
        Odd(std::string("type:") + key,
            std::string("Field ") + key + " has the wrong type (" + TypeName(value) + "), ignored");
        return {};
    }

    std::optional<std::int64_t> Length(const char* key) {
        const auto found = mMap.constFind(QLatin1String(key));
        if (found == mMap.constEnd())
            return std::nullopt;
        const QVariant value = CMprisReader::Unwrap(*found);
        const std::optional<std::int64_t> length = CMprisReader::ReadMicroseconds(value);
        if (!length) {
            Odd(std::string("type:") + key,
                std::string("Field ") + key + " has the wrong type (" + TypeName(value) + "), ignored");
            return std::nullopt;
        }
        if (value.userType() != QMetaType::LongLong)
            Odd(std::string("type:") + key,
                std::string("Field ") + key + " is " + TypeName(value) + ", not a 64-bit integer");
        if (*length < 0 || *length / 1000000 > CMprisMetadata::kMaxLengthSeconds)
            Odd(std::string("absurd:") + key,
                std::string("Field ") + key + " holds an absurd length (" + std::to_string(*length) +
                    " microseconds), the track is sent without one");
        return length;
    }

private:
    std::string Join(const char* key, const QStringList& list) {
        std::string joined;
        int count = 0;
        for (const QString& item : list) {
            if (item.isEmpty())
                continue;
            if (++count > CMprisReader::kMaxArtists) {
                Odd(std::string("huge:") + key, std::string("Field ") + key + " has too many entries, the rest dropped");
                break;
            }
            if (!joined.empty())
                joined += ", ";
            joined += item.toStdString();
            if (joined.size() > CMprisReader::kMaxText)
                break;
        }
        return joined;
    }

    std::string Cut(const char* key, std::string text, std::size_t max) {
        if (text.size() <= max)
            return text;
        Odd(std::string("huge:") + key,
            std::string("Field ") + key + " is " + std::to_string(text.size()) + " bytes long, cut to " +
                std::to_string(max));
        return CMprisReader::CutUtf8(std::move(text), max);
    }

    void Odd(const std::string& key, const std::string& text) {
        if (mOddity)
            mOddity(key, text);
    }

    const QVariantMap& mMap;
    const CMprisReader::OdditySink& mOddity;
};

} // namespace

QVariant CMprisReader::Unwrap(QVariant value) {
    // A bounded loop: a value is never nested deeper than the message.
    for (int depth = 0; depth < 64 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    return value;
}

std::string CMprisReader::CutUtf8(std::string text, std::size_t max) {
    if (text.size() <= max)
        return text;
    std::size_t end = max;
    // Step back over continuation bytes to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

std::optional<QVariantMap> CMprisReader::ReadMap(const QVariant& wrapped) {
    const QVariant value = Unwrap(wrapped);
    if (value.userType() == QMetaType::QVariantMap)
        return value.toMap();
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1String("a{sv}"))
            return qdbus_cast<QVariantMap>(argument);
    }
    return std::nullopt;
}

std::optional<CMprisMetadata> CMprisReader::ReadMetadata(const QVariant& value, const OdditySink& oddity) {
    const std::optional<QVariantMap> map = ReadMap(value);
    if (!map) {
        if (oddity)
            oddity("type:Metadata", "Metadata has the wrong type (" + TypeName(Unwrap(value)) + "), ignored");
        return std::nullopt;
    }
    CFieldReader fields(*map, oddity);
    CMprisMetadata metadata;
    metadata.trackId = fields.Text("mpris:trackid");
    if (metadata.trackId == kNoTrack)
        metadata.trackId.clear();
    metadata.artist = fields.Artists("xesam:artist");
    metadata.title = fields.Text("xesam:title");
    metadata.album = fields.Text("xesam:album");
    metadata.url = fields.Text("xesam:url", kMaxUrl);
    metadata.musicBrainzTrackId = fields.Text("xesam:musicBrainzTrackID");
    metadata.lengthUs = fields.Length("mpris:length");
    return metadata;
}

std::optional<CMprisReader::EStatus> CMprisReader::ReadStatus(const QVariant& wrapped, const OdditySink& oddity) {
    const QVariant value = Unwrap(wrapped);
    if (value.userType() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("Playing"))
            return EStatus::Playing;
        if (text == QLatin1String("Paused"))
            return EStatus::Paused;
        if (text == QLatin1String("Stopped"))
            return EStatus::Stopped;
        if (oddity)
            oddity("value:PlaybackStatus",
                   "PlaybackStatus '" + CutUtf8(text.toStdString(), 64) + "' is not a known status, ignored");
        return std::nullopt;
    }
    if (oddity)
        oddity("type:PlaybackStatus", "PlaybackStatus has the wrong type (" + TypeName(value) + "), ignored");
    return std::nullopt;
}

std::optional<std::int64_t> CMprisReader::ReadMicroseconds(const QVariant& wrapped) {
    const QVariant value = Unwrap(wrapped);
    switch (value.userType()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UChar:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::UShort:
        return static_cast<std::int64_t>(value.toULongLong());
    case QMetaType::ULongLong: {
        const qulonglong v = value.toULongLong();
        return v > static_cast<qulonglong>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(v);
    }
    case QMetaType::Double: {
        const double v = value.toDouble();
        if (!std::isfinite(v))
            return std::nullopt;
        if (v >= 9.2e18)
            return std::numeric_limits<std::int64_t>::max();
        if (v <= -9.2e18)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(std::llround(v));
    }
    default:
        return std::nullopt;
    }
}

const char* CMprisReader::StatusName(EStatus status) noexcept {
    switch (status) {
    case EStatus::Playing:
        return "Playing";
    case EStatus::Paused:
        return "Paused";
    case EStatus::Stopped:
        break;
    }
    return "Stopped";
}
