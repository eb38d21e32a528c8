// The progress window and the error box on a real (virtual) display: the
// windowed bootstrapper end to end, looked at with the display's own tools,
// and the progress window in this process.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/WaitDialog.h"
#include "platform/X11Display.h"
#include "support/TestFiles.h"
#include "support/VirtualDisplay.h"
#include "support/Patience.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vt::test::ProgramFolder;
using vt::test::Q;
using vt::test::ReadFileText;
using vt::test::Shell;
using vt::test::VirtualDisplay;
using vt::test::WriteFileText;

constexpr int kBarInner = 400 - 16 - 4;  // the bar's width inside its border

std::string Metadata(std::uint32_t size, char flag) {
  std::string m;
  for (int b = 0; b < 4; ++b) m += static_cast<char>((size >> (8 * b)) & 0xFF);
  return m + flag;
}

// A program started by Launch; one not ended when this goes is killed.
struct Program {
  std::shared_ptr<std::atomic<pid_t>> pid = std::make_shared<std::atomic<pid_t>>(0);
  std::future<int> code;
  bool Ended() const { return code.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
  void Kill() const {
    if (const pid_t p = *pid; p > 0) vt::test::Signal(p, SIGKILL);
  }
  Program() = default;
  Program(Program&&) = default;
  ~Program() {
    if (code.valid() && !Ended()) Kill();
  }
};

struct Options {
  bool with_display = true;
  bool traced = false;
  // The display wait limit: by default the test's patience left; empty:
  // none given.
  std::optional<std::string> wait_limit = std::nullopt;
  std::string err = "stderr";
};

class X11Windows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.Start()) GTEST_SKIP() << display_.Why();
    fs::create_directories(tmp_);
  }

  // A windowed bootstrapper whose LZMA tool waits at the gate; its payload
  // carries a large file.
  fs::path GatedPackage() {
    WriteFileText(dir_ / "big.bin", std::string(24 << 20, 'v'));
    const fs::path pak = dir_ / "Setup.pak", lzma = dir_ / "Setup.lzma";
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_make_setup_pak") + " " + Q(ProgramFolder() / "vt_sample_setup.exe") +
                    " " + Q(pak) + " --file big.bin " + Q(dir_ / "big.bin") + " >/dev/null"),
              0);
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_lzma") + " e " + Q(pak) + " " + Q(lzma)), 0);
    return Package("gated", lzma, ProgramFolder() / "vt_gated_tool", 1);
  }

  fs::path Package(const std::string& name, const fs::path& payload, const fs::path& tool, char compressed) {
    WriteFileText(dir_ / (name + ".meta"),
                  Metadata(static_cast<std::uint32_t>(fs::file_size(ProgramFolder() / "vt_sample_setup.exe")),
                           compressed));
    std::string cmd = Q(ProgramFolder() / "vtpack") + " " + Q(ProgramFolder() / "vt_install") + " -o " +
                      Q(dir_ / name) + " --subsystem windows --add RCDATA 1001 " + Q(dir_ / (name + ".meta"));
    if (!payload.empty()) cmd += " --add RCDATA 1000 " + Q(payload);
    if (!tool.empty()) cmd += " --add RCDATA 1002 " + Q(tool);
    EXPECT_EQ(Shell(cmd), 0) << cmd;
    return dir_ / name;
  }

  // Starts the program on a thread of its own, which stays its parent (and
  // its tracer when asked) until it ends and then gives its exit code.
  Program Launch(const fs::path& program, const Options& o = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("TMPDIR=", 0) != 0 &&
          entry.rfind(std::string(vt::os::display::kWaitLimitVariable) + "=", 0) != 0)
        env.push_back(entry);
    }
    if (o.with_display) env.push_back("DISPLAY=" + display_.Name());
    const std::string limit = o.wait_limit.value_or(std::to_string(display_.Left().count()));
    if (!limit.empty()) env.push_back(std::string(vt::os::display::kWaitLimitVariable) + "=" + limit);
    env.push_back("TMPDIR=" + tmp_.string());
    env.push_back("VT_SAMPLE_SETUP_REPORT=" + report_.string());
    env.push_back("VT_SAMPLE_SETUP_SLEEP_MS=400");
    env.push_back("VT_TEST_GATE=" + gate_.string());
    env.push_back("VT_TEST_TOOL=" + (ProgramFolder() / "vt_lzma").string());
    const std::string err = (dir_ / o.err).string();
    Program run;
    run.code = std::async(std::launch::async, [program, env, err, traced = o.traced, pid_out = run.pid] {
      std::vector<char*> envp;
      for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
      envp.push_back(nullptr);
      const pid_t pid = ::fork();
      if (pid == 0) {
        int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        if (traced) ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ::execve(program.c_str(), argv, envp.data());
        ::_exit(127);
      }
      *pid_out = pid;
      for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, 0) < 0) return -1;
        if (WIFEXITED(status) || WIFSIGNALED(status)) *pid_out = 0;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        if (WIFSTOPPED(status)) {
          const int sig = WSTOPSIG(status);
          ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig == SIGTRAP ? 0 : sig)));
        }
      }
    });
    return run;
  }

  // The program's exit code; one that does not end within the test's
  // patience is killed.
  int ExitCode(Program& run) {
    if (!WaitUntil([&] { return run.Ended(); })) {
      ADD_FAILURE() << "the program did not end within " << VirtualDisplay::kPatience.count() << " s";
      run.Kill();
    }
    return run.code.get();
  }

  bool WaitUntil(const std::function<bool()>& f) const { return display_.WaitUntil(f); }

  bool ToolStarted(const Program& run) const {
    const fs::path started = gate_.string() + ".started";
    return WaitUntil([&] { return fs::exists(started) || run.Ended(); }) && fs::exists(started);
  }
  void OpenGate() const { WriteFileText(gate_, ""); }
  std::string Err(const std::string& name = "stderr") const { return ReadFileText(dir_ / name); }

  VirtualDisplay display_;
  vt::test::TempFolder folder_{"vt_x11"};
  const fs::path dir_ = folder_.path();
  const fs::path tmp_ = dir_ / "tmp";
  const fs::path gate_ = dir_ / "gate";
  const fs::path report_ = dir_ / "report";
};

