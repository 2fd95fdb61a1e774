// Reading .reg files: every value form, continuation lines, encodings and headers, deletions,
// and bad lines reported with their line numbers rather than skipped.
#include <gtest/gtest.h>

#include "RegFile.h"

namespace {

using namespace qelcli::regfile;

const std::string kHeader =
    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n";

std::vector<std::uint8_t> Sz(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::string Utf16File(const std::u16string& text) {
    std::string bytes("\xFF\xFE", 2);
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

// The single value operation of a file with one value line.
Operation OneValue(const std::string& line) {
    const Parsed parsed = Parse(kHeader + line + "\r\n");
    EXPECT_TRUE(parsed.errors.empty()) << line << ": " << parsed.errors[0].reason;
    EXPECT_EQ(parsed.operations.size(), 2u) << line;
    if (parsed.operations.size() != 2) return {};
    EXPECT_EQ(parsed.operations[0].kind, Operation::OpenKey);
    EXPECT_EQ(parsed.operations[1].key, u"HKEY_CURRENT_USER\\K");
    EXPECT_EQ(parsed.operations[1].line, 4);
    return parsed.operations[1];
}

TEST(RegFileReader, ValueForms) {
    const struct {
        std::string line;
        std::u16string name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    } cases[] = {
        {"\"N\"=\"text\"", u"N", kTypeSz, Sz(u"text")},
        {"\"N\"=\"\"", u"N", kTypeSz, Sz(u"")},
        {"\"N\"=\"a\\\\b \\\"c\\\"\"", u"N", kTypeSz, Sz(u"a\\b \"c\"")},
        {"\"a\\\"b\\\\c\"=\"x\"", u"a\"b\\c", kTypeSz, Sz(u"x")},
        {"@=\"unnamed\"", u"", kTypeSz, Sz(u"unnamed")},
        {"\"N\"=\"caf\xC3\xA9 ;=\"", u"N", kTypeSz, Sz(u"caf\u00e9 ;=")},
        {"\"N\"=\"two\\nlines\\r\\n\\\\n\"", u"N", kTypeSz, Sz(u"two\nlines\r\n\\n")},
        {"\"N\" = \"spaced\"  ", u"N", kTypeSz, Sz(u"spaced")},
        {"\"N\"=dword:0000001f", u"N", kTypeDword, {0x1f, 0, 0, 0}},
        {"\"N\"=dword:FFFFFFFF", u"N", kTypeDword, {0xff, 0xff, 0xff, 0xff}},
        {"\"N\"=dword:1", u"N", kTypeDword, {1, 0, 0, 0}},
        {"\"N\"=hex:de,AD,0", u"N", kTypeBinary, {0xde, 0xad, 0}},
        {"\"N\"=hex:", u"N", kTypeBinary, {}},
        {"\"N\"=hex: 01 , 02 ,", u"N", kTypeBinary, {1, 2}},
        {"\"N\"=hex(2):25,00,00,00", u"N", kTypeExpandSz, {0x25, 0, 0, 0}},
        {"\"N\"=hex(b):01,00,00,00,00,00,00,00", u"N", 0xb, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"\"N\"=hex(0):", u"N", kTypeNone, {}},
    };
    for (const auto& c : cases) {
        const Operation op = OneValue(c.line);
        EXPECT_EQ(op.kind, Operation::SetValue) << c.line;
        EXPECT_EQ(op.name, c.name) << c.line;
        EXPECT_EQ(op.type, c.type) << c.line;
        EXPECT_EQ(op.data, c.data) << c.line;
    }
}

TEST(RegFileReader, HexContinuesOverIndentedLinesAndComments) {
    const Parsed parsed = Parse(kHeader +
                                "\"N\"=hex:01,02,\\\r\n"
                                "  03,04,\\\n"
                                "; a comment between continuation lines\r\n"
                                "\t05\r\n"
                                "\"After\"=\"x\"\r\n");
    ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0].reason;
    ASSERT_EQ(parsed.operations.size(), 3u);
    EXPECT_EQ(parsed.operations[1].data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(parsed.operations[1].line, 4);
    EXPECT_EQ(parsed.operations[2].line, 8) << "lines count on after a continuation";
}

TEST(RegFileReader, WhatTheWriterWritesReadsBackTheSame) {
    const std::vector<Value> values = {
        {u"", kTypeSz, Sz(u"unnamed")},
        {u"Quote\"d", kTypeSz, Sz(u"C:\\a \"b\" \U0001F4BF")},
        {u"Long", kTypeSz, Sz(std::u16string(1023, u'\\'))},
        {u"NoNul", kTypeSz, {0x61, 0}},
        {u"Lines", kTypeSz, Sz(u"a\r\nb")},
        {u"Dword", kTypeDword, {1, 2, 3, 4}},
        {u"Blob", kTypeBinary, std::vector<std::uint8_t>(300, 0x5a)},
        {u"Multi", kTypeMultiSz, Sz(std::u16string(u"a\0b\0", 4))},
    };
    for (Encoding encoding : {Encoding::Utf16, Encoding::Utf8}) {
        const Parsed parsed = Parse(Write({{u"HKEY_CURRENT_USER\\Some\\Key", values}}, encoding));
        ASSERT_TRUE(parsed.errors.empty())
            << parsed.errors[0].line << ": " << parsed.errors[0].reason;
        ASSERT_EQ(parsed.operations.size(), values.size() + 1);
        std::vector<Value> back;
        for (size_t i = 1; i < parsed.operations.size(); ++i) {
            const Operation& op = parsed.operations[i];
            EXPECT_EQ(op.kind, Operation::SetValue);
            back.push_back({op.name, op.type, op.data});
        }
        std::vector<Value> expected = values;
        for (const Value& value : expected) {
            bool found = false;
            for (const Value& got : back)
                found = found || (got.name == value.name && got.type == value.type &&
                                  got.data == value.data);
            EXPECT_TRUE(found) << std::string(value.name.begin(), value.name.end());
        }
    }
}

TEST(RegFileReader, Encodings) {
    const std::u16string text =
        u"Windows Registry Editor Version "
        u"5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"N\"=\"\u20ac\"\r\n";
    const std::string utf8 =
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n\"N\"=\"\xE2\x82\xAC\"\n";
    for (const std::string& file : {Utf16File(text), utf8, "\xEF\xBB\xBF" + utf8}) {
        const Parsed parsed = Parse(file);
        ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0].reason;
        EXPECT_EQ(parsed.version, Version::Five);
        ASSERT_EQ(parsed.operations.size(), 2u);
        EXPECT_EQ(parsed.operations[1].data, Sz(u"\u20ac"));
    }
}

TEST(RegFileReader, Regedit4TakesAnsiTextAndWidensHexText) {
    const Parsed parsed = Parse(
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"N\"=\"caf\xe9\"\r\n\"E\"=hex(2):41,00\r\n"
        "\"B\"=hex:41,00\r\n");
    ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0].reason;
    EXPECT_EQ(parsed.version, Version::Four);
    ASSERT_EQ(parsed.operations.size(), 4u);
    EXPECT_EQ(parsed.operations[1].data, Sz(u"caf\u00e9"));
    EXPECT_EQ(parsed.operations[2].data, (std::vector<std::uint8_t>{0x41, 0, 0, 0}));
    EXPECT_EQ(parsed.operations[3].data, (std::vector<std::uint8_t>{0x41, 0})) << "binary stays";
}

TEST(RegFileReader, Deletions) {
    const Parsed parsed = Parse(kHeader + "\"Gone\"=-\r\n[-HKEY_CURRENT_USER\\K\\Sub\\]\r\n");
    ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0].reason;
    ASSERT_EQ(parsed.operations.size(), 3u);
    EXPECT_EQ(parsed.operations[1].kind, Operation::DeleteValue);
    EXPECT_EQ(parsed.operations[1].name, u"Gone");
    EXPECT_EQ(parsed.operations[2].kind, Operation::DeleteKey);
    EXPECT_EQ(parsed.operations[2].key, u"HKEY_CURRENT_USER\\K\\Sub");
}

