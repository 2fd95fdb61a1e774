// export, and export then import into empty hives: the file format and a byte-for-byte restore.
#include "RegFile.h"
#include "ToolFixture.h"

namespace qeltest {

namespace {

class ExportImport : public ToolTest {
protected:
    void StoreAwkwardValues();
    // Every setting's value as the library reads it, and the hive it comes from.
    nlohmann::json ReadValues() {
        nlohmann::json values = nlohmann::json::array();
        for (const auto& row : RunJson({"list", "--json"}))
            values.push_back({row["id"], row["value"], row["source"]});
        return values;
    }
};

constexpr char kUserUi[] = "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]";

std::string Utf16Bytes(const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

// Values that stress the format: quotes, backslashes, non-ASCII, the longest readable text.
void ExportImport::StoreAwkwardValues() {
    Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", u"C:\\disc \"one\"\\\u00e9t\u00e9.iso");
    Store(HKEY_CURRENT_USER, u"UI/ImageFolderPath", std::u16string(1023, u'\\'));
    Store(HKEY_CURRENT_USER, u"UI/DiscVolumeName", u"\U0001F4BF \u65e5\u672c");
    Store(HKEY_CURRENT_USER, u"Paths/Theme_Default_4x3", u"");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left", u"-7");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"False");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://example.org/?a=1;b=\"2\"");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"3");
    // Text without its NUL, as another program might store it.
    StoreRaw(HKEY_CURRENT_USER, u"UI/BDAVLaunchGUID", REG_SZ, TextBytes(u"{guid}", false));
}

TEST_F(ExportImport, ExportsAsTheRegistryEditorWrites) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"false");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"a\\b \"c\"");
    const ToolRun run = Run({"export", "--utf16"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string expected =
        std::string("\xFF\xFE", 2) +
        Utf16Bytes(
            u"Windows Registry Editor Version 5.00\r\n\r\n"
            u"[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n"
            u"\"BurnToDisk\"=\"false\"\r\n"
            u"\"ProjectType\"=\"2\"\r\n\r\n"
            u"[HKEY_LOCAL_MACHINE\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n"
            u"\"URLNewThemes\"=\"a\\\\b \\\"c\\\"\"\r\n\r\n");
    EXPECT_EQ(run.out, expected);

    const ToolRun utf8 = Run({"export", "--utf8"});
    EXPECT_EQ(utf8.out.substr(0, 38), "Windows Registry Editor Version 5.00\r\n");
    EXPECT_NE(utf8.out.find(std::string(kUserUi) + "\r\n\"BurnToDisk\"=\"false\"\r\n"),
              std::string::npos);
}

TEST_F(ExportImport, ValuesNoSettingOwnsAreExportedInHexForm) {
    WriteRaw(HKEY_CURRENT_USER, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI", u"Counter",
             REG_DWORD, {0x1f, 0, 0, 0});
    WriteRaw(HKEY_CURRENT_USER, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI", u"Blob", REG_BINARY,
             std::vector<BYTE>(40, 0xab));
    const ToolRun run = Run({"export", "--utf8"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("\"Counter\"=dword:0000001f\r\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"Blob\"=hex:ab,ab,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(",\\\r\n  ab,"), std::string::npos) << "long hex lines continue";
}

TEST_F(ExportImport, ExportIsSortedAndStable) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    Store(HKEY_CURRENT_USER, u"TEST/PreviewBurn", u"false");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"false");
    Store(HKEY_CURRENT_USER, u"Paths/UI_TemporaryDir", u"/tmp");
    const std::string out = Run({"export", "--utf8"}).out;
    const size_t paths = out.find("Korvid\\Paths]");
    const size_t test = out.find("Korvid\\TEST]");
    const size_t ui = out.find("Korvid\\UI]");
    ASSERT_NE(ui, std::string::npos);
    EXPECT_LT(paths, test);
    EXPECT_LT(test, ui);
    EXPECT_LT(out.find("\"BurnToDisk\""), out.find("\"ProjectType\""));
    EXPECT_EQ(Run({"export", "--utf8"}).out, out);
}

TEST_F(ExportImport, ExportToAFileWritesTheSameBytes) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    const std::filesystem::path file = Directory() / "settings.reg";
    const ToolRun run = Run({"export", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(file), Run({"export", "--utf16"}).out);
    EXPECT_NE(run.out.find("exported 1 values"), std::string::npos) << run.out;
}

// Import stores each value as set stores it: canonical text with its NUL. So every value reads
// back the same, and all but the two stored otherwise come back byte for byte.
TEST_F(ExportImport, ARoundTripIntoEmptyHivesRestoresEveryValueAsSetStoresIt) {
    for (const char* encoding : {"--utf8", ""}) {
        SwitchHives("source");
        StoreAwkwardValues();
        const std::filesystem::path file = Directory() / "backup.reg";
        std::vector<std::string> exportCommand{"export", file.string()};
        if (*encoding != 0) exportCommand.push_back(encoding);
        ASSERT_EQ(Run(exportCommand).exitCode, 0);
        const nlohmann::json original = ReadValues();

        SwitchHives(std::string("copy") + encoding);
        ASSERT_EQ(Run({"export", "--utf16"}).out,
                  "\xFF\xFE" + Utf16Bytes(u"Windows Registry Editor Version 5.00\r\n\r\n"))
            << "the copy's hives start empty";
        const ToolRun imported = Run({"import", file.string()});
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
        EXPECT_EQ(ReadValues(), original) << encoding;

        const struct {
            std::u16string keyPath;
            std::optional<std::u16string> canonical;  // none: byte for byte as the source
        } cases[] = {{u"UI/ISOImagePath", {}},          {u"UI/ImageFolderPath", {}},
                     {u"UI/DiscVolumeName", {}},        {u"Paths/Theme_Default_4x3", {}},
                     {u"UI/BDAVLaunchGUID", u"{guid}"}, {u"UI/BurnToDisk", u"false"}};
        for (const auto& c : cases) {
            const std::u16string& keyPath = c.keyPath;
            SwitchHives("source");
            const auto before =
                ReadRaw(HKEY_CURRENT_USER, SettingKey(keyPath), SettingValueName(keyPath));
            SwitchHives(std::string("copy") + encoding);
            const auto after =
                ReadRaw(HKEY_CURRENT_USER, SettingKey(keyPath), SettingValueName(keyPath));
            ASSERT_TRUE(before && after) << Utf8(keyPath);
            EXPECT_EQ(after->type, static_cast<DWORD>(REG_SZ)) << Utf8(keyPath);
            EXPECT_EQ(after->data, c.canonical ? TextBytes(*c.canonical, true) : before->data)
                << Utf8(keyPath);
        }
    }
}

}  // namespace

}  // namespace qeltest
