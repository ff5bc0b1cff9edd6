// Restore and Save of 100 users, each compared with one raw SQLite
// transaction over the same number of rows, measured in the same run. The
// "vs_baseline" counter of a subject is its time per iteration divided by the
// baseline's.

#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sqlite3.h>
#include <stdexcept>
#include <string>

namespace {

constexpr int kUsers = 100;
// Six values per user plus the Users, Vortlebox and proxy values.
constexpr int kRows = kUsers * 6 + 8;

// A private config folder for the run, so no real settings are touched.
class CBenchStore {
public:
    CBenchStore() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vbx-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        mDir = pattern;
        ::setenv("XDG_CONFIG_HOME", (mDir + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (mDir + "/data").c_str(), 1);
        CSettingsManager manager;
        manager.Restore();
        for (int i = 0; i < kUsers; ++i) {
            CUser user;
            user.name = "user" + std::to_string(1000 + i);
            user.passwordHash = "5f4dcc3b5aa765d61d8327deb882cf99";
            user.exclusionDirs = {"/home/" + user.name + "/Podcasts", "/srv/audiobooks"};
            user.colour = i % 5;
            manager.AddUser(user);
        }
        manager.SetCurrentUser("user1050");
        manager.Save();
        CreateBaselineTable();
    }
    ~CBenchStore() {
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }
    std::string BaselineFile() const { return mDir + "/baseline.db"; }

private:
    void CreateBaselineTable() {
        sqlite3* db = nullptr;
        sqlite3_open(BaselineFile().c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE t (k INTEGER NOT NULL, name TEXT NOT NULL, data, PRIMARY KEY (k, name))",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
        RawWrite(BaselineFile());
    }

public:
    // One connection, one transaction writing kRows rows.
    static void RawWrite(const std::string& file) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t (k, name, data) VALUES (?, ?, ?)", -1, &stmt,
                           nullptr);
        for (int i = 0; i < kRows; ++i) {
            sqlite3_bind_int(stmt, 1, i / 6);
            sqlite3_bind_text(stmt, 2, "ExclusionDirs", -1, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 3, "\"/home/user/Podcasts\" \"/srv/audiobooks\" ", -1, SQLITE_STATIC);
            sqlite3_step(stmt);
            sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }

    // One connection, one transaction reading kRows rows.
    static std::int64_t RawRead(const std::string& file) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT k, name, data FROM t LIMIT ?", -1, &stmt, nullptr);
        sqlite3_bind_int(stmt, 1, kRows);
        std::int64_t bytes = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            bytes += sqlite3_column_bytes(stmt, 2);
        sqlite3_finalize(stmt);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return bytes;
    }

private:
    std::string mDir;
};

CBenchStore& Store() {
    static CBenchStore store;
    return store;
}

// Seconds per call of the baseline, measured now.
template <typename F> double TimeBaseline(F&& call) {
    constexpr int kRounds = 20;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i)
        call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRounds;
}

template <typename F> void Subject(benchmark::State& state, F&& body, double baseline) {
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        body();
    double perIteration = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                          static_cast<double>(state.iterations());
    state.counters["baseline_us"] = baseline * 1e6;
    state.counters["vs_baseline"] = perIteration / baseline;
}

void BM_RawReadBaseline(benchmark::State& state) {
    const std::string file = Store().BaselineFile();
    for (auto _ : state)
        benchmark::DoNotOptimize(CBenchStore::RawRead(file));
}

void BM_RawWriteBaseline(benchmark::State& state) {
    const std::string file = Store().BaselineFile();
    for (auto _ : state)
        CBenchStore::RawWrite(file);
}

void BM_Restore100Users(benchmark::State& state) {
    const std::string file = Store().BaselineFile();
    double baseline = TimeBaseline([&] { benchmark::DoNotOptimize(CBenchStore::RawRead(file)); });
    Subject(
        state,
        [] {
            CSettingsManager manager;
            manager.Restore();
            benchmark::DoNotOptimize(manager.GetNumUsers());
        },
        baseline);
}

void BM_Save100Users(benchmark::State& state) {
    const std::string file = Store().BaselineFile();
    CSettingsManager manager;
    manager.Restore();
    double baseline = TimeBaseline([&] { CBenchStore::RawWrite(file); });
    Subject(
        state, [&] { manager.Save(); }, baseline);
}

BENCHMARK(BM_RawReadBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Restore100Users)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawWriteBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Save100Users)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
