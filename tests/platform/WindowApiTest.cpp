#include "platform/WindowApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/ThreadApi.h"
#include "platform/TestHooks.h"

namespace vt::os {
namespace {

std::vector<UINT>* g_seen = nullptr;

// The error a failed call leaves, or ~0 for a success.
DWORD Fails(bool ok) { return ok ? ~0u : GetLastError(); }

LRESULT RecordingProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (g_seen && msg != WM_CREATE) g_seen->push_back(msg);
  if (msg == WM_USER + 50) return static_cast<LRESULT>(wparam * 2);
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

void RegisterRecordingClass() {
  WNDCLASSA wc;
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = "RecordingTestClass";
  RegisterClassA(wc);
}

HWND MakeWindow(HWND parent = 0, DWORD style = WS_POPUP) {
  RegisterRecordingClass();
  return CreateWindowExA(0, "RecordingTestClass", "w", style, 0, 0, 10, 10, parent, 0, 0, nullptr);
}

TEST(WindowApi, ClassesRegisterOnceUnknownClassesFailAndMessageBoxesAreRecorded) {
  RegisterRecordingClass();
  WNDCLASSA wc;
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = "recordingtestclass";  // names ignore case
  EXPECT_EQ(Fails(RegisterClassA(wc)), kErrorClassAlreadyExists);
  EXPECT_EQ(Fails(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr)), kErrorCannotFindWndClass);
  EXPECT_TRUE(GetClassInfoA(0, "static", &wc));

  // Message boxes are recorded.
  TakeShownMessageBoxes();
  EXPECT_EQ(MessageBoxA(0, "text", "caption", MB_OK), IDOK);
  auto shown = TakeShownMessageBoxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption + "|" + shown[0].text, "caption|text");
}

