// File: HiveSalvage.cpp
//
// How a damaged hive is read:
// - Upper bounds for the key and value ids come from every source that still answers: max(id),
//   sqlite_sequence, and scans of each table and index until their first error. Each id up to
//   the bound, and past it while rows still turn up, is then read with its own point query;
//   SQLITE_CORRUPT for one id does not stop the next, so a bad page costs only the rows on it.
//   Probes that end on unreadable rows are reported open-ended ("rows 65 and up"): a damaged
//   last page hides how many rows followed.
// - The two unique indexes hold (parent, fold, id) and (key, fold, id). They are read per parent,
//   again one query each, to put names to rows the tables could not give.
// - Paths are rebuilt from parent links, with a depth limit against cycles. Only keys whose
//   every ancestor was read in full are saved; the registry is case-insensitive but a folded
//   name is not the name that was stored, so nothing is recreated from an index alone.
#include "portable/HiveSalvage.h"

#include <algorithm>
#include <map>
#include <set>

#include "portable/Hive.h"
#include "portable/Sqlite.h"

namespace qelplatform {

namespace {

constexpr std::size_t kMaxKeyChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;
// Deeper than any path the registry accepts, so only a cycle of parent links reaches it.
constexpr std::size_t kMaxDepth = kMaxKeyDepth;
// Ids probed past the highest one seen, for rows on a damaged last page of a table.
constexpr sqlite3_int64 kIdSlack = 64;
// A corrupt max(id) must not turn into billions of probes.
constexpr sqlite3_int64 kMaxProbedId = 1 << 22;

int OpenCopy(const std::string& path, SqliteDb* out) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    SqliteDb db(raw);
    if (rc != SQLITE_OK) return rc;
    // Not SQLITE_DBCONFIG_DEFENSIVE: it would forbid writable_schema, the way past a schema
    // that no longer parses. The copy is private, and nothing here writes.
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_limit(raw, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxValueBytes) + 4096);
    sqlite3_limit(raw, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_exec(raw, "PRAGMA cell_size_check = ON", nullptr, nullptr, nullptr);
    *out = std::move(db);
    return SQLITE_OK;
}

SqliteStmt Prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return SqliteStmt();
    }
    return SqliteStmt(raw);
}

// The largest integer in the first column over the rows read before the first error.
sqlite3_int64 ScanMax(sqlite3* db, const char* sql) {
    SqliteStmt stmt = Prepare(db, sql);
    if (!stmt) return 0;
    sqlite3_int64 most = 0;
    while (sqlite3_step(stmt.Get()) == SQLITE_ROW)
        most = std::max(most, sqlite3_column_int64(stmt.Get(), 0));
    return most;
}

std::u16string FromBlob(std::string_view bytes) { return NameFromBlob(bytes); }

// Folded names are stored as big-endian code units (CaseFold.h).
std::u16string FromFolded(std::string_view bytes) {
    std::u16string name;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        name += static_cast<char16_t>((static_cast<unsigned char>(bytes[i]) << 8) |
                                      static_cast<unsigned char>(bytes[i + 1]));
    return name;
}

std::u16string Numbered(sqlite3_int64 id) {
    const std::string text = "<key " + std::to_string(id) + ">";
    return std::u16string(text.begin(), text.end());
}

bool ValidKeyName(std::string_view bytes) {
    if (bytes.empty() || bytes.size() % 2 != 0 || bytes.size() / 2 > kMaxKeyChars) return false;
    return FromBlob(bytes).find(u'\\') == std::u16string::npos;
}

enum class Probe { Row, Absent, Unreadable };

Probe Classify(int rc) {
    if (rc == SQLITE_ROW) return Probe::Row;
    return rc == SQLITE_DONE ? Probe::Absent : Probe::Unreadable;
}

struct KeyRow {
    sqlite3_int64 parent = 0;
    std::u16string name;
    bool exact = false;  // read from the table, not only from the index
    bool valid = true;
};

struct IndexEntry {
    sqlite3_int64 owner = 0;  // the parent key, or the value's key
    std::u16string folded;
};

// "key rows 5-9, 14"; "14 and up" when the probes ended on an unreadable row, so that what
// lies beyond is unknown.
std::string Ranges(const char* what, const std::vector<sqlite3_int64>& ids,
                   sqlite3_int64 lastProbed) {
    std::string text = std::string(what) + " rows ";
    for (std::size_t i = 0; i < ids.size();) {
        std::size_t j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1) ++j;
        if (i != 0) text += ", ";
        text += std::to_string(ids[i]);
        if (ids[j] == lastProbed)
            text += " and up";
        else if (j != i)
            text += "-" + std::to_string(ids[j]);
        i = j + 1;
    }
    return text;
}

