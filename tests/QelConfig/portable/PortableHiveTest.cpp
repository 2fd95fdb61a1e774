// File: PortableHiveTest.cpp
//
// The portable registry's dealings with the file system and with other processes: where hives
// are, how they are created, what happens to files that are not hives, the read-only switch,
// and several processes (or a forked child) sharing one hive.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QelRegistry.h"
#include "portable/HiveFile.h"
#include "portable/QelHiveInfo.h"
#include "support/ChildProcess.h"
#include "support/HiveFiles.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

// POSIX has programs declare it themselves; glibc also does when _GNU_SOURCE is defined.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

namespace fs = std::filesystem;
using qeltest::kTestRoot;

using qeltest::EnvOverride;
using qeltest::InChild;
using qeltest::Listing;
using qeltest::ReadBytes;
using qeltest::WriteBytes;

std::u16string Under(const std::u16string& sub) { return std::u16string(kTestRoot) + u"\\" + sub; }

LSTATUS WriteDword(HKEY root, const std::u16string& key, const char16_t* name, DWORD value) {
    return qeltest::SetDword(root, key, name, value);
}

std::optional<DWORD> ReadDword(HKEY root, const std::u16string& key, const char16_t* name) {
    return qeltest::GetDword(root, key, name);
}

struct HiveInfo {
    LSTATUS status;
    std::string path;
    DWORD flags;
};

HiveInfo Info(HKEY root) {
    char path[4096];
    DWORD size = sizeof path;
    DWORD flags = 0;
    const LSTATUS status = QelRegGetHiveInfo(root, path, &size, &flags);
    return {status, status == ERROR_SUCCESS ? std::string(path) : std::string(), flags};
}

// Whether a descriptor was opened O_PATH (it reads and locks nothing), from /proc/self/fdinfo.
bool IsPathDescriptor(const std::string& fd) {
    std::ifstream info("/proc/self/fdinfo/" + fd);
    std::string field;
    unsigned long flags = 0;
    while (info >> field) {
        if (field == "flags:" && info >> std::oct >> flags) return (flags & O_PATH) != 0;
    }
    return false;
}

// How many of this process's descriptors are open on the file for reading or writing (O_PATH
// ones left out), or -1 where that cannot be seen.
int DescriptorsOn(const fs::path& file) {
    std::error_code error;
    fs::directory_iterator fds("/proc/self/fd", error);
    if (error) return -1;
    int count = 0;
    for (const auto& entry : fds) {
        if (fs::read_symlink(entry.path(), error) == file &&
            !IsPathDescriptor(entry.path().filename().string()))
            ++count;
    }
    return count;
}

class PortableHiveTest : public ::testing::Test {
protected:
    // The bytes of a genuine hive holding kTestRoot\Sample with a few dozen values, spread over
    // several pages, with everything checkpointed into the main file.
    std::string ValidHiveBytes() {
        return ValidHiveBytes(m_sandbox.Directory() / "sample" / "sample.hive");
    }
    static std::string ValidHiveBytes(const fs::path& path) {
        const std::string bytes = qeltest::BuildHive(path, [] {
            const std::u16string big(300, u'x');
            for (DWORD i = 0; i < 40; ++i) {
                const std::u16string name = u"value" + std::u16string(1, u'A' + i % 26) + big;
                EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Sample"), name.c_str(), i),
                          ERROR_SUCCESS);
            }
        });
        EXPECT_GT(bytes.size(), 4u * 4096u) << "the sample should span several pages";
        return bytes;
    }

    qeltest::HiveSandbox m_sandbox;
};

TEST_F(PortableHiveTest, TheEnvironmentChoosesTheHiveOnEveryCall) {
    const fs::path first = m_sandbox.UserHive();
    const fs::path second = m_sandbox.Directory() / "second" / "user.hive";
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Env"), u"v", 1), ERROR_SUCCESS);
    {
        EnvOverride other("QELCONFIG_USER_HIVE", second.c_str());
        EXPECT_EQ(Info(HKEY_CURRENT_USER).path, second.string());
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Env"), u"v"), std::nullopt);
        ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Env"), u"v", 2), ERROR_SUCCESS);
    }
    EXPECT_EQ(Info(HKEY_CURRENT_USER).path, first.string());
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Env"), u"v"), 1u);
    EXPECT_EQ(Info(HKEY_LOCAL_MACHINE).path, m_sandbox.MachineHive().string());
}

