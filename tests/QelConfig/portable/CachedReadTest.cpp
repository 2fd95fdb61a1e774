// File: CachedReadTest.cpp
//
// Reads of a hive that has not changed are served without a read transaction; these tests hold
// that to its promise: whatever another process, or another program writing the file with
// SQLite, commits is what the next read returns.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "QelRegistry.h"
#include "portable/CommitWatch.h"
#include "stress/FaultVfs.h"
#include "support/ChildProcess.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"Software\\QelConfigTests\\Cache";

using qeltest::Peer;

LSTATUS WriteText(const std::u16string& key, const std::u16string& name,
                  const std::u16string& text) {
    return qeltest::SetText(HKEY_CURRENT_USER, key, name, text);
}

qeltest::TextRead ReadText(const std::u16string& key, const std::u16string& name) {
    return qeltest::GetText(HKEY_CURRENT_USER, key, name);
}

// Opens the key alone, without reading a value: ERROR_SUCCESS or the open's error.
LSTATUS OpenStatus(const std::u16string& key) {
    qelreg::RegKey handle;
    return handle.Open(HKEY_CURRENT_USER, key, KEY_READ);
}

std::u16string Text(const std::u16string& prefix, int number) {
    const std::string digits = std::to_string(10000 + number);  // always five digits
    return prefix + std::u16string(digits.begin(), digits.end());
}

bool SendInt(int fd, int value) { return write(fd, &value, sizeof value) == sizeof value; }
std::optional<int> ReceiveInt(int fd) {
    int value = 0;
    if (read(fd, &value, sizeof value) != sizeof value) return std::nullopt;
    return value;
}

class CachedReadTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox m_sandbox;
};

