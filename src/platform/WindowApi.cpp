// One state under one lock (State, S()); its divisions in file order:
//
//   state         windows, classes, queues, timers and fonts; lookups,
//                 terminal drawing, sent-message delivery, destruction
//   controls      the procedures of static text, button and progress bar
//   classes       registration and look-up of window classes
//   windows       creation (the failure hook), destruction, DefWindowProc
//   queues        posting (the quota), sending, getting, peeking, dispatch
//   timers        SetTimer, KillTimer
//   window state  text, long values, relatives, rectangles, visibility,
//                 enabling, foreground, screen metrics
//   fonts, cursors, message boxes; then inspection and the test hooks
#include "platform/WindowApi.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "platform/FaultExit.h"
#include "platform/TestHooks.h"
#include "platform/ThreadApi.h"
#include "platform/ThreadSafety.h"
#include "platform/X11Display.h"

namespace vt::os {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrameWidth = 3;     // border of a captioned window, each side
constexpr int kCaptionHeight = 23;  // title bar
constexpr std::size_t kMessageBoxRecordLimit = 64;

struct SentMessage {
  HWND hwnd = 0;
  UINT msg = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  LRESULT result = 0;
  bool done = false;
};

struct Timer {
  HWND hwnd = 0;
  std::uintptr_t id = 0;
  UINT interval = 0;
  Clock::time_point due;
};

struct Queue {
  DWORD thread_id = 0;
  bool alive = true;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::vector<Timer> timers;
  bool quit = false;
  int quit_code = 0;
};

struct Window {
  HWND handle = 0;
  std::string class_name;
  WNDPROC proc = nullptr;
  HCURSOR class_cursor = 0;
  std::string title;
  DWORD style = 0;
  DWORD ex_style = 0;
  int x = 0, y = 0, width = 0, height = 0;
  HWND parent = 0;  // child windows
  HWND owner = 0;   // top-level windows
  DWORD thread_id = 0;
  HFONT font = 0;
  std::uintptr_t id = 0;                        // a child's control id
  int range_min = 0, range_max = 100, pos = 0;  // progress bar
  int box_result = 0;                           // message box: the button that ended it
  bool destroying = false;
  bool shown = false;  // drawn on the terminal
};

struct ClassRecord {
  WNDCLASSA wc;
  std::string name;
};

struct FontRecord {
  std::string face;
  int height = 0;
  int weight = 0;
};

LRESULT StaticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT ProgressProc(HWND, UINT, WPARAM, LPARAM);
LRESULT MessageBoxProc(HWND, UINT, WPARAM, LPARAM);

constexpr const char* kMessageBoxClass = "#32770";

// All window-manager state, guarded by one lock; one condition serves every
// wait (queues, sent-message replies). Never freed: threads may outlive
// static destruction.
struct State {
  Mutex lock;
  std::condition_variable changed;
  std::map<HWND, std::unique_ptr<Window>> windows GUARDED_BY(lock);
  std::map<DWORD, std::shared_ptr<Queue>> queues GUARDED_BY(lock);
  std::vector<ClassRecord> classes GUARDED_BY(lock);
  std::map<HFONT, FontRecord> fonts GUARDED_BY(lock);
  std::uintptr_t next_handle GUARDED_BY(lock) = 0x10010;
  int posted_quota GUARDED_BY(lock) = kDefaultPostedMessageQuota;
  int failing_creations GUARDED_BY(lock) = 0;
  int stale_font_uses GUARDED_BY(lock) = 0;
  int screen_width GUARDED_BY(lock) = 1024;
  int screen_height GUARDED_BY(lock) = 768;
  HWND foreground GUARDED_BY(lock) = 0;
  std::vector<ShownMessageBox> message_boxes GUARDED_BY(lock);

