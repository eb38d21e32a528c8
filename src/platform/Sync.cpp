#include "platform/Sync.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/SharedSegment.h"
#include "platform/TestHooks.h"
#include "platform/WakeWord.h"

namespace vt::os {

namespace {

using detail::AddMs;
using detail::MonotonicNow;
using detail::ObjectPath;
using detail::Reached;
using detail::Segment;
using detail::SegmentKind;
using detail::SleepOnWord;

constexpr DWORD kMaxWaitObjects = 64;
// A mutex whose owner ends without releasing it wakes nobody: waits on
// several objects that include one look at it this often.
constexpr DWORD kAbandonRecheckMs = 50;

// ---- Events ----------------------------------------------------------------

// The state word: signalled, a set owed to a waiter (an auto-reset event
// set while waiters take it alone: a reset leaves it for them), and the
// number of such waiters.
constexpr std::uint32_t kSignaled = 1;
constexpr std::uint32_t kOwed = 2;
constexpr std::uint32_t kOneWaiter = 4;

struct EventData {
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint32_t> seq;  // futex word of single waits: bumped on every set
  std::uint32_t manual;
  std::atomic<std::uint32_t> several;  // joined waiters on several objects
  std::atomic<std::uint32_t> joins;    // waits begun and ended, for tests
  std::atomic<std::uint32_t> leaves;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

struct EventInit {
  bool manual, initial;
};

void InitEvent(void* data, void* context) {
  auto* init = static_cast<EventInit*>(context);
  auto* d = new (data) EventData;
  d->state.store(init->initial ? kSignaled : 0);
  d->seq.store(0);
  d->manual = init->manual ? 1 : 0;
  d->several.store(0);
  d->joins.store(0);
  d->leaves.store(0);
}

class EventObject : public KernelObject {
 public:
  Segment segment;
  EventData* d = nullptr;

  bool Waitable() const override { return true; }

  Poll TryWait() override {
    if (d->manual) return d->state.load() & kSignaled ? Poll::kSignaled : Poll::kNotSignaled;
    std::uint32_t w = d->state.load();
    while (w & kSignaled)
      if (d->state.compare_exchange_weak(w, w & ~(kSignaled | kOwed))) return Poll::kSignaled;
    return Poll::kNotSignaled;
  }

  void UndoWait() override {
    if (!d->manual) Set();
  }

  std::uint32_t JoinWaiters(bool alone) override {
    if (alone) d->state.fetch_add(kOneWaiter);
    d->several.fetch_add(1);
    const std::uint32_t mark = d->seq.load();
    d->joins.fetch_add(1);  // last: a set seen to follow it reaches the waiter
    return mark;
  }

  void LeaveWaiters(bool alone) override {
    d->leaves.fetch_add(1);
    d->several.fetch_sub(1);
    if (alone) Leave();
  }

  // A manual-reset event set since the mark released the waiter, whatever
  // followed; an auto-reset one is taken (a set owed to waiters stays taken
  // by one of them).
  Poll TryWaitJoined(std::uint32_t mark) override {
    if (d->manual && d->seq.load() != mark) return Poll::kSignaled;
    return TryWait();
  }
  DWORD RecheckMs() const override { return kInfinite; }

  DWORD WaitSingle(DWORD timeout_ms) override {
    if (timeout_ms == 0) return TryWait() == Poll::kSignaled ? kWaitObject0 : kWaitTimeout;
    const timespec deadline = AddMs(MonotonicNow(), timeout_ms);
    d->state.fetch_add(kOneWaiter);
    const std::uint32_t mark = d->seq.load();
    d->joins.fetch_add(1);
    DWORD result = kWaitTimeout;
    for (;;) {
      const std::uint32_t seen = d->seq.load();
      if (TryWaitJoined(mark) == Poll::kSignaled) {
        result = kWaitObject0;
        break;
      }
      if (timeout_ms != kInfinite && Reached(deadline)) break;
      SleepOnWord(d->seq, seen, timeout_ms == kInfinite ? nullptr : &deadline);
    }
    d->leaves.fetch_add(1);
    Leave();
    return result;
  }

  bool Signal() override {
    Set();
    return true;
  }

