// qelconfig doctor: the stored values that the library would misread or never read, and hives
// it cannot read at all.
#include <memory>

#include "Catalogue.h"
#include "Command.h"
#include "DoctorRepair.h"
#include "Output.h"
#include "Registry.h"
#include "SettingText.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

nlohmann::json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

struct Problem {
    Hive hive;
    std::string kind;
    std::u16string key;  // empty for a problem with the whole hive
    std::u16string name;
    const ConfigEntry* setting = nullptr;
    std::string detail;
};

// Problems with a whole hive name no key, and those with a key the walk skipped no value.
bool NamesValue(const Problem& problem) {
    return !problem.key.empty() && problem.kind != "unreadable-key";
}

void CheckValue(Hive hive, const std::u16string& key, const NamedValue& value,
                std::vector<Problem>& problems) {
    const std::u16string_view below = std::u16string_view(key).substr(AppKey().size());
    const ConfigEntry* setting = FindSettingAt(below.empty() ? below : below.substr(1), value.name);
    Problem problem{hive, "", key, value.name, setting, ""};
    const auto report = [&](const char* kind, std::string detail) {
        problem.kind = kind;
        problem.detail = std::move(detail);
        problems.push_back(problem);
    };
    if (setting == nullptr) return report("unowned", "no setting owns this value");
    if (hive == Hive::User && setting->scope != ScopeUser)
        return report("wrong-hive",
                      "a machine setting: the library reads it from HKEY_LOCAL_MACHINE only");
    const std::u16string text = TextOf(value.value);
    if (value.value.data.size() > kMaxReadableBytes)
        return report("too-long", std::to_string(value.value.data.size()) +
                                      " bytes; the library reads at most " +
                                      std::to_string(kMaxReadableBytes) +
                                      " and uses the default instead");
    if (value.value.type != REG_SZ)
        return report("not-text", "stored as " + RegTypeName(value.value.type) +
                                      ", not REG_SZ; the library reads its bytes as \"" +
                                      Printable(text) + "\"");
    const std::string bad = CheckSettingText(*setting, text).refusal;
    if (bad.empty()) return;
    report(IsAllowedText(*setting, text) ? "invalid" : "not-allowed",
           bad + "; the library reads " + Printable(ReadAsLibrary(*setting, text)));
}

Result RunDoctor() {
    std::vector<Problem> problems;
    nlohmann::json hives = nlohmann::json::array();
    for (Hive hive : kHives) {
        const HiveHealth health = CheckHive(hive);
        hives.push_back({{"hive", HiveName(hive)},
                         {"file", TextOrNull(health.file)},
                         {"readOnly", health.readOnly},
                         {"missing", health.missing},
                         {"problem", TextOrNull(health.problem)},
                         {"note", TextOrNull(health.note)}});
        if (!health.note.empty()) Warn(std::string(HiveName(hive)) + ": " + health.note);
        if (!health.problem.empty()) {
            problems.push_back({hive, "hive", u"", u"", nullptr, health.problem});
            continue;
        }
        // Before any value is read: a bad page in the middle of a file passes the registry's
        // own check when it opens the hive, and reads may never touch it.
        const HiveFileCheck full = CheckHiveFile(hive);
        for (const std::string& leftover : full.leftovers)
            problems.push_back({hive, "leftover", u"", u"", nullptr,
                                leftover +
                                    " was left by an interrupted run; qelconfig doctor --repair "
                                    "removes it"});
        if (full.damaged) {
            std::string detail = "the file is damaged";
            for (const std::string& text : full.details) detail += ": " + text;
            problems.push_back({hive, "hive", u"", u"", nullptr,
                                detail + "; qelconfig doctor --repair rebuilds it"});
            hives.back()["problem"] = detail;
            continue;
        }
        TreeVisit visit;
        visit.enter = [&](const std::u16string& key, std::vector<NamedValue>& values) {
            for (const NamedValue& value : values) CheckValue(hive, key, value, problems);
        };
        std::vector<SkippedKey> skipped;
        if (const LSTATUS rc = WalkTree(hive, AppKey(), visit, skipped); rc != ERROR_SUCCESS) {
            problems.push_back({hive, "hive", u"", u"", nullptr, "cannot list: " + StatusText(rc)});
            continue;
        }
        // What the walk could not enter was not checked, and the library may not see it either.
        for (const SkippedKey& key : skipped)
            problems.push_back({hive, "unreadable-key", key.parent, u"", nullptr,
                                "sub-key \"" + Printable(key.name) + "\": " + SkipReason(key) +
                                    ", nor anything below it"});
    }

    Result result;
    nlohmann::json list = nlohmann::json::array();
    for (const Problem& p : problems) {
        list.push_back(
            {{"hive", HiveName(p.hive)},
             {"kind", p.kind},
             {"key", TextOrNull(ToUtf8(p.key))},
             {"value", NamesValue(p) ? nlohmann::json(ToUtf8(p.name)) : nlohmann::json()},
             {"setting", p.setting ? nlohmann::json(p.setting->id) : nlohmann::json()},
             {"detail", p.detail}});
        std::string where = HiveName(p.hive);
        if (!p.key.empty()) where += "\\" + ToUtf8(p.key);
        if (NamesValue(p)) where += " \"" + Printable(p.name) + "\"";
        if (p.setting != nullptr) where += " (setting " + std::to_string(p.setting->id) + ")";
        result.lines.push_back(where + ": " + p.kind + ": " + p.detail);
    }
    result.data = {{"clean", problems.empty()}, {"hives", hives}, {"problems", list}};
    result.closing = {problems.empty() ? "no problems found"
                                       : std::to_string(problems.size()) + " problem(s) found"};
    result.code = problems.empty() ? ExitCode::Ok : ExitCode::Failed;
    return result;
}

}  // namespace

extern const CommandRow kDoctorCommand = {
    "doctor",
    "Reports stored values the library would misread or never read: text not valid for the "
    "type or outside the allowed values, non-text values, text too long to read back, values no "
    "setting owns, and unreadable hives. Exit code 0 when there are none.",
    [](CLI::App& command) -> std::function<Result()> {
        auto repair = std::make_shared<bool>(false);
        command.add_flag("--repair", *repair,
                         "Move each damaged hive file aside (as <file>.corrupt-<UTC time>, with "
                         "its -wal and -shm) and rebuild it from every key and value that can "
                         "still be read; report what was lost. Exit code 0 when nothing was lost "
                         "or nothing needed repair. Not on Windows");
        return [repair] { return *repair ? RunDoctorRepair() : RunDoctor(); };
    }};

}  // namespace qelcli
