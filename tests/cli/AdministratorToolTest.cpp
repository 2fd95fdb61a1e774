// What an administrator meets first: honest warnings when a hive cannot be read, mistakes named
// with the nearest valid word, readable output, and the machine-wide and many-setting commands.
#include <fstream>

#include "ToolFixture.h"

#if !defined(_WIN32)
#include "support/ChildProcess.h"
#endif

namespace qeltest {

namespace {

using Administrator = ToolTest;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(Administrator, MistakesAreNamedWithTheNearestValidWord) {
    const struct {
        std::vector<std::string> command;
        int exitCode;
        const char* said;  // on stderr
    } cases[] = {
        {{"lsit"}, 2, "unknown command 'lsit' (did you mean list?)"},
        {{"--verison"}, 2, "unknown option '--verison' (did you mean --version?)"},
        {{"list", "--wdie"}, 2, "unknown option '--wdie' (did you mean --wide?)"},
        {{"help", "lst"}, 2, "unknown command 'lst' (did you mean list?)"},
        {{"get", "UI/BurnToDsik"}, 1, "did you mean UI/BurnToDisk"},
        {{"get", "burntodisk"}, 1, "did you mean UI/BurnToDisk"},
        {{"reset"}, 2, "give a SETTING, a key path ending in / or --all"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Run(c.command);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.command[0] << "\n" << run.err;
        EXPECT_TRUE(Has(run.err, c.said)) << c.command[0] << "\n" << run.err;
        EXPECT_EQ(run.out, "") << c.command[0];
    }
}

TEST_F(Administrator, HelpAndEnumeratorNames) {
    const ToolRun help = Run({"help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"list", "info", "QELCONFIG_USER_HIVE", "QELCONFIG_READONLY_HIVES",
                             "QELCONFIG_SYNC", "Exit codes"})
        EXPECT_TRUE(Has(help.out, part)) << part;
    EXPECT_TRUE(Has(Run({"help", "reset"}).out, "--machine"));
    EXPECT_EQ(RunJson({"get", "ckUI_ButtonStylesDlg_Type", "--json"})["id"], 59);
    EXPECT_EQ(Run({"describe", "CKUI_BURNTODISK"}).exitCode, 0);
}

TEST_F(Administrator, WithJsonTheDiagnosticsAreJsonToo) {
    const ToolRun run = Run({"get", "UI/NoSuchThing", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json said = nlohmann::json::parse(run.err);
    EXPECT_TRUE(Has(said["error"].get<std::string>(), "unknown setting")) << run.err;
}

TEST_F(Administrator, ListFiltersAndFitsAConsole) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"3");
    Store(HKEY_LOCAL_MACHINE, u"UI/BurnToDisk", u"true");  // the default: stored, not changed
    Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", std::u16string(200, u'x') + u"\n\\n");
    const auto ids = [this](const std::vector<std::string>& command) {
        std::vector<int> found;
        for (const auto& row : RunJson(command)) found.push_back(row["id"]);
        return found;
    };
    EXPECT_EQ(ids({"list", "--stored", "--json"}), (std::vector<int>{5, 18, 21}));
    EXPECT_EQ(ids({"list", "--changed", "--json"}), (std::vector<int>{5, 21}));
    EXPECT_EQ(ids({"list", "MINWIDTH", "--json"}), (std::vector<int>{57}));
    EXPECT_EQ(ids({"list", "ButtonType_Next", "--json"}), (std::vector<int>{59})) << "description";

    const std::string table = Run({"list"}).out;
    size_t widest = 0;
    for (size_t start = 0; start < table.size();) {
        const size_t end = table.find('\n', start);
        size_t width = 0;
        for (size_t i = start; i < end; ++i) width += (table[i] & 0xC0) != 0x80 ? 1 : 0;
        widest = std::max(widest, width);
        start = end + 1;
    }
    EXPECT_LE(widest, 80u);
    EXPECT_TRUE(Has(table, "\xE2\x80\xA6")) << "the long value is cut with an ellipsis";
    // Escaped as JSON writes text: the newline and the backslash-n stay apart.
    EXPECT_TRUE(Has(Run({"list", "--wide"}).out, "xx\\n\\\\n\"")) << Run({"list", "--wide"}).out;
}

TEST_F(Administrator, ExportToStandardOutputIsUtf8) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"3");
    EXPECT_EQ(Run({"export"}).out.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
    EXPECT_EQ(Run({"export", "--utf16"}).out.substr(0, 2), "\xFF\xFE");
    const std::filesystem::path file = Directory() / "backup.reg";
    ASSERT_EQ(Run({"export", file.string()}).exitCode, 0);
    EXPECT_EQ(ReadFile(file).substr(0, 2), "\xFF\xFE") << "files stay UTF-16, as regedit writes";
}

TEST_F(Administrator, MachineValuesAndManySettingsAtOnce) {
    ASSERT_EQ(Run({"set", "UI/ButtonStylesDlg/MinWidth", "300", "--machine"}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/ButtonStylesDlg/MinWidth"), u"300");
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/MinWidth"), std::nullopt);
    const nlohmann::json got = RunJson({"get", "57", "--json"});
    EXPECT_EQ(got["value"], 300);
    EXPECT_EQ(got["source"], "HKEY_LOCAL_MACHINE");
    EXPECT_TRUE(Has(Run({"get", "57", "--verbose"}).out, "from HKEY_LOCAL_MACHINE"));
    EXPECT_EQ(RunJson({"describe", "57", "--json"})["source"], "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(Run({"set", "26", "x", "--machine"}).exitCode, 0) << "a machine setting too";

    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/MinWidth", u"1");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left", u"2");
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"3");
    const nlohmann::json prefix = RunJson({"reset", "ui/buttonstylesdlg/", "--json"});
    EXPECT_EQ(prefix["removed"].size(), 2u) << prefix.dump();
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), u"3") << "outside the prefix";
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/ButtonStylesDlg/MinWidth"), u"300");

