#include "history/PlayHistory.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "settings/IgnoreList.h"
#include "settings/MprisPlayers.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/WebSubmitter.h"

#include <algorithm>

namespace {

constexpr const char* kMprisPrefix = "org.mpris.MediaPlayer2.";
constexpr std::chrono::milliseconds kGatherTime{100};

} // namespace

CPlayHistory::CPlayHistory(CSettingsManager& settings) : mSettings(settings) {}

CPlayHistory::~CPlayHistory() {
    Close();
}

std::string CPlayHistory::FilePath(const std::string& dir, const std::string& user) {
    return dir + "/" + CWebSubmitter::MakeSafe(user) + ".history.db";
}

std::string CPlayHistory::FilePathOf(const std::string& user) const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDir.empty() || user.empty() ? std::string() : FilePath(mDir, user);
}

std::string CPlayHistory::CurrentUser() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mUser;
}

void CPlayHistory::Start() {
    const std::string dir = mSettings.GetUserDir();
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStarted || mClosed)
            return;
        mStarted = true;
        mDir = dir;
        mWriter = CCrashHandler::StartThread([this] { WriterMain(); });
    }
    mSettings.AddObserver(this);
    Update();
}

void CPlayHistory::Close() {
    std::thread writer;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClosed)
            return;
        mClosed = true;
        mStop = true;
        writer = std::move(mWriter);
    }
    if (mStarted)
        mSettings.RemoveObserver(this);
    mWake.notify_all();
    // The writer writes what was queued before it ends.
    if (writer.joinable())
        writer.join();
}

void CPlayHistory::Flush() {
    std::unique_lock<std::mutex> lock(mMutex);
    ++mFlushing;
    // A writer gathering a batch writes it now.
    mWake.notify_all();
    mIdle.wait(lock, [this] { return (mQueue.empty() && !mWriting) || !mWriter.joinable(); });
    --mFlushing;
}

void CPlayHistory::Update() {
    std::string user;
    try {
        user = mSettings.GetCurrentUser().name;
    } catch (const CSettingsManager::CUserNotFoundException&) {
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (user == mUser)
            return;
        mUser = user;
    }
    if (user.empty())
        return;
    VBX_LOG(3, "Recording the history of " << user << "\n");
    // Opening the file settles what the last run left open, before the
    // window shows it.
    CEvent event(CEvent::EKind::kOpen);
    event.user = user;
    Push(std::move(event));
}

void CPlayHistory::Push(CEvent event) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStop || !mStarted)
            return;
        wake = mQueue.empty() && !mWriting;
        mQueue.push_back(std::move(event));
    }
    // A writer at work takes the event with its next batch.
    if (wake)
        mWake.notify_one();
}

void CPlayHistory::Started(const std::string& pluginId, const Track& track, EPlayOutcome outcome) {
    CEvent event(CEvent::EKind::kStarted);
    event.pluginId = pluginId;
    event.outcome = outcome;
    event.play.start = track.GetStartTime();
    event.play.artist = track.GetRawArtist();
    event.play.title = track.GetRawTitle();
    event.play.album = track.GetRawAlbum();
    event.play.length = std::max(0, track.GetLength());
    event.play.plugin = pluginId;
    event.play.outcome = outcome;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        event.user = mUser;
    }
    Push(std::move(event));
}

void CPlayHistory::Ended(const std::string& pluginId) {
    CEvent event(CEvent::EKind::kEnded);
    event.pluginId = pluginId;
    Push(std::move(event));
}

void CPlayHistory::Reached(const std::string& pluginId, EPlayOutcome outcome) {
    CEvent event(CEvent::EKind::kReached);
    event.pluginId = pluginId;
    event.outcome = outcome;
    Push(std::move(event));
}

void CPlayHistory::PushQueueEvent(CEvent::EKind kind, const std::string& user, std::vector<std::time_t> times,
                                  std::time_t at) {
    CEvent event(kind);
    event.user = user;
    event.times = std::move(times);
    event.at = at;
    Push(std::move(event));
}

void CPlayHistory::NotQueued(const std::string& user, std::time_t startTime) {
    PushQueueEvent(CEvent::EKind::kNotQueued, user, {startTime});
}

void CPlayHistory::Submitted(const std::string& user, const std::vector<std::time_t>& startTimes,
                             std::time_t acknowledged) {
    PushQueueEvent(CEvent::EKind::kSubmitted, user, startTimes, acknowledged);
}

void CPlayHistory::HeldBack(const std::string& user, std::time_t startTime) {
    PushQueueEvent(CEvent::EKind::kHeldBack, user, {startTime});
}

void CPlayHistory::Clear(const std::string& user) {
    CEvent event(CEvent::EKind::kClear);
    event.user = user;
    Push(std::move(event));
}

void CPlayHistory::WriterMain() {
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return !mQueue.empty() || mStop; });
        if (mQueue.empty())
            break;
        // What comes within a moment goes into the same transaction: a busy
        // listener costs a few writes a second, not one per command. The
        // listener does not wake a writer that is gathering.
        mWriting = true;
        mWake.wait_for(lock, kGatherTime, [this] { return mStop || mFlushing > 0; });
        std::vector<CEvent> batch(std::make_move_iterator(mQueue.begin()), std::make_move_iterator(mQueue.end()));
        mQueue.clear();
        lock.unlock();
        const bool changed = Apply(batch);
        lock.lock();
        mWriting = false;
        mIdle.notify_all();
        if (changed) {
            lock.unlock();
            NotifyObservers();
            lock.lock();
        }
    }
    mStores.clear();
    mIdle.notify_all();
}

