#include "settings/SqliteStatement.h"

CSqliteStatement::CSqliteStatement(sqlite3* db, const char* sql) {
    mPrepareResult = sqlite3_prepare_v2(db, sql, -1, &mStmt, nullptr);
}

CSqliteStatement::~CSqliteStatement() {
    sqlite3_finalize(mStmt);
}

void CSqliteStatement::Bind(int index, std::int64_t value) noexcept {
    sqlite3_bind_int64(mStmt, index, value);
}

void CSqliteStatement::BindText(int index, const std::string& value) noexcept {
    sqlite3_bind_text(mStmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

void CSqliteStatement::BindBlob(int index, const std::string& value) noexcept {
    sqlite3_bind_blob(mStmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

void CSqliteStatement::BindNamed(const char* name, std::int64_t value) noexcept {
    if (const int index = sqlite3_bind_parameter_index(mStmt, name); index > 0)
        Bind(index, value);
}

void CSqliteStatement::BindNamedText(const char* name, const std::string& value) noexcept {
    if (const int index = sqlite3_bind_parameter_index(mStmt, name); index > 0)
        BindText(index, value);
}

int CSqliteStatement::Step() noexcept {
    if (mStmt == nullptr)
        return mPrepareResult;
    return sqlite3_step(mStmt);
}

void CSqliteStatement::Reset() noexcept {
    sqlite3_reset(mStmt);
    sqlite3_clear_bindings(mStmt);
}

std::int64_t CSqliteStatement::ColumnInt(int index) const noexcept {
    return sqlite3_column_int64(mStmt, index);
}

std::string CSqliteStatement::ColumnBytes(int index) const {
    const void* data = sqlite3_column_blob(mStmt, index);
    int size = sqlite3_column_bytes(mStmt, index);
    if (data == nullptr || size <= 0)
        return std::string();
    return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

bool CSqliteStatement::ColumnIsNull(int index) const noexcept {
    return sqlite3_column_type(mStmt, index) == SQLITE_NULL;
}
