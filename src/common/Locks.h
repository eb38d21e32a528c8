// Locks, kernel events and mutexes, and the one waiting routine every wait
// goes through (part of the OS utility layer of Objects.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/Objects.h"
#include "platform/Sync.h"
#include "platform/ThreadSafety.h"

namespace vt {

// Spinning critical section: recursive for the owning thread.
class CAPABILITY("mutex") TFastMutex {
 public:
  TFastMutex() = default;
  TFastMutex(const TFastMutex&) = delete;
  TFastMutex& operator=(const TFastMutex&) = delete;
  // Up to 1000 tries, yielding the processor between them, then blocks.
  void Enter() ACQUIRE();
  // One try, without waiting (also from a signal handler).
  bool TryEnter() TRY_ACQUIRE(true);
  void Leave() RELEASE();

 private:
  std::recursive_mutex section_;
};

// Holds a TFastMutex for a scope.
class SCOPED_CAPABILITY TFastMutexLock {
 public:
  explicit TFastMutexLock(TFastMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Enter(); }
  ~TFastMutexLock() RELEASE() { mutex_.Leave(); }
  TFastMutexLock(const TFastMutexLock&) = delete;
  TFastMutexLock& operator=(const TFastMutexLock&) = delete;

 private:
  TFastMutex& mutex_;
};

// Wait flags (a small set).
enum TWaitFlag : std::uint32_t {
  wfDeadlockWarnings = 1,  // an unbounded wait runs in 20000 ms slices, warning after each
  wfWarnAbandoned = 2,     // a wait ending on an abandoned mutex warns
  wfNoTimeoutError = 4,    // a time-out answers -1 instead of raising
};
using TWaitFlags = std::uint32_t;

// Named (or unnamed, for an empty name) kernel mutex, not initially owned.
class TWinMutex {
 public:
  TWinMutex(const os::SECURITY_ATTRIBUTES* security_attributes, const std::string& name);
  ~TWinMutex();
  TWinMutex(const TWinMutex&) = delete;
  TWinMutex& operator=(const TWinMutex&) = delete;

  // True when acquired (an abandoned mutex counts as acquired).
  bool Acquire(std::uint32_t timeout = os::kInfinite, TWaitFlags flags = 0);
  void Release();

  os::HANDLE Handle = 0;
  bool OwnsHandle = true;
  bool AlreadyExisted = false;
};

// Named (or unnamed) kernel event.
class TWinEvent {
 public:
  TWinEvent(const os::SECURITY_ATTRIBUTES* security_attributes, const std::string& name, bool manual_reset,
            bool initial_state);
  ~TWinEvent();
  TWinEvent(const TWinEvent&) = delete;
  TWinEvent& operator=(const TWinEvent&) = delete;

  void SetEvent();
  // True when signalled, false on time-out.
  bool WaitFor(std::uint32_t timeout);

  os::HANDLE Handle = 0;
  bool AlreadyExisted = false;
};

// Raises "Failed to set event object 0x0%x" on failure.
void SetEventChecked(os::HANDLE event);

// Waits for one (or all) of the handles. Answers the index of the object
// that ended the wait, or -1 on a time-out with wfNoTimeoutError.
// signal_object (0: none) is signalled once, as the first wait step starts.
int WaitForObjects(const std::vector<os::HANDLE>& handles, bool wait_all, std::uint32_t timeout,
                   TWaitFlags flags = 0, os::HANDLE signal_object = 0);
bool WaitForObject(os::HANDLE handle, std::uint32_t timeout, TWaitFlags flags = 0, os::HANDLE signal_object = 0);

// The retry loop of PostMessageWithRetry over a posting call that answers
// success and sets the last error on failure: errors 0 and 1816 (queue full)
// are retried every 1 ms without end, warning every 10 s; any other error
// raises "Failed to post message 0x0%x to window 0x0%x.".
void PostMessageRetryLoop(const std::function<bool()>& post, std::uint32_t msg, std::uintptr_t window);
std::int64_t PostedMessageCount();
std::int64_t PostRetryCount();

// Process-wide receiver of the wait and posting warnings (dropped while unset).
using TWarningCallback = void (*)(const std::string& text);
void SetWarningCallback(TWarningCallback callback);
TWarningCallback GetWarningCallback();
void SendWarning(const std::string& text);

// "Global\" + Name.
std::string AddGlobalPrefix(const std::string& name);

// A descriptor with a null access list (every local user may open the
// object) and attributes holding it; created on first use.
os::SECURITY_DESCRIPTOR* GetEveryoneSecurityDescriptor();
os::SECURITY_ATTRIBUTES* GetEveryoneSecurityAttributes();

// Per-thread counters, all starting at 0.
struct TThreadCounters {
  int LogNesting = 0;
  int ExceptionLogSuppression = 0;
  int LogBusy = 0;
};
TThreadCounters& ThreadCounters();
void DisableExceptionLogging();
void EnableExceptionLogging();
bool IsExceptionLoggingDisabled();

}  // namespace vt
