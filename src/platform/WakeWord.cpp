#include "platform/WakeWord.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/SharedSegment.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"

namespace vt::os::detail {

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void InitWord(void* data, void*) { new (data) std::atomic<std::uint32_t>(0); }

Segment* g_segment = nullptr;
std::atomic<std::uint32_t> g_local_word{0};
// The word in use: null before the first use, then the local word until the
// shared one could be mapped, then the shared one for good.
std::atomic<std::atomic<std::uint32_t>*> g_word{nullptr};
std::atomic<bool> g_was_local{false};
std::atomic<std::uint64_t> g_next_try_ms{0};
std::mutex g_map_lock;

// The first try may wait for the name's lock as any named object does; the
// later ones take it only when it is free at once.
std::atomic<std::uint32_t>* MapSharedWord(bool patient) {
  ObjectPath path;
  if (!ResolveWakeWordPath(path)) return nullptr;
  auto* segment = new Segment;
  if (!patient) segment->TakeTableLockOnlyIfFree();
  bool existed = false;
  if (segment->Create(path, SegmentKind::kWakeWord, sizeof(std::uint32_t), InitWord, nullptr, existed) !=
          kErrorSuccess ||
      segment->DataSize() < sizeof(std::uint32_t)) {
    delete segment;
    return nullptr;
  }
  g_segment = segment;  // kept for the life of the process
  return static_cast<std::atomic<std::uint32_t>*>(segment->Data());
}

std::atomic<bool> g_no_waitv{false};

}  // namespace

std::mutex& WakeWordLock() { return g_map_lock; }

std::atomic<std::uint32_t>& WakeWord() {
  auto due = [](std::atomic<std::uint32_t>* word) {
    return !word || (word == &g_local_word && GetTickCount64() >= g_next_try_ms.load());
  };
  std::atomic<std::uint32_t>* word = g_word.load();
  if (!due(word)) return *word;
  EnsureForkHandlers();
  // While another thread tries, a thread that has a word goes on with it.
  std::unique_lock<std::mutex> guard(g_map_lock, std::defer_lock);
  if (!word) guard.lock();
  else if (!guard.try_lock()) return *word;
  word = g_word.load();
  if (!due(word)) return *word;
  const DWORD saved = GetLastError();
  std::atomic<std::uint32_t>* shared = MapSharedWord(word == nullptr);
  SetLastError(saved);
  if (!shared) {
    g_was_local.store(true);
    g_next_try_ms.store(GetTickCount64() + kWakeWordRetryMs);
    shared = &g_local_word;
  }
  g_word.store(shared);
  return *shared;
}

bool IsSharedWakeWord(const std::atomic<std::uint32_t>& word) { return &word != &g_local_word; }

void WakeSeveralWaiters() {
  std::atomic<std::uint32_t>& word = WakeWord();
  word.fetch_add(1);
  WakeWordSleepers(word);
  // Waits begun while the process was on its own word may sleep on it still.
  if (&word != &g_local_word && g_was_local.load()) {
    g_local_word.fetch_add(1);
    WakeWordSleepers(g_local_word);
  }
}

timespec MonotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec AddMs(timespec ts, std::uint32_t ms) {
  ts.tv_sec += static_cast<time_t>(ms / 1000);
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

bool Reached(const timespec& deadline) {
  const timespec now = MonotonicNow();
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

void SleepOnWord(std::atomic<std::uint32_t>& word, std::uint32_t seen, const timespec* deadline) {
  // An absolute monotonic deadline: no rounding, no drift over retries.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET, seen, deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

void WakeWordSleepers(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool CanSleepOnWords() { return !g_no_waitv.load(); }

}  // namespace vt::os::detail

namespace vt::os {
void PlatformTestHelper::SleepOnWakeWordAlone(bool alone) { detail::g_no_waitv.store(alone); }
}  // namespace vt::os

namespace vt::os::detail {

bool SleepOnWords(std::atomic<std::uint32_t>* const* words, const std::uint32_t* seen, unsigned count,
                  const timespec* deadline) {
  if (g_no_waitv.load() || count == 0 || count > FUTEX_WAITV_MAX) return false;
  futex_waitv waiters[FUTEX_WAITV_MAX] = {};
  for (unsigned i = 0; i < count; ++i) {
    waiters[i].val = seen[i];
    waiters[i].uaddr = reinterpret_cast<std::uintptr_t>(words[i]);
    waiters[i].flags = FUTEX_32;  // shared between processes: not private
  }
  const long r = ::syscall(SYS_futex_waitv, waiters, count, 0, deadline, CLOCK_MONOTONIC);
  if (r >= 0 || errno == EAGAIN || errno == ETIMEDOUT || errno == EINTR) return true;
  // Not in this kernel, or refused by a filter: never again in this process.
  if (errno == ENOSYS || errno == EPERM) g_no_waitv.store(true);
  return false;
}

}  // namespace vt::os::detail
