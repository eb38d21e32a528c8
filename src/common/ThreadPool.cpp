#include "common/ThreadPool.h"

#include <algorithm>

#include "common/Objects.h"

namespace vt {

namespace {

TFastMutex* g_pool_lock = nullptr;

void InitThreadPoolUnit() {
  if (!g_pool_lock) g_pool_lock = new TFastMutex;
}

void DoneThreadPoolUnit() { FreeAndNilObject(g_pool_lock); }

}  // namespace

TFastMutex& ThreadPoolLock() {
  if (!g_pool_lock) throw Exception("Thread pool unit is not initialized");
  return *g_pool_lock;
}

const UnitEntry kThreadPoolUnit{"ThreadPool", &InitThreadPoolUnit, &DoneThreadPoolUnit};

// ---- TThreadPoolThread -----------------------------------------------------

TThreadPoolThread::TThreadPoolThread(TThreadPool& pool) : TSafeThread(false), pool_(pool) {}

TThreadPoolThread::~TThreadPoolThread() {
  Terminate();
  event_.SetEvent();
  StopAndWait();
}

void TThreadPoolThread::Execute() {
  while (!Terminated() && !pool_.Terminated()) {
    if (TThreadPoolWork* item = pool_.GetWork()) {
      item->thread_ = this;
      // A failing item is reported as a thread error would be; the worker
      // stays for the rest of the work.
      try {
        item->Execute();
      } catch (const std::exception& e) {
        LibraryLog(TLogRecord::Header, "Thread Error", 2);
        LibraryLog(TLogRecord::Text, e.what(), 2);
      }
      pool_.WorkDone(item);
    } else {
      event_.WaitFor(os::kInfinite);
      TFastMutexLock lock(ThreadPoolLock());
      busy_ = false;
    }
  }
}

// ---- TThreadPool -----------------------------------------------------------

TThreadPool::TThreadPool(int thread_count) {
  TFastMutexLock lock(ThreadPoolLock());  // the workers start at once
  for (int i = 0; i < thread_count; ++i) threads_.push_back(MakeThread<TThreadPoolThread>(*this));
}

TThreadPool::~TThreadPool() {
  Shutdown();
  guard_ = 0;
}

void TThreadPool::CheckGuard(int line) const {
  if (guard_ != kThreadPoolGuard)
    AssertionFailed("ThreadPool", line, "TThreadPool <- memory overwrite or call to dead object detected");
}

void TThreadPool::AddWork(std::unique_ptr<TThreadPoolWork> item, int list) {
  CheckGuard(__LINE__);
  VT_ASSERT_AT(list >= 0 && list < kThreadPoolLists, "ThreadPool", __LINE__);
  {
    TFastMutexLock lock(ThreadPoolLock());
    lists_[static_cast<std::size_t>(list)].push_back(std::move(item));
  }
  WakeThreads(true);
}

void TThreadPool::WakeThreads(bool limit) {
  CheckGuard(__LINE__);
  TFastMutexLock lock(ThreadPoolLock());
  int wake = static_cast<int>(threads_.size());
  if (limit) wake = std::min(wake, WaitingCountLocked());
  for (auto& thread : threads_) {
    if (wake <= 0) break;
    if (thread->busy_) continue;
    thread->busy_ = true;
    thread->event_.SetEvent();
    --wake;
  }
}

void TThreadPool::Shutdown() {
  CheckGuard(__LINE__);
  std::vector<std::unique_ptr<TThreadPoolThread>> threads;
  {
    TFastMutexLock lock(ThreadPoolLock());
    if (shut_down_) return;
    shut_down_ = true;
    terminated_ = true;
  }
  WakeThreads(false);
  {
    TFastMutexLock lock(ThreadPoolLock());
    threads.swap(threads_);
  }
  // Each thread's destructor waits for it to end.
  threads.clear();
}

int TThreadPool::WaitingCountLocked() const {
  int count = 0;
  for (const auto& list : lists_) count += static_cast<int>(list.size());
  return count;
}

int TThreadPool::WaitingCount() const {
  CheckGuard(__LINE__);
  TFastMutexLock lock(ThreadPoolLock());
  return WaitingCountLocked();
}

int TThreadPool::ThreadCount() const {
  CheckGuard(__LINE__);
  TFastMutexLock lock(ThreadPoolLock());
  return static_cast<int>(threads_.size());
}

TThreadPoolWork* TThreadPool::GetWork() {
  CheckGuard(__LINE__);
  TFastMutexLock lock(ThreadPoolLock());
  for (auto& list : lists_) {
    if (list.empty()) continue;
    TThreadPoolWork* item = list.front().release();
    list.pop_front();
    return item;
  }
  return nullptr;
}

void TThreadPool::WorkDone(TThreadPoolWork* item) {
  CheckGuard(__LINE__);
  delete item;
}

}  // namespace vt
