#include "common/NotifyQueue.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "common/Objects.h"
#include "common/SysUtils.h"

namespace vt {

namespace {

constexpr std::uint32_t kQueueTimerId = 1;
constexpr std::uint32_t kQueueTimerInterval = 1000;
constexpr std::uint32_t kLostWakeWarningMs = 10000;
constexpr std::uint32_t kSlowNotificationMs = 1000;

const char* const kPriorityNames[3] = {"Low", "Normal", "High"};

std::uint32_t TickCount() { return os::GetTickCount(); }

using Locked = TFastMutexLock;

thread_local TNotifyQueue* t_queue = nullptr;
std::atomic<int> g_live_clocks{0};
std::atomic<bool> g_console_program{false};

std::string ClassNameOrNone(const TObject* object) { return object ? ExceptionClassText(object) : std::string(); }

}  // namespace

TNotifyQueue* CurrentNotifyQueue() { return t_queue; }

// ---- TNotifyQueue ----------------------------------------------------------

TNotifyQueue::TNotifyQueue() {
  os::MutexLock lock(life_->lock);
  life_->queue = this;
}

TNotifyQueue::~TNotifyQueue() {
  {
    os::MutexLock lock(life_->lock);
    life_->queue = nullptr;
  }
  {
    Locked lock(lock_);
    terminating_ = true;  // no more wake-up messages
  }
  if (window_) {
    os::KillTimer(window_, kQueueTimerId);
    DeallocateUtilityWindow(window_);
    window_ = 0;
  }
  Shutdown();
  if (t_queue == this) t_queue = nullptr;
}

void TNotifyQueue::Shutdown() {
  std::array<std::deque<TNotifyQueueItem>, 3> temporary, primary;
  {
    Locked lock(lock_);
    terminating_ = true;
    DisableExceptionLogging();
    for (int p = 0; p < 3; ++p) {
      const std::pair<const char*, std::deque<TNotifyQueueItem>*> lists[2] = {{"Temporary Queue (", &temporary_[p]},
                                                                                 {"Primary Queue (", &primary_[p]}};
      for (auto [title, list] : lists) {
        if (list->empty()) continue;
        LibraryLog(TLogRecord::Header, "Notify Queue Warning", 2);
        LibraryLog(TLogRecord::Text,
                   "Shutting down with " + IntToStr(static_cast<std::int64_t>(list->size())) +
                       " undelivered notifications in " + title + kPriorityNames[p] + ").",
                   2);
        // The class names were noted when posted: the objects may be gone.
        for (const auto& item : *list) LibraryLog(TLogRecord::Text, "  " + item.DataClass, 2);
      }
    }
    EnableExceptionLogging();
    temporary.swap(temporary_);
    primary.swap(primary_);
  }
  os::SetEvent(wake_event_.Handle);  // a waiting notify loop ends (never raises here)
  // The dropped items (and what their methods hold) go outside the lock.
}

void TNotifyQueue::AttachToThread() {
  VT_ASSERT_AT(owner_thread_ == 0, "NotifyQueue", __LINE__);
  VT_ASSERT_AT(t_queue == nullptr, "NotifyQueue", __LINE__);
  owner_thread_ = os::GetCurrentThreadId();
  t_queue = this;
}

void TNotifyQueue::CheckThread(const char* operation) const {
  if (owner_thread_ == 0)
    throw Exception(Format("Notify queue operation cannot be performed before a thread is attached: %s", operation));
  if (owner_thread_ != os::GetCurrentThreadId())
    throw Exception(Format("Notify queue operation can be performed from main thread only: %s", operation));
}

void TNotifyQueue::SetMode(std::uint8_t mode) {
  VT_ASSERT_AT(mode == 1, "NotifyQueue", __LINE__);
  CheckThread("Set mode");
  if (mode == mode_) return;
  if (TClock::LiveCount() > 0) throw Exception("Notify queue: Cannot set mode after timers have been created");
  {
    Locked lock(lock_);
    if (!external_.empty()) throw Exception("Notify queue: Cannot set mode after external event has been created");
    for (int p = 0; p < 3; ++p)
      if (!primary_[p].empty() || !temporary_[p].empty())
        throw Exception("Notify queue: Cannot set mode after messages have been posted");
  }
  os::HWND window = AllocateUtilityWindow([this](TMessage& m) { QueueWindowProc(m); });
  if (!window || !os::SetTimer(window, kQueueTimerId, kQueueTimerInterval)) {
    DeallocateUtilityWindow(window);
    throw Exception("Out of timer resources.");
  }
  Locked lock(lock_);
  window_ = window;
  mode_ = mode;
}

void TNotifyQueue::Post(TNotifyPriority priority, TObject* source, TNotifyMethod method, TObject* data,
                        std::string name) {
  VT_ASSERT_AT(priority >= npLow && priority <= npHigh, "NotifyQueue", __LINE__);
  TNotifyQueueItem rec;
  rec.Source = source;
  rec.Method = std::move(method);
  rec.Data = data;
  rec.PostTick = TickCount();
  rec.Name = std::move(name);
  rec.SourceClass = ClassNameOrNone(source);
  rec.DataClass = ClassNameOrNone(data);
  Locked lock(lock_);
  primary_[priority].push_back(std::move(rec));
  WakeLocked();
}

void TNotifyQueue::AddExternal(TObject* source, TNotifyMethod method, std::string name) {
  TNotifyQueueItem rec;
  rec.Source = source;
  rec.Method = std::move(method);
  rec.PostTick = TickCount();
  rec.Name = std::move(name);
  rec.SourceClass = ClassNameOrNone(source);
  Locked lock(lock_);
  external_.push_back(std::move(rec));
}

void TNotifyQueue::RemoveExternal(TObject* source) {
  Locked lock(lock_);
  for (auto& item : external_)
    if (item.Source == source) item.Source = nullptr;
}

void TNotifyQueue::ProcessExternal() {
  CheckThread("Process external queue");
  bool purge = false;
  // Items are only removed here, so an index stays valid while the lock is
  // let go for a dispatch.
  for (std::size_t i = 0;; ++i) {
    TNotifyQueueItem item;
    {
      Locked lock(lock_);
      if (i >= external_.size() || terminating_) break;
      item = external_[i];
    }
    if (!Dispatch(item)) purge = true;
  }
  if (!purge) return;
  Locked lock(lock_);
  std::erase_if(external_, [](const TNotifyQueueItem& item) { return item.Source == nullptr; });
}

void TNotifyQueue::Wake() {
  Locked lock(lock_);
  WakeLocked();
}

void TNotifyQueue::WakeLocked() {
  if (wake_pending_ || terminating_) return;
  if (mode_ == 0) {
    wake_event_.SetEvent();
  } else if (mode_ == 1) {
    last_wake_tick_ = TickCount();
    ++wake_sequence_;
    PostMessageWithRetry(window_, os::WM_USER, wake_sequence_, 0);
  } else {
    AssertionFailed("NotifyQueue", __LINE__);
  }
  wake_pending_ = true;
}

void TNotifyQueue::QueueWindowProc(TMessage& message) {
  if (message.Msg != os::WM_USER && message.Msg != os::WM_TIMER) {
    DefaultHandler(window_, message);
    return;
  }
  {
    Locked lock(lock_);
    if (message.Msg == os::WM_TIMER) {
      std::uint32_t now = TickCount();
      if (wake_sequence_ != last_processed_ && now - last_wake_tick_ > kLostWakeWarningMs) {
        LibraryLog(TLogRecord::ShortWarning, "Notify Queue Warning: Posted message has not arrived in " +
                                                 IntToStr(kLostWakeWarningMs / 1000) + " seconds.");
        last_wake_tick_ = now;
      }
    } else {
      auto s = static_cast<std::uint32_t>(message.WParam);
      std::uint32_t expected = last_processed_ + 1;
      if (static_cast<std::int32_t>(s - expected) < 0)
        LibraryLog(TLogRecord::ShortWarning, "Notify Queue Warning: Posted messages arriving out of order.");
      else if (s != expected)
        LibraryLog(TLogRecord::ShortWarning, "Notify Queue Warning: " + IntToStr(s - expected) +
                                                 " posted message(s) has been lost.");
      last_processed_ = s;
    }
  }
  ProcessExternal();
  ProcessAll();
}

void TNotifyQueue::ProcessAll() {
  for (int p = npHigh; p >= npLow; --p) {
    {
      Locked lock(lock_);
      if (terminating_) return;
      for (int higher = p + 1; higher <= npHigh; ++higher)
        if (!primary_[higher].empty()) {
          WakeLocked();  // another pass follows
          break;
        }
    }
    ProcessQueue(p);
  }
}

void TNotifyQueue::ProcessQueue(int priority) {
  CheckThread("Process queue");
  {
    Locked lock(lock_);
    wake_pending_ = false;
    auto& from = primary_[priority];
    auto& to = temporary_[priority];
    std::move(from.begin(), from.end(), std::back_inserter(to));
    from.clear();
  }
  for (;;) {
    TNotifyQueueItem item;
    {
      Locked lock(lock_);
      auto& list = temporary_[priority];
      if (list.empty() || terminating_) return;
      item = std::move(list.front());
      list.pop_front();
    }
    std::uint32_t started = TickCount();
    Dispatch(item);
    std::uint32_t finished = TickCount();
    std::uint32_t waited = started - item.PostTick;
    std::uint32_t took = finished - started;
    if (!item.Name.empty() && item.Source && (waited > kSlowNotificationMs || took > kSlowNotificationMs))
      LibraryLog(TLogRecord::Debug,
                 Format("TNotifyQueue.ProcessQueue: Packet %s from source %s processed after %d ms. Finished after %d ms",
                        item.Name, item.SourceClass, waited, took));
  }
}

bool TNotifyQueue::Dispatch(TNotifyQueueItem& item) {
  if (!item.Source) return false;
  try {
    if (item.Method) item.Method(item);
  } catch (const std::exception& e) {
    std::string text = "Failed to notify object at " + HexAddress(reinterpret_cast<std::uintptr_t>(item.Source)) +
                       ", class is " + (item.SourceClass.empty() ? "(unavailable)" : item.SourceClass) + "\r\n" +
                       e.what();
    LibraryLog(TLogRecord::ShortWarning, text);
    if (OnNotifyError) OnNotifyError(text);
  }
  return true;
}

void TNotifyQueue::RunNotifyLoop() {
  CheckThread("Notify loop");
  if (mode_ != 0) throw Exception("Notify loop must be enabled before running it");
  for (;;) {
    std::uint32_t wait = 0;
    {
      Locked lock(lock_);
      if (stop_requested_ || terminating_) {
        stop_requested_ = false;
        return;
      }
      wait = NextTimerWait();
      // External items are served at least once a second, as in window mode.
      if (!external_.empty()) wait = std::min(wait, kQueueTimerInterval);
    }
    if (wait != 0) wake_event_.WaitFor(wait);
    ProcessExternal();
    ProcessAll();
    FireDueTimers();
  }
}

void TNotifyQueue::StopNotifyLoop() {
  {
    Locked lock(lock_);
    stop_requested_ = true;
  }
  wake_event_.SetEvent();
}

std::uint32_t TNotifyQueue::NextTimerWait() const {
  const std::uint32_t now = TickCount();
  std::uint32_t wait = os::kInfinite;
  for (const auto& e : timers_) {
    if (e.interval == 0) continue;
    const auto left = static_cast<std::int32_t>(e.due - now);
    if (left <= 0) return 0;
    wait = std::min(wait, static_cast<std::uint32_t>(left));
  }
  return wait;
}

void TNotifyQueue::FireDueTimers() {
  // Entries are cleared, never removed, so an index stays valid while the
  // lock is let go for a callback.
  for (std::size_t i = 0;; ++i) {
    std::function<void()> callback;
    {
      Locked lock(lock_);
      if (i >= timers_.size() || terminating_ || stop_requested_) return;
      TimerEntry& e = timers_[i];
      const std::uint32_t now = TickCount();
      if (e.interval == 0 || static_cast<std::int32_t>(now - e.due) < 0) continue;
      e.due = now + e.interval;
      callback = e.callback;
      firing_key_ = e.key;
    }
    // The callback's copy goes before the key is released: DropTimer's
    // caller may free what it holds as soon as it is.
    struct Release {
      TNotifyQueue& queue;
      std::function<void()>& callback;
      ~Release() {
        callback = nullptr;
        Locked lock(queue.lock_);
        queue.firing_key_ = nullptr;
      }
    } release{*this, callback};
    callback();
  }
}

bool TNotifyQueue::DropTimer(const void* key) {
  Locked lock(lock_);
  ClearTimerLocked(key);
  return os::GetCurrentThreadId() == owner_thread_ || firing_key_ != key;
}

void TNotifyQueue::AddTimer(std::uint32_t interval, const void* key, std::function<void()> callback) {
  CheckThread("Add timer");
  if (mode_ != 0) throw Exception("Notify loop must be enabled before adding timer");
  VT_ASSERT_AT(interval != 0, "NotifyQueue", __LINE__);
  Locked lock(lock_);
  TimerEntry entry{key, std::move(callback), interval, TickCount() + interval};
  auto it = std::find_if(timers_.begin(), timers_.end(), [](const TimerEntry& e) { return e.interval == 0; });
  if (it != timers_.end())
    *it = std::move(entry);
  else
    timers_.push_back(std::move(entry));
  wake_event_.SetEvent();
}

void TNotifyQueue::RemoveTimer(const void* key) {
  CheckThread("Remove timer");
  if (mode_ != 0) throw Exception("Notify loop must be enabled before removing timer");
  Locked lock(lock_);
  ClearTimerLocked(key);
}

void TNotifyQueue::ClearTimerLocked(const void* key) {
  for (auto& e : timers_)
    if (e.key == key) {
      e.key = nullptr;
      e.callback = nullptr;
      e.interval = 0;
    }
}

void TNotifyQueue::ResetTimer(const void* key) {
  CheckThread("Reset timer");
  if (mode_ != 0) throw Exception("Notify loop must be enabled before removing timer");
  Locked lock(lock_);
  for (auto& e : timers_)
    if (e.key == key) e.due = TickCount() + e.interval;
}

std::size_t TNotifyQueue::PendingCount(int priority) const {
  Locked lock(lock_);
  return primary_[priority].size() + temporary_[priority].size();
}

std::size_t TNotifyQueue::ExternalCount() const {
  Locked lock(lock_);
  return external_.size();
}

std::size_t TNotifyQueue::TimerCount() const {
  Locked lock(lock_);
  return static_cast<std::size_t>(
      std::count_if(timers_.begin(), timers_.end(), [](const TimerEntry& e) { return e.interval != 0; }));
}

std::uint32_t TNotifyQueue::TimerDue(const void* key) const {
  Locked lock(lock_);
  for (const auto& e : timers_)
    if (e.key == key && e.interval != 0) return e.due;
  return 0;
}

// ---- Clocks ----------------------------------------------------------------

TClock::TClock() { ++g_live_clocks; }
TClock::~TClock() { --g_live_clocks; }

int TClock::LiveCount() { return g_live_clocks; }

void TClock::SetInterval(std::uint32_t interval) {
  if (interval == interval_) return;
  interval_ = interval;
  Update();
}

void TClock::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void TClock::SetOnTick(TClockEvent on_tick) {
  on_tick_ = std::move(on_tick);
  Update();
}

void TClock::Tick() {
  if (enabled_ && on_tick_) on_tick_(*this);
}

TNotifyClock::~TNotifyClock() {
  // While a tick of this clock runs on the owning thread, wait for its end
  // without holding the queue's life: the tick may end other clocks.
  for (;;) {
    {
      os::MutexLock lock(life_->lock);
      if (!life_->queue || life_->queue->DropTimer(this)) return;
    }
    os::Sleep(1);
  }
}

void TNotifyClock::Update() {
  queue_.RemoveTimer(this);
  if (Interval() != 0 && Enabled() && HasOnTick()) queue_.AddTimer(Interval(), this, [this] { Tick(); });
}

void TNotifyClock::Restart() {
  if (!Enabled())
    SetEnabled(true);
  else
    queue_.ResetTimer(this);
}

TWindowsClock::TWindowsClock() {
  window_ = AllocateUtilityWindow([this](TMessage& m) {
    if (m.Msg == os::WM_TIMER)
      Tick();
    else
      DefaultHandler(window_, m);
  });
}

TWindowsClock::~TWindowsClock() { DeallocateUtilityWindow(window_); }

void TWindowsClock::Update() {
  os::KillTimer(window_, 1);
  if (Interval() != 0 && Enabled() && HasOnTick())
    if (!os::SetTimer(window_, 1, Interval())) throw Exception("Out of timer resources.");
}

void TWindowsClock::Restart() {
  SetEnabled(false);
  SetEnabled(true);
}

std::unique_ptr<TClock> CreateClock(std::uint32_t interval, bool enabled, TClock::TClockEvent on_tick) {
  TNotifyQueue* queue = CurrentNotifyQueue();
  VT_ASSERT_AT(queue != nullptr, "NotifyQueue", __LINE__);
  std::unique_ptr<TClock> clock;
  if (queue->Mode() == 0)
    clock = std::make_unique<TNotifyClock>(*queue);
  else if (queue->Mode() == 1)
    clock = std::make_unique<TWindowsClock>();
  else
    throw Exception("Cannot create clock: Unknown notify queue mode");
  clock->SetInterval(interval);
  clock->SetEnabled(enabled);
  clock->SetOnTick(std::move(on_tick));
  return clock;
}

// ---- Start-up --------------------------------------------------------------

void SetConsoleProgram(bool console) { g_console_program = console; }
bool IsConsoleProgram() { return g_console_program; }

namespace {

// Set and cleared by the unit on the main thread; posters from other
// threads read it under the lock.
std::mutex g_main_queue_lock;
TNotifyQueue* g_main_queue = nullptr;

void InitNotifyQueue() {
  auto queue = std::make_unique<TNotifyQueue>();
  queue->AttachToThread();
  if (!IsConsoleProgram()) queue->SetMode(1);
  std::lock_guard guard(g_main_queue_lock);
  g_main_queue = queue.release();
}

void DoneNotifyQueue() {
  TNotifyQueue* queue = nullptr;
  {
    std::lock_guard guard(g_main_queue_lock);
    std::swap(queue, g_main_queue);
  }
  delete queue;
}

}  // namespace

bool PostNotification(TNotifyPriority priority, TObject* source, TNotifyMethod method, TObject* data,
                      std::string name) {
  std::lock_guard guard(g_main_queue_lock);
  if (!g_main_queue) return false;
  g_main_queue->Post(priority, source, std::move(method), data, std::move(name));
  return true;
}

void ShutDownMainNotifyQueue() {
  // Only the main thread, which runs start-up and shutdown, changes it.
  if (TNotifyQueue* queue = g_main_queue) queue->Shutdown();
}

const UnitEntry kNotifyQueueUnit{"NotifyQueue", &InitNotifyQueue, &DoneNotifyQueue};

}  // namespace vt
