// The X11 back-end. The client library is loaded at run time; the few types
// and calls used are declared here (their layout is the library's stable
// binary interface on LP64 systems). Text is drawn with Xft (libXft.so.2)
// when it loads, the face chosen by fontconfig as the nearest to the one
// asked for; else with the server's core fonts, tried from the face asked
// for down to "fixed".
//
// All calls on the connection are made by the back-end's thread. The
// emulation hands it views of its windows (Update, Remove); the thread
// copies them, makes and draws the X windows, and turns events into posted
// messages. A lost connection calls the library's I/O error handler, which
// would end the process if it returned: ours throws, the thread unwinds to
// its top, and the back-end turns itself off.
#include "platform/X11Display.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "platform/Environment.h"
#include "platform/FaultSupport.h"
#include "platform/ThreadSafety.h"

namespace vt::os::display {

namespace {

// ---- the client library's types --------------------------------------------

namespace x {
struct Display;
struct Visual;
struct GCRec;
struct XftDraw;
using XID = unsigned long;
using Window = XID;
using Atom = unsigned long;
using Colormap = XID;
using Font = XID;
using KeySym = XID;
using Time = unsigned long;
using Bool = int;
using Status = int;
using GC = GCRec*;

struct XKeyEvent {
  int type;
  unsigned long serial;
  Bool send_event;
  Display* display;
  Window window, root, subwindow;
  Time time;
  int x, y, x_root, y_root;
  unsigned int state, keycode;
  Bool same_screen;
};
struct XButtonEvent {
  int type;
  unsigned long serial;
  Bool send_event;
  Display* display;
  Window window, root, subwindow;
  Time time;
  int x, y, x_root, y_root;
  unsigned int state, button;
  Bool same_screen;
};
struct XExposeEvent {
  int type;
  unsigned long serial;
  Bool send_event;
  Display* display;
  Window window;
  int x, y, width, height, count;
};
struct XClientMessageEvent {
  int type;
  unsigned long serial;
  Bool send_event;
  Display* display;
  Window window;
  Atom message_type;
  int format;
  union {
    char b[20];
    short s[10];
    long l[5];
  } data;
};
struct XAnyEvent {
  int type;
  unsigned long serial;
  Bool send_event;
  Display* display;
  Window window;
};
union XEvent {
  int type;
  XAnyEvent xany;
  XKeyEvent xkey;
  XButtonEvent xbutton;
  XExposeEvent xexpose;
  XClientMessageEvent xclient;
  long pad[24];
};
struct XColor {
  unsigned long pixel;
  unsigned short red, green, blue;
  char flags, pad;
};
struct XCharStruct {
  short lbearing, rbearing, width, ascent, descent;
  unsigned short attributes;
};
struct XFontStruct {
  void* ext_data;
  Font fid;
  unsigned direction, min_char_or_byte2, max_char_or_byte2, min_byte1, max_byte1;
  Bool all_chars_exist;
  unsigned default_char;
  int n_properties;
  void* properties;
  XCharStruct min_bounds, max_bounds;
  XCharStruct* per_char;
  int ascent, descent;
};
struct XSizeHints {
  long flags;
  int x, y, width, height, min_width, min_height, max_width, max_height, width_inc, height_inc;
  struct {
    int x, y;
  } min_aspect, max_aspect;
  int base_width, base_height, win_gravity;
};
struct XWMHints {
  long flags;
  Bool input;
  int initial_state;
  XID icon_pixmap;
  Window icon_window;
  int icon_x, icon_y;
  XID icon_mask, window_group;
};
struct XRenderColor {
  unsigned short red, green, blue, alpha;
};
struct XftColor {
  unsigned long pixel;
  XRenderColor color;
};
struct XftFont {
  int ascent, descent, height, max_advance_width;
  void* charset;
  void* pattern;
};
struct XGlyphInfo {
  unsigned short width, height;
  short x, y, xOff, yOff;
};

enum : int { KeyPress = 2, ButtonPress = 4, ButtonRelease = 5, Expose = 12, ClientMessage = 33 };
enum : long {
  KeyPressMask = 1L << 0,
  ButtonPressMask = 1L << 2,
  ButtonReleaseMask = 1L << 3,
  ExposureMask = 1L << 15,
};
enum : long {
  USPosition = 1,
  USSize = 2,
  PPosition = 4,
  PSize = 8,
  PMinSize = 16,
  PMaxSize = 32,
  PWinGravity = 512,
};
constexpr Atom XA_ATOM = 4, XA_CARDINAL = 6;
}  // namespace x

// The calls, found by name.
struct Api {
  x::Display* (*XOpenDisplay)(const char*);
  int (*XCloseDisplay)(x::Display*);
  int (*XDefaultScreen)(x::Display*);
  x::Window (*XRootWindow)(x::Display*, int);
  int (*XDisplayWidth)(x::Display*, int);
  int (*XDisplayHeight)(x::Display*, int);
  x::Visual* (*XDefaultVisual)(x::Display*, int);
  x::Colormap (*XDefaultColormap)(x::Display*, int);
  int (*XConnectionNumber)(x::Display*);
  x::Window (*XCreateSimpleWindow)(x::Display*, x::Window, int, int, unsigned, unsigned, unsigned, unsigned long,
                                   unsigned long);
  int (*XDestroyWindow)(x::Display*, x::Window);
  int (*XMapWindow)(x::Display*, x::Window);
  int (*XMoveResizeWindow)(x::Display*, x::Window, int, int, unsigned, unsigned);
  int (*XSelectInput)(x::Display*, x::Window, long);
  int (*XStoreName)(x::Display*, x::Window, const char*);
  x::Atom (*XInternAtom)(x::Display*, const char*, x::Bool);
  int (*XChangeProperty)(x::Display*, x::Window, x::Atom, x::Atom, int, int, const unsigned char*, int);
  x::Status (*XSetWMProtocols)(x::Display*, x::Window, x::Atom*, int);
  void (*XSetWMNormalHints)(x::Display*, x::Window, x::XSizeHints*);
  int (*XSetWMHints)(x::Display*, x::Window, x::XWMHints*);
  x::GC (*XCreateGC)(x::Display*, x::Window, unsigned long, void*);
  int (*XSetForeground)(x::Display*, x::GC, unsigned long);
  int (*XSetFont)(x::Display*, x::GC, x::Font);
  int (*XFillRectangle)(x::Display*, x::Window, x::GC, int, int, unsigned, unsigned);
  int (*XDrawLine)(x::Display*, x::Window, x::GC, int, int, int, int);
  int (*XDrawString)(x::Display*, x::Window, x::GC, int, int, const char*, int);
  x::XFontStruct* (*XLoadQueryFont)(x::Display*, const char*);
  int (*XTextWidth)(x::XFontStruct*, const char*, int);
  x::Status (*XAllocColor)(x::Display*, x::Colormap, x::XColor*);
  int (*XPending)(x::Display*);
  int (*XNextEvent)(x::Display*, x::XEvent*);
  int (*XFlush)(x::Display*);
  int (*XSync)(x::Display*, x::Bool);
  x::KeySym (*XLookupKeysym)(x::XKeyEvent*, int);
  int (*XFreeFont)(x::Display*, x::XFontStruct*);
  int (*XFreeGC)(x::Display*, x::GC);
  void* (*XSetErrorHandler)(int (*)(x::Display*, void*));
  void* (*XSetIOErrorHandler)(int (*)(x::Display*));
};

struct XftApi {
  x::XftFont* (*XftFontOpenName)(x::Display*, int, const char*);
  x::XftDraw* (*XftDrawCreate)(x::Display*, x::Window, x::Visual*, x::Colormap);
  void (*XftDrawDestroy)(x::XftDraw*);
  void (*XftFontClose)(x::Display*, x::XftFont*);
  void (*XftDrawString8)(x::XftDraw*, const x::XftColor*, x::XftFont*, int, int, const unsigned char*, int);
  void (*XftTextExtents8)(x::Display*, x::XftFont*, const unsigned char*, int, x::XGlyphInfo*);
  x::Bool (*XftColorAllocValue)(x::Display*, x::Visual*, x::Colormap, const x::XRenderColor*, x::XftColor*);
};

template <typename T>
bool Find(void* library, const char* name, T& fn) {
  fn = reinterpret_cast<T>(::dlsym(library, name));
  return fn != nullptr;
}

#define VT_FIND(lib, api, name) Find(lib, #name, (api).name)

bool LoadApi(void* lib, Api& a) {
  return VT_FIND(lib, a, XOpenDisplay) && VT_FIND(lib, a, XCloseDisplay) && VT_FIND(lib, a, XDefaultScreen) &&
         VT_FIND(lib, a, XRootWindow) && VT_FIND(lib, a, XDisplayWidth) && VT_FIND(lib, a, XDisplayHeight) &&
         VT_FIND(lib, a, XDefaultVisual) && VT_FIND(lib, a, XDefaultColormap) &&
         VT_FIND(lib, a, XConnectionNumber) && VT_FIND(lib, a, XCreateSimpleWindow) &&
         VT_FIND(lib, a, XDestroyWindow) && VT_FIND(lib, a, XMapWindow) && VT_FIND(lib, a, XMoveResizeWindow) &&
         VT_FIND(lib, a, XSelectInput) && VT_FIND(lib, a, XStoreName) && VT_FIND(lib, a, XInternAtom) &&
         VT_FIND(lib, a, XChangeProperty) && VT_FIND(lib, a, XSetWMProtocols) &&
         VT_FIND(lib, a, XSetWMNormalHints) && VT_FIND(lib, a, XSetWMHints) && VT_FIND(lib, a, XCreateGC) &&
         VT_FIND(lib, a, XSetForeground) && VT_FIND(lib, a, XSetFont) && VT_FIND(lib, a, XFillRectangle) &&
         VT_FIND(lib, a, XDrawLine) && VT_FIND(lib, a, XDrawString) && VT_FIND(lib, a, XLoadQueryFont) &&
         VT_FIND(lib, a, XTextWidth) && VT_FIND(lib, a, XAllocColor) && VT_FIND(lib, a, XPending) &&
         VT_FIND(lib, a, XNextEvent) && VT_FIND(lib, a, XFlush) && VT_FIND(lib, a, XSync) && VT_FIND(lib, a, XLookupKeysym) && VT_FIND(lib, a, XFreeFont) && VT_FIND(lib, a, XFreeGC) &&
         VT_FIND(lib, a, XSetErrorHandler) && VT_FIND(lib, a, XSetIOErrorHandler);
}

bool LoadXftApi(void* lib, XftApi& a) {
  return VT_FIND(lib, a, XftFontOpenName) && VT_FIND(lib, a, XftDrawCreate) && VT_FIND(lib, a, XftDrawDestroy) && VT_FIND(lib, a, XftFontClose) &&
         VT_FIND(lib, a, XftDrawString8) && VT_FIND(lib, a, XftTextExtents8) && VT_FIND(lib, a, XftColorAllocValue);
}

#undef VT_FIND

// The connection is gone.
struct ConnectionLost {};

int IgnoreError(x::Display*, void*) { return 0; }
int LoseConnection(x::Display*) { throw ConnectionLost{}; }

// ---- colours ----------------------------------------------------------------

enum Colour { kFace, kText, kGrayText, kWhite, kLight, kShadow, kDarkShadow, kHighlight, kBlack, kColourCount };
constexpr unsigned char kRgb[kColourCount][3] = {
    {240, 240, 240}, {0, 0, 0},       {109, 109, 109}, {255, 255, 255}, {227, 227, 227},
    {160, 160, 160}, {105, 105, 105}, {0, 120, 215},   {0, 0, 0},
};

// ---- Windows virtual-key codes of key symbols -------------------------------

unsigned VirtualKey(x::KeySym sym) {
  if (sym >= 'a' && sym <= 'z') return static_cast<unsigned>(sym - 'a' + 'A');
  if ((sym >= 'A' && sym <= 'Z') || (sym >= '0' && sym <= '9') || sym == ' ') return static_cast<unsigned>(sym);
  if (sym >= 0xFFBE && sym <= 0xFFC9) return static_cast<unsigned>(sym - 0xFFBE + 112);  // F1..F12
  switch (sym) {
    case 0xFF08: return 8;    // BackSpace
    case 0xFF09: return 9;    // Tab
    case 0xFF0D: return 13;   // Return
    case 0xFF8D: return 13;   // KP_Enter
    case 0xFF1B: return 27;   // Escape
    case 0xFF51: return 37;   // Left
    case 0xFF52: return 38;   // Up
    case 0xFF53: return 39;   // Right
    case 0xFF54: return 40;   // Down
    case 0xFFFF: return 46;   // Delete
    default: return 0;
  }
}

// ---- state -------------------------------------------------------------------

enum class Phase { kIdle, kStarting, kActive, kOff };

struct LoadedFont {
  std::string face;
  int height = 0;
  x::XftFont* xft = nullptr;
  x::XFontStruct* core = nullptr;
  FontMetrics metrics;
};

// One X window of an emulation window (the back-end's thread only).
struct Entry {
  x::Window xid = 0;
  HWND parent = 0;
  HWND top = 0;
  x::XftDraw* draw = nullptr;
  View shown;
  bool paint = true;
  bool pressed = false;
};

struct Backend {
  Mutex lock;
  std::condition_variable changed;
  std::atomic<bool> wanted{false};
  Phase phase GUARDED_BY(lock) = Phase::kIdle;
  bool quit GUARDED_BY(lock) = false;
  std::string display_name GUARDED_BY(lock);
  std::map<HWND, View> views GUARDED_BY(lock);
  std::uint64_t change_seq GUARDED_BY(lock) = 0;
  std::uint64_t applied_seq GUARDED_BY(lock) = 0;
  int screen_width GUARDED_BY(lock) = 0;
  int screen_height GUARDED_BY(lock) = 0;
  FontMetrics default_metrics GUARDED_BY(lock);
  std::map<HWND, unsigned long> shown_xids GUARDED_BY(lock);
  std::thread thread GUARDED_BY(lock);
  int wake_fd = -1;  // set before the thread starts, closed after it ends
  std::chrono::milliseconds limit_from_environment{0};  // 0: the defaults
  std::chrono::milliseconds limit_for_test GUARDED_BY(lock){0};
  // Waits for the connection end here, all together: a server that never
  // answers holds the program up once.
  std::chrono::steady_clock::time_point connect_deadline GUARDED_BY(lock);

