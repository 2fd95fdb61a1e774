// The rules of a stored setting, where a fault would not show through the library's calls: every
// row has a type the rules know, the size limit of a stored text, and the strict check's reasons.
#include <gtest/gtest.h>

#include "SettingLocations.h"
#include "SettingRules.h"

namespace {

using namespace qelsetting;

const ConfigEntry& Row(int id) {
    for (int i = 0; i < g_nConfigTableRows; ++i)
        if (g_ConfigTable[i].id == id) return g_ConfigTable[i];
    throw std::logic_error("no row " + std::to_string(id));
}

TEST(SettingRules, EveryRowHasATypeTheRulesKnow) {
    int counts[4] = {};
    for (int i = 0; i < g_nConfigTableRows; ++i) {
        const std::optional<SettingType> type = TypeOf(g_ConfigTable[i]);
        ASSERT_TRUE(type.has_value()) << "setting " << g_ConfigTable[i].id;
        ++counts[static_cast<int>(*type)];
    }
    for (int count : counts) EXPECT_GT(count, 0);
    ConfigEntry unknown = Row(18);
    unknown.valueType = &typeid(double);
    EXPECT_EQ(TypeOf(unknown), std::nullopt) << "never taken for text";
}

// A write whose byte count would not fit the registry's 32-bit size is refused, not truncated.
TEST(SettingRules, AStoredTextFitsThirtyTwoBitsOrIsRefused) {
    EXPECT_EQ(StoredByteCount(0), 2u);
    EXPECT_EQ(StoredByteCount(1023), 2048u);
    EXPECT_EQ(StoredByteCount(0x7FFFFFFEu), 0xFFFFFFFEu);
    EXPECT_EQ(StoredByteCount(0x7FFFFFFFu), std::nullopt);
    EXPECT_EQ(StoredByteCount(static_cast<size_t>(0x100000000ull)), std::nullopt);
    EXPECT_EQ(StoredData(u"ab"), (std::vector<BYTE>{'a', 0, 'b', 0, 0, 0}));
}

TEST(SettingRules, TheStrictCheckSaysWhy) {
    const struct {
        int id;
        const char16_t* text;
        Refusal refusal;
        const char16_t* canonical;
    } cases[] = {
        {18, u"TRUE", Refusal::None, u"true"},
        {18, u"1", Refusal::NotBool, u""},
        {5, u"+007", Refusal::None, u"7"},
        {5, u"-0", Refusal::None, u"0"},
        {5, u"7 ", Refusal::NotNumber, u""},
        {5, u"2147483648", Refusal::OutOfRange, u""},
        {57, u"-2147483648", Refusal::None, u"-2147483648"},
        {57, u"-2147483649", Refusal::OutOfRange, u""},
        {59, u"016", Refusal::None, u"16"},
        {59, u"3", Refusal::NotAllowed, u""},
        {21, u" kept ", Refusal::None, u" kept "},
    };
    for (const auto& c : cases) {
        const CheckedText checked = CheckUserText(Row(c.id), *TypeOf(Row(c.id)), c.text);
        EXPECT_EQ(checked.refusal, c.refusal) << c.id;
        EXPECT_EQ(checked.canonical.View(), std::u16string_view(c.canonical)) << c.id;
    }
    EXPECT_EQ(CheckUserText(Row(21), SettingType::Text, std::u16string(1024, u'a')).refusal,
              Refusal::TooLong);
}

TEST(SettingRules, TheLocationIsComposedAsTheLibraryComposesIt) {
    const RegLocation where = LocationOf(Row(62));
    EXPECT_EQ(where.key.View(),
              u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\ButtonStylesDlg\\Frame");
    EXPECT_EQ(where.valueName.View(), u"Right");
    EXPECT_EQ(NormalisedKey(where.key.View()),
              u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI\\ButtonStylesDlg\\Frame");
    EXPECT_EQ(ReadOrder(ScopeUser).size(), 2u);
    EXPECT_EQ(ReadOrder(ScopeMachine).size(), 1u);
    EXPECT_EQ(WriteHive(ScopeMachineReadOnly), HKEY_LOCAL_MACHINE);
}

// The table worked out once must answer exactly what composing and splitting would, for every
// row and any identity, and nothing for text that is not a row's.
TEST(SettingRules, TheLocationTableAnswersAsComposingWould) {
    const CString application(u"Suite/App"), version(u"2"), separator(u"\\");
    const LocationTable table(application, version, separator, g_ConfigTable, g_nConfigTableRows);
    for (int i = 0; i < g_nConfigTableRows; ++i) {
        const ConfigEntry& row = g_ConfigTable[i];
        SCOPED_TRACE(row.id);
        const CString composed = ComposeRegPath(application, version, separator, row.keyPath);
        const CString* path = table.PathOf(row.keyPath);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(path->View(), composed.View());
        // Found by its text as well as through the buffer PathOf handed out.
        const RegLocation* where = table.Find(CString(composed.View()));
        ASSERT_NE(where, nullptr);
        EXPECT_EQ(table.Find(*path), where);
        EXPECT_EQ(where->key.View(), SplitRegPath(composed).key.View());
        EXPECT_EQ(where->valueName.View(), SplitRegPath(composed).valueName.View());
    }
    EXPECT_EQ(table.PathOf(u"UI/NoSuchSetting"), nullptr);
    EXPECT_EQ(table.PathOf(u"ui/burntodisk"), nullptr);  // paths are matched exactly
    EXPECT_EQ(table.Find(CString(u"Software\\Halvard\\UI\\BurnToDisk")), nullptr);
    // A text that begins where a row's does, but is shorter, is not that row's.
    const CString* full = table.PathOf(g_ConfigTable[0].keyPath);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(table.Find(full->Left(full->GetLength() - 1)), nullptr);
}

}  // namespace
