// Setting and reading settings end to end, on real hives: the order of the checks, change
// detection, the write-back of defaults, scopes, and the disc volume name set at construction.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

using qeltest::ReadRaw;
using qeltest::SettingKey;
using qeltest::SettingValueName;
using qeltest::WriteText;

std::optional<std::u16string> Stored(HKEY hive, const std::u16string& keyPath) {
    auto raw = ReadRaw(hive, SettingKey(keyPath), SettingValueName(keyPath));
    if (!raw) return std::nullopt;
    return qeltest::TextOf(*raw);
}

void Store(HKEY hive, const std::u16string& keyPath, const std::u16string& text) {
    WriteText(hive, SettingKey(keyPath), SettingValueName(keyPath), text);
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { QelConfigTestAccess::ResetInstance(); }
    void TearDown() override { QelConfigTestAccess::ResetInstance(); }

    qeltest::HiveSandbox sandbox;
    CQelConfig& Config() { return QelConfig(); }
};

TEST_F(SettingsTest, UnknownIdentifiersAreRefusedAndTouchNothing) {
    CQelConfig& config = Config();
    for (int id : {35, 45, 46, 56, -1, 90, 1000}) {
        const auto key = static_cast<ConfigKey>(id);
        EXPECT_EQ(config.SetValue(key, true), E_INVALIDARG) << id;
        EXPECT_EQ(config.SetValue(key, 1), E_INVALIDARG) << id;
        EXPECT_EQ(config.SetValue(key, CString(u"x")), E_INVALIDARG) << id;
        int value = 77;
        EXPECT_EQ(config.GetValue(key, value), E_INVALIDARG) << id;
        EXPECT_EQ(value, 77);
    }
    EXPECT_FALSE(
        qeltest::KeyExists(HKEY_CURRENT_USER, u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\TEST"));
}

TEST_F(SettingsTest, TheValueTypeMustMatchExactly) {
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_Type, 63), E_INVALIDARG) << "int on a long";
    EXPECT_EQ(config.SetValue(ckUI_ProjectType, 1L), E_INVALIDARG) << "long on an int";
    EXPECT_EQ(config.SetValue(ckUI_BurnToDisk, CString(u"true")), E_INVALIDARG);
    EXPECT_EQ(config.SetValue(ckUI_ISOImagePath, true), E_INVALIDARG);
    for (int id = 0; id <= 89; ++id)
        EXPECT_EQ(config.SetValue(static_cast<ConfigKey>(id), 1.0), E_INVALIDARG) << id;

    long wrong = 5;
    EXPECT_EQ(config.GetValue(ckUI_ProjectType, wrong), E_INVALIDARG);
    EXPECT_EQ(wrong, 5);
    double d = 2.5;
    EXPECT_EQ(config.GetValue(ckUI_ProjectType, d), E_INVALIDARG);
    EXPECT_EQ(d, 2.5);
    // Refused before anything was read: no default was written back.
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Type"));
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/ProjectType"));
}

// A stored long holds 32 bits on every platform: where long is wider, a value beyond them is
// refused rather than stored as a text another platform would read as a different number.
TEST_F(SettingsTest, ALongBeyondThirtyTwoBitsIsRefused) {
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_MinWidth, 2147483647L), S_OK);
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_MinWidth, -2147483647L - 1), S_OK);
    if constexpr (sizeof(long) > 4) {
        const long beyond[] = {static_cast<long>(2147483648LL), static_cast<long>(-2147483649LL),
                               static_cast<long>(5000000000LL)};
        for (long value : beyond)
            EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_MinWidth, value), E_INVALIDARG) << value;
    }
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/MinWidth"), u"-2147483648");
}

TEST_F(SettingsTest, AllowedListsGuardTheirSettings) {
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_Type, 3L), E_INVALIDARG);
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_Type, 0L), E_INVALIDARG);
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Type"))
        << "a refusal reads nothing";
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_Type, 63L), S_FALSE) << "63 is the default";
    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_Type, 16L), S_OK);

    const struct {
        ConfigKey key;
        std::vector<int> allowed, refused;
    } lists[] = {
        {ckUI_ChapterDetectDlg_CreateChapter, {1, 2, 3}, {0, 4, -1}},
        {ckUI_QuickBurnDlg_Format, {1, 2, 3, 4, 5, 6, 7}, {0, 8}},
        {ckQel_PlayRemaingTitlesOption, {0, 1, 2}, {3, -1}},
        {ckTEST_DLSupportForHDDVD, {0, 1, 2, 3}, {4, -3}},
    };
    for (const auto& list : lists) {
        for (int v : list.refused) EXPECT_EQ(config.SetValue(list.key, v), E_INVALIDARG) << v;
        for (int v : list.allowed) {
            const HRESULT hr = config.SetValue(list.key, v);
            EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << list.key << " " << v;
            int read = -100;
            EXPECT_EQ(config.GetValue(list.key, read), S_OK);
            EXPECT_EQ(read, v);
        }
    }
}

