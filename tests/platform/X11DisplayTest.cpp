// Message boxes and text layout of the display back-end, on a virtual display
// of the test's own.
#include "platform/X11Display.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "platform/WindowApi.h"
#include "support/VirtualDisplay.h"

namespace vt::os {
namespace {

using test::VirtualDisplay;

TEST(X11Text, LinesWrapAtWordsAndBreaksAndLabelsLoseTheirMnemonics) {
  display::FontMetrics m;
  std::fill(std::begin(m.advance), std::end(m.advance), 5);  // 5 pixels a character
  using Lines = std::vector<std::string>;
  EXPECT_EQ(display::WrapText(m, "one two three", 40), (Lines{"one two", "three"}));
  EXPECT_EQ(display::WrapText(m, "a\r\nb\n\nc", 100), (Lines{"a", "b", "", "c"}));
  EXPECT_EQ(display::WrapText(m, "abcdefghij", 20), (Lines{"abcd", "efgh", "ij"}));  // no room for the word
  EXPECT_EQ(display::WrapText(m, "", 20), (Lines{""}));
  EXPECT_EQ(display::LabelText("&Cancel"), "Cancel");
  EXPECT_EQ(display::LabelText("Save && &Quit&"), "Save & Quit");
}

class X11MessageBox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.Start()) GTEST_SKIP() << display_.Why();
    display::UseDisplayForTest(display_.Name());
    display::SetWaitLimitForTest(display_.Left());
  }
  void TearDown() override {
    display_.Resume();
    display::UseDisplayForTest("");
    display::SetWaitLimitForTest(std::chrono::milliseconds(0));
  }
  bool WaitUntil(const std::function<bool()>& f) const { return display_.WaitUntil(f); }
  VirtualDisplay display_;
};

