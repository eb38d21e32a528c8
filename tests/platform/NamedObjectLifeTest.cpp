// Named objects in a long-lived process: holder tables that keep only live
// holders, waits that keep their time-outs whatever other processes do,
// forks that never hang, waiter counts that forget ended processes.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "platform/SharedSegment.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"
#include "support/Patience.h"
#include "support/Sanitized.h"
#include "support/TestFiles.h"

namespace vt::os {
namespace {

std::string UniqueName(const char* what) { return std::string("vt_test_") + what + "_" + std::to_string(::getpid()); }

// Starts the helper with ARGS; its pid, or 0.
pid_t StartHelper(const std::string& args, ProcessInformation* pi) {
  StartupInfo si;
  if (!CreateProcess({}, test::ProgramBeside("vt_sync_helper") + " " + args, false, 0, nullptr, {}, si, pi))
    return 0;
  return static_cast<pid_t>(pi->process_id);
}

// Runs the helper with ARGS to its end; its exit code, or -1.
int RunHelper(const std::string& args) {
  ProcessInformation pi;
  if (!StartHelper(args, &pi)) return -1;
  DWORD code = 0xFFFFFFFF;
  const bool ended = WaitForProcess(pi.process, kInfinite) == kWaitObject0 && GetExitCodeProcess(pi.process, &code);
  CloseHandle(pi.process);
  CloseHandle(pi.thread);
  return ended ? static_cast<int>(code) : -1;
}

// The helper started with ARGS once it has set READY (a manual-reset event,
// reset again); 0 when it never does.
pid_t StartHelperAndAwait(const std::string& args, HANDLE ready, ProcessInformation* pi) {
  const pid_t pid = StartHelper(args, pi);
  if (!pid) return 0;
  const bool set = test::WaitPatiently([&] { return WaitForSingleObject(ready, 0) == kWaitObject0; });
  ResetEvent(ready);
  return set ? pid : 0;
}

void KillAndCollect(pid_t pid, ProcessInformation& pi) {
  test::Signal(pid, SIGKILL);
  WaitForProcess(pi.process, kInfinite);
  CloseHandle(pi.process);
  CloseHandle(pi.thread);
}

// Every way a process ends its hold leaves no record behind, wherever the
// record lies: programs started (twice), children forked that exec or end
// (twice each), clients killed holding the name (twice). The next joiner
// takes back every record of an ended holder, also behind a live one.
TEST(NameHolders, OnlyLiveHoldersKeepRecords) {
  const std::string name = UniqueName("holders");
  HANDLE event = CreateEventA(nullptr, true, false, name);
  HANDLE ready = CreateEventA(nullptr, true, false, name + "_ready");
  ASSERT_TRUE(event && ready);
  EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    StartupInfo si;
    ProcessInformation pi;
    ASSERT_TRUE(CreateProcess({}, "/bin/true", false, 0, nullptr, {}, si, &pi));
    EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
    CloseHandle(pi.process);
    CloseHandle(pi.thread);
    EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1) << "a started program holds nothing";
  }
  for (bool exec : {true, false, true, false}) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (exec) ::execl("/bin/true", "true", nullptr);
      ::_exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  for (int i = 0; i < 2; ++i) {
    ProcessInformation client;
    const pid_t pid = StartHelperAndAwait("hold-event " + name + " " + name + "_ready wait", ready, &client);
    ASSERT_NE(pid, 0);
    KillAndCollect(pid, client);
  }
  ProcessInformation live;
  const pid_t live_pid = StartHelperAndAwait("hold-event " + name + " " + name + "_ready wait", ready, &live);
  ASSERT_NE(live_pid, 0);
  EXPECT_EQ(RunHelper("set-event " + name), 0);
  EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 2) << "this process and the live holder";
  KillAndCollect(live_pid, live);
  EXPECT_EQ(RunHelper("set-event " + name), 0);
  EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1);
  CloseHandle(event);
  CloseHandle(ready);
}

