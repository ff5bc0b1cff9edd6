#include "tests/mpris/FakePlayer.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <atomic>

namespace {

const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

QString NextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("fake-player-%1").arg(++counter);
}

} // namespace

CFakePlayer::CFakePlayer(const QString& suffix)
    : mName(QStringLiteral("org.mpris.MediaPlayer2.") + suffix), mConnectionName(NextConnectionName()),
      mBus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName)) {
    mProperties[QStringLiteral("PlaybackStatus")] = QStringLiteral("Stopped");
    mProperties[QStringLiteral("Metadata")] = QVariant::fromValue(QVariantMap());
    mProperties[QStringLiteral("Position")] = QVariant::fromValue(qlonglong(0));
}

CFakePlayer::~CFakePlayer() {
    Vanish();
}

bool CFakePlayer::Appear() {
    return mBus.registerVirtualObject(kPath, this) && mBus.registerService(mName);
}

bool CFakePlayer::AlsoOwn(const QString& suffix) {
    return mBus.registerService(QStringLiteral("org.mpris.MediaPlayer2.") + suffix);
}

bool CFakePlayer::Release(const QString& suffix) {
    return mBus.unregisterService(QStringLiteral("org.mpris.MediaPlayer2.") + suffix);
}

void CFakePlayer::Vanish() {
    if (!mbConnected)
        return;
    mbConnected = false;
    mBus.unregisterObject(kPath);
    // The connection closes only once no handle refers to it.
    mBus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(mConnectionName);
}

void CFakePlayer::Signal(const QVariantMap& changed, const QStringList& invalidated) {
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << invalidated;
    mBus.send(signal);
}

void CFakePlayer::Change(const QVariantMap& changed) {
    for (auto it = changed.begin(); it != changed.end(); ++it)
        mProperties[it.key()] = it.value();
    Signal(changed);
}

void CFakePlayer::Seeked(qlonglong positionUs) {
    mProperties[QStringLiteral("Position")] = positionUs;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kPlayerInterface, QStringLiteral("Seeked"));
    signal << positionUs;
    mBus.send(signal);
}

QVariantMap CFakePlayer::Metadata(const QString& trackId, const QStringList& artists, const QString& title,
                                  const QString& album, qlonglong lengthUs, const QString& url) {
    QVariantMap metadata;
    metadata[QStringLiteral("mpris:trackid")] = QVariant::fromValue(QDBusObjectPath(trackId));
    metadata[QStringLiteral("xesam:artist")] = artists;
    metadata[QStringLiteral("xesam:title")] = title;
    metadata[QStringLiteral("xesam:album")] = album;
    if (lengthUs >= 0)
        metadata[QStringLiteral("mpris:length")] = lengthUs;
    metadata[QStringLiteral("xesam:url")] = url;
    return metadata;
}

QString CFakePlayer::introspect(const QString&) const {
    return QString();
}

bool CFakePlayer::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.interface() != QLatin1String("org.freedesktop.DBus.Properties"))
        return false;
    if (message.member() == QLatin1String("GetAll")) {
        ++mStateReads;
        if (onGetAll && onGetAll(message))
            return true;
        connection.send(message.createReply(QVariant::fromValue(mProperties)));
        return true;
    }
    if (message.member() == QLatin1String("Get") && message.arguments().size() == 2) {
        const QString property = message.arguments()[1].toString();
        QVariant value = mProperties.value(property);
        if (!value.isValid() && property == QLatin1String("Identity"))
            value = identity;
        if (!value.isValid()) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                                                     QStringLiteral("No such property: ") + property));
            return true;
        }
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        return true;
    }
    return false;
}
