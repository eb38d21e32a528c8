// Timed waits and waits that a set wakes: lower bounds on time only, and
// handshakes (support/Pulses.h) instead of sleeps.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"
#include "support/PrivateShm.h"
#include "support/Pulses.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt::os {
namespace {

using Clock = std::chrono::steady_clock;

// A wait that ends by time-out has lasted at least the time asked.
template <typename Wait>
void ExpectTimesOutNoEarlier(const char* what, DWORD ms, Wait wait) {
  const auto start = Clock::now();
  EXPECT_EQ(wait(ms), kWaitTimeout) << what;
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(ms)) << what << " " << ms << " ms";
}

TEST(TimedWaits, LastAtLeastTheTimeAsked) {
  HANDLE manual = CreateEventA(nullptr, true, false, "");
  HANDLE automatic = CreateEventA(nullptr, false, false, "");
  HANDLE both[] = {manual, automatic};
  for (int round = 0; round < 20; ++round) {
    for (DWORD ms : {1u, 2u, 5u}) {
      ExpectTimesOutNoEarlier("event", ms, [&](DWORD t) { return WaitForSingleObject(manual, t); });
      ExpectTimesOutNoEarlier("auto event", ms, [&](DWORD t) { return WaitForSingleObject(automatic, t); });
      ExpectTimesOutNoEarlier("any", ms, [&](DWORD t) { return WaitForMultipleObjects(2, both, false, t); });
      ExpectTimesOutNoEarlier("all", ms, [&](DWORD t) { return WaitForMultipleObjects(2, both, true, t); });
      ExpectTimesOutNoEarlier("signal and wait", ms,
                              [&](DWORD t) { return SignalObjectAndWait(manual, automatic, t, false); });
      ResetEvent(manual);
    }
  }

  StartupInfo si;
  ProcessInformation pi;
  ASSERT_TRUE(CreateProcess({}, test::ProgramBeside("vt_proc_child") + " sleep 30000", false, 0, nullptr, {}, si, &pi));
  for (DWORD ms : {1u, 2u, 5u})
    ExpectTimesOutNoEarlier("process", ms, [&](DWORD t) { return WaitForProcess(pi.process, t); });
  vt::test::Signal(static_cast<pid_t>(pi.process_id), SIGKILL);
  EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
  for (HANDLE h : {manual, automatic, pi.process, pi.thread}) CloseHandle(h);
}

// A wait begun while a manual-reset event is still set ends at once: the
// next wait begins after the pulse's reset.
void AwaitReset(HANDLE event) {
  while (WaitForSingleObject(event, 0) == kWaitObject0) SwitchToThread();
}

// A waiter waiting at the moment of a set is released even when a reset
// follows at once: 20 pulses, 20 releases, for a wait on one object or on
// several, on either kind of event. The waits' long time-out is a watchdog.
TEST(PulsedEvents, ReleaseEveryWaiterWaitingAtTheSet) {
  constexpr int kPulses = 20;
  for (bool manual : {true, false}) {
    HANDLE event = CreateEventA(nullptr, manual, false, "");
    HANDLE idle = CreateEventA(nullptr, true, false, "");
    HANDLE handles[] = {idle, event};
    int released = 0;
    std::thread waiter([&] {
      for (int i = 0; i < kPulses; ++i) {
        const DWORD r = i % 2 ? WaitForSingleObject(event, vt::test::kPatienceMs) : WaitForMultipleObjects(2, handles, false, vt::test::kPatienceMs);
        released += r == (i % 2 ? kWaitObject0 : kWaitObject0 + 1);
        if (manual) AwaitReset(event);
      }
    });
    EXPECT_TRUE(test::PulseWaitedEvent(event, kPulses));
    waiter.join();
    EXPECT_EQ(released, kPulses) << (manual ? "manual" : "auto");
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);  // nothing left behind
    for (HANDLE h : {event, idle}) CloseHandle(h);
  }
}