  Backend() {
    std::string name;
    ReadEnvironmentVariable("DISPLAY", &name);
    const std::chrono::milliseconds limit = LimitFromEnvironment();
    MutexLock guard(lock);
    display_name = name;
    wanted = !display_name.empty();
    limit_from_environment = limit;
  }

  // The time limit of a wait whose default is given.
  std::chrono::milliseconds Limit(std::chrono::milliseconds by_default) REQUIRES(lock) {
    if (limit_for_test.count() > 0) return limit_for_test;
    if (limit_from_environment.count() > 0) return limit_from_environment;
    return by_default;
  }

  // VT_DISPLAY_WAIT_MS: a whole number of milliseconds from 1 to a day;
  // anything else leaves the defaults.
  static std::chrono::milliseconds LimitFromEnvironment() {
    std::string text;
    if (!ReadEnvironmentVariable(kWaitLimitVariable, &text) || text.empty() || text.size() > 8)
      return std::chrono::milliseconds(0);
    long long ms = 0;
    for (const char c : text) {
      if (c < '0' || c > '9') return std::chrono::milliseconds(0);
      ms = ms * 10 + (c - '0');
    }
    return std::chrono::milliseconds(ms <= kLongestWaitLimit.count() ? ms : 0);
  }
};

Backend& B() {
  static Backend* backend = new Backend;  // never freed: the thread may outlive static destruction
  return *backend;
}

void Wake(Backend& b) {
  if (b.wake_fd < 0) return;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(b.wake_fd, &one, sizeof one);
}

void ThreadMain();

void StartLocked(Backend& b) REQUIRES(b.lock) {
  if (b.phase != Phase::kIdle) return;
  b.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (b.wake_fd < 0) {
    b.phase = Phase::kOff;
    b.wanted = false;
    return;
  }
  b.phase = Phase::kStarting;
  b.quit = false;
  b.connect_deadline = std::chrono::steady_clock::now() + b.Limit(kDefaultConnectLimit);
  b.thread = std::thread(ThreadMain);
}

// ---- the back-end's thread ---------------------------------------------------

class Connection {
 public:
  bool Open(const std::string& name);
  // Runs until asked to quit; throws ConnectionLost when the display goes.
  void Loop();
  void Close();
  int Width() const { return width_; }
  int Height() const { return height_; }
  const FontMetrics& DefaultMetrics() { return FontFor("", 0).metrics; }

