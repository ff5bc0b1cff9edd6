#pragma once

#include "app/ManualResetEvent.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

/// Status codes of the submission layer, reported through
/// Vortler::statusUpdate together with a text.
enum VortleStatus : int {
    kVortleSubmitting = 0,
    kVortleNotHandshaken = 1,
    kVortleUnused2 = 2,
    kVortleHandshaking = 3,
    kVortleHandshakeOk = 4,
    kVortleUpToDate = 5,
    kVortleUpdateAvailable = 6,
    kVortleHandshakeInvalid = 7,
    kVortleBadUser = 8,
    kVortleHandshakeFailed = 9,
    kVortleUnused10 = 10,
    kVortleSubmitOk = 11,
    kVortleSubmitInvalid = 12,
    kVortleUnused13 = 13,
    kVortlePasswordRejected = 14,
    kVortleSubmitFailed = 15,
    kVortleBadAuth = 16,
    kVortleNotStarted = 17,
};

/// Client of the submission protocol 1.1: logs the user in with a
/// challenge-response handshake, keeps every accepted track as an encoded
/// entry of the pending data, posts all pending entries at once and reports
/// each step as a VortleStatus code with a text.
///
/// Each network exchange runs on a thread owned by the client (one at a
/// time); a timer thread of its own retries failed exchanges with
/// exponential back-off. Every exchange is bounded in time. The client's
/// mutex guards the state, the credentials and the pending data; it is never
/// held across a network wait or while statusUpdate, saveCache or loadCache
/// run. The cache mutex, taken before it, orders every move of pending data
/// between memory and a user's cache: a change of user, the save at term and
/// the confirmation of a post.
class Vortler {
public:
    /// States of the protocol.
    enum State : int { kIdle = 0, kHandshaking = 1, kReady = 2, kSubmitting = 3, kStopping = 4 };

    static constexpr std::chrono::milliseconds kDefaultConnectLimit{10000};
    static constexpr std::chrono::milliseconds kDefaultTotalLimit{30000};
    static constexpr std::chrono::milliseconds kDefaultRetryDelay{60000};
    static constexpr std::chrono::milliseconds kMaxRetryDelay{30 * 60 * 1000};
    /// The client identifier and version in the User-Agent line until init.
    static constexpr const char* kDefaultClientId = "vbx";
    static constexpr const char* kDefaultClientVersion = "0.1";

    /// Ready for verifyUser at once: the User-Agent line is built from the
    /// default client identifier and version.
    Vortler();
    virtual ~Vortler();
    Vortler(const Vortler&) = delete;
    Vortler& operator=(const Vortler&) = delete;

    /// Stores the client identifier and version, builds the User-Agent line,
    /// empties the pending data and takes the credentials; this loads the
    /// user's cache and starts a handshake.
    virtual void init(const std::string& user, const std::string& passwordOrHash, const std::string& clientId,
                      const std::string& clientVersion, bool passwordIsHashed);

    /// Receives the text of each status; does nothing here.
    virtual void statusText(const std::string& text);
    /// Called with every status, on the thread that made the change. Passes
    /// the text to statusText.
    virtual void statusUpdate(int code, const std::string& text);
    /// Stores a user's pending data; does nothing here and returns false.
    virtual bool saveCache(const std::string& user, const std::string& data, int count);
    /// Loads a user's pending data through setCache; here it only reports
    /// status 0 "load cache" and returns false.
    virtual bool loadCache(const std::string& user);
    /// response = md5Hex(password hash + challenge).
    virtual void makeResponse();

    void setUsername(const std::string& user);
    /// An empty text changes nothing; alreadyHashed takes text as the hash.
    void setPassword(const std::string& text, bool alreadyHashed);
    /// hostAndPort "host[:port]"; credentials are used when both are longer
    /// than one character. An empty host means a direct connection.
    void setProxy(const std::string& hostAndPort, const std::string& proxyUser,
                  const std::string& proxyPassword);

