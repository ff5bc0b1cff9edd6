// Listener throughput against a bare loopback server, and the idle cost of
// the running program.
//
//   bench_listener [COMMANDS] [PATH-TO-vortlebox]
//
// First it sends COMMANDS (default 2000) command lines one after the other,
// each on its own connection (connect, line, reply, close), first to a bare
// server doing only accept/read/write/close, then to CPlayerListener; it
// prints both rates and their ratio. Then it starts the program in a
// temporary environment, leaves it idle for 30 seconds and prints the CPU
// time it used and its resident memory.

#include "player/PlayerListener.h"
#include "settings/SettingsManager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One plug-in exchange; false if the reply was not "OK\n".
bool Exchange(uint16_t port, const char* line) {
    CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(port);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return false;
    ::send(fd.Get(), line, std::strlen(line), MSG_NOSIGNAL);
    std::string reply;
    char buffer[256];
    ssize_t n;
    while ((n = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<std::size_t>(n));
    return reply == "OK\n";
}

// The baseline: accept, read one line, answer, close, with the same
// half-close as the listener.
class CBareServer {
public:
    CBareServer() : mListen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        ::setsockopt(mListen.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = Loopback(0);
        ::bind(mListen.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
        ::listen(mListen.Get(), 1);
        socklen_t size = sizeof a;
        ::getsockname(mListen.Get(), reinterpret_cast<sockaddr*>(&a), &size);
        mPort = ntohs(a.sin_port);
        mThread = std::thread([this] { Run(); });
    }
    ~CBareServer() {
        mStop = true;
        Exchange(mPort, "EXIT\n");
        mThread.join();
    }
    uint16_t Port() const { return mPort; }

private:
    void Run() {
        while (!mStop) {
            CUniqueFd fd(::accept4(mListen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd.IsValid())
                continue;
            std::string line;
            char buffer[1023];
            ssize_t n;
            while ((n = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0) {
                line.append(buffer, static_cast<std::size_t>(n));
                if (buffer[n - 1] == '\n')
                    break;
            }
            ::send(fd.Get(), "OK\n", 3, MSG_NOSIGNAL);
            ::shutdown(fd.Get(), SHUT_WR);
            while (::recv(fd.Get(), buffer, sizeof buffer, 0) > 0) {
            }
        }
    }

    CUniqueFd mListen;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

double Rate(uint16_t port, int commands) {
    const auto start = Clock::now();
    for (int i = 0; i < commands; ++i)
        if (!Exchange(port, "STOP c=bench\n")) {
            std::fprintf(stderr, "exchange %d failed\n", i);
            return 0;
        }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return commands / seconds;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// utime + stime in clock ticks, from /proc/PID/stat.
long long CpuTicks(pid_t pid) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoll(field);
        if (i == 15) {
            stime = std::stoll(field);
            break;
        }
    }
    return utime + stime;
}

long ResidentKiB(pid_t pid) {
    std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string DefaultProgram() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "vortlebox";
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/')) + "/vortlebox";
}

void MeasureIdleProgram(const std::string& program) {
    char pattern[] = "/tmp/vbx-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return;
    const std::string root = pattern;
    for (const char* sub : {"/home", "/config", "/data", "/run", "/tmp"})
        std::filesystem::create_directories(root + sub);
    std::filesystem::permissions(root + "/run", std::filesystem::perms::owner_all);
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("VORTLEBOX_LISTENER_PORT", "47367", 1);

    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        std::printf("could not start %s\n", program.c_str());
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long long ticksAtStart = CpuTicks(pid);
    const long rssAtStart = ResidentKiB(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(30));
    const long long ticks = CpuTicks(pid) - ticksAtStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const long rss = ResidentKiB(pid);
    const double cpu = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::printf("idle program over %.1f s: CPU %.3f s (%.3f%% of one core), resident %ld KiB "
                "(%ld KiB after start-up)\n",
                wall, cpu, 100.0 * cpu / wall, rss, rssAtStart);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::filesystem::remove_all(root);
}

} // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string program = argc > 2 ? argv[2] : DefaultProgram();

    double bare = 0;
    {
        CBareServer server;
        Exchange(server.Port(), "STOP c=warm\n");
        bare = Rate(server.Port(), commands);
    }

    double listened = 0;
    {
        CSettingsManager settings;
        CPlayerListener listener(46367, [&settings](const std::string& id) {
            return std::make_shared<CPlayerConnection>(id, settings, [](const Track&) {});
        });
        std::thread thread([&] { listener.Start(); });
        while (!listener.IsListening())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Exchange(listener.GetPort(), "STOP c=warm\n");
        listened = Rate(listener.GetPort(), commands);
        listener.Stop();
        thread.join();
    }

    std::printf("commands per second, %d sequential connections each:\n", commands);
    std::printf("  bare loopback server  %10.0f\n", bare);
    std::printf("  CPlayerListener       %10.0f\n", listened);
    std::printf("  ratio listener/bare   %10.3f\n", bare > 0 ? listened / bare : 0.0);

    MeasureIdleProgram(program);
    return 0;
}
