#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Environment.h"
#include "platform/Handles.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt::os {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

std::string Child() { return test::ProgramBeside("vt_proc_child"); }

// The process's state letter from /proc ('\0' once it is gone).
char ProcessState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), {});
  const auto paren = all.rfind(')');
  return paren == std::string::npos || paren + 2 >= all.size() ? '\0' : all[paren + 2];
}

constexpr int kCannotBecomeNobody = 99;

// Runs f in a forked process as user 65534; answers its exit code, or -1
// when it did not exit normally.
template <typename F>
int AsNobody(F f) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    struct rlimit none {0, 0};
    ::setrlimit(RLIMIT_RTPRIO, &none);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(kCannotBecomeNobody);
    ::_exit(f());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProcessStart, SuspendedChildRunsNothingUntilResumed) {
  TempFolder dir;
  const std::string marker = dir.File("ran");
  ProcessInformation pi;
  ASSERT_TRUE(CreateProcess(Child(), "vt_proc_child touch " + marker, false, kCreateSuspended, nullptr, {}, {}, &pi));
  EXPECT_NE(pi.process_id, 0u);
  EXPECT_EQ(GetProcessId(pi.process), pi.process_id);
  EXPECT_EQ(WaitForProcess(pi.process, 50), kWaitTimeout);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, kStillActive);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(ResumeChildThread(pi.thread), 1u);
  EXPECT_EQ(ResumeChildThread(pi.thread), 0u);
  ASSERT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_TRUE(CloseHandle(pi.process) && CloseHandle(pi.thread));
  EXPECT_EQ(ResumeChildThread(pi.thread), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidHandle});

  // All handles closed without a resume: the child ends without running.
  ASSERT_TRUE(CreateProcess(Child(), "vt_proc_child touch " + marker + "2", false, kCreateSuspended, nullptr, {}, {},
                            &pi));
  const auto pid = static_cast<pid_t>(pi.process_id);
  EXPECT_TRUE(CloseHandle(pi.process) && CloseHandle(pi.thread));
  EXPECT_TRUE(vt::test::WaitPatiently([&] { return ProcessState(pid) == 'Z' || ProcessState(pid) == '\0'; }));
  EXPECT_FALSE(fs::exists(marker + "2"));

  // Killed while it waits: resuming it is no broken pipe for the starter.
  ASSERT_TRUE(CreateProcess(Child(), "vt_proc_child touch " + marker + "3", false, kCreateSuspended, nullptr, {}, {},
                            &pi));
  vt::test::Signal(static_cast<pid_t>(pi.process_id), SIGKILL);
  EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
  EXPECT_EQ(ResumeChildThread(pi.thread), 1u);
  EXPECT_TRUE(CloseHandle(pi.process) && CloseHandle(pi.thread));
}

// Whether a forked copy of this process manages f.
template <typename F>
bool ForkedCopyManages(F f) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(f() ? 0 : 1);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether this process may take the round-robin policy.
bool MayRunRealtime() {
  return ForkedCopyManages([] {
    struct sched_param p {};
    p.sched_priority = ::sched_get_priority_min(SCHED_RR);
    return ::sched_setscheduler(0, SCHED_RR, &p) == 0;
  });
}

struct Scheduling {
  int policy = -1;
  int nice = 99;
};

// The policy and nice value a suspended child starts with.
Scheduling ChildScheduling(DWORD flags) {
  ProcessInformation pi;
  Scheduling s;
  if (!CreateProcess(Child(), "vt_proc_child exit 0", false, flags | kCreateSuspended, nullptr, {}, {}, &pi))
    return s;
  const auto pid = static_cast<pid_t>(pi.process_id);
  s.policy = ::sched_getscheduler(pid) & ~SCHED_RESET_ON_FORK;
  errno = 0;
  s.nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
  ResumeChildThread(pi.thread);
  WaitForProcess(pi.process, kInfinite);
  CloseHandle(pi.process);
  CloseHandle(pi.thread);
  return s;
}

