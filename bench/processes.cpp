// Starting a program (RunProcess of /bin/true, waited for) while the process
// holds 0, 100 or 1,000 named events: a start should cost the same whatever
// the process holds. Run with --benchmark_repetitions=N
// --benchmark_enable_random_interleaving=true and compare the medians
// (scripts/bench-processes.sh).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/ProcessRunner.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace {

// The named events held, made or closed to the count each run asks for.
std::vector<vt::os::HANDLE>& Held() {
  static std::vector<vt::os::HANDLE> held;
  return held;
}

bool HoldNamedEvents(std::size_t count) {
  auto& held = Held();
  while (held.size() > count) {
    vt::os::CloseHandle(held.back());
    held.pop_back();
  }
  const std::string prefix = "vt_bench_held_" + std::to_string(vt::os::GetCurrentProcessId()) + "_";
  while (held.size() < count) {
    vt::os::HANDLE h = vt::os::CreateEventA(nullptr, true, false, prefix + std::to_string(held.size()));
    if (!h) return false;
    held.push_back(h);
  }
  return true;
}

void BM_RunProcess(benchmark::State& state) {
  if (!HoldNamedEvents(static_cast<std::size_t>(state.range(0)))) {
    state.SkipWithError("could not make the named events");
    return;
  }
  for (auto _ : state) {
    if (vt::RunProcess("/bin/true", true) != 0) {
      state.SkipWithError("/bin/true failed");
      break;
    }
  }
}
BENCHMARK(BM_RunProcess)->ArgName("names")->Arg(0)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
