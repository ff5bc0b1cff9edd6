#pragma once

#include "mpris/AnnouncedFile.h"
#include "mpris/MprisPlayer.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CListenerOutbox;
class QDBusMessage;
class QDBusServiceWatcher;

/// Watches the session bus for MPRIS players and keeps one CMprisPlayer per
/// player program, so that one listening gives one play:
///
/// - Every name a process holds is one player, whether it holds them on one
///   connection or on several (the bus tells the process of a connection),
///   whatever order and delay they appear in; the player keeps the first
///   name seen as its plug-in id and listens to the first connection seen.
/// - A player that starts a track another player is counting right now is
///   a mirror of it (a proxy, a browser integration, a phone bridge) and is
///   not counted; a new play of the track after that one ended counts.
/// - Players whose names match "MprisIgnore" are left alone; Reload() reads
///   the list again and follows or drops players at once.
/// - Each player the bridge meets is recorded in the store (its name,
///   Identity and when it was last seen) for the person to choose from.
/// - What was announced is kept in a file of the bus (CAnnouncedFile), so a
///   bridge started after this one was killed neither announces a play
///   twice nor leaves one running that ended meanwhile.
///
/// Only the players' signals are subscribed to (with match rules, so the
/// bus does not wake the bridge for anything else), and players are read
/// asynchronously, so a player that hangs or dies in the middle of a call
/// never holds up the others.
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
    /// Reads "MprisIgnore" again: players now ignored are stopped and
    /// dropped, players no longer ignored are followed.
    void Reload();

    /// Replaces the monotonic millisecond clock (tests).
    void SetClock(CMprisPlayer::Clock clock) { mClock = std::move(clock); }

    /// The plug-in identifiers of the players followed now.
    std::vector<std::string> Players() const;

signals:
    /// The session bus went away: every playing player has been stopped.
    void busLost();

private slots:
    void OnPropertiesChanged(const QDBusMessage& message);
    void OnSeeked(const QDBusMessage& message);
    void OnOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void OnDisconnected(const QDBusMessage& message);

private:
    /// One player program: its player, and the connections it holds MPRIS
    /// names on (the first one speaks for it).
    struct CProcess {
        std::unique_ptr<CMprisPlayer> player;
        std::vector<QString> owners;
    };

    void Appear(const QString& name, const QString& owner);
    void Vanish(const QString& name, const QString& owner);
    /// The owner's process is known: the name joins that player or makes one.
    void Place(const QString& owner, std::uint32_t process);
    void Follow(const QString& name, const QString& owner, std::uint32_t process);
    void Drop(std::uint32_t process);
    /// The program's last connection has gone: its play stops.
    void Leave(std::uint32_t process);
    void RequestState(std::uint32_t process);
    void StateFailed(std::uint32_t process, const QString& owner, const std::string& error);
    void RequestIdentity(const QString& name, const QString& owner);
    /// The player whose speaking connection is owner, or null.
    CMprisPlayer* Find(const QString& owner) const;
    CProcess* ProcessOf(const QString& owner);
    /// The player counting the same track now, for a mirror check.
    std::string CountingSameTrack(const CMprisPlayer& asking, const CMprisMetadata& track) const;
    void SaveAnnounced();
    /// Stops what an earlier bridge announced for players that are no
    /// longer there (or now ignored).
    void StopStale(const std::string& busName);

    QDBusConnection mBus;
    CListenerOutbox& mOutbox;
    CMprisPlayer::Clock mClock;
    QDBusServiceWatcher* mWatcher = nullptr;
    std::optional<CAnnouncedFile> mAnnouncedFile;
    /// What an earlier bridge announced and no player has taken on yet, by
    /// owner.
    std::map<QString, CAnnouncedFile::CEntry> mEarlier;

    /// Every MPRIS name on the bus and its owner, ignored ones included.
    std::map<QString, QString> mNames;
    /// Owners whose process is being asked for.
    std::set<QString> mAsking;
    /// The process of each owner that holds a followed name.
    std::map<QString, std::uint32_t> mOwnerProcess;
    /// The followed player programs, by process id.
    std::map<std::uint32_t, CProcess> mProcesses;
    /// Names whose Identity was recorded in this run.
    std::map<std::string, std::string> mRecorded;
    /// Stand-ins for a process id when the bus cannot tell one: each such
    /// connection is a player of its own.
    std::uint32_t mNextUnknownProcess = 0x80000000u;
};
