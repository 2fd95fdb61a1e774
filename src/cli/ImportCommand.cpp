// qelconfig import: applies a .reg file to the settings, all or nothing. Every line is checked
// and every change planned before anything is written; each hive's changes are then applied at
// once (see ApplyChanges).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "Command.h"
#include "FileBytes.h"
#include "ImportPlan.h"
#include "Output.h"
#include "RegFile.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

// Far more than the settings' values take in any form (a few hundred kilobytes), and a bound on
// what a file, a pipe or a device such as /dev/zero can make the tool hold: about the file's size
// once read, plus the one line being checked.
constexpr std::uint64_t kMaxRegFileBytes = std::uint64_t{64} << 20;

std::string Shown(const std::optional<RawValue>& value, const char* absent) {
    if (!value) return absent;
    if (value->type != REG_SZ) return "(" + RegTypeName(value->type) + " data)";
    return "\"" + Printable(TextOf(*value)) + "\"";
}

nlohmann::json JsonOf(const std::optional<RawValue>& value) {
    if (!value) return nullptr;
    if (value->type != REG_SZ) return {{"type", RegTypeName(value->type)}};
    return ToUtf8(TextOf(*value));
}

std::string Where(const PlannedChange& change) {
    std::string where = std::string(HiveName(change.hive)) + "  ";
    if (change.setting != nullptr) return where + ToUtf8(change.setting->keyPath);
    return where + ToUtf8(change.key) + "\\" + ToUtf8(change.name);
}

// Applies the changes hive by hive, each hive's all at once (see ApplyChanges). When the second
// hive refuses, the first one's changes are undone the same way; only a kill between the two
// commits can leave one hive imported and the other not.
bool Apply(const ImportPlan& plan) {
    std::vector<std::pair<Hive, std::vector<ValueChange>>> perHive;
    std::vector<std::vector<const PlannedChange*>> planned;
    for (const PlannedChange& change : plan.changes) {
        auto it = std::find_if(perHive.begin(), perHive.end(),
                               [&change](const auto& entry) { return entry.first == change.hive; });
        if (it == perHive.end()) {
            perHive.push_back({change.hive, {}});
            planned.emplace_back();
            it = perHive.end() - 1;
        }
        it->second.push_back({change.key, change.name, change.before, change.after});
        planned[static_cast<size_t>(it - perHive.begin())].push_back(&change);
    }
    for (size_t h = 0; h < perHive.size(); ++h) {
        const auto& [hive, changes] = perHive[h];
        size_t failed = 0;
        size_t unrestored = 0;
        const LSTATUS rc = ApplyChanges(hive, changes, &failed, &unrestored);
        if (rc == ERROR_SUCCESS) continue;
        const PlannedChange* at = failed < planned[h].size() ? planned[h][failed] : nullptr;
        std::string reason = "nothing imported: the store refused the changes to " +
                             DescribeHive(hive) + ": " + StatusText(rc);
        if (at != nullptr) reason += " (line " + std::to_string(at->line) + ", " + Where(*at) + ")";
        for (size_t undo = h; undo-- > 0;) {
            size_t ignored = 0;
            size_t lost = 0;
            if (ApplyChanges(perHive[undo].first, Reversed(perHive[undo].second), &ignored,
                             &lost) != ERROR_SUCCESS)
                lost = perHive[undo].second.size();
            unrestored += lost;
        }
        if (unrestored > 0)
            reason += "; " + std::to_string(unrestored) +
                      " value(s) already written could not be put back";
        Refuse(reason);
        return false;
    }
    // Only empty keys go here, after the values: a kill before it leaves keys without values,
    // which read as nothing stored.
    for (const auto& [hive, key] : plan.deletedKeys) DeleteEmptyKeys(hive, key);
    return true;
}

Result RunImport(const std::string& file, bool dryRun) {
    std::string reason;
    const std::optional<std::string> bytes = file == "-"
                                                 ? ReadStandardInput(kMaxRegFileBytes, reason)
                                                 : ReadFileBytes(file, kMaxRegFileBytes, reason);
    if (!bytes) return Refused("nothing imported: " + reason);
    // Bad lines are printed as they are found: kept, they could cost many times the file.
    const ImportPlan plan = PlanImport(*bytes, [&](const regfile::Error& error) {
        Warn(file + ":" + std::to_string(error.line) + ": " + error.reason);
    });
    if (plan.errors > 0)
        return Refused("nothing imported: " + std::to_string(plan.errors) + " bad line(s) in " +
                       file);
    // A hive that cannot be read looks empty: the plan's old values would be wrong, and the
    // writes would fail or land where nothing can read them.
    if (!WarnUnreadableHives(plan.hives, "nothing imported").empty())
        return Refused("nothing imported: " + file + " names a hive that cannot be read");
    // Printed once written: a refused import shows no change as if it had been made.
    if (!dryRun && !Apply(plan)) return Result::Failed();
    Result result;
    nlohmann::json changes = nlohmann::json::array();
    for (const PlannedChange& change : plan.changes) {
        changes.push_back(
            {{"hive", HiveName(change.hive)},
             {"key", ToUtf8(change.key)},
             {"name", ToUtf8(change.name)},
             {"setting", change.setting ? nlohmann::json(change.setting->id) : nlohmann::json()},
             {"line", change.line},
             {"before", JsonOf(change.before)},
             {"after", JsonOf(change.after)}});
        result.lines.push_back(Where(change) + ": " + Shown(change.before, "(not stored)") +
                               " -> " + Shown(change.after, "(deleted)"));
    }
    result.data = {{"file", file},
                   {"dryRun", dryRun},
                   {"changed", plan.changes.size()},
                   {"unchanged", plan.unchanged},
                   {"changes", changes}};
    const std::string counts = std::to_string(plan.changes.size()) + " value(s) " +
                               (dryRun ? "would change" : "changed") + ", " +
                               std::to_string(plan.unchanged) + " unchanged";
    result.closing = {dryRun ? counts + "; dry run, nothing written" : counts};
    return result;
}

}  // namespace

extern const CommandRow kImportCommand = {
    "import",
    "Applies a .reg file (version 5 in UTF-16LE or UTF-8, or REGEDIT4) to the settings, all or "
    "nothing. Every line must name a setting's value in the hive its scope reads, as text valid "
    "for its type and allowed values; otherwise nothing is written. Each value is stored as set "
    "stores it. Prints each change once written.",
    [](CLI::App& command) -> std::function<Result()> {
        auto file = std::make_shared<std::string>();
        auto dryRun = std::make_shared<bool>(false);
        command
            .add_option("FILE", *file,
                        "The .reg file, or - for standard input; at most " +
                            SizeText(kMaxRegFileBytes) +
                            " (a pipe or device is read up to that much)")
            ->required();
        command.add_flag("--dry-run", *dryRun, "Print the old and new values, write nothing");
        return [file, dryRun] {
            try {
                return RunImport(*file, *dryRun);
            } catch (const std::bad_alloc&) {
                // Only checking allocates much, and nothing is written before it ends.
                return Refused("nothing imported: not enough memory to check " + *file);
            }
        };
    }};

}  // namespace qelcli
