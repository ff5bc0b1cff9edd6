#include "tests/support/TestProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int MillisUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

/// The children that a CTestProcess started and has not reaped yet.
struct CChildren {
    std::mutex mutex;
    std::set<pid_t> pids;
};

CChildren& Children() {
    static CChildren children;
    return children;
}

void Forget(pid_t pid) {
    std::lock_guard<std::mutex> guard(Children().mutex);
    Children().pids.erase(pid);
}

/// The parent and the state of a process, from /proc/PID/stat; false when
/// it is gone.
bool ReadStat(pid_t pid, pid_t& parent, char& state) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text))
        return false;
    // The command name in parentheses may hold blanks and parentheses.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream rest(text.substr(close + 1));
    rest >> state >> parent;
    return static_cast<bool>(rest);
}

std::string CommandLine(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

/// A pipe whose both ends close on exec; posix_spawn's dup2 gives the child
/// its own copy without the flag.
void MakePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2 failed: ") + std::strerror(errno));
}

} // namespace

CTestProcess::CTestProcess(const std::vector<std::string>& argv, const COptions& options) {
    if (argv.empty())
        throw std::runtime_error("CTestProcess needs a program");
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* p : {in, out, err}) {
            CloseFd(p[0]);
            CloseFd(p[1]);
        }
    };
    try {
        if (options.pipeStdin)
            MakePipe(in);
        if (options.pipeStdout)
            MakePipe(out);
        if (options.pipeStderr)
            MakePipe(err);
    } catch (...) {
        closeAll();
        throw;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.pipeStdin)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (options.pipeStdout)
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (options.pipeStderr)
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&mPid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseFd(in[0]);
    CloseFd(out[1]);
    CloseFd(err[1]);
    mStdin = in[1];
    mStdout = out[0];
    mStderr = err[0];
    if (rc == 0) {
        std::lock_guard<std::mutex> guard(Children().mutex);
        Children().pids.insert(mPid);
    } else {
        mPid = -1;
        CloseFd(mStdin);
        CloseFd(mStdout);
        CloseFd(mStderr);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

CTestProcess::~CTestProcess() {
    Stop();
    CloseFd(mStdin);
    CloseFd(mStdout);
    CloseFd(mStderr);
}

bool CTestProcess::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto nl = mOutBuffer.find('\n');
        if (nl != std::string::npos) {
            line = mOutBuffer.substr(0, nl);
            mOutBuffer.erase(0, nl + 1);
            return true;
        }
        if (mStdout < 0)
            return false;
        pollfd p{mStdout, POLLIN, 0};
        int r = ::poll(&p, 1, MillisUntil(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = ::read(mStdout, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        mOutBuffer.append(buf, static_cast<std::size_t>(n));
    }
}

bool CTestProcess::Write(const std::string& bytes) {
    // A child that has ended already raises SIGPIPE at this thread: held
    // back, then discarded.
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    std::size_t done = 0;
    while (mStdin >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(mStdin, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    const timespec now{};
    while (::sigtimedwait(&pipeSignal, nullptr, &now) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return done == bytes.size();
}

void CTestProcess::CloseStdin() noexcept {
    CloseFd(mStdin);
}

std::optional<int> CTestProcess::Wait(std::chrono::milliseconds timeout) {
    if (mExit || mPid < 0)
        return mExit;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, mPid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        auto deadline = Clock::now() + timeout;
        int r;
        do {
            r = ::poll(&p, 1, MillisUntil(deadline));
        } while (r < 0 && errno == EINTR);
        ::close(pidfd);
        if (r > 0)
            Reap(0);
        return mExit;
    }
    // Kernels without pidfd: poll the child's state.
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (Reap(WNOHANG) || Clock::now() >= deadline)
            return mExit;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool CTestProcess::Reap(int options) {
    int status = 0;
    if (::waitpid(mPid, &status, options) != mPid)
        return false;
    mExit = DecodeStatus(status);
    Forget(mPid);
    return true;
}

void CTestProcess::AdoptOrphans() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::vector<std::string> CTestProcess::Strays() {
    std::set<pid_t> known;
    {
        std::lock_guard<std::mutex> guard(Children().mutex);
        known = Children().pids;
    }
    std::vector<std::string> strays;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return strays;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || number <= 0 || known.count(static_cast<pid_t>(number)) != 0)
            continue;
        const auto pid = static_cast<pid_t>(number);
        pid_t parent = 0;
        char state = 0;
        if (!ReadStat(pid, parent, state) || parent != ::getpid())
            continue;
        if (state == 'Z') {
            ::waitpid(pid, nullptr, WNOHANG);
            continue;
        }
        strays.push_back(std::to_string(pid) + ": " + CommandLine(pid));
    }
    ::closedir(proc);
    return strays;
}

std::optional<int> CTestProcess::Stop(std::chrono::milliseconds grace) noexcept {
    if (mPid < 0 || mExit)
        return mExit;
    try {
        ::kill(mPid, SIGTERM);
        if (Wait(grace))
            return mExit;
    } catch (...) {
    }
    ::kill(mPid, SIGKILL);
    Reap(0);
    return mExit;
}

CTestProcess::CResult CTestProcess::Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                        const std::string& input) {
    CTestProcess child(argv, COptions{.pipeStdin = true, .pipeStdout = true, .pipeStderr = true});
    // Small inputs only: the pipe takes them whole before the child reads.
    if (!input.empty())
        child.Write(input);
    child.CloseStdin();
    CResult result;
    auto deadline = Clock::now() + timeout;
    while (child.mStdout >= 0 || child.mStderr >= 0) {
        pollfd fds[2] = {{child.mStdout, POLLIN, 0}, {child.mStderr, POLLIN, 0}};
        int r = ::poll(fds, 2, MillisUntil(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                CloseFd(i == 0 ? child.mStdout : child.mStderr);
            }
        }
    }
    result.exitCode = child.Wait(std::chrono::milliseconds(MillisUntil(deadline)));
    if (!result.exitCode)
        child.Stop(std::chrono::milliseconds(0));
    return result;
}