  State() {
    for (auto [name, proc] : {std::pair<const char*, WNDPROC>{"STATIC", StaticProc},
                              {"BUTTON", ButtonProc},
                              {"msctls_progress32", ProgressProc},
                              {kMessageBoxClass, MessageBoxProc}}) {
      ClassRecord rec;
      rec.name = name;
      rec.wc.lpfnWndProc = proc;
      rec.wc.hCursor = IDC_ARROW;
      classes.push_back(rec);
    }
  }
};

State& S() {
  static State* state = new State;
  return *state;
}

bool SameName(const std::string& a, const char* b) {
  if (!b || a.size() != std::strlen(b)) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

ClassRecord* FindClass(State& s, const char* name) REQUIRES(s.lock) {
  for (auto& c : s.classes)
    if (SameName(c.name, name)) return &c;
  return nullptr;
}

Window* FindWindowLocked(State& s, HWND hwnd) REQUIRES(s.lock) {
  auto it = s.windows.find(hwnd);
  return it == s.windows.end() ? nullptr : it->second.get();
}

void CleanupThread(DWORD thread_id);

// Ends a thread's windows and queue when the thread exits.
struct ThreadQueueGuard {
  bool active = false;
  ~ThreadQueueGuard() {
    if (active) CleanupThread(GetCurrentThreadId());
  }
};
thread_local ThreadQueueGuard t_queue_guard;
thread_local HCURSOR t_cursor = 0;

std::shared_ptr<Queue> QueueOfLocked(State& s, DWORD thread_id) REQUIRES(s.lock) {
  auto it = s.queues.find(thread_id);
  return it == s.queues.end() ? nullptr : it->second;
}

std::shared_ptr<Queue> EnsureQueueLocked(State& s) REQUIRES(s.lock) {
  DWORD tid = GetCurrentThreadId();
  auto q = QueueOfLocked(s, tid);
  if (!q) {
    q = std::make_shared<Queue>();
    q->thread_id = tid;
    s.queues[tid] = q;
    t_queue_guard.active = true;
  }
  return q;
}

bool TerminalAttached() {
  static const bool attached = ::isatty(2) == 1;
  return attached;
}

HWND TopLevelLocked(State& s, HWND hwnd) REQUIRES(s.lock) {
  Window* w = FindWindowLocked(s, hwnd);
  while (w && (w->style & WS_CHILD) && w->parent) {
    Window* p = FindWindowLocked(s, w->parent);
    if (!p) break;
    w = p;
  }
  return w ? w->handle : 0;
}

// What the display shows of a window.
display::View ViewLocked(State& s, const Window& w) REQUIRES(s.lock) {
  display::View v;
  const bool child = (w.style & WS_CHILD) && w.parent;
  v.hwnd = w.handle;
  v.parent = child ? w.parent : 0;
  v.kind = !child                                         ? display::Kind::kFrame
           : SameName(w.class_name, "STATIC")             ? display::Kind::kStatic
           : SameName(w.class_name, "BUTTON")             ? display::Kind::kButton
           : SameName(w.class_name, "msctls_progress32")  ? display::Kind::kProgress
                                                          : display::Kind::kOther;
  v.text = w.title;
  v.x = w.x;
  v.y = w.y;
  v.width = w.width;
  v.height = w.height;
  v.id = w.id;
  v.visible = (w.style & WS_VISIBLE) != 0;
  v.enabled = !(w.style & WS_DISABLED);
  if (!child) {
    // An owned window of a top-most owner stays on top with it.
    const Window* owner = FindWindowLocked(s, w.owner);
    v.topmost = (w.ex_style & WS_EX_TOPMOST) || (owner && (owner->ex_style & WS_EX_TOPMOST));
    v.closable = (w.style & WS_SYSMENU) != 0;
  }
  v.default_button = v.kind == display::Kind::kButton && (w.style & 0xF) == BS_DEFPUSHBUTTON;
  v.range_min = w.range_min;
  v.range_max = w.range_max;
  v.pos = w.pos;
  if (auto it = s.fonts.find(w.font); w.font && it != s.fonts.end()) {
    v.face = it->second.face;
    v.font_height = it->second.height;
  }
  return v;
}

// Hands the display the window's present state.
void MirrorLocked(State& s, HWND hwnd) REQUIRES(s.lock) {
  if (!display::Wanted()) return;
  if (Window* w = FindWindowLocked(s, hwnd)) display::Update(ViewLocked(s, *w));
}

// One terminal line per visible captioned window: its title, the texts of
// its visible static controls and its progress bars. Message boxes are
// written by MessageBoxA.
void DrawLocked(State& s, HWND hwnd) REQUIRES(s.lock) {
  Window* w = FindWindowLocked(s, hwnd);
  if (w && w->font && !s.fonts.count(w->font)) ++s.stale_font_uses;
  MirrorLocked(s, hwnd);
  if (!TerminalAttached()) return;
  Window* top = FindWindowLocked(s, TopLevelLocked(s, hwnd));
  if (!top || !(top->style & WS_VISIBLE) || (top->style & WS_CAPTION) != WS_CAPTION) return;
  if (SameName(top->class_name, kMessageBoxClass)) return;
  std::string line = top->title;
  for (auto& [h, child] : s.windows) {
    if (child->parent != top->handle || !(child->style & WS_CHILD) || !(child->style & WS_VISIBLE)) continue;
    if (SameName(child->class_name, "STATIC")) {
      line += "  " + child->title;
    } else if (SameName(child->class_name, "msctls_progress32")) {
      int span = std::max(1, child->range_max - child->range_min);
      int filled = std::clamp((child->pos - child->range_min) * 20 / span, 0, 20);
      line += "  [" + std::string(filled, '#') + std::string(20 - filled, '.') + "] " +
              std::to_string(child->pos) + "/" + std::to_string(child->range_max);
    }
  }
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  top->shown = true;
}

std::optional<WNDPROC> ProcOf(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) return std::nullopt;
  return w->proc;
}

LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto proc = ProcOf(hwnd);
  if (!proc || !*proc) return 0;
  return (*proc)(hwnd, msg, wparam, lparam);
}

