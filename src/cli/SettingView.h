// File: SettingView.h
//
// How settings and their values are shown, in text and in JSON, by every command.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Catalogue.h"

namespace qelcli {

// The value the library reads from `text`: bool, number or string.
nlohmann::json TypedJson(const ConfigEntry& entry, std::u16string_view text);
// The same for a console: text settings quoted and escaped, so that an empty text is visible and
// a newline differs from a backslash and an n.
std::string DisplayValue(const ConfigEntry& entry, std::u16string_view text);

// The facts about a setting that do not depend on the registry.
nlohmann::json SettingJson(const ConfigEntry& entry);

// "18 (UI/BurnToDisk)".
std::string SettingName(const ConfigEntry& entry);

// A key path as typed on the command line: refused with a message when no setting has it.
const ConfigEntry* FindSettingOrComplain(const std::string& idOrKeyPath);

}  // namespace qelcli