TEST_F(X11Windows, ProgressWindowShowsWhileExtractingAndGoesBeforeTheSetupRuns) {
  Program run = Launch(GatedPackage());
  ASSERT_TRUE(ToolStarted(run)) << Err();
  // Titled, 400 by 120, centred on the screen, asking to stay on top.
  const auto window = display_.WaitFor("Please Wait...", [&] { return run.Ended(); });
  ASSERT_TRUE(window) << Err();
  EXPECT_EQ(window->width, 400);
  EXPECT_EQ(window->height, 120);
  EXPECT_EQ(window->x, (VirtualDisplay::kWidth - 400) / 2);
  EXPECT_EQ(window->y, (VirtualDisplay::kHeight - 120) / 2);
  EXPECT_NE(display_.Tool("xprop -id " + window->id + " _NET_WM_STATE").find("_NET_WM_STATE_ABOVE"),
            std::string::npos);
  // The text is drawn where the line is, nothing below the bar; the bar is
  // half full after two of the four steps (the tool runs after the second).
  const auto text = display_.WaitFor("Extracting setup files...");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->x - window->x, 8);
  vt::test::Pixels shot;
  EXPECT_TRUE(WaitUntil([&] {
    shot = display_.Grab(window->id);
    return shot.width == 400 && CountInRow(shot, 36, vt::test::kBarColour) == kBarInner / 2 &&
           CountOther(shot, 8, 8, 392, 21, vt::test::kFaceColour) > 50;
  })) << CountInRow(shot, 36, vt::test::kBarColour);
  EXPECT_EQ(CountOther(shot, 8, 50, 300, 80, vt::test::kFaceColour), 0);
  EXPECT_TRUE(display_.WaitFor("&Cancel"));

  // Escape and "C" cancel nothing that matters: extraction goes on.
  display_.Tool("xdotool key --window " + window->id + " Escape c");
  OpenGate();
  // The window is gone while the inner setup runs.
  EXPECT_TRUE(WaitUntil([&] { return ReadFileText(report_).find("\nexit_code=") != std::string::npos; }));
  EXPECT_EQ(display_.Find("Please Wait..."), std::nullopt);
  EXPECT_EQ(ExitCode(run), 0) << Err();
  EXPECT_TRUE(WaitUntil([&] { return display_.Windows().empty(); }));
}

