// Windows and messages, emulated in-process with Windows-shaped behaviour.
//
// Window classes, windows with owners and children, one message queue per
// thread (posted and sent messages, quit, a posting quota), timers, the
// standard controls the library uses (static text, button, progress bar),
// fonts as handles, cursors and message boxes. A window belongs to the thread
// that created it; its procedure runs on that thread. Visible captioned
// windows are shown as text on the terminal (stderr) when one is attached;
// message boxes are written to stderr in any case. When an X11 display is
// reachable (platform/X11Display.h), visible top-level windows are also real
// windows there, and message boxes modal windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace vt::os {

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HWND = std::uintptr_t;  // 0: none
using HFONT = std::uintptr_t;
using HCURSOR = std::uintptr_t;
using HICON = std::uintptr_t;
using HBRUSH = std::uintptr_t;
using HINSTANCE = std::uintptr_t;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

// Messages.
enum : UINT {
  WM_NULL = 0x0000,
  WM_CREATE = 0x0001,
  WM_DESTROY = 0x0002,
  WM_ENABLE = 0x000A,
  WM_SETTEXT = 0x000C,
  WM_GETTEXT = 0x000D,
  WM_GETTEXTLENGTH = 0x000E,
  WM_CLOSE = 0x0010,
  WM_QUIT = 0x0012,
  WM_SETCURSOR = 0x0020,
  WM_SETFONT = 0x0030,
  WM_GETFONT = 0x0031,
  WM_WINDOWPOSCHANGING = 0x0046,
  WM_KEYDOWN = 0x0100,
  WM_COMMAND = 0x0111,
  WM_TIMER = 0x0113,
  WM_DEVICECHANGE = 0x0219,
  WM_USER = 0x0400,
  PBM_SETRANGE = WM_USER + 1,
  PBM_SETPOS = WM_USER + 2,
  PBM_SETRANGE32 = WM_USER + 6,
  PBM_GETRANGE = WM_USER + 7,
  PBM_GETPOS = WM_USER + 8,
};

// Window styles.
enum : DWORD {
  WS_OVERLAPPED = 0x00000000,
  WS_POPUP = 0x80000000,
  WS_CHILD = 0x40000000,
  WS_VISIBLE = 0x10000000,
  WS_DISABLED = 0x08000000,
  WS_CAPTION = 0x00C00000,
  WS_SYSMENU = 0x00080000,
  WS_THICKFRAME = 0x00040000,
  WS_MINIMIZEBOX = 0x00020000,
  WS_MAXIMIZEBOX = 0x00010000,
  WS_TABSTOP = 0x00010000,
  WS_OVERLAPPEDWINDOW = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX,
  WS_EX_TOPMOST = 0x00000008,
  WS_EX_TOOLWINDOW = 0x00000080,
  BS_DEFPUSHBUTTON = 0x00000001,
  PBS_SMOOTH = 0x01,
};

enum : int { GWLP_WNDPROC = -4, GWL_STYLE = -16, GWL_EXSTYLE = -20 };
enum : UINT { GW_OWNER = 4 };
enum : int { SM_CXFULLSCREEN = 16, SM_CYFULLSCREEN = 17 };
enum : UINT { PM_NOREMOVE = 0, PM_REMOVE = 1 };
enum : UINT { SWP_NOSIZE = 0x1, SWP_NOMOVE = 0x2, SWP_NOZORDER = 0x4 };
enum : UINT { BN_CLICKED = 0 };
enum : WPARAM { VK_RETURN = 13, VK_ESCAPE = 27 };
enum : UINT { MB_OK = 0, MB_ICONERROR = 0x10 };
enum : int { IDOK = 1 };
enum : std::uintptr_t { IDC_ARROW = 32512, IDC_WAIT = 32514, IDI_APPLICATION = 32512 };
enum : int { COLOR_BTNFACE = 15 };
enum : int { FW_NORMAL = 400, DEFAULT_CHARSET = 1 };

// Posted messages one thread's queue holds at most (the system default).
constexpr int kDefaultPostedMessageQuota = 10000;

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};

struct RECT {
  int left = 0, top = 0, right = 0, bottom = 0;
};

struct WINDOWPOS {
  HWND hwnd = 0;
  HWND hwndInsertAfter = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  UINT flags = 0;
};

