// qelconfig import: applies a .reg file to the settings, all or nothing. Every line is checked
// before anything is written; if a write then fails, the values already written are put back.
#include <cstdint>
#include <memory>
#include <new>

#include "Commands.h"
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
    if (value->type != REG_SZ) return "(type " + std::to_string(value->type) + " data)";
    return "\"" + Printable(TextOf(*value)) + "\"";
}

std::string Where(const PlannedChange& change) {
    std::string where = std::string(HiveName(change.hive)) + "  ";
    if (change.setting != nullptr) return where + ToUtf8(change.setting->keyPath);
    return where + ToUtf8(change.key) + "\\" + ToUtf8(change.name);
}

LSTATUS Put(const PlannedChange& change, const std::optional<RawValue>& value) {
    if (value) return WriteValue(change.hive, change.key, change.name, *value);
    const LSTATUS rc = DeleteValue(change.hive, change.key, change.name);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// Writes the changes in order; on a failure puts back what was written and says so.
ExitCode Apply(const ImportPlan& plan) {
    for (size_t done = 0; done < plan.changes.size(); ++done) {
        const PlannedChange& change = plan.changes[done];
        const LSTATUS rc = Put(change, change.after);
        if (rc == ERROR_SUCCESS) continue;
        size_t restored = 0;
        size_t lost = 0;
        for (size_t undo = done; undo-- > 0;)
            (Put(plan.changes[undo], plan.changes[undo].before) == ERROR_SUCCESS ? restored
                                                                                 : lost)++;
        std::string reason = "import failed at line " + std::to_string(change.line) + " (" +
                             Where(change) + "): the store refused the write to " +
                             DescribeHive(change.hive) + ": " + StatusText(rc) + "; restored " +
                             std::to_string(restored) + " value(s) already written";
        if (lost > 0) reason += ", " + std::to_string(lost) + " could not be restored";
        return Refuse(reason);
    }
    for (const auto& [hive, key] : plan.deletedKeys) DeleteEmptyKeys(hive, key);
    return ExitCode::Ok;
}

ExitCode RunImport(const std::string& file, bool dryRun) {
    std::string reason;
    const std::optional<std::string> bytes = ReadFileBytes(file, kMaxRegFileBytes, reason);
    if (!bytes) return Refuse("nothing imported: " + reason);
    // Bad lines are printed as they are found: kept, they could cost many times the file.
    const ImportPlan plan = PlanImport(*bytes, [&](const regfile::Error& error) {
        Warn(file + ":" + std::to_string(error.line) + ": " + error.reason);
    });
    if (plan.errors > 0)
        return Refuse("nothing imported: " + std::to_string(plan.errors) + " bad line(s) in " +
                      file);
    for (const PlannedChange& change : plan.changes)
        PrintLine(Where(change) + ": " + Shown(change.before, "(not stored)") + " -> " +
                  Shown(change.after, "(deleted)"));
    const std::string counts = std::to_string(plan.changes.size()) + " value(s) " +
                               (dryRun ? "would change" : "changed") + ", " +
                               std::to_string(plan.unchanged) + " unchanged";
    if (dryRun) {
        PrintLine(counts + "; dry run, nothing written");
        return ExitCode::Ok;
    }
    const ExitCode applied = Apply(plan);
    if (applied == ExitCode::Ok) PrintLine(counts);
    return applied;
}

}  // namespace

void AddImportCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "import",
        "Applies a .reg file (version 5 in UTF-16LE or UTF-8, or REGEDIT4) to the settings. "
        "Every line must name a setting's value in the hive its scope reads, as text valid for "
        "its type and allowed values; otherwise nothing is written. Prints each change.");
    auto file = std::make_shared<std::string>();
    auto dryRun = std::make_shared<bool>(false);
    command
        ->add_option("FILE", *file,
                     "The .reg file, at most " + SizeText(kMaxRegFileBytes) +
                         " (a pipe or device is read up to that much)")
        ->required();
    command->add_flag("--dry-run", *dryRun, "Print the old and new values, write nothing");
    command->callback([=, &result] {
        try {
            result = RunImport(*file, *dryRun);
        } catch (const std::bad_alloc&) {
            // Only checking allocates much, and nothing is written before it ends.
            result = Refuse("nothing imported: not enough memory to check " + *file);
        }
    });
}

}  // namespace qelcli
