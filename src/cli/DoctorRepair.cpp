// qelconfig doctor --repair: each damaged hive moved aside and rebuilt from what can be read.
// A foreign database at a hive's path is reported and left alone: it may be another program's
// data put there by mistake, and only its owner can tell.
#include "DoctorRepair.h"

#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "Output.h"
#include "Registry.h"
#include "Utf8.h"

#if !defined(_WIN32)
#include "portable/QelHiveRepair.h"
#endif

namespace qelcli {

namespace {

#if !defined(_WIN32)
// The registry's report on one hive, with what the call returned.
struct HiveOutcome {
    LSTATUS status = ERROR_SUCCESS;
    QelHiveRepairReport report;
};

HiveOutcome Call(Hive hive, DWORD flags) {
    HiveOutcome outcome;
    outcome.status = QelRegRepairHive(RootOf(hive), flags, &outcome.report);
    return outcome;
}

// The state's name in the tool's output, text and JSON; empty when the call failed first.
const char* StateName(QelHiveState state) {
    switch (state) {
        case QelHiveState::Unknown:
            return "";
        case QelHiveState::Missing:
            return "missing";
        case QelHiveState::Healthy:
            return "healthy";
        case QelHiveState::Damaged:
            return "damaged";
        case QelHiveState::Foreign:
            return "foreign";
        case QelHiveState::Refused:
            return "refused";
        case QelHiveState::Unavailable:
            return "unavailable";
        case QelHiveState::Interrupted:
            return "interrupted";
    }
    return "";
}

std::string Where(Hive hive, const std::u16string& key, const std::u16string& name, bool isValue) {
    std::string text = HiveName(hive);
    if (!key.empty()) text += "\\" + Printable(key);
    if (isValue) text += " \"" + Printable(name) + "\"";
    return text;
}

// Whether the hive is as it should be after the repair.
bool Fine(const HiveOutcome& outcome) {
    const QelHiveRepairReport& report = outcome.report;
    if (outcome.status != ERROR_SUCCESS || !report.leftovers.empty()) return false;
    switch (report.state) {
        case QelHiveState::Missing:
        case QelHiveState::Healthy:
        case QelHiveState::Interrupted:
            return true;
        case QelHiveState::Damaged:
            return report.lost.empty() && report.unreadable.empty();
        default:
            return false;
    }
}

std::string Action(const HiveOutcome& outcome) {
    const bool done = outcome.status == ERROR_SUCCESS;
    switch (outcome.report.state) {
        case QelHiveState::Interrupted:
            return done ? "finished" : "failed";
        case QelHiveState::Missing:
        case QelHiveState::Healthy:
            return "none";
        default:
            break;
    }
    if (!outcome.report.moved.empty()) return done ? "repaired" : "moved";
    if (outcome.report.state == QelHiveState::Foreign ||
        outcome.report.state == QelHiveState::Refused)
        return "left";
    return "failed";
}

std::string Why(const HiveOutcome& outcome) {
    if (outcome.status == ERROR_SUCCESS) return "";
    if (outcome.report.state == QelHiveState::Foreign)
        return "the file is a database of another program or format version; it is left where "
               "it is (move it away yourself if it is not needed)";
    if (outcome.report.state == QelHiveState::Refused)
        return "the hive is refused for its files, not damaged: it is left as it is";
    if (outcome.status == ERROR_BUSY)
        return "the file changed while it was being repaired (another program is using it); "
               "try again when it is not in use";
    return "not repaired: " + StatusText(outcome.status);
}

void Describe(Hive hive, const std::string& file, const HiveOutcome& outcome,
              std::vector<std::string>& lines) {
    const QelHiveRepairReport& report = outcome.report;
    const auto Add = [&lines](std::string line) { lines.push_back(std::move(line)); };
    const std::string head = std::string(HiveName(hive)) + " (" + file + ")";
    for (const std::string& name : report.removed)
        Add(head + ": removed what an interrupted run left: " + name);
    for (const std::string& name : report.leftovers)
        Add(head + ": left by an interrupted run and still in use, or not yours: " + name);
    if (report.state == QelHiveState::Missing) return Add(head + ": no file, nothing to repair");
    if (report.state == QelHiveState::Healthy) return Add(head + ": healthy, left as it is");
    if (report.state == QelHiveState::Interrupted && outcome.status == ERROR_SUCCESS)
        Add(head + ": finished the interrupted repair");
    std::string line = head + ": " + StateName(report.state);
    for (const std::string& detail : report.details) line += ": " + detail;
    Add(line);
    for (const std::string& name : report.moved) Add("  moved aside: " + name);
    if (report.replaced) {
        Add(report.rebuilt.empty()
                ? "  nothing could be saved; no new hive was made (the next write makes one)"
                : "  rebuilt with " + std::to_string(report.savedKeys) + " key(s) and " +
                      std::to_string(report.savedValues) + " value(s)");
    }
    for (const QelHiveRepairLoss& loss : report.lost)
        Add(std::string("  lost ") + (loss.isValue ? "value " : "key ") +
            Where(hive, loss.key, loss.name, loss.isValue) + ": " + loss.reason);
    for (const std::string& text : report.unreadable) Add("  lost: " + text);
}

nlohmann::json ToJson(Hive hive, const std::string& file, const HiveOutcome& outcome) {
    const QelHiveRepairReport& report = outcome.report;
    nlohmann::json lost = nlohmann::json::array();
    for (const QelHiveRepairLoss& loss : report.lost)
        lost.push_back({{"key", ToUtf8(loss.key)},
                        {"value", loss.isValue ? nlohmann::json(ToUtf8(loss.name)) : nullptr},
                        {"reason", loss.reason}});
    const std::string why = Why(outcome);
    return {{"hive", HiveName(hive)},
            {"file", file},
            {"state", StateName(report.state)},
            {"detail", report.details},
            {"action", Action(outcome)},
            {"error", why.empty() ? nlohmann::json() : nlohmann::json(why)},
            {"movedTo", report.moved},
            {"rebuilt", report.rebuilt.empty() ? nlohmann::json() : nlohmann::json(report.rebuilt)},
            {"saved", {{"keys", report.savedKeys}, {"values", report.savedValues}}},
            {"lost", lost},
            {"unreadable", report.unreadable},
            {"leftovers", report.leftovers},
            {"removed", report.removed}};
}
#endif

}  // namespace

HiveFileCheck CheckHiveFile([[maybe_unused]] Hive hive) {
    HiveFileCheck check;
#if !defined(_WIN32)
    HiveOutcome outcome = Call(hive, QELREPAIR_CHECK_ONLY);
    check.leftovers = std::move(outcome.report.leftovers);
    check.damaged = outcome.report.state == QelHiveState::Damaged;
    check.details = std::move(outcome.report.details);
#endif
    return check;
}

Result RunDoctorRepair() {
#if defined(_WIN32)
    return Refused(
        "--repair rebuilds the hive files of the portable registry; the Windows registry is not "
        "repaired by this tool");
#else
    bool allFine = true;
    bool anyRepaired = false;
    Result result;
    nlohmann::json hives = nlohmann::json::array();
    for (Hive hive : kHives) {
        const HiveHealth health = CheckHive(hive);
        const std::string& file = health.file;
        const HiveOutcome outcome = Call(hive, 0);
        allFine = allFine && Fine(outcome);
        anyRepaired = anyRepaired || !outcome.report.moved.empty();
        hives.push_back(ToJson(hive, file, outcome));
        Describe(hive, file, outcome, result.lines);
        if (const std::string why = Why(outcome); !why.empty())
            Warn(std::string(HiveName(hive)) + ": " + why);
        // A refused hive is not rebuilt: its owner decides; here is how.
        if (outcome.report.state == QelHiveState::Refused && !health.problem.empty())
            Warn(std::string(HiveName(hive)) + ": " + health.problem);
    }
    result.data = {{"repaired", allFine}, {"hives", hives}};
    result.closing = {!allFine      ? "not everything could be saved or repaired"
                      : anyRepaired ? "repaired, nothing lost"
                                    : "no hive needed repair"};
    result.code = allFine ? ExitCode::Ok : ExitCode::Failed;
    return result;
#endif
}

}  // namespace qelcli
