// The window emulation's display back-end. When DISPLAY names a reachable X11
// display and the X client library (libX11.so.6) can be loaded, each visible
// top-level window becomes a real window and its controls are drawn in it;
// keys, clicks and the window manager's close request come back as messages
// posted to the emulation's windows, so that they run on the windows' own
// threads. One thread of the back-end's own owns the connection and does all
// drawing. Without a display nothing is loaded and every call is a no-op.
//
// A display that goes away only ends the back-end: the emulation goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WindowApi.h"

namespace vt::os::display {

enum class Kind : std::uint8_t { kFrame, kStatic, kButton, kProgress, kOther };

// What the back-end shows of one window of the emulation.
struct View {
  HWND hwnd = 0;
  HWND parent = 0;  // a child's parent; 0 for a top-level window
  Kind kind = Kind::kFrame;
  std::string text;  // title, or the control's text
  int x = 0, y = 0, width = 0, height = 0;
  std::uintptr_t id = 0;  // a control's id, for WM_COMMAND
  bool visible = false;
  bool enabled = true;
  bool topmost = false;   // a top-level window asks to stay above others
  bool closable = false;  // a top-level window has a close box
  bool default_button = false;
  int range_min = 0, range_max = 100, pos = 0;  // progress bar
  std::string face;  // font; empty: the default font
  int font_height = 0;

  bool operator==(const View&) const = default;
};

// Advance widths of the byte values and the line height of a font.
struct FontMetrics {
  int ascent = 0, descent = 0;
  int advance[256] = {};
  int LineHeight() const { return ascent + descent; }
};

// The face and height of the default font (the dialogs' font).
inline constexpr const char* kDefaultFace = "Tahoma";
inline constexpr int kDefaultFontHeight = -11;

// How long WaitActive waits for the connection and Flush for the server.
// The variable, read at the first use, sets both: a whole number of
// milliseconds, 1 to kLongestWaitLimit; anything else leaves the defaults.
inline constexpr std::chrono::milliseconds kDefaultConnectLimit{5000};
inline constexpr std::chrono::milliseconds kDefaultFlushLimit{1000};
inline constexpr std::chrono::milliseconds kLongestWaitLimit{24 * 60 * 60 * 1000};
inline constexpr const char* kWaitLimitVariable = "VT_DISPLAY_WAIT_MS";

// Whether a display is named and the back-end has not given up. Cheap.
bool Wanted();
// Starts the back-end when wanted and waits until it has connected or given
// up, or the connect limit, counted from the start, has passed; answers
// whether windows are shown. A connection made later still shows windows.
bool WaitActive();
bool Active();
int ScreenWidth();
int ScreenHeight();
// Metrics of the default font (zero widths when not active).
FontMetrics DefaultFontMetrics();

int TextWidth(const FontMetrics& metrics, std::string_view text);
// The lines a static control of the given width draws the text in: words
// wrap, line breaks ("\n", "\r\n") break.
std::vector<std::string> WrapText(const FontMetrics& metrics, std::string_view text, int width);
// A control's label as drawn: "&&" is "&", a single "&" marks a mnemonic
// and is not drawn.
std::string LabelText(std::string_view text);

// Any thread; may be called with the emulation's lock held (the back-end's
// lock is taken inside it, never the other way round).
void Update(const View& view);
void Remove(HWND hwnd);
// Waits (up to the flush limit) until the server has done every change
// made so far.
void Flush();

// Test hooks: use this display from now on (empty: none), ending a running
// back-end first.
void UseDisplayForTest(const std::string& name);
// Test hook: both wait limits (zero: back to the defaults or the
// variable's).
void SetWaitLimitForTest(std::chrono::milliseconds limit);
// The X window that shows an emulation window, 0 if none.
unsigned long XWindowOfForTest(HWND hwnd);

}  // namespace vt::os::display
