// File: EventHandles.cpp
#include "portable/EventHandles.h"

#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "portable/NotifyHub.h"

using namespace qelplatform;

namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<EventObject>> events;
    std::uintptr_t next = 0x10002;
};

HandleTable& Table() {
    // Never destroyed: handles stay valid during static destruction.
    static auto* table = new HandleTable();
    return *table;
}

std::uintptr_t ValueOf(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

namespace qelplatform {

std::shared_ptr<EventObject> EventFromHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.events.find(ValueOf(handle));
    return it == table.events.end() ? nullptr : it->second;
}

void EventHandlesBeforeFork() { Table().mutex.lock(); }

void EventHandlesAfterFork() { Table().mutex.unlock(); }

}  // namespace qelplatform

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                    BOOL bInitialState, LPCWSTR lpName) {
    // Named events are shared between processes on Windows; here events live in one process,
    // so a name is refused rather than silently ignored.
    if (lpName != nullptr) return nullptr;
    try {
        // The registry's fork handlers also guard the events: make sure they are in place.
        EnsureForkHandlers();
        auto event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
        HandleTable& table = Table();
        std::lock_guard<std::mutex> guard(table.mutex);
        // Like key handles, no low half from 0x80000000 up, which names a predefined key.
        constexpr std::uintptr_t kPredefinedBit = 0x80000000u;
        if (table.next & kPredefinedBit) table.next += kPredefinedBit + 0x10000;
        const std::uintptr_t value = table.next;
        table.events.emplace(value, std::move(event));
        table.next += 4;
        return reinterpret_cast<HANDLE>(value);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

BOOL SetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = EventFromHandle(hEvent);
    if (!event) return FALSE;
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = EventFromHandle(hEvent);
    if (!event) return FALSE;
    event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) return WAIT_FAILED;
    try {
        std::vector<std::shared_ptr<EventObject>> events;
        events.reserve(nCount);
        for (DWORD i = 0; i < nCount; ++i) {
            events.push_back(EventFromHandle(lpHandles[i]));
            if (!events.back()) return WAIT_FAILED;
        }
        return WaitForEvents(events, bWaitAll != FALSE, dwMilliseconds);
    } catch (...) {
        return WAIT_FAILED;
    }
}

BOOL CloseHandle(HANDLE hObject) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    return table.events.erase(ValueOf(hObject)) == 1 ? TRUE : FALSE;
}
