// Threads, message loops and hidden utility windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/ThreadApi.h"
#include "platform/WindowApi.h"

namespace vt {

// Exit code of a thread whose body raised.
constexpr std::uint32_t kThreadErrorExitCode = 0xC0000025;

// ---- Library log hook ------------------------------------------------------
// The thread and notification units write their records through one hook;
// the process log installs itself here. Without a hook nothing is written.
enum class TLogRecord {
  Header,        // a header line with '-' fill; Text is the title
  Text,          // a plain record
  Message,       // an ordinary message (with process and thread id)
  Debug,         // a debug message
  ShortWarning,  // a short warning
};
using TLogHook = void (*)(TLogRecord kind, const std::string& text, int flags);
void SetLibraryLogHook(TLogHook hook);
void LibraryLog(TLogRecord kind, const std::string& text, int flags = 0);

// ---- Threads ---------------------------------------------------------------

// Thread base. The body is Execute; exceptions leaving it are logged
// ("Thread Error") and end the thread with kThreadErrorExitCode. With
// HardExit the thread ends at once after DoTerminate, without its own
// clean-up.
//
// The thread object is only half-built while its constructor runs, so the
// thread is started by AfterConstruction (MakeThread does both), and every
// class that overrides Execute calls StopAndWait() in its own destructor,
// before its members go.
class TSafeThread {
 public:
  TSafeThread(bool create_suspended, bool hard_exit = false, std::size_t stack_size = 0,
              std::uint32_t extra_flags = 0);
  virtual ~TSafeThread();
  TSafeThread(const TSafeThread&) = delete;
  TSafeThread& operator=(const TSafeThread&) = delete;

  // Starts the thread unless it was created suspended.
  void AfterConstruction();

  // Suspend count semantics: both answer the previous count (0xFFFFFFFF on
  // failure); the thread runs again when the count is back at 0. Suspended
  // follows what happened.
  std::uint32_t Resume();
  std::uint32_t Suspend();
  void Terminate() { terminated_ = true; }
  std::uint32_t WaitFor();  // the exit code

  os::ThreadHandle Handle() const { return handle_; }
  std::uint32_t ThreadID() const { return thread_id_; }
  bool Terminated() const { return terminated_; }
  bool Suspended() const { return suspended_; }
  bool Finished() const { return finished_; }
  std::uint32_t ReturnValue() const { return return_value_; }
  void SetReturnValue(std::uint32_t value) { return_value_ = value; }
  bool HardExit() const { return hard_exit_; }
  // The system error of a failed creation (Handle null), else 0.
  std::uint32_t CreateError() const { return create_error_; }

 protected:
  virtual void DoTerminate() {}
  virtual void Execute() = 0;
  // Ends a started thread (Terminate, WaitFor) and keeps it from being
  // started later; a suspended one is left behind, stopped, without waiting.
  // Safe to call more than once.
  void StopAndWait();

 private:
  static os::DWORD ThreadProc(void* param);

  os::ThreadHandle handle_ = nullptr;
  std::uint32_t thread_id_ = 0;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> suspended_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<std::uint32_t> return_value_{0};
  bool hard_exit_ = false;
  bool create_suspended_ = false;
  std::uint32_t create_error_ = 0;
};

// Constructs a thread object and starts it (unless created suspended).
template <typename T, typename... A>
std::unique_ptr<T> MakeThread(A&&... args) {
  auto thread = std::make_unique<T>(std::forward<A>(args)...);
  thread->AfterConstruction();
  return thread;
}

class TMethodThread;
using TThreadMethod = std::function<void(TMethodThread&)>;

// A thread that runs one method; exceptions it raises end it silently.
class TMethodThread : public TSafeThread {
 public:
  TMethodThread(bool create_suspended, TThreadMethod method, bool hard_exit = false);
  ~TMethodThread() override;

  // A new suspended thread into Ref, then resumed.
  static void Start(std::unique_ptr<TMethodThread>& ref, bool hard_exit, TThreadMethod method);
  // Ends and waits for the thread, frees it and clears Ref.
  static void Dispose(std::unique_ptr<TMethodThread>& ref);

 protected:
  void Execute() override;

 private:
  TThreadMethod method_;
};

// ---- Message loop ----------------------------------------------------------

enum : unsigned {
  kLoopShowExceptions = 1,   // show a dispatch exception in a message box
  kLoopRaiseExceptions = 2,  // raise it again (ends the loop)
};

class TEventLog;

// Runs the calling thread's message loop until WM_QUIT. Each dispatched
// message is bracketed by the entries "Handling message <number>" and "Done"
// in the event log (the default event log when none is given).
void RunMessageLoop(unsigned options = 0, TEventLog* event_log = nullptr);

// Posts a message. While the target queue is full (or the post fails
// without an error) it retries every millisecond without end, warning every
// 10 s; any other failure raises EOSError (PostMessageRetryLoop, Locks.h).
void PostMessageWithRetry(os::HWND window, os::UINT msg, os::WPARAM wparam, os::LPARAM lparam);

// ---- Utility windows -------------------------------------------------------

inline constexpr const char* kUtilityWindowClass = "VtWinUtilsWindowClass";

struct TMessage {
  os::UINT Msg = 0;
  os::WPARAM WParam = 0;
  os::LPARAM LParam = 0;
  os::LRESULT Result = 0;
};
using TWndMethod = std::function<void(TMessage&)>;

// A hidden tool window of class "VtWinUtilsWindowClass" on the calling
// thread. With a method, every message goes to it; without, DefWindowProc.
os::HWND AllocateUtilityWindow(TWndMethod method = nullptr);
// Destroys the window and forgets its method; 0 does nothing.
void DeallocateUtilityWindow(os::HWND window);

// Hands a message to DefWindowProc for the window and stores the result.
void DefaultHandler(os::HWND window, TMessage& message);

}  // namespace vt
