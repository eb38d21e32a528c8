#include "platform/Sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
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
// set while waiters take it alone: a reset leaves it for them), and one bit
// per waiter slot whose process has such waits going on.
constexpr std::uint64_t kSignaled = 1;
constexpr std::uint64_t kOwed = 2;
constexpr int kFirstSlotBit = 2;
// Waits are counted per process, so that the waits of a process that ended
// inside them can be taken back. A process that finds no slot free waits
// uncounted (a set then wakes it but is not owed to it). The last slot was
// shared by such processes once; it is only read now, as peers may still
// count there.
constexpr std::size_t kWaiterSlots = 62;
constexpr std::size_t kSharedSlot = kWaiterSlots - 1;
constexpr std::int32_t kSharedSlotPid = -1;
constexpr std::uint64_t SlotBit(std::size_t slot) { return std::uint64_t{1} << (kFirstSlotBit + slot); }
// A process that wants the waiters' lock while another holds it looks at
// the holder after 1 ms, then this often: a holder that cannot run (stopped,
// traced, frozen) is not waited for, one that runs is.
constexpr DWORD kWaitersLockMs = 10;

struct WaiterSlot {  // read and written under the waiters' lock only
  std::int32_t pid;  // the process (ProcessViewId), 0: free
  std::uint32_t waits;    // its waits going on
  std::uint32_t alone;    // of them, waits this event alone can end
  std::uint32_t several;  // of them, waits on several objects
  std::uint64_t start;    // its start time, against reused ids
};

// Leaves of a slot's process that found the waiters' lock held by a process
// that cannot let go, packed (waits, alone, several: 21 bits each); whoever
// takes the lock next makes them.
constexpr int kPutOffBits = 21;
constexpr std::uint64_t kPutOffMask = (std::uint64_t{1} << kPutOffBits) - 1;
constexpr std::uint64_t PackLeaves(std::uint64_t waits, std::uint64_t alone, std::uint64_t several) {
  return waits | alone << kPutOffBits | several << (2 * kPutOffBits);
}

struct EventData {
  std::atomic<std::uint64_t> state;
  std::atomic<std::uint32_t> seq;  // futex word of waits: bumped on every set
  std::uint32_t manual;
  std::atomic<std::uint32_t> several;  // joined waiters on several objects
  std::atomic<std::uint32_t> joins;    // waits begun and ended, for tests
  std::atomic<std::uint32_t> leaves;
  std::atomic<std::int32_t> holder;  // thread holding the waiters' lock (view id), 0: unknown
  pthread_mutex_t waiters_lock;  // robust: a process may end holding it
  WaiterSlot slots[kWaiterSlots];
  // Objects made by older programs end here.
  std::atomic<std::uint64_t> put_off_slots;  // slots that may have leaves put off
  std::atomic<std::uint64_t> put_off[kWaiterSlots];
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(kFirstSlotBit + kWaiterSlots <= 64);
// The holder lies in what was padding: older programs' objects hold 0 there.
static_assert(offsetof(EventData, holder) + sizeof(std::int32_t) == offsetof(EventData, waiters_lock));
constexpr std::size_t kOlderEventSize = offsetof(EventData, put_off_slots);

// This thread as the /proc the process sees numbers it; 0 when unknown.
std::int32_t ThreadViewId() {
  thread_local std::int32_t process = 0, thread = 0;
  const std::int32_t now = detail::ProcessViewId();
  if (process == now) return thread;
  char buf[64];
  const ssize_t n = ::readlink("/proc/thread-self", buf, sizeof buf - 1);
  thread = 0;
  if (n > 0) {
    buf[n] = 0;
    const char* task = std::strstr(buf, "/task/");
    if (task) thread = static_cast<std::int32_t>(std::strtol(task + 6, nullptr, 10));
  }
  process = now;
  return thread;
}

// Up to size - 1 bytes of a small file, 0-terminated; false when unreadable.
bool ReadSmallFile(const std::string& path, char* buf, std::size_t size) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const ssize_t n = ::read(fd, buf, size - 1);
  ::close(fd);
  if (n < 0) return false;
  buf[n] = 0;
  return true;
}

