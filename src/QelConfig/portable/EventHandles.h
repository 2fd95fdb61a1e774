// File: EventHandles.h
//
// The handles of event objects, and the Win32 event calls over them (CreateEventW, SetEvent,
// ResetEvent, WaitForSingleObject, WaitForMultipleObjects, CloseHandle, declared in
// QelPlatform.h).
//
// Event handles are 2 modulo 4 and key handles 0 modulo 4 (Registry.cpp), and neither has a low
// half from 0x80000000 up (where the predefined keys are), so a key handle is never taken for
// an event, nor an event for a key: a call given the other kind fails with ERROR_INVALID_HANDLE,
// or FALSE. Values are never reused. A closed handle no longer names the event, but an event
// being waited for, or that a notification will signal, lives on until they are done with it.
#pragma once

#include <memory>

#include "QelRegistry.h"
#include "portable/Event.h"

namespace qelplatform {

// The event a handle names, or null when it names none.
std::shared_ptr<EventObject> EventFromHandle(HANDLE handle);

// For the registry's fork handlers: the handle table's lock is held across fork().
void EventHandlesBeforeFork();
void EventHandlesAfterFork();

}  // namespace qelplatform
