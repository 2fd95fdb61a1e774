// Reading .reg files. The text is decoded first (the byte-order mark decides), split into
// lines, and each line, with its continuation lines, becomes one operation or one error.
#include <algorithm>
#include <cctype>
#include <optional>

#include "RegFile.h"
#include "Utf8.h"

namespace qelcli::regfile {

namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// The text quoted for a message, cut short when long.
std::string Show(std::u16string_view text) {
    constexpr size_t kLongest = 40;
    std::string shown = ToUtf8(text.substr(0, kLongest));
    if (text.size() > kLongest) shown += "...";
    return Quoted(shown);
}

void AppendUtf16(std::vector<std::uint8_t>& out, std::u16string_view text) {
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

// How the file's bytes become text: the byte-order mark decides.
enum class Form { Utf16, Utf8, Latin1 };

// The form of the file, or a reason why it has none; `bytes` loses its byte-order mark.
std::optional<Form> FormOf(std::string_view& bytes, std::string& reason) {
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        if (bytes.size() % 2 != 0) {
            reason = "the UTF-16 text ends in half a character";
            return std::nullopt;
        }
        bytes.remove_prefix(2);
        return Form::Utf16;
    }
    if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
        reason = "big-endian UTF-16 is not a registry file encoding";
        return std::nullopt;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    if (IsUtf8(bytes)) return Form::Utf8;
    // Only the ANSI form may hold text that is not UTF-8.
    if (bytes.substr(0, kHeader4.size()) == "REGEDIT4") return Form::Latin1;
    reason = "the file is neither UTF-16 with a byte-order mark nor valid UTF-8";
    return std::nullopt;
}

// The file's lines, decoded one at a time: only the current line is ever held as text, so a
// file costs little more memory than its bytes. A line ends at LF; a CR before the LF is not part
// of it.
class LineSource {
public:
    LineSource(std::string_view bytes, Form form) : m_rest(bytes), m_form(form) {}

    // The next line, or false after the last. A line of more than kMaxLineChars units is not
    // decoded: `line` is left empty and `tooLong` set.
    bool Next(std::u16string& line, bool& tooLong) {
        if (m_rest.empty()) return false;
        ++m_number;
        std::string_view raw;
        size_t units = 0;
        if (m_form == Form::Utf16) {
            size_t end = 0;
            while (end < m_rest.size() && !(m_rest[end] == '\n' && m_rest[end + 1] == 0)) end += 2;
            raw = m_rest.substr(0, end);
            m_rest.remove_prefix(std::min(end + 2, m_rest.size()));
            if (raw.size() >= 2 && raw[raw.size() - 2] == '\r' && raw.back() == 0)
                raw.remove_suffix(2);
            units = raw.size() / 2;
        } else {
            const size_t end = m_rest.find('\n');
            raw = m_rest.substr(0, end);
            m_rest.remove_prefix(end == std::string_view::npos ? m_rest.size() : end + 1);
            if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
            units = m_form == Form::Utf8 ? Utf16Units(raw) : raw.size();
        }
        line.clear();
        tooLong = units > kMaxLineChars;
        if (tooLong) return true;
        if (m_form == Form::Utf16) {
            line.reserve(units);
            for (size_t i = 0; i < raw.size(); i += 2)
                line += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                              (static_cast<unsigned char>(raw[i + 1]) << 8));
        } else {
            // The whole file was checked to be UTF-8 before, and LF is never part of a sequence.
            line =
                m_form == Form::Utf8 ? FromUtf8(raw).value_or(std::u16string()) : FromLatin1(raw);
        }
        return true;
    }

    // The number of the line Next gave last, from 1.
    int Number() const { return m_number; }

private:
    // UTF-16 units of well-formed UTF-8: one per sequence, two for those of four bytes.
    static size_t Utf16Units(std::string_view utf8) {
        size_t units = 0;
        for (char c : utf8) {
            const auto byte = static_cast<unsigned char>(c);
            units += (byte & 0xC0) != 0x80 ? 1 : 0;
            units += byte >= 0xF0 ? 1 : 0;
        }
        return units;
    }

    std::string_view m_rest;
    Form m_form;
    int m_number = 0;
};

std::string TooLong() {
    return "the line is longer than " + std::to_string(kMaxLineChars) +
           " characters (with its continuation lines); not read";
}

// Reads a quoted string starting at s[0] == '"'; leaves s after the closing quote.
bool ReadQuoted(std::u16string_view& s, std::u16string& out, std::string& reason) {
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == u'\\') {
            if (i + 1 == s.size()) break;
            const char16_t next = s[++i];
            // Wine's regedit and reg export write line breaks inside text as \n and \r.
            if (next == u'n' || next == u'r') {
                out += next == u'n' ? u'\n' : u'\r';
                continue;
            }
            if (next != u'\\' && next != u'"') {
                reason = "unknown escape \\" + ToUtf8(std::u16string_view(&next, 1)) +
                         " in a quoted string (write \\\\ for a backslash)";
                return false;
            }
            out += next;
            continue;
        }
        out += c;
    }
    reason = "a quoted string has no closing quote";
    return false;
}