TEST_F(PortableHiveTest, TheUserHiveDefaultsToTheXdgConfigDirectory) {
    const fs::path xdg = m_sandbox.Directory() / "xdg";
    EnvOverride noHive("QELCONFIG_USER_HIVE", nullptr);
    EnvOverride config("XDG_CONFIG_HOME", xdg.c_str());
    const fs::path expected = xdg / "qelconfig" / "user.hive";
    EXPECT_EQ(Info(HKEY_CURRENT_USER).path, expected.string());
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Xdg"), u"v", 1), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_regular_file(expected));
}

TEST_F(PortableHiveTest, WithoutXdgTheUserHiveIsUnderHome) {
    const fs::path home = m_sandbox.Directory() / "home";
    fs::create_directories(home);
    EnvOverride noHive("QELCONFIG_USER_HIVE", nullptr);
    EnvOverride noXdg("XDG_CONFIG_HOME", nullptr);
    EnvOverride homeVar("HOME", home.c_str());
    const fs::path expected = home / ".config" / "qelconfig" / "user.hive";
    EXPECT_EQ(Info(HKEY_CURRENT_USER).path, expected.string());
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Home"), u"v", 1), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_regular_file(expected));
    // Directories made for the user's hive are private, as XDG asks.
    EXPECT_EQ(qeltest::ModeOf(home / ".config"), 0700u);
    EXPECT_EQ(qeltest::ModeOf(home / ".config" / "qelconfig"), 0700u);
}

TEST_F(PortableHiveTest, AMissingHiveReadsEmptyAndIsCreatedOnFirstWrite) {
    const fs::path hive = m_sandbox.UserHive();
    ASSERT_FALSE(fs::exists(hive.parent_path()));
    EXPECT_EQ(Info(HKEY_CURRENT_USER).flags, QELHIVE_MISSING);

    qelreg::RegKey root;
    EXPECT_EQ(root.Open(HKEY_CURRENT_USER, nullptr, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Any"), u"v"), std::nullopt);
    qelreg::RegKey key;
    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"Software", KEY_READ), ERROR_FILE_NOT_FOUND);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(HKEY_CURRENT_USER, u"v", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    char16_t name[64];
    DWORD length = 64;
    EXPECT_EQ(
        RegEnumKeyExW(HKEY_CURRENT_USER, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, u"v"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(hive.parent_path())) << "reading must not create anything";

    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"First"), u"v", 7), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"First"), u"v"), 7u);
    EXPECT_EQ(qeltest::ModeOf(hive), 0600u);
    EXPECT_EQ(qeltest::ModeOf(hive.parent_path()), 0700u);
    EXPECT_EQ(Info(HKEY_CURRENT_USER).flags, 0u);

    // The machine hive is for every user to read.
    ASSERT_EQ(WriteDword(HKEY_LOCAL_MACHINE, Under(u"First"), u"v", 8), ERROR_SUCCESS);
    EXPECT_EQ(qeltest::ModeOf(m_sandbox.MachineHive()), 0644u);
    EXPECT_EQ(qeltest::ModeOf(m_sandbox.MachineHive().parent_path()), 0755u);
}

TEST_F(PortableHiveTest, AHiveRemovedOnDiskIsNoticedAndMadeAgain) {
    const fs::path hive = m_sandbox.UserHive();
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Old"), u"v", 1), ERROR_SUCCESS);
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(hive.string() + suffix);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), std::nullopt);
    EXPECT_EQ(Info(HKEY_CURRENT_USER).flags, QELHIVE_MISSING);
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"New"), u"v", 2), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"New"), u"v"), 2u);
    EXPECT_TRUE(fs::is_regular_file(hive));
}

