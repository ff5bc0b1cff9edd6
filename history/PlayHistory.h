#pragma once

#include "app/Observable.h"
#include "app/Observer.h"
#include "history/HistoryStore.h"
#include "player/PlayRecorder.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CSettingsManager;

/// Keeps the history of what was played, one file per user in the user data
/// folder ("<user>.history.db", see CHistoryStore), as the program's play
/// recorder.
///
/// The recorder's calls only queue what happened and wake the history's
/// writer thread, which gathers what comes within a tenth of a second and
/// writes it in one transaction per file; the listener, the stopwatches and
/// the submitter never wait for the disk. A play is filed under the user
/// who was current when it started; what the queue and the server do later
/// is filed under the user whose queue it was. The history is a record only: the cache files stay the
/// queue, and nothing here is ever submitted.
///
/// The first time a user's file is opened in a run, the plays the previous
/// run left open are settled against the user's queue file (see
/// CHistoryStore::Reconcile), so that a crash or a kill leaves no play
/// counting for ever.
///
/// Observers are told on the writer thread after each batch is written.
class CPlayHistory : public CPlayRecorder, public Observable, public Observer {
public:
    explicit CPlayHistory(CSettingsManager& settings);
    /// Closes.
    ~CPlayHistory() override;
    CPlayHistory(const CPlayHistory&) = delete;
    CPlayHistory& operator=(const CPlayHistory&) = delete;

    /// Reads the current user, follows the settings and starts the writer.
    void Start();
    /// Writes everything queued so far and ends the writer; what comes
    /// afterwards is dropped. Once only.
    void Close();
    /// Returns once everything queued before the call is written.
    void Flush();
    /// Deletes the user's history, after what was queued before.
    void Clear(const std::string& user);

    /// The user whose plays are recorded now ("" for none).
    std::string CurrentUser() const;
    /// A user's history file in the user data folder; "" when there is no
    /// such folder.
    std::string FilePathOf(const std::string& user) const;
    static std::string FilePath(const std::string& dir, const std::string& user);

    // CPlayRecorder
    void Started(const std::string& pluginId, const Track& track, EPlayOutcome outcome) override;
    void Ended(const std::string& pluginId) override;
    void Reached(const std::string& pluginId, EPlayOutcome outcome) override;
    void NotQueued(const std::string& user, std::time_t startTime) override;
    void Submitted(const std::string& user, const std::vector<std::time_t>& startTimes,
                   std::time_t acknowledged) override;
    void HeldBack(const std::string& user, std::time_t startTime) override;

    /// The settings changed: the current user may be another.
    void Update() override;

private:
    struct CEvent {
        enum class EKind { kOpen, kStarted, kEnded, kReached, kNotQueued, kSubmitted, kHeldBack, kClear };
        explicit CEvent(EKind what) : kind(what) {}
        EKind kind;
        std::string user;
        std::string pluginId;
        CHistoryStore::CPlay play;
        EPlayOutcome outcome = EPlayOutcome::kCounting;
        std::vector<std::time_t> times;
        std::time_t at = 0;
    };
    /// A play still counting: where it is filed.
    struct COpenPlay {
        std::string user;
        std::int64_t id = 0;
    };

    void Push(CEvent event);
    /// What the queue or the server did with the user's plays of those moments.
    void PushQueueEvent(CEvent::EKind kind, const std::string& user, std::vector<std::time_t> times,
                        std::time_t at = 0);
    void WriterMain();
    /// Writes one batch; whether anything changed.
    bool Apply(std::vector<CEvent>& batch);
    void ApplyOne(CEvent& event);
    /// The user's file, opened (and settled) on first use, in a transaction
    /// of the running batch. Throws CHistoryStore::CStoreException.
    CHistoryStore& StoreOf(const std::string& user);
    /// The plug-in's play still counting, no longer open; nothing if none.
    std::optional<COpenPlay> TakeOpen(const std::string& pluginId);
    /// Whether the play of the plug-in ended because the person has just
    /// chosen not to hear its player.
    static bool IsIgnoredNow(const std::string& pluginId);
    /// What the player of a plug-in calls itself, where the bridge recorded it.
    std::string PlayerName(const std::string& pluginId);

    CSettingsManager& mSettings;

    mutable std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mIdle;
    std::deque<CEvent> mQueue;
    std::string mUser;
    std::string mDir;
    /// The writer is gathering or writing a batch.
    bool mWriting = false;
    /// Threads waiting in Flush.
    int mFlushing = 0;
    bool mStop = false;
    bool mStarted = false;
    bool mClosed = false;
    std::thread mWriter;

    // The writer thread's own.
    std::map<std::string, std::unique_ptr<CHistoryStore>> mStores;
    std::vector<CHistoryStore*> mInTransaction;
    std::map<std::string, COpenPlay> mOpen;
    std::map<std::string, std::string> mPlayerNames;
};
