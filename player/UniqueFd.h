#pragma once

#include <unistd.h>
#include <utility>

/// Owns one file descriptor (a socket or a pipe end) and closes it when it
/// goes, so that no path through the listener leaks one.
class CUniqueFd {
public:
    CUniqueFd() noexcept = default;
    explicit CUniqueFd(int fd) noexcept : mFd(fd) {}
    ~CUniqueFd() { Reset(); }
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
    /// close succeeded.
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
