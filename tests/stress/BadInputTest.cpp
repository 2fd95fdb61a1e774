// File: BadInputTest.cpp
//
// Hostile hive files and hostile values under the settings' keys, seen through the library: no
// crash, the file left byte for byte as found, and defaults served where nothing is readable.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <optional>

#include "QelConfig.h"
#include "QelConfig/QelConfigTestAccess.h"
#include "StressSupport.h"
#include "portable/QelHiveInfo.h"
#include "support/CatalogueFacts.h"
#include "support/ChildProcess.h"
#include "support/HiveFiles.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

namespace fs = std::filesystem;

using qeltest::ReadBytes;
using qeltest::WriteBytes;

LSTATUS Plant(const ConfigEntry& entry, DWORD type, const std::string& bytes) {
    const std::u16string key = qeltest::SettingKey(entry.keyPath);
    const std::u16string name = qeltest::SettingValueName(entry.keyPath);
    qelreg::RegKey handle;
    const LSTATUS status = handle.Create(HKEY_CURRENT_USER, key, KEY_ALL_ACCESS);
    if (status != ERROR_SUCCESS) return status;
    // Stored exactly: no terminator added, however the bytes end.
    return handle.WriteValue(name.c_str(), {type, std::vector<BYTE>(bytes.begin(), bytes.end())});
}