TEST_F(X11MessageBox, IsModalWrapsItsTextAndEndsWithEnterAClickTheCloseBoxOrTheDisplay) {
  const std::string text = "The first line of a long message that cannot stand on one line of the box, " +
                           std::string(20, 'x') + " and more words to wrap.";
  enum class End { kEnter, kClick, kCloseBox, kDisplayGone };
  for (End end : {End::kEnter, End::kClick, End::kCloseBox, End::kDisplayGone}) {
    auto result = std::async(std::launch::async, [&] { return MessageBoxA(0, text, "Kestrel Setup", MB_ICONERROR); });
    const auto ended = [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    const auto box = display_.WaitFor("Kestrel Setup", ended);
    std::optional<test::XWindowInfo> label;
    WaitUntil([&] {
      for (const auto& w : display_.Windows())
        if (w.name.rfind("The first line", 0) == 0 && display_.Viewable(w.id)) label = w;
      return label.has_value() || ended();
    });
    if (box && label) {
      // Wrapped: taller than one line, narrower than the screen.
      EXPECT_GE(label->height, 2 * display::DefaultFontMetrics().LineHeight());
      EXPECT_LT(box->width, VirtualDisplay::kWidth / 2 + 50);
      EXPECT_EQ(box->x, (VirtualDisplay::kWidth - box->width) / 2);
    }
    EXPECT_TRUE(box && label) << "the box did not show; it ended first: " << ended();
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    // Either way the box ends.
    if (!box) end = End::kDisplayGone;
    const auto ok = end == End::kDisplayGone ? std::nullopt : display_.WaitFor("OK", ended);
    if (end == End::kDisplayGone)
      display_.Stop();
    else if (end == End::kEnter)
      display_.Tool("xdotool key --window " + box->id + " Return");
    else if (end == End::kClick && ok)
      display_.Tool("xdotool mousemove " + std::to_string(ok->x + ok->width / 2) + " " +
                    std::to_string(ok->y + ok->height / 2) + " click 1");
    else
      EXPECT_TRUE(end == End::kCloseBox && display_.CloseBox(box->id)) << "no OK button to click";
    if (!WaitUntil(ended)) {
      ADD_FAILURE() << "the box did not end within " << VirtualDisplay::kPatience.count() << " s";
      display_.Stop();
    }
    EXPECT_EQ(result.get(), IDOK);
    // Gone from the screen when the call returns.
    if (end != End::kDisplayGone) {
      EXPECT_TRUE(display_.Windows().empty());
    }
  }
  // With the display gone, boxes go to standard error only.
  EXPECT_EQ(MessageBoxA(0, "after", "Kestrel Setup", MB_OK), IDOK);
  TakeShownMessageBoxes();
}

// The back-end on a server that answers nothing for a while.
class X11Backend : public X11MessageBox {};

TEST_F(X11Backend, WaitsForTheConnectionUpToTheLimitItIsGivenFromItsStart) {
  // A short limit runs out while the server answers nothing, for later
  // calls too: it counts from the start. The connection made later serves.
  display::SetWaitLimitForTest(std::chrono::milliseconds(100));
  display_.Pause();
  EXPECT_FALSE(display::WaitActive());
  display::SetWaitLimitForTest(display_.Left());
  auto again = std::async(std::launch::async, [] { return display::WaitActive(); });
  const bool returned =
      WaitUntil([&] { return again.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
  EXPECT_FALSE(display::Active());
  display_.Resume();
  EXPECT_TRUE(returned) << "waited again";
  EXPECT_FALSE(returned && again.get());
  EXPECT_TRUE(WaitUntil([] { return display::Active(); }));

  // A long one outlasts the default: the back-end waits for the server.
  display::UseDisplayForTest(display_.Name());
  display::SetWaitLimitForTest(display_.Left());
  display_.Pause();
  std::atomic<bool> asked{false};
  auto active = std::async(std::launch::async, [&] {
    asked = true;
    return display::WaitActive();
  });
  WaitUntil([&] { return asked.load(); });
  std::this_thread::sleep_for(display::kDefaultConnectLimit + std::chrono::milliseconds(500));
  EXPECT_EQ(active.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  display_.Resume();
  EXPECT_TRUE(active.get());
  EXPECT_EQ(display::ScreenWidth(), VirtualDisplay::kWidth);
}

TEST_F(X11Backend, ConnectionsOneAfterAnotherInOneProcessAllServe) {
  // A closed connection leaves nothing behind that the next one, made at
  // the same address as likely as not, trips on.
  for (int i = 0; i < 300; ++i) {
    display::UseDisplayForTest(display_.Name());
    ASSERT_TRUE(display::WaitActive()) << "connection " << i;
    EXPECT_EQ(display::ScreenWidth(), VirtualDisplay::kWidth);
    display::UseDisplayForTest("");
  }
}

TEST_F(X11Backend, ADestroyedWindowIsOffTheServerWhenTheCallReturnsUpToTheLimit) {
  WNDCLASSA wc;
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "X11TestFrame";
  RegisterClassA(wc);
  for (const bool long_limit : {true, false}) {
    display::SetWaitLimitForTest(long_limit ? display_.Left() : std::chrono::milliseconds(50));
    // A window of a thread of its own, destroyed when told.
    std::promise<void> go;
    std::atomic<bool> shown{false};
    auto destroyed = std::async(std::launch::async, [&, told = go.get_future()]() mutable {
      const HWND w = CreateWindowExA(0, "X11TestFrame", "Kestrel Frame", WS_POPUP | WS_CAPTION | WS_VISIBLE, 10, 10,
                                     200, 100, 0, 0, 0, nullptr);
      shown = true;
      told.wait();
      return DestroyWindow(w);
    });
    EXPECT_TRUE(display_.WaitFor("Kestrel Frame"));
    WaitUntil([&] { return shown.load(); });
    display_.Pause();
    go.set_value();
    if (long_limit) {
      // Held while the server does nothing, past the default limit.
      EXPECT_EQ(destroyed.wait_for(display::kDefaultFlushLimit + std::chrono::milliseconds(500)),
                std::future_status::timeout);
    } else {
      EXPECT_TRUE(WaitUntil([&] { return destroyed.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }))
          << "held past its limit";
    }
    display_.Resume();
    EXPECT_TRUE(destroyed.get());
    if (long_limit) {
      EXPECT_EQ(display_.Find("Kestrel Frame"), std::nullopt);
    }
    EXPECT_TRUE(WaitUntil([&] { return display_.Windows().empty(); }));
  }
}

}  // namespace
}  // namespace vt::os
