#include "platform/ThreadApi.h"

#include <linux/futex.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/FaultSupport.h"
#include "platform/TestHooks.h"

namespace vt::os {

struct ThreadRecord {
  ThreadRecord() = default;
  ThreadRecord(const ThreadRecord&) = delete;
  ThreadRecord& operator=(const ThreadRecord&) = delete;

  std::mutex lock;  // taken through Locked only
  pthread_t thread{};
  ThreadProc proc = nullptr;
  void* param = nullptr;
  std::atomic<std::uint32_t> id{0};  // futex: set once the thread runs
  DWORD suspend_count = 0;
  // Follows suspend_count > 0 while the handle is open (TrackSuspendCount).
  std::atomic<bool>* suspended_flag = nullptr;
  bool started = false;       // the suspend count reached 0 once
  bool abandoned = false;     // closed before it started: never run the procedure
  bool in_procedure = false;  // exit_jump leads back out of the running procedure
  bool done = false;
  DWORD exit_code = kStillActive;
  std::atomic<std::uint32_t> may_start{0};  // futex: 1 once started or abandoned
  std::atomic<std::uint32_t> finished{0};   // futex: 1 once done
  std::atomic<int> refs{2};  // the handle and the running thread
  // A started thread is stopped by the suspend signal: each signal sent
  // raises stop_requests; the thread answers the latest in stop_acks and
  // then waits while `gate` keeps the value it read. Bit 0 of gate is set
  // while the suspend count is above 0; every resume to 0 adds 2 and clears it.
  std::atomic<std::uint32_t> stop_requests{0};
  std::atomic<std::uint32_t> stop_acks{0};
  std::atomic<std::uint32_t> gate{0};
  sigjmp_buf exit_jump;
};

namespace {

std::atomic<int> g_failing_creations{0};

// How long a suspension waits for the thread to stop.
constexpr auto kStopWait = std::chrono::seconds(5);

void Release(ThreadRecord* t) {
  if (t->refs.fetch_sub(1) == 1) delete t;
}

// The record of the calling thread, for the signal handler and the hard end.
[[gnu::tls_model("initial-exec")]] thread_local ThreadRecord* t_self = nullptr;
// Record locks the calling thread holds; a suspension that arrives meanwhile
// waits until the last is released, so that no stopped thread holds one.
[[gnu::tls_model("initial-exec")]] thread_local std::atomic<int> t_locks_held{0};
[[gnu::tls_model("initial-exec")]] thread_local std::atomic<bool> t_stop_deferred{false};

int SuspendSignal() { return SIGRTMIN + 4; }

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* Word(std::atomic<std::uint32_t>& a) { return reinterpret_cast<std::uint32_t*>(&a); }

void FutexWake(std::atomic<std::uint32_t>& a) {
  ::syscall(SYS_futex, Word(a), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Async-signal-safe: sleeps while a still holds value (or until woken).
void FutexWait(std::atomic<std::uint32_t>& a, std::uint32_t value, const timespec* relative = nullptr) {
  ::syscall(SYS_futex, Word(a), FUTEX_WAIT_PRIVATE, value, relative, nullptr, 0);
}

using Clock = std::chrono::steady_clock;

// Waits until done() or the deadline; done() is checked after each wake of a.
template <typename Done>
bool WaitUntil(std::atomic<std::uint32_t>& a, Clock::time_point deadline, Done done) {
  for (;;) {
    const std::uint32_t value = a.load(std::memory_order_acquire);
    if (done()) return true;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec relative{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    FutexWait(a, value, &relative);
  }
}

// Async-signal-safe. Answers the latest stop request and stays until the
// next resume.
void StopHere(ThreadRecord* t) {
  const std::uint32_t request = t->stop_requests.load(std::memory_order_acquire);
  if (request == t->stop_acks.load(std::memory_order_acquire)) return;  // nothing asked
  // Read before the answer: a resume that comes later changes it.
  const std::uint32_t gate = t->gate.load(std::memory_order_acquire);
  t->stop_acks.store(request, std::memory_order_release);
  FutexWake(t->stop_acks);
  // Resumed before it got here, or past its procedure (a close joins it).
  if ((gate & 1) == 0 || t->finished.load(std::memory_order_acquire) != 0) return;
  while (t->gate.load(std::memory_order_acquire) == gate) FutexWait(t->gate, gate);
}

void OnSuspendSignal(int) {
  const int saved_errno = errno;
  // A signal nobody here asked for (sent from outside) is ignored.
  if (ThreadRecord* t = t_self) {
    if (t_locks_held.load(std::memory_order_relaxed) > 0)
      t_stop_deferred.store(true, std::memory_order_relaxed);
    else
      StopHere(t);
  }
  errno = saved_errno;
}

// A thread record's lock. A stop that arrives while the calling thread holds
// one is taken when it lets go of the last.
class Locked {
 public:
  explicit Locked(ThreadRecord* t) : t_(t) {
    t_locks_held.fetch_add(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_->lock.lock();
  }
  ~Locked() { unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  void unlock() {
    if (!t_) return;
    t_->lock.unlock();
    t_ = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (t_locks_held.fetch_sub(1, std::memory_order_relaxed) == 1 &&
        t_stop_deferred.exchange(false, std::memory_order_relaxed))
      ::pthread_kill(::pthread_self(), SuspendSignal());  // stop in the handler, with every signal held back
  }

 private:
  ThreadRecord* t_;
};

// Puts the handler in place of the default disposition only: one the
// program set itself is kept. 0, or the errno of a failed installation.
int InstallSuspendHandler() {
  struct sigaction current {};
  if (::sigaction(SuspendSignal(), nullptr, &current) != 0) return errno;
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return 0;
  struct sigaction action {};
  action.sa_handler = OnSuspendSignal;
  // Nothing else runs on a stopped thread; the alternate stack, where the
  // thread has one, keeps a thread near its stack's end stoppable.
  action.sa_flags = SA_RESTART | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  return ::sigaction(SuspendSignal(), &action, nullptr) == 0 ? 0 : errno;
}

// Whether the suspend signal would run our handler: the program may have
// set its own disposition for it.
bool SuspendHandlerInPlace() {
  struct sigaction current {};
  return ::sigaction(SuspendSignal(), nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == OnSuspendSignal;
}

// Under t->lock: the count, and the flag that follows it.
void SetSuspendCount(ThreadRecord* t, DWORD count) {
  t->suspend_count = count;
  if (t->suspended_flag) t->suspended_flag->store(count > 0);
}

// Under t->lock, the count having reached 0.
void OpenGate(ThreadRecord* t) {
  t->gate.store((t->gate.load() + 2) & ~1u, std::memory_order_release);
  FutexWake(t->gate);
}

bool Answered(ThreadRecord* t, std::uint32_t request) {
  return static_cast<std::int32_t>(t->stop_acks.load(std::memory_order_acquire) - request) >= 0;
}

void Finish(ThreadRecord* t, DWORD code) {
  Locked lock(t);
  t->in_procedure = false;
  t->exit_code = code;
  t->done = true;
  t->finished.store(1, std::memory_order_release);
  FutexWake(t->finished);
}

// Runs the procedure; TerminateThread on the own handle jumps back here.
void RunProcedure(ThreadRecord* t) {
  if (sigsetjmp(t->exit_jump, 0) == 0) Finish(t, t->proc(t->param));
}

void* ThreadStart(void* arg) {
  auto* t = static_cast<ThreadRecord*>(arg);
  t_self = t;
  sigset_t suspend;
  sigemptyset(&suspend);
  sigaddset(&suspend, SuspendSignal());
  ::pthread_sigmask(SIG_UNBLOCK, &suspend, nullptr);
  t->id.store(static_cast<std::uint32_t>(::syscall(SYS_gettid)), std::memory_order_release);
  FutexWake(t->id);
  while (t->may_start.load(std::memory_order_acquire) == 0) FutexWait(t->may_start, 0);
  Locked lock(t);
  if (!t->abandoned) {
    t->in_procedure = true;
    lock.unlock();
    PrepareThreadForFaults();
    RunProcedure(t);
    ReleaseThreadFaultStack();
  } else {
    lock.unlock();
  }
  t_self = nullptr;
  Release(t);
  return nullptr;
}

}  // namespace

ThreadHandle CreateThread(std::size_t stack_size, ThreadProc proc, void* param, DWORD flags,
                          DWORD* thread_id) {
  if (thread_id) *thread_id = 0;
  int failing = g_failing_creations.load();
  while (failing > 0 && !g_failing_creations.compare_exchange_weak(failing, failing - 1)) {
  }
  if (failing > 0) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  if (!proc) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto* t = new ThreadRecord;
  t->proc = proc;
  t->param = param;
  t->suspend_count = (flags & kCreateSuspended) ? 1 : 0;
  t->started = t->suspend_count == 0;
  t->may_start.store(t->started ? 1 : 0);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int rc = 0;
  if (stack_size > 0) {
    if (stack_size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) stack_size = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    rc = pthread_attr_setstacksize(&attr, stack_size);
  }
  if (rc == 0) rc = pthread_create(&t->thread, &attr, ThreadStart, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    SetLastError(rc == EAGAIN ? kErrorNotEnoughMemory : ErrnoToError(rc));
    return nullptr;
  }
  while (t->id.load(std::memory_order_acquire) == 0) FutexWait(t->id, 0);
  if (thread_id) *thread_id = t->id.load();
  return t;
}

void TrackSuspendCount(ThreadHandle t, std::atomic<bool>* flag) {
  if (!t) return;
  Locked lock(t);
  t->suspended_flag = flag;
  if (flag) flag->store(t->suspend_count > 0);
}

DWORD ResumeThread(ThreadHandle t) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFFu;
  }
  Locked lock(t);
  DWORD previous = t->suspend_count;
  if (previous > 0) SetSuspendCount(t, previous - 1);
  if (previous == 1) {
    if (!t->started) {
      t->started = true;
      t->may_start.store(1, std::memory_order_release);
      FutexWake(t->may_start);
    } else {
      OpenGate(t);
    }
  }
  return previous;
}

DWORD SuspendThread(ThreadHandle t) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFFu;
  }
  Locked lock(t);
  if (t->done) {
    SetLastError(kErrorAccessDenied);
    return 0xFFFFFFFFu;
  }
  const DWORD previous = t->suspend_count;
  // Not started yet: only the count moves.
  if (!t->started) {
    SetSuspendCount(t, previous + 1);
    return previous;
  }
  std::uint32_t request = t->stop_requests.load();
  if (previous > 0) {
    // Stopped already, or a stop is on its way: wait for that one.
    SetSuspendCount(t, previous + 1);
    if (t == t_self || Answered(t, request)) return previous;
  } else if (t == t_self) {
    SetSuspendCount(t, 1);
    const std::uint32_t gate = t->gate.fetch_or(1) | 1;
    lock.unlock();
    while (t->gate.load(std::memory_order_acquire) == gate) FutexWait(t->gate, gate);
    return 0;
  } else {
    if (int error = InstallSuspendHandler()) {
      SetLastErrorFromErrno(error);
      return 0xFFFFFFFFu;
    }
    if (!SuspendHandlerInPlace()) {
      SetLastError(kErrorSignalRefused);
      return 0xFFFFFFFFu;
    }
    SetSuspendCount(t, 1);
    t->gate.fetch_or(1);
    request = t->stop_requests.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (int error = ::pthread_kill(t->thread, SuspendSignal())) {
      t->stop_acks.store(request, std::memory_order_release);
      SetSuspendCount(t, 0);
      OpenGate(t);
      SetLastErrorFromErrno(error);
      return 0xFFFFFFFFu;
    }
  }
  // Waited for without the lock, so that resumes and other calls go on.
  lock.unlock();
  if (WaitUntil(t->stop_acks, Clock::now() + kStopWait, [&] { return Answered(t, request); })) return previous;
  Locked again(t);
  if (Answered(t, request)) return previous;
  // The signal did not get through (the thread blocks it, or is stuck in
  // the kernel): this call's count is taken back.
  if (t->suspend_count > 0) {
    SetSuspendCount(t, t->suspend_count - 1);
    if (t->suspend_count == 0) OpenGate(t);
  }
  SetLastError(kErrorSignalRefused);
  return 0xFFFFFFFFu;
}

bool TerminateThread(ThreadHandle t, DWORD exit_code) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  bool own = false;
  if (t == t_self) {
    Locked lock(t);
    own = t->in_procedure;
  }
  if (!own) {
    SetLastError(kErrorNotSupported);
    return false;
  }
  Finish(t, exit_code);
  siglongjmp(t->exit_jump, 1);
}

DWORD WaitForThread(ThreadHandle t, DWORD timeout_ms) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  const auto finished = [t] { return t->finished.load(std::memory_order_acquire) != 0; };
  if (timeout_ms == kInfinite) {
    while (!finished()) FutexWait(t->finished, 0);
    return kWaitObject0;
  }
  return WaitUntil(t->finished, Clock::now() + std::chrono::milliseconds(timeout_ms), finished) ? kWaitObject0
                                                                                                : kWaitTimeout;
}

bool GetExitCodeThread(ThreadHandle t, DWORD* exit_code) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  Locked lock(t);
  if (exit_code) *exit_code = t->exit_code;
  return true;
}

DWORD GetThreadId(ThreadHandle t) { return t ? t->id.load() : 0; }

void CloseThreadHandle(ThreadHandle t) {
  if (!t) return;
  bool join = false;
  {
    Locked lock(t);
    t->suspended_flag = nullptr;
    if (!t->started) {
      t->abandoned = true;
      t->may_start.store(1, std::memory_order_release);
      FutexWake(t->may_start);
    } else {
      join = t->done;
    }
  }
  if (join)
    pthread_join(t->thread, nullptr);
  else
    pthread_detach(t->thread);
  Release(t);
}

void PlatformTestHelper::FailNextThreadCreations(int count) { g_failing_creations = count; }

}  // namespace vt::os
