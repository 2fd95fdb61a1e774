// File: StoreTest.cpp
//
// How hives are stored: how hard each commit is pushed to disk, who may read a machine hive a
// root writer left behind, and which files are refused because others could have changed them.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>
#include <string>

#include "QelRegistry.h"
#include "portable/QelHiveInfo.h"
#include "stress/FaultVfs.h"
#include "support/ChildProcess.h"
#include "support/HiveFiles.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"Software\\QelConfigTests\\Store";

LSTATUS WriteDword(HKEY root, const char16_t* name, DWORD value) {
    return qeltest::SetDword(root, kKey, name, value);
}

std::optional<DWORD> ReadDword(HKEY root, const char16_t* name) {
    return qeltest::GetDword(root, kKey, name);
}

DWORD Flags(HKEY root) {
    DWORD flags = 0;
    EXPECT_EQ(QelRegGetHiveInfo(root, nullptr, nullptr, &flags), ERROR_SUCCESS);
    return flags;
}

using qeltest::Beside;
using qeltest::InChild;
using qeltest::InChildAs;
using qeltest::kNobody;
using qeltest::kNoGroup;

// Closes this process's connections as the registry does before fork() (the library has no
// other call for it): a child is made and left at once.
void CloseConnections() {
    ASSERT_EQ(InChild([] { return 0; }), 0);
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

// QELCONFIG_TEST_VFS is honoured only for names a test would choose: any other name (one of
// SQLite's own VFSes without locking, say) leaves the hive on SQLite's default VFS. The same
// faulting VFS is registered under both names: through it every write would fail.
TEST(TestVfsTest, OnlyNamesStartingQeltestAreHonoured) {
    ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry());
    qeltest::FaultVfs& vfs = qeltest::FaultVfs::Install();
    const char* const other = "faults-under-another-name";
    qeltest::FaultVfs::InstallAlias(other);
    struct Case {
        const char* name;
        bool honoured;
    };
    for (const Case& test :
         {Case{other, false}, Case{"unix-none", false}, Case{qeltest::FaultVfs::kName, true}}) {
        SCOPED_TRACE(test.name);
        qeltest::EnvOverride name("QELCONFIG_TEST_VFS", test.name);
        qeltest::HiveSandbox sandbox;  // a new hive: a new connection, which reads the name
        ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 1), ERROR_SUCCESS);
        const long reads = vfs.FileReads();
        vfs.Inject(qeltest::Fault::IoError);
        const LSTATUS written = WriteDword(HKEY_CURRENT_USER, u"v", 2);
        vfs.Clear();
        if (test.honoured) {
            EXPECT_NE(written, ERROR_SUCCESS);
            EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"v"), 1u);
        } else {
            EXPECT_EQ(written, ERROR_SUCCESS);
            EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"v"), 2u);
            EXPECT_EQ(vfs.FileReads(), reads) << "the VFS was used";
        }
    }
}

// How the writer of a machine hive leaves it.
enum class WriterEnd {
    Exited,  // closed its connection, as a process that ends normally after closing its hives
    Killed,  // killed at once after its write: its commit is in the -wal alone
};

class MachineHiveTest : public ::testing::TestWithParam<WriterEnd> {};

