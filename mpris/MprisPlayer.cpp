#include "mpris/MprisPlayer.h"

#include "app/Logger.h"
#include "mpris/ListenerOutbox.h"

#include <algorithm>

namespace {

const QString kStatusKey = QStringLiteral("PlaybackStatus");
const QString kMetadataKey = QStringLiteral("Metadata");
const QString kPositionKey = QStringLiteral("Position");

/// Fields the signal left out keep their known value: a signal that names
/// neither the track's id nor its title is taken as a piece of the whole.
CMprisMetadata Merge(const CMprisMetadata& known, const CMprisMetadata& piece) {
    CMprisMetadata merged = piece;
    for (auto field : {&CMprisMetadata::trackId, &CMprisMetadata::artist, &CMprisMetadata::title,
                       &CMprisMetadata::album, &CMprisMetadata::url, &CMprisMetadata::musicBrainzTrackId})
        if ((merged.*field).empty())
            merged.*field = known.*field;
    if (!merged.lengthUs)
        merged.lengthUs = known.lengthUs;
    return merged;
}

} // namespace

CMprisPlayer::CMprisPlayer(std::string busName, CListenerOutbox& outbox, StateRequest request, Clock clock,
                           QObject* parent)
    : QObject(parent), mBusName(std::move(busName)), mOutbox(outbox), mRequest(std::move(request)),
      mClock(std::move(clock)) {
    mSink = [this](const std::string& key, const std::string& text) { Oddity(key, text); };
    mSettle.setSingleShot(true);
    connect(&mSettle, &QTimer::timeout, this, &CMprisPlayer::OnSettled);
}

void CMprisPlayer::Oddity(const std::string& key, const std::string& text) {
    if (mOddities.size() < 64 && mOddities.insert(key).second)
        VBX_LOG(2, "Player " << mBusName << ": " << text << "\n");
}

void CMprisPlayer::OnPropertiesChanged(const QVariantMap& changed, const QStringList& invalidated) {
    bool statusChanged = false;
    bool settle = false;
    const auto status = changed.constFind(kStatusKey);
    if (status != changed.constEnd()) {
        const auto value = CMprisReader::ReadStatus(*status, mSink);
        if (value && value != mStatus) {
            SetStatus(*value);
            statusChanged = true;
        }
    }
    const auto metadata = changed.constFind(kMetadataKey);
    if (metadata != changed.constEnd()) {
        if (auto piece = CMprisReader::ReadMetadata(*metadata, mSink)) {
            const auto map = CMprisReader::ReadMap(*metadata);
            const bool whole = map && map->contains(QStringLiteral("mpris:trackid")) &&
                               map->contains(QStringLiteral("xesam:title"));
            CMprisMetadata candidate = whole ? *piece : Merge(mMetadata, *piece);
            if (candidate != mMetadata) {
                if (!whole)
                    Oddity("partial-metadata", "Metadata signalled in part; the whole is read from the player");
                mMetadata = std::move(candidate);
                settle = true;
            } else if (mSent == ESent::Playing && mStatus == EStatus::Playing && !mMetadata.IsOtherTrackThan(mAnnounced)) {
                // The same metadata again. Near the end of the track some
                // players say so when they start it over.
                const auto length = mMetadata.LengthSeconds();
                if (length && Position() >= *length * 1000000 - kBeginningUs) {
                    mbCheckRestart = true;
                    settle = true;
                }
            }
        }
    }
    if (invalidated.contains(kStatusKey) || invalidated.contains(kMetadataKey))
        settle = true;
    if (settle) {
        StartSettling();
        return;
    }
    if (statusChanged && !mSettle.isActive() && !mbAwaitingState)
        Reconcile();
}

void CMprisPlayer::OnSeeked(const QVariant& position) {
    const auto us = CMprisReader::ReadMicroseconds(position);
    if (!us) {
        Oddity("type:Seeked", "Seeked carries no usable position, ignored");
        return;
    }
    mAnchorUs = *us;
    mAnchorAtMs = Now();
    // Back to the beginning after the goal was reached: a new play.
    const auto goal = GoalMs();
    if (*us < kBeginningUs && (mSent == ESent::Playing || mSent == ESent::Paused) && goal && PlayedMs() >= *goal &&
        !mMetadata.IsOtherTrackThan(mAnnounced)) {
        mbRestart = true;
        if (!mSettle.isActive() && !mbAwaitingState)
            Reconcile();
    }
}

