// SalvageHive on hand-made hive files: rows the registry itself never writes (broken parent
// links, cycles, malformed rows) and what is reported for each.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "portable/CaseFold.h"
#include "portable/HiveSalvage.h"
#include "support/HiveFiles.h"
#include "support/RegistryProbe.h"

namespace {

using qelplatform::HiveSalvage;
using qelplatform::SalvageHive;

// Names as a hive stores them: the UTF-16 units in memory order, and folded by the store's own
// table.
std::string Native(const std::u16string& text) { return qeltest::Utf16Bytes(text); }
std::string Folded(const std::u16string& text) { return qelplatform::FoldedKey(text); }

class HiveSalvageTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("qel-salvage-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        // Private, as the registry wants the directory of a hive it makes.
        std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all);
        // A hive the registry itself made, with its tables and no rows.
        ASSERT_TRUE(qeltest::EmptyHive(File()));
        ASSERT_EQ(sqlite3_open(File().c_str(), &m_db), SQLITE_OK);
    }
    void TearDown() override {
        if (m_db != nullptr) sqlite3_close(m_db);
        std::filesystem::remove_all(m_dir);
    }
    std::string File() const { return (m_dir / "copy.hive").string(); }

    void Key(long long id, long long parent, const std::u16string& name) {
        Insert("INSERT INTO keys(id, parent, name, fold) VALUES(?1, ?2, ?3, ?4)", id, parent,
               Native(name), Folded(name));
    }
    void Value(long long id, long long key, const std::u16string& name, long long type,
               const std::string& data) {
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(m_db,
                                     "INSERT INTO vals(id, key, name, fold, type, data) "
                                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                                     -1, &stmt, nullptr),
                  SQLITE_OK);
        const std::string native = Native(name), folded = Folded(name);
        sqlite3_bind_int64(stmt, 1, id);
        sqlite3_bind_int64(stmt, 2, key);
        sqlite3_bind_blob(stmt, 3, native.data(), static_cast<int>(native.size()), SQLITE_STATIC);
        sqlite3_bind_blob(stmt, 4, folded.data(), static_cast<int>(folded.size()), SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 5, type);
        sqlite3_bind_blob(stmt, 6, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
        sqlite3_finalize(stmt);
    }
    void Exec(const char* sql) {
        ASSERT_EQ(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    // Done writing: nothing of this process has the file open while it is damaged or read.
    void Close() {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    HiveSalvage Salvage() {
        Close();
        return SalvageHive(File());
    }
    long PageSize() {
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_db, "PRAGMA page_size", -1, &stmt, nullptr), SQLITE_OK);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        const long size = static_cast<long>(sqlite3_column_int64(stmt, 0));
        sqlite3_finalize(stmt);
        return size;
    }

private:
    void Insert(const char* sql, long long a, long long b, const std::string& c,
                const std::string& d) {
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr), SQLITE_OK);
        sqlite3_bind_int64(stmt, 1, a);
        sqlite3_bind_int64(stmt, 2, b);
        sqlite3_bind_blob(stmt, 3, c.data(), static_cast<int>(c.size()), SQLITE_STATIC);
        sqlite3_bind_blob(stmt, 4, d.data(), static_cast<int>(d.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
        sqlite3_finalize(stmt);
    }

    std::filesystem::path m_dir;
    sqlite3* m_db = nullptr;
};

TEST_F(HiveSalvageTest, ASoundFileGivesEveryKeyAndValueExactlyInCreationOrder) {
    Key(1, 0, u"Software");
    Key(2, 1, u"Empty");
    Key(3, 1, u"App");
    Value(5, 3, u"Late", 4, std::string("\x01\x00\x00\x00", 4));
    Value(2, 3, u"Early", 7, std::string("a\0b\0\0\0", 6));
    Value(3, 0, u"AtRoot", 3, "");
    Value(4, 3, u"", 11, std::string(8, '\xFF'));
    const HiveSalvage s = Salvage();
    EXPECT_TRUE(s.Complete());
    EXPECT_EQ(s.keys,
              (std::vector<std::u16string>{u"Software", u"Software\\Empty", u"Software\\App"}));
    ASSERT_EQ(s.values.size(), 4u);
    EXPECT_EQ(s.values[0].name, u"Early");
    EXPECT_EQ(s.values[0].type, 7u);
    EXPECT_EQ(s.values[0].data, std::string("a\0b\0\0\0", 6));
    EXPECT_EQ(s.values[1].key, u"");
    EXPECT_EQ(s.values[1].name, u"AtRoot");
    EXPECT_EQ(s.values[1].data, "");
    EXPECT_EQ(s.values[2].name, u"");
    EXPECT_EQ(s.values[2].type, 11u);
    EXPECT_EQ(s.values[3].key, u"Software\\App");
    EXPECT_EQ(s.values[3].data, std::string("\x01\x00\x00\x00", 4));
}

// The deepest key the registry makes is saved whole; one level more is only a cycle's length.
TEST_F(HiveSalvageTest, TheDeepestKeyTheStoreMakesIsSavedWhole) {
    Exec("BEGIN");
    for (long long id = 1; id <= 513; ++id) Key(id, id - 1, u"k");
    Value(1, 512, u"v", 4, std::string(4, '\x01'));
    Exec("COMMIT");
    const HiveSalvage s = Salvage();
    ASSERT_EQ(s.keys.size(), 512u);
    EXPECT_EQ(std::count(s.keys.back().begin(), s.keys.back().end(), u'\\'), 511);
    ASSERT_EQ(s.values.size(), 1u);
    EXPECT_EQ(s.values[0].key, s.keys.back());
    ASSERT_EQ(s.lost.size(), 1u);
    EXPECT_NE(s.lost[0].key.find(u"<cycle>"), std::u16string::npos);
}