// The same from another process; the end of that process then wakes the
// wait on several objects too.
TEST(PulsedEvents, FromAnotherProcessAndItsEndWakeAWaitOnSeveralObjects) {
  constexpr int kPulses = 20;
  const std::string name = "vt_test_pulse_" + std::to_string(::getpid());
  HANDLE event = CreateEventA(nullptr, true, false, name);
  ASSERT_NE(event, 0);
  StartupInfo si;
  ProcessInformation pi;
  ASSERT_TRUE(CreateProcess({}, test::ProgramBeside("vt_sync_helper") + " pulse " + name + " " +
                                    std::to_string(kPulses),
                            false, 0, nullptr, {}, si, &pi));
  HANDLE handles[] = {event, pi.process};
  int released = 0;
  for (int i = 0; i < kPulses; ++i) {
    released += WaitForMultipleObjects(2, handles, false, vt::test::kPatienceMs) == kWaitObject0;
    AwaitReset(event);
  }
  EXPECT_EQ(released, kPulses);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, false, vt::test::kPatienceMs), kWaitObject0 + 1);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, 0u);
  for (HANDLE h : {event, pi.process, pi.thread}) CloseHandle(h);
}

// Starts the helper with ARGS; its pid, or 0.
pid_t StartSyncHelper(const std::string& args, ProcessInformation* pi) {
  StartupInfo si;
  if (!CreateProcess({}, test::ProgramBeside("vt_sync_helper") + " " + args, false, 0, nullptr, {}, si, pi))
    return 0;
  return static_cast<pid_t>(pi->process_id);
}

// Until a wait on EVENT beyond the JOINS_BEFORE counted so far goes on, up
// to the patience.
bool AwaitNewWait(HANDLE event, std::uint32_t joins_before) {
  bool readable = true;
  const bool waits = vt::test::WaitPatiently(
      [&] {
        std::uint32_t waiting = 0, joins = 0;
        readable = PlatformTestHelper::EventWaiters(event, &waiting, &joins);
        return !readable || (joins != joins_before && waiting > 0);
      },
      std::chrono::milliseconds(1));
  return waits && readable;
}

// A set and a reset leave an auto-reset event unsignalled.
DWORD SetResetAndLook(HANDLE event) {
  SetEvent(event);
  ResetEvent(event);
  return WaitForSingleObject(event, 0);
}

