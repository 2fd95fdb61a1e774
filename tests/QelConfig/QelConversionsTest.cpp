// The text form of each value type and typed reads of variants, through the exported functions.
#include <clocale>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "QelConfig.h"

namespace {

template <typename T>
T Parse(const char16_t* text) {
    T value{};
    EXPECT_TRUE(FromString(CString(text), value));
    return value;
}

template <typename T>
CString Format(const T& value) {
    CString text(u"previous content");
    EXPECT_TRUE(ToString(value, text));
    return text;
}

struct IntCase {
    const char16_t* text;
    long long expected;
};

TEST(FromStringInteger, ReadsLeadingDecimalAndIgnoresTheRest) {
    const IntCase cases[] = {
        {u"12abc", 12},
        {u"abc", 0},
        {u"  7", 7},
        {u"-3", -3},
        {u"", 0},
        {u"+5", 5},
        {u"\t\n 42", 42},
        {u"- 4", 0},
        {u"--4", 0},
        {u"0x1F", 0},
        {u"007", 7},
        {u"63 ", 63},
        {u"1 ,", 1},
        {u"3.9", 3},
        {u"-0", 0},
        {u"2147483647", 2147483647},
        {u"-2147483648", -2147483647LL - 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse<int>(c.text), c.expected) << CString(c.text).GetLength();
        EXPECT_EQ(Parse<long>(c.text), c.expected);
    }
}

TEST(FromStringInteger, SaturatesBeyondTheTypesRange) {
    EXPECT_EQ(Parse<int>(u"2147483648"), std::numeric_limits<int>::max());
    EXPECT_EQ(Parse<int>(u"-2147483649"), std::numeric_limits<int>::min());
    EXPECT_EQ(Parse<int>(u"99999999999999999999999999"), std::numeric_limits<int>::max());
    // A stored long holds 32 bits wherever long is wider, so a text means one number everywhere.
    EXPECT_EQ(Parse<long>(u"2147483648"), 2147483647L);
    EXPECT_EQ(Parse<long>(u"5000000000"), 2147483647L);
    EXPECT_EQ(Parse<long>(u"-2147483649"), -2147483647L - 1);
    EXPECT_EQ(Parse<long>(u"-99999999999999999999999999"), -2147483647L - 1);
    EXPECT_EQ(Parse<long>(u"99999999999999999999999999x"), 2147483647L);
}

TEST(ToStringInteger, WritesPlainDecimal) {
    EXPECT_EQ(Format(-2147483647 - 1), CString(u"-2147483648"));
    EXPECT_EQ(Format(0), CString(u"0"));
    EXPECT_EQ(Format(63), CString(u"63"));
    EXPECT_EQ(Format(400L), CString(u"400"));
    EXPECT_EQ(Format(-1L), CString(u"-1"));
}

TEST(IntegerText, RoundTrips) {
    for (int value : {0, 1, -1, 63, 2147483647, -2147483647 - 1, 123456789}) {
        EXPECT_EQ(Parse<int>(Format(value)), value);
        EXPECT_EQ(Parse<long>(Format(static_cast<long>(value))), value);
    }
}

TEST(DoubleText, WritesSixSignificantDigits) {
    EXPECT_EQ(Format(0.5), CString(u"0.5"));
    EXPECT_EQ(Format(100.0), CString(u"100"));
    EXPECT_EQ(Format(1234567.0), CString(u"1.23457e+06"));
    EXPECT_EQ(Format(0.0001), CString(u"0.0001"));
    EXPECT_EQ(Format(0.00001), CString(u"1e-05"));
    EXPECT_EQ(Format(-2.5), CString(u"-2.5"));
    EXPECT_EQ(Format(0.0), CString(u"0"));
}

TEST(DoubleText, ReadsAsStrtodDoes) {
    EXPECT_DOUBLE_EQ(Parse<double>(u"  -1.5e3xyz"), -1500.0);
    EXPECT_DOUBLE_EQ(Parse<double>(u"+.25"), 0.25);
    EXPECT_DOUBLE_EQ(Parse<double>(u"0x10"), 16.0);
    EXPECT_DOUBLE_EQ(Parse<double>(u"0x"), 0.0);
    EXPECT_DOUBLE_EQ(Parse<double>(u"1e"), 1.0);
    EXPECT_DOUBLE_EQ(Parse<double>(u"abc"), 0.0);
    // One sign only, and none after a hexadecimal prefix: these read no number at all.
    for (const char16_t* twoSigns : {u"--5", u"+-5", u"-+5", u"++5", u" -+0x10", u"0x-5", u"0x+5"})
        EXPECT_EQ(Parse<double>(twoSigns), 0.0) << CString(twoSigns).GetLength();
    EXPECT_DOUBLE_EQ(Parse<double>(u"-0x10"), -16.0);
    EXPECT_DOUBLE_EQ(Parse<double>(u""), 0.0);
    EXPECT_TRUE(std::isinf(Parse<double>(u"inf")));
    EXPECT_TRUE(std::isnan(Parse<double>(u"nan")));
    EXPECT_TRUE(std::isinf(Parse<double>(u"1e999")));
    EXPECT_EQ(Parse<double>(u"1e-999"), 0.0);
    EXPECT_TRUE(std::isinf(Parse<double>(u"-1e999")) && Parse<double>(u"-1e999") < 0);
}

TEST(DoubleText, RoundTripsToSixDigitsWhateverTheLocale) {
    EXPECT_DOUBLE_EQ(Parse<double>(Format(0.1234567)), 0.123457);
    // A locale with a decimal comma must change neither the written nor the read form.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
        std::setlocale(LC_ALL, "fr_FR.UTF-8") == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    EXPECT_EQ(Format(0.5), CString(u"0.5"));
    EXPECT_DOUBLE_EQ(Parse<double>(u"2.75"), 2.75);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(BoolText, OnlyFalseInAnyCaseAndEmptyAreFalse) {
    const struct {
        const char16_t* text;
        bool expected;
    } cases[] = {
        {u"false", false}, {u"FALSE", false}, {u"False", false}, {u"", false},
        {u"true", true},   {u"1", true},      {u"0", true},      {u"no", true},
        {u" false", true}, {u"false ", true}, {u"fals", true},   {u"falsey", true},
    };
    for (const auto& c : cases) EXPECT_EQ(Parse<bool>(c.text), c.expected);
}

TEST(BoolText, LeavesTheInputAloneAndRoundTrips) {
    const CString input(u"FaLsE");
    bool value = true;
    FromString(input, value);
    EXPECT_FALSE(value);
    EXPECT_EQ(input, CString(u"FaLsE"));
    EXPECT_EQ(Format(true), CString(u"true"));
    EXPECT_EQ(Format(false), CString(u"false"));
    EXPECT_TRUE(Parse<bool>(Format(true)));
    EXPECT_FALSE(Parse<bool>(Format(false)));
}

TEST(TextText, CopiesExactly) {
    const CString odd(u"  Mixed Case \x00e9\xd800 ");
    EXPECT_EQ(Parse<CString>(odd), odd);
    EXPECT_EQ(Format(odd), odd);
    EXPECT_EQ(Format(CString()), CString());
}

CComVariant Variant(VARTYPE vt, LONGLONG bits) {
    CComVariant v;
    v.vt = vt;
    v.llVal = bits;
    return v;
}

TEST(FromVariantLong, TakesTheIntegerTypesWithoutCoercion) {
    const struct {
        VARTYPE vt;
        LONGLONG bits;
        long expected;
    } accepted[] = {
        {VT_UI4, 0xFFFFFFFF, -1},      {VT_UI2, 0xFFFF, 65535},
        {VT_I2, 0xFFFF, -1},           {VT_I4, 98, 98},
        {VT_INT, -7 & 0xFFFFFFFF, -7}, {VT_UINT, 0x80000000, -2147483647L - 1},
    };
    for (const auto& c : accepted) {
        long value = 12345;
        EXPECT_TRUE(FromVariant(Variant(c.vt, c.bits), value)) << c.vt;
        EXPECT_EQ(value, c.expected) << c.vt;
        int narrow = 12345;
        EXPECT_TRUE(FromVariant(Variant(c.vt, c.bits), narrow));
        EXPECT_EQ(narrow, static_cast<int>(c.expected));
    }
}

TEST(FromVariant, RefusesOtherTypesAndLeavesTheOutputAlone) {
    const VARTYPE refusedForIntegers[] = {VT_EMPTY,
                                          VT_NULL,
                                          VT_BOOL,
                                          VT_I1,
                                          VT_UI1,
                                          VT_I8,
                                          VT_UI8,
                                          VT_R4,
                                          VT_R8,
                                          VT_ERROR,
                                          static_cast<VARTYPE>(VT_I4 | VT_BYREF),
                                          static_cast<VARTYPE>(VT_I4 | VT_ARRAY)};
    for (VARTYPE vt : refusedForIntegers) {
        long value = 12345;
        int narrow = 678;
        CComVariant variant;
        variant.vt = vt;
        variant.llVal = 1;
        EXPECT_FALSE(FromVariant(variant, value)) << vt;
        EXPECT_FALSE(FromVariant(variant, narrow)) << vt;
        EXPECT_EQ(value, 12345);
        EXPECT_EQ(narrow, 678);
        // 1 is no SAFEARRAY: OLE Automation's VariantClear would free it.
        variant.vt = VT_EMPTY;
    }
    for (VARTYPE vt : {VT_I2, VT_I4, VT_UI4, VT_INT, VT_EMPTY, VT_R8}) {
        bool flag = true;
        EXPECT_FALSE(FromVariant(Variant(vt, 0), flag)) << vt;
        EXPECT_TRUE(flag);
    }
    CComVariant text(u"12");
    long value = 5;
    EXPECT_FALSE(FromVariant(text, value));
    EXPECT_EQ(value, 5);
}

TEST(FromVariantBool, NonZeroIsTrue) {
    bool flag = false;
    EXPECT_TRUE(FromVariant(CComVariant(true), flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(FromVariant(Variant(VT_BOOL, 1), flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(FromVariant(CComVariant(false), flag));
    EXPECT_FALSE(flag);
}

}  // namespace