    /// 1 accepted, 0 shorter than 30 seconds, 3 the same play time is
    /// already pending. Texts are encoded as given, without conversion.
    int addSong(const std::string& artist, const std::string& title, const std::string& album,
                const std::string& trackId, int lengthSeconds, std::time_t startTime);

    /// Takes the entry of that play time out of the pending data, as if it
    /// had never been added: 0 done, 1 no such entry is pending, 2 it is in
    /// the post under way (it can no longer be taken back).
    int removeSong(std::time_t startTime);

    /// The play times of encoded entries, each once, in no order; a time that
    /// cannot be read is left out.
    static std::vector<std::time_t> entryTimes(std::string_view data);

    /// Stops the threads and saves the user's pending data. Returns whatever
    /// the threads are doing: an exchange in flight ends at its next poll.
    void term();

    /// Replaces the pending data and count (from a cache file).
    void setCache(const std::string& data, int count);
    /// Empties the pending data and count.
    void clearCache();

    /// Blocking check of a user name and password against the web service:
    /// 0 valid, 1 unknown user, 2 wrong password, 3 no usable answer.
    int verifyUser(const std::string& user, const std::string& passwordOrHash, bool passwordIsHashed);

    /// Bounds of each exchange (connect, and the whole exchange).
    void setTimeLimits(std::chrono::milliseconds connectLimit, std::chrono::milliseconds totalLimit);
    /// First retry delay after a failure; it doubles up to kMaxRetryDelay.
    void setRetryBaseDelay(std::chrono::milliseconds delay);

    /// Copies of the client's fields, taken under its mutex.
    int state() const;
    std::string userName() const;
    std::string passwordHash() const;
    std::string challenge() const;
    std::string response() const;
    std::string handshakeUrl() const;
    std::string submitUrl() const;
    std::string userAgent() const;
    std::string proxyString() const;
    std::string pendingData() const;
    int pendingCount() const;
    /// Whether a retry is waiting on the timer.
    bool retryScheduled() const;
    /// Whether an exchange thread is at work (or about to be started).
    bool exchangeActive() const;

    /// The pending data and count, copied together.
    struct Pending {
        std::string data;
        int count = 0;
    };
    Pending pendingSnapshot() const;

    /// The stored host of "SubmitHost" or "WebServiceHost", read at the
    /// moment of use; its default when the settings store fails.
    static std::string serverHost(const std::string& key);

    /// UTC text "%Y-%m-%d %H:%M:%S" of a time.
    static std::string timeText(std::time_t time);
    /// The data with every entry index "[n]" moved by delta.
    static std::string renumber(std::string_view data, int delta);

protected:
    /// Where threads of the client meet. The hook does nothing here; a test
    /// overrides it to hold a thread at one of them and so force the
    /// interleaving it needs.
    enum class RacePoint {
        kExchangeStarting, ///< an exchange is about to get its thread
        kJoiningThreads,   ///< stopThreads is about to join the threads
        kTermSaving,       ///< term has taken its snapshot, the cache mutex held
        kCacheLockBusy,    ///< a cache writer waits for the cache mutex
        kCacheWritten,     ///< a cache writer has written, the cache mutex held
    };
    virtual void racePoint(RacePoint point);

    /// Creates a thread of the client (exchanges, retry timer). Throws
    /// std::system_error when it cannot; the client then reports the
    /// failure and retries later.
    virtual std::thread launchThread(std::function<void()> body);

    /// A post was answered OK. held: its entries were still at the head of
    /// the pending data and have left it. Otherwise the user changed while
    /// it was in flight, and the entries are in that user's cache: a derived
    /// class that keeps caches removes them there. Called with the cache
    /// mutex held, before status 11 is reported.
    virtual void submissionConfirmed(const std::string& user, const std::string& data, int count, bool held);

    /// Orders moves of pending data between memory and a user's cache; a
    /// derived class takes it around its own cache writes.
    std::recursive_mutex& cacheMutex() noexcept { return mCacheMutex; }