TEST(RegFileReader, BadLinesAreReportedWithTheirLineNumbers) {
    const struct {
        std::string line;
        std::string reason;
    } cases[] = {
        {"\"N\"=\"open", "no closing quote"},
        {"\"N\"=\"a\\tb\"", "unknown escape \\t"},
        {"\"N\"=\"x\" trailing", "unexpected text after the closing quote"},
        {"\"N\"", "must be followed by '='"},
        {"\"N\"=", "is not value data"},
        {"\"N\"=text", "is not value data"},
        {"\"N\"=dword:", "is not dword:"},
        {"\"N\"=dword:123456789", "is not dword:"},
        {"\"N\"=dword:12g", "is not dword:"},
        {"\"N\"=hex:1,xyz", "'xyz' is not a hex byte"},
        {"\"N\"=hex:,", "is not a hex byte"},
        {"\"N\"=hex(:01", "is not hex(N):"},
        {"\"N\"=hex(2)01", "is not hex(N):"},
        {"\"N\"=hex(q):01", "is not hex(N):"},
        {"[HKEY_CURRENT_USER\\K", "must end with ']'"},
        {"[]", "names no key"},
        {"[-]", "names no key"},
        {"N=\"x\"", "not a key, value or comment line"},
    };
    for (const auto& c : cases) {
        const Parsed parsed =
            Parse(kHeader + "\"Good\"=\"1\"\r\n" + c.line + "\r\n\"Ok\"=\"2\"\r\n");
        ASSERT_EQ(parsed.errors.size(), 1u) << c.line;
        EXPECT_EQ(parsed.errors[0].line, 5) << c.line;
        EXPECT_NE(parsed.errors[0].reason.find(c.reason), std::string::npos)
            << c.line << ": " << parsed.errors[0].reason;
    }
}

