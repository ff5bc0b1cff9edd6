#pragma once

#include "player/PlayerCommand.h"
#include "player/PlayerCommandParser.h"
#include "player/PlayerConnection.h"
#include "player/Track.h"
#include "settings/SettingsManager.h"
#include "tests/player/SubmitRecorder.h"
#include "tests/support/TestEnv.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// A temporary environment with its own settings store, a log and a current
/// user "alice" who submits plays.
class CPlayerTestBase {
public:
    CPlayerTestBase() {
        mSettings.Restore();
        CUser alice;
        alice.name = "alice";
        alice.passwordHash = "5f4dcc3b5aa765d61d8327deb882cf99";
        alice.submitPlays = true;
        mSettings.AddUser(alice);
        mSettings.SetCurrentUser("alice");
    }

    std::shared_ptr<CPlayerConnection> MakeConnection(const std::string& id) {
        return std::make_shared<CPlayerConnection>(id, mSettings, mRecorder.Function());
    }

    /// Parses a command line as the listener would.
    static CPlayerCommand Command(const std::string& line) {
        CPlayerCommand command;
        CPlayerCommandParser().Parse(line, command);
        return command;
    }

    /// Polls the condition until it holds or a generous bound passes.
    static bool WaitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

protected:
    CTestEnvironment mEnv;
    CLogCapture mLog;
    CSettingsManager mSettings;
    CSubmitRecorder mRecorder;
};