bool CPlayHistory::Apply(std::vector<CEvent>& batch) {
    bool changed = false;
    for (CEvent& event : batch) {
        try {
            ApplyOne(event);
            changed = true;
        } catch (const CHistoryStore::CStoreException& e) {
            VBX_LOG(1, "Couldn't record in the history: " << e.what() << "\n");
            // The file is opened anew for the next play.
            for (CHistoryStore* store : mInTransaction)
                store->Rollback();
            mInTransaction.clear();
            mStores.erase(event.user);
        }
    }
    for (CHistoryStore* store : mInTransaction) {
        try {
            store->Commit();
        } catch (const CHistoryStore::CStoreException& e) {
            VBX_LOG(1, "Couldn't record in the history: " << e.what() << "\n");
            store->Rollback();
        }
    }
    mInTransaction.clear();
    return changed;
}

CHistoryStore& CPlayHistory::StoreOf(const std::string& user) {
    auto found = mStores.find(user);
    if (found == mStores.end()) {
        std::string dir;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            dir = mDir;
        }
        if (dir.empty())
            throw CHistoryStore::CStoreException("there is no user data folder");
        std::unique_ptr<CHistoryStore> store = CHistoryStore::OpenForWriting(FilePath(dir, user));
        const int settled = store->Reconcile(CWebSubmitter::PendingStartTimes(dir, user));
        if (settled > 0)
            VBX_LOG(3, "Settled " << settled << " plays left open in the history of " << user << "\n");
        found = mStores.emplace(user, std::move(store)).first;
    }
    CHistoryStore& store = *found->second;
    if (std::find(mInTransaction.begin(), mInTransaction.end(), &store) == mInTransaction.end()) {
        store.Begin();
        mInTransaction.push_back(&store);
    }
    return store;
}

void CPlayHistory::ApplyOne(CEvent& event) {
    using EKind = CEvent::EKind;
    switch (event.kind) {
    case EKind::kOpen:
        StoreOf(event.user);
        return;
    case EKind::kStarted: {
        // A new track ends the plug-in's play before it.
        if (const auto before = TakeOpen(event.pluginId))
            StoreOf(before->user).ChangeOutcome(before->id, EPlayOutcome::kCounting, EPlayOutcome::kStoppedEarly);
        if (event.user.empty())
            return; // nobody's history
        event.play.player = PlayerName(event.pluginId);
        const std::int64_t id = StoreOf(event.user).Insert(event.play);
        if (event.outcome == EPlayOutcome::kCounting)
            mOpen[event.pluginId] = COpenPlay{event.user, id};
        return;
    }
    case EKind::kEnded:
        if (const auto play = TakeOpen(event.pluginId))
            StoreOf(play->user).ChangeOutcome(play->id, EPlayOutcome::kCounting,
                                              IsIgnoredNow(event.pluginId) ? EPlayOutcome::kIgnoredPlayer
                                                                           : EPlayOutcome::kStoppedEarly);
        return;
    case EKind::kReached:
        if (const auto play = TakeOpen(event.pluginId))
            StoreOf(play->user).ChangeOutcome(play->id, EPlayOutcome::kCounting, event.outcome);
        return;
    case EKind::kNotQueued:
    case EKind::kSubmitted:
    case EKind::kHeldBack: {
        if (event.user.empty())
            return;
        const EPlayOutcome to = event.kind == EKind::kNotQueued ? EPlayOutcome::kDuplicate
                                : event.kind == EKind::kHeldBack ? EPlayOutcome::kHeldBack
                                                                 : EPlayOutcome::kSubmitted;
        CHistoryStore& store = StoreOf(event.user);
        for (const std::time_t start : event.times)
            store.ChangeWaiting(start, to,
                                to == EPlayOutcome::kSubmitted ? std::optional<std::time_t>(event.at) : std::nullopt);
        return;
    }
    case EKind::kClear: {
        CHistoryStore& store = StoreOf(event.user);
        // Deleting and shrinking run outside a transaction.
        store.Commit();
        mInTransaction.erase(std::remove(mInTransaction.begin(), mInTransaction.end(), &store),
                             mInTransaction.end());
        store.Clear();
        std::erase_if(mOpen, [&](const auto& entry) { return entry.second.user == event.user; });
        VBX_LOG(3, "Cleared the history of " << event.user << " at the person's request\n");
        return;
    }
    }
}

std::optional<CPlayHistory::COpenPlay> CPlayHistory::TakeOpen(const std::string& pluginId) {
    const auto open = mOpen.find(pluginId);
    if (open == mOpen.end())
        return std::nullopt;
    const COpenPlay play = open->second;
    mOpen.erase(open);
    return play;
}

bool CPlayHistory::IsIgnoredNow(const std::string& pluginId) {
    // The bridge stops the play of a player the person has just chosen not
    // to hear; plug-ins of their own are never ignored.
    return pluginId.rfind(kMprisPrefix, 0) == 0 && CIgnoreList::FromStore().Ignores(pluginId);
}

std::string CPlayHistory::PlayerName(const std::string& pluginId) {
    if (pluginId.rfind(kMprisPrefix, 0) != 0)
        return std::string();
    if (const auto known = mPlayerNames.find(pluginId); known != mPlayerNames.end())
        return known->second;
    const std::string name = CIgnoreList::PlayerName(pluginId);
    std::string identity;
    try {
        for (const CMprisPlayers::CRecord& record : CMprisPlayers::List())
            if (record.name == name)
                identity = record.identity;
    } catch (const CRegistryUtils::CRegistryException& e) {
        VBX_LOG(2, "Couldn't read the players heard: " << e.what() << "\n");
    }
    // Asked again next time until the bridge has recorded it.
    if (!identity.empty())
        mPlayerNames.emplace(pluginId, identity);
    return identity.empty() ? name : identity;
}
