// File: Hive.cpp
//
// Opening, checking and creating hive files, and the SQL behind each registry operation.
//
// How a hive is opened, and why:
// - Every existing file is first checked (header, schema, size) through a read-only connection
//   opened "immutable": it takes no locks and creates no -wal or -shm (an ordinary reader of a
//   WAL-mode file would), so a file that fails the check is left exactly as found, with nothing
//   beside it. Reading without locks is sound here because what the check reads never changes
//   once a hive exists: its header ids and its schema are written once, when it is built, and
//   a checkpoint rewriting page 1 writes the same bytes there again.
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
// - New hives are built under a temporary name and linked into place, so the path never holds a
//   half-made file: anything found at the path that does not check out is someone else's.
#include "portable/Hive.h"

#include "portable/ForkGuard.h"
#include "portable/NotifyAnnounce.h"
#include "portable/PosixSystem.h"
#include "portable/Win32Errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace qelplatform {

namespace {

constexpr int kApplicationId = 0x51454C48;  // "QELH"
constexpr int kFormatVersion = 1;
constexpr int kBusyTimeoutMs = 5000;

struct SchemaEntry {
    const char* type;
    const char* name;
    const char* sql;
};
// sqlite_schema keeps each CREATE statement's text as written; the check compares it exactly.
constexpr SchemaEntry kSchema[] = {
    {"table", "keys",
     "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, "
     "name BLOB NOT NULL, fold BLOB NOT NULL)"},
    {"index", "keys_by_parent", "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold)"},
    {"table", "sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)"},
    {"table", "vals",
     "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name BLOB NOT NULL, "
     "fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL)"},
    {"index", "vals_by_key", "CREATE UNIQUE INDEX vals_by_key ON vals(key, fold)"},
};

constexpr const char* kStatementSql[] = {
    "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT parent FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
    // One row: the value, or NULLs when the value is missing but the key exists; no row for a
    // deleted key. The key is looked up only when the value is not found.
    ("SELECT v.type, v.data FROM (SELECT 1) LEFT JOIN vals AS v ON v.key = ?1 AND v.fold = ?2 "
     "WHERE v.id IS NOT NULL OR EXISTS(SELECT 1 FROM keys WHERE id = ?1)"),
    ("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
     "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data"),
    "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    "SELECT name, fold FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "SELECT name, type, data, fold FROM vals WHERE key = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    // The next ones after a name listed last: an enumeration costs one index step per item,
    // where each OFFSET would count again from the start.
    "SELECT name, fold FROM keys WHERE parent = ?1 AND fold > ?2 ORDER BY fold LIMIT 1",
    "SELECT name, type, data, fold FROM vals WHERE key = ?1 AND fold > ?2 ORDER BY fold LIMIT 1",
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
};

// How often the hive's path is looked up again to notice a file moved away and replaced while
// still linked elsewhere; removal and replacement by rename show at once (Refresh()).
constexpr std::int64_t kPathCheckIntervalMs = 1000;

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

// The one translation of SQLite results into Win32 codes.
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

bool CanWrite(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// Whether this process can commit to the hive: the file, and either its directory (to create
// -wal and -shm) or -wal and -shm themselves.
bool HiveWritable(const std::string& path) {
    if (!CanWrite(path)) return false;
    const std::string directory = std::filesystem::path(path).parent_path().string();
    return CanWrite(directory.empty() ? "." : directory) ||
           (CanWrite(path + "-wal") && CanWrite(path + "-shm"));
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Opens with the hardening every hive connection gets. flags: READONLY or READWRITE (+CREATE).
int OpenDb(const std::string& path, int flags, SqliteDb* out) {
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
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    rc = Exec(raw, "PRAGMA cell_size_check = ON");
    if (rc != SQLITE_OK) return rc;
    *out = std::move(db);
    return SQLITE_OK;
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

int QueryInt(sqlite3* db, const char* sql, sqlite3_int64* value) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    SqliteStmt stmt(raw);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
    *value = sqlite3_column_int64(raw, 0);
    return SQLITE_OK;
}

// Whether the file's schema is exactly ours. rc receives an SQLite error when reading failed.
bool SchemaMatches(sqlite3* db, int* rc) {
    sqlite3_stmt* raw = nullptr;
    *rc = sqlite3_prepare_v2(db, "SELECT type, name, sql FROM sqlite_schema ORDER BY name", -1,
                             &raw, nullptr);
    SqliteStmt stmt(raw);
    if (*rc != SQLITE_OK) return false;
    std::size_t row = 0;
    auto text = [raw](int column) {
        const unsigned char* value = sqlite3_column_text(raw, column);
        return std::string_view(value == nullptr ? "" : reinterpret_cast<const char*>(value));
    };
    while ((*rc = sqlite3_step(raw)) == SQLITE_ROW) {
        if (row >= std::size(kSchema) || text(0) != kSchema[row].type ||
            text(1) != kSchema[row].name || text(2) != kSchema[row].sql) {
            *rc = SQLITE_OK;
            return false;
        }
        ++row;
    }
    if (*rc != SQLITE_DONE) return false;
    *rc = SQLITE_OK;
    return row == std::size(kSchema);
}

// Checks an existing file through a read-only connection.
HiveStatus Validate(sqlite3* db, const std::string& path, off_t fileSize, int* rc) {
    auto failed = [rc] { return IsDamage(*rc) ? HiveStatus::Damaged : HiveStatus::Unavailable; };
    sqlite3_int64 applicationId = 0;
    sqlite3_int64 version = 0;
    if ((*rc = QueryInt(db, "PRAGMA application_id", &applicationId)) != SQLITE_OK) return failed();
    if (applicationId != kApplicationId) return HiveStatus::Foreign;
    if ((*rc = QueryInt(db, "PRAGMA user_version", &version)) != SQLITE_OK) return failed();
    if (version != kFormatVersion) return HiveStatus::Foreign;
    if (!SchemaMatches(db, rc)) return *rc == SQLITE_OK ? HiveStatus::Damaged : failed();
    // A file cut short still has a header promising more pages. Frames in a -wal file may
    // legitimately extend the database, so the sizes are compared only when there are none.
    struct stat wal {};
    const bool walFrames = stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 32;
    if (!walFrames) {
        sqlite3_int64 pages = 0;
        sqlite3_int64 pageSize = 0;
        if ((*rc = QueryInt(db, "PRAGMA page_count", &pages)) != SQLITE_OK ||
            (*rc = QueryInt(db, "PRAGMA page_size", &pageSize)) != SQLITE_OK)
            return failed();
        if (pages * pageSize > fileSize) return HiveStatus::Damaged;
    }
    return HiveStatus::Open;
}

// An unfinished repair refuses the hive for a while; anything else for want of trust.
HiveStatus StatusFor(const TrustVerdict& verdict) {
    return verdict.why == Distrust::Repairing ? HiveStatus::Refused : HiveStatus::Insecure;
}

std::string InitScript() {
    std::string script = "BEGIN;";
    script += "PRAGMA application_id = " + std::to_string(kApplicationId) + ";";
    script += "PRAGMA user_version = " + std::to_string(kFormatVersion) + ";";
    for (const auto& entry : kSchema) {
        if (std::string_view(entry.name) == "sqlite_sequence") continue;  // made by AUTOINCREMENT
        script += entry.sql;
        script += ";";
    }
    return script + "COMMIT;";
}

// Creates the missing directories of a hive path with the given mode (exactly, whatever the
// umask); existing ones are left as they are.
LSTATUS MakeDirectories(const std::filesystem::path& directory, mode_t mode) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (mkdir(partial.c_str(), mode) == 0) {
            if (chmod(partial.c_str(), mode) != 0) return MapErrno(errno);
        } else if (errno != EEXIST) {
            return MapErrno(errno);
        }
    }
    return ERROR_SUCCESS;
}

// Only for files no connection has open: closing a descriptor drops every POSIX lock this
// process holds on the file, SQLite's included.
bool SyncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

void SyncDirectory(const std::filesystem::path& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

class Hive::WriteTransaction {
public:
    explicit WriteTransaction(Hive& hive) : m_hive(hive) {}
    ~WriteTransaction() {
        if (!m_active) return;
        int rc = SQLITE_OK;
        if (sqlite3_stmt* stmt = m_hive.Stmt(kRollback, &rc)) StmtUse(stmt).Step();
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    LSTATUS Begin() {
        if (m_hive.m_inBatch) return ERROR_SUCCESS;
        LSTATUS status = m_hive.BeginWrite();
        if (status != ERROR_SUCCESS) return status;
        int rc = SQLITE_OK;
        sqlite3_stmt* stmt = m_hive.Stmt(kBegin, &rc);
        if (stmt == nullptr) return m_hive.Fail(rc);
        rc = StmtUse(stmt).Step();
        if (rc != SQLITE_DONE) return m_hive.Fail(rc);
        m_active = true;
        return ERROR_SUCCESS;
    }
    LSTATUS Commit() {
        if (m_hive.m_inBatch) return ERROR_SUCCESS;
        int rc = SQLITE_OK;
        sqlite3_stmt* stmt = m_hive.Stmt(kCommit, &rc);
        if (stmt == nullptr) return m_hive.Fail(rc);
        rc = StmtUse(stmt).Step();
        if (rc != SQLITE_DONE) return m_hive.Fail(rc);  // the destructor rolls back
        m_active = false;
        AnnounceCommit(m_hive.m_file);  // to processes waiting for a change (NotifyHub.h)
        return ERROR_SUCCESS;
    }

private:
    Hive& m_hive;
    bool m_active = false;
};

Hive::Hive(HiveKind kind, std::string path) : m_kind(kind), m_path(std::move(path)) { Examine(); }

Hive::~Hive() {
    CloseConnection();
    ClosePathFd();
}

void Hive::ClosePathFd() noexcept {
    // An O_PATH descriptor holds no POSIX locks, so closing it cannot drop SQLite's.
    if (m_pathFd >= 0) close(m_pathFd);
    m_pathFd = -1;
}

void Hive::CloseConnection() {
    ForgetCaches();
    m_commits.Detach();
    if (!m_conn) return;
    if (m_conn->generation != ProcessGeneration() || m_status == HiveStatus::Damaged) {
        // Inherited through fork() (the parent owns its locks), or on a damaged file: forget it
        // without a close.
        for (auto& stmt : m_conn->statements) stmt.Abandon();
        Retired().push_back(m_conn->db.Abandon());
    }
    m_conn.reset();
    ConnectionClosed();
}

void Hive::Examine() {
    CloseConnection();
    ClosePathFd();
    m_openError = ERROR_SUCCESS;
    m_distrust = {};
    m_exists = false;
    m_euid = geteuid();
    m_nextPathCheck = CoarseMilliseconds() + kPathCheckIntervalMs;
    m_file = m_path.empty() ? std::string() : ResolveHivePath(m_path);
    if (m_file.empty()) {
        // No directory yet (the first write makes it), or a path that cannot name a file.
        if (m_path.empty() || errno == EINVAL) {
            m_status = HiveStatus::Refused;
        } else if (errno == ENOENT || errno == ENOTDIR) {
            m_status = HiveStatus::Missing;
        } else {
            m_status = HiveStatus::Unavailable;
            m_openError = MapErrno(errno);
        }
        return;
    }
    struct stat st {};
    if (lstat(m_file.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            m_status = HiveStatus::Missing;
            // A hive made in a directory others may write, or beside files left there, would
            // be planted on from the start.
            m_distrust = CheckSurroundings(m_kind, m_file, false, m_euid);
            if (!m_distrust.Trusted()) m_status = StatusFor(m_distrust);
        } else {
            m_status = HiveStatus::Unavailable;
            m_openError = MapErrno(errno);
        }
        return;
    }
    m_exists = true;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_mode = st.st_mode;
    m_owner = st.st_uid;
    m_distrust = CheckHiveFile(m_kind, m_file, st, m_euid);
    if (m_distrust.why == Distrust::NotRegular) {
        m_status = HiveStatus::Refused;
        return;
    }
    // Kept to see, with one fstat() per call, whether the file was removed or changed mode.
    m_pathFd = OpenPathOnly(m_file.c_str());
    struct stat opened {};
    if (m_pathFd < 0 || fstat(m_pathFd, &opened) != 0 || opened.st_dev != m_dev ||
        opened.st_ino != m_ino) {
        m_status = HiveStatus::Unavailable;
        m_openError = ERROR_CANTOPEN;
        ClosePathFd();
        return;
    }
    if (m_distrust.Trusted()) m_distrust = CheckSurroundings(m_kind, m_file, true, m_euid);
    if (!m_distrust.Trusted()) {
        m_status = StatusFor(m_distrust);
        return;
    }
    SqliteDb check;
    int rc = OpenDb(ImmutableUri(m_file), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, &check);
    if (rc == SQLITE_OK) {
        m_status = Validate(check.Get(), m_file, st.st_size, &rc);
    } else {
        m_status = rc == SQLITE_CANTOPEN_SYMLINK ? HiveStatus::Refused : HiveStatus::Unavailable;
    }
    if (m_status == HiveStatus::Unavailable) m_openError = MapSqlite(rc);
}

bool Hive::Refresh() {
    if (m_status == HiveStatus::Missing || m_status == HiveStatus::Unavailable ||
        (!m_distrust.Trusted() && !m_exists)) {
        Examine();
        return true;
    }
    if (m_path.empty()) return true;
    struct stat st {};
    // Removed, or replaced by a rename over it (both unlink it), or chmod/chown'ed: at once.
    if (m_pathFd >= 0 && (fstat(m_pathFd, &st) != 0 || st.st_nlink == 0 || st.st_mode != m_mode ||
                          st.st_uid != m_owner))
        return false;
    // Moved elsewhere with another file put in its place, a directory link pointed elsewhere,
    // files planted beside it or taken away, or the process changed user: within
    // kPathCheckIntervalMs. A path lookup on every call would cost more than the read itself.
    const std::int64_t now = CoarseMilliseconds();
    if (m_pathFd >= 0 && now < m_nextPathCheck) return true;
    m_nextPathCheck = now + kPathCheckIntervalMs;
    if (geteuid() != m_euid) return false;
    if (ResolveHivePath(m_path) != m_file) return false;
    if (lstat(m_file.c_str(), &st) != 0) return false;
    if (st.st_dev != m_dev || st.st_ino != m_ino) return false;
    // A verdict on the file itself changes with its mode or owner, seen above; one on its
    // surroundings is looked at again here, either way.
    if (m_distrust.Trusted() || m_distrust.file != m_file)
        return CheckSurroundings(m_kind, m_file, true, m_euid).why == m_distrust.why;
    return true;
}

bool Hive::WritesRefused() {
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) return true;
    return m_status == HiveStatus::Refused || m_status == HiveStatus::Insecure ||
           (m_status == HiveStatus::Open && !HiveWritable(m_file));
}

DWORD Hive::InfoFlags() {
    DWORD flags = 0;
    switch (m_status) {
        case HiveStatus::Missing:
            flags = QELHIVE_MISSING;
            break;
        case HiveStatus::Open:
            break;
        case HiveStatus::Damaged:
            flags = QELHIVE_DAMAGED | QELHIVE_READONLY;
            break;
        case HiveStatus::Foreign:
            flags = QELHIVE_FOREIGN | QELHIVE_READONLY;
            break;
        case HiveStatus::Refused:
            flags = QELHIVE_REFUSED | QELHIVE_READONLY;
            break;
        case HiveStatus::Insecure:
            flags = QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY;
            break;
        case HiveStatus::Unavailable:
            flags = QELHIVE_UNAVAILABLE;
            break;
    }
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) flags |= QELHIVE_READONLY | QELHIVE_READONLY_SWITCH;
    if (m_status == HiveStatus::Open && !HiveWritable(m_file)) flags |= QELHIVE_READONLY;
    return flags;
}

LSTATUS Hive::UseConnection(bool forWrite) {
    if (m_conn && m_conn->generation != ProcessGeneration()) CloseConnection();
    // A connection opened read-only because of the switch is replaced once the switch is off;
    // closing a read-only connection never writes the file.
    if (m_conn && forWrite && m_conn->readOnlyBySwitch && !ReadOnlyBySwitch(m_kind, ProcessEnv) &&
        HiveWritable(m_file))
        CloseConnection();
    if (m_conn) return ERROR_SUCCESS;

    const bool bySwitch = ReadOnlyBySwitch(m_kind, ProcessEnv);
    const bool writable = !bySwitch && HiveWritable(m_file);
    // Looked for again right before SQLite opens the file, which would replay a journal.
    if (TrustVerdict journal = CheckNoJournal(m_file); !journal.Trusted()) {
        m_distrust = std::move(journal);
        m_status = HiveStatus::Insecure;
        return ERROR_ACCESS_DENIED;
    }
    auto conn = std::make_unique<Connection>();
    int rc = OpenDb(m_file, writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, &conn->db);
    if (rc != SQLITE_OK) return MapSqlite(rc);
    // The checked file must still be the one at the path.
    struct stat st {};
    if (lstat(m_file.c_str(), &st) != 0 || st.st_dev != m_dev || st.st_ino != m_ino)
        return ERROR_REGISTRY_IO_FAILED;
    sqlite3* db = conn->db.Get();
    if (m_leaveFilesAsFound) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    conn->readOnly = !writable || sqlite3_db_readonly(db, "main") == 1;
    conn->readOnlyBySwitch = bySwitch;
    bool wal = false;
    if (!conn->readOnly) {
        int persist = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        if ((rc = SetWalMode(db, &wal)) != SQLITE_OK ||
            (rc = Exec(db, FullSync() ? "PRAGMA synchronous = FULL"
                                      : "PRAGMA synchronous = NORMAL")) != SQLITE_OK ||
            // About one checkpoint's worth of frames (1000 pages), so that the -wal file is
            // not cut back and regrown on every checkpoint.
            (rc = Exec(db, "PRAGMA journal_size_limit = 4194304")) != SQLITE_OK)
            return MapSqlite(rc);
    }
    conn->generation = ProcessGeneration();
    ForgetCaches();
    if (wal) m_commits.Attach(db);
    m_conn = std::move(conn);
    ConnectionOpened();
    return ERROR_SUCCESS;
}

LSTATUS Hive::StatusError(LSTATUS unavailable) const {
    switch (m_status) {
        case HiveStatus::Open:
            return ERROR_SUCCESS;
        case HiveStatus::Damaged:
            return ERROR_REGISTRY_CORRUPT;
        case HiveStatus::Foreign:
            return ERROR_BADDB;
        case HiveStatus::Refused:
        case HiveStatus::Insecure:
            return ERROR_ACCESS_DENIED;
        case HiveStatus::Missing:
        case HiveStatus::Unavailable:
            break;
    }
    return m_openError != ERROR_SUCCESS ? m_openError : unavailable;
}

sqlite3_stmt* Hive::EnumStatement(EnumCursor& cursor, KeyId key, DWORD index, Statement byIndex,
                                  Statement after, int* rc) {
    const std::uint64_t epoch = m_commits.Epoch();
    // Only while nothing was committed since the item before was listed: then the item at
    // `index` is the one after it.
    const bool next = epoch != 0 && cursor.epoch == epoch && cursor.key == key && index != 0 &&
                      cursor.index + 1 == index;
    sqlite3_stmt* stmt = Stmt(next ? after : byIndex, rc);
    if (stmt == nullptr) return nullptr;
    sqlite3_bind_int64(stmt, 1, key);
    if (next)
        sqlite3_bind_blob(stmt, 2, cursor.fold.data(), static_cast<int>(cursor.fold.size()),
                          SQLITE_TRANSIENT);
    else
        sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(index));
    cursor = {key, index, {}, epoch};
    return stmt;
}

