// qelconfig describe: what the catalogue says about a setting and where the registry keeps it.
#include <memory>

#include "Commands.h"
#include "Output.h"
#include "SettingText.h"
#include "SettingView.h"
#include "Utf8.h"

namespace qelcli {

namespace {

std::string ScopeText(ConfigScope scope) {
    switch (scope) {
        case ScopeUser:
            return "user: read from HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE; written to "
                   "HKEY_CURRENT_USER";
        case ScopeMachine:
            return "machine: read from and written to HKEY_LOCAL_MACHINE";
        case ScopeMachineReadOnly:
            break;
    }
    return "machine-readonly: read from HKEY_LOCAL_MACHINE, never written";
}

ExitCode RunDescribe(const std::string& setting, bool json) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return ExitCode::Failed;
    const Location where = LocationOf(*entry);
    std::string allowed;
    for (const auto& token : AllowedTokens(*entry))
        allowed += (allowed.empty() ? "" : ", ") + ToUtf8(token);
    if (json) {
        nlohmann::json document = SettingJson(*entry);
        document["description"] = ToUtf8(entry->description);
        document["registry"] = {
            {"hive", HiveName(where.hive)},
            {"fallbackHive",
             where.fallsBackToMachine ? nlohmann::json(HiveName(Hive::Machine)) : nlohmann::json()},
            {"key", ToUtf8(where.composedKey)},
            {"normalisedKey", ToUtf8(where.key)},
            {"valueName", ToUtf8(where.valueName)},
            {"type", "REG_SZ"}};
        PrintJson(document);
        return ExitCode::Ok;
    }
    PrintLine("id:             " + std::to_string(entry->id));
    PrintLine("key path:       " + ToUtf8(entry->keyPath));
    PrintLine("type:           " + std::string(TypeName(TypeOf(*entry))));
    PrintLine("scope:          " + ScopeText(entry->scope));
    PrintLine("default:        " + DisplayValue(*entry, entry->defaultText));
    PrintLine("allowed:        " + (allowed.empty() ? std::string("any value") : allowed));
    PrintLine("description:    " + Printable(entry->description));
    PrintLine("hive:           " + std::string(HiveName(where.hive)) +
              (where.fallsBackToMachine ? " (falls back to HKEY_LOCAL_MACHINE)" : ""));
    PrintLine("key:            " + ToUtf8(where.composedKey));
    PrintLine("normalised key: " + ToUtf8(where.key));
    PrintLine("value name:     " + ToUtf8(where.valueName) + " (REG_SZ text)");
    return ExitCode::Ok;
}

}  // namespace

void AddDescribeCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "describe",
        "A setting's type, scope, default, allowed values, description and registry location "
        "(the key as the library composes it, and as the registry reads it).");
    auto setting = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    command->add_option("SETTING", *setting, "Id or key path (any letter case)")->required();
    command->add_flag("--json", *json, "Print a JSON object");
    command->callback([=, &result] { result = RunDescribe(*setting, *json); });
}

}  // namespace qelcli
