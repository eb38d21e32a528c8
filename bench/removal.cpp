// Removal of a folder tree (RemoveTreeNoFollow, the walk a setup's clean-up
// and sweep use) beside `rm -rf` of the same tree: chains of 1,000 and
// 10,000 nested folders (each holding one file, as an unpacked setup's
// folders do) and a wide tree of 100 folders of 100 folders, each of those
// holding one file. Each iteration builds the tree and writes it out
// (sync) untimed, then removes it.
// The time is the wall time of the removal; counter cpu_ms is the processor
// time it took (user and system, of this process or of rm's), which other
// work on a shared disk disturbs less. Trees are made in $BENCH_DIR, else
// $TMPDIR, else /tmp. Compare medians with scripts/bench-removal.sh
// (interleaved repetitions).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/PrivateFolder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

enum Shape { kChain1000, kChain10000, kWide };

const fs::path& Root() {
  static const fs::path root = [] {
    const char* base = std::getenv("BENCH_DIR");
    if (!base || !*base) base = std::getenv("TMPDIR");
    fs::path dir = fs::path(base && *base ? base : "/tmp") / ("vt_bench_removal_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
  }();
  return root;
}

void AddFile(int dir) { ::close(::openat(dir, "file.txt", O_CREAT | O_WRONLY | O_CLOEXEC, 0600)); }

// Makes name in the folder open as at and returns it open.
int MakeFolder(int at, const char* name) {
  if (::mkdirat(at, name, 0700) != 0) std::abort();
  const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) std::abort();
  return fd;
}

// Builds the tree at Root()/name, every step relative to a descriptor (the
// chains pass the longest path the system takes).
void Build(Shape shape, const std::string& name) {
  const int root = ::open(Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int top = MakeFolder(root, name.c_str());
  ::close(root);
  if (shape == kWide) {
    for (int i = 0; i < 100; ++i) {
      const int a = MakeFolder(top, std::to_string(i).c_str());
      for (int j = 0; j < 100; ++j) {
        const int b = MakeFolder(a, std::to_string(j).c_str());
        AddFile(b);
        ::close(b);
      }
      ::close(a);
    }
    ::close(top);
    return;
  }
  int cur = top;
  for (int i = shape == kChain1000 ? 1000 : 10000; i > 0; --i) {
    AddFile(cur);
    const int next = MakeFolder(cur, "d");
    ::close(cur);
    cur = next;
  }
  ::close(cur);
}

double CpuMs(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Builds the tree, then times remove(path) in wall time and in the processor
// time of who (RUSAGE_SELF or RUSAGE_CHILDREN).
template <typename Remove>
void Measure(benchmark::State& state, const char* name, int who, Remove remove) {
  const auto shape = static_cast<Shape>(state.range(0));
  const std::string path = (Root() / name).string();
  double cpu = 0;
  for (auto _ : state) {
    Build(shape, name);
    ::sync();  // the removal does not wait for the build's writes
    const double cpu_start = CpuMs(who);
    const auto start = std::chrono::steady_clock::now();
    if (!remove(path)) state.SkipWithError("the tree stayed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    cpu += CpuMs(who) - cpu_start;
  }
  state.counters["cpu_ms"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void RemoveTree(benchmark::State& state) {
  Measure(state, "ours", RUSAGE_SELF, [](const std::string& path) { return vt::os::RemoveTreeNoFollow(path); });
}

void RmRf(benchmark::State& state) {
  Measure(state, "rm", RUSAGE_CHILDREN, [](const std::string& path) {
    char* argv[] = {const_cast<char*>("rm"), const_cast<char*>("-rf"), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    int status = -1;
    return ::posix_spawnp(&pid, "rm", nullptr, nullptr, argv, environ) == 0 && ::waitpid(pid, &status, 0) == pid &&
           status == 0;
  });
}

void Shapes(benchmark::internal::Benchmark* b) {
  b->ArgName("shape")->Arg(kChain1000)->Arg(kChain10000)->Arg(kWide);
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(RemoveTree)->Apply(Shapes);
BENCHMARK(RmRf)->Apply(Shapes);

// The trees' folder, empty by then, goes when the program ends.
struct RootCleanup {
  ~RootCleanup() {
    std::error_code ec;
    fs::remove(Root(), ec);
  }
} g_root_cleanup;

}  // namespace
