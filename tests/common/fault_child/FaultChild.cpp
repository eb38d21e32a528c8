// Test child that faults, with the log and the exception hooks started.
// Usage: vt_fault_child <mode> [hook <file>]
//   overflow-thread  a thread started by the library recurses without end
//   overflow-main    the main thread recurses without end
//   av <file>        writes the expected second trace entry (the call site
//                    of the faulting routine, hexadecimal) to <file>, then
//                    writes to address 0x10
//   alloc            faults inside an allocation, holding the allocation lock
//   cutlog           writes a warning into a log over its size: the cut's
//                   allocation faults while the log's mutex is held
//   holdlog          writes a warning, takes the log's mutex on this thread,
//                    then faults
//   stuckholder      writes a warning; another thread takes the log's mutex
//                    and keeps it; then this thread faults
//   eventlog-hangs   faults with a default event log that never returns
//   eventlog-faults  faults with a default event log that faults itself
//                    (both with time limits of 300 ms for the handler and
//                    the hook)
// With "hook <file>" as the last arguments, the fatal-fault hook writes
// "hook <code>" to <file> and ends the process with exit code 6.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "common/EventLog.h"
#include "common/ExceptionHooks.h"
#include "common/Locks.h"
#include "common/Logs.h"
#include "common/Units.h"
#include "platform/ExceptionDispatch.h"
#include "platform/TestHooks.h"
#include "platform/ThreadApi.h"

// ---- the allocation seam: an allocation of at least g_fault_size bytes
// faults while the allocation lock is held; any allocation after it waits
// for that lock for ever ----
namespace {
std::atomic<std::size_t> g_fault_size{0};
std::atomic_flag g_alloc_lock = ATOMIC_FLAG_INIT;
volatile std::uintptr_t g_bad_address = 0x10;

void Fault() { *reinterpret_cast<volatile int*>(g_bad_address) = 1; }
}  // namespace

void* operator new(std::size_t n) {
  while (g_alloc_lock.test_and_set(std::memory_order_acquire)) ::sched_yield();
  const std::size_t fault_size = g_fault_size.load();
  if (fault_size && n >= fault_size) Fault();
  void* p = std::malloc(n ? n : 1);
  g_alloc_lock.clear(std::memory_order_release);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

char g_hook_file[4096];

class TBadEventLog : public vt::TEventLog {
 public:
  explicit TBadEventLog(bool hang) : hang_(hang) {}
  void WriteEntry(std::string_view, const vt::FormatArgs&, int, std::uint32_t, std::uint32_t) override {
    if (!hang_) Fault();
    for (;;) ::pause();
  }

 private:
  bool hang_;
};

void Hook(const vt::os::ExceptionRecord& record) noexcept {
  char text[32] = "hook ";
  for (int i = 0; i < 8; ++i) text[5 + i] = "0123456789ABCDEF"[(record.ExceptionCode >> (28 - 4 * i)) & 15];
  const int fd = ::open(g_hook_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    (void)!::write(fd, text, 13);
    ::close(fd);
  }
  ::_exit(6);
}

volatile int g_depth_limit = 0;  // 0: without end

[[gnu::noinline]] int Recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (g_depth_limit && depth >= g_depth_limit) return pad[0];
  return Recurse(depth + 1) + pad[0];
}

vt::os::DWORD RecurseThread(void*) { return static_cast<vt::os::DWORD>(Recurse(0)); }

void* g_return = nullptr;
[[gnu::noinline]] void Faulter(bool fault) {
  g_return = __builtin_return_address(0);
  if (fault) Fault();
}
// Clears the stack below the caller of stale return addresses.
[[gnu::noinline]] void ScrubStack() {
  char area[32768];
  std::memset(area, 0, sizeof area);
  asm volatile("" : : "r"(area) : "memory");
}
[[gnu::noinline]] void Caller(bool fault) {
  Faulter(fault);
  asm volatile("");  // keeps the call a call
}

std::string LogMutex() { return vt::LogMutexName(vt::LogFileName()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  const std::string mode = argv[1];
  if (argc >= 4 && std::strcmp(argv[argc - 2], "hook") == 0) {
    std::snprintf(g_hook_file, sizeof g_hook_file, "%s", argv[argc - 1]);
    vt::os::SetFatalFaultHook(&Hook);
  }
  static const vt::UnitEntry units[] = {vt::kLogsUnit, vt::kExceptionHooksUnit};
  vt::InitializeUnits(units);

  if (mode == "overflow-thread") {
    vt::os::DWORD id = 0;
    vt::os::ThreadHandle t = vt::os::CreateThread(0, &RecurseThread, nullptr, 0, &id);
    if (!t) return 101;
    vt::os::WaitForThread(t, vt::os::kInfinite);
  } else if (mode == "overflow-main") {
    return Recurse(0);
  } else if (mode == "av" && argc > 2) {
    Caller(false);
    if (FILE* f = std::fopen(argv[2], "w")) {
      std::fprintf(f, "%llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(g_return) - 5));
      std::fclose(f);
    }
    ScrubStack();
    Caller(true);
  } else if (mode == "alloc") {
    g_fault_size = 12345;
    char* volatile block = new char[12345];
    delete[] block;
  } else if (mode == "cutlog") {
    g_fault_size = 1 << 20;
    vt::LogWarning("over the size");
  } else if (mode == "holdlog") {
    vt::LogWarning("before");  // the log is open
    vt::TWinMutex mutex(vt::GetEveryoneSecurityAttributes(), LogMutex());
    if (!mutex.Acquire(vt::os::kInfinite, 0)) return 102;
    Fault();
  } else if (mode == "stuckholder") {
    vt::LogWarning("before");
    std::atomic<bool> held{false};
    std::thread([&held] {
      vt::TWinMutex mutex(vt::GetEveryoneSecurityAttributes(), LogMutex());
      if (mutex.Acquire(vt::os::kInfinite, 0)) held = true;
      for (;;) ::pause();
    }).detach();
    while (!held) ::sched_yield();
    Fault();
  } else if (mode == "eventlog-hangs" || mode == "eventlog-faults") {
    vt::os::PlatformTestHelper::SetFaultTimeLimits(300, 300);
    static TBadEventLog log(mode == "eventlog-hangs");
    vt::SetDefaultEventLog(&log);
    Fault();
  } else {
    return 100;
  }
  return 103;  // not reached
}
