// vortlebox-submit USER PASSWORD STEP...
//
// Drives the web submitter from the shell, with the program's own settings
// store, hosts and cache files: for trying out the submission path by hand
// and for the crash tests, which kill it at chosen moments. The steps run in
// order:
//
//   track:START   submit a 200-second track "Artist START" - "Title & more
//                 START" played at START (seconds since 1970 UTC); prints
//                 "accepted START" once the submitter has taken it
//   await:CODE    wait (at most 60 s) until the status CODE has been reported
//   drain         print "drained" once nothing is pending, "not drained"
//                 after 60 s
//   hold          wait until standard input ends
//
// Every status the submitter reports is printed as "status CODE". At the
// end the submitter is terminated, which saves its cache.
#include "app/Observer.h"
#include "player/Track.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"

#include <chrono>
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>

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
    if (argc < 3) {
        std::cerr << "usage: vortlebox-submit USER PASSWORD STEP...\n";
        return 2;
    }
    const std::string user = argv[1];
    const std::string hash = md5Hex(std::string(argv[2]));

    CSettingsManager& settings = CSettingsManager::Instance();
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
    settings.SetCurrentUser(user);

    CWebSubmitter& submitter = CWebSubmitter::Instance();
    CStatusPrinter printer(submitter);
    submitter.AddObserver(&printer);
    submitter.init(user, hash, "vbx", "0.1", true);

    int result = 0;
    for (int i = 3; i < argc; ++i) {
        const std::string step = argv[i];
        if (step.rfind("track:", 0) == 0) {
            const std::string start = step.substr(6);
            Track track;
            track.Set("Artist " + start, "Title & more " + start, "", "200", "/music/" + start + ".mp3", "");
            track.SetStartTime(static_cast<std::int32_t>(std::stol(start)));
            submitter.Submit(track);
            PrintLine("accepted " + start);
        } else if (step.rfind("await:", 0) == 0) {
            const int code = std::stoi(step.substr(6));
            if (!WaitUntil([&] { return printer.Seen(code); }))
                result = 1;
        } else if (step == "drain") {
            const bool drained = WaitUntil([&] { return Drained(submitter); });
            PrintLine(drained ? "drained" : "not drained");
        } else if (step == "hold") {
            std::string ignored;
            while (std::getline(std::cin, ignored)) {
            }
        } else {
            std::cerr << "vortlebox-submit: unknown step '" << step << "'\n";
            result = 2;
            break;
        }
    }
    submitter.RemoveObserver(&printer);
    submitter.term();
    return result;
}
