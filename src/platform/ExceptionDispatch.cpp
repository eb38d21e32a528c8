#include "platform/ExceptionDispatch.h"

#include <dlfcn.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cxxabi.h>
#include <mutex>
#include <utility>

#include "platform/Environment.h"
#include "platform/FaultSupport.h"
#include "platform/ForkLocks.h"
#include "platform/Modules.h"
#include "platform/Process.h"
#include "platform/TestHooks.h"

namespace vt::os {

std::mutex& detail::FaultHandlersLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

std::atomic<RaiseObserver> g_raise_observer{nullptr};
std::atomic<CatchObserver> g_catch_observer{nullptr};
std::atomic<FaultObserver> g_fault_observer{nullptr};
std::atomic<FatalFaultHook> g_fatal_fault_hook{nullptr};

// Raise addresses of the last objects thrown by this thread, to tell a
// handler where its exception came from.
struct RaiseSite {
  void* object;
  const void* address;
};
constexpr int kRaiseSites = 16;
thread_local RaiseSite t_sites[kRaiseSites];
thread_local int t_next_site = 0;

void NoteRaiseSite(void* object, const void* address) {
  for (RaiseSite& s : t_sites)
    if (s.object == object) {
      s.address = address;
      return;
    }
  t_sites[t_next_site] = {object, address};
  t_next_site = (t_next_site + 1) % kRaiseSites;
}

const void* RaiseSiteOf(void* object) {
  if (!object) return nullptr;
  for (const RaiseSite& s : t_sites)
    if (s.object == object) return s.address;
  return nullptr;
}

// The runtime's own entry routines, found behind ours.
using ThrowFn = void (*)(void*, std::type_info*, void (*)(void*));
using BeginCatchFn = void* (*)(void*);

template <typename Fn>
Fn NextSymbol(const char* name) {
  void* p = ::dlsym(RTLD_NEXT, name);
  if (!p) ::abort();  // no runtime to forward to
  return reinterpret_cast<Fn>(p);
}

ThrowFn RuntimeThrow() {
  static const ThrowFn fn = NextSymbol<ThrowFn>("__cxa_throw");
  return fn;
}

BeginCatchFn RuntimeBeginCatch() {
  static const BeginCatchFn fn = NextSymbol<BeginCatchFn>("__cxa_begin_catch");
  return fn;
}

// Exceptions of this runtime carry the class "GNUCC++" + a kind byte: 0 for
// a thrown object (which follows the unwind header), 1 for a rethrown
// exception_ptr (whose object lies elsewhere).
constexpr std::uint64_t kNativeClass = 0x474e5543432b2b00ULL;

// ---- processor faults ----

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[sizeof(kFaultSignals) / sizeof(kFaultSignals[0])];
bool g_faults_installed = false;

// The time the observer gets, then the hook; when it runs out (or the
// handler faults itself) the process ends at once, the hook called first
// when it has not run.
std::atomic<long> g_observer_time_limit_ms{5000};
std::atomic<long> g_hook_time_limit_ms{60000};
// A fault this close above the low end of the stack, with the fault address
// in the guard area below it, is the stack's overflow.
constexpr std::uintptr_t kOverflowReach = 64 * 1024;

struct FaultThreadState {
  int depth = 0;  // fault handlers running on this thread
  int first_signal = 0;
  bool hook_due = false;  // the first entry was a processor fault
  bool hook_called = false;
  int timer = -1;  // the watchdog's kernel timer id
  ExceptionRecord record;
};
thread_local FaultThreadState t_fault;

// The watchdog sends the fault's signal to this thread when the time is up.
void ArmWatchdog(int sig, long limit_ms) {
  FaultThreadState& f = t_fault;
  if (f.timer < 0) {
    struct sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = sig;
    event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
    int id = -1;
    if (::syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &id) != 0) return;
    f.timer = id;
  }
  struct itimerspec due = {};
  due.it_value.tv_sec = limit_ms / 1000;
  due.it_value.tv_nsec = limit_ms % 1000 * 1000000L;
  ::syscall(SYS_timer_settime, f.timer, 0, &due, nullptr);
}

