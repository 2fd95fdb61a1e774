// File: WatchCommand.cpp
//
// How the watch works: for each hive, the deepest existing key on the way to the application's
// key is watched, with everything below it, through RegNotifyChangeKeyValue (asynchronous, one
// event per hive), so the process sleeps until one of the hives changes. Each time one does, its
// watch is registered again first and the settings read second, so that a change in between is
// read now or wakes the next wait; a setting is printed when what the library would read for it
// (StoredSetting.h) differs from what was read before.
// Reading never stores anything. The keys are watched rather than each value because a key
// that does not exist yet cannot be watched, and a setting's key may be made at any time.
#include "WatchCommand.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <thread>

#include "Catalogue.h"
#include "Command.h"
#include "Output.h"
#include "Registry.h"
#include "SettingView.h"
#include "StoredSetting.h"
#include "Utf8.h"

#if defined(_WIN32)
#include "QelRegistry.h"
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace qelcli {

namespace {

class EventHandle {
public:
    EventHandle() : m_event(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~EventHandle() {
        if (m_event != nullptr) CloseHandle(m_event);
    }
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    HANDLE Get() const noexcept { return m_event; }

private:
    HANDLE m_event;
};

// Signals an event when SIGINT or SIGTERM arrives (Windows: a console control event), for as
// long as it lives.
class StopSignal {
public:
    explicit StopSignal(HANDLE stop);
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

private:
#if defined(_WIN32)
    static BOOL WINAPI OnControl(DWORD type);
#else
    sigset_t m_previous{};
    std::thread m_waiter;
#endif
};

#if defined(_WIN32)

HANDLE g_stop = nullptr;

StopSignal::StopSignal(HANDLE stop) {
    g_stop = stop;
    SetConsoleCtrlHandler(OnControl, TRUE);
}

StopSignal::~StopSignal() { SetConsoleCtrlHandler(OnControl, FALSE); }

BOOL WINAPI StopSignal::OnControl(DWORD /*type*/) {
    // Runs in a thread of its own, where setting an event is allowed.
    SetEvent(g_stop);
    return TRUE;
}

#else

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The signals are blocked in every thread (threads made later, the registry's included,
// inherit the mask) and taken by one that waits for them, which may set an event where a
// signal handler may not.
StopSignal::StopSignal(HANDLE stop) {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, &m_previous);
    m_waiter = std::thread([stop, set] {
        int signal = 0;
        sigwait(&set, &signal);
        SetEvent(stop);
    });
}

StopSignal::~StopSignal() {
    // Wakes the waiter if no signal came (the watch ended for another reason): one of the
    // signals it waits for, sent to it alone.
    pthread_kill(m_waiter.native_handle(), SIGINT);
    m_waiter.join();
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

#endif

// What the library reads for a setting. Only the text is its value: the same text coming from
// another hive (a user value set to the machine's, or the start of the library storing a
// default) is no change.
struct Reading {
    std::u16string text;
    std::optional<Hive> source;
};

Reading Read(const ConfigEntry& entry) {
    StoredSetting stored = ReadStoredSetting(entry);
    return {std::move(stored.text), stored.source};
}

const char* SourceLabel(const std::optional<Hive>& source) {
    if (!source) return "default";
    return *source == Hive::User ? "user" : "machine";
}

// UTC, to the millisecond: 2026-12-08T20:31:02.123Z.
std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::array<char, 8> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%03dZ", static_cast<int>(millis));
    return std::string(text.data(), length) + fraction.data();
}

void PrintChange(const ConfigEntry& entry, const Reading& before, const Reading& after, bool json) {
    const std::string time = Now();
    if (json) {
        const nlohmann::ordered_json change = {{"time", time},
                                               {"id", entry.id},
                                               {"key", ToUtf8(entry.keyPath)},
                                               {"old", TypedJson(entry, before.text)},
                                               {"new", TypedJson(entry, after.text)},
                                               {"oldSource", SourceLabel(before.source)},
                                               {"source", SourceLabel(after.source)}};
        PrintLine(change.dump());
    } else {
        PrintLine(time + "  " + SettingName(entry) + ": " + DisplayValue(entry, before.text) +
                  " -> " + DisplayValue(entry, after.text) + " (" + SourceLabel(after.source) +
                  ")");
    }
    std::fflush(stdout);
}

// The deepest existing key on the way to the application's key, opened to be watched: the
// hive's root while even the first level is missing.
LSTATUS OpenDeepestKey(Hive hive, RegKey& key) {
    std::u16string path = AppKey();
    for (;;) {
        RegKey opened;
        const LSTATUS status =
            opened.Open(RootOf(hive), path.empty() ? nullptr : path.c_str(), KEY_NOTIFY);
        if (status == ERROR_SUCCESS) {
            key = std::move(opened);
            return status;
        }
        if (status != ERROR_FILE_NOT_FOUND || path.empty()) return status;
        const std::size_t separator = path.rfind(u'\\');
        path.resize(separator == std::u16string::npos ? 0 : separator);
    }
}

struct HiveWatch {
    Hive hive;
    EventHandle event;
    RegKey key;
    bool armed = false;
};

ExitCode Arm(HiveWatch& watch) {
    RegKey key;
    LSTATUS status = OpenDeepestKey(watch.hive, key);
    if (status == ERROR_SUCCESS)
        status = RegNotifyChangeKeyValue(key.Get(), TRUE,
                                         REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                         watch.event.Get(), TRUE);
    if (status != ERROR_SUCCESS)
        return Refuse("cannot watch " + DescribeHive(watch.hive) + ": " + StatusText(status));
    // The key watched before is replaced only now: closing it signals nothing still pending.
    watch.key = std::move(key);
    watch.armed = true;
    return ExitCode::Ok;
}

}  // namespace

ExitCode RunWatch(const std::vector<std::string>& settings, bool json) {
    std::vector<const ConfigEntry*> watched;
    for (const std::string& setting : settings) {
        const ConfigEntry* entry = FindSettingOrComplain(setting);
        if (entry == nullptr) return ExitCode::Failed;
        watched.push_back(entry);
    }
    if (watched.empty()) watched = AllSettings();

    EventHandle stop;
    std::array<HiveWatch, 2> hives{HiveWatch{Hive::User, {}, {}, false},
                                   HiveWatch{Hive::Machine, {}, {}, false}};
    if (stop.Get() == nullptr || hives[0].event.Get() == nullptr || hives[1].event.Get() == nullptr)
        return Refuse("cannot make the events to wait on");
    const StopSignal signals(stop.Get());

    std::vector<Reading> last;
    last.reserve(watched.size());
    bool first = true;
    for (;;) {
        for (HiveWatch& watch : hives) {
            if (watch.armed) continue;
            if (ExitCode armed = Arm(watch); armed != ExitCode::Ok) return armed;
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            Reading now = Read(*watched[i]);
            if (first) {
                last.push_back(std::move(now));
            } else if (now.text != last[i].text) {
                PrintChange(*watched[i], last[i], now, json);
                last[i] = std::move(now);
            } else {
                last[i].source = now.source;
            }
        }
        if (first) {
            // On stderr, so that standard output holds changes alone; a script may wait for
            // this line to know that changes from now on are seen.
            Warn("watching " + std::to_string(watched.size()) +
                 " setting(s) in HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE; stop with Ctrl+C");
            first = false;
        }
        const std::array<HANDLE, 3> events{stop.Get(), hives[0].event.Get(), hives[1].event.Get()};
        const DWORD woken = WaitForMultipleObjects(3, events.data(), FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) return ExitCode::Ok;
        if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_OBJECT_0 + 2)
            return Refuse("waiting for changes failed");
        hives[woken - WAIT_OBJECT_0 - 1].armed = false;
    }
}

// Changes are printed as they happen, so the result at the end has nothing left to print.
extern const CommandRow kWatchCommand = {
    "watch",
    "Prints each change of a setting's value as it happens, in either hive: time, id, key path, "
    "old and new value, and where the value now comes from (user, machine or default). Every "
    "setting unless some are named. Runs until interrupted; with --json, one JSON object per "
    "line.",
    [](CLI::App& command) -> std::function<Result()> {
        auto settings = std::make_shared<std::vector<std::string>>();
        command.add_option("SETTING", *settings,
                           "Ids, key paths or enumerator names of the settings to watch");
        // --json is the table's flag, added to every command.
        return [settings, &command] {
            Result result;
            result.code = RunWatch(*settings, command.count("--json") > 0);
            return result;
        };
    }};

}  // namespace qelcli