// How long a reader may go on with a file renamed over or removed (HiveFile.h): the interval
// between its looks plus a tick of the coarse clock, and a millisecond more.
std::chrono::milliseconds ReadersNoticeWithin() {
    timespec resolution{};
    clock_getres(CLOCK_MONOTONIC_COARSE, &resolution);
    return std::chrono::milliseconds(qelplatform::kIdentityCheckIntervalMs + 1) +
           std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::nanoseconds(resolution.tv_nsec) + std::chrono::milliseconds(1));
}

// Another hive renamed over the open one (a backup put back, say): the rename drops the open
// file's last link, which one fstat shows. The next call that may write looks at once, so it
// and every call after it use the new file; a reader looks within a few milliseconds, and until
// then reads the old file whole.
TEST_F(PortableHiveTest, AHiveRenamedOverTheOpenOneIsWrittenAtOnceAndReadSoon) {
    const fs::path hive = m_sandbox.UserHive();
    int backups = 0;
    const auto putBack = [&] {
        const fs::path other =
            m_sandbox.Directory() / ("backup" + std::to_string(++backups)) / "user.hive";
        qeltest::BuildHive(other, [] {
            EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Backup"), u"v", 2), ERROR_SUCCESS);
        });
        // Its companions go with the old file, as a tool replacing a closed hive would leave it.
        for (const char* suffix : {"-wal", "-shm"}) fs::remove(hive.string() + suffix);
        ASSERT_EQ(rename(other.c_str(), hive.c_str()), 0);
    };
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Old"), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), 1u);
    putBack();
    // A read now sees one file or the other, never a mix.
    const std::optional<DWORD> old = ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v");
    EXPECT_TRUE(old == 1u || old == std::nullopt);
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Backup"), u"w", 3), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), std::nullopt);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Backup"), u"v"), 2u);
    // Written to the file now at the path, as a new process finds it.
    EXPECT_EQ(InChild([] {
                  int failures = ReadDword(HKEY_CURRENT_USER, Under(u"Backup"), u"w") != 3u;
                  failures += ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v") != std::nullopt;
                  return failures;
              }),
              0);

    // Reads alone: the file put back is read once the reader has had time to look.
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Old"), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), 1u);
    putBack();
    std::this_thread::sleep_for(ReadersNoticeWithin());
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), std::nullopt);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Backup"), u"v"), 2u);
}

// Handle slots are reused, handle values never: a closed handle is refused even after its slot
// holds another key, so a stale handle can never read or write someone else's key.
TEST_F(PortableHiveTest, AClosedHandleStaysRefusedWhenItsSlotIsReused) {
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"A"), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"B"), u"v", 2), ERROR_SUCCESS);
    std::vector<HKEY> seen;
    HKEY closed = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, Win32Str(Under(u"A").c_str()), 0, KEY_ALL_ACCESS, &closed),
        ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    seen.push_back(closed);
    for (int i = 0; i < 100; ++i) {
        qelreg::RegKey other;
        ASSERT_EQ(other.Open(HKEY_CURRENT_USER, Under(u"B"), KEY_ALL_ACCESS), ERROR_SUCCESS);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), other.Get()), 0) << "a value came back";
        seen.push_back(other.Get());
        // The low half alone would name a predefined key from 0x80000000 up.
        EXPECT_LT(reinterpret_cast<std::uintptr_t>(other.Get()) & 0xFFFFFFFFu, 0x80000000u);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(closed, Win32Str(u"v"), nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
        const DWORD nine = 9;
        EXPECT_EQ(RegSetValueExW(closed, Win32Str(u"v"), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&nine), sizeof nine),
                  ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"B"), u"v"), 2u);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
}

