// Reading and writing setting texts in the hives their scope selects, with fall-back from the
// user to the machine and the write-back of defaults, on real hives.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

using qeltest::ReadRaw;
using qeltest::TextBytes;
using qeltest::WriteRaw;
using qeltest::WriteText;

// A key of its own below the test root, so these cases never meet the settings.
const std::u16string kKey = u"Software\\QelConfigTests\\Values";
const std::u16string kPath = u"Software\\QelConfigTests\\\\Values\\Name";

class RegistryValueTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox sandbox;
    ScopedConfig config{QelConfigTestAccess::Make(u"Korvid", u"")};

    CString Read(const std::u16string& path, const char16_t* fallback, ConfigScope scope) {
        CString value(fallback);
        EXPECT_EQ(QelConfigTestAccess::GetRegValue(*config, CString(path), value, scope), S_OK);
        return value;
    }
    HRESULT Write(const std::u16string& path, const char16_t* text, ConfigScope scope) {
        return QelConfigTestAccess::SetRegValue(*config, CString(path), CString(text), scope);
    }
    static std::optional<std::u16string> Stored(HKEY hive, const std::u16string& name = u"Name") {
        auto raw = ReadRaw(hive, kKey, name);
        if (!raw) return std::nullopt;
        return qeltest::TextOf(*raw);
    }
};

TEST_F(RegistryValueTest, UserScopeReadsTheUserHiveFirstThenTheMachine) {
    WriteText(HKEY_LOCAL_MACHINE, kKey, u"Name", u"machine");
    EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(u"machine"));
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER)) << "a value found machine-wide is not copied";
    WriteText(HKEY_CURRENT_USER, kKey, u"Name", u"user");
    EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(u"user"));
}

TEST_F(RegistryValueTest, NothingStoredGivesTheDefaultAndStoresIt) {
    EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(u"default"));
    auto raw = ReadRaw(HKEY_CURRENT_USER, kKey, u"Name");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw->data, TextBytes(u"default"));
    EXPECT_FALSE(Stored(HKEY_LOCAL_MACHINE));

    EXPECT_EQ(Read(kPath, u"other", ScopeMachine), CString(u"other"));
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE), u"other");
    // Any scope but user and read-only acts machine-wide.
    EXPECT_EQ(Read(kPath, u"ignored", static_cast<ConfigScope>(7)), CString(u"other"));
}

TEST_F(RegistryValueTest, TheReadOnlyScopeNeverWrites) {
    EXPECT_EQ(Read(kPath, u"default", ScopeMachineReadOnly), CString(u"default"));
    EXPECT_FALSE(qeltest::KeyExists(HKEY_LOCAL_MACHINE, kKey));
    EXPECT_FALSE(qeltest::KeyExists(HKEY_CURRENT_USER, kKey));
    WriteText(HKEY_CURRENT_USER, kKey, u"Name", u"user only");
    EXPECT_EQ(Read(kPath, u"default", ScopeMachineReadOnly), CString(u"default"));
}

TEST_F(RegistryValueTest, AMachineHiveThatRefusesWritesStillServesTheDefault) {
    if (!sandbox.SetReadOnly(false, true))
        GTEST_SKIP() << "this registry lets an administrator write the machine hive";
    EXPECT_EQ(Read(kPath, u"default", ScopeMachine), CString(u"default"));
    EXPECT_EQ(Write(kPath, u"x", ScopeMachine), E_FAIL);
    EXPECT_EQ(Write(kPath, u"x", ScopeMachineReadOnly), E_FAIL);
    EXPECT_EQ(Write(kPath, u"x", ScopeUser), S_OK);
    sandbox.SetReadOnly(false, false);
    EXPECT_FALSE(Stored(HKEY_LOCAL_MACHINE));
}

TEST_F(RegistryValueTest, TextsAreReadUpToTheirFirstNulWhateverTheType) {
    const struct {
        DWORD type;
        std::vector<BYTE> bytes;
        const char16_t* expected;
    } cases[] = {
        {REG_SZ, TextBytes(u""), u""},  // stored empty text is not "unset"
        {REG_SZ, TextBytes(u"no terminator", false), u"no terminator"},
        {REG_SZ, TextBytes(std::u16string(u"cut\0after", 9), true), u"cut"},
        {REG_DWORD, {0, 0, 0, 0}, u""},
        {REG_DWORD, {'A', 0, 'B', 0}, u"AB"},
        {REG_BINARY, {'x', 0, 'y'}, u"x"},  // an odd last byte is no unit
        {REG_EXPAND_SZ, TextBytes(u"%PATH%"), u"%PATH%"},
    };
    for (const auto& c : cases) {
        WriteRaw(HKEY_CURRENT_USER, kKey, u"Name", c.type, c.bytes);
        EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(c.expected)) << c.type;
    }
}

