#include "platform/WakeWord.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/SharedSegment.h"

namespace vt::os::detail {

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void InitWord(void* data, void*) { new (data) std::atomic<std::uint32_t>(0); }

Segment* g_segment = nullptr;  // kept for the life of the process
std::atomic<std::uint32_t> g_local_word{0};

std::atomic<std::uint32_t>* MapSharedWord() {
  ObjectPath path;
  if (!ResolveWakeWordPath(path)) return nullptr;
  g_segment = new Segment;
  bool existed = false;
  if (g_segment->Create(path, SegmentKind::kWakeWord, sizeof(std::uint32_t), InitWord, nullptr, existed) !=
          kErrorSuccess ||
      g_segment->DataSize() < sizeof(std::uint32_t)) {
    delete g_segment;
    g_segment = nullptr;
    return nullptr;
  }
  return static_cast<std::atomic<std::uint32_t>*>(g_segment->Data());
}

}  // namespace

std::atomic<std::uint32_t>& WakeWord() {
  static std::atomic<std::uint32_t>* const word = [] {
    const DWORD saved = GetLastError();
    std::atomic<std::uint32_t>* shared = MapSharedWord();
    SetLastError(saved);
    return shared ? shared : &g_local_word;
  }();
  return *word;
}

bool WakeWordShared() { return &WakeWord() != &g_local_word; }

void WakeSeveralWaiters() {
  std::atomic<std::uint32_t>& word = WakeWord();
  word.fetch_add(1);
  WakeWordSleepers(word);
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

}  // namespace vt::os::detail
