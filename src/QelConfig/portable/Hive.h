// File: Hive.h
//
// One hive file: an SQLite database holding a tree of keys and the values under them.
//
// Layout (format 1, application_id 'QELH', user_version 1):
//   keys(id, parent, name, fold)   one row per key; the hive's root is the implicit key 0, and
//                                  ids are AUTOINCREMENT so a deleted key's id never returns
//                                  (an open handle to it then reports ERROR_KEY_DELETED).
//   vals(id, key, name, fold, type, data)
//                                  one row per value; rowid order is creation order.
// name is the name as given (native UTF-16 bytes, case kept); fold is its folded form
// (CaseFold.h), unique per parent. data is the value's bytes exactly as written.
//
// A Hive is used under the registry's lock (Registry.cpp) and is not otherwise thread-safe. A
// file that is not a valid hive is opened read-only, checked, and never written: reads see an
// empty hive and writes fail.
//
// Key paths and values read are cached per connection and trusted only while nothing has been
// committed to the file since they were read, by this process or any other (CommitWatch.h). So
// reading an unchanged hive costs no read transaction, and no read ever returns a value another
// process has since replaced.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QelPlatform.h"
#include "portable/CaseFold.h"
#include "portable/CommitWatch.h"
#include "portable/HiveLocation.h"
#include "portable/HiveTrust.h"
#include "portable/QelHiveInfo.h"
#include "portable/Sqlite.h"
#include "portable/ValueCache.h"

namespace qelplatform {

using KeyId = sqlite3_int64;
inline constexpr KeyId kRootKey = 0;

// Value data is limited well above anything a configuration needs, and SQLite is told the same
// limit, so a crafted hive cannot make a read allocate without bound.
inline constexpr DWORD kMaxValueBytes = 16u << 20;
// The registry's limit on the levels of a tree: a key is at most this many levels below its
// hive's root.
inline constexpr std::size_t kMaxKeyDepth = 512;

enum class HiveStatus {
    Missing,      // no file: reads see an empty hive, the first write creates it
    Open,         // a valid hive
    Damaged,      // not an SQLite database, truncated, or our schema broken
    Foreign,      // an SQLite database that is not a hive of this format
    Refused,      // a symbolic link, not a regular file, or no path could be determined
    Insecure,     // it, its companions or its directory break the rules of HiveTrust.h
    Unavailable,  // could not be read just now (I/O error, permissions); tried again later
};

// A key path split at backslashes, empty components dropped.
using PathParts = std::vector<std::u16string_view>;

class Hive {
public:
    Hive(HiveKind kind, std::string path);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    HiveKind Kind() const noexcept { return m_kind; }
    const std::string& Path() const noexcept { return m_path; }
    // Why the hive's files are not trusted (HiveTrust.h), when that is why it is refused.
    const TrustVerdict& Distrusted() const noexcept { return m_distrust; }
    HiveStatus Status() const noexcept { return m_status; }

    // Looks at the file again: picks up a hive that was missing or unreadable. Returns false
    // when the path now names another file than the one this object describes (replaced or
    // removed), or the file's owner or mode changed; the caller then starts a new Hive for the
    // path. Costs one fstat(); the path itself, and the modes of -wal and -shm, are looked at
    // again at most every kPathCheckIntervalMs (see Hive.cpp).
    bool Refresh();
    // Whether writes are refused before they are tried: the read-only switch, a file this
    // process may not write, or a refused path. Damaged and foreign hives refuse each write
    // with their own code instead.
    bool WritesRefused();
    // QELHIVE_* flags for QelRegGetHiveInfo.
    DWORD InfoFlags();
    // For a health check, changing nothing: what a read of the hive gets, and what the next
    // write would (a write transaction begun and rolled back; for a missing hive, whether its
    // directory could take it).
    LSTATUS ProbeRead();
    LSTATUS ProbeWrite();
    // For inspection only: closing the connection then checkpoints nothing into the file (which
    // may be damaged in ways the opening checks do not see), so the files stay as they were.
    void LeaveFilesAsFound() noexcept { m_leaveFilesAsFound = true; }
    // The file SQLite opens: the path with its directories' links resolved (empty before the
    // directory exists).
    const std::string& File() const noexcept { return m_file; }
    // For change notification (NotifySnapshot.h): the connection reads go through, opened when
    // needed, or null when the hive cannot be read.
    sqlite3* ReadConnection() { return Readable() ? m_conn->db.Get() : nullptr; }
    // Closes the connection (it is reopened on next use). Called before fork(), so that no
    // connection is ever carried into a child.
    void CloseConnection();

