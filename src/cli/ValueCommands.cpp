// qelconfig get / set / reset: one setting's value, through the library as an application
// reads and writes it; reset deletes the stored value, which the library has no call for.
#include <memory>

#include "Commands.h"
#include "Output.h"
#include "Registry.h"
#include "SettingText.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

template <typename T>
nlohmann::json GetTyped(const ConfigEntry& entry, std::u16string& text) {
    T value{};
    QelConfig().GetValue(static_cast<ConfigKey>(entry.id), value);
    CString asText;
    ToString(value, asText);
    text = asText.View();
    if constexpr (std::is_same_v<T, CString>)
        return ToUtf8(asText.View());
    else
        return value;
}

ExitCode RunGet(const std::string& setting, bool json) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return ExitCode::Failed;
    std::u16string text;
    nlohmann::json value;
    switch (TypeOf(*entry)) {
        case ValueType::Bool:
            value = GetTyped<bool>(*entry, text);
            break;
        case ValueType::Int:
            value = GetTyped<int>(*entry, text);
            break;
        case ValueType::Long:
            value = GetTyped<long>(*entry, text);
            break;
        case ValueType::Text:
            value = GetTyped<CString>(*entry, text);
            break;
    }
    if (json) {
        PrintJson({{"id", entry->id},
                   {"key", ToUtf8(entry->keyPath)},
                   {"type", TypeName(TypeOf(*entry))},
                   {"value", value}});
    } else {
        PrintLine(ToUtf8(text));
    }
    return ExitCode::Ok;
}

HRESULT SetTyped(const ConfigEntry& entry, const std::u16string& text) {
    const auto key = static_cast<ConfigKey>(entry.id);
    switch (TypeOf(entry)) {
        case ValueType::Bool:
            return QelConfig().SetValue(key, *ParseBoolStrict(text));
        case ValueType::Int:
            return QelConfig().SetValue(key, static_cast<int>(*ParseInt32Strict(text)));
        case ValueType::Long:
            return QelConfig().SetValue(key, static_cast<long>(*ParseInt32Strict(text)));
        case ValueType::Text:
            break;
    }
    return QelConfig().SetValue(key, CString(text));
}

ExitCode RunSet(const std::string& setting, const std::string& valueUtf8) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return ExitCode::Failed;
    const std::string name = SettingName(*entry);
    if (entry->scope == ScopeMachineReadOnly)
        return Refuse(name + " is read-only: the library never writes it");
    const std::optional<std::u16string> text = FromUtf8(valueUtf8);
    if (!text) return Refuse("the value is not valid UTF-8");
    if (const std::string reason = CheckSettingText(*entry, *text); !reason.empty())
        return Refuse(name + ": " + reason);

    const StoredSetting before = ReadStoredSetting(*entry);
    const HRESULT hr = SetTyped(*entry, *text);
    const std::string now = DisplayValue(*entry, *text);
    if (hr == S_OK) {
        PrintLine(name + ": changed to " + now + " (was " + DisplayValue(*entry, before.text) +
                  (before.source ? "" : ", the default") + ")");
        return ExitCode::Ok;
    }
    if (hr == S_FALSE) {
        PrintLine(name + ": already " + now + ", nothing written");
        return ExitCode::Ok;
    }
    if (hr == E_FAIL)
        return Refuse(name + ": the store refused the write to " +
                      DescribeHive(LocationOf(*entry).hive));
    return Refuse(name + ": the library refused the value");
}

ExitCode RunReset(const std::string& setting) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return ExitCode::Failed;
    const std::string name = SettingName(*entry);
    if (entry->scope == ScopeMachineReadOnly)
        return Refuse(name + " is read-only: the library never writes it");
    const Location where = LocationOf(*entry);
    RawValue old;
    const bool had =
        ReadValue(where.hive, where.composedKey, where.valueName, old) == ERROR_SUCCESS;
    const LSTATUS rc = had ? DeleteValue(where.hive, where.composedKey, where.valueName)
                           : static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return Refuse(name + ": the store refused to delete the value from " +
                      DescribeHive(where.hive) + ": " + StatusText(rc));
    const StoredSetting after = ReadStoredSetting(*entry);
    const std::string reads =
        "reads " + DisplayValue(*entry, after.text) +
        (after.source ? std::string(" from ") + HiveName(*after.source) : " (the default)");
    if (rc == ERROR_FILE_NOT_FOUND)
        PrintLine(name + ": nothing stored in " + HiveName(where.hive) + "; " + reads);
    else
        PrintLine(name + ": removed " + DisplayValue(*entry, TextOf(old)) + " from " +
                  HiveName(where.hive) + "; now " + reads);
    return ExitCode::Ok;
}

}  // namespace

void AddGetCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "get",
        "A setting's value, read through the library as an application reads it. Like any "
        "application's, a first read of a setting never stored stores its default.");
    auto setting = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    command->add_option("SETTING", *setting, "Id or key path (any letter case)")->required();
    command->add_flag("--json", *json, "Print a JSON object");
    command->callback([=, &result] { result = RunGet(*setting, *json); });
}

void AddSetCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "set",
        "Writes a setting through the library. The value is checked first: true or false for "
        "bool, a 32-bit decimal number for int and long, any text for text, and the setting's "
        "allowed values.");
    auto setting = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>();
    command->add_option("SETTING", *setting, "Id or key path (any letter case)")->required();
    command->add_option("VALUE", *value, "The new value")->required();
    command->callback([=, &result] { result = RunSet(*setting, *value); });
}

void AddResetCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "reset",
        "Deletes a setting's stored value from the hive its scope writes, so that it reads as "
        "its default again (or, for a user setting, as the machine's value).");
    auto setting = std::make_shared<std::string>();
    command->add_option("SETTING", *setting, "Id or key path (any letter case)")->required();
    command->callback([=, &result] { result = RunReset(*setting); });
}

}  // namespace qelcli