// A machine hive that root wrote, left by a writer that closed it or was killed, is read by an
// unprivileged process (which can create nothing beside it).
TEST_P(MachineHiveTest, AMachineHiveRootWroteStaysReadableByOthers) {
    if (!qeltest::CanSwitchUser())
        GTEST_SKIP() << "needs root, to write as root and read as nobody";
    const WriterEnd end = GetParam();
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.MachineHive();
    // Only the directory the sandbox made is private; open it for the reader.
    ASSERT_EQ(chmod(sandbox.Directory().c_str(), 0755), 0);
    ASSERT_EQ(WriteDword(HKEY_LOCAL_MACHINE, u"earlier", 1), ERROR_SUCCESS);
    const int writer = InChild([end] {
        if (WriteDword(HKEY_LOCAL_MACHINE, u"v", 42) != ERROR_SUCCESS) return 1;
        if (end == WriterEnd::Killed) kill(getpid(), SIGKILL);
        // The last connection to close checkpoints the -wal into the hive.
        if (InChild([] { return 0; }) != 0) return 2;
        return 0;
    });
    ASSERT_EQ(writer, end == WriterEnd::Killed ? -SIGKILL : 0);
    // Both leave -wal and -shm for the reader; the closed hive holds everything in the main
    // file, its -wal emptied; the killed writer's commit is still in the -wal.
    ASSERT_TRUE(fs::is_regular_file(Beside(hive, "-wal")));
    ASSERT_TRUE(fs::is_regular_file(Beside(hive, "-shm")));
    if (end == WriterEnd::Exited) {
        EXPECT_EQ(fs::file_size(Beside(hive, "-wal")), 0u) << "the writer did not close the hive";
    } else {
        EXPECT_GT(fs::file_size(Beside(hive, "-wal")), 0u);
    }
    const int reader = InChildAs(kNobody, kNoGroup, [] {
        int failures = 0;
        failures += ReadDword(HKEY_LOCAL_MACHINE, u"v") != 42u;
        failures += ReadDword(HKEY_LOCAL_MACHINE, u"earlier") != 1u;
        failures += (Flags(HKEY_LOCAL_MACHINE) & QELHIVE_READONLY) == 0;
        failures += WriteDword(HKEY_LOCAL_MACHINE, u"v", 43) != ERROR_ACCESS_DENIED;
        return failures;
    });
    EXPECT_EQ(reader, 0) << (reader == qeltest::kCannotSwitchUser ? "could not become nobody"
                                                                  : "reads failed");
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"v"), 42u);
}

INSTANTIATE_TEST_SUITE_P(Writers, MachineHiveTest,
                         ::testing::Values(WriterEnd::Exited, WriterEnd::Killed),
                         [](const ::testing::TestParamInfo<WriterEnd>& param) {
                             return param.param == WriterEnd::Killed ? "Killed" : "Exited";
                         });

// Why the writer keeps -wal and -shm: SQLite cannot read a WAL-mode file for a user who may
// create neither beside it (it reads it as a rollback-journal database only when it can make
// them). Without them, such a reader is refused visibly, not served an empty hive without a
// word; as soon as a writer has had the hive open, it reads.
TEST(MachineHiveWithoutCompanionsTest, AReaderWhoCannotMakeTheWalIsRefusedUntilAWriterKeepsIt) {
    if (!qeltest::CanSwitchUser())
        GTEST_SKIP() << "needs root, to write as root and read as nobody";
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.MachineHive();
    ASSERT_EQ(chmod(sandbox.Directory().c_str(), 0755), 0);
    ASSERT_EQ(WriteDword(HKEY_LOCAL_MACHINE, u"v", 42), ERROR_SUCCESS);
    CloseConnections();
    ASSERT_TRUE(fs::is_regular_file(Beside(hive, "-wal")));
    ASSERT_EQ(fs::file_size(Beside(hive, "-wal")), 0u);
    fs::remove(Beside(hive, "-wal"));
    fs::remove(Beside(hive, "-shm"));
    const int refused = InChildAs(kNobody, kNoGroup, [] {
        qelreg::RegKey key;
        int failures = key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ) != ERROR_ACCESS_DENIED;
        QELHIVECHECK check{};
        failures += QelRegCheckHive(HKEY_LOCAL_MACHINE, &check) != ERROR_SUCCESS;
        failures += check.readStatus != ERROR_ACCESS_DENIED;
        return failures;
    });
    EXPECT_EQ(refused, 0) << (refused == qeltest::kCannotSwitchUser ? "could not become nobody"
                                                                    : "not refused as expected");
    EXPECT_EQ(qeltest::Listing(hive.parent_path()), std::vector<std::string>{"machine.hive"})
        << "the reader made files beside the hive";

    // A writer opens the hive (a read is enough) and keeps what it makes.
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"v"), 42u);
    CloseConnections();
    const int reader = InChildAs(kNobody, kNoGroup, [] {
        return static_cast<int>(ReadDword(HKEY_LOCAL_MACHINE, u"v") != 42u);
    });
    EXPECT_EQ(reader, 0);
}

