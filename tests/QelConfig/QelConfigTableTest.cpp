// The shipped setting catalogue, as the object's index holds it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/CatalogueFacts.h"
#include "support/HiveSandbox.h"

namespace {

class CatalogueTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox sandbox;
    ScopedConfig config{QelConfigTestAccess::Make(u"Korvid", u"")};
    const std::map<ConfigKey, ConfigEntry>& index = QelConfigTestAccess::Settings(*config);

    const ConfigEntry& Row(int id) { return index.at(static_cast<ConfigKey>(id)); }
};

std::u16string Text(const char16_t* p) { return p == nullptr ? u"<null>" : p; }

TEST_F(CatalogueTest, TypesScopesAndPrefixesAreAsShipped) {
    std::map<std::string, int> types;
    std::map<std::u16string, int> prefixes;
    std::set<int> machine;
    int components[5] = {};
    for (const auto& [id, row] : index) {
        ASSERT_NE(row.keyPath, nullptr);
        ASSERT_NE(row.defaultText, nullptr);
        ASSERT_NE(row.description, nullptr);
        const std::type_info& t = *row.valueType;
        types[t == typeid(bool)      ? "bool"
              : t == typeid(int)     ? "int"
              : t == typeid(long)    ? "long"
              : t == typeid(CString) ? "text"
                                     : "other"]++;
        if (row.scope == ScopeMachine) machine.insert(id);
        EXPECT_NE(row.scope, ScopeMachineReadOnly);
        const std::u16string path = row.keyPath;
        prefixes[path.substr(0, path.find(u'/'))]++;
        int count = 1;
        for (char16_t ch : path) count += ch == u'/';
        ASSERT_LE(count, 4);
        components[count]++;
    }
    EXPECT_EQ(index.size(), qeltest::kSettingCount);
    EXPECT_EQ(types, (std::map<std::string, int>{{"bool", qeltest::kBoolSettings},
                                                 {"int", qeltest::kIntSettings},
                                                 {"long", qeltest::kLongSettings},
                                                 {"text", qeltest::kTextSettings}}));
    EXPECT_EQ(machine, qeltest::kMachineSettings);
    EXPECT_EQ(prefixes, (std::map<std::u16string, int>{
                            {u"UI", 57}, {u"TEST", 21}, {u"Paths", 7}, {u"Qel", 1}}));
    EXPECT_EQ(components[2], 75);
    EXPECT_EQ(components[3], 7);
    EXPECT_EQ(components[4], 4);
}

TEST_F(CatalogueTest, AllowedListsAndTheirDefaults) {
    const std::map<int, std::u16string> lists = {{59, u"1,2,4,8,16,32,63"},
                                                 {66, u"1,2,3"},
                                                 {67, u"1,2,3,4,5,6,7"},
                                                 {69, u"0,1,2"},
                                                 {83, u"0,1,2,3"}};
    for (const auto& [id, row] : index) {
        auto expected = lists.find(id);
        EXPECT_EQ(Text(row.allowedList), expected == lists.end() ? u"<null>" : expected->second)
            << id;
    }
    EXPECT_EQ(Text(Row(59).defaultText), u"63");
    EXPECT_EQ(Text(Row(66).defaultText), u"1");
    EXPECT_EQ(Text(Row(83).defaultText), u"3");
}

TEST_F(CatalogueTest, SampleRowsCarryEveryField) {
    const ConfigEntry& burn = Row(18);
    EXPECT_EQ(Text(burn.keyPath), u"UI/BurnToDisk");
    EXPECT_EQ(burn.scope, ScopeUser);
    EXPECT_TRUE(*burn.valueType == typeid(bool));
    EXPECT_EQ(Text(burn.defaultText), u"true");
    EXPECT_EQ(Text(burn.description), u"Burn to Disk");

    const ConfigEntry& type = Row(59);
    EXPECT_TRUE(*type.valueType == typeid(long));
    EXPECT_EQ(Text(type.description),
              u"All=1|2|4|8|16|32, ButtonType_Next=1, ButtonType_Prev=2, ButtonType_Home=4,"
              u"ButtonType_Up=8, ButtonType_ChapterIndex=16, ButtonType_Command=32,  See: 'enum "
              u"ButtonTypes'");
    EXPECT_EQ(Text(Row(24).defaultText), u"Korvid");
    EXPECT_EQ(Text(Row(87).defaultText), u"{3C9F247B-CBE5-41d4-B9E8-F953305D9A50}");
    EXPECT_EQ(Text(Row(0).description), u"Default 4x3  theme");
    EXPECT_EQ(Text(Row(60).keyPath), u"UI/ButtonStylesDlg/Frame/Left");
    EXPECT_EQ(Text(Row(9).keyPath), u"UI/VideoStandardForHD");
    EXPECT_TRUE(*Row(9).valueType == typeid(int));
    EXPECT_EQ(Row(32).scope, ScopeMachine);
    EXPECT_FALSE(Text(Row(26).defaultText).empty());

    int dsm = 0;
    for (const auto& [id, row] : index) {
        if (Text(row.keyPath).find(u"/DSM_") == std::u16string::npos) continue;
        ++dsm;
        EXPECT_TRUE(*row.valueType == typeid(bool));
        EXPECT_EQ(Text(row.description), u"Don't show flag");
    }
    EXPECT_EQ(dsm, 18);
}

}  // namespace
