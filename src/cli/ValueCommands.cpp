// qelconfig get / set / reset: one setting's value, through the library as an application
// reads and writes it; reset deletes the stored value, which the library has no call for.
#include <memory>

#include "Command.h"
#include "Output.h"
#include "Registry.h"
#include "SettingText.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

constexpr const char* kSettingHelp = "Id or key path (any letter case)";

nlohmann::json Identity(const ConfigEntry& entry) {
    return {{"id", entry.id}, {"key", ToUtf8(entry.keyPath)}, {"type", TypeName(entry)}};
}

Result RunGet(const std::string& setting) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return Result::Failed();
    const auto key = static_cast<ConfigKey>(entry->id);
    // What an application's read returns, and the text ToString makes of it.
    CString text;
    const nlohmann::json value = qelsetting::Visit(TypeOf(*entry), [&](auto tag) -> nlohmann::json {
        typename decltype(tag)::type typed{};
        QelConfig().GetValue(key, typed);
        ToString(typed, text);
        if constexpr (std::is_same_v<decltype(typed), CString>)
            return ToUtf8(typed.View());
        else
            return typed;
    });
    Result result;
    result.data = Identity(*entry);
    result.data["value"] = value;
    result.lines = {ToUtf8(text.View())};
    return result;
}

// Writes the checked text as the typed value it stands for, as an application would.
HRESULT SetTyped(const ConfigEntry& entry, const std::u16string& canonical) {
    const auto key = static_cast<ConfigKey>(entry.id);
    return qelsetting::Visit(TypeOf(entry), [&](auto tag) {
        typename decltype(tag)::type value{};
        FromString(CString(canonical), value);
        return QelConfig().SetValue(key, value);
    });
}

Result RunSet(const std::string& setting, const std::string& valueUtf8) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return Result::Failed();
    const std::string name = SettingName(*entry);
    if (entry->scope == ScopeMachineReadOnly)
        return Refused(name + " is read-only: the library never writes it");
    const std::optional<std::u16string> text = FromUtf8(valueUtf8);
    if (!text) return Refused("the value is not valid UTF-8");
    const SettingText checked = CheckSettingText(*entry, *text);
    if (!checked.refusal.empty()) return Refused(name + ": " + checked.refusal);

    const StoredSetting before = ReadStoredSetting(*entry);
    const HRESULT hr = SetTyped(*entry, checked.canonical);
    if (hr == E_FAIL)
        return Refused(name + ": the store refused the write to " +
                       DescribeHive(LocationOf(*entry).hive));
    if (hr != S_OK && hr != S_FALSE) return Refused(name + ": the library refused the value");
    const std::string now = DisplayValue(*entry, checked.canonical);
    Result result;
    result.data = Identity(*entry);
    result.data["changed"] = hr == S_OK;
    result.data["value"] = TypedJson(*entry, checked.canonical);
    result.data["previous"] = TypedJson(*entry, before.text);
    result.data["previousSource"] = before.source ? HiveName(*before.source) : "default";
    if (hr == S_OK)
        result.lines = {name + ": changed to " + now + " (was " +
                        DisplayValue(*entry, before.text) + (before.source ? "" : ", the default") +
                        ")"};
    else
        result.lines = {name + ": already " + now + ", nothing written"};
    return result;
}

Result RunReset(const std::string& setting) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return Result::Failed();
    const std::string name = SettingName(*entry);
    if (entry->scope == ScopeMachineReadOnly)
        return Refused(name + " is read-only: the library never writes it");
    const Location where = LocationOf(*entry);
    RawValue old;
    const bool had =
        ReadValue(where.hive, where.composedKey, where.valueName, old) == ERROR_SUCCESS;
    const LSTATUS rc = had ? DeleteValue(where.hive, where.composedKey, where.valueName)
                           : static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return Refused(name + ": the store refused to delete the value from " +
                       DescribeHive(where.hive) + ": " + StatusText(rc));
    const StoredSetting after = ReadStoredSetting(*entry);
    const std::string reads =
        "reads " + DisplayValue(*entry, after.text) +
        (after.source ? std::string(" from ") + HiveName(*after.source) : " (the default)");
    Result result;
    result.data = Identity(*entry);
    result.data["removed"] = rc == ERROR_SUCCESS;
    result.data["hive"] = HiveName(where.hive);
    result.data["value"] = TypedJson(*entry, after.text);
    result.data["source"] = after.source ? HiveName(*after.source) : "default";
    if (rc == ERROR_FILE_NOT_FOUND)
        result.lines = {name + ": nothing stored in " + HiveName(where.hive) + "; " + reads};
    else
        result.lines = {name + ": removed " + DisplayValue(*entry, TextOf(old)) + " from " +
                        HiveName(where.hive) + "; now " + reads};
    return result;
}

}  // namespace

extern const CommandRow kGetCommand = {
    "get",
    "A setting's value, read through the library as an application reads it. Like any "
    "application's, a first read of a setting never stored stores its default.",
    [](CLI::App& command) -> std::function<Result()> {
        auto setting = std::make_shared<std::string>();
        command.add_option("SETTING", *setting, kSettingHelp)->required();
        return [setting] { return RunGet(*setting); };
    }};

extern const CommandRow kSetCommand = {
    "set",
    "Writes a setting through the library. The value is checked first: true or false for bool, "
    "a decimal number within 32 bits for int and long, text the library can read back for "
    "text, and the setting's allowed values.",
    [](CLI::App& command) -> std::function<Result()> {
        auto setting = std::make_shared<std::string>();
        auto value = std::make_shared<std::string>();
        command.add_option("SETTING", *setting, kSettingHelp)->required();
        command.add_option("VALUE", *value, "The new value")->required();
        return [setting, value] { return RunSet(*setting, *value); };
    }};

extern const CommandRow kResetCommand = {
    "reset",
    "Deletes a setting's stored value from the hive its scope writes, so that it reads as its "
    "default again (or, for a user setting, as the machine's value).",
    [](CLI::App& command) -> std::function<Result()> {
        auto setting = std::make_shared<std::string>();
        command.add_option("SETTING", *setting, kSettingHelp)->required();
        return [setting] { return RunReset(*setting); };
    }};

}  // namespace qelcli
