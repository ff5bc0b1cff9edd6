#pragma once

#include "mpris/MprisPlayer.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <string>
#include <vector>

class CListenerOutbox;
class QDBusMessage;
class QDBusServiceWatcher;

/// Watches the session bus for MPRIS players and keeps one CMprisPlayer per
/// player program: found at start and whenever a name
/// "org.mpris.MediaPlayer2.*" gets an owner, dropped (with a STOP) when the
/// program leaves the bus. A program that owns several such names is one
/// player, under the first name seen. Players matching "MprisIgnore" are
/// left alone.
///
/// Only the signals of the player interface are subscribed to (with match
/// rules, so the bus does not wake the bridge for anything else), and the
/// player's state is read asynchronously, so a player that hangs or dies in
/// the middle of a call never holds up the others.
class CMprisBridge : public QObject {
    Q_OBJECT

public:
    /// The bridge's own name: a second bridge on the same bus cannot get it.
    static constexpr const char* kServiceName = "org.vortlebox.MprisBridge";
    static constexpr int kCallTimeoutMs = 5000;

    CMprisBridge(QDBusConnection bus, CListenerOutbox& outbox, QObject* parent = nullptr);
    ~CMprisBridge() override;

    /// Claims the bridge's name, subscribes to the players' signals and
    /// reads the players already there. False, with the reason logged, when
    /// there is no bus or another bridge serves it.
    bool Start();
    /// Stops what the players were playing, for the end of the bridge.
    void StopAll();

    /// Replaces the monotonic millisecond clock (tests).
    void SetClock(CMprisPlayer::Clock clock) { mClock = std::move(clock); }

    /// The plug-in identifiers of the players followed now.
    std::vector<std::string> Players() const;

private slots:
    void OnPropertiesChanged(const QDBusMessage& message);
    void OnSeeked(const QDBusMessage& message);
    void OnOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    void Appear(const QString& name, const QString& owner);
    void Vanish(const QString& name, const QString& owner);
    void RequestState(const QString& owner);
    void StateFailed(const QString& owner, const std::string& error);
    CMprisPlayer* Find(const QString& owner) const;

    QDBusConnection mBus;
    CListenerOutbox& mOutbox;
    CMprisPlayer::Clock mClock;
    QDBusServiceWatcher* mWatcher = nullptr;
    /// Players by the unique name of their connection.
    std::map<QString, std::unique_ptr<CMprisPlayer>> mPlayers;
    /// Every followed MPRIS name and its owner.
    std::map<QString, QString> mNames;
};
