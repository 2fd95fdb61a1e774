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
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "QelPlatform.h"
#include "portable/CommitWatch.h"
#include "stress/FaultVfs.h"
#include "support/HiveSandbox.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"Software\\QelConfigTests\\Cache";

LSTATUS WriteText(const std::u16string& key, const char16_t* name, const std::u16string& text) {
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                     nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
    RegCloseKey(handle);
    return status;
}

// The text, or the error of the open or of the query.
struct ReadResult {
    LSTATUS status = ERROR_SUCCESS;
    std::u16string text;
};

ReadResult ReadText(const std::u16string& key, const char16_t* name) {
    HKEY handle = nullptr;
    ReadResult result;
    result.status = RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle);
    if (result.status != ERROR_SUCCESS) return result;
    char16_t buffer[256] = {};
    DWORD size = sizeof buffer - sizeof(char16_t);
    result.status =
        RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(handle);
    if (result.status == ERROR_SUCCESS) result.text = buffer;
    return result;
}

std::u16string Text(const std::u16string& prefix, int number) {
    const std::string digits = std::to_string(10000 + number);  // always five digits
    return prefix + std::u16string(digits.begin(), digits.end());
}

// A child process forked at once, which runs its body only when told to. fork() closes every
// registry connection (and so empties the caches) of the parent; a child made beforehand lets
// the parent fill its caches first and then have them contradicted.
class Peer {
public:
    explicit Peer(const std::function<int()>& body) {
        if (pipe(m_go) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            close(m_go[1]);
            char go = 0;
            _exit(read(m_go[0], &go, 1) == 1 ? body() : 99);
        }
        close(m_go[0]);
    }
    ~Peer() { Finish(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Lets the body run and waits for it: its exit code, or -signal.
    int Run() {
        const char go = 1;
        if (m_pid <= 0 || write(m_go[1], &go, 1) != 1) return -1000;
        return Finish();
    }

private:
    int Finish() {
        if (m_go[1] >= 0) close(m_go[1]);
        m_go[1] = -1;
        if (m_pid <= 0) return -1000;
        int status = 0;
        const pid_t pid = std::exchange(m_pid, -1);
        if (waitpid(pid, &status, 0) != pid) return -1000;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    int m_go[2] = {-1, -1};
    pid_t m_pid = -1;
};

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
    // The key itself, the last one made: its cached path must not open it any more.
    ASSERT_TRUE(exec("DELETE FROM keys WHERE id = (SELECT max(id) FROM keys)"));
    EXPECT_EQ(ReadText(kKey, u"v").status, ERROR_FILE_NOT_FOUND);
    sqlite3_close(db);
}

// A key another process deletes and makes again gets a new identity; the path, cached here
// under the old one, leads to the new key.
TEST_F(CachedReadTest, AKeyAnotherProcessDeletesAndMakesAgainIsFoundAgain) {
    ASSERT_EQ(WriteText(kKey, u"v", u"old!"), ERROR_SUCCESS);
    Peer peer([] {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_ALL_ACCESS, &handle) !=
            ERROR_SUCCESS)
            return 1;
        const bool deleted = RegDeleteValueW(handle, u"v") == ERROR_SUCCESS;
        RegCloseKey(handle);
        if (!deleted || RegDeleteKeyW(HKEY_CURRENT_USER, kKey.c_str()) != ERROR_SUCCESS) return 2;
        return WriteText(kKey, u"v", u"new!") == ERROR_SUCCESS ? 0 : 3;
    });
    ASSERT_EQ(ReadText(kKey, u"v").text, u"old!");
    ASSERT_EQ(ReadText(kKey, u"v").text, u"old!");
    EXPECT_EQ(peer.Run(), 0);
    EXPECT_EQ(ReadText(kKey, u"v").text, u"new!");
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
