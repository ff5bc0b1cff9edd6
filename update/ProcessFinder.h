#pragma once

#include "update/ProcessHandle.h"

#include <string>
#include <sys/types.h>

/// Finds a running program by the file name of its executable, and closes or
/// ends it, so that its files can be replaced. Reads /proc: a process matches
/// when it runs for this account (its real user id is ours) and the base name
/// of its executable (/proc/PID/exe, or argv[0] when that link cannot be
/// read) equals the wanted name ignoring case. The calling process, other
/// users' processes and processes that have already ended (zombies) never
/// match.
///
/// Keeps no state of its own: create one on the stack for each question.
class CProcessFinder {
public:
    /// How long KillProcess waits for a process asked to close, and then
    /// again for a process that was forced to end.
    static constexpr int kCloseWaitMs = 5000;

    /// The first process running executableName (a file name; a leading
    /// folder is ignored). Gives its handle and sets pid, or gives an empty
    /// handle and sets pid to 0.
    CProcessHandle FindProcess(const std::string& executableName, pid_t& pid) const;

    /// Asks the process running executableName to close (SIGTERM), waits up
    /// to kCloseWaitMs for it, and forces it to end (SIGKILL) if it is still
    /// there. True if it ended; false if no such process was found or it
    /// could not be ended.
    bool KillProcess(const std::string& executableName) const;
};
