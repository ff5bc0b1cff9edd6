#include "submit/Vortler.h"

#include "app/CrashHandler.h"
#include "app/EncodingUtils.h"
#include "app/FormEncode.h"
#include "app/Logger.h"
#include "settings/RegistryUtils.h"
#include "settings/ServerHosts.h"
#include "submit/Md5.h"
#include "submit/jnet/JNetHttpGet.h"
#include "submit/jnet/JNetHttpPost.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kReceiveBufferSize = 16384;
constexpr std::size_t kMaxReply = 4095;
constexpr std::chrono::milliseconds kPollInterval{100};
constexpr int kVerifyPolls = 100;

bool isSeparator(char c) {
    return c == ' ' || c == '\n' || c == '\r';
}

/// Splits at spaces, LF and CR, dropping empty tokens.
std::vector<std::string_view> tokens(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSeparator(text[i]))
            ++i;
        std::size_t start = i;
        while (i < text.size() && !isSeparator(text[i]))
            ++i;
        if (i > start)
            out.push_back(text.substr(start, i - start));
    }
    return out;
}

/// The first token and the rest of its line (after the separators that
/// follow the token, up to the next LF, without a trailing CR).
bool firstTokenAndRest(std::string_view text, std::string_view& token, std::string_view& rest) {
    std::size_t i = 0;
    while (i < text.size() && isSeparator(text[i]))
        ++i;
    std::size_t start = i;
    while (i < text.size() && !isSeparator(text[i]))
        ++i;
    if (i == start)
        return false;
    token = text.substr(start, i - start);
    while (i < text.size() && (text[i] == ' ' || text[i] == '\r'))
        ++i;
    std::size_t end = text.find('\n', i);
    if (end == std::string_view::npos)
        end = text.size();
    rest = text.substr(std::min(i, end), end - std::min(i, end));
    while (!rest.empty() && rest.back() == '\r')
        rest.remove_suffix(1);
    return true;
}

/// Collects the play-time values ("&i[n]=value") of encoded entries.
void collectTimes(std::string_view data, std::unordered_set<std::string>& times) {
    std::size_t pos = 0;
    while ((pos = data.find("&i[", pos)) != std::string_view::npos) {
        std::size_t eq = data.find("]=", pos);
        if (eq == std::string_view::npos)
            break;
        std::size_t start = eq + 2;
        std::size_t end = data.find('&', start);
        if (end == std::string_view::npos)
            end = data.size();
        times.emplace(data.substr(start, end - start));
        pos = end;
    }
}

/// The index of an encoded field "&x[n]=value" whose text starts after the
/// "&"; -1 when it has none.
long fieldIndex(std::string_view field) {
    const std::size_t open = field.find('[');
    const std::size_t close = field.find("]=");
    if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1 || close - open > 11)
        return -1;
    long value = 0;
    for (std::size_t i = open + 1; i < close; ++i) {
        if (field[i] < '0' || field[i] > '9')
            return -1;
        value = value * 10 + (field[i] - '0');
    }
    return value;
}

/// Calls visit(field, index) for each "&"-separated field of encoded data
/// (without its "&").
template <class Visit> void forEachField(std::string_view data, Visit visit) {
    std::size_t pos = 0;
    while (pos < data.size()) {
        if (data[pos] == '&') {
            ++pos;
            continue;
        }
        std::size_t end = data.find('&', pos);
        if (end == std::string_view::npos)
            end = data.size();
        const std::string_view field = data.substr(pos, end - pos);
        visit(field, fieldIndex(field));
        pos = end;
    }
}

std::string maskPassword(const std::string& password) {
    return password.empty() ? std::string() : "****";
}

std::string userAgentLine(const std::string& clientId, const std::string& clientVersion) {
    char agent[64];
    std::snprintf(agent, sizeof agent, "User-Agent: Mozilla/5.0 (compatible; libvortler %s; %s %s)", "2.0",
                  clientId.c_str(), clientVersion.c_str());
    return agent;
}

} // namespace

std::string Vortler::serverHost(const std::string& key) {
    return CServerHosts::GetOrDefault(key);
}

