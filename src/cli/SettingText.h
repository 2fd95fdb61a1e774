// File: SettingText.h
//
// Text for a setting, in the tool's words: the strict check of what a person types (by the rules
// of a stored setting, which the library uses too), with the reason of a refusal spelled out,
// and what the library reads from a stored text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Catalogue.h"

namespace qelcli {

// The most bytes of stored data the library reads (1023 characters and the terminator).
inline constexpr size_t kMaxReadableBytes = qelsetting::kReadBufferBytes;

// The allowed list's tokens as the library reads them; empty when every value is allowed.
std::vector<std::u16string> AllowedTokens(const ConfigEntry& entry);

// Whether the text, read as the library reads it, is in the allowed list.
bool IsAllowedText(const ConfigEntry& entry, std::u16string_view text);

// "-2147483648 to 2147483647": what every stored int and long holds.
std::string StoredNumberRange();

struct SettingText {
    std::string refusal;       // empty when the text may be stored
    std::u16string canonical;  // when it may: the text the library stores for it ("TRUE": "true")
};
// The strict check before a write: the form for the type (true or false; an optional sign and
// decimal digits within 32 bits), the length the library reads back, the allowed list.
SettingText CheckSettingText(const ConfigEntry& entry, std::u16string_view text);

// The value the library reads from a stored `text`, in its canonical text ("TRUE": "true").
std::u16string ReadAsLibrary(const ConfigEntry& entry, std::u16string_view text);

}  // namespace qelcli
