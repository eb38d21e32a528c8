#include "common/AppRemoteControl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
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
#include "platform/ThreadApi.h"
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
// the steps. A watchdog ends a loop that nothing else ends.
struct LoopRun {
  bool ended_by_watchdog = false;
  int controller_exit = -1;
};

LoopRun RunLoopWhileControlled(const std::string& steps) {
  LoopRun run;
  const os::DWORD main_thread = os::GetCurrentThreadId();
  std::mutex lock;
  std::condition_variable done_cv;
  bool loop_done = false;
  std::atomic<bool> fired{false};
  std::thread controller([&] { run.controller_exit = RunController(steps); });
  std::thread watchdog([&] {
    std::unique_lock guard(lock);
    if (!done_cv.wait_for(guard, std::chrono::seconds(30), [&] { return loop_done; })) {
      fired = true;
      os::PostThreadMessageA(main_thread, os::WM_QUIT, 0, 0);
    }
  });
  RunMessageLoop();
  {
    std::lock_guard guard(lock);
    loop_done = true;
  }
  done_cv.notify_all();
  watchdog.join();
  controller.join();
  run.ended_by_watchdog = fired;
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

TEST_F(RemoteControlTest, NamesComeFromCaptionProgramUserAndWindowStation) {
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
  EXPECT_NE(rc.Window(), 0u);
  EXPECT_EQ(os::GetClassNameA(rc.Window()), kUtilityWindowClass);
  EXPECT_EQ(rc.QuitClock(), nullptr);
}

TEST_F(RemoteControlTest, MutexesMarkARunningInstanceUntilClosed) {
  const std::string name = UniqueName("rc_instance");
  auto first = std::make_unique<TAppRemoteControl>(name);
  EXPECT_FALSE(first->MutexAlreadyExisted(0));
  EXPECT_FALSE(first->MutexAlreadyExisted(1));
  const std::string probe = "mutex " + Quoted(first->MutexName(0)) + " mutex " + Quoted(first->MutexName(1));
  EXPECT_EQ(RunController(probe), 0);
  {
    // A second instance of the same program, same user and window station.
    TAppRemoteControl second(name);
    EXPECT_TRUE(second.MutexAlreadyExisted(0));
    EXPECT_TRUE(second.MutexAlreadyExisted(1));
  }
  first->Close();
  first->Close();
  EXPECT_TRUE(first->Closed() && first->MutexHandle(0) == 0 && first->EventHandle(1) == 0 &&
              first->Window() == 0u);
  EXPECT_EQ(RunController("mutex " + Quoted(first->MutexName(0))), 1);
  EXPECT_EQ(RunController("mutex " + Quoted(first->MutexName(1))), 1);
  first.reset();
}

TEST_F(RemoteControlTest, RequestOneFromAnotherProcessEndsTheLoopAfterItsHandler) {
  TAppRemoteControl rc(UniqueName("rc_quit"));
  int calls = 0;
  bool clock_before_handler = true;
  // The handler runs first; even a failing one does not keep the program alive.
  rc.Handlers[1] = [&](TAppRemoteControl& sender) {
    EXPECT_EQ(&sender, &rc);
    clock_before_handler = rc.QuitClock() != nullptr;
    ++calls;
    throw Exception("handler failed");
  };
  const LoopRun run = RunLoopWhileControlled(Pulse(rc, 1));
  EXPECT_TRUE(run.controller_exit == 0 && !run.ended_by_watchdog) << run.controller_exit;
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(clock_before_handler);
  ASSERT_NE(rc.QuitClock(), nullptr);
  EXPECT_EQ(rc.QuitClock()->Interval(), kRemoteQuitDelayMs);
}

TEST_F(RemoteControlTest, EachPulseIsOneRequestInArrivalOrder) {
  TAppRemoteControl rc(UniqueName("rc_order"));
  std::vector<int> calls;
  for (int i : {1, 5, 12, 18}) rc.Handlers[i] = [&calls, i](TAppRemoteControl&) { calls.push_back(i); };
  // A long pulse stays one request; request 7 has no handler; a stray
  // message number the window does not know is passed on.
  os::PostMessageA(rc.Window(), os::WM_USER, 99, 0);
  const std::string steps = "pulse " + Quoted(rc.EventName(5)) + " 400 sleep 100 " + Pulse(rc, 5) +
                            Pulse(rc, 7) + Pulse(rc, 12) + Pulse(rc, 18) + Pulse(rc, 1);
  const LoopRun run = RunLoopWhileControlled(steps);
  EXPECT_TRUE(run.controller_exit == 0 && !run.ended_by_watchdog) << run.controller_exit;
  EXPECT_EQ(calls, (std::vector<int>{5, 5, 12, 18, 1}));
}

TEST_F(RemoteControlTest, ClosingFromAHandlerEndsTheControl) {
  TAppRemoteControl rc(UniqueName("rc_closed"));
  int calls = 0;
  rc.Handlers[3] = [&](TAppRemoteControl&) { ++calls; };
  rc.Handlers[2] = [&](TAppRemoteControl& sender) { sender.Close(); };
  // After the close the events are gone: the controller cannot open event 3.
  const std::string steps = Pulse(rc, 2) + Pulse(rc, 3);
  int controller_exit = -1;
  const os::DWORD main_thread = os::GetCurrentThreadId();
  std::thread controller([&] {
    controller_exit = RunController(steps);
    os::PostThreadMessageA(main_thread, os::WM_QUIT, 0, 0);
  });
  RunMessageLoop();
  controller.join();
  EXPECT_EQ(controller_exit, 3);
  EXPECT_TRUE(rc.Closed());
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(rc.Handlers[3]);
  EXPECT_EQ(rc.QuitClock(), nullptr);
}

TEST_F(RemoteControlTest, NameTakenByAnotherKindOfObjectFailsCleanly) {
  const std::string name = UniqueName("rc_clash");
  std::string event3, mutex1;
  {
    TAppRemoteControl probe(name);
    event3 = probe.EventName(3);
    mutex1 = probe.MutexName(1);
  }
  os::HANDLE squatter = os::CreateMutexA(nullptr, false, event3);
  ASSERT_NE(squatter, 0);
  const std::string error = test::CodedMessageOf<EOSError>([&] { TAppRemoteControl rc(name); });
  EXPECT_TRUE(error.starts_with("Unable to create/open event object.: ") && !error.ends_with(" #0")) << error;
  // Nothing it had taken is left open.
  EXPECT_EQ(os::OpenMutexA(mutex1), 0);
  os::CloseHandle(squatter);
}

TEST(RemoteControlUnit, StartsAndEndsWithTheProgram) {
  const vt::UnitEntry units[] = {kNotifyQueueUnit, kAppRemoteControlUnit};
  InitializeUnits(units);
  TAppRemoteControl& rc = GetAppRemoteControl();
  EXPECT_EQ(&rc, &GetAppRemoteControl());
  EXPECT_EQ(rc.Name(), "vt_tests_common");
  const std::string mutex1 = rc.MutexName(1);
  EXPECT_EQ(RunController("mutex " + Quoted(mutex1)), 0);
  FinalizeUnits();
  EXPECT_EQ(RunController("mutex " + Quoted(mutex1)), 1);
}

}  // namespace
}  // namespace vt