// A write looks at the path itself: a hive moved away with nothing put in its place gets no
// more writes, which go to a new hive at the path.
TEST_F(PortableHiveTest, AWriteNeverGoesToAHiveMovedAway) {
    const fs::path hive = m_sandbox.UserHive();
    const fs::path aside = m_sandbox.Directory() / "user" / "moved.hive";
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Old"), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), 1u);
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::rename(hive.string() + suffix, aside.string() + suffix);
    const std::string movedBytes = ReadBytes(aside);
    const std::string movedWal = ReadBytes(aside.string() + "-wal");

    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"New"), u"v", 2), ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(aside), movedBytes);
    EXPECT_EQ(ReadBytes(aside.string() + "-wal"), movedWal);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"New"), u"v"), 2u);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), std::nullopt);
    EXPECT_EQ(InChild([] { return ReadDword(HKEY_CURRENT_USER, Under(u"New"), u"v") != 2u; }), 0);
}

// A hive moved away (still linked, so still open and whole) with another put in its place is
// noticed through the path, looked up again at most a second after the last look.
TEST_F(PortableHiveTest, AHiveMovedAwayWithAnotherInItsPlaceIsNoticed) {
    const fs::path hive = m_sandbox.UserHive();
    const fs::path aside = m_sandbox.Directory() / "user" / "moved.hive";
    const fs::path other = m_sandbox.Directory() / "other" / "user.hive";
    qeltest::BuildHive(other, [] {
        EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Backup"), u"v", 2), ERROR_SUCCESS);
    });
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Old"), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), 1u);
    InChild([] { return 0; });  // closes the connection: the -wal is now empty
    ASSERT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), 1u);  // and open again
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::rename(hive.string() + suffix, aside.string() + suffix);
    ASSERT_EQ(rename(other.c_str(), hive.c_str()), 0);
    const std::string movedBytes = ReadBytes(aside);

    // Polled, as an application would: the new file shows within a second (allowed five here,
    // for a loaded machine); until then the moved hive is what is read.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::optional<DWORD> seen;
    while (!(seen = ReadDword(HKEY_CURRENT_USER, Under(u"Backup"), u"v")) &&
           std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(seen, 2u) << "the hive put in place was never read";
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Old"), u"v"), std::nullopt);
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Backup"), u"w", 3), ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(aside), movedBytes) << "a write went to the moved hive";
    EXPECT_FALSE(fs::exists(aside.string() + "-wal") && fs::file_size(aside.string() + "-wal") > 0)
        << "a write went to the moved hive's -wal";
}

TEST_F(PortableHiveTest, TheReadOnlySwitchStopsCreationAndWrites) {
    ASSERT_TRUE(m_sandbox.SetReadOnly(true, false));
    EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Ro"), u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(m_sandbox.UserHive().parent_path()));
    EXPECT_EQ(Info(HKEY_CURRENT_USER).flags,
              QELHIVE_MISSING | QELHIVE_READONLY | QELHIVE_READONLY_SWITCH);

    ASSERT_TRUE(m_sandbox.SetReadOnly(false, false));
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Ro"), u"v", 1), ERROR_SUCCESS);
    const std::string hive = m_sandbox.UserHive().string();
    const std::string before = ReadBytes(hive);
    const std::string walBefore = ReadBytes(hive + "-wal");
    ASSERT_TRUE(m_sandbox.SetReadOnly(true, false));
    EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Ro"), u"v", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, Under(u"Ro").c_str()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Ro"), u"v"), 1u);
    EXPECT_EQ(Info(HKEY_CURRENT_USER).flags, QELHIVE_READONLY | QELHIVE_READONLY_SWITCH);
    EXPECT_EQ(ReadBytes(hive), before);
    EXPECT_EQ(ReadBytes(hive + "-wal"), walBefore);
}

