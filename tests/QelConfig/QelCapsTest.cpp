// Capability resolution under sub-key masks, on an object built from the shipped table.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/HiveSandbox.h"

namespace {

class CapsTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox sandbox;
    ScopedConfig config{QelConfigTestAccess::Make(u"Korvid", u"")};

    HRESULT Resolve(int key, DWORD mask, CComVariant& result) {
        return QelConfigTestAccess::GetCapsValue(*config, static_cast<CapsKey>(key), mask, result);
    }
    // The resolved value as "bool:1", "i4:98" or the failure code.
    std::string Describe(int key, DWORD mask) {
        CComVariant result;
        HRESULT hr = Resolve(key, mask, result);
        if (hr == E_INVALIDARG) return "E_INVALIDARG";
        if (hr == E_FAIL) return "E_FAIL";
        if (hr != S_OK) return "hr:" + std::to_string(hr);
        if (result.vt == VT_BOOL)
            return result.boolVal == VARIANT_TRUE ? "true"
                                                  : "bool:" + std::to_string(result.boolVal);
        if (result.vt == VT_I4) return std::to_string(result.lVal);
        return "vt:" + std::to_string(result.vt);
    }
};

TEST_F(CapsTest, TheIndexHasEveryCapabilityAndItsOverrides) {
    const auto& caps = QelConfigTestAccess::Caps(*config);
    ASSERT_EQ(caps.size(), 37u);
    EXPECT_EQ(caps.begin()->first, 0);
    EXPECT_EQ(caps.rbegin()->first, 36);
    const std::map<int, size_t> overrideCounts = {{10, 1}, {11, 3}, {12, 2},
                                                  {18, 1}, {28, 1}, {31, 1}};
    for (const auto& [key, entry] : caps) {
        auto expected = overrideCounts.find(key);
        EXPECT_EQ(entry.overrides.size(), expected == overrideCounts.end() ? 0 : expected->second)
            << key;
        EXPECT_EQ(entry.rule, key <= 27 ? CapsRuleAnd : (key == 36 ? CapsRuleMax : CapsRuleMin));
    }
}

TEST_F(CapsTest, DefaultSubKeysGiveEveryBaseValue) {
    for (int key = 0; key <= 27; ++key) EXPECT_EQ(Describe(key, 0), "true") << key;
    const int limits[] = {98, 98, 99, 16, 16, 64, 64, 9000000, 4000000};
    for (int key = 28; key <= 36; ++key)
        EXPECT_EQ(Describe(key, 0), std::to_string(limits[key - 28])) << key;
}

TEST_F(CapsTest, MasksCombineByEachCapabilitysRule) {
    const struct {
        int key;
        DWORD mask;
        const char* expected;
    } cases[] = {
        {10, 0x9, "bool:0"},       {10, 0x8, "bool:0"},
        {10, 0x2, "E_FAIL"},       {11, 0x31, "bool:0"},
        {11, 0x42, "E_FAIL"},      {12, 0xC, "bool:0"},
        {12, 0x5, "bool:0"},       {0, 0xFFFFFFFF, "true"},
        {0, 0x80000000, "E_FAIL"}, {18, 0x41, "bool:0"},
        {18, 0x40, "bool:0"},      {18, 0x3F, "true"},
        {28, 0x1, "98"},           {28, 0x4, "49"},
        {28, 0x5, "49"},           {28, 0x6, "49"},
        {28, 0x2, "E_FAIL"},       {31, 0x1001, "16"},
        {31, 0x1000, "16"},        {36, 0x1, "4000000"},
        {36, 0x4, "E_FAIL"},       {36, 0xFFFFFFFF, "4000000"},
        {37, 0x1, "E_INVALIDARG"}, {-1, 0x1, "E_INVALIDARG"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Describe(c.key, c.mask), c.expected) << "key " << c.key << " mask " << c.mask;
}

TEST_F(CapsTest, DefaultSubKeysStandInForAZeroMask) {
    config->SetDefaultSubKeys(0x8);
    EXPECT_EQ(Describe(10, 0), "bool:0");
    EXPECT_EQ(Describe(0, 0), "E_FAIL");
    EXPECT_EQ(Describe(10, 0x1), "true");
    config->SetDefaultSubKeys(0);
    for (int key = 0; key <= 36; ++key) EXPECT_EQ(Describe(key, 0), "E_FAIL") << key;
}

TEST_F(CapsTest, FailuresLeaveTheResultAndSuccessReplacesIt) {
    CComVariant result(u"previous text");
    EXPECT_EQ(Resolve(37, 1, result), E_INVALIDARG);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(Resolve(10, 0x2, result), E_FAIL);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(Resolve(28, 0x4, result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 49);
}

TEST_F(CapsTest, TypedAccessorConvertsOrRefuses) {
    bool flag = true;
    EXPECT_EQ(config->GetCapsValue(capsFlag10, flag, 0x9), S_OK);
    EXPECT_FALSE(flag);
    long limit = 0;
    EXPECT_EQ(config->GetCapsValue(capsLimit28, limit, 0x4), S_OK);
    EXPECT_EQ(limit, 49);
    int narrow = 0;
    EXPECT_EQ(config->GetCapsValue(capsLimit35, narrow), S_OK);
    EXPECT_EQ(narrow, 9000000);
    // A boolean capability does not read as a number, nor a limit as a boolean.
    int untouched = 7;
    EXPECT_EQ(config->GetCapsValue(capsFlag0, untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, 7);
    EXPECT_EQ(config->GetCapsValue(capsLimit36, flag), E_INVALIDARG);
    EXPECT_EQ(config->GetCapsValue(static_cast<CapsKey>(99), flag), E_INVALIDARG);
    EXPECT_EQ(config->GetCapsValue(capsFlag10, flag, 0x2), E_FAIL);
}

}  // namespace