void DropWatchdog() {
  if (t_fault.timer >= 0) ::syscall(SYS_timer_delete, t_fault.timer);
  t_fault.timer = -1;
}

[[noreturn]] void EndNow(int sig) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::syscall(SYS_tgkill, ::getpid(), ::syscall(SYS_gettid), sig);
  ::_exit(128 + sig);
}

void CallHook() {
  FaultThreadState& f = t_fault;
  if (!f.hook_due || f.hook_called) return;
  f.hook_called = true;
  ArmWatchdog(f.first_signal, g_hook_time_limit_ms.load());
  if (FatalFaultHook hook = g_fatal_fault_hook.load()) hook(f.record);
}

std::uint32_t FaultCode(int sig, int code) {
  switch (sig) {
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV: return kStatusIntegerDivideByZero;
        case FPE_INTOVF: return kStatusIntegerOverflow;
        case FPE_FLTDIV: return kStatusFloatDivideByZero;
        case FPE_FLTOVF: return kStatusFloatOverflow;
        case FPE_FLTUND: return kStatusFloatUnderflow;
        case FPE_FLTRES: return kStatusFloatInexactResult;
        case FPE_FLTSUB: return kStatusArrayBoundsExceeded;
        default: return kStatusFloatInvalidOperation;
      }
    case SIGILL:
      return (code == ILL_PRVOPC || code == ILL_PRVREG) ? kStatusPrivilegedInstruction : kStatusIllegalInstruction;
    default:
      return kStatusAccessViolation;
  }
}

bool IsStackOverflow(std::uintptr_t address, std::uintptr_t sp) {
  StackBounds b;
  return GetThreadStackBounds(&b) && address >= b.GuardLow && address < b.Low && sp < b.Low + kOverflowReach;
}

void PutBack(int sig) {
  for (size_t i = 0; i < std::size(kFaultSignals); ++i)
    if (kFaultSignals[i] == sig) ::sigaction(sig, &g_previous[i], nullptr);
}

// ---- copies from and to views of files ----

// A file cut short under a view of it leaves pages that fault (SIGBUS) when
// touched. A copy that meets one ends there instead of the process.
struct ViewCopyGuard {
  sigjmp_buf jump;
  std::uintptr_t ranges[2][2];  // [start, end) of the source and the target
  std::uintptr_t failed;
  volatile sig_atomic_t active;
};
thread_local ViewCopyGuard t_view_copy;

constexpr std::size_t kBusSlot = 1;  // SIGBUS in kFaultSignals
struct sigaction g_view_previous;
std::atomic<bool> g_view_handler_ready{false};

// Ends the copy running on this thread when the fault is a file page of its
// ranges that cannot be read; returns otherwise.
void RecoverViewCopy(int sig, const siginfo_t* info) {
  ViewCopyGuard& g = t_view_copy;
  if (sig != SIGBUS || info->si_code != BUS_ADRERR || !g.active) return;
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (const auto& r : g.ranges)
    if (at >= r[0] && at < r[1]) {
      g.failed = at;
      g.active = 0;
      siglongjmp(g.jump, 1);
    }
}

void OnViewFault(int sig, siginfo_t* info, void*) {
  RecoverViewCopy(sig, info);
  // Not a copy's: the fault takes its previous course.
  const int saved_errno = errno;
  ::sigaction(SIGBUS, &g_view_previous, nullptr);
  if (info->si_code <= 0) ::raise(sig);
  errno = saved_errno;
}

