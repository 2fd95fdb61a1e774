// qelconfig list: every setting and its current value, read by the library's rules but without
// its write-back, which would store the default of each setting it reads.
#include <cctype>

#include "Command.h"
#include "Output.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

const char* HiveLabel(Hive hive) { return hive == Hive::User ? "user" : "machine"; }

struct ListOptions {
    std::string pattern;
    bool changed = false;
    bool stored = false;
    bool wide = false;
};

std::string Folded(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Matches(const ConfigEntry& entry, const std::string& pattern) {
    if (pattern.empty()) return true;
    const std::string wanted = Folded(pattern);
    for (const std::string& field : {std::to_string(entry.id), ToUtf8(entry.keyPath),
                                     ToUtf8(EnumeratorName(entry)), ToUtf8(entry.description)})
        if (Folded(field).find(wanted) != std::string::npos) return true;
    return false;
}

Result RunList(const ListOptions& options) {
    WarnUnreadableHives({Hive::User, Hive::Machine},
                        "its values are not shown, and the settings read past it");
    Result result;
    result.data = nlohmann::json::array();
    for (const ConfigEntry* entry : AllSettings()) {
        if (!Matches(*entry, options.pattern)) continue;
        const StoredSetting stored = ReadStoredSetting(*entry);
        nlohmann::json row = SettingJson(*entry);
        row["value"] = TypedJson(*entry, stored.text);
        if (options.stored && !stored.source) continue;
        if (options.changed && row["value"] == row["default"]) continue;
        row["text"] = ToUtf8(stored.text);
        row["source"] = stored.source ? HiveLabel(*stored.source) : "default";
        nlohmann::json unreadable = nlohmann::json::array();
        if (stored.tooLongInUser) unreadable.push_back(HiveName(Hive::User));
        if (stored.tooLongInMachine) unreadable.push_back(HiveName(Hive::Machine));
        row["tooLongIn"] = unreadable;
        result.data.push_back(std::move(row));
    }
    // The scope is in the JSON form and in describe: a console line keeps its room for the value.
    result.table = {{"id"}, {"key"}, {"type"}, {"value", true, true}, {"source"}};
    result.wide = options.wide;
    return result;
}

}  // namespace

extern const CommandRow kListCommand = {
    "list",
    "Every setting: id, key path, type, scope, current value and where it comes from (the user "
    "or the machine hive, or the default). Only reads; stores nothing.",
    [](CLI::App& command) -> std::function<Result()> {
        auto options = std::make_shared<ListOptions>();
        command.add_option("PATTERN", options->pattern,
                           "Only settings whose id, key path, enumerator name or description "
                           "holds this text (any letter case)");
        command.add_flag("--changed", options->changed,
                         "Only settings whose value differs from the default");
        command.add_flag("--stored", options->stored,
                         "Only settings with a value stored in either hive");
        command.add_flag("--wide", options->wide,
                         "Values and key paths in full, however wide the table gets");
        return [options] { return RunList(*options); };
    }};

}  // namespace qelcli
