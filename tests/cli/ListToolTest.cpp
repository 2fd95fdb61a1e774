// list: every setting's value and source, read exactly as the library reads, and never a write.
#include <set>

#include "ToolFixture.h"
#include "support/CatalogueFacts.h"

namespace qeltest {

namespace {

using List = ToolTest;

nlohmann::json Row(const nlohmann::json& rows, int id) {
    for (const auto& row : rows)
        if (row["id"] == id) return row;
    ADD_FAILURE() << "no row for setting " << id;
    return {};
}

TEST_F(List, ShowsEverySettingOnceInIdOrder) {
    const nlohmann::json rows = RunJson({"list", "--json"});
    ASSERT_EQ(rows.size(), kSettingCount);
    std::set<int> ids;
    int previous = -1;
    for (const auto& row : rows) {
        const int id = row["id"];
        EXPECT_GT(id, previous);
        previous = id;
        ids.insert(id);
        EXPECT_EQ(row["source"], "default") << id;
    }
    for (int unused : {35, 45, 46, 56}) EXPECT_EQ(ids.count(unused), 0u);
    const nlohmann::json type = Row(rows, 59);
    EXPECT_EQ(type["key"], "UI/ButtonStylesDlg/Type");
    EXPECT_EQ(type["type"], "long");
    EXPECT_EQ(type["scope"], "user");
    EXPECT_EQ(type["value"], 63);
    EXPECT_EQ(Row(rows, 26)["scope"], "machine");
    EXPECT_EQ(Row(rows, 18)["value"], true);
}

TEST_F(List, ReadsUserThenMachineForUserScopeAndMachineOnlyOtherwise) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"4");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"2");
    Store(HKEY_LOCAL_MACHINE, u"UI/MenuAspectRatio", u"1");
    Store(HKEY_CURRENT_USER, u"UI/URLNewThemes", u"http://user.example/");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"FALSE");
    const nlohmann::json rows = RunJson({"list", "--json"});
    EXPECT_EQ(Row(rows, 5)["value"], 4);
    EXPECT_EQ(Row(rows, 5)["source"], "user");
    EXPECT_EQ(Row(rows, 6)["value"], 1);
    EXPECT_EQ(Row(rows, 6)["source"], "machine");
    EXPECT_EQ(Row(rows, 26)["source"], "default") << "machine scope ignores the user hive";
    EXPECT_EQ(Row(rows, 18)["value"], false);
    EXPECT_EQ(Row(rows, 18)["text"], "FALSE");
}

TEST_F(List, TextTooLongToReadBackCountsAsNotStored) {
    Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", std::u16string(1024, u'x'));
    Store(HKEY_CURRENT_USER, u"UI/ImageFolderPath", std::u16string(1023, u'x'));
    Store(HKEY_LOCAL_MACHINE, u"UI/ISOImagePath", u"from the machine");
    const nlohmann::json rows = RunJson({"list", "--json"});
    EXPECT_EQ(Row(rows, 21)["source"], "machine");
    EXPECT_EQ(Row(rows, 21)["value"], "from the machine");
    EXPECT_EQ(Row(rows, 21)["tooLongIn"], nlohmann::json::array({"HKEY_CURRENT_USER"}));
    EXPECT_EQ(Row(rows, 22)["source"], "user");
    EXPECT_EQ(Row(rows, 22)["value"].get<std::string>().size(), 1023u);
}

TEST_F(List, TheTableHasOneLinePerSetting) {
    Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", u"two\nlines");
    const ToolRun run = Run({"list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    size_t lines = 0;
    for (char c : run.out) lines += c == '\n';
    EXPECT_EQ(lines, kSettingCount + 1) << "a heading and every setting";
    EXPECT_NE(run.out.find("\"two\\nlines\""), std::string::npos);
}

// This process never opens the hives here, so reading their files cannot disturb its locks.
TEST_F(List, NeverWrites) {
    const ToolRun first = Run({"list"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_FALSE(AnythingStored()) << "list stored something";

    ASSERT_EQ(Run({"set", "UI/ProjectType", "2"}).exitCode, 0);
    ASSERT_EQ(Run({"set", "UI/URLNewThemes", "http://example.org/"}).exitCode, 0);
    const std::string before = StoreState();
    const ToolRun exported = Run({"export"});
    ASSERT_EQ(Run({"list"}).exitCode, 0);
    ASSERT_EQ(Run({"list", "--json"}).exitCode, 0);
    EXPECT_EQ(StoreState(), before);
    EXPECT_EQ(Run({"export"}).out, exported.out) << "list added or changed values";
}

}  // namespace

}  // namespace qeltest
