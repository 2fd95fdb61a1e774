// qelconfig list: every setting and its current value, read by the library's rules but without
// its write-back, which would store the default of each setting it reads.
#include "Command.h"
#include "Output.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

const char* HiveLabel(Hive hive) { return hive == Hive::User ? "user" : "machine"; }

Result RunList() {
    Result result;
    result.data = nlohmann::json::array();
    for (const ConfigEntry* entry : AllSettings()) {
        const StoredSetting stored = ReadStoredSetting(*entry);
        nlohmann::json row = SettingJson(*entry);
        row["value"] = TypedJson(*entry, stored.text);
        row["text"] = ToUtf8(stored.text);
        row["source"] = stored.source ? HiveLabel(*stored.source) : "default";
        nlohmann::json unreadable = nlohmann::json::array();
        if (stored.tooLongInUser) unreadable.push_back(HiveName(Hive::User));
        if (stored.tooLongInMachine) unreadable.push_back(HiveName(Hive::Machine));
        row["tooLongIn"] = unreadable;
        result.data.push_back(std::move(row));
    }
    result.table = {{"id"}, {"key"}, {"type"}, {"scope"}, {"value", true}, {"source"}};
    return result;
}

}  // namespace

extern const CommandRow kListCommand = {
    "list",
    "Every setting: id, key path, type, scope, current value and where it comes from (the user "
    "or the machine hive, or the default). Only reads; stores nothing.",
    [](CLI::App&) -> std::function<Result()> { return RunList; }};

}  // namespace qelcli
