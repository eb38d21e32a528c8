#include "common/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/EventLog.h"
#include "common/SysUtils.h"
#include "common/TestHooks.h"
#include "platform/TestHooks.h"
#include "support/EventLogs.h"
#include "support/TestFiles.h"
#include "support/LibraryLogCapture.h"
#include "support/Patience.h"

namespace vt {
namespace {

using test::LogCapture;

class RaisingThread : public TSafeThread {
 public:
  RaisingThread() : TSafeThread(false) {}
  ~RaisingThread() override { StopAndWait(); }

 protected:
  void Execute() override { throw Exception("boom"); }
};

TEST(Threads, ExceptionsEndSafeThreadsLoudlyAndMethodThreadsSilently) {
  LogCapture log;
  auto t = MakeThread<RaisingThread>();
  EXPECT_EQ(t->WaitFor(), kThreadErrorExitCode);
  EXPECT_NE(log.All().find("Thread Error\nboom\n"), std::string::npos);

  LogCapture quiet;
  std::unique_ptr<TMethodThread> m;
  TMethodThread::Start(m, false, [](TMethodThread&) { throw Exception("swallowed"); });
  EXPECT_EQ(m->WaitFor(), 0u);
  TMethodThread::Dispose(m);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(quiet.All(), "");
}

// DoTerminate still uses the object after the body returned.
class SlowEndThread : public TSafeThread {
 public:
  explicit SlowEndThread(std::atomic<bool>& body_done, std::atomic<bool>& ended)
      : TSafeThread(false), body_done_(body_done), ended_(ended) {}
  ~SlowEndThread() override { StopAndWait(); }

 protected:
  void Execute() override { body_done_ = true; }
  void DoTerminate() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    marker_ = "ended";
    ended_ = marker_ == "ended";
  }

