// get, set and reset through the tool: what is written, what is refused and why, exit codes.
#include "ToolFixture.h"

namespace qeltest {

namespace {

using ValueCommands = ToolTest;

TEST_F(ValueCommands, SetWritesTheTextTheLibraryWritesAndGetReadsItBack) {
    const struct {
        std::string setting, value;
        std::u16string keyPath, stored;
        nlohmann::json typed;
    } cases[] = {
        {"UI/BurnToDisk", "FALSE", u"UI/BurnToDisk", u"false", false},
        {"18", "true", u"UI/BurnToDisk", u"true", true},
        {"ui/projecttype", "3", u"UI/ProjectType", u"3", 3},
        {"TEST/LayerBreakAddress", "-2147483648", u"TEST/LayerBreakAddress", u"-2147483648",
         -2147483648LL},
        {"UI\\ButtonStylesDlg\\Frame\\Left", "2147483647", u"UI/ButtonStylesDlg/Frame/Left",
         u"2147483647", 2147483647},
        {"21", "C:\\images\\d\u00e9j\u00e0 \"vu\".iso", u"UI/ISOImagePath",
         u"C:\\images\\d\u00e9j\u00e0 \"vu\".iso", "C:\\images\\d\u00e9j\u00e0 \"vu\".iso"},
        {"21", "", u"UI/ISOImagePath", u"", ""},
    };
    for (const auto& c : cases) {
        const ToolRun set = Run({"set", c.setting, c.value});
        EXPECT_EQ(set.exitCode, 0) << c.setting << ": " << set.err;
        EXPECT_EQ(set.err, "");
        EXPECT_EQ(Stored(HKEY_CURRENT_USER, c.keyPath), c.stored) << c.setting;
        const nlohmann::json got = RunJson({"get", c.setting, "--json"});
        EXPECT_EQ(got["value"], c.typed) << c.setting;
        EXPECT_EQ(got["key"], Utf8(c.keyPath));
    }
}

TEST_F(ValueCommands, SetReportsChangedAndAlreadyStored) {
    ToolRun first = Run({"set", "UI/BurnToImage", "true"});
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_NE(first.out.find("changed to true (was false, the default)"), std::string::npos)
        << first.out;
    ToolRun again = Run({"set", "UI/BurnToImage", "TRUE"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.out.find("already true"), std::string::npos) << again.out;
}

TEST_F(ValueCommands, MachineSettingsGoToTheMachineHive) {
    ASSERT_EQ(Run({"set", "UI/VideoStandardForHD", "1"}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/VideoStandardForHD"), u"1");
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/VideoStandardForHD"), std::nullopt);
}

TEST_F(ValueCommands, BadValuesAreRefusedBeforeAnythingIsWritten) {
    const struct {
        std::string setting, value, reason;
    } cases[] = {
        {"UI/BurnToDisk", "yes", "is not a bool"},
        {"UI/BurnToDisk", "1", "is not a bool"},
        {"UI/BurnToDisk", "true ", "is not a bool"},
        {"UI/ProjectType", "12x", "is not a decimal int"},
        {"UI/ProjectType", " 1", "is not a decimal int"},
        {"UI/ProjectType", "0x10", "is not a decimal int"},
        {"UI/ProjectType", "2147483648", "outside the 32 bits of a stored int"},
        {"UI/ProjectType", "-2147483649", "outside the 32 bits of a stored int"},
        {"UI/ButtonStylesDlg/MinWidth", "5000000000", "outside the 32 bits of a stored long"},
        {"UI/ButtonStylesDlg/MinWidth", "", "is not a decimal long"},
        {"UI/ButtonStylesDlg/Type", "3", "allowed values: 1, 2, 4, 8, 16, 32, 63"},
        {"UI/ChapterDetectDlg/CreateChapter", "0", "allowed values: 1, 2, 3"},
        {"UI/ISOImagePath", std::string(1024, 'x'), "reads at most 1023"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Run({"set", c.setting, c.value});
        EXPECT_EQ(run.exitCode, 1) << c.setting << " " << c.value;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << "refusals go to stderr only";
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI"))
        << "a refused set must not even store defaults";
}

TEST_F(ValueCommands, TheLongestReadableTextIsAccepted) {
    const std::string text(1023, 'y');
    ASSERT_EQ(Run({"set", "UI/ISOImagePath", text}).exitCode, 0);
    EXPECT_EQ(Utf8(*Stored(HKEY_CURRENT_USER, u"UI/ISOImagePath")), text);
}

TEST_F(ValueCommands, UnknownSettingsAreRefusedByEveryCommand) {
    for (const std::string unknown : {"35", "90", "-1", "UI/NoSuchThing", "UI", ""}) {
        for (const std::vector<std::string>& command : {std::vector<std::string>{"get", unknown},
                                                        {"set", unknown, "1"},
                                                        {"reset", unknown},
                                                        {"describe", unknown}}) {
            const ToolRun run = Run(command);
            EXPECT_EQ(run.exitCode, 1) << command[0] << " '" << unknown << "'";
            EXPECT_NE(run.err.find("unknown setting"), std::string::npos) << run.err;
        }
    }
}

TEST_F(ValueCommands, ARefusedWriteNamesTheHiveFile) {
    if (!HiveSandbox::CanRefuseWrites()) GTEST_SKIP() << "hives cannot refuse writes here";
    ASSERT_TRUE(sandbox.SetReadOnly(true, false));
    const ToolRun run = Run({"set", "UI/BurnToDisk", "false"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("the store refused the write"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(sandbox.UserHive().string()), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("read-only"), std::string::npos) << run.err;
}

// An application's first read stores the default; looking with get stores nothing, so a machine
// value set later is still seen.
TEST_F(ValueCommands, GetReadsLikeTheLibraryButNeverWrites) {
    const std::string before = StoreState();
    const ToolRun run = Run({"get", "UI/BurnLogCount"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "0\n");
    EXPECT_EQ(StoreState(), before);
    Store(HKEY_LOCAL_MACHINE, u"UI/BurnLogCount", u"5");
    EXPECT_EQ(Run({"get", "UI/BurnLogCount"}).out, "5\n");
    const ToolRun verbose = Run({"get", "ckUI_BurnLogCount", "--verbose"});
    EXPECT_EQ(verbose.out.rfind("5  (from HKEY_LOCAL_MACHINE", 0), 0u) << verbose.out;
}

TEST_F(ValueCommands, GetReadsTheMachineValueWhenTheUserHasNone) {
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"2");
    EXPECT_EQ(RunJson({"get", "UI/ProjectType", "--json"})["value"], 2);
}

TEST_F(ValueCommands, ResetRemovesTheStoredValueFromTheScopesHive) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"4");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"2");
    const ToolRun run = Run({"reset", "ui/projecttype"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("now reads 2 from HKEY_LOCAL_MACHINE"), std::string::npos) << run.out;
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), std::nullopt);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/ProjectType"), u"2") << "not the scope's hive";

    const ToolRun again = Run({"reset", "ui/projecttype"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.out.find("nothing stored"), std::string::npos) << again.out;

    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://example.org/");
    ASSERT_EQ(Run({"reset", "26"}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes"), std::nullopt);
}

TEST_F(ValueCommands, AResetRefusedByTheStoreFails) {
    if (!HiveSandbox::CanRefuseWrites()) GTEST_SKIP() << "hives cannot refuse writes here";
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"4");
    ASSERT_TRUE(sandbox.SetReadOnly(true, false));
    const ToolRun run = Run({"reset", "UI/ProjectType"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(sandbox.UserHive().string()), std::string::npos) << run.err;
    ASSERT_TRUE(sandbox.SetReadOnly(false, false));
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), u"4");
}

TEST_F(ValueCommands, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& command : {std::vector<std::string>{},
                                                    {"frobnicate"},
                                                    {"get"},
                                                    {"set", "18"},
                                                    {"set", "18", "true", "extra"},
                                                    {"list", "--no-such-flag"},
                                                    {"caps", "--mask", "0xZZ"},
                                                    {"caps", "--mask", "4294967296"}}) {
        const ToolRun run = Run(command);
        EXPECT_EQ(run.exitCode, 2) << (command.empty() ? "(none)" : command[0]);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
}

TEST_F(ValueCommands, EveryCommandHasHelpAndTheToolHasAVersion) {
    for (const std::string command :
         {"list", "get", "set", "reset", "describe", "caps", "export", "import", "doctor"}) {
        const ToolRun run = Run({command, "--help"});
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_NE(run.out.find("Usage:"), std::string::npos) << command << ": " << run.out;
    }
    const ToolRun version = Run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string(QELCONFIG_PROJECT_VERSION) + "\n");
}

}  // namespace

}  // namespace qeltest
