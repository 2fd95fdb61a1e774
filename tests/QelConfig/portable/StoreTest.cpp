// File: StoreTest.cpp
//
// How hives are stored: how hard each commit is pushed to disk, who may read a machine hive a
// root writer left behind, and which files are refused because others could have changed them.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "QelPlatform.h"
#include "portable/QelHiveInfo.h"
#include "stress/FaultVfs.h"
#include "support/HiveSandbox.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"Software\\QelConfigTests\\Store";

LSTATUS WriteDword(HKEY root, const char16_t* name, DWORD value) {
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(root, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value);
    RegCloseKey(handle);
    return status;
}

std::optional<DWORD> ReadDword(HKEY root, const char16_t* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, kKey.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS status =
        RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return value;
}

DWORD Flags(HKEY root) {
    DWORD flags = 0;
    EXPECT_EQ(QelRegGetHiveInfo(root, nullptr, nullptr, &flags), ERROR_SUCCESS);
    return flags;
}

// Runs body in a forked child; its exit code, or -signal.
int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

struct SyncCase {
    const char* what;
    const char* setting;  // QELCONFIG_SYNC, or null
    bool syncsEachCommit;
};

class SyncTest : public ::testing::TestWithParam<SyncCase> {};

// Counted through a VFS layered over SQLite's own: a sync of the -wal file per commit, or none.
TEST_P(SyncTest, TheSyncSettingDecidesWhetherCommitsAreSynced) {
    ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry());
    qeltest::FaultVfs& vfs = qeltest::FaultVfs::Install();
    setenv("QELCONFIG_TEST_VFS", qeltest::FaultVfs::kName, 1);
    if (GetParam().setting != nullptr)
        setenv("QELCONFIG_SYNC", GetParam().setting, 1);
    else
        unsetenv("QELCONFIG_SYNC");
    {
        qeltest::HiveSandbox sandbox;  // a new hive: a new connection, which reads the setting
        ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"first", 0), ERROR_SUCCESS);
        constexpr int kCommits = 20;
        const long before = vfs.WalSyncs();
        for (DWORD i = 0; i < kCommits; ++i)
            ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", i + 1), ERROR_SUCCESS);
        const long syncs = vfs.WalSyncs() - before;
        if (GetParam().syncsEachCommit)
            EXPECT_GE(syncs, kCommits);
        else
            EXPECT_EQ(syncs, 0);
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"v"), DWORD{kCommits});
    }
    unsetenv("QELCONFIG_SYNC");
    unsetenv("QELCONFIG_TEST_VFS");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SyncTest,
    ::testing::Values(SyncCase{"Default", nullptr, false}, SyncCase{"Normal", "normal", false},
                      SyncCase{"Full", "full", true}, SyncCase{"Unknown", "fast", false}),
    [](const ::testing::TestParamInfo<SyncCase>& param) { return std::string(param.param.what); });

class MachineHiveTest : public ::testing::TestWithParam<bool> {};

// A machine hive that root wrote, left by a writer that exited or was killed, is read by an
// unprivileged process (which can create nothing beside it).
TEST_P(MachineHiveTest, AMachineHiveRootWroteStaysReadableByOthers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to write as root and read as nobody";
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    const bool killed = GetParam();
    qeltest::HiveSandbox sandbox;
    // Only the directory the sandbox made is private; open it for the reader.
    ASSERT_EQ(chmod(sandbox.Directory().c_str(), 0755), 0);
    ASSERT_EQ(WriteDword(HKEY_LOCAL_MACHINE, u"earlier", 1), ERROR_SUCCESS);
    const int writer = InChild([killed] {
        if (WriteDword(HKEY_LOCAL_MACHINE, u"v", 42) != ERROR_SUCCESS) return 1;
        if (killed) kill(getpid(), SIGKILL);
        return 0;
    });
    ASSERT_EQ(writer, killed ? -SIGKILL : 0);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const int reader = InChild([uid, gid] {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 90;
        int failures = 0;
        failures += ReadDword(HKEY_LOCAL_MACHINE, u"v") != 42u;
        failures += ReadDword(HKEY_LOCAL_MACHINE, u"earlier") != 1u;
        failures += (Flags(HKEY_LOCAL_MACHINE) & QELHIVE_READONLY) == 0;
        failures += WriteDword(HKEY_LOCAL_MACHINE, u"v", 43) != ERROR_ACCESS_DENIED;
        return failures;
    });
    EXPECT_EQ(reader, 0) << (reader == 90 ? "could not become nobody" : "reads failed");
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"v"), 42u);
}

