// The string class's members, as the library's code uses them.
#include <gtest/gtest.h>

#include "QelString.h"

namespace {

TEST(CString, ComparesUnitByUnitAsNulTerminatedText) {
    EXPECT_EQ(CString(u"abc"), CString(u"abc"));
    EXPECT_FALSE(CString(u"abc") == CString(u"Abc"));
    EXPECT_FALSE(CString(u"abc") == CString(u"abc "));
    EXPECT_LT(CString(u"ab").Compare(u"abc"), 0);
    EXPECT_GT(CString(u"\xFFFF").Compare(u"a"), 0);
    // Units past an embedded NUL take no part, as with wcscmp.
    EXPECT_EQ(CString(u"ab\0x", 4).Compare(u"ab"), 0);
    EXPECT_EQ(CString(u"ab\0x", 4).GetLength(), 4);
    EXPECT_EQ(CString(static_cast<const char16_t*>(nullptr)).GetLength(), 0);
}

TEST(CString, FindsAndCutsWithinBounds) {
    const CString text(u"a\\b\\\\c");
    EXPECT_EQ(text.Find(u'\\'), 1);
    EXPECT_EQ(text.Find(u'\\', 2), 3);
    EXPECT_EQ(text.Find(u'z'), -1);
    EXPECT_EQ(text.Find(u'a', 99), -1);
    EXPECT_EQ(text.ReverseFind(u'\\'), 4);
    EXPECT_EQ(text.Find(u"\\\\"), 3);
    EXPECT_EQ(text.Left(1), CString(u"a"));
    EXPECT_EQ(text.Left(99), text);
    EXPECT_EQ(text.Mid(5), CString(u"c"));
    EXPECT_EQ(text.Mid(6), CString());
    EXPECT_EQ(text.Mid(-4, 2), CString(u"a\\"));
    EXPECT_EQ(text.Right(2), CString(u"\\c"));
    EXPECT_THROW(text.GetAt(6), CAtlException);
}

TEST(CString, ReplacesEveryOccurrenceLeftToRight) {
    CString path(u"/a//b/");
    EXPECT_EQ(path.Replace(u"/", u"\\"), 4);
    EXPECT_EQ(path, CString(u"\\a\\\\b\\"));
    CString overlap(u"aaaa");
    EXPECT_EQ(overlap.Replace(u"aa", u"b"), 2);
    EXPECT_EQ(overlap, CString(u"bb"));
    CString grow(u"x");
    EXPECT_EQ(grow.Replace(u"x", u"xx"), 1);
    EXPECT_EQ(grow, CString(u"xx"));
    EXPECT_EQ(grow.Replace(u"", u"y"), 0);
}

TEST(CString, TrimsCRuntimeWhiteSpace) {
    CString text(u" \t\n\v\f\r a b \r\n");
    EXPECT_EQ(text.Trim(), CString(u"a b"));
    CString spaces(u"   ");
    EXPECT_TRUE(spaces.Trim().IsEmpty());
    CString left(u"  x ");
    EXPECT_EQ(left.TrimLeft(), CString(u"x "));
}

TEST(CString, LowerCasesAsciiOnly) {
    CString text(u"FALSE \x00C9");
    EXPECT_EQ(text.MakeLower(), CString(u"false \x00C9"));
}

TEST(CString, FormatsNumbersAndRefusesStringArguments) {
    CString text;
    text.Format(u"%d|%ld|%5.2f|%%|%x", -12, 34L, 1.5, 255u);
    EXPECT_EQ(text, CString(u" -12|34| 1.50|%|ff").Mid(1));
    EXPECT_THROW(text.Format(u"%s", "narrow"), CAtlException);
    EXPECT_THROW(text.Format(u"\x00e9%d", 1), CAtlException);
    text.Format(u"%0200d", 7);
    EXPECT_EQ(text.GetLength(), 200);
    EXPECT_EQ(text.Right(2), CString(u"07"));
}

TEST(CString, CopiesAreDeep) {
    CString original(u"abc");
    CString copy(original);
    copy.SetAt(0, u'x');
    EXPECT_EQ(original, CString(u"abc"));
    EXPECT_NE(original.GetString(), copy.GetString());
}

}  // namespace