    ASSERT_EQ(Run({"reset", "--all"}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), std::nullopt);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes"), u"x") << "machine values stay";
    ASSERT_EQ(Run({"reset", "--all", "--machine"}).exitCode, 0);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes"), std::nullopt);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/ButtonStylesDlg/MinWidth"), std::nullopt);
}

#if !defined(_WIN32)

TEST_F(Administrator, ResetOfManyIsAllOrNothing) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"3");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"false");
    const std::string before = StoreState();
    const EnvOverride readOnly("QELCONFIG_READONLY_HIVES", "user");
    const ToolRun run = Run({"reset", "--all"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Has(run.err, "nothing reset")) << run.err;
    EXPECT_EQ(StoreState(), before);
    const ToolRun set = Run({"set", "UI/BurnToDisk", "false"});
    EXPECT_EQ(set.exitCode, 0) << "nothing needed writing";
    EXPECT_TRUE(Has(set.err, "cannot be written")) << set.err;
}

// A hive the registry refuses reads as empty: every command that reads says so, and export and
// import refuse rather than write a backup without it or plan against values they cannot see.
TEST_F(Administrator, AHiveThatCannotBeReadIsNamedAndExportAndImportRefuse) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"3");
    std::ofstream(sandbox.UserHive().string() + "-journal") << "planted";
    const std::string file = sandbox.UserHive().string();
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"list"}, {"get", "5"}}) {
        const ToolRun run = Run(command);
        EXPECT_EQ(run.exitCode, 0) << command[0];
        EXPECT_TRUE(Has(run.err, file) && Has(run.err, "cannot be read")) << run.err;
    }
    const ToolRun exported = Run({"export", (Directory() / "out.reg").string()});
    EXPECT_EQ(exported.exitCode, 1);
    EXPECT_TRUE(Has(exported.err, "nothing exported")) << exported.err;
    EXPECT_FALSE(std::filesystem::exists(Directory() / "out.reg"));
    const std::string reg =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n"
        "\"ProjectType\"=\"2\"\r\n";
    const ToolRun imported = Run({"import", WriteFile("in.reg", reg).string()});
    EXPECT_EQ(imported.exitCode, 1);
    EXPECT_TRUE(Has(imported.err, "nothing imported")) << imported.err;
}

TEST_F(Administrator, ImportReadsStandardInputAndWriteErrorsFail) {
    const std::string reg =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n"
        "\"ProjectType\"=\"2\"\r\n";
    const std::filesystem::path file = WriteFile("in.reg", reg);
    const ToolRun imported = RunProgram(
        "/bin/sh", {"-c", "exec \"$0\" import - < \"$1\"", ToolPath().string(), file.string()},
        Directory());
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"), u"2");

    const ToolRun full = RunProgram(
        "/bin/sh", {"-c", "exec \"$0\" list > /dev/full", ToolPath().string()}, Directory());
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_TRUE(Has(full.err, "cannot write to standard output: No space left")) << full.err;
}

TEST_F(Administrator, InfoShowsTheHiveFiles) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"3");
    const nlohmann::json info = RunJson({"info", "--json"});
    ASSERT_EQ(info["hives"].size(), 2u);
    const nlohmann::json& user = info["hives"][0];
    EXPECT_EQ(user["file"], sandbox.UserHive().string());
    EXPECT_EQ(user["exists"], true);
    EXPECT_EQ(user["mode"], "0600");
    EXPECT_EQ(info["hives"][1]["file"], sandbox.MachineHive().string());
    EXPECT_TRUE(Has(Run({"info"}).out, sandbox.UserHive().string()));
}

#endif

}  // namespace

}  // namespace qeltest
