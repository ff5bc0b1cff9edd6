#include "settings/RegistryDatabase.h"

#include "app/UserFolders.h"
#include "settings/SqliteStatement.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How long a statement waits for another process holding the store.
constexpr std::chrono::milliseconds kBusyTimeout{5000};

// An errno-like number for an SQLite result, so the store's messages carry
// the same kind of code as every other system error of the program.
int ErrnoFor(sqlite3* db, int rc) {
    int system = db != nullptr ? sqlite3_system_errno(db) : 0;
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return EBUSY;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY:
        return EACCES;
    case SQLITE_NOMEM:
        return ENOMEM;
    case SQLITE_FULL:
        return ENOSPC;
    case SQLITE_TOOBIG:
        return E2BIG;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
        return EINVAL;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
        return system != 0 ? system : EIO;
    default:
        // Damaged files (SQLITE_CORRUPT, SQLITE_NOTADB) and the rest.
        return EIO;
    }
}

// Creates the folder of the store file, owner only; existing ones are fine.
void MakeFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    std::string parent = path.substr(0, slash);
    if (int code = CUserFolders::CreatePrivateFolder(parent); code != 0)
        throw CRegistryDatabase::CStoreError(code,
                                             "cannot create folder " + parent + ": " + std::strerror(code));
}

} // namespace

/// A prepared statement for one use: reset when the use ends, so that it
/// holds no snapshot of the store afterwards.
class CRegistryDatabase::CStatementUse {
public:
    CStatementUse(CRegistryDatabase& db, const char* sql) : mStmt(db.Statement(sql)) {}
    ~CStatementUse() { mStmt.Reset(); }
    CStatementUse(const CStatementUse&) = delete;
    CStatementUse& operator=(const CStatementUse&) = delete;
    CSqliteStatement* operator->() noexcept { return &mStmt; }
    CSqliteStatement& operator*() noexcept { return mStmt; }

private:
    CSqliteStatement& mStmt;
};

// BEGIN .. COMMIT, rolled back when left by an exception. Writers take the
// write lock up front (BEGIN IMMEDIATE), so the busy timeout covers every
// conflict; readers see one snapshot and take no write lock.
class CRegistryDatabase::CTransaction {
public:
    enum class EMode { Read, Write };
    explicit CTransaction(CRegistryDatabase& db, EMode mode = EMode::Write) : mDb(db) {
        mDb.Run(mode == EMode::Write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~CTransaction() {
        if (!mDone) {
            CSqliteStatement& rollback = mDb.Statement("ROLLBACK");
            rollback.Step();
            rollback.Reset();
        }
    }
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;
    void Commit() {
        mDb.Run("COMMIT");
        mDone = true;
    }

private:
    CRegistryDatabase& mDb;
    bool mDone = false;
};

CRegistryDatabase::CRegistryDatabase(const std::string& path) : mPath(path), mOpenedBy(::getpid()) {
    MakeFolder(path);
    int flags = SQLITE_OPEN_READWRITE;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A store this process may only read still answers every read.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        flags = SQLITE_OPEN_READONLY;
    }
    if (fd < 0) {
        int code = errno;
        throw CStoreError(code, "cannot open " + path + ": " + std::strerror(code));
    }
    // The store holds passwords: keep it private even if an older file was not.
    if (flags == SQLITE_OPEN_READWRITE)
        (void)::fchmod(fd, 0600);
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        mDevice = st.st_dev;
        mInode = st.st_ino;
    }
    ::close(fd);

    // Every use of the connection holds mMutex.
    int rc = sqlite3_open_v2(path.c_str(), &mDb, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        int code = ErrnoFor(mDb, rc);
        std::string detail = mDb != nullptr ? sqlite3_errmsg(mDb) : sqlite3_errstr(rc);
        sqlite3_close(mDb);
        mDb = nullptr;
        throw CStoreError(code, "cannot open " + path + ": " + detail);
    }
    sqlite3_extended_result_codes(mDb, 1);
    sqlite3_busy_timeout(mDb, static_cast<int>(kBusyTimeout.count()));
    try {
        if (flags == SQLITE_OPEN_READWRITE) {
            UseWriteAheadLog();
            Run("PRAGMA synchronous=NORMAL");
        }
        CreateTables();
    } catch (...) {
        mStatements.clear();
        sqlite3_close(mDb);
        mDb = nullptr;
        throw;
    }
}

CRegistryDatabase::~CRegistryDatabase() {
    Close();
}

