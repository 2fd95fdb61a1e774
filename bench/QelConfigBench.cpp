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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HiveQuery.h"
#include "LatencyStats.h"
#include "QelConfig.h"
#include "QelConfig/QelConfigTestAccess.h"
#include "portable/QelRegBatch.h"

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

// The floor: a prepared point query on the user hive for the value the library keeps for setting
// 18 ("BurnToDisk"), read-only beside the library.
std::unique_ptr<HiveQuery> MakeBareQuery() {
    return std::make_unique<HiveQuery>(UserHive().string(), u"BurnToDisk",
                                       HiveQuery::Mode::ReadOnly);
}

// The floor: the bare query, on a hive the library wrote.
void BM_Floor_SqlitePointQuery(benchmark::State& state) {
    bool value = false;
    QelConfig().SetValue(ckUI_BurnToDisk, false);
    QelConfig().GetValue(ckUI_BurnToDisk, value);
    const auto query = MakeBareQuery();
    if (!query->Found()) {
        state.SkipWithError("the hive has no value BurnToDisk");
        return;
    }
    LatencyStats stats(state);
    stats.SetAsFloor();
    for (auto _ : state) stats.Time([&] { query->Run(nullptr); });
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

// A batch of N values changed in one transaction, as an import applies a file: beside
// BM_SetValue_Changed, one value in one transaction.
void BM_Batch_ChangedValues(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const std::u16string key = u"Software\\QelConfigBench\\Batch";
    std::vector<std::u16string> names;
    for (std::size_t i = 0; i < count; ++i)
        names.push_back(u"Value" +
                        std::u16string(std::to_string(i).begin(), std::to_string(i).end()));
    DWORD values[2] = {1, 2};
    std::vector<QELREGCHANGE> batches[2];
    for (int b = 0; b < 2; ++b) {
        batches[b].push_back({QELCHANGE_CREATE_KEY, Win32Str(key.c_str()), nullptr, 0, nullptr, 0});
        for (const std::u16string& name : names)
            batches[b].push_back({QELCHANGE_SET_VALUE, Win32Str(key.c_str()),
                                  Win32Str(name.c_str()), REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&values[b]), sizeof(DWORD)});
    }
    LatencyStats stats(state);
    int which = 0;
    for (auto _ : state) {
        which ^= 1;
        stats.Time([&] {
            if (QelRegApplyChanges(HKEY_CURRENT_USER, batches[which].data(),
                                   static_cast<DWORD>(batches[which].size()),
                                   nullptr) != ERROR_SUCCESS)
                std::abort();
        });
    }
}
BENCHMARK(BM_Batch_ChangedValues)->Arg(10)->Arg(100)->Arg(1000);

