#include "common/Threads.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "common/EventLog.h"
#include "common/Locks.h"
#include "common/Objects.h"
#include "common/Session.h"
#include "common/SysUtils.h"
#include "common/TestHooks.h"

namespace vt {

// ---- Library log hook ------------------------------------------------------

namespace {
std::atomic<TLogHook> g_log_hook{nullptr};
}

void SetLibraryLogHook(TLogHook hook) { g_log_hook = hook; }

void LibraryLog(TLogRecord kind, const std::string& text, int flags) {
  if (TLogHook hook = g_log_hook.load()) hook(kind, text, flags);
}

// ---- TSafeThread -----------------------------------------------------------

namespace {
std::atomic<void (*)()> g_self_suspend_pause{nullptr};
}

void CommonTestHelper::SetSelfSuspendPause(void (*pause)()) { g_self_suspend_pause = pause; }

TSafeThread::TSafeThread(bool create_suspended, bool hard_exit, std::size_t stack_size,
                         std::uint32_t extra_flags)
    : hard_exit_(hard_exit), create_suspended_(create_suspended) {
  // The OS thread always starts held; AfterConstruction or Resume lets it go.
  os::DWORD id = 0;
  handle_ = os::CreateThread(stack_size, &TSafeThread::ThreadProc, this, os::kCreateSuspended | extra_flags, &id);
  if (!handle_) {
    os::DWORD error = os::GetLastError();
    create_error_ = error;
    LibraryLog(TLogRecord::Message, "DBG: Thread creating failed:", 0);
    LibraryLog(TLogRecord::Message, "  Error code: " + IntToStr(error), 0);
    LibraryLog(TLogRecord::Message, "  Threads count: " + IntToStr(GetProcessThreadCount(os::GetCurrentProcessId())), 0);
    return;
  }
  thread_id_ = id;
  // Suspended follows the suspend count from here on.
  os::TrackSuspendCount(handle_, &suspended_);
}

TSafeThread::~TSafeThread() {
  StopAndWait();
  if (handle_) os::CloseThreadHandle(handle_);
}

void TSafeThread::AfterConstruction() {
  if (!create_suspended_ && handle_ && !started_) Resume();
}

void TSafeThread::StopAndWait() {
  if (!handle_) return;
  if (started_) {
    // A started thread is always waited for, also when it reports itself
    // finished: its procedure may still be using the object. A suspended
    // one would never end: it stays behind, stopped for good once its
    // handle is closed.
    if (suspended_) return;
    Terminate();
    WaitFor();
  } else {
    // Never started: it is discarded and will not run.
    os::CloseThreadHandle(handle_);
    handle_ = nullptr;
  }
}

std::uint32_t TSafeThread::Resume() {
  if (!handle_) return 0xFFFFFFFFu;
  os::DWORD previous = os::ResumeThread(handle_);
  if (previous == 1) started_ = true;
  return previous;
}

std::uint32_t TSafeThread::Suspend() {
  const os::ThreadHandle handle = handle_;
  if (handle && os::GetCurrentThreadId() == thread_id_) {
    // The running thread stops inside the call: the flag goes up first, and
    // from then on the object is not touched (a suspended thread is not
    // waited for, so the object may go while it is stopped).
    suspended_ = true;
    if (auto pause = g_self_suspend_pause.load()) pause();
    const os::DWORD previous = os::SuspendThread(handle);
    if (previous == 0xFFFFFFFFu) suspended_ = false;  // nothing stopped
    return previous;
  }
  return os::SuspendThread(handle);
}

std::uint32_t TSafeThread::WaitFor() {
  if (!handle_) return return_value_;
  os::WaitForThread(handle_, os::kInfinite);
  os::DWORD code = 0;
  os::GetExitCodeThread(handle_, &code);
  return code;
}

os::DWORD TSafeThread::ThreadProc(void* param) {
  auto* self = static_cast<TSafeThread*>(param);
  auto report = [self](const std::string& message) {
    LibraryLog(TLogRecord::Header, "Thread Error", 2);
    LibraryLog(TLogRecord::Text, message, 2);
    self->return_value_ = kThreadErrorExitCode;
  };
  try {
    self->Execute();
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("Unknown exception");
  }
  os::DWORD code = self->return_value_;
  try {
    self->DoTerminate();
  } catch (...) {
  }
  const bool hard_exit = self->hard_exit_;
  const os::ThreadHandle handle = self->handle_;
  // Last touch of the object: the owner may free it once it sees this.
  self->finished_ = true;
  if (hard_exit) os::TerminateThread(handle, code);
  return code;
}

// ---- TMethodThread ---------------------------------------------------------

TMethodThread::TMethodThread(bool create_suspended, TThreadMethod method, bool hard_exit)
    : TSafeThread(create_suspended, hard_exit), method_(std::move(method)) {}

TMethodThread::~TMethodThread() { StopAndWait(); }

void TMethodThread::Execute() {
  if (!method_) return;
  try {
    method_(*this);
  } catch (...) {
  }
}

void TMethodThread::Start(std::unique_ptr<TMethodThread>& ref, bool hard_exit, TThreadMethod method) {
  ref = std::make_unique<TMethodThread>(true, std::move(method), hard_exit);
  ref->Resume();
}

void TMethodThread::Dispose(std::unique_ptr<TMethodThread>& ref) {
  std::unique_ptr<TMethodThread> thread = std::move(ref);
  thread.reset();
}

// ---- Message loop ----------------------------------------------------------

void RunMessageLoop(unsigned options, TEventLog* event_log) {
  TEventLog* log = event_log ? event_log : GetDefaultEventLog();
  for (;;) {
    os::MSG msg;
    try {
      // Messages sent from other threads are delivered inside GetMessage.
      if (os::GetMessageA(&msg, 0, 0, 0) <= 0) break;
      if (msg.message == os::WM_DEVICECHANGE) continue;
      if (log) log->WriteEntry("Handling message %u", {msg.message}, 3, 0xFFFFFFFFu, 0);
      try {
        os::DispatchMessageA(&msg);
      } catch (...) {
        if (log) log->WriteEntry("Done", {}, 4, 0xFFFFFFFFu, 0);
        throw;
      }
      if (log) log->WriteEntry("Done", {}, 4, 0xFFFFFFFFu, 0);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
      SendWarning(std::string("Message Dispatch Error\r\n") +
                     "    hWnd   = 0x" + IntToHexFixed(msg.hwnd, 8) + "\r\n" +
                     "    msg    = 0x" + IntToHexFixed(msg.message, 8) + "\r\n" +
                     "    wParam = 0x" + IntToHexFixed(msg.wParam, 8) + "\r\n" +
                     "    lParam = 0x" + IntToHexFixed(static_cast<std::uint64_t>(msg.lParam), 8) + "\r\n" +
                     e.what());
      if (options & kLoopShowExceptions) os::MessageBoxA(0, e.what(), "Error", os::MB_OK | os::MB_ICONERROR);
      if (options & kLoopRaiseExceptions) throw;
    }
  }
}

// ---- Posting ---------------------------------------------------------------

void PostMessageWithRetry(os::HWND window, os::UINT msg, os::WPARAM wparam, os::LPARAM lparam) {
  PostMessageRetryLoop([&] { return os::PostMessageA(window, msg, wparam, lparam); }, msg, window);
}

// ---- Utility windows -------------------------------------------------------

namespace {

// Window handle -> the method that serves it.
std::mutex g_methods_lock;
std::map<os::HWND, std::shared_ptr<TWndMethod>>& Methods() {
  static auto* methods = new std::map<os::HWND, std::shared_ptr<TWndMethod>>;
  return *methods;
}

os::LRESULT UtilityWindowProc(os::HWND hwnd, os::UINT msg, os::WPARAM wparam, os::LPARAM lparam) {
  std::shared_ptr<TWndMethod> method;
  {
    std::lock_guard lock(g_methods_lock);
    auto it = Methods().find(hwnd);
    if (it != Methods().end()) method = it->second;
  }
  if (!method) return os::DefWindowProcA(hwnd, msg, wparam, lparam);
  TMessage message{msg, wparam, lparam, 0};
  (*method)(message);
  return message.Result;
}

void EnsureUtilityClass() {
  os::WNDCLASSA wc;
  bool registered = os::GetClassInfoA(0, kUtilityWindowClass, &wc);
  if (registered && wc.lpfnWndProc == &os::DefWindowProcA) return;
  if (registered) os::UnregisterClassA(kUtilityWindowClass, 0);
  wc = os::WNDCLASSA{};
  wc.lpfnWndProc = &os::DefWindowProcA;
  wc.lpszClassName = kUtilityWindowClass;
  os::RegisterClassA(wc);
}

}  // namespace

os::HWND AllocateUtilityWindow(TWndMethod method) {
  EnsureUtilityClass();
  os::HWND hwnd = os::CreateWindowExA(os::WS_EX_TOOLWINDOW, kUtilityWindowClass, "", os::WS_POPUP, 0, 0, 0, 0, 0,
                                      0, 0, nullptr);
  if (hwnd && method) {
    {
      std::lock_guard lock(g_methods_lock);
      Methods()[hwnd] = std::make_shared<TWndMethod>(std::move(method));
    }
    os::SetWindowLongPtrA(hwnd, os::GWLP_WNDPROC, reinterpret_cast<std::intptr_t>(&UtilityWindowProc));
  }
  return hwnd;
}

void DeallocateUtilityWindow(os::HWND window) {
  if (!window) return;
  os::DestroyWindow(window);
  std::lock_guard lock(g_methods_lock);
  Methods().erase(window);
}

void DefaultHandler(os::HWND window, TMessage& message) {
  message.Result = os::DefWindowProcA(window, message.Msg, message.WParam, message.LParam);
}

}  // namespace vt
