// The CPU a notify loop with a 10 ms clock costs, against a yardstick: a
// thread that sleeps 10 ms as often (the least any 10 ms ticker can cost).
// One iteration is 20 ticks on a fresh thread; the time is the process's
// CPU time. Counter passes_per_tick: loop passes (an external item is served
// on each) per clock tick. Run with --benchmark_repetitions=N
// --benchmark_enable_random_interleaving=true and compare the medians.
#include <benchmark/benchmark.h>

#include <thread>

#include "common/NotifyQueue.h"
#include "platform/Sync.h"

namespace {

constexpr int kTicks = 20;
constexpr std::uint32_t kIntervalMs = 10;

class TSource : public vt::TObject {};

void BM_NotifyLoop_Clock10ms(benchmark::State& state) {
  double passes = 0, ticks = 0;
  for (auto _ : state) {
    std::thread([&] {
      vt::TNotifyQueue queue;
      queue.AttachToThread();
      TSource source;
      int tick_count = 0;
      queue.AddExternal(&source, [&](vt::TNotifyQueueItem&) { ++passes; });
      auto clock = vt::CreateClock(kIntervalMs, true, [&](vt::TClock&) {
        if (++tick_count == kTicks) queue.StopNotifyLoop();
      });
      queue.RunNotifyLoop();
      queue.RemoveExternal(&source);
      ticks += tick_count;
    }).join();
  }
  state.counters["passes_per_tick"] = passes / ticks;
}
BENCHMARK(BM_NotifyLoop_Clock10ms)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_Sleep10ms_Yardstick(benchmark::State& state) {
  for (auto _ : state) {
    std::thread([] {
      for (int i = 0; i < kTicks; ++i) vt::os::Sleep(kIntervalMs);
    }).join();
  }
}
BENCHMARK(BM_Sleep10ms_Yardstick)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

}  // namespace