TEST_F(X11Windows, FailureShowsAModalMessageBoxThatEnterCloses) {
  Program run = Launch(Package("nopayload", {}, {}, 0));
  const auto box = display_.WaitFor("Setup", [&] { return run.Ended(); });
  ASSERT_TRUE(box) << Err();
  const auto text = display_.WaitFor("Failed to extract setup resource 1000.");
  ASSERT_TRUE(text);
  vt::test::Pixels shot;
  EXPECT_TRUE(WaitUntil([&] {
    shot = display_.Grab(text->id);
    return CountOther(shot, 0, 0, text->width, text->height, vt::test::kFaceColour) > 50;
  }));
  EXPECT_TRUE(display_.WaitFor("OK"));
  // Modal: the program waits for it, and it has said so on standard error.
  EXPECT_EQ(run.code.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_NE(Err().find("[Setup]\nFailed to extract setup resource 1000.\n"), std::string::npos);
  display_.Tool("xdotool key --window " + box->id + " Return");
  EXPECT_EQ(ExitCode(run), 6);
  EXPECT_TRUE(WaitUntil([&] { return display_.Windows().empty(); }));
}

// How long the program waits for a server that answers nothing is the
// variable's: up to a day, as long as asked; past that or without it, the
// default, after which the box goes to standard error only.
TEST_F(X11Windows, TheWaitLimitVariableSetsHowLongTheProgramWaitsForTheServer) {
  const fs::path program = Package("nopayload", {}, {}, 0);
  const std::string longest = std::to_string(vt::os::display::kLongestWaitLimit.count());
  const std::string past = std::to_string(vt::os::display::kLongestWaitLimit.count() + 1);
  display_.Pause();
  std::map<std::string, Program> waits, gives_up;
  waits.emplace("patience", Launch(program, {.err = "patience"}));
  waits.emplace("longest", Launch(program, {.wait_limit = longest, .err = "longest"}));
  gives_up.emplace("past", Launch(program, {.wait_limit = past, .err = "past"}));
  gives_up.emplace("none", Launch(program, {.wait_limit = "", .err = "none"}));
  gives_up.emplace("1", Launch(program, {.wait_limit = "1", .err = "1"}));
  for (auto& [name, run] : gives_up) {
    EXPECT_EQ(ExitCode(run), 6) << name;
    EXPECT_NE(Err(name).find("Failed to extract setup resource 1000."), std::string::npos) << name;
  }
  for (auto& [name, run] : waits) EXPECT_FALSE(run.Ended()) << name << " gave up: " << Err(name);
  display_.Resume();
  // Each of the two shows its box.
  std::set<std::string> closed;
  WaitUntil([&] {
    for (const auto& w : display_.Windows())
      if (w.name == "Setup" && !closed.count(w.id) && display_.Viewable(w.id)) {
        display_.Tool("xdotool key --window " + w.id + " Return");
        closed.insert(w.id);
      }
    return closed.size() == waits.size() || std::all_of(waits.begin(), waits.end(), [](const auto& w) {
             return w.second.Ended();
           });
  });
  EXPECT_EQ(closed.size(), waits.size());
  for (auto& [name, run] : waits) EXPECT_EQ(ExitCode(run), 6) << name;
}

TEST_F(X11Windows, ADisplayThatGoesAwayLeavesTheSetupToFinish) {
  Program run = Launch(GatedPackage());
  ASSERT_TRUE(ToolStarted(run)) << Err();
  ASSERT_TRUE(display_.WaitFor("Please Wait...", [&] { return run.Ended(); })) << Err();
  display_.Stop();
  OpenGate();
  EXPECT_EQ(ExitCode(run), 0) << Err();
  EXPECT_NE(ReadFileText(report_).find("\nexit_code=0"), std::string::npos);
}

TEST_F(X11Windows, UnderATracerOrAsConsoleOrWithoutDisplayNoWindowShows) {
  const fs::path program = GatedPackage();
  const struct {
    bool traced, with_display;
  } cases[] = {{true, true}, {false, false}};
  for (const auto& c : cases) {
    fs::remove(gate_);
    fs::remove(gate_.string() + ".started");
    Program run = Launch(program, {.with_display = c.with_display, .traced = c.traced});
    ASSERT_TRUE(ToolStarted(run)) << Err();
    EXPECT_TRUE(display_.Windows().empty());
    OpenGate();
    EXPECT_EQ(ExitCode(run), 0) << Err();
  }
  // A display that cannot be reached is no display.
  auto unreachable = std::async(std::launch::async, [&] {
    return Shell("DISPLAY=:4095 TMPDIR=" + Q(tmp_) + " VT_SAMPLE_SETUP_REPORT=" + Q(dir_ / "r2") + " " +
                 Q(ProgramFolder() / "vt_setup_windowed_plain") + " >/dev/null 2>&1");
  });
  EXPECT_EQ(unreachable.get(), 0);
  EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_setup_console") + " >/dev/null 2>&1 </dev/null"), 0);
}

// ---- the progress window in this process ------------------------------------

class X11WaitDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.Start()) GTEST_SKIP() << display_.Why();
    vt::os::display::UseDisplayForTest(display_.Name());
    vt::os::display::SetWaitLimitForTest(display_.Left());
  }
  void TearDown() override {
    vt::os::display::UseDisplayForTest("");
    vt::os::display::SetWaitLimitForTest(std::chrono::milliseconds(0));
  }
  bool WaitUntil(const std::function<bool()>& f) const { return display_.WaitUntil(f); }

  std::string IdOf(vt::os::HWND hwnd) {
    unsigned long id = 0;
    WaitUntil([&] { return (id = vt::os::display::XWindowOfForTest(hwnd)) != 0; });
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", id);
    return text;
  }

  VirtualDisplay display_;
};

