#include "common/AppRemoteControl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/NotifyQueue.h"
#include "common/NotifyQueueUnit.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/ProcessRunner.h"
#include "common/ProductInformation.h"
#include "common/SysUtils.h"
#include "common/Threads.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"
#include "platform/ThreadApi.h"
#include "support/Patience.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// A name no other test process uses.
std::string UniqueName(const std::string& prefix) { return prefix + "_" + std::to_string(::getpid()); }

// The controlling program's exit code (2 and 3: it could not do its steps).
int RunController(const std::string& steps) {
  return RunProcess(Quoted(test::ProgramBeside("vt_rc_signal")) + " " + steps, true);
}

std::string Pulse(const TAppRemoteControl& rc, int index, int hold_ms = 100) {
  return "pulse " + Quoted(rc.EventName(index)) + " " + std::to_string(hold_ms) + " sleep 100 ";
}

// Runs the main thread's message loop while the controlling program runs
// the steps. A loop still running wait_s seconds after them is ended from
// outside.
struct LoopRun {
  bool ended_from_outside = false;
  int controller_exit = -1;
};

LoopRun RunLoopWhileControlled(const std::string& steps, int wait_s = 30) {
  LoopRun run;
  const os::DWORD main_thread = os::GetCurrentThreadId();
  std::mutex lock;
  std::condition_variable done_cv;
  bool loop_done = false;
  std::thread controller([&] {
    run.controller_exit = RunController(steps);
    std::unique_lock guard(lock);
    run.ended_from_outside =
        !done_cv.wait_for(guard, std::chrono::seconds(wait_s), [&] { return loop_done; });
    if (run.ended_from_outside) os::PostThreadMessageA(main_thread, os::WM_QUIT, 0, 0);
  });
  RunMessageLoop();
  {
    std::lock_guard guard(lock);
    loop_done = true;
  }
  done_cv.notify_all();
  controller.join();
  return run;
}

// The main thread's notification queue in window mode, as at start-up.
class RemoteControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = new TNotifyQueue;
    queue_->AttachToThread();
    queue_->SetMode(1);
  }
  void TearDown() override { FreeAndNilObject(queue_); }

  TNotifyQueue* queue_ = nullptr;
};

TEST_F(RemoteControlTest, NamesAndMutexesMarkingARunningInstance) {
  const std::string caption = GetProductInfo().ProductCaption;
  {
    TAppRemoteControl rc;
    EXPECT_EQ(rc.Name(), "vt_tests_common");
    EXPECT_EQ(rc.EventName(0), "");
    EXPECT_EQ(rc.EventName(1), "Global\\Palgrem" + caption + "_vt_tests_common_Event_1");
    EXPECT_EQ(rc.EventName(18), "Global\\Palgrem" + caption + "_vt_tests_common_Event_18");
    EXPECT_EQ(rc.MutexName(0), "Palgrem" + caption + "_vt_tests_common_Mutex_" + GetUserNameStr() + "_" +
                                   GetWindowStationName());
    EXPECT_EQ(rc.MutexName(1), "Global\\Palgrem" + caption + "_vt_tests_common_Mutex");
  }
  // A given name keeps its case; the object names use it in lower case.
  const std::string name = UniqueName("Remote_CASE");
  TAppRemoteControl rc(name);
  EXPECT_EQ(rc.Name(), name);
  const std::string lower = UniqueName("remote_case");
  EXPECT_EQ(rc.EventName(7), "Global\\Palgrem" + caption + "_" + lower + "_Event_7");
  EXPECT_EQ(rc.MutexName(1), "Global\\Palgrem" + caption + "_" + lower + "_Mutex");
  for (int i = 0; i < kRemoteEventCount; ++i) EXPECT_NE(rc.EventHandle(i), 0) << i;
  EXPECT_EQ(os::GetClassNameA(rc.Window()), kUtilityWindowClass);

  // The mutexes mark a running instance until it is closed.
  EXPECT_FALSE(rc.MutexAlreadyExisted(0) || rc.MutexAlreadyExisted(1));
  EXPECT_EQ(RunController("mutex " + Quoted(rc.MutexName(0)) + " mutex " + Quoted(rc.MutexName(1))), 0);
  {
    // A second instance of the same program, same user and window station.
    TAppRemoteControl second(name);
    EXPECT_TRUE(second.MutexAlreadyExisted(0) && second.MutexAlreadyExisted(1));
  }
  rc.Close();
  rc.Close();
  EXPECT_TRUE(rc.Closed() && rc.MutexHandle(0) == 0 && rc.EventHandle(1) == 0 && rc.Window() == 0u);
  EXPECT_EQ(RunController("mutex " + Quoted(rc.MutexName(0))), 1);
  EXPECT_EQ(RunController("mutex " + Quoted(rc.MutexName(1))), 1);
}