// Whether the cgroup that /proc/<id>/cgroup names is frozen (v2 freeze, v1
// freezer).
bool CgroupFrozen(std::int32_t id) {
  char buf[2048];
  if (!ReadSmallFile("/proc/" + std::to_string(id) + "/cgroup", buf, sizeof buf)) return false;
  std::string_view rest(buf);
  while (!rest.empty()) {
    const std::size_t eol = std::min(rest.find('\n'), rest.size());
    const std::string line(rest.substr(0, eol));
    rest.remove_prefix(std::min(eol + 1, rest.size()));
    const std::size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
    const std::string path = line.compare(b + 1, std::string::npos, "/") == 0 ? std::string() : line.substr(b + 1);
    char state[512];
    if (controllers == ",," && ReadSmallFile("/sys/fs/cgroup" + path + "/cgroup.events", state, sizeof state) &&
        std::strstr(state, "frozen 1"))
      return true;
    if (controllers.find(",freezer,") != std::string::npos &&
        ReadSmallFile("/sys/fs/cgroup/freezer" + path + "/freezer.state", state, sizeof state) &&
        std::strncmp(state, "THAWED", 6) != 0)
      return true;
  }
  return false;
}

// Whether the thread (view id) cannot run to let a lock go: stopped by a
// signal, stopped by its tracer, or frozen. A thread that has ended lets
// its robust locks go.
bool ThreadHeldUp(std::int32_t id) {
  char buf[1024];
  if (!ReadSmallFile("/proc/" + std::to_string(id) + "/stat", buf, sizeof buf)) return false;
  const char* p = std::strrchr(buf, ')');
  if (!p || p[1] != ' ') return false;
  if (p[2] == 'T' || p[2] == 't') return true;
  return p[2] != 'Z' && p[2] != 'X' && CgroupFrozen(id);
}

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
  d->holder.store(0);
  d->put_off_slots.store(0);
  for (auto& leaves : d->put_off) leaves.store(0);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&d->waiters_lock, &attr);
  pthread_mutexattr_destroy(&attr);
  for (WaiterSlot& slot : d->slots) slot = {};
  d->slots[kSharedSlot].pid = kSharedSlotPid;
}

class EventObject : public KernelObject {
 public:
  // An older program's object lacks the put-off leaves.
  static constexpr std::size_t kLeastDataSize = kOlderEventSize;
  Segment segment;
  EventData* d = nullptr;

  bool Waitable() const override { return true; }

  Poll TryWait() override {
    if (d->manual) return d->state.load() & kSignaled ? Poll::kSignaled : Poll::kNotSignaled;
    std::uint64_t w = d->state.load();
    while (w & kSignaled)
      if (d->state.compare_exchange_weak(w, w & ~(kSignaled | kOwed))) return Poll::kSignaled;
    return Poll::kNotSignaled;
  }

  void UndoWait() override {
    if (!d->manual) Set();
  }

  ~EventObject() override {
    // Leaves put off in an older program's object, which cannot take them.
    if (d && pending_waits_.load() != 0 && LockWaiters(nullptr)) UnlockWaiters();
  }

  bool JoinWaiters(bool alone, DWORD lock_ms, std::uint32_t* mark) override {
    const timespec until = AddMs(MonotonicNow(), lock_ms == kInfinite ? 0 : lock_ms);
    return Join(alone, true, lock_ms == kInfinite ? nullptr : &until, mark);
  }
  void LeaveWaiters(bool alone) override { Leave(alone, true); }

  // A manual-reset event set since the mark released the waiter, whatever
  // followed; an auto-reset one is taken (a set owed to waiters stays taken
  // by one of them).
  Poll TryWaitJoined(std::uint32_t mark) override {
    if (d->manual && d->seq.load() != mark) return Poll::kSignaled;
    return TryWait();
  }
  DWORD RecheckMs() const override { return kInfinite; }
  std::atomic<std::uint32_t>* ChangeWord() override { return &d->seq; }

