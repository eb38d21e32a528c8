#include "common/NotifyQueue.h"

#include <atomic>
#include <memory>
#include <thread>

#include "support/LibraryLogCapture.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

using test::LogCapture;
using test::MessageOf;

class TSource : public TObject {};
class TPayload : public TObject {};

// Runs body on a fresh thread and waits for it.
void OnThread(const std::function<void()>& body) {
  std::unique_ptr<TMethodThread> t;
  TMethodThread::Start(t, false, [&](TMethodThread&) { body(); });
  TMethodThread::Dispose(t);
}

// Runs body on a fresh thread that owns a queue; in window mode (1), then
// the thread's message loop until quit.
void OnQueueThread(const std::function<void(TNotifyQueue&)>& body, const std::function<void()>& after = nullptr,
                   int mode = 1) {
  OnThread([&] {
    TNotifyQueue queue;
    queue.AttachToThread();
    if (mode == 1) queue.SetMode(1);
    body(queue);
    if (mode == 1) RunMessageLoop();
    if (after) after();
  });
}
void OnLoopModeThread(const std::function<void(TNotifyQueue&)>& body) { OnQueueThread(body, nullptr, 0); }

TEST(NotifyQueue, NotificationsRunOnTheOwnerInPriorityOrder) {
  TSource source;
  std::vector<std::string> order;
  std::atomic<std::uint32_t> ran_on{0};
  std::uint32_t owner = 0;
  OnQueueThread([&](TNotifyQueue& q) {
    owner = os::GetCurrentThreadId();
    std::thread poster([&] {
      for (const auto& [p, name] : {std::pair{npLow, "low1"}, {npNormal, "normal"}, {npHigh, "high"}, {npLow, "low2"}})
        q.Post(p, &source, [&, name = std::string(name)](TNotifyQueueItem&) {
          order.push_back(name);
          ran_on = os::GetCurrentThreadId();
          if (name == "low2") os::PostQuitMessage(0);
        }, nullptr, name);
    });
    poster.join();
  });
  EXPECT_EQ(order, (std::vector<std::string>{"high", "normal", "low1", "low2"}));
  EXPECT_EQ(ran_on, owner);
}

TEST(NotifyQueue, HighPostedDuringLowProcessingGoesBeforeWaitingLows) {
  TSource source;
  std::vector<std::string> order;
  OnQueueThread([&](TNotifyQueue& q) {
    q.Post(npLow, &source, [&](TNotifyQueueItem&) {
      order.push_back("low1");
      // Arrives while the low pass runs: its own pass comes first.
      q.Post(npHigh, &source, [&](TNotifyQueueItem&) { order.push_back("high"); });
      q.Post(npLow, &source, [&](TNotifyQueueItem&) { order.push_back("low3"); os::PostQuitMessage(0); });
    });
    q.Post(npLow, &source, [&](TNotifyQueueItem&) { order.push_back("low2"); });
    q.Post(npLow, nullptr, [&](TNotifyQueueItem&) { order.push_back("no source"); });
  });
  EXPECT_EQ(order, (std::vector<std::string>{"low1", "low2", "high", "low3"}));
}

TEST(NotifyQueue, LostWakeMessagesAndDispatchFailuresAreReportedAndDeliveryGoesOn) {
  LogCapture log;
  TSource source;
  std::vector<int> got;
  std::string reported;
  OnQueueThread([&](TNotifyQueue& q) {
    q.OnNotifyError = [&](const std::string& text) { reported = text; };
    q.Post(npNormal, &source, [&](TNotifyQueueItem&) {
      got.push_back(1);
      // The next wake-up carries sequence 2 while 1 was never seen: the timer makes it up.
      q.Post(npNormal, &source, [](TNotifyQueueItem&) { throw Exception("it broke"); });
      q.Post(npNormal, &source, [&](TNotifyQueueItem&) {
        got.push_back(2);
        os::PostQuitMessage(0);
      });
    });
    os::MSG m;
    ASSERT_TRUE(os::PeekMessageA(&m, q.Window(), os::WM_USER, os::WM_USER, os::PM_REMOVE));  // lost
  });
  EXPECT_EQ(got, (std::vector<int>{1, 2}));
  EXPECT_NE(log.All().find("Notify Queue Warning: 1 posted message(s) has been lost."), std::string::npos);
  EXPECT_EQ(reported, "Failed to notify object at " + HexAddress(reinterpret_cast<std::uintptr_t>(&source)) +
                          ", class is TSource\r\nit broke");
  EXPECT_NE(log.All().find(reported), std::string::npos);
}