TEST_F(RegistryValueTest, ReadsUpTo1023CharactersAndLeavesLongerTextsInPlace) {
    const std::u16string fits(1023, u'a');
    WriteText(HKEY_CURRENT_USER, kKey, u"Name", fits);
    EXPECT_EQ(Read(kPath, u"default", ScopeUser).GetLength(), 1023);

    const std::u16string tooLong(1024, u'b');
    WriteText(HKEY_CURRENT_USER, kKey, u"Name", tooLong);
    EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(u"default"));
    EXPECT_EQ(Stored(HKEY_CURRENT_USER), tooLong) << "the write-back must not destroy it";

    // Too long in the user hive, readable machine-wide: the machine text is served.
    WriteText(HKEY_LOCAL_MACHINE, kKey, u"Name", u"machine");
    EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(u"machine"));

    // Too long machine-wide only: the user hive gets the default, the machine text stays.
    WriteRaw(HKEY_CURRENT_USER, kKey, u"Other", REG_SZ, TextBytes(u"x"));
    WriteText(HKEY_LOCAL_MACHINE, kKey, u"Long", tooLong);
    EXPECT_EQ(Read(u"Software\\QelConfigTests\\Values\\Long", u"default", ScopeUser),
              CString(u"default"));
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"Long"), u"default");
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"Long"), tooLong);
}

TEST_F(RegistryValueTest, WritesStoreRegSzOfTwiceTheLengthPlusTwo) {
    ASSERT_EQ(Write(kPath, u"true", ScopeUser), S_OK);
    auto raw = ReadRaw(HKEY_CURRENT_USER, kKey, u"Name");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->data.size(), 10u);
    ASSERT_EQ(Write(kPath, u"", ScopeUser), S_OK);
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, kKey, u"Name")->data.size(), 2u);

    WriteRaw(HKEY_LOCAL_MACHINE, kKey, u"Name", REG_DWORD, {1, 0, 0, 0});
    ASSERT_EQ(Write(kPath, u"text", ScopeMachine), S_OK);
    raw = ReadRaw(HKEY_LOCAL_MACHINE, kKey, u"Name");
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(qeltest::TextOf(*raw), u"text");
    // A long text can be written, though it cannot be read back.
    EXPECT_EQ(Write(kPath, std::u16string(5000, u'z').c_str(), ScopeUser), S_OK);
}

TEST_F(RegistryValueTest, PathsWithoutKeyOrValueName) {
    // No backslash: the value lives in the hive's top key.
    ASSERT_EQ(Write(u"QelConfigTestsTopValue", u"top", ScopeUser), S_OK);
    EXPECT_EQ(Read(u"QelConfigTestsTopValue", u"default", ScopeUser), CString(u"top"));
    auto top = ReadRaw(HKEY_CURRENT_USER, u"", u"QelConfigTestsTopValue");
    ASSERT_TRUE(top);
    EXPECT_EQ(qeltest::TextOf(*top), u"top");
    qelreg::RegKey root;
    ASSERT_EQ(root.Open(HKEY_CURRENT_USER, nullptr, KEY_WRITE), ERROR_SUCCESS);
    RegDeleteValueW(root.Get(), Win32Str(u"QelConfigTestsTopValue"));

    // A trailing backslash: the key's unnamed default value.
    ASSERT_EQ(Write(kKey + u"\\", u"unnamed", ScopeUser), S_OK);
    EXPECT_EQ(qeltest::TextOf(*ReadRaw(HKEY_CURRENT_USER, kKey, u"")), u"unnamed");
    EXPECT_EQ(Read(kKey + u"\\", u"default", ScopeUser), CString(u"unnamed"));
}

TEST_F(RegistryValueTest, AFailedWriteIsEFailAndChangesNothing) {
    WriteText(HKEY_CURRENT_USER, kKey, u"Name", u"before");
    if (!sandbox.SetReadOnly(true, true))
        GTEST_SKIP() << "this registry cannot refuse writes to an administrator";
    EXPECT_EQ(Write(kPath, u"after", ScopeUser), E_FAIL);
    EXPECT_EQ(Read(kPath, u"default", ScopeUser), CString(u"before"));
    sandbox.SetReadOnly(false, false);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER), u"before");
}

}  // namespace
