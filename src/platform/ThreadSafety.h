// Lock annotations for clang's -Wthread-safety, and a mutex and guards that
// carry them (the standard library's are not annotated). Elsewhere the
// annotations expand to nothing.
#pragma once

#include <mutex>

#if defined(__clang__)
#define VT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VT_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VT_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VT_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VT_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VT_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vt::os {

// std::mutex with annotations; Native() serves condition variables.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  std::mutex& Native() RETURN_CAPABILITY(this) { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for a scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a Mutex for a scope, may let it go and take it again, and hands
// condition variables the std::unique_lock they wait on (Native()).
class SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.Native()) {}
  ~UniqueMutexLock() RELEASE() {}
  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  std::unique_lock<std::mutex>& Native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace vt::os
