// The submission path, each beside a baseline measured in the same run:
//
// - addSong with 100, 1,000 and 10,000 entries pending (no cache files),
//   beside appending the same entry bytes to a string of the same size: the
//   duplicate check must not make addSong grow with the number pending;
// - Submit of the web submitter with and without keeping the two cache files
//   in step, the difference being the cost of the files (temporary file,
//   fsync, rename), beside one plain write+fsync of the same bytes;
// - building and posting the body of 10,000 entries through the client to a
//   local server, beside a bare POST of a body of the same size polled the
//   same way.
#include "player/Track.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/Vortler.h"
#include "submit/WebSubmitter.h"
#include "submit/jnet/JNetHttpPost.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;

constexpr std::time_t kPlayTime = 1146486896;

/// A client whose exchanges the benchmark starts and waits for.
class CBenchClient : public Vortler {
public:
    ~CBenchClient() override { stopThreads(); }
    using Vortler::submit;
    void statusUpdate(int code, const std::string& text) override {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mLast = code;
            ++mReports;
        }
        mChanged.notify_all();
        Vortler::statusUpdate(code, text);
    }
    /// Waits until a report of one of the codes arrives after `after` reports.
    int WaitFor(std::initializer_list<int> codes, int after) {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, 30s, [&] {
            return mReports > after && std::find(codes.begin(), codes.end(), mLast) != codes.end();
        });
        return mLast;
    }
    int Reports() {
        std::lock_guard<std::mutex> guard(mMutex);
        return mReports;
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    int mLast = -1;
    int mReports = 0;
};

/// The pending data of n entries, as addSong builds it.
std::string PendingOf(int n) {
    CBenchClient client;
    for (int i = 0; i < n; ++i)
        client.addSong("Some Artist", "Some Title " + std::to_string(i), "Some Album", "", 215,
                       kPlayTime + 600 * i);
    return client.pendingData();
}

const std::string kEntry =
    "&a[99999]=Some+Artist&b[99999]=Some+Album&t[99999]=Some+Title+99999&i[99999]=2006-05-01+12%3a34%3a56"
    "&l[99999]=215&m[99999]=";

void BM_AppendEntryBaseline(benchmark::State& state) {
    const std::string base = PendingOf(static_cast<int>(state.range(0)));
    std::string data = base;
    int added = 0;
    for (auto _ : state) {
        data += kEntry;
        benchmark::DoNotOptimize(data.data());
        if (++added == 1000) {
            state.PauseTiming();
            data = base;
            added = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendEntryBaseline)->Arg(100)->Arg(1000)->Arg(10000);

void BM_AddSong(benchmark::State& state) {
    const int pending = static_cast<int>(state.range(0));
    const std::string base = PendingOf(pending);
    CBenchClient client; // no user: nothing is sent
    client.setCache(base, pending);
    int added = 0;
    for (auto _ : state) {
        int r = client.addSong("Some Artist", "Some Title", "Some Album", "", 215, kPlayTime - 1 - added);
        benchmark::DoNotOptimize(r);
        if (++added == 1000) {
            state.PauseTiming();
            client.setCache(base, pending);
            added = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSong)->Arg(100)->Arg(1000)->Arg(10000);

/// Submit of the web submitter for a user without password (no exchange),
/// with range(1) choosing whether the cache files are kept in step (Submit
/// then hands the change to the writer thread; the disk is not waited for).
void BM_Submit(benchmark::State& state) {
    const int pending = static_cast<int>(state.range(0));
    const std::string base = PendingOf(pending);
    CSettingsManager settings;
    settings.Restore();
    CWebSubmitter submitter(settings);
    submitter.SetKeepCacheInStep(state.range(1) != 0);
    submitter.init("bench", "", "vbx", "0.1", true);
    submitter.setCache(base, pending);
    Track track;
    track.Set("Some Artist", "Some Title", "Some Album", "215", "/music/a.mp3", "");
    int added = 0;
    for (auto _ : state) {
        track.SetStartTime(static_cast<std::int32_t>(kPlayTime - 1 - added));
        submitter.Submit(track);
        if (++added == 200) {
            state.PauseTiming();
            submitter.setCache(base, pending);
            added = 0;
            state.ResumeTiming();
        }
    }
    submitter.term();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Submit)->ArgsProduct({{100, 1000, 10000}, {0, 1}})->ArgNames({"pending", "files"});

/// One plain write and fsync of the bytes the pending file holds.
void BM_WriteFsyncBaseline(benchmark::State& state) {
    const std::string bytes = "10000 " + PendingOf(static_cast<int>(state.range(0)));
    const std::string path = CTempDir().Path() + ".bench";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            ::fsync(fd) != 0)
            state.SkipWithError("write failed");
        ::close(fd);
    }
    ::unlink(path.c_str());
}
BENCHMARK(BM_WriteFsyncBaseline)->Arg(100)->Arg(1000)->Arg(10000);

CScriptedServer::Script OkReply() {
    return {Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\n")};
}

void BM_PostTenThousandThroughClient(benchmark::State& state) {
    const std::string data = PendingOf(10000);
    CScriptedServer posts({OkReply()});
    CScriptedServer handshakes({{Step::ReadRequest(), Step::Send("HTTP/1.0 200 OK\r\n\r\nUPTODATE\nchal\n" +
                                                                 posts.Url("/submit") + "\n")}});
    {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", true);
        CRegistryUtils::WriteString(key, "SubmitHost", handshakes.HostPort());
    }
    CBenchClient client;
    client.setRetryBaseDelay(30min);
    client.init("bench", md5Hex("pw"), "vbx", "0.1", true);
    if (client.WaitFor({kVortleHandshakeOk, kVortleHandshakeFailed}, 0) != kVortleHandshakeOk) {
        state.SkipWithError("no handshake");
        return;
    }
    for (auto _ : state) {
        client.setCache(data, 10000);
        const int before = client.Reports();
        client.submit();
        if (client.WaitFor({kVortleSubmitOk, kVortleSubmitFailed, kVortleSubmitInvalid}, before) !=
            kVortleSubmitOk)
            state.SkipWithError("submission failed");
    }
    client.term();
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_PostTenThousandThroughClient)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

/// A POST of the same size, polled every 100 ms as the client polls.
void BM_BarePostBaseline(benchmark::State& state) {
    const std::string body = "u=bench&s=" + md5Hex("x") + PendingOf(10000);
    CScriptedServer posts({OkReply()});
    for (auto _ : state) {
        JNetHttpPost post(nullptr, 16384, "");
        post.addHeader("Accept: */*");
        post.setBody(body);
        post.connect(posts.Url("/submit"), 0);
        int r;
        while ((r = post.run()) == 0)
            std::this_thread::sleep_for(100ms);
        if (r < 0)
            state.SkipWithError("post failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_BarePostBaseline)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // The settings store and the cache files live in a temporary folder.
    CTestEnvironment environment;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