Vortler::Vortler()
    : mClientId(kDefaultClientId), mClientVersion(kDefaultClientVersion),
      mUserAgent(userAgentLine(kDefaultClientId, kDefaultClientVersion)) {}

Vortler::~Vortler() {
    stopThreads();
}

std::string Vortler::timeText(std::time_t time) {
    std::tm tm{};
    gmtime_r(&time, &tm);
    char buf[32];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(buf, n);
}

std::string Vortler::renumber(std::string_view data, int delta) {
    std::string out;
    out.reserve(data.size());
    std::size_t i = 0;
    while (i < data.size()) {
        char c = data[i];
        out += c;
        ++i;
        if (c != '[')
            continue;
        std::size_t j = i;
        long long value = 0;
        while (j < data.size() && data[j] >= '0' && data[j] <= '9' && j - i < 10) {
            value = value * 10 + (data[j] - '0');
            ++j;
        }
        if (j > i && j < data.size() && data[j] == ']' && value + delta >= 0) {
            out += std::to_string(value + delta);
            i = j;
        }
    }
    return out;
}

// ---- virtual customisation points ----

void Vortler::init(const std::string& user, const std::string& passwordOrHash, const std::string& clientId,
                   const std::string& clientVersion, bool passwordIsHashed) {
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        mClientId = clientId;
        mClientVersion = clientVersion;
        mUserAgent = userAgentLine(clientId, clientVersion);
        // The held name goes with the data, so that setUsername loads the
        // user's queue again from disk rather than keeping it empty.
        mUserName.clear();
        clearCache();
        if (mState == kStopping)
            mState = kIdle;
    }
    {
        std::lock_guard<std::mutex> guard(mThreadMutex);
        mThreadsStopped = false;
    }
    mStopEvent.Reset();
    startTimer();
    setPassword(passwordOrHash, passwordIsHashed);
    setUsername(user);
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mBadAuthRetryAllowed = true;
}

void Vortler::statusText(const std::string& text) {
    (void)text;
}

void Vortler::statusUpdate(int code, const std::string& text) {
    (void)code;
    statusText(text);
}

bool Vortler::saveCache(const std::string& user, const std::string& data, int count) {
    (void)user;
    (void)data;
    (void)count;
    return false;
}

bool Vortler::loadCache(const std::string& user) {
    (void)user;
    report(kVortleSubmitting, "load cache");
    return false;
}

void Vortler::racePoint(RacePoint point) {
    (void)point;
}

std::thread Vortler::launchThread(std::function<void()> body) {
    return CCrashHandler::StartThread(std::move(body));
}

void Vortler::submissionConfirmed(const std::string& user, const std::string& data, int count, bool held) {
    (void)user;
    (void)data;
    (void)count;
    (void)held;
}

void Vortler::makeResponse() {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mResponse = md5Hex(mPasswordHash + mChallenge);
}

// ---- credentials ----

bool Vortler::credentialsChangedLocked() {
    if (mState == kHandshaking || mState == kSubmitting) {
        mRehandshake = true;
        return false;
    }
    if (mState == kStopping)
        return false;
    mState = kIdle;
    return true;
}

void Vortler::setPassword(const std::string& text, bool alreadyHashed) {
    if (text.empty())
        return;
    const std::string hash = alreadyHashed ? text : md5Hex(text);
    bool start = false;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (hash == mPasswordHash)
            return;
        mPasswordHash = hash;
        makeResponse();
        start = credentialsChangedLocked();
    }
    credentialsChanged();
    if (start)
        handshake();
}

void Vortler::setUsername(const std::string& user) {
    bool start = false;
    {
        // The old user's data goes to their cache and the new user's comes
        // from theirs in one step, so that the confirmation of a post in
        // flight finds its entries in one place or the other.
        std::lock_guard<std::recursive_mutex> cache(mCacheMutex);
        std::string oldUser;
        Pending old;
        {
            std::lock_guard<std::recursive_mutex> lock(mMutex);
            if (user == mUserName)
                return;
            oldUser = mUserName;
            old.data = mPendingData;
            old.count = mPendingCount;
            mUserName = user;
            clearCache();
            mSwitchingUser = true;
        }
        if (!oldUser.empty())
            saveCache(oldUser, old.data, old.count);
        loadCache(user);
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        mSwitchingUser = false;
        start = credentialsChangedLocked();
    }
    credentialsChanged();
    if (start)
        handshake();
}

