#include "common/AppRemoteControl.h"

#include "common/Locks.h"
#include "common/Logs.h"
#include "common/NotifyQueue.h"
#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "common/ProductInformation.h"
#include "common/Session.h"
#include "common/Threads.h"
#include "platform/ModuleNames.h"
#include "platform/Sync.h"

namespace vt {

TAppRemoteControl::TAppRemoteControl(const std::string& name) : name_(name) {
  if (name_.empty()) name_ = ExtractFileBaseName(os::GetModuleFileName(nullptr));
  std::string lower = name_;
  LowerCaseAsciiInPlace(lower);
  base_ = "Palgrem" + GetProductInfo().ProductCaption + "_" + lower;
  try {
    for (int kind = 0; kind < 2; ++kind) {
      os::SetLastError(0);
      mutexes_[kind] = os::CreateMutexA(GetEveryoneSecurityAttributes(), false, MutexName(kind));
      mutex_existed_[kind] = os::GetLastError() == os::kErrorAlreadyExists;
    }
    events_[0] = os::CreateEventA(nullptr, true, false, "");
    if (!events_[0]) RaiseLastOSError("Unable to create/open event object.");
    for (int i = 1; i < kRemoteEventCount; ++i) {
      const std::string event_name = EventName(i);
      events_[i] = os::CreateEventA(GetEveryoneSecurityAttributes(), true, false, event_name);
      // Created by someone we may only wait on.
      if (!events_[i] && os::GetLastError() == os::kErrorAccessDenied) events_[i] = os::OpenEventA(event_name);
      if (!events_[i]) {
        // Named events live in the shared-memory folder: what is wrong with it is said.
        const os::DWORD code = os::GetLastError();
        throw EOSError(OSErrorText("Unable to create/open event object.", {}, code) +
                           SharedFolderNote(code == os::kErrorDiskFull),
                       code);
      }
    }
    // Requests are counted from here on; an event already set is one.
    for (int i = 0; i < kRemoteEventCount; ++i) {
      std::uint32_t before = 0, after = 0;
      do {
        os::GetEventSetCount(events_[i], &before);
        set_at_start_[i] = os::WaitForSingleObject(events_[i], 0) == os::kWaitObject0;
        os::GetEventSetCount(events_[i], &after);
      } while (before != after);
      set_counts_[i] = after;
    }
    window_ = AllocateUtilityWindow([this](TMessage& m) { WindowProc(m); });
    if (!window_) RaiseLastOSError("Unable to create remote control window.");
    TMethodThread::Start(thread_, false, [this](TMethodThread&) { ControlThreadProc(); });
    RegisterThreadName(thread_->ThreadID(), "Application Control Thread (" + name_ + ")");
  } catch (...) {
    ReleaseResources();
    throw;
  }
}

TAppRemoteControl::~TAppRemoteControl() {
  quit_clock_.reset();
  Close();
}

std::string TAppRemoteControl::MutexName(int kind) const {
  const std::string base = base_ + "_Mutex";
  if (kind == 0) return base + "_" + GetUserNameStr() + "_" + GetWindowStationName();
  return AddGlobalPrefix(base);
}

std::string TAppRemoteControl::EventName(int index) const {
  if (index <= 0 || index >= kRemoteEventCount) return {};
  return AddGlobalPrefix(base_ + "_Event_" + std::to_string(index));
}

void TAppRemoteControl::Close() {
  if (closed_.exchange(true)) return;
  ReleaseResources();
}

void TAppRemoteControl::ReleaseResources() {
  closed_ = true;
  if (thread_) {
    if (events_[0]) os::SetEvent(events_[0]);
    TMethodThread::Dispose(thread_);
  }
  DeallocateUtilityWindow(window_);
  window_ = 0;
  for (auto& event : events_) CloseHandleAndNil(event);
  for (auto& mutex : mutexes_) CloseHandleAndNil(mutex);
  for (auto& handler : Handlers) handler = nullptr;
}

void TAppRemoteControl::ControlThreadProc() {
  // A request is one set of its event, however long the event then stays
  // set and however soon the next set follows: the thread waits for sets,
  // not for signalled events, and counts them. It never resets an event
  // (other instances wait on the same ones).
  std::array<std::uint32_t, kRemoteEventCount> seen = set_counts_;
  std::array<std::uint32_t, kRemoteEventCount> requests{};
  for (int i = 0; i < kRemoteEventCount; ++i) requests[i] = set_at_start_[i] ? 1 : 0;
  for (;;) {
    for (int i = 0; i < kRemoteEventCount; ++i)
      for (; requests[i] > 0; --requests[i])
        os::PostMessageA(window_, os::WM_USER, static_cast<os::WPARAM>(i), 0);
    const os::DWORD result =
        os::WaitForEventSets(kRemoteEventCount, events_.data(), seen.data(), os::kInfinite);
    if (closed_) return;
    // The handles are gone: nothing can arrive any more.
    if (result == os::kWaitFailed) return;
    for (int i = 0; i < kRemoteEventCount; ++i) {
      std::uint32_t now = seen[i];
      if (!os::GetEventSetCount(events_[i], &now)) return;
      requests[i] = now - seen[i];
      seen[i] = now;
    }
  }
}

void TAppRemoteControl::WindowProc(TMessage& message) {
  if (message.Msg != os::WM_USER || message.WParam >= static_cast<os::WPARAM>(kRemoteEventCount)) {
    DefaultHandler(window_, message);
    return;
  }
  const auto index = static_cast<int>(message.WParam);
  auto start_quit = [this, index] {
    if (index == 1 && !quit_clock_)
      quit_clock_ = CreateClock(kRemoteQuitDelayMs, true, [](TClock&) { os::PostQuitMessage(0); });
  };
  // The handler runs first; a failing one does not keep the program from ending.
  // A copy: the handler may close the object, which clears the table.
  const TRemoteRequestHandler handler = Handlers[index];
  try {
    if (handler) handler(*this);
  } catch (...) {
    start_quit();
    throw;
  }
  start_quit();
}

// ---- The process-wide object ------------------------------------------------

namespace {
TAppRemoteControl* g_remote_control = nullptr;
}  // namespace

TAppRemoteControl& GetAppRemoteControl() {
  if (!g_remote_control) g_remote_control = new TAppRemoteControl();
  return *g_remote_control;
}

const UnitEntry kAppRemoteControlUnit{"AppRemoteControl", [] { GetAppRemoteControl(); },
                                      [] { FreeAndNilObject(g_remote_control); }};

}  // namespace vt