void EnsureViewFaultHandler() {
  if (g_view_handler_ready.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(detail::FaultHandlersLock());
  if (g_view_handler_ready.load()) return;
  struct sigaction action = {};
  action.sa_sigaction = &OnViewFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (g_faults_installed) {
    // OnFault sees the fault first; ours is put back when it is removed.
    g_view_previous = g_previous[kBusSlot];
    g_previous[kBusSlot] = action;
  } else {
    ::sigaction(SIGBUS, &action, &g_view_previous);
  }
  g_view_handler_ready.store(true, std::memory_order_release);
}

// Runs on the thread's alternate stack when it has one. Everything here and
// in the observer and hook is async-signal-safe; a fault inside, or a hang
// past the time limit, ends the process at once (after the hook, when it has
// not run yet).
void OnFault(int sig, siginfo_t* info, void* uc) {
  RecoverViewCopy(sig, info);
  const int saved_errno = errno;
  // Sent by another process (kill -SEGV): a termination request where the
  // program takes them, not a fault. (The watchdog's timer and the process's
  // own raise stay what they are.)
  const bool sent = info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL;
  if (sent && info->si_pid != ::getpid() && RecordSentSignalAsRequest(sig)) {
    errno = saved_errno;
    return;
  }
  FaultThreadState& f = t_fault;
  if (f.depth++ > 0) {
    CallHook();
    EndNow(f.first_signal);
  }
  f.first_signal = sig;
  f.hook_due = info->si_code > 0;
  f.hook_called = false;
  f.record = ExceptionRecord();
  ExceptionRecord& record = f.record;
  ExceptionContext context;
  record.ExceptionCode = FaultCode(sig, info->si_code);
#if defined(__x86_64__)
  const auto* gregs = static_cast<ucontext_t*>(uc)->uc_mcontext.gregs;
  context.Ip = static_cast<std::uintptr_t>(gregs[REG_RIP]);
  context.Fp = static_cast<std::uintptr_t>(gregs[REG_RBP]);
  context.Sp = static_cast<std::uintptr_t>(gregs[REG_RSP]);
  const auto err = static_cast<std::uintptr_t>(gregs[REG_ERR]);
  const std::uintptr_t operation = (err & 0x10) ? 8 : (err & 0x2) ? 1 : 0;
#else
  (void)uc;
  const std::uintptr_t operation = 0;
#endif
  record.ExceptionAddress = reinterpret_cast<const void*>(context.Ip);
  const auto accessed = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (sig == SIGSEGV && info->si_code > 0 && IsStackOverflow(accessed, context.Sp))
    record.ExceptionCode = kStatusStackOverflow;
  if (record.ExceptionCode == kStatusAccessViolation || record.ExceptionCode == kStatusStackOverflow) {
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = operation;
    record.ExceptionInformation[1] = accessed;
  }
  ArmWatchdog(sig, g_observer_time_limit_ms.load());
  if (FaultObserver observer = g_fault_observer.load()) observer(record, context);
  CallHook();
  DropWatchdog();
  f.depth = 0;
  // The fault takes its previous course: the instruction runs again under
  // the previous handler, and a sent signal is sent again.
  PutBack(sig);
  if (info->si_code <= 0) ::raise(sig);
  errno = saved_errno;
}

}  // namespace

const std::exception* AsStdException(void* object, const std::type_info* type) {
  if (!object || !type) return nullptr;
  void* adjusted = object;
  // The test the runtime applies to a catch clause of std::exception.
  if (typeid(std::exception).__do_catch(type, &adjusted, 1)) return static_cast<const std::exception*>(adjusted);
  return nullptr;
}

void SetRaiseObserver(RaiseObserver observer) { g_raise_observer.store(observer); }
void SetCatchObserver(CatchObserver observer) { g_catch_observer.store(observer); }
void SetFatalFaultHook(FatalFaultHook hook) { g_fatal_fault_hook.store(hook); }

