// File: HiveRepairTest.cpp
//
// QelRegRepairHive through the library's interface, on hives damaged on disk: the machine hive is
// mended like the user's (with the machine hive's mode), and a hive that changes while the
// repair reads it is left where it is.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "QelRegistry.h"
#include "portable/QelHiveInfo.h"
#include "portable/QelHiveRepair.h"
#include "support/ChildProcess.h"
#include "support/HiveFiles.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"Software\\QelConfigTests\\Repair";
constexpr int kValues = 200;
constexpr std::size_t kPage = 4096;

std::u16string Name(int i) {
    const std::string digits = std::to_string(1000 + i);
    return u"value" + std::u16string(digits.begin(), digits.end());
}

// Fills a hive with kValues values of 200 bytes each, closes it (everything in the main file),
// and overwrites the page holding value 100's data with garbage: a hive whose header and schema
// pass, with a bad page in the middle.
void MakeDamagedHive(HKEY root, const fs::path& hive) {
    for (int i = 0; i < kValues; ++i) {
        const std::vector<BYTE> data(200, static_cast<BYTE>(i));
        qeltest::WriteRaw(root, kKey, Name(i), REG_BINARY, data);
    }
    ASSERT_EQ(qeltest::InChild([] { return 0; }), 0);  // closes the connection: a checkpoint
    std::string bytes = qeltest::ReadBytes(hive);
    const std::size_t at = bytes.find(std::string(200, static_cast<char>(100)));
    ASSERT_NE(at, std::string::npos);
    const std::size_t page = at / kPage;
    ASSERT_GT(page, 1u) << "not the header or the schema";
    bytes.replace(page * kPage, kPage, qeltest::Garbage(kPage, 3));
    qeltest::WriteBytes(hive, bytes);
    ASSERT_EQ(chmod(hive.c_str(), root == HKEY_LOCAL_MACHINE ? 0644 : 0600), 0);
}

std::vector<std::string> Matching(const fs::path& directory, const std::string& part) {
    std::vector<std::string> names;
    for (const std::string& name : qeltest::Listing(directory))
        if (name.find(part) != std::string::npos) names.push_back(name);
    return names;
}

TEST(HiveRepairTest, ADamagedMachineHiveIsMovedAsideAndRebuilt) {
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.MachineHive();
    MakeDamagedHive(HKEY_LOCAL_MACHINE, hive);
    // In a process that has not used the hive, as the repair asks.
    const int repaired = qeltest::InChild([] {
        QelHiveRepairReport report;
        const LSTATUS rc = QelRegRepairHive(HKEY_LOCAL_MACHINE, 0, &report);
        if (rc != ERROR_SUCCESS) return 1;
        if (report.state != QelHiveState::Damaged) return 2;
        if (!report.replaced) return 3;
        const auto saved = static_cast<int>(report.savedValues);
        if (saved <= 0 || saved >= kValues) return 4;
        const auto lostValues =
            std::count_if(report.lost.begin(), report.lost.end(),
                          [](const QelHiveRepairLoss& loss) { return loss.isValue; });
        if (static_cast<int>(lostValues) + saved != kValues) return 5;
        return 0;
    });
    ASSERT_EQ(repaired, 0);
    // A new hive in its place with the machine hive's mode.
    // The damaged file kept aside with its -wal and -shm.
    const std::vector<std::string> aside = Matching(hive.parent_path(), ".corrupt-");
    ASSERT_EQ(aside.size(), 3u);
    EXPECT_EQ(aside[0].rfind("machine.hive.corrupt-", 0), 0u);
    EXPECT_EQ(aside[1], aside[0] + "-shm");
    EXPECT_EQ(aside[2], aside[0] + "-wal");
    EXPECT_EQ(qeltest::ModeOf(hive), 0644u);
    EXPECT_EQ(qeltest::IntegrityCheck(hive), "ok");
    // Read as a process that never saw the damaged hive would (this one looks at the path
    // again only once a second): through a directory linked to the hive's.
    const fs::path alias = sandbox.Directory() / "alias";
    fs::create_directory_symlink(hive.parent_path(), alias);
    const std::string aliased = (alias / hive.filename()).string();
    const int read = qeltest::InChild([&aliased] {
        setenv("QELCONFIG_MACHINE_HIVE", aliased.c_str(), 1);
        DWORD flags = 1;
        if (QelRegGetHiveInfo(HKEY_LOCAL_MACHINE, nullptr, nullptr, &flags) != ERROR_SUCCESS ||
            flags != 0)
            return 1;
        int readable = 0;
        for (int i = 0; i < kValues; ++i) {
            const auto value = qeltest::ReadRaw(HKEY_LOCAL_MACHINE, kKey, Name(i));
            if (value && value->data == std::vector<BYTE>(200, static_cast<BYTE>(i))) ++readable;
        }
        if (!qeltest::ReadRaw(HKEY_LOCAL_MACHINE, kKey, Name(0))) return 2;
        return readable > 0 && readable < kValues ? 0 : 3;
    });
    EXPECT_EQ(read, 0) << "1: not a sound hive, 2: value 0 lost, 3: not the values saved";
}

