// File: HiveSchema.cpp
//
// The header ids and schema of HiveSchema.h, the check that a file has exactly them, and the
// script that writes them into a new hive.
#include "portable/HiveSchema.h"

#include <sys/stat.h>

#include <iterator>

#include "portable/HiveConnection.h"
#include "portable/Sqlite.h"

namespace qelplatform {

namespace {

constexpr int kApplicationId = 0x51454C48;  // "QELH"
constexpr int kFormatVersion = 1;

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

}  // namespace

HiveStatus CheckFormat(sqlite3* db, const std::string& path, off_t fileSize, int* rc) {
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

std::string CreationScript() {
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

}  // namespace qelplatform
