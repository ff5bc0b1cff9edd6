#pragma once

#include <cstdint>
#include <sqlite3.h>
#include <string>

/// One prepared SQLite statement, finalised when the object goes. Step()
/// returns the raw result code; callers turn failures into their own errors.
class CSqliteStatement {
public:
    CSqliteStatement(sqlite3* db, const char* sql);
    ~CSqliteStatement();
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    /// The result of preparing; SQLITE_OK when the statement can run.
    int PrepareResult() const noexcept { return mPrepareResult; }

    void Bind(int index, std::int64_t value) noexcept;
    /// Binds the bytes as text (names) or as a blob (value data).
    void BindText(int index, const std::string& value) noexcept;
    void BindBlob(int index, const std::string& value) noexcept;
    /// Binds a named parameter (":name"); one the statement lacks is left.
    void BindNamed(const char* name, std::int64_t value) noexcept;
    void BindNamedText(const char* name, const std::string& value) noexcept;

    /// SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() noexcept;
    void Reset() noexcept;

    std::int64_t ColumnInt(int index) const noexcept;
    /// The column's bytes, whatever their storage class.
    std::string ColumnBytes(int index) const;
    bool ColumnIsNull(int index) const noexcept;

private:
    sqlite3_stmt* mStmt = nullptr;
    int mPrepareResult = SQLITE_OK;
};