TEST_F(X11WaitDialog, TheBarGrowsWithEachStepAndKeysOrTheButtonCancel) {
  {
    vt::TWaitDialog dialog("Extracting setup files...", 4, 0);
    vt::os::display::Flush();  // its present state is what the display acts on
    const std::string id = IdOf(dialog.DialogWindow());
    for (int step = 1; step <= 4; ++step) {
      dialog.Step(1);
      vt::test::Pixels shot;
      EXPECT_TRUE(WaitUntil([&] {
        shot = display_.Grab(id);
        return shot.width == 400 && CountInRow(shot, 36, vt::test::kBarColour) == kBarInner * step / 4;
      })) << step;
    }
    // A click on the disabled button does nothing; Escape cancels.
    const auto w = display_.WaitFor("Please Wait...");
    ASSERT_TRUE(display_.WaitFor("&Cancel"));
    ASSERT_TRUE(w);
    const std::string button_centre = std::to_string(w->x + 319 + 36) + " " + std::to_string(w->y + 87 + 12);
    display_.Tool("xdotool mousemove " + button_centre + " click 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(dialog.Cancelled());
    display_.Tool("xdotool key --window " + id + " Escape");
    EXPECT_TRUE(WaitUntil([&] { return dialog.Cancelled(); }));
  }
  {
    vt::TWaitDialog dialog("Extracting setup files...", 4, 0);
    vt::os::display::Flush();  // its present state is what the display acts on
    display_.Tool("xdotool key --window " + IdOf(dialog.DialogWindow()) + " c");
    EXPECT_TRUE(WaitUntil([&] { return dialog.Cancelled(); }));
  }
  {
    // An enabled button: a click cancels and disables it.
    vt::TWaitDialog dialog("Extracting setup files...", 4, vt::wdoCancelEnabled);
    vt::os::display::Flush();  // its present state is what the display acts on
    IdOf(dialog.CancelButton());
    const auto w = display_.WaitFor("Please Wait...");
    ASSERT_TRUE(display_.WaitFor("&Cancel"));
    ASSERT_TRUE(w);
    display_.Tool("xdotool mousemove " + std::to_string(w->x + 319 + 36) + " " + std::to_string(w->y + 87 + 12) +
                  " click 1");
    EXPECT_TRUE(WaitUntil([&] { return dialog.Cancelled(); }));
    EXPECT_FALSE(vt::os::IsWindowEnabled(dialog.CancelButton()));
  }
  {
    // The close box takes the window away without cancelling; the steps go on.
    vt::TWaitDialog dialog("Extracting setup files...", 4, 0);
    vt::os::display::Flush();  // its present state is what the display acts on
    const std::string id = IdOf(dialog.DialogWindow());
    EXPECT_TRUE(display_.CloseBox(id));
    EXPECT_TRUE(WaitUntil([&] { return !display_.Find("Please Wait..."); }));
    EXPECT_FALSE(vt::os::IsWindow(dialog.DialogWindow()));
    for (int step = 1; step <= 4; ++step) dialog.Step(1);
    EXPECT_FALSE(dialog.Cancelled());
  }
  EXPECT_TRUE(WaitUntil([&] { return display_.Windows().empty(); }));
}

}  // namespace
