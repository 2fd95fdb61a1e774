// File: NotifyHub.h
//
// Change notification for the portable registry (RegNotifyChangeKeyValue): who waits for which
// key, and the one thread per process that sleeps until a hive may have changed.
//
// A registration names a key, whether the tree below it counts, a filter and an event to
// signal once (a synchronous call waits on an event of its own). When it is made, the hive's
// directory is watched with inotify (through PosixSystem.h) first and the key's snapshot
// (NotifySnapshot.h) taken second, so a commit that the snapshot does not show is reported by
// the watch. The hub's thread blocks in read() on the inotify descriptor, so a process waiting
// for a change uses no processor time until something happens in a hive's directory. Then,
// under the registry's lock, it takes a fresh snapshot of every key watched in that hive and
// signals those whose change the filter asks about; the others wait on. Commits announce
// themselves after they are visible (NotifyAnnounce.h); files appearing, going or being
// replaced in the directory count too, and a directory that does not exist yet is waited for
// through its nearest existing ancestor.
//
// As in Win32, a registration is one-shot: once signalled, the caller registers again (and
// then reads what it watches, so that nothing in between is missed). Closing the key handle
// signals and ends its registrations. Registrations do not end with the thread that made them
// (REG_NOTIFY_THREAD_AGNOSTIC is how they always behave).
//
// Locks, outermost first: the registry's, the hub's, the event handles', the events'. A
// synchronous call waits holding none of them.
//
// fork(): a child starts with no registrations and no thread; its copy of the inotify
// descriptor is closed, so that it never reads the parent's events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "QelRegistry.h"
#include "portable/Event.h"
#include "portable/Hive.h"

namespace qelplatform {

struct NotifyRequest {
    std::uintptr_t handle = 0;  // the key handle; closing it ends the registration
    HKEY root = nullptr;        // set for a predefined key, whose hive is looked up at each check
    std::shared_ptr<Hive> hive;
    KeyId key = kRootKey;
    bool subtree = false;
    DWORD filter = 0;
    std::shared_ptr<EventObject> event;  // signalled once, when the key changes
};

// Under the registry's lock. ERROR_KEY_DELETED when the key is gone.
LSTATUS RegisterNotification(NotifyRequest request);
// Under the registry's lock, when a key handle is closed: its registrations are signalled and
// end.
void EndNotifications(std::uintptr_t handle);

// Called by the registry's fork handlers, with the registry's lock held.
void NotifyBeforeFork();
void NotifyAfterForkInParent();
void NotifyAfterForkInChild();

// Provided by Registry.cpp.
// Makes sure the registry's fork handlers (which guard the events too) are installed.
void EnsureForkHandlers();
// Runs `work` under the registry's lock; false when the store may not be used in this process.
bool UnderRegistryLock(const std::function<void()>& work);
// Under the registry's lock: the hive a predefined key names now.
std::shared_ptr<Hive> CurrentRootHive(HKEY root);

}  // namespace qelplatform
