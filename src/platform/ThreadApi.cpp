#include "platform/ThreadApi.h"

#include <linux/futex.h>
#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/FaultSupport.h"
#include "platform/TestHooks.h"

namespace vt::os {

struct ThreadRecord {
  ThreadRecord() { ::sem_init(&stopped, 0, 0); }
  ~ThreadRecord() { ::sem_destroy(&stopped); }
  ThreadRecord(const ThreadRecord&) = delete;
  ThreadRecord& operator=(const ThreadRecord&) = delete;

  std::mutex lock;
  std::condition_variable changed;
  pthread_t thread{};
  ThreadProc proc = nullptr;
  void* param = nullptr;
  DWORD id = 0;
  DWORD suspend_count = 0;
  // Follows suspend_count > 0 while the handle is open (TrackSuspendCount).
  std::atomic<bool>* suspended_flag = nullptr;
  bool started = false;       // the suspend count reached 0 once
  bool abandoned = false;     // closed before it started: never run the procedure
  bool in_procedure = false;  // exit_jump leads back out of the running procedure
  bool done = false;
  DWORD exit_code = kStillActive;
  std::atomic<int> refs{2};  // the handle and the running thread
  // A started thread stops in its suspend-signal handler when a stop was
  // requested: it posts `stopped` and waits until `resumes` moves on.
  std::atomic<bool> stop_requested{false};
  sem_t stopped;
  std::atomic<std::uint32_t> resumes{0};
  sigjmp_buf exit_jump;
};

namespace {

std::atomic<int> g_failing_creations{0};

void Release(ThreadRecord* t) {
  if (t->refs.fetch_sub(1) == 1) delete t;
}

// The record of the calling thread, for the signal handler and the hard end.
[[gnu::tls_model("initial-exec")]] thread_local ThreadRecord* t_self = nullptr;

int SuspendSignal() { return SIGRTMIN + 4; }

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Async-signal-safe: atomics and the futex only.
void WaitForResume(ThreadRecord* t, std::uint32_t seen) {
  while (t->resumes.load(std::memory_order_acquire) == seen)
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&t->resumes), FUTEX_WAIT_PRIVATE, seen, nullptr,
              nullptr, 0);
}

void OnSuspendSignal(int) {
  const int saved_errno = errno;
  ThreadRecord* t = t_self;
  // A signal nobody here asked for (sent from outside) is ignored.
  if (t && t->stop_requested.exchange(false, std::memory_order_acq_rel)) {
    // Read before the acknowledgement: a resume can only come after it.
    const std::uint32_t seen = t->resumes.load(std::memory_order_acquire);
    ::sem_post(&t->stopped);
    WaitForResume(t, seen);
  }
  errno = saved_errno;
}

// 0, or the errno of a failed installation.
int InstallSuspendHandler() {
  static const int error = [] {
    struct sigaction action {};
    action.sa_handler = OnSuspendSignal;
    // Nothing else runs on a stopped thread; the alternate stack, where the
    // thread has one, keeps a thread near its stack's end stoppable.
    action.sa_flags = SA_RESTART | SA_ONSTACK;
    sigfillset(&action.sa_mask);
    return ::sigaction(SuspendSignal(), &action, nullptr) == 0 ? 0 : errno;
  }();
  return error;
}

// Under t->lock: the count, and the flag that follows it.
void SetSuspendCount(ThreadRecord* t, DWORD count) {
  t->suspend_count = count;
  if (t->suspended_flag) t->suspended_flag->store(count > 0);
}

void Finish(ThreadRecord* t, DWORD code) {
  std::lock_guard lock(t->lock);
  t->in_procedure = false;
  t->exit_code = code;
  t->done = true;
  t->changed.notify_all();
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
  std::unique_lock lock(t->lock);
  t->id = static_cast<DWORD>(::syscall(SYS_gettid));
  t->changed.notify_all();
  t->changed.wait(lock, [t] { return t->suspend_count == 0 || t->abandoned; });
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
  std::unique_lock lock(t->lock);
  t->changed.wait(lock, [t] { return t->id != 0; });
  if (thread_id) *thread_id = t->id;
  return t;
}

void TrackSuspendCount(ThreadHandle t, std::atomic<bool>* flag) {
  if (!t) return;
  std::lock_guard lock(t->lock);
  t->suspended_flag = flag;
  if (flag) flag->store(t->suspend_count > 0);
}

DWORD ResumeThread(ThreadHandle t) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFFu;
  }
  std::lock_guard lock(t->lock);
  DWORD previous = t->suspend_count;
  if (previous > 0) SetSuspendCount(t, previous - 1);
  if (previous == 1) {
    if (!t->started) {
      t->started = true;
      t->changed.notify_all();
    } else {
      t->resumes.fetch_add(1, std::memory_order_acq_rel);
      ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&t->resumes), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
                nullptr, 0);
    }
  }
  return previous;
}

DWORD SuspendThread(ThreadHandle t) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFFu;
  }
  std::unique_lock lock(t->lock);
  if (t->done) {
    SetLastError(kErrorAccessDenied);
    return 0xFFFFFFFFu;
  }
  // Not started yet, or stopped already: only the count moves.
  if (!t->started || t->suspend_count > 0) {
    const DWORD previous = t->suspend_count;
    SetSuspendCount(t, previous + 1);
    return previous;
  }
  if (t == t_self) {
    SetSuspendCount(t, 1);
    const std::uint32_t seen = t->resumes.load(std::memory_order_acquire);
    lock.unlock();
    WaitForResume(t, seen);
    return 0;
  }
  if (int error = InstallSuspendHandler()) {
    SetLastErrorFromErrno(error);
    return 0xFFFFFFFFu;
  }
  t->stop_requested.store(true, std::memory_order_release);
  if (int error = ::pthread_kill(t->thread, SuspendSignal())) {
    t->stop_requested.store(false, std::memory_order_release);
    SetLastErrorFromErrno(error);
    return 0xFFFFFFFFu;
  }
  // The lock is kept until the thread has stopped: no resume can overtake
  // the signal, and the thread cannot end meanwhile.
  SetSuspendCount(t, 1);
  while (::sem_wait(&t->stopped) != 0 && errno == EINTR) {
  }
  return 0;
}

bool TerminateThread(ThreadHandle t, DWORD exit_code) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  bool own = false;
  if (t == t_self) {
    std::lock_guard lock(t->lock);
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
  std::unique_lock lock(t->lock);
  if (timeout_ms == kInfinite) {
    t->changed.wait(lock, [t] { return t->done; });
    return kWaitObject0;
  }
  bool done = t->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [t] { return t->done; });
  return done ? kWaitObject0 : kWaitTimeout;
}

bool GetExitCodeThread(ThreadHandle t, DWORD* exit_code) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  std::lock_guard lock(t->lock);
  if (exit_code) *exit_code = t->exit_code;
  return true;
}

DWORD GetThreadId(ThreadHandle t) { return t ? t->id : 0; }

void CloseThreadHandle(ThreadHandle t) {
  if (!t) return;
  bool join = false;
  {
    std::lock_guard lock(t->lock);
    t->suspended_flag = nullptr;
    if (!t->started) {
      t->abandoned = true;
      t->changed.notify_all();
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
