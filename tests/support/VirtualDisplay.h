// A virtual X display of a test's own (Xvfb on a free display number), and
// what the display's own tools tell about its windows: the tree with names
// and geometry (xwininfo), a window's pixels (xwd), keys and clicks
// (xdotool), and the close box (a client message of our own).
//
// A test on a display waits for what it needs, however long a busy machine
// makes it take, with one limit for all its waits together: the display's
// patience, counted from the display's making. It is far beyond what any
// load makes a step take and below the test runner's limit, so that what
// never comes fails the test instead of hanging it. Programs and the
// back-end under test get the patience that is left as their own limit.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/Patience.h"

namespace vt::test {

struct XWindowInfo {
  std::string id, name;
  int width = 0, height = 0, x = 0, y = 0;  // x, y: on the screen
};

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

struct Pixels {
  int width = 0, height = 0;
  std::vector<Rgb> data;
  Rgb At(int x, int y) const { return data[static_cast<size_t>(y * width + x)]; }
};

inline std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

class VirtualDisplay {
 public:
  static constexpr int kWidth = 1000, kHeight = 700;
  static constexpr std::chrono::seconds kPatience = test::kPatience;

  // Empty when Xvfb is missing (Why() tells).
  bool Start() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      why_ = "Xvfb is not installed (scripts/deps.sh installs it)";
      return false;
    }
    for (const char* tool : {"/usr/bin/xwininfo", "/usr/bin/xwd", "/usr/bin/xdotool"})
      if (::access(tool, X_OK) != 0) {
        why_ = std::string(tool) + " is not installed (scripts/deps.sh installs it)";
        return false;
      }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 3);
      int null = ::open("/dev/null", O_WRONLY);
      // Nothing of the test's output: a server left behind by a test that
      // died must not hold the runner's pipe open.
      ::dup2(null, 1);
      ::dup2(null, 2);
      const std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
      // No reset when the last client leaves: a client connecting then
      // would be turned away.
      ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp",
              "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    // The server writes its number once it takes connections.
    std::string number;
    char c = 0;
    for (pollfd p{fds[0], POLLIN, 0}; c != '\n' && ::poll(&p, 1, PollMilliseconds()) > 0;)
      if (::read(fds[0], &c, 1) != 1)
        break;
      else if (c != '\n')
        number += c;
    ::close(fds[0]);
    if (number.empty() || c != '\n') {
      why_ = "Xvfb did not start";
      Stop();
      return false;
    }
    name_ = ":" + number;
    return true;
  }

  void Stop() {
    if (pid_ > 0) {
      Signal(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  ~VirtualDisplay() { Stop(); }

  // A server that takes connections and answers nothing until resumed: a
  // server on a machine as busy as can be.
  void Pause() const {
    if (pid_ > 0) Signal(pid_, SIGSTOP);
  }
  void Resume() const {
    if (pid_ > 0) Signal(pid_, SIGCONT);
  }

  const std::string& Name() const { return name_; }
  const std::string& Why() const { return why_; }

  // The patience left, at least 1 ms; zero when it has run out.
  std::chrono::milliseconds Left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return left.count() > 0 ? std::max(left, std::chrono::milliseconds(1)) : std::chrono::milliseconds(0);
  }

  // Waits until f holds, or the patience has run out.
  bool WaitUntil(const std::function<bool()>& f) const {
    for (;;) {
      if (f()) return true;
      if (Left().count() == 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // A tool on this display; one that hangs is ended with the patience.
  std::string Tool(const std::string& args) const {
    const auto limit = std::max<long long>(10, std::chrono::ceil<std::chrono::seconds>(Left()).count());
    return Capture("DISPLAY=" + name_ + " timeout -s KILL " + std::to_string(limit) + " " + args + " 2>/dev/null");
  }

  // Every window below the root, each with its name and place.
  std::vector<XWindowInfo> Windows() const {
    static const std::regex line(
        R"re(^\s*(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \(.*\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))re");
    std::vector<XWindowInfo> result;
    const std::string tree = Tool("xwininfo -root -tree");
    size_t start = 0;
    while (start < tree.size()) {
      size_t end = tree.find('\n', start);
      if (end == std::string::npos) end = tree.size();
      std::smatch m;
      const std::string text = tree.substr(start, end - start);
      if (std::regex_search(text, m, line))
        result.push_back({m[1], m[2], std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6])});
      start = end + 1;
    }
    return result;
  }

  std::optional<XWindowInfo> Find(const std::string& name) const {
    for (const auto& w : Windows())
      if (w.name == name) return w;
    return std::nullopt;
  }

  // Whether the window and all above it are mapped: its input selected,
  // its properties set, ready for keys and clicks.
  bool Viewable(const std::string& id) const {
    return Tool("xwininfo -id " + id).find("Map State: IsViewable") != std::string::npos;
  }

  // Waits for a viewable window of the name; gives up early when give_up
  // holds (what was to show it has ended).
  std::optional<XWindowInfo> WaitFor(const std::string& name, const std::function<bool()>& give_up = {}) const {
    std::optional<XWindowInfo> found;
    WaitUntil([&] {
      found = Find(name);
      if (found && Viewable(found->id)) return true;
      found.reset();
      return give_up && give_up();
    });
    return found;
  }

  // What a window manager's close box does: a WM_PROTOCOLS client message
  // with WM_DELETE_WINDOW to the window's own client, sent through the X
  // client library (the installed xdotool has no close command).
  bool CloseBox(const std::string& id) const {
    struct ClientMessage {
      int type;
      unsigned long serial;
      int send_event;
      void* display;
      unsigned long window, message_type;
      int format;
      long data[5];
    };
    union Event {
      ClientMessage message;
      long pad[24];
    };
    void* lib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    auto open = reinterpret_cast<void* (*)(const char*)>(::dlsym(lib, "XOpenDisplay"));
    auto intern = reinterpret_cast<unsigned long (*)(void*, const char*, int)>(::dlsym(lib, "XInternAtom"));
    auto send = reinterpret_cast<int (*)(void*, unsigned long, int, long, Event*)>(::dlsym(lib, "XSendEvent"));
    auto sync = reinterpret_cast<int (*)(void*, int)>(::dlsym(lib, "XSync"));
    auto close = reinterpret_cast<int (*)(void*)>(::dlsym(lib, "XCloseDisplay"));
    bool sent = false;
    if (void* dpy = open && intern && send && sync && close ? open(name_.c_str()) : nullptr) {
      Event e{};
      e.message.type = 33;  // ClientMessage
      e.message.window = std::stoul(id, nullptr, 16);
      e.message.message_type = intern(dpy, "WM_PROTOCOLS", 0);
      e.message.format = 32;
      e.message.data[0] = static_cast<long>(intern(dpy, "WM_DELETE_WINDOW", 0));
      sent = send(dpy, e.message.window, 0, 0, &e) != 0;
      sync(dpy, 0);
      close(dpy);
    }
    ::dlclose(lib);
    return sent;
  }

  // A window's pixels as the screen shows them (xwd, 24-bit TrueColor).
  Pixels Grab(const std::string& id) const {
    const std::string d = Tool("xwd -silent -id " + id);
    Pixels p;
    auto be = [&](size_t at) {
      return (std::uint32_t{static_cast<unsigned char>(d[at])} << 24) |
             (std::uint32_t{static_cast<unsigned char>(d[at + 1])} << 16) |
             (std::uint32_t{static_cast<unsigned char>(d[at + 2])} << 8) | static_cast<unsigned char>(d[at + 3]);
    };
    if (d.size() < 100) return p;
    const std::uint32_t header = be(0), width = be(16), height = be(20), byte_order = be(28), bpp = be(44),
                        line = be(48), colours = be(76);
    const size_t offset = header + colours * 12;
    if (bpp != 32 || d.size() < offset + size_t{line} * height) return p;
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::uint32_t x = 0; x < width; ++x) {
        const size_t at = offset + size_t{y} * line + size_t{x} * 4;
        std::uint32_t v = be(at);
        if (byte_order == 0) v = __builtin_bswap32(v);
        p.data.push_back({static_cast<int>((v >> 16) & 255), static_cast<int>((v >> 8) & 255),
                          static_cast<int>(v & 255)});
      }
    return p;
  }

 private:
  using Clock = std::chrono::steady_clock;

  int PollMilliseconds() const { return static_cast<int>(std::max<long long>(1, Left().count())); }

  pid_t pid_ = -1;
  std::string name_, why_;
  Clock::time_point deadline_ = Clock::now() + kPatience;
};

// Pixels in a row that have the colour.
inline int CountInRow(const Pixels& p, int y, Rgb colour) {
  int n = 0;
  for (int x = 0; x < p.width; ++x) n += p.At(x, y) == colour;
  return n;
}

// Pixels of the rectangle that differ from the colour.
inline int CountOther(const Pixels& p, int x0, int y0, int x1, int y1, Rgb colour) {
  int n = 0;
  for (int y = y0; y < y1 && y < p.height; ++y)
    for (int x = x0; x < x1 && x < p.width; ++x) n += !(p.At(x, y) == colour);
  return n;
}

inline constexpr Rgb kFaceColour{240, 240, 240};
inline constexpr Rgb kBarColour{0, 120, 215};

}  // namespace vt::test
