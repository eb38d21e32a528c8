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
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Process.h"
#include "platform/SharedSegment.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"
#include "support/Patience.h"
#include "support/PrivateShm.h"
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


// The state letter of /proc/<pid>/stat, or 0.
char ProcessState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t at = text.rfind(')');
  return at != std::string::npos && at + 2 < text.size() ? text[at + 2] : 0;
}

// Stops the set-reset helper with real SIGSTOPs, at whatever moment they
// land, until one lands inside a look at /proc: its loop makes such looks
// (the reset's check on a counted waiter) only while it holds the event's
// waiter counts. False when none does in many tries.
bool StopHoldingTheCounts(pid_t pid) {
  const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
  for (int attempt = 0; attempt < 20000; ++attempt) {
    if (!test::Signal(pid, SIGSTOP) || !test::WaitPatiently([&] { return ProcessState(pid) == 'T'; })) return false;
    std::ifstream in(task + "/syscall");
    long number = -1;
    in >> number;
    if (number == SYS_openat || number == SYS_read || number == SYS_close) return true;
    test::Signal(pid, SIGCONT);
    std::this_thread::sleep_for(std::chrono::microseconds(100 + attempt % 13 * 37));
  }
  return false;
}

// A process of the test stopped while it holds EVENT's waiter counts, with
// no test hook: a helper waits on the event (and is stopped, so the sets
// are owed to it), another sets and resets it until it is stopped inside a
// reset; the set it left is taken. Both end with the object.
class StoppedCountsHolder {
 public:
  // WAITER: the helper's command (it must wait on the event, counted).
  StoppedCountsHolder(const std::string& name, HANDLE event, const std::string& waiter) {
    HANDLE ready = CreateEventA(nullptr, true, false, name + "_holder_ready");
    waiter_ = StartHelper(waiter, &waiter_info_);
    if (!ready || !waiter_) return;
    const bool waits = test::WaitPatiently([&] {
      std::uint32_t waiting = 0, joins = 0;
      return PlatformTestHelper::EventWaiters(event, &waiting, &joins) && waiting == 1 &&
             AsleepInFutex("/proc/" + std::to_string(waiter_));
    });
    if (!waits || !test::Signal(waiter_, SIGSTOP) ||
        !test::WaitPatiently([&] { return ProcessState(waiter_) == 'T'; }))
      return;
    holder_ = StartHelperAndAwait("set-reset " + name + " " + name + "_holder_ready", ready, &holder_info_);
    CloseHandle(ready);
    held_ = holder_ && StopHoldingTheCounts(holder_) && WaitForSingleObject(event, 0) == kWaitObject0;
  }
  ~StoppedCountsHolder() {
    EndHolder();
    if (waiter_) KillAndCollect(waiter_, waiter_info_);
  }

  bool Held() const { return held_; }
  pid_t Waiter() const { return waiter_; }
  void EndHolder() {
    if (holder_) KillAndCollect(std::exchange(holder_, 0), holder_info_);
  }

 private:
  ProcessInformation waiter_info_{}, holder_info_{};
  pid_t waiter_ = 0, holder_ = 0;
  bool held_ = false;
};

// A wait counted before another process took and kept the waiter counts
// (stopped by SIGSTOP inside a reset), which then timed out in a process
// that lives on, is taken back once the holder is gone: a set followed by
// a reset leaves the event unsignalled every time, and nothing waits.
TEST(WaiterCounts, ALeaveAStoppedHolderPutOffIsMadeOnceItIsGone) {
  const std::string name = UniqueName("putoff");
  HANDLE event = CreateEventA(nullptr, false, false, name);
  HANDLE done = CreateEventA(nullptr, true, false, name + "_done");
  ASSERT_TRUE(event && done);
  StoppedCountsHolder holder(name, event, "wait-stay " + name + " 5000 " + name + "_done");
  ASSERT_TRUE(holder.Held());
  // The waiter goes on: its wait times out while the counts stay held.
  ASSERT_TRUE(test::Signal(holder.Waiter(), SIGCONT));
  EXPECT_EQ(WaitForSingleObject(done, test::kPatienceMs), kWaitObject0);
  holder.EndHolder();
  for (int round = 0; round < 5; ++round) EXPECT_EQ(SetResetAndLook(event), kWaitTimeout) << "round " << round;
  std::uint32_t waiting = 1, joins = 0;
  ASSERT_TRUE(PlatformTestHelper::EventWaiters(event, &waiting, &joins));
  EXPECT_EQ(waiting, 0u);
  for (HANDLE h : {event, done}) CloseHandle(h);
}


