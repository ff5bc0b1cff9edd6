// Resident memory of the listener that has heard many plug-in ids, each
// through one START and one STOP (as browsers and second players with a
// process id in their names do), against the same listener before: right
// after the last STOP, and once the stopped plug-ins' idle time has passed.
//
//   bench_plugins [IDS] [IDLE-MS]
//
// IDS defaults to 10000 and IDLE-MS (the listener's idle time before it
// frees a stopped plug-in's state) to 2000, short so that the run does not
// wait the program's ten minutes.

#include "app/UniqueFd.h"
#include "player/PlayerListener.h"
#include "settings/SettingsManager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

bool Exchange(uint16_t port, const std::string& line) {
    CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return false;
    ::send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[64];
    ssize_t n;
    while ((n = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<std::size_t>(n));
    return reply == "OK\n";
}

} // namespace

int main(int argc, char** argv) {
    const int ids = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int idleMs = argc > 2 ? std::atoi(argv[2]) : 2000;
    CSettingsManager settings;
    CPlayerListener listener(0, [&settings](const std::string& id) {
        return std::make_shared<CPlayerConnection>(id, settings, [](const Track&) {});
    });
    listener.SetIdleForget(std::chrono::milliseconds(idleMs));
    std::thread thread([&] { listener.Start(); });
    while (!listener.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint16_t port = listener.GetPort();
    // Warm: one plug-in through the same commands, and forgotten again.
    Exchange(port, "START c=warm&a=Artist&t=Warm&l=200&p=/music/warm.mp3\n");
    Exchange(port, "STOP c=warm\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(idleMs + 500));
    const long before = ResidentKiB();

    int failed = 0;
    for (int i = 0; i < ids; ++i) {
        const std::string id = "org.mpris.MediaPlayer2.chromium.instance" + std::to_string(100000 + i);
        failed += Exchange(port, "START c=" + id + "&a=Artist&t=Video " + std::to_string(i) +
                                     "&l=200&p=https://example.org/v" + std::to_string(i) + "\n")
                      ? 0
                      : 1;
        failed += Exchange(port, "STOP c=" + id + "\n") ? 0 : 1;
    }
    const long after = ResidentKiB();
    const std::size_t kept = listener.ConnectionCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(idleMs + 1000));
    const long idle = ResidentKiB();
    const std::size_t left = listener.ConnectionCount();
    listener.Stop();
    thread.join();

    std::printf("%d plug-in ids through START and STOP (%d commands refused)\n", ids, failed);
    std::printf("  resident before                %8ld KiB\n", before);
    std::printf("  resident after the last STOP   %8ld KiB  (+%ld KiB, %zu plug-ins kept)\n", after, after - before,
                kept);
    std::printf("  resident after %d ms idle    %8ld KiB  (+%ld KiB, %zu plug-ins kept)\n", idleMs, idle,
                idle - before, left);
    return failed == 0 ? 0 : 1;
}
