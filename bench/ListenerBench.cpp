// Listener throughput against a bare loopback server, and the idle cost of
// the running program.
//
//   bench_listener [COMMANDS] [PATH-TO-vortlebox]
//
// First it sends COMMANDS (default 2000) command lines one after the other,
// each on its own connection (connect, line, reply, close), in five rounds
// taking turns, and takes the median rate of each: to a bare server
// doing only accept/read/write/close; to the same server writing, for each
// command, the log records the listener writes for one (one write() per
// record, the same bytes, into a log file); and to CPlayerListener with the
// program's log open at level 4, as in the running program. It prints the
// rates and the listener's ratio to each baseline. Then it measures what
// the history costs the listener: START and STOP commands of one plug-in in
// turn (each START and STOP is a play recorded) to a listener with the
// program's history installed and to one without, taking turns again.
// Then it starts the
// program in a temporary environment, leaves it idle for 30 seconds and
// prints the CPU time it used and its resident memory.

#include "app/Logger.h"
#include "history/PlayHistory.h"
#include "player/PlayerListener.h"
#include "settings/SettingsManager.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
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
// half-close as the listener; with records, it also writes each of them
// with one write() to the log file per command.
class CBareServer {
public:
    explicit CBareServer(std::vector<std::string> records = {}, int logFd = -1)
        : mListen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), mRecords(std::move(records)),
          mLogFd(logFd) {
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
            for (const std::string& record : mRecords)
                if (::write(mLogFd, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
                    std::fprintf(stderr, "log write failed\n");
            ::send(fd.Get(), "OK\n", 3, MSG_NOSIGNAL);
            ::shutdown(fd.Get(), SHUT_WR);
            while (::recv(fd.Get(), buffer, sizeof buffer, 0) > 0) {
            }
        }
    }

    CUniqueFd mListen;
    std::vector<std::string> mRecords;
    int mLogFd;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

double Rate(uint16_t port, int commands, const std::vector<const char*>& lines = {"STOP c=bench\n"}) {
    const auto start = Clock::now();
    for (int i = 0; i < commands; ++i)
        if (!Exchange(port, lines[static_cast<std::size_t>(i) % lines.size()])) {
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

// The records of a stretch of log text: each starts with its header line.
std::vector<std::string> SplitRecords(const std::string& text) {
    static const std::regex header(R"(\d{6} \d\d:\d\d:\d\d - +\d+ - )");
    std::vector<std::size_t> starts;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (std::regex_search(text.begin() + static_cast<long>(pos), text.end(), header,
                              std::regex_constants::match_continuous))
            starts.push_back(pos);
        const std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    std::vector<std::string> records;
    for (std::size_t i = 0; i < starts.size(); ++i)
        records.push_back(text.substr(starts[i], (i + 1 < starts.size() ? starts[i + 1] : text.size()) - starts[i]));
    return records;
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

/// Points HOME and the XDG folders at a new temporary folder; its path, ""
/// when none could be made.
std::string PrivateEnvironment() {
    char pattern[] = "/tmp/vbx-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return std::string();
    const std::string root = pattern;
    for (const char* sub : {"/home", "/config", "/data", "/run", "/tmp"})
        std::filesystem::create_directories(root + sub);
    std::filesystem::permissions(root + "/run", std::filesystem::perms::owner_all);
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
    return root;
}

void MeasureIdleProgram(const std::string& program) {
    const std::string root = PrivateEnvironment();
    if (root.empty())
        return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("VORTLEBOX_LISTENER_PORT", "0", 1);

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

/// A listener on any port, its connections made as the program makes them.
class CRunningListener {
public:
    explicit CRunningListener(CSettingsManager& settings)
        : mListener(0, [&settings](const std::string& id) {
              return std::make_shared<CPlayerConnection>(id, settings, [](const Track&) {});
          }),
          mThread([this] { mListener.Start(); }) {
        while (!mListener.IsListening())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~CRunningListener() {
        mListener.Stop();
        mThread.join();
    }
    uint16_t Port() const { return mListener.GetPort(); }

private:
    CPlayerListener mListener;
    std::thread mThread;
};

// The median of the rates of several rounds: the machine may be shared, and
// a round that another process slowed down says little.
double Median(std::vector<double> rates) {
    std::sort(rates.begin(), rates.end());
    return rates.empty() ? 0.0 : rates[rates.size() / 2];
}

/// Plays START and STOP to a listener with the history recording each play
/// and to one without (the same process, the log closed), in turns.
void MeasureHistoryCost(int commands, int rounds) {
    const std::string root = PrivateEnvironment();
    if (root.empty())
        return;
    CSettingsManager settings;
    settings.Restore();
    CUser user;
    user.name = "bench";
    user.submitPlays = true;
    settings.AddUser(user);
    settings.SetCurrentUser("bench");
    CPlayHistory history(settings);
    history.Start();

    const std::vector<const char*> lines = {"START c=bench&a=Artist&t=Title&b=Album&m=&l=200&p=/music/a.mp3\n",
                                            "STOP c=bench\n"};
    std::vector<double> without, with;
    {
        CRunningListener plain(settings);
        CRunningListener recorded(settings);
        for (int round = 0; round < rounds; ++round) {
            CPlayRecorder::Install(nullptr);
            without.push_back(Rate(plain.Port(), commands, lines));
            CPlayRecorder::Install(&history);
            with.push_back(Rate(recorded.Port(), commands, lines));
        }
        CPlayRecorder::Install(nullptr);
    }
    history.Flush();
    std::int64_t plays = 0;
    if (auto store = CHistoryStore::OpenForReading(history.FilePathOf("bench")))
        plays = store->Count({});
    history.Close();
    std::filesystem::remove_all(root);

    const double withoutRate = Median(without), withRate = Median(with);
    std::printf("START/STOP per second, median of %d rounds of %d connections each:\n", rounds, commands);
    std::printf("  CPlayerListener without the history   %10.0f\n", withoutRate);
    std::printf("  CPlayerListener with the history      %10.0f  (%lld plays recorded)\n", withRate,
                static_cast<long long>(plays));
    std::printf("  ratio with/without                    %10.3f\n", withoutRate > 0 ? withRate / withoutRate : 0.0);
}

} // namespace


int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string program = argc > 2 ? argv[2] : DefaultProgram();
    constexpr int kRounds = 5;

    char folder[] = "/tmp/vbx-bench-log-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string logPath = std::string(folder) + "/vortler.log";
    const std::string baselineLogPath = std::string(folder) + "/baseline.log";

    // The listener writes the program's log, as it does in the program.
    CLogger::Instance().Open(logPath, true);
    CLogger::Instance().SetLevel(4);
    CSettingsManager settings;
    CPlayerListener listener(0, [&settings](const std::string& id) {
        return std::make_shared<CPlayerConnection>(id, settings, [](const Track&) {});
    });
    std::thread thread([&] { listener.Start(); });
    while (!listener.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // What the listener logs for one command (it may still write after its
    // reply, so each side waits a little), the baseline writes too.
    Exchange(listener.GetPort(), "STOP c=bench\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::size_t before = ReadText(logPath).size();
    Exchange(listener.GetPort(), "STOP c=bench\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<std::string> records = SplitRecords(ReadText(logPath).substr(before));
    std::size_t recordBytes = 0;
    for (const std::string& record : records)
        recordBytes += record.size();

    CUniqueFd baselineLog(::open(baselineLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    CBareServer bare;
    CBareServer logging(records, baselineLog.Get());
    Exchange(bare.Port(), "STOP c=warm\n");
    Exchange(logging.Port(), "STOP c=warm\n");

    // The three take turns, so a slow stretch of the machine hits each.
    std::vector<double> bareRates, loggingRates, listenerRates;
    for (int round = 0; round < kRounds; ++round) {
        bareRates.push_back(Rate(bare.Port(), commands));
        loggingRates.push_back(Rate(logging.Port(), commands));
        listenerRates.push_back(Rate(listener.GetPort(), commands));
    }
    listener.Stop();
    thread.join();
    CLogger::Instance().SetLevel(0);
    CLogger::Instance().Close();
    std::filesystem::remove_all(folder);

    const double bareRate = Median(bareRates);
    const double loggingRate = Median(loggingRates);
    const double listenerRate = Median(listenerRates);
    std::printf("commands per second, median of %d rounds of %d sequential connections each:\n", kRounds,
                commands);
    std::printf("  bare loopback server                  %10.0f\n", bareRate);
    std::printf("  bare server writing the log records   %10.0f  (%zu records, %zu bytes per command)\n",
                loggingRate, records.size(), recordBytes);
    std::printf("  CPlayerListener, log at level 4       %10.0f\n", listenerRate);
    std::printf("  ratio listener/bare                   %10.3f\n", bareRate > 0 ? listenerRate / bareRate : 0.0);
    std::printf("  ratio listener/bare writing the log   %10.3f\n",
                loggingRate > 0 ? listenerRate / loggingRate : 0.0);

    MeasureHistoryCost(commands, kRounds);
    MeasureIdleProgram(program);
    return 0;
}
