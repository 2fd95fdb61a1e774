// import: what it accepts, what it refuses (naming file and line, changing nothing), dry runs,
// deletions, and putting back what was written when the store refuses a write half-way.
#include "ToolFixture.h"

namespace qeltest {

namespace {

using Import = ToolTest;

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kUserUi = "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n";
const std::string kMachineUi =
    "[HKEY_LOCAL_MACHINE\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n";

TEST_F(Import, AppliesValuesInFileOrder) {
    const auto file = WriteFile("in.reg", kHeader + "; a comment\r\n" + kUserUi +
                                              "\"ProjectType\"=\"1\"\r\n"
                                              "\"BurnToDisk\"=\"false\"\r\n"
                                              "\"ProjectType\"=\"3\"\r\n\r\n" +
                                              kMachineUi + "\"URLNewThemes\"=\"http://x/\"\r\n");
    const ToolRun run = Run({"import", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), u"3");
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/BurnToDisk"), u"false");
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes"), u"http://x/");
    EXPECT_NE(run.out.find("HKEY_CURRENT_USER  UI/ProjectType: (not stored) -> \"3\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("3 value(s) changed, 0 unchanged"), std::string::npos) << run.out;
}

TEST_F(Import, ReadsRegedit4AndUtf8WithAByteOrderMark) {
    const auto ansi =
        WriteFile("ansi.reg", "REGEDIT4\r\n\r\n" + kUserUi + "\"ISOImagePath\"=\"caf\xe9\"\r\n");
    ASSERT_EQ(Run({"import", ansi.string()}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ISOImagePath"), u"caf\u00e9");
    const auto bom = WriteFile(
        "bom.reg", "\xEF\xBB\xBF" + kHeader + kUserUi + "\"ISOImagePath\"=\"\xE2\x82\xAC\"\n");
    ASSERT_EQ(Run({"import", bom.string()}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ISOImagePath"), u"\u20ac");
}

TEST_F(Import, AcceptsTextInHexFormAndKeysWithDoubledSeparators) {
    const auto file = WriteFile(
        "hex.reg", kHeader +
                       "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI]\r\n"
                       "\"ISOImagePath\"=hex(1):61,00,\\\r\n  62,00,00,00\r\n");
    const ToolRun run = Run({"import", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ISOImagePath"), u"ab");
}

TEST_F(Import, DeletesValuesAndKeys) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"false");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left", u"5");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Type", u"16");
    const auto file =
        WriteFile("delete.reg",
                  kHeader + kUserUi + "\"ProjectType\"=-\r\n\r\n" +
                      "[-HKEY_CURRENT_"
                      "USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI\\ButtonStylesDlg]\r\n");
    const ToolRun run = Run({"import", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), std::nullopt);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/BurnToDisk"), u"false");
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left"), std::nullopt);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Type"), std::nullopt);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER,
                           u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI\\ButtonStylesDlg"));
    EXPECT_NE(run.out.find("-> (deleted)"), std::string::npos) << run.out;
}

TEST_F(Import, ADryRunShowsOldAndNewAndWritesNothing) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    const auto file = WriteFile("dry.reg", kHeader + kUserUi +
                                               "\"ProjectType\"=\"4\"\r\n"
                                               "\"BurnToDisk\"=\"true\"\r\n");
    const std::string before = Run({"export"}).out;
    const ToolRun run = Run({"import", file.string(), "--dry-run"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("UI/ProjectType: \"2\" -> \"4\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("UI/BurnToDisk: (not stored) -> \"true\""), std::string::npos);
    EXPECT_NE(run.out.find("nothing written"), std::string::npos);
    EXPECT_EQ(Run({"export"}).out, before);
}

TEST_F(Import, OneBadLineRefusesTheWholeFileAndNamesIt) {
    const struct {
        std::string line, reason;
    } cases[] = {
        {"\"NoSuchValue\"=\"1\"", "no setting is stored as \"NoSuchValue\""},
        {"@=\"1\"", "no setting is stored as \"\""},
        {"\"BurnToDisk\"=\"yes\"", "is not a bool"},
        {"\"BurnToDisk\"=dword:00000001", "must be text (REG_SZ)"},
        {"\"BurnToDisk\"=hex(2):74,00,00,00", "must be text (REG_SZ)"},
        {"\"ProjectType\"=\"1 \"", "is not a decimal int"},
        {"\"QuickBurnDlg\\\\Format\"=\"8\"", "no setting is stored"},
        {"\"URLNewThemes\"=\"http://x/\"", "is a machine setting"},
        {"\"ISOImagePath\"=\"" + std::string(1024, 'x') + "\"", "reads at most"},
        {"\"ISOImagePath\"=\"unterminated", "no closing quote"},
        {"\"ISOImagePath\"=\"bad \\q escape\"", "unknown escape"},
        {"\"ISOImagePath\"=hex(1):6g,00", "is not a hex byte"},
        {"ISOImagePath=\"x\"", "not a key, value or comment line"},
        {"[HKEY_CURRENT_USER\\Software\\Other]", "outside the application's settings"},
        {"[HKEY_CLASSES_ROOT\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]", "is not a hive"},
        {"[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\Nope]", "no setting lives"},
        {"[-HKEY_CURRENT_USER\\Software\\Halvard]", "would delete more than"},
    };
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    const std::string before = Run({"export"}).out;
    for (const auto& c : cases) {
        // The bad line is the fifth; good lines around it would change values if applied.
        const auto file =
            WriteFile("bad.reg", kHeader + kUserUi + "\"ProjectType\"=\"5\"\r\n" + c.line + "\r\n" +
                                     kUserUi + "\"BurnToDisk\"=\"false\"\r\n");
        const ToolRun run = Run({"import", file.string()});
        EXPECT_EQ(run.exitCode, 1) << c.line;
        EXPECT_NE(run.err.find(file.string() + ":5: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << c.line << "\n" << run.err;
        EXPECT_NE(run.err.find("nothing imported"), std::string::npos) << run.err;
        EXPECT_EQ(Run({"export"}).out, before) << c.line;
    }
}

TEST_F(Import, EveryBadLineIsReported) {
    const auto file = WriteFile("two.reg", kHeader + kUserUi +
                                               "\"BurnToDisk\"=\"maybe\"\r\n"
                                               "\"ProjectType\"=\"1\"\r\n"
                                               "\"ProjectType\"=\"x\"\r\n");
    const ToolRun run = Run({"import", file.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("two.reg:4: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("two.reg:6: "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("two.reg:5: "), std::string::npos) << run.err;
}

TEST_F(Import, RefusesFilesThatAreNotRegistryFiles) {
    for (const std::string& bytes : {std::string(""), std::string("[section]\nkey=value\n"),
                                     std::string("\xFE\xFF\x00W", 4)}) {
        const auto file = WriteFile("notreg.reg", bytes);
        const ToolRun run = Run({"import", file.string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("notreg.reg:1: "), std::string::npos) << run.err;
    }
    const ToolRun missing = Run({"import", (Directory() / "absent.reg").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

TEST_F(Import, AWriteRefusedHalfWayPutsBackWhatWasWritten) {
    if (!HiveSandbox::CanRefuseWrites()) GTEST_SKIP() << "hives cannot refuse writes here";
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://old/");
    const auto file =
        WriteFile("half.reg", kHeader + kUserUi +
                                  "\"ProjectType\"=\"4\"\r\n"
                                  "\"BurnToDisk\"=\"false\"\r\n" +
                                  kMachineUi + "\"URLNewThemes\"=\"http://new/\"\r\n");
    ASSERT_TRUE(sandbox.SetReadOnly(false, true));
    const ToolRun run = Run({"import", file.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("nothing imported"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("could not be put back"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(sandbox.MachineHive().string()), std::string::npos) << run.err;
    ASSERT_TRUE(sandbox.SetReadOnly(false, false));
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), u"2");
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/BurnToDisk"), std::nullopt);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes"), u"http://old/");
}

}  // namespace

}  // namespace qeltest