// A program started suspended (its child is forked and waits at a gate
// before its exec) takes no hold of the starter's names: only the
// starter's record is in the table while it waits, and after it ran.
TEST(NameHolders, ASuspendedStartHoldsNoName) {
  const std::string name = UniqueName("suspended");
  HANDLE event = CreateEventA(nullptr, true, false, name);
  ASSERT_NE(event, 0);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    StartupInfo si;
    ProcessInformation pi;
    ASSERT_TRUE(CreateProcess({}, "/bin/true", false, kCreateSuspended, nullptr, {}, si, &pi));
    EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1) << "while it waits";
    EXPECT_EQ(ResumeChildThread(pi.thread), 1u);
    EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
    EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1) << "after it ran";
    CloseHandle(pi.process);
    CloseHandle(pi.thread);
  }
  CloseHandle(event);
}

// Children forked without exec that end fill the whole holder table
// (4,096 records) when nobody joins meanwhile: the next child takes its
// record back from the ended ones, and so does the next process to open it.
TEST(NameHolders, AFullTableOfEndedChildrenTakesNewHolders) {
  constexpr int kChildren = 4100;
  const std::string name = UniqueName("full");
  HANDLE event = CreateEventA(nullptr, true, false, name);
  ASSERT_NE(event, 0);
  int peak = 0;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    peak = std::max(peak, PlatformTestHelper::NameHolderRecords(event));
  }
  EXPECT_EQ(peak, 4096) << "the table filled";
  EXPECT_LT(PlatformTestHelper::NameHolderRecords(event), 4096) << "and a child took back ended ones";
  EXPECT_EQ(RunHelper("set-event " + name), 0);
  EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1);
  CloseHandle(event);
}

// A process stopped while it holds an event's waiter counts delays no
// other process's wait beyond its time-out, nor a wait that finds the
// event set; the waits taken back late count for nothing once it is gone.
TEST(WaiterCounts, AProcessStoppedHoldingThemDelaysNoWait) {
  const std::string name = UniqueName("stopped");
  HANDLE automatic = CreateEventA(nullptr, false, false, name);
  HANDLE ready = CreateEventA(nullptr, true, false, name + "_ready");
  HANDLE idle = CreateEventA(nullptr, true, false, "");
  ASSERT_TRUE(automatic && ready && idle);
  ProcessInformation holder;
  const pid_t pid = StartHelperAndAwait("hold-waiters " + name + " " + name + "_ready", ready, &holder);
  ASSERT_NE(pid, 0);
  ASSERT_TRUE(test::Signal(pid, SIGSTOP));
  // On a thread of its own: a wait that hangs fails the test, and the
  // holder's end then lets it go.
  std::vector<DWORD> results;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    HANDLE both[] = {automatic, idle};
    results.push_back(WaitForSingleObject(automatic, 100));
    results.push_back(WaitForMultipleObjects(2, both, false, 100));
    results.push_back(WaitForMultipleObjects(2, both, true, 100));
    SetEvent(automatic);
    results.push_back(WaitForSingleObject(automatic, kInfinite));
    SetEvent(automatic);
    results.push_back(WaitForMultipleObjects(2, both, false, 100));
    done.store(true);
  });
  EXPECT_TRUE(test::WaitPatiently([&] { return done.load(); }));
  KillAndCollect(pid, holder);
  waiter.join();
  const std::vector<DWORD> expected = {kWaitTimeout, kWaitTimeout, kWaitTimeout, kWaitObject0, kWaitObject0};
  EXPECT_EQ(results, expected);
  std::uint32_t waiting = 1, joins = 0;
  ASSERT_TRUE(PlatformTestHelper::EventWaiters(automatic, &waiting, &joins));
  EXPECT_EQ(waiting, 0u);
  SetEvent(automatic);
  ResetEvent(automatic);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitTimeout);
  for (HANDLE h : {automatic, ready, idle}) CloseHandle(h);
}