void CMprisPlayer::OnState(const QVariantMap& properties) {
    mbAwaitingState = false;
    const auto status = properties.constFind(kStatusKey);
    if (status != properties.constEnd()) {
        if (const auto value = CMprisReader::ReadStatus(*status, mSink); value && value != mStatus)
            SetStatus(*value);
    } else {
        Oddity("missing:PlaybackStatus", "The player has no PlaybackStatus");
    }
    const auto metadata = properties.constFind(kMetadataKey);
    if (metadata != properties.constEnd()) {
        if (auto value = CMprisReader::ReadMetadata(*metadata, mSink))
            mMetadata = std::move(*value);
    }
    const auto position = properties.constFind(kPositionKey);
    std::optional<std::int64_t> us;
    if (position != properties.constEnd())
        us = CMprisReader::ReadMicroseconds(*position);
    if (us) {
        mAnchorUs = *us;
        mAnchorAtMs = Now();
    }
    if (mbCheckRestart) {
        mbCheckRestart = false;
        if (us && *us < kBeginningUs && !mMetadata.IsOtherTrackThan(mAnnounced))
            mbRestart = true;
    }
    if (!mSettle.isActive())
        Reconcile();
}

void CMprisPlayer::OnStateFailed(const std::string& error) {
    mbAwaitingState = false;
    mbCheckRestart = false;
    Oddity("call:GetAll", "Couldn't read the player's state: " + error);
    if (!mSettle.isActive())
        Reconcile();
}

void CMprisPlayer::OnVanished() {
    mSettle.stop();
    if (mSent == ESent::Playing || mSent == ESent::Paused)
        Emit(CPluginLine::kStop);
}

bool CMprisPlayer::IsCounting() const noexcept {
    return (mSent == ESent::Playing || mSent == ESent::Paused) && mMirrorOf.empty();
}

std::optional<CMprisPlayer::CAnnounced> CMprisPlayer::Announced() const {
    if (mSent != ESent::Playing && mSent != ESent::Paused)
        return std::nullopt;
    return CAnnounced{mSent == ESent::Paused, !mMirrorOf.empty(), mAnnounced, PlayedMs()};
}

void CMprisPlayer::Adopt(const CAnnounced& announced) {
    mAnnounced = announced.track;
    mSent = announced.paused ? ESent::Paused : ESent::Playing;
    mMirrorOf = announced.mirror ? std::string("an earlier player") : std::string();
    mPlayedMs = announced.playedMs;
    mPlayingSinceMs = Now();
    VBX_LOG(3, "Player " << mBusName << " goes on with '" << mAnnounced.artist << " - " << mAnnounced.title
                         << "', as announced before\n");
}

void CMprisPlayer::Resend() {
    if (mSent != ESent::Playing && mSent != ESent::Paused)
        return;
    if (!mMirrorOf.empty())
        return;
    const ESent sent = mSent;
    mOutbox.Send(mBusName, CPluginLine::kStart, CPluginLine::Start(mBusName, mAnnounced));
    mPlayedMs = 0;
    mPlayingSinceMs = Now();
    if (sent == ESent::Paused)
        mOutbox.Send(mBusName, CPluginLine::kPause, CPluginLine::Simple(CPluginLine::kPause, mBusName));
}

void CMprisPlayer::OnRefused(CPluginLine::ECode code, const std::string& reply) {
    // The listener has forgotten the track (it was restarted meanwhile).
    if (code == CPluginLine::kResume && reply.find("without a preceding START") != std::string::npos &&
        mSent == ESent::Playing && mMirrorOf.empty()) {
        VBX_LOG(3, "The listener does not know the track of " << mBusName << ", announcing it again\n");
        mOutbox.Send(mBusName, CPluginLine::kStart, CPluginLine::Start(mBusName, mAnnounced));
        mPlayedMs = 0;
        mPlayingSinceMs = Now();
    }
}

