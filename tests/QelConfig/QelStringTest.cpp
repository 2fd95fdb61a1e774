// The string class's members, as the library's code uses them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// Long texts are shared between copies until one changes; every change, by any member, must
// leave the other copies as they were. Lengths either side of the in-object limit (15 units).
TEST(CString, EveryChangeLeavesOtherCopiesAlone) {
    using Change = void (*)(CString&);
    const std::pair<const char*, Change> changes[] = {
        {"SetAt", [](CString& s) { s.SetAt(0, u'#'); }},
        {"append", [](CString& s) { s += u"tail"; }},
        {"append itself", [](CString& s) { s += s; }},
        {"append a part of itself", [](CString& s) { s.Append(s.GetString() + 1, 3); }},
        {"Replace unit", [](CString& s) { s.Replace(u'a', u'#'); }},
        {"Replace text", [](CString& s) { s.Replace(u"ab", u"#"); }},
        {"MakeUpper", [](CString& s) { s.MakeUpper(); }},
        {"Trim", [](CString& s) { s.Trim(); }},
        {"assign a part of itself", [](CString& s) { s.SetString(s.GetString() + 2); }},
        {"Format", [](CString& s) { s.Format(u"%d", 7); }},
        {"Empty", [](CString& s) { s.Empty(); }},
    };
    for (const size_t length : {1u, 14u, 15u, 16u, 17u, 40u}) {
        std::u16string text(u" ab");
        while (text.size() < length + 2) text += static_cast<char16_t>(u'a' + text.size() % 26);
        text.resize(length);
        for (const auto& [name, change] : changes) {
            SCOPED_TRACE(std::string(name) + ", length " + std::to_string(length));
            const CString original(text);
            CString copy(original);
            CString assigned;
            assigned = copy;
            change(copy);
            EXPECT_EQ(original.View(), text);
            EXPECT_EQ(assigned.View(), text);
            EXPECT_EQ(original.GetString()[length], u'\0');
            // The changed copy is what a fresh string given the same change holds.
            CString fresh(text);
            change(fresh);
            EXPECT_EQ(copy.View(), fresh.View());
            EXPECT_EQ(copy.GetString()[copy.GetLength()], u'\0');
        }
    }
}

TEST(CString, MovedFromIsEmptyAndReusable) {
    CString source(u"a text longer than the in-object room");
    const char16_t* buffer = source.GetString();
    CString target(std::move(source));
    EXPECT_EQ(target.GetString(), buffer);    // moved, not copied
    EXPECT_TRUE(source.IsEmpty());            // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(source.GetString()[0], u'\0');  // NOLINT(bugprone-use-after-move)
    source = u"again";
    EXPECT_EQ(source, CString(u"again"));
    CString& same = target;  // a move onto itself, as a container shuffling elements may do
    target = std::move(same);
    EXPECT_EQ(target.GetLength(), 37);  // NOLINT(bugprone-use-after-move)
}

// Copies of one long text, each changed and dropped on its own thread: the shared count must
// neither free the text early (a sanitizer build reports the use) nor leak it.
TEST(CString, CopiesMayLiveOnDifferentThreads) {
    const CString shared(u"shared between threads, long enough to be allocated");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, &wrong, t] {
            for (int i = 0; i < 20000; ++i) {
                CString copy(shared);
                if (i % 2 == 0) copy.SetAt(0, static_cast<char16_t>(u'A' + t));
                if (copy.Mid(1) != shared.Mid(1)) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(shared.GetAt(0), u's');
}

}  // namespace
