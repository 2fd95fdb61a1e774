// File: Hive.h
//
// One hive: its file (HiveFile.h), the connection reads and writes go through
// (HiveConnection.h), the caches that spare reads of an unchanged hive (KeyPathCache.h,
// ValueCache.h, CommitWatch.h), and the registry operations on its keys and values, whose SQL
// and transactions are in HiveStore.cpp. The file's format is in HiveSchema.h.
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

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QelRegistry.h"
#include "portable/CommitWatch.h"
#include "portable/HiveConnection.h"
#include "portable/HiveFile.h"
#include "portable/HiveSchema.h"
#include "portable/KeyPathCache.h"
#include "portable/Sqlite.h"
#include "portable/ValueCache.h"

namespace qelplatform {

// A key path split at backslashes, empty components dropped.
using PathParts = std::vector<std::u16string_view>;

class Hive {
public:
    Hive(HiveKind kind, std::string path);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    HiveKind Kind() const noexcept { return m_hiveFile.Kind(); }
    const std::string& Path() const noexcept { return m_hiveFile.Path(); }
    // Why the hive's files are not trusted (HiveTrust.h), when that is why it is refused.
    const TrustVerdict& Distrusted() const noexcept { return m_hiveFile.Distrusted(); }
    HiveStatus Status() const noexcept { return m_hiveFile.Status(); }

    // Looks at the file again: picks up a hive that was missing or unreadable. Returns false
    // when the path now names another file than the one this object describes (replaced or
    // removed), or the file's owner or mode changed; the caller then starts a new Hive for the
    // path. thorough: for a call that may write, which must not go to a file the path no longer
    // names; reads look less often (HiveFile::Unchanged).
    bool Refresh(bool thorough) {
        if (!m_hiveFile.NeedsExamining()) return m_hiveFile.Unchanged(thorough);
        Examine();
        return true;
    }
    // Whether writes are refused before they are tried: the read-only switch, a file this
    // process may not write, or a refused path. Damaged and foreign hives refuse each write
    // with their own code instead.
    bool WritesRefused() const { return m_hiveFile.WritesRefused(); }
    // QELHIVE_* flags for QelRegGetHiveInfo.
    DWORD InfoFlags() const { return m_hiveFile.InfoFlags(); }
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
    const std::string& File() const noexcept { return m_hiveFile.File(); }
    // For change notification (NotifySnapshot.h): the connection reads go through, opened when
    // needed, or null when the hive cannot be read.
    sqlite3* ReadConnection() { return Readable() ? m_conn->Db() : nullptr; }
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
    class WriteTransaction;
    // Where an enumeration of keys or of values stopped last (see EnumStatement).
    struct EnumCursor {
        KeyId key = -1;
        DWORD index = 0;
        std::string fold;
        std::uint64_t epoch = 0;
    };

    // Closes the connection and looks at the file afresh.
    void Examine();
    LSTATUS UseConnection(bool forWrite);
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
    LSTATUS ApplyChange(const Change& change, std::unordered_map<std::u16string, KeyId>& keys);
    // The value, from the cache or the file; valid until the next call on this hive.
    LSTATUS FetchValue(KeyId key, std::u16string_view name, const ValueCache::Entry** value);
    // Reads a value from the file into the cache, as of epoch (taken before the query); below
    // the root, ERROR_KEY_DELETED tells that the key is gone.
    LSTATUS QueryValue(KeyId key, std::string_view folded, std::uint64_t epoch,
                       const ValueCache::Entry** entry);
    bool Readable();
    // With the connection they were read through.
    void ForgetCaches() noexcept {
        m_paths.Clear();
        m_values.Clear();
    }

    HiveFile m_hiveFile;
    std::unique_ptr<HiveConnection> m_conn;
    // Inside ApplyBatch: each change's own transaction is the batch's.
    bool m_inBatch = false;
    bool m_leaveFilesAsFound = false;
    KeyPathCache m_paths;
    ValueCache m_values;
    CommitWatch m_commits;
    std::string m_folded;  // reused, so that a value name bound to a read allocates nothing
    EnumCursor m_keyCursor;
    EnumCursor m_valueCursor;
};

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