void CMprisPlayer::StartSettling() {
    const std::int64_t now = Now();
    if (!mSettle.isActive())
        mSettleStartMs = now;
    const std::int64_t left = std::max<std::int64_t>(0, kMaxSettleMs - (now - mSettleStartMs));
    mSettle.start(static_cast<int>(std::min<std::int64_t>(kSettleMs, left)));
}

void CMprisPlayer::OnSettled() {
    if (!mRequest) {
        Reconcile();
        return;
    }
    mbAwaitingState = true;
    mRequest();
}

void CMprisPlayer::SetStatus(EStatus status) {
    mAnchorUs = Position();
    mAnchorAtMs = Now();
    mStatus = status;
    VBX_LOG(4, "Player " << mBusName << " is " << CMprisReader::StatusName(status) << "\n");
}

std::int64_t CMprisPlayer::Position() const {
    if (mStatus != EStatus::Playing)
        return mAnchorUs;
    return mAnchorUs + (Now() - mAnchorAtMs) * 1000;
}

std::int64_t CMprisPlayer::PlayedMs() const {
    return mSent == ESent::Playing ? mPlayedMs + (Now() - mPlayingSinceMs) : mPlayedMs;
}

std::optional<std::int64_t> CMprisPlayer::GoalMs() const {
    const auto length = mAnnounced.LengthSeconds();
    if (!mAnnounced.IsCountable() || !length || *length < 30)
        return std::nullopt;
    return std::min<std::int64_t>(*length / 2, 240) * 1000;
}

void CMprisPlayer::Reconcile() {
    if (!mStatus)
        return;
    const bool hasTrack = !mMetadata.Empty();
    if (*mStatus == EStatus::Playing && hasTrack) {
        const bool completes = !mAnnounced.IsCountable() && mMetadata.IsCountable();
        if (mSent == ESent::Nothing || mSent == ESent::Stopped || mbRestart ||
            mMetadata.IsOtherTrackThan(mAnnounced) || completes) {
            Announce();
            return;
        }
        // The same track, perhaps told more fully now.
        mAnnounced = Merge(mAnnounced, mMetadata);
        if (mSent == ESent::Paused)
            Emit(CPluginLine::kResume);
        return;
    }
    if (*mStatus == EStatus::Paused) {
        if (mSent == ESent::Playing)
            Emit(CPluginLine::kPause);
        return;
    }
    if (mSent == ESent::Playing || mSent == ESent::Paused)
        Emit(CPluginLine::kStop);
}

void CMprisPlayer::Announce() {
    mbRestart = false;
    mAnnounced = mMetadata;
    VBX_LOG(3, "Track on " << mBusName << ": '" << mMetadata.artist << " - " << mMetadata.title << "'\n");
    mMirrorOf = mMirrorCheck ? mMirrorCheck(*this, mMetadata) : std::string();
    if (!mMirrorOf.empty())
        VBX_LOG(3, "Player " << mBusName << " plays the track " << mMirrorOf
                             << " is counting: a mirror of it, not counted again\n");
    if (!mMetadata.LengthSeconds())
        VBX_LOG(2, "Player " << mBusName << " gives no usable length for '" << mMetadata.artist << " - "
                             << mMetadata.title << "'; it is sent without one and cannot count\n");
    Emit(CPluginLine::kStart);
}

void CMprisPlayer::Emit(CPluginLine::ECode code) {
    // The state is brought up to date before the line goes out: sending may
    // find the listener gone, and the resending that follows reads it.
    const std::int64_t now = Now();
    std::string line;
    switch (code) {
    case CPluginLine::kStart:
        line = CPluginLine::Start(mBusName, mAnnounced);
        mSent = ESent::Playing;
        mPlayedMs = 0;
        mPlayingSinceMs = now;
        break;
    case CPluginLine::kResume:
        line = CPluginLine::Simple(code, mBusName);
        mSent = ESent::Playing;
        mPlayingSinceMs = now;
        break;
    case CPluginLine::kPause:
    case CPluginLine::kStop:
        line = CPluginLine::Simple(code, mBusName);
        mPlayedMs = PlayedMs();
        mSent = code == CPluginLine::kPause ? ESent::Paused : ESent::Stopped;
        break;
    }
    if (mMirrorOf.empty())
        mOutbox.Send(mBusName, code, std::move(line));
    if (mAnnouncedHandler)
        mAnnouncedHandler();
}
