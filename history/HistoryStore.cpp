#include "history/HistoryStore.h"

#include "history/PlayOutcome.h"
#include "settings/SqliteStatement.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kSchemaVersion = 1;

constexpr const char* kColumns = "id, start, artist, title, album, length, plugin, player, outcome, acked";

/// The search text as a LIKE pattern: "%", "_" and "\" match themselves.
std::string LikePattern(const std::string& text) {
    std::string pattern = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\')
            pattern += '\\';
        pattern += c;
    }
    return pattern + "%";
}

/// The plays the person listened to, and those of them that counted, as
/// SQL conditions on the outcome number.
const std::string kHeard = "outcome NOT IN (" + std::to_string(static_cast<int>(EPlayOutcome::kMirror)) + ", " +
                           std::to_string(static_cast<int>(EPlayOutcome::kIgnoredPlayer)) + ")";
const std::string kCounted = "outcome IN (" + std::to_string(static_cast<int>(EPlayOutcome::kWaiting)) + ", " +
                             std::to_string(static_cast<int>(EPlayOutcome::kSubmitted)) + ")";

} // namespace

CHistoryStore::CHistoryStore(std::string path, sqlite3* db) : mPath(std::move(path)), mDb(db) {}

CHistoryStore::~CHistoryStore() {
    mStatements.clear();
    sqlite3_close(mDb);
}

std::unique_ptr<CHistoryStore> CHistoryStore::OpenForWriting(const std::string& path) {
    // Made private before SQLite sees it: its journal files take the file's
    // mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw CStoreException("cannot open " + path + ": " + std::strerror(errno));
    (void)::fchmod(fd, 0600);
    ::close(fd);
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<CHistoryStore> store(new CHistoryStore(path, db));
    store->Check(rc, "cannot open");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    store->Run("PRAGMA journal_mode=WAL");
    // A crash of the program loses nothing; a crash of the machine at most
    // the last moments.
    store->Run("PRAGMA synchronous=NORMAL");
    CSqliteStatement& version = store->Statement("PRAGMA user_version");
    const int found = version.Step() == SQLITE_ROW ? static_cast<int>(version.ColumnInt(0)) : 0;
    version.Reset();
    if (found > kSchemaVersion)
        throw CStoreException(path + " was written by a later version of the program");
    if (found < kSchemaVersion) {
        store->Begin();
        store->Run("CREATE TABLE IF NOT EXISTS plays ("
                   " id INTEGER PRIMARY KEY,"
                   " start INTEGER NOT NULL,"
                   " artist TEXT NOT NULL,"
                   " title TEXT NOT NULL,"
                   " album TEXT NOT NULL,"
                   " length INTEGER NOT NULL,"
                   " plugin TEXT NOT NULL,"
                   " player TEXT NOT NULL,"
                   " outcome INTEGER NOT NULL,"
                   " acked INTEGER)");
        store->Run("CREATE INDEX IF NOT EXISTS plays_by_start ON plays (start)");
        store->Run("PRAGMA user_version = 1");
        store->Commit();
    }
    return store;
}

std::unique_ptr<CHistoryStore> CHistoryStore::OpenForReading(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return nullptr;
        throw CStoreException("cannot open " + path + ": " + std::strerror(errno));
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<CHistoryStore> store(new CHistoryStore(path, db));
    store->Check(rc, "cannot open");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A file made but never written has no table yet: nothing was played.
    CSqliteStatement& table = store->Statement("SELECT count(*) FROM sqlite_master WHERE name = 'plays'");
    const int step = table.Step();
    store->Check(step == SQLITE_ROW ? SQLITE_OK : step, "cannot read");
    const bool hasTable = table.ColumnInt(0) == 1;
    table.Reset();
    return hasTable ? std::move(store) : nullptr;
}

void CHistoryStore::Check(int rc, const char* what) const {
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW)
        return;
    const std::string detail = mDb != nullptr ? sqlite3_errmsg(mDb) : sqlite3_errstr(rc);
    throw CStoreException(std::string(what) + " " + mPath + ": " + detail);
}

CSqliteStatement& CHistoryStore::Statement(const char* sql) {
    auto found = mStatements.find(sql);
    if (found != mStatements.end())
        return *found->second;
    auto statement = std::make_unique<CSqliteStatement>(mDb, sql);
    Check(statement->PrepareResult(), "cannot use");
    return *mStatements.emplace(sql, std::move(statement)).first->second;
}

void CHistoryStore::Run(const char* sql) {
    CSqliteStatement& statement = Statement(sql);
    const int rc = statement.Step();
    statement.Reset();
    Check(rc, "cannot write");
}

void CHistoryStore::Begin() {
    Run("BEGIN IMMEDIATE");
}

void CHistoryStore::Commit() {
    Run("COMMIT");
}