TEST(NotifyQueue, ShutdownReportNamesUndeliveredDataWithoutTouchingIt) {
  LogCapture log;
  TSource source;
  {
    TNotifyQueue q;  // never attached: nothing is processed
    auto* data = new TPayload;
    q.Post(npHigh, &source, [](TNotifyQueueItem&) {}, data);
    q.Post(npHigh, &source, [](TNotifyQueueItem&) {}, nullptr);
    delete data;  // freed before the report
  }
  std::string all = log.All();
  EXPECT_NE(all.find("Notify Queue Warning\nShutting down with 2 undelivered notifications in Primary Queue (High).\n"
                     "  TPayload\n  \n"),
            std::string::npos)
      << all;
}

TEST(NotifyQueue, ThreadAndModeChecks) {
  TNotifyQueue q;
  EXPECT_EQ(MessageOf([&] { q.CheckThread("Process queue"); }),
            "Notify queue operation cannot be performed before a thread is attached: Process queue");
  OnThread([&] { q.AttachToThread(); });
  EXPECT_EQ(MessageOf([&] { q.SetMode(1); }),
            "Notify queue operation can be performed from main thread only: Set mode");
  EXPECT_THROW(CreateClock(10, true, [](TClock&) {}), EAssertionFailed);  // this thread has no queue

  // The mode cannot change after clocks or posts.
  OnLoopModeThread([](TNotifyQueue& q) {
    auto clock = CreateClock(10, true, [](TClock&) {});
    EXPECT_EQ(MessageOf([&] { q.SetMode(1); }),
              "Notify queue: Cannot set mode after timers have been created");
    clock.reset();
    TSource source;
    q.Post(npLow, &source, [](TNotifyQueueItem&) {});
    EXPECT_EQ(MessageOf([&] { q.SetMode(1); }),
              "Notify queue: Cannot set mode after messages have been posted");
  });
}

TEST(NotifyQueue, WindowsClockTicksOnTheOwnerAndHasNoTimerWithoutSettings) {
  int ticks = 0;
  std::unique_ptr<TClock> clock;
  OnQueueThread(
      [&](TNotifyQueue& q) {
        auto idle = CreateClock(0, true, [](TClock&) {});
        q.SetMode(1);  // the current mode: nothing happens, even with clocks
        ASSERT_NE(dynamic_cast<TWindowsClock*>(idle.get()), nullptr);
        EXPECT_FALSE(os::KillTimer(static_cast<TWindowsClock*>(idle.get())->Window(), 1));
        auto no_tick = CreateClock(10, true, nullptr);
        EXPECT_FALSE(os::KillTimer(static_cast<TWindowsClock*>(no_tick.get())->Window(), 1));
        clock = CreateClock(10, true, [&](TClock& c) {
          if (++ticks == 3) c.SetEnabled(false), os::PostQuitMessage(0);
        });
      },
      [&] { clock.reset(); });
  EXPECT_EQ(ticks, 3);
}

TEST(NotifyQueue, ExternalItemsRunInOrderOnEveryPassUntilRemoved) {
  TSource a, b;
  std::string calls;
  OnLoopModeThread([&](TNotifyQueue& q) {
    q.AddExternal(&a, [&](TNotifyQueueItem&) { calls += "a"; });
    q.AddExternal(&b, [&](TNotifyQueueItem&) { calls += "b"; });
    q.ProcessExternal();
    q.ProcessExternal();
    q.RemoveExternal(&a);
    q.ProcessExternal();
    EXPECT_EQ(q.ExternalCount(), 1u);
    EXPECT_EQ(MessageOf([&] { q.SetMode(1); }), "Notify queue: Cannot set mode after external event has been created");
    std::thread other([&] {
      EXPECT_EQ(MessageOf([&] { q.ProcessExternal(); }),
                "Notify queue operation can be performed from main thread only: Process external queue");
    });
    other.join();
  });
  EXPECT_EQ(calls, "ababb");

  // In window mode each wake-up serves the external items before the queues.
  calls.clear();
  OnQueueThread([&](TNotifyQueue& q) {
    q.AddExternal(&a, [&](TNotifyQueueItem&) { calls += "x"; });
    q.Post(npHigh, &b, [&](TNotifyQueueItem&) { calls += "q"; os::PostQuitMessage(0); });
  });
  EXPECT_EQ(calls.substr(0, 2), "xq");
}