// File permissions bind every user but root: the hive is made, made read-only and read by a child
// that is not root (this process itself when it is not; as root, a child that becomes nobody
// and is given the files).
TEST_F(PortableHiveTest, AHiveThePermissionsForbidWritingIsStillRead) {
    const bool asNobody = geteuid() == 0;
    const fs::path hive = m_sandbox.UserHive();
    // Every call below, in this process or the child, looks at the hive for the first time.
    auto asOwner = [asNobody](const std::function<int()>& body) {
        return asNobody ? qeltest::InChildAs(qeltest::kNobody, qeltest::kNoGroup, body)
                        : InChild(body);
    };
    if (asNobody) {
        // The sandbox's directory must let nobody through to the hive's.
        ASSERT_EQ(chmod(m_sandbox.Directory().c_str(), 0755), 0);
        fs::create_directories(hive.parent_path());
        ASSERT_EQ(chown(hive.parent_path().c_str(), qeltest::kNobody, qeltest::kNoGroup), 0);
    }
    ASSERT_EQ(asOwner([] {
                  return static_cast<int>(WriteDword(HKEY_CURRENT_USER, Under(u"Perm"), u"v", 1));
              }),
              0);
    for (const char* suffix : {"", "-wal", "-shm"})
        ASSERT_EQ(chmod((hive.string() + suffix).c_str(), 0400), 0) << suffix;
    ASSERT_EQ(chmod(hive.parent_path().c_str(), 0500), 0);
    EXPECT_EQ(asOwner([] {
                  int failures = ReadDword(HKEY_CURRENT_USER, Under(u"Perm"), u"v") != 1u;
                  failures +=
                      WriteDword(HKEY_CURRENT_USER, Under(u"Perm"), u"v", 2) != ERROR_ACCESS_DENIED;
                  failures += (Info(HKEY_CURRENT_USER).flags & QELHIVE_READONLY) == 0;
                  return failures;
              }),
              0);
    ASSERT_EQ(chmod(hive.parent_path().c_str(), 0700), 0);
    for (const char* suffix : {"", "-wal", "-shm"}) chmod((hive.string() + suffix).c_str(), 0600);
}

struct BadHive {
    const char* what;
    std::function<std::string(const std::string& valid)> bytes;
    LSTATUS writeError;
    DWORD flag;
};

std::string Garbage(std::size_t size) { return qeltest::Garbage(size); }

using qeltest::SqliteFile;

TEST_F(PortableHiveTest, AFileThatIsNotAHiveIsNeverTouched) {
    const fs::path scratch = m_sandbox.Directory() / "scratch.db";
    const BadHive cases[] = {
        {"garbage", [](const std::string&) { return Garbage(9000); }, ERROR_REGISTRY_CORRUPT,
         QELHIVE_DAMAGED},
        {"a line of text", [](const std::string&) { return std::string("not a hive\n"); },
         ERROR_REGISTRY_CORRUPT, QELHIVE_DAMAGED},
        {"an empty file", [](const std::string&) { return std::string(); }, ERROR_BADDB,
         QELHIVE_FOREIGN},
        {"cut inside the first page",
         [](const std::string& valid) { return valid.substr(0, 1500); }, ERROR_REGISTRY_CORRUPT,
         QELHIVE_DAMAGED},
        {"cut in half", [](const std::string& valid) { return valid.substr(0, valid.size() / 2); },
         ERROR_REGISTRY_CORRUPT, QELHIVE_DAMAGED},
        {"a newer format",
         [](const std::string& valid) {
             std::string bytes = valid;
             bytes[63] = 2;  // user_version, big-endian at offset 60
             return bytes;
         },
         ERROR_BADDB, QELHIVE_FOREIGN},
        {"another program's database",
         [&](const std::string&) {
             return SqliteFile(scratch, "CREATE TABLE t(x); INSERT INTO t VALUES('theirs');");
         },
         ERROR_BADDB, QELHIVE_FOREIGN},
        {"our id on another schema",
         [&](const std::string&) {
             return SqliteFile(scratch,
                               "PRAGMA application_id = 1363496008; PRAGMA user_version = 1;"
                               "CREATE TABLE keys(x);");
         },
         ERROR_REGISTRY_CORRUPT, QELHIVE_DAMAGED},
    };
    const std::string valid = ValidHiveBytes();
    int index = 0;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        // A hive path of its own for each case: a path is examined once per file.
        const fs::path hive = m_sandbox.Directory() / ("bad" + std::to_string(index++)) / "h";
        EnvOverride path("QELCONFIG_USER_HIVE", hive.c_str());
        const std::string bytes = test.bytes(valid);
        WriteBytes(hive, bytes);

        EXPECT_EQ(Info(HKEY_CURRENT_USER).flags, test.flag | QELHIVE_READONLY);
        qelreg::RegKey key;
        EXPECT_EQ(key.Open(HKEY_CURRENT_USER, Under(u"Sample"), KEY_READ), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key.Open(HKEY_CURRENT_USER, nullptr, KEY_READ), ERROR_SUCCESS);
        char16_t name[64];
        DWORD length = 64;
        EXPECT_EQ(
            RegEnumKeyExW(HKEY_CURRENT_USER, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
        EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"New"), u"v", 1), test.writeError);
        DWORD value = 1;
        EXPECT_EQ(RegSetValueExW(HKEY_CURRENT_USER, u"v", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&value), sizeof value),
                  test.writeError);
        EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, Under(u"Sample").c_str()), ERROR_FILE_NOT_FOUND);

        EXPECT_EQ(ReadBytes(hive), bytes) << "the file changed";
        EXPECT_EQ(Listing(hive.parent_path()), std::vector<std::string>{"h"})
            << "files appeared beside it";
    }
}