 private:
  void Reconcile();
  bool Desired(HWND hwnd, std::map<HWND, int>& memo);
  void CreateTop(HWND hwnd, const View& v);
  void CreateChild(HWND hwnd, const View& v, const Entry& parent);
  void SetTitle(x::Window xid, const std::string& text, bool top);
  void Handle(x::XEvent& ev);
  void Paint(Entry& e, const View& v);
  void PaintStatic(Entry& e, const View& v);
  void PaintButton(Entry& e, const View& v);
  void PaintProgress(Entry& e, const View& v);
  void Fill(x::Window w, Colour c, int x, int y, int width, int height);
  void Edge(x::Window w, int x, int y, int width, int height, Colour top_left, Colour bottom_right);
  void Text(Entry& e, LoadedFont& f, int x, int baseline, const std::string& s, Colour c);
  LoadedFont& FontFor(const std::string& face, int height);
  Entry* EntryOf(x::Window xid);

  Api x_{};
  XftApi xft_{};
  bool have_xft_ = false;
  x::Display* dpy_ = nullptr;
  int screen_ = 0;
  x::Window root_ = 0;
  x::Visual* visual_ = nullptr;
  x::Colormap colormap_ = 0;
  x::GC gc_ = nullptr;
  int width_ = 0, height_ = 0;
  unsigned long pixel_[kColourCount] = {};
  x::XftColor xft_colour_[kColourCount] = {};
  x::Atom wm_protocols_ = 0, wm_delete_ = 0, net_wm_name_ = 0, utf8_ = 0, net_wm_state_ = 0, state_above_ = 0,
          window_type_ = 0, type_dialog_ = 0, motif_hints_ = 0, net_wm_pid_ = 0;
  std::deque<LoadedFont> fonts_;  // references stay valid as fonts are added
  std::map<HWND, View> views_;
  std::map<HWND, Entry> entries_;
};

bool Connection::Open(const std::string& name) {
  void* lib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (!lib || !LoadApi(lib, x_)) return false;
  x_.XSetErrorHandler(IgnoreError);
  x_.XSetIOErrorHandler(LoseConnection);
  dpy_ = x_.XOpenDisplay(name.c_str());
  if (!dpy_) return false;
  int fd = x_.XConnectionNumber(dpy_);
  ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
  screen_ = x_.XDefaultScreen(dpy_);
  root_ = x_.XRootWindow(dpy_, screen_);
  visual_ = x_.XDefaultVisual(dpy_, screen_);
  colormap_ = x_.XDefaultColormap(dpy_, screen_);
  width_ = x_.XDisplayWidth(dpy_, screen_);
  height_ = x_.XDisplayHeight(dpy_, screen_);
  gc_ = x_.XCreateGC(dpy_, root_, 0, nullptr);
  if (void* xft = ::dlopen("libXft.so.2", RTLD_NOW | RTLD_LOCAL)) {
    // Close hooks run newest first, and Xft's frees fonts and pictures
    // through Render: Render must be known to the connection before Xft, or
    // its hook goes first and Xft's makes it anew on the closing connection,
    // left behind for the next connection at the same address.
    using Query = x::Bool (*)(x::Display*, int*, int*);
    void* render = ::dlopen("libXrender.so.1", RTLD_NOW | RTLD_LOCAL);
    auto query = render ? reinterpret_cast<Query>(::dlsym(render, "XRenderQueryExtension")) : nullptr;
    int event_base = 0, error_base = 0;
    if (query) query(dpy_, &event_base, &error_base);
    have_xft_ = LoadXftApi(xft, xft_);
  }
  for (int c = 0; c < kColourCount; ++c) {
    x::XColor colour{0, static_cast<unsigned short>(kRgb[c][0] * 257), static_cast<unsigned short>(kRgb[c][1] * 257),
                     static_cast<unsigned short>(kRgb[c][2] * 257), 7, 0};
    if (x_.XAllocColor(dpy_, colormap_, &colour)) pixel_[c] = colour.pixel;
    x::XRenderColor render{colour.red, colour.green, colour.blue, 0xFFFF};
    if (have_xft_ && !xft_.XftColorAllocValue(dpy_, visual_, colormap_, &render, &xft_colour_[c])) have_xft_ = false;
  }
  auto atom = [&](const char* n) { return x_.XInternAtom(dpy_, n, 0); };
  wm_protocols_ = atom("WM_PROTOCOLS");
  wm_delete_ = atom("WM_DELETE_WINDOW");
  net_wm_name_ = atom("_NET_WM_NAME");
  utf8_ = atom("UTF8_STRING");
  net_wm_state_ = atom("_NET_WM_STATE");
  state_above_ = atom("_NET_WM_STATE_ABOVE");
  window_type_ = atom("_NET_WM_WINDOW_TYPE");
  type_dialog_ = atom("_NET_WM_WINDOW_TYPE_DIALOG");
  motif_hints_ = atom("_MOTIF_WM_HINTS");
  net_wm_pid_ = atom("_NET_WM_PID");
  FontFor("", 0);
  return true;
}

void Connection::Close() {
  if (!dpy_) return;
  for (auto& [h, e] : entries_)
    if (e.draw) xft_.XftDrawDestroy(e.draw);
  for (auto& f : fonts_) {
    if (f.xft) xft_.XftFontClose(dpy_, f.xft);
    if (f.core) x_.XFreeFont(dpy_, f.core);
  }
  entries_.clear();
  fonts_.clear();
  if (gc_) x_.XFreeGC(dpy_, gc_);
  gc_ = nullptr;
  x_.XCloseDisplay(dpy_);
  dpy_ = nullptr;
}

void Connection::Loop() {
  Backend& b = B();
  const int fd = x_.XConnectionNumber(dpy_);
  for (;;) {
    std::uint64_t seq = 0;
    {
      MutexLock guard(b.lock);
      if (b.quit) return;
      views_ = b.views;
      seq = b.change_seq;
    }
    Reconcile();
    // Done by the server, not only sent, before Flush learns of it.
    x_.XSync(dpy_, 0);
    {
      MutexLock guard(b.lock);
      b.applied_seq = seq;
      b.shown_xids.clear();
      for (auto& [h, e] : entries_) b.shown_xids[h] = e.xid;
      b.changed.notify_all();
    }
    if (x_.XPending(dpy_) == 0) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {b.wake_fd, POLLIN, 0}};
      ::poll(fds, 2, -1);
    }
    std::uint64_t drained = 0;
    while (::read(b.wake_fd, &drained, sizeof drained) > 0) {
    }
    while (x_.XPending(dpy_) > 0) {
      x::XEvent ev{};
      x_.XNextEvent(dpy_, &ev);
      Handle(ev);
    }
  }
}