class Reader {
public:
    explicit Reader(sqlite3* db) : m_db(db) {}

    void Run(HiveSalvage& out);

private:
    bool PrepareProbes();
    void ReadKeys(sqlite3_int64 bound);
    void ReadValues(sqlite3_int64 bound);
    void ReadIndexes(sqlite3_int64 keyBound);
    // The key's path as far as it is known, and whether every part of it was read exactly.
    std::u16string PathOf(sqlite3_int64 id, bool* whole);

    sqlite3* m_db;
    SqliteStmt m_keyProbe;
    SqliteStmt m_valueProbe;
    std::map<sqlite3_int64, KeyRow> m_keys;
    std::vector<sqlite3_int64> m_keyUnreadable;
    struct ValueRow {
        sqlite3_int64 key = 0;
        std::u16string name;
        sqlite3_int64 type = 0;
        std::string data;
    };
    std::map<sqlite3_int64, ValueRow> m_values;
    std::vector<sqlite3_int64> m_valueUnreadable;
    std::map<sqlite3_int64, IndexEntry> m_keyIndex;
    std::map<sqlite3_int64, IndexEntry> m_valueIndex;
    bool m_keyIndexWhole = true;
    sqlite3_int64 m_keyProbed = 0;  // the last id probed
    sqlite3_int64 m_valueProbed = 0;
    bool m_valueIndexWhole = true;
};

bool Reader::PrepareProbes() {
    m_keyProbe = Prepare(m_db, "SELECT parent, name FROM keys WHERE id = ?1");
    m_valueProbe = Prepare(m_db, "SELECT key, name, type, data FROM vals WHERE id = ?1");
    return m_keyProbe && m_valueProbe;
}

void Reader::ReadKeys(sqlite3_int64 bound) {
    sqlite3_int64 lastRow = 0;
    // Past the bound for as long as rows still turn up.
    for (sqlite3_int64 id = 1; id <= std::max(bound, lastRow + kIdSlack) && id <= kMaxProbedId;
         ++id) {
        StmtUse q(m_keyProbe.Get());
        q.Bind(1, id);
        switch (Classify(q.Step())) {
            case Probe::Row: {
                KeyRow row;
                row.parent = q.Int(0);
                row.exact = true;
                row.valid =
                    sqlite3_column_type(q.Get(), 1) == SQLITE_BLOB && ValidKeyName(q.Blob(1));
                row.name = row.valid ? FromBlob(q.Blob(1)) : Numbered(id);
                m_keys.emplace(id, std::move(row));
                lastRow = id;
                break;
            }
            case Probe::Absent:
                break;
            case Probe::Unreadable:
                m_keyUnreadable.push_back(id);
                break;
        }
        m_keyProbed = id;
    }
}

void Reader::ReadValues(sqlite3_int64 bound) {
    sqlite3_int64 lastRow = 0;
    for (sqlite3_int64 id = 1; id <= std::max(bound, lastRow + kIdSlack) && id <= kMaxProbedId;
         ++id) {
        StmtUse q(m_valueProbe.Get());
        q.Bind(1, id);
        switch (Classify(q.Step())) {
            case Probe::Row: {
                ValueRow row;
                row.key = q.Int(0);
                const std::string_view name = q.Blob(1);
                const bool nameOk = sqlite3_column_type(q.Get(), 1) == SQLITE_BLOB &&
                                    name.size() % 2 == 0 && name.size() / 2 <= kMaxValueNameChars;
                row.name = FromBlob(name);
                row.type = q.Int(2);
                const std::string_view data = q.Blob(3);
                row.data.assign(data.data(), data.size());
                const bool typeOk = sqlite3_column_type(q.Get(), 2) == SQLITE_INTEGER &&
                                    row.type >= 0 && row.type <= 0xFFFFFFFF;
                const int dataType = sqlite3_column_type(q.Get(), 3);
                const bool dataOk = (dataType == SQLITE_BLOB || dataType == SQLITE_NULL) &&
                                    data.size() <= kMaxValueBytes;
                if (!nameOk || !typeOk || !dataOk) row.type = -1;  // malformed, reported below
                m_values.emplace(id, std::move(row));
                lastRow = id;
                break;
            }
            case Probe::Absent:
                break;
            case Probe::Unreadable:
                m_valueUnreadable.push_back(id);
                break;
        }
        m_valueProbed = id;
    }
}

