// qelconfig info: where the settings are kept and in what state: each hive's file, its owner,
// mode and size, its write-ahead log, the read-only switch and the sync mode.
#include <cstdlib>

#include "Command.h"
#include "Output.h"
#include "Registry.h"

#if !defined(_WIN32)
#include <pwd.h>
#include <sys/stat.h>

#include "portable/QelHiveInfo.h"
#endif

namespace qelcli {

namespace {

#if !defined(_WIN32)
std::string OwnerName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// A file beside the hive, as {"size": bytes} or null when there is none.
nlohmann::json Companion(const std::string& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return nullptr;
    return {{"size", static_cast<std::uint64_t>(st.st_size)}};
}
#endif

nlohmann::json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

nlohmann::json HiveState(Hive hive) {
    const HiveHealth health = CheckHive(hive);
    nlohmann::json state = {
        {"hive", HiveName(hive)},         {"file", TextOrNull(health.file)},
        {"readOnly", health.readOnly},    {"readable", !health.unreadable},
        {"writable", !health.unwritable}, {"problem", TextOrNull(health.problem)},
        {"note", TextOrNull(health.note)}};
#if !defined(_WIN32)
    struct stat st {};
    const bool exists = ::lstat(health.file.c_str(), &st) == 0;
    state["exists"] = exists;
    state["owner"] = exists ? nlohmann::json(OwnerName(st.st_uid)) : nlohmann::json();
    state["mode"] = exists ? nlohmann::json(ModeText(st.st_mode)) : nlohmann::json();
    state["size"] = exists ? nlohmann::json(static_cast<std::uint64_t>(st.st_size)) : nullptr;
    state["wal"] = Companion(health.file + "-wal");
    state["shm"] = Companion(health.file + "-shm");
    DWORD flags = 0;
    char path[4096];
    DWORD size = sizeof path;
    if (QelRegGetHiveInfo(RootOf(hive), path, &size, &flags) == ERROR_SUCCESS)
        state["readOnlySwitch"] = (flags & QELHIVE_READONLY_SWITCH) != 0;
#endif
    return state;
}

Result RunInfo() {
    Result result;
    nlohmann::json hives = nlohmann::json::array();
    for (Hive hive : kHives) hives.push_back(HiveState(hive));
#if defined(_WIN32)
    result.data = {{"registry", "the Windows registry"}, {"hives", hives}};
    for (const auto& hive : hives)
        result.lines.push_back(
            hive["hive"].get<std::string>() + ": the system registry" +
            (hive["readable"] ? "" : ", cannot be read: " + hive["problem"].get<std::string>()));
#else
    const char* sync = std::getenv("QELCONFIG_SYNC");
    const std::string syncMode = sync != nullptr && *sync != 0 ? sync : "normal (the default)";
    result.data = {{"registry", "the portable registry (SQLite hive files)"},
                   {"sync", syncMode},
                   {"hives", hives}};
    result.table = {{"hive"}, {"file"}, {"exists"},   {"owner"},
                    {"mode"}, {"size"}, {"wal.size"}, {"readOnly"}};
    result.tableKey = "hives";
    result.closing.push_back("sync: " + syncMode);
    for (const auto& hive : hives) {
        for (const char* what : {"problem", "note"})
            if (!hive[what].is_null())
                result.closing.push_back(hive["hive"].get<std::string>() + ": " +
                                         hive[what].get<std::string>());
    }
#endif
    return result;
}

}  // namespace

extern const CommandRow kInfoCommand = {
    "info",
    "Where the settings are kept: each hive's file, whether it exists, its owner, mode and size, "
    "its write-ahead log (-wal), whether it is read-only and why, and the sync mode.",
    [](CLI::App&) -> std::function<Result()> { return RunInfo; }};

}  // namespace qelcli