struct WNDCLASSA {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;
  HINSTANCE hInstance = 0;
  HICON hIcon = 0;
  HCURSOR hCursor = 0;
  HBRUSH hbrBackground = 0;
  const char* lpszMenuName = nullptr;
  const char* lpszClassName = nullptr;
};

inline WPARAM MakeWParam(unsigned low, unsigned high) {
  return static_cast<WPARAM>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16));
}

// Classes. Names compare without regard to case. "STATIC", "BUTTON" and
// "msctls_progress32" are always registered.
bool RegisterClassA(const WNDCLASSA& wc);  // false + ERROR_CLASS_ALREADY_EXISTS
bool UnregisterClassA(const char* class_name, HINSTANCE instance);
bool GetClassInfoA(HINSTANCE instance, const char* class_name, WNDCLASSA* wc);

// Creates a window on the calling thread. Parent is the parent of a WS_CHILD
// window, else the owner. Sends WM_CREATE; a result of -1 fails creation.
HWND CreateWindowExA(DWORD ex_style, const char* class_name, const char* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, std::uintptr_t menu, HINSTANCE instance, void* param);
// Only on the window's thread. Owned windows go first, then the window and
// its children (each receives WM_DESTROY).
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

// Queues. A thread gets its queue when it first creates a window or reads
// messages. Posting to window 0 posts to the calling thread.
bool PostMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
bool PostThreadMessageA(DWORD thread_id, UINT msg, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
// Answers 0 for WM_QUIT, else nonzero. Sent messages are delivered while waiting.
int GetMessageA(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max);
bool PeekMessageA(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove);
bool TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);

// Timers: WM_TIMER with the id in WParam, on the window's thread, when no
// posted message waits. Answers the id, 0 on failure.
std::uintptr_t SetTimer(HWND hwnd, std::uintptr_t id, UINT elapse_ms);
bool KillTimer(HWND hwnd, std::uintptr_t id);

// Window state.
bool SetWindowTextA(HWND hwnd, const std::string& text);
std::string GetWindowTextA(HWND hwnd);
std::string GetClassNameA(HWND hwnd);
std::intptr_t GetWindowLongA(HWND hwnd, int index);
// GWLP_WNDPROC only: replaces the procedure and answers the previous one.
std::intptr_t SetWindowLongPtrA(HWND hwnd, int index, std::intptr_t value);
HWND GetParent(HWND hwnd);  // the parent of a child window, else the owner
HWND GetWindow(HWND hwnd, UINT cmd);
bool GetWindowRect(HWND hwnd, RECT* rect);
bool GetClientRect(HWND hwnd, RECT* rect);
bool SetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int cx, int cy, UINT flags);
bool IsWindowVisible(HWND hwnd);
bool IsWindowEnabled(HWND hwnd);
bool EnableWindow(HWND hwnd, bool enable);  // answers whether it was disabled
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process_id);
std::vector<HWND> EnumThreadWindows(DWORD thread_id);  // top-level windows in creation order
HWND GetLastActivePopup(HWND hwnd);
bool SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();
int GetSystemMetrics(int index);
void InitCommonControls();

// Fonts.
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strike_out, DWORD charset, DWORD out_precision, DWORD clip_precision,
                  DWORD quality, DWORD pitch_and_family, const char* face);
bool DeleteObject(std::uintptr_t object);  // fonts here; bitmaps and palettes: Gdi.h
bool DeleteFontObject(std::uintptr_t object);
bool IsFont(HFONT font);
std::string GetFontFace(HFONT font);

// Cursors: the calling thread's current cursor.
HCURSOR LoadCursorA(HINSTANCE instance, std::uintptr_t id);
HCURSOR SetCursor(HCURSOR cursor);
HCURSOR GetCursor();

// Written to standard error, a terminal or not; on a display also shown as a
// modal window with an OK button, which Enter, Escape, a click or the close
// box ends (the calling thread's messages run meanwhile). Answers IDOK.
int MessageBoxA(HWND owner, const std::string& text, const std::string& caption, UINT type);

// Inspection (test hooks: platform/TestHooks.h).
struct ShownMessageBox {
  std::string text, caption;
  UINT type = 0;
};
std::vector<ShownMessageBox> TakeShownMessageBoxes();
// Number of times a control drew or was torn down with a font that had been
// deleted.
int GetStaleFontUseCount();

}  // namespace vt::os