void Reader::ReadIndexes(sqlite3_int64 keyBound) {
    const struct {
        const char* sql;
        std::map<sqlite3_int64, IndexEntry>* entries;
        bool* whole;
    } indexes[] = {
        {"SELECT fold, id FROM keys INDEXED BY keys_by_parent WHERE parent = ?1", &m_keyIndex,
         &m_keyIndexWhole},
        {"SELECT fold, id FROM vals INDEXED BY vals_by_key WHERE key = ?1", &m_valueIndex,
         &m_valueIndexWhole},
    };
    for (const auto& index : indexes) {
        SqliteStmt stmt = Prepare(m_db, index.sql);
        if (!stmt) {
            *index.whole = false;
            continue;
        }
        for (sqlite3_int64 owner = 0; owner <= keyBound; ++owner) {
            StmtUse q(stmt.Get());
            q.Bind(1, owner);
            int rc;
            while ((rc = q.Step()) == SQLITE_ROW)
                index.entries->insert_or_assign(q.Int(1), IndexEntry{owner, FromFolded(q.Blob(0))});
            if (rc != SQLITE_DONE) *index.whole = false;
        }
    }
}

std::u16string Reader::PathOf(sqlite3_int64 id, bool* whole) {
    std::vector<std::u16string> parts;
    *whole = true;
    for (std::size_t depth = 0; id != kRootKey; ++depth) {
        if (depth == kMaxDepth) {
            *whole = false;
            parts.push_back(u"<cycle>");
            break;
        }
        if (auto row = m_keys.find(id); row != m_keys.end()) {
            if (!row->second.valid) *whole = false;
            parts.push_back(row->second.name);
            id = row->second.parent;
        } else if (auto entry = m_keyIndex.find(id); entry != m_keyIndex.end()) {
            *whole = false;
            parts.push_back(entry->second.folded);
            id = entry->second.owner;
        } else {
            *whole = false;
            parts.push_back(Numbered(id));
            break;
        }
    }
    std::u16string path;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!path.empty()) path += u'\\';
        path += *it;
    }
    return path;
}