 private:
  std::atomic<bool>& body_done_;
  std::atomic<bool>& ended_;
  std::string marker_;
};

TEST(Threads, ObjectIsFreedOnlyAfterItsThreadHasEnded) {
  std::atomic<bool> body_done{false}, ended{false};
  auto t = MakeThread<SlowEndThread>(body_done, ended);
  while (!body_done) std::this_thread::yield();
  EXPECT_FALSE(t->Finished());  // set only when the procedure is done with the object
  t.reset();
  EXPECT_TRUE(ended);
}

TEST(Threads, SuspendedThreadIsDiscardedWithoutWaitingOrRunning) {
  std::atomic<bool> ran{false};
  auto t = std::make_unique<TMethodThread>(true, [&](TMethodThread&) { ran = true; });
  EXPECT_TRUE(t->Suspended());
  EXPECT_NE(t->Handle(), nullptr);
  t.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(ran);
}

TEST(Threads, TerminateIsSeenByTheBodyAndCreationFailureIsLogged) {
  std::unique_ptr<TMethodThread> t;
  std::atomic<int> loops{0};
  TMethodThread::Start(t, false, [&](TMethodThread& self) {
    while (!self.Terminated()) {
      ++loops;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  while (loops == 0) std::this_thread::yield();
  TMethodThread::Dispose(t);  // terminates and waits

  LogCapture log;
  os::PlatformTestHelper::FailNextThreadCreations(1);
  std::unique_ptr<TMethodThread> failed;
  TMethodThread::Start(failed, false, [](TMethodThread&) {});
  EXPECT_EQ(failed->Handle(), nullptr);
  EXPECT_EQ(failed->CreateError(), os::kErrorNotEnoughMemory);
  std::string all = log.All();
  EXPECT_NE(all.find("DBG: Thread creating failed:\n  Error code: 8\n  Threads count: "), std::string::npos);
  TMethodThread::Dispose(failed);
}

// Waits until Condition holds; false once the patience runs out.
template <typename F>
bool Eventually(F condition) {
  return test::WaitPatiently(condition, std::chrono::milliseconds(1));
}

TEST(Threads, SuspendAndResumeCountOnARunningThread) {
  std::atomic<int> count{0};
  auto t = std::make_unique<TMethodThread>(true, [&count](TMethodThread& self) {
    for (; !self.Terminated(); ++count) std::this_thread::sleep_for(std::chrono::microseconds(200));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(count, 0);  // created suspended: nothing of the body runs
  EXPECT_EQ(t->Resume(), 1u);
  ASSERT_TRUE(Eventually([&] { return count > 0; }));

  EXPECT_EQ(t->Suspend(), 0u);
  EXPECT_EQ(t->Suspend(), 1u);
  const int held = count;
  EXPECT_EQ(t->Resume(), 2u);
  EXPECT_TRUE(t->Suspended());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // it would have counted
  EXPECT_EQ(count, held);
  EXPECT_EQ(t->Resume(), 1u);
  EXPECT_FALSE(t->Suspended());
  EXPECT_TRUE(Eventually([&] { return count != held; }));

  // Destroying a suspended thread object does not wait: the thread stays
  // behind, stopped, with its handle closed.
  EXPECT_EQ(t->Suspend(), 0u);
  const int left = count;
  t.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(count, left);
}

TEST(Threads, SuspendedClaimsOnlyASuspensionThatHappened) {
  auto done = MakeThread<TMethodThread>(false, [](TMethodThread&) {});
  done->WaitFor();
  EXPECT_EQ(done->Suspend(), 0xFFFFFFFFu);
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied);
  EXPECT_FALSE(done->Suspended());
  done.reset();  // not suspended: waited for as usual

  // A thread suspending itself: the flag is up before it stops.
  std::atomic<std::uint32_t> answered{0xFFFFFFFFu};
  std::unique_ptr<TMethodThread> self;
  TMethodThread::Start(self, false, [&](TMethodThread& me) { answered = me.Suspend(); });
  ASSERT_TRUE(Eventually([&] { return self->Suspended(); }));
  ASSERT_TRUE(Eventually([&] { return self->Resume() == 1u; }));
  EXPECT_EQ(self->WaitFor(), 0u);
  EXPECT_EQ(answered, 0u);
  EXPECT_FALSE(self->Suspended());
}

// Another thread suspends and resumes a thread that is on its way to stop
// itself: the flag is down while it runs and up for the stop that follows.
TEST(Threads, SuspendedHoldsForASelfSuspensionOvertakenByAnotherThread) {
  static std::atomic<int> stage{0};
  stage = 0;
  CommonTestHelper::SetSelfSuspendPause([] {
    stage = 1;
    while (stage != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  std::unique_ptr<TMethodThread> t;
  TMethodThread::Start(t, false, [](TMethodThread& me) { me.Suspend(); });
  ASSERT_TRUE(Eventually([] { return stage == 1; }));
  EXPECT_EQ(t->Suspend(), 0u);
  EXPECT_EQ(t->Resume(), 1u);
  // Running again: a destroy now waits for the thread instead of leaving it
  // the object.
  EXPECT_FALSE(t->Suspended());
  stage = 2;
  CommonTestHelper::SetSelfSuspendPause(nullptr);
  EXPECT_TRUE(Eventually([&] { return t->Suspended(); }));
  ASSERT_TRUE(Eventually([&] { return t->Resume() == 1u; }));
  EXPECT_EQ(t->WaitFor(), 0u);
  EXPECT_FALSE(t->Suspended());

  // Resumed and destroyed at once: the object stays until the woken thread
  // has ended.
  TMethodThread::Start(t, false, [](TMethodThread& me) { me.Suspend(); });
  ASSERT_TRUE(Eventually([&] { return t->Resume() == 1u; }));
  t.reset();
}

class HardEndThread : public TSafeThread {
 public:
  explicit HardEndThread(std::atomic<int>& ended) : TSafeThread(false, true), ended_(ended) {}
  ~HardEndThread() override { StopAndWait(); }

 protected:
  void Execute() override { SetReturnValue(31); }
  void DoTerminate() override { ++ended_; }

 private:
  std::atomic<int>& ended_;
};

TEST(Threads, HardExitEndsTheThreadWithItsExitCode) {
  std::atomic<int> ended{0};
  for (int round = 0; round < 3; ++round) EXPECT_EQ(MakeThread<HardEndThread>(ended)->WaitFor(), 31u);
  EXPECT_EQ(ended, 3);
}

// ---- message loop ----

struct LoopWindow {
  std::vector<os::UINT> seen;
  os::HWND hwnd = 0;
  explicit LoopWindow(std::function<void(TMessage&)> extra = nullptr) {
    hwnd = AllocateUtilityWindow([this, extra](TMessage& m) {
      seen.push_back(m.Msg);
      if (extra) extra(m);
    });
  }
  ~LoopWindow() { DeallocateUtilityWindow(hwnd); }
};

using test::TRecordingEventLog;

TEST(Threads, MessageLoopDropsDeviceChangesSurvivesDispatchErrorsAndLogsEachDispatch) {
  LogCapture log;
  LoopWindow w([](TMessage& m) {
    if (m.Msg == os::WM_USER + 1) throw Exception("handler failed");
    if (m.Msg == os::WM_USER + 2) throw EAbort("quiet");
  });
  TRecordingEventLog given;
  os::PostMessageA(w.hwnd, os::WM_DEVICECHANGE, 0, 0);
  os::PostMessageA(w.hwnd, os::WM_USER + 1, 0x12, 0x34);
  os::PostMessageA(w.hwnd, os::WM_USER + 2, 0, 0);
  os::PostMessageA(w.hwnd, os::WM_USER + 3, 0, 0);
  os::PostQuitMessage(0);
  RunMessageLoop(kLoopShowExceptions, &given);
  EXPECT_EQ(w.seen, (std::vector<os::UINT>{os::WM_USER + 1, os::WM_USER + 2, os::WM_USER + 3}));
  // Nothing for the dropped device change; "Done" also after a failed dispatch.
  EXPECT_EQ(given.entries, (std::vector<std::string>{"3/-1: Handling message 1025", "4/-1: Done",
                                                     "3/-1: Handling message 1026", "4/-1: Done",
                                                     "3/-1: Handling message 1027", "4/-1: Done"}));
  std::string all = log.All();
  EXPECT_NE(all.find("Message Dispatch Error\r\n    hWnd   = 0x"), std::string::npos);
  EXPECT_NE(
      all.find(
          "    msg    = 0x00000401\r\n    wParam = 0x00000012\r\n    lParam = 0x00000034\r\nhandler failed"),
      std::string::npos);
  EXPECT_EQ(all.find("quiet"), std::string::npos);
  auto boxes = os::TakeShownMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "handler failed");

  // Without a log given, the default event log receives them.
  auto* fallback = new TRecordingEventLog;
  SetDefaultEventLog(fallback);
  os::PostMessageA(w.hwnd, os::WM_USER + 3, 0, 0);
  os::PostQuitMessage(0);
  RunMessageLoop();
  EXPECT_EQ(fallback->entries, (std::vector<std::string>{"3/-1: Handling message 1027", "4/-1: Done"}));
  delete fallback;
  EXPECT_EQ(GetDefaultEventLog(), nullptr);

  // Raised again when asked.
  os::PostMessageA(w.hwnd, os::WM_USER + 1, 0, 0);
  EXPECT_THROW(RunMessageLoop(kLoopRaiseExceptions), Exception);
}

TEST(Threads, UtilityWindowsUseTheirClassAndMethod) {
  // A class of that name with another procedure is registered again.
  os::WNDCLASSA wc;
  wc.lpfnWndProc = [](os::HWND h, os::UINT m, os::WPARAM w, os::LPARAM l) -> os::LRESULT {
    return os::DefWindowProcA(h, m, w, l) + 1000;
  };
  wc.lpszClassName = kUtilityWindowClass;
  os::UnregisterClassA(kUtilityWindowClass, 0);
  ASSERT_TRUE(os::RegisterClassA(wc));

  os::HWND plain = AllocateUtilityWindow();
  ASSERT_NE(plain, 0u);
  EXPECT_EQ(os::GetClassNameA(plain), kUtilityWindowClass);
  EXPECT_EQ(os::GetWindowLongA(plain, os::GWL_EXSTYLE), os::WS_EX_TOOLWINDOW);
  EXPECT_EQ(static_cast<os::DWORD>(os::GetWindowLongA(plain, os::GWL_STYLE)), os::WS_POPUP);
  EXPECT_EQ(os::SendMessageA(plain, os::WM_USER, 0, 0), 0);  // DefWindowProc

  os::HWND served =
      AllocateUtilityWindow([](TMessage& m) { m.Result = static_cast<os::LRESULT>(m.WParam + 1); });
  EXPECT_EQ(os::SendMessageA(served, os::WM_USER, 41, 0), 42);
  DeallocateUtilityWindow(served);
  DeallocateUtilityWindow(plain);
  DeallocateUtilityWindow(0);
  EXPECT_FALSE(os::IsWindow(served));
}

TEST(Threads, PostMessageWithRetryWaitsForRoomAndRaisesOnDeadWindows) {
  os::HWND target = 0;
  std::atomic<bool> ready{false}, drain{false};
  std::atomic<int> received{0};
  std::unique_ptr<TMethodThread> owner;
  TMethodThread::Start(owner, false, [&](TMethodThread&) {
    target = AllocateUtilityWindow([&](TMessage& m) {
      if (m.Msg == os::WM_USER) ++received;
    });
    ready = true;
    while (!drain) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    RunMessageLoop();
    DeallocateUtilityWindow(target);
  });
  while (!ready) std::this_thread::yield();
  int saved = os::PlatformTestHelper::GetPostedMessageQuota();
  os::PlatformTestHelper::SetPostedMessageQuota(2);
  PostMessageWithRetry(target, os::WM_USER, 0, 0);
  PostMessageWithRetry(target, os::WM_USER, 0, 0);
  auto retries = PostRetryCount();
  std::thread unblock([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    drain = true;
  });
  PostMessageWithRetry(target, os::WM_USER, 0, 0);  // full until the owner drains
  unblock.join();
  EXPECT_GT(PostRetryCount(), retries);
  os::PlatformTestHelper::SetPostedMessageQuota(saved);
  PostMessageWithRetry(target, os::WM_QUIT, 0, 0);
  TMethodThread::Dispose(owner);
  EXPECT_EQ(received, 3);
  const std::string error =
      test::CodedMessageOf<EOSError>([&] { PostMessageWithRetry(target, os::WM_USER, 0, 0); });
  EXPECT_TRUE(error.starts_with("Failed to post message 0x0400 to window 0x0") && error.ends_with(" #1400"))
      << error;
}

}  // namespace
}  // namespace vt
