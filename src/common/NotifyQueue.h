// The main thread's notification queue and its clocks.
//
// Notifications (a source object, a method and a name) are posted from any
// thread in three priorities and run on the thread that owns the queue. In
// window mode (mode 1) a hidden utility window receives a wake-up message
// for each batch and a one-second timer that serves the queue even when a
// wake-up is lost. In loop mode (mode 0, console programs) the owning thread
// runs the notify loop, which waits on the queue's wake event and serves the
// queue's own timer list. Clocks are periodic callbacks on the owning thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/Classes.h"
#include "common/Locks.h"
#include "common/Threads.h"
#include "common/NotifyQueueUnit.h"
#include "common/Units.h"
#include "platform/ThreadSafety.h"

namespace vt {

enum TNotifyPriority : int { npLow = 0, npNormal = 1, npHigh = 2 };

struct TNotifyQueueItem;
using TNotifyMethod = std::function<void(TNotifyQueueItem&)>;

// One notification as its method receives it (the queue keeps its records
// in TNotifyQueueLists, with the class names noted at posting time).
struct TNotifyQueueItem {
  TObject* Source = nullptr;  // a record without a source is not dispatched
  TNotifyMethod Method;
  TObject* Data = nullptr;
  std::uint32_t PostTick = 0;
  std::string Name;
  // Class names noted when posted, so that reports never touch the objects.
  std::string SourceClass;
  std::string DataClass;
};

class TClock;

class TNotifyQueue : public TObject {
 public:
  TNotifyQueue();
  ~TNotifyQueue() override;

  // The calling thread becomes the owner (once per queue and thread).
  void AttachToThread();
  // Only mode 1 (window mode); see the checks in the implementation.
  void SetMode(std::uint8_t mode);
  std::uint8_t Mode() const { return mode_; }
  std::uint32_t OwnerThreadId() const { return owner_thread_; }
  os::HWND Window() const { return window_; }

  // Any thread: appends to the primary list of the priority and wakes the owner.
  void Post(TNotifyPriority priority, TObject* source, TNotifyMethod method, TObject* data = nullptr,
            std::string name = {});
  void Wake();

  // External events: items kept on the queue and dispatched on every pass
  // of the owning thread, before the queued notifications. Any thread.
  void AddExternal(TObject* source, TNotifyMethod method, std::string name = {});
  // Clears the source of the items of Source; the next pass drops them. A
  // dispatch already under way on the owning thread still runs.
  void RemoveExternal(TObject* source);

  // Owning thread only.
  void CheckThread(const char* operation) const;
  // Dispatches every external item in order; when one had no source, drops
  // all that have none.
  void ProcessExternal();
  void ProcessAll();
  void ProcessQueue(int priority);

  // Mode 0, owning thread: the notify loop. Waits on the wake event until
  // the earliest due timer (at most a second while there are external
  // items), serves the external list and the queues, and
  // fires the due timers (each re-armed by its interval); ends when asked
  // (StopNotifyLoop) or when the queue is terminating. An exception from a
  // timer's callback ends the loop and goes on to the caller.
  void RunNotifyLoop();
  // Any thread: the loop ends after its current step (at once when it is
  // not running yet).
  void StopNotifyLoop();

  // Timer list of mode 0, keyed by the owner of the callback.
  void AddTimer(std::uint32_t interval, const void* key, std::function<void()> callback);
  void RemoveTimer(const void* key);
  void ResetTimer(const void* key);
  // Any thread: clears Key's timers; false while a call of Key's callback
  // is under way on the owning thread (called from inside it: true), so that
  // the caller tries again. Nothing of Key fires after a true answer.
  bool DropTimer(const void* key);

  // Shared with the queue's clocks: the queue while it lives, null after.
  struct Life {
    os::Mutex lock;
    TNotifyQueue* queue GUARDED_BY(lock) = nullptr;
  };
  const std::shared_ptr<Life>& GetLife() const { return life_; }

  // Stops serving (Terminating) and reports the notifications left in the
  // lists, which are dropped. Any thread; the destructor does it too.
  void Shutdown();

  std::function<void(const std::string&)> OnNotifyError;

  // Counts for inspection.
  std::size_t PendingCount(int priority) const;
  std::size_t ExternalCount() const;
  // Timers with an interval, and the due tick of Key's (0 when none).
  std::size_t TimerCount() const;
  std::uint32_t TimerDue(const void* key) const;

