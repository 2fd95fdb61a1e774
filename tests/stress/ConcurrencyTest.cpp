// File: ConcurrencyTest.cpp
//
// Several processes changing settings through the library at once: nothing is lost, no call
// fails, and the hive stays sound.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "QelConfig.h"
#include "StressSupport.h"
#include "support/HiveSandbox.h"

namespace {

using qeltest::Child;

constexpr int kProcesses = 8;
constexpr int kChanges = 1000;

struct Report {
    int failures;      // calls that failed (E_FAIL or otherwise)
    int wrongReads;    // own setting read back other than just written
    int lastDistinct;  // the last value written to the process's own setting
};

// Value p * kChanges + i: which process wrote it, and when.
int Encode(int process, int change) { return process * kChanges + change; }

TEST(ConcurrencyTest, ProcessesChangingSettingsAtOnceLoseNothing) {
    qeltest::HiveSandbox sandbox;
    const std::vector<ConfigKey> keys = qeltest::FreeSettings<int>();
    ASSERT_GE(keys.size(), static_cast<std::size_t>(kProcesses + 1))
        << "needs a setting per process and a shared one";
    const ConfigKey shared = keys[kProcesses];

    std::vector<std::unique_ptr<Child>> children;
    for (int p = 0; p < kProcesses; ++p) {
        const ConfigKey own = keys[static_cast<std::size_t>(p)];
        children.push_back(std::make_unique<Child>([&, p, own](int fd) {
            // The sandbox's variables are inherited: the same hives as the parent.
            CQelConfig& config = QelConfig();
            Report report{0, 0, -1};
            for (int i = 0; i < kChanges; ++i) {
                // Alternate: the shared setting on even changes, the own one on odd ones.
                const bool toShared = i % 2 == 0;
                const HRESULT hr = config.SetValue(toShared ? shared : own, Encode(p, i));
                if (hr != S_OK) ++report.failures;
                if (toShared) continue;
                report.lastDistinct = Encode(p, i);
                int read = -1;
                if (config.GetValue(own, read) != S_OK) ++report.failures;
                if (read != Encode(p, i)) ++report.wrongReads;
                int sharedValue = -1;
                if (config.GetValue(shared, sharedValue) != S_OK) ++report.failures;
            }
            return write(fd, &report, sizeof report) == sizeof report ? 0 : 1;
        }));
    }
    std::set<int> lastDistinct;
    for (int p = 0; p < kProcesses; ++p) {
        Report report{};
        ASSERT_TRUE(children[static_cast<std::size_t>(p)]->Read(&report, sizeof report))
            << "process " << p << " sent no report";
        EXPECT_EQ(children[static_cast<std::size_t>(p)]->Wait(), 0);
        EXPECT_EQ(report.failures, 0) << "process " << p;
        EXPECT_EQ(report.wrongReads, 0) << "process " << p;
        EXPECT_EQ(report.lastDistinct, Encode(p, kChanges - 1));
    }

    CQelConfig& config = QelConfig();
    for (int p = 0; p < kProcesses; ++p) {
        int value = -1;
        EXPECT_EQ(config.GetValue(keys[static_cast<std::size_t>(p)], value), S_OK);
        EXPECT_EQ(value, Encode(p, kChanges - 1)) << "process " << p << "'s last change is lost";
    }
    int value = -1;
    EXPECT_EQ(config.GetValue(shared, value), S_OK);
    // One of the values some process wrote there (even changes only).
    EXPECT_TRUE(value >= 0 && value < kProcesses * kChanges && value % 2 == 0) << value;
    EXPECT_EQ(qeltest::IntegrityCheck(sandbox.UserHive()), "ok");
}

}  // namespace
