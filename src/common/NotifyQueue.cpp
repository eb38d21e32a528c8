#include "common/NotifyQueue.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

#include "common/Objects.h"
#include "common/SysUtils.h"
#include "common/TypedLists.h"

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

// What a queued record's method pointer refers to (its data): the callback
// and the class names noted when posted, so that reports never touch the
// objects.
struct TQueuedCall {
  TNotifyMethod method;
  std::string source_class;
  std::string data_class;
};

const TQueuedCall& CallOf(const TNotifyQueueListRec& rec) {
  return *static_cast<const TQueuedCall*>(rec.Method.Data);
}

using TTimerCallback = std::function<void()>;

}  // namespace

// Records own their call as well as their name.
class TNotifyQueue::TQueuedList : public TNotifyQueueList {
 public:
  ~TQueuedList() override { Clear(); }  // with this class's finalization
  void FinalizeItem(void* item) override {
    auto& rec = *static_cast<TNotifyQueueListRec*>(item);
    delete static_cast<const TQueuedCall*>(rec.Method.Data);
    rec.Method.Data = nullptr;
    TNotifyQueueList::FinalizeItem(item);
  }
  void CopyItem(const void* source, void* target) override {
    TNotifyQueueList::CopyItem(source, target);
    auto& rec = *static_cast<TNotifyQueueListRec*>(target);
    try {
      rec.Method.Data = new TQueuedCall(CallOf(*static_cast<const TNotifyQueueListRec*>(source)));
    } catch (...) {
      delete rec.Name;
      throw;
    }
  }
  // Appends a notification; the record owns Call from then on.
  void Append(TObject* source, std::unique_ptr<TQueuedCall> call, TObject* data, std::string_view name) {
    const int index = Add(source, TMethod{nullptr, nullptr}, data, TickCount(), name);
    Items(index).Method.Data = call.release();
  }
  // The queue's view of record Index, copied.
  TNotifyQueueItem Copy(int index) {
    TNotifyQueueItem item = Header(index);
    const TQueuedCall& call = CallOf(Items(index));
    item.Name = Name(index);
    item.Method = call.method;
    item.SourceClass = call.source_class;
    item.DataClass = call.data_class;
    return item;
  }
  // The same with the record's own parts, leaving it empty.
  TNotifyQueueItem Take(int index) {
    TNotifyQueueItem item = Header(index);
    TNotifyQueueListRec& rec = Items(index);
    std::unique_ptr<std::string> name(std::exchange(rec.Name, nullptr));
    std::unique_ptr<TQueuedCall> call(
        static_cast<TQueuedCall*>(const_cast<void*>(std::exchange(rec.Method.Data, nullptr))));
    if (name) item.Name = std::move(*name);
    item.Method = std::move(call->method);
    item.SourceClass = std::move(call->source_class);
    item.DataClass = std::move(call->data_class);
    return item;
  }

 private:
  TNotifyQueueItem Header(int index) {
    const TNotifyQueueListRec& rec = Items(index);
    TNotifyQueueItem item;
    item.Source = rec.Source;
    item.Data = rec.Data;
    item.PostTick = rec.PostTick;
    return item;
  }
};

// Keys own the callbacks their code words point to.
class TNotifyQueue::TTimerList : public TNotifyTimerList {
 public:
  ~TTimerList() override { Clear(); }  // with this class's finalization
  void FinalizeItem(void* item) override {
    auto& rec = *static_cast<Rec*>(item);
    delete static_cast<const TTimerCallback*>(rec.Key.Code);
    rec.Key = TMethod{nullptr, nullptr};
  }
  void CopyItem(const void* source, void* target) override {
    const auto& from = *static_cast<const Rec*>(source);
    const auto* callback = static_cast<const TTimerCallback*>(from.Key.Code);
    const void* code = callback ? new TTimerCallback(*callback) : nullptr;
    *static_cast<Rec*>(target) = Rec{TMethod{code, from.Key.Data}, from.Value1, from.Value2};
  }
  const void* KeyOf(int index) const { return Key(index).Data; }
  const TTimerCallback& CallbackOf(int index) const {
    return *static_cast<const TTimerCallback*>(Key(index).Code);
  }
  // Frees entry Index for reuse.
  void Free(int index) {
    delete static_cast<const TTimerCallback*>(Key(index).Code);
    SetKey(index, TMethod{nullptr, nullptr});
    SetValue1(index, 0);
  }
};

TNotifyQueue* CurrentNotifyQueue() { return t_queue; }

// ---- TNotifyQueue ----------------------------------------------------------

