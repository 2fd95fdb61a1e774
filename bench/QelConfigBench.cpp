// Benchmarks of settings, capabilities and conversions on real hive files in a temporary
// directory, with their floors: a bare prepared SQLite point query on the same hive file and an
// in-memory map lookup. Per-call medians and 99th percentiles are printed as counters.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LatencyStats.h"
#include "QelConfig.h"
#include "QelConfig/QelConfigTestAccess.h"

namespace {

std::filesystem::path g_dir;

std::filesystem::path UserHive() { return g_dir / "user.hive"; }

const std::u16string kUiKey = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI";

void WriteText(HKEY hive, const std::u16string& key, const std::u16string& name,
               const std::u16string& text) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(hive, Win32Str(key.c_str()), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
        std::abort();
    RegSetValueExW(handle, Win32Str(name.c_str()), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * 2));
    RegCloseKey(handle);
}

void DeleteValue(HKEY hive, const std::u16string& key, const std::u16string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(hive, Win32Str(key.c_str()), 0, KEY_WRITE, &handle) != ERROR_SUCCESS) return;
    RegDeleteValueW(handle, Win32Str(name.c_str()));
    RegCloseKey(handle);
}

// The floor: the one prepared statement a stored read cannot do without.
void BM_Floor_SqlitePointQuery(benchmark::State& state) {
    bool value = false;
    QelConfig().SetValue(ckUI_BurnToDisk, false);
    QelConfig().GetValue(ckUI_BurnToDisk, value);
    sqlite3* db = nullptr;
    sqlite3_open_v2(UserHive().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(db, "SELECT key, fold FROM vals ORDER BY id DESC LIMIT 1", -1, &find,
                       nullptr);
    if (sqlite3_step(find) != SQLITE_ROW) {
        state.SkipWithError("the hive has no values");
        return;
    }
    const sqlite3_int64 key = sqlite3_column_int64(find, 0);
    const std::string fold(static_cast<const char*>(sqlite3_column_blob(find, 1)),
                           static_cast<size_t>(sqlite3_column_bytes(find, 1)));
    sqlite3_finalize(find);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", -1, &query,
                       nullptr);
    LatencyStats stats(state);
    stats.SetAsFloor();
    for (auto _ : state) {
        stats.Time([&] {
            sqlite3_bind_int64(query, 1, key);
            sqlite3_bind_blob(query, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
            if (sqlite3_step(query) == SQLITE_ROW)
                benchmark::DoNotOptimize(sqlite3_column_blob(query, 1));
            sqlite3_reset(query);
        });
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
}
BENCHMARK(BM_Floor_SqlitePointQuery);

void BM_Floor_MapLookup(benchmark::State& state) {
    std::map<int, std::u16string> values;
    for (int i = 0; i < 90; ++i) values[i] = u"true";
    LatencyStats stats(state);
    int key = 0;
    for (auto _ : state) {
        stats.Time([&] { benchmark::DoNotOptimize(values.find(key)); });
        key = (key + 7) % 90;
    }
}
BENCHMARK(BM_Floor_MapLookup);

void BM_GetValue_StoredUser(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    config.SetValue(ckUI_BurnToDisk, false);
    bool value = true;
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { config.GetValue(ckUI_BurnToDisk, value); });
}
BENCHMARK(BM_GetValue_StoredUser);

void BM_GetValue_UserMissMachineHit(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    DeleteValue(HKEY_CURRENT_USER, kUiKey, u"ImageFolderPath");
    WriteText(HKEY_LOCAL_MACHINE, kUiKey, u"ImageFolderPath", u"/srv/images");
    CString value;
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { config.GetValue(ckUI_ImageFolderPath, value); });
}
BENCHMARK(BM_GetValue_UserMissMachineHit);

// The first read of a setting never stored: two misses and the write-back of the default.
void BM_GetValue_NeverStoredFirstRead(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    int value = 0;
    LatencyStats stats(state);
    for (auto _ : state) {
        DeleteValue(HKEY_CURRENT_USER, kUiKey, u"BurningSpeed");
        stats.Time([&] { config.GetValue(ckUI_BurningSpeed, value); });
    }
}
BENCHMARK(BM_GetValue_NeverStoredFirstRead);

void BM_GetValue_NeverStoredSteadyState(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    int value = 0;
    config.GetValue(ckUI_BurnLogCount, value);
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { config.GetValue(ckUI_BurnLogCount, value); });
}
BENCHMARK(BM_GetValue_NeverStoredSteadyState);

void BM_SetValue_Unchanged(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    config.SetValue(ckUI_BurnToFolder, true);
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { config.SetValue(ckUI_BurnToFolder, true); });
}
BENCHMARK(BM_SetValue_Unchanged);

void BM_SetValue_Changed(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    bool flag = false;
    LatencyStats stats(state);
    for (auto _ : state) {
        flag = !flag;
        stats.Time([&] { config.SetValue(ckUI_Autosave, flag); });
    }
}
BENCHMARK(BM_SetValue_Changed);