bool CopyFileViewBytes(void* target, const void* source, std::size_t size, const void** failed_at) noexcept {
  if (size == 0) return true;
  EnsureViewFaultHandler();
  ViewCopyGuard& g = t_view_copy;
  const auto from = reinterpret_cast<std::uintptr_t>(source), to = reinterpret_cast<std::uintptr_t>(target);
  g.ranges[0][0] = from;
  g.ranges[0][1] = from + size;
  g.ranges[1][0] = to;
  g.ranges[1][1] = to + size;
  if (sigsetjmp(g.jump, 0) != 0) {
    if (failed_at != nullptr) *failed_at = reinterpret_cast<const void*>(g.failed);
    return false;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g.active = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(target, source, size);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g.active = 0;
  return true;
}

bool InFaultHandler() noexcept { return t_fault.depth > 0; }

void PlatformTestHelper::SetFaultTimeLimits(long observer_ms, long hook_ms) {
  g_observer_time_limit_ms = observer_ms;
  g_hook_time_limit_ms = hook_ms;
}

bool SetFaultObserver(FaultObserver observer) {
  if (observer) detail::LoadTimeZone();  // before the lock, which comes after the environment's
  std::lock_guard<std::mutex> lock(detail::FaultHandlersLock());
  if (observer) {
    // What the handlers may not work out themselves.
    PrepareThreadForFaults();
    NoteLocalTimeOffset();
    NoteProgramImage();
  }
  g_fault_observer.store(observer);
  if (observer && !g_faults_installed) {
    struct sigaction action = {};
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kFaultSignals); ++i)
      if (::sigaction(kFaultSignals[i], &action, &g_previous[i]) != 0) {
        while (i-- > 0) ::sigaction(kFaultSignals[i], &g_previous[i], nullptr);
        g_fault_observer.store(nullptr);
        return false;
      }
    g_faults_installed = true;
  } else if (!observer && g_faults_installed) {
    for (size_t i = 0; i < std::size(kFaultSignals); ++i) ::sigaction(kFaultSignals[i], &g_previous[i], nullptr);
    g_faults_installed = false;
  }
  return true;
}

namespace {
// The load address of the program's own image (the first object listed).
int FirstImageBase(struct dl_phdr_info* info, size_t, void* data) {
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_LOAD) {
      *static_cast<std::uintptr_t*>(data) = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
      break;
    }
  return 1;
}
}  // namespace

bool FindModuleOfAddress(const void* address, std::string& file_name, const void*& base) {
  Dl_info info{};
  if (!address || ::dladdr(address, &info) == 0 || !info.dli_fbase) return false;
  base = info.dli_fbase;
  std::uintptr_t program_base = 0;
  ::dl_iterate_phdr(&FirstImageBase, &program_base);
  file_name = info.dli_fname ? info.dli_fname : "";
  if (reinterpret_cast<std::uintptr_t>(info.dli_fbase) == program_base) {
    // The program is listed under the name it was started with.
    if (std::string path = GetProgramFileName(); !path.empty()) file_name = std::move(path);
  }
  return true;
}

}  // namespace vt::os

// The runtime's raise routine and handler entry, forwarded to the runtime's
// own after the observers have seen them.
namespace __cxxabiv1 {
extern "C" {

void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
  const void* address = __builtin_return_address(0);
#if defined(__x86_64__)
  // The thrower's stack as the call left it: above the saved frame pointer
  // and the return address.
  const void* stack = static_cast<const char*>(__builtin_frame_address(0)) + 2 * sizeof(void*);
#else
  const void* stack = nullptr;
#endif
  vt::os::NoteRaiseSite(object, address);
  if (vt::os::RaiseObserver observer = vt::os::g_raise_observer.load()) observer(object, type, address, stack);
  vt::os::RuntimeThrow()(object, type, destructor);
  __builtin_unreachable();
}

void* __cxa_begin_catch(void* header) noexcept {
  void* caught = vt::os::RuntimeBeginCatch()(header);
  if (vt::os::CatchObserver observer = vt::os::g_catch_observer.load()) {
    auto* unwind = static_cast<_Unwind_Exception*>(header);
    const std::uint64_t kind = unwind->exception_class ^ vt::os::kNativeClass;
    if (kind <= 1) {
      void* object = kind == 0 ? static_cast<void*>(unwind + 1) : nullptr;
      observer(object, abi::__cxa_current_exception_type(), vt::os::RaiseSiteOf(object));
    }
  }
  return caught;
}

}  // extern "C"
}  // namespace __cxxabiv1
