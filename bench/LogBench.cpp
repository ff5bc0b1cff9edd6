// Log records per second, each written and flushed as the log must, beside a
// baseline of one plain write() of the same bytes to a file opened the same
// way. The ratio of the two is the cost of formatting and locking.
#include "app/Logger.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string TempPath(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + std::to_string(::getpid());
}

const char* const kMessage = "Line received: START c=tst&a=Some Artist&t=Some Title&l=215&p=/music/a.mp3\n";

void BM_BaselinePlainWrite(benchmark::State& state) {
    const std::string path = TempPath("vbx-bench-plain-");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0600);
    char header[256];
    size_t n = CLogger::FormatHeader(header, sizeof header, 1146486896, 1234,
                                     "CPlayerListener::ReceiveLine", 321, 3);
    const std::string record = std::string(header, n) + kMessage + "\n";
    for (auto _ : state) {
        if (::write(fd, record.data(), record.size()) < 0)
            state.SkipWithError("write failed");
    }
    ::close(fd);
    ::unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselinePlainWrite);

void BM_LogRecord(benchmark::State& state) {
    const std::string path = TempPath("vbx-bench-log-");
    CLogger& logger = CLogger::Instance();
    logger.Open(path, true);
    logger.SetLevel(4);
    int port = 33367;
    for (auto _ : state)
        VBX_LOG(3, "Line received: START c=tst&a=Some Artist&t=Some Title&l=215&p=/music/a.mp3" << "\n"
                                                                                          << port);
    logger.SetLevel(0);
    logger.Close();
    ::unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogRecord);

void BM_LogRecordFilteredOut(benchmark::State& state) {
    CLogger& logger = CLogger::Instance();
    logger.SetLevel(0);
    for (auto _ : state)
        VBX_LOG(4, "never built " << state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogRecordFilteredOut);

} // namespace

BENCHMARK_MAIN();
