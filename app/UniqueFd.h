#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

/// Owns one file descriptor (a file, a socket or a pipe end) and closes it
/// when it goes, so that no way out of a function leaks one. Closing in the
/// destructor keeps errno, so a failure can still be reported after the
/// descriptor is gone; the class only calls close(), so the crash handler
/// may use it too.
class CUniqueFd {
public:
    CUniqueFd() noexcept = default;
    explicit CUniqueFd(int fd) noexcept : mFd(fd) {}
    ~CUniqueFd() {
        const int saved = errno;
        Reset();
        errno = saved;
    }
    CUniqueFd(CUniqueFd&& other) noexcept : mFd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    int Get() const noexcept { return mFd; }
    bool IsValid() const noexcept { return mFd >= 0; }
    /// Gives up ownership without closing.
    int Release() noexcept { return std::exchange(mFd, -1); }
    /// Closes the descriptor held (if any) and takes fd; returns whether the
    /// close succeeded (errno tells why not).
    bool Reset(int fd = -1) noexcept {
        bool ok = true;
        if (mFd >= 0)
            ok = ::close(mFd) == 0;
        mFd = fd;
        return ok;
    }

private:
    int mFd = -1;
};