INSTANTIATE_TEST_SUITE_P(Writers, MachineHiveTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Killed" : "Exited";
                         });

struct ModeCase {
    const char* what;
    const char* suffix;  // the file whose mode is changed
    mode_t mode;
    bool refused;
    // A change to the main file shows at once; one to -wal or -shm when the hive is next
    // opened (or within a second), so those are checked in a fresh process.
    bool freshProcess;
};

class HiveModeTest : public ::testing::TestWithParam<ModeCase> {};

// A mode check, not an access check, so it holds for root too.
TEST_P(HiveModeTest, AHiveOthersMayWriteIsRefused) {
    const ModeCase& test = GetParam();
    qeltest::HiveSandbox sandbox;
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 7), ERROR_SUCCESS);
    const std::string file = sandbox.UserHive().string() + test.suffix;
    ASSERT_EQ(chmod(file.c_str(), test.mode), 0);
    auto check = [&test] {
        int failures = 0;
        if (test.refused) {
            failures +=
                Flags(HKEY_CURRENT_USER) != (QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY);
            failures += ReadDword(HKEY_CURRENT_USER, u"v") != std::nullopt;
            failures += WriteDword(HKEY_CURRENT_USER, u"v", 8) != ERROR_ACCESS_DENIED;
            HKEY key = nullptr;
            failures += RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_WRITE, &key) !=
                        ERROR_FILE_NOT_FOUND;
        } else {
            failures += Flags(HKEY_CURRENT_USER) != 0u;
            failures += ReadDword(HKEY_CURRENT_USER, u"v") != 7u;
        }
        return failures;
    };
    if (test.freshProcess) {
        // A forked child shares its parent's view of the hive; reaching the same file through
        // a linked directory gives it a first look of its own, as a new process would have.
        const fs::path alias = sandbox.Directory() / "alias";
        fs::create_directory_symlink(sandbox.UserHive().parent_path(), alias);
        const std::string aliased = (alias / sandbox.UserHive().filename()).string();
        EXPECT_EQ(InChild([&check, &aliased] {
                      setenv("QELCONFIG_USER_HIVE", aliased.c_str(), 1);
                      return check();
                  }),
                  0);
    } else {
        EXPECT_EQ(check(), 0);
    }
    // Made private again, the hive is used again.
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(Flags(HKEY_CURRENT_USER), 0u);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"v"), 7u);
    EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 9), ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Modes, HiveModeTest,
                         ::testing::Values(ModeCase{"OthersWrite", "", 0602, true, false},
                                           ModeCase{"GroupWrite", "", 0620, true, false},
                                           ModeCase{"OthersRead", "", 0644, false, false},
                                           ModeCase{"ReadOnly", "", 0400, false, false},
                                           ModeCase{"WalOthersWrite", "-wal", 0666, true, true},
                                           ModeCase{"ShmGroupWrite", "-shm", 0660, true, true}),
                         [](const ::testing::TestParamInfo<ModeCase>& param) {
                             return std::string(param.param.what);
                         });

TEST(HiveOwnerTest, AUserHiveOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
    qeltest::HiveSandbox sandbox;
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 7), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(HKEY_LOCAL_MACHINE, u"v", 8), ERROR_SUCCESS);
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        const fs::path hive =
            root == HKEY_CURRENT_USER ? sandbox.UserHive() : sandbox.MachineHive();
        ASSERT_EQ(chown(hive.c_str(), 65534, 65534), 0);
    }
    EXPECT_EQ(Flags(HKEY_CURRENT_USER), QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"v"), std::nullopt);
    // The machine hive may belong to anyone who keeps it to themselves.
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"v"), 8u);
}

}  // namespace
