// File: CompareStoresBench.cpp
//
// This library beside the stores an application could use instead, measured in one run on one
// machine: per-read median and 99th percentile of reading the same 10-character text (and a
// number) from QelConfig, QSettings (INI file), GSettings (keyfile and dconf backends), an
// in-memory std::map and a bare SQLite point query on the same hive; and coherence: how many of
// 1,000 reads made right after another process changed the value (same length) still return the
// old one. Built only where Qt 5 and GIO are found.
//
//   build/bench/bin/CompareStoresBench [--reads N] [--changes N] [--no-dconf]
//   defaults: 100,000 timed reads per row, 1,000 changes per coherence run
//
// Nothing it touches is the user's: it makes a temporary directory and points every store at it
// (QELCONFIG_USER_HIVE / QELCONFIG_MACHINE_HIVE, the INI file, XDG_CONFIG_HOME for the keyfile
// and dconf databases, XDG_RUNTIME_DIR for dconf's change flags, GSETTINGS_SCHEMA_DIR for the
// schema it compiles), then runs itself again under `dbus-run-session`, so that dconf writes go
// to a dconf service started on a private bus with that environment. Without dbus-run-session
// (or with --no-dconf) the dconf rows are skipped with the reason printed.
//
// Coherence: a child process (this program again, `--writer KIND`, started with posix_spawn)
// waits for a request on a pipe, stores "value-NNNN" and answers on another pipe once its write
// has returned; the reader reads once as soon as the answer arrives. Before each request the
// reader reads the value, so that whatever it caches holds the old one.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtGlobal>
#include <glib.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CompareStores.h"
#include "LatencySamples.h"
#include "QelConfig.h"

namespace comparestores {

std::string ValueText(int generation) {
    char text[16];
    std::snprintf(text, sizeof text, "value-%04d", generation % 10000);
    return text;
}

}  // namespace comparestores

namespace {

using namespace comparestores;

constexpr char kDirVariable[] = "QELCONFIG_COMPARE_DIR";
constexpr char kBusVariable[] = "QELCONFIG_COMPARE_PRIVATE_BUS";
// The writer's ends of its pipes.
constexpr int kRequestFd = 3;
constexpr int kAnswerFd = 4;

struct Options {
    int reads = 100000;
    int changes = 1000;
    bool dconf = true;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reads" && i + 1 < argc) {
            options.reads = std::atoi(argv[++i]);
        } else if (arg == "--changes" && i + 1 < argc) {
            options.changes = std::atoi(argv[++i]);
        } else if (arg == "--no-dconf") {
            options.dconf = false;
        } else {
            return std::nullopt;
        }
    }
    if (options.reads < 100 || options.changes < 1 || options.changes > 9000) return std::nullopt;
    return options;
}

std::string SelfPath() {
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    return length > 0 ? std::string(path.data(), static_cast<std::size_t>(length)) : "";
}

// Points every store at a fresh temporary directory; returns it.
std::filesystem::path PrepareEnvironment() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qelconfig-compare-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return {};
    std::filesystem::path dir(pattern);
    for (const char* sub : {"config", "runtime", "cache", "schemas"})
        mkdir((dir / sub).c_str(), 0700);
    setenv(kDirVariable, dir.c_str(), 1);
    setenv("QELCONFIG_USER_HIVE", (dir / "user.hive").c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (dir / "machine.hive").c_str(), 1);
    unsetenv("QELCONFIG_READONLY_HIVES");
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
    setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
    setenv("GSETTINGS_SCHEMA_DIR", (dir / "schemas").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "dconf", 1);
    unsetenv("DCONF_PROFILE");
    // Never the user's session bus: only the private one dbus-run-session starts.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    return dir;
}

