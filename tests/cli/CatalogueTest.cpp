// Finding settings by id, key path and registry location; where each one is stored.
#include <gtest/gtest.h>

#include "Catalogue.h"
#include "support/CatalogueFacts.h"

namespace {

using namespace qelcli;

TEST(Catalogue, HoldsEveryRowInIdOrder) {
    const auto& all = AllSettings();
    ASSERT_EQ(all.size(), qeltest::kSettingCount);
    for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1]->id, all[i]->id);
}

TEST(Catalogue, FindsByIdOrKeyPathInAnyCase) {
    const struct {
        const char* text;
        int id;
    } found[] = {
        {"18", 18},
        {"0", 0},
        {"UI/BurnToDisk", 18},
        {"ui/burntodisk", 18},
        {"UI\\BURNTODISK", 18},
        {"UI/ButtonStylesDlg/Frame/Left", 60},
        {"ui\\buttonstylesdlg/frame\\left", 60},
    };
    for (const auto& f : found) {
        const ConfigEntry* entry = FindSetting(f.text);
        ASSERT_NE(entry, nullptr) << f.text;
        EXPECT_EQ(entry->id, f.id) << f.text;
    }
    for (const char* unknown : {"", "35", "56", "90", "-1", "+18", "18 ", "UI", "UI/",
                                "UI/BurnToDis", "/UI/BurnToDisk", "BurnToDisk"})
        EXPECT_EQ(FindSetting(unknown), nullptr) << unknown;
}

TEST(Catalogue, LocationsFollowTheScope) {
    const Location user = LocationOf(*FindSetting("UI/ButtonStylesDlg/Frame/Left"));
    EXPECT_EQ(user.hive, Hive::User);
    EXPECT_TRUE(user.fallsBackToMachine);
    EXPECT_EQ(user.composedKey,
              u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\ButtonStylesDlg\\Frame");
    EXPECT_EQ(user.key, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI\\ButtonStylesDlg\\Frame");
    EXPECT_EQ(user.valueName, u"Left");

    const Location machine = LocationOf(*FindSetting("UI/URLNewThemes"));
    EXPECT_EQ(machine.hive, Hive::Machine);
    EXPECT_FALSE(machine.fallsBackToMachine);
    EXPECT_EQ(machine.key, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI");
}

TEST(Catalogue, FindsTheSettingAtARegistryLocation) {
    const ConfigEntry* left = FindSettingAt(u"ui\\BUTTONSTYLESDLG\\frame", u"LEFT");
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->id, 60);
    EXPECT_EQ(FindSettingAt(u"UI", u"ButtonStylesDlg"), nullptr);
    EXPECT_EQ(FindSettingAt(u"UI\\ButtonStylesDlg", u"Left"), nullptr);
    EXPECT_EQ(FindSettingAt(u"", u"UI"), nullptr);
}

TEST(Catalogue, KnowsWhichKeysHoldSettings) {
    for (const char16_t* key : {u"UI", u"ui\\buttonstylesdlg", u"UI\\ButtonStylesDlg\\Frame",
                                u"Paths", u"TEST", u"Qel", u"UI\\QuickBurnDlg"})
        EXPECT_TRUE(IsSettingKey(key));
    for (const char16_t* key :
         {u"", u"UI\\BurnToDisk", u"Other", u"UI\\ButtonStylesDlg\\Frame\\Left", u"U"})
        EXPECT_FALSE(IsSettingKey(key));
}

}  // namespace
