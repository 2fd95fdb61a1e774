#include "SettingText.h"

#include "Utf8.h"

namespace qelcli {

namespace {

std::string Join(const std::vector<std::u16string>& tokens) {
    std::string joined;
    for (const auto& token : tokens) joined += (joined.empty() ? "" : ", ") + ToUtf8(token);
    return joined;
}

template <typename T>
bool TokenMatches(const CString& token, const T& value) {
    T candidate{};
    FromString(token, candidate);
    return candidate == value;
}

}  // namespace

std::optional<bool> ParseBoolStrict(std::u16string_view text) {
    if (EqualsIgnoringCase(text, u"true")) return true;
    if (EqualsIgnoringCase(text, u"false")) return false;
    return std::nullopt;
}

std::optional<std::int32_t> ParseInt32Strict(std::u16string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
    std::int64_t magnitude = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::vector<std::u16string> AllowedTokens(const ConfigEntry& entry) {
    std::vector<std::u16string> tokens;
    if (entry.allowedList == nullptr) return tokens;
    // The library's NextToken: trim what is left, cut at the next comma.
    CString rest(entry.allowedList);
    for (;;) {
        rest.Trim();
        const int comma = rest.Find(u',');
        CString token = comma < 0 ? rest : rest.Left(comma);
        rest = comma < 0 ? CString() : rest.Mid(comma + 1);
        if (token.IsEmpty()) break;
        tokens.emplace_back(token.View());
    }
    return tokens;
}

bool IsAllowedText(const ConfigEntry& entry, std::u16string_view text) {
    const std::vector<std::u16string> tokens = AllowedTokens(entry);
    if (entry.allowedList == nullptr || *entry.allowedList == 0) return true;
    const CString stored(text);
    for (const auto& raw : tokens) {
        const CString token(raw);
        bool match = false;
        switch (TypeOf(entry)) {
            case ValueType::Bool: {
                bool value = false;
                FromString(stored, value);
                match = TokenMatches(token, value);
                break;
            }
            case ValueType::Int: {
                int value = 0;
                FromString(stored, value);
                match = TokenMatches(token, value);
                break;
            }
            case ValueType::Long: {
                long value = 0;
                FromString(stored, value);
                match = TokenMatches(token, value);
                break;
            }
            case ValueType::Text:
                match = TokenMatches(token, stored);
                break;
        }
        if (match) return true;
    }
    return false;
}

std::string CheckSettingText(const ConfigEntry& entry, std::u16string_view text) {
    const ValueType type = TypeOf(entry);
    if (type == ValueType::Bool && !ParseBoolStrict(text))
        return Quoted(text) + " is not a bool (true or false)";
    if ((type == ValueType::Int || type == ValueType::Long) && !ParseInt32Strict(text))
        return Quoted(text) + " is not a 32-bit decimal " + TypeName(type);
    if (text.size() > kMaxReadableChars)
        return "the text has " + std::to_string(text.size()) +
               " characters; the library reads at most " + std::to_string(kMaxReadableChars);
    if (!IsAllowedText(entry, text))
        return Quoted(text) + " is not allowed; allowed values: " + Join(AllowedTokens(entry));
    return {};
}

std::u16string ReadAsLibrary(const ConfigEntry& entry, std::u16string_view text) {
    const CString stored(text);
    CString canonical;
    switch (TypeOf(entry)) {
        case ValueType::Bool: {
            bool value = false;
            FromString(stored, value);
            ToString(value, canonical);
            break;
        }
        case ValueType::Int: {
            int value = 0;
            FromString(stored, value);
            ToString(value, canonical);
            break;
        }
        case ValueType::Long: {
            long value = 0;
            FromString(stored, value);
            ToString(value, canonical);
            break;
        }
        case ValueType::Text:
            canonical = stored;
            break;
    }
    return std::u16string(canonical.View());
}

}  // namespace qelcli
