// Handles of the platform layer.
//
// A handle is a pointer-sized integer. File handles are file descriptors;
// kernel objects of this layer (events, mutexes, sections, ...) live in a
// handle table of their own and get values from kHandleTableBase upward, so
// the two never collide. kInvalidHandleValue (-1) is never a valid handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/LastError.h"

namespace vt::os {

using HANDLE = std::intptr_t;
inline constexpr HANDLE kInvalidHandleValue = -1;
inline constexpr HANDLE kHandleTableBase = 0x40000000;
// Pseudo handle of the calling process (same value as the invalid handle).
inline constexpr HANDLE kCurrentProcess = -1;

// An object behind a table handle. Waitable objects override the wait
// operations; others keep the defaults, which fail with ERROR_INVALID_HANDLE.
class KernelObject {
 public:
  enum class Poll { kNotSignaled, kSignaled, kAbandoned, kFailed };

  virtual ~KernelObject();
  virtual bool Waitable() const { return false; }
  // Takes the object when it is signalled (resets an auto-reset event, owns a
  // mutex) without blocking. kFailed sets the last error.
  virtual Poll TryWait();
  // Gives back what a successful TryWait took (used when a wait for all
  // objects cannot take them all).
  virtual void UndoWait() {}
  // Blocks up to timeout_ms for this object alone and answers a wait result
  // (kWaitObject0, kWaitAbandoned0, kWaitTimeout, kWaitFailed). The default
  // polls TryWait.
  virtual DWORD WaitSingle(DWORD timeout_ms);
  // Signals the object for SignalObjectAndWait (set an event, release a
  // mutex). The default fails with ERROR_INVALID_HANDLE.
  virtual bool Signal();
  // Waits on several objects (WakeWord.h). A waiter joins each object
  // before it first looks at them and leaves when it is done; while it is
  // joined, every change that may satisfy it wakes the shared wake word.
  // `alone`: the object alone satisfies the waiter (wait-any). Join answers
  // a mark for TryWaitJoined, which counts a set made since the join even
  // when a reset followed. Join waits at most lock_ms (the wait's time left)
  // for what the object shares with other processes, and not for a process
  // that cannot let it go (stopped, traced, frozen); false: the waiter is
  // not counted (that was held, or the object counts no more waiters) and
  // must not leave.
  virtual bool JoinWaiters(bool /*alone*/, DWORD /*lock_ms*/, std::uint32_t* mark) {
    *mark = 0;
    return true;
  }
  virtual void LeaveWaiters(bool /*alone*/) {}
  virtual Poll TryWaitJoined(std::uint32_t /*mark*/) { return TryWait(); }
  // Changes that do not wake the wake word are looked for this often while
  // joined (kInfinite: every change wakes it). By default an object is
  // looked at every 10 ms.
  virtual DWORD RecheckMs() const { return 10; }
  // A word bumped and woken at each change that may satisfy a waiter, which
  // waits on several objects sleep on too where the kernel lets them; null
  // for none.
  virtual std::atomic<std::uint32_t>* ChangeWord() { return nullptr; }
  // Native name ("\BaseNamedObjects\..."), empty for an unnamed object.
  virtual std::string NativeName() const { return {}; }
};

// Puts an object in the table; answers its new handle.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind a table handle, or null (last error 6) for any other value.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  auto p = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!p) SetLastError(kErrorInvalidHandle);
  return p;
}
bool IsTableHandle(HANDLE handle);

// Closes a table handle or a file descriptor. False with the last error set
// (ERROR_INVALID_HANDLE for anything that is not open).
bool CloseHandle(HANDLE handle);

// Duplicates a handle into the calling process (target_process must be
// kCurrentProcess: putting a handle into another process would need that
// process's help, ERROR_NOT_SUPPORTED). A table handle gets a second handle
// to the same object, a descriptor is duplicated. source_process may also be
// the handle of a child process (platform/Process.h): see
// DuplicateFromProcess.
bool DuplicateHandle(HANDLE source_process, HANDLE handle, HANDLE target_process, HANDLE* target, bool inherit);

namespace detail {
// Each process publishes the names of the named objects behind its table
// handles in an anonymous file of this name, one entry per table slot (a
// 32-bit length, then the native name), so that processes of the same user
// can copy its handles.
inline constexpr char kHandleDirectoryName[] = "vt.handles";
inline constexpr std::size_t kHandleEntrySize = 512;
// The native name behind Handle in such a directory; false when the slot
// holds no named object.
bool ReadPublishedName(int directory, HANDLE handle, std::string* native_name);
}  // namespace detail

// The calling process's standard handles: kStdInputHandle, kStdOutputHandle,
// kStdErrorHandle give descriptors 0, 1 and 2; anything else the invalid handle.
inline constexpr DWORD kStdInputHandle = static_cast<DWORD>(-10);
inline constexpr DWORD kStdOutputHandle = static_cast<DWORD>(-11);
inline constexpr DWORD kStdErrorHandle = static_cast<DWORD>(-12);
HANDLE GetStdHandle(DWORD which);

// The kind of file behind a descriptor: a disk file (kFileTypeDisk), a
// character device (kFileTypeChar), a pipe or socket (kFileTypePipe), or
// kFileTypeUnknown for anything else and for what is not open.
enum : DWORD { kFileTypeUnknown = 0, kFileTypeDisk = 1, kFileTypeChar = 2, kFileTypePipe = 3 };
DWORD GetFileType(HANDLE handle);

}  // namespace vt::os