 private:
  // The queue's typed lists, whose records own the callbacks behind their
  // method pointers (NotifyQueue.cpp).
  class TQueuedList;
  class TTimerList;

  void QueueWindowProc(TMessage& message);
  bool Dispatch(TNotifyQueueItem& item);
  void WakeLocked() REQUIRES(lock_);
  // Milliseconds to the earliest due timer, 0 when one is due, infinite
  // when there is none.
  std::uint32_t NextTimerWait() const REQUIRES(lock_);
  // Frees Key's timer entries for reuse.
  void ClearTimerLocked(const void* key) REQUIRES(lock_);
  void FireDueTimers();

  const std::shared_ptr<Life> life_ = std::make_shared<Life>();
  std::uint8_t mode_ = 0;
  mutable TFastMutex lock_;
  TWinEvent wake_event_{nullptr, "", false, false};  // mode 0: auto-reset
  os::HWND window_ = 0;
  std::uint32_t owner_thread_ = 0;
  bool wake_pending_ GUARDED_BY(lock_) = false;
  bool terminating_ GUARDED_BY(lock_) = false;
  bool stop_requested_ GUARDED_BY(lock_) = false;
  // The key whose timer callback runs on the owning thread, or null.
  const void* firing_key_ GUARDED_BY(lock_) = nullptr;
  std::uint32_t wake_sequence_ GUARDED_BY(lock_) = 0;
  std::uint32_t last_processed_ GUARDED_BY(lock_) = 0;
  std::uint32_t last_wake_tick_ GUARDED_BY(lock_) = 0;
  std::array<std::unique_ptr<TQueuedList>, 3> primary_ GUARDED_BY(lock_);
  std::array<std::unique_ptr<TQueuedList>, 3> temporary_ GUARDED_BY(lock_);
  std::unique_ptr<TQueuedList> external_ GUARDED_BY(lock_);
  // Key: the callback (code) and the key it was added with (data); Value1
  // the interval (0: a free entry), Value2 the due tick.
  std::unique_ptr<TTimerList> timers_ GUARDED_BY(lock_);
};

// The calling thread's queue, or null.
TNotifyQueue* CurrentNotifyQueue();

// Any thread: posts to the queue that start-up attached to the main thread
// (TNotifyQueue::Post). False, with nothing posted, when there is none
// (before the unit starts or after it finalizes).
bool PostNotification(TNotifyPriority priority, TObject* source, TNotifyMethod method, TObject* data = nullptr,
                      std::string name = {});

// ---- Clocks ----------------------------------------------------------------

class TClock : public TObject {
 public:
  using TClockEvent = std::function<void(TClock&)>;

  TClock();
  ~TClock() override;

  std::uint32_t Interval() const { return interval_; }
  bool Enabled() const { return enabled_; }
  void SetInterval(std::uint32_t interval);
  void SetEnabled(bool enabled);
  void SetOnTick(TClockEvent on_tick);  // always applies the settings

  virtual void Update() {}
  virtual void Restart() {}

  static int LiveCount();

 protected:
  void Tick();
  bool HasOnTick() const { return static_cast<bool>(on_tick_); }

 private:
  std::uint32_t interval_ = 0;
  TClockEvent on_tick_;
  bool enabled_ = false;
};

// Ticks through the owning queue's timer list (mode 0). It may be destroyed
// on any thread while its queue lives; on the owning thread also after.
class TNotifyClock : public TClock {
 public:
  explicit TNotifyClock(TNotifyQueue& queue) : queue_(queue), life_(queue.GetLife()) {}
  ~TNotifyClock() override;
  void Update() override;
  void Restart() override;

 private:
  TNotifyQueue& queue_;
  // The queue may end first (its thread ends): its timers go with it.
  std::shared_ptr<TNotifyQueue::Life> life_;
};

// Ticks through a timer of its own utility window (mode 1).
class TWindowsClock : public TClock {
 public:
  TWindowsClock();
  ~TWindowsClock() override;
  void Update() override;
  void Restart() override;
  os::HWND Window() const { return window_; }

 private:
  os::HWND window_ = 0;
};

// A clock for the calling thread's queue: TNotifyClock in mode 0,
// TWindowsClock in mode 1.
std::unique_ptr<TClock> CreateClock(std::uint32_t interval, bool enabled, TClock::TClockEvent on_tick);

// Start-up and the console flag: common/NotifyQueueUnit.h.

}  // namespace vt
