#include "common/ThreadPool.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "support/LibraryLogCapture.h"

namespace vt {
namespace {

class ThreadPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeUnits(units_); }
  const UnitEntry units_[1] = {kThreadPoolUnit};
};

// Counts its runs and its frees; an item of a gated batch waits for the gate,
// a failing one throws after its run.
struct Tally {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<int> runs;
  std::set<TThreadPoolThread*> threads;
  int done = 0, freed = 0;
  bool gate_open = true;

  void WaitUntil(const std::function<bool()>& ready) {
    std::unique_lock l(lock);
    changed.wait(l, ready);
  }
};

class TCountedWork : public TThreadPoolWork {
 public:
  TCountedWork(Tally& tally, int index, bool fail = false) : tally_(tally), index_(index), fail_(fail) {}
  ~TCountedWork() override {
    std::lock_guard l(tally_.lock);
    ++tally_.freed;
    tally_.changed.notify_all();
  }

 protected:
  void Execute() override {
    std::unique_lock l(tally_.lock);
    ++tally_.runs[static_cast<std::size_t>(index_)];
    tally_.threads.insert(Thread());
    ++tally_.done;
    tally_.changed.notify_all();
    tally_.changed.wait(l, [this] { return tally_.gate_open; });
    if (fail_) throw Exception("item failed");
  }

 private:
  Tally& tally_;
  int index_;
  bool fail_;
};

TEST_F(ThreadPoolTest, ItemsFromManyThreadsRunExactlyOnceOnTheWorkers) {
  constexpr int kProducers = 4, kPerProducer = 2500, kItems = kProducers * kPerProducer;
  Tally tally;
  tally.runs.assign(kItems, 0);
  {
    TThreadPool pool(4);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i) {
          int index = p * kPerProducer + i;
          pool.AddWork(std::make_unique<TCountedWork>(tally, index), index % kThreadPoolLists);
        }
      });
    for (auto& t : producers) t.join();
    tally.WaitUntil([&] { return tally.freed == kItems; });
    EXPECT_LE(tally.threads.size(), 4u);
    for (TThreadPoolThread* t : tally.threads) EXPECT_NE(t, nullptr);
  }
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(tally.runs[static_cast<std::size_t>(i)], 1) << i;
}

TEST_F(ThreadPoolTest, ShutdownWithWorkPendingRunsNoMoreAndFreesTheRest) {
  constexpr int kItems = 50;
  Tally tally;
  tally.runs.assign(kItems, 0);
  tally.gate_open = false;
  auto pool = std::make_unique<TThreadPool>(2);
  for (int i = 0; i < kItems; ++i) pool->AddWork(std::make_unique<TCountedWork>(tally, i), i % 2);
  // Both workers hold an item at the gate.
  tally.WaitUntil([&] { return tally.done == 2; });
  std::thread stopper([&] { pool->Shutdown(); });
  while (!pool->Terminated()) std::this_thread::yield();
  { std::lock_guard l(tally.lock); tally.gate_open = true; }
  tally.changed.notify_all();
  stopper.join();
  EXPECT_EQ(pool->ThreadCount(), 0);
  EXPECT_EQ(tally.done, 2);
  EXPECT_EQ(pool->WaitingCount(), kItems - 2);
  pool->Shutdown();  // once only
  pool.reset();
  EXPECT_EQ(tally.freed, kItems);
}

TEST_F(ThreadPoolTest, FailingItemsLeaveTheWorkerServingAndIdleWorkersEndOnShutdown) {
  test::LogCapture log;
  Tally tally;
  tally.runs.assign(2, 0);
  TThreadPool pool(1);
  pool.AddWork(std::make_unique<TCountedWork>(tally, 0, true));
  pool.AddWork(std::make_unique<TCountedWork>(tally, 1));
  tally.WaitUntil([&] { return tally.freed == 2; });
  EXPECT_EQ(tally.runs, (std::vector<int>{1, 1}));
  EXPECT_EQ(log.All(), "Thread Error\nitem failed\n");
  pool.Shutdown();
  EXPECT_EQ(pool.ThreadCount(), 0);
}

}  // namespace
}  // namespace vt