TEST(NotifyQueue, NotifyClockKeepsOneTimerInTheLoopModeList) {
  OnLoopModeThread([](TNotifyQueue& q) {
    auto clock = CreateClock(100, true, [](TClock&) {});
    ASSERT_NE(dynamic_cast<TNotifyClock*>(clock.get()), nullptr);
    EXPECT_EQ(q.TimerCount(), 1u);
    const std::uint32_t due = q.TimerDue(clock.get());
    EXPECT_LE(due - os::GetTickCount(), 100u);
    os::Sleep(20);
    clock->Restart();  // enabled: the timer is due one interval from now
    EXPECT_GT(static_cast<std::int32_t>(q.TimerDue(clock.get()) - due), 0);
    clock->SetEnabled(false);
    EXPECT_EQ(q.TimerCount(), 0u);
    clock->Restart();  // disabled: enables
    EXPECT_EQ(q.TimerCount(), 1u);
    clock->SetInterval(0);
    EXPECT_EQ(q.TimerCount(), 0u);
    clock->SetInterval(50);
    auto second = CreateClock(70, true, [](TClock&) {});
    EXPECT_EQ(q.TimerCount(), 2u);
    second.reset();
    clock.reset();
    EXPECT_EQ(q.TimerCount(), 0u);
  });
  OnQueueThread([](TNotifyQueue& q) {
    int key = 0;
    EXPECT_EQ(MessageOf([&] { q.AddTimer(10, &key, [] {}); }), "Notify loop must be enabled before adding timer");
    EXPECT_EQ(MessageOf([&] { q.RemoveTimer(&key); }), "Notify loop must be enabled before removing timer");
    EXPECT_EQ(MessageOf([&] { q.ResetTimer(&key); }), "Notify loop must be enabled before removing timer");
    std::thread other([&] {
      EXPECT_EQ(MessageOf([&] { q.AddTimer(10, &key, [] {}); }),
                "Notify queue operation can be performed from main thread only: Add timer");
    });
    other.join();
    os::PostQuitMessage(0);
  });
}

// ---- The notify loop (mode 0) ----------------------------------------------

// The lists' records own their callbacks: each goes with its record (run,
// purged, removed, shut down) and a freed timer entry is reused.
TEST(NotifyQueue, RecordsOwnTheirCallbacks) {
  auto token = std::make_shared<int>(0);
  OnLoopModeThread([&](TNotifyQueue& q) {
    TSource source, other;
    int key = 0;
    q.Post(npLow, &source, [token](TNotifyQueueItem&) {});
    q.Post(npHigh, &source, [token](TNotifyQueueItem&) {});
    q.AddExternal(&other, [token](TNotifyQueueItem&) {});
    q.AddTimer(100000, &key, [token] {});
    q.AddTimer(100000, &q, [token] {});
    EXPECT_EQ(token.use_count(), 6);
    q.RemoveTimer(&key);
    q.AddTimer(100000, &key, [] {});  // in the freed entry
    EXPECT_EQ(q.TimerCount(), 2u);
    EXPECT_EQ(token.use_count(), 5);
    q.RemoveExternal(&other);
    q.ProcessExternal();
    EXPECT_EQ(q.ExternalCount(), 0u);
    q.ProcessQueue(npHigh);
    EXPECT_EQ(token.use_count(), 3);  // the low one and a timer are left
  });
  EXPECT_EQ(token.use_count(), 1);
}

