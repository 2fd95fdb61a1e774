#include "CraftedHive.h"

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include "support/RegistryProbe.h"

namespace qeltest {

namespace {

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr), SQLITE_OK)
            << sql << ": " << sqlite3_errmsg(db);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, long long value) {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    Statement& Bind(int index, const std::string& blob) {
        sqlite3_bind_blob(m_stmt, index, blob.data(), static_cast<int>(blob.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // Runs it; the first column of its row, or -1 when there is none.
    long long Run() {
        const int rc = sqlite3_step(m_stmt);
        EXPECT_TRUE(rc == SQLITE_ROW || rc == SQLITE_DONE) << rc;
        const long long first = rc == SQLITE_ROW ? sqlite3_column_int64(m_stmt, 0) : -1;
        sqlite3_reset(m_stmt);
        return first;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

}  // namespace

CraftedHive::CraftedHive(const std::filesystem::path& hive) {
    EXPECT_EQ(sqlite3_open_v2(hive.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK)
        << hive;
    sqlite3_busy_timeout(m_db, 5000);
    // One transaction for everything, committed when done: thousands of rows, one commit.
    Exec("PRAGMA synchronous=OFF");
    Exec("BEGIN IMMEDIATE");
}

CraftedHive::~CraftedHive() {
    Exec("COMMIT");
    sqlite3_close(m_db);
}

long long CraftedHive::KeyId(const std::u16string& path) {
    Statement find(m_db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    long long id = 0;
    for (size_t start = 0; start <= path.size() && id >= 0;) {
        const size_t end = std::min(path.find(u'\\', start), path.size());
        id = find.Bind(1, id).Bind(2, Utf16Bytes(path.substr(start, end - start))).Run();
        start = end + 1;
    }
    return id;
}

// The fold orders a key's listing and finds names in any letter case. Crafted names are only
// ever listed, never looked up, so their own bytes serve: unique, as the index wants.
long long CraftedHive::AddKey(long long parent, const std::u16string& name) {
    Statement insert(m_db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?2) RETURNING id");
    return insert.Bind(1, parent).Bind(2, Utf16Bytes(name)).Run();
}

long long CraftedHive::AddChain(long long parent, long long like, int depth) {
    Statement insert(m_db,
                     "INSERT INTO keys(parent, name, fold) SELECT ?1, name, fold FROM keys "
                     "WHERE id = ?2 RETURNING id");
    for (int level = 0; level < depth; ++level) parent = insert.Bind(1, parent).Bind(2, like).Run();
    return parent;
}

void CraftedHive::AddValue(long long key, const std::u16string& name, const std::u16string& text) {
    Statement insert(m_db,
                     "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?2, 1, ?3)");
    insert.Bind(1, key)
        .Bind(2, Utf16Bytes(name))
        .Bind(3, Utf16Bytes(text + std::u16string(1, u'\0')))
        .Run();
}

void CraftedHive::MoveValues(long long from, long long to) {
    Statement move(m_db, "UPDATE vals SET key = ?2 WHERE key = ?1");
    move.Bind(1, from).Bind(2, to).Run();
}

void CraftedHive::Renumber(long long id, long long to) {
    Statement(m_db, "UPDATE keys SET id = ?2 WHERE id = ?1").Bind(1, id).Bind(2, to).Run();
    Statement(m_db, "UPDATE keys SET parent = ?2 WHERE parent = ?1").Bind(1, id).Bind(2, to).Run();
    Statement(m_db, "UPDATE vals SET key = ?2 WHERE key = ?1").Bind(1, id).Bind(2, to).Run();
}

long long CraftedHive::Count(const std::string& sql) { return Statement(m_db, sql.c_str()).Run(); }

void CraftedHive::Exec(const char* sql) {
    EXPECT_EQ(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
}

}  // namespace qeltest

#endif