void Vortler::setProxy(const std::string& hostAndPort, const std::string& proxyUser,
                       const std::string& proxyPassword) {
    VBX_LOG(3, "Setting proxy host=" << hostAndPort << " user=" << proxyUser
                                     << " pass=" << maskPassword(proxyPassword) << "\n");
    std::string proxy;
    if (proxyUser.size() > 1 && proxyPassword.size() > 1)
        proxy = proxyUser + ":" + proxyPassword;
    if (!hostAndPort.empty())
        proxy += "@" + hostAndPort;
    else
        proxy.clear();
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        mProxyString = proxy;
    }
    handshake();
}

void Vortler::credentialsChanged() {
    std::lock_guard<std::mutex> guard(mTimerMutex);
    mRetryBlocked = false;
    mRetryDue = false;
    mRetryDelay = mRetryBase;
}

// ---- pending data ----

void Vortler::resetTimesLocked() {
    mPendingTimes.clear();
    collectTimes(mPendingData, mPendingTimes);
}

void Vortler::setCache(const std::string& data, int count) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (mSwitchingUser && mPendingCount > 0) {
        // Tracks accepted while the user's files were being read follow the
        // loaded entries.
        mPendingData = data + renumber(mPendingData, count);
        mPendingCount += count;
    } else {
        mPendingData = data;
        mPendingCount = count;
    }
    resetTimesLocked();
}

void Vortler::clearCache() {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mPendingData.clear();
    mPendingCount = 0;
    mPendingTimes.clear();
}

int Vortler::addSong(const std::string& artist, const std::string& title, const std::string& album,
                     const std::string& trackId, int lengthSeconds, std::time_t startTime) {
    if (lengthSeconds < 30)
        return 0;
    const std::string playTime = formEncode(timeText(startTime));
    const std::string encArtist = formEncode(artist);
    const std::string encAlbum = formEncode(album);
    const std::string encTitle = formEncode(title);
    const std::string encTrackId = formEncode(trackId);
    const std::string length = std::to_string(lengthSeconds);
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mPendingTimes.count(playTime) != 0)
            return 3;
        const std::string n = std::to_string(mPendingCount);
        auto field = [&](const char* key, const std::string& value) {
            mPendingData += key;
            mPendingData += n;
            mPendingData += "]=";
            mPendingData += value;
        };
        field("&a[", encArtist);
        field("&b[", encAlbum);
        field("&t[", encTitle);
        field("&i[", playTime);
        field("&l[", length);
        field("&m[", encTrackId);
        ++mPendingCount;
        mPendingTimes.insert(playTime);
    }
    submit();
    return 1;
}

int Vortler::removeSong(std::time_t startTime) {
    const std::string playTime = formEncode(timeText(startTime));
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (mPendingTimes.count(playTime) == 0)
        return 1;
    long removed = -1;
    forEachField(mPendingData, [&](std::string_view field, long index) {
        if (removed < 0 && field.substr(0, 2) == "i[" && field.substr(field.find("]=") + 2) == playTime)
            removed = index;
    });
    if (removed < 0)
        return 1;
    // The post under way carries the entries at the head of the data (unless
    // the user changed since, and they went with that user's cache).
    const bool posting = !mPostedData.empty() && mPostedUser == mUserName &&
                         mPendingData.compare(0, mPostedData.size(), mPostedData) == 0;
    if (posting && removed < mPostedCount)
        return 2;
    std::string kept;
    kept.reserve(mPendingData.size());
    forEachField(mPendingData, [&](std::string_view field, long index) {
        if (index == removed)
            return;
        kept += '&';
        if (index > removed)
            kept += renumber(field, -1);
        else
            kept += field;
    });
    mPendingData = std::move(kept);
    mPendingCount = std::max(0, mPendingCount - 1);
    resetTimesLocked();
    return 0;
}