TEST(NotifyLoop, ClockTicksOnTheOwnerAtItsInterval) {
  std::vector<std::uint32_t> ticks;
  std::uint32_t owner = 0, created = 0;
  bool all_on_owner = true;
  OnLoopModeThread([&](TNotifyQueue& q) {
    owner = os::GetCurrentThreadId();
    created = os::GetTickCount();
    auto clock = CreateClock(20, true, [&](TClock&) {
      ticks.push_back(os::GetTickCount());
      all_on_owner = all_on_owner && os::GetCurrentThreadId() == owner;
      if (ticks.size() == 3) q.StopNotifyLoop();
    });
    q.RunNotifyLoop();
    EXPECT_EQ(q.TimerCount(), 1u);  // re-armed after each tick
  });
  ASSERT_EQ(ticks.size(), 3u);
  EXPECT_TRUE(all_on_owner);
  // Never before the interval has passed. Each tick is re-armed from the
  // moment it fired, read a little before the callback reads the clock, and
  // the clock counts whole milliseconds: one of slack.
  EXPECT_GE(ticks[0] - created, 20u);
  EXPECT_GE(ticks[1] - ticks[0], 19u);
  EXPECT_GE(ticks[2] - ticks[1], 19u);
}

// Timed waits never end early, so the loop does not spin before a tick: an
// external item, served on every pass, counts the passes.
TEST(NotifyLoop, MakesOnePassPerClockTick) {
  TSource source;
  int passes = 0, ticks = 0;
  OnLoopModeThread([&](TNotifyQueue& q) {
    q.AddExternal(&source, [&](TNotifyQueueItem&) { ++passes; });
    auto clock = CreateClock(5, true, [&](TClock&) {
      if (++ticks == 10) q.StopNotifyLoop();
    });
    q.RunNotifyLoop();
    q.RemoveExternal(&source);
  });
  EXPECT_EQ(ticks, 10);
  EXPECT_LE(passes, ticks + 1);  // the clock's own wake-up adds one
}

TEST(NotifyLoop, PostsFromAnotherThreadRunOnTheOwnerInPriorityOrder) {
  TSource source;
  std::vector<std::string> order;
  std::uint32_t owner = 0;
  bool all_on_owner = true;
  OnLoopModeThread([&](TNotifyQueue& q) {
    owner = os::GetCurrentThreadId();
    auto note = [&](std::string name) {
      return [&, name](TNotifyQueueItem&) {
        order.push_back(name);
        all_on_owner = all_on_owner && os::GetCurrentThreadId() == owner;
      };
    };
    std::thread poster([&] {
      for (const auto& [p, name] : {std::pair{npLow, "low1"}, {npNormal, "normal"}, {npHigh, "high"}, {npLow, "low2"}})
        q.Post(p, &source, note(name));
    });
    poster.join();
    // And one while the loop waits, which ends it.
    std::thread late([&] {
      os::Sleep(20);
      q.Post(npNormal, &source, [&](TNotifyQueueItem& item) {
        note("late")(item);
        q.StopNotifyLoop();
      });
    });
    q.RunNotifyLoop();
    late.join();
  });
  EXPECT_EQ(order, (std::vector<std::string>{"high", "normal", "low1", "low2", "late"}));
  EXPECT_TRUE(all_on_owner);
}

TEST(NotifyLoop, PostsReachTheMainQueueFromAnyThreadWhileTheUnitLives) {
  TSource source;
  std::string got;
  OnThread([&] {
    SetConsoleProgram(true);
    const UnitEntry units[] = {kNotifyQueueUnit};
    InitializeUnits(units);
    SetConsoleProgram(false);
    TNotifyQueue* q = CurrentNotifyQueue();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->Mode(), 0);
    std::thread poster([&] {
      EXPECT_TRUE(PostNotification(npLow, &source, [&](TNotifyQueueItem& item) {
        got += item.Name + (item.Data == &source ? "+data" : "");
        q->StopNotifyLoop();
      }, &source, "named"));
    });
    poster.join();
    q->RunNotifyLoop();
    FinalizeUnits();
  });
  EXPECT_EQ(got, "named+data");
  EXPECT_FALSE(PostNotification(npLow, &source, [](TNotifyQueueItem&) {}));
}

