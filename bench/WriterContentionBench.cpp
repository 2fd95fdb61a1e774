// File: WriterContentionBench.cpp
//
// Eight processes writing to one hive at once: each makes 1,000 changes through the library
// (SetValue of a new text each time) as fast as it can, and times every single call. Printed:
// the total throughput, the median, 99th percentile and maximum of the single writes, and the
// check that nothing was lost: no call failed, and the values read afterwards are the ones the
// writers wrote last.
//
//   build/bench/bin/WriterContentionBench [WRITES_PER_WRITER]     default 1000
//
// Two cases, one after the other, on fresh hives in a temporary directory:
//   distinct  each writer changes a setting of its own (8 text settings of the user hive; not
//             UI/DiscVolumeName, which every process's first call resets)
//   same      all eight change the same setting, each with values of its own; afterwards the
//             setting must hold one of the eight last values
//   alone     one writer, nobody else: what a write costs without waiting, and the occasional
//             write that runs SQLite's automatic checkpoint (an fsync of the hive)
//   cpu-only  no hive at all: eight processes each time 1,000 rounds of pure computation as
//             long as one uncontended write. On 2 cores, eight busy processes preempt each other
//             whatever they do, and this is the tail that alone causes
// Every write is a commit to the same file, so the writers queue on SQLite's write lock (the
// library's busy timeout is 5 s); the maximum shows how long the unluckiest one waited.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LatencySamples.h"
#include "QelConfig.h"

namespace {

constexpr int kMaxWriters = 8;
constexpr std::array<ConfigKey, kMaxWriters> kSettings = {
    ckPaths_Theme_Default_4x3,  ckPaths_Theme_Default_16x9, ckPaths_Theme_Default_16x9_HD,
    ckUI_ISOImagePath,          ckUI_ImageFolderPath,       ckPaths_UI_TemporaryDir,
    ckPaths_UI_NewTemporaryDir, ckPaths_ScribantHDDVD_Path};

std::string Text(int writer, int change) {
    char text[32];
    std::snprintf(text, sizeof text, "w%d-%04d", writer, change);
    return text;
}

CString Widen(const std::string& text) { return CString(std::u16string(text.begin(), text.end())); }

// What each writer leaves for the parent, in memory shared across fork.
struct WriterResult {
    int failed;
    int done;
};

// Computation the optimiser cannot remove.
void Spin(long rounds) {
    volatile unsigned long sink = 0;
    for (long i = 0; i < rounds; ++i) sink = sink + static_cast<unsigned long>(i);
}

enum class Case { Distinct, Same, Alone, CpuOnly };

const char* NameOf(Case c) {
    switch (c) {
        case Case::Distinct:
            return "distinct";
        case Case::Same:
            return "same";
        case Case::Alone:
            return "alone";
        case Case::CpuOnly:
            return "cpu-only";
    }
    return "?";
}

// Rounds of a loop that take about `target` on an idle processor.
long CalibrateRounds(std::chrono::nanoseconds target) {
    long rounds = 1000;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        Spin(rounds);
        const auto took = std::chrono::steady_clock::now() - start;
        if (took >= std::chrono::milliseconds(5))
            return static_cast<long>(static_cast<double>(rounds) *
                                     std::chrono::duration<double, std::nano>(target).count() /
                                     std::chrono::duration<double, std::nano>(took).count());
        rounds *= 2;
    }
}

