// Walks of the stored tree by export, doctor and import's [-KEY]: keys a crafted hive holds under
// names that cannot be opened by name, and a key leading back to the root, are reported and make
// the command refuse, never followed; trees far deeper and wider than settings need are read
// whole.
#include "CraftedHive.h"
#include "ToolFixture.h"

namespace qeltest {

namespace {

const std::u16string kUi = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI";
const std::string kUiLine = "HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI";

class TreeWalk : public ToolTest {
protected:
    // The user hive with the UI key and one setting in it, made by the registry.
    void MakeHive() { Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2"); }

    std::filesystem::path DeleteUiFile() {
        return WriteFile("delete-ui.reg",
                         "Windows Registry Editor Version 5.00\r\n\r\n[-" + kUiLine + "]\r\n");
    }

    // Makes a key with nothing in it; the registry's answer.
    static LSTATUS CreateKey(const std::u16string& path) {
        qelreg::RegKey key;
        return key.Create(HKEY_CURRENT_USER, path, KEY_WRITE);
    }

    // The problems of one kind in doctor's report.
    std::vector<nlohmann::json> Problems(const nlohmann::json& report, const std::string& kind) {
        std::vector<nlohmann::json> found;
        for (const nlohmann::json& problem : report["problems"])
            if (problem["kind"] == kind) found.push_back(problem);
        return found;
    }
};

TEST_F(TreeWalk, AKeyOfThousandsOfValuesIsExportedInOrderAndChecked) {
    constexpr int kValues = 2000;
    MakeHive();
    for (int i = kValues - 1; i >= 0; --i) {
        const std::string name = "Extra" + std::to_string(100000 + i);
        WriteText(HKEY_CURRENT_USER, kUi, std::u16string(name.begin(), name.end()), u"x");
    }
    const ToolRun exported = Run({"export", "--utf8"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    size_t at = 0;
    for (int i = 0; i < kValues; ++i) {
        const size_t found =
            exported.out.find("\"Extra" + std::to_string(100000 + i) + "\"=\"x\"\r\n", at);
        ASSERT_NE(found, std::string::npos) << "value " << i << " missing or out of order";
        at = found;
    }
    const ToolRun doctor = Run({"doctor", "--json"});
    EXPECT_EQ(Problems(nlohmann::json::parse(doctor.out), "unowned").size(),
              static_cast<size_t>(kValues));
}

#if !defined(_WIN32)

struct CraftedName {
    const char* what;
    std::u16string name;
    std::string shown;  // as messages print it
};

const CraftedName kCraftedNames[] = {
    {"Empty", u"", "\"\""},
    {"Separator", u"\\", "\"\\\""},
    {"Separators", u"\\\\\\", "\"\\\\\\\""},
    {"Path", u"Sub\\Key", "\"Sub\\Key\""},
    {"Nul", std::u16string(u"Nul\0Cut", 7), "\"Nul\\x00Cut\""},
    {"TooLong", std::u16string(300, u'N'), "\"" + std::string(300, 'N') + "\""},
    // A plain name, but filed under a fold that no lookup of it computes.
    {"Unfound", u"Plain", "\"Plain\""},
};

void PrintTo(const CraftedName& name, std::ostream* out) { *out << name.what; }

class UnopenableKey : public TreeWalk, public ::testing::WithParamInterface<CraftedName> {};

TEST_P(UnopenableKey, IsReportedAndMakesExportDoctorAndDeletionRefuse) {
    const CraftedName& c = GetParam();
    MakeHive();
    {
        CraftedHive hive(sandbox.UserHive());
        const long long ui = hive.KeyId(kUi);
        ASSERT_GT(ui, 0);
        const long long crafted = hive.AddKey(ui, c.name);
        ASSERT_GT(crafted, 0);
        hive.AddValue(hive.AddKey(crafted, u"Below"), u"Hidden", u"below the crafted key");
    }
    const std::string before = StoreState();

    const ToolRun exported = Run({"export", "--utf8"});
    EXPECT_EQ(exported.exitCode, 1) << exported.out;
    EXPECT_EQ(exported.out, "");
    EXPECT_NE(exported.err.find(kUiLine + ": sub-key " + c.shown + ": "), std::string::npos)
        << exported.err;
    EXPECT_NE(exported.err.find("nothing exported: 1 key(s) could not be read"), std::string::npos)
        << exported.err;

    const ToolRun doctor = Run({"doctor", "--json"});
    EXPECT_EQ(doctor.exitCode, 1);
    const std::vector<nlohmann::json> unreadable =
        Problems(nlohmann::json::parse(doctor.out), "unreadable-key");
    ASSERT_EQ(unreadable.size(), 1u) << doctor.out;
    EXPECT_EQ(unreadable[0]["key"], Utf8(kUi));
    EXPECT_TRUE(unreadable[0]["value"].is_null());
    EXPECT_EQ(unreadable[0]["detail"].get<std::string>().rfind("sub-key " + c.shown, 0), 0u)
        << unreadable[0].dump();

    const ToolRun imported = Run({"import", DeleteUiFile().string()});
    EXPECT_EQ(imported.exitCode, 1) << imported.out;
    EXPECT_NE(imported.err.find(":3: cannot delete " + kUiLine), std::string::npos) << imported.err;
    EXPECT_NE(imported.err.find("sub-key " + c.shown), std::string::npos) << imported.err;
    EXPECT_EQ(StoreState(), before) << "nothing may be deleted when part of the key is unseen";
}

INSTANTIATE_TEST_SUITE_P(CraftedNames, UnopenableKey, ::testing::ValuesIn(kCraftedNames),
                         [](const auto& param) { return std::string(param.param.what); });

// A key row whose id is the root's makes the tree loop back on itself through the root: the walk
// ends at the longest path a registry call takes, and says so.
TEST_F(TreeWalk, AKeyLeadingBackToTheRootEndsTheWalk) {
    MakeHive();
    ASSERT_EQ(CreateKey(kUi + u"\\Loop"), ERROR_SUCCESS);
    {
        CraftedHive hive(sandbox.UserHive());
        const long long loop = hive.KeyId(kUi + u"\\Loop");
        ASSERT_GT(loop, 0);
        hive.Renumber(loop, 0);
    }
    const ToolRun exported = Run({"export"});
    EXPECT_EQ(exported.exitCode, 1);
    EXPECT_EQ(exported.out, "");
    EXPECT_NE(exported.err.find("longer than 32767 characters"), std::string::npos)
        << exported.err.substr(0, 2000);

    // Each time round the loop the values there are found again, so the report is long.
    const ToolRun doctor = Run({"doctor"});
    EXPECT_EQ(doctor.exitCode, 1);
    EXPECT_NE(doctor.out.find(": unreadable-key: sub-key \"Korvid\": its path would be longer"),
              std::string::npos);
}

TEST_F(TreeWalk, AChainThousandsOfKeysDeepIsExportedCheckedAndDeleted) {
    constexpr int kDepth = 4000;
    MakeHive();
    std::u16string middle = kUi;
    std::u16string bottom = kUi;
    for (int level = 0; level < kDepth; ++level) {
        bottom += u"\\K";
        if (level < kDepth / 2) middle = bottom;
    }
    // The registry writes the values and the first key; SQLite takes them deeper than it would.
    WriteText(HKEY_CURRENT_USER, kUi + u"\\K", u"Middle", u"half way");
    WriteText(HKEY_CURRENT_USER, kUi + u"\\Held", u"Bottom", u"the end");
    {
        CraftedHive hive(sandbox.UserHive());
        const long long first = hive.KeyId(kUi + u"\\K");
        ASSERT_GT(first, 0);
        const long long half = hive.AddChain(first, first, kDepth / 2 - 1);
        hive.MoveValues(first, half);
        hive.MoveValues(hive.KeyId(kUi + u"\\Held"), hive.AddChain(half, first, kDepth / 2));
        ASSERT_EQ(hive.KeyId(bottom), hive.Count("SELECT max(id) FROM keys"));
    }

    const ToolRun exported = Run({"export", "--utf8"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_NE(exported.out.find("[HKEY_CURRENT_USER\\" + Utf8(middle) +
                                "]\r\n\"Middle\"=\"half way\"\r\n"),
              std::string::npos);
    EXPECT_NE(exported.out.find("[HKEY_CURRENT_USER\\" + Utf8(bottom) +
                                "]\r\n\"Bottom\"=\"the end\"\r\n"),
              std::string::npos);
    EXPECT_NE(exported.out.find("\"ProjectType\"=\"2\""), std::string::npos);

    const ToolRun doctor = Run({"doctor", "--json"});
    EXPECT_EQ(doctor.exitCode, 1);
    const std::vector<nlohmann::json> unowned =
        Problems(nlohmann::json::parse(doctor.out), "unowned");
    ASSERT_EQ(unowned.size(), 2u) << doctor.out.substr(0, 2000);
    EXPECT_EQ(unowned[0]["key"], Utf8(middle));
    EXPECT_EQ(unowned[1]["key"], Utf8(bottom));

    const ToolRun imported = Run({"import", DeleteUiFile().string()});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUi)) << "every key of the chain was emptied";
    CraftedHive hive(sandbox.UserHive());
    EXPECT_EQ(hive.Count("SELECT count(*) FROM keys WHERE name = x'4b00'"), 0);
}

#endif

}  // namespace

}  // namespace qeltest
