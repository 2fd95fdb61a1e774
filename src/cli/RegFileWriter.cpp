// Writing .reg files. The hex layout follows the registry editor's: bytes as "xx," with a line
// break (",\" then two spaces) once a line reaches 77 columns, so long values stay readable.
#include <algorithm>
#include <cstdio>

#include "RegFile.h"
#include "Utf8.h"

namespace qelcli::regfile {

namespace {

constexpr size_t kHexWrapColumn = 77;

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

bool LessIgnoringCase(std::u16string_view a, std::u16string_view b) {
    const bool less = std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char16_t x, char16_t y) { return FoldAscii(x) < FoldAscii(y); });
    const bool greater = std::lexicographical_compare(
        b.begin(), b.end(), a.begin(), a.end(),
        [](char16_t x, char16_t y) { return FoldAscii(x) < FoldAscii(y); });
    return less || (!greater && a < b);
}

// Text that a quoted string can carry: a single NUL at the end, no line breaks inside, and
// valid UTF-16.
bool IsPlainText(const std::vector<std::uint8_t>& data, std::u16string& text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    const size_t units = data.size() / 2 - 1;
    text.clear();
    for (size_t i = 0; i <= units; ++i) {
        const auto unit = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        // Unpaired surrogates have no UTF-8 form: hex keeps them.
        if (i == units) return unit == 0 && FromUtf8(ToUtf8(text)) == text;
        if (unit == 0 || unit == u'\r' || unit == u'\n') return false;
        text += unit;
    }
    return false;
}

void AppendAscii(std::u16string& out, std::string_view ascii) {
    for (char c : ascii) out += static_cast<char16_t>(c);
}

void AppendHex(std::u16string& out, size_t column, const std::vector<std::uint8_t>& data) {
    char digits[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        AppendAscii(out, digits);
        if (i + 1 == data.size()) break;
        out += u',';
        column += 3;
        if (column >= kHexWrapColumn) {
            out += u"\\\r\n  ";
            column = 2;
        }
    }
}

void AppendQuoted(std::u16string& out, std::u16string_view text) {
    out += u'"';
    out += Escape(text);
    out += u'"';
}

void AppendValue(std::u16string& out, const Value& value) {
    const size_t lineStart = out.size();
    if (value.name.empty())
        out += u'@';
    else
        AppendQuoted(out, value.name);
    out += u'=';
    std::u16string text;
    if (value.type == kTypeSz && IsPlainText(value.data, text)) {
        AppendQuoted(out, text);
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        char digits[16];
        std::snprintf(
            digits, sizeof digits, "dword:%08x",
            static_cast<unsigned>(value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                  (static_cast<unsigned>(value.data[3]) << 24)));
        AppendAscii(out, digits);
    } else {
        char prefix[24];
        if (value.type == kTypeBinary)
            std::snprintf(prefix, sizeof prefix, "hex:");
        else
            std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
        AppendAscii(out, prefix);
        AppendHex(out, out.size() - lineStart, value.data);
    }
    out += u"\r\n";
}

}  // namespace

std::u16string Escape(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        // A line break written as is would end the quoted string; the reader takes \n and \r
        // back, as Wine's regedit writes them.
        if (c == u'\n' || c == u'\r') {
            out += c == u'\n' ? u"\\n" : u"\\r";
            continue;
        }
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out;
}

std::string Write(std::vector<Key> keys, Encoding encoding) {
    std::sort(keys.begin(), keys.end(),
              [](const Key& a, const Key& b) { return LessIgnoringCase(a.path, b.path); });
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n";
    for (Key& key : keys) {
        std::sort(key.values.begin(), key.values.end(),
                  [](const Value& a, const Value& b) { return LessIgnoringCase(a.name, b.name); });
        text += u'[';
        text += key.path;
        text += u"]\r\n";
        for (const Value& value : key.values) AppendValue(text, value);
        text += u"\r\n";
    }
    if (encoding == Encoding::Utf8) return ToUtf8(text);
    std::string bytes("\xFF\xFE", 2);
    bytes.reserve(2 + text.size() * 2);
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

}  // namespace qelcli::regfile