// The thread asleep in a futex call (a lock's wait, a wait's sleep).
bool AsleepInFutex(const std::string& proc) {
  std::ifstream in(proc + "/syscall");
  long number = -1;
  return static_cast<bool>(in >> number) && (number == SYS_futex || number == SYS_futex_waitv);
}

// A child forked while another thread holds one of the layer's own locks
// gets that lock in its own calls: the fork waits for the lock, and the
// holder lets it go once the forking thread waits for it (or once the fork
// is made, which then hangs the child).
TEST(ForkedChildren, NeverHangOnALockAnotherThreadHeld) {
  HANDLE unnamed = CreateEventA(nullptr, true, false, "");
  ASSERT_NE(unnamed, 0);
  HANDLE twice[] = {unnamed, unnamed};
  WaitForMultipleObjects(2, twice, false, 1);  // the wake word is mapped
  const std::string forker = "/proc/self/task/" + std::to_string(::syscall(SYS_gettid));
  const char* const names[] = {"wake word",      "live names",     "handle table",     "environment",
                               "files",          "registry keys",  "resource modules", "section views",
                               "memory regions", "classes",        "store refusals",   "orphans",
                               "fault handlers", "drawing objects"};
  static_assert(std::size(names) == static_cast<std::size_t>(detail::LayerLock::kCount));
  for (std::size_t which = 0; which < std::size(names); ++which) {
    const auto lock = static_cast<detail::LayerLock>(which);
    SCOPED_TRACE(names[which]);
    auto hold = [lock](bool on) { PlatformTestHelper::HoldLayerLock(lock, on); };
    std::atomic<int> phase{0};  // 1: held; 2: forked
    std::thread holder([&] {
      hold(true);
      phase.store(1);
      test::WaitPatiently([&] { return phase.load() == 2 || AsleepInFutex(forker); },
                          std::chrono::milliseconds(1));
      hold(false);
    });
    ASSERT_TRUE(test::WaitPatiently([&] { return phase.load() == 1; }));
    const pid_t child = ::fork();
    if (child == 0) {
      // The handle table's through a real call; the others as a call holds them.
      if (lock == detail::LayerLock::kHandleTable) ::_exit(SetEvent(unnamed) ? 0 : 1);
      hold(true);
      hold(false);
      ::_exit(0);
    }
    phase.store(2);
    holder.join();
    ASSERT_GT(child, 0);
    int status = 0;
    const bool ended = test::WaitPatiently([&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
      test::Signal(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  CloseHandle(unnamed);
  // A program whose first use of the layer is the environment's lock has
  // the handlers too: its child reads a variable and ends.
  EXPECT_EQ(RunHelper("fork-env PATH " + std::to_string(test::kPatienceMs)), 0);
}

// Many processes open one name at the same moment (each is let go by one
// set of a gate they all wait on) and keep it: every open succeeds, however
// many holders the table has meanwhile.
TEST(NameHolders, ABurstOfOpensAllSucceed) {
#ifdef VT_TEST_SANITIZED
  constexpr int kOpeners = 100;
#else
  constexpr int kOpeners = 1000;
#endif
  const std::string name = UniqueName("burst");
  HANDLE event = CreateEventA(nullptr, true, false, name);
  HANDLE gate = CreateEventA(nullptr, true, false, name + "_gate");
  ASSERT_TRUE(event && gate);
  std::vector<ProcessInformation> infos(kOpeners);
  std::vector<pid_t> pids;
  for (auto& pi : infos) {
    const pid_t pid = StartHelper("open-after " + name + "_gate " + name, &pi);
    ASSERT_NE(pid, 0);
    pids.push_back(pid);
  }
  // Every opener waits at the gate.
  std::size_t waiting = 0;
  EXPECT_TRUE(test::Patience().WaitUntil([&] {
    while (waiting < pids.size() && AsleepInFutex("/proc/" + std::to_string(pids[waiting]))) ++waiting;
    return waiting == pids.size();
  }));
  SetEvent(gate);
  // Each has opened the name or ended.
  EXPECT_TRUE(test::Patience().WaitUntil([&] {
    int ended = 0;
    for (auto& pi : infos) ended += WaitForProcess(pi.process, 0) == kWaitObject0;
    return PlatformTestHelper::NameHolderRecords(event) + ended == kOpeners + 1;
  }));
  SetEvent(event);
  int failed = 0;
  DWORD first_failure = 0;  // 160: the table lock timed out
  for (auto& pi : infos) {
    DWORD code = 0xFFFFFFFF;
    if (WaitForProcess(pi.process, kInfinite) != kWaitObject0 || !GetExitCodeProcess(pi.process, &code) ||
        code != 0) {
      if (failed++ == 0) first_failure = code;
    }
    CloseHandle(pi.process);
    CloseHandle(pi.thread);
  }
  EXPECT_EQ(failed, 0) << "the first exited with " << first_failure;
  EXPECT_EQ(PlatformTestHelper::NameHolderRecords(event), 1);
  CloseHandle(event);
  CloseHandle(gate);
}

// An open waits for the holder table's lock as long as its holder runs,
// longer than the old bound (2 s), and fails with ERROR_TIMEOUT instead of
// hanging when the holder is stopped, or is a sleeping thread of the
// opener's own process.
TEST(NameHolders, AnOpenWaitsForTheTableWhileItsHolderRuns) {
  const std::string name = UniqueName("table");
  HANDLE event = CreateEventA(nullptr, true, false, name);
  HANDLE ready = CreateEventA(nullptr, true, false, name + "_ready");
  ASSERT_TRUE(event && ready);
  // On a thread of its own: a wait that hangs fails the test, and the
  // holder's end then lets it go.
  std::atomic<bool> done{false};
  DWORD error = 1;
  auto open = [&] {
    HANDLE h = OpenEventA(name);
    error = h ? 0 : GetLastError();
    if (h) CloseHandle(h);
    done.store(true);
  };
  ProcessInformation busy;
  ASSERT_NE(StartHelperAndAwait("hold-table " + name + " " + name + "_ready 4000", ready, &busy), 0);
  std::thread opener(open);
  EXPECT_TRUE(test::WaitPatiently([&] { return done.load(); }));
  EXPECT_EQ(WaitForProcess(busy.process, kInfinite), kWaitObject0);
  opener.join();
  EXPECT_EQ(error, 0u);
  CloseHandle(busy.process);
  CloseHandle(busy.thread);

  ProcessInformation stopped;
  const pid_t pid = StartHelperAndAwait("hold-table " + name + " " + name + "_ready", ready, &stopped);
  ASSERT_NE(pid, 0);
  ASSERT_TRUE(test::Signal(pid, SIGSTOP));
  done.store(false);
  opener = std::thread(open);
  EXPECT_TRUE(test::WaitPatiently([&] { return done.load(); }));
  KillAndCollect(pid, stopped);
  opener.join();
  EXPECT_EQ(error, kErrorTimeout);
  EXPECT_EQ(RunHelper("set-event " + name), 0) << "the table is free again";

  // A thread of this process holds it and sleeps: the opener, running in
  // the same process, gives up as on a stopped one.
  detail::ObjectPath path;
  detail::Segment own;
  ASSERT_TRUE(detail::ResolveObjectName(name, false, path));
  ASSERT_EQ(own.Open(path, detail::SegmentKind::kEvent), 0u);
  ASSERT_TRUE(own.HoldTable(true));
  done.store(false);
  opener = std::thread(open);
  EXPECT_TRUE(test::WaitPatiently([&] { return done.load(); }));
  own.HoldTable(false);
  opener.join();
  EXPECT_EQ(error, kErrorTimeout);
  CloseHandle(event);
  CloseHandle(ready);
}

// An auto-reset event's set and reset leave it unsignalled.
DWORD SetResetAndLook(HANDLE event) {
  SetEvent(event);
  ResetEvent(event);
  return WaitForSingleObject(event, 0);
}

// Waits of processes killed inside them count for nothing, however many
// processes wait: as many as the event counts on its own (61), one more,
// and several more.
TEST(WaiterCounts, WaitsOfKilledWaitersCountForNothingHoweverManyWait) {
  for (int waiters : {61, 62, 70}) {
    SCOPED_TRACE(waiters);
    const std::string name = UniqueName("many") + "_" + std::to_string(waiters);
    HANDLE event = CreateEventA(nullptr, false, false, name);
    ASSERT_NE(event, 0);
    std::vector<ProcessInformation> infos(static_cast<std::size_t>(waiters));
    std::vector<pid_t> pids;
    for (auto& pi : infos) {
      const pid_t pid = StartHelper("wait-event " + name + " 600000", &pi);
      ASSERT_NE(pid, 0);
      pids.push_back(pid);
    }
    test::Patience patience;
    const std::uint32_t counted = std::min(waiters, 61);
    EXPECT_TRUE(patience.WaitUntil([&] {
      std::uint32_t waiting = 0, joins = 0;
      if (!PlatformTestHelper::EventWaiters(event, &waiting, &joins) || waiting < counted) return false;
      for (pid_t pid : pids)
        if (!AsleepInFutex("/proc/" + std::to_string(pid))) return false;
      return true;
    }));
    for (std::size_t i = 0; i < pids.size(); ++i) KillAndCollect(pids[i], infos[i]);
    for (int round = 0; round < 5; ++round) EXPECT_EQ(SetResetAndLook(event), kWaitTimeout) << "round " << round;
    std::uint32_t waiting = 1, joins = 0;
    ASSERT_TRUE(PlatformTestHelper::EventWaiters(event, &waiting, &joins));
    EXPECT_EQ(waiting, 0u);
    CloseHandle(event);
  }
}

// A reset while a stopped process holds the waiter counts ends at once, and
// a set it cannot prove owed to ended waiters only stays owed: one zero wait
// takes it. Once the holder is gone the killed waiter's count goes and a
// reset takes the set back.
TEST(WaiterCounts, AResetEndsWhileAStoppedProcessHoldsTheCounts) {
  const std::string name = UniqueName("reset");
  HANDLE event = CreateEventA(nullptr, false, false, name);
  HANDLE ready = CreateEventA(nullptr, true, false, name + "_ready");
  ASSERT_TRUE(event && ready);
  ProcessInformation waiter_info, holder;
  const pid_t waiter = StartHelper("wait-event " + name + " 600000", &waiter_info);
  ASSERT_NE(waiter, 0);
  EXPECT_TRUE(test::WaitPatiently([&] {
    std::uint32_t waiting = 0, joins = 0;
    return PlatformTestHelper::EventWaiters(event, &waiting, &joins) && waiting == 1 &&
           AsleepInFutex("/proc/" + std::to_string(waiter));
  }));
  KillAndCollect(waiter, waiter_info);
  const pid_t pid = StartHelperAndAwait("hold-waiters " + name + " " + name + "_ready", ready, &holder);
  ASSERT_NE(pid, 0);
  ASSERT_TRUE(test::Signal(pid, SIGSTOP));
  std::vector<DWORD> results;
  std::atomic<bool> done{false};
  std::thread resetter([&] {
    for (int round = 0; round < 2; ++round) results.push_back(SetResetAndLook(event));
    done.store(true);
  });
  EXPECT_TRUE(test::WaitPatiently([&] { return done.load(); }));
  KillAndCollect(pid, holder);
  resetter.join();
  EXPECT_EQ(results, std::vector<DWORD>(2, kWaitObject0));
  EXPECT_EQ(SetResetAndLook(event), kWaitTimeout);
  for (HANDLE h : {event, ready}) CloseHandle(h);
}

}  // namespace
}  // namespace vt::os