TEST_F(SettingsTest, ChangeDetectionComparesTextsUnitByUnit) {
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_ISOImagePath, CString(u"C:\\Image.iso")), S_OK);
    EXPECT_EQ(config.SetValue(ckUI_ISOImagePath, CString(u"C:\\Image.iso")), S_FALSE);
    EXPECT_EQ(config.SetValue(ckUI_ISOImagePath, CString(u"c:\\image.iso")), S_OK) << "letter case";
    EXPECT_EQ(config.SetValue(ckUI_ISOImagePath, CString(u"c:\\image.iso ")), S_OK)
        << "a trailing blank";
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ISOImagePath"), u"c:\\image.iso ");
    EXPECT_EQ(config.SetValue(ckUI_ISOImagePath, CString()), S_OK) << "the empty text is a value";
    CString read(u"unchanged?");
    EXPECT_EQ(config.GetValue(ckUI_ISOImagePath, read), S_OK);
    EXPECT_TRUE(read.IsEmpty());
}

TEST_F(SettingsTest, EveryTypeRoundTripsThroughItsText) {
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_BurnToDisk, false), S_OK);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/BurnToDisk"), u"false");
    bool flag = true;
    EXPECT_EQ(config.GetValue(ckUI_BurnToDisk, flag), S_OK);
    EXPECT_FALSE(flag);

    EXPECT_EQ(config.SetValue(ckTEST_LayerBreakAddress, -2), S_OK);
    int address = 0;
    EXPECT_EQ(config.GetValue(ckTEST_LayerBreakAddress, address), S_OK);
    EXPECT_EQ(address, -2);

    EXPECT_EQ(config.SetValue(ckUI_ButtonStylesDlg_Frame_Left, -2147483647L - 1), S_OK);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left"), u"-2147483648");
    long left = 0;
    EXPECT_EQ(config.GetValue(ckUI_ButtonStylesDlg_Frame_Left, left), S_OK);
    EXPECT_EQ(left, -2147483647L - 1);

    const CString text(u"Disc \x00e9\x4e2d");
    EXPECT_EQ(config.SetValue(ckUI_DiscVolumeName, text), S_OK);
    CString back;
    EXPECT_EQ(config.GetValue(ckUI_DiscVolumeName, back), S_OK);
    EXPECT_EQ(back, text);
}

TEST_F(SettingsTest, AFirstReadStoresTheDefault) {
    CQelConfig& config = Config();
    long width = 0;
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/MinWidth"));
    EXPECT_EQ(config.GetValue(ckUI_ButtonStylesDlg_MinWidth, width), S_OK);
    EXPECT_EQ(width, 400);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/MinWidth"), u"400");
    CString path(u"garbage");
    EXPECT_EQ(config.GetValue(ckUI_ImageFolderPath, path), S_OK);
    EXPECT_TRUE(path.IsEmpty());

    // A set to a text equal to the default reports S_FALSE but leaves it stored.
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/BurnToImage"));
    EXPECT_EQ(config.SetValue(ckUI_BurnToImage, false), S_FALSE);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/BurnToImage"), u"false");
}

TEST_F(SettingsTest, StoredTextsReadAsTheirTypeReadsThem) {
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"0");
    Store(HKEY_CURRENT_USER, u"UI/BurningSpeed", u"8x");
    CQelConfig& config = Config();
    bool burn = false;
    EXPECT_EQ(config.GetValue(ckUI_BurnToDisk, burn), S_OK);
    EXPECT_TRUE(burn) << "only \"false\" is false";
    int speed = 0;
    EXPECT_EQ(config.GetValue(ckUI_BurningSpeed, speed), S_OK);
    EXPECT_EQ(speed, 8);
}

