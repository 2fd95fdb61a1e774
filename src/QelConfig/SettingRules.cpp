#include "SettingRules.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "RegistryKey.h"

namespace qelsetting {

namespace {

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// An optional sign and decimal digits, nothing else; its value when that fits the 32 bits that
// every stored int and long holds.
Refusal ParseStrictInt32(std::u16string_view text, std::int32_t& value) {
    bool negative = false;
    if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (text.empty()) return Refusal::NotNumber;
    const std::int64_t limit =
        negative ? -std::int64_t{kQelStoredLongMin} : std::int64_t{kQelStoredLongMax};
    std::int64_t magnitude = 0;
    bool overflow = false;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return Refusal::NotNumber;
        if (!overflow) magnitude = magnitude * 10 + (c - u'0');
        overflow = overflow || magnitude > limit;
    }
    if (overflow) return Refusal::OutOfRange;
    value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return Refusal::None;
}

}  // namespace

std::optional<SettingType> TypeOf(const ConfigEntry& entry) {
    if (entry.valueType == nullptr) return std::nullopt;
    if (*entry.valueType == typeid(bool)) return SettingType::Bool;
    if (*entry.valueType == typeid(int)) return SettingType::Int;
    if (*entry.valueType == typeid(long)) return SettingType::Long;
    if (*entry.valueType == typeid(CString)) return SettingType::Text;
    return std::nullopt;
}

const char* TypeName(SettingType type) {
    return Visit(type, [](auto tag) -> const char* {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, bool>) return "bool";
        if constexpr (std::is_same_v<T, int>) return "int";
        if constexpr (std::is_same_v<T, long>) return "long";
        if constexpr (std::is_same_v<T, CString>) return "text";
    });
}

CString ComposeRegPath(const CString& application, const CString& version, const CString& separator,
                       const CString& keyPath) {
    CString path(kRegistryRoot);
    path += application;
    path += separator;
    path += version;
    path += separator;
    path += keyPath;
    path.Replace(u"/", separator.GetString());
    return path;
}

RegLocation SplitRegPath(const CString& path) {
    const int last = path.ReverseFind(u'\\');
    if (last < 0) return {CString(), path};
    return {path.Left(last), path.Mid(last + 1)};
}

RegLocation LocationOf(const ConfigEntry& entry) {
    return SplitRegPath(
        ComposeRegPath(kApplicationName, kApplicationVersion, kSeparator, entry.keyPath));
}

std::u16string NormalisedKey(std::u16string_view key) {
    std::u16string normalised;
    normalised.reserve(key.size());
    for (char16_t c : key) {
        if (c == u'\\' && (normalised.empty() || normalised.back() == u'\\')) continue;
        normalised += c;
    }
    if (!normalised.empty() && normalised.back() == u'\\') normalised.pop_back();
    return normalised;
}

std::span<const HKEY> ReadOrder(ConfigScope scope) {
    static const HKEY userFirst[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    if (scope == ScopeUser) return userFirst;
    return std::span<const HKEY>(userFirst).subspan(1);
}

CString TextOfData(const BYTE* data, size_t bytes) {
    size_t units = 0;
    while (2 * units + 1 < bytes && (data[2 * units] | data[2 * units + 1]) != 0) ++units;
    const auto fill = [&](char16_t* out) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out, data, units * sizeof(char16_t));
        } else {
            for (size_t i = 0; i < units; ++i)
                out[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        }
    };
    // A read's text is copied once, through the stack, into the string's own room when short.
    char16_t room[kReadBufferBytes / sizeof(char16_t)];
    if (units <= std::size(room)) {
        fill(room);
        return CString(room, static_cast<int>(units));
    }
    std::u16string text(units, u'\0');
    fill(text.data());
    return CString(text);
}

std::optional<DWORD> StoredByteCount(size_t characters) {
    if (characters >= 0x7FFFFFFFu) return std::nullopt;
    return static_cast<DWORD>((characters + 1) * sizeof(char16_t));
}

std::vector<BYTE> StoredData(std::u16string_view text) {
    std::vector<BYTE> data;
    data.reserve((text.size() + 1) * 2);
    for (char16_t unit : text) {
        data.push_back(static_cast<BYTE>(unit & 0xFF));
        data.push_back(static_cast<BYTE>(unit >> 8));
    }
    data.insert(data.end(), {0, 0});
    return data;
}