// Runs this program again under dbus-run-session with the same arguments; the exit status, or
// nothing when dbus-run-session could not be started.
std::optional<int> RunUnderPrivateBus(int argc, char** argv) {
    setenv(kBusVariable, "1", 1);
    const std::string self = SelfPath();
    std::vector<char*> args;
    char program[] = "dbus-run-session";
    char separator[] = "--";
    args.push_back(program);
    args.push_back(separator);
    args.push_back(const_cast<char*>(self.c_str()));
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    pid_t child = 0;
    const int failed = posix_spawnp(&child, program, nullptr, nullptr, args.data(), environ);
    unsetenv(kBusVariable);
    if (failed != 0) return std::nullopt;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

Writer MakeWriter(const std::string& kind, const std::filesystem::path& dir) {
    if (kind == "qelconfig") return QelConfigWriter();
    if (kind == "qsettings") return QtWriter(dir);
    if (kind == "keyfile") return GSettingsKeyfileWriter(dir);
    if (kind == "dconf") return GSettingsDconfWriter();
    return nullptr;
}

// The child's side of a coherence run: one change per request, answered once stored.
int WriterMain(const std::string& kind) {
    const char* dir = std::getenv(kDirVariable);
    if (dir == nullptr) return 2;
    const Writer write = MakeWriter(kind, dir);
    if (!write) return 2;
    std::int32_t generation = 0;
    while (read(kRequestFd, &generation, sizeof generation) == sizeof generation) {
        const char stored = write(ValueText(generation)) ? 1 : 0;
        if (::write(kAnswerFd, &stored, 1) != 1) return 1;
    }
    return 0;
}

struct Coherence {
    int stale = 0;
    int failedWrites = 0;
    int runs = 0;
};

// One coherence run against a writer of the given kind; generation numbers the values written
// across runs, so that no run writes the value it starts from.
std::optional<Coherence> MeasureCoherence(const Probe& probe, int changes, int* generation) {
    int requests[2];
    int answers[2];
    if (pipe2(requests, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], kRequestFd);
    posix_spawn_file_actions_adddup2(&actions, answers[1], kAnswerFd);
    const std::string self = SelfPath();
    char flag[] = "--writer";
    std::string kind = probe.writer;
    char* argv[] = {const_cast<char*>(self.c_str()), flag, kind.data(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(requests[0]);
    close(answers[1]);
    Coherence result;
    if (failed == 0) {
        for (int i = 0; i < changes; ++i) {
            probe.readText();  // whatever the store caches now holds the old value
            const std::int32_t next = ++*generation;
            char stored = 0;
            if (write(requests[1], &next, sizeof next) != sizeof next ||
                read(answers[0], &stored, 1) != 1)
                break;
            const std::string now = probe.readText();
            if (stored == 0) ++result.failedWrites;
            if (now != ValueText(next)) ++result.stale;
            ++result.runs;
        }
    }
    close(requests[1]);
    close(answers[0]);
    int status = 0;
    if (failed == 0) waitpid(child, &status, 0);
    if (failed != 0 || result.runs != changes || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return result;
}

std::string Duration(double ns) {
    char text[32];
    if (ns < 1000)
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    else if (ns < 100000)
        std::snprintf(text, sizeof text, "%.2f µs", ns / 1000);
    else
        std::snprintf(text, sizeof text, "%.0f µs", ns / 1000);
    return text;
}

std::string Ratio(double value, double floor) {
    if (floor <= 0) return "—";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f×", value / floor < 10 ? 2 : 0, value / floor);
    return text;
}

struct Row {
    const Probe* probe;
    double median;
    double p99;
    std::string stale = "—";
};

int Run(const Options& options, const std::filesystem::path& dir, const std::string& noDconf) {
    const std::string loadBefore = LoadAverage();
    // The library's first call, before GLib or Qt start threads of their own.
    QelConfig();
    std::vector<Probe> probes;
    std::vector<std::string> notes;
    auto add = [&probes](std::vector<Probe> more) {
        for (Probe& probe : more) probes.push_back(std::move(probe));
    };
    add(QelConfigProbes(dir));
    add(QtProbes(dir));
    if (CompileGSettingsSchema(dir)) {
        add(GSettingsKeyfileProbes(dir));
        std::string skipped = noDconf;
        if (skipped.empty()) add(GSettingsDconfProbes(&skipped));
        if (!skipped.empty()) notes.push_back("GSettings dconf skipped: " + skipped + ".");
    } else {
        notes.push_back("GSettings skipped: glib-compile-schemas failed or is not installed.");
    }
    if (probes.size() < 8) {
        std::fprintf(stderr, "CompareStoresBench: a store could not be prepared\n");
        return 1;
    }

    std::vector<Row> rows;
    for (const Probe& probe : probes) {
        for (int i = 0; i < 1000; ++i) probe.call();
        LatencySamples samples(static_cast<std::size_t>(options.reads));
        for (int i = 0; i < options.reads; ++i) samples.Time(probe.call);
        rows.push_back({&probe, samples.Median(), samples.P99()});
    }
    // What the clock adds to every figure: an empty call, timed the same way.
    LatencySamples clock(static_cast<std::size_t>(options.reads));
    const std::function<void()> empty = [] {};
    for (int i = 0; i < options.reads; ++i) clock.Time(empty);
    int generation = 0;
    bool coherent = true;
    for (Row& row : rows) {
        if (!row.probe->readText) continue;
        const auto result = MeasureCoherence(*row.probe, options.changes, &generation);
        if (!result) {
            row.stale = "failed";
            coherent = false;
            continue;
        }
        row.stale = std::to_string(result->stale) + " / " + std::to_string(options.changes);
        if (result->failedWrites > 0) {
            row.stale += " (" + std::to_string(result->failedWrites) + " writes failed)";
            coherent = false;
        }
    }

    double floors[2][2] = {};  // [number][Floor::Map - 1 or Floor::Sqlite - 1]
    for (const Row& row : rows)
        if (row.probe->floor != Floor::None)
            floors[row.probe->number ? 1 : 0][row.probe->floor == Floor::Map ? 0 : 1] = row.median;
    std::printf(
        "| Store, operation | Median | p99 | × `std::map` | × SQLite floor | "
        "Stale reads after another process's change |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        const double* floor = floors[row.probe->number ? 1 : 0];
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.probe->label.c_str(),
                    Duration(row.median).c_str(), Duration(row.p99).c_str(),
                    Ratio(row.median, floor[0]).c_str(), Ratio(row.median, floor[1]).c_str(),
                    row.stale.c_str());
    }
    std::printf("\n%d timed reads per row (after 1,000 untimed), %d changes per coherence run.\n",
                options.reads, options.changes);
    std::printf(
        "Every figure includes the clock: an empty call timed the same way, median %s, "
        "p99 %s.\n",
        Duration(clock.Median()).c_str(), Duration(clock.P99()).c_str());
    std::printf("SQLite %s, Qt %s, GLib %u.%u.%u. Load average before: %s, after: %s.\n",
                sqlite3_libversion(), qVersion(), glib_major_version, glib_minor_version,
                glib_micro_version, loadBefore.c_str(), LoadAverage().c_str());
    for (const std::string& note : notes) std::printf("%s\n", note.c_str());
    return coherent ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--writer") == 0) return WriterMain(argv[2]);
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: CompareStoresBench [--reads N (>= 100)] [--changes N (1-9000)] "
                     "[--no-dconf]\n");
        return 2;
    }
    if (const char* inner = std::getenv(kDirVariable); inner != nullptr) {
        // Started by the run below, under dbus-run-session.
        const bool bus = std::getenv(kBusVariable) != nullptr &&
                         std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
        return Run(*options, inner, bus ? "" : "no private session bus");
    }
    const std::filesystem::path dir = PrepareEnvironment();
    if (dir.empty()) return 1;
    std::optional<int> status;
    std::string noDconf = "--no-dconf given";
    if (options->dconf) {
        status = RunUnderPrivateBus(argc, argv);
        noDconf = "dbus-run-session could not be started (install dbus-daemon)";
    }
    if (!status) status = Run(*options, dir, noDconf);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return *status;
}
