#include "submit/WebSubmitter.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "app/UniqueFd.h"
#include "player/PlayRecorder.h"
#include "settings/SettingsManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

/// Reads the whole file; 0, or the error number of the open or read.
int ReadWholeFile(const std::string& path, std::string& bytes) {
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return errno;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

/// The entry count and the data of a pending file; false when it does not
/// start with a number. The data is empty when nothing follows the count.
bool ParsePending(const std::string& bytes, int& count, std::string& data) {
    std::istringstream in(bytes);
    if (!(in >> count))
        return false;
    in >> std::ws;
    data.clear();
    if (in.peek() != std::char_traits<char>::eof()) {
        std::ostringstream rest;
        rest << in.rdbuf();
        data = rest.str();
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/// Replaces the file at path by the bytes: a temporary file beside it is
/// written, synced and renamed over it, and the folder is synced, so that
/// the file holds either the old or the new content after a crash.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".tmp";
    {
        CUniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.Get() < 0)
            return false;
        if (!WriteAll(fd.Get(), bytes.data(), bytes.size()) || ::fsync(fd.Get()) != 0 || !fd.Reset()) {
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    CUniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return true;
}

// Set while this thread runs Submit with the submitter's lock held: status
// reports made meanwhile notify the observers once the lock is released, as
// an observer that reads the status from another thread would otherwise
// wait for the lock while this thread waits for the observer list.
thread_local const CWebSubmitter* tlSubmitting = nullptr;
thread_local bool tlNotifyDeferred = false;

std::string TrackLabel(const Track& track) {
    return track.GetRawArtist() + " - " + track.GetRawTitle();
}

} // namespace

CWebSubmitter& CWebSubmitter::Instance() {
    static CWebSubmitter instance(CSettingsManager::Instance());
    return instance;
}

CWebSubmitter::CWebSubmitter(CSettingsManager& settings) : mSettings(settings) {}

CWebSubmitter::~CWebSubmitter() {
    // No thread may call an override of this object while it goes.
    stopThreads();
    if (mObserving)
        mSettings.RemoveObserver(this);
}

void CWebSubmitter::stopThreads() {
    Vortler::stopThreads();
    std::thread writer;
    {
        std::lock_guard<std::mutex> guard(mWriterMutex);
        mWriterStop = true;
        writer = std::move(mWriter);
    }
    mWriterWake.notify_all();
    // The writer writes what it was asked for before it ends.
    if (writer.joinable())
        writer.join();
}

std::string CWebSubmitter::MakeSafe(const std::string& user) {
    static const char kUnsafe[] = "/\\:*?\"<>|";
    static const char kReplacement[] = "abcdefghi";
    std::string safe = user;
    for (char& c : safe) {
        for (std::size_t i = 0; i < sizeof kUnsafe - 1; ++i) {
            if (c == kUnsafe[i]) {
                VBX_LOG(2, "Unsafe char '" << c << "' found in username: " << user << ". Replacing with '"
                                           << kReplacement[i] << "'\n");
                c = kReplacement[i];
                break;
            }
        }
    }
    return safe;
}

std::string CWebSubmitter::PendingFilePath(const std::string& dir, const std::string& user) {
    const std::string name = MakeSafe(user) + ".vortler.cache";
    return dir.empty() ? name : dir + "/" + name;
}

std::string CWebSubmitter::TentativeFilePath(const std::string& dir, const std::string& user) {
    const std::string name = MakeSafe(user) + ".tent.cache";
    return dir.empty() ? name : dir + "/" + name;
}

void CWebSubmitter::init(const std::string& user, const std::string& passwordOrHash,
                         const std::string& clientId, const std::string& clientVersion,
                         bool passwordIsHashed) {
    if (!mObserving) {
        mSettings.AddObserver(this);
        mObserving = true;
    }
    // The stored proxy goes first, so that the first handshake uses it.
    ApplyProxy();
    Vortler::init(user, passwordOrHash, clientId, clientVersion, passwordIsHashed);
    mInitialised.store(true);
}

void CWebSubmitter::Submit(const Track& track) {
    int code;
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        tlSubmitting = this;
        tlNotifyDeferred = false;
        VBX_LOG(3, "Stopwatch thread submitting track: '" << TrackLabel(track) << "'\n");
        code = addSong(track.GetRawArtist(), track.GetRawTitle(), track.GetRawAlbum(), track.GetTrackId(),
                       track.GetLength(), static_cast<std::time_t>(track.GetStartTime()));
        if (code == 1) {
            VBX_LOG(4, "Putting '" << TrackLabel(track) << "' in tentative\n");
            mTentative.push_back(track);
            if (mTentative.size() > 5)
                mTentative.pop_front();
        } else {
            VBX_LOG(1, "libvortler addSong returned error code " << code << " for song '" << TrackLabel(track)
                                                                 << "'.\n");
            if (CPlayRecorder* recorder = CPlayRecorder::Installed())
                recorder->NotQueued(userName(), static_cast<std::time_t>(track.GetStartTime()));
        }
        tlSubmitting = nullptr;
    }
    if (tlNotifyDeferred) {
        tlNotifyDeferred = false;
        NotifyObservers();
    }
    if (code == 1)
        RequestWrite();
}

CWebSubmitter::EHoldBack CWebSubmitter::HoldBack(std::time_t startTime) {
    const std::string user = userName();
    const std::string when = timeText(startTime);
    std::string label;
    switch (removeSong(startTime)) {
    case 0:
        break;
    case 2:
        VBX_LOG(2, "The play of " << when << " is being submitted right now, it cannot be held back\n");
        return EHoldBack::kBeingSent;
    default:
        VBX_LOG(2, "No play of " << when << " waits to be submitted, nothing held back\n");
        return EHoldBack::kNotWaiting;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        for (auto it = mTentative.begin(); it != mTentative.end();) {
            if (it->GetStartTime() == static_cast<int32_t>(startTime)) {
                label = TrackLabel(*it);
                it = mTentative.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Both files are replaced before this returns: a crash from now on
    // cannot bring the play back.
    FlushCache();
    VBX_LOG(3, "Held back the play of " << when << (label.empty() ? "" : " ('" + label + "')")
                                        << " at the person's request: it will not be submitted\n");
    if (CPlayRecorder* recorder = CPlayRecorder::Installed())
        recorder->HeldBack(user, startTime);
    NotifyObservers();
    return EHoldBack::kHeldBack;
}

std::optional<std::vector<std::time_t>> CWebSubmitter::PendingStartTimes(const std::string& dir,
                                                                        const std::string& user) {
    std::string bytes, data;
    int count = 0;
    const int error = ReadWholeFile(PendingFilePath(dir, user), bytes);
    if (error == ENOENT)
        return std::vector<std::time_t>();
    if (error != 0 || !ParsePending(bytes, count, data))
        return std::nullopt;
    return entryTimes(data);
}

void CWebSubmitter::FlushCache() {
    {
        // What the writer was asked for is written here and now; a write it
        // has begun ends first.
        std::unique_lock<std::mutex> lock(mWriterMutex);
        mWriteWanted = false;
        mWriterIdle.wait(lock, [this] { return !mWriting; });
    }
    KeepInStep();
}

void CWebSubmitter::RequestWrite() {
    if (!mKeepInStep.load())
        return;
    {
        std::lock_guard<std::mutex> guard(mWriterMutex);
        if (!mWriterStop) {
            if (!mWriter.joinable()) {
                try {
                    mWriter = CCrashHandler::StartThread([this] { WriterMain(); });
                } catch (const std::exception& e) {
                    VBX_LOG(1, "Couldn't start the cache writer thread, writing at once: " << e.what() << "\n");
                }
            }
            if (mWriter.joinable()) {
                mWriteWanted = true;
                mWriterWake.notify_all();
                return;
            }
        }
    }
    // No writer (any more): this thread writes.
    KeepInStep();
}

void CWebSubmitter::WriterMain() {
    std::unique_lock<std::mutex> lock(mWriterMutex);
    for (;;) {
        mWriterWake.wait(lock, [this] { return mWriteWanted || mWriterStop; });
        if (!mWriteWanted)
            return;
        // Whatever is asked for while this write runs is written next, in
        // one go with the state of that moment.
        mWriteWanted = false;
        mWriting = true;
        lock.unlock();
        KeepInStep();
        lock.lock();
        mWriting = false;
        mWriterIdle.notify_all();
    }
}

void CWebSubmitter::statusUpdate(int code, const std::string& text) {
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        mStatusCode = code;
        mStatusText = text;
    }
    VBX_LOG(3, "VortleStatus: " << code << "\n  VortleStatus text: " << text << "\n");
    // The tentative list of an OK is emptied by submissionConfirmed, which
    // knows whose post it was.
    Vortler::statusUpdate(code, text);
    if (tlSubmitting == this)
        tlNotifyDeferred = true;
    else
        NotifyObservers();
}

CWebSubmitter::Status CWebSubmitter::GetStatus() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return Status{mStatusCode, mStatusText};
}

int CWebSubmitter::GetStatusCode() const {
    return GetStatus().code;
}

std::string CWebSubmitter::GetStatusText() const {
    return GetStatus().text;
}

std::vector<Track> CWebSubmitter::GetTentative() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return std::vector<Track>(mTentative.begin(), mTentative.end());
}

void CWebSubmitter::Update() {
    if (!mInitialised.load())
        return;
    CUser user;
    try {
        user = mSettings.GetCurrentUser();
    } catch (const CSettingsManager::CUserNotFoundException&) {
        return;
    }
    if (user.name != userName())
        NotifyObservers();
    VBX_LOG(4, "Setting user and pass on libvortler\n");
    setUsername(user.name);
    setPassword(user.passwordHash, true);
    ApplyProxy();
}

void CWebSubmitter::ApplyProxy() {
    const CProxySettings proxy = mSettings.GetProxySettings();
    if (proxy.enabled && !proxy.host.empty()) {
        VBX_LOG(3, "Proxy is enabled and host filled in, setting proxy on libvortler\n");
        std::string address = proxy.host;
        if (proxy.port != 0)
            address += ":" + std::to_string(proxy.port);
        setProxy(address, proxy.user, proxy.password);
    } else {
        setProxy("", "", "");
    }
}

std::string CWebSubmitter::UserDir(const char* dirMissingText) {
    std::string dir = mSettings.GetUserDir();
    if (dir.empty())
        VBX_LOG(2, dirMissingText);
    return dir;
}

bool CWebSubmitter::WriteFiles(const std::string& user, const Pending& pending, bool emptyTentative,
                               const char* dirMissingText) {
    std::lock_guard<std::recursive_mutex> files(cacheMutex());
    const std::string dir = UserDir(dirMissingText);
    const std::string pendingPath = PendingFilePath(dir, user);
    const std::string tentativePath = TentativeFilePath(dir, user);
    if (mLoadedUnreadable && user == mLoadedUser) {
        // Keep what could not be read, rather than overwrite it.
        const std::string aside = pendingPath + ".unreadable";
        if (::rename(pendingPath.c_str(), aside.c_str()) == 0) {
            VBX_LOG(1, "Kept unreadable cache file as '" << aside << "'.\n");
        } else if (errno != ENOENT) {
            VBX_LOG(1, "Couldn't keep unreadable cache file '" << pendingPath << "' aside (error " << errno
                                                               << "), not overwriting it.\n");
            return false;
        }
        mLoadedUnreadable = false;
    }
    if (!ReplaceFile(pendingPath, std::to_string(pending.count) + " " + pending.data)) {
        VBX_LOG(1, "Couldn't open vortler cache file '" << pendingPath << "'.\n");
        return false;
    }
    std::ostringstream records;
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        for (const Track& track : mTentative)
            track.Write(records);
    }
    if (!ReplaceFile(tentativePath, records.str())) {
        VBX_LOG(1, "Couldn't open tentative submissions cache file '" << tentativePath << "'.\n");
        return true;
    }
    if (emptyTentative) {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        mTentative.clear();
    }
    return true;
}