// A machine hive whose -shm is gone, read by a user who cannot make one beside it: the check
// says so rather than reporting a bare read error.
TEST(HealthCheckAsAnotherUser, AWalWithoutItsShmIsExplained) {
    if (!qeltest::CanSwitchUser())
        GTEST_SKIP() << "needs root, to write as root and check as nobody";
    qeltest::HiveSandbox sandbox;
    ASSERT_EQ(chmod(sandbox.Directory().c_str(), 0755), 0);
    // Written by a writer that ends without closing, so that the values stay in the -wal.
    ASSERT_EQ(InChild([] { return static_cast<int>(WriteDword(HKEY_LOCAL_MACHINE, u"v", 4)); }), 0);
    fs::remove(sandbox.MachineHive().string() + "-shm");
    EXPECT_EQ(InChildAs(kNobody, kNoGroup,
                        [] {
                            QELHIVECHECK check{};
                            if (QelRegCheckHive(HKEY_LOCAL_MACHINE, &check) != ERROR_SUCCESS)
                                return 91;
                            int failures = check.readStatus == ERROR_SUCCESS;
                            failures += std::string(check.reason).find("-wal but no -shm") ==
                                        std::string::npos;
                            return failures;
                        }),
              0);
}

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
    auto check = [&test, &file] {
        int failures = 0;
        if (test.refused) {
            failures +=
                Flags(HKEY_CURRENT_USER) != (QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY);
            failures += ReadDword(HKEY_CURRENT_USER, u"v") != std::nullopt;
            failures += WriteDword(HKEY_CURRENT_USER, u"v", 8) != ERROR_ACCESS_DENIED;
            qelreg::RegKey key;
            failures += key.Open(HKEY_CURRENT_USER, kKey, KEY_WRITE) != ERROR_FILE_NOT_FOUND;
        } else {
            // Read-only only for a process the mode keeps from writing (root is not kept).
            const DWORD flags = Flags(HKEY_CURRENT_USER);
            failures += (flags & ~DWORD{QELHIVE_READONLY}) != 0u;
            failures += ((flags & QELHIVE_READONLY) != 0) != (access(file.c_str(), W_OK) != 0);
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
    // Made private again, the hive is used again. A -wal or -shm that SQLite made while the
    // hive was read-only took the hive's mode (0400 here), and is made private with it.
    for (const char* suffix : {"", "-wal", "-shm"})
        ASSERT_EQ(chmod((sandbox.UserHive().string() + suffix).c_str(), 0600), 0) << suffix;
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

// What another user could have put beside a hive, or done to it: each makes the hive refused
// (read as empty, writes denied) and is left where it was; once undone, the hive serves again.
struct PlantCase {
    const char* what;
    bool machine;    // the machine hive, else the user hive
    bool needsRoot;  // gives a file away
    std::function<void(const fs::path& hive)> plant;
    std::function<void(const fs::path& hive)> undo;
    const char* planted;  // the file that must still be there afterwards, beside the hive
    enum { File, Hive, Directory } blamed;  // what the health check must name

    fs::path Culprit(const fs::path& hive) const {
        if (blamed == Hive) return hive;
        return blamed == Directory ? hive.parent_path() : fs::path(hive.string() + planted);
    }
};

class PlantTest : public ::testing::TestWithParam<PlantCase> {};

void Chown(const fs::path& file, uid_t owner) { ASSERT_EQ(chown(file.c_str(), owner, 0), 0); }
void Chmod(const fs::path& file, mode_t mode) { ASSERT_EQ(chmod(file.c_str(), mode), 0); }

// Runs body in a child process that looks at the hive for the first time, as a new process
// would: through a directory linked to the hive's (this process keeps its view of a hive for
// up to a second).
int InFreshLook(const qeltest::HiveSandbox& sandbox, bool machine,
                const std::function<int()>& body) {
    static int looks = 0;
    const fs::path hive = machine ? sandbox.MachineHive() : sandbox.UserHive();
    const fs::path alias = sandbox.Directory() / ("look" + std::to_string(++looks));
    fs::create_directory_symlink(hive.parent_path(), alias);
    const std::string aliased = (alias / hive.filename()).string();
    return InChild([&] {
        setenv(machine ? "QELCONFIG_MACHINE_HIVE" : "QELCONFIG_USER_HIVE", aliased.c_str(), 1);
        return body();
    });
}

TEST_P(PlantTest, AHiveOthersCouldHaveChangedIsRefusedAndLeftAlone) {
    const PlantCase& test = GetParam();
    if (test.needsRoot && geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
    qeltest::HiveSandbox sandbox;
    const HKEY root = test.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const fs::path hive = test.machine ? sandbox.MachineHive() : sandbox.UserHive();
    ASSERT_EQ(WriteDword(root, u"v", 7), ERROR_SUCCESS);
    ASSERT_TRUE(fs::exists(Beside(hive, "-wal")));  // kept by the writer
    // fork() closes this process's connections, and the last close checkpoints the hive: done
    // before its bytes are taken.
    ASSERT_EQ(InChild([] { return 0; }), 0);
    const std::string bytes = qeltest::ReadBytes(hive);
    test.plant(hive);
    EXPECT_EQ(
        InFreshLook(sandbox, test.machine,
                    [&] {
                        int failures =
                            Flags(root) != (QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY);
                        // The health check names what broke the rules.
                        QELHIVECHECK check{};
                        failures += QelRegCheckHive(root, &check) != ERROR_SUCCESS;
                        failures += check.readStatus != ERROR_ACCESS_DENIED;
                        failures += std::string(check.reason).find(test.Culprit(hive).string()) ==
                                    std::string::npos;
                        failures += ReadDword(root, u"v") != std::nullopt;
                        failures += WriteDword(root, u"v", 8) != ERROR_ACCESS_DENIED;
                        return failures;
                    }),
        0);
    EXPECT_TRUE(fs::exists(fs::symlink_status(Beside(hive, test.planted))));
    EXPECT_TRUE(qeltest::ReadBytes(hive) == bytes) << "the hive changed";
    test.undo(hive);
    EXPECT_EQ(InFreshLook(sandbox, test.machine,
                          [&] { return static_cast<int>(ReadDword(root, u"v") != 7u); }),
              0);
}

const PlantCase kPlantCases[] = {
    // SQLite replays a rollback journal before it looks at the WAL; a hive never has one.
    {"JournalBesideTheHive", false, false,
     [](const fs::path& hive) {
         std::ofstream(Beside(hive, "-journal"), std::ios::binary) << std::string(4096, 'x');
     },
     [](const fs::path& hive) { fs::remove(Beside(hive, "-journal")); }, "-journal",
     PlantCase::File},
    {"JournalAsALink", true, false,
     [](const fs::path& hive) { fs::create_symlink("/dev/null", Beside(hive, "-journal")); },
     [](const fs::path& hive) { fs::remove(Beside(hive, "-journal")); }, "-journal",
     PlantCase::File},
    {"DirectoryOthersMayWrite", false, false,
     [](const fs::path& hive) { Chmod(hive.parent_path(), 01777); },
     [](const fs::path& hive) { Chmod(hive.parent_path(), 0700); }, "", PlantCase::Directory},
    {"DirectoryGroupMayWrite", true, false,
     [](const fs::path& hive) { Chmod(hive.parent_path(), 0770); },
     [](const fs::path& hive) { Chmod(hive.parent_path(), 0700); }, "", PlantCase::Directory},
    {"DirectoryOfAnotherUser", false, true,
     [](const fs::path& hive) { Chown(hive.parent_path(), kNobody); },
     [](const fs::path& hive) { Chown(hive.parent_path(), geteuid()); }, "", PlantCase::Directory},
    {"MachineHiveOfAnotherUser", true, true, [](const fs::path& hive) { Chown(hive, kNobody); },
     [](const fs::path& hive) { Chown(hive, 0); }, "", PlantCase::Hive},
    {"MachineWalOfAnotherUser", true, true,
     [](const fs::path& hive) { Chown(Beside(hive, "-wal"), kNobody); },
     [](const fs::path& hive) { Chown(Beside(hive, "-wal"), 0); }, "-wal", PlantCase::File},
    {"UserShmOfAnotherUser", false, true,
     [](const fs::path& hive) { Chown(Beside(hive, "-shm"), kNobody); },
     [](const fs::path& hive) { Chown(Beside(hive, "-shm"), geteuid()); }, "-shm", PlantCase::File},
    {"UserHiveOfAnotherUser", false, true, [](const fs::path& hive) { Chown(hive, kNobody); },
     [](const fs::path& hive) { Chown(hive, geteuid()); }, "", PlantCase::Hive},
};

INSTANTIATE_TEST_SUITE_P(Plants, PlantTest, ::testing::ValuesIn(kPlantCases),
                         [](const ::testing::TestParamInfo<PlantCase>& param) {
                             return std::string(param.param.what);
                         });

struct HealthCase {
    const char* what;
    std::function<void(const qeltest::HiveSandbox&)> arrange;
    LSTATUS read;
    LSTATUS write;
    const char* reason;  // a part of the reason given
    bool readOnlySwitch = false;
};

class HealthCheckTest : public ::testing::TestWithParam<HealthCase> {};

// Holds the hive's write lock from a child process until the returned descriptor is closed.
int HoldWriteLock(const fs::path& hive, const char* change = nullptr) {
    int ready[2];
    int hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return -1;
    if (fork() == 0) {
        close(hold[1]);  // or the read below never sees the end
        close(ready[0]);
        sqlite3* db = nullptr;
        sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        const bool locked =
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
            (change == nullptr || sqlite3_exec(db, change, nullptr, nullptr, nullptr) == SQLITE_OK);
        const char answer = locked ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        char ignored = 0;
        (void)!read(hold[0], &ignored, 1);
        _exit(0);
    }
    close(hold[0]);
    char answer = 0;
    const bool locked = read(ready[0], &answer, 1) == 1 && answer == 'y';
    close(ready[0]);
    close(ready[1]);
    if (!locked) close(hold[1]);
    return locked ? hold[1] : -1;
}

// What doctor relies on: whether a hive can serve, and the real reason when not, found without
// changing it.
TEST_P(HealthCheckTest, TheCheckTellsWhetherAndWhyAHiveCannotServe) {
    const HealthCase& test = GetParam();
    qeltest::HiveSandbox sandbox;
    // Arranged in a child that ends without closing its connection, as a killed writer would:
    // its commits stay in the -wal, which the check's close must not checkpoint into the hive.
    ASSERT_EQ(InChild([&] {
                  test.arrange(sandbox);
                  return 0;
              }),
              0);
    if (test.readOnlySwitch) setenv("QELCONFIG_READONLY_HIVES", "user", 1);
    int holder = -1;
    if (test.write == ERROR_BUSY) {
        holder = HoldWriteLock(sandbox.UserHive());
        ASSERT_GE(holder, 0);
    }
    const std::string before = qeltest::ReadBytes(sandbox.UserHive());
    const std::string walBefore = qeltest::ReadBytes(Beside(sandbox.UserHive(), "-wal"));
    QELHIVECHECK check{};
    ASSERT_EQ(QelRegCheckHive(HKEY_CURRENT_USER, &check), ERROR_SUCCESS);
    if (holder >= 0) close(holder);
    EXPECT_EQ(check.readStatus, test.read);
    EXPECT_EQ(check.writeStatus, test.write);
    if (test.read == ERROR_SUCCESS && test.write == ERROR_SUCCESS) {
        EXPECT_STREQ(check.reason, "");
    } else {
        EXPECT_NE(std::string(check.reason).find(test.reason), std::string::npos) << check.reason;
    }
    EXPECT_TRUE(qeltest::ReadBytes(sandbox.UserHive()) == before) << "the check changed the hive";
    EXPECT_TRUE(qeltest::ReadBytes(Beside(sandbox.UserHive(), "-wal")) == walBefore)
        << "or its -wal";
    unsetenv("QELCONFIG_READONLY_HIVES");
}

const HealthCase kHealthCases[] = {
    {"Healthy", [](const qeltest::HiveSandbox&) { WriteDword(HKEY_CURRENT_USER, u"v", 1); },
     ERROR_SUCCESS, ERROR_SUCCESS, ""},
    {"Missing", [](const qeltest::HiveSandbox&) {}, ERROR_SUCCESS, ERROR_SUCCESS, ""},
    {"Damaged",
     [](const qeltest::HiveSandbox& sandbox) {
         fs::create_directories(sandbox.UserHive().parent_path());
         std::ofstream(sandbox.UserHive()) << std::string(8192, 'x');
     },
     ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_CORRUPT, "doctor --repair"},
    {"ReadOnlySwitch", [](const qeltest::HiveSandbox&) { WriteDword(HKEY_CURRENT_USER, u"v", 1); },
     ERROR_SUCCESS, ERROR_ACCESS_DENIED, "QELCONFIG_READONLY_HIVES", true},
    {"PlantedJournal",
     [](const qeltest::HiveSandbox& sandbox) {
         WriteDword(HKEY_CURRENT_USER, u"v", 1);
         std::ofstream(Beside(sandbox.UserHive(), "-journal")) << "x";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "rollback journal"},
    {"HeldByAnotherProcess",
     [](const qeltest::HiveSandbox&) { WriteDword(HKEY_CURRENT_USER, u"v", 1); }, ERROR_SUCCESS,
     ERROR_BUSY, "busy"},
};

INSTANTIATE_TEST_SUITE_P(Hives, HealthCheckTest, ::testing::ValuesIn(kHealthCases),
                         [](const ::testing::TestParamInfo<HealthCase>& param) {
                             return std::string(param.param.what);
                         });

// A -wal left without its hive would be replayed into the next hive made at the path.
TEST(OrphanTest, ACompanionWithoutItsHiveStopsANewHiveBeingMade) {
    qeltest::HiveSandbox sandbox;
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 7), ERROR_SUCCESS);
    const fs::path hive = sandbox.UserHive();
    const fs::path moved = sandbox.Directory() / "moved.hive";
    fs::rename(hive, moved);
    EXPECT_EQ(
        InFreshLook(sandbox, false,
                    [] {
                        int failures = Flags(HKEY_CURRENT_USER) !=
                                       (QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY);
                        failures += WriteDword(HKEY_CURRENT_USER, u"v", 8) != ERROR_ACCESS_DENIED;
                        return failures;
                    }),
        0);
    EXPECT_FALSE(fs::exists(hive));
    fs::rename(moved, hive);
    EXPECT_EQ(
        InFreshLook(sandbox, false,
                    [] { return static_cast<int>(ReadDword(HKEY_CURRENT_USER, u"v") != 7u); }),
        0);
}

// Dotfile managers link ~/.config elsewhere: links among the directories above a hive are
// followed, when it is made and when it is used; only the hive file itself may not be a link.
TEST(LinkedDirectoryTest, AHiveBelowALinkedDirectoryIsMadeAndUsed) {
    qeltest::HiveSandbox sandbox;
    const fs::path real = sandbox.Directory() / "real-config";
    const fs::path linked = sandbox.Directory() / "linked-config";
    fs::create_directory(real);
    fs::create_directory_symlink(real, linked);
    for (const fs::path& hive : {linked / "user.hive", linked / "qelconfig" / "user.hive"}) {
        setenv("QELCONFIG_USER_HIVE", hive.c_str(), 1);
        EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 5), ERROR_SUCCESS) << hive;
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"v"), 5u) << hive;
        EXPECT_EQ(Flags(HKEY_CURRENT_USER), 0u) << hive;
        EXPECT_TRUE(fs::is_regular_file(real / fs::relative(hive, linked))) << hive;
    }
    setenv("QELCONFIG_USER_HIVE", sandbox.UserHive().c_str(), 1);
}