std::vector<std::time_t> Vortler::entryTimes(std::string_view data) {
    std::unordered_set<std::string> encoded;
    collectTimes(data, encoded);
    std::vector<std::time_t> times;
    for (const std::string& value : encoded) {
        const std::string text = formDecode(value);
        std::tm tm{};
        const char* end = ::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
        if (end != nullptr && *end == '\0')
            times.push_back(::timegm(&tm));
    }
    return times;
}

// ---- exchanges ----

void Vortler::handshake() {
    {
        // Most calls find an exchange running: they need no host.
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mState != kIdle || mPasswordHash.empty() || mUserName.empty())
            return;
    }
    const std::string host = serverHost("SubmitHost");
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mState != kIdle)
            return;
        if (mPasswordHash.empty() || mUserName.empty())
            return;
        mState = kHandshaking;
        mHandshakeUrl = "http://" + host + "/?hs=true&p=1.1&c=" + mClientId + "&v=" + mClientVersion +
                        "&u=" + formEncode(mUserName);
    }
    report(kVortleHandshaking, "Handshaking...");
    startExchange(Job::kHandshake);
}

void Vortler::submit() {
    {
        std::unique_lock<std::recursive_mutex> lock(mMutex);
        if (mState == kIdle) {
            lock.unlock();
            handshake();
            return;
        }
        if (mState != kReady)
            return;
        if (mUserName.empty() || mPasswordHash.empty())
            return;
        mState = kSubmitting;
        mSubmissionBody = "u=" + formEncode(mUserName) + "&s=" + mResponse + mPendingData;
        mPostedUser = mUserName;
        mPostedData = mPendingData;
        mPostedCount = mPendingCount;
    }
    report(kVortleSubmitting, "Submitting...");
    startExchange(Job::kSubmission);
}

void Vortler::startExchange(Job job) {
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mWorkerActive) {
            // The running thread (this one, or one about to finish) takes it.
            mNextJob = job;
            return;
        }
        mWorkerActive = true;
    }
    racePoint(RacePoint::kExchangeStarting);
    std::string failure;
    {
        std::lock_guard<std::mutex> guard(mThreadMutex);
        if (mThreadsStopped) {
            std::lock_guard<std::recursive_mutex> lock(mMutex);
            mWorkerActive = false;
            return;
        }
        // The previous thread has left its loop; joining only waits for its return.
        if (mWorker.joinable())
            mWorker.join();
        try {
            mWorker = launchThread([this, job] { workerMain(job); });
            return;
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }
    exchangeNotStarted(job, failure);
}

void Vortler::exchangeNotStarted(Job job, const std::string& why) {
    const bool handshaking = job == Job::kHandshake;
    VBX_LOG(1, "Couldn't start the " << (handshaking ? "handshake" : "submission") << " thread: " << why
                                     << "\n");
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        mWorkerActive = false;
        // A job handed over meanwhile is left to the retry.
        mNextJob = Job::kNone;
        if (mState == kStopping)
            return;
        mState = handshaking ? kIdle : kReady;
    }
    const std::string text = "couldn't start thread (" + why + ")";
    if (handshaking)
        report(kVortleHandshakeFailed, "Handshake error: " + text);
    else
        report(kVortleSubmitFailed, "Submission error: " + text);
    rehandshakeIfRequested();
}

void Vortler::workerMain(Job job) {
    while (job != Job::kNone) {
        if (job == Job::kHandshake) {
            VBX_LOG(3, "HandshakeThread started at: " << static_cast<const void*>(&mWorker)
                                                      << " ID: " << LogDetail::ThreadId() << "\n");
            handshakeThread();
        } else {
            VBX_LOG(3, "SubmissionThread started at: " << static_cast<const void*>(&mWorker)
                                                       << " ID: " << LogDetail::ThreadId() << "\n");
            submissionThread();
        }
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        job = mState == kStopping ? Job::kNone : mNextJob;
        mNextJob = Job::kNone;
        if (job == Job::kNone)
            mWorkerActive = false;
    }
}

