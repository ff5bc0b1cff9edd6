#pragma once

#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <chrono>
#include <string>

/// Players of a program of their own (vbx-fake-player) on the session bus
/// of the environment, driven line by line: each command returns once the
/// program has carried it out.
class CFakePlayerProcess {
public:
    CFakePlayerProcess()
        : mProcess({BinDir() + "/vbx-fake-player"}, CTestProcess::COptions{.pipeStdin = true, .pipeStdout = true}) {}

    /// Runs one command (see the program's head comment); whether it
    /// answered "ok".
    bool Do(const std::string& command) {
        mProcess.Write(command + "\n");
        std::string answer;
        return mProcess.ReadLine(answer, std::chrono::seconds(20)) && answer == "ok";
    }
    pid_t Pid() const noexcept { return mProcess.Pid(); }

private:
    CTestProcess mProcess;
};
