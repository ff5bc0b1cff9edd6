#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

/// A child process started with posix_spawn for a test. Its standard input
/// and output can be pipes to the test; standard error is inherited, so
/// that the child's complaints show up in the test's output. The destructor
/// ends a child that still runs (SIGTERM, a bounded wait, then SIGKILL).
class CTestProcess {
public:
    struct COptions {
        bool pipeStdin = false;
        bool pipeStdout = false;
        bool pipeStderr = false;
    };
    /// The result of Run: exit code (128 + signal number for a signal),
    /// or nullopt when the child had to be killed after the time-out.
    struct CResult {
        std::optional<int> exitCode;
        std::string out;
        std::string err;
    };

    /// Starts argv[0] (a path) with the test's environment. Throws
    /// std::runtime_error when the program cannot be started.
    CTestProcess(const std::vector<std::string>& argv, const COptions& options);
    ~CTestProcess();
    CTestProcess(const CTestProcess&) = delete;
    CTestProcess& operator=(const CTestProcess&) = delete;

    pid_t Pid() const noexcept { return mPid; }
    /// Reads one line (without its line feed) from the child's standard
    /// output; false on end of file or when the time-out passes first.
    bool ReadLine(std::string& line, std::chrono::milliseconds timeout);
    /// Writes the bytes to the child's standard input; false when they did
    /// not all go.
    bool Write(const std::string& bytes);
    /// Closes the pipe to the child's standard input.
    void CloseStdin() noexcept;
    /// Waits for the child's end; its exit code, or nullopt on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    /// SIGTERM, wait up to `grace`, then SIGKILL; returns the exit code.
    std::optional<int> Stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) noexcept;

    /// Makes this test process the reaper of orphans in its tree: what a
    /// program started by the test leaves behind when it ends becomes a
    /// child of the test, where Strays() finds it.
    static void AdoptOrphans();
    /// Children of this process that no CTestProcess started and that still
    /// run ("pid: command line" each); ended ones are reaped on the way.
    static std::vector<std::string> Strays();

    /// Runs a program to its end, collecting its standard output and error;
    /// its standard input gives the input text and then ends.
    static CResult Run(const std::vector<std::string>& argv,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30),
                       const std::string& input = std::string());

private:
    /// Reaps the child, if it has ended; whether it had.
    bool Reap(int options);

    pid_t mPid = -1;
    int mStdin = -1;
    int mStdout = -1;
    int mStderr = -1;
    std::string mOutBuffer;
    std::optional<int> mExit;
};
