// File: HiveConnection.cpp
//
// Opening hive files, and keeping and closing their connections.
//
// How a hive is opened, and why:
// - Every existing file is first checked (header, schema, size; HiveFile.cpp, HiveSchema.cpp)
//   through a read-only connection opened "immutable": it takes no locks and creates no -wal or
//   -shm (an ordinary reader of a WAL-mode file would), so a file that fails the check is left
//   exactly as found, with nothing beside it. Reading without locks is sound here because what
//   the check reads never changes once a hive exists: its header ids and its schema are written
//   once, when it is built, and a checkpoint rewriting page 1 writes the same bytes there again.
// - A hive, its companions and its directory must pass HiveTrust.h before SQLite opens anything:
//   anyone else able to change them could plant settings. Others are refused
//   (HiveStatus::Insecure) and read as empty, like a symbolic link.
// - A valid hive that this process may write gets a read-write connection in WAL mode with
//   synchronous=NORMAL: a commit is one append to the -wal file without fsync, and survives the
//   writer's crash (not a power cut, which can lose the last commits but not the file's
//   consistency). QELCONFIG_SYNC=full selects synchronous=FULL: every commit is synced before
//   it returns. SQLITE_FCNTL_PERSIST_WAL keeps -wal and -shm when the
//   last writer closes, so that readers who cannot create files beside the hive (a machine hive
//   read by an unprivileged process) can still open it.
// - A hive this process may not write is opened read-only and read normally: with a -shm it
//   may not write SQLite builds the WAL index in private memory. SQLite cannot read a WAL-mode
//   file for a process that may create neither -wal nor -shm beside it when they are missing
//   (which is why writers keep them); such a reader, like one that finds a -wal but no -shm,
//   fails visibly (ERROR_ACCESS_DENIED) rather than reading an empty hive. "immutable" and
//   "nolock" are not used: both would read the main file alone and miss commits still in the
//   -wal file, returning old values with no error.
// - New hives are built under a temporary name and linked into place (HiveFile.cpp), so the path
//   never holds a half-made file: anything found at the path that does not check out is someone
//   else's.
#include "portable/HiveConnection.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <utility>

#include "portable/ForkGuard.h"
#include "portable/HiveSchema.h"

namespace qelplatform {

namespace {

constexpr int kBusyTimeoutMs = 5000;

// Waits while another connection holds the lock a call needs (in WAL mode, another process's
// write: tens of microseconds). SQLite's own handler sleeps 1, 2, 5, 10 ... up to 100 ms between
// tries, so a writer that met the lock once waited milliseconds for a lock freed in
// microseconds, and eight processes writing at once saw single writes of 240 to 430 ms. This one
// sleeps from 20 µs, doubling up to 1 ms, with jitter so that waiters spread out rather than
// waking together (yielding instead kept the waiters on the processor the lock's holder needed),
// and gives up after kBusyTimeoutMs as before.
int WaitForLock(void* /*unused*/, int tries) {
    using Clock = std::chrono::steady_clock;
    thread_local Clock::time_point started;
    thread_local std::uint32_t jitter = 0x9E3779B9u;
    const Clock::time_point now = Clock::now();
    if (tries == 0) started = now;
    if (now - started >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
    constexpr int kLongestSleepUs = 1000;
    const int base = std::min(kLongestSleepUs, 20 << std::min(tries, 6));
    jitter = jitter * 1664525u + 1013904223u;  // a few bits of spread; nothing depends on them
    const auto sleep = static_cast<int>(static_cast<unsigned>(base) / 2 +
                                        (jitter >> 16) % static_cast<unsigned>(base));
    std::this_thread::sleep_for(std::chrono::microseconds(sleep));
    return 1;
}

// For tests only: QELCONFIG_TEST_VFS names an SQLite VFS the process registered (to inject
// faults or count syncs). Only names a test would choose are honoured, so the variable can never
// select one of SQLite's own VFSes without locking.
const char* TestVfs() {
    const char* name = std::getenv("QELCONFIG_TEST_VFS");
    if (name == nullptr || std::string_view(name).rfind("qeltest-", 0) != 0) return nullptr;
    return name;
}

bool FullSync() {
    const char* mode = std::getenv("QELCONFIG_SYNC");
    return mode != nullptr && std::string_view(mode) == "full";
}

// Connections that must never be closed: inherited through fork(), or on a file found damaged
// (closing a writer could checkpoint into it). Kept reachable, so leak checkers stay quiet.
std::vector<sqlite3*>& Retired() {
    static auto* retired = new std::vector<sqlite3*>();
    return *retired;
}

// A file: URI naming the path, with every byte that could be read as URI syntax escaped.
std::string ImmutableUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '-' || c == '_' || c == '.';
        if (plain) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0xF];
        }
    }
    return uri + "?immutable=1";
}

