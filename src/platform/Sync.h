// Kernel events and mutexes, shared between processes by name, and waits on
// one or several of them (see SharedSegment.h for the design).
//
// Names: named objects are private to the user who made them. "Global\X" is
// shared by every process of this user; "X" and "Local\X" live in the
// session namespace (one per user here). Create on an existing name opens it and
// sets the last error to ERROR_ALREADY_EXISTS (183). Create and Open answer 0
// on failure with the last error set.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Handles.h"
#include "platform/LastError.h"

namespace vt::os {

// A security descriptor. Accepted for its shape only: objects stay private
// to their user even with NullDacl.
struct SECURITY_DESCRIPTOR {
  std::uint8_t Revision = 1;
  bool NullDacl = false;
};
struct SECURITY_ATTRIBUTES {
  DWORD nLength = 12;
  SECURITY_DESCRIPTOR* lpSecurityDescriptor = nullptr;
  bool bInheritHandle = false;
};

HANDLE CreateEventA(const SECURITY_ATTRIBUTES* attributes, bool manual_reset, bool initial_state,
                    std::string_view name);
HANDLE OpenEventA(std::string_view name);
bool SetEvent(HANDLE event);
bool ResetEvent(HANDLE event);

HANDLE CreateMutexA(const SECURITY_ATTRIBUTES* attributes, bool initial_owner, std::string_view name);
HANDLE OpenMutexA(std::string_view name);
// Fails with ERROR_NOT_OWNER (288) when the calling thread does not own it.
bool ReleaseMutex(HANDLE mutex);
// The native lock behind a mutex handle, for fault handlers that may not
// look handles up (FaultSupport.h); valid while the handle is open. Null for
// anything else.
void* MutexNativeLock(HANDLE mutex);

// Results: kWaitObject0 + i, kWaitAbandoned0 + i (a mutex whose owner ended
// without releasing it; the caller now owns it), kWaitTimeout, kWaitFailed.
DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms);
// At most 64 handles. Wait-any answers the lowest signalled index; wait-all
// takes every object at once or none.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool wait_all, DWORD timeout_ms);
// How often an event has been set since it was made (wrapping at 2^32).
bool GetEventSetCount(HANDLE event, std::uint32_t* count);
// Waits until one of the events has been set since counts[i] was read from
// it, whatever its state now: kWaitObject0 + the lowest such index,
// kWaitTimeout or kWaitFailed. At most 64 events.
DWORD WaitForEventSets(DWORD count, const HANDLE* events, const std::uint32_t* counts, DWORD timeout_ms);
// Signals one object (sets an event, releases a mutex), then waits for another.
DWORD SignalObjectAndWait(HANDLE signal, HANDLE wait, DWORD timeout_ms, bool alertable);

void Sleep(DWORD ms);
bool SwitchToThread();
// Milliseconds since an arbitrary start, wrapping at 2^32.
DWORD GetTickCount();
std::uint64_t GetTickCount64();

}  // namespace vt::os