TEST_F(HiveSalvageTest, KeysWithABrokenChainAreReportedNotInvented) {
    Key(1, 0, u"Software");
    Key(2, 1, u"Kept");
    Key(3, 99, u"Orphan");  // its parent never existed
    Key(4, 3, u"Below");
    Key(5, 6, u"Loop");  // 5 and 6 are each other's parent
    Key(6, 5, u"Back");
    Value(1, 4, u"Stranded", 1, "x");
    Value(2, 2, u"Fine", 1, "y");
    const HiveSalvage s = Salvage();
    EXPECT_EQ(s.keys, (std::vector<std::u16string>{u"Software", u"Software\\Kept"}));
    ASSERT_EQ(s.values.size(), 1u);
    EXPECT_EQ(s.values[0].name, u"Fine");
    std::vector<std::u16string> lostKeys;
    bool strandedReported = false;
    for (const auto& loss : s.lost) {
        if (!loss.isValue) lostKeys.push_back(loss.key);
        if (loss.isValue && loss.name == u"Stranded") {
            strandedReported = true;
            EXPECT_EQ(loss.key, u"<key 99>\\Orphan\\Below");
            EXPECT_EQ(loss.reason, "its key was lost");
        }
    }
    EXPECT_TRUE(strandedReported);
    std::sort(lostKeys.begin(), lostKeys.end());
    ASSERT_EQ(lostKeys.size(), 4u);
    // A cycle is cut at the depth limit and shown as such.
    EXPECT_EQ(lostKeys[0].rfind(u"<cycle>\\", 0), 0u);
    EXPECT_EQ(lostKeys[1].rfind(u"<cycle>\\", 0), 0u);
    EXPECT_EQ(lostKeys[2], u"<key 99>\\Orphan");
    EXPECT_EQ(lostKeys[3], u"<key 99>\\Orphan\\Below");
}

TEST_F(HiveSalvageTest, MalformedRowsAreReportedAndTheRestSaved) {
    Key(1, 0, u"Software");
    Exec("INSERT INTO keys(id, parent, name, fold) VALUES(2, 1, x'41', x'0041')");  // odd bytes
    Exec("INSERT INTO keys(id, parent, name, fold) VALUES(3, 1, 'text', x'00')");   // not a blob
    Value(1, 1, u"BadType", -1, "z");
    Value(2, 1, u"Good", 1, "ok");
    Exec(
        "INSERT INTO vals(id, key, name, fold, type, data) VALUES(3, 1, x'4100', x'0041', "
        "'one', x'00')");
    const HiveSalvage s = Salvage();
    EXPECT_EQ(s.keys, (std::vector<std::u16string>{u"Software"}));
    ASSERT_EQ(s.values.size(), 1u);
    EXPECT_EQ(s.values[0].name, u"Good");
    int malformed = 0;
    for (const auto& loss : s.lost) malformed += loss.reason == "its row is malformed";
    EXPECT_EQ(malformed, 4);
    EXPECT_FALSE(s.Complete());
}

TEST_F(HiveSalvageTest, RowsOnAGarbagePageAreNamedFromTheIndex) {
    Key(1, 0, u"Software");
    for (int i = 1; i <= 200; ++i)
        Value(i, 1,
              u"V" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                  std::u16string(3, static_cast<char16_t>(u'a' + i / 26)),
              3, std::string(200, static_cast<char>(i)));
    const long pageSize = PageSize();
    Close();
    ASSERT_EQ(SalvageHive(File()).values.size(), 200u);
    // The page that holds row 100's data (200 bytes of 0x64): a leaf in the middle of vals.
    long victim = 0;
    {
        FILE* f = std::fopen(File().c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::string page(static_cast<std::size_t>(pageSize), '\0');
        for (long n = 1; std::fread(page.data(), 1, page.size(), f) == page.size(); ++n)
            if (page.find(std::string(200, '\x64')) != std::string::npos) victim = n;
        std::fclose(f);
    }
    ASSERT_GT(victim, 1);
    {
        FILE* f = std::fopen(File().c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fseek(f, (victim - 1) * pageSize, SEEK_SET);
        const std::string garbage(static_cast<std::size_t>(pageSize), '\x5A');
        std::fwrite(garbage.data(), 1, garbage.size(), f);
        std::fclose(f);
    }
    const HiveSalvage s = SalvageHive(File());
    EXPECT_LT(s.values.size(), 200u);
    EXPECT_GT(s.values.size(), 150u);
    EXPECT_TRUE(s.unreadable.empty());
    EXPECT_EQ(s.values.size() + s.lost.size(), 200u);
    bool row100 = false;
    for (const auto& loss : s.lost) {
        EXPECT_TRUE(loss.isValue);
        EXPECT_EQ(loss.key, u"Software");
        EXPECT_EQ(loss.reason, "its row is on a damaged page");
        row100 = row100 || loss.name == u"VWDDD";  // 100 % 26 = 22 ('W'), 100 / 26 = 3 ('d')
    }
    EXPECT_TRUE(row100);
    for (const auto& value : s.values) EXPECT_NE(value.data, std::string(200, '\x64'));
}

TEST_F(HiveSalvageTest, AFileThatIsNotADatabaseYieldsNothingAndSaysSo) {
    Close();
    {
        FILE* f = std::fopen(File().c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        const std::string garbage(100, 'Q');
        std::fwrite(garbage.data(), 1, garbage.size(), f);
        std::fclose(f);
    }
    const HiveSalvage s = Salvage();
    EXPECT_TRUE(s.keys.empty());
    EXPECT_TRUE(s.values.empty());
    ASSERT_EQ(s.unreadable.size(), 1u);
    EXPECT_EQ(s.unreadable[0].rfind("nothing could be read", 0), 0u);
}

}  // namespace
