#include "bootstrapper/WaitDialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/TestHooks.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt {
namespace {

// Waits until f holds, up to the patience.
template <typename F>
bool Eventually(F f) {
  return test::WaitPatiently(f, std::chrono::milliseconds(1));
}

bool BarReaches(os::HWND bar, int expected) {
  return Eventually([&] { return os::SendMessageA(bar, os::PBM_GETPOS, 0, 0) == expected; });
}

TEST(WaitDialog, RunsOnItsOwnThreadAndTheBarSeesEveryStep) {
  os::HWND dialog_window = 0, bar = 0;
  os::HFONT font = 0;
  int stale = os::GetStaleFontUseCount();
  {
    TWaitDialog dialog("Extracting setup files...", 4, 0);
    EXPECT_EQ(TWaitDialog::Current(), &dialog);
    dialog_window = dialog.DialogWindow();
    bar = dialog.ProgressBar();
    font = dialog.Font();
    // The windows exist as soon as the constructor returns.
    ASSERT_TRUE(os::IsWindow(dialog_window));
    EXPECT_NE(os::GetWindowThreadProcessId(dialog_window, nullptr), os::GetCurrentThreadId());
    EXPECT_EQ(os::GetWindowThreadProcessId(dialog_window, nullptr), dialog.ThreadId());
    int range[2] = {-1, -1};
    os::SendMessageA(bar, os::PBM_GETRANGE, 0, reinterpret_cast<os::LPARAM>(range));
    EXPECT_TRUE(range[0] == 0 && range[1] == 4);
    for (int step = 1; step <= 4; ++step) {
      dialog.Step(1);
      EXPECT_EQ(dialog.LastPostedPosition(), step);
      EXPECT_TRUE(BarReaches(bar, step)) << step;
    }
  }
  EXPECT_EQ(TWaitDialog::Current(), nullptr);
  EXPECT_FALSE(os::IsWindow(dialog_window));
  EXPECT_FALSE(os::IsWindow(bar));
  EXPECT_FALSE(os::IsFont(font));
  // The controls were gone before their font was deleted.
  EXPECT_EQ(os::GetStaleFontUseCount(), stale);
}

TEST(WaitDialog, LayoutFollowsTheScreenAndTheOptions) {
  os::PlatformTestHelper::SetScreenSize(1024, 768);
  TWaitDialog dialog("Extracting setup files...", 4, 0);
  os::HWND owner = dialog.OwnerWindow();
  os::HWND w = dialog.DialogWindow();
  EXPECT_EQ(os::GetWindowTextA(owner), "Please Wait...");
  EXPECT_EQ(os::GetWindowTextA(w), "Please Wait...");
  EXPECT_EQ(os::GetClassNameA(w), "ProgressWndClass");
  EXPECT_EQ(os::GetWindowLongA(owner, os::GWL_EXSTYLE), os::WS_EX_TOPMOST);
  EXPECT_EQ(os::GetWindow(w, os::GW_OWNER), owner);
  EXPECT_TRUE(os::IsWindowVisible(w));
  os::RECT r;
  os::GetWindowRect(w, &r);
  EXPECT_EQ(std::vector<int>({r.left, r.top, r.right - r.left}), std::vector<int>({312, 324, 400}));
  EXPECT_EQ(os::GetWindowTextA(dialog.TextWindow()), "Extracting setup files...");
  EXPECT_EQ(os::GetWindowTextA(dialog.CancelButton()), "&Cancel");
  EXPECT_FALSE(os::IsWindowEnabled(dialog.CancelButton()));
  EXPECT_EQ(os::GetFontFace(dialog.Font()), "Tahoma");
  EXPECT_EQ(static_cast<os::HFONT>(os::SendMessageA(dialog.TextWindow(), os::WM_GETFONT, 0, 0)),
            dialog.Font());
  os::GetWindowRect(dialog.ProgressBar(), &r);
  EXPECT_EQ(std::vector<int>({r.left, r.top, r.right - r.left}), std::vector<int>({8, 28, 394 - 16}));

  // The dialog cannot be moved.
  EXPECT_TRUE(os::SetWindowPos(w, 0, 5, 5, 400, 120, 0));
  os::GetWindowRect(w, &r);
  EXPECT_EQ(r.left, 312);
}

TEST(WaitDialog, NarrowScreenGivesNegativeXAndEnabledCancelClicks) {
  os::PlatformTestHelper::SetScreenSize(300, 100);
  TWaitDialog dialog("x", 4, wdoCancelEnabled);
  os::PlatformTestHelper::SetScreenSize(1024, 768);
  os::RECT r;
  os::GetWindowRect(dialog.DialogWindow(), &r);
  EXPECT_TRUE(r.left == -50 && r.top == -10) << r.left << "," << r.top;
  EXPECT_TRUE(os::IsWindowEnabled(dialog.CancelButton()));
  os::PostMessageA(dialog.DialogWindow(), os::WM_COMMAND, os::MakeWParam(1, os::BN_CLICKED),
                   static_cast<os::LPARAM>(dialog.CancelButton()));
  EXPECT_TRUE(Eventually([&] { return dialog.Cancelled(); }));
  EXPECT_TRUE(Eventually([&] { return !os::IsWindowEnabled(dialog.CancelButton()); }));
}

TEST(WaitDialog, EscapeOrLetterCCancelsOtherKeysDoNotAndTheCursorStaysBusy) {
  TWaitDialog dialog("x", 4, 0);
  // Sent from this thread: each has been handled when the call returns.
  os::SendMessageA(dialog.DialogWindow(), os::WM_KEYDOWN, 68, 0);
  os::SendMessageA(dialog.DialogWindow(), os::WM_KEYDOWN, 13, 0);
  EXPECT_FALSE(dialog.Cancelled());
  os::SendMessageA(dialog.DialogWindow(), os::WM_KEYDOWN, 67, 0);
  EXPECT_TRUE(dialog.Cancelled());
  // The wait cursor everywhere but over the button, without default handling.
  EXPECT_EQ(os::SendMessageA(dialog.DialogWindow(), os::WM_SETCURSOR,
                             static_cast<os::WPARAM>(dialog.ProgressBar()), 0),
            -1);
  EXPECT_EQ(os::SendMessageA(dialog.DialogWindow(), os::WM_SETCURSOR,
                             static_cast<os::WPARAM>(dialog.CancelButton()), 0),
            0);
  // Escape cancels though the button is disabled, and the work goes on.
  TWaitDialog escaped("x", 4, 0);
  os::SendMessageA(escaped.DialogWindow(), os::WM_KEYDOWN, os::VK_ESCAPE, 0);
  EXPECT_TRUE(escaped.Cancelled());
  escaped.Step(1);
  EXPECT_TRUE(BarReaches(escaped.ProgressBar(), 1));
}

TEST(WaitDialog, ThresholdAndDirectionDecideWhatIsPosted) {
  TWaitDialog big("x", 1024, 0);
  EXPECT_EQ(big.UpdateThreshold(), 4);
  big.SetPosition(3);
  EXPECT_EQ(big.Position(), 3);
  EXPECT_EQ(big.LastPostedPosition(), 0);
  big.SetPosition(4);
  EXPECT_EQ(big.LastPostedPosition(), 4);
  EXPECT_TRUE(BarReaches(big.ProgressBar(), 4));
  big.SetPosition(2);  // backwards is ignored
  EXPECT_EQ(big.Position(), 4);

  TWaitDialog back("x", 10, wdoAllowBackwards);
  back.SetPosition(5);
  back.SetPosition(2);
  EXPECT_EQ(back.Position(), 2);
  EXPECT_TRUE(BarReaches(back.ProgressBar(), 2));
}

TEST(WaitDialog, FailuresToCreateTheThreadOrWindowsAreReported) {
  os::PlatformTestHelper::FailNextWindowCreations(1);
  const std::string error = test::CodedMessageOf<EOSError>([] { TWaitDialog dialog("x", 4, 0); });
  EXPECT_TRUE(error.starts_with("System Error.  Code: 1816.") && error.ends_with(" #1816")) << error;
  EXPECT_EQ(TWaitDialog::Current(), nullptr);

  os::PlatformTestHelper::FailNextThreadCreations(1);
  EXPECT_THROW(TWaitDialog("x", 4, 0), EOSError);
  EXPECT_EQ(TWaitDialog::Current(), nullptr);

  TWaitDialog works("x", 4, 0);  // and the next one is fine
  EXPECT_TRUE(os::IsWindow(works.DialogWindow()));
}

}  // namespace
}  // namespace vt