StoredRead ReadStoredText(HKEY hive, const RegLocation& where, CString& text) {
    qelreg::RegKey key;
    LSTATUS rc = key.Open(hive, where.key.GetString(), KEY_READ);
    if (rc != ERROR_SUCCESS)
        return {rc == ERROR_FILE_NOT_FOUND ? ReadOutcome::Missing : ReadOutcome::Failed, rc};
    // Local rather than shared between calls: the same limit, and nothing to race on.
    BYTE buffer[kReadBufferBytes];
    DWORD bytes = kReadBufferBytes;
    rc = ::RegQueryValueExW(key.Get(), Win32Str(where.valueName.GetString()), nullptr, nullptr,
                            buffer, &bytes);
    if (rc == ERROR_MORE_DATA) return {ReadOutcome::TooLong, rc};
    if (rc == ERROR_FILE_NOT_FOUND) return {ReadOutcome::Missing, rc};
    if (rc != ERROR_SUCCESS) return {ReadOutcome::Failed, rc};
    text = TextOfData(buffer, bytes);
    return {ReadOutcome::Read, rc};
}

EffectiveRead ReadEffective(ConfigScope scope, const RegLocation& where, CString& text) {
    EffectiveRead read;
    for (HKEY hive : ReadOrder(scope)) {
        const StoredRead answer = ReadStoredText(hive, where, text);
        read.hives[read.hivesRead++] = answer;
        if (answer.outcome == ReadOutcome::Read) {
            read.source = hive;
            break;
        }
    }
    return read;
}

CString CanonicalText(SettingType type, const CString& stored) {
    return Visit(type, [&](auto tag) {
        typename decltype(tag)::type value{};
        FromString(stored, value);
        CString canonical;
        ToString(value, canonical);
        return canonical;
    });
}

CString NextAllowedToken(CString& rest) {
    rest.Trim();
    const int comma = rest.Find(u',');
    if (comma < 0) {
        CString token(rest);
        rest.Empty();
        return token;
    }
    CString token = rest.Left(comma);
    rest = rest.Mid(comma + 1);
    return token;
}

std::vector<CString> AllowedTokens(const char16_t* allowedList) {
    std::vector<CString> tokens;
    if (allowedList == nullptr) return tokens;
    CString rest(allowedList);
    for (CString token = NextAllowedToken(rest); !token.IsEmpty(); token = NextAllowedToken(rest))
        tokens.push_back(std::move(token));
    return tokens;
}

bool IsAllowedText(const ConfigEntry& entry, SettingType type, const CString& text) {
    if (entry.allowedList == nullptr || *entry.allowedList == 0) return true;
    return Visit(type, [&](auto tag) {
        using T = typename decltype(tag)::type;
        T value{};
        FromString(text, value);
        for (const CString& token : AllowedTokens(entry.allowedList)) {
            T candidate{};
            FromString(token, candidate);
            if (candidate == value) return true;
        }
        return false;
    });
}

CheckedText CheckUserText(const ConfigEntry& entry, SettingType type, std::u16string_view text) {
    CheckedText checked;
    if (type == SettingType::Bool) {
        const bool isTrue = EqualsIgnoringAsciiCase(text, u"true");
        if (!isTrue && !EqualsIgnoringAsciiCase(text, u"false")) return {Refusal::NotBool, {}};
        checked.canonical = isTrue ? u"true" : u"false";
    } else if (type == SettingType::Int || type == SettingType::Long) {
        std::int32_t number = 0;
        if (const Refusal refusal = ParseStrictInt32(text, number); refusal != Refusal::None)
            return {refusal, {}};
        ToString(static_cast<long>(number), checked.canonical);
    } else {
        if (text.size() > static_cast<size_t>(kMaxReadableChars)) return {Refusal::TooLong, {}};
        checked.canonical = CString(text);
    }
    if (!IsAllowedText(entry, type, checked.canonical)) return {Refusal::NotAllowed, {}};
    return checked;
}

}  // namespace qelsetting