// Each pulse is one request, handled in arrival order; request 1 ends the
// loop after its handler, even a failing one.
TEST_F(RemoteControlTest, PulsesAreRequestsInArrivalOrderAndOneEndsTheLoop) {
  TAppRemoteControl rc(UniqueName("rc_order"));
  std::vector<int> calls;
  for (int i : {5, 12, 18}) rc.Handlers[i] = [&calls, i](TAppRemoteControl&) { calls.push_back(i); };
  bool clock_before_handler = true;
  rc.Handlers[1] = [&](TAppRemoteControl& sender) {
    EXPECT_EQ(&sender, &rc);
    clock_before_handler = rc.QuitClock() != nullptr;
    calls.push_back(1);
    throw Exception("handler failed");
  };
  // A long pulse stays one request; request 7 has no handler; a stray
  // message number the window does not know is passed on.
  os::PostMessageA(rc.Window(), os::WM_USER, 99, 0);
  const std::string steps = "pulse " + Quoted(rc.EventName(5)) + " 400 sleep 100 " + Pulse(rc, 5) +
                            Pulse(rc, 7) + Pulse(rc, 12) + Pulse(rc, 18) + Pulse(rc, 1);
  const LoopRun run = RunLoopWhileControlled(steps);
  EXPECT_TRUE(run.controller_exit == 0 && !run.ended_from_outside) << run.controller_exit;
  EXPECT_EQ(calls, (std::vector<int>{5, 5, 12, 18, 1}));
  EXPECT_FALSE(clock_before_handler);
  ASSERT_NE(rc.QuitClock(), nullptr);
  EXPECT_EQ(rc.QuitClock()->Interval(), kRemoteQuitDelayMs);
}

// Pulses held for no time, each sent once the control thread waits on the
// event again: every one is a request, the quit request too.
TEST_F(RemoteControlTest, PulsesHeldForNoTimeAreAllSeen) {
  TAppRemoteControl rc(UniqueName("rc_short"));
  int requests = 0, quits = 0;
  rc.Handlers[5] = [&](TAppRemoteControl&) { ++requests; };
  rc.Handlers[1] = [&](TAppRemoteControl&) { ++quits; };
  const LoopRun run = RunLoopWhileControlled("pulses " + Quoted(rc.EventName(5)) + " 20 pulses " +
                                             Quoted(rc.EventName(1)) + " 1");
  EXPECT_TRUE(run.controller_exit == 0 && !run.ended_from_outside) << run.controller_exit;
  EXPECT_EQ(requests, 20);
  EXPECT_EQ(quits, 1);
}

// A pulse held for a while and one held for no time right after its reset
// are two requests, however soon the second follows.
TEST_F(RemoteControlTest, APulseRightAfterAHeldOneIsARequestToo) {
  TAppRemoteControl rc(UniqueName("rc_held"));
  int requests = 0, quits = 0;
  rc.Handlers[5] = [&](TAppRemoteControl&) { ++requests; };
  rc.Handlers[1] = [&](TAppRemoteControl&) { ++quits; };
  const std::string event = Quoted(rc.EventName(5));
  std::string steps;
  for (int i = 0; i < 5; ++i) steps += "pulse " + event + " 30 pulse " + event + " 0 ";
  const LoopRun run = RunLoopWhileControlled(steps + "sleep 100 pulse " + Quoted(rc.EventName(1)) + " 0");
  EXPECT_TRUE(run.controller_exit == 0 && !run.ended_from_outside) << run.controller_exit;
  EXPECT_EQ(requests, 10);
  EXPECT_EQ(quits, 1);
}

