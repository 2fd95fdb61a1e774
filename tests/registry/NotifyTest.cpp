// File: NotifyTest.cpp
//
// Change notification (RegNotifyChangeKeyValue) and the event calls that it signals, through
// the Win32 calls alone, so that the suite runs unchanged against the portable registry and
// against Windows' own. Changes "in another process" are made by this program started again as
// a writer: QELTEST_NOTIFY_WRITER in its environment names the change, which it makes before
// main() runs, and then it exits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QelRegistry.h"
#include "RegistryKey.h"
#include "support/HiveSandbox.h"

#if !defined(_WIN32)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

constexpr char kWriterVariable[] = "QELTEST_NOTIFY_WRITER";
constexpr DWORD kBothFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
// Long enough for any wake to arrive; only a failing test waits this long.
constexpr DWORD kWakeMs = 10000;
// How long a waiter that must not wake is given to do so anyway.
constexpr DWORD kQuietMs = 400;

std::u16string Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::u16string PathOf(const std::u16string& sub) {
    return std::u16string(qeltest::kTestRoot) + u"\\" + sub;
}

LSTATUS SetText(HKEY key, const std::u16string& name, const std::u16string& text) {
    return RegSetValueExW(key, Win32Str(name.c_str()), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

// The writer's side: "ROOT|KEY|NAME|TEXT" (ROOT "user" or "machine", KEY below kTestRoot,
// '/' for '\'), or "ROOT|KEY" to create the key alone.
int WriteAsAsked(const std::string& request) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t bar = request.find('|'); bar != std::string::npos;
         bar = request.find('|', start)) {
        parts.push_back(request.substr(start, bar - start));
        start = bar + 1;
    }
    parts.push_back(request.substr(start));
    if (parts.size() != 2 && parts.size() != 4) return 3;
    const HKEY root = parts[0] == "machine" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::u16string path = PathOf(Widen(parts[1]));
    for (char16_t& unit : path)
        if (unit == u'/') unit = u'\\';
    qelreg::RegKey key;
    if (key.Create(root, path, KEY_ALL_ACCESS) != ERROR_SUCCESS) return 4;
    LSTATUS status = ERROR_SUCCESS;
    if (parts.size() == 4) status = SetText(key.Get(), Widen(parts[2]), Widen(parts[3]));
    return status == ERROR_SUCCESS ? 0 : 5;
}

// Before main(): a writer does its change and exits without running a test.
[[maybe_unused]] const bool kIsWriter = [] {
    const char* request = std::getenv(kWriterVariable);
    if (request == nullptr) return false;
    std::_Exit(WriteAsAsked(request));
}();

// Runs this program as a writer and waits for it; returns its exit code.
int RunWriter(const std::string& request) {
#if defined(_WIN32)
    wchar_t self[1024];
    const DWORD length = GetModuleFileNameW(nullptr, self, 1024);
    if (length == 0 || length >= 1024) return -1;
    std::wstring value(request.begin(), request.end());
    SetEnvironmentVariableW(L"QELTEST_NOTIFY_WRITER", value.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableW(L"QELTEST_NOTIFY_WRITER", nullptr);
    if (!started) return -1;
    DWORD code = 1;
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code))
        code = static_cast<DWORD>(-1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
#else
    setenv(kWriterVariable, request.c_str(), 1);
    pid_t child = -1;
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    const int failed = posix_spawn(&child, self, nullptr, nullptr, argv, environ);
    unsetenv(kWriterVariable);
    if (failed != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
#endif
}

using qelreg::RegKey;

class ScopedEvent {
public:
    explicit ScopedEvent(bool manualReset = true)
        : m_event(CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}
    ~ScopedEvent() {
        if (m_event != nullptr) CloseHandle(m_event);
    }
    ScopedEvent(const ScopedEvent&) = delete;
    ScopedEvent& operator=(const ScopedEvent&) = delete;
    HANDLE Get() const { return m_event; }

private:
    HANDLE m_event;
};

const char* RootName(HKEY root) { return root == HKEY_LOCAL_MACHINE ? "machine" : "user"; }

// One body, run over both hives.
class NotifyTest : public ::testing::TestWithParam<HKEY> {
protected:
    HKEY Root() const { return GetParam(); }
    RegKey Create(const std::u16string& sub, REGSAM access = KEY_ALL_ACCESS) {
        RegKey key;
        EXPECT_EQ(key.Create(Root(), PathOf(sub), access), ERROR_SUCCESS)
            << "creating the test key";
        return key;
    }
    // Another handle to a key made already: each watcher watches through a handle of its own
    // (registrations made through one handle are not kept apart everywhere).
    RegKey OpenAgain(const std::u16string& sub) {
        RegKey key;
        EXPECT_EQ(key.Open(Root(), PathOf(sub), KEY_ALL_ACCESS), ERROR_SUCCESS);
        return key;
    }
    // Asks for a change of `key` to signal `event`.
    static LSTATUS Watch(HKEY key, HANDLE event, bool subtree, DWORD filter = kBothFilters) {
        return RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter, event, TRUE);
    }
    // Another process sets NAME in KEY (below kTestRoot, '/' for '\') of this hive.
    void SetElsewhere(const std::string& key, const std::string& name, const std::string& text) {
        ASSERT_EQ(RunWriter(std::string(RootName(Root())) + "|" + key + "|" + name + "|" + text), 0)
            << "the writer process failed";
    }

    qeltest::HiveSandbox m_sandbox;
};