TEST(NotifyLoop, TimerRemovedWhileTheLoopWaitsDoesNotFire) {
  int removed_ticks = 0;
  OnLoopModeThread([&](TNotifyQueue& q) {
    TSource source;
    auto removed = CreateClock(200, true, [&](TClock&) { ++removed_ticks; });
    auto stopper = CreateClock(250, true, [&](TClock&) { q.StopNotifyLoop(); });
    // The loop is waiting for the first clock when this arrives.
    std::thread other([&] {
      os::Sleep(10);
      q.Post(npNormal, &source, [&](TNotifyQueueItem&) { removed->SetEnabled(false); });
    });
    q.RunNotifyLoop();
    other.join();
  });
  EXPECT_EQ(removed_ticks, 0);
}

// A clock destroyed on another thread, also while its tick runs: nothing
// of it fires afterwards (run under the address sanitizer, a tick of the
// freed clock is reported).
TEST(NotifyLoop, ClockDestroyedFromAnotherThreadLeavesNothingThatFires) {
  std::atomic<int> ticks{0}, after{-1};
  OnLoopModeThread([&](TNotifyQueue& q) {
    auto clock = CreateClock(1, true, [&](TClock&) {
      ++ticks;
      os::Sleep(1);
    });
    auto stopper = CreateClock(100, true, [&](TClock&) { q.StopNotifyLoop(); });
    std::thread other([&] {
      while (ticks < 3) os::Sleep(1);
      clock.reset();
      after = ticks.load();
      EXPECT_EQ(q.TimerCount(), 1u);  // the stopper only
    });
    q.RunNotifyLoop();
    other.join();
  });
  ASSERT_GE(after, 3);
  EXPECT_EQ(ticks, after);

  // Destroyed elsewhere before any loop runs: its timer goes with it.
  OnLoopModeThread([&](TNotifyQueue& q) {
    auto clock = CreateClock(1, true, [&](TClock&) { ++ticks; });
    std::thread([&] { clock.reset(); }).join();
    EXPECT_EQ(q.TimerCount(), 0u);
  });

  // Its queue ended first (with its thread): the clock ends without
  // reaching the queue (under the address sanitizer, a use of the freed
  // queue is reported).
  std::unique_ptr<TClock> orphan;
  OnLoopModeThread([&](TNotifyQueue&) { orphan = CreateClock(1, true, [&](TClock&) { ++ticks; }); });
  orphan.reset();
}

// With nothing posted and no timers, external items are still served,
// once a second as in window mode.
TEST(NotifyLoop, ServesExternalItemsWithoutWakeUps) {
  TSource source;
  int calls = 0;
  OnLoopModeThread([&](TNotifyQueue& q) {
    q.AddExternal(&source, [&](TNotifyQueueItem&) {
      ++calls;
      q.StopNotifyLoop();
    });
    q.RunNotifyLoop();
  });
  EXPECT_EQ(calls, 1);
}

TEST(NotifyLoop, EndsWhenAskedOrTerminatingAndOnlyInLoopMode) {
  OnLoopModeThread([](TNotifyQueue& q) {
    q.StopNotifyLoop();  // asked before it runs: it ends at once
    q.RunNotifyLoop();
    std::thread other([&] {
      EXPECT_EQ(MessageOf([&] { q.RunNotifyLoop(); }),
                "Notify queue operation can be performed from main thread only: Notify loop");
      os::Sleep(20);
      q.Shutdown();
    });
    q.RunNotifyLoop();  // ends with the shutdown
    other.join();
  });
  OnQueueThread([](TNotifyQueue& q) {
    EXPECT_EQ(MessageOf([&] { q.RunNotifyLoop(); }), "Notify loop must be enabled before running it");
    os::PostQuitMessage(0);
  });
}

TEST(NotifyQueue, UnitAttachesAWindowModeQueueToTheInitializingThread) {
  OnThread([] {
    const UnitEntry units[] = {kNotifyQueueUnit};
    InitializeUnits(units);
    ASSERT_NE(CurrentNotifyQueue(), nullptr);
    EXPECT_EQ(CurrentNotifyQueue()->Mode(), 1);
    EXPECT_EQ(CurrentNotifyQueue()->OwnerThreadId(), os::GetCurrentThreadId());
    FinalizeUnits();
    EXPECT_EQ(CurrentNotifyQueue(), nullptr);
  });
}

}  // namespace
}  // namespace vt