void CHistoryStore::Rollback() noexcept {
    if (!sqlite3_get_autocommit(mDb))
        sqlite3_exec(mDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::int64_t CHistoryStore::Insert(const CPlay& play) {
    CSqliteStatement& insert =
        Statement("INSERT INTO plays (start, artist, title, album, length, plugin, player, outcome, acked)"
                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, play.start);
    insert.BindText(2, play.artist);
    insert.BindText(3, play.title);
    insert.BindText(4, play.album);
    insert.Bind(5, play.length);
    insert.BindText(6, play.plugin);
    insert.BindText(7, play.player);
    insert.Bind(8, static_cast<int>(play.outcome));
    if (play.acked)
        insert.Bind(9, *play.acked);
    const int rc = insert.Step();
    insert.Reset();
    Check(rc, "cannot write");
    return sqlite3_last_insert_rowid(mDb);
}

void CHistoryStore::ChangeOutcome(std::int64_t id, EPlayOutcome from, EPlayOutcome to) {
    CSqliteStatement& update = Statement("UPDATE plays SET outcome = ? WHERE id = ? AND outcome = ?");
    update.Bind(1, static_cast<int>(to));
    update.Bind(2, id);
    update.Bind(3, static_cast<int>(from));
    const int rc = update.Step();
    update.Reset();
    Check(rc, "cannot write");
}

bool CHistoryStore::ChangeWaiting(std::time_t start, EPlayOutcome to, std::optional<std::time_t> acked) {
    // A play reported submitted after the start-up check took it for one
    // gets the time it was acknowledged.
    CSqliteStatement& update =
        Statement("UPDATE plays SET outcome = ?1, acked = coalesce(?2, acked) WHERE id = ("
                  " SELECT id FROM plays WHERE start = ?3 AND (outcome = ?4 OR (?1 = ?5 AND outcome = ?5"
                  " AND acked IS NULL)) ORDER BY id DESC LIMIT 1)");
    update.Bind(1, static_cast<int>(to));
    if (acked)
        update.Bind(2, *acked);
    update.Bind(3, start);
    update.Bind(4, static_cast<int>(EPlayOutcome::kWaiting));
    update.Bind(5, static_cast<int>(EPlayOutcome::kSubmitted));
    const int rc = update.Step();
    update.Reset();
    Check(rc, "cannot write");
    return sqlite3_changes(mDb) > 0;
}

int CHistoryStore::Reconcile(const std::optional<std::vector<std::time_t>>& queued) {
    const std::set<std::time_t> inQueue = queued ? std::set<std::time_t>(queued->begin(), queued->end())
                                                 : std::set<std::time_t>();
    std::vector<std::pair<std::int64_t, EPlayOutcome>> changes;
    {
        CSqliteStatement& open = Statement("SELECT id, start, outcome FROM plays WHERE outcome IN (?, ?)");
        open.Bind(1, static_cast<int>(EPlayOutcome::kCounting));
        open.Bind(2, static_cast<int>(EPlayOutcome::kWaiting));
        int rc;
        while ((rc = open.Step()) == SQLITE_ROW) {
            const bool queuedNow = inQueue.count(static_cast<std::time_t>(open.ColumnInt(1))) != 0;
            const auto outcome = static_cast<EPlayOutcome>(open.ColumnInt(2));
            if (outcome == EPlayOutcome::kCounting)
                changes.emplace_back(open.ColumnInt(0),
                                     queuedNow ? EPlayOutcome::kWaiting : EPlayOutcome::kStoppedEarly);
            else if (queued && !queuedNow)
                changes.emplace_back(open.ColumnInt(0), EPlayOutcome::kSubmitted);
        }
        open.Reset();
        Check(rc, "cannot read");
    }
    if (changes.empty())
        return 0;
    Begin();
    try {
        CSqliteStatement& update = Statement("UPDATE plays SET outcome = ? WHERE id = ?");
        for (const auto& [id, outcome] : changes) {
            update.Bind(1, static_cast<int>(outcome));
            update.Bind(2, id);
            const int rc = update.Step();
            update.Reset();
            Check(rc, "cannot write");
        }
        Commit();
    } catch (...) {
        Rollback();
        throw;
    }
    return static_cast<int>(changes.size());
}

void CHistoryStore::Clear() {
    // What was deleted is overwritten too, and the file shrinks.
    Run("PRAGMA secure_delete = ON");
    Run("DELETE FROM plays");
    Run("VACUUM");
    Run("PRAGMA secure_delete = OFF");
}

std::string CHistoryStore::Where(const CFilter& filter) {
    std::string where = " WHERE 1";
    if (filter.since)
        where += " AND start >= :since";
    if (filter.until)
        where += " AND start < :until";
    if (!filter.search.empty())
        where += " AND (artist LIKE :text ESCAPE '\\' OR title LIKE :text ESCAPE '\\'"
                 " OR album LIKE :text ESCAPE '\\')";
    return where;
}

void CHistoryStore::BindFilter(CSqliteStatement& statement, const CFilter& filter) {
    if (filter.since)
        statement.BindNamed(":since", *filter.since);
    if (filter.until)
        statement.BindNamed(":until", *filter.until);
    if (!filter.search.empty())
        statement.BindNamedText(":text", LikePattern(filter.search));
}

CHistoryStore::CPlay CHistoryStore::ReadPlay(const CSqliteStatement& statement) {
    CPlay play;
    play.id = statement.ColumnInt(0);
    play.start = static_cast<std::time_t>(statement.ColumnInt(1));
    play.artist = statement.ColumnBytes(2);
    play.title = statement.ColumnBytes(3);
    play.album = statement.ColumnBytes(4);
    play.length = static_cast<std::int32_t>(statement.ColumnInt(5));
    play.plugin = statement.ColumnBytes(6);
    play.player = statement.ColumnBytes(7);
    // An outcome of a later version reads as not counted for a reason this
    // one cannot tell; it is shown, never changed.
    play.outcome = CPlayOutcome::FromNumber(statement.ColumnInt(8)).value_or(EPlayOutcome::kIncomplete);
    if (!statement.ColumnIsNull(9))
        play.acked = static_cast<std::time_t>(statement.ColumnInt(9));
    return play;
}

std::int64_t CHistoryStore::Count(const CFilter& filter) {
    const std::string sql = "SELECT count(*) FROM plays" + Where(filter);
    CSqliteStatement& count = Statement(sql.c_str());
    BindFilter(count, filter);
    const int rc = count.Step();
    const std::int64_t n = rc == SQLITE_ROW ? count.ColumnInt(0) : 0;
    count.Reset();
    Check(rc, "cannot read");
    return n;
}

std::vector<CHistoryStore::CPlay> CHistoryStore::Page(const CFilter& filter, std::int64_t offset, int limit) {
    const std::string sql = std::string("SELECT ") + kColumns + " FROM plays" + Where(filter) +
                            " ORDER BY start DESC, id DESC LIMIT :limit OFFSET :offset";
    CSqliteStatement& page = Statement(sql.c_str());
    BindFilter(page, filter);
    page.BindNamed(":limit", limit);
    page.BindNamed(":offset", offset);
    std::vector<CPlay> plays;
    int rc;
    while ((rc = page.Step()) == SQLITE_ROW)
        plays.push_back(ReadPlay(page));
    page.Reset();
    Check(rc, "cannot read");
    return plays;
}

void CHistoryStore::ForEach(const CFilter& filter, const std::function<void(const CPlay&)>& visit) {
    const std::string sql = std::string("SELECT ") + kColumns + " FROM plays" + Where(filter) +
                            " ORDER BY start, id";
    CSqliteStatement& all = Statement(sql.c_str());
    BindFilter(all, filter);
    int rc;
    try {
        while ((rc = all.Step()) == SQLITE_ROW)
            visit(ReadPlay(all));
    } catch (...) {
        all.Reset();
        throw;
    }
    all.Reset();
    Check(rc, "cannot read");
}

std::map<std::string, CHistoryStore::CBucketCount> CHistoryStore::CountsPer(EBucket bucket, const CFilter& filter) {
    const char* key = bucket == EBucket::kDay    ? "date(start, 'unixepoch', 'localtime')"
                      : bucket == EBucket::kWeek ? "date(start, 'unixepoch', 'localtime', '-6 days', 'weekday 1')"
                                                 : "date(start, 'unixepoch', 'localtime', 'start of month')";
    CFilter period = filter;
    period.search.clear();
    const std::string sql = std::string("SELECT ") + key + " AS bucket, sum(" + kCounted + "), sum(" + kHeard +
                            ") FROM plays" + Where(period) + " GROUP BY bucket";
    CSqliteStatement& counts = Statement(sql.c_str());
    BindFilter(counts, period);
    std::map<std::string, CBucketCount> result;
    int rc;
    while ((rc = counts.Step()) == SQLITE_ROW)
        result[counts.ColumnBytes(0)] = {static_cast<int>(counts.ColumnInt(1)), static_cast<int>(counts.ColumnInt(2))};
    counts.Reset();
    Check(rc, "cannot read");
    return result;
}

std::vector<std::pair<std::string, int>> CHistoryStore::TopArtists(const CFilter& filter, int limit) {
    CFilter period = filter;
    period.search.clear();
    const std::string sql = "SELECT min(artist), count(*) AS plays FROM plays" + Where(period) + " AND " + kHeard +
                            " GROUP BY artist COLLATE NOCASE ORDER BY plays DESC, min(artist) LIMIT :limit";
    CSqliteStatement& top = Statement(sql.c_str());
    BindFilter(top, period);
    top.BindNamed(":limit", limit);
    std::vector<std::pair<std::string, int>> artists;
    int rc;
    while ((rc = top.Step()) == SQLITE_ROW)
        artists.emplace_back(top.ColumnBytes(0), static_cast<int>(top.ColumnInt(1)));
    top.Reset();
    Check(rc, "cannot read");
    return artists;
}
