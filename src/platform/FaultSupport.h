// What fault handlers need: an alternate signal stack per thread (so that a
// stack overflow can still be handled), the thread's stack bounds, the code
// ranges of the loaded images, and async-signal-safe forms of the few
// services a record written from a signal handler uses.
//
// Functions marked "handler-safe" do only async-signal-safe work: no
// allocation, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Handles.h"
#include "platform/SystemInfo.h"

namespace vt::os {

// Size of the alternate signal stacks: room for a fault record and a short
// clean-up routine (at least 64 KiB and four times the system's minimum).
std::size_t FaultStackSize();

// Gives the calling thread an alternate signal stack (unless it has one
// already) and notes its stack bounds. Threads started by the library and
// the thread that installs the fault handlers call it. False when no stack
// could be set up.
bool PrepareThreadForFaults() noexcept;
// Releases the alternate stack PrepareThreadForFaults set up for the calling
// thread (at the thread's end).
void ReleaseThreadFaultStack() noexcept;

// The calling thread's stack: [Low, High) may be read from any stack position
// up to High; below Low lies the guard area, [GuardLow, Low).
struct StackBounds {
  std::uintptr_t Low = 0;
  std::uintptr_t High = 0;
  std::uintptr_t GuardLow = 0;
};
// Handler-safe when the bounds were noted (PrepareThreadForFaults or an
// earlier call on this thread); elsewhere they are worked out when missing.
bool GetThreadStackBounds(StackBounds* bounds) noexcept;

// Bytes of the calling thread's stack left below the caller's frame;
// SIZE_MAX when the stack's bounds cannot be told.
std::size_t StackSpaceLeft() noexcept;

// True while the calling thread runs a fault handler.
bool InFaultHandler() noexcept;

// Executable ranges of the loaded images.
struct CodeRange {
  std::uintptr_t Start = 0;
  std::uintptr_t End = 0;
};
// Fills up to capacity ranges; answers how many. Handler-safe (reads the
// process's memory map; outside a handler the loader's list is used).
int CollectCodeRanges(CodeRange* ranges, int capacity) noexcept;

// True when the whole range is mapped. Handler-safe.
bool IsMapped(std::uintptr_t address, std::size_t length) noexcept;

// Handler-safe local time: the offset from UTC is the one noted when the
// fault handlers were installed (NoteLocalTimeOffset).
void GetLocalTimeInHandler(SystemTime* time) noexcept;
void NoteLocalTimeOffset();  // after detail::LoadTimeZone

// Handler-safe form of FindModuleOfAddress: the module's file name (cut to
// capacity - 1 characters) and load address. The program's own image is
// named as it was started (noted with NoteProgramImage).
bool FindModuleOfAddressInHandler(const void* address, char* name, std::size_t capacity,
                                  const void** base) noexcept;
void NoteProgramImage();

// Handler-safe: appends the bytes at the end of the file (all of them, or
// false).
bool AppendToFileInHandler(HANDLE file, const char* data, std::size_t size) noexcept;
// Handler-safe: opens a regular file for appending (created when missing,
// never through a link); kInvalidHandleValue when it cannot, or when the
// file is another user's than this one's or root's, or has more than one
// link.
HANDLE OpenFileForAppendInHandler(const char* path) noexcept;
void CloseFileInHandler(HANDLE file) noexcept;

// Handler-safe: waits for the native lock behind a mutex handle (see
// MutexNativeLock in Sync.h) up to timeout_ms; true when taken (also when
// its owner died). Re-entrant for the owner, as the mutex is.
bool LockNativeMutexInHandler(void* lock, DWORD timeout_ms) noexcept;
void UnlockNativeMutexInHandler(void* lock) noexcept;

}  // namespace vt::os
