// File: CompareGSettings.cpp
//
// CompareStoresBench's rows for GSettings, with the keyfile backend (an INI-style file, read
// into memory once; a change by another process is noticed through a file monitor whose event is
// delivered by the main loop) and with dconf (reads from a memory-mapped database, checked
// against a flag the dconf service raises after each change; writes go through the service on
// the session bus). The schema is compiled at run time into the run's temporary directory.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "CompareStores.h"

namespace comparestores {

namespace {

constexpr char kSchemaId[] = "org.qelconfig.bench";
constexpr char kTextKey[] = "iso-image-path";
constexpr char kNumberKey[] = "min-width";

struct SettingsDeleter {
    void operator()(GSettings* settings) const { g_object_unref(settings); }
};
using SettingsPtr = std::shared_ptr<GSettings>;

SettingsPtr MakeSettings(GSettingsBackend* backend) {
    if (backend == nullptr) return nullptr;
    GSettings* settings = g_settings_new_with_backend(kSchemaId, backend);
    g_object_unref(backend);
    return SettingsPtr(settings, SettingsDeleter());
}

// The file the keyfile backend uses by default (GSETTINGS_BACKEND=keyfile), below
// XDG_CONFIG_HOME, which the benchmark points into its directory.
SettingsPtr KeyfileSettings(const std::filesystem::path& dir) {
    const std::string file = (dir / "config" / "glib-2.0" / "settings" / "keyfile").string();
    return MakeSettings(g_keyfile_settings_backend_new(file.c_str(), "/", nullptr));
}

// The process's default backend, which GSETTINGS_BACKEND=dconf makes the dconf one when its
// module is installed (GLib falls back to a memory backend otherwise).
SettingsPtr DconfSettings(std::string* skipped) {
    GSettingsBackend* backend = g_settings_backend_get_default();
    if (std::strcmp(G_OBJECT_TYPE_NAME(backend), "DConfSettingsBackend") != 0) {
        *skipped = std::string("the dconf GSettings backend is not installed (GLib chose ") +
                   G_OBJECT_TYPE_NAME(backend) + ")";
        g_object_unref(backend);
        return nullptr;
    }
    return MakeSettings(backend);
}

bool Seed(GSettings* settings) {
    const bool stored = g_settings_set_string(settings, kTextKey, ValueText(0).c_str()) &&
                        g_settings_set_int(settings, kNumberKey, static_cast<gint>(kNumber));
    g_settings_sync();
    return stored;
}

std::string ReadText(GSettings* settings) {
    gchar* value = g_settings_get_string(settings, kTextKey);
    std::string text(value);
    g_free(value);
    return text;
}

std::vector<Probe> Probes(const SettingsPtr& settings, const std::string& name) {
    std::vector<Probe> probes;
    probes.push_back({"GSettings " + name + " `g_settings_get_string`", false, Floor::None,
                      [settings] { g_free(g_settings_get_string(settings.get(), kTextKey)); },
                      [settings] { return ReadText(settings.get()); },
                      name == "keyfile" ? "keyfile" : "dconf"});
    auto number = std::make_shared<gint>();
    probes.push_back({"GSettings " + name + " `g_settings_get_int`",
                      true,
                      Floor::None,
                      [settings, number] {
                          *number = g_settings_get_int(settings.get(), kNumberKey);
                          Keep(number.get());
                      },
                      {},
                      {}});
    return probes;
}

Writer MakeWriter(const SettingsPtr& settings) {
    if (settings == nullptr) return nullptr;
    return [settings](const std::string& text) {
        const bool stored = g_settings_set_string(settings.get(), kTextKey, text.c_str());
        // For dconf: waits until the service has written the change.
        g_settings_sync();
        return stored;
    };
}

}  // namespace

bool CompileGSettingsSchema(const std::filesystem::path& dir) {
    const std::filesystem::path schemas = dir / "schemas";
    std::filesystem::create_directories(schemas);
    std::ofstream(schemas / "org.qelconfig.bench.gschema.xml")
        << "<schemalist>\n"
           "  <schema id=\"org.qelconfig.bench\" path=\"/org/qelconfig/bench/\">\n"
           "    <key name=\"iso-image-path\" type=\"s\"><default>''</default></key>\n"
           "    <key name=\"min-width\" type=\"i\"><default>400</default></key>\n"
           "  </schema>\n"
           "</schemalist>\n";
    const std::string directory = schemas.string();
    char program[] = "glib-compile-schemas";
    char* argv[] = {program, const_cast<char*>(directory.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program, nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<Probe> GSettingsKeyfileProbes(const std::filesystem::path& dir) {
    const SettingsPtr settings = KeyfileSettings(dir);
    if (settings == nullptr || !Seed(settings.get())) return {};
    return Probes(settings, "keyfile");
}

Writer GSettingsKeyfileWriter(const std::filesystem::path& dir) {
    return MakeWriter(KeyfileSettings(dir));
}

std::vector<Probe> GSettingsDconfProbes(std::string* skipped) {
    const SettingsPtr settings = DconfSettings(skipped);
    if (settings == nullptr) return {};
    if (!Seed(settings.get()) || ReadText(settings.get()) != ValueText(0)) {
        *skipped = "the dconf service did not store the value";
        return {};
    }
    return Probes(settings, "dconf");
}

Writer GSettingsDconfWriter() {
    std::string skipped;
    return MakeWriter(DconfSettings(&skipped));
}

}  // namespace comparestores