bool CRegistryDatabase::IsCurrent() const noexcept {
    struct stat st {};
    return OpenedByThisProcess() && ::stat(mPath.c_str(), &st) == 0 && st.st_dev == mDevice &&
           st.st_ino == mInode;
}

bool CRegistryDatabase::OpenedByThisProcess() const noexcept {
    return mOpenedBy == ::getpid();
}

int CRegistryDatabase::Close() noexcept {
    std::lock_guard<std::mutex> guard(mMutex);
    if (mDb == nullptr)
        return 0;
    mStatements.clear();
    int rc = sqlite3_close(mDb);
    if (rc != SQLITE_OK)
        return ErrnoFor(mDb, rc);
    mDb = nullptr;
    return 0;
}

void CRegistryDatabase::Fail(int rc, const char* what) const {
    std::string detail =
        std::string(what) + ": " + (mDb != nullptr ? sqlite3_errmsg(mDb) : sqlite3_errstr(rc));
    throw CStoreError(ErrnoFor(mDb, rc), detail + " (" + mPath + ")");
}

CSqliteStatement& CRegistryDatabase::Statement(const char* sql) {
    if (mDb == nullptr)
        throw CStoreError(EBADF, "the settings store is closed (" + mPath + ")");
    auto found = mStatements.find(sql);
    if (found != mStatements.end())
        return *found->second;
    auto stmt = std::make_unique<CSqliteStatement>(mDb, sql);
    if (stmt->PrepareResult() != SQLITE_OK)
        Fail(stmt->PrepareResult(), "cannot use the settings store");
    return *mStatements.emplace(sql, std::move(stmt)).first->second;
}

void CRegistryDatabase::Run(const char* sql) {
    CStatementUse stmt(*this, sql);
    int rc = stmt->Step();
    // A pragma answers with a row.
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        Fail(rc, "cannot use the settings store");
}