void Reader::Run(HiveSalvage& out) {
    if (!PrepareProbes()) {
        // A schema that does not parse any more: SQLite reads past it with writable_schema.
        sqlite3_exec(m_db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr);
        if (!PrepareProbes()) {
            out.unreadable.push_back(std::string("nothing could be read: ") + sqlite3_errmsg(m_db));
            return;
        }
    }
    sqlite3_int64 keyBound = std::max({ScanMax(m_db, "SELECT max(id) FROM keys"),
                                       ScanMax(m_db,
                                               "SELECT seq FROM sqlite_sequence "
                                               "WHERE name = 'keys'"),
                                       ScanMax(m_db, "SELECT id FROM keys NOT INDEXED"),
                                       ScanMax(m_db,
                                               "SELECT id FROM keys INDEXED BY "
                                               "keys_by_parent")});
    sqlite3_int64 valueBound =
        std::max({ScanMax(m_db, "SELECT max(id) FROM vals"),
                  ScanMax(m_db, "SELECT id FROM vals NOT INDEXED"),
                  ScanMax(m_db, "SELECT id FROM vals INDEXED BY vals_by_key")});
    keyBound = std::min(keyBound + kIdSlack, kMaxProbedId);
    valueBound = std::min(valueBound + kIdSlack, kMaxProbedId);
    ReadKeys(keyBound);
    ReadValues(valueBound);
    ReadIndexes(m_keyProbed);
    if (m_keys.empty() && m_values.empty() && m_keyIndex.empty() && m_valueIndex.empty() &&
        (!m_keyUnreadable.empty() || !m_valueUnreadable.empty())) {
        out.unreadable.push_back(std::string("nothing could be read: ") + sqlite3_errmsg(m_db));
        return;
    }

    // Keys: saved when the whole chain up to the root was read.
    std::set<sqlite3_int64> saved;
    for (const auto& [id, row] : m_keys) {
        bool whole = false;
        std::u16string path = PathOf(id, &whole);
        if (whole) {
            saved.insert(id);
            out.keys.push_back(std::move(path));
        } else {
            out.lost.push_back({false, std::move(path), u"",
                                row.valid ? "a key above it was lost" : "its row is malformed"});
        }
    }
    std::vector<sqlite3_int64> unnamedKeys;
    for (sqlite3_int64 id : m_keyUnreadable) {
        if (m_keyIndex.count(id) == 0) {
            unnamedKeys.push_back(id);
            continue;
        }
        bool whole = false;
        out.lost.push_back({false, PathOf(id, &whole), u"", "its row is on a damaged page"});
    }
    // Listed by the index with no row to match, though no error said so.
    for (const auto& [id, entry] : m_keyIndex) {
        if (m_keys.count(id) == 0 &&
            !std::binary_search(m_keyUnreadable.begin(), m_keyUnreadable.end(), id)) {
            bool whole = false;
            out.lost.push_back(
                {false, PathOf(id, &whole), u"", "the index lists it, its row is gone"});
        }
    }

    std::vector<sqlite3_int64> unnamedValues;
    for (const auto& [id, row] : m_values) {
        bool whole = true;
        const std::u16string path = row.key == kRootKey ? u"" : PathOf(row.key, &whole);
        if (row.type < 0) {
            out.lost.push_back({true, path, row.name, "its row is malformed"});
        } else if (row.key != kRootKey && saved.count(row.key) == 0) {
            out.lost.push_back({true, path, row.name, "its key was lost"});
        } else {
            out.values.push_back({path, row.name, static_cast<DWORD>(row.type), row.data});
        }
    }
    for (sqlite3_int64 id : m_valueUnreadable) {
        auto entry = m_valueIndex.find(id);
        if (entry == m_valueIndex.end()) {
            unnamedValues.push_back(id);
            continue;
        }
        bool whole = true;
        const std::u16string path =
            entry->second.owner == kRootKey ? u"" : PathOf(entry->second.owner, &whole);
        out.lost.push_back({true, path, entry->second.folded, "its row is on a damaged page"});
    }
    for (const auto& [id, entry] : m_valueIndex) {
        if (m_values.count(id) == 0 &&
            !std::binary_search(m_valueUnreadable.begin(), m_valueUnreadable.end(), id)) {
            bool whole = true;
            const std::u16string path = entry.owner == kRootKey ? u"" : PathOf(entry.owner, &whole);
            out.lost.push_back({true, path, entry.folded, "the index lists it, its row is gone"});
        }
    }
    // Unreadable ids the indexes do not name: with a whole index they were never rows (deleted
    // ids fall on damaged pages too); otherwise nothing can tell, so they are reported.
    if (!unnamedKeys.empty() && !m_keyIndexWhole)
        out.unreadable.push_back(Ranges("key", unnamedKeys, m_keyProbed));
    if (!unnamedValues.empty() && !m_valueIndexWhole)
        out.unreadable.push_back(Ranges("value", unnamedValues, m_valueProbed));
}

}  // namespace

HiveSalvage SalvageHive(const std::string& copyPath) {
    HiveSalvage out;
    SqliteDb db;
    if (const int rc = OpenCopy(copyPath, &db); rc != SQLITE_OK) {
        out.unreadable.push_back(std::string("nothing could be read: ") + sqlite3_errstr(rc));
        return out;
    }
    Reader(db.Get()).Run(out);
    return out;
}

bool HiveIntact(const std::string& copyPath, std::string* problem) {
    SqliteDb db;
    if (const int rc = OpenCopy(copyPath, &db); rc != SQLITE_OK) {
        *problem = sqlite3_errstr(rc);
        return false;
    }
    SqliteStmt stmt = Prepare(db.Get(), "PRAGMA integrity_check(1)");
    if (!stmt) {
        *problem = sqlite3_errmsg(db.Get());
        return false;
    }
    const int rc = sqlite3_step(stmt.Get());
    if (rc != SQLITE_ROW) {
        *problem = sqlite3_errmsg(db.Get());
        return false;
    }
    const unsigned char* text = sqlite3_column_text(stmt.Get(), 0);
    std::string first = text == nullptr ? "" : reinterpret_cast<const char*>(text);
    if (first == "ok") return true;
    // One line for a report: without the database heading, and its lines joined.
    constexpr std::string_view kHeading = "*** in database main ***\n";
    if (first.rfind(kHeading, 0) == 0) first.erase(0, kHeading.size());
    for (std::size_t at; (at = first.find('\n')) != std::string::npos;) first.replace(at, 1, "; ");
    *problem = first;
    return false;
}

}  // namespace qelplatform
