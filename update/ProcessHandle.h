#pragma once

#include <sys/types.h>

/// An owned handle of another process: a pidfd, which keeps referring to the
/// same process even if its id is reused, and lets the owner signal it and
/// wait for its end. An empty handle stands for "no process".
class CProcessHandle {
public:
    CProcessHandle() noexcept = default;
    /// Takes ownership of pidfd, a handle of process pid.
    CProcessHandle(int pidfd, pid_t pid) noexcept : mFd(pidfd), mPid(pid) {}
    ~CProcessHandle();
    CProcessHandle(CProcessHandle&& other) noexcept;
    CProcessHandle& operator=(CProcessHandle&& other) noexcept;
    CProcessHandle(const CProcessHandle&) = delete;
    CProcessHandle& operator=(const CProcessHandle&) = delete;

    /// Opens a handle of process pid; empty if it is gone or cannot be opened
    /// (errno tells why).
    static CProcessHandle Open(pid_t pid) noexcept;

    bool IsValid() const noexcept { return mFd >= 0; }
    explicit operator bool() const noexcept { return IsValid(); }
    int Fd() const noexcept { return mFd; }
    pid_t Pid() const noexcept { return mPid; }

    /// Sends sig to the process. False with errno set on failure (ESRCH once
    /// it has ended).
    bool Signal(int sig) const noexcept;

    /// Whether the process has ended. An ended process that its parent has
    /// not yet reaped (a zombie) counts as ended.
    bool HasEnded() const noexcept;

    /// Waits up to timeoutMs for the process to end; true if it has.
    bool WaitForEnd(int timeoutMs) const noexcept;

    void Close() noexcept;

private:
    int mFd = -1;
    pid_t mPid = 0;
};