  DWORD WaitSingle(DWORD timeout_ms) override {
    if (TryWait() == Poll::kSignaled) return kWaitObject0;
    if (timeout_ms == 0) return kWaitTimeout;
    const timespec deadline = AddMs(MonotonicNow(), timeout_ms);
    const timespec* until = timeout_ms == kInfinite ? nullptr : &deadline;
    std::uint32_t mark = 0;
    const bool joined = Join(true, false, until, &mark);
    DWORD result = kWaitTimeout;
    for (;;) {
      const std::uint32_t seen = d->seq.load();
      if (TryWaitJoined(mark) == Poll::kSignaled) {
        result = kWaitObject0;
        break;
      }
      if (until && Reached(deadline)) break;
      SleepOnWord(d->seq, seen, until);
    }
    if (joined) Leave(true, false);
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
      std::uint64_t w = d->state.load();
      while (!d->state.compare_exchange_weak(w, w | kSignaled | (w >> kFirstSlotBit ? kOwed : 0))) {
      }
    }
    d->seq.fetch_add(1);
    detail::WakeWordSleepers(d->seq);
    if (d->several.load() != 0) detail::WakeSeveralWaiters();
  }

  void Reset() {
    for (bool looked = false;; looked = true) {
      std::uint64_t w = d->state.load();
      while (!(w & kOwed))
        if (d->state.compare_exchange_weak(w, w & ~kSignaled)) return;
      // Owed to waiters: only to waiters that still live and wait (while a
      // process that cannot let go holds their counts, it stays owed).
      if (looked || !LockWaiters(nullptr)) return;
      TakeBackEndedWaits(false);
      UnlockWaiters();
    }
  }

  // Waits going on and begun so far, those of ended processes taken back.
  void CountWaits(std::uint32_t* waiting, std::uint32_t* joins) {
    *waiting = *joins = 0;
    if (!LockWaiters(nullptr, true)) return;
    TakeBackEndedWaits(false);
    *joins = d->joins.load();
    *waiting = *joins - d->leaves.load();
    UnlockWaiters();
  }

  std::string NativeName() const override { return segment.NativeName(); }

  bool HoldWaitersLock() { return LockWaiters(nullptr, true); }

 private:
  bool HasPutOffs() const { return segment.DataSize() >= sizeof(EventData); }

  // Takes the lock, waiting while its holder runs; false when the holder
  // cannot let it go (stopped, traced, frozen) or until (null: none) has
  // passed. always: waits whatever holds it. Leaves put off before are made
  // first.
  bool LockWaiters(const timespec* until, bool always = false) {
    int r;
    if (always) {
      r = pthread_mutex_lock(&d->waiters_lock);
    } else {
      int unknown = 0;
      for (DWORD slice_ms = 1;; slice_ms = kWaitersLockMs) {
        timespec next = AddMs(MonotonicNow(), slice_ms);
        if (until && (until->tv_sec < next.tv_sec || (until->tv_sec == next.tv_sec && until->tv_nsec < next.tv_nsec)))
          next = *until;
        r = pthread_mutex_clocklock(&d->waiters_lock, CLOCK_MONOTONIC, &next);
        if (r != ETIMEDOUT || (until && Reached(*until))) break;
        // A holder between its lock and its mark is looked at once more.
        const std::int32_t holder = d->holder.load();
        if (holder == 0 ? ++unknown > 1 : ThreadHeldUp(holder)) break;
        if (holder != 0) unknown = 0;
      }
    }
    if (r == EOWNERDEAD) {
      // Its holder ended in the middle of an update: the counts are made
      // again from the slots.
      pthread_mutex_consistent(&d->waiters_lock);
      d->holder.store(ThreadViewId());
      TakeBackEndedWaits(true);
    } else if (r != 0) {
      return false;
    } else {
      d->holder.store(ThreadViewId());
    }
    if (HasPutOffs()) MakePutOffLeaves();
    if (pending_waits_.load() != 0)
      LeaveLocked(pending_waits_.exchange(0), pending_alone_.exchange(0), pending_several_.exchange(0));
    return true;
  }
  void UnlockWaiters() {
    d->holder.store(0);
    pthread_mutex_unlock(&d->waiters_lock);
  }

  // Frees the slots of ended processes and takes their waits back. Caller
  // holds the waiters' lock.
  void TakeBackEndedWaits(bool recount) {
    const std::int32_t self = detail::ProcessViewId();
    std::uint32_t waits = 0, several = 0;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kWaiterSlots; ++i) {
      WaiterSlot& slot = d->slots[i];
      if (slot.pid > 0 && slot.pid != self && detail::ProcessViewEnded(slot.pid, slot.start)) {
        d->leaves.fetch_add(slot.waits);
        d->several.fetch_sub(slot.several);
        recount |= slot.alone != 0;
        slot = {};
        if (HasPutOffs()) d->put_off[i].store(0);
      }
      waits += slot.waits;
      several += slot.several;
      if (slot.alone) bits |= SlotBit(i);
    }
    if (!recount) return;
    d->leaves.store(d->joins.load() - waits);
    d->several.store(several);
    std::uint64_t w = d->state.load();
    for (;;) {
      std::uint64_t next = (w & (kSignaled | kOwed)) | bits;
      if (!bits) next &= ~kOwed;  // the last waiter gone: a set owed is a plain signal again
      if (d->state.compare_exchange_weak(w, next)) return;
    }
  }

  // Counts a wait of this process; mark: the set count as the wait begins.
  // False: the wait goes on uncounted (the lock's holder could not let it
  // go, or until passed, or every slot is another live process's) and does
  // not leave.
  bool Join(bool alone, bool several, const timespec* until, std::uint32_t* mark) {
    const std::int32_t self = detail::ProcessViewId();
    const std::uint64_t start = detail::ProcessViewStart();
    *mark = d->seq.load();
    if (!LockWaiters(until)) return false;
    std::size_t at = kWaiterSlots, free = kWaiterSlots;
    for (bool looked = false; at == kWaiterSlots; looked = true) {
      for (std::size_t i = 0; i < kSharedSlot && at == kWaiterSlots; ++i) {
        if (d->slots[i].pid == self && d->slots[i].start == start) at = i;
        else if (d->slots[i].pid == 0 && free == kWaiterSlots) free = i;
      }
      if (at != kWaiterSlots) break;
      if (free != kWaiterSlots) {
        at = free;
        d->slots[at] = {self, 0, 0, 0, start};
        if (HasPutOffs()) d->put_off[at].store(0);
      } else if (looked) {
        UnlockWaiters();
        return false;
      } else {
        TakeBackEndedWaits(false);
      }
    }
    WaiterSlot& slot = d->slots[at];
    ++slot.waits;
    if (several) {
      ++slot.several;
      d->several.fetch_add(1);
    }
    if (alone && slot.alone++ == 0) d->state.fetch_or(SlotBit(at));
    slot_.store(at);
    *mark = d->seq.load();
    d->joins.fetch_add(1);  // last: a set seen to follow it reaches the waiter
    UnlockWaiters();
    return true;
  }

  // Takes back a counted wait. While a process that cannot let go holds
  // the lock, whoever takes it next does (in an older program's object:
  // this process, at its next use of the lock).
  void Leave(bool alone, bool several) {
    if (LockWaiters(nullptr)) {
      LeaveLocked(1, alone ? 1 : 0, several ? 1 : 0);
      UnlockWaiters();
      return;
    }
    if (HasPutOffs()) {
      // The slot stays this process's while the wait is counted in it.
      const std::size_t at = slot_.load();
      d->put_off[at].fetch_add(PackLeaves(1, alone ? 1 : 0, several ? 1 : 0));
      d->put_off_slots.fetch_or(std::uint64_t{1} << at);
      return;
    }
    if (alone) pending_alone_.fetch_add(1);
    if (several) pending_several_.fetch_add(1);
    pending_waits_.fetch_add(1);
  }

  // Makes the leaves put off by any process. Caller holds the lock.
  void MakePutOffLeaves() {
    std::uint64_t slots = d->put_off_slots.exchange(0);
    while (slots) {
      const auto at = static_cast<std::size_t>(__builtin_ctzll(slots));
      slots &= slots - 1;
      const std::uint64_t leaves = d->put_off[at].exchange(0);
      if (at < kSharedSlot && leaves != 0 && d->slots[at].pid > 0)
        LeaveSlot(at, static_cast<std::uint32_t>(leaves & kPutOffMask),
                  static_cast<std::uint32_t>(leaves >> kPutOffBits & kPutOffMask),
                  static_cast<std::uint32_t>(leaves >> (2 * kPutOffBits) & kPutOffMask));
    }
  }

  void LeaveLocked(std::uint32_t waits, std::uint32_t alone, std::uint32_t several) {
    const std::int32_t self = detail::ProcessViewId();
    const std::uint64_t start = detail::ProcessViewStart();
    for (std::size_t i = 0; i < kSharedSlot; ++i)
      if (d->slots[i].pid == self && d->slots[i].start == start) return LeaveSlot(i, waits, alone, several);
    // Not found: taken back already.
  }

  void LeaveSlot(std::size_t at, std::uint32_t waits, std::uint32_t alone, std::uint32_t several) {
    WaiterSlot& slot = d->slots[at];
    d->leaves.fetch_add(waits);
    slot.waits -= std::min(slot.waits, waits);
    several = std::min(slot.several, several);
    slot.several -= several;
    d->several.fetch_sub(several);
    if (alone && slot.alone) {
      slot.alone -= std::min(slot.alone, alone);
      if (slot.alone == 0) {
        std::uint64_t w = d->state.load();
        for (;;) {
          std::uint64_t next = w & ~SlotBit(at);
          if (!(next >> kFirstSlotBit)) next &= ~kOwed;  // the last waiter gone
          if (d->state.compare_exchange_weak(w, next)) break;
        }
      }
    }
    if (slot.waits == 0) slot = {};
  }

  std::atomic<std::size_t> slot_{0};  // this process's slot at its last join
  std::atomic<std::uint32_t> pending_waits_{0};
  std::atomic<std::uint32_t> pending_alone_{0};
  std::atomic<std::uint32_t> pending_several_{0};
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
  static constexpr std::size_t kLeastDataSize = sizeof(MutexData);
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

  bool JoinWaiters(bool, DWORD, std::uint32_t* mark) override {
    d->several.fetch_add(1);
    *mark = 0;
    return true;
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
  if (err == kErrorSuccess && object->segment.DataSize() < Obj::kLeastDataSize) err = kErrorInvalidHandle;
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
HANDLE OpenObject(std::string_view name, SegmentKind kind) {
  ObjectPath path;
  if (!detail::ResolveObjectName(name, false, path)) return 0;
  auto object = std::make_shared<Obj>();
  DWORD err = object->segment.Open(path, kind);
  if (err == kErrorSuccess && object->segment.DataSize() < Obj::kLeastDataSize) err = kErrorInvalidHandle;
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

// Looks at joined objects until look answers anything but a time-out, or
// the time is up. Between looks it sleeps on the wake word (a set, release
// or process end after the join wakes it: no lost pulses, no polling) and,
// where the kernel lets it, on the objects' change words too, so that a set
// from a process without the shared wake word wakes it as well.
template <typename Look>
DWORD SleepUntil(const std::vector<std::shared_ptr<KernelObject>>& objects, DWORD timeout_ms,
                 const timespec& deadline, Look look) {
  std::atomic<std::uint32_t>* words[kMaxWaitObjects + 1];
  std::uint32_t seen[kMaxWaitObjects + 1];
  unsigned changes = 1;
  DWORD recheck_ms = kInfinite;
  for (const auto& object : objects) {
    if (std::atomic<std::uint32_t>* word = object->ChangeWord()) words[changes++] = word;
    recheck_ms = std::min(recheck_ms, object->RecheckMs());
  }
  for (;;) {
    words[0] = &detail::WakeWord();
    for (unsigned i = 0; i < changes; ++i) seen[i] = words[i]->load();
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const DWORD result = look();
    if (result != kWaitTimeout) return result;
    if (timeout_ms != kInfinite && Reached(deadline)) return result;
    const bool several_words = detail::CanSleepOnWords();
    DWORD sleep_ms = recheck_ms;
    // On the wake word alone a wait misses what others signal on it while
    // it is on its own word, and the sets of a process on its own word (an
    // uncounted waiter too).
    if (!several_words && (changes > 1 || !detail::IsSharedWakeWord(*words[0])))
      sleep_ms = std::min<DWORD>(sleep_ms, detail::kUnsharedRecheckMs);
    const timespec* until = timeout_ms == kInfinite ? nullptr : &deadline;
    timespec recheck{};
    if (sleep_ms != kInfinite) {
      recheck = AddMs(MonotonicNow(), sleep_ms);
      if (!until || recheck.tv_sec < until->tv_sec ||
          (recheck.tv_sec == until->tv_sec && recheck.tv_nsec < until->tv_nsec))
        until = &recheck;
    }
    // Objects that all have change words are woken through them alone.
    const unsigned skip = changes == objects.size() + 1 ? 1 : 0;
    if (several_words && detail::SleepOnWords(words + skip, seen + skip, changes - skip, until)) continue;
    // Learnt just now that the kernel cannot: look again by the wake word's rules.
    if (several_words && !detail::CanSleepOnWords()) continue;
    SleepOnWord(*words[0], seen[0], until);
  }
}

// The time from now to the deadline, for the joins of a wait (0 once past).
DWORD MsLeft(const timespec& deadline) {
  const timespec now = MonotonicNow();
  const long long ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                       (deadline.tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : static_cast<DWORD>((ns + 999999) / 1000000);
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
  return OpenObject<EventObject>(name, SegmentKind::kEvent);
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
  return OpenObject<MutexObject>(name, SegmentKind::kMutex);
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

  std::uint32_t marks[kMaxWaitObjects];
  bool joined[kMaxWaitObjects];
  // The joins share the wait's time.
  const timespec deadline = AddMs(MonotonicNow(), timeout_ms);
  for (DWORD i = 0; i < count; ++i)
    joined[i] = objects[i]->JoinWaiters(!wait_all, timeout_ms == kInfinite ? kInfinite : MsLeft(deadline), &marks[i]);
  const DWORD result = SleepUntil(objects, timeout_ms, deadline, [&] { return look(wait_all ? nullptr : marks); });
  const DWORD err = GetLastError();
  for (DWORD i = 0; i < count; ++i)
    if (joined[i]) objects[i]->LeaveWaiters(!wait_all);
  SetLastError(err);
  return result;
}

bool GetEventSetCount(HANDLE event, std::uint32_t* count) {
  auto e = LookupHandleAs<EventObject>(event);
  if (!e) return false;
  *count = e->d->seq.load();
  return true;
}

DWORD WaitForEventSets(DWORD count, const HANDLE* events, const std::uint32_t* counts, DWORD timeout_ms) {
  if (count == 0 || count > kMaxWaitObjects || !events || !counts) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  std::vector<EventObject*> sets;
  for (DWORD i = 0; i < count; ++i) {
    auto e = LookupHandleAs<EventObject>(events[i]);
    if (!e) return kWaitFailed;
    sets.push_back(e.get());
    objects.push_back(std::move(e));
  }
  auto look = [&]() -> DWORD {
    for (DWORD i = 0; i < count; ++i)
      if (sets[i]->d->seq.load() != counts[i]) return kWaitObject0 + i;
    return kWaitTimeout;
  };
  if (timeout_ms == 0) return look();
  std::vector<bool> joined;
  std::uint32_t mark = 0;
  const timespec deadline = AddMs(MonotonicNow(), timeout_ms);
  for (auto& object : objects)
    joined.push_back(object->JoinWaiters(false, timeout_ms == kInfinite ? kInfinite : MsLeft(deadline), &mark));
  const DWORD result = SleepUntil(objects, timeout_ms, deadline, look);
  for (DWORD i = 0; i < count; ++i)
    if (joined[i]) objects[i]->LeaveWaiters(false);
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
  e->CountWaits(waiting, joins);
  return true;
}

int PlatformTestHelper::NameHolderRecords(HANDLE event) {
  auto e = LookupHandleAs<EventObject>(event);
  return e ? e->segment.HolderRecords() : -1;
}

bool PlatformTestHelper::HoldEventWaitersLock(HANDLE event) {
  auto e = LookupHandleAs<EventObject>(event);
  return e && e->HoldWaitersLock();
}

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SwitchToThread() { return ::sched_yield() == 0; }

std::uint64_t GetTickCount64() {
  timespec ts = MonotonicNow();
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

}  // namespace vt::os