TEST(RegFileReader, ValuesNeedAnOpenKey) {
    const Parsed before = Parse("Windows Registry Editor Version 5.00\r\n\r\n\"N\"=\"x\"\r\n");
    ASSERT_EQ(before.errors.size(), 1u);
    EXPECT_EQ(before.errors[0].line, 3);
    EXPECT_NE(before.errors[0].reason.find("before any key"), std::string::npos);

    const Parsed deleted = Parse(
        "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_CURRENT_USER\\K]\r\n\"N\"=\"x\"\r\n");
    ASSERT_EQ(deleted.errors.size(), 1u);
    EXPECT_NE(deleted.errors[0].reason.find("below a deleted key"), std::string::npos);

    // Under a bad key line only the key line is reported.
    const Parsed bad = Parse(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K\r\n\"N\"=\"x\"\r\n");
    ASSERT_EQ(bad.errors.size(), 1u);
    EXPECT_EQ(bad.errors[0].line, 3);
}

TEST(RegFileReader, HeadersAndEncodingsThatAreRefused) {
    const std::string refused[] = {
        "",
        "Windows Registry Editor Version 4.00\r\n",
        "regedit4\r\n",
        "\r\nREGEDIT4\r\n",
        std::string("\xFE\xFF\0W", 4),
        "\xFF\xFE" + std::string("W", 1),
        "Windows Registry Editor Version 5.00\r\n\"N\"=\"\xC3\"\r\n",
    };
    for (const auto& file : refused) {
        const Parsed parsed = Parse(file);
        ASSERT_EQ(parsed.errors.size(), 1u) << file;
        EXPECT_EQ(parsed.errors[0].line, 1);
        EXPECT_TRUE(parsed.operations.empty());
    }
}

TEST(RegFileReader, AContinuationThatNeverEndsIsAnError) {
    const Parsed parsed = Parse(kHeader + "\"N\"=hex:01,\\\r\n  02,\\\r\n");
    ASSERT_EQ(parsed.errors.size(), 1u);
    EXPECT_EQ(parsed.errors[0].line, 4);
    EXPECT_NE(parsed.errors[0].reason.find("past the end"), std::string::npos);
}

// Lines longer than kMaxLineChars (with their continuations) are single errors, so that one line
// never costs more than that in memory; the lines around them are read as usual.
TEST(RegFileReader, ALineOverTheLimitIsOneError) {
    const std::string longText(kMaxLineChars, 'a');
    std::string longHex = "\"N\"=hex:";
    for (size_t i = 0; i < kMaxLineChars / 3 + 10; ++i)
        longHex += i % 20 == 19 ? "00,\\\r\n" : "00,";
    longHex += "00";
    const struct {
        const char* what;
        std::string file;
        int line;
    } cases[] = {
        {"quoted text", kHeader + "\"N\"=\"" + longText + "\"\r\n\"Ok\"=\"2\"\r\n", 4},
        {"comment", kHeader + ";" + longText + "\r\n\"Ok\"=\"2\"\r\n", 4},
        {"continued hex", kHeader + longHex + "\r\n\"Ok\"=\"2\"\r\n", 4},
        {"UTF-16 text",
         Utf16File(
             u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"N\"=\"" +
             std::u16string(kMaxLineChars, u'b') + u"\"\r\n\"Ok\"=\"2\"\r\n"),
         4},
    };
    for (const auto& c : cases) {
        const Parsed parsed = Parse(c.file);
        ASSERT_EQ(parsed.errors.size(), 1u) << c.what;
        EXPECT_EQ(parsed.errors[0].line, c.line) << c.what;
        EXPECT_NE(parsed.errors[0].reason.find("longer than 1048576 characters"), std::string::npos)
            << c.what << ": " << parsed.errors[0].reason;
        ASSERT_EQ(parsed.operations.size(), 2u) << c.what;
        EXPECT_EQ(parsed.operations[1].name, u"Ok") << c.what;
    }
    // Just under the limit is a line like any other.
    const Parsed fits =
        Parse(kHeader + "\"N\"=\"" + std::string(kMaxLineChars - 6, 'a') + "\"\r\n");
    EXPECT_TRUE(fits.errors.empty());
    EXPECT_EQ(fits.operations.size(), 2u);
}

// What is read reaches the sink in line order, errors between operations, as it is read.
TEST(RegFileReader, TheSinkGetsEachLineInOrder) {
    struct Record : ParseSink {
        std::vector<std::string> seen;
        void OnOperation(Operation&& op) override {
            seen.push_back(std::to_string(op.line) + " op");
        }
        void OnError(Error&& error) override {
            seen.push_back(std::to_string(error.line) + " error");
        }
    } record;
    const Version version =
        Parse(kHeader + "\"A\"=\"1\"\r\nbad\r\n\"B\"=hex:01,\\\r\n 02\r\n\"C\"=x\r\n", record);
    EXPECT_EQ(version, Version::Five);
    EXPECT_EQ(record.seen,
              (std::vector<std::string>{"3 op", "4 op", "5 error", "6 op", "8 error"}));
}

}  // namespace