TEST(ProcessStart, PriorityClassesBecomePoliciesAndNiceValues) {
  if (!ForkedCopyManages([] { return ::setpriority(PRIO_PROCESS, 0, -10) == 0; }))
    GTEST_SKIP() << "needs the privilege to lower nice values (CAP_SYS_NICE)";
  const bool realtime = MayRunRealtime();
  const Scheduling rt = ChildScheduling(kRealtimePriorityClass);
  EXPECT_EQ(rt.policy, realtime ? SCHED_RR : SCHED_OTHER);
  if (!realtime) {
    EXPECT_EQ(rt.nice, -10);  // falls back to high
  }
  const Scheduling idle = ChildScheduling(kIdlePriorityClass);
  EXPECT_EQ(idle.policy, SCHED_IDLE);
  const struct {
    DWORD flag;
    int nice;
  } nice_classes[] = {{kHighPriorityClass, -10}, {kAboveNormalPriorityClass, -5}, {kBelowNormalPriorityClass, 10}};
  for (const auto& c : nice_classes) {
    const Scheduling s = ChildScheduling(c.flag);
    EXPECT_EQ(s.policy, SCHED_OTHER) << c.flag;
    EXPECT_EQ(s.nice, c.nice) << c.flag;
  }
  // A re-niced starter: normal is set, no class inherits.
  const int own = ::getpriority(PRIO_PROCESS, 0);
  ASSERT_EQ(::setpriority(PRIO_PROCESS, 0, 7), 0);
  const Scheduling normal = ChildScheduling(kNormalPriorityClass);
  const Scheduling inherited = ChildScheduling(0);
  ::setpriority(PRIO_PROCESS, 0, own);
  EXPECT_EQ(normal.policy, SCHED_OTHER);
  EXPECT_EQ(normal.nice, 0);
  EXPECT_EQ(inherited.nice, 7);
}

TEST(ProcessStart, RealtimeWithoutPrivilegeFallsBackToHigh) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become user 65534";
  // Unprivileged, high cannot lower the nice value either: the child keeps 0.
  const int r = AsNobody([] {
    const Scheduling s = ChildScheduling(kRealtimePriorityClass);
    return s.policy == SCHED_OTHER && s.nice == 0 ? 0 : 1;
  });
  if (r == kCannotBecomeNobody) GTEST_SKIP() << "cannot become user 65534 (setresuid refused)";
  EXPECT_EQ(r, 0);
}

TEST(ProcessStart, UserTokenStartsTheChildAsThatUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a child as user 65534";
  TempFolder dir;
  const std::string out = dir.File("ids");
  const int fd = ::open(out.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const HANDLE token = CreateUserToken(65534, 65534, {65534});
  ASSERT_NE(token, 0);
  StartupInfo si;
  si.flags = kStartfUseStdHandles;
  si.std_output = fd;
  si.std_error = 2;
  ProcessInformation pi;
  ASSERT_TRUE(CreateProcess("/bin/sh", "sh -c \"id -u; id -g; id -G\"", false, 0, nullptr, {}, si, &pi,
                            static_cast<std::uintptr_t>(token)));
  ::close(fd);
  EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
  EXPECT_EQ(test::ReadFileText(out), "65534\n65534\n65534\n");
  CloseHandle(pi.process);
  CloseHandle(pi.thread);
  EXPECT_TRUE(CloseHandle(token));

  // Without the privilege no token for another user, hence no child.
  const int r = AsNobody([] {
    if (CreateUserToken(0, 0, {}) != 0 || GetLastError() != kErrorPrivilegeNotHeld) return 1;
    const HANDLE own = CreateUserToken(65534, 65534, {});
    if (own == 0) return 2;
    ProcessInformation child;
    if (!CreateProcess(Child(), "vt_proc_child exit 5", false, 0, nullptr, {}, {}, &child,
                       static_cast<std::uintptr_t>(own)))
      return 3;
    DWORD code = 0;
    WaitForProcess(child.process, kInfinite);
    GetExitCodeProcess(child.process, &code);
    return code == 5 ? 0 : 4;
  });
  if (r == kCannotBecomeNobody) GTEST_SKIP() << "cannot become user 65534 (setresuid refused)";
  EXPECT_EQ(r, 0);
}

// Exit code of program, started as given (suspended, then resumed), or
// 100 + the start's error.
int RunsWithExitCode(const std::string& program, const std::string& command_line, bool suspended) {
  ProcessInformation pi;
  if (!CreateProcess(program, command_line, false, suspended ? kCreateSuspended : 0, nullptr, {}, {}, &pi))
    return 100 + static_cast<int>(GetLastError());
  if (suspended) ResumeChildThread(pi.thread);
  DWORD code = 99;
  WaitForProcess(pi.process, kInfinite);
  GetExitCodeProcess(pi.process, &code);
  CloseHandle(pi.process);
  CloseHandle(pi.thread);
  return static_cast<int>(code);
}

TEST(ProcessStart, ProgramThatMayRunButNotBeReadRunsForAnyUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become user 65534";
  TempFolder dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string run_only = dir.File("run_only"), neither = dir.File("neither");
  fs::copy_file(Child(), run_only);
  fs::copy_file(Child(), neither);
  ASSERT_EQ(::chmod(run_only.c_str(), 0111), 0);
  ASSERT_EQ(::chmod(neither.c_str(), 0), 0);
  constexpr int kFolderUnreachable = 98;
  const int r = AsNobody([&] {
    if (::access(dir.path().c_str(), X_OK) != 0) return kFolderUnreachable;
    if (::access(run_only.c_str(), R_OK) == 0) return 1;
    for (const bool suspended : {false, true}) {
      if (RunsWithExitCode(run_only, "run_only exit 7", suspended) != 7) return suspended ? 3 : 2;
      // Neither readable nor executable: still refused.
      if (RunsWithExitCode(neither, "neither exit 7", suspended) != 100 + static_cast<int>(kErrorAccessDenied))
        return suspended ? 5 : 4;
    }
    return 0;
  });
  if (r == kCannotBecomeNobody) GTEST_SKIP() << "cannot become user 65534 (setresuid refused)";
  if (r == kFolderUnreachable) GTEST_SKIP() << "user 65534 cannot reach the temporary folder";
  EXPECT_EQ(r, 0);
}

// One thread sets and removes variables while two start programs that
// inherit the environment: every start copies it whole, PATH included.
TEST(ProcessStart, StartsBesideVariableChangesPassTheWholeEnvironment) {
  std::string path;
  ASSERT_TRUE(ReadEnvironmentVariable("PATH", &path) && !path.empty());
  constexpr int kVariables = 3000, kStartsEach = 500;
  std::atomic<int> starters{2}, refused{0}, without_path{0};
  std::thread setter([&] {
    const std::string value(24, 'v');
    auto name = [](int i) { return "VT_CHURNED_" + std::to_string(i); };
    while (starters.load() > 0) {
      for (int i = 0; i < kVariables; ++i) SetEnvironmentVariable(name(i), value.c_str());
      for (int i = 0; i < kVariables; ++i) SetEnvironmentVariable(name(i), nullptr);
    }
  });
  auto start = [&] {
    for (int n = 0; n < kStartsEach; ++n) {
      const int code = RunsWithExitCode("/bin/sh", "sh -c \"test -n \\\"$PATH\\\"\"", false);
      if (code >= 100)
        ++refused;
      else if (code != 0)
        ++without_path;
    }
    --starters;
  };
  std::thread a(start), b(start);
  a.join();
  b.join();
  setter.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(without_path.load(), 0);
}

}  // namespace
}  // namespace vt::os

