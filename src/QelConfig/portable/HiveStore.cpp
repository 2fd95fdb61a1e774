// File: HiveStore.cpp
//
// The registry operations on a hive's keys and values (Hive.h): their SQL, the transactions they
// run in, batches, enumeration, and the reads served from the caches while nothing has been
// committed since.
#include <iterator>

#include "portable/CaseFold.h"
#include "portable/Hive.h"
#include "portable/NotifyAnnounce.h"

namespace qelplatform {

namespace {

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
        AnnounceCommit(m_hive.File());  // to processes waiting for a change (NotifyHub.h)
        return ERROR_SUCCESS;
    }

private:
    Hive& m_hive;
    bool m_active = false;
};

sqlite3_stmt* Hive::Stmt(Statement which, int* rc) {
    static_assert(std::size(kStatementSql) == kStatementCount);
    return m_conn->Statement(which, kStatementSql[which], rc);
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
    if (Status() == HiveStatus::Missing) return ERROR_SUCCESS;
    if (LSTATUS status = m_hiveFile.StatusError(ERROR_CANTREAD); status != ERROR_SUCCESS)
        return status;
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
    if (ReadOnlyBySwitch(Kind(), ProcessEnv)) return ERROR_ACCESS_DENIED;
    if (Status() == HiveStatus::Missing) return m_hiveFile.ProbeCreate();
    WriteTransaction txn(*this);
    return txn.Begin();  // rolled back when txn goes
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
    m_paths.NoteRead(key, m_folded);
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
        return Status() == HiveStatus::Damaged ? ERROR_REGISTRY_CORRUPT : ERROR_KEY_DELETED;
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

bool Hive::FindCachedKey(KeyId from, std::u16string_view text, KeyId* found, LSTATUS* status) {
    // Through the current connection only: the cache went with any earlier one.
    if (text.empty() || !Readable() || m_paths.Empty()) return false;
    KeyPathCache::Entry* cached = m_paths.Find(from, text);
    if (cached == nullptr) return false;
    // A key that still exists has the path it was cached under (keys are never renamed or
    // moved, and a key with sub-keys cannot be deleted). Seen to exist with nothing committed
    // since, it exists now: no query at all. Otherwise one point query instead of one per level;
    // the epoch is taken before it, so a commit racing with the query is noticed next time.
    const std::uint64_t epoch = m_commits.Epoch();
    if (epoch != 0 && cached->epoch == epoch) {
        *status = ERROR_SUCCESS;
        *found = cached->id;
        return true;
    }
    // A key is mostly opened to read the value read through it last time (a setting polled):
    // the point query that shows the key exists then also reads that value afresh, so that the
    // read which follows needs no transaction of its own.
    if (cached->id == m_paths.LastReadKey() && cached->id != kRootKey) {
        const ValueCache::Entry* refreshed = nullptr;
        *status = QueryValue(cached->id, m_paths.LastReadName(), epoch, &refreshed);
    } else {
        *status = CheckKey(cached->id);
    }
    // Gone: deleted, perhaps by another process. The caller looks the path up afresh, and so
    // sees a key made again under that name.
    if (*status == ERROR_KEY_DELETED) {
        m_paths.ForgetFound();
        return false;
    }
    if (*status == ERROR_SUCCESS) {
        *found = cached->id;
        cached->epoch = epoch;
    }
    return true;
}

void Hive::RememberKey(KeyId from, std::u16string_view text, KeyId id) {
    // Only with a connection: the cache is emptied whenever the connection goes.
    if (text.empty() || !m_conn) return;
    m_paths.Remember(from, text, id);
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
    if (parts.size() > 1 && sqlite3_get_autocommit(m_conn->Db())) begin = Stmt(kBeginRead, &rc);
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
        id = sqlite3_last_insert_rowid(m_conn->Db());
        inserted = true;
    }
    if ((status = txn.Commit()) != ERROR_SUCCESS) return status;
    *result = id;
    *created = inserted;
    return ERROR_SUCCESS;
}

LSTATUS Hive::DeleteKey(KeyId from, const PathParts& parts) {
    if (ReadOnlyBySwitch(Kind(), ProcessEnv)) return ERROR_ACCESS_DENIED;
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
    m_paths.Clear();
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
    if (ReadOnlyBySwitch(Kind(), ProcessEnv)) return ERROR_ACCESS_DENIED;
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
    if (sqlite3_changes(m_conn->Db()) == 0) return ERROR_FILE_NOT_FOUND;
    return txn.Commit();
}

}  // namespace qelplatform