// Listing every value of a key of 20,000 (as export and doctor do), per value listed: each call
// continues from the one before, so the cost per value does not grow with the key.
void BM_EnumValues_20000(benchmark::State& state) {
    const std::u16string key = u"Software\\QelConfigBench\\Wide";
    constexpr int kValues = 20000;
    static bool made = false;
    if (!made) {
        std::vector<std::u16string> names;
        for (int i = 0; i < kValues; ++i) {
            const std::string digits = std::to_string(i);
            names.push_back(u"Value" + std::u16string(digits.begin(), digits.end()));
        }
        const DWORD one = 1;
        std::vector<QELREGCHANGE> changes{
            {QELCHANGE_CREATE_KEY, Win32Str(key.c_str()), nullptr, 0, nullptr, 0}};
        for (const std::u16string& name : names)
            changes.push_back({QELCHANGE_SET_VALUE, Win32Str(key.c_str()), Win32Str(name.c_str()),
                               REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one});
        if (QelRegApplyChanges(HKEY_CURRENT_USER, changes.data(),
                               static_cast<DWORD>(changes.size()), nullptr) != ERROR_SUCCESS)
            std::abort();
        made = true;
    }
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Win32Str(key.c_str()), 0, KEY_READ, &handle) !=
        ERROR_SUCCESS)
        std::abort();
    LatencyStats stats(state);
    DWORD index = 0;
    for (auto _ : state) {
        WCHAR name[32];
        DWORD length = 32;
        stats.Time([&] {
            if (RegEnumValueW(handle, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                std::abort();
        });
        index = (index + 1) % kValues;
    }
    RegCloseKey(handle);
}
BENCHMARK(BM_EnumValues_20000);

// The floor of a batch: the same number of upserts into a table of the hive's shape, in one
// transaction of a bare SQLite connection (WAL, synchronous=NORMAL), on a file of its own.
void BM_Floor_SqliteUpserts(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    const std::string file = (g_dir / ("floor-" + std::to_string(count) + ".db")).string();
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, "
                 "name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, "
                 "data BLOB NOT NULL);"
                 "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_key ON vals(key, fold);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* upsert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO vals(key, name, fold, type, data) VALUES(1, ?1, ?1, 4, ?2) "
                       "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, "
                       "data = excluded.data",
                       -1, &upsert, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back("Value" + std::to_string(i));
    LatencyStats stats(state);
    stats.SetAsFloor();
    int value = 0;
    for (auto _ : state) {
        ++value;
        stats.Time([&] {
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            for (const std::string& name : names) {
                sqlite3_bind_blob(upsert, 1, name.data(), static_cast<int>(name.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_blob(upsert, 2, &value, sizeof value, SQLITE_STATIC);
                sqlite3_step(upsert);
                sqlite3_reset(upsert);
            }
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        });
    }
    sqlite3_finalize(upsert);
    sqlite3_close(db);
}
BENCHMARK(BM_Floor_SqliteUpserts)->Arg(10)->Arg(100)->Arg(1000);

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
// second; the readers' medians and 99th percentiles come back through a pipe: the worst median,
// the worst 99th percentile and the middle reader's.
// The readers are paced: eight busy loops on two cores would measure the scheduler instead.
// bare_sqlite 0: the readers call GetValue; 1: they run the bare query instead, the floor under
// the same load (a paced read wakes onto cold caches, and after each commit SQLite rereads
// pages). writer 0: the same readers with nobody writing.
void BM_8ReadersUnderWriterLoad(benchmark::State& state) {
    constexpr int kReaders = 8;
    constexpr auto kDuration = std::chrono::seconds(2);
    const bool bare = state.range(0) == 1;
    const bool writing = state.range(1) == 1;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        std::vector<pid_t> children;
        const pid_t writer = writing ? fork() : -1;
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
        if (writer > 0) children.push_back(writer);
        for (int r = 0; r < kReaders; ++r) {
            const pid_t reader = fork();
            if (reader == 0) {
                CQelConfig& config = QelConfig();
                const auto query = bare ? MakeBareQuery() : nullptr;
                std::vector<double> samples;
                bool value = false;
                auto next = std::chrono::steady_clock::now();
                const auto end = next + kDuration;
                while (next < end) {
                    const auto start = std::chrono::steady_clock::now();
                    if (query)
                        query->Run(nullptr);
                    else
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
        std::vector<double> p99s;
        double figures[2];
        while (read(fds[0], figures, sizeof figures) == sizeof figures) {
            worstMedian = std::max(worstMedian, figures[0]);
            p99s.push_back(figures[1]);
        }
        close(fds[0]);
        for (pid_t child : children) waitpid(child, nullptr, 0);
        if (p99s.empty()) {
            state.SkipWithError("no reader reported");
            break;
        }
        std::sort(p99s.begin(), p99s.end());
        state.counters["reader_p50_ns"] = worstMedian;
        state.counters["reader_p99_ns"] = p99s.back();  // the worst reader's
        state.counters["reader_p99_typical_ns"] = p99s[p99s.size() / 2];
    }
}
BENCHMARK(BM_8ReadersUnderWriterLoad)
    ->ArgNames({"bare_sqlite", "writer"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

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