bool Connection::Desired(HWND hwnd, std::map<HWND, int>& memo) {
  auto m = memo.find(hwnd);
  if (m != memo.end()) return m->second > 0;
  memo[hwnd] = 0;  // a cycle is never shown
  auto it = views_.find(hwnd);
  bool want = it != views_.end() && it->second.visible &&
              (it->second.parent == 0 || Desired(it->second.parent, memo));
  memo[hwnd] = want ? 1 : 0;
  return want;
}

void Connection::Reconcile() {
  std::map<HWND, int> memo;
  // Windows no longer shown go; a child goes with its parent.
  std::vector<HWND> gone;
  for (auto& [h, e] : entries_)
    if (!Desired(h, memo)) gone.push_back(h);
  for (HWND h : gone) {
    Entry& e = entries_[h];
    if (e.draw) xft_.XftDrawDestroy(e.draw);
    e.draw = nullptr;
  }
  for (HWND h : gone) {
    const Entry& e = entries_[h];
    bool parent_goes = e.parent && std::find(gone.begin(), gone.end(), e.parent) != gone.end();
    if (!parent_goes) x_.XDestroyWindow(dpy_, e.xid);
  }
  for (HWND h : gone) entries_.erase(h);

  // New windows, parents before children.
  for (bool made = true; made;) {
    made = false;
    for (auto& [h, v] : views_) {
      if (entries_.count(h) || !Desired(h, memo)) continue;
      if (v.parent == 0) {
        CreateTop(h, v);
        made = true;
      } else if (auto p = entries_.find(v.parent); p != entries_.end()) {
        CreateChild(h, v, p->second);
        made = true;
      }
    }
  }

  // Changes. A shown top-level window keeps its place and size.
  for (auto& [h, e] : entries_) {
    const View& v = views_[h];
    if (v == e.shown) continue;
    if (v.text != e.shown.text) SetTitle(e.xid, v.text, v.parent == 0);
    if (v.parent != 0 && (v.x != e.shown.x || v.y != e.shown.y || v.width != e.shown.width ||
                          v.height != e.shown.height))
      x_.XMoveResizeWindow(dpy_, e.xid, v.x, v.y, static_cast<unsigned>(std::max(1, v.width)),
                           static_cast<unsigned>(std::max(1, v.height)));
    e.shown = v;
    e.paint = true;
  }
  for (auto& [h, e] : entries_)
    if (e.paint) {
      e.paint = false;
      Paint(e, views_[h]);
    }
}

