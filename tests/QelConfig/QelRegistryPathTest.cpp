// Composition of registry paths from key paths and the object's identity.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/HiveSandbox.h"

namespace {

class RegistryPathTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox sandbox;

    static std::u16string Path(CQelConfig& config, const char16_t* keyPath) {
        return std::u16string(QelConfigTestAccess::GetRegPath(config, CString(keyPath)).View());
    }
};

TEST_F(RegistryPathTest, TheInstanceDoublesTheBackslashForItsEmptyVersion) {
    ScopedConfig config(QelConfigTestAccess::Make(u"Korvid", u""));
    const struct {
        const char16_t* keyPath;
        const char16_t* expected;
    } cases[] = {
        {u"UI/BurnToDisk", u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\BurnToDisk"},
        {u"UI/ButtonStylesDlg/Frame/Left",
         u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\ButtonStylesDlg\\Frame\\Left"},
        {u"Qel/PlayRemaingTitlesOption",
         u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\Qel\\PlayRemaingTitlesOption"},
        {u"", u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\"},
        {u"UI/", u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\"},
        {u"/UI", u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\\\UI"},
        {u"UI\\Sub/Name", u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\Sub\\Name"},
    };
    for (const auto& c : cases) EXPECT_EQ(Path(*config, c.keyPath), c.expected);
}

TEST_F(RegistryPathTest, SlashesInTheIdentityBecomeLevelsToo) {
    ScopedConfig config(QelConfigTestAccess::Make(u"Suite/App", u"1/2"));
    EXPECT_EQ(Path(*config, u"UI/X"), u"Software\\Halvard\\Nuvex12\\OEM\\Suite\\App\\1\\2\\UI\\X");
}

TEST_F(RegistryPathTest, TheDefaultSubKeysTakeNoPart) {
    ScopedConfig config(QelConfigTestAccess::Make(u"Korvid", u"7"));
    const std::u16string before = Path(*config, u"UI/BurnToDisk");
    config->SetDefaultSubKeys(0xFFFFFFFF);
    EXPECT_EQ(Path(*config, u"UI/BurnToDisk"), before);
    EXPECT_EQ(before, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\7\\UI\\BurnToDisk");
}

}  // namespace
