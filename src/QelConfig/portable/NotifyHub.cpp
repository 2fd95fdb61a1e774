// File: NotifyHub.cpp
//
// The registrations and the hub's thread of NotifyHub.h; the directory watches themselves are
// made through PosixSystem.h (inotify on Linux).
#include "portable/NotifyHub.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "portable/EventHandles.h"
#include "portable/NotifySnapshot.h"
#include "portable/PosixSystem.h"

namespace qelplatform {

namespace {

struct Registration {
    NotifyRequest request;
    KeySnapshot snapshot;
    int watch = -1;  // the watch of the directory watched for it (WatchDirectory)
};

struct Hub {
    std::mutex mutex;
    std::list<Registration> registrations;
    std::set<int> watches;  // every watch descriptor added and not yet removed
    int inotify = -1;       // OpenDirectoryWatcher()
    bool threadStarted = false;
};

Hub& TheHub() {
    // Never destroyed: the thread may still run during static destruction.
    static auto* hub = new Hub();
    return *hub;
}

Hive& HiveOf(Registration& registration) {
    if (registration.request.root != nullptr)
        registration.request.hive = CurrentRootHive(registration.request.root);
    return *registration.request.hive;
}

// Watches the directory of the hive file or, while it does not exist, its nearest existing
// ancestor (whose changes then lead here again). Under the hub's lock.
int Arm(Hub& hub, Hive& hive) {
    const std::string& file = hive.File().empty() ? hive.Path() : hive.File();
    if (file.empty()) return -1;
    std::filesystem::path directory = std::filesystem::path(file).parent_path();
    for (int depth = 0; depth < 4096 && !directory.empty(); ++depth) {
        const int watch = WatchDirectory(hub.inotify, directory.c_str());
        if (watch >= 0) {
            hub.watches.insert(watch);
            return watch;
        }
        if (directory == directory.root_path()) break;
        directory = directory.parent_path();
    }
    return -1;
}

// Stops watching directories no registration needs any more. Under the hub's lock.
void Prune(Hub& hub) {
    std::set<int> used;
    for (const Registration& registration : hub.registrations) used.insert(registration.watch);
    for (auto it = hub.watches.begin(); it != hub.watches.end();) {
        if (used.count(*it) != 0) {
            ++it;
            continue;
        }
        UnwatchDirectory(hub.inotify, *it);
        it = hub.watches.erase(it);
    }
}

// Under the registry's lock: looks again at each registration watched through one of `dirty`
// (every one when `all`), and signals those whose key changed as their filter asks.
void Recheck(const std::set<int>& dirty, bool all) {
    Hub& hub = TheHub();
    std::lock_guard<std::mutex> guard(hub.mutex);
    if (hub.inotify < 0) return;  // a child of fork() whose registrations are gone
    for (auto it = hub.registrations.begin(); it != hub.registrations.end();) {
        if (!all && dirty.count(it->watch) == 0) {
            ++it;
            continue;
        }
        Hive& hive = HiveOf(*it);
        // The watch first (its directory may have appeared or gone), then the look.
        it->watch = Arm(hub, hive);
        KeySnapshot now;
        const NotifyRequest& request = it->request;
        if (TakeSnapshot(hive, request.key, request.subtree, &now) &&
            SnapshotChanged(it->snapshot, now, request.filter)) {
            request.event->Set();
            it = hub.registrations.erase(it);
            continue;
        }
        ++it;
    }
    Prune(hub);
}

void Run(int inotify) {
    std::array<char, 16384> buffer{};
    for (;;) {
        const ssize_t size = ReadWatchEvents(inotify, buffer.data(), buffer.size());
        if (size < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::set<int> dirty;
        bool all = false;
        ForEachWatchEvent(buffer.data(), static_cast<std::size_t>(size),
                          [&dirty, &all](int watch, WatchEvent what) {
                              if (what == WatchEvent::Overflow) {
                                  all = true;
                              } else if (what == WatchEvent::EntryRead) {
                                  // A file in the directory was read (SQLite reading the hive):
                                  // no change.
                              } else {
                                  dirty.insert(watch);
                              }
                          });
        if (!all && dirty.empty()) continue;
        const bool usable = UnderRegistryLock([&] {
            try {
                Recheck(dirty, all);
            } catch (...) {
                // Out of memory while rechecking: the registrations wait for the next change.
            }
        });
        // Refused only in a process that may not use the store at all (ForkGuard.h).
        if (!usable) return;
    }
}

// Under the hub's lock.
LSTATUS Start(Hub& hub) {
    if (hub.inotify < 0) {
        hub.inotify = OpenDirectoryWatcher();
        if (hub.inotify < 0)
            return errno == EMFILE || errno == ENFILE ? ERROR_OUTOFMEMORY : ERROR_NOT_SUPPORTED;
    }
    if (hub.threadStarted) return ERROR_SUCCESS;
    // The thread takes no signal: they stay with the program's own threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        std::thread(Run, hub.inotify).detach();
        hub.threadStarted = true;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return ERROR_OUTOFMEMORY;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegisterNotification(NotifyRequest request) {
    Hub& hub = TheHub();
    std::lock_guard<std::mutex> guard(hub.mutex);
    if (LSTATUS status = Start(hub); status != ERROR_SUCCESS) return status;
    Registration registration{std::move(request), {}, -1};
    Hive& hive = HiveOf(registration);
    // The watch before the snapshot: whatever is committed after the snapshot's read is then
    // reported by the watch.
    registration.watch = Arm(hub, hive);
    const NotifyRequest& made = registration.request;
    if (!TakeSnapshot(hive, made.key, made.subtree, &registration.snapshot)) {
        Prune(hub);
        return ERROR_REGISTRY_IO_FAILED;
    }
    if (!registration.snapshot.exists) {
        Prune(hub);
        return ERROR_KEY_DELETED;
    }
    hub.registrations.push_back(std::move(registration));
    return ERROR_SUCCESS;
}

void EndNotifications(std::uintptr_t handle) {
    Hub& hub = TheHub();
    std::lock_guard<std::mutex> guard(hub.mutex);
    bool ended = false;
    for (auto it = hub.registrations.begin(); it != hub.registrations.end();) {
        if (it->request.handle != handle) {
            ++it;
            continue;
        }
        it->request.event->Set();
        it = hub.registrations.erase(it);
        ended = true;
    }
    if (ended) Prune(hub);
}

void NotifyBeforeFork() {
    TheHub().mutex.lock();
    EventHandlesBeforeFork();
    EventsBeforeFork();
}

void NotifyAfterForkInParent() {
    EventsAfterForkInParent();
    EventHandlesAfterFork();
    TheHub().mutex.unlock();
}

void NotifyAfterForkInChild() {
    EventsAfterForkInChild();
    EventHandlesAfterFork();
    Hub& hub = TheHub();
    hub.registrations.clear();
    hub.watches.clear();
    // The descriptor shares the parent's inotify instance: reading it would take the parent's
    // events. Closing the child's copy leaves the parent's watches alone.
    if (hub.inotify >= 0) close(hub.inotify);
    hub.inotify = -1;
    hub.threadStarted = false;
    hub.mutex.unlock();
}

}  // namespace qelplatform