void CWebSubmitter::KeepInStep() {
    if (!mKeepInStep.load())
        return;
    std::unique_lock<std::recursive_mutex> files(cacheMutex(), std::try_to_lock);
    if (!files.owns_lock()) {
        racePoint(RacePoint::kCacheLockBusy);
        files.lock();
    }
    const std::string user = userName();
    if (user.empty() || user != mLoadedUser)
        return;
    // The snapshot is taken under the cache mutex, so the last write always
    // holds the latest state.
    WriteFiles(user, pendingSnapshot(), false,
               "GetUserDir returned \"\\\", trying to save to current dir.\n");
    racePoint(RacePoint::kCacheWritten);
}

void CWebSubmitter::submissionConfirmed(const std::string& user, const std::string& data, int count,
                                        bool held) {
    if (CPlayRecorder* recorder = CPlayRecorder::Installed())
        recorder->Submitted(user, entryTimes(data), std::time(nullptr));
    if (!held) {
        // Posted before a change of user: the entries are in that user's
        // files, and this user's tentative list is not theirs.
        RemoveFromFiles(user, data, count);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        VBX_LOG(4, "Copying tentative subs into confirmed. Count: " << mTentative.size() << "\n");
        VBX_LOG(4, "Clearing tentative subs.\n");
        mTentative.clear();
    }
    // The confirmed entries have left the pending data.
    KeepInStep();
}