LSTATUS Hive::ProbeRead() {
    if (m_status == HiveStatus::Missing) return ERROR_SUCCESS;
    if (LSTATUS status = StatusError(ERROR_CANTREAD); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = UseConnection(false); status != ERROR_SUCCESS) return status;
    // Reads the first page and, through the WAL index, the -wal: what every read needs.
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = Stmt(kEnumKey, &rc);
    if (stmt == nullptr) return Fail(rc);
    StmtUse q(stmt);
    q.Bind(1, kRootKey);
    q.Bind(2, sqlite3_int64{0});
    rc = q.Step();
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

LSTATUS Hive::ProbeWrite() {
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) return ERROR_ACCESS_DENIED;
    if (m_status == HiveStatus::Missing) {
        // The nearest directory that exists must take the new ones and the file.
        std::filesystem::path directory = std::filesystem::path(m_path).parent_path();
        struct stat st {};
        while (!directory.empty() && stat(directory.c_str(), &st) != 0)
            directory = directory.parent_path();
        if (faccessat(AT_FDCWD, directory.empty() ? "." : directory.c_str(), W_OK | X_OK,
                      AT_EACCESS) != 0)
            return MapErrno(errno);
        return ERROR_SUCCESS;
    }
    WriteTransaction txn(*this);
    return txn.Begin();  // rolled back when txn goes
}

