// File: CompareStores.h
//
// The pieces of CompareStoresBench: each store it compares (QelConfig with its floors, QSettings,
// GSettings) contributes probes, the rows of the table, and a writer, which a child process uses
// to change the store's text value while the benchmark reads it. A probe's call is timed one call
// at a time; its readText, untimed, is what the coherence run compares with the value just
// written by the other process.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace comparestores {

// The ~10-character text every store holds ("value-0000", "value-0001", ...: all the same
// length, so that a store cannot tell a change by the size of its file), and the number.
std::string ValueText(int generation);
inline constexpr long kNumber = 640;

// What a probe is compared with: the rows whose median the ratios are taken against.
enum class Floor { None, Map, Sqlite };

struct Probe {
    std::string label;
    bool number = false;  // reads the number (compared with the floors' number rows)
    Floor floor = Floor::None;
    std::function<void()> call;
    // For the coherence run: the text read now, and the writer (WriterKinds) that changes it.
    std::function<std::string()> readText;
    std::string writer;
};

// Changes the text value of one store from another process: true when the change is stored
// (and, for stores that write asynchronously, done) when it returns.
using Writer = std::function<bool(const std::string& text)>;

// Keeps a result alive so that the compiler cannot drop the read that produced it.
inline void Keep(const void* result) { asm volatile("" : : "r"(result) : "memory"); }

// Every path is below dir, the run's temporary directory.
std::vector<Probe> QelConfigProbes(const std::filesystem::path& dir);
Writer QelConfigWriter();

std::vector<Probe> QtProbes(const std::filesystem::path& dir);
Writer QtWriter(const std::filesystem::path& dir);

// The GSettings schema, compiled into dir/schemas (GSETTINGS_SCHEMA_DIR); false when
// glib-compile-schemas failed.
bool CompileGSettingsSchema(const std::filesystem::path& dir);
std::vector<Probe> GSettingsKeyfileProbes(const std::filesystem::path& dir);
Writer GSettingsKeyfileWriter(const std::filesystem::path& dir);
// dconf needs a session bus; *skipped says why there are no probes when there are none.
std::vector<Probe> GSettingsDconfProbes(std::string* skipped);
Writer GSettingsDconfWriter();

}  // namespace comparestores
