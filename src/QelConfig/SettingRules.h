// File: SettingRules.h
//
// The rules of a stored setting, each written once: where a setting lives (its hives in reading
// order, its composed key, its value name), how a stored value reads (the read limit, the text up
// to the first NUL, the lenient conversion), the canonical text of a value, the strict check of
// text a person types, and the allowed list. The library, the qelconfig tool and the tests use
// these functions; none of them is exported from the library.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "QelConfig.h"
#include "QelRegistry.h"

namespace qelsetting {

// --- The value type of a setting -------------------------------------------------------------

enum class SettingType { Bool, Int, Long, Text };

// The type of a row of the table; none for a type these rules do not know. No row has one, and a
// test keeps it so; a caller that meets one refuses the setting rather than guessing a type.
std::optional<SettingType> TypeOf(const ConfigEntry& entry);
// "bool", "int", "long" or "text".
const char* TypeName(SettingType type);

// Calls visitor(std::type_identity<T>{}) with the C++ type that holds a value of `type`: bool,
// int, long or CString. A visitor that cannot take every one of them does not compile, and
// neither does this switch once a type is added to SettingType without a case here.
template <typename Visitor>
decltype(auto) Visit(SettingType type, Visitor&& visitor) {
    static_assert(std::is_invocable_v<Visitor, std::type_identity<bool>> &&
                      std::is_invocable_v<Visitor, std::type_identity<int>> &&
                      std::is_invocable_v<Visitor, std::type_identity<long>> &&
                      std::is_invocable_v<Visitor, std::type_identity<CString>>,
                  "a visitor of a setting's type takes bool, int, long and CString");
    switch (type) {
        case SettingType::Bool:
            return visitor(std::type_identity<bool>{});
        case SettingType::Int:
            return visitor(std::type_identity<int>{});
        case SettingType::Long:
            return visitor(std::type_identity<long>{});
        case SettingType::Text:
            return visitor(std::type_identity<CString>{});
    }
    throw std::logic_error("a setting type outside SettingType");
}

// --- Where a setting lives -------------------------------------------------------------------

// Every application's settings lie below this key, in either hive.
inline constexpr char16_t kRegistryRoot[] = u"Software\\Halvard\\Nuvex12\\OEM\\";
// The application and version of the process-wide instance, and the separator it joins with.
inline constexpr char16_t kApplicationName[] = u"Korvid";
inline constexpr char16_t kApplicationVersion[] = u"";
inline constexpr char16_t kSeparator[] = u"\\";

// The registry path of a key path, relative to a hive: root, application, version and key path
// joined by the separator, and every '/' then replaced by it. An empty version leaves two
// separators in a row, which the registry reads as one.
CString ComposeRegPath(const CString& application, const CString& version, const CString& separator,
                       const CString& keyPath);

struct RegLocation {
    CString key;        // everything before the path's last backslash
    CString valueName;  // everything after it
};
RegLocation SplitRegPath(const CString& path);

// Where the process-wide instance keeps a setting.
RegLocation LocationOf(const ConfigEntry& entry);

// The same key as the registry reads it: each run of separators as one, none at either end.
std::u16string NormalisedKey(std::u16string_view key);

// The hives a scope reads, in order; the first is also the one it writes.
std::span<const HKEY> ReadOrder(ConfigScope scope);
inline HKEY WriteHive(ConfigScope scope) { return ReadOrder(scope).front(); }

// --- How a stored value reads ----------------------------------------------------------------

// A stored value is read only when it fits a buffer of 1024 UTF-16 units, terminator included.
inline constexpr int kMaxReadableChars = 1023;
inline constexpr DWORD kReadBufferBytes = (kMaxReadableChars + 1) * sizeof(char16_t);

// The text of registry data, whatever its type: UTF-16 up to its first NUL, or whole when it
// holds none. An odd last byte is no code unit and is not read.
CString TextOfData(const BYTE* data, size_t bytes);

enum class ReadOutcome {
    Read,     // the text was read
    Missing,  // no such key or value
    TooLong,  // a value is there, too long to read; it counts as not stored
    Failed,   // the registry refused the read (status says why); it counts as not stored
};
struct StoredRead {
    ReadOutcome outcome = ReadOutcome::Missing;
    LSTATUS status = ERROR_FILE_NOT_FOUND;  // the registry's answer to the open or the query
};

// Reads one hive's value into `text`, which is left as it is unless the outcome is Read.
StoredRead ReadStoredText(HKEY hive, const RegLocation& where, CString& text);

struct EffectiveRead {
    // The hive the text came from; null when no hive of the scope had a readable value.
    HKEY source = nullptr;
    // What each hive of ReadOrder(scope) answered; hives after the source are not read.
    std::array<StoredRead, 2> hives{};
    size_t hivesRead = 0;
};

// Reads a setting as the library does: each hive of the scope in turn, the first readable text
// winning. `text` is left as it is (the caller's default) when none is readable.
EffectiveRead ReadEffective(ConfigScope scope, const RegLocation& where, CString& text);

// --- How a setting's text is stored ----------------------------------------------------------

// As REG_SZ: the text's UTF-16 units and a terminating NUL.
inline constexpr DWORD kStoredType = REG_SZ;
// The byte count of that data for a text of `characters` UTF-16 units; none when it would not
// fit the registry's 32-bit size (2,147,483,647 units or more).
std::optional<DWORD> StoredByteCount(size_t characters);
// The data itself, as the registry holds it (little-endian).
std::vector<BYTE> StoredData(std::u16string_view text);

// --- Values and their text -------------------------------------------------------------------

// What the library reads from a stored text, written as ToString writes it: "TRUE" and " 7"
// read as "true" and "7"; a text setting's text stands as it is.
CString CanonicalText(SettingType type, const CString& stored);

// The allowed list's reader: trims what is left, then cuts the text at its next comma.
CString NextAllowedToken(CString& rest);
// Every token of a list, up to the first empty one; none when every value is allowed.
std::vector<CString> AllowedTokens(const char16_t* allowedList);
// Whether a stored text, read as the setting's type, equals one of the tokens read the same way.
bool IsAllowedText(const ConfigEntry& entry, SettingType type, const CString& text);

// Why a text a person typed may not be stored for a setting.
enum class Refusal {
    None,
    NotBool,     // not "true" or "false" in some letter case
    NotNumber,   // not an optional sign followed by decimal digits only
    OutOfRange,  // a number outside the 32 bits every stored int and long holds
    TooLong,     // longer than the library reads back
    NotAllowed,  // valid for the type, but not in the allowed list
};
struct CheckedText {
    Refusal refusal = Refusal::None;
    CString canonical;  // when accepted: the text the library stores for it
};
// The strict check of typed text, before anything is written: the library's own reading never
// fails (any text reads as some value), so a typo would otherwise be stored as a default-like
// value without a word.
CheckedText CheckUserText(const ConfigEntry& entry, SettingType type, std::u16string_view text);

}  // namespace qelsetting