// Runs one case on fresh hives; false when a write failed or a value was lost.
bool RunCase(const std::filesystem::path& dir, Case which, int writes, long spinRounds) {
    const bool same = which == Case::Same;
    const int writers = which == Case::Alone ? 1 : kMaxWriters;
    const std::filesystem::path caseDir = dir / NameOf(which);
    std::filesystem::create_directories(caseDir);
    setenv("QELCONFIG_USER_HIVE", (caseDir / "user.hive").c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (caseDir / "machine.hive").c_str(), 1);

    const std::size_t samples =
        static_cast<std::size_t>(writers) * static_cast<std::size_t>(writes);
    const std::size_t bytes = samples * sizeof(double) + writers * sizeof(WriterResult);
    void* shared = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return false;
    auto* latencies = static_cast<double*>(shared);
    auto* results = reinterpret_cast<WriterResult*>(latencies + samples);

    int ready[2];
    int go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return false;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            close(go[1]);
            // The library's first call (hive opened, settings table built) before the start.
            CQelConfig& config = QelConfig();
            const ConfigKey setting = same ? ckUI_ISOImagePath : kSettings[w];
            CString current;
            config.GetValue(setting, current);
            char token = 0;
            if (write(ready[1], &token, 1) != 1 || read(go[0], &token, 1) != 0) _exit(1);
            WriterResult& result = results[w];
            double* mine =
                latencies + static_cast<std::size_t>(w) * static_cast<std::size_t>(writes);
            for (int i = 0; i < writes && which == Case::CpuOnly; ++i) {
                const auto start = std::chrono::steady_clock::now();
                Spin(spinRounds);
                mine[i] = std::chrono::duration<double, std::nano>(
                              std::chrono::steady_clock::now() - start)
                              .count();
                ++result.done;
            }
            for (int i = 0; i < writes && which != Case::CpuOnly; ++i) {
                const CString text = Widen(Text(w, i + 1));
                const auto start = std::chrono::steady_clock::now();
                const HRESULT hr = config.SetValue(setting, text);
                mine[i] = std::chrono::duration<double, std::nano>(
                              std::chrono::steady_clock::now() - start)
                              .count();
                if (hr != S_OK) ++result.failed;
                ++result.done;
            }
            _exit(0);
        }
        if (child < 0) return false;
        children.push_back(child);
    }
    close(ready[1]);
    close(go[0]);
    char token = 0;
    for (int w = 0; w < writers; ++w)
        if (read(ready[0], &token, 1) != 1) return false;
    const auto start = std::chrono::steady_clock::now();
    close(go[1]);  // every writer's read returns 0 at once: go
    bool ok = true;
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(ready[0]);

    LatencySamples all(samples);
    int failed = 0;
    int done = 0;
    for (int w = 0; w < writers; ++w) {
        failed += results[w].failed;
        done += results[w].done;
    }
    for (std::size_t i = 0; i < samples; ++i) all.Add(latencies[i]);
    munmap(shared, bytes);

    int lost = 0;
    std::string finals;
    if (which == Case::CpuOnly) {
        std::printf(
            "%-8s  %5d rounds in %.2f s; single round median %.0f µs, p99 %.0f µs, "
            "max %.0f µs\n",
            NameOf(which), done, seconds, all.Median() / 1000, all.P99() / 1000, all.Max() / 1000);
        return ok && done == writers * writes;
    }
    // The parent's first call to the library, on this case's hives: the final values.
    CQelConfig& config = QelConfig();
    if (same) {
        CString value;
        config.GetValue(ckUI_ISOImagePath, value);
        bool known = false;
        for (int w = 0; w < writers; ++w) known = known || value == Widen(Text(w, writes));
        if (!known) lost = 1;
        finals = std::string(value.View().begin(), value.View().end());
    } else {
        for (int w = 0; w < writers; ++w) {
            CString value;
            config.GetValue(kSettings[w], value);
            if (!(value == Widen(Text(w, writes)))) ++lost;
        }
    }
    std::printf(
        "%-8s  %5d writes in %.2f s: %.0f writes/s; single write median %.0f µs, "
        "p99 %.0f µs, max %.0f µs; failed calls %d; ",
        NameOf(which), done, seconds, done / seconds, all.Median() / 1000, all.P99() / 1000,
        all.Max() / 1000, failed);
    if (same)
        std::printf("final value %s (%s)\n", finals.c_str(),
                    lost == 0 ? "a writer's last" : "NOT a writer's last: LOST");
    else
        std::printf("settings not holding their writer's last value: %d\n", lost);
    return ok && failed == 0 && lost == 0 && done == writers * writes;
}

}  // namespace

int main(int argc, char** argv) {
    const int writes = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (writes < 1 || writes > 9999) {
        std::fprintf(stderr, "usage: WriterContentionBench [WRITES_PER_WRITER (1-9999)]\n");
        return 2;
    }
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qelconfig-writers-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const std::filesystem::path dir(pattern);
    unsetenv("QELCONFIG_READONLY_HIVES");
    std::printf("%d writer processes, %d changes each; load average before: %s\n", kMaxWriters,
                writes, LoadAverage().c_str());
    // Each case in a process of its own: the library's instance belongs to the hives it first
    // opened, and the parent of the next case's writers must not have used it.
    // As long as the median uncontended write measured on this machine (25 µs).
    const long spinRounds = CalibrateRounds(std::chrono::microseconds(25));
    bool ok = true;
    for (const Case which : {Case::Distinct, Case::Same, Case::Alone, Case::CpuOnly}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const bool passed = RunCase(dir, which, writes, spinRounds);
            std::fflush(stdout);
            _exit(passed ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::printf("load average after: %s\n", LoadAverage().c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return ok ? 0 : 1;
}