namespace vt::os {
namespace {

TEST(ProcessStart, CommandLineLimitIsTheWindowsOne) {
  ProcessInformation pi;
  const std::string head = Child() + " exit 4 ";
  const std::string longest = head + std::string(kMaxCommandLine - 1 - head.size(), 'x');
  ASSERT_TRUE(CreateProcess({}, longest, false, 0, nullptr, {}, {}, &pi));
  DWORD code = 0;
  WaitForProcess(pi.process, kInfinite);
  EXPECT_TRUE(GetExitCodeProcess(pi.process, &code));
  EXPECT_EQ(code, 4u);
  CloseHandle(pi.process);
  CloseHandle(pi.thread);
  EXPECT_FALSE(CreateProcess({}, longest + "x", false, 0, nullptr, {}, {}, &pi));
  EXPECT_EQ(GetLastError(), DWORD{kErrorFilenameExcedRange});
  // Characters, not bytes: two-byte characters count once.
  std::string accented;
  for (std::size_t i = 0; i < kMaxCommandLine - 1 - head.size(); ++i) accented += "\xC3\xA9";
  EXPECT_EQ(CommandLineLength(head + accented), kMaxCommandLine - 1);
}

TEST(ProcessStart, ProcessLimitIsNoIncorrectFunction) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become user 65534 under a process limit";
  const int r = AsNobody([] {
    struct rlimit none {0, 0};
    if (::setrlimit(RLIMIT_NPROC, &none) != 0) return 50;
    ProcessInformation pi;
    if (CreateProcess(Child(), "vt_proc_child exit 0", false, 0, nullptr, {}, {}, &pi)) return 51;
    return static_cast<int>(GetLastError() % 200);
  });
  if (r == kCannotBecomeNobody) GTEST_SKIP() << "cannot become user 65534 (setresuid refused)";
  EXPECT_EQ(r, static_cast<int>(kErrorNoProcSlots));
  EXPECT_EQ(SystemErrorText(kErrorNoProcSlots), "The system cannot start another process at this time");
}

TEST(ProcessStart, EveryErrnoHasAWindowsErrorThatSaysTheSame) {
  for (int err = 1; err < 134; ++err) {
    const DWORD code = ErrnoToError(err);
    if (err == ENOTTY) {
      EXPECT_EQ(code, DWORD{kErrorInvalidFunction});
      continue;
    }
    EXPECT_NE(code, DWORD{kErrorInvalidFunction}) << err << " " << std::strerror(err);
    EXPECT_NE(SystemErrorText(code).rfind("Unknown error", 0), 0u) << code;
  }
  EXPECT_EQ(ErrnoToError(EAGAIN), DWORD{kErrorNotEnoughQuota});
  EXPECT_EQ(ErrnoToError(E2BIG), DWORD{kErrorFilenameExcedRange});
  EXPECT_EQ(ErrnoToError(EXDEV), DWORD{kErrorNotSameDevice});
}

}  // namespace
}  // namespace vt::os

