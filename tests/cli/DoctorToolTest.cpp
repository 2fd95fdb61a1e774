// doctor: each kind of stored value the library would misread, and hives it cannot read.
#include <filesystem>
#include <fstream>
#include <functional>

#include "ToolFixture.h"

namespace qeltest {

namespace {

using Doctor = ToolTest;

const std::u16string kUi = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI";

TEST_F(Doctor, CleanHivesExitWithZero) {
    const ToolRun empty = Run({"doctor"});
    EXPECT_EQ(empty.exitCode, 0) << empty.out;
    EXPECT_NE(empty.out.find("no problems found"), std::string::npos);
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"3");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Type", u"16");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://example.org/");
    const nlohmann::json report = RunJson({"doctor", "--json"});
    EXPECT_EQ(report["clean"], true);
    EXPECT_TRUE(report["problems"].empty()) << report.dump();
    ASSERT_EQ(report["hives"].size(), 2u);
#if defined(_WIN32)
    EXPECT_TRUE(report["hives"][0]["file"].is_null()) << "the system registry has no hive file";
#else
    EXPECT_EQ(report["hives"][0]["file"], sandbox.UserHive().string());
#endif
}

TEST_F(Doctor, ReportsEachKindOfMisreadValue) {
    const struct {
        HKEY hive;
        std::u16string key, name;
        DWORD type;
        std::vector<BYTE> bytes;
        std::string kind;
        nlohmann::json setting;
    } cases[] = {
        {HKEY_CURRENT_USER, kUi, u"BurnToDisk", REG_SZ, TextBytes(u"yes"), "invalid", 18},
        {HKEY_CURRENT_USER, kUi, u"ProjectType", REG_SZ, TextBytes(u"2 "), "invalid", 5},
        {HKEY_LOCAL_MACHINE, kUi, u"VideoStandardForHD", REG_SZ, TextBytes(u"99999999999"),
         "invalid", 9},
        {HKEY_CURRENT_USER, kUi + u"\\ButtonStylesDlg", u"Type", REG_SZ, TextBytes(u"3"),
         "not-allowed", 59},
        {HKEY_CURRENT_USER, kUi, u"BurningSpeed", REG_DWORD, {4, 0, 0, 0}, "not-text", 23},
        {HKEY_CURRENT_USER, kUi, u"ISOImagePath", REG_SZ, TextBytes(std::u16string(1024, u'a')),
         "too-long", 21},
        {HKEY_CURRENT_USER, kUi, u"NoSuchSetting", REG_SZ, TextBytes(u"1"), "unowned", nullptr},
        {HKEY_CURRENT_USER, kUi, u"URLNewThemes", REG_SZ, TextBytes(u"http://x/"), "wrong-hive",
         26},
    };
    for (const auto& c : cases) {
        WriteRaw(c.hive, c.key, c.name, c.type, c.bytes);
        const ToolRun run = Run({"doctor", "--json"});
        EXPECT_EQ(run.exitCode, 1) << c.kind;
        const nlohmann::json report = nlohmann::json::parse(run.out);
        EXPECT_EQ(report["clean"], false);
        ASSERT_EQ(report["problems"].size(), 1u) << report.dump(2);
        const nlohmann::json& problem = report["problems"][0];
        EXPECT_EQ(problem["kind"], c.kind);
        EXPECT_EQ(problem["setting"], c.setting) << c.kind;
        EXPECT_EQ(problem["value"], Utf8(c.name));
        EXPECT_EQ(problem["hive"],
                  c.hive == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE");
        // Put it right again, so that the next case is the only problem.
        qelreg::RegKey key;
        ASSERT_EQ(key.Open(c.hive, c.key, KEY_SET_VALUE), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteValueW(key.Get(), Win32Str(c.name.c_str())), ERROR_SUCCESS);
    }
    EXPECT_EQ(Run({"doctor"}).exitCode, 0);
}

TEST_F(Doctor, TheTextReportNamesTheValueAndWhatTheLibraryReads) {
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"yes");
    const ToolRun run = Run({"doctor"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("UI \"BurnToDisk\" (setting 18): invalid"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("the library reads true"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1 problem(s) found"), std::string::npos);
}

// This process has not opened the machine hive, so the garbage is all the tool will see.
TEST_F(Doctor, ReportsACorruptHive) {
    if (sandbox.MachineHive().empty())
        GTEST_SKIP() << "the hives are the system registry here, not files a test can damage";
    std::filesystem::create_directories(sandbox.MachineHive().parent_path());
    std::ofstream(sandbox.MachineHive(), std::ios::binary) << std::string(4096, 'Z');
    const ToolRun run = Run({"doctor", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json report = nlohmann::json::parse(run.out);
    ASSERT_EQ(report["problems"].size(), 1u) << report.dump(2);
    EXPECT_EQ(report["problems"][0]["kind"], "hive");
    EXPECT_EQ(report["problems"][0]["hive"], "HKEY_LOCAL_MACHINE");
    EXPECT_FALSE(report["hives"][1]["problem"].is_null());
}

#if !defined(_WIN32)
// doctor states what keeps the store from serving, with the file, the reason and the fix;
// --repair leaves a refused hive alone and says how to make it usable.
TEST_F(Doctor, SaysWhyAHiveCannotServeAndHowToMendIt) {
    const struct {
        const char* what;
        std::function<void(const std::filesystem::path& hive)> arrange;
        const char* readOnly;  // QELCONFIG_READONLY_HIVES, or null
        int exitCode;
        const char* says;  // on standard output or error
    } cases[] = {
        {"planted journal",
         [](const std::filesystem::path& hive) {
             std::ofstream(hive.string() + "-journal") << "planted";
         },
         nullptr, 1, "rollback journal"},
        {"others may write the directory",
         [](const std::filesystem::path& hive) {
             std::filesystem::permissions(hive.parent_path(), std::filesystem::perms::others_write,
                                          std::filesystem::perm_options::add);
         },
         nullptr, 1, "chmod go-w"},
        {"read-only by the switch", [](const std::filesystem::path&) {}, "user", 0,
         "read-only by QELCONFIG_READONLY_HIVES"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ClearApplicationTrees();
        Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
        test.arrange(sandbox.UserHive());
        if (test.readOnly != nullptr) setenv("QELCONFIG_READONLY_HIVES", test.readOnly, 1);
        const ToolRun doctor = Run({"doctor"});
        unsetenv("QELCONFIG_READONLY_HIVES");
        EXPECT_EQ(doctor.exitCode, test.exitCode) << doctor.out << doctor.err;
        EXPECT_NE((doctor.out + doctor.err).find(test.says), std::string::npos)
            << doctor.out << doctor.err;
        if (test.exitCode != 0) {
            const ToolRun repair = Run({"doctor", "--repair"});
            EXPECT_EQ(repair.exitCode, 1);
            EXPECT_NE(repair.err.find(test.says), std::string::npos) << repair.err;
        }
        // Mended as told, the store serves again.
        std::filesystem::remove(sandbox.UserHive().string() + "-journal");
        std::filesystem::permissions(sandbox.UserHive().parent_path(),
                                     std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        EXPECT_EQ(Run({"doctor"}).exitCode, 0);
    }
}
#endif

}  // namespace

}  // namespace qeltest