void CWebSubmitter::RemoveFromFiles(const std::string& user, const std::string& data, int count) {
    if (user.empty() || data.empty())
        return;
    const std::string dir = UserDir("GetUserDir returned \"\\\", trying to save to current dir.\n");
    const std::string pendingPath = PendingFilePath(dir, user);
    std::string bytes, held;
    int stored = 0;
    if (ReadWholeFile(pendingPath, bytes) != 0 || !ParsePending(bytes, stored, held)) {
        VBX_LOG(1, "Couldn't read vortler cache file '" << pendingPath << "' to remove confirmed entries.\n");
        return;
    }
    if (held.compare(0, data.size(), data) != 0) {
        VBX_LOG(1, "Vortler cache file '" << pendingPath << "' doesn't hold the confirmed entries, kept.\n");
        return;
    }
    const int remaining = std::max(0, stored - count);
    if (!ReplaceFile(pendingPath, std::to_string(remaining) + " " +
                                      Vortler::renumber(std::string_view(held).substr(data.size()), -count))) {
        VBX_LOG(1, "Couldn't open vortler cache file '" << pendingPath << "'.\n");
        return;
    }
    const std::string tentativePath = TentativeFilePath(dir, user);
    if (!ReplaceFile(tentativePath, ""))
        VBX_LOG(1, "Couldn't open tentative submissions cache file '" << tentativePath << "'.\n");
    VBX_LOG(3, "Removed " << count << " confirmed entries from the cache of " << user << ". Entries left: "
                          << remaining << "\n");
}