TEST_F(PortableHiveTest, ASymlinkedHiveIsRefused) {
    const std::string valid = ValidHiveBytes();
    const fs::path target = m_sandbox.Directory() / "elsewhere" / "real.hive";
    WriteBytes(target, valid);
    const fs::path hive = m_sandbox.UserHive();
    fs::create_directories(hive.parent_path());
    fs::create_symlink(target, hive);

    EXPECT_EQ(Info(HKEY_CURRENT_USER).flags, QELHIVE_REFUSED | QELHIVE_READONLY);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Sample"), u"valueA"), std::nullopt);
    EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"New"), u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadBytes(target), valid);
    EXPECT_TRUE(fs::is_symlink(hive));

    // A dangling link is not followed to create its target.
    const fs::path dangling = m_sandbox.Directory() / "dangling" / "user.hive";
    const fs::path nowhere = m_sandbox.Directory() / "nowhere.hive";
    fs::create_directories(dangling.parent_path());
    fs::create_symlink(nowhere, dangling);
    EnvOverride path("QELCONFIG_USER_HIVE", dangling.c_str());
    EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"New"), u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(nowhere));
}

TEST_F(PortableHiveTest, ProcessesWritingAtOnceLoseNothing) {
    constexpr int kProcesses = 4;
    constexpr int kValues = 150;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const std::string prefix = "p" + std::to_string(p) + "-";
        std::string count = std::to_string(kValues);
        std::string key = "Software\\QelConfigTests\\Shared\\Deep";
        std::string program = QELTEST_HIVE_WRITER;
        char* argv[] = {program.data(), key.data(), const_cast<char*>(prefix.c_str()), count.data(),
                        nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << pid;
    }
    qelreg::RegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, Under(u"Shared\\Deep"), KEY_READ), ERROR_SUCCESS);
    int found = 0;
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kValues; ++i) {
            const std::string text = "p" + std::to_string(p) + "-" + std::to_string(i);
            const std::u16string name(text.begin(), text.end());
            std::u16string data(name.size() + 1, u'?');
            DWORD size = static_cast<DWORD>(data.size() * 2);
            if (RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS &&
                data == name + u'\0')
                ++found;
        }
    }
    EXPECT_EQ(found, kProcesses * kValues);
}

// A value is safe once RegSetValueExW has returned, even if the writer dies at once.
TEST_F(PortableHiveTest, AWriteSurvivesTheWriterBeingKilled) {
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Crash"), u"before", 1), ERROR_SUCCESS);
    const pid_t pid = fork();
    if (pid == 0) {
        const bool written =
            WriteDword(HKEY_CURRENT_USER, Under(u"Crash"), u"v", 42) == ERROR_SUCCESS;
        if (written) kill(getpid(), SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child's write failed";
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Crash"), u"v"), 42u);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Crash"), u"before"), 1u);
}

