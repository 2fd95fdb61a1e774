// The variant wrapper and the variant calls beneath it (the platform's own on Windows).
#include <gtest/gtest.h>

#include "QelVariant.h"

namespace {

TEST(CComVariant, ConstructsTheExpectedTypes) {
    EXPECT_EQ(CComVariant().vt, VT_EMPTY);
    EXPECT_EQ(CComVariant(true).vt, VT_BOOL);
    EXPECT_EQ(CComVariant(true).boolVal, VARIANT_TRUE);
    EXPECT_EQ(CComVariant(false).boolVal, VARIANT_FALSE);
    EXPECT_EQ(CComVariant(static_cast<short>(-1)).vt, VT_I2);
    EXPECT_EQ(CComVariant(5).vt, VT_I4);
    EXPECT_EQ(CComVariant(5L).lVal, 5);
    CComVariant text(u"abc");
    ASSERT_EQ(text.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(text.bstrVal), 3u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text.bstrVal)), u"abc");
}

TEST(CComVariant, CopiesOwnTheirStrings) {
    CComVariant original(u"shared?");
    CComVariant copy(original);
    ASSERT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, original.bstrVal);
    original = CComVariant(3);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy.bstrVal)), u"shared?");
    // Self-assignment keeps the string (through a reference: clang flags `copy = copy`).
    const CComVariant& self = copy;
    copy = self;
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy.bstrVal)), u"shared?");
    EXPECT_EQ(copy.Clear(), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
}

TEST(CComVariant, AFailedCopyLeavesVtError) {
    VARIANT unsupported{};
    unsupported.vt = static_cast<VARTYPE>(0x7FF);  // no such type
    CComVariant copy(unsupported);
    EXPECT_EQ(copy.vt, VT_ERROR);
    EXPECT_TRUE(FAILED(copy.scode));
}

TEST(CComVariant, ComparesNumericallyAcrossIntegerTypes) {
    const CComVariant minusOne(static_cast<short>(-1));
    EXPECT_TRUE(CComVariant(true) == minusOne);
    EXPECT_FALSE(CComVariant(false) == minusOne);
    EXPECT_TRUE(CComVariant(-1) == minusOne);
    EXPECT_TRUE(CComVariant(3) < CComVariant(4));
    EXPECT_TRUE(CComVariant(4) > CComVariant(static_cast<short>(3)));
    EXPECT_FALSE(CComVariant(4) < CComVariant(4));
    EXPECT_TRUE(CComVariant(false) > CComVariant(true));
}

TEST(CComVariant, NullsAreEqualAndOtherwiseUnordered) {
    VARIANT null{};
    null.vt = VT_NULL;
    const CComVariant a(null), b(null);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(a > b);
    EXPECT_FALSE(a == CComVariant(0));
    EXPECT_FALSE(a < CComVariant(0));
    EXPECT_FALSE(CComVariant(0) > a);
    EXPECT_EQ(
        VarCmp(const_cast<CComVariant*>(&a), const_cast<CComVariant*>(&b), LOCALE_USER_DEFAULT, 0),
        VARCMP_NULL);
}

TEST(CComVariant, EmptyComparesAsZeroOrAsTheEmptyText) {
    EXPECT_TRUE(CComVariant() == CComVariant(0));
    EXPECT_TRUE(CComVariant() < CComVariant(1));
    EXPECT_TRUE(CComVariant() == CComVariant(u""));
    EXPECT_TRUE(CComVariant() < CComVariant(u"a"));
}

TEST(CComVariant, TextsOrderAboveNumbersAndByUnitAmongThemselves) {
    EXPECT_TRUE(CComVariant(u"12") > CComVariant(400));
    EXPECT_TRUE(CComVariant(-5) < CComVariant(u"-10"));
    EXPECT_FALSE(CComVariant(u"4") == CComVariant(4));
    EXPECT_TRUE(CComVariant(u"abc") < CComVariant(u"abd"));
    EXPECT_TRUE(CComVariant(u"ab") < CComVariant(u"abc"));
    EXPECT_TRUE(CComVariant(u"same") == CComVariant(u"same"));
}

}  // namespace