bool CWebSubmitter::saveCache(const std::string& user, const std::string& data, int count) {
    if (user.empty())
        return false;
    VBX_LOG(3, "Saving cache for: " << user << ". Entries: " << count << "\n");
    // At a change of user the tentative list goes with the old user's
    // files. At term the user stays, and so does the list: a track accepted
    // after term is written with it, not over it.
    const bool userLeaves = user != userName();
    return WriteFiles(user, Pending{data, count}, userLeaves,
                      "GetUserDir returned \"\\\", trying to save to current dir.\n");
}

bool CWebSubmitter::loadCache(const std::string& user) {
    std::lock_guard<std::recursive_mutex> files(cacheMutex());
    const bool loaded = LoadFiles(user);
    // A track accepted while the files were being read reaches them now.
    if (!loaded && userName() == user && pendingCount() > 0)
        KeepInStep();
    return loaded;
}

bool CWebSubmitter::LoadFiles(const std::string& user) {
    VBX_LOG(3, "Loading cache for: " << user << "\n");
    const std::string dir = UserDir("GetUserDir returned \"\\\", trying to load from current dir.\n");
    const std::string pendingPath = PendingFilePath(dir, user);
    mLoadedUser = user;
    mLoadedUnreadable = false;
    std::string data;
    int count = 0;
    {
        // Only a file that is not there means a first run: one that cannot
        // be read is kept aside, never overwritten.
        std::string bytes;
        if (const int error = ReadWholeFile(pendingPath, bytes); error != 0) {
            if (error == ENOENT) {
                VBX_LOG(2, "Couldn't open vortler cache file '"
                               << pendingPath
                               << "'. This is normal first time it's trying to load as it doesn't yet exist.\n");
            } else {
                VBX_LOG(1, "Couldn't read vortler cache file '" << pendingPath << "' (error " << error
                                                                << "), keeping it aside.\n");
                mLoadedUnreadable = true;
            }
            return false;
        }
        if (!ParsePending(bytes, count, data)) {
            VBX_LOG(1,
                    "Vortler cache file '" << pendingPath << "' doesn't seem to start with num entries.\n");
            mLoadedUnreadable = true;
            return false;
        }
        if (data.empty()) {
            VBX_LOG(3, "No cache data in file '" << pendingPath << "'.\n");
            return false;
        }
    }
    // The files stay as they are: they are replaced only by newer content.
    setCache(data, count);
    const std::string tentativePath = TentativeFilePath(dir, user);
    std::ifstream tentative(tentativePath, std::ios::binary);
    if (!tentative) {
        VBX_LOG(2, "Couldn't open tentative submissions cache file '"
                       << tentativePath
                       << "'. This is normal first time it's trying to load as it doesn't yet exist.\n");
    } else {
        Track track;
        while (track.Read(tentative)) {
            std::lock_guard<std::recursive_mutex> lock(mLock);
            mTentative.push_back(track);
        }
    }
    KeepInStep();
    return true;
}
