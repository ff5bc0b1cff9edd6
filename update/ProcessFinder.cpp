#include "update/ProcessFinder.h"

#include "app/EncodingUtils.h"
#include "app/Logger.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace {

std::string_view BaseName(std::string_view path) noexcept {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

/// Up to limit bytes of a /proc file; nullopt if it cannot be read.
std::optional<std::string> ReadProcFile(const std::string& path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char buf[4096];
    while (data.size() < limit) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

/// The state letter of /proc/PID/stat: it follows the command name, which is
/// in parentheses and may itself contain ") ".
char ProcessState(const std::string& procDir) {
    auto stat = ReadProcFile(procDir + "/stat", 4096);
    if (!stat)
        return '\0';
    std::size_t close = stat->rfind(')');
    if (close == std::string::npos || close + 2 >= stat->size())
        return '\0';
    return (*stat)[close + 2];
}

/// The executable's path of a process, or "" when neither /proc/PID/exe nor
/// its argv[0] can be read.
std::string ExecutablePath(const std::string& procDir) {
    char buf[PATH_MAX + 16];
    ssize_t n = ::readlink((procDir + "/exe").c_str(), buf, sizeof buf - 1);
    if (n > 0) {
        std::string path(buf, static_cast<std::size_t>(n));
        // A program whose file was replaced while it ran (as an update
        // does) still counts as that program.
        constexpr std::string_view kDeleted = " (deleted)";
        if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
            path.resize(path.size() - kDeleted.size());
        return path;
    }
    auto cmdline = ReadProcFile(procDir + "/cmdline", PATH_MAX + 1);
    if (!cmdline)
        return {};
    // argv[0] ends at the first NUL.
    return std::string(cmdline->c_str());
}

/// Whether the process runs for this account: its real user id (the first
/// of the "Uid:" line of /proc/PID/status) is ours. Another user's program
/// is not ours to close, and must not hide our own.
bool IsOwnProcess(const std::string& procDir) {
    const auto status = ReadProcFile(procDir + "/status", 65536);
    if (!status)
        return false;
    const std::size_t line = status->find("\nUid:");
    if (line == std::string::npos)
        return false;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(status->c_str() + line + 5, &end, 10);
    return end != status->c_str() + line + 5 && uid == static_cast<unsigned long>(::getuid());
}

bool IsNumber(const char* text) noexcept {
    if (!*text)
        return false;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

bool Matches(pid_t pid, std::string_view wanted) {
    const std::string procDir = "/proc/" + std::to_string(pid);
    if (!IsOwnProcess(procDir))
        return false;
    std::string path = ExecutablePath(procDir);
    if (path.empty() || !CEncodingUtils::EqualsIgnoringCase(BaseName(path), wanted))
        return false;
    return ProcessState(procDir) != 'Z';
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

} // namespace

CProcessHandle CProcessFinder::FindProcess(const std::string& executableName, pid_t& pid) const {
    VBX_TRACE();
    pid = 0;
    const std::string_view wanted = BaseName(executableName);
    if (wanted.empty())
        return {};
    std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc) {
        VBX_LOG(1, "Couldn't list processes: " << std::strerror(errno) << "\n");
        return {};
    }
    const pid_t self = ::getpid();
    while (dirent* entry = ::readdir(proc.get())) {
        if (!IsNumber(entry->d_name))
            continue;
        const pid_t candidate = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (candidate == self || !Matches(candidate, wanted))
            continue;
        CProcessHandle handle = CProcessHandle::Open(candidate);
        if (!handle) {
            if (errno != ESRCH)
                VBX_LOG(1, "Couldn't open process " << candidate << ": " << std::strerror(errno) << "\n");
            continue;
        }
        // The id may have been reused between the look and the open: the
        // handle counts only if the process behind it still matches.
        if (!Matches(candidate, wanted))
            continue;
        VBX_LOG(3, "Found " << executableName << " running as process " << candidate << "\n");
        pid = candidate;
        return handle;
    }
    VBX_LOG(3, executableName << " isn't running\n");
    return {};
}

bool CProcessFinder::KillProcess(const std::string& executableName) const {
    VBX_TRACE();
    pid_t pid = 0;
    CProcessHandle process = FindProcess(executableName, pid);
    if (!process)
        return false;

    VBX_LOG(3, "Asking process " << pid << " (" << executableName << ") to close\n");
    if (!process.Signal(SIGTERM)) {
        if (errno == ESRCH || process.HasEnded())
            return true;
        VBX_LOG(1, "Couldn't signal process " << pid << ": " << std::strerror(errno) << "\n");
        return false;
    }
    if (process.WaitForEnd(kCloseWaitMs)) {
        VBX_LOG(3, "Process " << pid << " closed\n");
        return true;
    }

    VBX_LOG(1, "Process " << pid << " (" << executableName << ") didn't close within " << kCloseWaitMs
                          << " ms, terminating it\n");
    if (!process.Signal(SIGKILL) && errno != ESRCH) {
        VBX_LOG(1, "Couldn't terminate process " << pid << ": " << std::strerror(errno) << "\n");
        return false;
    }
    if (process.WaitForEnd(kCloseWaitMs)) {
        VBX_LOG(3, "Process " << pid << " terminated\n");
        return true;
    }
    VBX_LOG(1, "Process " << pid << " didn't end after being terminated\n");
    return false;
}
