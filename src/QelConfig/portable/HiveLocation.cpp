// File: HiveLocation.cpp
#include "HiveLocation.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace qelplatform {

namespace {

std::string_view Env(EnvLookup env, const char* name) {
    const char* value = env(name);
    return value == nullptr ? std::string_view() : std::string_view(value);
}

std::string HomeDirectory(EnvLookup env) {
    if (auto home = Env(env, "HOME"); !home.empty()) return std::string(home);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr)
        return {};
    return found->pw_dir;
}

// Relative paths are made absolute now, so that the connection cache, keyed by path, is not
// fooled by a later chdir().
std::string Absolute(const std::filesystem::path& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? std::string() : absolute.lexically_normal().string();
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

const char* ProcessEnv(const char* name) { return std::getenv(name); }

std::string HivePath(HiveKind kind, EnvLookup env) {
    if (kind == HiveKind::Machine) {
        auto path = Env(env, "QELCONFIG_MACHINE_HIVE");
        return Absolute(path.empty() ? "/var/lib/qelconfig/machine.hive" : path);
    }
    if (auto path = Env(env, "QELCONFIG_USER_HIVE"); !path.empty()) return Absolute(path);
    // The XDG base directory rules ignore a relative XDG_CONFIG_HOME.
    if (auto xdg = Env(env, "XDG_CONFIG_HOME"); !xdg.empty() && xdg.front() == '/')
        return Absolute(std::filesystem::path(xdg) / "qelconfig" / "user.hive");
    std::string home = HomeDirectory(env);
    if (home.empty()) return {};
    return Absolute(std::filesystem::path(home) / ".config" / "qelconfig" / "user.hive");
}

const std::string& HivePathMemo::Get(HiveKind kind, EnvLookup env) {
    static const char* const kUserInputs[3] = {"QELCONFIG_USER_HIVE", "XDG_CONFIG_HOME", "HOME"};
    static const char* const kMachineInputs[3] = {"QELCONFIG_MACHINE_HIVE", nullptr, nullptr};
    const char* const* names = kind == HiveKind::User ? kUserInputs : kMachineInputs;
    Entry& entry = m_entries[kind == HiveKind::User ? 0 : 1];
    // The first variable, when set, decides alone: the others are then not even read.
    std::string_view values[3];
    values[0] = Env(env, names[0]);
    for (int i = 1; i < 3 && values[0].empty(); ++i)
        values[i] = names[i] == nullptr ? std::string_view() : Env(env, names[i]);
    if (entry.reusable && values[0] == entry.inputs[0] && values[1] == entry.inputs[1] &&
        values[2] == entry.inputs[2])
        return entry.path;
    entry.path = HivePath(kind, env);
    for (int i = 0; i < 3; ++i) entry.inputs[i] = values[i];
    // The first variable that decides the path must itself be absolute (see HivePath).
    auto absolute = [](std::string_view value) { return !value.empty() && value.front() == '/'; };
    if (kind == HiveKind::Machine)
        entry.reusable = values[0].empty() || absolute(values[0]);
    else if (!values[0].empty())
        entry.reusable = absolute(values[0]);
    else
        entry.reusable = absolute(values[1]) || absolute(values[2]);
    return entry.path;
}

bool ReadOnlyBySwitch(HiveKind kind, EnvLookup env) {
    std::string_view list = Env(env, "QELCONFIG_READONLY_HIVES");
    const std::string_view wanted = kind == HiveKind::User ? "user" : "machine";
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (EqualsIgnoringAsciiCase(Trim(list.substr(0, comma)), wanted)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace qelplatform