TEST(WindowApi, PostedMessagesTimersAndQueueLimit) {
  HWND w = MakeWindow();
  ASSERT_NE(w, 0u);
  // Posted messages arrive in order; quit ends the loop.
  for (UINT i = 0; i < 3; ++i) ASSERT_TRUE(PostMessageA(w, WM_USER + i, i, 0));
  PostQuitMessage(7);
  MSG m;
  for (UINT i = 0; i < 3; ++i) {
    ASSERT_EQ(GetMessageA(&m, 0, 0, 0), 1);
    EXPECT_EQ(m.message, WM_USER + i);
    EXPECT_EQ(m.hwnd, w);
  }
  EXPECT_EQ(GetMessageA(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&m, 0, 0, 0, PM_REMOVE));

  // Timers tick only when no posted message waits.
  ASSERT_EQ(SetTimer(w, 5, 10), 5u);
  ASSERT_TRUE(PostMessageA(w, WM_USER, 0, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  for (UINT message : {UINT(WM_USER), UINT(WM_TIMER)}) {
    ASSERT_EQ(GetMessageA(&m, 0, 0, 0), 1);
    EXPECT_EQ(m.message, message);
  }
  EXPECT_EQ(m.wParam, 5u);
  EXPECT_TRUE(KillTimer(w, 5));
  EXPECT_FALSE(KillTimer(w, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(PeekMessageA(&m, 0, 0, 0, PM_REMOVE));

  // A full queue refuses posts; a destroyed window takes its messages along.
  int saved = PlatformTestHelper::GetPostedMessageQuota();
  PlatformTestHelper::SetPostedMessageQuota(3);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(PostMessageA(w, WM_USER, 0, 0));
  EXPECT_EQ(Fails(PostMessageA(w, WM_USER, 0, 0)), kErrorNotEnoughQuota);
  ASSERT_TRUE(PeekMessageA(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_TRUE(PostMessageA(w, WM_USER, 0, 0));
  PlatformTestHelper::SetPostedMessageQuota(saved);
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(PeekMessageA(&m, w, 0, 0, PM_REMOVE));
  EXPECT_EQ(Fails(PostMessageA(w, WM_USER, 0, 0)), kErrorInvalidWindowHandle);
  EXPECT_EQ(Fails(PostThreadMessageA(0x7FFFFFF0, WM_USER, 0, 0)), kErrorInvalidThreadId);
}

TEST(WindowApi, SendAcrossThreadsRunsOnTheOwnerAndDestroyIsOwnerOnly) {
  std::atomic<HWND> w{0};
  std::atomic<DWORD> owner{0};
  std::thread t([&] {
    owner = GetCurrentThreadId();
    w = MakeWindow();
    MSG m;
    while (GetMessageA(&m, 0, 0, 0) > 0) DispatchMessageA(&m);
    DestroyWindow(w);
  });
  while (!w) std::this_thread::yield();
  EXPECT_EQ(SendMessageA(w, WM_USER + 50, 21, 0), 42);
  EXPECT_EQ(GetWindowThreadProcessId(w, nullptr), owner.load());
  EXPECT_EQ(Fails(DestroyWindow(w)), kErrorAccessDenied);
  EXPECT_TRUE(PostThreadMessageA(owner, WM_QUIT, 0, 0));
  t.join();
  EXPECT_FALSE(IsWindow(w));

  // Windows of an ended thread are gone, and sends to them return.
  HWND left = 0;
  std::thread([&] { left = MakeWindow(); }).join();
  EXPECT_FALSE(IsWindow(left));
  EXPECT_EQ(SendMessageA(left, WM_USER + 50, 1, 0), 0);
}

TEST(WindowApi, DestroyTakesOwnedWindowsFirstThenParentsBeforeChildren) {
  std::vector<UINT> seen;
  HWND owner = MakeWindow();
  HWND owned = MakeWindow(owner);
  HWND child = MakeWindow(owned, WS_CHILD);
  EXPECT_EQ(GetParent(child), owned);
  EXPECT_EQ(GetWindow(owned, GW_OWNER), owner);
  g_seen = &seen;
  ASSERT_TRUE(DestroyWindow(owner));
  g_seen = nullptr;
  EXPECT_EQ(seen, (std::vector<UINT>{WM_DESTROY, WM_DESTROY, WM_DESTROY}));
  EXPECT_FALSE(IsWindow(owned));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_EQ(CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 1, 1, 0, 0, 0, nullptr), 0u);
}

TEST(WindowApi, ClientAreaAndControlsTextEnabledStateRangeAndFont) {
  HWND parent = MakeWindow();
  // The client area leaves out frame and caption.
  HWND framed = CreateWindowExA(0, "RecordingTestClass", "t", WS_CAPTION, 5, 6, 400, 120, 0, 0, 0, nullptr);
  RECT r, outer;
  ASSERT_TRUE(GetClientRect(framed, &r) && GetWindowRect(framed, &outer));
  EXPECT_EQ(std::vector<int>({r.right, r.bottom, outer.left, outer.bottom}),
            std::vector<int>({394, 91, 5, 126}));
  DestroyWindow(framed);

  HWND text = CreateWindowExA(0, "STATIC", "hello", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent, 0, 0, nullptr);
  HWND button = CreateWindowExA(0, "BUTTON", "&Cancel", WS_CHILD, 0, 0, 10, 10, parent, 0, 0, nullptr);
  HWND bar = CreateWindowExA(0, "msctls_progress32", "", WS_CHILD, 0, 0, 10, 10, parent, 0, 0, nullptr);
  EXPECT_EQ(GetWindowTextA(text), "hello");
  EXPECT_TRUE(SetWindowTextA(text, "bye") && GetWindowTextA(text) == "bye");
  EXPECT_TRUE(IsWindowEnabled(button));
  EXPECT_FALSE(EnableWindow(button, false));
  EXPECT_FALSE(IsWindowEnabled(button));
  EXPECT_TRUE(EnableWindow(button, true));
  SendMessageA(bar, PBM_SETRANGE32, 0, 4);
  EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 3, 0), 0);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 3);
  SendMessageA(bar, PBM_SETPOS, 9, 0);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 4);  // clamped to the range
  HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
  SendMessageA(text, WM_SETFONT, font, 0);
  EXPECT_EQ(static_cast<HFONT>(SendMessageA(text, WM_GETFONT, 0, 0)), font);
  EXPECT_EQ(GetFontFace(font), "Tahoma");
  int stale = GetStaleFontUseCount();
  EXPECT_TRUE(DeleteObject(font));
  EXPECT_FALSE(DeleteObject(font));
  DestroyWindow(parent);  // the static control still holds the dead font
  EXPECT_EQ(GetStaleFontUseCount(), stale + 1);
}

// ---- threads ----

DWORD ReturnParam(void* p) {
  auto* ran = static_cast<std::atomic<int>*>(p);
  ++*ran;
  return 42;
}

TEST(ThreadApi, SuspendedThreadsRunOnResumeOrNeverAndCreationCanFail) {
  std::atomic<int> ran{0};
  DWORD id = 0;
  ThreadHandle t = CreateThread(0, ReturnParam, &ran, kCreateSuspended, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForThread(t, 20), kWaitTimeout);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code) && code == kStillActive);
  EXPECT_EQ(SuspendThread(t), 1u);
  EXPECT_EQ(ResumeThread(t), 2u);
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(SuspendThread(t), 0xFFFFFFFFu);  // a finished thread cannot be held
  CloseThreadHandle(t);

  // Closed before its start: never runs.
  CloseThreadHandle(CreateThread(0, ReturnParam, &ran, kCreateSuspended, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ran, 1);
  PlatformTestHelper::FailNextThreadCreations(1);
  EXPECT_EQ(Fails(CreateThread(0, ReturnParam, &ran, 0, nullptr) != nullptr), kErrorNotEnoughMemory);
}

}  // namespace
}  // namespace vt::os
