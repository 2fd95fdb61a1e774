// qelconfig reset: deletes stored values, which the library has no call for, so that settings
// read as their defaults again (or, for a user setting, as the machine's value). One setting, or
// every setting below a key path, or all of them; each hive's deletions all or none.
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

struct ResetOptions {
    std::string setting;  // a setting, or a key path prefix ending in '/'
    bool given = false;   // whether SETTING was given (it may be given empty)
    bool all = false;
    bool machine = false;
};

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

struct Selected {
    const ConfigEntry* entry;
    Hive hive;
};

// The settings the command line names, each with the hive it resets; null on a refusal.
std::optional<std::vector<Selected>> Select(const ResetOptions& options) {
    std::vector<Selected> selected;
    const bool prefix = !options.setting.empty() && options.setting.back() == '/';
    if (!options.all && !prefix) {
        const ConfigEntry* entry = FindSettingOrComplain(options.setting);
        if (entry == nullptr) return std::nullopt;
        if (entry->scope == ScopeMachineReadOnly && !options.machine) {
            Refuse(SettingName(*entry) +
                   " is read-only: the library never writes it; its machine-wide value is reset "
                   "with --machine");
            return std::nullopt;
        }
        selected.push_back({entry, options.machine ? Hive::Machine : LocationOf(*entry).hive});
        return selected;
    }
    const std::optional<std::u16string> wanted = FromUtf8(options.setting);
    if (!wanted) {
        Refuse("the key path is not valid UTF-8");
        return std::nullopt;
    }
    // Many settings at once: the user's own values, or with --machine the machine hive's; a
    // machine setting's value is reset only with --machine.
    for (const ConfigEntry* entry : AllSettings()) {
        if (!options.all && !StartsWithIgnoringCase(entry->keyPath, *wanted)) continue;
        if (!options.machine && entry->scope != ScopeUser) continue;
        selected.push_back({entry, options.machine ? Hive::Machine : Hive::User});
    }
    if (selected.empty() && !options.all) {
        Refuse("no setting's key path starts with '" + options.setting + "'");
        return std::nullopt;
    }
    return selected;
}

Result RunReset(const ResetOptions& options) {
    if (options.all == options.given) {
        Result usage = Refused(options.all ? "give a SETTING or --all, not both"
                                           : "give a SETTING, a key path ending in / or --all");
        usage.code = ExitCode::Usage;
        return usage;
    }
    const std::optional<std::vector<Selected>> selected = Select(options);
    if (!selected) return Result::Failed();
    const Hive hive = selected->empty() ? Hive::User : selected->front().hive;
    if (!WarnUnreadableHives({hive}, "nothing reset").empty())
        return Refused("nothing reset: " + DescribeHive(hive) + " cannot be read");

    std::vector<ValueChange> changes;
    std::vector<const ConfigEntry*> removed;
    for (const Selected& item : *selected) {
        const Location where = LocationOf(*item.entry);
        RawValue old;
        const LSTATUS rc = ReadValue(item.hive, where.composedKey, where.valueName, old);
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        if (rc != ERROR_SUCCESS)
            return Refused("nothing reset: cannot read " + SettingName(*item.entry) + " in " +
                           DescribeHive(item.hive) + ": " + StatusText(rc));
        changes.push_back({where.composedKey, where.valueName, old, std::nullopt});
        removed.push_back(item.entry);
    }
    size_t failed = 0;
    size_t unrestored = 0;
    if (!changes.empty()) {
        if (const LSTATUS rc = ApplyChanges(hive, changes, &failed, &unrestored);
            rc != ERROR_SUCCESS) {
            std::string reason = "nothing reset: the store refused to delete from " +
                                 DescribeHive(hive) + ": " + StatusText(rc);
            if (unrestored > 0)
                reason += "; " + std::to_string(unrestored) +
                          " value(s) already deleted could not be put back";
            return Refused(reason);
        }
    }

    Result result;
    nlohmann::json rows = nlohmann::json::array();
    for (size_t i = 0; i < removed.size(); ++i) {
        const ConfigEntry& entry = *removed[i];
        const StoredSetting after = ReadStoredSetting(entry);
        const std::string reads =
            "reads " + DisplayValue(entry, after.text) +
            (after.source ? std::string(" from ") + HiveName(*after.source) : " (the default)");
        rows.push_back({{"id", entry.id},
                        {"key", ToUtf8(entry.keyPath)},
                        {"removed", TypedJson(entry, TextOf(*changes[i].before))},
                        {"value", TypedJson(entry, after.text)},
                        {"source", after.source ? HiveName(*after.source) : "default"}});
        result.lines.push_back(SettingName(entry) + ": removed " +
                               DisplayValue(entry, TextOf(*changes[i].before)) + " from " +
                               HiveName(hive) + "; now " + reads);
    }
    if (removed.empty() && selected->size() == 1) {
        const ConfigEntry& entry = *selected->front().entry;
        const StoredSetting now = ReadStoredSetting(entry);
        result.lines.push_back(
            SettingName(entry) + ": nothing stored in " + HiveName(hive) + "; reads " +
            DisplayValue(entry, now.text) +
            (now.source ? std::string(" from ") + HiveName(*now.source) : " (the default)"));
    } else if (selected->size() > 1 || options.all) {
        result.closing.push_back(std::to_string(removed.size()) + " value(s) removed from " +
                                 HiveName(hive));
    }
    result.data = {{"hive", HiveName(hive)}, {"removed", rows}};
    return result;
}

}  // namespace

extern const CommandRow kResetCommand = {
    "reset",
    "Deletes stored values so that settings read as their defaults again (or, for a user "
    "setting, as the machine's value): one SETTING from the hive its scope writes, or every "
    "setting below a key path ending in / (UI/ButtonStylesDlg/), or --all, from the user hive. "
    "With --machine, the machine hive's values instead. All or nothing.",
    [](CLI::App& command) -> std::function<Result()> {
        auto options = std::make_shared<ResetOptions>();
        CLI::Option* setting =
            command.add_option("SETTING", options->setting,
                               "Id, key path or enumerator name; or a key path ending in / for "
                               "every setting below it");
        command.add_flag("--all", options->all, "Every setting");
        command.add_flag("--machine", options->machine,
                         "Delete from the machine hive (needs write access to it)");
        return [options, setting] {
            options->given = setting->count() > 0;
            return RunReset(*options);
        };
    }};

}  // namespace qelcli