bool ReadHexBytes(std::u16string_view list, std::vector<std::uint8_t>& out, std::string& reason) {
    out.clear();
    list = Trim(list);
    if (list.empty()) return true;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(u',', start);
        const std::u16string_view token =
            Trim(list.substr(start, comma == std::u16string_view::npos ? comma : comma - start));
        const bool last = comma == std::u16string_view::npos;
        // A comma may end the list, as hand-edited files often have it.
        if (token.empty() && last && !out.empty()) break;
        if (token.empty() || token.size() > 2 || HexDigit(token[0]) < 0 ||
            (token.size() == 2 && HexDigit(token[1]) < 0)) {
            reason = Show(token) + " is not a hex byte";
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(
            token.size() == 1 ? HexDigit(token[0]) : HexDigit(token[0]) * 16 + HexDigit(token[1])));
        if (last) break;
        start = comma + 1;
    }
    return true;
}

// ANSI files carry the text of the string types as single bytes; values are UTF-16 in memory.
void WidenAnsiText(Operation& op) {
    if (op.type != kTypeSz && op.type != kTypeExpandSz && op.type != kTypeMultiSz) return;
    std::vector<std::uint8_t> wide;
    for (std::uint8_t b : op.data) {
        wide.push_back(b);
        wide.push_back(0);
    }
    op.data.swap(wide);
}

// The data after "=": a quoted string, -, dword:, hex: or hex(N):.
bool ReadData(std::u16string_view data, Version version, Operation& op, std::string& reason) {
    data = Trim(data);
    if (data == u"-") {
        op.kind = Operation::DeleteValue;
        return true;
    }
    op.kind = Operation::SetValue;
    if (StartsWith(data, u"\"")) {
        std::u16string text;
        if (!ReadQuoted(data, text, reason)) return false;
        if (!Trim(data).empty()) {
            reason = "unexpected text after the closing quote: " + Show(Trim(data));
            return false;
        }
        op.type = kTypeSz;
        AppendUtf16(op.data, text);
        AppendUtf16(op.data, std::u16string_view(u"\0", 1));
        return true;
    }
    if (StartsWith(data, u"dword:")) {
        const std::u16string_view digits = data.substr(6);
        std::uint32_t number = 0;
        bool ok = !digits.empty() && digits.size() <= 8;
        for (char16_t c : digits) {
            ok = ok && HexDigit(c) >= 0;
            if (ok) number = number * 16 + static_cast<std::uint32_t>(HexDigit(c));
        }
        if (!ok) {
            reason = Show(data) + " is not dword: followed by up to 8 hex digits";
            return false;
        }
        op.type = kTypeDword;
        for (int shift = 0; shift < 32; shift += 8)
            op.data.push_back(static_cast<std::uint8_t>(number >> shift));
        return true;
    }
    if (StartsWith(data, u"hex:") || StartsWith(data, u"hex(")) {
        std::u16string_view rest = data.substr(3);
        op.type = kTypeBinary;
        if (rest.front() == u'(') {
            const size_t close = rest.find(u')');
            const std::u16string_view digits =
                close == std::u16string_view::npos ? rest : rest.substr(1, close - 1);
            std::uint32_t type = 0;
            bool ok = close != std::u16string_view::npos && !digits.empty() && digits.size() <= 8;
            for (char16_t c : digits) {
                ok = ok && HexDigit(c) >= 0;
                if (ok) type = type * 16 + static_cast<std::uint32_t>(HexDigit(c));
            }
            if (!ok || close + 1 >= rest.size() || rest[close + 1] != u':') {
                reason = Show(data) + " is not hex(N): with a hex type number";
                return false;
            }
            op.type = type;
            rest.remove_prefix(close + 1);
        }
        rest.remove_prefix(1);  // the ':'
        if (!ReadHexBytes(rest, op.data, reason)) return false;
        if (version == Version::Four) WidenAnsiText(op);
        return true;
    }
    reason = Show(data) + " is not value data (\"text\", -, dword:, hex: or hex(N):)";
    return false;
}

class Reader {
public:
    Reader(Version version, ParseSink& sink) : m_version(version), m_sink(sink) {}

    void Line(int number, std::u16string_view line) {
        const std::u16string_view text = Trim(line);
        if (text.empty() || text.front() == u';') return;
        if (text.front() == u'[') return KeyLine(number, text);
        if (text.front() == u'"' || text.front() == u'@') return ValueLine(number, text);
        Fail(number, "not a key, value or comment line: " + Show(text));
    }