// Enumeration continues from the item listed last rather than counting from the start, but the
// index stays what decides: asked out of order, or after a commit that moved the items, it
// gives the item at that index now.
TEST_F(PortableHiveTest, EnumerationByIndexHoldsWhateverTheOrderOfCalls) {
    qelreg::RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, Under(u"Enum"), KEY_ALL_ACCESS), ERROR_SUCCESS);
    for (const char16_t* name : {u"b", u"d", u"f", u"h"}) {
        const DWORD one = 1;
        ASSERT_EQ(RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                 sizeof one),
                  ERROR_SUCCESS);
        qelreg::RegKey sub;
        ASSERT_EQ(sub.Create(key.Get(), name, KEY_READ), ERROR_SUCCESS);
    }
    // The name at an index, or "<d>" with the last digit of the error.
    auto at = [key = key.Get()](auto enumerate, DWORD index) {
        char16_t name[8] = {};
        DWORD length = 8;
        const LSTATUS rc = enumerate(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::u16string(name)
                                   : u"<" + std::u16string(1, u'0' + rc % 10) + u">";
    };
    auto valueAt = [&at](DWORD index) { return at(RegEnumValueW, index); };
    auto keyAt = [&at](DWORD index) { return at(RegEnumKeyExW, index); };
    EXPECT_EQ(valueAt(0), u"b");
    EXPECT_EQ(valueAt(1), u"d");
    EXPECT_EQ(valueAt(3), u"h");  // skipped one
    EXPECT_EQ(valueAt(2), u"f");  // went back
    EXPECT_EQ(keyAt(0), u"b");
    EXPECT_EQ(keyAt(1), u"d");
    // Another value and key that sort first, committed between two calls: index 2 is now "d".
    const DWORD two = 2;
    ASSERT_EQ(RegSetValueExW(key.Get(), u"a", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two),
                             sizeof two),
              ERROR_SUCCESS);
    qelreg::RegKey sub;
    ASSERT_EQ(sub.Create(key.Get(), u"a", KEY_READ), ERROR_SUCCESS);
    sub.Close();
    EXPECT_EQ(valueAt(3), u"f");
    EXPECT_EQ(valueAt(4), u"h");
    EXPECT_EQ(valueAt(5), u"<9>");  // ERROR_NO_MORE_ITEMS (259)
    EXPECT_EQ(valueAt(6), u"<9>");
    EXPECT_EQ(keyAt(2), u"d");
    EXPECT_EQ(keyAt(3), u"f");
}

// As in the registry, a tree is at most 512 levels deep: a deeper key is refused when it would
// be made, in one call or level by level, and nothing of it is made.
TEST_F(PortableHiveTest, KeysDeeperThanTheRegistryAllowsAreRefused) {
    std::u16string deepest;
    for (int level = 0; level < 512; ++level) deepest += level == 0 ? u"d" : u"\\d";
    qelreg::RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, deepest + u"\\more", KEY_ALL_ACCESS),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"d", KEY_READ), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, deepest, KEY_ALL_ACCESS), ERROR_SUCCESS);
    qelreg::RegKey deeper;
    EXPECT_EQ(deeper.Create(key.Get(), u"more", KEY_ALL_ACCESS), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(deeper.Open(key.Get(), u"more", KEY_READ), ERROR_FILE_NOT_FOUND);
}

class ForkTest : public PortableHiveTest, public ::testing::WithParamInterface<bool> {};