std::u16string Decimal(long value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// A setting read as its own type, written out by the test itself (not by ToString): "true" or
// "false", a decimal number, or the text.
std::u16string ReadSetting(CQelConfig& config, ConfigKey key, const ConfigEntry& entry) {
    if (*entry.valueType == typeid(bool)) {
        bool value = false;
        config.GetValue(key, value);
        return value ? u"true" : u"false";
    }
    if (*entry.valueType == typeid(int)) {
        int value = 0;
        config.GetValue(key, value);
        return Decimal(value);
    }
    if (*entry.valueType == typeid(long)) {
        long value = 0;
        config.GetValue(key, value);
        return Decimal(value);
    }
    CString text;
    config.GetValue(key, text);
    return std::u16string(text.GetString());
}

// Every setting, read through the process-wide instance.
std::map<ConfigKey, std::u16string> ReadEverySetting() {
    std::map<ConfigKey, std::u16string> read;
    for (const auto& [key, entry] : QelConfigTestAccess::Settings(QelConfig()))
        read[key] = ReadSetting(QelConfig(), key, entry);
    return read;
}

// The table's default texts are in the form ReadSetting writes ("true", "false", decimal
// numbers without sign or leading zeros, text as it is): what a read serving the defaults gives.
std::map<ConfigKey, std::u16string> Defaults() {
    std::map<ConfigKey, std::u16string> defaults;
    for (const auto& [key, entry] : QelConfigTestAccess::Settings(QelConfig()))
        defaults[key] = entry.defaultText;
    EXPECT_EQ(defaults.size(), qeltest::kSettingCount);
    return defaults;
}

class BadInputTest : public ::testing::Test {
protected:
    // A genuine user hive holding every setting, written by the library, checkpointed into the
    // main file (so that its bytes are the whole hive).
    std::string ValidHive() {
        return qeltest::BuildHive(m_sandbox.Directory() / "valid" / "user.hive",
                                  [] { ReadEverySetting(); });  // stores every default
    }

    qeltest::HiveSandbox m_sandbox;
};

// The root pages of the keys table and of its index, overwritten: the file passes the check
// made at open (header and schema), and the first lookup fails.
std::string DamagePages(const std::string& valid, const fs::path& scratch) {
    WriteBytes(scratch, valid);
    sqlite3* db = nullptr;
    sqlite3_open_v2(scratch.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT rootpage FROM sqlite_schema WHERE name IN ('keys', "
                       "'keys_by_parent')",
                       -1, &stmt, nullptr);
    std::string bytes = valid;
    constexpr std::size_t kPage = 4096;
    int damaged = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto offset = static_cast<std::size_t>(sqlite3_column_int(stmt, 0) - 1) * kPage;
        EXPECT_LE(offset + kPage, bytes.size());
        if (offset + kPage <= bytes.size())
            bytes.replace(offset, kPage, qeltest::Garbage(kPage, 7));
        ++damaged;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    EXPECT_EQ(damaged, 2);
    EXPECT_NE(bytes, valid);
    return bytes;
}

// What a hostile hive case makes: the path to point the user hive at.
struct HostileHive {
    const char* what;
    // Makes the hive in its own directory; `valid` and `donor` are a hive of defaults and one
    // whose int settings all differ from their defaults.
    std::function<fs::path(const fs::path& dir, const std::string& valid, const fs::path& donor)>
        make;
    DWORD flags;         // flags the hive info must show (with QELHIVE_READONLY)
    bool nothingBeside;  // refused before SQLite opened it: no -wal or -shm appears
};

fs::path Written(const fs::path& dir, const std::string& bytes) {
    WriteBytes(dir / "u.hive", bytes);
    return dir / "u.hive";
}

fs::path CopiedWithMode(const fs::path& dir, const fs::path& donor, mode_t mode) {
    fs::create_directories(dir);
    fs::copy_file(donor, dir / "u.hive");
    EXPECT_EQ(chmod((dir / "u.hive").c_str(), mode), 0);
    return dir / "u.hive";
}

const HostileHive kHostileHives[] = {
    {"garbage",
     [](const fs::path& dir, const std::string&, const fs::path&) {
         return Written(dir, qeltest::Garbage(20000, 1));
     },
     QELHIVE_DAMAGED, true},
    {"truncated to 100 bytes",
     [](const fs::path& dir, const std::string& valid, const fs::path&) {
         return Written(dir, valid.substr(0, 100));
     },
     QELHIVE_DAMAGED, true},
    {"truncated to a third",
     [](const fs::path& dir, const std::string& valid, const fs::path&) {
         return Written(dir, valid.substr(0, valid.size() / 3));
     },
     QELHIVE_DAMAGED, true},
    // Damage only reading finds: opened like a sound hive, with -wal and -shm beside it.
    {"damaged pages",
     [](const fs::path& dir, const std::string& valid, const fs::path&) {
         return Written(dir, DamagePages(valid, dir / "scratch.db"));
     },
     0, false},
    {"another program's database",
     [](const fs::path& dir, const std::string&, const fs::path&) {
         return Written(dir, qeltest::SqliteFile(dir / "scratch" / "x.db",
                                                 "CREATE TABLE keys(id, name); "
                                                 "INSERT INTO keys VALUES(1, 'theirs');"));
     },
     QELHIVE_FOREIGN, false},
    {"a symbolic link to a hive",
     [](const fs::path& dir, const std::string&, const fs::path& donor) {
         fs::create_directories(dir);
         fs::create_symlink(donor, dir / "u.hive");
         return dir / "u.hive";
     },
     QELHIVE_REFUSED, true},
    {"writable by others",
     [](const fs::path& dir, const std::string&, const fs::path& donor) {
         return CopiedWithMode(dir, donor, 0602);
     },
     QELHIVE_REFUSED, true},
    {"writable by the group",
     [](const fs::path& dir, const std::string&, const fs::path& donor) {
         return CopiedWithMode(dir, donor, 0620);
     },
     QELHIVE_REFUSED, true},
};

// Files that are not usable hives, or that could have been planted by someone else: every
// setting reads as its default, writes fail, and the file (and the hive a link points to) stays
// byte for byte as found.
TEST_F(BadInputTest, HostileHiveFilesServeDefaultsAndStayAsFound) {
    const std::string valid = ValidHive();
    const std::map<ConfigKey, std::u16string> defaults = Defaults();
    // Every int setting of the valid hive made different, so that a hive read shows.
    const fs::path donor = m_sandbox.Directory() / "donor" / "user.hive";
    const std::vector<ConfigKey> ints = qeltest::FreeSettings<int>();
    ASSERT_FALSE(ints.empty());
    qeltest::BuildHive(donor, [&] {
        WriteBytes(donor, valid);
        for (ConfigKey key : ints) EXPECT_EQ(QelConfig().SetValue(key, 424242), S_OK);
    });
    const std::string donorBytes = ReadBytes(donor);
    int index = 0;
    for (const auto& test : kHostileHives) {
        SCOPED_TRACE(test.what);
        const fs::path dir = m_sandbox.Directory() / ("bad" + std::to_string(index++));
        const fs::path hive = test.make(dir, valid, donor);
        const std::string bytes = ReadBytes(hive);
        qeltest::EnvOverride path("QELCONFIG_USER_HIVE", hive.c_str());

        EXPECT_EQ(ReadEverySetting(), defaults);
        // A damaged page is found by the first read, and the hive is written no more.
        DWORD flags = 0;
        ASSERT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, nullptr, &flags), ERROR_SUCCESS);
        EXPECT_EQ(flags & (test.flags | QELHIVE_READONLY), test.flags | QELHIVE_READONLY) << flags;
        EXPECT_EQ(QelConfig().SetValue(ints[0], 12345), E_FAIL);
        int value = 0;
        QelConfig().GetValue(ints[0], value);
        EXPECT_NE(value, 12345);

        EXPECT_EQ(ReadBytes(hive), bytes) << "the file changed";
        EXPECT_EQ(ReadBytes(donor), donorBytes) << "the hive it links to changed";
        if (test.nothingBeside) {
            EXPECT_EQ(qeltest::Listing(hive.parent_path()), std::vector<std::string>{"u.hive"})
                << "files appeared beside it";
        }
    }
}