    void Fail(int number, std::string reason) { m_sink.OnError({number, std::move(reason)}); }

private:
    void KeyLine(int number, std::u16string_view text) {
        m_keyState = KeyState::Bad;
        if (text.back() != u']') return Fail(number, "a key line must end with ']'");
        std::u16string_view path = text.substr(1, text.size() - 2);
        Operation op;
        op.line = number;
        op.kind = Operation::OpenKey;
        if (!path.empty() && path.front() == u'-') {
            op.kind = Operation::DeleteKey;
            path.remove_prefix(1);
        }
        while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
        if (path.empty()) return Fail(number, "a key line names no key");
        op.key = std::u16string(path);
        m_keyState = op.kind == Operation::DeleteKey ? KeyState::Deleted : KeyState::Open;
        m_key = op.key;
        m_sink.OnOperation(std::move(op));
    }

    void ValueLine(int number, std::u16string_view text) {
        if (m_keyState == KeyState::None) return Fail(number, "a value line before any key line");
        if (m_keyState == KeyState::Deleted)
            return Fail(number, "a value line below a deleted key");
        // After a bad key line its values are not reported again: the key's error says it.
        if (m_keyState == KeyState::Bad) return;
        Operation op;
        op.line = number;
        op.key = m_key;
        std::string reason;
        if (text.front() == u'@') {
            text.remove_prefix(1);
        } else if (!ReadQuoted(text, op.name, reason)) {
            return Fail(number, reason);
        }
        text = Trim(text);
        if (text.empty() || text.front() != u'=')
            return Fail(number, "a value name must be followed by '='");
        if (!ReadData(text.substr(1), m_version, op, reason)) return Fail(number, reason);
        m_sink.OnOperation(std::move(op));
    }

    enum class KeyState { None, Open, Deleted, Bad };
    Version m_version;
    ParseSink& m_sink;
    KeyState m_keyState = KeyState::None;
    std::u16string m_key;
};

}  // namespace

Version Parse(std::string_view bytes, ParseSink& sink) {
    std::string reason;
    const std::optional<Form> form = FormOf(bytes, reason);
    if (!form) {
        sink.OnError({1, reason});
        return Version::Five;
    }
    LineSource lines(bytes, *form);
    std::u16string line;
    bool tooLong = false;
    const bool hasLine = lines.Next(line, tooLong);
    const std::u16string_view header = Trim(line);
    Version version = Version::Five;
    if (hasLine && header == kHeader5) {
        version = Version::Five;
    } else if (hasLine && header == kHeader4) {
        version = Version::Four;
    } else {
        sink.OnError({1,
                      "not a registry file: the first line must be 'Windows Registry Editor "
                      "Version 5.00' or 'REGEDIT4'"});
        return version;
    }

    Reader reader(version, sink);
    std::u16string joined;
    while (lines.Next(line, tooLong)) {
        const int first = lines.Number();
        if (tooLong) {
            reader.Fail(first, TooLong());
            continue;
        }
        const std::u16string_view trimmed = Trim(line);
        // Only hex data continues: a quoted string never ends in a lone backslash.
        const bool continues = !trimmed.empty() && trimmed.back() == u'\\' &&
                               trimmed.front() != u'[' &&
                               trimmed.find(u"=hex") != std::u16string_view::npos;
        if (!continues) {
            reader.Line(first, line);
            continue;
        }
        joined.assign(trimmed.substr(0, trimmed.size() - 1));
        bool ended = false;
        // Past the limit the rest of the value is still read, so that it is one error.
        bool over = false;
        while (!ended && lines.Next(line, tooLong)) {
            std::u16string_view next = Trim(line);
            if (!next.empty() && next.front() == u';') continue;
            if (!next.empty() && next.back() == u'\\') {
                next.remove_suffix(1);
            } else {
                ended = true;
            }
            over = over || tooLong || joined.size() + next.size() > kMaxLineChars;
            if (!over) joined += next;
        }
        if (!ended) {
            reader.Fail(first, "hex data continues past the end of the file");
            break;
        }
        if (over) {
            reader.Fail(first, TooLong());
            continue;
        }
        reader.Line(first, joined);
    }
    return version;
}

Parsed Parse(std::string_view bytes) {
    struct Collect : ParseSink {
        Parsed result;
        void OnOperation(Operation&& op) override { result.operations.push_back(std::move(op)); }
        void OnError(Error&& error) override { result.errors.push_back(std::move(error)); }
    } collect;
    collect.result.version = Parse(bytes, collect);
    return std::move(collect.result);
}

}  // namespace qelcli::regfile