TNotifyQueue::TNotifyQueue() {
  for (int p = 0; p < 3; ++p) {
    primary_[p] = std::make_unique<TQueuedList>();
    temporary_[p] = std::make_unique<TQueuedList>();
  }
  external_ = std::make_unique<TQueuedList>();
  timers_ = std::make_unique<TTimerList>();
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
  std::array<TQueuedList, 3> temporary, primary;
  {
    Locked lock(lock_);
    terminating_ = true;
    DisableExceptionLogging();
    for (int p = 0; p < 3; ++p) {
      const std::pair<const char*, TQueuedList*> lists[2] = {{"Temporary Queue (", temporary_[p].get()},
                                                             {"Primary Queue (", primary_[p].get()}};
      for (auto [title, list] : lists) {
        if (list->IsEmpty()) continue;
        LibraryLog(TLogRecord::Header, "Notify Queue Warning", 2);
        LibraryLog(TLogRecord::Text,
                   "Shutting down with " + IntToStr(list->Count()) + " undelivered notifications in " + title +
                       kPriorityNames[p] + ").",
                   2);
        // The class names were noted when posted: the objects may be gone.
        for (int i = 0; i < list->Count(); ++i)
          LibraryLog(TLogRecord::Text, "  " + CallOf(list->Items(i)).data_class, 2);
      }
    }
    EnableExceptionLogging();
    for (int p = 0; p < 3; ++p) {
      temporary[p].MoveItemsFrom(*temporary_[p]);
      primary[p].MoveItemsFrom(*primary_[p]);
    }
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
    if (!external_->IsEmpty()) throw Exception("Notify queue: Cannot set mode after external event has been created");
    for (int p = 0; p < 3; ++p)
      if (!primary_[p]->IsEmpty() || !temporary_[p]->IsEmpty())
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
  auto call = std::make_unique<TQueuedCall>(
      TQueuedCall{std::move(method), ClassNameOrNone(source), ClassNameOrNone(data)});
  Locked lock(lock_);
  primary_[priority]->Append(source, std::move(call), data, name);
  WakeLocked();
}

void TNotifyQueue::AddExternal(TObject* source, TNotifyMethod method, std::string name) {
  auto call = std::make_unique<TQueuedCall>(TQueuedCall{std::move(method), ClassNameOrNone(source), {}});
  Locked lock(lock_);
  external_->Append(source, std::move(call), nullptr, name);
}

void TNotifyQueue::RemoveExternal(TObject* source) {
  Locked lock(lock_);
  for (int i = 0; i < external_->Count(); ++i)
    if (external_->Items(i).Source == source) external_->Items(i).Source = nullptr;
}

void TNotifyQueue::ProcessExternal() {
  CheckThread("Process external queue");
  bool purge = false;
  // Items are only removed here, so an index stays valid while the lock is
  // let go for a dispatch.
  for (int i = 0;; ++i) {
    TNotifyQueueItem item;
    {
      Locked lock(lock_);
      if (i >= external_->Count() || terminating_) break;
      item = external_->Copy(i);
    }
    if (!Dispatch(item)) purge = true;
  }
  if (!purge) return;
  Locked lock(lock_);
  external_->Remove(nullptr);
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
        if (!primary_[higher]->IsEmpty()) {
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
    temporary_[priority]->MoveItemsFrom(*primary_[priority]);
  }
  for (;;) {
    TNotifyQueueItem item;
    {
      Locked lock(lock_);
      TQueuedList& list = *temporary_[priority];
      if (list.IsEmpty() || terminating_) return;
      item = list.Take(0);
      list.DeleteFirst();
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
      if (!external_->IsEmpty()) wait = std::min(wait, kQueueTimerInterval);
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
  for (int i = 0; i < timers_->Count(); ++i) {
    if (timers_->Value1(i) == 0) continue;
    const auto left = static_cast<std::int32_t>(timers_->Value2(i) - now);
    if (left <= 0) return 0;
    wait = std::min(wait, static_cast<std::uint32_t>(left));
  }
  return wait;
}

void TNotifyQueue::FireDueTimers() {
  // Entries are cleared, never removed, so an index stays valid while the
  // lock is let go for a callback.
  for (int i = 0;; ++i) {
    std::function<void()> callback;
    {
      Locked lock(lock_);
      if (i >= timers_->Count() || terminating_ || stop_requested_) return;
      const std::uint32_t now = TickCount(), interval = timers_->Value1(i);
      if (interval == 0 || static_cast<std::int32_t>(now - timers_->Value2(i)) < 0) continue;
      timers_->SetValue2(i, now + interval);
      callback = timers_->CallbackOf(i);
      firing_key_ = timers_->KeyOf(i);
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
  auto owned = std::make_unique<TTimerCallback>(std::move(callback));
  Locked lock(lock_);
  const TMethod method{owned.get(), key};
  const std::uint32_t due = TickCount() + interval;
  int i = 0;
  while (i < timers_->Count() && timers_->Value1(i) != 0) ++i;
  if (i < timers_->Count()) {
    timers_->SetKey(i, method);
    timers_->SetValue1(i, interval);
    timers_->SetValue2(i, due);
  } else {
    timers_->Add(method, interval, due);
  }
  owned.release();
  wake_event_.SetEvent();
}

void TNotifyQueue::RemoveTimer(const void* key) {
  CheckThread("Remove timer");
  if (mode_ != 0) throw Exception("Notify loop must be enabled before removing timer");
  Locked lock(lock_);
  ClearTimerLocked(key);
}

void TNotifyQueue::ClearTimerLocked(const void* key) {
  for (int i = 0; i < timers_->Count(); ++i)
    if (timers_->KeyOf(i) == key) timers_->Free(i);
}

void TNotifyQueue::ResetTimer(const void* key) {
  CheckThread("Reset timer");
  if (mode_ != 0) throw Exception("Notify loop must be enabled before removing timer");
  Locked lock(lock_);
  for (int i = 0; i < timers_->Count(); ++i)
    if (timers_->KeyOf(i) == key) timers_->SetValue2(i, TickCount() + timers_->Value1(i));
}

std::size_t TNotifyQueue::PendingCount(int priority) const {
  Locked lock(lock_);
  return static_cast<std::size_t>(primary_[priority]->Count() + temporary_[priority]->Count());
}

std::size_t TNotifyQueue::ExternalCount() const {
  Locked lock(lock_);
  return static_cast<std::size_t>(external_->Count());
}

std::size_t TNotifyQueue::TimerCount() const {
  Locked lock(lock_);
  std::size_t n = 0;
  for (int i = 0; i < timers_->Count(); ++i)
    if (timers_->Value1(i) != 0) ++n;
  return n;
}

std::uint32_t TNotifyQueue::TimerDue(const void* key) const {
  Locked lock(lock_);
  for (int i = 0; i < timers_->Count(); ++i)
    if (timers_->KeyOf(i) == key && timers_->Value1(i) != 0) return timers_->Value2(i);
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
