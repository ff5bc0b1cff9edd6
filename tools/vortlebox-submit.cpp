// vortlebox-submit USER STEP...
//
// Drives the web submitter from the shell, with the program's own settings
// store, hosts and cache files: for trying out the submission path by hand
// and for the crash tests, which kill it at chosen moments. The password is
// taken from the environment variable VORTLEBOX_PASSWORD, or else from the
// first line of standard input (never from the command line, where every
// local user could read it). The steps run in order:
//
//   track:START   submit a 200-second track "Artist START" - "Title & more
//                 START" played at START (seconds since 1970 UTC); prints
//                 "accepted START" once the submitter has taken it
//   await:CODE    wait (at most 60 s) until the status CODE (0 to 17) has
//                 been reported
//   drain         print "drained" once nothing is pending, "not drained"
//                 after 60 s
//   hold          wait until standard input ends
//
// Every status the submitter reports is printed as "status CODE". At the
// end the submitter is terminated, which saves its cache.
//
// Exit status: 0 when every step ran, 1 when an await ran out of time, 2
// for wrong usage (a bad step, no password) and when the settings store
// cannot be used; each error is one line on standard error.
#include "app/Observer.h"
#include "player/Track.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void PrintLine(const std::string& text) {
    const std::string line = text + "\n";
    // One write per line: status lines come from the submitter's threads.
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0)
        std::exit(3);
}

class CStatusPrinter : public Observer {
public:
    explicit CStatusPrinter(CWebSubmitter& submitter) : mSubmitter(submitter) {}
    void Update() override {
        const int code = mSubmitter.GetStatusCode();
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mSeen.insert(code);
        }
        PrintLine("status " + std::to_string(code));
    }
    bool Seen(int code) const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mSeen.count(code) != 0;
    }

private:
    CWebSubmitter& mSubmitter;
    mutable std::mutex mMutex;
    std::set<int> mSeen;
};

bool Drained(CWebSubmitter& submitter) {
    return submitter.pendingCount() == 0 && submitter.state() == Vortler::kReady;
}

/// One line on standard error; the exit status of wrong usage.
int Fail(const std::string& text) {
    std::cerr << "vortlebox-submit: " << text << std::endl;
    return 2;
}

enum class EStep { Track, Await, Drain, Hold };

struct CStep {
    EStep kind;
    std::int32_t value = 0;
};

/// A whole decimal number within [low, high], or nothing.
std::optional<std::int32_t> Number(const std::string& text, long long low, long long high) {
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (text[0] == '-')
        value = -value;
    if (value < low || value > high)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<CStep> ParseStep(const std::string& text) {
    if (text.rfind("track:", 0) == 0) {
        if (auto start = Number(text.substr(6), 0, std::numeric_limits<std::int32_t>::max()))
            return CStep{EStep::Track, *start};
    } else if (text.rfind("await:", 0) == 0) {
        if (auto code = Number(text.substr(6), 0, 17))
            return CStep{EStep::Await, *code};
    } else if (text == "drain") {
        return CStep{EStep::Drain};
    } else if (text == "hold") {
        return CStep{EStep::Hold};
    }
    return std::nullopt;
}

/// VORTLEBOX_PASSWORD, or the first line of standard input (read without
/// echo from a terminal); nothing when neither gives one.
std::optional<std::string> ReadPassword() {
    if (const char* variable = std::getenv("VORTLEBOX_PASSWORD"); variable != nullptr && *variable != '\0')
        return std::string(variable);
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << "Password: " << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << std::endl;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!read || line.empty())
        return std::nullopt;
    return line;
}

bool WaitUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || *argv[1] == '\0')
        return Fail("usage: vortlebox-submit USER STEP... (password in VORTLEBOX_PASSWORD or on standard input)");
    const std::string user = argv[1];
    std::vector<CStep> steps;
    for (int i = 2; i < argc; ++i) {
        std::optional<CStep> step = ParseStep(argv[i]);
        if (!step)
            return Fail(std::string("bad step '") + argv[i] +
                        "' (track:SECONDS, await:CODE from 0 to 17, drain or hold)");
        steps.push_back(*step);
    }
    const std::optional<std::string> password = ReadPassword();
    if (!password)
        return Fail("no password: set VORTLEBOX_PASSWORD or give it on standard input");
    const std::string hash = md5Hex(*password);

    CSettingsManager& settings = CSettingsManager::Instance();
    try {
        settings.Restore();
        try {
            settings.GetUser(user);
        } catch (const CSettingsManager::CUserNotFoundException&) {
            CUser record;
            record.name = user;
            record.passwordHash = hash;
            record.submitPlays = true;
            settings.AddUser(record);
        }
    } catch (const CSettingsManager::CUserExistsException&) {
        return Fail("the settings already hold a user named like '" + user + "'");
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    settings.SetCurrentUser(user);

    CWebSubmitter& submitter = CWebSubmitter::Instance();
    CStatusPrinter printer(submitter);
    submitter.AddObserver(&printer);
    submitter.init(user, hash, "vbx", "0.1", true);

    int result = 0;
    for (const CStep& step : steps) {
        switch (step.kind) {
        case EStep::Track: {
            Track track;
            const std::string start = std::to_string(step.value);
            track.Set("Artist " + start, "Title & more " + start, "", "200", "/music/" + start + ".mp3", "");
            track.SetStartTime(step.value);
            submitter.Submit(track);
            PrintLine("accepted " + start);
            break;
        }
        case EStep::Await:
            if (!WaitUntil([&] { return printer.Seen(step.value); }))
                result = 1;
            break;
        case EStep::Drain:
            PrintLine(WaitUntil([&] { return Drained(submitter); }) ? "drained" : "not drained");
            break;
        case EStep::Hold: {
            std::string ignored;
            while (std::getline(std::cin, ignored)) {
            }
            break;
        }
        }
    }
    submitter.RemoveObserver(&printer);
    submitter.term();
    return result;
}
