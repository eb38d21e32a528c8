// Opening a named event whose holder table keeps 0, 450 or 4,000 other
// live holders (handles of this process; an iteration is one open and its
// close), and a burst: 1,000 programs (vt_sync_helper beside this program)
// wait at a gate, then all open one name at once; the time from the gate's
// set until the last of them holds the name (manual time), with counter
// failed: openers that ended without it. An open should cost the same
// whatever the table holds. Run with --benchmark_repetitions=N
// --benchmark_enable_random_interleaving=true (scripts/bench-names.sh).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"

namespace {

using vt::os::HANDLE;

std::string Prefix() { return "vt_bench_names_" + std::to_string(vt::os::GetCurrentProcessId()) + "_"; }

// The name for a table of RECORDS other holders, made once; 0 when it
// could not be.
HANDLE TableOf(std::size_t records) {
  struct Table {
    std::size_t records;
    std::vector<HANDLE> handles;
  };
  static std::vector<Table> tables;
  for (const Table& t : tables)
    if (t.records == records) return t.handles.empty() ? 0 : t.handles.front();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  Table t{records, {}};
  const std::string name = Prefix() + std::to_string(records);
  HANDLE first = vt::os::CreateEventA(nullptr, true, false, name);
  if (first) t.handles.push_back(first);
  while (first && t.handles.size() < records + 1) {
    HANDLE h = vt::os::OpenEventA(name);
    if (!h) break;
    t.handles.push_back(h);
  }
  if (t.handles.size() < records + 1) t.handles.clear();
  tables.push_back(std::move(t));
  return tables.back().handles.empty() ? 0 : tables.back().handles.front();
}

void BM_OpenBeside(benchmark::State& state) {
  const auto records = static_cast<std::size_t>(state.range(0));
  if (!TableOf(records)) {
    state.SkipWithError("could not fill the table");
    return;
  }
  const std::string name = Prefix() + std::to_string(records);
  for (auto _ : state) {
    HANDLE h = vt::os::OpenEventA(name);
    if (!h) {
      state.SkipWithError("the open failed");
      break;
    }
    vt::os::CloseHandle(h);
  }
}
BENCHMARK(BM_OpenBeside)
    ->ArgName("records")
    ->Arg(0)
    ->Arg(450)
    ->Arg(4000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

std::string HelperProgram() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  return self.substr(0, self.rfind('/') + 1) + "vt_sync_helper";
}

// The thread asleep in a futex call.
bool AsleepInFutex(vt::os::DWORD pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  return static_cast<bool>(in >> number) && (number == SYS_futex || number == SYS_futex_waitv);
}

void BM_BurstOfOpens(benchmark::State& state) {
  const int openers = static_cast<int>(state.range(0));
  const std::string helper = HelperProgram();
  double failed = 0;
  for (auto _ : state) {
    const std::string name = Prefix() + "burst";
    HANDLE event = vt::os::CreateEventA(nullptr, true, false, name);
    HANDLE gate = vt::os::CreateEventA(nullptr, true, false, name + "_gate");
    std::vector<vt::os::ProcessInformation> infos;
    for (int i = 0; event && gate && i < openers; ++i) {
      vt::os::StartupInfo si;
      vt::os::ProcessInformation pi;
      if (!vt::os::CreateProcess({}, helper + " open-after " + name + "_gate " + name, false, 0, nullptr, {}, si,
                                 &pi))
        break;
      infos.push_back(pi);
    }
    if (static_cast<int>(infos.size()) < openers) {
      state.SkipWithError("could not start the openers");
      break;
    }
    // Each waits at the gate.
    for (auto& pi : infos) {
      while (!AsleepInFutex(pi.process_id)) ::usleep(1000);
    }
    const auto start = std::chrono::steady_clock::now();
    vt::os::SetEvent(gate);
    int ended = 0;
    for (int poll = 0;; ++poll) {
      const int held = vt::os::PlatformTestHelper::NameHolderRecords(event) - 1;
      if (held >= openers) break;
      if (poll % 100 == 0) {
        ended = 0;
        for (auto& pi : infos) ended += vt::os::WaitForProcess(pi.process, 0) == vt::os::kWaitObject0;
        if (held + ended >= openers) break;
      }
      ::usleep(200);
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    vt::os::SetEvent(event);
    for (auto& pi : infos) {
      vt::os::DWORD code = 1;
      vt::os::WaitForProcess(pi.process, vt::os::kInfinite);
      if (!vt::os::GetExitCodeProcess(pi.process, &code) || code != 0) ++failed;
      vt::os::CloseHandle(pi.process);
      vt::os::CloseHandle(pi.thread);
    }
    vt::os::CloseHandle(event);
    vt::os::CloseHandle(gate);
  }
  state.counters["failed"] = failed / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BurstOfOpens)
    ->ArgName("openers")
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
