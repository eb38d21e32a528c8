#include "common/Locks.h"

#include <thread>

#include "common/TestHooks.h"

namespace vt {

namespace {

std::atomic<TWarningCallback> g_warning_callback{nullptr};
std::atomic<std::int64_t> g_posted{0};
std::atomic<std::int64_t> g_post_retries{0};
std::atomic<std::uint32_t> g_deadlock_slice_ms{20000};

}  // namespace

// ---- TFastMutex -------------------------------------------------------------

void TFastMutex::Enter() {
  for (int i = 0; i < 1000; ++i) {
    if (section_.try_lock()) return;
    os::SwitchToThread();
  }
  section_.lock();
}

bool TFastMutex::TryEnter() { return section_.try_lock(); }

void TFastMutex::Leave() { section_.unlock(); }

// ---- TWinMutex / TWinEvent ----------------------------------------------------

TWinMutex::TWinMutex(const os::SECURITY_ATTRIBUTES* security_attributes, const std::string& name) {
  Handle = os::CreateMutexA(security_attributes, false, name);
  if (Handle == 0) {
    if (name.empty()) RaiseLastOSError("Failed to create mutex object");
    RaiseLastOSError("Failed to create mutex object: '%s'", {name});
  }
  AlreadyExisted = os::GetLastError() == os::kErrorAlreadyExists;
}

TWinMutex::~TWinMutex() {
  if (OwnsHandle && Handle != 0) os::CloseHandle(Handle);
}

bool TWinMutex::Acquire(std::uint32_t timeout, TWaitFlags flags) { return WaitForObject(Handle, timeout, flags); }

void TWinMutex::Release() { os::ReleaseMutex(Handle); }

TWinEvent::TWinEvent(const os::SECURITY_ATTRIBUTES* security_attributes, const std::string& name, bool manual_reset,
                     bool initial_state) {
  Handle = os::CreateEventA(security_attributes, manual_reset, initial_state, name);
  if (Handle == 0) {
    if (name.empty()) RaiseLastOSError("Failed to create event object");
    RaiseLastOSError("Failed to create event object: '%s'", {name});
  }
  AlreadyExisted = os::GetLastError() == os::kErrorAlreadyExists;
}

TWinEvent::~TWinEvent() {
  if (Handle != 0) os::CloseHandle(Handle);
}

void TWinEvent::SetEvent() { SetEventChecked(Handle); }

bool TWinEvent::WaitFor(std::uint32_t timeout) {
  os::DWORD r = os::WaitForSingleObject(Handle, timeout);
  if (r == os::kWaitObject0 || r == os::kWaitAbandoned0) return true;
  if (r == os::kWaitTimeout) return false;
  throw Exception("Error waiting for event");
}

void SetEventChecked(os::HANDLE event) {
  if (!os::SetEvent(event)) RaiseLastOSError("Failed to set event object 0x0%x", {event});
}

// ---- Waits ------------------------------------------------------------------

int WaitForObjects(const std::vector<os::HANDLE>& handles, bool wait_all, std::uint32_t timeout, TWaitFlags flags,
                   os::HANDLE signal_object) {
  if (handles.empty()) throw Exception("No objects to wait for specified.");
  VT_ASSERT_AT(signal_object == 0 || handles.size() == 1, "Objects", 3370);
  const auto count = static_cast<os::DWORD>(handles.size());
  auto step = [&](std::uint32_t step_timeout) -> os::DWORD {
    if (signal_object != 0) {
      os::HANDLE signal = signal_object;
      signal_object = 0;  // signalled once only
      return os::SignalObjectAndWait(signal, handles[0], step_timeout, false);
    }
    if (count == 1) return os::WaitForSingleObject(handles[0], step_timeout);
    return os::WaitForMultipleObjects(count, handles.data(), wait_all, step_timeout);
  };

  os::DWORD r;
  if ((flags & wfDeadlockWarnings) && timeout == os::kInfinite) {
    bool warned = false;
    for (;;) {
      r = step(g_deadlock_slice_ms.load());
      if (r != os::kWaitTimeout) break;
      SendWarning("Wait State Warning (possible deadlock)");
      warned = true;
    }
    if (warned) SendWarning("Wait State Ended (deadlock condition avoided)");
  } else {
    r = step(timeout);
  }

  if (r == os::kWaitFailed) RaiseLastOSError("Wait operation failed");
  if (r < os::kWaitObject0 + 64) return static_cast<int>(r - os::kWaitObject0);
  if (r >= os::kWaitAbandoned0 && r < os::kWaitAbandoned0 + 64) {
    int index = static_cast<int>(r - os::kWaitAbandoned0);
    if (flags & wfWarnAbandoned) {
      std::string text = "Wait State Warning (wait abandoned)";
      if (count > 1) text += "\r\nAbandoned object index is " + std::to_string(index);
      SendWarning(text);
    }
    return index;
  }
  if (r == os::kWaitTimeout) {
    if (flags & wfNoTimeoutError) return -1;
    throw Exception(Format("Wait operation timed out after %dms", timeout));
  }
  RaiseLastOSError("Wait operation failed with an unknown error");
}

bool WaitForObject(os::HANDLE handle, std::uint32_t timeout, TWaitFlags flags, os::HANDLE signal_object) {
  return WaitForObjects({handle}, false, timeout, flags, signal_object) >= 0;
}

// ---- Posting ------------------------------------------------------------------

void PostMessageRetryLoop(const std::function<bool()>& post, std::uint32_t msg, std::uintptr_t window) {
  std::uint64_t since = os::GetTickCount64();
  for (;;) {
    if (post()) {
      g_posted.fetch_add(1);
      return;
    }
    os::DWORD err = os::GetLastError();
    if (err != 0 && err != os::kErrorNotEnoughQuota)
      RaiseOSError("Failed to post message 0x0%x to window 0x0%x.", {msg, window}, err);
    g_post_retries.fetch_add(1);
    os::Sleep(1);
    std::uint64_t now = os::GetTickCount64();
    if (now - since >= 10000) {
      SendWarning("Message cannot be posted (possible deadlock)");
      since = now;
    }
  }
}

std::int64_t PostedMessageCount() { return g_posted.load(); }
std::int64_t PostRetryCount() { return g_post_retries.load(); }

// ---- Warnings, names, security, counters ------------------------------------------

void SetWarningCallback(TWarningCallback callback) { g_warning_callback.store(callback); }
TWarningCallback GetWarningCallback() { return g_warning_callback.load(); }

void SendWarning(const std::string& text) {
  if (TWarningCallback callback = g_warning_callback.load()) callback(text);
}

std::string AddGlobalPrefix(const std::string& name) { return "Global\\" + name; }

os::SECURITY_DESCRIPTOR* GetEveryoneSecurityDescriptor() {
  static os::SECURITY_DESCRIPTOR descriptor{1, true};
  return &descriptor;
}

os::SECURITY_ATTRIBUTES* GetEveryoneSecurityAttributes() {
  static os::SECURITY_ATTRIBUTES attributes{12, GetEveryoneSecurityDescriptor(), false};
  return &attributes;
}

TThreadCounters& ThreadCounters() {
  thread_local TThreadCounters counters;
  return counters;
}

void DisableExceptionLogging() { ++ThreadCounters().ExceptionLogSuppression; }
void EnableExceptionLogging() { --ThreadCounters().ExceptionLogSuppression; }
bool IsExceptionLoggingDisabled() { return ThreadCounters().ExceptionLogSuppression > 0; }

void CommonTestHelper::SetDeadlockSliceMs(std::uint32_t ms) { g_deadlock_slice_ms.store(ms); }

}  // namespace vt
