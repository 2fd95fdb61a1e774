// File: SettingText.h
//
// What text a setting accepts. The library's own reading never fails (any text reads as some
// value), so the tool checks strictly before it writes, and doctor reports what would misread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Catalogue.h"

namespace qelcli {

// The longest text the library reads back (its buffer holds 1023 characters and the NUL).
inline constexpr size_t kMaxReadableChars = 1023;
inline constexpr size_t kMaxReadableBytes = (kMaxReadableChars + 1) * 2;

// "true" or "false" in any letter case.
std::optional<bool> ParseBoolStrict(std::u16string_view text);
// Optional sign, decimal digits, nothing else, within 32 bits.
std::optional<std::int32_t> ParseInt32Strict(std::u16string_view text);

// The allowed list's tokens, read as the library reads them (split at commas, trimmed before
// each token, stopping at the first empty one); empty when every value is allowed.
std::vector<std::u16string> AllowedTokens(const ConfigEntry& entry);

// Whether the text, read as the library reads it, is in the allowed list.
bool IsAllowedText(const ConfigEntry& entry, std::u16string_view text);

// Empty when `text` may be stored for the setting; otherwise why not (wrong form for the
// type, outside the allowed list, or too long to read back).
std::string CheckSettingText(const ConfigEntry& entry, std::u16string_view text);

// The value the library reads from `text`, in its canonical text form ("TRUE" reads as true).
std::u16string ReadAsLibrary(const ConfigEntry& entry, std::u16string_view text);

}  // namespace qelcli