void Connection::SetTitle(x::Window xid, const std::string& text, bool top) {
  x_.XStoreName(dpy_, xid, text.c_str());
  if (!top) return;
  std::string utf8;  // the emulation's text is Latin-1
  for (unsigned char c : text) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  x_.XChangeProperty(dpy_, xid, net_wm_name_, utf8_, 8, 0, reinterpret_cast<const unsigned char*>(utf8.data()),
                     static_cast<int>(utf8.size()));
}

void Connection::CreateTop(HWND hwnd, const View& v) {
  const unsigned w = static_cast<unsigned>(std::max(1, v.width)), h = static_cast<unsigned>(std::max(1, v.height));
  x::Window xid = x_.XCreateSimpleWindow(dpy_, root_, v.x, v.y, w, h, 0, 0, pixel_[kFace]);
  x_.XSelectInput(dpy_, xid, x::ExposureMask | x::KeyPressMask | x::ButtonPressMask | x::ButtonReleaseMask);
  SetTitle(xid, v.text, true);
  x_.XSetWMProtocols(dpy_, xid, &wm_delete_, 1);
  // At the program's place (the frame's top left corner), of fixed size.
  x::XSizeHints size{};
  size.flags = x::USPosition | x::PPosition | x::USSize | x::PSize | x::PMinSize | x::PMaxSize | x::PWinGravity;
  size.x = v.x;
  size.y = v.y;
  size.width = size.min_width = size.max_width = static_cast<int>(w);
  size.height = size.min_height = size.max_height = static_cast<int>(h);
  size.win_gravity = 1;  // NorthWest
  x_.XSetWMNormalHints(dpy_, xid, &size);
  x::XWMHints hints{};
  hints.flags = 1 | 2;  // input, initial state
  hints.input = 1;
  hints.initial_state = 1;  // normal
  x_.XSetWMHints(dpy_, xid, &hints);
  long type = static_cast<long>(type_dialog_);
  x_.XChangeProperty(dpy_, xid, window_type_, x::XA_ATOM, 32, 0, reinterpret_cast<unsigned char*>(&type), 1);
  if (v.topmost) {
    long above = static_cast<long>(state_above_);
    x_.XChangeProperty(dpy_, xid, net_wm_state_, x::XA_ATOM, 32, 0, reinterpret_cast<unsigned char*>(&above), 1);
  }
  // Moved, not resized; a close box only with a system menu.
  long motif[5] = {1 | 2, 4 | (v.closable ? 32 : 0), 2 | 8 | (v.closable ? 16 : 0), 0, 0};
  x_.XChangeProperty(dpy_, xid, motif_hints_, motif_hints_, 32, 0, reinterpret_cast<unsigned char*>(motif), 5);
  long pid = static_cast<long>(::getpid());
  x_.XChangeProperty(dpy_, xid, net_wm_pid_, x::XA_CARDINAL, 32, 0, reinterpret_cast<unsigned char*>(&pid), 1);
  x_.XMapWindow(dpy_, xid);
  Entry e;
  e.xid = xid;
  e.top = hwnd;
  e.shown = v;
  entries_[hwnd] = e;
}

