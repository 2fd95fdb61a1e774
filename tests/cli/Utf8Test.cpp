// UTF-8 and UTF-16 conversions: round trips, replacement of unpaired surrogates, and the
// malformed sequences that must be refused.
#include <gtest/gtest.h>

#include "Utf8.h"

namespace {

using qelcli::FromLatin1;
using qelcli::FromUtf8;
using qelcli::ToUtf8;

TEST(Utf8, RoundTripsEveryPlane) {
    const std::u16string texts[] = {u"",
                                    u"plain",
                                    u"caf\u00e9",
                                    u"\u65e5\u672c\u8a9e",
                                    u"\U0001F4BF disc",
                                    u"\uFFFF\u0080\u07FF\u0800"};
    for (const auto& text : texts) EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(u"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(ToUtf8(u"\U0001F4BF"), "\xF0\x9F\x92\xBF");
}

TEST(Utf8, UnpairedSurrogatesBecomeTheReplacementCharacter) {
    EXPECT_EQ(ToUtf8(std::u16string{0xD800}), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::u16string{u'a', 0xDC00, u'b'}),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(ToUtf8(std::u16string{0xDBFF, 0xDBFF, 0xDFFF}), "\xEF\xBF\xBD\xF4\x8F\xBF\xBF");
}

TEST(Utf8, MalformedSequencesAreRefused) {
    const std::string bad[] = {
        "\x80",              // a continuation byte first
        "\xC3",              // truncated
        "\xE6\x97",          // truncated
        "\xC0\xAF",          // overlong
        "\xE0\x80\xAF",      // overlong
        "\xED\xA0\x80",      // a surrogate
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
        "\xFF",
        "ok\xC3(",  // a bad continuation
    };
    for (const auto& bytes : bad) EXPECT_FALSE(FromUtf8(bytes).has_value()) << bytes;
}

TEST(Utf8, Latin1WidensEachByte) { EXPECT_EQ(FromLatin1("caf\xe9\xff"), u"caf\u00e9\u00ff"); }

}  // namespace
