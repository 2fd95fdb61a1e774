// File: Event.h
//
// Event objects, as Win32 has them: signalled or not, reset by hand or by the wait that sees
// them signalled (auto-reset), waited for alone or several at once, with a timeout.
//
// Every event of the process shares one mutex and one condition variable: waits are rare and
// short-lived (a notification, a shutdown), and one lock makes waiting for several events, or
// for all of them at once, a plain check under it. The lock is the innermost of the portable
// registry's: nothing else is taken while it is held.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "QelRegistry.h"

namespace qelplatform {

class EventObject {
public:
    EventObject(bool manualReset, bool signalled) noexcept
        : m_manualReset(manualReset), m_signalled(signalled) {}

    void Set();
    void Reset();

    // Under the events' lock, for WaitForEvents: whether the events end a wait, with its
    // result, resetting those that reset themselves.
    static bool TryTake(const std::vector<std::shared_ptr<EventObject>>& events, bool all,
                        DWORD* result) noexcept;

private:
    const bool m_manualReset;
    bool m_signalled;  // guarded by the events' mutex
};

// WAIT_OBJECT_0 + the index of the event that ended the wait (the lowest signalled one, or 0
// when all were asked for), or WAIT_TIMEOUT; INFINITE waits for good. Auto-reset events that
// end the wait are reset by it, atomically with seeing them signalled.
DWORD WaitForEvents(const std::vector<std::shared_ptr<EventObject>>& events, bool all,
                    DWORD milliseconds);

// For the registry's fork handlers: the events' lock is held across fork(), and a child gets a
// condition variable of its own (the parent's may count waiters that do not exist in it).
void EventsBeforeFork();
void EventsAfterForkInParent();
void EventsAfterForkInChild();

}  // namespace qelplatform
