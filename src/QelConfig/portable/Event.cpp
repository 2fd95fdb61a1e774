// File: Event.cpp
#include "portable/Event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qelplatform {

namespace {

struct EventsLock {
    std::mutex mutex;
    // Replaced, never destroyed, in a child of fork(): see EventsAfterForkInChild.
    std::condition_variable* changed = new std::condition_variable();
};

EventsLock& Events() {
    // Never destroyed: events stay usable during static destruction.
    static auto* lock = new EventsLock();
    return *lock;
}

}  // namespace

void EventObject::Set() {
    EventsLock& events = Events();
    {
        std::lock_guard<std::mutex> guard(events.mutex);
        m_signalled = true;
    }
    events.changed->notify_all();
}

void EventObject::Reset() {
    std::lock_guard<std::mutex> guard(Events().mutex);
    m_signalled = false;
}

bool EventObject::TryTake(const std::vector<std::shared_ptr<EventObject>>& events, bool all,
                          DWORD* result) noexcept {
    if (all) {
        for (const auto& event : events)
            if (!event->m_signalled) return false;
        for (const auto& event : events)
            if (!event->m_manualReset) event->m_signalled = false;
        *result = WAIT_OBJECT_0;
        return true;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        EventObject& event = *events[i];
        if (!event.m_signalled) continue;
        if (!event.m_manualReset) event.m_signalled = false;
        *result = static_cast<DWORD>(WAIT_OBJECT_0 + i);
        return true;
    }
    return false;
}

DWORD WaitForEvents(const std::vector<std::shared_ptr<EventObject>>& events, bool all,
                    DWORD milliseconds) {
    EventsLock& lock = Events();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(lock.mutex);
    for (;;) {
        DWORD result = WAIT_FAILED;
        // Looked at once more after the deadline: a Set() that raced with it still counts.
        if (EventObject::TryTake(events, all, &result)) return result;
        if (milliseconds == INFINITE) {
            lock.changed->wait(guard);
        } else {
            if (std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
            lock.changed->wait_until(guard, deadline);
        }
    }
}

void EventsBeforeFork() { Events().mutex.lock(); }

void EventsAfterForkInParent() { Events().mutex.unlock(); }

void EventsAfterForkInChild() {
    EventsLock& lock = Events();
    lock.changed = new std::condition_variable();
    lock.mutex.unlock();
}

}  // namespace qelplatform
