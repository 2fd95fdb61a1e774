// File: BadInputTest.cpp
//
// Hostile hive files and hostile values under the settings' keys, seen through the library: no
// crash, the file left byte for byte as found, and defaults served where nothing is readable.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>

#include "QelConfig.h"
#include "QelConfig/QelConfigTestAccess.h"
#include "StressSupport.h"
#include "portable/QelHiveInfo.h"
#include "support/HiveSandbox.h"

namespace {

namespace fs = std::filesystem;

const char16_t kSettingsKey[] = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\";

// The registry key and value name of a setting (the library's layout: application, empty
// version, then the setting's key path with '/' as '\').
void SplitSetting(const ConfigEntry& entry, std::u16string* key, std::u16string* name) {
    std::u16string path = std::u16string(kSettingsKey) + u"\\" + entry.keyPath;
    for (auto& c : path) {
        if (c == u'/') c = u'\\';
    }
    const auto last = path.rfind(u'\\');
    *key = path.substr(0, last);
    *name = path.substr(last + 1);
}

LSTATUS Plant(const ConfigEntry& entry, DWORD type, const std::string& bytes) {
    std::u16string key;
    std::u16string name;
    SplitSetting(entry, &key, &name);
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, Win32Str(key.c_str()), 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    // Fenced: the registry looks one unit past text data without a terminator (and would add
    // one if it found NUL there), so the planted bytes are stored exactly.
    const std::string fenced = bytes + "\xFF\xFF\xFF";
    status = RegSetValueExW(handle, Win32Str(name.c_str()), 0, type,
                            reinterpret_cast<const BYTE*>(fenced.data()),
                            static_cast<DWORD>(bytes.size()));
    RegCloseKey(handle);
    return status;
}

// Reads every setting as its own type; the number of results other than S_OK.
int ReadEverySetting(std::map<ConfigKey, CString>* texts = nullptr) {
    CQelConfig& config = QelConfig();
    int failures = 0;
    for (const auto& [key, entry] : QelConfigTestAccess::Settings(config)) {
        HRESULT hr = S_OK;
        CString text;
        if (*entry.valueType == typeid(bool)) {
            bool value = false;
            hr = config.GetValue(key, value);
            ToString(value, text);
        } else if (*entry.valueType == typeid(int)) {
            int value = 0;
            hr = config.GetValue(key, value);
            ToString(value, text);
        } else if (*entry.valueType == typeid(long)) {
            long value = 0;
            hr = config.GetValue(key, value);
            ToString(value, text);
        } else {
            hr = config.GetValue(key, text);
        }
        if (hr != S_OK) ++failures;
        if (texts != nullptr) (*texts)[key] = text;
    }
    return failures;
}

// The default of every setting, in the form ReadEverySetting gives it.
std::map<ConfigKey, CString> Defaults() {
    std::map<ConfigKey, CString> defaults;
    for (const auto& [key, entry] : QelConfigTestAccess::Settings(QelConfig())) {
        CString text(entry.defaultText);
        if (*entry.valueType == typeid(bool)) {
            bool value = false;
            FromString(text, value);
            ToString(value, text);
        } else if (*entry.valueType == typeid(int)) {
            int value = 0;
            FromString(text, value);
            ToString(value, text);
        } else if (*entry.valueType == typeid(long)) {
            long value = 0;
            FromString(text, value);
            ToString(value, text);
        }
        defaults[key] = text;
    }
    return defaults;
}

std::vector<std::string> Listing(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Garbage(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Moves everything in the -wal file into the main file, so that the main file is the whole hive.
void Checkpoint(const fs::path& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

class BadInputTest : public ::testing::Test {
protected:
    // A genuine user hive holding every setting, written by the library, checkpointed into the
    // main file (so that its bytes are the whole hive).
    std::string ValidHive() {
        const fs::path path = m_sandbox.Directory() / "valid" / "user.hive";
        {
            setenv("QELCONFIG_USER_HIVE", path.c_str(), 1);
            EXPECT_EQ(ReadEverySetting(), 0);  // stores every default
            setenv("QELCONFIG_USER_HIVE", m_sandbox.UserHive().c_str(), 1);
        }
        Checkpoint(path);
        return qeltest::ReadBytes(path);
    }

    qeltest::HiveSandbox m_sandbox;
};

// The root pages of the keys table and of its index, overwritten: the file passes the check
// made at open (header and schema), and the first lookup fails.
std::string DamagePages(const std::string& valid, const fs::path& scratch) {
    qeltest::WriteBytes(scratch, valid);
    sqlite3* db = nullptr;
    sqlite3_open_v2(scratch.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT rootpage FROM sqlite_schema WHERE name IN ('keys', "
                       "'keys_by_parent')",
                       -1, &stmt, nullptr);
    std::string bytes = valid;
    constexpr std::size_t kPage = 4096;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto offset = static_cast<std::size_t>(sqlite3_column_int(stmt, 0) - 1) * kPage;
        EXPECT_LE(offset + kPage, bytes.size());
        if (offset + kPage <= bytes.size()) bytes.replace(offset, kPage, Garbage(kPage, 7));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    EXPECT_NE(bytes, valid);
    return bytes;
}

std::string ForeignDatabase(const fs::path& scratch) {
    fs::create_directories(scratch.parent_path());
    fs::remove(scratch);
    sqlite3* db = nullptr;
    sqlite3_open(scratch.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE keys(id, name); INSERT INTO keys VALUES(1, 'theirs');", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
    return qeltest::ReadBytes(scratch);
}

TEST_F(BadInputTest, FilesThatAreNotUsableHivesServeDefaultsAndStayAsFound) {
    const std::string valid = ValidHive();
    const fs::path scratch = m_sandbox.Directory() / "scratch" / "x.db";
    struct Case {
        const char* what;
        std::function<std::string()> bytes;
        DWORD flag;
    };
    const Case cases[] = {
        {"garbage", [] { return Garbage(20000, 1); }, QELHIVE_DAMAGED},
        {"truncated to 100 bytes", [&] { return valid.substr(0, 100); }, QELHIVE_DAMAGED},
        {"truncated to a third", [&] { return valid.substr(0, valid.size() / 3); },
         QELHIVE_DAMAGED},
        {"damaged pages", [&] { return DamagePages(valid, scratch); }, 0},
        {"another program's database", [&] { return ForeignDatabase(scratch); }, QELHIVE_FOREIGN},
    };
    const std::map<ConfigKey, CString> defaults = Defaults();
    int index = 0;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const fs::path hive = m_sandbox.Directory() / ("bad" + std::to_string(index++)) / "u.hive";
        const std::string bytes = test.bytes();
        qeltest::WriteBytes(hive, bytes);
        setenv("QELCONFIG_USER_HIVE", hive.c_str(), 1);
        DWORD flags = 0;
        ASSERT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, nullptr, &flags), ERROR_SUCCESS);
        EXPECT_EQ(flags & test.flag, test.flag);

        std::map<ConfigKey, CString> read;
        EXPECT_EQ(ReadEverySetting(&read), 0);
        EXPECT_EQ(read, defaults);
        // A damaged page is found by the first read, and the hive is written no more.
        ASSERT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, nullptr, &flags), ERROR_SUCCESS);
        EXPECT_NE(flags & QELHIVE_READONLY, 0u);
        const std::vector<ConfigKey> ints = qeltest::FreeSettings<int>();
        EXPECT_EQ(QelConfig().SetValue(ints[0], 12345), E_FAIL);

        EXPECT_EQ(qeltest::ReadBytes(hive), bytes) << "the file changed";
        // A hive whose damage only reading finds was opened like a sound one, with -wal and
        // -shm beside it; everything else is refused before anything is made.
        if (test.flag != 0) {
            EXPECT_EQ(Listing(hive.parent_path()), std::vector<std::string>{"u.hive"})
                << "files appeared beside it";
        }
    }
    setenv("QELCONFIG_USER_HIVE", m_sandbox.UserHive().c_str(), 1);
}

TEST_F(BadInputTest, HivesThatCouldHaveBeenPlantedAreRefused) {
    const std::string valid = ValidHive();
    const std::map<ConfigKey, CString> defaults = Defaults();
    // Every setting of the valid hive made different, so that a hive read shows.
    {
        const fs::path donor = m_sandbox.Directory() / "donor" / "user.hive";
        qeltest::WriteBytes(donor, valid);
        setenv("QELCONFIG_USER_HIVE", donor.c_str(), 1);
        for (ConfigKey key : qeltest::FreeSettings<int>())
            EXPECT_EQ(QelConfig().SetValue(key, 424242), S_OK);
        setenv("QELCONFIG_USER_HIVE", m_sandbox.UserHive().c_str(), 1);
        Checkpoint(donor);
    }
    const fs::path donor = m_sandbox.Directory() / "donor" / "user.hive";
    struct Case {
        const char* what;
        std::function<fs::path(const fs::path& dir)> make;
    };
    const Case cases[] = {
        {"a symbolic link to a hive",
         [&](const fs::path& dir) {
             fs::create_directories(dir);
             fs::create_symlink(donor, dir / "u.hive");
             return dir / "u.hive";
         }},
        {"writable by others",
         [&](const fs::path& dir) {
             fs::create_directories(dir);
             fs::copy_file(donor, dir / "u.hive");
             chmod((dir / "u.hive").c_str(), 0602);
             return dir / "u.hive";
         }},
        {"writable by the group",
         [&](const fs::path& dir) {
             fs::create_directories(dir);
             fs::copy_file(donor, dir / "u.hive");
             chmod((dir / "u.hive").c_str(), 0620);
             return dir / "u.hive";
         }},
    };
    const std::string donorBytes = qeltest::ReadBytes(donor);
    int index = 0;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const fs::path hive =
            test.make(m_sandbox.Directory() / ("planted" + std::to_string(index++)));
        const std::string bytes = qeltest::ReadBytes(hive);
        setenv("QELCONFIG_USER_HIVE", hive.c_str(), 1);
        std::map<ConfigKey, CString> read;
        EXPECT_EQ(ReadEverySetting(&read), 0);
        EXPECT_EQ(read, defaults);
        DWORD flags = 0;
        ASSERT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, nullptr, &flags), ERROR_SUCCESS);
        EXPECT_NE(flags & QELHIVE_REFUSED, 0u);
        EXPECT_EQ(QelConfig().SetValue(qeltest::FreeSettings<int>()[0], 1), E_FAIL);
        EXPECT_EQ(qeltest::ReadBytes(hive), bytes);
        EXPECT_EQ(qeltest::ReadBytes(donor), donorBytes);
    }
    setenv("QELCONFIG_USER_HIVE", m_sandbox.UserHive().c_str(), 1);
}