  void Set() {
    if (d->manual) {
      d->state.fetch_or(kSignaled);
    } else {
      std::uint32_t w = d->state.load();
      while (!d->state.compare_exchange_weak(w, w | kSignaled | (w >= kOneWaiter ? kOwed : 0))) {
      }
    }
    d->seq.fetch_add(1);
    detail::WakeWordSleepers(d->seq);
    if (d->several.load() != 0) detail::WakeSeveralWaiters();
  }

  void Reset() {
    std::uint32_t w = d->state.load();
    while (!(w & kOwed) && !d->state.compare_exchange_weak(w, w & ~kSignaled)) {
    }
  }

  std::string NativeName() const override { return segment.NativeName(); }

 private:
  // The last waiter gone, a set owed to waiters is a plain signal again.
  void Leave() {
    std::uint32_t w = d->state.load();
    for (;;) {
      std::uint32_t next = w - kOneWaiter;
      if (next < kOneWaiter) next &= ~kOwed;
      if (d->state.compare_exchange_weak(w, next)) return;
    }
  }
};

// ---- Mutexes ---------------------------------------------------------------

struct MutexData {
  pthread_mutex_t mutex;
  std::atomic<std::uint32_t> several;  // joined waiters on several objects
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
  new (&d->several) std::atomic<std::uint32_t>(0);
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

  std::uint32_t JoinWaiters(bool) override {
    d->several.fetch_add(1);
    return 0;
  }
  void LeaveWaiters(bool) override { d->several.fetch_sub(1); }
  // An owner that ends without releasing wakes nobody.
  DWORD RecheckMs() const override { return kAbandonRecheckMs; }

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
    // The unlock is ordered before the look at the waiters.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (d->several.load() != 0) detail::WakeSeveralWaiters();
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

  // One look at every object: wait-any answers the lowest signalled index;
  // wait-all takes everything or gives back what it took.
  auto look = [&](const std::uint32_t* marks) -> DWORD {
    if (!wait_all) {
      for (DWORD i = 0; i < count; ++i) {
        DWORD r = PollResult(marks ? objects[i]->TryWaitJoined(marks[i]) : objects[i]->TryWait(), i);
        if (r != kWaitTimeout) return r;
      }
      return kWaitTimeout;
    }
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
    return kWaitTimeout;
  };
  if (timeout_ms == 0) return look(nullptr);

  // Joined to every object, sleep on the shared wake word: a set, release
  // or process end after the join wakes it (no lost pulses, no polling).
  const timespec deadline = AddMs(MonotonicNow(), timeout_ms);
  std::atomic<std::uint32_t>& word = detail::WakeWord();
  DWORD recheck_ms = detail::WakeWordShared() ? kInfinite : detail::kUnsharedRecheckMs;
  std::uint32_t marks[kMaxWaitObjects];
  for (DWORD i = 0; i < count; ++i) {
    marks[i] = objects[i]->JoinWaiters(!wait_all);
    recheck_ms = std::min(recheck_ms, objects[i]->RecheckMs());
  }
  DWORD result;
  for (;;) {
    const std::uint32_t seen = word.load();
    std::atomic_thread_fence(std::memory_order_seq_cst);
    result = look(wait_all ? nullptr : marks);
    if (result != kWaitTimeout) break;
    if (timeout_ms != kInfinite && Reached(deadline)) break;
    const timespec* until = timeout_ms == kInfinite ? nullptr : &deadline;
    timespec recheck{};
    if (recheck_ms != kInfinite) {
      recheck = AddMs(MonotonicNow(), recheck_ms);
      if (!until || recheck.tv_sec < until->tv_sec ||
          (recheck.tv_sec == until->tv_sec && recheck.tv_nsec < until->tv_nsec))
        until = &recheck;
    }
    SleepOnWord(word, seen, until);
  }
  const DWORD err = GetLastError();
  for (DWORD i = 0; i < count; ++i) objects[i]->LeaveWaiters(!wait_all);
  SetLastError(err);
  return result;
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

bool PlatformTestHelper::EventWaiters(HANDLE event, std::uint32_t* waiting, std::uint32_t* joins) {
  auto e = LookupHandleAs<EventObject>(event);
  if (!e) return false;
  const std::uint32_t leaves = e->d->leaves.load();
  *joins = e->d->joins.load();
  *waiting = *joins - leaves;
  return true;
}

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SwitchToThread() { return ::sched_yield() == 0; }

std::uint64_t GetTickCount64() {
  timespec ts = MonotonicNow();
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

}  // namespace vt::os
