#include "update/ProcessHandle.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

// Called through syscall(): the C library header of these two lacks C++
// linkage on Debian 12.
namespace {

int PidfdOpen(pid_t pid) noexcept {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
}

int PidfdSendSignal(int fd, int sig) noexcept {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0u));
}

} // namespace

CProcessHandle::~CProcessHandle() {
    Close();
}

CProcessHandle::CProcessHandle(CProcessHandle&& other) noexcept
    : mFd(std::exchange(other.mFd, -1)), mPid(std::exchange(other.mPid, 0)) {}

CProcessHandle& CProcessHandle::operator=(CProcessHandle&& other) noexcept {
    if (this != &other) {
        Close();
        mFd = std::exchange(other.mFd, -1);
        mPid = std::exchange(other.mPid, 0);
    }
    return *this;
}

CProcessHandle CProcessHandle::Open(pid_t pid) noexcept {
    if (pid <= 0) {
        errno = ESRCH;
        return {};
    }
    int fd = PidfdOpen(pid);
    if (fd < 0)
        return {};
    return CProcessHandle(fd, pid);
}

bool CProcessHandle::Signal(int sig) const noexcept {
    if (mFd < 0) {
        errno = EBADF;
        return false;
    }
    return PidfdSendSignal(mFd, sig) == 0;
}

bool CProcessHandle::HasEnded() const noexcept {
    return WaitForEnd(0);
}

bool CProcessHandle::WaitForEnd(int timeoutMs) const noexcept {
    if (mFd < 0)
        return true;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd{mFd, POLLIN, 0};
        // A pidfd becomes readable when its process has exited, whether or
        // not it has been reaped.
        int n = ::poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (n == 0 && left <= 0)
            return false;
    }
}

void CProcessHandle::Close() noexcept {
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
    mPid = 0;
}
