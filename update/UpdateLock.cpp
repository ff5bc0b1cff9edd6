#include "update/UpdateLock.h"

#include "app/UserFolders.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(100);

} // namespace

CUpdateLock::~CUpdateLock() {
    Release();
}

CUpdateLock::CUpdateLock(CUpdateLock&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}

CUpdateLock& CUpdateLock::operator=(CUpdateLock&& other) noexcept {
    if (this != &other) {
        Release();
        mFd = std::exchange(other.mFd, -1);
    }
    return *this;
}

bool CUpdateLock::IsValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string CUpdateLock::PathFor(const std::string& name) {
    const std::string runtime = CUserFolders::RuntimeDir();
    if (!runtime.empty())
        return runtime + "/" + name;
    const std::string data = CUserFolders::DataHome();
    return data.empty() ? std::string() : data + "/Fenwave/Vortlebox/" + name;
}

int CUpdateLock::Acquire(const std::string& name, int timeoutMs) {
    Release();
    if (!IsValidName(name))
        return EINVAL;
    const std::string path = PathFor(name);
    if (path.empty())
        return ENOENT;
    if (const int error = CUserFolders::CreatePrivateFolder(path.substr(0, path.rfind('/'))); error != 0)
        return error;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            mFd = fd;
            return 0;
        }
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            ::close(fd);
            return error;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return EWOULDBLOCK;
        }
        std::this_thread::sleep_for(kRetryInterval);
    }
}

void CUpdateLock::Release() noexcept {
    if (mFd >= 0) {
        ::flock(mFd, LOCK_UN);
        ::close(mFd);
    }
    mFd = -1;
}