// Asks for WAL mode; *wal tells whether the database is in it afterwards (SQLite answers with
// the mode it kept, without an error, where WAL is impossible).
int SetWalMode(sqlite3* db, bool* wal) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode = WAL", -1, &raw, nullptr);
    SqliteStmt stmt(raw);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
    const unsigned char* mode = sqlite3_column_text(raw, 0);
    *wal = mode != nullptr && std::string_view(reinterpret_cast<const char*>(mode)) == "wal";
    return SQLITE_OK;
}

}  // namespace

LSTATUS MapSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;  // another process held the hive past the busy timeout
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_IOERR:
            return rc == SQLITE_IOERR_NOMEM ? ERROR_OUTOFMEMORY : ERROR_REGISTRY_IO_FAILED;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

bool IsDamage(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_FORMAT;
}

int ExecSql(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int OpenHardened(const std::string& path, int flags, SqliteDb* out) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                             TestVfs());
    SqliteDb db(raw);  // sqlite3_open_v2 may hand back a connection even when it fails
    if (rc != SQLITE_OK) return rc;
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_limit(raw, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxValueBytes) + 4096);
    sqlite3_limit(raw, SQLITE_LIMIT_SQL_LENGTH, 4096);
    sqlite3_limit(raw, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_busy_handler(raw, WaitForLock, nullptr);
    rc = ExecSql(raw, "PRAGMA cell_size_check = ON");
    if (rc != SQLITE_OK) return rc;
    *out = std::move(db);
    return SQLITE_OK;
}

int OpenForCheck(const std::string& file, SqliteDb* out) {
    return OpenHardened(ImmutableUri(file), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, out);
}

int HiveConnection::Open(const std::string& file, const Setup& setup) {
    return OpenHardened(file, setup.writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, &m_db);
}

int HiveConnection::Configure(const Setup& setup, bool* wal) {
    sqlite3* db = m_db.Get();
    if (setup.leaveFilesAsFound)
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    m_readOnly = !setup.writable || sqlite3_db_readonly(db, "main") == 1;
    m_readOnlyBySwitch = setup.readOnlyBySwitch;
    *wal = false;
    if (!m_readOnly) {
        int persist = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        int rc = SQLITE_OK;
        if ((rc = SetWalMode(db, wal)) != SQLITE_OK ||
            (rc = ExecSql(db, FullSync() ? "PRAGMA synchronous = FULL"
                                         : "PRAGMA synchronous = NORMAL")) != SQLITE_OK ||
            // About one checkpoint's worth of frames (1000 pages), so that the -wal file is
            // not cut back and regrown on every checkpoint.
            (rc = ExecSql(db, "PRAGMA journal_size_limit = 4194304")) != SQLITE_OK)
            return rc;
    }
    m_generation = ProcessGeneration();
    ConnectionOpened();  // counted until Close(), for ForkGuard
    return SQLITE_OK;
}

bool HiveConnection::Inherited() const { return m_generation != ProcessGeneration(); }

void HiveConnection::Prepare(SqliteStmt& slot, const char* sql, int* rc) {
    sqlite3_stmt* raw = nullptr;
    *rc = sqlite3_prepare_v3(m_db.Get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    slot = SqliteStmt(raw);
    if (*rc != SQLITE_OK) slot.Finalize();
}

void HiveConnection::Close(bool fileDamaged) {
    if (Inherited() || fileDamaged) {
        // Inherited through fork() (the parent owns its locks), or on a damaged file: forget it
        // without a close.
        for (auto& stmt : m_statements) stmt.Abandon();
        Retired().push_back(m_db.Abandon());
    }
    m_statements.clear();
    m_db.Close();
    ConnectionClosed();
}

}  // namespace qelplatform