// With the C library's fork() the registry closes its connections beforehand, and the child
// uses the hive like any process.
TEST_F(PortableHiveTest, AChildAfterForkUsesTheHiveSafely) {
    qelreg::RegKey forked;
    ASSERT_EQ(forked.Create(HKEY_CURRENT_USER, Under(u"Fork"), KEY_ALL_ACCESS), ERROR_SUCCESS);
    const HKEY key = forked.Get();
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(key, u"parent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                             sizeof one),
              ERROR_SUCCESS);
    const fs::path hive = m_sandbox.UserHive();
    ASSERT_EQ(DescriptorsOn(hive), 1) << "the parent's connection, seen through /proc";
    const int childFailures = InChild([key, &hive] {
        // The parent's connection was closed before the fork: the child starts with nothing
        // open on the hive, before any call of its own.
        if (DescriptorsOn(hive) != 0) return 100;
        const DWORD two = 2;
        int failures = RegSetValueExW(key, u"child", 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&two), sizeof two) != 0;
        failures += ReadDword(HKEY_CURRENT_USER, Under(u"Fork"), u"parent") != 1u;
        failures +=
            WriteDword(HKEY_CURRENT_USER, Under(u"Fork\\FromChild"), u"v", 3) != ERROR_SUCCESS;
        // One connection, the child's own.
        failures += DescriptorsOn(hive) != 1;
        return failures;
    });
    EXPECT_EQ(childFailures, 0) << (childFailures == 100 ? "the child inherited a connection" : "");
    // The parent's closed too, until its next call.
    EXPECT_EQ(DescriptorsOn(hive), 0);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Fork"), u"child"), 2u);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Fork\\FromChild"), u"v"), 3u);
    const DWORD four = 4;
    EXPECT_EQ(RegSetValueExW(key, u"after", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&four),
                             sizeof four),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Fork"), u"after"), 4u);
}

// A bare fork system call runs no fork handlers: the child inherits SQLite's bookkeeping of
// locks it does not hold, so its writes could be lost. Such a child of a process with a hive
// open is refused every call; one whose parent had none open (here the child of a fork(),
// which closed them) uses the store normally.
TEST_P(ForkTest, AChildOfABareForkNeverReportsAWriteItDidNotStore) {
#if !defined(SYS_fork)
    GTEST_SKIP() << "no fork system call on this architecture";
#else
    const bool parentHasHiveOpen = GetParam();
    ASSERT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Fork"), u"parent", 1), ERROR_SUCCESS);
    auto bareChild = [parentHasHiveOpen] {
        return InChild(
            [parentHasHiveOpen] {
                const LSTATUS expected = parentHasHiveOpen ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS;
                int failures =
                    WriteDword(HKEY_CURRENT_USER, Under(u"Fork"), u"child", 2) != expected;
                qelreg::RegKey key;
                failures += key.Open(HKEY_CURRENT_USER, Under(u"Fork"), KEY_READ) != expected;
                DWORD flags = 0;
                failures +=
                    QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, nullptr, &flags) != expected;
                return failures;
            },
            true);
    };
    // The parent here has the hive open; a child of fork() starts with nothing open.
    const int failures = parentHasHiveOpen ? bareChild() : InChild(bareChild);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Under(u"Fork"), u"child"),
              parentHasHiveOpen ? std::nullopt : std::optional<DWORD>(2u));
    EXPECT_EQ(WriteDword(HKEY_CURRENT_USER, Under(u"Fork"), u"after", 4), ERROR_SUCCESS);
#endif
}

INSTANTIATE_TEST_SUITE_P(Forks, ForkTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "ParentHasHiveOpen" : "ParentHasNoHiveOpen";
                         });

TEST_F(PortableHiveTest, HiveInfoFollowsTheBufferProtocol) {
    const std::string expected = m_sandbox.UserHive().string();
    DWORD size = 0;
    DWORD flags = 0xFF;
    EXPECT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, &size, &flags), ERROR_SUCCESS);
    EXPECT_EQ(size, expected.size() + 1);
    EXPECT_EQ(flags, QELHIVE_MISSING);
    std::vector<char> small(size - 1);
    size = static_cast<DWORD>(small.size());
    EXPECT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, small.data(), &size, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(size, expected.size() + 1);
    std::vector<char> exact(size);
    EXPECT_EQ(QelRegGetHiveInfo(HKEY_CURRENT_USER, exact.data(), &size, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(exact.data()), expected);

    qelreg::RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, Under(u"Info"), KEY_ALL_ACCESS), ERROR_SUCCESS);
    EXPECT_EQ(QelRegGetHiveInfo(key.Get(), nullptr, &size, &flags), ERROR_INVALID_HANDLE);
}

}  // namespace