template <class Request> void Vortler::prepare(Request& request, const std::string& agent) {
    request.addHeader(agent);
    request.addHeader("Accept: */*");
    request.addHeader("Connection: Close");
    std::chrono::milliseconds connectLimit, totalLimit;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        connectLimit = mConnectLimit;
        totalLimit = mTotalLimit;
    }
    request.setTimeLimits(connectLimit, totalLimit);
}

template <class Request> Vortler::PollResult Vortler::poll(Request& request, std::string& errorText) {
    std::chrono::milliseconds totalLimit;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        totalLimit = mTotalLimit;
    }
    // A safety net behind the request's own limits.
    const auto deadline = std::chrono::steady_clock::now() + totalLimit + std::chrono::seconds(2);
    for (;;) {
        int r = request.run();
        if (r == 1)
            return PollResult::kDone;
        if (r < 0) {
            errorText = request.errorText();
            return PollResult::kError;
        }
        if (state() == kStopping)
            return PollResult::kStopped;
        if (std::chrono::steady_clock::now() > deadline) {
            errorText = "timed out waiting for the server";
            return PollResult::kError;
        }
        mStopEvent.WaitFor(kPollInterval);
        if (state() == kStopping)
            return PollResult::kStopped;
    }
}

template <class Request> std::string Vortler::readBody(Request& request) {
    std::string body;
    char buf[kMaxReply];
    while (body.size() < kMaxReply) {
        std::size_t n = request.getBytes(buf, kMaxReply - body.size());
        if (n == 0)
            break;
        body.append(buf, n);
    }
    return body;
}

template <class Request>
void Vortler::finishExchange(Request& request, int failState, int failCode, const char* failPrefix,
                             void (Vortler::*handle)(const std::string&)) {
    std::string error;
    PollResult result = poll(request, error);
    if (result == PollResult::kStopped)
        return;
    if (result == PollResult::kError) {
        {
            std::lock_guard<std::recursive_mutex> lock(mMutex);
            if (mState == kStopping)
                return;
            mState = failState;
        }
        report(failCode, failPrefix + error);
        rehandshakeIfRequested();
        return;
    }
    if (state() == kStopping)
        return;
    (this->*handle)(readBody(request));
    rehandshakeIfRequested();
}

void Vortler::handshakeThread() {
    std::string url, proxy, agent;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        url = mHandshakeUrl;
        proxy = mProxyString;
        agent = mUserAgent;
    }
    JNetHttpGet request(nullptr, kReceiveBufferSize, proxy);
    prepare(request, agent);
    request.connect(url, 0, "GET");
    VBX_LOG(3, "Sending handshake: " << url << "\n");
    finishExchange(request, kIdle, kVortleHandshakeFailed, "Handshake error: ", &Vortler::handleHandshake);
}

void Vortler::handleHandshake(const std::string& text) {
    VBX_LOG(3, "Handshake response: " << text << "\n");
    const std::vector<std::string_view> words = tokens(text);
    auto fail = [this](int code, const std::string& message) {
        {
            std::lock_guard<std::recursive_mutex> lock(mMutex);
            if (mState == kStopping)
                return;
            mState = kIdle;
        }
        report(code, message);
    };
    if (words.empty()) {
        if (text.empty())
            VBX_LOG(2, "Handshake response couldn't be parsed, response == NULL\n");
        else
            VBX_LOG(2, "Handshake response couldn't be parsed: " << text << "\n");
        fail(kVortleHandshakeInvalid, "Handshake failed: Response invalid");
        return;
    }
    const std::string_view word = words[0];
    std::size_t next = 1;
    int firstCode = 0;
    std::string firstText;
    if (CEncodingUtils::EqualsIgnoringCase(word, "UPTODATE")) {
        firstCode = kVortleUpToDate;
        firstText = "Handshaking: Client up to date.";
    } else if (CEncodingUtils::EqualsIgnoringCase(word, "UPDATE") && words.size() > 1) {
        firstCode = kVortleUpdateAvailable;
        firstText = "Handshaking: Please update your client at: " + std::string(words[1]);
        next = 2;
    } else if (CEncodingUtils::EqualsIgnoringCase(word, "BADUSER")) {
        fail(kVortleBadUser, "Handshake failed: Bad username");
        return;
    }
    // Without both the challenge and the submit URL there is nothing to
    // submit with: the reply is as good as an unknown one.
    if (firstCode == 0 || words.size() < next + 2) {
        VBX_LOG(2, "Handshake response invalid: " << word << "\n");
        fail(kVortleHandshakeFailed, "Handshake failed.\n");
        return;
    }
    report(firstCode, firstText);
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mState == kStopping)
            return;
        mChallenge = std::string(words[next]);
        mSubmitUrl = std::string(words[next + 1]);
        makeResponse();
    }
    int count = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mState == kStopping)
            return;
        mState = kReady;
        count = mPendingCount;
    }
    report(kVortleHandshakeOk, "Handshake successful.");
    if (count >= 1) {
        VBX_LOG(3, "Had " << count << " tracks cached on handshake. Submitting.\n");
        submit();
    }
}