bool Hive::Readable() {
    return m_status == HiveStatus::Open && UseConnection(false) == ERROR_SUCCESS;
}

sqlite3_stmt* Hive::Stmt(Statement which, int* rc) {
    SqliteStmt& slot = m_conn->statements[which];
    if (!slot) {
        sqlite3_stmt* raw = nullptr;
        *rc = sqlite3_prepare_v3(m_conn->db.Get(), kStatementSql[which], -1,
                                 SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        slot = SqliteStmt(raw);
        if (*rc != SQLITE_OK) slot.Finalize();
    }
    return slot.Get();
}

LSTATUS Hive::Fail(int rc) {
    // Found damaged while in use: stop reading and writing it. The connection stays until the
    // caller's statements and transaction are unwound, and is then set aside, never closed (a
    // writer's last close would checkpoint into the damaged file).
    if (IsDamage(rc) && m_status == HiveStatus::Open) m_status = HiveStatus::Damaged;
    return MapSqlite(rc);
}

LSTATUS Hive::BeginWrite() {
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) return ERROR_ACCESS_DENIED;
    if (m_status == HiveStatus::Missing) {
        if (LSTATUS created = CreateFile(); created != ERROR_SUCCESS) return created;
        Examine();
    }
    if (LSTATUS status = StatusError(ERROR_CANTWRITE); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = UseConnection(true); status != ERROR_SUCCESS) return status;
    return m_conn->readOnly ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LSTATUS Hive::CreateFile() {
    if (m_path.empty()) return ERROR_ACCESS_DENIED;
    const bool user = m_kind == HiveKind::User;
    // The user's settings are private; the machine's are readable by every user.
    if (LSTATUS made =
            MakeDirectories(std::filesystem::path(m_path).parent_path(), user ? 0700 : 0755);
        made != ERROR_SUCCESS)
        return made;
    // The directory may have been made just now: resolved again, and held to the same rules as
    // an existing one.
    const std::string file = ResolveHivePath(m_path);
    if (file.empty()) return MapErrno(errno);
    if (!CheckSurroundings(m_kind, file, false, geteuid()).Trusted()) return ERROR_ACCESS_DENIED;
    const std::filesystem::path target(file);
    const mode_t mode = user ? 0600 : 0644;
    const std::string temp = file + ".new-" + std::to_string(getpid()) + "-" +
                             std::to_string(g_tempCounter.fetch_add(1));
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return MapErrno(errno);
    const bool modeSet = fchmod(fd, mode) == 0;
    const int modeError = errno;
    close(fd);  // nothing else in this process can have the brand-new file open
    auto discard = [&temp] {
        unlink(temp.c_str());
        unlink((temp + "-journal").c_str());
        unlink((temp + "-wal").c_str());
        unlink((temp + "-shm").c_str());
    };
    if (!modeSet) {
        discard();
        return MapErrno(modeError);
    }
    {
        // A failed build is thrown away, so it needs no journal and no syncs of its own; one
        // fsync below makes the finished file durable before it is linked into place.
        SqliteDb db;
        int rc = OpenDb(temp, SQLITE_OPEN_READWRITE, &db);
        if (rc == SQLITE_OK) rc = Exec(db.Get(), "PRAGMA journal_mode = OFF");
        if (rc == SQLITE_OK) rc = Exec(db.Get(), "PRAGMA synchronous = OFF");
        if (rc == SQLITE_OK) rc = Exec(db.Get(), InitScript().c_str());
        if (rc == SQLITE_OK) rc = Exec(db.Get(), "PRAGMA journal_mode = WAL");
        if (rc != SQLITE_OK) {
            db.Close();
            discard();
            return MapSqlite(rc);
        }
    }  // the close leaves a WAL-mode file without -wal and -shm
    if (!SyncFile(temp)) {
        const int syncError = errno;
        discard();
        return MapErrno(syncError);
    }
    LSTATUS status = ERROR_SUCCESS;
    // link() never replaces: when another process created the hive first, its file stays.
    if (link(temp.c_str(), file.c_str()) != 0 && errno != EEXIST) {
        const int linkError = errno;
        struct stat st {};
        // Some file systems have no hard links; rename is then the best there is.
        if ((linkError == EPERM || linkError == ENOTSUP || linkError == EMLINK) &&
            lstat(file.c_str(), &st) != 0 && errno == ENOENT) {
            if (rename(temp.c_str(), file.c_str()) != 0) status = MapErrno(errno);
        } else {
            status = MapErrno(linkError);
        }
    }
    discard();
    if (status == ERROR_SUCCESS) SyncDirectory(target.parent_path());
    return status;
}

LSTATUS Hive::ApplyBatch(const std::vector<Change>& changes, std::size_t* failed) {
    *failed = 0;
    WriteTransaction txn(*this);
    LSTATUS status = txn.Begin();
    if (status != ERROR_SUCCESS) return status;
    m_inBatch = true;
    // Keys looked up or made by this batch, by starting key and path as given: a batch mostly
    // makes a key and then sets values in it, and each lookup walks the path level by level.
    std::unordered_map<std::u16string, KeyId> keys;
    for (; *failed < changes.size(); ++*failed) {
        if ((status = ApplyChange(changes[*failed], keys)) != ERROR_SUCCESS) break;
    }
    m_inBatch = false;
    if (status == ERROR_SUCCESS) status = txn.Commit();  // on failure txn rolls back
    // What was read inside the transaction must not outlive a rollback, which no commit marks.
    ForgetCaches();
    return status;
}

LSTATUS Hive::ApplyChange(const Change& change, std::unordered_map<std::u16string, KeyId>& keys) {
    if (change.kind == Change::Kind::DeleteKey) {
        keys.clear();  // the ids below it are gone
        return DeleteKey(change.from, change.path);
    }
    std::u16string text(reinterpret_cast<const char16_t*>(&change.from),
                        sizeof change.from / sizeof(char16_t));
    for (std::u16string_view part : change.path) (text += part) += u'\\';
    KeyId id = kRootKey;
    if (const auto known = keys.find(text); known != keys.end()) {
        id = known->second;
    } else {
        bool created = false;
        const LSTATUS status = change.kind == Change::Kind::CreateKey
                                   ? CreateKey(change.from, change.path, &id, &created)
                                   : FindKey(change.from, change.path, &id);
        if (status != ERROR_SUCCESS) return status;
        keys.emplace(std::move(text), id);
    }
    if (change.kind == Change::Kind::CreateKey) return ERROR_SUCCESS;
    if (change.kind == Change::Kind::DeleteValue) return DeleteValue(id, change.name);
    return SetValue(id, change.name, change.type, change.data, change.size);
}

LSTATUS Hive::FetchValue(KeyId key, std::u16string_view name, const ValueCache::Entry** value) {
    if (!Readable()) return ERROR_FILE_NOT_FOUND;
    FoldInto(name, m_folded);
    if (key != m_lastReadKey || m_folded != m_lastReadName) {
        m_lastReadKey = key;
        m_lastReadName = m_folded;
    }
    // Taken before the query, so that a commit racing with it shows as a new epoch next time.
    const std::uint64_t epoch = m_commits.Epoch();
    // Inside a batch the cache may hold what the batch has since changed: no commit marks it
    // stale until the end.
    const ValueCache::Entry* entry = m_inBatch ? nullptr : m_values.Find(key, m_folded, epoch);
    if (entry == nullptr) {
        if (LSTATUS status = QueryValue(key, m_folded, epoch, &entry); status != ERROR_SUCCESS)
            return status;
    }
    if (entry->missing) return ERROR_FILE_NOT_FOUND;
    *value = entry;
    return ERROR_SUCCESS;
}

LSTATUS Hive::QueryValue(KeyId key, std::string_view folded, std::uint64_t epoch,
                         const ValueCache::Entry** entry) {
    int rc = SQLITE_OK;
    // Below the root one statement also tells a missing value (a row of NULLs) from a deleted
    // key (no row), so that a miss costs no second read transaction.
    const bool root = key == kRootKey;
    sqlite3_stmt* stmt = Stmt(root ? kGetValue : kGetValueOfKey, &rc);
    if (stmt == nullptr) return Fail(rc);
    StmtUse q(stmt);
    q.Bind(1, key);
    q.Bind(2, folded);
    rc = q.Step();
    if (rc == SQLITE_ROW) {
        const bool missing = q.IsNull(0);
        *entry =
            &m_values.Store(key, folded, epoch, missing, missing ? 0 : static_cast<DWORD>(q.Int(0)),
                            missing ? std::string_view() : q.Blob(1));
        return ERROR_SUCCESS;
    }
    if (rc == SQLITE_DONE && root) {
        *entry = &m_values.Store(key, folded, epoch, true, 0, {});
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Fail(rc);
}

LSTATUS Hive::CheckKey(KeyId key) {
    if (key == kRootKey) return ERROR_SUCCESS;
    if (!Readable())
        return m_status == HiveStatus::Damaged ? ERROR_REGISTRY_CORRUPT : ERROR_KEY_DELETED;
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = Stmt(kKeyExists, &rc);
    if (stmt == nullptr) return Fail(rc);
    StmtUse q(stmt);
    q.Bind(1, key);
    rc = q.Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Fail(rc);
}

LSTATUS Hive::DepthOf(KeyId key, std::size_t* depth) {
    *depth = 0;
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = Stmt(kParentOf, &rc);
    if (stmt == nullptr) return Fail(rc);
    // Bounded: parent links in a crafted file may form a cycle.
    for (; key != kRootKey && *depth <= kMaxKeyDepth; ++*depth) {
        StmtUse q(stmt);
        q.Bind(1, key);
        rc = q.Step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Fail(rc);
        key = q.Int(0);
    }
    return ERROR_SUCCESS;
}

LSTATUS Hive::MissingKeyResult(KeyId key, LSTATUS otherwise) {
    const LSTATUS exists = CheckKey(key);
    return exists == ERROR_SUCCESS ? otherwise : exists;
}

LSTATUS Hive::FindChild(KeyId parent, std::u16string_view name, KeyId* child) {
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = Stmt(kFindChild, &rc);
    if (stmt == nullptr) return Fail(rc);
    StmtUse q(stmt);
    const std::string folded = FoldedKey(name);
    q.Bind(1, parent);
    q.Bind(2, folded);
    rc = q.Step();
    if (rc == SQLITE_ROW) {
        *child = q.Int(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
}

LSTATUS Hive::Walk(KeyId from, const PathParts& parts, KeyId* found) {
    KeyId id = from;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        LSTATUS status = FindChild(id, parts[i], &id);
        if (status == ERROR_FILE_NOT_FOUND && i == 0) return MissingKeyResult(from, status);
        if (status != ERROR_SUCCESS) return status;
    }
    if (parts.empty()) {
        if (LSTATUS status = CheckKey(from); status != ERROR_SUCCESS) return status;
    }
    *found = id;
    return ERROR_SUCCESS;
}

void Hive::SetCacheKey(KeyId from, std::u16string_view text) {
    m_cacheKey.assign(reinterpret_cast<const char16_t*>(&from), sizeof from / sizeof(char16_t));
    m_cacheKey += text;
}

bool Hive::FindCachedKey(KeyId from, std::u16string_view text, KeyId* found, LSTATUS* status) {
    // Through the current connection only: the cache went with any earlier one.
    if (text.empty() || !Readable() || m_paths.empty()) return false;
    SetCacheKey(from, text);
    const auto it = m_paths.find(m_cacheKey);
    if (it == m_paths.end()) return false;
    // A key that still exists has the path it was cached under (keys are never renamed or
    // moved, and a key with sub-keys cannot be deleted). Seen to exist with nothing committed
    // since, it exists now: no query at all. Otherwise one point query instead of one per level;
    // the epoch is taken before it, so a commit racing with the query is noticed next time.
    CachedKey& cached = it->second;
    const std::uint64_t epoch = m_commits.Epoch();
    if (epoch != 0 && cached.epoch == epoch) {
        *status = ERROR_SUCCESS;
        *found = cached.id;
        return true;
    }
    // A key is mostly opened to read the value read through it last time (a setting polled):
    // the point query that shows the key exists then also reads that value afresh, so that the
    // read which follows needs no transaction of its own.
    if (cached.id == m_lastReadKey && cached.id != kRootKey) {
        const ValueCache::Entry* refreshed = nullptr;
        *status = QueryValue(cached.id, m_lastReadName, epoch, &refreshed);
    } else {
        *status = CheckKey(cached.id);
    }
    // Gone: deleted, perhaps by another process. The caller looks the path up afresh, and so
    // sees a key made again under that name.
    if (*status == ERROR_KEY_DELETED) {
        m_paths.erase(it);
        return false;
    }
    if (*status == ERROR_SUCCESS) {
        *found = cached.id;
        cached.epoch = epoch;
    }
    return true;
}

void Hive::RememberKey(KeyId from, std::u16string_view text, KeyId id) {
    constexpr std::size_t kMaxCachedPaths = 4096;
    // Only with a connection: the cache is emptied whenever the connection goes.
    if (text.empty() || !m_conn) return;
    if (m_paths.size() >= kMaxCachedPaths) m_paths.clear();
    SetCacheKey(from, text);
    m_paths.insert_or_assign(m_cacheKey, CachedKey{id, 0});
}

LSTATUS Hive::FindKey(KeyId from, const PathParts& parts, KeyId* found) {
    if (!Readable()) {
        if (!parts.empty() || from != kRootKey) return ERROR_FILE_NOT_FOUND;
        *found = kRootKey;
        return ERROR_SUCCESS;
    }
    // Each statement outside a transaction takes and drops the WAL read lock (system calls
    // that cost more than the lookups); one read transaction takes it once for the whole path.
    int rc = SQLITE_OK;
    sqlite3_stmt* begin = nullptr;
    if (parts.size() > 1 && sqlite3_get_autocommit(m_conn->db.Get())) begin = Stmt(kBeginRead, &rc);
    if (begin != nullptr && StmtUse(begin).Step() != SQLITE_DONE) begin = nullptr;
    const LSTATUS status = Walk(from, parts, found);
    if (begin != nullptr) {
        if (sqlite3_stmt* commit = Stmt(kCommit, &rc)) StmtUse(commit).Step();
    }
    return status;
}

LSTATUS Hive::CreateKey(KeyId from, const PathParts& parts, KeyId* result, bool* created) {
    // An existing key is only opened, which needs no write access and no hive file.
    LSTATUS status = FindKey(from, parts, result);
    if (status != ERROR_FILE_NOT_FOUND) {
        *created = false;
        return status;
    }
    WriteTransaction txn(*this);
    if ((status = txn.Begin()) != ERROR_SUCCESS) return status;
    if ((status = CheckKey(from)) != ERROR_SUCCESS) return status;
    std::size_t depth = 0;
    if ((status = DepthOf(from, &depth)) != ERROR_SUCCESS) return status;
    // As in the registry: no key deeper than kMaxKeyDepth, which also keeps every walk of a
    // tree this store made bounded.
    if (depth + parts.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    KeyId id = from;
    bool inserted = false;
    for (std::u16string_view part : parts) {
        status = FindChild(id, part, &id);
        if (status == ERROR_SUCCESS) continue;
        if (status != ERROR_FILE_NOT_FOUND) return status;
        int rc = SQLITE_OK;
        sqlite3_stmt* stmt = Stmt(kInsertKey, &rc);
        if (stmt == nullptr) return Fail(rc);
        StmtUse q(stmt);
        const std::string folded = FoldedKey(part);
        q.Bind(1, id);
        q.Bind(2, part.data(), part.size() * 2);
        q.Bind(3, folded);
        if ((rc = q.Step()) != SQLITE_DONE) return Fail(rc);
        id = sqlite3_last_insert_rowid(m_conn->db.Get());
        inserted = true;
    }
    if ((status = txn.Commit()) != ERROR_SUCCESS) return status;
    *result = id;
    *created = inserted;
    return ERROR_SUCCESS;
}

LSTATUS Hive::DeleteKey(KeyId from, const PathParts& parts) {
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) return ERROR_ACCESS_DENIED;
    KeyId id = kRootKey;
    // Looked up first, so that deleting from a missing hive does not create it.
    LSTATUS status = FindKey(from, parts, &id);
    if (status != ERROR_SUCCESS) return status;
    if (id == kRootKey) return ERROR_ACCESS_DENIED;
    WriteTransaction txn(*this);
    if ((status = txn.Begin()) != ERROR_SUCCESS) return status;
    if ((status = Walk(from, parts, &id)) != ERROR_SUCCESS) return status;
    int rc = SQLITE_OK;
    {
        sqlite3_stmt* stmt = Stmt(kHasChildren, &rc);
        if (stmt == nullptr) return Fail(rc);
        StmtUse q(stmt);
        q.Bind(1, id);
        rc = q.Step();
        // As on Windows: a key with sub-keys is refused, not deleted with them.
        if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
        if (rc != SQLITE_DONE) return Fail(rc);
    }
    for (Statement which : {kDeleteKeyValues, kDeleteKeyRow}) {
        sqlite3_stmt* stmt = Stmt(which, &rc);
        if (stmt == nullptr) return Fail(rc);
        StmtUse q(stmt);
        q.Bind(1, id);
        if ((rc = q.Step()) != SQLITE_DONE) return Fail(rc);
    }
    // Deletes are rare: forgetting every cached path is simpler than finding those below.
    ForgetPaths();
    return txn.Commit();
}

LSTATUS Hive::SetValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                       DWORD size) {
    WriteTransaction txn(*this);
    LSTATUS status = txn.Begin();
    if (status != ERROR_SUCCESS) return status;
    if ((status = CheckKey(key)) != ERROR_SUCCESS) return status;
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = Stmt(kSetValue, &rc);
    if (stmt == nullptr) return Fail(rc);
    {
        StmtUse q(stmt);
        const std::string folded = FoldedKey(name);
        q.Bind(1, key);
        q.Bind(2, name.data(), name.size() * 2);
        q.Bind(3, folded);
        q.Bind(4, static_cast<sqlite3_int64>(type));
        q.Bind(5, data, size);
        if ((rc = q.Step()) != SQLITE_DONE) return Fail(rc);
    }
    return txn.Commit();
}

LSTATUS Hive::DeleteValue(KeyId key, std::u16string_view name) {
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) return ERROR_ACCESS_DENIED;
    // Looked up first, so that deleting from a missing hive does not create it.
    LSTATUS status = ReadValue(key, name, [](DWORD, std::string_view) { return ERROR_SUCCESS; });
    if (status != ERROR_SUCCESS) return status;
    WriteTransaction txn(*this);
    if ((status = txn.Begin()) != ERROR_SUCCESS) return status;
    if ((status = CheckKey(key)) != ERROR_SUCCESS) return status;
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = Stmt(kDeleteValue, &rc);
    if (stmt == nullptr) return Fail(rc);
    {
        StmtUse q(stmt);
        const std::string folded = FoldedKey(name);
        q.Bind(1, key);
        q.Bind(2, folded);
        if ((rc = q.Step()) != SQLITE_DONE) return Fail(rc);
    }
    if (sqlite3_changes(m_conn->db.Get()) == 0) return ERROR_FILE_NOT_FOUND;
    return txn.Commit();
}

}  // namespace qelplatform
