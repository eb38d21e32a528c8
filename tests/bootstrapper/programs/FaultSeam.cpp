// The bootstrapper with a fault seam for the tests: VT_TEST_FAULT="kind:phase"
// raises a real processor fault (segv, bus, fpe, ill) in a phase of the run
// (extracting, decoding, running). In the last two the fault strikes on a
// second thread once the tool or the inner setup runs, or, when
// VT_TEST_FAULT_WHEN names a file, once that file exists ("{pid}" in the
// name stands for the program's process id; "name*" for any file whose
// name begins so). The kind "replace"
// is no fault: the program's own file is replaced by a copy, as an update
// of the download would. The kinds "hup", "int" and "term" are no fault
// either: the program sends itself that signal from a second thread
// VT_TEST_FAULT_DELAY_US microseconds after the phase begins. The kind
// "nomem" is an allocation that fails on the main thread as the phase
// begins, with the address space limited to what the program holds then;
// with "nomem-all" every later allocation fails too (neither limits
// anything under the sanitizers, whose runtimes allocate and map memory as
// they go).
#include <signal.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <thread>

#include "bootstrapper/BootstrapTestHooks.h"

#if defined(__SANITIZE_ADDRESS__)
#define VT_SEAM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VT_SEAM_SANITIZED 1
#endif
#endif

#if !defined(VT_SEAM_SANITIZED)
namespace {
std::atomic<bool> g_allocations_fail{false};
}  // namespace

void* operator new(std::size_t size) {
  if (g_allocations_fail.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

std::string g_kind;
std::string g_when;  // the file whose appearance lets the fault strike
long g_delay_us = 0;
vt::TSetupPhase g_phase = vt::TSetupPhase::kExtracting;

[[gnu::noinline]] void Fault() {
  if (g_kind == "segv") {
    volatile std::uintptr_t address = 8;
    *reinterpret_cast<volatile int*>(address) = 1;
  } else if (g_kind == "bus") {
    const int fd = ::memfd_create("empty", 0);  // a mapping past the end of a file
    auto* page = static_cast<volatile char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    (void)page[0];
  } else if (g_kind == "fpe") {
    // The processor's own division, past the compiler and the sanitizers.
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::: "eax", "ecx", "edx", "cc");
#else
    volatile int one = 1, zero = 0;
    volatile int result = one / zero;
    (void)result;
#endif
  } else if (g_kind == "ill") {
    __builtin_trap();
  } else if (g_kind == "replace") {
    namespace fs = std::filesystem;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    fs::copy_file(self, self.string() + ".new");
    fs::rename(self.string() + ".new", self);
  }
}

bool HasChild() {
  std::ifstream in("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  std::string text;
  std::getline(in, text);
  return text.find_first_of("0123456789") != std::string::npos;
}

// The file the sample program reports to (VT_SAMPLE_SETUP_REPORT), read at
// start-up: the child writes it once it runs.
std::string g_report;

// Whether the child has started its work: its report is complete, as the
// tests read it (a busy machine may take long to get it there), or without
// a report, whether there is a child at all.
bool ChildHasStarted() {
  if (g_report.empty()) return HasChild();
  std::ifstream in(g_report);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.find("\npid=") != std::string::npos && text.find("\nexit_code=") != std::string::npos;
}

int SignalOfKind() {
  return g_kind == "hup" ? SIGHUP : g_kind == "int" ? SIGINT : g_kind == "term" ? SIGTERM : 0;
}

// Whether the file VT_TEST_FAULT_WHEN names exists; a name ending in '*'
// stands for any entry of its folder that begins with what comes before.
bool WhenHasCome() {
  if (g_when.back() != '*') return std::filesystem::exists(g_when);
  const std::filesystem::path pattern(g_when);
  const std::string prefix = pattern.filename().string();
  std::error_code ec;
  for (std::filesystem::directory_iterator it(pattern.parent_path(), ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().starts_with(prefix.substr(0, prefix.size() - 1))) return true;
  return false;
}

#if !defined(VT_SEAM_SANITIZED)
// The address space the program holds now, in bytes.
rlim_t AddressSpaceInUse() {
  std::ifstream in("/proc/self/statm");
  rlim_t pages = 0;
  in >> pages;
  return pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}
#endif

[[noreturn]] void FailAllocation() {
#if !defined(VT_SEAM_SANITIZED)
  const rlimit limit{AddressSpaceInUse(), RLIM_INFINITY};
  ::setrlimit(RLIMIT_AS, &limit);
  g_allocations_fail.store(g_kind == "nomem-all");
#endif
  throw std::bad_alloc();
}

void OnPhase(vt::TSetupPhase phase) {
  if (phase != g_phase) return;
  if (g_kind.starts_with("nomem")) FailAllocation();
  if (const int signal = SignalOfKind()) {
    std::thread([signal] {
      if (g_delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(g_delay_us));
      ::kill(::getpid(), signal);
    }).detach();
    return;
  }
  if (phase == vt::TSetupPhase::kExtracting) return Fault();
  std::thread([] {
    if (!g_when.empty()) {
      while (!WhenHasCome()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return Fault();
    }
    // Up to the tests' patience for the child.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(400);
    while (!ChildHasStarted() && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (g_report.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Fault();
  }).detach();
}

const bool g_installed = [] {
  const char* wanted = std::getenv("VT_TEST_FAULT");
  if (!wanted) return false;
  const std::string s = wanted;
  const size_t colon = s.find(':');
  g_kind = s.substr(0, colon);
  if (const char* when = std::getenv("VT_TEST_FAULT_WHEN")) {
    g_when = when;
    if (const size_t at = g_when.find("{pid}"); at != std::string::npos)
      g_when.replace(at, 5, std::to_string(::getpid()));
  }
  if (const char* delay = std::getenv("VT_TEST_FAULT_DELAY_US")) g_delay_us = std::atol(delay);
  if (const char* report = std::getenv("VT_SAMPLE_SETUP_REPORT")) g_report = report;
  const std::string phase = colon == std::string::npos ? "" : s.substr(colon + 1);
  g_phase = phase == "decoding" ? vt::TSetupPhase::kDecoding
            : phase == "running" ? vt::TSetupPhase::kRunning
                                 : vt::TSetupPhase::kExtracting;
  vt::SetupBootstrapTestHelper::SetPhaseHook(&OnPhase);
  return true;
}();

}  // namespace