// Delivers the messages other threads sent to this queue. Called with the
// lock held; releases it around each window procedure (through the caller's
// guard, which the analysis cannot follow).
void DeliverSentLocked(State& s, UniqueMutexLock& lock, const std::shared_ptr<Queue>& q)
    REQUIRES(s.lock) NO_THREAD_SAFETY_ANALYSIS {
  while (!q->sent.empty()) {
    auto m = q->sent.front();
    q->sent.pop_front();
    lock.unlock();
    LRESULT r = 0;
    try {
      r = CallProc(m->hwnd, m->msg, m->wparam, m->lparam);
    } catch (...) {
      lock.lock();
      m->done = true;
      s.changed.notify_all();
      throw;
    }
    lock.lock();
    m->result = r;
    m->done = true;
    s.changed.notify_all();
  }
}

bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd && m.hwnd != hwnd) return false;
  if ((lo || hi) && (m.message < lo || m.message > hi)) return false;
  return true;
}

DWORD NowMs() {
  return static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// One attempt to take a message: posted messages, then quit, then due timers.
// Answers 1 for a message, 0 for WM_QUIT, -1 for none (Next: next timer).
int TakeLocked(State& s, Queue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove,
               std::optional<Clock::time_point>* next) REQUIRES(s.lock) {
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!Matches(*it, hwnd, lo, hi)) continue;
    MSG m = *it;
    if (remove) q.posted.erase(it);
    if (out) *out = m;
    return m.message == WM_QUIT ? 0 : 1;
  }
  if (q.quit) {
    MSG m;
    m.message = WM_QUIT;
    m.wParam = static_cast<WPARAM>(q.quit_code);
    m.time = NowMs();
    if (remove) q.quit = false;
    if (out) *out = m;
    return 0;
  }
  auto now = Clock::now();
  for (auto& t : q.timers) {
    MSG m;
    m.hwnd = t.hwnd;
    m.message = WM_TIMER;
    m.wParam = t.id;
    if (!Matches(m, hwnd, lo, hi)) continue;
    if (t.due <= now) {
      m.time = NowMs();
      if (remove) t.due = now + std::chrono::milliseconds(t.interval);
      if (out) *out = m;
      return 1;
    }
    if (next && (!*next || t.due < **next)) *next = t.due;
  }
  return -1;
}

void DestroyLocked(State& s, UniqueMutexLock& lock, HWND hwnd) REQUIRES(s.lock);

void RemoveWindowLocked(State& s, HWND hwnd) REQUIRES(s.lock) {
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) return;
  if (w->font && !s.fonts.count(w->font)) ++s.stale_font_uses;
  if (w->shown && TerminalAttached()) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  if (auto q = QueueOfLocked(s, w->thread_id)) {
    std::erase_if(q->timers, [hwnd](const Timer& t) { return t.hwnd == hwnd; });
    std::erase_if(q->posted, [hwnd](const MSG& m) { return m.hwnd == hwnd; });
  }
  if (s.foreground == hwnd) s.foreground = 0;
  s.windows.erase(hwnd);
  display::Remove(hwnd);
}

// Owned windows first; then WM_DESTROY to the window and to its children,
// parents before children; then the records go. Releases the lock around
// each WM_DESTROY through the caller's guard, which the analysis cannot follow.
void DestroyLocked(State& s, UniqueMutexLock& lock, HWND hwnd) REQUIRES(s.lock) NO_THREAD_SAFETY_ANALYSIS {
  Window* w = FindWindowLocked(s, hwnd);
  if (!w || w->destroying) return;
  w->destroying = true;
  std::vector<HWND> owned;
  for (auto& [h, o] : s.windows)
    if (o->owner == hwnd && !(o->style & WS_CHILD)) owned.push_back(h);
  for (HWND h : owned) DestroyLocked(s, lock, h);

  std::vector<HWND> order{hwnd};
  for (std::size_t i = 0; i < order.size(); ++i)
    for (auto& [h, c] : s.windows)
      if ((c->style & WS_CHILD) && c->parent == order[i]) order.push_back(h);
  for (HWND h : order) {
    if (Window* c = FindWindowLocked(s, h)) c->destroying = true;
    lock.unlock();
    CallProc(h, WM_DESTROY, 0, 0);
    lock.lock();
  }
  for (auto it = order.rbegin(); it != order.rend(); ++it) RemoveWindowLocked(s, *it);
  s.changed.notify_all();
}

void CleanupThread(DWORD thread_id) {
  State& s = S();
  MutexLock lock(s.lock);
  auto q = QueueOfLocked(s, thread_id);
  if (!q) return;
  // One window at a time, with no list: this runs as the thread ends,
  // where an allocation that fails would end the process.
  for (;;) {
    HWND mine = 0;
    for (auto& [h, w] : s.windows)
      if (w->thread_id == thread_id) {
        mine = h;
        break;
      }
    if (!mine) break;
    RemoveWindowLocked(s, mine);
  }
  q->alive = false;
  for (auto& m : q->sent) m->done = true;
  q->sent.clear();
  q->posted.clear();
  q->timers.clear();
  s.queues.erase(thread_id);
  s.changed.notify_all();
}