// Values no library write would store, planted where settings live: every read copes, none
// writes (the file stays byte for byte), and text too long to read leaves the default served
// and the stored value in place.
TEST_F(BadInputTest, OddValuesUnderSettingKeysAreReadWithoutHarm) {
    const auto& settings = QelConfigTestAccess::Settings(QelConfig());
    const std::string overLong = [] {
        std::u16string text(1500, u'7');
        return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    }();
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
        bool servesDefault;
    };
    const Case cases[] = {
        {"REG_NONE", REG_NONE, "\x01\x02", false},
        {"an empty REG_SZ", REG_SZ, "", false},
        {"REG_SZ of odd size", REG_SZ,
         std::string("1\0"
                     "2",
                     3),
         false},
        {"REG_SZ without terminator", REG_SZ,
         std::string("4\0"
                     "2\0",
                     4),
         false},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, std::string("%\0H\0%\0\0\0", 8), false},
        {"REG_BINARY", REG_BINARY, std::string("\xff\xfe\x00\x01", 4), false},
        {"REG_DWORD", REG_DWORD, std::string("\x2a\0\0\0", 4), false},
        {"REG_QWORD", REG_QWORD, std::string(8, '\x7f'), false},
        {"REG_MULTI_SZ", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10), false},
        {"a lone high surrogate", REG_SZ,
         std::string("\x00\xd8"
                     "1\0\0\0",
                     6),
         false},
        {"a lone low surrogate", REG_SZ, std::string("\x00\xdc\0\0", 4), false},
        {"a type number no one uses", 0x7fff, "zz", false},
        {"text over 1023 characters", REG_SZ, overLong, true},
    };
    const std::map<ConfigKey, CString> defaults = Defaults();
    // One case per setting, round the table.
    auto entry = settings.begin();
    std::map<ConfigKey, const Case*> planted;
    for (const auto& test : cases) {
        for (; entry != settings.end() && entry->second.scope != ScopeUser; ++entry) {
        }
        ASSERT_NE(entry, settings.end());
        ASSERT_EQ(Plant(entry->second, test.type, test.bytes), ERROR_SUCCESS) << test.what;
        planted[entry->first] = &test;
        ++entry;
    }
    const fs::path hive = m_sandbox.UserHive();
    const std::string before = qeltest::ReadBytes(hive);
    const std::string walBefore = qeltest::ReadBytes(hive.string() + "-wal");
    CQelConfig& config = QelConfig();
    for (const auto& [key, test] : planted) {
        SCOPED_TRACE(test->what);
        const ConfigEntry& e = settings.at(key);
        CString text;
        HRESULT hr = S_OK;
        if (*e.valueType == typeid(bool)) {
            bool value = false;
            hr = config.GetValue(key, value);
            ToString(value, text);
        } else if (*e.valueType == typeid(int)) {
            int value = 0;
            hr = config.GetValue(key, value);
            ToString(value, text);
        } else if (*e.valueType == typeid(long)) {
            long value = 0;
            hr = config.GetValue(key, value);
            ToString(value, text);
        } else {
            hr = config.GetValue(key, text);
        }
        EXPECT_EQ(hr, S_OK);
        if (test->servesDefault) {
            EXPECT_EQ(text, defaults.at(key));
        }
    }
    EXPECT_EQ(qeltest::ReadBytes(hive), before) << "a read wrote to the hive";
    EXPECT_EQ(qeltest::ReadBytes(hive.string() + "-wal"), walBefore) << "a read wrote to the hive";
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