void Connection::CreateChild(HWND hwnd, const View& v, const Entry& parent) {
  x::Window xid = x_.XCreateSimpleWindow(dpy_, parent.xid, v.x, v.y, static_cast<unsigned>(std::max(1, v.width)),
                                         static_cast<unsigned>(std::max(1, v.height)), 0, 0, pixel_[kFace]);
  long mask = x::ExposureMask;
  if (v.kind == Kind::kButton) mask |= x::ButtonPressMask | x::ButtonReleaseMask;
  x_.XSelectInput(dpy_, xid, mask);
  SetTitle(xid, v.text, false);
  x_.XMapWindow(dpy_, xid);
  Entry e;
  e.xid = xid;
  e.parent = v.parent;
  e.top = parent.top;
  e.shown = v;
  entries_[hwnd] = e;
}

Entry* Connection::EntryOf(x::Window xid) {
  for (auto& [h, e] : entries_)
    if (e.xid == xid) return &e;
  return nullptr;
}

void Connection::Handle(x::XEvent& ev) {
  Entry* e = EntryOf(ev.xany.window);
  if (!e) return;
  HWND hwnd = 0;
  for (auto& [h, entry] : entries_)
    if (&entry == e) hwnd = h;
  const View& v = views_[hwnd];
  switch (ev.type) {
    case x::Expose:
      if (ev.xexpose.count == 0) e->paint = true;
      break;
    case x::KeyPress:
      if (unsigned vk = VirtualKey(x_.XLookupKeysym(&ev.xkey, 0)))
        PostMessageA(e->top, WM_KEYDOWN, vk, static_cast<LPARAM>(1 | ((ev.xkey.keycode - 8) & 0xFF) << 16));
      break;
    case x::ButtonPress:
      if (v.kind == Kind::kButton && ev.xbutton.button == 1 && v.enabled) {
        e->pressed = true;
        e->paint = true;
      }
      break;
    case x::ButtonRelease:
      if (e->pressed && ev.xbutton.button == 1) {
        e->pressed = false;
        e->paint = true;
        bool inside = ev.xbutton.x >= 0 && ev.xbutton.y >= 0 && ev.xbutton.x < v.width && ev.xbutton.y < v.height;
        if (inside && v.enabled)
          PostMessageA(e->parent, WM_COMMAND, MakeWParam(static_cast<unsigned>(v.id), BN_CLICKED),
                       static_cast<LPARAM>(hwnd));
      }
      break;
    case x::ClientMessage:
      if (ev.xclient.message_type == wm_protocols_ && static_cast<x::Atom>(ev.xclient.data.l[0]) == wm_delete_)
        PostMessageA(e->top, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

// ---- drawing ---------------------------------------------------------------------

LoadedFont& Connection::FontFor(const std::string& wanted_face, int wanted_height) {
  const std::string face = wanted_face.empty() ? kDefaultFace : wanted_face;
  const int height = wanted_face.empty() ? kDefaultFontHeight : wanted_height;
  for (auto& f : fonts_)
    if (f.face == face && f.height == height) return f;
  // A negative height is the characters' height, a positive one the cell's.
  const int pixels = height < 0 ? -height : height > 0 ? std::max(1, height * 4 / 5) : 12;
  LoadedFont f;
  f.face = face;
  f.height = height;
  if (have_xft_) {
    std::string name;
    for (char c : face) {
      if (c == '\\' || c == '-' || c == ':' || c == ',') name += '\\';
      name += c;
    }
    name += ":pixelsize=" + std::to_string(pixels);
    f.xft = xft_.XftFontOpenName(dpy_, screen_, name.c_str());
  }
  if (f.xft) {
    f.metrics.ascent = f.xft->ascent;
    f.metrics.descent = f.xft->descent;
    for (int c = 0; c < 256; ++c) {
      unsigned char ch = static_cast<unsigned char>(c);
      x::XGlyphInfo info{};
      xft_.XftTextExtents8(dpy_, f.xft, &ch, 1, &info);
      f.metrics.advance[c] = info.xOff;
    }
  } else {
    std::string lower;
    for (char c : face) lower += static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
    const std::string size = std::to_string(pixels);
    const std::string patterns[] = {
        "-*-" + lower + "-medium-r-normal--" + size + "-*-*-*-*-*-iso8859-1",
        "-*-dejavu sans-medium-r-normal--" + size + "-*-*-*-*-*-iso8859-1",
        "-*-helvetica-medium-r-normal--" + size + "-*-*-*-*-*-iso8859-1",
        "-*-*-medium-r-normal--" + size + "-*-*-*-p-*-iso8859-1",
        "fixed",
    };
    for (const auto& pattern : patterns)
      if ((f.core = x_.XLoadQueryFont(dpy_, pattern.c_str()))) break;
    if (f.core) {
      f.metrics.ascent = f.core->ascent;
      f.metrics.descent = f.core->descent;
      for (int c = 0; c < 256; ++c) {
        char ch = static_cast<char>(c);
        f.metrics.advance[c] = x_.XTextWidth(f.core, &ch, 1);
      }
    } else {  // nothing to draw with: the text takes its room
      f.metrics.ascent = pixels;
      f.metrics.descent = pixels / 4;
      std::fill(std::begin(f.metrics.advance), std::end(f.metrics.advance), pixels / 2);
    }
  }
  fonts_.push_back(std::move(f));
  return fonts_.back();
}

void Connection::Fill(x::Window w, Colour c, int x, int y, int width, int height) {
  if (width <= 0 || height <= 0) return;
  x_.XSetForeground(dpy_, gc_, pixel_[c]);
  x_.XFillRectangle(dpy_, w, gc_, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
}

// A one-pixel frame, lit on the top and left, shaded on the bottom and right.
void Connection::Edge(x::Window w, int x, int y, int width, int height, Colour top_left, Colour bottom_right) {
  if (width <= 0 || height <= 0) return;
  const int r = x + width - 1, b = y + height - 1;
  x_.XSetForeground(dpy_, gc_, pixel_[top_left]);
  x_.XDrawLine(dpy_, w, gc_, x, y, r - 1, y);
  x_.XDrawLine(dpy_, w, gc_, x, y, x, b - 1);
  x_.XSetForeground(dpy_, gc_, pixel_[bottom_right]);
  x_.XDrawLine(dpy_, w, gc_, x, b, r, b);
  x_.XDrawLine(dpy_, w, gc_, r, y, r, b);
}

void Connection::Text(Entry& e, LoadedFont& f, int x, int baseline, const std::string& s, Colour c) {
  if (s.empty()) return;
  if (f.xft) {
    if (!e.draw) e.draw = xft_.XftDrawCreate(dpy_, e.xid, visual_, colormap_);
    if (e.draw)
      xft_.XftDrawString8(e.draw, &xft_colour_[c], f.xft, x, baseline, reinterpret_cast<const unsigned char*>(s.data()),
                          static_cast<int>(s.size()));
  } else if (f.core) {
    x_.XSetFont(dpy_, gc_, f.core->fid);
    x_.XSetForeground(dpy_, gc_, pixel_[c]);
    x_.XDrawString(dpy_, e.xid, gc_, x, baseline, s.data(), static_cast<int>(s.size()));
  }
}

void Connection::Paint(Entry& e, const View& v) {
  switch (v.kind) {
    case Kind::kStatic: PaintStatic(e, v); break;
    case Kind::kButton: PaintButton(e, v); break;
    case Kind::kProgress: PaintProgress(e, v); break;
    default: break;  // the background is the server's
  }
}

void Connection::PaintStatic(Entry& e, const View& v) {
  Fill(e.xid, kFace, 0, 0, v.width, v.height);
  LoadedFont& f = FontFor(v.face, v.font_height);
  int baseline = f.metrics.ascent;
  for (const auto& line : WrapText(f.metrics, v.text, v.width)) {
    if (baseline - f.metrics.ascent >= v.height) break;
    Text(e, f, 0, baseline, line, v.enabled ? kText : kGrayText);
    baseline += f.metrics.LineHeight();
  }
}

void Connection::PaintButton(Entry& e, const View& v) {
  const int w = v.width, h = v.height;
  Fill(e.xid, kFace, 0, 0, w, h);
  int inset = 0;
  if (v.default_button && v.enabled) {
    Edge(e.xid, 0, 0, w, h, kBlack, kBlack);
    inset = 1;
  }
  const int iw = w - 2 * inset, ih = h - 2 * inset;
  if (e.pressed) {
    Edge(e.xid, inset, inset, iw, ih, kShadow, kShadow);
  } else {
    Edge(e.xid, inset, inset, iw, ih, kWhite, kDarkShadow);
    Edge(e.xid, inset + 1, inset + 1, iw - 2, ih - 2, kLight, kShadow);
  }
  LoadedFont& f = FontFor(v.face, v.font_height);
  const std::string label = LabelText(v.text);
  int x = (w - TextWidth(f.metrics, label)) / 2;
  int baseline = (h - f.metrics.LineHeight()) / 2 + f.metrics.ascent;
  if (e.pressed) {
    ++x;
    ++baseline;
  }
  if (v.enabled) {
    Text(e, f, x, baseline, label, kText);
  } else {  // etched
    Text(e, f, x + 1, baseline + 1, label, kWhite);
    Text(e, f, x, baseline, label, kShadow);
  }
}

void Connection::PaintProgress(Entry& e, const View& v) {
  const int w = v.width, h = v.height;
  Fill(e.xid, kFace, 0, 0, w, h);
  Edge(e.xid, 0, 0, w, h, kShadow, kWhite);
  const long long span = static_cast<long long>(v.range_max) - v.range_min;
  const int inner = w - 4;
  int filled = 0;
  if (span > 0 && inner > 0)
    filled = static_cast<int>(std::clamp((static_cast<long long>(v.pos) - v.range_min) * inner / span, 0LL,
                                         static_cast<long long>(inner)));
  Fill(e.xid, kHighlight, 2, 2, filled, h - 4);
}

void BlockSignals() {
  sigset_t set;
  ::sigfillset(&set);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) ::sigdelset(&set, s);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ThreadMain() {
  // Signals meant for the program go to its own threads; a write to a
  // closed connection raises none here. Faults are recorded as on the
  // library's other threads.
  BlockSignals();
  PrepareThreadForFaults();
  Backend& b = B();
  std::string name;
  {
    MutexLock guard(b.lock);
    name = b.display_name;
  }
  auto* c = new Connection;  // a lost connection is left as it is: its library state is broken
  bool lost = false;
  try {
    if (c->Open(name)) {
      {
        MutexLock guard(b.lock);
        b.phase = Phase::kActive;
        b.screen_width = c->Width();
        b.screen_height = c->Height();
        b.default_metrics = c->DefaultMetrics();
        b.changed.notify_all();
      }
      c->Loop();
    }
  } catch (const ConnectionLost&) {
    lost = true;
  }
  std::vector<HWND> tops;
  {
    MutexLock guard(b.lock);
    for (auto& [h, v] : b.views)
      if (v.parent == 0) tops.push_back(h);
    b.phase = Phase::kOff;
    b.wanted = false;
    b.views.clear();
    b.shown_xids.clear();
    b.changed.notify_all();
  }
  if (!lost) {
    c->Close();
    delete c;
  } else {
    static auto* kept = new std::vector<Connection*>;  // still reachable: nothing of it may be freed
    kept->push_back(c);
  }
  // Modal loops waiting on a window learn that it is gone.
  for (HWND h : tops) PostMessageA(h, WM_NULL, 0, 0);
  ReleaseThreadFaultStack();
}

}  // namespace

// ---- interface ---------------------------------------------------------------------

bool Wanted() { return B().wanted.load(std::memory_order_acquire); }

bool WaitActive() {
  if (!Wanted()) return false;
  Backend& b = B();
  UniqueMutexLock guard(b.lock);
  StartLocked(b);
  while (b.phase == Phase::kStarting)
    if (b.changed.wait_until(guard.Native(), b.connect_deadline) == std::cv_status::timeout) break;
  return b.phase == Phase::kActive;
}

bool Active() {
  if (!Wanted()) return false;
  Backend& b = B();
  MutexLock guard(b.lock);
  return b.phase == Phase::kActive;
}

int ScreenWidth() {
  Backend& b = B();
  MutexLock guard(b.lock);
  return b.screen_width;
}

int ScreenHeight() {
  Backend& b = B();
  MutexLock guard(b.lock);
  return b.screen_height;
}

FontMetrics DefaultFontMetrics() {
  Backend& b = B();
  MutexLock guard(b.lock);
  return b.default_metrics;
}

int TextWidth(const FontMetrics& metrics, std::string_view text) {
  int width = 0;
  for (unsigned char c : text) width += metrics.advance[c];
  return width;
}

std::vector<std::string> WrapText(const FontMetrics& metrics, std::string_view text, int width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view paragraph = text.substr(start, end - start);
    if (!paragraph.empty() && paragraph.back() == '\r') paragraph.remove_suffix(1);
    std::string line;
    std::size_t p = 0;
    do {
      std::size_t word_end = paragraph.find(' ', p);
      if (word_end == std::string_view::npos) word_end = paragraph.size();
      std::string_view word = paragraph.substr(p, word_end - p);
      std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
      if (!line.empty() && TextWidth(metrics, candidate) > width) {
        lines.push_back(line);
        line = std::string(word);
      } else {
        line = candidate;
      }
      // A word wider than the line breaks where it must.
      while (line.size() > 1 && TextWidth(metrics, line) > width) {
        std::size_t fit = 1;
        while (fit < line.size() && TextWidth(metrics, std::string_view(line).substr(0, fit + 1)) <= width) ++fit;
        lines.push_back(line.substr(0, fit));
        line.erase(0, fit);
      }
      p = word_end + 1;
    } while (p <= paragraph.size());
    lines.push_back(line);
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

std::string LabelText(std::string_view text) {
  std::string label;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        label += '&';
        ++i;
      }
      continue;
    }
    label += text[i];
  }
  return label;
}

void Update(const View& view) {
  if (!Wanted()) return;
  Backend& b = B();
  MutexLock guard(b.lock);
  if (b.phase == Phase::kOff) return;
  auto it = b.views.find(view.hwnd);
  if (it != b.views.end() && it->second == view) return;
  b.views[view.hwnd] = view;
  ++b.change_seq;
  if (b.phase == Phase::kIdle && view.parent == 0 && view.visible) StartLocked(b);
  Wake(b);
}

void Remove(HWND hwnd) {
  if (!Wanted()) return;
  Backend& b = B();
  MutexLock guard(b.lock);
  if (b.views.erase(hwnd) == 0) return;
  ++b.change_seq;
  Wake(b);
}

void Flush() {
  if (!Wanted()) return;
  Backend& b = B();
  UniqueMutexLock guard(b.lock);
  const std::uint64_t target = b.change_seq;
  const auto deadline = std::chrono::steady_clock::now() + b.Limit(kDefaultFlushLimit);
  while (b.phase == Phase::kActive && b.applied_seq < target)
    if (b.changed.wait_until(guard.Native(), deadline) == std::cv_status::timeout) break;
}

void UseDisplayForTest(const std::string& name) {
  Backend& b = B();
  std::thread old;
  {
    MutexLock guard(b.lock);
    b.quit = true;
    old.swap(b.thread);
    Wake(b);
  }
  if (old.joinable()) old.join();
  MutexLock guard(b.lock);
  if (b.wake_fd >= 0) ::close(b.wake_fd);
  b.wake_fd = -1;
  b.phase = Phase::kIdle;
  b.quit = false;
  b.views.clear();
  b.shown_xids.clear();
  b.change_seq = b.applied_seq = 0;
  b.display_name = name;
  b.wanted = !name.empty();
}

void SetWaitLimitForTest(std::chrono::milliseconds limit) {
  Backend& b = B();
  MutexLock guard(b.lock);
  b.limit_for_test = std::clamp(limit, std::chrono::milliseconds(0), kLongestWaitLimit);
}

unsigned long XWindowOfForTest(HWND hwnd) {
  Backend& b = B();
  MutexLock guard(b.lock);
  auto it = b.shown_xids.find(hwnd);
  return it == b.shown_xids.end() ? 0 : it->second;
}

}  // namespace vt::os::display
