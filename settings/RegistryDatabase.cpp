#include "settings/RegistryDatabase.h"

#include "settings/SqliteStatement.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// Creates one folder level with owner-only access; existing ones are fine.
void MakeFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    std::string parent = path.substr(0, slash);
    struct stat st;
    if (::stat(parent.c_str(), &st) == 0)
        return;
    MakeFolder(parent);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
        int code = errno;
        throw CRegistryDatabase::CStoreError(code,
                                             "cannot create folder " + parent + ": " + std::strerror(code));
    }
}

} // namespace

// BEGIN .. COMMIT, rolled back when left by an exception. Writers take the
// write lock up front (BEGIN IMMEDIATE), so the busy timeout covers every
// conflict; readers see one snapshot.
class CRegistryDatabase::CTransaction {
public:
    enum class EMode { Read, Write };
    explicit CTransaction(CRegistryDatabase& db, EMode mode = EMode::Write) : mDb(db) {
        mDb.Exec(mode == EMode::Write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~CTransaction() {
        if (!mDone)
            sqlite3_exec(mDb.mDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;
    void Commit() {
        mDb.Exec("COMMIT");
        mDone = true;
    }

private:
    CRegistryDatabase& mDb;
    bool mDone = false;
};

CRegistryDatabase::CRegistryDatabase(const std::string& path) : mPath(path) {
    MakeFolder(path);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        int code = errno;
        throw CStoreError(code, "cannot open " + path + ": " + std::strerror(code));
    }
    // The store holds passwords: keep it private even if an older file was not.
    (void)::fchmod(fd, 0600);
    ::close(fd);

    int rc = sqlite3_open_v2(path.c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        int code = ErrnoFor(mDb, rc);
        std::string detail = mDb != nullptr ? sqlite3_errmsg(mDb) : sqlite3_errstr(rc);
        sqlite3_close(mDb);
        mDb = nullptr;
        throw CStoreError(code, "cannot open " + path + ": " + detail);
    }
    sqlite3_extended_result_codes(mDb, 1);
    sqlite3_busy_timeout(mDb, 5000);
    try {
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        CTransaction transaction(*this);
        Exec("CREATE TABLE IF NOT EXISTS keys ("
             " id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " parent INTEGER NOT NULL,"
             " name TEXT NOT NULL COLLATE NOCASE,"
             " UNIQUE (parent, name))");
        Exec("CREATE TABLE IF NOT EXISTS vals ("
             " key INTEGER NOT NULL,"
             " name TEXT NOT NULL COLLATE NOCASE,"
             " type INTEGER NOT NULL,"
             " data,"
             " PRIMARY KEY (key, name))");
        transaction.Commit();
    } catch (...) {
        sqlite3_close(mDb);
        mDb = nullptr;
        throw;
    }
}

CRegistryDatabase::~CRegistryDatabase() {
    Close();
}

int CRegistryDatabase::Close() noexcept {
    std::lock_guard<std::mutex> guard(mMutex);
    if (mDb == nullptr)
        return 0;
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

void CRegistryDatabase::Exec(const char* sql) {
    if (mDb == nullptr)
        throw CStoreError(EBADF, "the settings store is closed (" + mPath + ")");
    int rc = sqlite3_exec(mDb, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        Fail(rc, "cannot use the settings store");
}

void CRegistryDatabase::CheckKey(std::int64_t key) {
    if (key == kRootId)
        return;
    CSqliteStatement stmt(mDb, "SELECT 1 FROM keys WHERE id = ?");
    stmt.Bind(1, key);
    int rc = stmt.Step();
    if (rc == SQLITE_DONE)
        throw CStoreError(ENOENT, "the key has been deleted");
    if (rc != SQLITE_ROW)
        Fail(rc, "cannot read the settings store");
}

std::optional<std::int64_t> CRegistryDatabase::FindChild(std::int64_t parent, const std::string& name) {
    CSqliteStatement stmt(mDb, "SELECT id FROM keys WHERE parent = ? AND name = ?");
    stmt.Bind(1, parent);
    stmt.BindText(2, name);
    int rc = stmt.Step();
    if (rc == SQLITE_ROW)
        return stmt.ColumnInt(0);
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot read the settings store");
    return std::nullopt;
}

std::int64_t CRegistryDatabase::OpenKey(std::int64_t parent, const std::vector<std::string>& segments,
                                        bool create) {
    std::lock_guard<std::mutex> guard(mMutex);
    CTransaction transaction(*this, create ? CTransaction::EMode::Write : CTransaction::EMode::Read);
    CheckKey(parent);
    std::int64_t key = parent;
    for (const std::string& segment : segments) {
        std::optional<std::int64_t> child = FindChild(key, segment);
        if (!child) {
            if (!create)
                throw CStoreError(ENOENT, "");
            CSqliteStatement insert(mDb, "INSERT INTO keys (parent, name) VALUES (?, ?)");
            insert.Bind(1, key);
            insert.BindText(2, segment);
            int rc = insert.Step();
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
    CSqliteStatement subs(
        mDb, "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?");
    subs.Bind(1, key);
    int rc = subs.Step();
    if (rc != SQLITE_ROW)
        Fail(rc, "cannot read the settings store");
    counts.subKeys = static_cast<std::uint32_t>(subs.ColumnInt(0));
    counts.maxSubKeyLen = static_cast<std::uint32_t>(subs.ColumnInt(1));
    CSqliteStatement vals(mDb,
                          "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0),"
                          " ifnull(max(CASE type WHEN 1 THEN length(CAST(data AS BLOB)) + 1 ELSE 4 END), 0)"
                          " FROM vals WHERE key = ?");
    vals.Bind(1, key);
    rc = vals.Step();
    if (rc != SQLITE_ROW)
        Fail(rc, "cannot read the settings store");
    counts.values = static_cast<std::uint32_t>(vals.ColumnInt(0));
    counts.maxValueNameLen = static_cast<std::uint32_t>(vals.ColumnInt(1));
    counts.maxValueLen = static_cast<std::uint32_t>(vals.ColumnInt(2));
    transaction.Commit();
    return counts;
}

std::optional<CRegistryValue> CRegistryDatabase::FindValue(std::int64_t key, const std::string& name) {
    CSqliteStatement stmt(mDb, "SELECT name, type, data FROM vals WHERE key = ? AND name = ?");
    stmt.Bind(1, key);
    stmt.BindText(2, name);
    int rc = stmt.Step();
    if (rc == SQLITE_DONE)
        return std::nullopt;
    if (rc != SQLITE_ROW)
        Fail(rc, "cannot read the settings store");
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

void CRegistryDatabase::StoreValue(std::int64_t key, const CRegistryValue& value) {
    // An existing value keeps the spelling of its name, as the registry does.
    CSqliteStatement stmt(
        mDb, "INSERT INTO vals (key, name, type, data) VALUES (?, ?, ?, ?)"
             " ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    stmt.Bind(1, key);
    stmt.BindText(2, value.name);
    stmt.Bind(3, static_cast<int>(value.type));
    if (value.type == CRegistryValue::EType::Number)
        stmt.Bind(4, value.number);
    else
        stmt.BindBlob(4, value.text);
    int rc = stmt.Step();
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
    CTransaction transaction(*this, CTransaction::EMode::Read);
    CheckKey(key);
    std::optional<CRegistryValue> value = FindValue(key, name);
    transaction.Commit();
    return value;
}

CRegistryValue CRegistryDatabase::GetOrCreate(std::int64_t key, const CRegistryValue& fallback) {
    std::lock_guard<std::mutex> guard(mMutex);
    {
        // Most values exist: look without taking the write lock first.
        CTransaction reading(*this, CTransaction::EMode::Read);
        CheckKey(key);
        std::optional<CRegistryValue> value = FindValue(key, fallback.name);
        reading.Commit();
        if (value)
            return *value;
    }
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
    CTransaction transaction(*this, CTransaction::EMode::Read);
    CheckKey(key);
    std::vector<std::string> names;
    CSqliteStatement stmt(mDb, "SELECT name FROM keys WHERE parent = ? ORDER BY name, id");
    stmt.Bind(1, key);
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW)
        names.push_back(stmt.ColumnBytes(0));
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot read the settings store");
    transaction.Commit();
    return names;
}

std::vector<CRegistryValue> CRegistryDatabase::ListValues(std::int64_t key) {
    std::lock_guard<std::mutex> guard(mMutex);
    CTransaction transaction(*this, CTransaction::EMode::Read);
    CheckKey(key);
    std::vector<CRegistryValue> values;
    CSqliteStatement stmt(mDb, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name");
    stmt.Bind(1, key);
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW) {
        CRegistryValue value;
        value.name = stmt.ColumnBytes(0);
        if (stmt.ColumnInt(1) == static_cast<int>(CRegistryValue::EType::Number)) {
            value.type = CRegistryValue::EType::Number;
            value.number = static_cast<std::uint32_t>(stmt.ColumnInt(2));
        } else {
            value.text = stmt.ColumnBytes(2);
        }
        values.push_back(std::move(value));
    }
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot read the settings store");
    transaction.Commit();
    return values;
}

void CRegistryDatabase::DeleteValue(std::int64_t key, const std::string& name) {
    std::lock_guard<std::mutex> guard(mMutex);
    CTransaction transaction(*this);
    CheckKey(key);
    CSqliteStatement stmt(mDb, "DELETE FROM vals WHERE key = ? AND name = ?");
    stmt.Bind(1, key);
    stmt.BindText(2, name);
    int rc = stmt.Step();
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot write the settings store");
    if (sqlite3_changes(mDb) == 0)
        throw CStoreError(ENOENT, "");
    transaction.Commit();
}

void CRegistryDatabase::DeleteKey(std::int64_t parent, const std::vector<std::string>& segments) {
    std::lock_guard<std::mutex> guard(mMutex);
    if (segments.empty())
        throw CStoreError(EINVAL, "no key named");
    CTransaction transaction(*this);
    CheckKey(parent);
    std::int64_t key = parent;
    for (const std::string& segment : segments) {
        std::optional<std::int64_t> child = FindChild(key, segment);
        if (!child)
            throw CStoreError(ENOENT, "");
        key = *child;
    }
    static const char* const kStatements[] = {"WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL SELECT keys.id "
                                              "FROM keys JOIN tree ON keys.parent = tree.id)"
                                              " DELETE FROM vals WHERE key IN (SELECT id FROM tree)",
                                              "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL SELECT keys.id "
                                              "FROM keys JOIN tree ON keys.parent = tree.id)"
                                              " DELETE FROM keys WHERE id IN (SELECT id FROM tree)"};
    for (const char* sql : kStatements) {
        CSqliteStatement stmt(mDb, sql);
        stmt.Bind(1, key);
        int rc = stmt.Step();
        if (rc != SQLITE_DONE)
            Fail(rc, "cannot delete the key");
    }
    transaction.Commit();
}
