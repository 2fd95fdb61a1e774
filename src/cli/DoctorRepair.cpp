// qelconfig doctor --repair: each damaged hive moved aside and rebuilt from what can be read.
// A foreign database at a hive's path is reported and left alone: it may be another program's
// data put there by mistake, and only its owner can tell.
#include "DoctorRepair.h"

#include <cstring>

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
void Collect(void* context, const char* what, const char* text, LPCWSTR key, LPCWSTR name) {
    auto& report = *static_cast<HiveRepairReport*>(context);
    const std::string value = text == nullptr ? "" : text;
    const std::string_view item = what;
    if (item == "state") {
        report.state = value;
    } else if (item == "detail") {
        report.details.push_back(value);
    } else if (item == "moved") {
        report.moved.push_back(value);
    } else if (item == "rebuilt") {
        report.rebuiltNoted = true;
        report.rebuilt = value;
    } else if (item == "saved-keys") {
        report.savedKeys = std::stoul(value);
    } else if (item == "saved-values") {
        report.savedValues = std::stoul(value);
    } else if (item == "lost-key" || item == "lost-value") {
        report.lost.push_back({item == "lost-value", key == nullptr ? u"" : key,
                               name == nullptr ? u"" : name, value});
    } else if (item == "unreadable") {
        report.unreadable.push_back(value);
    } else if (item == "leftover") {
        report.leftovers.push_back(value);
    } else if (item == "removed") {
        report.removed.push_back(value);
    }
}

HiveRepairReport Call(Hive hive, DWORD flags) {
    HiveRepairReport report;
    report.status = QelRegRepairHive(RootOf(hive), flags, Collect, &report);
    return report;
}

std::string Where(Hive hive, const std::u16string& key, const std::u16string& name, bool isValue) {
    std::string text = HiveName(hive);
    if (!key.empty()) text += "\\" + Printable(key);
    if (isValue) text += " \"" + Printable(name) + "\"";
    return text;
}

// Whether the hive is as it should be after the repair.
bool Fine(const HiveRepairReport& report) {
    if (report.status != ERROR_SUCCESS) return false;
    if (report.state == "missing" || report.state == "healthy" || report.state == "interrupted")
        return report.leftovers.empty();
    return report.state == "damaged" && report.Complete() && report.leftovers.empty();
}

std::string Action(const HiveRepairReport& report) {
    if (report.state == "interrupted")
        return report.status == ERROR_SUCCESS ? "finished" : "failed";
    if (report.state == "missing" || report.state == "healthy") return "none";
    if (!report.moved.empty()) return report.status == ERROR_SUCCESS ? "repaired" : "moved";
    if (report.state == "foreign" || report.state == "refused") return "left";
    return "failed";
}

std::string Why(const HiveRepairReport& report) {
    if (report.status == ERROR_SUCCESS) return "";
    if (report.state == "foreign")
        return "the file is a database of another program or format version; it is left where "
               "it is (move it away yourself if it is not needed)";
    if (report.state == "refused")
        return "the hive is refused for its files, not damaged: it is left as it is";
    if (report.status == ERROR_BUSY)
        return "the file changed while it was being repaired (another program is using it); "
               "try again when it is not in use";
    return "not repaired: " + StatusText(report.status);
}

void Describe(Hive hive, const std::string& file, const HiveRepairReport& report,
              std::vector<std::string>& lines) {
    const auto Add = [&lines](std::string line) { lines.push_back(std::move(line)); };
    const std::string head = std::string(HiveName(hive)) + " (" + file + ")";
    for (const std::string& name : report.removed)
        Add(head + ": removed what an interrupted run left: " + name);
    for (const std::string& name : report.leftovers)
        Add(head + ": left by an interrupted run and still in use, or not yours: " + name);
    if (report.state == "missing") return Add(head + ": no file, nothing to repair");
    if (report.state == "healthy") return Add(head + ": healthy, left as it is");
    if (report.state == "interrupted" && report.status == ERROR_SUCCESS)
        Add(head + ": finished the interrupted repair");
    std::string line = head + ": " + report.state;
    for (const std::string& detail : report.details) line += ": " + detail;
    Add(line);
    for (const std::string& name : report.moved) Add("  moved aside: " + name);
    if (report.rebuiltNoted) {
        Add(report.rebuilt.empty()
                ? "  nothing could be saved; no new hive was made (the next write makes one)"
                : "  rebuilt with " + std::to_string(report.savedKeys) + " key(s) and " +
                      std::to_string(report.savedValues) + " value(s)");
    }
    for (const HiveLoss& loss : report.lost)
        Add(std::string("  lost ") + (loss.isValue ? "value " : "key ") +
            Where(hive, loss.key, loss.name, loss.isValue) + ": " + loss.reason);
    for (const std::string& text : report.unreadable) Add("  lost: " + text);
}

nlohmann::json ToJson(Hive hive, const std::string& file, const HiveRepairReport& report) {
    nlohmann::json lost = nlohmann::json::array();
    for (const HiveLoss& loss : report.lost)
        lost.push_back({{"key", ToUtf8(loss.key)},
                        {"value", loss.isValue ? nlohmann::json(ToUtf8(loss.name)) : nullptr},
                        {"reason", loss.reason}});
    const std::string why = Why(report);
    return {{"hive", HiveName(hive)},
            {"file", file},
            {"state", report.state},
            {"detail", report.details},
            {"action", Action(report)},
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

HiveRepairReport CheckHiveFile([[maybe_unused]] Hive hive) {
#if !defined(_WIN32)
    return Call(hive, QELREPAIR_CHECK_ONLY);
#else
    return {};
#endif
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
        const HiveRepairReport report = Call(hive, 0);
        allFine = allFine && Fine(report);
        anyRepaired = anyRepaired || !report.moved.empty();
        hives.push_back(ToJson(hive, file, report));
        Describe(hive, file, report, result.lines);
        if (const std::string why = Why(report); !why.empty())
            Warn(std::string(HiveName(hive)) + ": " + why);
        // A refused hive is not rebuilt: its owner decides; here is how.
        if (report.state == "refused" && !health.problem.empty())
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