// A hive, -wal or -shm that is not a regular file (a FIFO would block SQLite's reads, a
// directory or device is nobody's hive) is refused, and left as it is.
struct NotRegularCase {
    const char* what;
    const char* suffix;  // the file made special: "" for the hive itself
    bool fifo;           // else a directory
};

class NotRegularTest : public ::testing::TestWithParam<NotRegularCase> {};

TEST_P(NotRegularTest, AHiveOrCompanionThatIsNotARegularFileIsRefused) {
    const NotRegularCase& test = GetParam();
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.UserHive();
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 7), ERROR_SUCCESS);
    CloseConnections();
    const fs::path special = Beside(hive, test.suffix);
    fs::remove(special);
    if (test.fifo) {
        ASSERT_EQ(mkfifo(special.c_str(), 0600), 0);
    } else {
        ASSERT_TRUE(fs::create_directory(special));
        ASSERT_EQ(chmod(special.c_str(), 0700), 0);
    }
    EXPECT_EQ(InFreshLook(sandbox, false,
                          [] {
                              // A FIFO opened as a hive would block the child: end it instead.
                              alarm(60);
                              int failures = (Flags(HKEY_CURRENT_USER) & QELHIVE_REFUSED) == 0;
                              failures += ReadDword(HKEY_CURRENT_USER, u"v") != std::nullopt;
                              failures +=
                                  WriteDword(HKEY_CURRENT_USER, u"v", 8) != ERROR_ACCESS_DENIED;
                              return failures;
                          }),
              0);
    const fs::file_status status = fs::symlink_status(special);
    EXPECT_EQ(status.type(), test.fifo ? fs::file_type::fifo : fs::file_type::directory);
    if (!test.fifo) {
        EXPECT_TRUE(fs::is_empty(special));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, NotRegularTest,
                         ::testing::Values(NotRegularCase{"HiveFifo", "", true},
                                           NotRegularCase{"HiveDirectory", "", false},
                                           NotRegularCase{"WalFifo", "-wal", true},
                                           NotRegularCase{"WalDirectory", "-wal", false},
                                           NotRegularCase{"ShmFifo", "-shm", true},
                                           NotRegularCase{"ShmDirectory", "-shm", false}),
                         [](const ::testing::TestParamInfo<NotRegularCase>& param) {
                             return std::string(param.param.what);
                         });

