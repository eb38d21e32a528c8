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

using std::chrono::milliseconds;

struct Counter {
  std::atomic<int> count{0};
  std::atomic<bool> stop{false};
};

DWORD Count(void* param) {
  auto* c = static_cast<Counter*>(param);
  for (; !c->stop; ++c->count) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return 7;
}

// Waits until the count moves; false after a generous limit.
bool CountMoves(Counter& c) {
  const int seen = c.count;
  for (int i = 0; i < 20000 && c.count == seen; ++i) std::this_thread::sleep_for(milliseconds(1));
  return c.count != seen;
}

TEST(ThreadApi, RunningThreadStopsUntilItsSuspendCountIsBackAtZero) {
  Counter c;
  ThreadHandle t = CreateThread(0, Count, &c, 0, nullptr);
  ASSERT_TRUE(t && CountMoves(c));
  EXPECT_EQ(SuspendThread(t), 0u);  // returns once the thread has stopped
  const int held = c.count;
  EXPECT_EQ(SuspendThread(t), 1u);
  std::this_thread::sleep_for(milliseconds(30));  // it would have counted
  EXPECT_EQ(ResumeThread(t), 2u);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(c.count, held);
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_TRUE(CountMoves(c));
  EXPECT_EQ(ResumeThread(t), 0u);

  // Suspend signals nobody asked for change nothing, and later suspensions
  // still stop the thread before they return.
  for (int i = 0; i < 3; ++i) ::syscall(SYS_tgkill, ::getpid(), GetThreadId(t), SIGRTMIN + 4);
  EXPECT_TRUE(CountMoves(c));
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(SuspendThread(t), 0u);
    const int now = c.count;
    std::this_thread::sleep_for(milliseconds(2));
    ASSERT_EQ(c.count, now);
    ASSERT_EQ(ResumeThread(t), 1u);
  }

  c.stop = true;
  DWORD code = 0;
  EXPECT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
  EXPECT_TRUE(GetExitCodeThread(t, &code) && code == 7u);
  // A thread whose procedure has ended cannot be suspended.
  EXPECT_EQ(SuspendThread(t), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  CloseThreadHandle(t);
}

struct HardEnd {
  std::atomic<ThreadHandle> self{nullptr};
  std::atomic<int> unwound{0};
  std::atomic<bool> after{false};
};

struct Tracer {
  ~Tracer() { ++*unwound; }
  std::atomic<int>* unwound;
};

DWORD EndHard(void* param) {
  auto* h = static_cast<HardEnd*>(param);
  Tracer tracer{&h->unwound};
  try {
    TerminateThread(h->self, 23);
  } catch (...) {
    ++h->unwound;
  }
  h->after = true;
  return 1;
}

TEST(ThreadApi, HardEndOfTheOwnThreadKeepsTheExitCodeAndRunsNothingAfterIt) {
  // Rounds: the ended threads' stacks are reused.
  for (int round = 0; round < 3; ++round) {
    HardEnd h;
    ThreadHandle t = CreateThread(0, EndHard, &h, kCreateSuspended, nullptr);
    ASSERT_NE(t, nullptr);
    h.self = t;
    ResumeThread(t);
    DWORD code = 0;
    ASSERT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
    EXPECT_TRUE(GetExitCodeThread(t, &code) && code == 23u);
    EXPECT_FALSE(h.after);
    EXPECT_EQ(h.unwound, 0);
    CloseThreadHandle(t);
  }
  // Only the calling thread's own handle ends a thread.
  Counter c;
  ThreadHandle other = CreateThread(0, Count, &c, 0, nullptr);
  EXPECT_FALSE(TerminateThread(other, 5));
  EXPECT_EQ(GetLastError(), kErrorNotSupported);
  EXPECT_TRUE(CountMoves(c));
  c.stop = true;
  WaitForThread(other, kInfinite);
  CloseThreadHandle(other);
}

}  // namespace
}  // namespace vt::os