void Vortler::submissionThread() {
    std::string url, proxy, agent, body;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        url = mSubmitUrl;
        proxy = mProxyString;
        agent = mUserAgent;
        body = mSubmissionBody;
    }
    JNetHttpPost request(nullptr, kReceiveBufferSize, proxy);
    prepare(request, agent);
    request.setBody(body);
    request.connect(url, 0);
    VBX_LOG(3, "Posting submission: " << body << "\n  To: " << url << "\n");
    finishExchange(request, kReady, kVortleSubmitFailed, "Submission error: ", &Vortler::handleSubmit);
}

void Vortler::handleSubmit(const std::string& text) {
    VBX_LOG(3, "Submit response: " << text << "\n");
    std::string_view word, rest;
    auto settle = [this](int newState) {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mState == kStopping)
            return false;
        mState = newState;
        return true;
    };
    if (!firstTokenAndRest(text, word, rest)) {
        if (text.empty())
            VBX_LOG(2, "Submit response couldn't be parsed, response == NULL\n");
        else
            VBX_LOG(2, "Submit response couldn't be parsed: " << text << "\n");
        if (settle(kReady))
            report(kVortleSubmitInvalid, "Submission failed: Response invalid");
        return;
    }
    auto failed = [&](std::string_view reason) {
        char message[256];
        std::snprintf(message, sizeof message, "Submission failed: %.*s", static_cast<int>(reason.size()),
                      reason.data());
        if (settle(kReady))
            report(kVortleSubmitFailed, message);
    };
    if (CEncodingUtils::EqualsIgnoringCase(word, "OK")) {
        int remaining = 0;
        {
            std::lock_guard<std::recursive_mutex> cache(mCacheMutex);
            std::string user, data;
            int count = 0;
            bool held = false;
            {
                std::lock_guard<std::recursive_mutex> lock(mMutex);
                if (mState == kStopping)
                    return;
                user = std::move(mPostedUser);
                data = std::move(mPostedData);
                count = mPostedCount;
                mPostedUser.clear();
                mPostedData.clear();
                mPostedCount = 0;
                // Only what was posted is confirmed; entries added meanwhile
                // stay and are numbered from 0 again. After a change of user
                // the posted entries lie in that user's cache, or came back
                // from it at the head of the data.
                held = user == mUserName && mPendingData.compare(0, data.size(), data) == 0;
                if (held) {
                    mPendingData = renumber(std::string_view(mPendingData).substr(data.size()), -count);
                    mPendingCount = std::max(0, mPendingCount - count);
                    resetTimesLocked();
                }
                mBadAuthRetryAllowed = true;
                mState = kReady;
                // A re-handshake that is due submits the rest when it succeeds.
                remaining = mRehandshake ? 0 : mPendingCount;
            }
            if (!held)
                VBX_LOG(2, "Submission confirmed for entries of " << user << " that are no longer held\n");
            submissionConfirmed(user, data, count, held);
        }
        report(kVortleSubmitOk, "Submission succeeded.");
        if (remaining > 0)
            submit();
    } else if (CEncodingUtils::EqualsIgnoringCase(word, "FAILED")) {
        failed(rest);
    } else if (CEncodingUtils::EqualsIgnoringCase(word, "BADAUTH")) {
        bool retry = false;
        {
            std::lock_guard<std::recursive_mutex> lock(mMutex);
            if (mState == kStopping)
                return;
            mState = kIdle;
            retry = mBadAuthRetryAllowed;
            mBadAuthRetryAllowed = false;
        }
        if (retry) {
            VBX_LOG(4, "Got a badauth, will re-handshake\n");
            handshake();
        } else {
            report(kVortleBadAuth, "Submission failed: bad authorization.");
        }
    } else {
        VBX_LOG(2, "Submit response invalid: " << word << "\n");
        failed(rest);
    }
}