// The hive ChangeHiveOnCheck changes (once) in the child that repairs it.
fs::path g_changing;
bool g_changed = false;

// An automatic extension of SQLite, so run for every connection the process opens. The first
// one on the repair's private copy of the hive (in its qelconfig-repair- directory) is the
// check of that copy: after the copy was taken, before the damaged hive is moved. Another
// program writes to the hive then: one more page at its end.
int ChangeHiveOnCheck(sqlite3* db, char** /*error*/, const sqlite3_api_routines* /*api*/) {
    const char* file = sqlite3_db_filename(db, "main");
    if (g_changed || file == nullptr ||
        std::string_view(file).find("/qelconfig-repair-") == std::string_view::npos)
        return SQLITE_OK;
    g_changed = true;
    qeltest::WriteBytes(g_changing, qeltest::ReadBytes(g_changing) + qeltest::Garbage(kPage, 9));
    return SQLITE_OK;
}

// The repair reads a copy of the hive and checks, just before it moves the hive, that the file
// is still the one it read: here the hive changes while the repair works (when it checks the
// copy), and the repair gives up with ERROR_BUSY, leaving the changed hive where it was and
// nothing of its own behind.
TEST(HiveRepairTest, AHiveThatChangesWhileRepairedIsLeftInPlace) {
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.UserHive();
    MakeDamagedHive(HKEY_CURRENT_USER, hive);
    const std::vector<std::string> before = qeltest::Listing(hive.parent_path());
    const std::size_t damagedSize = qeltest::ReadBytes(hive).size();
    const int result = qeltest::InChild([&hive] {
        g_changing = hive;
        // SQLite takes any entry point as void(void) and calls it with its real arguments.
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&ChangeHiveOnCheck));
        QelHiveRepairReport report;
        const LSTATUS rc = QelRegRepairHive(HKEY_CURRENT_USER, 0, &report);
        if (!g_changed) return 100;                             // the copy was never checked
        if (report.state != QelHiveState::Damaged) return 101;  // the damage was never reported
        return rc == ERROR_BUSY ? 0 : 1;
    });
    ASSERT_EQ(result, 0) << (result == 100   ? "the copy was never checked"
                             : result == 101 ? "no damage reported"
                                             : "the repair went on");
    EXPECT_EQ(qeltest::Listing(hive.parent_path()), before) << "the repair left files";
    EXPECT_TRUE(Matching(hive.parent_path(), ".corrupt-").empty());
    // The hive at the path is the changed one, not moved and not replaced.
    EXPECT_EQ(qeltest::ReadBytes(hive).size(), damagedSize + kPage);
}

}  // namespace
