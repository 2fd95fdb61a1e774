// File: HiveConnection.h
//
// A connection to a hive file: opened with the hardening every hive connection gets, set up for
// writing (WAL, the sync mode) or reading, holding the statements prepared on it, and set aside
// rather than closed when closing it would be unsafe (inherited through fork(), or on a damaged
// file). HiveConnection.cpp says how a hive is opened, and why. Also the one translation of
// SQLite results into Win32 codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QelRegistry.h"
#include "portable/Sqlite.h"

namespace qelplatform {

// The one translation of SQLite results into Win32 codes.
LSTATUS MapSqlite(int rc);
// Whether a result says the file is damaged (not a database, or not a sound one).
bool IsDamage(int rc);

int ExecSql(sqlite3* db, const char* sql);
// Opens with the hardening every hive connection gets. flags: READONLY or READWRITE (+CREATE).
int OpenHardened(const std::string& path, int flags, SqliteDb* out);
// Opens an existing file for its checks only: read-only and "immutable" (no lock, no -wal or
// -shm made).
int OpenForCheck(const std::string& file, SqliteDb* out);

class HiveConnection {
public:
    // How the connection is to be set up.
    struct Setup {
        bool writable = false;           // the process may commit to the hive
        bool readOnlyBySwitch = false;   // read-only because of the read-only switch
        bool leaveFilesAsFound = false;  // closing it checkpoints nothing into the file
    };

    // Room for `statements` prepared statements, numbered from 0.
    explicit HiveConnection(std::size_t statements) : m_statements(statements) {}
    HiveConnection(const HiveConnection&) = delete;
    HiveConnection& operator=(const HiveConnection&) = delete;

    // Opens the file, read-write when the process may write it.
    int Open(const std::string& file, const Setup& setup);
    // Then, once the caller has seen that the file opened is still the one it checked: a writer
    // is put in WAL mode with the sync mode asked for. *wal tells whether the file is in WAL mode.
    int Configure(const Setup& setup, bool* wal);

    sqlite3* Db() const noexcept { return m_db.Get(); }
    bool ReadOnly() const noexcept { return m_readOnly; }
    bool ReadOnlyBySwitch() const noexcept { return m_readOnlyBySwitch; }
    // Opened by another process: the parent of a fork(), which owns its locks.
    bool Inherited() const;

    // Statement `which`, prepared from `sql` at its first use and kept; null (*rc set) when it
    // cannot be prepared.
    sqlite3_stmt* Statement(std::size_t which, const char* sql, int* rc) {
        SqliteStmt& slot = m_statements[which];
        if (!slot) Prepare(slot, sql, rc);
        return slot.Get();
    }

    // Closes the connection; one inherited through fork(), or on a file found damaged, is set
    // aside and never closed (closing a writer could checkpoint into a damaged file).
    void Close(bool fileDamaged);

private:
    void Prepare(SqliteStmt& slot, const char* sql, int* rc);

    SqliteDb m_db;  // declared first: statements are finalized before the close
    std::vector<SqliteStmt> m_statements;
    bool m_readOnly = false;
    bool m_readOnlyBySwitch = false;
    std::uint64_t m_generation = 0;  // ProcessGeneration() when opened
};

}  // namespace qelplatform
