#include "platform/Sync.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "platform/SharedSegment.h"

namespace vt::os {

namespace {

using detail::ObjectPath;
using detail::Segment;
using detail::SegmentKind;

constexpr DWORD kMaxWaitObjects = 64;

timespec MonotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec AddMs(timespec ts, DWORD ms) {
  ts.tv_sec += static_cast<time_t>(ms / 1000);
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// Milliseconds left until deadline (0 when passed).
long MsUntil(const timespec& deadline) {
  timespec now = MonotonicNow();
  long long ms = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                 (deadline.tv_nsec - now.tv_nsec) / 1000000;
  return ms > 0 ? static_cast<long>(ms) : 0;
}

// ---- Events ----------------------------------------------------------------

struct EventData {
  std::atomic<std::uint32_t> signaled;
  std::atomic<std::uint32_t> seq;  // futex word: bumped on every set
  std::uint32_t manual;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

struct EventInit {
  bool manual, initial;
};

void InitEvent(void* data, void* context) {
  auto* init = static_cast<EventInit*>(context);
  auto* d = new (data) EventData;
  d->signaled.store(init->initial ? 1 : 0);
  d->seq.store(0);
  d->manual = init->manual ? 1 : 0;
}

class EventObject : public KernelObject {
 public:
  Segment segment;
  EventData* d = nullptr;

  bool Waitable() const override { return true; }

  Poll TryWait() override {
    if (d->manual) return d->signaled.load(std::memory_order_acquire) ? Poll::kSignaled : Poll::kNotSignaled;
    std::uint32_t expected = 1;
    return d->signaled.compare_exchange_strong(expected, 0, std::memory_order_acq_rel) ? Poll::kSignaled
                                                                                       : Poll::kNotSignaled;
  }

  void UndoWait() override {
    if (!d->manual) Set();
  }

  DWORD WaitSingle(DWORD timeout_ms) override {
    timespec deadline = AddMs(MonotonicNow(), timeout_ms);
    for (;;) {
      std::uint32_t seq = d->seq.load(std::memory_order_acquire);
      if (TryWait() == Poll::kSignaled) return kWaitObject0;
      timespec rel{};
      timespec* prel = nullptr;
      if (timeout_ms != kInfinite) {
        long ms = MsUntil(deadline);
        if (ms <= 0) return kWaitTimeout;
        rel.tv_sec = ms / 1000;
        rel.tv_nsec = (ms % 1000) * 1000000L;
        prel = &rel;
      }
      ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&d->seq), FUTEX_WAIT, seq, prel, nullptr, 0);
    }
  }

  bool Signal() override {
    Set();
    return true;
  }

  void Set() {
    d->signaled.store(1, std::memory_order_release);
    d->seq.fetch_add(1, std::memory_order_acq_rel);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&d->seq), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  }

  void Reset() { d->signaled.store(0, std::memory_order_release); }