TEST_F(SettingsTest, AUserSettingStoredOnlyMachineWide) {
    Store(HKEY_LOCAL_MACHINE, u"UI/BurnLogCount", u"12");
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_BurnLogCount, 12), S_FALSE);
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/BurnLogCount"));
    int count = 0;
    EXPECT_EQ(config.GetValue(ckUI_BurnLogCount, count), S_OK);
    EXPECT_EQ(count, 12);
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/BurnLogCount")) << "a machine value is not copied";

    EXPECT_EQ(config.SetValue(ckUI_BurnLogCount, 13), S_OK);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/BurnLogCount"), u"13");
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/BurnLogCount"), u"12");
}

TEST_F(SettingsTest, MachineSettingsLiveMachineWide) {
    CQelConfig& config = Config();
    EXPECT_EQ(config.SetValue(ckUI_VideoStandardForHD, 1), S_OK);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/VideoStandardForHD"), u"1");
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/VideoStandardForHD"));
    Store(HKEY_CURRENT_USER, u"UI/URLNewThemes", u"user copy is never read");
    CString url;
    EXPECT_EQ(config.GetValue(ckUI_URLNewThemes, url), S_OK);
    EXPECT_NE(url, CString(u"user copy is never read"));
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes"), std::u16string(url.View()));
}

TEST_F(SettingsTest, AMachineSettingWhenTheMachineHiveRefusesWrites) {
    CQelConfig& config = Config();
    if (!sandbox.SetReadOnly(false, true))
        GTEST_SKIP() << "this registry lets an administrator write the machine hive";
    EXPECT_EQ(config.SetValue(ckUI_VideoStandardForHD, 1), E_FAIL);
    EXPECT_EQ(config.SetValue(ckUI_VideoStandardForHD, 0), S_FALSE) << "equal to the default";
    int standard = -1;
    EXPECT_EQ(config.GetValue(ckUI_VideoStandardForHD, standard), S_OK);
    EXPECT_EQ(standard, 0);
    sandbox.SetReadOnly(false, false);
    EXPECT_FALSE(Stored(HKEY_LOCAL_MACHINE, u"UI/VideoStandardForHD"));

    Store(HKEY_LOCAL_MACHINE, u"UI/VideoStandardForHD", u"1");
    sandbox.SetReadOnly(false, true);
    EXPECT_EQ(config.SetValue(ckUI_VideoStandardForHD, 0), E_FAIL);
    EXPECT_EQ(config.SetValue(ckUI_VideoStandardForHD, 1), S_FALSE);
    sandbox.SetReadOnly(false, false);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/VideoStandardForHD"), u"1");
}

TEST_F(SettingsTest, ConstructionLeavesKorvidAsTheDiscVolumeName) {
    {
        CQelConfig& config = Config();
        EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/DiscVolumeName"), u"Korvid") << "nothing stored";
        EXPECT_EQ(config.SetValue(ckUI_DiscVolumeName, CString(u"Korvid")), S_FALSE);
        EXPECT_EQ(config.SetValue(ckUI_DiscVolumeName, CString(u"My Disc")), S_OK);
    }
    QelConfigTestAccess::ResetInstance();
    Config();
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/DiscVolumeName"), u"Korvid") << "another text stored";

    QelConfigTestAccess::ResetInstance();
    qeltest::DeleteTree(HKEY_CURRENT_USER, u"Software\\Halvard");
    Store(HKEY_LOCAL_MACHINE, u"UI/DiscVolumeName", u"Machine Disc");
    Config();
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/DiscVolumeName"), u"Korvid")
        << "another text machine-wide";
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, u"UI/DiscVolumeName"), u"Machine Disc");
}

TEST_F(SettingsTest, ConstructionSucceedsWhenEveryWriteIsRefused) {
    if (!sandbox.SetReadOnly(true, true))
        GTEST_SKIP() << "this registry cannot refuse writes to an administrator";
    CQelConfig& config = Config();
    EXPECT_EQ(config.GetApplicationName(), CString(u"Korvid"));
    CString name;
    EXPECT_EQ(config.GetValue(ckUI_DiscVolumeName, name), S_OK);
    EXPECT_EQ(name, CString(u"Korvid"));
    EXPECT_EQ(config.SetValue(ckUI_DiscVolumeName, CString(u"Other")), E_FAIL);
    sandbox.SetReadOnly(false, false);
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, u"UI/DiscVolumeName"));
}

TEST_F(SettingsTest, OnlyTheFirstGetBuildsTheInstanceAndTouchesTheRegistry) {
    CQelConfig& first = Config();
    Store(HKEY_CURRENT_USER, u"UI/DiscVolumeName", u"Changed later");
    EXPECT_EQ(&CQelConfig::Get(), &first);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, u"UI/DiscVolumeName"), u"Changed later");
}

}  // namespace