    // Every call returns a Win32 code. Key ids other than kRootKey come from FindKey/CreateKey.
    LSTATUS CheckKey(KeyId key);
    LSTATUS FindKey(KeyId from, const PathParts& parts, KeyId* found);
    // The path cache, by a path's text exactly as the caller gave it (so no splitting or folding
    // on a hit). FindCachedKey returns true when the cache settled the lookup (*status set, and
    // *found on success), false when the path must be looked up with FindKey or CreateKey, whose
    // result RememberKey then stores. A hit costs one point query when anything was committed
    // since the key was last seen to exist, and none otherwise.
    bool FindCachedKey(KeyId from, std::u16string_view text, KeyId* found, LSTATUS* status);
    void RememberKey(KeyId from, std::u16string_view text, KeyId id);
    LSTATUS CreateKey(KeyId from, const PathParts& parts, KeyId* result, bool* created);
    LSTATUS DeleteKey(KeyId from, const PathParts& parts);
    LSTATUS SetValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data, DWORD size);
    LSTATUS DeleteValue(KeyId key, std::u16string_view name);
    // One change of a batch: what the registry call of the same name does, by a path below
    // `from`. A value's key must exist when the change comes (made by an earlier one, say).
    struct Change {
        enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
        KeyId from = kRootKey;
        PathParts path;
        std::u16string_view name;
        DWORD type = REG_NONE;
        const BYTE* data = nullptr;
        DWORD size = 0;
    };
    // Applies every change in one transaction: a failure, a kill, a full disk or an I/O error
    // at any moment leaves the hive with all of them or none. On failure *failed is the index
    // of the change that failed (changes.size() when the commit itself failed).
    LSTATUS ApplyBatch(const std::vector<Change>& changes, std::size_t* failed);
    // use(DWORD type, std::string_view data) -> LSTATUS, called while the row is current.
    template <class Use>
    LSTATUS ReadValue(KeyId key, std::u16string_view name, Use&& use);
    // use(const std::u16string& name) -> LSTATUS; keys come in folded-name order.
    template <class Use>
    LSTATUS EnumKey(KeyId key, DWORD index, Use&& use);
    // use(const std::u16string& name, DWORD type, std::string_view data) -> LSTATUS; values
    // come in folded-name order.
    template <class Use>
    LSTATUS EnumValue(KeyId key, DWORD index, Use&& use);

private:
    enum Statement {
        kFindChild,
        kKeyExists,
        kParentOf,
        kInsertKey,
        kHasChildren,
        kDeleteKeyValues,
        kDeleteKeyRow,
        kGetValue,
        kGetValueOfKey,
        kSetValue,
        kDeleteValue,
        kEnumKey,
        kEnumValue,
        kEnumKeyAfter,
        kEnumValueAfter,
        kBegin,
        kBeginRead,
        kCommit,
        kRollback,
        kStatementCount
    };
    struct Connection {
        SqliteDb db;  // declared first: statements are finalized before the close
        std::array<SqliteStmt, kStatementCount> statements;
        bool readOnly = false;
        bool readOnlyBySwitch = false;
        std::uint64_t generation = 0;  // ProcessGeneration() when opened
    };
    class WriteTransaction;
    // Where an enumeration of keys or of values stopped last (see EnumStatement).
    struct EnumCursor {
        KeyId key = -1;
        DWORD index = 0;
        std::string fold;
        std::uint64_t epoch = 0;
    };

    void Examine();
    LSTATUS CreateFile();
    LSTATUS UseConnection(bool forWrite);
    // The code a read or write gets from a hive that is not open (unavailable: when nothing
    // better is known), ERROR_SUCCESS for an open one.
    LSTATUS StatusError(LSTATUS unavailable) const;
    // The statement that lists item `index` below `key`, bound: the one after the cursor's
    // when that is the item asked for, else by index. The cursor then names this call.
    sqlite3_stmt* EnumStatement(EnumCursor& cursor, KeyId key, DWORD index, Statement byIndex,
                                Statement after, int* rc);
    LSTATUS BeginWrite();
    sqlite3_stmt* Stmt(Statement which, int* rc);
    LSTATUS Fail(int rc);
    LSTATUS MissingKeyResult(KeyId key, LSTATUS otherwise);
    // Levels below the root, up to kMaxKeyDepth + 1.
    LSTATUS DepthOf(KeyId key, std::size_t* depth);
    LSTATUS FindChild(KeyId parent, std::u16string_view name, KeyId* child);
    LSTATUS Walk(KeyId from, const PathParts& parts, KeyId* found);
    // The value, from the cache or the file; valid until the next call on this hive.
    LSTATUS ApplyChange(const Change& change, std::unordered_map<std::u16string, KeyId>& keys);
    LSTATUS FetchValue(KeyId key, std::u16string_view name, const ValueCache::Entry** value);
    // Reads a value from the file into the cache, as of epoch (taken before the query); below
    // the root, ERROR_KEY_DELETED tells that the key is gone.
    LSTATUS QueryValue(KeyId key, std::string_view folded, std::uint64_t epoch,
                       const ValueCache::Entry** entry);
    bool Readable();
    void SetCacheKey(KeyId from, std::u16string_view text);
    void ForgetPaths() noexcept { m_paths.clear(); }
    // With the connection they were read through.
    void ForgetCaches() noexcept {
        m_paths.clear();
        m_values.Clear();
    }
    void ClosePathFd() noexcept;

