// Timed waits and waits that a set wakes: lower bounds on time only, and
// handshakes (support/Pulses.h) instead of sleeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <thread>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "support/Pulses.h"
#include "support/TestFiles.h"

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
  ::kill(static_cast<pid_t>(pi.process_id), SIGKILL);
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
        const DWORD r = i % 2 ? WaitForSingleObject(event, 30000) : WaitForMultipleObjects(2, handles, false, 30000);
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
    released += WaitForMultipleObjects(2, handles, false, 30000) == kWaitObject0;
    AwaitReset(event);
  }
  EXPECT_EQ(released, kPulses);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, false, 30000), kWaitObject0 + 1);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, 0u);
  for (HANDLE h : {event, pi.process, pi.thread}) CloseHandle(h);
}

}  // namespace
}  // namespace vt::os
