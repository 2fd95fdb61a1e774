// qelconfig list: every setting and its current value, read without the library, which would
// store the default of each setting it reads.
#include <cstdio>
#include <memory>

#include "Commands.h"
#include "Output.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

const char* HiveLabel(Hive hive) { return hive == Hive::User ? "user" : "machine"; }

std::string SourceName(const StoredSetting& stored) {
    if (stored.source) return HiveLabel(*stored.source);
    if (stored.tooLongInUser || stored.tooLongInMachine) return "default (stored text too long)";
    return "default";
}

ExitCode RunList(bool json) {
    nlohmann::json rows = nlohmann::json::array();
    if (!json)
        std::printf("%4s  %-38s %-5s %-8s %-24s %s\n", "id", "key path", "type", "scope", "value",
                    "stored");
    for (const ConfigEntry* entry : AllSettings()) {
        const StoredSetting stored = ReadStoredSetting(*entry);
        if (json) {
            nlohmann::json row = SettingJson(*entry);
            row["value"] = TypedJson(*entry, stored.text);
            row["text"] = ToUtf8(stored.text);
            row["source"] = stored.source ? HiveLabel(*stored.source) : "default";
            nlohmann::json unreadable = nlohmann::json::array();
            if (stored.tooLongInUser) unreadable.push_back(HiveName(Hive::User));
            if (stored.tooLongInMachine) unreadable.push_back(HiveName(Hive::Machine));
            row["tooLongIn"] = unreadable;
            rows.push_back(std::move(row));
            continue;
        }
        const std::string key = ToUtf8(entry->keyPath);
        const std::string value = DisplayValue(*entry, stored.text);
        std::printf("%4d  %-38s %-5s %-8s %-24s %s\n", entry->id, key.c_str(),
                    TypeName(TypeOf(*entry)), ScopeName(entry->scope), value.c_str(),
                    SourceName(stored).c_str());
    }
    if (json) PrintJson(rows);
    std::fflush(stdout);
    return ExitCode::Ok;
}

}  // namespace

void AddListCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "list",
        "Every setting: id, key path, type, scope, current value and whether it is stored (in "
        "the user or the machine hive) or the default. Only reads; stores nothing.");
    auto json = std::make_shared<bool>(false);
    command->add_flag("--json", *json, "Print a JSON array instead of a table");
    command->callback([json, &result] { result = RunList(*json); });
}

}  // namespace qelcli
