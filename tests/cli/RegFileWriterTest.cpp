// Writing .reg files: layout, escaping, value forms, hex continuation lines, order, encodings.
#include <gtest/gtest.h>

#include "RegFile.h"

namespace {

using namespace qelcli::regfile;

std::vector<std::uint8_t> Sz(const std::u16string& text, bool nul = true) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (nul) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::string One(Value value) {
    const std::string file = Write({{u"HKEY_CURRENT_USER\\K", {std::move(value)}}}, Encoding::Utf8);
    const std::string prefix =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n";
    EXPECT_EQ(file.substr(0, prefix.size()), prefix);
    EXPECT_EQ(file.substr(file.size() - 4), "\r\n\r\n");
    return file.substr(prefix.size(), file.size() - prefix.size() - 4);
}

TEST(RegFileWriter, StringsAreQuotedWithBackslashAndQuoteEscaped) {
    const struct {
        std::u16string text;
        std::string line;
    } cases[] = {
        {u"plain", "\"N\"=\"plain\""},
        {u"", "\"N\"=\"\""},
        {u"C:\\dir\\", "\"N\"=\"C:\\\\dir\\\\\""},
        {u"say \"hi\"", "\"N\"=\"say \\\"hi\\\"\""},
        {u"\\\"", "\"N\"=\"\\\\\\\"\""},
        {u"caf\u00e9 ;=@[]", "\"N\"=\"caf\xC3\xA9 ;=@[]\""},
    };
    for (const auto& c : cases) EXPECT_EQ(One({u"N", kTypeSz, Sz(c.text)}), c.line);
    EXPECT_EQ(One({u"a\"b\\c", kTypeSz, Sz(u"x")}), "\"a\\\"b\\\\c\"=\"x\"");
    EXPECT_EQ(One({u"", kTypeSz, Sz(u"unnamed")}), "@=\"unnamed\"");
}

TEST(RegFileWriter, TextAQuotedStringCannotCarryIsWrittenInHex) {
    const struct {
        std::vector<std::uint8_t> data;
        std::string line;
    } cases[] = {
        {Sz(u"ab", false), "\"N\"=hex(1):61,00,62,00"},
        {Sz(u"a\nb"), "\"N\"=hex(1):61,00,0a,00,62,00,00,00"},
        {Sz(std::u16string(u"a\0b", 3)), "\"N\"=hex(1):61,00,00,00,62,00,00,00"},
        {{0x61, 0x00, 0x00}, "\"N\"=hex(1):61,00,00"},
        {{}, "\"N\"=hex(1):"},
        {Sz(std::u16string{0xD800}), "\"N\"=hex(1):00,d8,00,00"},
    };
    for (const auto& c : cases) EXPECT_EQ(One({u"N", kTypeSz, c.data}), c.line);
}

TEST(RegFileWriter, OtherTypes) {
    EXPECT_EQ(One({u"N", kTypeDword, {0x1f, 0, 0, 0}}), "\"N\"=dword:0000001f");
    EXPECT_EQ(One({u"N", kTypeDword, {0xff, 0xff, 0xff, 0xff}}), "\"N\"=dword:ffffffff");
    EXPECT_EQ(One({u"N", kTypeDword, {1, 2}}), "\"N\"=hex(4):01,02") << "not four bytes";
    EXPECT_EQ(One({u"N", kTypeBinary, {0xde, 0xad}}), "\"N\"=hex:de,ad");
    EXPECT_EQ(One({u"N", kTypeExpandSz, Sz(u"%T%")}), "\"N\"=hex(2):25,00,54,00,25,00,00,00");
    EXPECT_EQ(One({u"N", 0xb, {1, 0, 0, 0, 0, 0, 0, 0}}), "\"N\"=hex(b):01,00,00,00,00,00,00,00");
    EXPECT_EQ(One({u"N", kTypeNone, {}}), "\"N\"=hex(0):");
}

TEST(RegFileWriter, LongHexDataContinuesOnIndentedLines) {
    const std::string text = One({u"Blob", kTypeBinary, std::vector<std::uint8_t>(100, 0xab)});
    size_t start = 0;
    size_t bytes = 0;
    int lines = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        EXPECT_LE(line.size(), 80u) << line;
        if (lines > 0) {
            EXPECT_EQ(line.substr(0, 2), "  ");
        }
        const bool last = end == text.size();
        EXPECT_EQ(line.substr(line.size() - 2), last ? "ab" : ",\\") << line;
        for (size_t p = line.find("ab"); p != std::string::npos; p = line.find("ab", p + 2))
            ++bytes;
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(bytes, 100u);
    EXPECT_GT(lines, 3);
    EXPECT_EQ(text.substr(0, 17), "\"Blob\"=hex:ab,ab,");
}

TEST(RegFileWriter, KeysAndValuesAreSortedIgnoringCase) {
    const std::string file =
        Write({{u"HKEY_LOCAL_MACHINE\\a", {{u"z", kTypeSz, Sz(u"1")}}},
               {u"HKEY_CURRENT_USER\\b",
                {{u"Y", kTypeSz, Sz(u"2")}, {u"x", kTypeSz, Sz(u"3")}, {u"", kTypeSz, Sz(u"4")}}},
               {u"HKEY_CURRENT_USER\\A", {{u"w", kTypeSz, Sz(u"5")}}}},
              Encoding::Utf8);
    EXPECT_EQ(file,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\A]\r\n\"w\"=\"5\"\r\n\r\n"
              "[HKEY_CURRENT_USER\\b]\r\n@=\"4\"\r\n\"x\"=\"3\"\r\n\"Y\"=\"2\"\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\a]\r\n\"z\"=\"1\"\r\n\r\n");
}

TEST(RegFileWriter, Utf16HasAByteOrderMarkAndTwoBytesPerUnit) {
    const std::string file =
        Write({{u"HKEY_CURRENT_USER\\K", {{u"N", kTypeSz, Sz(u"\u20ac")}}}}, Encoding::Utf16);
    ASSERT_GE(file.size(), 4u);
    EXPECT_EQ(file.substr(0, 4), std::string("\xFF\xFEW\0", 4));
    EXPECT_NE(file.find(std::string("\"\0\xAC\x20\"\0\r\0\n\0", 10)), std::string::npos);
    EXPECT_EQ(file.size() % 2, 0u);
    EXPECT_EQ(Write({}, Encoding::Utf8), "Windows Registry Editor Version 5.00\r\n\r\n");
}

}  // namespace