// A waiter killed in its wait on an auto-reset event leaves nothing owed, ended or collected.
TEST(PulsedEvents, WaitersKilledInTheirWaitCountForNothing) {
  constexpr int kPulses = 20;
  for (const char* wait : {"wait-event", "wait-any"}) {
    SCOPED_TRACE(wait);
    const std::string name = std::string("vt_test_killed_") + wait + "_" + std::to_string(::getpid());
    HANDLE event = CreateEventA(nullptr, false, false, name);
    ASSERT_NE(event, 0);
    std::uint32_t waiting = 0, joins = 0;
    ASSERT_TRUE(PlatformTestHelper::EventWaiters(event, &waiting, &joins));
    EXPECT_EQ(SetResetAndLook(event), kWaitTimeout);
    ProcessInformation pi;
    const pid_t waiter =
        StartSyncHelper(std::string(wait) + " " + name + " " + std::to_string(vt::test::kPatienceMs), &pi);
    ASSERT_NE(waiter, 0);
    ASSERT_TRUE(AwaitNewWait(event, joins));
    ASSERT_TRUE(vt::test::Signal(waiter, SIGKILL));
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(waiter), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(SetResetAndLook(event), kWaitTimeout) << "ended";
    EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
    EXPECT_EQ(SetResetAndLook(event), kWaitTimeout) << "collected";
    EXPECT_EQ(SetResetAndLook(event), kWaitTimeout) << "again";
    ASSERT_TRUE(PlatformTestHelper::EventWaiters(event, &waiting, &joins));
    EXPECT_EQ(waiting, 0u);

    // Then pulses from another process all reach a waiter here, in both kinds of wait.
    ProcessInformation pulser;
    ASSERT_NE(StartSyncHelper("pulse " + name + " " + std::to_string(kPulses), &pulser), 0);
    HANDLE idle = CreateEventA(nullptr, true, false, "");
    HANDLE handles[] = {idle, event};
    int released = 0;
    for (int i = 0; i < kPulses; ++i)
      released += i % 2 ? WaitForSingleObject(event, vt::test::kPatienceMs) == kWaitObject0
                        : WaitForMultipleObjects(2, handles, false, vt::test::kPatienceMs) == kWaitObject0 + 1;
    EXPECT_EQ(released, kPulses);
    EXPECT_EQ(WaitForProcess(pulser.process, kInfinite), kWaitObject0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeProcess(pulser.process, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(SetResetAndLook(event), kWaitTimeout);
    for (HANDLE h : {event, idle, pi.process, pi.thread, pulser.process, pulser.thread}) CloseHandle(h);
  }
}

// Sets from a process that cannot map the wake word (no descriptor left) end a wait on several
// objects, whether the waiter sleeps on the events' set counts too or on the wake word alone (as
// on a kernel without futex_waitv); and once that process could map it again. Only the processes
// of the test may wake the waiter: it runs with a /dev/shm of its own.
TEST(PulsedEvents, SetterWithoutTheSharedWakeWordWakesAWaitOnSeveralObjects) {
  if (!test::InPrivateShm()) return test::ExpectPassesInPrivateShm();
  constexpr int kPulses = 20;
  struct Case {
    const char* setter;
    bool wake_word_alone;
  };
  for (const Case& c : {Case{"pulse-nofd", false}, Case{"pulse-nofd", true}, Case{"nofd-then-pulse", false},
                        Case{"nofd-then-pulse", true}}) {
    SCOPED_TRACE(std::string(c.setter) + (c.wake_word_alone ? " on the wake word alone" : ""));
    PlatformTestHelper::SleepOnWakeWordAlone(c.wake_word_alone);
    const std::string name = std::string("vt_test_nofd_") + std::to_string(::getpid());
    HANDLE event = CreateEventA(nullptr, false, false, name);
    HANDLE idle = CreateEventA(nullptr, true, false, "");
    ASSERT_TRUE(event && idle);
    ProcessInformation pi;
    ASSERT_NE(StartSyncHelper(std::string(c.setter) + " " + name + " " + std::to_string(kPulses), &pi), 0);
    HANDLE handles[] = {idle, event};
    // A wait only a time-out would end is ended through the idle event.
    HANDLE finished = CreateEventA(nullptr, true, false, "");
    std::thread watchdog([&] {
      if (WaitForSingleObject(finished, vt::test::kPatienceMs) != kWaitObject0) SetEvent(idle);
    });
    int released = 0;
    while (released < kPulses && WaitForMultipleObjects(2, handles, false, kInfinite) == kWaitObject0 + 1)
      ++released;
    SetEvent(finished);
    watchdog.join();
    CloseHandle(finished);
    PlatformTestHelper::SleepOnWakeWordAlone(false);
    EXPECT_EQ(released, kPulses);
    if (released < kPulses) vt::test::Signal(static_cast<pid_t>(pi.process_id), SIGKILL);
    EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
    EXPECT_EQ(code, 0u);
    for (HANDLE h : {event, idle, pi.process, pi.thread}) CloseHandle(h);
  }
}


// Where the kernel refuses futex_waitv (a seccomp filter answering ENOSYS,
// as a kernel before 5.16 does), a process's very first wait on several
// objects, without time-out, sees a set made by a process on a wake word of
// its own (no descriptor left) while it sleeps: the first sleep that learns
// of the refusal looks again as later ones do.
TEST(PulsedEvents, AFirstWaitWithoutFutexWaitvSeesASetFromAnotherProcess) {
  if (!test::InPrivateShm()) return test::ExpectPassesInPrivateShm();
  const std::string name = std::string("vt_test_nowaitv_") + std::to_string(::getpid());
  HANDLE event = CreateEventA(nullptr, false, false, name);
  ASSERT_NE(event, 0);
  ProcessInformation waiter, pulser;
  const pid_t pid = StartSyncHelper("nowaitv-wait " + name, &waiter);
  ASSERT_NE(pid, 0);
  const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
  EXPECT_TRUE(vt::test::WaitPatiently([&] {
    std::uint32_t waiting = 0, joins = 0;
    std::ifstream in(task + "/syscall");
    long number = -1;
    return PlatformTestHelper::EventWaiters(event, &waiting, &joins) && waiting == 1 && in >> number &&
           number == SYS_futex;
  }));
  ASSERT_NE(StartSyncHelper("pulse-nofd " + name + " 1", &pulser), 0);
  EXPECT_EQ(WaitForProcess(pulser.process, kInfinite), kWaitObject0);
  // Long past the 10 ms between its looks.
  DWORD code = 1;
  if (WaitForProcess(waiter.process, 60000) == kWaitObject0) {
    EXPECT_TRUE(GetExitCodeProcess(waiter.process, &code));
  } else {
    vt::test::Signal(pid, SIGKILL);
    WaitForProcess(waiter.process, kInfinite);
  }
  EXPECT_EQ(code, 0u);
  for (HANDLE h : {event, waiter.process, waiter.thread, pulser.process, pulser.thread}) CloseHandle(h);
}

}  // namespace
}  // namespace vt::os