LRESULT ControlProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  State& s = S();
  switch (msg) {
    case WM_SETFONT: {
      MutexLock lock(s.lock);
      if (Window* w = FindWindowLocked(s, hwnd)) {
        w->font = static_cast<HFONT>(wparam);
        if (lparam) DrawLocked(s, hwnd);
      }
      return 0;
    }
    case WM_GETFONT: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      return w ? static_cast<LRESULT>(w->font) : 0;
    }
    default:
      return DefWindowProcA(hwnd, msg, wparam, lparam);
  }
}

LRESULT StaticProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return ControlProc(hwnd, msg, wparam, lparam);
}

LRESULT ButtonProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return ControlProc(hwnd, msg, wparam, lparam);
}

LRESULT ProgressProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  State& s = S();
  switch (msg) {
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      if (!w) return 0;
      LRESULT previous = static_cast<LRESULT>(MakeWParam(static_cast<unsigned>(w->range_min),
                                                         static_cast<unsigned>(w->range_max)));
      if (msg == PBM_SETRANGE) {
        w->range_min = static_cast<int>(lparam & 0xFFFF);
        w->range_max = static_cast<int>((lparam >> 16) & 0xFFFF);
      } else {
        w->range_min = static_cast<int>(wparam);
        w->range_max = static_cast<int>(lparam);
      }
      w->pos = std::clamp(w->pos, std::min(w->range_min, w->range_max), std::max(w->range_min, w->range_max));
      DrawLocked(s, hwnd);
      return previous;
    }
    case PBM_SETPOS: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      if (!w) return 0;
      int previous = w->pos;
      w->pos = std::clamp(static_cast<int>(wparam), std::min(w->range_min, w->range_max),
                          std::max(w->range_min, w->range_max));
      DrawLocked(s, hwnd);
      return previous;
    }
    case PBM_GETPOS: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      return w ? w->pos : 0;
    }
    case PBM_GETRANGE: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      if (!w) return 0;
      if (lparam) {
        auto* range = reinterpret_cast<int*>(lparam);  // {low, high}
        range[0] = w->range_min;
        range[1] = w->range_max;
      }
      return wparam ? w->range_min : w->range_max;
    }
    default:
      return ControlProc(hwnd, msg, wparam, lparam);
  }
}

}  // namespace

// ---- classes ----

bool RegisterClassA(const WNDCLASSA& wc) {
  State& s = S();
  MutexLock lock(s.lock);
  if (!wc.lpszClassName || !*wc.lpszClassName || !wc.lpfnWndProc) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (FindClass(s, wc.lpszClassName)) {
    SetLastError(kErrorClassAlreadyExists);
    return false;
  }
  ClassRecord rec;
  rec.wc = wc;
  rec.name = wc.lpszClassName;
  rec.wc.lpszClassName = nullptr;
  rec.wc.lpszMenuName = nullptr;
  s.classes.push_back(rec);
  return true;
}

bool UnregisterClassA(const char* class_name, HINSTANCE) {
  State& s = S();
  MutexLock lock(s.lock);
  auto it = std::find_if(s.classes.begin(), s.classes.end(),
                         [&](const ClassRecord& c) { return SameName(c.name, class_name); });
  if (it == s.classes.end()) {
    SetLastError(kErrorClassDoesNotExist);
    return false;
  }
  for (auto& [h, w] : s.windows)
    if (SameName(w->class_name, class_name)) {
      SetLastError(kErrorClassHasWindows);
      return false;
    }
  s.classes.erase(it);
  return true;
}

bool GetClassInfoA(HINSTANCE, const char* class_name, WNDCLASSA* wc) {
  State& s = S();
  MutexLock lock(s.lock);
  ClassRecord* c = FindClass(s, class_name);
  if (!c) {
    SetLastError(kErrorClassDoesNotExist);
    return false;
  }
  if (wc) {
    *wc = c->wc;
    wc->lpszClassName = class_name;
  }
  return true;
}

// ---- windows ----

