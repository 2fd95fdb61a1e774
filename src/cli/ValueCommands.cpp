// qelconfig get / set: one setting's value, as an application reads it and through the library
// as an application writes it; or, with --machine, the machine-wide value an administrator sets.
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

constexpr const char* kSettingHelp =
    "Id, key path or enumerator name, any letter case (59, UI/ButtonStylesDlg/Type, "
    "ckUI_ButtonStylesDlg_Type)";

nlohmann::json Identity(const ConfigEntry& entry) {
    return {{"id", entry.id}, {"key", ToUtf8(entry.keyPath)}, {"type", TypeName(entry)}};
}

// Where a value comes from, for messages: "HKEY_CURRENT_USER (/home/a/...)" or "the default".
std::string SourceText(const StoredSetting& stored) {
    return stored.source ? DescribeHive(*stored.source) : "the default";
}

std::vector<Hive> ReadOrderOf(const ConfigEntry& entry) {
    std::vector<Hive> hives;
    for (HKEY root : qelsetting::ReadOrder(entry.scope)) hives.push_back(HiveOf(root));
    return hives;
}

// What an application's read returns, without the default it would store on a first read:
// looking must not change the store, and a stored default would hide a later machine value.
Result RunGet(const std::string& setting, bool verbose) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return Result::Failed();
    WarnUnreadableHives(ReadOrderOf(*entry),
                        "the value shown is read past it, as applications read it");
    const StoredSetting stored = ReadStoredSetting(*entry);
    Result result;
    result.data = Identity(*entry);
    result.data["value"] = TypedJson(*entry, stored.text);
    result.data["source"] = stored.source ? HiveName(*stored.source) : "default";
    const std::string text = ToUtf8(ReadAsLibrary(*entry, stored.text));
    result.lines = {verbose ? text + "  (from " + SourceText(stored) + ")" : text};
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

// The machine hive's own value of a setting, which every user without one of his own reads:
// written directly, as the library writes a machine setting's.
HRESULT SetMachineValue(const ConfigEntry& entry, const std::u16string& canonical) {
    const Location where = LocationOf(entry);
    RawValue current;
    const LSTATUS read = ReadValue(Hive::Machine, where.composedKey, where.valueName, current);
    if (read == ERROR_SUCCESS && current.data.size() <= kMaxReadableBytes &&
        TextOf(current) == canonical)
        return S_FALSE;
    const std::optional<RawValue> before =
        read == ERROR_SUCCESS ? std::optional<RawValue>(current) : std::nullopt;
    const std::vector<ValueChange> change = {
        {where.composedKey, where.valueName, before,
         RawValue{qelsetting::kStoredType, qelsetting::StoredData(canonical)}}};
    size_t failed = 0;
    size_t unrestored = 0;
    return ApplyChanges(Hive::Machine, change, &failed, &unrestored) == ERROR_SUCCESS ? S_OK
                                                                                      : E_FAIL;
}

Result RunSet(const std::string& setting, const std::string& valueUtf8, bool machine) {
    const ConfigEntry* entry = FindSettingOrComplain(setting);
    if (entry == nullptr) return Result::Failed();
    const std::string name = SettingName(*entry);
    if (entry->scope == ScopeMachineReadOnly && !machine)
        return Refused(name +
                       " is read-only: the library never writes it; an administrator sets its "
                       "machine-wide value with --machine");
    const std::optional<std::u16string> text = FromUtf8(valueUtf8);
    if (!text) return Refused("the value is not valid UTF-8");
    const SettingText checked = CheckSettingText(*entry, *text);
    if (!checked.refusal.empty()) return Refused(name + ": " + checked.refusal);

    const Hive target = machine ? Hive::Machine : LocationOf(*entry).hive;
    StoredSetting before = ReadStoredSetting(*entry);
    if (machine) {
        // What the machine hive itself holds is what this write replaces.
        const Location where = LocationOf(*entry);
        RawValue raw;
        const bool held =
            ReadValue(Hive::Machine, where.composedKey, where.valueName, raw) == ERROR_SUCCESS &&
            raw.data.size() <= kMaxReadableBytes;
        before.source = held ? std::optional<Hive>(Hive::Machine) : std::nullopt;
        before.text = held ? TextOf(raw) : std::u16string(entry->defaultText);
    }
    const HRESULT hr =
        machine ? SetMachineValue(*entry, checked.canonical) : SetTyped(*entry, checked.canonical);
    const HiveHealth health = hr == S_OK ? HiveHealth{} : CheckHive(target);
    if (hr == E_FAIL)
        return Refused(name + ": the store refused the write to " + DescribeHive(target) +
                       (health.problem.empty() && health.note.empty()
                            ? std::string()
                            : ": " + (health.problem.empty() ? health.note : health.problem)));
    if (hr != S_OK && hr != S_FALSE) return Refused(name + ": the library refused the value");
    if (hr == S_FALSE && health.unwritable)
        Warn(DescribeHive(target) +
             " cannot be written: " + (health.problem.empty() ? health.note : health.problem) +
             "; nothing needed writing this time");
    const std::string now = DisplayValue(*entry, checked.canonical);
    Result result;
    result.data = Identity(*entry);
    result.data["changed"] = hr == S_OK;
    result.data["hive"] = HiveName(target);
    result.data["value"] = TypedJson(*entry, checked.canonical);
    result.data["previous"] = TypedJson(*entry, before.text);
    result.data["previousSource"] = before.source ? HiveName(*before.source) : "default";
    const std::string in = machine ? " in HKEY_LOCAL_MACHINE" : "";
    if (hr == S_OK)
        result.lines = {name + ": changed to " + now + in + " (was " +
                        DisplayValue(*entry, before.text) + (before.source ? "" : ", the default") +
                        ")"};
    else
        result.lines = {name + ": already " + now + in + ", nothing written"};
    if (machine && entry->scope == ScopeUser) {
        const StoredSetting after = ReadStoredSetting(*entry);
        if (after.source == Hive::User)
            result.lines.push_back("note: this user's own value " +
                                   DisplayValue(*entry, after.text) +
                                   " still hides it; users without one read the new value");
    }
    return result;
}

}  // namespace

extern const CommandRow kGetCommand = {
    "get",
    "A setting's value as an application reads it: the user hive, then the machine hive, then "
    "the default. Stores nothing (an application's first read stores the default; get does not).",
    [](CLI::App& command) -> std::function<Result()> {
        auto setting = std::make_shared<std::string>();
        auto verbose = std::make_shared<bool>(false);
        command.add_option("SETTING", *setting, kSettingHelp)->required();
        command.add_flag("--verbose,-v", *verbose, "Say where the value comes from");
        return [setting, verbose] { return RunGet(*setting, *verbose); };
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
        auto machine = std::make_shared<bool>(false);
        command.add_option("VALUE", *value, "The new value")->required();
        command.add_flag("--machine", *machine,
                         "Write the machine hive: the value every user without one of his own "
                         "reads (needs write access to it)");
        return [setting, value, machine] { return RunSet(*setting, *value, *machine); };
    }};

}  // namespace qelcli
