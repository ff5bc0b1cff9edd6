#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

/// An MPRIS player on the test's session bus, on a connection of its own,
/// that the test drives by hand: it owns a bus name, answers Get and GetAll
/// of the player interface from a property map the test fills with values
/// of any D-Bus type (right or wrong), and emits PropertiesChanged and
/// Seeked exactly as told, so every untidiness of real players can be
/// played.
class CFakePlayer : public QDBusVirtualObject {
public:
    /// A player known on the bus as "org.mpris.MediaPlayer2." + suffix.
    explicit CFakePlayer(const QString& suffix);
    ~CFakePlayer() override;

    /// Takes the bus name (and registers the object); false on failure.
    bool Appear();
    /// Takes one more name on the same connection.
    bool AlsoOwn(const QString& suffix);
    /// Gives a name of this connection up.
    bool Release(const QString& suffix);
    /// Leaves the bus: the connection is closed.
    void Vanish();

    QString Name() const { return mName; }
    std::string PluginId() const { return mName.toStdString(); }

    /// Properties as GetAll answers them; nothing is signalled.
    void Set(const QString& property, const QVariant& value) { mProperties[property] = value; }
    QVariantMap& Properties() { return mProperties; }
    /// Emits PropertiesChanged with exactly these values.
    void Signal(const QVariantMap& changed, const QStringList& invalidated = {});
    /// Sets the values and signals them.
    void Change(const QVariantMap& changed);
    void Seeked(qlonglong positionUs);

    int StateReads() const noexcept { return mStateReads; }
    /// What the player calls itself (the root interface's "Identity").
    QString identity = QStringLiteral("Fake Player");
    /// Called instead of answering a GetAll when set; returns whether it
    /// answered (the default answer is sent otherwise).
    std::function<bool(const QDBusMessage&)> onGetAll;

    /// A Metadata map with the usual types.
    static QVariantMap Metadata(const QString& trackId, const QStringList& artists, const QString& title,
                                const QString& album, qlonglong lengthUs, const QString& url);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QString mName;
    QString mConnectionName;
    QDBusConnection mBus;
    QVariantMap mProperties;
    int mStateReads = 0;
    bool mbConnected = true;
};
