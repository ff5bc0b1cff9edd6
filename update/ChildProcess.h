#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

/// A program this process started: posix_spawn without a shell, waited for
/// with a bound, and reaped so that no zombie is left behind. An object that
/// is destroyed while its child still runs reaps it if it has ended by then
/// and otherwise leaves it running on its own; it never blocks and never
/// kills.
class CChildProcess {
public:
    CChildProcess() noexcept = default;
    ~CChildProcess();
    CChildProcess(CChildProcess&& other) noexcept;
    CChildProcess& operator=(CChildProcess&& other) noexcept;
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    /// Starts the program at path with argv (argv[0] included) and this
    /// process's environment. detach starts it on its own (setsid), away from
    /// the terminal and process group of its starter, so that it outlives
    /// them. Returns 0, or the error number of a failed start (the program
    /// missing, not executable, ...).
    int Spawn(const std::string& path, const std::vector<std::string>& argv, bool detach = false);

    /// Waits up to timeoutMs (a negative value waits without limit) for the
    /// child to end and reaps it. True once it has ended.
    bool WaitForExit(int timeoutMs);

    /// Reaps the child if it has ended, without waiting. True once it has.
    bool TryReap() noexcept;

    /// Whether a child was started and has not been reaped yet.
    bool IsRunning() const noexcept { return mPid > 0; }
    pid_t Pid() const noexcept { return mPid; }
    /// The wait status (as from waitpid) of a reaped child; -1 before.
    int Status() const noexcept { return mStatus; }

    /// Splits an argument text into words the way a shell does with quoting,
    /// without running one: blanks separate words; "..." and '...' group,
    /// inside double quotes a backslash escapes " and \ only, outside quotes
    /// a backslash escapes any character. An unclosed quote runs to the end of
    /// the text. Nothing is expanded.
    static std::vector<std::string> SplitArguments(const std::string& text);

private:
    pid_t mPid = 0;
    int mStatus = -1;
};
