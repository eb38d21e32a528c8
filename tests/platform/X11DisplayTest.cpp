// Message boxes and text layout of the display back-end, on a virtual display
// of the test's own.
#include "platform/X11Display.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>

#include "platform/WindowApi.h"
#include "support/VirtualDisplay.h"

namespace vt::os {
namespace {

using test::VirtualDisplay;
using test::WaitUntil;

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
  }
  void TearDown() override { display::UseDisplayForTest(""); }
  VirtualDisplay display_;
};

TEST_F(X11MessageBox, IsModalWrapsItsTextAndEndsWithEnterAClickTheCloseBoxOrTheDisplay) {
  const std::string text = "The first line of a long message that cannot stand on one line of the box, " +
                           std::string(20, 'x') + " and more words to wrap.";
  enum class End { kEnter, kClick, kCloseBox, kDisplayGone };
  for (End end : {End::kEnter, End::kClick, End::kCloseBox, End::kDisplayGone}) {
    auto result = std::async(std::launch::async, [&] { return MessageBoxA(0, text, "Kestrel Setup", MB_ICONERROR); });
    const auto box = display_.WaitFor("Kestrel Setup");
    std::optional<test::XWindowInfo> label;
    WaitUntil([&] {
      for (const auto& w : display_.Windows())
        if (w.name.rfind("The first line", 0) == 0) label = w;
      return label.has_value();
    });
    if (box && label) {
      // Wrapped: taller than one line, narrower than the screen.
      EXPECT_GE(label->height, 2 * display::DefaultFontMetrics().LineHeight());
      EXPECT_LT(box->width, VirtualDisplay::kWidth / 2 + 50);
      EXPECT_EQ(box->x, (VirtualDisplay::kWidth - box->width) / 2);
    }
    EXPECT_TRUE(box && label);
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    // Either way the box ends.
    if (!box) end = End::kDisplayGone;
    const auto ok = display_.Find("OK");
    if (end == End::kDisplayGone)
      display_.Stop();
    else if (end == End::kEnter)
      display_.Tool("xdotool key --window " + box->id + " Return");
    else if (end == End::kClick && ok)
      display_.Tool("xdotool mousemove " + std::to_string(ok->x + ok->width / 2) + " " +
                    std::to_string(ok->y + ok->height / 2) + " click 1");
    else
      EXPECT_TRUE(end == End::kCloseBox && display_.CloseBox(box->id));
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the box did not end";
      display_.Stop();
    }
    EXPECT_EQ(result.get(), IDOK);
    if (end != End::kDisplayGone) {
      EXPECT_TRUE(WaitUntil([&] { return display_.Windows().empty(); }));
    }
  }
  // With the display gone, boxes go to standard error only.
  EXPECT_EQ(MessageBoxA(0, "after", "Kestrel Setup", MB_OK), IDOK);
  TakeShownMessageBoxes();
}

}  // namespace
}  // namespace vt::os
