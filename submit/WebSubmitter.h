#pragma once

#include "app/Observable.h"
#include "app/Observer.h"
#include "player/Track.h"
#include "submit/Vortler.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CSettingsManager;

/// The one object through which the program submits played tracks: the
/// protocol client specialised for this application. It keeps the tracks
/// accepted since the last successful submission (the tentative list),
/// publishes every status to its observers, follows the settings manager
/// (user, password, proxy), and keeps the user's two cache files in step
/// with what is waiting, so that a crash loses no track accepted more than
/// a moment (the time of one write) before it.
///
/// Cache files, in the settings manager's user directory:
///   "<stem>.vortler.cache"  count, one space, the pending data as posted
///   "<stem>.tent.cache"     the tentative Tracks, 807 bytes each, oldest first
/// where the stem is MakeSafe(user). Each is replaced as a whole: a
/// temporary file in the same folder is written, synced and renamed over it.
/// A track handed to Submit reaches the files through a writer thread of
/// the submitter's own, which writes the latest state as soon as it can
/// (changes that come while it writes are written together next), so the
/// stopwatch and the listener never wait for the disk. Everything else that
/// changes the queue (an OK, a change of user, term) writes before it
/// returns.
class CWebSubmitter : public Vortler, public Observable, public Observer {
public:
    /// The process-wide instance, following the global settings manager.
    static CWebSubmitter& Instance();

    /// Follows the given settings manager (tests pass their own).
    explicit CWebSubmitter(CSettingsManager& settings);
    ~CWebSubmitter() override;

    /// Starts following the settings, applies the stored proxy, then
    /// initialises the protocol client (loading the user's cache).
    void init(const std::string& user, const std::string& passwordOrHash, const std::string& clientId,
              const std::string& clientVersion, bool passwordIsHashed) override;

    /// Hands one played track to the protocol client; an accepted track is
    /// in the tentative list when this returns, and on disk once the writer
    /// thread has written (at once, unless the disk is slow).
    void Submit(const Track& track);

    /// What HoldBack did.
    enum class EHoldBack {
        kHeldBack,   ///< out of the queue and the files, as if never queued
        kNotWaiting, ///< no such play waits (sent already, or never queued)
        kBeingSent,  ///< it is in the post under way: too late
    };
    /// Takes the play of the current user that started at startTime out of
    /// the queue: from the pending data, the tentative list and both files
    /// (rewritten before this returns), and tells the recorder. Writes to
    /// disk: not for the program's thread.
    EHoldBack HoldBack(std::time_t startTime);

    /// The play times waiting in a user's pending file; empty when there is
    /// no file, nothing when it cannot be read.
    static std::optional<std::vector<std::time_t>> PendingStartTimes(const std::string& dir, const std::string& user);

    /// Writes the current user's files now, with everything accepted so
    /// far; afterwards no write asked of the writer thread is outstanding.
    /// Not to be called with the cache mutex held.
    void FlushCache();

    void statusUpdate(int code, const std::string& text) override;
    bool saveCache(const std::string& user, const std::string& data, int count) override;
    bool loadCache(const std::string& user) override;

    /// The settings changed: pushes user, password hash and proxy into the
    /// protocol client. Does nothing before init.
    void Update() override;

    /// The file-name stem of a user name: / \ : * ? " < > | become a to i.
    static std::string MakeSafe(const std::string& user);

    /// The last status code (17 before any) and its text, copied together.
    struct Status {
        int code = kVortleNotStarted;
        std::string text;
    };
    Status GetStatus() const;
    int GetStatusCode() const;
    std::string GetStatusText() const;

    /// A copy of the tentative list, oldest first.
    std::vector<Track> GetTentative() const;

    /// Whether Submit and OK replies rewrite the cache files (on by default;
    /// the benchmark measures the two apart).
    void SetKeepCacheInStep(bool keep) { mKeepInStep.store(keep); }

    /// Gives the protocol client the settings' proxy. init does it too; a
    /// login verified before init (at start-up) needs it earlier.
    void ApplyProxy();

    /// The two file paths of a user, given the user directory.
    static std::string PendingFilePath(const std::string& dir, const std::string& user);
    static std::string TentativeFilePath(const std::string& dir, const std::string& user);

protected:
    /// Ends the protocol client's threads and then the cache writer (after
    /// what it was asked to write). A derived class calls it first in its
    /// destructor.
    void stopThreads();

    void submissionConfirmed(const std::string& user, const std::string& data, int count,
                             bool held) override;

private:
    /// Writes both files from memory; emptyTentative is the save at a change
    /// of user or at exit. Takes the file mutex.
    bool WriteFiles(const std::string& user, const Pending& pending, bool emptyTentative,
                    const char* dirMissingText);
    /// Rewrites the current user's files, once they have been read.
    void KeepInStep();
    /// Asks the writer thread for a KeepInStep.
    void RequestWrite();
    void WriterMain();
    /// Takes confirmed entries off the head of a user's pending file and
    /// empties the user's tentative file.
    void RemoveFromFiles(const std::string& user, const std::string& data, int count);
    std::string UserDir(const char* dirMissingText);
    /// Reads the user's two files into the client and the tentative list.
    bool LoadFiles(const std::string& user);

    CSettingsManager& mSettings;

    mutable std::recursive_mutex mLock; // status, tentative list
    int mStatusCode = kVortleNotStarted;
    std::string mStatusText;
    std::list<Track> mTentative;
    std::atomic<bool> mInitialised{false};
    std::atomic<bool> mKeepInStep{true};

    // The cache files are written under the protocol client's cache mutex,
    // which is taken before mLock.
    // The user whose files were read last: before that, nothing may write
    // them, or their queue would be overwritten unread.
    std::string mLoadedUser;
    // The loaded pending file could not be read: it is kept aside before it
    // is first replaced.
    bool mLoadedUnreadable = false;
    bool mObserving = false;

    // The writer thread, started with the first Submit.
    std::mutex mWriterMutex;
    std::condition_variable mWriterWake;
    std::condition_variable mWriterIdle;
    bool mWriteWanted = false;
    bool mWriting = false;
    bool mWriterStop = false;
    std::thread mWriter;
};