HWND CreateWindowExA(DWORD ex_style, const char* class_name, const char* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, std::uintptr_t menu, HINSTANCE, void* param) {
  State& s = S();
  HWND handle = 0;
  {
    MutexLock lock(s.lock);
    ClassRecord* c = FindClass(s, class_name);
    if (!c) {
      SetLastError(kErrorCannotFindWndClass);
      return 0;
    }
    if (parent && !FindWindowLocked(s, parent)) {
      SetLastError(kErrorInvalidWindowHandle);
      return 0;
    }
    if ((style & WS_CHILD) && !parent) {
      SetLastError(kErrorTlwWithWschild);
      return 0;
    }
    if (s.failing_creations > 0) {
      --s.failing_creations;
      SetLastError(kErrorNotEnoughQuota);
      return 0;
    }
    EnsureQueueLocked(s);
    auto w = std::make_unique<Window>();
    handle = s.next_handle;
    s.next_handle += 2;
    w->handle = handle;
    w->class_name = c->name;
    w->proc = c->wc.lpfnWndProc;
    w->class_cursor = c->wc.hCursor;
    w->title = title ? title : "";
    w->style = style;
    w->ex_style = ex_style;
    w->x = x;
    w->y = y;
    w->width = width;
    w->height = height;
    if (style & WS_CHILD) {
      w->parent = parent;
      w->id = menu;
    } else {
      w->owner = parent;
    }
    w->thread_id = GetCurrentThreadId();
    s.windows[handle] = std::move(w);
  }
  if (CallProc(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(param)) == -1) {
    State& st = S();
    UniqueMutexLock lock(st.lock);
    DestroyLocked(st, lock, handle);
    return 0;
  }
  {
    MutexLock lock(s.lock);
    DrawLocked(s, handle);
  }
  return handle;
}

bool DestroyWindow(HWND hwnd) {
  State& s = S();
  UniqueMutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  if (w->thread_id != GetCurrentThreadId()) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  DestroyLocked(s, lock, hwnd);
  lock.unlock();
  display::Flush();  // gone from the screen too when this returns
  return true;
}

bool IsWindow(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  return FindWindowLocked(s, hwnd) != nullptr;
}

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  State& s = S();
  switch (msg) {
    case WM_SETTEXT: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      if (!w) return 0;
      const char* text = reinterpret_cast<const char*>(lparam);
      w->title = text ? text : "";
      DrawLocked(s, hwnd);
      return 1;
    }
    case WM_GETTEXT: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      if (!w || wparam == 0 || !lparam) return 0;
      std::size_t n = std::min<std::size_t>(w->title.size(), wparam - 1);
      std::memcpy(reinterpret_cast<char*>(lparam), w->title.data(), n);
      reinterpret_cast<char*>(lparam)[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      return w ? static_cast<LRESULT>(w->title.size()) : 0;
    }
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_SETCURSOR: {
      HCURSOR cursor = 0;
      {
        MutexLock lock(s.lock);
        Window* w = FindWindowLocked(s, hwnd);
        if (w) cursor = w->class_cursor;
      }
      if (cursor) SetCursor(cursor);
      return 0;
    }
    default:
      return 0;
  }
}

// ---- queues ----

// Adds a posted message to q. Without memory for it a WM_QUIT becomes the
// queue's quit request, which needs none; other messages fail with 8.
bool PushPostedLocked(State& s, Queue& q, const MSG& m) REQUIRES(s.lock) {
  try {
    q.posted.push_back(m);
  } catch (const std::bad_alloc&) {
    if (m.message != WM_QUIT) {
      SetLastError(kErrorNotEnoughMemory);
      return false;
    }
    q.quit = true;
    q.quit_code = static_cast<int>(m.wParam);
  }
  s.changed.notify_all();
  return true;
}

bool PostMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  State& s = S();
  MutexLock lock(s.lock);
  std::shared_ptr<Queue> q;
  if (hwnd == 0) {
    q = EnsureQueueLocked(s);
  } else {
    Window* w = FindWindowLocked(s, hwnd);
    if (!w || w->destroying) {
      SetLastError(kErrorInvalidWindowHandle);
      return false;
    }
    q = QueueOfLocked(s, w->thread_id);
  }
  if (!q || !q->alive) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  if (static_cast<int>(q->posted.size()) >= s.posted_quota) {
    SetLastError(kErrorNotEnoughQuota);
    return false;
  }
  return PushPostedLocked(s, *q, MSG{hwnd, msg, wparam, lparam, NowMs()});
}

bool PostThreadMessageA(DWORD thread_id, UINT msg, WPARAM wparam, LPARAM lparam) {
  State& s = S();
  MutexLock lock(s.lock);
  auto q = QueueOfLocked(s, thread_id);
  if (!q || !q->alive) {
    SetLastError(kErrorInvalidThreadId);
    return false;
  }
  if (static_cast<int>(q->posted.size()) >= s.posted_quota) {
    SetLastError(kErrorNotEnoughQuota);
    return false;
  }
  return PushPostedLocked(s, *q, MSG{0, msg, wparam, lparam, NowMs()});
}

void PostQuitMessage(int exit_code) {
  State& s = S();
  MutexLock lock(s.lock);
  auto q = EnsureQueueLocked(s);
  q->quit = true;
  q->quit_code = exit_code;
  s.changed.notify_all();
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  State& s = S();
  UniqueMutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  if (w->thread_id == GetCurrentThreadId()) {
    lock.unlock();
    return CallProc(hwnd, msg, wparam, lparam);
  }
  auto target = QueueOfLocked(s, w->thread_id);
  if (!target || !target->alive) return 0;
  auto m = std::make_shared<SentMessage>();
  *m = SentMessage{hwnd, msg, wparam, lparam, 0, false};
  target->sent.push_back(m);
  s.changed.notify_all();
  auto own = QueueOfLocked(s, GetCurrentThreadId());
  while (!m->done) {
    if (own && !own->sent.empty()) {
      DeliverSentLocked(s, lock, own);
      continue;
    }
    s.changed.wait(lock.Native());
  }
  return m->result;
}