    HiveKind m_kind;
    std::string m_path;       // as configured, for reports
    std::string m_file;       // with its directory's links resolved: what is opened (HiveTrust.h)
    TrustVerdict m_distrust;  // why the hive is Refused or Insecure, when for its files
    HiveStatus m_status = HiveStatus::Missing;
    LSTATUS m_openError = ERROR_SUCCESS;  // for Unavailable: what writes report
    bool m_exists = false;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    uid_t m_euid = 0;   // the effective user when examined
    mode_t m_mode = 0;  // st_mode when examined
    uid_t m_owner = 0;  // st_uid when examined
    int m_pathFd = -1;  // O_PATH descriptor of the examined file, for fstat()
    std::int64_t m_nextPathCheck = 0;
    std::unique_ptr<Connection> m_conn;
    // Inside ApplyBatch: each change's own transaction is the batch's.
    bool m_inBatch = false;
    bool m_leaveFilesAsFound = false;
    // Starting key and path text -> key id, for this connection. Ids are never reused, so a
    // cached id names the same key for as long as that key exists; epoch is m_commits' epoch in
    // which the key was last seen to exist (0: not yet).
    struct CachedKey {
        KeyId id = kRootKey;
        std::uint64_t epoch = 0;
    };
    std::unordered_map<std::u16string, CachedKey> m_paths;
    ValueCache m_values;
    CommitWatch m_commits;
    std::u16string m_cacheKey;  // reused, so that a lookup allocates nothing
    std::string m_folded;       // likewise for a value name bound to a read
    EnumCursor m_keyCursor;
    EnumCursor m_valueCursor;
    // The value read last, by key and folded name (see FindCachedKey).
    KeyId m_lastReadKey = -1;
    std::string m_lastReadName;
};

// Names are stored as their native UTF-16 bytes.
inline std::u16string NameFromBlob(std::string_view bytes) {
    std::u16string name(bytes.size() / 2, u'\0');
    if (!name.empty()) std::memcpy(name.data(), bytes.data(), name.size() * 2);
    return name;
}

template <class Use>
LSTATUS Hive::ReadValue(KeyId key, std::u16string_view name, Use&& use) {
    const ValueCache::Entry* value = nullptr;
    const LSTATUS status = FetchValue(key, name, &value);
    if (status != ERROR_SUCCESS) return status;
    return use(value->type, std::string_view(value->data));
}

template <class Use>
LSTATUS Hive::EnumKey(KeyId key, DWORD index, Use&& use) {
    if (!Readable()) return ERROR_NO_MORE_ITEMS;
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = EnumStatement(m_keyCursor, key, index, kEnumKey, kEnumKeyAfter, &rc);
    if (stmt == nullptr) return Fail(rc);
    LSTATUS status;
    {
        StmtUse q(stmt);
        rc = q.Step();
        if (rc == SQLITE_ROW) {
            m_keyCursor.fold = q.Blob(1);
            return use(NameFromBlob(q.Blob(0)));
        }
        m_keyCursor.key = -1;
        status = rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : Fail(rc);
    }
    return status == ERROR_NO_MORE_ITEMS ? MissingKeyResult(key, status) : status;
}

template <class Use>
LSTATUS Hive::EnumValue(KeyId key, DWORD index, Use&& use) {
    if (!Readable()) return ERROR_NO_MORE_ITEMS;
    int rc = SQLITE_OK;
    sqlite3_stmt* stmt = EnumStatement(m_valueCursor, key, index, kEnumValue, kEnumValueAfter, &rc);
    if (stmt == nullptr) return Fail(rc);
    LSTATUS status;
    {
        StmtUse q(stmt);
        rc = q.Step();
        if (rc == SQLITE_ROW) {
            m_valueCursor.fold = q.Blob(3);
            return use(NameFromBlob(q.Blob(0)), static_cast<DWORD>(q.Int(1)), q.Blob(2));
        }
        m_valueCursor.key = -1;
        status = rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : Fail(rc);
    }
    return status == ERROR_NO_MORE_ITEMS ? MissingKeyResult(key, status) : status;
}

}  // namespace qelplatform