// Two processes take turns: one writes a text of the same length as the last, then tells the
// other, whose next read must return it although its previous read of the same value (and of
// the key path) was served from its cache.
TEST_F(CachedReadTest, EachProcessReadsWhatTheOtherJustCommitted) {
    constexpr int kRounds = 400;
    ASSERT_EQ(WriteText(kKey, u"turn", Text(u"t", 0)), ERROR_SUCCESS);
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    // Both sides: wait for the other's round, check what it wrote, write the next round.
    auto play = [](int in, int out, int first) {
        int wrong = 0;
        for (int round = first; round < kRounds; round += 2) {
            if (round > 0) {
                const std::optional<int> theirs = ReceiveInt(in);
                if (theirs != round - 1) return 100;
                if (ReadText(kKey, u"turn").text != Text(u"t", round - 1)) ++wrong;
            }
            if (WriteText(kKey, u"turn", Text(u"t", round)) != ERROR_SUCCESS) return 101;
            // Read back at once, so that the cache holds this round when the other writes.
            if (ReadText(kKey, u"turn").text != Text(u"t", round)) ++wrong;
            if (!SendInt(out, round)) return 102;
        }
        return wrong;
    };
    const pid_t child = fork();
    if (child == 0) _exit(play(toChild[0], toParent[1], 1));
    close(toChild[0]);
    close(toParent[1]);
    const int parentWrong = play(toParent[0], toChild[1], 0);
    close(toChild[1]);
    close(toParent[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "wrong reads in the child (100+: it lost its turn)";
    EXPECT_EQ(parentWrong, 0);
}

// Another program may write the file with SQLite itself, outside the registry: its commits show
// too, including a value or key it removes.
TEST_F(CachedReadTest, CommitsOfAnotherProgramWritingTheFileAreSeen) {
    ASSERT_EQ(WriteText(kKey, u"v", u"aaaa"), ERROR_SUCCESS);
    ASSERT_EQ(ReadText(kKey, u"v").text, u"aaaa");
    ASSERT_EQ(ReadText(kKey, u"v").text, u"aaaa");

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_sandbox.UserHive().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    auto exec = [db](const char* sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    const std::u16string replaced = u"bbbb";
    sqlite3_stmt* update = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE vals SET data = ?1", -1, &update, nullptr), SQLITE_OK);
    sqlite3_bind_blob(update, 1, replaced.c_str(),
                      static_cast<int>((replaced.size() + 1) * sizeof(char16_t)), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
    sqlite3_finalize(update);
    EXPECT_EQ(ReadText(kKey, u"v").text, u"bbbb");

    ASSERT_TRUE(exec("DELETE FROM vals"));
    EXPECT_EQ(ReadText(kKey, u"v").status, ERROR_FILE_NOT_FOUND);
    // The value alone is gone: the key still opens, through the path cached by the reads above.
    ASSERT_EQ(OpenStatus(kKey), ERROR_SUCCESS);
    ASSERT_EQ(OpenStatus(kKey), ERROR_SUCCESS);
    // The key itself, the last one made: its cached path must not open it any more.
    ASSERT_TRUE(exec("DELETE FROM keys WHERE id = (SELECT max(id) FROM keys)"));
    EXPECT_EQ(OpenStatus(kKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenStatus(u"Software\\QelConfigTests"), ERROR_SUCCESS)
        << "its parent is still there";
    sqlite3_close(db);
}

// Another process deletes the key (its last value first) and then makes a key: the same path
// again, or another one. Key ids are never reused, so a key made after the deleted one is a new
// key even when it is the next one made: the path cached here with the old id leads to the new
// key when it is the same path, and to no key at all when it is not.
struct RemadeCase {
    const char* what;
    const char16_t* made;  // the key the other process makes after the deletion
};

class RemadeKeyTest : public CachedReadTest, public ::testing::WithParamInterface<RemadeCase> {};

TEST_P(RemadeKeyTest, AKeyMadeAfterADeletedOneIsNeverTakenForIt) {
    const std::u16string made = GetParam().made;
    ASSERT_EQ(WriteText(kKey, u"v", u"old!"), ERROR_SUCCESS);  // the key made last
    Peer peer([&made] {
        qelreg::RegKey handle;
        if (handle.Open(HKEY_CURRENT_USER, kKey, KEY_ALL_ACCESS) != ERROR_SUCCESS) return 1;
        const bool deleted = RegDeleteValueW(handle.Get(), u"v") == ERROR_SUCCESS;
        handle.Close();
        if (!deleted || RegDeleteKeyW(HKEY_CURRENT_USER, kKey.c_str()) != ERROR_SUCCESS) return 2;
        return WriteText(made, u"v", u"new!") == ERROR_SUCCESS ? 0 : 3;
    });
    ASSERT_EQ(ReadText(kKey, u"v").text, u"old!");
    ASSERT_EQ(ReadText(kKey, u"v").text, u"old!");
    EXPECT_EQ(peer.Run(), 0);
    if (made == kKey) {
        EXPECT_EQ(ReadText(kKey, u"v").text, u"new!");
    } else {
        EXPECT_EQ(OpenStatus(kKey), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(ReadText(kKey, u"v").status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(ReadText(made, u"v").text, u"new!");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RemadeKeyTest,
    ::testing::Values(RemadeCase{"SamePath", u"Software\\QelConfigTests\\Cache"},
                      RemadeCase{"OtherPath", u"Software\\QelConfigTests\\Other"}),
    [](const ::testing::TestParamInfo<RemadeCase>& param) {
        return std::string(param.param.what);
    });

// A connection that may not write (the read-only switch here; a machine hive the process may not
// write elsewhere) keeps nothing between reads: what another process commits is what the next
// read returns.
TEST_F(CachedReadTest, AReadOnlyConnectionSeesEveryCommitOfAnotherProcess) {
    ASSERT_EQ(WriteText(kKey, u"v", u"one"), ERROR_SUCCESS);
    std::vector<std::unique_ptr<Peer>> writers;
    for (const char16_t* text : {u"two", u"six"}) {
        writers.push_back(std::make_unique<Peer>([text] {
            unsetenv("QELCONFIG_READONLY_HIVES");
            return WriteText(kKey, u"v", text) == ERROR_SUCCESS ? 0 : 1;
        }));
    }
    ASSERT_TRUE(m_sandbox.SetReadOnly(true, false));
    ASSERT_EQ(ReadText(kKey, u"v").text, u"one");
    ASSERT_EQ(ReadText(kKey, u"v").text, u"one");
    EXPECT_EQ(writers[0]->Run(), 0);
    EXPECT_EQ(ReadText(kKey, u"v").text, u"two");
    EXPECT_EQ(ReadText(kKey, u"v").text, u"two");
    EXPECT_EQ(writers[1]->Run(), 0);
    EXPECT_EQ(ReadText(kKey, u"v").text, u"six");
    ASSERT_TRUE(m_sandbox.SetReadOnly(false, false));
}

// Opening a key after a commit also reads afresh the value read last through it; any other
// value of the key must still come from the file, not from what was cached before the commit.
TEST_F(CachedReadTest, EveryValueOfAKeyIsReadAfreshAfterACommit) {
    ASSERT_EQ(WriteText(kKey, u"a", u"a1"), ERROR_SUCCESS);
    ASSERT_EQ(WriteText(kKey, u"b", u"b1"), ERROR_SUCCESS);
    Peer peer([] {
        return WriteText(kKey, u"b", u"b2") == ERROR_SUCCESS &&
                       WriteText(kKey, u"c", u"c2") == ERROR_SUCCESS
                   ? 0
                   : 1;
    });
    ASSERT_EQ(ReadText(kKey, u"b").text, u"b1");
    ASSERT_EQ(ReadText(kKey, u"c").status, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(ReadText(kKey, u"a").text, u"a1");  // the value read last
    EXPECT_EQ(peer.Run(), 0);
    EXPECT_EQ(ReadText(kKey, u"b").text, u"b2");
    EXPECT_EQ(ReadText(kKey, u"c").text, u"c2");
    EXPECT_EQ(ReadText(kKey, u"a").text, u"a1");
}

// The point of the cache, checked by counting the locks every transaction takes: none for reads
// of a hive nobody changed, and a fresh read as soon as somebody did.
TEST(CachedReadLockTest, ReadsOfAnUnchangedHiveTakeNoLock) {
    ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry());
    qeltest::FaultVfs& vfs = qeltest::FaultVfs::Install();
    setenv("QELCONFIG_TEST_VFS", qeltest::FaultVfs::kName, 1);
    {
        qeltest::HiveSandbox sandbox;  // a new hive: a connection through the counting VFS
        ASSERT_EQ(WriteText(kKey, u"v", u"one"), ERROR_SUCCESS);
        Peer writer([] { return WriteText(kKey, u"v", u"two") == ERROR_SUCCESS ? 0 : 1; });
        ASSERT_EQ(ReadText(kKey, u"v").text, u"one");
        ASSERT_EQ(ReadText(kKey, u"missing").status, ERROR_FILE_NOT_FOUND);
        const long before = vfs.ShmLocks();
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(ReadText(kKey, u"v").text, u"one");
            ASSERT_EQ(ReadText(kKey, u"missing").status, ERROR_FILE_NOT_FOUND);
        }
        EXPECT_EQ(vfs.ShmLocks(), before);

        EXPECT_EQ(writer.Run(), 0);
        EXPECT_EQ(ReadText(kKey, u"v").text, u"two");
        EXPECT_GT(vfs.ShmLocks(), before);
    }
    unsetenv("QELCONFIG_TEST_VFS");
}

// A setting polled by opening its key and reading its value costs one read transaction after
// each change, whoever made it, and none while nothing changes.
TEST(CachedReadLockTest, APolledValueCostsOneReadTransactionAfterEachChange) {
    ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry());
    qeltest::FaultVfs& vfs = qeltest::FaultVfs::Install();
    setenv("QELCONFIG_TEST_VFS", qeltest::FaultVfs::kName, 1);
    {
        qeltest::HiveSandbox sandbox;
        ASSERT_EQ(WriteText(kKey, u"v", Text(u"v", 0)), ERROR_SUCCESS);
        ASSERT_EQ(WriteText(kKey, u"other", u"x"), ERROR_SUCCESS);
        constexpr int kChanges = 5;
        // Made first: each fork() closes this process's connections.
        std::vector<std::unique_ptr<Peer>> writers;
        for (int change = 1; change <= kChanges; ++change) {
            writers.push_back(std::make_unique<Peer>([change] {
                // Odd changes touch the polled value, even ones another value of the hive.
                return (change % 2 == 1
                            ? WriteText(kKey, u"v", Text(u"v", change))
                            : WriteText(kKey, u"other", Text(u"o", change))) == ERROR_SUCCESS
                           ? 0
                           : 1;
            }));
        }
        ASSERT_EQ(ReadText(kKey, u"v").text, Text(u"v", 0));
        ASSERT_EQ(ReadText(kKey, u"v").text, Text(u"v", 0));
        std::u16string expected = Text(u"v", 0);
        for (int change = 1; change <= kChanges; ++change) {
            SCOPED_TRACE(change);
            ASSERT_EQ(writers[change - 1]->Run(), 0);
            if (change % 2 == 1) expected = Text(u"v", change);
            const long before = vfs.ReadTransactions();
            EXPECT_EQ(ReadText(kKey, u"v").text, expected);
            EXPECT_EQ(vfs.ReadTransactions() - before, 1);
            EXPECT_EQ(ReadText(kKey, u"v").text, expected);
            EXPECT_EQ(vfs.ReadTransactions() - before, 1) << "a poll of an unchanged hive";
        }
    }
    unsetenv("QELCONFIG_TEST_VFS");
}

class CommitWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qelconfig-watch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_writer = Open();
        ASSERT_TRUE(Exec(m_writer, "PRAGMA journal_mode = WAL; CREATE TABLE t(x)"));
    }
    void TearDown() override {
        for (sqlite3* db : m_open) sqlite3_close(db);
        fs::remove_all(m_dir);
    }
    sqlite3* Open() {
        sqlite3* db = nullptr;
        const std::string path = (m_dir / "watched.db").string();
        EXPECT_EQ(
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
            SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        m_open.push_back(db);
        return db;
    }
    static bool Exec(sqlite3* db, const char* sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    fs::path m_dir;
    sqlite3* m_writer = nullptr;
    std::vector<sqlite3*> m_open;
};

TEST_F(CommitWatchTest, TheEpochChangesWithEveryCommitAndOnlyThen) {
    qelplatform::CommitWatch watch;
    EXPECT_EQ(watch.Epoch(), 0u) << "watching nothing, it cannot tell";
    sqlite3* watched = Open();
    ASSERT_TRUE(Exec(watched, "SELECT count(*) FROM t"));
    watch.Attach(watched);

    std::set<std::uint64_t> seen;
    const std::uint64_t first = watch.Epoch();
    ASSERT_NE(first, 0u);
    seen.insert(first);
    // Reads, by this connection or another, commit nothing.
    ASSERT_TRUE(Exec(m_writer, "SELECT * FROM t"));
    ASSERT_TRUE(Exec(watched, "SELECT * FROM t"));
    EXPECT_EQ(watch.Epoch(), first);

    // Each commit, whichever connection makes it, and the restart of the WAL after a full
    // checkpoint: a new epoch every time, never one seen before.
    const char* const changes[] = {
        "INSERT INTO t VALUES(1)",         "INSERT INTO t VALUES(2)",
        "PRAGMA wal_checkpoint(TRUNCATE)", "INSERT INTO t VALUES(3)",
        "UPDATE t SET x = 5 WHERE x = 3",  "DELETE FROM t WHERE x = 1",
    };
    for (const char* sql : changes) {
        SCOPED_TRACE(sql);
        ASSERT_TRUE(Exec(m_writer, sql));
        const std::uint64_t epoch = watch.Epoch();
        EXPECT_NE(epoch, 0u);
        EXPECT_EQ(watch.Epoch(), epoch);
        if (std::string_view(sql).rfind("PRAGMA", 0) != 0) {
            EXPECT_TRUE(seen.insert(epoch).second);
        } else {
            seen.insert(epoch);
        }
    }
    ASSERT_TRUE(Exec(watched, "INSERT INTO t VALUES(4)"));
    EXPECT_TRUE(seen.insert(watch.Epoch()).second) << "its own connection's commits count too";

    // Detached, nothing seen before counts again.
    watch.Detach();
    EXPECT_EQ(watch.Epoch(), 0u);
    watch.Attach(watched);
    EXPECT_TRUE(seen.insert(watch.Epoch()).second);
}

}  // namespace