// While a process stopped by SIGSTOP holds the waiter counts, a long wait
// (one object, several) and a wait without time-out on the unset event end
// at the set another thread makes once they sleep: the set, not a time-out
// or the watchdog, ends each. Only the processes of the test may wake the
// waits: it runs with a /dev/shm of its own.
TEST(WaiterCounts, AStoppedHolderKeepsNoSetFromAWait) {
  if (!test::InPrivateShm()) return test::ExpectPassesInPrivateShm();
  const std::string name = UniqueName("uncounted");
  HANDLE event = CreateEventA(nullptr, false, false, name);
  HANDLE idle = CreateEventA(nullptr, true, false, "");
  ASSERT_TRUE(event && idle);
  StoppedCountsHolder holder(name, event, "wait-event " + name + " 600000");
  ASSERT_TRUE(holder.Held());
  // Far beyond the wake-up a set makes, far below the waits' own time-out.
  constexpr auto kSoon = std::chrono::seconds(60);
  constexpr DWORD kLong = 600000;
  HANDLE both[] = {event, idle};
  const std::vector<std::function<DWORD()>> waits = {
      [&] { return WaitForSingleObject(event, kLong); },
      [&] { return WaitForMultipleObjects(2, both, false, kLong); },
      [&] { return WaitForMultipleObjects(2, both, false, kInfinite); },
  };
  for (std::size_t i = 0; i < waits.size(); ++i) {
    SCOPED_TRACE(i);
    std::atomic<long> tid{0};
    std::atomic<bool> ended{false};
    DWORD result = kWaitFailed;
    std::thread waiter([&] {
      tid.store(::syscall(SYS_gettid));
      result = waits[i]();
      ended.store(true);
    });
    // Asleep twice in a row: past its look at the counts' holder.
    EXPECT_TRUE(test::WaitPatiently([&] { return tid.load() != 0; }));
    const std::string task = "/proc/self/task/" + std::to_string(tid.load());
    EXPECT_TRUE(test::WaitPatiently([&] {
      if (!AsleepInFutex(task)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return AsleepInFutex(task);
    }));
    EXPECT_TRUE(SetEvent(event));
    const bool soon = test::Patience(kSoon).WaitUntil([&] { return ended.load(); });
    EXPECT_TRUE(soon);
    if (!soon) {
      // The set missed: taken back, and the idle event ends the waits on both.
      WaitForSingleObject(event, 0);
      SetEvent(idle);
    }
    waiter.join();
    EXPECT_EQ(result, kWaitObject0);
    ResetEvent(idle);
  }
  holder.EndHolder();
  EXPECT_EQ(SetResetAndLook(event), kWaitObject0);  // owed to the stopped waiter, which still lives
  for (HANDLE h : {event, idle}) CloseHandle(h);
}

// A process that holds the waiter counts and runs (it is not stopped) is
// waited for: a wait begun meanwhile is counted once it lets them go, so a
// set followed at once by a reset releases it.
TEST(WaiterCounts, ARunningHolderIsWaitedFor) {
  const std::string name = UniqueName("running");
  HANDLE event = CreateEventA(nullptr, false, false, name);
  HANDLE ready = CreateEventA(nullptr, true, false, name + "_ready");
  HANDLE go = CreateEventA(nullptr, true, false, name + "_go");
  ASSERT_TRUE(event && ready && go);
  ProcessInformation holder, waiter;
  ASSERT_NE(StartHelperAndAwait("hold-until " + name + " " + name + "_ready " + name + "_go", ready, &holder), 0);
  const pid_t waiter_pid = StartHelper("wait-event " + name + " " + std::to_string(test::kPatienceMs), &waiter);
  ASSERT_NE(waiter_pid, 0);
  // Well past the 10 ms after which such a wait once went uncounted.
  EXPECT_TRUE(test::WaitPatiently([&] { return AsleepInFutex("/proc/" + std::to_string(waiter_pid)); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(SetEvent(go));
  EXPECT_EQ(WaitForProcess(holder.process, kInfinite), kWaitObject0);
  const bool counted = test::Patience(std::chrono::seconds(60)).WaitUntil([&] {
    std::uint32_t waiting = 0, joins = 0;
    return PlatformTestHelper::EventWaiters(event, &waiting, &joins) && waiting == 1;
  });
  EXPECT_TRUE(counted);
  EXPECT_TRUE(SetEvent(event) && ResetEvent(event));
  DWORD code = 99;
  if (counted && WaitForProcess(waiter.process, 60000) == kWaitObject0) {
    EXPECT_TRUE(GetExitCodeProcess(waiter.process, &code));
  } else {
    test::Signal(waiter_pid, SIGKILL);
    WaitForProcess(waiter.process, kInfinite);
  }
  EXPECT_EQ(code, 0u);  // released by the set
  for (HANDLE h : {event, ready, go, holder.process, holder.thread, waiter.process, waiter.thread}) CloseHandle(h);
}

// A wait on 64 events whose counts a process holds ends by its time-out,
// whether that process runs or is stopped: its joins share the wait's time
// (once each took up to 10 ms more, 640 ms a wait). The bound is far above
// the time asked and far below 64 such joins.
TEST(WaiterCounts, AWaitOnManyHeldEventsKeepsItsTimeOut) {
  constexpr int kEvents = 64;
  constexpr DWORD kTimeout = 20;
  constexpr int kWaits = 5;
  const std::string name = UniqueName("many_held");
  std::vector<HANDLE> events;
  for (int i = 0; i < kEvents; ++i) events.push_back(CreateEventA(nullptr, false, false, name + "_" + std::to_string(i)));
  HANDLE ready = CreateEventA(nullptr, true, false, name + "_ready");
  ASSERT_TRUE(ready && std::find(events.begin(), events.end(), HANDLE{0}) == events.end());
  ProcessInformation holder;
  const pid_t pid =
      StartHelperAndAwait("hold-many " + name + " " + std::to_string(kEvents) + " " + name + "_ready", ready, &holder);
  ASSERT_NE(pid, 0);
  for (bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped" : "running");
    if (stopped) {
      ASSERT_TRUE(test::Signal(pid, SIGSTOP));
      ASSERT_TRUE(test::WaitPatiently([&] { return ProcessState(pid) == 'T'; }));
    }
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < kWaits; ++k) {
      EXPECT_EQ(WaitForMultipleObjects(kEvents, events.data(), k % 2 == 0, kTimeout), kWaitTimeout);
      std::uint32_t counts[kEvents] = {};
      EXPECT_EQ(WaitForEventSets(kEvents, events.data(), counts, kTimeout), kWaitTimeout);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * kWaits * std::chrono::milliseconds(kTimeout + 300));
  }
  KillAndCollect(pid, holder);
  for (HANDLE h : events) CloseHandle(h);
  CloseHandle(ready);
}

}  // namespace
}  // namespace vt::os