TEST_P(NotifyTest, AsynchronousWaiterIsSignalledByAnotherProcessesChange) {
    RegKey key = Create(u"Async");
    ScopedEvent event;
    ASSERT_EQ(Watch(key.Get(), event.Get(), false, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "signalled before anything changed";
    SetElsewhere("Async", "v", "1");
    EXPECT_EQ(WaitForSingleObject(event.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_P(NotifyTest, SynchronousWaitReturnsWhenAnotherProcessChangesTheKey) {
    RegKey key = Create(u"Sync");
    auto done = std::make_shared<std::promise<LSTATUS>>();
    std::future<LSTATUS> result = done->get_future();
    std::thread waiter([done, raw = key.Get()] {
        done->set_value(
            RegNotifyChangeKeyValue(raw, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE));
    });
    // A change made before the waiter has registered does not end its wait, and the thread
    // cannot tell when it has: the writer runs again until the wait is over.
    for (int attempt = 0;
         attempt < 10 && result.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
         ++attempt) {
        SetElsewhere("Sync", "v", std::to_string(attempt));
        result.wait_for(std::chrono::seconds(2));
    }
    const bool ended = result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (!ended) {
        waiter.detach();  // still blocked: the test has failed, and must not hang as well
        FAIL() << "the synchronous wait did not end";
    }
    waiter.join();
    EXPECT_EQ(result.get(), ERROR_SUCCESS);
}

TEST_P(NotifyTest, AChangeBelowTheKeyWakesOnlyATreeWatcher) {
    RegKey key = Create(u"Tree");
    RegKey child = Create(u"Tree\\Child");
    RegKey same = OpenAgain(u"Tree");
    ScopedEvent tree;
    ScopedEvent keyOnly;
    ASSERT_EQ(Watch(key.Get(), tree.Get(), true), ERROR_SUCCESS);
    ASSERT_EQ(Watch(same.Get(), keyOnly.Get(), false), ERROR_SUCCESS);
    SetElsewhere("Tree/Child", "v", "1");
    EXPECT_EQ(WaitForSingleObject(tree.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(keyOnly.Get(), kQuietMs), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a watcher of the key alone woke for a value below it";

    // A key made two levels down changes the names below the key, not its own sub-keys.
    ASSERT_EQ(ResetEvent(tree.Get()), TRUE);
    ASSERT_EQ(Watch(key.Get(), tree.Get(), true), ERROR_SUCCESS);
    ASSERT_EQ(RunWriter(std::string(RootName(Root())) + "|Tree/Child/Grandchild"), 0);
    EXPECT_EQ(WaitForSingleObject(tree.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(keyOnly.Get(), kQuietMs), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a watcher of the key alone woke for a key made below its sub-key";
}

TEST_P(NotifyTest, TheFilterSaysWhichChangesCount) {
    RegKey key = Create(u"Filter");
    RegKey forNames = OpenAgain(u"Filter");
    ScopedEvent values;
    ScopedEvent names;
    ASSERT_EQ(Watch(key.Get(), values.Get(), false, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(Watch(forNames.Get(), names.Get(), false, REG_NOTIFY_CHANGE_NAME), ERROR_SUCCESS);

    RegKey sub = Create(u"Filter\\Sub");
    EXPECT_EQ(WaitForSingleObject(names.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0))
        << "a new sub-key is a change of names";
    EXPECT_EQ(WaitForSingleObject(values.Get(), kQuietMs), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a new sub-key is no change of values";

    ASSERT_EQ(ResetEvent(names.Get()), TRUE);
    ASSERT_EQ(Watch(forNames.Get(), names.Get(), false, REG_NOTIFY_CHANGE_NAME), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"v", u"1"), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(values.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0))
        << "a new value is a change of values";
    EXPECT_EQ(WaitForSingleObject(names.Get(), kQuietMs), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a new value is no change of names";

    // Deleting the sub-key is a change of names again; deleting the value one of values.
    sub.Close();
    ASSERT_EQ(ResetEvent(values.Get()), TRUE);
    ASSERT_EQ(Watch(key.Get(), values.Get(), false, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(key.Get(), Win32Str(u"Sub")), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(names.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(RegDeleteValueW(key.Get(), Win32Str(u"v")), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(values.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_P(NotifyTest, ARegistrationIsSignalledOnce) {
    RegKey key = Create(u"Once");
    ScopedEvent event;
    ASSERT_EQ(Watch(key.Get(), event.Get(), false), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"v", u"1"), ERROR_SUCCESS);
    ASSERT_EQ(WaitForSingleObject(event.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(ResetEvent(event.Get()), TRUE);
    ASSERT_EQ(SetText(key.Get(), u"v", u"2"), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event.Get(), kQuietMs), static_cast<DWORD>(WAIT_TIMEOUT))
        << "signalled again without registering again";
}

TEST_P(NotifyTest, AValueSetRightAfterRegisteringIsNeverMissed) {
    RegKey key = Create(u"Race");
    ScopedEvent event(false);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Watch(key.Get(), event.Get(), false, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
        ASSERT_EQ(SetText(key.Get(), u"v", Widen(std::to_string(i))), ERROR_SUCCESS);
        ASSERT_EQ(WaitForSingleObject(event.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0))
            << "change " << i << " was missed";
    }
}

TEST_P(NotifyTest, ClosingTheKeySignalsItsPendingRegistration) {
    RegKey key = Create(u"Closed");
    ScopedEvent event;
    ASSERT_EQ(Watch(key.Get(), event.Get(), false), ERROR_SUCCESS);
    key.Close();
    EXPECT_EQ(WaitForSingleObject(event.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

// The parent hears of it; the deleted key can be watched no more. (Whether a watcher of the
// deleted key itself is signalled differs: the portable registry signals it, Wine does not.)
TEST_P(NotifyTest, DeletingAKeyIsAChangeOfItsParentsNames) {
    RegKey parent = Create(u"Doomed");
    RegKey key = Create(u"Doomed\\Key");
    ScopedEvent event;
    ASSERT_EQ(Watch(parent.Get(), event.Get(), false, REG_NOTIFY_CHANGE_NAME), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"Key")), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
    ScopedEvent late;
    EXPECT_EQ(Watch(key.Get(), late.Get(), false), ERROR_KEY_DELETED);
}

TEST_P(NotifyTest, WatchingNeedsTheRightToBeNotified) {
    RegKey created = Create(u"Rights");
    RegKey key;
    ASSERT_EQ(key.Open(Root(), PathOf(u"Rights"), KEY_QUERY_VALUE), ERROR_SUCCESS);
    ScopedEvent event;
    EXPECT_EQ(Watch(key.Get(), event.Get(), false), ERROR_ACCESS_DENIED);
}

INSTANTIATE_TEST_SUITE_P(BothHives, NotifyTest,
                         ::testing::Values(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE),
                         [](const ::testing::TestParamInfo<HKEY>& hive) {
                             return std::string(hive.param == HKEY_CURRENT_USER ? "User"
                                                                                : "Machine");
                         });

// A user key falls back to the machine's for what it lacks, but that is the reader's doing: a
// watcher of the user key hears of the user hive alone.
TEST(NotifyHives, AMachineChangeWakesOnlyAWatcherOfTheMachineHive) {
    qeltest::HiveSandbox sandbox;
    const std::u16string path = PathOf(u"Fallback");
    RegKey user;
    RegKey machine;
    for (auto [root, key] : {std::pair{HKEY_CURRENT_USER, &user}, {HKEY_LOCAL_MACHINE, &machine}})
        ASSERT_EQ(key->Create(root, path, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ScopedEvent userEvent;
    ScopedEvent machineEvent;
    ASSERT_EQ(RegNotifyChangeKeyValue(user.Get(), TRUE, kBothFilters, userEvent.Get(), TRUE),
              ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(machine.Get(), TRUE, kBothFilters, machineEvent.Get(), TRUE),
              ERROR_SUCCESS);
    ASSERT_EQ(RunWriter("machine|Fallback|v|1"), 0);
    EXPECT_EQ(WaitForSingleObject(machineEvent.Get(), kWakeMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(userEvent.Get(), kQuietMs), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(NotifyArguments, AnAsynchronousCallNeedsAnEvent) {
    qeltest::HiveSandbox sandbox;
    EXPECT_EQ(RegNotifyChangeKeyValue(HKEY_CURRENT_USER, FALSE, kBothFilters, nullptr, TRUE),
              ERROR_INVALID_HANDLE);
}

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(Events, AWaitTimesOutAfterItsTimeAndAnAutoResetEventWakesOneWait) {
    ScopedEvent event(false);
    ASSERT_NE(event.Get(), nullptr);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event.Get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(MillisecondsSince(start), 90);
    ASSERT_EQ(SetEvent(event.Get()), TRUE);
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "an auto-reset event stayed signalled after a wait ended";
}

TEST(Events, AManualResetEventStaysSignalledUntilReset) {
    ScopedEvent event(true);
    ASSERT_EQ(SetEvent(event.Get()), TRUE);
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event.Get(), INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(ResetEvent(event.Get()), TRUE);
    EXPECT_EQ(WaitForSingleObject(event.Get(), 10), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, WaitingForSeveralGivesTheLowestSignalledOrWaitsForAll) {
    ScopedEvent first(false);
    ScopedEvent second(false);
    const HANDLE both[] = {first.Get(), second.Get()};
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(MillisecondsSince(start), 90);

    ASSERT_EQ(SetEvent(second.Get()), TRUE);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    ASSERT_EQ(SetEvent(first.Get()), TRUE);
    ASSERT_EQ(SetEvent(second.Get()), TRUE);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));

    // All of them: one signalled is not enough, and a wait that times out takes nothing.
    ASSERT_EQ(SetEvent(first.Get()), TRUE);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(SetEvent(second.Get()), TRUE);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, AnInfiniteWaitEndsWhenAnotherThreadSignals) {
    ScopedEvent first(false);
    ScopedEvent second(true);
    const HANDLE both[] = {first.Get(), second.Get()};
    std::thread setter([event = second.Get()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE),
              static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    setter.join();
}

TEST(Events, AClosedHandleNamesNoEvent) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(CloseHandle(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
#if !defined(_WIN32)
    // Windows reports closing a handle twice to a debugger; here it is a plain failure.
    EXPECT_EQ(CloseHandle(event), FALSE);
    EXPECT_EQ(SetEvent(event), FALSE);
#endif
}

#if !defined(_WIN32)
// Registry keys are kernel handles on Windows, which CloseHandle would close; here the two
// kinds of handle never meet.
TEST(Events, AKeyHandleIsNoEventAndAnEventNoKey) {
    qeltest::HiveSandbox sandbox;
    RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, PathOf(u"Handles"), KEY_ALL_ACCESS), ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(reinterpret_cast<HANDLE>(key.Get())), FALSE);
    EXPECT_EQ(SetEvent(reinterpret_cast<HANDLE>(key.Get())), FALSE);
    EXPECT_EQ(SetText(key.Get(), u"v", u"still open"), ERROR_SUCCESS);
    ScopedEvent event;
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event.Get())), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetEvent(event.Get()), TRUE);
    EXPECT_EQ(RegNotifyChangeKeyValue(key.Get(), FALSE, kBothFilters,
                                      reinterpret_cast<HANDLE>(key.Get()), TRUE),
              ERROR_INVALID_HANDLE);
}
#endif

}  // namespace
