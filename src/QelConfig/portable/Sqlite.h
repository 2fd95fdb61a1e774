// File: Sqlite.h
//
// Move-only owners of an SQLite connection and of a prepared statement, and a scope that resets
// a cached statement when a call is done with it. Nothing here interprets result codes; that
// happens in one place, Hive::Fail().
#pragma once

#include <sqlite3.h>

#include <string_view>
#include <utility>

namespace qelplatform {

class SqliteDb {
public:
    SqliteDb() noexcept = default;
    explicit SqliteDb(sqlite3* db) noexcept : m_db(db) {}
    ~SqliteDb() { Close(); }
    SqliteDb(SqliteDb&& other) noexcept : m_db(std::exchange(other.m_db, nullptr)) {}
    SqliteDb& operator=(SqliteDb&& other) noexcept {
        if (this != &other) {
            Close();
            m_db = std::exchange(other.m_db, nullptr);
        }
        return *this;
    }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    sqlite3* Get() const noexcept { return m_db; }
    explicit operator bool() const noexcept { return m_db != nullptr; }
    void Close() noexcept {
        // close_v2 defers the close until any unfinalized statement is gone.
        if (m_db != nullptr) sqlite3_close_v2(std::exchange(m_db, nullptr));
    }
    // Forgets the connection without closing it: for a connection inherited through fork(),
    // where closing would touch locks that belong to the parent.
    sqlite3* Abandon() noexcept { return std::exchange(m_db, nullptr); }

private:
    sqlite3* m_db = nullptr;
};

class SqliteStmt {
public:
    SqliteStmt() noexcept = default;
    explicit SqliteStmt(sqlite3_stmt* stmt) noexcept : m_stmt(stmt) {}
    ~SqliteStmt() { Finalize(); }
    SqliteStmt(SqliteStmt&& other) noexcept : m_stmt(std::exchange(other.m_stmt, nullptr)) {}
    SqliteStmt& operator=(SqliteStmt&& other) noexcept {
        if (this != &other) {
            Finalize();
            m_stmt = std::exchange(other.m_stmt, nullptr);
        }
        return *this;
    }
    SqliteStmt(const SqliteStmt&) = delete;
    SqliteStmt& operator=(const SqliteStmt&) = delete;

    sqlite3_stmt* Get() const noexcept { return m_stmt; }
    explicit operator bool() const noexcept { return m_stmt != nullptr; }
    void Finalize() noexcept {
        if (m_stmt != nullptr) sqlite3_finalize(std::exchange(m_stmt, nullptr));
    }
    sqlite3_stmt* Abandon() noexcept { return std::exchange(m_stmt, nullptr); }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// One use of a cached statement: bind, step, read columns; reset and unbind on scope exit so
// the statement holds no read snapshot between calls.
class StmtUse {
public:
    explicit StmtUse(sqlite3_stmt* stmt) noexcept : m_stmt(stmt) {}
    ~StmtUse() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    StmtUse(const StmtUse&) = delete;
    StmtUse& operator=(const StmtUse&) = delete;

    int Bind(int index, sqlite3_int64 value) noexcept {
        return sqlite3_bind_int64(m_stmt, index, value);
    }
    // A zero-length blob, not NULL, when the view is empty: SQLite binds NULL for a null pointer.
    int Bind(int index, const void* data, std::size_t size) noexcept {
        static const char kEmpty = 0;
        return sqlite3_bind_blob64(m_stmt, index, size == 0 ? &kEmpty : data,
                                   static_cast<sqlite3_uint64>(size), SQLITE_STATIC);
    }
    int Bind(int index, std::string_view bytes) noexcept {
        return Bind(index, bytes.data(), bytes.size());
    }
    int Step() noexcept { return sqlite3_step(m_stmt); }

    bool IsNull(int column) const noexcept {
        return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
    }
    sqlite3_int64 Int(int column) const noexcept { return sqlite3_column_int64(m_stmt, column); }
    // A blob column: sqlite3_column_blob first, then its size, as SQLite requires.
    std::string_view Blob(int column) const noexcept {
        const void* data = sqlite3_column_blob(m_stmt, column);
        const int size = sqlite3_column_bytes(m_stmt, column);
        if (data == nullptr || size <= 0) return {};
        return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
    }
    sqlite3_stmt* Get() const noexcept { return m_stmt; }

private:
    sqlite3_stmt* m_stmt;
};

}  // namespace qelplatform
