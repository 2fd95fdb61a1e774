// File: Catalogue.h
//
// The settings the library knows (its table, with the rules of a stored setting, linked into the
// tool) and where each one lives in the registry: looked up by identifier or key path, or by
// registry location.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Hive.h"
#include "QelConfig.h"
#include "SettingRules.h"

namespace qelcli {

using qelsetting::SettingType;

// The application's key below either hive, with single separators.
const std::u16string& AppKey();

struct Location {
    Hive hive;                   // the hive the scope writes (and reads first)
    bool fallsBackToMachine;     // user scope: read from the machine hive when the user has none
    std::u16string composedKey;  // as the library composes it: Korvid\\UI (no version, so two)
    std::u16string key;          // the same key with single separators, as the registry sees it
    std::u16string valueName;
    qelsetting::RegLocation composed;  // the composed key and the value name, as the library's
};

// Every setting, by ascending identifier.
const std::vector<const ConfigEntry*>& AllSettings();

// An identifier ("18"), a key path ("ui/burntodisk", "UI\BurnToDisk") or the C++ enumerator's
// name ("ckUI_BurnToDisk"), any letter case.
const ConfigEntry* FindSetting(std::string_view text);

// The C++ enumerator that names the setting: "ck", then the key path with '_' for '/'.
std::u16string EnumeratorName(const ConfigEntry& entry);

// The setting whose value is `name` in `key` (relative to AppKey(), e.g. "UI\ButtonStylesDlg"),
// without regard to ASCII letter case; null when none is.
const ConfigEntry* FindSettingAt(std::u16string_view key, std::u16string_view name);

// Whether `key` (relative to AppKey()) is the key of some setting or one of its parents.
bool IsSettingKey(std::u16string_view key);

// The setting's value type; a type the rules do not know is an error (std::runtime_error), never
// taken for text.
SettingType TypeOf(const ConfigEntry& entry);
const char* TypeName(const ConfigEntry& entry);
const char* ScopeName(ConfigScope scope);
Location LocationOf(const ConfigEntry& entry);
Hive HiveOf(HKEY root);

// Case-insensitive equality over ASCII letters, as key paths compare.
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace qelcli
