// The progress window: a small always-on-top "Please Wait..." window with
// one line of text, a progress bar and a Cancel button, run on a thread of
// its own so that it stays responsive while the creator does long work.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/Classes.h"
#include "common/Locks.h"
#include "common/Threads.h"

namespace vt {

enum : std::uint8_t {
  wdoCancelEnabled = 1,    // the Cancel button is enabled
  wdoAllowBackwards = 2,   // the position may also move backwards
};

inline constexpr const char* kProgressWindowClass = "ProgressWndClass";
inline constexpr const char* kProgressWindowTitle = "Please Wait...";

class TWaitDialog : public TObject {
 public:
  // Returns once the window exists; raises EOSError when the dialog thread
  // or its windows cannot be created. Under a debugger it makes neither and
  // Step and SetPosition only keep the count.
  TWaitDialog(std::string caption, int max_steps, std::uint8_t options);
  // Closes the window and returns once the dialog thread has ended.
  ~TWaitDialog() override;

  void Step(int delta) { SetPosition(position_ + delta); }
  void SetPosition(int position);
  void Cancel();  // window procedure only

  // At most one dialog exists at a time.
  static TWaitDialog* Current();

  const std::string& Caption() const { return caption_; }
  std::uint8_t Options() const { return options_; }
  int Position() const { return position_; }
  int LastPostedPosition() const { return last_posted_position_; }
  int MaxSteps() const { return max_steps_; }
  int UpdateThreshold() const { return update_threshold_; }
  bool Cancelled() const { return cancelled_; }
  os::HFONT Font() const { return font_; }
  os::HWND OwnerWindow() const { return owner_window_; }
  os::HWND DialogWindow() const { return dialog_window_; }
  os::HWND TextWindow() const { return text_window_; }
  os::HWND CancelButton() const { return cancel_button_; }
  os::HWND ProgressBar() const { return progress_bar_; }
  std::uint32_t ThreadId() const { return thread_ ? thread_->ThreadID() : 0; }

 private:
  void Run(TMethodThread& thread);
  void CreateWindows();
  void SetReady(std::uint32_t error);
  void ReleaseResources();
  static os::LRESULT WaitDialogWndProc(os::HWND hwnd, os::UINT msg, os::WPARAM wparam, os::LPARAM lparam);

  std::uint8_t options_;
  std::unique_ptr<TMethodThread> thread_;
  os::HWND owner_window_ = 0;
  os::HFONT font_ = 0;
  os::HWND text_window_ = 0;
  os::HWND dialog_window_ = 0;
  os::HWND cancel_button_ = 0;
  os::HWND progress_bar_ = 0;
  std::string caption_;
  int position_ = 0;
  int last_posted_position_ = 0;
  int max_steps_;
  int update_threshold_;
  std::atomic<bool> cancelled_{false};

  // Set when the windows exist, or when the dialog thread gave up (with the
  // system error of the failure in ready_error_).
  std::unique_ptr<TWinEvent> ready_event_;
  std::atomic<std::uint32_t> ready_error_{0};
};

// The calling thread's first visible, parentless, overlapped window, or 0.
os::HWND FindThreadMainWindow();
// Brings the window's last active popup forward when it is another,
// visible and enabled window.
void RestoreForegroundPopup(os::HWND window);

}  // namespace vt