void BM_GetCapsValue(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    CComVariant result;
    LatencyStats stats(state);
    for (auto _ : state)
        stats.Time([&] { QelConfigTestAccess::GetCapsValue(config, capsLimit28, 0x5, result); });
}
BENCHMARK(BM_GetCapsValue);

void BM_IsAllowedValue(benchmark::State& state) {
    CQelConfig& config = QelConfig();
    const CString list(u"1,2,4,8,16,32,63");
    LatencyStats stats(state);
    for (auto _ : state) {
        stats.Time([&] {
            benchmark::DoNotOptimize(QelConfigTestAccess::IsAllowedValue(config, 63L, list));
        });
    }
}
BENCHMARK(BM_IsAllowedValue);

void BM_FromString_Int(benchmark::State& state) {
    const CString text(u"-2147483648");
    int value = 0;
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { FromString(text, value); });
}
BENCHMARK(BM_FromString_Int);

void BM_ToString_Double(benchmark::State& state) {
    CString text;
    double value = 1234567.0;
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { ToString(value, text); });
}
BENCHMARK(BM_ToString_Double);

// The same reads with 100,000 unrelated values in the user hive.
void BM_GetValue_StoredUser_100kValues(benchmark::State& state) {
    static bool populated = false;
    if (!populated) {
        HKEY handle = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, Win32Str(u"Software\\Unrelated\\Bulk"), 0, nullptr, 0,
                        KEY_WRITE, nullptr, &handle, nullptr);
        for (int i = 0; i < 100000; ++i) {
            const std::string name = "value" + std::to_string(i);
            const std::u16string wide(name.begin(), name.end());
            RegSetValueExW(handle, Win32Str(wide.c_str()), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(wide.c_str()),
                           static_cast<DWORD>((wide.size() + 1) * 2));
        }
        RegCloseKey(handle);
        populated = true;
    }
    CQelConfig& config = QelConfig();
    bool value = true;
    LatencyStats stats(state);
    for (auto _ : state) stats.Time([&] { config.GetValue(ckUI_BurnToDisk, value); });
}
BENCHMARK(BM_GetValue_StoredUser_100kValues);

// 8 reader processes, each reading 2,000 times a second, while one process writes 1,000 changes a
// second; the readers' medians and 99th percentiles come back through a pipe, the worst reported.
// The readers are paced: eight busy loops on two cores would measure the scheduler instead.
void BM_GetValue_8ReadersUnderWriterLoad(benchmark::State& state) {
    constexpr int kReaders = 8;
    constexpr auto kDuration = std::chrono::seconds(2);
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        std::vector<pid_t> children;
        const pid_t writer = fork();
        if (writer == 0) {
            CQelConfig& config = QelConfig();
            auto next = std::chrono::steady_clock::now();
            const auto end = next + kDuration;
            for (int i = 0; next < end; ++i) {
                config.SetValue(ckUI_BurnLogCount, i);
                next += std::chrono::milliseconds(1);
                std::this_thread::sleep_until(next);
            }
            _exit(0);
        }
        children.push_back(writer);
        for (int r = 0; r < kReaders; ++r) {
            const pid_t reader = fork();
            if (reader == 0) {
                CQelConfig& config = QelConfig();
                std::vector<double> samples;
                bool value = false;
                auto next = std::chrono::steady_clock::now();
                const auto end = next + kDuration;
                while (next < end) {
                    const auto start = std::chrono::steady_clock::now();
                    config.GetValue(ckUI_BurnToDisk, value);
                    samples.push_back(std::chrono::duration<double, std::nano>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
                    next += std::chrono::microseconds(500);
                    std::this_thread::sleep_until(next);
                }
                std::sort(samples.begin(), samples.end());
                const double figures[2] = {samples[samples.size() / 2],
                                           samples[samples.size() * 99 / 100]};
                if (write(fds[1], figures, sizeof figures) != sizeof figures) _exit(1);
                _exit(0);
            }
            children.push_back(reader);
        }
        close(fds[1]);
        double worstMedian = 0;
        double worstP99 = 0;
        double figures[2];
        while (read(fds[0], figures, sizeof figures) == sizeof figures) {
            worstMedian = std::max(worstMedian, figures[0]);
            worstP99 = std::max(worstP99, figures[1]);
        }
        close(fds[0]);
        for (pid_t child : children) waitpid(child, nullptr, 0);
        state.counters["reader_p50_ns"] = worstMedian;
        state.counters["reader_p99_ns"] = worstP99;
    }
}
BENCHMARK(BM_GetValue_8ReadersUnderWriterLoad)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/tmp/qelconfig-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    g_dir = dir;
    setenv("QELCONFIG_USER_HIVE", UserHive().c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (g_dir / "machine.hive").c_str(), 1);
    unsetenv("QELCONFIG_READONLY_HIVES");
    QelConfig();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_dir);
    return 0;
}