int GetMessageA(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max) {
  State& s = S();
  UniqueMutexLock lock(s.lock);
  auto q = EnsureQueueLocked(s);
  for (;;) {
    DeliverSentLocked(s, lock, q);
    std::optional<Clock::time_point> next;
    int r = TakeLocked(s, *q, msg, hwnd, filter_min, filter_max, true, &next);
    if (r >= 0) return r;
    if (next)
      s.changed.wait_until(lock.Native(), *next);
    else
      s.changed.wait(lock.Native());
  }
}

bool PeekMessageA(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove) {
  State& s = S();
  UniqueMutexLock lock(s.lock);
  auto q = EnsureQueueLocked(s);
  DeliverSentLocked(s, lock, q);
  return TakeLocked(s, *q, msg, hwnd, filter_min, filter_max, (remove & PM_REMOVE) != 0, nullptr) >= 0;
}

bool TranslateMessage(const MSG*) { return false; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  return CallProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// ---- timers ----

std::uintptr_t SetTimer(HWND hwnd, std::uintptr_t id, UINT elapse_ms) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  if (w->thread_id != GetCurrentThreadId()) {
    SetLastError(kErrorAccessDenied);
    return 0;
  }
  auto q = QueueOfLocked(s, w->thread_id);
  if (!q) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  elapse_ms = std::clamp<UINT>(elapse_ms, 10, 0x7FFFFFFF);
  Timer t{hwnd, id, elapse_ms, Clock::now() + std::chrono::milliseconds(elapse_ms)};
  auto it = std::find_if(q->timers.begin(), q->timers.end(),
                         [&](const Timer& x) { return x.hwnd == hwnd && x.id == id; });
  if (it != q->timers.end())
    *it = t;
  else
    q->timers.push_back(t);
  s.changed.notify_all();
  return id ? id : 1;
}

bool KillTimer(HWND hwnd, std::uintptr_t id) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  auto q = QueueOfLocked(s, w->thread_id);
  if (!q) return false;
  auto n = std::erase_if(q->timers, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  std::erase_if(q->posted, [&](const MSG& m) { return m.hwnd == hwnd && m.message == WM_TIMER && m.wParam == id; });
  if (n == 0) SetLastError(kErrorInvalidParameter);
  return n > 0;
}

// ---- window state ----

bool SetWindowTextA(HWND hwnd, const std::string& text) {
  if (!IsWindow(hwnd)) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) != 0;
}

std::string GetWindowTextA(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  return w ? w->title : std::string();
}

std::string GetClassNameA(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  return w ? w->class_name : std::string();
}

std::intptr_t GetWindowLongA(HWND hwnd, int index) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  if (index == GWL_STYLE) return static_cast<std::intptr_t>(w->style);
  if (index == GWL_EXSTYLE) return static_cast<std::intptr_t>(w->ex_style);
  if (index == GWLP_WNDPROC) return reinterpret_cast<std::intptr_t>(w->proc);
  SetLastError(kErrorInvalidParameter);
  return 0;
}

std::intptr_t SetWindowLongPtrA(HWND hwnd, int index, std::intptr_t value) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  if (index != GWLP_WNDPROC || !value) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  auto previous = reinterpret_cast<std::intptr_t>(w->proc);
  w->proc = reinterpret_cast<WNDPROC>(value);
  return previous;
}

HWND GetParent(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) return 0;
  return (w->style & WS_CHILD) ? w->parent : w->owner;
}

HWND GetWindow(HWND hwnd, UINT cmd) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w || cmd != GW_OWNER) return 0;
  return w->owner;
}

bool GetWindowRect(HWND hwnd, RECT* rect) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w || !rect) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  *rect = RECT{w->x, w->y, w->x + w->width, w->y + w->height};
  return true;
}

bool GetClientRect(HWND hwnd, RECT* rect) {
  // On a display the window manager's frame stands for a captioned
  // top-level window's border and caption: the whole window is client area.
  State& s = S();
  bool framed_by_display = false;
  if (display::Wanted()) {
    bool captioned_top = false;
    {
      MutexLock lock(s.lock);
      Window* w = FindWindowLocked(s, hwnd);
      captioned_top = w && (w->style & WS_CAPTION) == WS_CAPTION && !(w->style & WS_CHILD);
    }
    framed_by_display = captioned_top && display::WaitActive();
  }
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w || !rect) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  int cw = w->width, ch = w->height;
  if ((w->style & WS_CAPTION) == WS_CAPTION && !(framed_by_display && !(w->style & WS_CHILD))) {
    cw -= 2 * kFrameWidth;
    ch -= 2 * kFrameWidth + kCaptionHeight;
  }
  *rect = RECT{0, 0, std::max(0, cw), std::max(0, ch)};
  return true;
}