namespace vt::os {
namespace {

// A starter whose standard input and output are closed: the descriptors it
// takes for the start get those numbers, and must not become the child's
// standard handles.
TEST(ProcessStart, StarterWithoutStandardHandles) {
  TempFolder dir;
  const std::string out = dir.File("out");
  const bool ok = ForkedCopyManages([&] {
    const int fd = ::open(out.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 || ::dup2(fd, 7) < 0) return false;
    ::close(fd);
    ::close(0);
    ::close(1);
    StartupInfo si;
    si.flags = kStartfUseStdHandles;
    si.std_output = 7;
    si.std_error = 2;
    ProcessInformation pi;
    if (!CreateProcess(Child(), "vt_proc_child exit 3", false, kCreateSuspended, nullptr, {}, si, &pi)) return false;
    ResumeChildThread(pi.thread);
    DWORD code = 0;
    return WaitForProcess(pi.process, kInfinite) == kWaitObject0 && GetExitCodeProcess(pi.process, &code) &&
           code == 3;
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(test::ReadFileText(out), "");
}

pid_t g_starter = 0;
volatile sig_atomic_t g_handled_in_child = 0;
void NoteWhereHandled(int) {
  if (::getpid() != g_starter) g_handled_in_child = 1;
}

// A handler of the starter's never runs in a child before its exec (where
// it would run on the starter's memory): starts while the starter's process
// group is sent a stream of a handled signal.
TEST(ProcessStart, StarterHandlersNeverRunInTheChild) {
  const bool ok = ForkedCopyManages([] {
    if (::setpgid(0, 0) != 0) return false;
    g_starter = ::getpid();
    struct sigaction action {};
    action.sa_handler = NoteWhereHandled;
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGUSR1, &action, nullptr) != 0) return false;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      while (!stop.load()) ::kill(0, SIGUSR1);
    });
    for (int i = 0; i < 300 && !g_handled_in_child; ++i) {
      ProcessInformation pi;
      if (!CreateProcess("/bin/true", "true", false, 0, nullptr, {}, {}, &pi)) continue;
      WaitForProcess(pi.process, kInfinite);
      CloseHandle(pi.process);
      CloseHandle(pi.thread);
    }
    stop.store(true);
    sender.join();
    return g_handled_in_child == 0;
  });
  EXPECT_TRUE(ok);
}

// A forked copy of a process that holds a named object has the parent's
// descriptors and no others: a number free in the parent is free in the
// copy, whose own descriptor put there reaches the child it starts; the
// object still works in the copy.
TEST(ProcessStart, ForkedCopyOfANamedObjectsHolderKeepsTheDescriptorNumbers) {
  TempFolder dir;
  const std::string out = dir.File("out");
  HANDLE event = CreateEventA(nullptr, true, false, "vt_test_fork_numbers_" + std::to_string(::getpid()));
  ASSERT_NE(event, 0);
  const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  ::close(probe);  // the lowest free number
  const auto starts_with_its_descriptor = [&] {
    if (::fcntl(probe, F_GETFD) >= 0) return false;
    const int fd = ::open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::dup2(fd, probe) < 0) return false;
    if (fd != probe) ::close(fd);
    StartupInfo si;
    si.flags = kStartfUseStdHandles;
    si.std_output = probe;
    si.std_error = 2;
    ProcessInformation pi;
    if (!CreateProcess(Child(), "vt_proc_child env VT_NO_SUCH_VARIABLE", false, 0, nullptr, {}, si, &pi))
      return false;
    DWORD code = 1;
    const bool ended = WaitForProcess(pi.process, kInfinite) == kWaitObject0 && GetExitCodeProcess(pi.process, &code);
    return ended && code == 0 && SetEvent(event) && ResetEvent(event);
  };
  EXPECT_TRUE(ForkedCopyManages(starts_with_its_descriptor));
  EXPECT_EQ(test::ReadFileText(out), "<unset>");
  test::WriteFileText(out, "");
  // A copy's copy.
  EXPECT_TRUE(ForkedCopyManages([&] { return ForkedCopyManages(starts_with_its_descriptor); }));
  EXPECT_EQ(test::ReadFileText(out), "<unset>");
  EXPECT_TRUE(CloseHandle(event));
}

}  // namespace
}  // namespace vt::os
