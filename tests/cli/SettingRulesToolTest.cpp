// The tool reads and writes settings by the library's own rules: for every setting and a corpus
// of stored data in either hive, what list and get report is what the library's GetValue
// returns in a process of its own; and what import stores for a text is what set stores.
#include "ToolFixture.h"
#include "support/CatalogueFacts.h"
#include "Utf8.h"

namespace qeltest {

namespace {

using SettingRules = ToolTest;

std::filesystem::path ReaderPath() {
    return ToolPath().parent_path() / std::filesystem::path(QELCONFIG_READER).filename();
}

std::vector<BYTE> Bytes(const std::string& raw) { return {raw.begin(), raw.end()}; }

struct Planted {
    const char* what;
    DWORD type;
    std::vector<BYTE> bytes;
};

// Stored data of every kind a hive can hold for a setting: canonical and non-canonical text,
// hostile text, text too long to read, data without a NUL or of an odd length, other types.
std::vector<Planted> Corpus() {
    return {
        {"canonical true", REG_SZ, TextBytes(u"true")},
        {"canonical number", REG_SZ, TextBytes(u"16")},
        {"upper-case bool", REG_SZ, TextBytes(u"FALSE")},
        {"padded number", REG_SZ, TextBytes(u" 7")},
        {"signed, zero-led number", REG_SZ, TextBytes(u"+007")},
        {"number and garbage", REG_SZ, TextBytes(u"12abc")},
        {"beyond 32 bits", REG_SZ, TextBytes(u"5000000000")},
        {"below 32 bits", REG_SZ, TextBytes(u"-99999999999999999999")},
        {"two signs", REG_SZ, TextBytes(u"--5")},
        {"empty", REG_SZ, TextBytes(u"")},
        {"control characters and non-ASCII", REG_SZ, TextBytes(u"\u0001\n\u65e5\U0001F4BF")},
        {"a NUL inside", REG_SZ, TextBytes(std::u16string(u"8\0tail", 6))},
        {"no NUL", REG_SZ, TextBytes(u"42", false)},
        {"odd length", REG_SZ,
         Bytes(std::string("4\0"
                           "2",
                           3))},
        {"longest readable", REG_SZ, TextBytes(std::u16string(1023, u'9'))},
        {"too long", REG_SZ, TextBytes(std::u16string(1024, u'1'))},
        {"REG_DWORD", REG_DWORD, {1, 0, 0, 0}},
        {"REG_BINARY text", REG_BINARY, TextBytes(u"true")},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, TextBytes(u"32")},
    };
}

TEST_F(SettingRules, ListAndGetReportWhatTheLibraryReads) {
    const nlohmann::json rows = RunJson({"list", "--json"});
    ASSERT_EQ(rows.size(), kSettingCount);
    // One setting of each type, for get (a process each).
    const int sampled[] = {18, 5, 59, 21};
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (const Planted& planted : Corpus()) {
            ClearApplicationTrees();
            for (const auto& row : rows)
                StoreRaw(hive, *qelcli::FromUtf8(row["key"].get<std::string>()), planted.type,
                         planted.bytes);
            const std::string where =
                std::string(planted.what) +
                (hive == HKEY_CURRENT_USER ? " in the user hive" : " in the machine hive");

            const nlohmann::json listed = RunJson({"list", "--json"});
            const ToolRun read = RunProgram(ReaderPath(), {}, Directory());
            ASSERT_EQ(read.exitCode, 0) << read.err;
            const nlohmann::json library = nlohmann::json::parse(read.out);
            for (const auto& row : listed) {
                // Every construction of the library's object writes this one afresh.
                if (row["id"] == 24) continue;  // UI/DiscVolumeName
                EXPECT_EQ(row["value"], library[std::to_string(row["id"].get<int>())])
                    << "setting " << row["id"] << ", " << where;
            }
            for (int id : sampled)
                EXPECT_EQ(RunJson({"get", std::to_string(id), "--json"})["value"],
                          library[std::to_string(id)])
                    << "setting " << id << ", " << where;
        }
    }
}

TEST_F(SettingRules, ImportStoresWhatSetStores) {
    // A setting of each type, with and without an allowed list, and a machine setting.
    const char* settings[] = {
        "UI/BurnToDisk",           "UI/ProjectType",  "UI/ButtonStylesDlg/MinWidth",
        "UI/ButtonStylesDlg/Type", "UI/ISOImagePath", "UI/URLNewThemes"};
    const char* texts[] = {"true", "TRUE", "False", "7", "+016", "-0", "2147483647", "x y", ""};
    for (const char* setting : settings) {
        const std::u16string keyPath = *qelcli::FromUtf8(setting);
        const bool machine = keyPath == u"UI/URLNewThemes";
        const HKEY hive = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        for (const char* text : texts) {
            ClearApplicationTrees();
            const ToolRun set = Run({"set", setting, text});
            const auto bySet = ReadRaw(hive, SettingKey(keyPath), SettingValueName(keyPath));

            ClearApplicationTrees();
            const std::string reg = std::string("Windows Registry Editor Version 5.00\r\n\r\n[") +
                                    (machine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
                                    Utf8(SettingKey(keyPath)) + "]\r\n\"" +
                                    Utf8(SettingValueName(keyPath)) + "\"=\"" + text + "\"\r\n";
            const ToolRun imported = Run({"import", WriteFile("one.reg", reg).string()});
            const auto byImport = ReadRaw(hive, SettingKey(keyPath), SettingValueName(keyPath));

            const std::string what = std::string(setting) + " = \"" + text + "\"";
            ASSERT_EQ(imported.exitCode, set.exitCode)
                << what << "\nset: " << set.err << "\nimport: " << imported.err;
            if (set.exitCode != 0) continue;
            ASSERT_TRUE(bySet && byImport) << what;
            EXPECT_EQ(byImport->type, bySet->type) << what;
            EXPECT_EQ(byImport->data, bySet->data) << what;
        }
    }
}

}  // namespace

}  // namespace qeltest