// Readers never wait for a writer: another connection holding the write lock, with a change
// not yet committed, leaves every read served with what was committed before, and no read even
// asks for the write lock (counted through the test VFS, so no clock is involved).
TEST(ReaderTest, ReadsGoOnWhileAnotherProcessHoldsTheWriteLock) {
    ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry());
    qeltest::FaultVfs& vfs = qeltest::FaultVfs::Install();
    qeltest::HiveSandbox sandbox;
    const std::u16string deep = kKey + u"\\A\\B\\C";  // read in a transaction of its own
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, u"v", 7), ERROR_SUCCESS);
    ASSERT_EQ(qeltest::SetDword(HKEY_CURRENT_USER, deep, u"w", 8), ERROR_SUCCESS);
    const int holder = HoldWriteLock(sandbox.UserHive(), "UPDATE vals SET data = x'63000000'");
    ASSERT_GE(holder, 0);
    // In a fresh process, whose first look at the hive also comes while the lock is held.
    EXPECT_EQ(InChild([&deep, &vfs] {
                  setenv("QELCONFIG_TEST_VFS", qeltest::FaultVfs::kName, 1);
                  const long attempts = vfs.WriteLockAttempts();
                  const long transactions = vfs.ReadTransactions();
                  int failures = ReadDword(HKEY_CURRENT_USER, u"v") != 7u;
                  failures += qeltest::GetDword(HKEY_CURRENT_USER, deep, u"w") != 8u;
                  failures += vfs.ReadTransactions() == transactions;  // the VFS was used
                  failures += vfs.WriteLockAttempts() != attempts;
                  return failures;
              }),
              0);
    close(holder);
}

}  // namespace