void Vortler::rehandshakeIfRequested() {
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (!mRehandshake)
            return;
        // Another exchange has been started meanwhile: its end will do it.
        if (mState != kIdle && mState != kReady)
            return;
        mRehandshake = false;
        mState = kIdle;
    }
    handshake();
}

// ---- status and retries ----

void Vortler::report(int code, const std::string& text) {
    bool retryDue = false;
    {
        std::lock_guard<std::mutex> guard(mTimerMutex);
        switch (code) {
        case kVortleHandshakeOk:
        case kVortleSubmitOk:
            mRetryDelay = mRetryBase;
            mRetryDue = false;
            break;
        case kVortleHandshakeInvalid:
        case kVortleHandshakeFailed:
        case kVortleSubmitInvalid:
        case kVortleSubmitFailed:
            if (!mRetryBlocked && !mTimerStop) {
                mRetryDue = true;
                mRetryAt = std::chrono::steady_clock::now() + mRetryDelay;
                VBX_LOG(3, "Will retry in " << mRetryDelay.count() << " ms\n");
                mRetryDelay = std::min(mRetryDelay * 2, kMaxRetryDelay);
                retryDue = true;
            }
            break;
        case kVortleBadUser:
        case kVortleBadAuth:
            mRetryBlocked = true;
            mRetryDue = false;
            break;
        default:
            break;
        }
    }
    mTimerCondition.notify_all();
    // A timer that could not be started before gets another chance.
    if (retryDue)
        startTimer();
    statusUpdate(code, text);
}

void Vortler::startTimer() {
    std::lock_guard<std::mutex> guard(mThreadMutex);
    if (mTimer.joinable() || mThreadsStopped)
        return;
    {
        std::lock_guard<std::mutex> timerGuard(mTimerMutex);
        mTimerStop = false;
    }
    try {
        mTimer = launchThread([this] { timerMain(); });
    } catch (const std::exception& e) {
        // The next failure that schedules a retry tries again.
        VBX_LOG(1, "Couldn't start the retry timer thread: " << e.what() << "\n");
    }
}

void Vortler::timerMain() {
    std::unique_lock<std::mutex> lock(mTimerMutex);
    while (!mTimerStop) {
        if (!mRetryDue) {
            mTimerCondition.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < mRetryAt) {
            mTimerCondition.wait_until(lock, mRetryAt);
            continue;
        }
        mRetryDue = false;
        lock.unlock();
        retryNow();
        lock.lock();
    }
}

void Vortler::retryNow() {
    int count = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        if (mState != kIdle && mState != kReady)
            return;
        count = mPendingCount;
    }
    VBX_LOG(3, "Retrying after a failure, entries pending: " << count << "\n");
    if (count > 0)
        submit();
    else
        handshake();
}

void Vortler::setRetryBaseDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> guard(mTimerMutex);
    mRetryBase = delay;
    mRetryDelay = delay;
}

bool Vortler::retryScheduled() const {
    std::lock_guard<std::mutex> guard(mTimerMutex);
    return mRetryDue;
}

void Vortler::setTimeLimits(std::chrono::milliseconds connectLimit, std::chrono::milliseconds totalLimit) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mConnectLimit = connectLimit;
    mTotalLimit = totalLimit;
}

// ---- shutdown ----