  std::string NativeName() const override { return segment.NativeName(); }
};

// ---- Mutexes ---------------------------------------------------------------

struct MutexData {
  pthread_mutex_t mutex;
};

void InitMutex(void* data, void*) {
  auto* d = static_cast<MutexData*>(data);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&d->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

class MutexObject : public KernelObject {
 public:
  Segment segment;
  MutexData* d = nullptr;
  std::atomic<int> owned{0};  // acquisitions not yet released by threads of this process

  ~MutexObject() override {
    // A thread still owning the mutex keeps it in its robust list: the
    // memory must stay mapped until the process ends.
    if (owned.load() > 0) segment.LeakMappingOnClose();
  }

  bool Waitable() const override { return true; }

  Poll Result(int r) {
    if (r == 0) {
      owned.fetch_add(1);
      return Poll::kSignaled;
    }
    if (r == EOWNERDEAD) {
      pthread_mutex_consistent(&d->mutex);
      owned.fetch_add(1);
      return Poll::kAbandoned;
    }
    if (r == EBUSY || r == ETIMEDOUT) return Poll::kNotSignaled;
    SetLastError(r == EAGAIN ? kErrorNotEnoughQuota : kErrorInvalidHandle);
    return Poll::kFailed;
  }

  Poll TryWait() override { return Result(pthread_mutex_trylock(&d->mutex)); }

  void UndoWait() override { Release(); }

  DWORD WaitSingle(DWORD timeout_ms) override {
    int r;
    if (timeout_ms == kInfinite) {
      r = pthread_mutex_lock(&d->mutex);
    } else {
      timespec deadline = AddMs(MonotonicNow(), timeout_ms);
      r = pthread_mutex_clocklock(&d->mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (Result(r)) {
      case Poll::kSignaled: return kWaitObject0;
      case Poll::kAbandoned: return kWaitAbandoned0;
      case Poll::kNotSignaled: return kWaitTimeout;
      case Poll::kFailed: break;
    }
    return kWaitFailed;
  }

  bool Signal() override { return Release(); }

  bool Release() {
    if (pthread_mutex_unlock(&d->mutex) != 0) {
      SetLastError(kErrorNotOwner);
      return false;
    }
    owned.fetch_sub(1);
    return true;
  }

  std::string NativeName() const override { return segment.NativeName(); }
};

// Creates (or opens) a named object, or an unnamed one for an empty name.
template <typename Obj>
HANDLE CreateObject(std::string_view name, SegmentKind kind,
                    std::size_t data_size, void (*init)(void*, void*), void* context, bool& existed) {
  auto object = std::make_shared<Obj>();
  DWORD err;
  existed = false;
  if (name.empty()) {
    err = object->segment.CreateAnonymous(data_size, init, context);
  } else {
    ObjectPath path;
    if (!detail::ResolveObjectName(name, false, path)) return 0;
    err = object->segment.Create(path, kind, data_size, init, context, existed);
  }
  if (err == kErrorSuccess && object->segment.DataSize() < data_size) err = kErrorInvalidHandle;
  if (err != kErrorSuccess) {
    SetLastError(err);
    return 0;
  }
  object->d = static_cast<decltype(object->d)>(object->segment.Data());
  HANDLE h = InsertHandle(object);
  SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
  return h;
}

template <typename Obj>
HANDLE OpenObject(std::string_view name, SegmentKind kind, std::size_t data_size) {
  ObjectPath path;
  if (!detail::ResolveObjectName(name, false, path)) return 0;
  auto object = std::make_shared<Obj>();
  DWORD err = object->segment.Open(path, kind);
  if (err == kErrorSuccess && object->segment.DataSize() < data_size) err = kErrorInvalidHandle;
  if (err != kErrorSuccess) {
    SetLastError(err);
    return 0;
  }
  object->d = static_cast<decltype(object->d)>(object->segment.Data());
  return InsertHandle(object);
}

DWORD PollResult(KernelObject::Poll p, DWORD index) {
  switch (p) {
    case KernelObject::Poll::kSignaled: return kWaitObject0 + index;
    case KernelObject::Poll::kAbandoned: return kWaitAbandoned0 + index;
    case KernelObject::Poll::kFailed: return kWaitFailed;
    case KernelObject::Poll::kNotSignaled: break;
  }
  return kWaitTimeout;
}

}  // namespace

HANDLE CreateEventA(const SECURITY_ATTRIBUTES* /*attributes*/, bool manual_reset, bool initial_state,
                    std::string_view name) {
  EventInit init{manual_reset, initial_state};
  bool existed;
  return CreateObject<EventObject>(name, SegmentKind::kEvent, sizeof(EventData), InitEvent, &init,
                                   existed);
}

HANDLE OpenEventA(std::string_view name) {
  return OpenObject<EventObject>(name, SegmentKind::kEvent, sizeof(EventData));
}

bool SetEvent(HANDLE event) {
  auto e = LookupHandleAs<EventObject>(event);
  if (!e) return false;
  e->Set();
  return true;
}

bool ResetEvent(HANDLE event) {
  auto e = LookupHandleAs<EventObject>(event);
  if (!e) return false;
  e->Reset();
  return true;
}

HANDLE CreateMutexA(const SECURITY_ATTRIBUTES* /*attributes*/, bool initial_owner, std::string_view name) {
  bool existed;
  HANDLE h = CreateObject<MutexObject>(name, SegmentKind::kMutex, sizeof(MutexData), InitMutex,
                                       nullptr, existed);
  // The creator alone takes initial ownership.
  if (h && initial_owner && !existed) {
    auto m = LookupHandleAs<MutexObject>(h);
    if (m->WaitSingle(kInfinite) == kWaitFailed) {
      DWORD err = GetLastError();
      CloseHandle(h);
      SetLastError(err);
      return 0;
    }
    SetLastError(kErrorSuccess);
  }
  return h;
}

HANDLE OpenMutexA(std::string_view name) {
  return OpenObject<MutexObject>(name, SegmentKind::kMutex, sizeof(MutexData));
}

bool ReleaseMutex(HANDLE mutex) {
  auto m = LookupHandleAs<MutexObject>(mutex);
  return m && m->Release();
}

void* MutexNativeLock(HANDLE mutex) {
  auto m = LookupHandleAs<MutexObject>(mutex);
  return m ? &m->d->mutex : nullptr;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) { return WaitForMultipleObjects(1, &handle, false, timeout_ms); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool wait_all, DWORD timeout_ms) {
  if (count == 0 || count > kMaxWaitObjects || !handles) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandle(handles[i]);
    if (!object || !object->Waitable()) {
      SetLastError(kErrorInvalidHandle);
      return kWaitFailed;
    }
    if (wait_all) {
      for (const auto& o : objects)
        if (o == object) {
          SetLastError(kErrorInvalidParameter);
          return kWaitFailed;
        }
    }
    objects.push_back(std::move(object));
  }
  if (count == 1) return objects[0]->WaitSingle(timeout_ms);

  // Several objects: poll, sleeping 1 ms at first and up to 10 ms between
  // rounds. Single waits block in the kernel instead.
  timespec deadline = AddMs(MonotonicNow(), timeout_ms);
  DWORD pause_ms = 1;
  for (;;) {
    if (wait_all) {
      DWORD abandoned = kWaitTimeout;
      DWORD taken = 0;
      KernelObject::Poll failed = KernelObject::Poll::kSignaled;
      for (; taken < count; ++taken) {
        auto p = objects[taken]->TryWait();
        if (p == KernelObject::Poll::kAbandoned && abandoned == kWaitTimeout) abandoned = kWaitAbandoned0 + taken;
        if (p == KernelObject::Poll::kNotSignaled || p == KernelObject::Poll::kFailed) {
          failed = p;
          break;
        }
      }
      if (taken == count) return abandoned != kWaitTimeout ? abandoned : kWaitObject0;
      DWORD err = GetLastError();
      while (taken > 0) objects[--taken]->UndoWait();
      if (failed == KernelObject::Poll::kFailed) {
        SetLastError(err);
        return kWaitFailed;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        DWORD r = PollResult(objects[i]->TryWait(), i);
        if (r != kWaitTimeout) return r;
      }
    }
    DWORD sleep_ms = pause_ms;
    if (timeout_ms != kInfinite) {
      long left = MsUntil(deadline);
      if (left <= 0) return kWaitTimeout;
      if (static_cast<DWORD>(left) < sleep_ms) sleep_ms = static_cast<DWORD>(left);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    if (pause_ms < 10) pause_ms *= 2;
  }
}

DWORD SignalObjectAndWait(HANDLE signal, HANDLE wait, DWORD timeout_ms, bool /*alertable*/) {
  auto s = LookupHandle(signal);
  if (!s) return kWaitFailed;
  auto w = LookupHandle(wait);
  if (!w || !w->Waitable()) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  if (!s->Signal()) return kWaitFailed;
  return w->WaitSingle(timeout_ms);
}

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SwitchToThread() { return ::sched_yield() == 0; }

std::uint64_t GetTickCount64() {
  timespec ts = MonotonicNow();
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

}  // namespace vt::os
