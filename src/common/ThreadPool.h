// Thread pool: worker threads serving five work lists.
//
// Work items are queued on one of the lists; an idle worker is woken through
// its own event, takes items with GetWork until none is left, and waits
// again. All pools share the unit's lock (kThreadPoolUnit must be running).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "common/Locks.h"
#include "common/Threads.h"
#include "common/Units.h"
#include "platform/ThreadSafety.h"

namespace vt {

inline constexpr std::uint32_t kThreadPoolGuard = 0x195C05AF;
inline constexpr int kThreadPoolLists = 5;

class TThreadPool;
class TThreadPoolThread;

// The unit's lock, guarding every pool's lists and workers' flags. Raises
// while the unit is not running.
TFastMutex& ThreadPoolLock();

// One unit of work. The pool owns a queued item until it hands it back with
// WorkDone (whose default frees it).
class TThreadPoolWork {
 public:
  virtual ~TThreadPoolWork() = default;
  // The worker that runs (or ran) the item; null before it ran.
  TThreadPoolThread* Thread() const { return thread_; }

 protected:
  virtual void Execute() = 0;

 private:
  friend class TThreadPoolThread;
  TThreadPoolThread* thread_ = nullptr;
};

// A worker: waits on its event, runs work until none is left. An item that
// raises is logged ("Thread Error") and handed back like any other.
class TThreadPoolThread : public TSafeThread {
 public:
  explicit TThreadPoolThread(TThreadPool& pool);
  ~TThreadPoolThread() override;
  // Set (under the pool lock) when the worker has been woken and has not
  // yet gone back to its work.
  bool Busy() const { return busy_; }

 protected:
  void Execute() override;

 private:
  friend class TThreadPool;
  TThreadPool& pool_;
  TWinEvent event_{nullptr, "", false, false};
  std::atomic<bool> busy_{false};
};

class TThreadPool {
 public:
  explicit TThreadPool(int thread_count);
  // Shuts down, then frees the work that never ran. A class that overrides
  // GetWork or WorkDone calls Shutdown in its own destructor.
  virtual ~TThreadPool();
  TThreadPool(const TThreadPool&) = delete;
  TThreadPool& operator=(const TThreadPool&) = delete;

  // Queues the item (taking it) on list 0 to 4 and wakes workers for it.
  void AddWork(std::unique_ptr<TThreadPoolWork> item, int list = 0);
  // Wakes idle workers: as many as there is waiting work (at most all of
  // them) when Limit, else all.
  void WakeThreads(bool limit);
  // Once: stops the workers and waits for each to end. Queued work stays
  // queued and is freed with the pool.
  void Shutdown();

  // Items on the five lists.
  int WaitingCount() const;
  int ThreadCount() const;
  bool Terminated() const { return terminated_; }

 protected:
  // The next item to run (lists in order 0 to 4), or null. The caller owns it.
  virtual TThreadPoolWork* GetWork();
  // An item that has run comes back here; the default frees it.
  virtual void WorkDone(TThreadPoolWork* item);

 private:
  friend class TThreadPoolThread;
  void CheckGuard(int line) const;
  int WaitingCountLocked() const REQUIRES(ThreadPoolLock());

  std::uint32_t guard_ = kThreadPoolGuard;
  std::atomic<bool> terminated_{false};
  bool shut_down_ GUARDED_BY(ThreadPoolLock()) = false;
  std::array<std::deque<std::unique_ptr<TThreadPoolWork>>, kThreadPoolLists> lists_ GUARDED_BY(ThreadPoolLock());
  std::vector<std::unique_ptr<TThreadPoolThread>> threads_ GUARDED_BY(ThreadPoolLock());
};

// Makes the lock at start-up and frees it at finalization.
extern const UnitEntry kThreadPoolUnit;

}  // namespace vt
