#include "platform/ThreadApi.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/TestHooks.h"

namespace vt::os {

struct ThreadRecord {
  std::mutex lock;
  std::condition_variable changed;
  pthread_t thread{};
  ThreadProc proc = nullptr;
  void* param = nullptr;
  DWORD id = 0;
  DWORD suspend_count = 0;
  bool started = false;    // the suspend count reached 0 once
  bool abandoned = false;  // closed before it started: never run the procedure
  bool done = false;
  DWORD exit_code = kStillActive;
  std::atomic<int> refs{2};  // the handle and the running thread
};

namespace {

std::atomic<int> g_failing_creations{0};

void Release(ThreadRecord* t) {
  if (t->refs.fetch_sub(1) == 1) delete t;
}

void* ThreadStart(void* arg) {
  auto* t = static_cast<ThreadRecord*>(arg);
  std::unique_lock lock(t->lock);
  t->id = static_cast<DWORD>(::syscall(SYS_gettid));
  t->changed.notify_all();
  t->changed.wait(lock, [t] { return t->suspend_count == 0 || t->abandoned; });
  if (t->abandoned) {
    lock.unlock();
    Release(t);
    return nullptr;
  }
  lock.unlock();
  DWORD code = t->proc(t->param);
  lock.lock();
  t->exit_code = code;
  t->done = true;
  t->changed.notify_all();
  lock.unlock();
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

DWORD ResumeThread(ThreadHandle t) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFFu;
  }
  std::lock_guard lock(t->lock);
  DWORD previous = t->suspend_count;
  if (t->suspend_count > 0 && --t->suspend_count == 0) {
    t->started = true;
    t->changed.notify_all();
  }
  return previous;
}

DWORD SuspendThread(ThreadHandle t) {
  if (!t) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFFu;
  }
  std::lock_guard lock(t->lock);
  if (t->started) {
    SetLastError(kErrorNotSupported);
    return 0xFFFFFFFFu;
  }
  return t->suspend_count++;
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