bool SetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int cx, int cy, UINT flags) {
  if (!IsWindow(hwnd)) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  WINDOWPOS wp{hwnd, insert_after, x, y, cx, cy, flags};
  SendMessageA(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&wp));
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (!w) return false;
  if (!(wp.flags & SWP_NOMOVE)) {
    w->x = wp.x;
    w->y = wp.y;
  }
  if (!(wp.flags & SWP_NOSIZE)) {
    w->width = wp.cx;
    w->height = wp.cy;
  }
  MirrorLocked(s, hwnd);
  return true;
}

bool IsWindowVisible(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  for (Window* w = FindWindowLocked(s, hwnd); w; w = FindWindowLocked(s, w->parent)) {
    if (!(w->style & WS_VISIBLE)) return false;
    if (!(w->style & WS_CHILD)) return true;
  }
  return false;
}

bool IsWindowEnabled(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  return w && !(w->style & WS_DISABLED);
}

bool EnableWindow(HWND hwnd, bool enable) {
  bool was_disabled = false;
  bool changed = false;
  {
    State& s = S();
    MutexLock lock(s.lock);
    Window* w = FindWindowLocked(s, hwnd);
    if (!w) {
      SetLastError(kErrorInvalidWindowHandle);
      return false;
    }
    was_disabled = (w->style & WS_DISABLED) != 0;
    changed = was_disabled == enable;
    if (enable)
      w->style &= ~static_cast<DWORD>(WS_DISABLED);
    else
      w->style |= WS_DISABLED;
    MirrorLocked(s, hwnd);
  }
  if (changed) SendMessageA(hwnd, WM_ENABLE, enable ? 1 : 0, 0);
  return was_disabled;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process_id) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, hwnd);
  if (process_id) *process_id = w ? static_cast<DWORD>(::getpid()) : 0;
  return w ? w->thread_id : 0;
}

std::vector<HWND> EnumThreadWindows(DWORD thread_id) {
  State& s = S();
  MutexLock lock(s.lock);
  std::vector<HWND> result;
  for (auto& [h, w] : s.windows)
    if (w->thread_id == thread_id && !(w->style & WS_CHILD) && !w->destroying) result.push_back(h);
  return result;
}

HWND GetLastActivePopup(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  if (!FindWindowLocked(s, hwnd)) return 0;
  HWND popup = hwnd;
  for (auto& [h, w] : s.windows)
    if (w->owner == hwnd && !(w->style & WS_CHILD) && (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED))
      popup = h;
  return popup;
}

bool SetForegroundWindow(HWND hwnd) {
  State& s = S();
  MutexLock lock(s.lock);
  if (!FindWindowLocked(s, hwnd)) return false;
  s.foreground = hwnd;
  return true;
}

HWND GetForegroundWindow() {
  State& s = S();
  MutexLock lock(s.lock);
  return s.foreground;
}

int GetSystemMetrics(int index) {
  if ((index == SM_CXFULLSCREEN || index == SM_CYFULLSCREEN) && display::WaitActive())
    return index == SM_CXFULLSCREEN ? display::ScreenWidth() : display::ScreenHeight();
  State& s = S();
  MutexLock lock(s.lock);
  if (index == SM_CXFULLSCREEN) return s.screen_width;
  if (index == SM_CYFULLSCREEN) return s.screen_height;
  return 0;
}

void InitCommonControls() {}

// ---- fonts, cursors, message boxes ----

HFONT CreateFontA(int height, int, int, int, int weight, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                  const char* face) {
  State& s = S();
  MutexLock lock(s.lock);
  HFONT h = s.next_handle;
  s.next_handle += 2;
  s.fonts[h] = FontRecord{face ? face : "", height, weight};
  return h;
}

bool DeleteFontObject(std::uintptr_t object) {
  State& s = S();
  MutexLock lock(s.lock);
  return s.fonts.erase(object) > 0;
}

bool IsFont(HFONT font) {
  State& s = S();
  MutexLock lock(s.lock);
  return s.fonts.count(font) > 0;
}

std::string GetFontFace(HFONT font) {
  State& s = S();
  MutexLock lock(s.lock);
  auto it = s.fonts.find(font);
  return it == s.fonts.end() ? std::string() : it->second.face;
}

HCURSOR LoadCursorA(HINSTANCE, std::uintptr_t id) { return id; }

HCURSOR SetCursor(HCURSOR cursor) {
  HCURSOR previous = t_cursor;
  t_cursor = cursor;
  return previous;
}

HCURSOR GetCursor() { return t_cursor; }

