#include "platform/ThreadApi.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vt::os {
namespace {

constexpr DWORD kFailed = 0xFFFFFFFFu;

// Waits until Condition holds; false after a generous limit, so that a
// fault fails the test instead of hanging it.
template <typename F>
bool Eventually(F condition) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A few periods of the counter below: time it would have used to count.
void PauseLongEnoughToCount() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

struct Counter {
  std::atomic<int> count{0};
  std::atomic<bool> stop{false};
};

DWORD Count(void* param) {
  auto* c = static_cast<Counter*>(param);
  while (!c->stop) {
    ++c->count;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return 7;
}

bool CountMoves(Counter& c) {
  const int seen = c.count;
  return Eventually([&] { return c.count != seen; });
}

TEST(ThreadApi, RunningThreadStopsUntilItsSuspendCountIsBackAtZero) {
  Counter c;
  ThreadHandle t = CreateThread(0, Count, &c, 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(CountMoves(c));

  EXPECT_EQ(SuspendThread(t), 0u);  // returns once the thread has stopped
  const int stopped_at = c.count;
  PauseLongEnoughToCount();
  EXPECT_EQ(c.count, stopped_at);
  EXPECT_EQ(SuspendThread(t), 1u);
  EXPECT_EQ(ResumeThread(t), 2u);
  PauseLongEnoughToCount();
  EXPECT_EQ(c.count, stopped_at);  // still held by the first suspension
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_TRUE(CountMoves(c));
  EXPECT_EQ(ResumeThread(t), 0u);

  // Suspend signals nobody asked for change nothing, and leave later
  // suspensions exact.
  for (int i = 0; i < 3; ++i) ::syscall(SYS_tgkill, ::getpid(), GetThreadId(t), SIGRTMIN + 4);
  EXPECT_TRUE(CountMoves(c));
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(SuspendThread(t), 0u);
    const int held = c.count;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(c.count, held) << "round " << round;
    ASSERT_EQ(ResumeThread(t), 1u);
  }

  c.stop = true;
  EXPECT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 7u);
  // A thread whose procedure has ended cannot be suspended.
  SetLastError(0);
  EXPECT_EQ(SuspendThread(t), kFailed);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(ResumeThread(t), 0u);
  CloseThreadHandle(t);
  EXPECT_EQ(SuspendThread(nullptr), kFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

struct SelfSuspender {
  std::atomic<ThreadHandle> self{nullptr};
  std::atomic<DWORD> answered{kFailed};
  std::atomic<bool> after{false};
};

DWORD SuspendSelf(void* param) {
  auto* s = static_cast<SelfSuspender*>(param);
  while (!s->self) std::this_thread::yield();
  s->answered = SuspendThread(s->self);
  s->after = true;
  return 0;
}

TEST(ThreadApi, ThreadThatSuspendsItselfWaitsForAResume) {
  SelfSuspender s;
  ThreadHandle t = CreateThread(0, SuspendSelf, &s, 0, nullptr);
  ASSERT_NE(t, nullptr);
  s.self = t;
  // The first resume that finds a count of 1 lets it go on.
  ASSERT_TRUE(Eventually([&] { return ResumeThread(t) == 1u; }));
  EXPECT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
  EXPECT_TRUE(s.after);
  EXPECT_EQ(s.answered, 0u);
  CloseThreadHandle(t);
}

struct Tracer {
  ~Tracer() { ++*destroyed; }
  std::atomic<int>* destroyed;
};

struct HardEnd {
  std::atomic<ThreadHandle> self{nullptr};
  std::atomic<int> destroyed{0};
  std::atomic<bool> caught{false};
  std::atomic<bool> after{false};
  std::atomic<DWORD> other_error{0};
};

void EndDeepInside(HardEnd* h) {
  Tracer tracer{&h->destroyed};
  try {
    TerminateThread(h->self, 23);
  } catch (...) {
    h->caught = true;
  }
  h->after = true;
}

DWORD EndHard(void* param) {
  auto* h = static_cast<HardEnd*>(param);
  while (!h->self) std::this_thread::yield();
  Tracer tracer{&h->destroyed};
  EndDeepInside(h);
  h->after = true;
  return 1;
}

DWORD TryToEndAnother(void* param) {
  auto* h = static_cast<HardEnd*>(param);
  SetLastError(0);
  if (!TerminateThread(h->self, 5)) h->other_error = GetLastError();
  return 0;
}

TEST(ThreadApi, HardEndOfTheOwnThreadKeepsTheExitCodeAndRunsNothingAfterIt) {
  // Several rounds: the ended threads' stacks and records are reused.
  for (int round = 0; round < 10; ++round) {
    HardEnd h;
    ThreadHandle t = CreateThread(0, EndHard, &h, kCreateSuspended, nullptr);
    ASSERT_NE(t, nullptr);
    h.self = t;
    ResumeThread(t);
    ASSERT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 23u);
    EXPECT_FALSE(h.after);
    EXPECT_FALSE(h.caught);
    EXPECT_EQ(h.destroyed, 0);  // no unwinding of its frames
    EXPECT_EQ(SuspendThread(t), kFailed);
    CloseThreadHandle(t);
  }

  // Only the calling thread's own handle ends a thread.
  Counter c;
  HardEnd h;
  h.self = CreateThread(0, Count, &c, 0, nullptr);
  ThreadHandle other = CreateThread(0, TryToEndAnother, &h, 0, nullptr);
  ASSERT_EQ(WaitForThread(other, kInfinite), kWaitObject0);
  EXPECT_EQ(h.other_error, kErrorNotSupported);
  EXPECT_FALSE(TerminateThread(h.self, 5));  // nor from the main thread
  EXPECT_EQ(GetLastError(), kErrorNotSupported);
  EXPECT_TRUE(CountMoves(c));
  c.stop = true;
  EXPECT_EQ(WaitForThread(h.self, kInfinite), kWaitObject0);
  CloseThreadHandle(other);
  CloseThreadHandle(h.self);
}

}  // namespace
}  // namespace vt::os
