#pragma once

#include "mpris/MprisMetadata.h"
#include "mpris/MprisReader.h"
#include "mpris/PluginLine.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

class CListenerOutbox;

/// One MPRIS player on the bus, seen as one plug-in (its bus name is the
/// plug-in identifier). It keeps what the player last said (playback
/// status, track, an estimate of the position) and what the listener was
/// last told, and sends a line only when the two part: START when a new
/// track plays, PAUSE and RESUME with the status, STOP when playing ends or
/// the player leaves.
///
/// Players are untidy, so a change of the track is never acted on at once:
/// the metadata is given kSettleMs to settle (it often comes in pieces),
/// then the player's whole state is read in one call and compared. Signals
/// that change nothing that matters (position advances, repeats of the same
/// metadata) cost a comparison and nothing else: no line, no call, no timer.
class CMprisPlayer : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<std::int64_t()>;
    using StateRequest = std::function<void()>;
    /// The bus name of another player counting the same track right now,
    /// or "".
    using MirrorCheck = std::function<std::string(const CMprisPlayer& asking, const CMprisMetadata& track)>;
    using EStatus = CMprisReader::EStatus;

    /// What the listener was told, as the next bridge needs it after this
    /// one was killed: the same track goes on, nothing is announced twice.
    struct CAnnounced {
        bool paused = false;
        bool mirror = false;
        CMprisMetadata track;
        std::int64_t playedMs = 0;
    };

    static constexpr int kSettleMs = 400;
    static constexpr int kMaxSettleMs = 2000;
    /// A position this close to the start counts as the track's beginning.
    static constexpr std::int64_t kBeginningUs = 3000000;

    /// request asks the owner to read the player's properties; the answer
    /// comes back through OnState or OnStateFailed. clock gives monotonic
    /// milliseconds.
    CMprisPlayer(std::string busName, CListenerOutbox& outbox, StateRequest request, Clock clock,
                 QObject* parent = nullptr);

    const std::string& BusName() const noexcept { return mBusName; }

    /// Asked before each new track is announced; a track that another
    /// player counts is followed as a mirror and sends nothing.
    void SetMirrorCheck(MirrorCheck check) { mMirrorCheck = std::move(check); }
    /// Called after every line this player had sent (or held back as a
    /// mirror), so the owner can keep what was announced.
    void SetAnnouncedHandler(std::function<void()> handler) { mAnnouncedHandler = std::move(handler); }
    /// Whether a track of this player is being counted: announced, not
    /// stopped, and not a mirror of another player's.
    bool IsCounting() const noexcept;
    /// The track announced last (when IsCounting or a mirror goes on).
    const CMprisMetadata& AnnouncedTrack() const noexcept { return mAnnounced; }
    /// What the listener knows of this player now; nothing when no track
    /// goes on.
    std::optional<CAnnounced> Announced() const;
    /// Takes on what an earlier bridge announced for this player, before
    /// its state is first read.
    void Adopt(const CAnnounced& announced);

    /// A PropertiesChanged signal of the player interface.
    void OnPropertiesChanged(const QVariantMap& changed, const QStringList& invalidated);
    /// The Seeked signal, with its position argument.
    void OnSeeked(const QVariant& position);
    /// The player's properties as read with GetAll.
    void OnState(const QVariantMap& properties);
    void OnStateFailed(const std::string& error);
    /// The player left the bus (or the bridge ends): a track still playing
    /// or paused is stopped.
    void OnVanished();
    /// The listener was away and may have been restarted: tells it the
    /// whole state again.
    void Resend();
    /// The listener refused one of this player's lines.
    void OnRefused(CPluginLine::ECode code, const std::string& reply);

    /// Logs an oddity of this player, once per kind.
    void Oddity(const std::string& key, const std::string& text);

private:
    enum class ESent { Nothing, Playing, Paused, Stopped };

    void StartSettling();
    void OnSettled();
    void SetStatus(EStatus status);
    void Reconcile();
    void Announce();
    void Emit(CPluginLine::ECode code);
    std::int64_t Now() const { return mClock(); }
    /// The estimated position of the player in microseconds.
    std::int64_t Position() const;
    /// What the listener has counted of the announced track, in ms.
    std::int64_t PlayedMs() const;
    /// Half the announced track, at most four minutes; nothing for a track
    /// that cannot count.
    std::optional<std::int64_t> GoalMs() const;

    std::string mBusName;
    CListenerOutbox& mOutbox;
    MirrorCheck mMirrorCheck;
    std::function<void()> mAnnouncedHandler;
    /// The player counting the announced track, when this one mirrors it.
    std::string mMirrorOf;
    StateRequest mRequest;
    Clock mClock;
    CMprisReader::OdditySink mSink;
    std::set<std::string> mOddities;

    QTimer mSettle;
    std::int64_t mSettleStartMs = 0;
    bool mbAwaitingState = false;
    /// A repeat of the same metadata near the end of the track: the state
    /// read tells whether the track started over.
    bool mbCheckRestart = false;
    /// The track started over: the next Reconcile announces it again.
    bool mbRestart = false;

    std::optional<EStatus> mStatus;
    CMprisMetadata mMetadata;
    std::int64_t mAnchorUs = 0;
    std::int64_t mAnchorAtMs = 0;

    ESent mSent = ESent::Nothing;
    CMprisMetadata mAnnounced;
    std::int64_t mPlayedMs = 0;
    std::int64_t mPlayingSinceMs = 0;
};