namespace {

constexpr int kBoxMargin = 12;
constexpr int kBoxButtonWidth = 75;
constexpr int kBoxButtonHeight = 23;
constexpr int kBoxMaxTextWidth = 480;

int BoxResult(HWND box) {
  State& s = S();
  MutexLock lock(s.lock);
  Window* w = FindWindowLocked(s, box);
  return w ? w->box_result : IDOK;
}

void EndBox(HWND box, int result) {
  State& s = S();
  MutexLock lock(s.lock);
  if (Window* w = FindWindowLocked(s, box)) w->box_result = result;
}

// Enter, Escape, the button and the close box end a box with one button.
LRESULT MessageBoxProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_COMMAND:
      if ((wparam & 0xFFFF) == static_cast<WPARAM>(IDOK)) EndBox(hwnd, IDOK);
      return 0;
    case WM_KEYDOWN:
      if (wparam == VK_RETURN || wparam == VK_ESCAPE) EndBox(hwnd, IDOK);
      return 0;
    case WM_CLOSE:
      EndBox(hwnd, IDOK);
      return 0;
    default:
      return DefWindowProcA(hwnd, msg, wparam, lparam);
  }
}

// A modal window on the display: the text wrapped, one OK button, centred
// on the screen. Runs the calling thread's messages until it ends.
int ShowMessageBoxWindow(const std::string& text, const std::string& caption) {
  const display::FontMetrics metrics = display::DefaultFontMetrics();
  const int screen_width = display::ScreenWidth(), screen_height = display::ScreenHeight();
  const int wrap = std::max(kBoxButtonWidth, std::min(kBoxMaxTextWidth, screen_width - 8 * kBoxMargin));
  const auto lines = display::WrapText(metrics, text, wrap);
  int text_width = 0;
  for (const auto& line : lines) text_width = std::max(text_width, display::TextWidth(metrics, line));
  const int text_height = static_cast<int>(lines.size()) * metrics.LineHeight();
  const int width = std::max({text_width + 2 * kBoxMargin, kBoxButtonWidth + 2 * kBoxMargin,
                              display::TextWidth(metrics, caption) + 6 * kBoxMargin});
  const int height = kBoxMargin + text_height + kBoxMargin + kBoxButtonHeight + kBoxMargin;
  HWND box = CreateWindowExA(0, kMessageBoxClass, caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                             (screen_width - width) / 2, (screen_height - height) / 2, width, height, 0, 0, 0,
                             nullptr);
  if (!box) return IDOK;
  HWND label = CreateWindowExA(0, "STATIC", text.c_str(), WS_CHILD | WS_VISIBLE, kBoxMargin, kBoxMargin,
                               std::max(1, text_width), std::max(1, text_height), box, 0, 0, nullptr);
  HWND button = CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                (width - kBoxButtonWidth) / 2, height - kBoxMargin - kBoxButtonHeight,
                                kBoxButtonWidth, kBoxButtonHeight, box, static_cast<std::uintptr_t>(IDOK), 0, nullptr);
  int result = (label && button) ? 0 : IDOK;
  while (result == 0) {
    MSG msg;
    if (GetMessageA(&msg, 0, 0, 0) == 0) {
      // A quit message ends the box and stays for the thread's own loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      result = IDOK;
      break;
    }
    DispatchMessageA(&msg);
    result = BoxResult(box);
    if (!display::Active()) result = IDOK;  // the display went away
  }
  DestroyWindow(box);
  return result;
}

}  // namespace

int MessageBoxA(HWND, const std::string& text, const std::string& caption, UINT type) {
  {
    State& s = S();
    MutexLock lock(s.lock);
    if (s.message_boxes.size() >= kMessageBoxRecordLimit) s.message_boxes.erase(s.message_boxes.begin());
    s.message_boxes.push_back(ShownMessageBox{text, caption, type});
    // A message box reaches the user whatever standard error is (a full
    // non-blocking pipe is waited for).
    const std::string shown = "\n[" + caption + "]\n" + text + "\n";
    std::fflush(stderr);
    WriteAllRaw(STDERR_FILENO, shown.data(), shown.size());
  }
  if (!display::WaitActive()) return IDOK;
  return ShowMessageBoxWindow(text, caption);
}

std::vector<ShownMessageBox> TakeShownMessageBoxes() {
  State& s = S();
  MutexLock lock(s.lock);
  std::vector<ShownMessageBox> result;
  result.swap(s.message_boxes);
  return result;
}

// ---- inspection and test hooks ----

int GetStaleFontUseCount() {
  State& s = S();
  MutexLock lock(s.lock);
  return s.stale_font_uses;
}

int PlatformTestHelper::GetPostedMessageQuota() {
  State& s = S();
  MutexLock lock(s.lock);
  return s.posted_quota;
}

void PlatformTestHelper::SetPostedMessageQuota(int quota) {
  State& s = S();
  MutexLock lock(s.lock);
  s.posted_quota = quota;
}

void PlatformTestHelper::FailNextWindowCreations(int count) {
  State& s = S();
  MutexLock lock(s.lock);
  s.failing_creations = count;
}

void PlatformTestHelper::SetScreenSize(int width, int height) {
  State& s = S();
  MutexLock lock(s.lock);
  s.screen_width = width;
  s.screen_height = height;
}

}  // namespace vt::os
