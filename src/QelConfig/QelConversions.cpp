// The text form of each value type, and typed reads of variants.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cwctype>
#include <limits>
#include <string>

#include "QelConfig.h"

namespace {

bool IsSpace(char16_t ch) { return std::iswspace(static_cast<wint_t>(ch)) != 0; }

// Leading white space, an optional sign, then decimal digits up to the first other character;
// no digits read as 0. Unlike the C runtime's conversion, a number beyond the type's range
// reads as the nearest limit instead of being undefined.
template <typename Int>
Int ParseLeadingInteger(const CString& text) {
    const char16_t* p = text.GetString();
    while (*p != 0 && IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
    using Magnitude = unsigned long long;
    const Magnitude maxMagnitude =
        static_cast<Magnitude>(std::numeric_limits<Int>::max()) + (negative ? 1 : 0);
    Magnitude magnitude = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - u'0');
        if (magnitude > (maxMagnitude - digit) / 10)
            return negative ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
        magnitude = magnitude * 10 + digit;
    }
    if (!negative || magnitude == 0) return static_cast<Int>(magnitude);
    return static_cast<Int>(-static_cast<Int>(magnitude - 1) - 1);
}

// The C library's strtod rules in the C locale: white space, sign, then a decimal or
// hexadecimal number, "inf" or "nan"; the longest valid prefix counts, none reads as 0.0.
double ParseLeadingDouble(const CString& text) {
    const char16_t* p = text.GetString();
    while (*p != 0 && IsSpace(*p)) ++p;
    std::string ascii;
    for (; *p != 0 && *p < 0x80; ++p) ascii += static_cast<char>(*p);
    const char* first = ascii.data();
    const char* last = first + ascii.size();
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) negative = *first++ == '-';
    // One sign only: from_chars itself takes a minus, so "--5" and "+-5" would read as numbers
    // where the C library reads no number at all, and "0x-5" as a negative hexadecimal one.
    if (first != last && (*first == '+' || *first == '-')) return 0.0;

    double value = 0.0;
    std::chars_format format = std::chars_format::general;
    std::from_chars_result parsed{first, std::errc::invalid_argument};
    if (last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X') &&
        first[2] != '-') {
        parsed = std::from_chars(first + 2, last, value, std::chars_format::hex);
        if (parsed.ec != std::errc::invalid_argument) {
            first += 2;
            format = std::chars_format::hex;
        }
    }
    if (format == std::chars_format::general) parsed = std::from_chars(first, last, value, format);

    if (parsed.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: strtod gives infinity or zero. The exponent's
        // sign tells which, since the mantissa of an out-of-range text is not zero.
        const std::string_view number(first, static_cast<size_t>(parsed.ptr - first));
        const size_t marker = number.find_first_of(format == std::chars_format::hex ? "pP" : "eE");
        const bool tiny = marker != std::string_view::npos && marker + 1 < number.size() &&
                          number[marker + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (parsed.ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

}  // namespace

bool FromString(const CString& text, int& value) {
    value = ParseLeadingInteger<int>(text);
    return true;
}

// A stored long holds 32 bits on every platform (see kQelStoredLongMin), so a text reads as the
// same number on Windows, where long has 32 bits, and on 64-bit Linux, where it has 64.
bool FromString(const CString& text, long& value) {
    static_assert(kQelStoredLongMin == INT32_MIN && kQelStoredLongMax == INT32_MAX);
    value = ParseLeadingInteger<std::int32_t>(text);
    return true;
}

bool FromString(const CString& text, double& value) {
    value = ParseLeadingDouble(text);
    return true;
}

// Only the word "false" in any letter case, and the empty text, mean false.
bool FromString(const CString& text, bool& value) {
    CString lower(text);
    lower.MakeLower();
    value = !(lower.IsEmpty() || lower == u"false");
    return true;
}

bool FromString(const CString& text, CString& value) {
    value = text;
    return true;
}

bool ToString(const int& value, CString& text) {
    text.Format(u"%d", value);
    return true;
}

bool ToString(const long& value, CString& text) {
    text.Format(u"%ld", value);
    return true;
}

// "%g" as the C locale writes it (six significant digits), so the text reads back the same
// under any process locale.
bool ToString(const double& value, CString& text) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    CString formatted;
    for (const char* p = buffer; p != result.ptr; ++p) formatted += static_cast<char16_t>(*p);
    text = std::move(formatted);
    return true;
}

bool ToString(const bool& value, CString& text) {
    text = value ? u"true" : u"false";
    return true;
}

bool ToString(const CString& value, CString& text) {
    text = value;
    return true;
}

bool FromVariant(const CComVariant& variant, long& value) {
    switch (variant.vt) {
        case VT_I2:
            value = variant.iVal;
            return true;
        case VT_I4:
            value = variant.lVal;
            return true;
        case VT_UI2:
            value = variant.uiVal;
            return true;
        case VT_UI4:
            value = static_cast<LONG>(variant.ulVal);
            return true;
        case VT_INT:
            value = variant.intVal;
            return true;
        case VT_UINT:
            value = static_cast<LONG>(variant.uintVal);
            return true;
        default:
            return false;
    }
}

bool FromVariant(const CComVariant& variant, int& value) {
    long converted = 0;
    if (!FromVariant(variant, converted)) return false;
    value = static_cast<int>(converted);
    return true;
}

bool FromVariant(const CComVariant& variant, bool& value) {
    if (variant.vt != VT_BOOL) return false;
    value = variant.boolVal != 0;
    return true;
}