void CRegistryDatabase::UseWriteAheadLog() {
    const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
    for (;;) {
        CStatementUse stmt(*this, "PRAGMA journal_mode=WAL");
        int rc = stmt->Step();
        if (rc == SQLITE_DONE || rc == SQLITE_ROW)
            return;
        bool busy = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
        if (!busy || std::chrono::steady_clock::now() >= deadline)
            Fail(rc, "cannot use the settings store");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void CRegistryDatabase::CreateTables() {
    {
        CStatementUse tables(*this, "SELECT count(*) FROM sqlite_master WHERE type = 'table'"
                                    " AND name IN ('keys', 'vals')");
        int rc = tables->Step();
        if (rc != SQLITE_ROW)
            Fail(rc, "cannot read the settings store");
        if (tables->ColumnInt(0) == 2)
            return;
    }
    CTransaction transaction(*this);
    Run("CREATE TABLE IF NOT EXISTS keys ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " parent INTEGER NOT NULL,"
        " name TEXT NOT NULL COLLATE NOCASE,"
        " UNIQUE (parent, name))");
    Run("CREATE TABLE IF NOT EXISTS vals ("
        " key INTEGER NOT NULL,"
        " name TEXT NOT NULL COLLATE NOCASE,"
        " type INTEGER NOT NULL,"
        " data,"
        " PRIMARY KEY (key, name))");
    transaction.Commit();
}

void CRegistryDatabase::CheckKey(std::int64_t key) {
    if (key == kRootId)
        return;
    CStatementUse stmt(*this, "SELECT 1 FROM keys WHERE id = ?");
    stmt->Bind(1, key);
    int rc = stmt->Step();
    if (rc == SQLITE_DONE)
        throw CStoreError(ENOENT, "the key has been deleted");
    if (rc != SQLITE_ROW)
        Fail(rc, "cannot read the settings store");
}

std::optional<std::int64_t> CRegistryDatabase::FindChild(std::int64_t parent, const std::string& name) {
    CStatementUse stmt(*this, "SELECT id FROM keys WHERE parent = ? AND name = ?");
    stmt->Bind(1, parent);
    stmt->BindText(2, name);
    int rc = stmt->Step();
    if (rc == SQLITE_ROW)
        return stmt->ColumnInt(0);
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot read the settings store");
    return std::nullopt;
}

std::optional<std::int64_t> CRegistryDatabase::FindPath(std::int64_t parent,
                                                        const std::vector<std::string>& segments) {
    // A key's subkeys go with it, so a child found implies its parent.
    if (segments.empty())
        CheckKey(parent);
    std::int64_t key = parent;
    for (const std::string& segment : segments) {
        std::optional<std::int64_t> child = FindChild(key, segment);
        if (!child)
            return std::nullopt;
        key = *child;
    }
    return key;
}

std::int64_t CRegistryDatabase::OpenKey(std::int64_t parent, const std::vector<std::string>& segments,
                                        bool create) {
    std::lock_guard<std::mutex> guard(mMutex);
    {
        // Most keys exist: look without taking the write lock first. One
        // statement is a read transaction of its own.
        std::optional<CTransaction> reading;
        if (segments.size() > 1)
            reading.emplace(*this, CTransaction::EMode::Read);
        std::optional<std::int64_t> key = FindPath(parent, segments);
        if (reading)
            reading->Commit();
        if (key)
            return *key;
        if (!create)
            throw CStoreError(ENOENT, "");
    }
    CTransaction transaction(*this);
    CheckKey(parent);
    std::int64_t key = parent;
    for (const std::string& segment : segments) {
        std::optional<std::int64_t> child = FindChild(key, segment);
        if (!child) {
            CStatementUse insert(*this, "INSERT INTO keys (parent, name) VALUES (?, ?)");
            insert->Bind(1, key);
            insert->BindText(2, segment);
            int rc = insert->Step();
            if (rc != SQLITE_DONE)
                Fail(rc, "cannot create the key");
            child = sqlite3_last_insert_rowid(mDb);
        }
        key = *child;
    }
    transaction.Commit();
    return key;
}

CRegistryDatabase::CCounts CRegistryDatabase::QueryInfo(std::int64_t key) {
    std::lock_guard<std::mutex> guard(mMutex);
    CTransaction transaction(*this, CTransaction::EMode::Read);
    CheckKey(key);
    CCounts counts;
    {
        CStatementUse subs(
            *this, "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?");
        subs->Bind(1, key);
        int rc = subs->Step();
        if (rc != SQLITE_ROW)
            Fail(rc, "cannot read the settings store");
        counts.subKeys = static_cast<std::uint32_t>(subs->ColumnInt(0));
        counts.maxSubKeyLen = static_cast<std::uint32_t>(subs->ColumnInt(1));
    }
    {
        CStatementUse vals(*this,
                           "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0),"
                           " ifnull(max(CASE type WHEN 1 THEN length(CAST(data AS BLOB)) + 1 ELSE 4 END), 0)"
                           " FROM vals WHERE key = ?");
        vals->Bind(1, key);
        int rc = vals->Step();
        if (rc != SQLITE_ROW)
            Fail(rc, "cannot read the settings store");
        counts.values = static_cast<std::uint32_t>(vals->ColumnInt(0));
        counts.maxValueNameLen = static_cast<std::uint32_t>(vals->ColumnInt(1));
        counts.maxValueLen = static_cast<std::uint32_t>(vals->ColumnInt(2));
    }
    transaction.Commit();
    return counts;
}

namespace {

// A value from the columns name, type, data of a row.
CRegistryValue ValueOfRow(const CSqliteStatement& stmt) {
    CRegistryValue value;
    value.name = stmt.ColumnBytes(0);
    if (stmt.ColumnInt(1) == static_cast<int>(CRegistryValue::EType::Number)) {
        value.type = CRegistryValue::EType::Number;
        value.number = static_cast<std::uint32_t>(stmt.ColumnInt(2));
    } else {
        value.type = CRegistryValue::EType::String;
        value.text = stmt.ColumnBytes(2);
    }
    return value;
}

} // namespace

std::optional<CRegistryValue> CRegistryDatabase::FindValue(std::int64_t key, const std::string& name) {
    CStatementUse stmt(*this, "SELECT name, type, data FROM vals WHERE key = ? AND name = ?");
    stmt->Bind(1, key);
    stmt->BindText(2, name);
    int rc = stmt->Step();
    if (rc == SQLITE_DONE)
        return std::nullopt;
    if (rc != SQLITE_ROW)
        Fail(rc, "cannot read the settings store");
    return ValueOfRow(*stmt);
}

void CRegistryDatabase::StoreValue(std::int64_t key, const CRegistryValue& value) {
    // An existing value keeps the spelling of its name, as the registry does.
    CStatementUse stmt(*this, "INSERT INTO vals (key, name, type, data) VALUES (?, ?, ?, ?)"
                              " ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    stmt->Bind(1, key);
    stmt->BindText(2, value.name);
    stmt->Bind(3, static_cast<int>(value.type));
    if (value.type == CRegistryValue::EType::Number)
        stmt->Bind(4, value.number);
    else
        stmt->BindBlob(4, value.text);
    int rc = stmt->Step();
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot write the settings store");
}

void CRegistryDatabase::SetValue(std::int64_t key, const CRegistryValue& value) {
    std::lock_guard<std::mutex> guard(mMutex);
    CTransaction transaction(*this);
    CheckKey(key);
    StoreValue(key, value);
    transaction.Commit();
}

std::optional<CRegistryValue> CRegistryDatabase::GetValue(std::int64_t key, const std::string& name) {
    std::lock_guard<std::mutex> guard(mMutex);
    // One statement is a read transaction of its own. A value found implies
    // its key; without one, the key may be gone.
    std::optional<CRegistryValue> value = FindValue(key, name);
    if (!value)
        CheckKey(key);
    return value;
}

CRegistryValue CRegistryDatabase::GetOrCreate(std::int64_t key, const CRegistryValue& fallback) {
    std::lock_guard<std::mutex> guard(mMutex);
    // Most values exist: look without taking the write lock first (one
    // statement is a read transaction of its own).
    if (std::optional<CRegistryValue> value = FindValue(key, fallback.name))
        return *value;
    CTransaction transaction(*this);
    CheckKey(key);
    std::optional<CRegistryValue> value = FindValue(key, fallback.name);
    if (!value) {
        StoreValue(key, fallback);
        value = fallback;
    }
    transaction.Commit();
    return *value;
}

std::vector<std::string> CRegistryDatabase::ListSubkeys(std::int64_t key) {
    std::lock_guard<std::mutex> guard(mMutex);
    std::vector<std::string> names;
    {
        // One statement: a read transaction of its own.
        CStatementUse stmt(*this, "SELECT name FROM keys WHERE parent = ? ORDER BY name, id");
        stmt->Bind(1, key);
        int rc;
        while ((rc = stmt->Step()) == SQLITE_ROW)
            names.push_back(stmt->ColumnBytes(0));
        if (rc != SQLITE_DONE)
            Fail(rc, "cannot read the settings store");
    }
    // Subkeys imply their key; without any, the key may be gone.
    if (names.empty())
        CheckKey(key);
    return names;
}

std::vector<CRegistryValue> CRegistryDatabase::ListValues(std::int64_t key) {
    std::lock_guard<std::mutex> guard(mMutex);
    std::vector<CRegistryValue> values;
    {
        CStatementUse stmt(*this, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name");
        stmt->Bind(1, key);
        int rc;
        while ((rc = stmt->Step()) == SQLITE_ROW)
            values.push_back(ValueOfRow(*stmt));
        if (rc != SQLITE_DONE)
            Fail(rc, "cannot read the settings store");
    }
    if (values.empty())
        CheckKey(key);
    return values;
}

void CRegistryDatabase::DeleteValue(std::int64_t key, const std::string& name) {
    std::lock_guard<std::mutex> guard(mMutex);
    CTransaction transaction(*this);
    CheckKey(key);
    {
        CStatementUse stmt(*this, "DELETE FROM vals WHERE key = ? AND name = ?");
        stmt->Bind(1, key);
        stmt->BindText(2, name);
        int rc = stmt->Step();
        if (rc != SQLITE_DONE)
            Fail(rc, "cannot write the settings store");
    }
    if (sqlite3_changes(mDb) == 0)
        throw CStoreError(ENOENT, "");
    transaction.Commit();
}

void CRegistryDatabase::DeleteKey(std::int64_t parent, const std::vector<std::string>& segments) {
    std::lock_guard<std::mutex> guard(mMutex);
    if (segments.empty())
        throw CStoreError(EINVAL, "no key named");
    CTransaction transaction(*this);
    std::optional<std::int64_t> key = FindPath(parent, segments);
    if (!key)
        throw CStoreError(ENOENT, "");
    static const char* const kStatements[] = {"WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL SELECT keys.id "
                                              "FROM keys JOIN tree ON keys.parent = tree.id)"
                                              " DELETE FROM vals WHERE key IN (SELECT id FROM tree)",
                                              "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL SELECT keys.id "
                                              "FROM keys JOIN tree ON keys.parent = tree.id)"
                                              " DELETE FROM keys WHERE id IN (SELECT id FROM tree)"};
    for (const char* sql : kStatements) {
        CStatementUse stmt(*this, sql);
        stmt->Bind(1, *key);
        int rc = stmt->Step();
        if (rc != SQLITE_DONE)
            Fail(rc, "cannot delete the key");
    }
    transaction.Commit();
}
