// File: CrashTest.cpp
//
// A writer killed at random moments: the hive stays sound and every set that had returned
// S_OK is still there.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>

#include "QelConfig.h"
#include "StressSupport.h"
#include "support/HiveSandbox.h"

namespace {

using qeltest::Child;

constexpr int kRuns = 120;

TEST(CrashTest, AWriterKilledMidWriteLosesNoCompletedSet) {
    qeltest::HiveSandbox sandbox;
    const std::vector<ConfigKey> keys = qeltest::FreeSettings<int>();
    ASSERT_GE(keys.size(), 2u);
    std::mt19937 random(20240611);
    CQelConfig& config = QelConfig();
    int previous[2] = {-1, -1};  // what each setting held before the run; reading stores it
    for (std::size_t k = 0; k < 2; ++k) ASSERT_EQ(config.GetValue(keys[k], previous[k]), S_OK);
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const int base = (run + 1) * 100000;
        Child writer([&](int fd) {
            for (int i = 0;; ++i) {
                // Two settings, so that a kill can land between the writes of one report too.
                if (config.SetValue(keys[0], base + i) != S_OK) return 2;
                if (config.SetValue(keys[1], base + i) != S_OK) return 2;
                if (write(fd, &i, sizeof i) != sizeof i) return 3;
            }
        });
        // Killed after a random number of completed pairs (0 included: during start-up), and
        // a random short spin on top so the moment falls anywhere inside a write.
        const int wait = std::uniform_int_distribution<int>(0, 6)(random);
        int last = -1;
        for (int got = 0; got < wait && writer.Read(&last, sizeof last); ++got) {
        }
        for (int spin = std::uniform_int_distribution<int>(0, 20000)(random); spin > 0; --spin)
            asm volatile("" ::: "memory");
        kill(writer.Pid(), SIGKILL);
        for (int more = 0; writer.Read(&more, sizeof more);) last = more;
        const int status = writer.Wait();
        ASSERT_TRUE(status == -SIGKILL) << "the writer failed by itself: " << status;

        ASSERT_EQ(qeltest::IntegrityCheck(sandbox.UserHive()), "ok");
        for (std::size_t k = 0; k < 2; ++k) {
            int stored = -1;
            EXPECT_EQ(config.GetValue(keys[k], stored), S_OK);
            if (last >= 0) {
                // The reported pair is there; the kill may have let one more set through.
                EXPECT_TRUE(stored == base + last || stored == base + last + 1)
                    << "stored " << stored << ", last reported " << base + last;
            } else {
                EXPECT_TRUE(stored == previous[k] || stored == base)
                    << "stored " << stored << ", before the run " << previous[k];
            }
            previous[k] = stored;
        }
    }
}

}  // namespace
