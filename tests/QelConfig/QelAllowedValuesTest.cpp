// The token reader and the allowed-value check that guards every set.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/HiveSandbox.h"

namespace {

class AllowedValuesTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox sandbox;
    ScopedConfig config{QelConfigTestAccess::Make(u"Korvid", u"")};

    // Every token of text, then what is left, as "token|token||rest".
    std::u16string Tokens(const char16_t* text, int calls) {
        CString rest(text);
        std::u16string out;
        for (int i = 0; i < calls; ++i) {
            out += QelConfigTestAccess::NextToken(*config, rest).View();
            out += u"|";
        }
        out += u"|";
        out += rest.View();
        return out;
    }
    template <typename T>
    bool Allowed(const T& value, const char16_t* list) {
        return QelConfigTestAccess::IsAllowedValue(*config, value, CString(list));
    }
};

TEST_F(AllowedValuesTest, NextTokenTrimsTheTextAndKeepsBlanksBeforeTheComma) {
    const struct {
        const char16_t* text;
        int calls;
        const char16_t* expected;
    } cases[] = {
        {u"", 1, u"||"},
        {u"   ", 1, u"||"},
        {u"0,1,2", 1, u"0||1,2"},
        {u"0,1,2", 3, u"0|1|2||"},
        {u"0,1,2", 4, u"0|1|2|||"},
        {u"  a , b  ", 1, u"a || b"},
        {u"  a , b  ", 2, u"a |b||"},
        {u",x", 1, u"||x"},
        {u"x,", 1, u"x||"},
        {u"\t\r\n\v\fx\t", 1, u"x||"},
        {u"a,,b", 2, u"a|||b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Tokens(c.text, c.calls), c.expected) << CString(c.text).GetLength();
}

TEST_F(AllowedValuesTest, EmptyListsAllowEverything) {
    EXPECT_TRUE(Allowed(12345, u""));
    EXPECT_TRUE(Allowed(CString(u"anything"), u""));
    EXPECT_TRUE(Allowed(false, u""));
}

TEST_F(AllowedValuesTest, IntegerListsCompareNumerically) {
    for (int v : {0, 1, 2}) EXPECT_TRUE(Allowed(v, u"0,1,2")) << v;
    for (int v : {3, -1}) EXPECT_FALSE(Allowed(v, u"0,1,2")) << v;
    EXPECT_TRUE(Allowed(63L, u"1,2,4,8,16,32,63"));
    EXPECT_FALSE(Allowed(3L, u"1,2,4,8,16,32,63"));
    EXPECT_FALSE(Allowed(0L, u"1,2,4,8,16,32,63"));
    // The token "1 " reads as 1; the scan stops at the first empty token.
    EXPECT_TRUE(Allowed(1, u"1 ,2"));
    EXPECT_TRUE(Allowed(2, u"1 ,2"));
    EXPECT_TRUE(Allowed(1, u"1,,2"));
    EXPECT_FALSE(Allowed(2, u"1,,2"));
    EXPECT_FALSE(Allowed(0, u"   "));
    EXPECT_FALSE(Allowed(1, u",1"));
}

TEST_F(AllowedValuesTest, TextListsCompareExactly) {
    EXPECT_TRUE(Allowed(CString(u"a"), u"a,b"));
    EXPECT_TRUE(Allowed(CString(u"b"), u"a,b"));
    for (const char16_t* v : {u"A", u"a ", u"ab", u""}) EXPECT_FALSE(Allowed(CString(v), u"a,b"));
    EXPECT_TRUE(Allowed(CString(u"2"), u"1 ,2"));
    EXPECT_FALSE(Allowed(CString(u"1"), u"1 ,2"));
    EXPECT_TRUE(Allowed(CString(u"1 "), u"1 ,2"));
}

TEST_F(AllowedValuesTest, BooleanListsCompareAfterConversion) {
    EXPECT_TRUE(Allowed(true, u"yes"));
    EXPECT_FALSE(Allowed(false, u"yes"));
    EXPECT_TRUE(Allowed(false, u"FALSE"));
}

}  // namespace