    void handshake();
    void submit();
    void handshakeThread();
    void submissionThread();
    void handleHandshake(const std::string& text);
    void handleSubmit(const std::string& text);

    /// Ends the timer and exchange threads and joins them. A derived class
    /// calls it first in its destructor, so that no thread calls its
    /// overrides while it is destroyed.
    void stopThreads();

private:
    enum class Job { kNone, kHandshake, kSubmission };
    /// What the polling of a request ended with.
    enum class PollResult { kDone, kError, kStopped };

    /// Runs the request every 100 ms until it ends, fails or the client stops.
    template <class Request> PollResult poll(Request& request, std::string& errorText);
    /// At most 4095 bytes of the reply body.
    template <class Request> static std::string readBody(Request& request);
    /// Adds the three header lines and the time limits.
    template <class Request> void prepare(Request& request, const std::string& agent);
    /// Polls a started exchange to its end: on an HTTP failure goes to failState and reports
    /// failCode with failPrefix and the error text, else hands the reply to handle; then
    /// performs a re-handshake that was asked for meanwhile.
    template <class Request>
    void finishExchange(Request& request, int failState, int failCode, const char* failPrefix,
                        void (Vortler::*handle)(const std::string&));

    /// Reports a status and steers the retry timer by it.
    void report(int code, const std::string& text);
    void startExchange(Job job);
    /// The thread of an exchange could not be created: back to the state
    /// before it, and the failure reported (the retry timer tries again).
    void exchangeNotStarted(Job job, const std::string& why);
    void workerMain(Job first);
    void timerMain();
    void retryNow();
    void credentialsChanged();
    void rehandshakeIfRequested();
    /// With the lock held, after the user or password changed: asks a running exchange for a
    /// re-handshake, or makes the client idle; returns whether a handshake should start now.
    bool credentialsChangedLocked();
    void startTimer();
    void resetTimesLocked();

    // Protocol fields.
    int mState = kIdle;
    std::string mUserName;
    std::string mPasswordHash;
    std::string mChallenge;
    std::string mResponse;
    std::string mHandshakeUrl;
    std::string mSubmitUrl;
    std::string mSubmissionBody;
    std::string mClientId;
    std::string mClientVersion;
    std::string mUserAgent;
    std::string mProxyString;
    std::string mPendingData;
    bool mRehandshake = false;
    bool mBadAuthRetryAllowed = true;
    int mPendingCount = 0;

    // Encoded play times of the pending entries, for the duplicate check.
    std::unordered_set<std::string> mPendingTimes;
    // What the running post carries, and for whom: an OK removes exactly
    // these entries, from memory or from that user's cache.
    std::string mPostedUser;
    std::string mPostedData;
    int mPostedCount = 0;
    // Between clearing and loading during a change of user: setCache keeps
    // entries added meanwhile.
    bool mSwitchingUser = false;

    std::recursive_mutex mCacheMutex;
    mutable std::recursive_mutex mMutex;
    bool mWorkerActive = false;
    Job mNextJob = Job::kNone;

    std::chrono::milliseconds mConnectLimit = kDefaultConnectLimit;
    std::chrono::milliseconds mTotalLimit = kDefaultTotalLimit;

    // Threads: the running exchange and the retry timer.
    std::mutex mThreadMutex;
    std::thread mWorker;
    std::thread mTimer;
    bool mThreadsStopped = false;
    CManualResetEvent mStopEvent;

    mutable std::mutex mTimerMutex;
    std::condition_variable mTimerCondition;
    bool mTimerStop = false;
    bool mRetryDue = false;
    bool mRetryBlocked = false;
    std::chrono::steady_clock::time_point mRetryAt;
    std::chrono::milliseconds mRetryBase = kDefaultRetryDelay;
    std::chrono::milliseconds mRetryDelay = kDefaultRetryDelay;
};
