// File: NotifySnapshot.cpp
#include "portable/NotifySnapshot.h"

#include <string_view>

namespace qelplatform {

namespace {

// Levels below the watched key, a bound that also ends a walk of parent links that a damaged
// file made into a cycle.
constexpr const char* kTree =
    "WITH RECURSIVE tree(id, depth) AS (SELECT ?1, 0 UNION ALL "
    "SELECT k.id, tree.depth + 1 FROM keys AS k JOIN tree ON k.parent = tree.id "
    "WHERE tree.depth < 513) ";

// FNV-1a over length-prefixed fields, so that ("ab", "c") and ("a", "bc") differ.
class Digest {
public:
    void Add(std::string_view bytes) {
        AddRaw(std::to_string(bytes.size()));
        AddRaw(bytes);
    }
    void Add(sqlite3_int64 number) { Add(std::to_string(number)); }
    std::uint64_t Value() const { return m_hash; }

private:
    void AddRaw(std::string_view bytes) {
        for (unsigned char c : bytes) {
            m_hash ^= c;
            m_hash *= 0x100000001b3ULL;
        }
        m_hash ^= 0xFF;
        m_hash *= 0x100000001b3ULL;
    }
    std::uint64_t m_hash = 0xcbf29ce484222325ULL;
};

// Runs `sql` with the key bound as ?1 and digests every column of every row.
bool DigestRows(sqlite3* db, const std::string& sql, KeyId key, std::uint64_t* digest) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) return false;
    SqliteStmt stmt(raw);
    sqlite3_bind_int64(raw, 1, key);
    Digest sum;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(raw);
        for (int column = 0; column < columns; ++column) {
            const void* bytes = sqlite3_column_blob(raw, column);
            const int size = sqlite3_column_bytes(raw, column);
            sum.Add(std::string_view(static_cast<const char*>(bytes),
                                     bytes == nullptr ? 0 : static_cast<std::size_t>(size)));
        }
    }
    *digest = sum.Value();
    return rc == SQLITE_DONE;
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

bool TakeSnapshot(Hive& hive, KeyId key, bool subtree, KeySnapshot* snapshot) {
    KeySnapshot taken;
    sqlite3* db = hive.ReadConnection();
    if (db == nullptr) {
        // Nothing readable: an empty hive, in which only the root exists.
        taken.exists = key == kRootKey;
        taken.names = Digest().Value();
        taken.values = taken.names;
        *snapshot = taken;
        return true;
    }
    // One read transaction, so that the three reads see the same commit.
    const bool own = sqlite3_get_autocommit(db) != 0 && Exec(db, "BEGIN");
    bool ok = true;
    if (key != kRootKey) {
        std::uint64_t rows = 0;
        ok = DigestRows(db, "SELECT id FROM keys WHERE id = ?1", key, &rows);
        taken.exists = rows != Digest().Value();
    }
    if (ok && taken.exists) {
        if (subtree) {
            ok = DigestRows(db,
                            std::string(kTree) +
                                "SELECT k.id, k.parent, k.fold FROM tree JOIN keys AS k ON "
                                "k.id = tree.id WHERE tree.depth > 0 ORDER BY k.id",
                            key, &taken.names) &&
                 DigestRows(db,
                            std::string(kTree) +
                                "SELECT v.key, v.fold, v.type, v.data FROM tree JOIN vals AS v "
                                "ON v.key = tree.id ORDER BY v.key, v.fold",
                            key, &taken.values);
        } else {
            ok = DigestRows(db, "SELECT id, parent, fold FROM keys WHERE parent = ?1 ORDER BY id",
                            key, &taken.names) &&
                 DigestRows(db,
                            "SELECT key, fold, type, data FROM vals WHERE key = ?1 ORDER BY fold",
                            key, &taken.values);
        }
    }
    if (own) Exec(db, "COMMIT");
    if (ok) *snapshot = taken;
    return ok;
}

bool SnapshotChanged(const KeySnapshot& before, const KeySnapshot& after, DWORD filter) {
    if (before.exists != after.exists) return true;
    if ((filter & REG_NOTIFY_CHANGE_NAME) && before.names != after.names) return true;
    return (filter & REG_NOTIFY_CHANGE_LAST_SET) && before.values != after.values;
}

}  // namespace qelplatform
