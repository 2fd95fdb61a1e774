// qelconfig describe: what the catalogue says about a setting and where the registry keeps it.
#include <memory>

#include "Command.h"
#include "Output.h"
#include "SettingText.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

std::string Access(ConfigScope scope) {
    switch (scope) {
        case ScopeUser:
            return "read from HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE; written to "
                   "HKEY_CURRENT_USER";
        case ScopeMachine:
            return "read from and written to HKEY_LOCAL_MACHINE";
        case ScopeMachineReadOnly:
            break;
    }
    return "read from HKEY_LOCAL_MACHINE, never written";
}

// What `set` takes for the setting, in words.
std::string Accepts(const ConfigEntry& entry) {
    const std::string form = qelsetting::Visit(TypeOf(entry), [](auto tag) -> std::string {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, bool>) return "true or false";
        if constexpr (std::is_same_v<T, int> || std::is_same_v<T, long>)
            return "a decimal number from " + StoredNumberRange();
        if constexpr (std::is_same_v<T, CString>)
            return "any text of up to " + std::to_string(qelsetting::kMaxReadableChars) +
                   " characters";
    });
    std::string allowed;
    for (const auto& token : AllowedTokens(entry))
        allowed += (allowed.empty() ? "" : ", ") + ToUtf8(token);
    return allowed.empty() ? form : form + " that reads as one of " + allowed;
}

Result RunDescribe(const std::string& setting) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return Result::Failed();
    const Location where = LocationOf(*entry);
    Result result;
    result.data = SettingJson(*entry);
    result.data["description"] = ToUtf8(entry->description);
    result.data["registry"] = {
        {"hive", HiveName(where.hive)},
        {"fallbackHive",
         where.fallsBackToMachine ? nlohmann::json(HiveName(Hive::Machine)) : nlohmann::json()},
        {"key", ToUtf8(where.composedKey)},
        {"normalisedKey", ToUtf8(where.key)},
        {"valueName", ToUtf8(where.valueName)},
        {"type", "REG_SZ"}};
    // The value read now and where it comes from, as get and list show them.
    const StoredSetting stored = ReadStoredSetting(*entry);
    result.data["value"] = TypedJson(*entry, stored.text);
    result.data["source"] = stored.source ? HiveName(*stored.source) : "default";
    result.data["access"] = Access(entry->scope);
    result.data["accepts"] = Accepts(*entry);
    result.record = {{"id"},
                     {"key"},
                     {"type"},
                     {"scope"},
                     {"access"},
                     {"default", true},
                     {"value", true},
                     {"source"},
                     {"accepts"},
                     {"description"},
                     {"registry.hive"},
                     {"registry.fallbackHive"},
                     {"registry.key"},
                     {"registry.normalisedKey"},
                     {"registry.valueName"},
                     {"registry.type"}};
    return result;
}

}  // namespace

extern const CommandRow kDescribeCommand = {
    "describe",
    "A setting's type, scope, default, allowed values, description and registry location (the "
    "key as the library composes it, and as the registry reads it).",
    [](CLI::App& command) -> std::function<Result()> {
        auto setting = std::make_shared<std::string>();
        command.add_option("SETTING", *setting, "Id or key path (any letter case)")->required();
        return [setting] { return RunDescribe(*setting); };
    }};

}  // namespace qelcli
