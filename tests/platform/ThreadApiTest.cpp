#include "platform/ThreadApi.h"
#include "support/Patience.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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

// Waits until the count moves; false once the patience runs out.
bool CountMoves(Counter& c) {
  const int seen = c.count;
  return vt::test::WaitPatiently([&] { return c.count != seen; }, milliseconds(1));
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

// Runs scenario in a forked child under a watchdog: a hang fails the test.
void ExpectInChild(bool (*scenario)()) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(60);
    ::_exit(scenario() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) << "the scenario hung";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// In a scenario: names the failed condition and its line, and fails.
#define CHECK_OR_FAIL(cond)                                                            \
  do {                                                                                 \
    if (!(cond)) return std::fprintf(stderr, "line %d: %s\n", __LINE__, #cond), false; \
  } while (0)

std::atomic<bool> g_waiting{false};

DWORD TakeSignalsWithSigwait(void*) {
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  g_waiting = true;
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGUSR1);
  int taken = 0;
  ::sigwait(&wanted, &taken);
  return 3;
}

void OwnHandler(int) {}

bool UnstoppableThreadsAreRefused() {
  // A thread that blocks every signal.
  ThreadHandle t = CreateThread(0, TakeSignalsWithSigwait, nullptr, 0, nullptr);
  while (t && !g_waiting) std::this_thread::yield();
  CHECK_OR_FAIL(t && SuspendThread(t) == 0xFFFFFFFFu && GetLastError() == kErrorSignalRefused);
  CHECK_OR_FAIL(ResumeThread(t) == 0);  // the count did not move
  ::syscall(SYS_tgkill, ::getpid(), GetThreadId(t), SIGUSR1);
  CHECK_OR_FAIL(WaitForThread(t, kInfinite) == kWaitObject0);
  CloseThreadHandle(t);

  // The program ignores the suspend signal, or takes it itself.
  Counter c;
  t = CreateThread(0, Count, &c, 0, nullptr);
  CHECK_OR_FAIL(t && SuspendThread(t) == 0 && ResumeThread(t) == 1);
  for (auto disposition : {SIG_IGN, &OwnHandler}) {
    ::signal(SIGRTMIN + 4, disposition);
    CHECK_OR_FAIL(SuspendThread(t) == 0xFFFFFFFFu && GetLastError() == kErrorSignalRefused);
    CHECK_OR_FAIL(CountMoves(c));
    CHECK_OR_FAIL(ResumeThread(t) == 0);
  }
  c.stop = true;
  CHECK_OR_FAIL(WaitForThread(t, kInfinite) == kWaitObject0);
  CloseThreadHandle(t);
  return true;
}

TEST(ThreadApi, SuspensionThatCannotStopTheThreadFailsInsteadOfHanging) {
  ExpectInChild(UnstoppableThreadsAreRefused);
}

struct Suspender {
  ThreadHandle victim = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::atomic<bool> failed{false};
};

DWORD SuspendAndResumeInALoop(void* param) {
  auto* s = static_cast<Suspender*>(param);
  while (!s->stop) {
    if (SuspendThread(s->victim) == 0xFFFFFFFFu || ResumeThread(s->victim) == 0xFFFFFFFFu) s->failed = true;
    ++s->rounds;
  }
  return 0;
}

// A suspends and resumes W; this thread stops A wherever it is and resumes W.
bool ResumeIsNotHeldUpByAStoppedSuspender() {
  Counter c;
  Suspender s;
  s.victim = CreateThread(0, Count, &c, 0, nullptr);
  ThreadHandle a = CreateThread(0, SuspendAndResumeInALoop, &s, 0, nullptr);
  CHECK_OR_FAIL(s.victim && a);
  for (int round = 0; round < 300; ++round) {
    const int seen = s.rounds;
    while (s.rounds == seen) std::this_thread::yield();
    CHECK_OR_FAIL(SuspendThread(a) == 0);
    CHECK_OR_FAIL(ResumeThread(s.victim) != 0xFFFFFFFFu);
    CHECK_OR_FAIL(ResumeThread(a) == 1);
  }
  s.stop = true;
  CHECK_OR_FAIL(WaitForThread(a, kInfinite) == kWaitObject0 && !s.failed);
  CHECK_OR_FAIL(CountMoves(c));
  c.stop = true;
  CHECK_OR_FAIL(WaitForThread(s.victim, kInfinite) == kWaitObject0);
  CloseThreadHandle(a);
  CloseThreadHandle(s.victim);
  return true;
}

TEST(ThreadApi, ResumeIsNotHeldUpByAStoppedSuspender) { ExpectInChild(ResumeIsNotHeldUpByAStoppedSuspender); }

// The program's own handler, set before any suspension, is not replaced:
// the suspension is refused. Run in a fresh process, where none was made.
bool OwnHandlerSetFirstIsKept() {
  struct sigaction own {};
  own.sa_handler = OwnHandler;
  CHECK_OR_FAIL(::sigaction(SIGRTMIN + 4, &own, nullptr) == 0);
  Counter c;
  ThreadHandle t = CreateThread(0, Count, &c, 0, nullptr);
  CHECK_OR_FAIL(t && SuspendThread(t) == 0xFFFFFFFFu && GetLastError() == kErrorSignalRefused);
  struct sigaction now {};
  CHECK_OR_FAIL(::sigaction(SIGRTMIN + 4, nullptr, &now) == 0 && now.sa_handler == OwnHandler);
  CHECK_OR_FAIL(ResumeThread(t) == 0);
  c.stop = true;
  CHECK_OR_FAIL(WaitForThread(t, kInfinite) == kWaitObject0);
  CloseThreadHandle(t);
  return true;
}

TEST(ThreadApi, ProgramsOwnSuspendSignalHandlerIsNeverReplaced) {
  if (std::getenv("VT_THREAD_TEST_AFRESH")) {
    EXPECT_TRUE(OwnHandlerSetFirstIsKept());
    return;
  }
  ExpectInChild([] {  // runs this test afresh
    std::string filter = "--gtest_filter=ThreadApi." +
                         std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ::setenv("VT_THREAD_TEST_AFRESH", "1", 1);
    ::unsetenv("GTEST_OUTPUT");  // the report is the parent's
    char* argv[] = {filter.data(), filter.data(), nullptr};
    ::execv("/proc/self/exe", argv);
    return false;
  });
}

}  // namespace
}  // namespace vt::os
