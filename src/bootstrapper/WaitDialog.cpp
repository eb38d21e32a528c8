#include "bootstrapper/WaitDialog.h"

#include <cstdlib>
#include <new>

#include "common/Objects.h"
#include "common/SysUtils.h"
#include "platform/Debugger.h"

namespace vt {

namespace {

constexpr int kDialogWidth = 400;
constexpr int kDialogHeight = 120;
constexpr os::WPARAM kCancelLetterKey = 67;

std::atomic<TWaitDialog*> g_current{nullptr};

// The runtime's exception for the last system error.
[[noreturn]] void RaiseRuntimeOSError(std::uint32_t code) {
  throw EOSError(Format("System Error.  Code: %d.\r\n%s", code, os::SystemErrorText(code)), code);
}

os::HWND Checked(os::HWND window) {
  if (!window) {
    std::uint32_t code = os::GetLastError();
    RaiseRuntimeOSError(code ? code : os::kErrorInvalidWindowHandle);
  }
  return window;
}

}  // namespace

TWaitDialog* TWaitDialog::Current() { return g_current; }

TWaitDialog::TWaitDialog(std::string caption, int max_steps, std::uint8_t options)
    : options_(options), caption_(std::move(caption)), max_steps_(max_steps), update_threshold_(max_steps >> 8) {
  ready_event_ = std::make_unique<TWinEvent>(nullptr, "", false, false);
  g_current = this;
  font_ = os::CreateFontA(-11, 0, 0, 0, os::FW_NORMAL, 0, 0, 0, os::DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
  // Under a debugger no thread and no window: stepping through the setup
  // needs no window of its own in the way.
  if (os::IsDebuggerPresent()) return;
  TMethodThread::Start(thread_, false, [this](TMethodThread& t) { Run(t); });
  std::uint32_t error = 0;
  if (!thread_->Handle()) {
    error = thread_->CreateError() ? thread_->CreateError() : os::kErrorNotEnoughMemory;
  } else {
    ready_event_->WaitFor(os::kInfinite);
    error = ready_error_;
  }
  if (error) {
    // The dialog thread has ended (or never ran): nothing to wait for.
    ReleaseResources();
    RaiseRuntimeOSError(error);
  }
}

TWaitDialog::~TWaitDialog() {
  if (thread_ && thread_->Handle()) {
    try {
      PostMessageWithRetry(dialog_window_, os::WM_QUIT, 0, 0);
    } catch (...) {
      os::PostThreadMessageA(thread_->ThreadID(), os::WM_QUIT, 0, 0);
    }
  }
  ReleaseResources();
}

// The thread ends before the font it draws with is deleted.
void TWaitDialog::ReleaseResources() {
  TMethodThread::Dispose(thread_);
  if (font_) os::DeleteObject(font_);
  font_ = 0;
  try {
    RestoreForegroundPopup(FindThreadMainWindow());
  } catch (const std::bad_alloc&) {
    // Without memory the foreground stays as it is: the dialog is gone anyway.
  }
  ready_event_.reset();
  TWaitDialog* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

void TWaitDialog::SetReady(std::uint32_t error) {
  ready_error_ = error;
  ready_event_->SetEvent();
}

void TWaitDialog::Run(TMethodThread&) {
  try {
    CreateWindows();
  } catch (const EOSError& e) {
    if (owner_window_) os::DestroyWindow(owner_window_);
    SetReady(e.ErrorCode ? e.ErrorCode : os::kErrorInvalidWindowHandle);
    return;
  } catch (...) {
    if (owner_window_) os::DestroyWindow(owner_window_);
    SetReady(os::kErrorNotEnoughMemory);
    return;
  }
  SetReady(0);
  RunMessageLoop(0);
  os::DestroyWindow(owner_window_);
}

void TWaitDialog::CreateWindows() {
  os::WNDCLASSA wc;
  wc.lpfnWndProc = &TWaitDialog::WaitDialogWndProc;
  wc.hIcon = os::IDI_APPLICATION;
  wc.hCursor = os::LoadCursorA(0, os::IDC_WAIT);
  wc.hbrBackground = os::COLOR_BTNFACE + 1;
  wc.lpszClassName = kProgressWindowClass;
  os::RegisterClassA(wc);  // already registered: fine

  int x = (os::GetSystemMetrics(os::SM_CXFULLSCREEN) - kDialogWidth) / 2;
  int y = (os::GetSystemMetrics(os::SM_CYFULLSCREEN) - kDialogHeight) / 2;

  owner_window_ = Checked(os::CreateWindowExA(os::WS_EX_TOPMOST, kProgressWindowClass, kProgressWindowTitle, 0, 0, 0,
                                              0, 0, 0, 0, 0, nullptr));
  dialog_window_ = Checked(os::CreateWindowExA(0, kProgressWindowClass, kProgressWindowTitle,
                                               os::WS_VISIBLE | os::WS_CAPTION, x, y, kDialogWidth, kDialogHeight,
                                               owner_window_, 0, 0, nullptr));
  os::RECT client;
  os::GetClientRect(dialog_window_, &client);
  int r = client.right, b = client.bottom;

  cancel_button_ = Checked(os::CreateWindowExA(
      0, "BUTTON", "&Cancel", os::WS_CHILD | os::WS_VISIBLE | os::WS_TABSTOP | os::BS_DEFPUSHBUTTON, r - 81, b - 33,
      73, 25, dialog_window_, 0, 0, nullptr));
  os::EnableWindow(cancel_button_, (options_ & wdoCancelEnabled) != 0);
  text_window_ = Checked(os::CreateWindowExA(0, "STATIC", caption_.c_str(), os::WS_CHILD | os::WS_VISIBLE, 8, 8,
                                             r - 16, 13, dialog_window_, 0, 0, nullptr));
  os::SendMessageA(cancel_button_, os::WM_SETFONT, font_, 1);
  os::SendMessageA(text_window_, os::WM_SETFONT, font_, 1);

  os::InitCommonControls();
  progress_bar_ = Checked(os::CreateWindowExA(0, "msctls_progress32", "",
                                              os::WS_CHILD | os::WS_VISIBLE | os::PBS_SMOOTH, 8, 28, r - 16, 17,
                                              dialog_window_, 0, 0, nullptr));
  os::SendMessageA(progress_bar_, os::PBM_SETRANGE32, 0, max_steps_);
  os::SendMessageA(progress_bar_, os::PBM_SETPOS, 0, 0);
}

void TWaitDialog::SetPosition(int position) {
  if (position <= position_ && !(options_ & wdoAllowBackwards)) return;
  position_ = position;
  if (std::abs(position - last_posted_position_) < update_threshold_) return;
  last_posted_position_ = position;
  if (!progress_bar_) return;
  try {
    PostMessageWithRetry(progress_bar_, os::PBM_SETPOS, static_cast<os::WPARAM>(position), 0);
  } catch (const EOSError& e) {
    // The user closed the window: the work goes on without it.
    if (e.ErrorCode != os::kErrorInvalidWindowHandle) throw;
  }
}

void TWaitDialog::Cancel() {
  os::EnableWindow(cancel_button_, false);
  cancelled_ = true;
}

os::LRESULT TWaitDialog::WaitDialogWndProc(os::HWND hwnd, os::UINT msg, os::WPARAM wparam,
                                           os::LPARAM lparam) {
  TWaitDialog* dialog = g_current;
  if (dialog) {
    switch (msg) {
      case os::WM_WINDOWPOSCHANGING:
        if (hwnd == dialog->dialog_window_ && lparam)
          reinterpret_cast<os::WINDOWPOS*>(lparam)->flags |= os::SWP_NOMOVE;
        break;
      case os::WM_SETCURSOR:
        if (static_cast<os::HWND>(wparam) != dialog->cancel_button_) {
          os::SetCursor(os::LoadCursorA(0, os::IDC_WAIT));
          return -1;
        }
        break;
      case os::WM_COMMAND:
        if (static_cast<os::HWND>(lparam) == dialog->cancel_button_ && ((wparam >> 16) & 0xFFFF) == os::BN_CLICKED)
          dialog->Cancel();
        break;
      case os::WM_KEYDOWN:
        if (wparam == os::VK_ESCAPE || wparam == kCancelLetterKey) dialog->Cancel();
        break;
      default:
        break;
    }
  }
  return os::DefWindowProcA(hwnd, msg, wparam, lparam);
}

os::HWND FindThreadMainWindow() {
  constexpr os::DWORD kWanted = os::WS_VISIBLE | os::WS_OVERLAPPEDWINDOW;
  for (os::HWND w : os::EnumThreadWindows(os::GetCurrentThreadId())) {
    auto style = static_cast<os::DWORD>(os::GetWindowLongA(w, os::GWL_STYLE));
    if (os::IsWindowVisible(w) && os::GetParent(w) == 0 && (style & kWanted) == kWanted) return w;
  }
  return 0;
}

void RestoreForegroundPopup(os::HWND window) {
  if (!window) return;
  os::HWND popup = os::GetLastActivePopup(window);
  if (popup && popup != window && os::IsWindowVisible(popup) && os::IsWindowEnabled(popup))
    os::SetForegroundWindow(popup);
}

}  // namespace vt