// Values no library write would store, planted where a text setting and an int setting live:
// the data is read as UTF-16 text up to its first NUL whatever its type, numbers are read from
// that text; no read writes (the file stays byte for byte), and text too long to read leaves
// the default served and the stored value in place.
TEST_F(BadInputTest, OddValuesUnderSettingKeysAreReadWithoutHarm) {
    const auto& settings = QelConfigTestAccess::Settings(QelConfig());
    const std::string overLong = qeltest::Utf16Bytes(std::u16string(1500, u'7'));
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
        // What the text and the int setting read; nothing: their defaults.
        std::optional<std::u16string> text;
        std::optional<int> number;
    };
    const Case cases[] = {
        {"REG_NONE", REG_NONE, "\x01\x02", u"\u0201", 0},
        {"an empty REG_SZ", REG_SZ, "", u"", 0},
        {"REG_SZ of odd size", REG_SZ,
         std::string("1\0"
                     "2",
                     3),
         u"1", 1},
        {"REG_SZ without terminator", REG_SZ,
         std::string("4\0"
                     "2\0",
                     4),
         u"42", 42},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, std::string("%\0H\0%\0\0\0", 8), u"%H%", 0},
        {"REG_BINARY", REG_BINARY, std::string("\xff\xfe\x00\x01", 4), u"\ufeff\u0100", 0},
        {"REG_DWORD", REG_DWORD, std::string("\x37\0\0\0", 4), u"7", 7},
        {"REG_QWORD", REG_QWORD, std::string(8, '\x7f'), u"\u7f7f\u7f7f\u7f7f\u7f7f", 0},
        {"REG_MULTI_SZ", REG_MULTI_SZ, std::string("9\0\0\0b\0\0\0\0\0", 10), u"9", 9},
        {"a lone high surrogate", REG_SZ,
         std::string("\x00\xd8"
                     "1\0\0\0",
                     6),
         std::u16string{char16_t{0xd800}, u'1'}, 0},
        {"a lone low surrogate", REG_SZ, std::string("\x00\xdc\0\0", 4),
         std::u16string{char16_t{0xdc00}}, 0},
        {"a type number no one uses", 0x7fff, "zz", u"\u7a7a", 0},
        {"text over 1023 characters", REG_SZ, overLong, std::nullopt, std::nullopt},
    };
    const std::vector<ConfigKey> texts = qeltest::FreeSettings<CString>();
    const std::vector<ConfigKey> ints = qeltest::FreeSettings<int>();
    ASSERT_FALSE(texts.empty());
    ASSERT_FALSE(ints.empty());
    const ConfigEntry& textEntry = settings.at(texts[0]);
    const ConfigEntry& intEntry = settings.at(ints[0]);
    // Stored by an earlier case, the default must show through each over-long value.
    ASSERT_EQ(QelConfig().SetValue(texts[0], CString(u"not the default")), S_OK);
    ASSERT_EQ(QelConfig().SetValue(ints[0], 4711), S_OK);
    const fs::path hive = m_sandbox.UserHive();
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ASSERT_EQ(Plant(textEntry, test.type, test.bytes), ERROR_SUCCESS);
        ASSERT_EQ(Plant(intEntry, test.type, test.bytes), ERROR_SUCCESS);
        const std::string before = ReadBytes(hive);
        const std::string walBefore = ReadBytes(hive.string() + "-wal");

        EXPECT_EQ(ReadSetting(QelConfig(), texts[0], textEntry),
                  test.text.value_or(textEntry.defaultText));
        EXPECT_EQ(ReadSetting(QelConfig(), ints[0], intEntry),
                  test.number ? Decimal(*test.number) : std::u16string(intEntry.defaultText));

        EXPECT_EQ(ReadBytes(hive), before) << "a read wrote to the hive";
        EXPECT_EQ(ReadBytes(hive.string() + "-wal"), walBefore) << "a read wrote to the hive";
        const auto stored =
            qeltest::ReadRaw(HKEY_CURRENT_USER, qeltest::SettingKey(textEntry.keyPath),
                             qeltest::SettingValueName(textEntry.keyPath));
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->type, test.type);
        EXPECT_EQ(std::string(stored->data.begin(), stored->data.end()), test.bytes)
            << "the planted value was not left in place";
    }
    EXPECT_EQ(qeltest::IntegrityCheck(hive), "ok");
}

// Names outside ASCII match whatever their case, through the library's paths as well.
TEST_F(BadInputTest, NonAsciiNamesMatchInAnyCase) {
    struct Case {
        const char16_t* stored;
        const char16_t* asked;
    };
    const Case cases[] = {
        {u"\u03a3\u03bf\u03c6\u03af\u03b1", u"\u03c3\u039f\u03a6\u038a\u0391"},  // Greek
        {u"\u041c\u043e\u0441\u043a\u0432\u0430",
         u"\u043c\u041e\u0421\u041a\u0412\u0410"},  // Cyrillic
        {u"\u00c9t\u00e9", u"\u00e9T\u00c9"},       // Latin-1
    };
    for (const auto& test : cases) {
        CQelConfig* config = QelConfigTestAccess::Make(test.stored, u"");
        ScopedConfig stored(config);
        const std::vector<ConfigKey> ints = qeltest::FreeSettings<int>();
        ASSERT_EQ(stored->SetValue(ints[0], 31337), S_OK);
        ScopedConfig asked(QelConfigTestAccess::Make(test.asked, u""));
        int value = 0;
        EXPECT_EQ(asked->GetValue(ints[0], value), S_OK);
        EXPECT_EQ(value, 31337);
        EXPECT_EQ(asked->SetValue(ints[0], 31337), S_FALSE) << "the same setting, already set";
    }
}

}  // namespace