// Two pulses while the control thread does not look (held still in its
// wait) are two requests, not one.
TEST_F(RemoteControlTest, TwoPulsesBetweenTwoLooksAreTwoRequests) {
  TAppRemoteControl rc(UniqueName("rc_twice"));
  int requests = 0, quits = 0;
  rc.Handlers[5] = [&](TAppRemoteControl&) { ++requests; };
  rc.Handlers[1] = [&](TAppRemoteControl&) { ++quits; };
  const os::HANDLE event = rc.EventHandle(5);
  ASSERT_TRUE(test::WaitPatiently([&] {
    std::uint32_t waiting = 0, joins = 0;
    return os::PlatformTestHelper::EventWaiters(event, &waiting, &joins) && static_cast<std::int32_t>(waiting) > 0;
  }));
  TMethodThread& thread = *rc.ControlThread();
  ASSERT_EQ(thread.Suspend(), 0u);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(os::SetEvent(event) && os::ResetEvent(event));
  ASSERT_EQ(thread.Resume(), 1u);
  const LoopRun run = RunLoopWhileControlled("pulses " + Quoted(rc.EventName(1)) + " 1");
  EXPECT_TRUE(run.controller_exit == 0 && !run.ended_from_outside) << run.controller_exit;
  EXPECT_EQ(requests, 2);
  EXPECT_EQ(quits, 1);
}

TEST_F(RemoteControlTest, ClosingFromAHandlerEndsTheControl) {
  TAppRemoteControl rc(UniqueName("rc_closed"));
  rc.Handlers[3] = [](TAppRemoteControl&) {};
  rc.Handlers[2] = [](TAppRemoteControl& sender) { sender.Close(); };
  // After the close the events are gone: the controller cannot open event 3.
  EXPECT_EQ(RunLoopWhileControlled(Pulse(rc, 2) + Pulse(rc, 3), 0).controller_exit, 3);
  EXPECT_TRUE(rc.Closed());
  EXPECT_FALSE(rc.Handlers[3]);
  EXPECT_EQ(rc.QuitClock(), nullptr);
}

TEST_F(RemoteControlTest, NameTakenByAnotherKindOfObjectFailsCleanly) {
  const std::string name = UniqueName("rc_clash");
  const std::string base = "Global\\Palgrem" + GetProductInfo().ProductCaption + "_" + name;
  os::HANDLE squatter = os::CreateMutexA(nullptr, false, base + "_Event_3");
  ASSERT_NE(squatter, 0);
  const std::string error = test::CodedMessageOf<EOSError>([&] { TAppRemoteControl rc(name); });
  EXPECT_TRUE(error.starts_with("Unable to create/open event object.: ") && !error.ends_with(" #0")) << error;
  // Nothing it had taken is left open.
  EXPECT_EQ(os::OpenMutexA(base + "_Mutex"), 0);
  os::CloseHandle(squatter);
}

TEST(RemoteControlUnit, StartsAndEndsWithTheProgram) {
  const vt::UnitEntry units[] = {kNotifyQueueUnit, kAppRemoteControlUnit};
  InitializeUnits(units);
  TAppRemoteControl& rc = GetAppRemoteControl();
  EXPECT_EQ(&rc, &GetAppRemoteControl());
  const std::string mutex1 = rc.MutexName(1);
  EXPECT_EQ(RunController("mutex " + Quoted(mutex1)), 0);
  FinalizeUnits();
  EXPECT_EQ(RunController("mutex " + Quoted(mutex1)), 1);
}

}  // namespace
}  // namespace vt
