#include "update/ChildProcess.h"

#include "update/ProcessHandle.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
#include <utility>

extern char** environ;

namespace {

/// posix_spawn's attributes, destroyed on every way out.
class CSpawnAttributes {
public:
    CSpawnAttributes() { mError = ::posix_spawnattr_init(&mAttr); }
    ~CSpawnAttributes() {
        if (mError == 0)
            ::posix_spawnattr_destroy(&mAttr);
    }
    CSpawnAttributes(const CSpawnAttributes&) = delete;
    CSpawnAttributes& operator=(const CSpawnAttributes&) = delete;
    int Error() const noexcept { return mError; }
    posix_spawnattr_t* Get() noexcept { return &mAttr; }

private:
    posix_spawnattr_t mAttr;
    int mError = 0;
};

} // namespace

CChildProcess::~CChildProcess() {
    TryReap();
}

CChildProcess::CChildProcess(CChildProcess&& other) noexcept
    : mPid(std::exchange(other.mPid, 0)), mStatus(std::exchange(other.mStatus, -1)) {}

CChildProcess& CChildProcess::operator=(CChildProcess&& other) noexcept {
    if (this != &other) {
        TryReap();
        mPid = std::exchange(other.mPid, 0);
        mStatus = std::exchange(other.mStatus, -1);
    }
    return *this;
}

int CChildProcess::Spawn(const std::string& path, const std::vector<std::string>& argv, bool detach) {
    if (mPid > 0)
        return EBUSY;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    CSpawnAttributes attributes;
    if (attributes.Error() != 0)
        return attributes.Error();
    // The child starts with default signal handling, whatever this process
    // ignores or blocks.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(attributes.Get(), &all);
    ::posix_spawnattr_setsigmask(attributes.Get(), &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (detach)
        flags |= POSIX_SPAWN_SETSID;
    ::posix_spawnattr_setflags(attributes.Get(), flags);

    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, path.c_str(), nullptr, attributes.Get(), args.data(), environ);
    if (error != 0)
        return error;
    mPid = pid;
    mStatus = -1;
    return 0;
}

bool CChildProcess::WaitForExit(int timeoutMs) {
    if (mPid <= 0)
        return true;
    if (timeoutMs < 0) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(mPid, &status, 0);
        } while (r < 0 && errno == EINTR);
        if (r == mPid)
            mStatus = status;
        mPid = 0;
        return true;
    }
    // Our own unreaped child cannot be replaced by another process with the
    // same id, so a pidfd of it is safe to wait on.
    CProcessHandle handle = CProcessHandle::Open(mPid);
    if (handle)
        handle.WaitForEnd(timeoutMs);
    return TryReap();
}

bool CChildProcess::TryReap() noexcept {
    if (mPid <= 0)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(mPid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        return false;
    // Reaped now, or no longer ours to reap (ECHILD): either way it is gone.
    if (r == mPid)
        mStatus = status;
    mPid = 0;
    return true;
}

std::vector<std::string> CChildProcess::SplitArguments(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            ++i;
        } else if (c == '\'') {
            inWord = true;
            ++i;
            while (i < n && text[i] != '\'')
                word.push_back(text[i++]);
            ++i; // the closing quote, if any
        } else if (c == '"') {
            inWord = true;
            ++i;
            while (i < n && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < n && (text[i + 1] == '"' || text[i + 1] == '\\'))
                    ++i;
                word.push_back(text[i++]);
            }
            ++i;
        } else if (c == '\\') {
            inWord = true;
            if (i + 1 < n)
                word.push_back(text[i + 1]);
            i += 2;
        } else {
            inWord = true;
            word.push_back(c);
            ++i;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}
