// Remote control of a running program: named mutexes that mark an instance as
// running, and named events another process pulses to send numbered
// requests, which run as handlers on the main thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/Classes.h"
#include "common/Units.h"
#include "platform/Handles.h"
#include "platform/WindowApi.h"

namespace vt {

class TClock;
struct TMessage;
class TMethodThread;
class TAppRemoteControl;

// Request 1 asks the program to end: its message loop is quit this long after
// the request.
constexpr std::uint32_t kRemoteQuitDelayMs = 50;
constexpr int kRemoteEventCount = 19;

using TRemoteRequestHandler = std::function<void(TAppRemoteControl& sender)>;

class TAppRemoteControl : public TObject {
 public:
  // Name: the application name used in the object names; empty gives the
  // base name of the program's file. Must be created on the thread that runs
  // the message loop (the main thread).
  explicit TAppRemoteControl(const std::string& name = {});
  ~TAppRemoteControl() override;

  // Once: ends the control thread, destroys the window, closes the handles
  // and clears the handlers.
  void Close();

  const std::string& Name() const { return name_; }
  bool Closed() const { return closed_; }
  // Kind 0: per user and window station; kind 1: machine-wide.
  bool MutexAlreadyExisted(int kind) const { return mutex_existed_[kind & 1]; }
  os::HANDLE MutexHandle(int kind) const { return mutexes_[kind & 1]; }
  os::HANDLE EventHandle(int index) const { return events_[index]; }
  os::HWND Window() const { return window_; }
  TClock* QuitClock() const { return quit_clock_.get(); }
  // The thread that waits on the events; null once closed.
  TMethodThread* ControlThread() const { return thread_.get(); }

  // Names of the objects of this instance (event 0 has none).
  std::string MutexName(int kind) const;
  std::string EventName(int index) const;

  // Entry i runs on the main thread for request i (0 to 18).
  std::array<TRemoteRequestHandler, kRemoteEventCount> Handlers;

 private:
  void ControlThreadProc();
  void WindowProc(TMessage& message);
  void ReleaseResources();

  std::string name_;
  std::string base_;  // "Palgrem" + caption + "_" + lower-case name
  std::atomic<bool> closed_{false};
  std::array<os::HANDLE, 2> mutexes_{};
  std::array<bool, 2> mutex_existed_{};
  std::array<os::HANDLE, kRemoteEventCount> events_{};
  // Each event's set count when it was made, and whether it was set then.
  std::array<std::uint32_t, kRemoteEventCount> set_counts_{};
  std::array<bool, kRemoteEventCount> set_at_start_{};
  os::HWND window_ = 0;
  std::unique_ptr<TClock> quit_clock_;
  std::unique_ptr<TMethodThread> thread_;
};

// The process-wide object, created on the first call with the default name.
TAppRemoteControl& GetAppRemoteControl();

// Start-up creates the process-wide object on the main thread (after the
// notification queue and the log); shutdown frees it.
extern const UnitEntry kAppRemoteControlUnit;

}  // namespace vt
