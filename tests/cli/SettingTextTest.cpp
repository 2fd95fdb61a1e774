// The strict value forms the tool accepts, and allowed lists read the way the library reads them.
#include <gtest/gtest.h>

#include "SettingText.h"
#include "Utf8.h"

namespace {

using namespace qelcli;

std::string Utf8(const std::u16string& text) { return ToUtf8(text); }

const ConfigEntry& Setting(const char* keyPath) {
    const ConfigEntry* entry = FindSetting(keyPath);
    if (entry == nullptr) throw std::logic_error(keyPath);
    return *entry;
}

TEST(SettingText, Int32Forms) {
    const struct {
        const char16_t* text;
        std::optional<std::int32_t> value;
    } cases[] = {
        // digits and sign
        {u"0", 0},
        {u"42", 42},
        {u"-42", -42},
        {u"+42", 42},
        {u"007", 7},
        {u"-0", 0},
        // limits
        {u"2147483647", 2147483647},
        {u"-2147483648", INT32_MIN},
        {u"2147483648", std::nullopt},
        {u"-2147483649", std::nullopt},
        {u"99999999999999999999", std::nullopt},
        // white space
        {u" 1", std::nullopt},
        {u"1 ", std::nullopt},
        {u"\t1", std::nullopt},
        // garbage
        {u"", std::nullopt},
        {u"-", std::nullopt},
        {u"+", std::nullopt},
        {u"1x", std::nullopt},
        {u"0x10", std::nullopt},
        {u"1e3", std::nullopt},
        {u"1.0", std::nullopt},
        {u"--1", std::nullopt},
        {u"\uFF11", std::nullopt},
    };
    // An int and a long setting with no allowed list: both hold 32 bits wherever stored.
    for (const char* setting : {"UI/ProjectType", "UI/ButtonStylesDlg/MinWidth"}) {
        for (const auto& c : cases) {
            const std::u16string text(c.text);
            const SettingText checked = CheckSettingText(Setting(setting), text);
            if (c.value) {
                EXPECT_EQ(checked.refusal, "") << setting << " " << Utf8(text);
                EXPECT_EQ(Utf8(checked.canonical), std::to_string(*c.value)) << Utf8(text);
            } else {
                EXPECT_NE(checked.refusal, "") << setting << " " << Utf8(text);
            }
        }
    }
}

TEST(SettingText, BoolForms) {
    const ConfigEntry& burn = Setting("UI/BurnToDisk");
    for (const char16_t* yes : {u"true", u"TRUE", u"True", u"tRuE"})
        EXPECT_EQ(CheckSettingText(burn, yes).canonical, u"true");
    for (const char16_t* no : {u"false", u"FALSE", u"False"})
        EXPECT_EQ(CheckSettingText(burn, no).canonical, u"false");
    for (const char16_t* bad : {u"", u"1", u"0", u"yes", u"true ", u" false", u"truee"})
        EXPECT_NE(CheckSettingText(burn, bad).refusal.find("is not a bool"), std::string::npos);
}

TEST(SettingText, AllowedTokensAreTheLibrarysTokens) {
    EXPECT_EQ(AllowedTokens(Setting("UI/ButtonStylesDlg/Type")),
              (std::vector<std::u16string>{u"1", u"2", u"4", u"8", u"16", u"32", u"63"}));
    EXPECT_TRUE(AllowedTokens(Setting("UI/BurnToDisk")).empty());
}

TEST(SettingText, AllowedValuesCompareAsTheLibraryReadsThem) {
    const ConfigEntry& type = Setting("UI/ButtonStylesDlg/Type");
    for (const char16_t* allowed : {u"1", u"63", u"016", u"+32"})
        EXPECT_TRUE(IsAllowedText(type, allowed)) << std::u16string(allowed).size();
    for (const char16_t* refused : {u"0", u"3", u"64", u"-1"})
        EXPECT_FALSE(IsAllowedText(type, refused));
    EXPECT_TRUE(IsAllowedText(Setting("UI/ProjectType"), u"12345")) << "no list: all allowed";
}

TEST(SettingText, CheckNamesTheReason) {
    const struct {
        const char* setting;
        std::u16string text;
        const char* reason;  // empty: accepted
    } cases[] = {
        {"UI/BurnToDisk", u"False", ""},
        {"UI/BurnToDisk", u"no", "is not a bool"},
        {"UI/ProjectType", u"-5", ""},
        {"UI/ProjectType", u"5.0", "is not a decimal int"},
        {"UI/ButtonStylesDlg/MinWidth", u"x", "is not a decimal long"},
        {"UI/ButtonStylesDlg/MinWidth", u"5000000000", "outside the 32 bits of a stored long"},
        {"UI/QuickBurnDlg/Format", u"8", "allowed values: 1, 2, 3, 4, 5, 6, 7"},
        {"Qel/PlayRemaingTitlesOption", u"2", ""},
        {"UI/ISOImagePath", std::u16string(1023, u'a'), ""},
        {"UI/ISOImagePath", std::u16string(1024, u'a'), "has 1024 characters"},
        {"UI/ISOImagePath", u"any \"text\" \\ at all", ""},
    };
    for (const auto& c : cases) {
        const std::string reason = CheckSettingText(Setting(c.setting), c.text).refusal;
        if (*c.reason == 0) {
            EXPECT_EQ(reason, "") << c.setting;
        } else {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.setting << ": " << reason;
        }
    }
}

TEST(SettingText, ReadsAsTheLibraryReads) {
    EXPECT_EQ(ReadAsLibrary(Setting("UI/BurnToDisk"), u"yes"), u"true");
    EXPECT_EQ(ReadAsLibrary(Setting("UI/BurnToDisk"), u"FALSE"), u"false");
    EXPECT_EQ(ReadAsLibrary(Setting("UI/BurnToDisk"), u""), u"false");
    EXPECT_EQ(ReadAsLibrary(Setting("UI/ProjectType"), u" 12abc"), u"12");
    EXPECT_EQ(ReadAsLibrary(Setting("UI/ProjectType"), u"abc"), u"0");
    EXPECT_EQ(ReadAsLibrary(Setting("UI/ISOImagePath"), u" kept "), u" kept ");
}

}  // namespace