void Vortler::stopThreads() {
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        mState = kStopping;
    }
    mStopEvent.Set();
    {
        std::lock_guard<std::mutex> guard(mTimerMutex);
        mTimerStop = true;
        mRetryDue = false;
    }
    mTimerCondition.notify_all();
    std::thread timer, worker;
    {
        std::lock_guard<std::mutex> guard(mThreadMutex);
        mThreadsStopped = true;
        timer = std::move(mTimer);
        worker = std::move(mWorker);
    }
    // Joined without the thread mutex: the timer may be starting an
    // exchange, which takes it (and then starts nothing).
    racePoint(RacePoint::kJoiningThreads);
    if (timer.joinable())
        timer.join();
    if (worker.joinable())
        worker.join();
}

void Vortler::term() {
    bool wasStopping;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        wasStopping = mState == kStopping;
    }
    stopThreads();
    if (wasStopping)
        return;
    // The snapshot and its save in one step under the cache mutex: a track
    // accepted meanwhile is written after it, never overwritten by it.
    std::lock_guard<std::recursive_mutex> cache(mCacheMutex);
    Pending pending = pendingSnapshot();
    std::string user = userName();
    racePoint(RacePoint::kTermSaving);
    saveCache(user, pending.data, pending.count);
}

// ---- user check ----

int Vortler::verifyUser(const std::string& user, const std::string& passwordOrHash, bool passwordIsHashed) {
    const std::string hash = passwordIsHashed ? passwordOrHash : md5Hex(passwordOrHash);
    const std::string time = std::to_string(static_cast<long long>(std::time(nullptr)));
    const std::string token = md5Hex(hash + time);
    const std::string url = "http://" + serverHost("WebServiceHost") +
                            "/vbx/pwcheck.php?time=" + formEncode(time) + "&username=" + formEncode(user) +
                            "&auth=" + token;
    VBX_LOG(3, "Sending request: " << url << "\n");
    std::string proxy, agent;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        proxy = mProxyString;
        agent = mUserAgent;
    }
    JNetHttpGet request(nullptr, kReceiveBufferSize, proxy);
    prepare(request, agent);
    request.connect(url, 0, "GET");
    int polls = 0;
    int result = 0;
    while (polls < kVerifyPolls) {
        result = request.run();
        ++polls;
        if (result != 0)
            break;
        std::this_thread::sleep_for(kPollInterval);
    }
    if (result < 0) {
        VBX_LOG(2, "Authenticating failed. JNet error code: " << result << "\n  JNet error text: "
                                                              << request.errorText() << "\n  Request: " << url
                                                              << "\n");
        return 3;
    }
    VBX_LOG(3, "Authenticating took " << polls << " iterations\n");
    if (result != 1)
        return 3;
    std::string body = readBody(request);
    std::size_t start = body.find_first_not_of(" \t\n\f\r");
    if (start == std::string::npos)
        return 3;
    std::size_t end = body.find_last_not_of(" \t");
    body = body.substr(start, end - start + 1);
    if (body.find("OK") != std::string::npos)
        return 0;
    if (body.find("INVALIDUSER") != std::string::npos)
        return 1;
    if (body.find("BADPASSWORD") != std::string::npos)
        return 2;
    return 3;
}

// ---- accessors ----

int Vortler::state() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mState;
}

#define VBX_VORTLER_GETTER(name, member)                                                                     \
    std::string Vortler::name() const {                                                                      \
        std::lock_guard<std::recursive_mutex> lock(mMutex);                                                  \
        return member;                                                                                       \
    }
VBX_VORTLER_GETTER(userName, mUserName)
VBX_VORTLER_GETTER(passwordHash, mPasswordHash)
VBX_VORTLER_GETTER(challenge, mChallenge)
VBX_VORTLER_GETTER(response, mResponse)
VBX_VORTLER_GETTER(handshakeUrl, mHandshakeUrl)
VBX_VORTLER_GETTER(submitUrl, mSubmitUrl)
VBX_VORTLER_GETTER(userAgent, mUserAgent)
VBX_VORTLER_GETTER(proxyString, mProxyString)
VBX_VORTLER_GETTER(pendingData, mPendingData)
#undef VBX_VORTLER_GETTER

bool Vortler::exchangeActive() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mWorkerActive;
}

int Vortler::pendingCount() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mPendingCount;
}

Vortler::Pending Vortler::pendingSnapshot() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return Pending{mPendingData, mPendingCount};
}
