// The tests' one way to signal a process: pids that reach more than one
// process, or init, are refused with a failure that names the call.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "support/Patience.h"

namespace {

using vt::test::Signal;
using vt::test::SignalGroup;

// A child that waits for a signal, in a process group of its own.
pid_t PausedChild() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    for (;;) ::pause();
  }
  return pid;
}

// How a child ended: the signal, or -1 for anything else.
int EndingSignal(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

struct Refusal {
  bool sent = true;
  testing::TestPartResultArray failures;
};

// Runs send with the failures it adds kept in r.
template <typename F>
void Capture(Refusal& r, F send) {
  testing::ScopedFakeTestPartResultReporter reporter(
      testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &r.failures);
  r.sent = send();
}

// Refusals are checked in a forked copy that leads a session of its own:
// had one got through, the pids 0 and group 0 (SIGKILL) would end only the
// copy. To every process (-1) and to init (1) only the null signal goes,
// which checks without sending.
TEST(SignalHelper, RefusesPidsOfOneOrLessAndNamesTheCall) {
  const pid_t copy = ::fork();
  if (copy == 0) {
    ::setsid();
    bool all = true;
    const struct {
      pid_t pid;
      int signal;
    } cases[] = {{0, SIGKILL}, {-1, 0}, {1, 0}};
    for (const auto& c : cases) {
      for (const bool group : {false, true}) {
        Refusal r;
        const int line = __LINE__ + 1;
        Capture(r, [&] { return group ? SignalGroup(c.pid, c.signal) : Signal(c.pid, c.signal); });
        const std::string what = std::string(group ? "to the group of pid " : "to pid ") + std::to_string(c.pid);
        all = all && !r.sent && r.failures.size() == 1 &&
              r.failures.GetTestPartResult(0).type() == testing::TestPartResult::kNonFatalFailure &&
              r.failures.GetTestPartResult(0).line_number() == line &&
              std::string(r.failures.GetTestPartResult(0).file_name()) == __FILE__ &&
              std::string(r.failures.GetTestPartResult(0).message()).find(what) != std::string::npos;
      }
    }
    ::_exit(all ? 0 : 1);
  }
  ASSERT_GT(copy, 0);
  int status = 0;
  while (::waitpid(copy, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFEXITED(status)) << "the copy ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  // This process still runs, and still refuses here too.
  EXPECT_NONFATAL_FAILURE(Signal(0, 0), "refused to send signal 0 to pid 0");
  EXPECT_NONFATAL_FAILURE(SignalGroup(1, 0), "refused to send signal 0 to the group of pid 1");
}

TEST(SignalHelper, SignalsTheOneProcessOrItsGroup) {
  const pid_t one = PausedChild();
  ASSERT_GT(one, 1);
  EXPECT_TRUE(Signal(one, SIGTERM));
  EXPECT_EQ(EndingSignal(one), SIGTERM);

  const pid_t leader = PausedChild();
  ASSERT_GT(leader, 1);
  // Its group exists once the child has made it.
  ASSERT_TRUE(vt::test::WaitPatiently([&] { return ::getpgid(leader) == leader; }));
  EXPECT_TRUE(SignalGroup(leader, SIGUSR1));
  EXPECT_EQ(EndingSignal(leader), SIGUSR1);
}

TEST(SignalHelper, ParentOfTellsTheStartingProcessEvenOfAnEndedOne) {
  const pid_t child = PausedChild();
  ASSERT_GT(child, 1);
  EXPECT_EQ(vt::test::ParentOf(child), ::getpid());
  EXPECT_EQ(vt::test::ParentOf(::getpid()), ::getppid());
  ASSERT_TRUE(Signal(child, SIGKILL));
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(vt::test::ParentOf(child), ::getpid());  // not yet reaped
  EXPECT_EQ(EndingSignal(child), SIGKILL);
}

TEST(Patience, TriesAtLeastOnceAndRunsOut) {
  using std::chrono::milliseconds;
  int tries = 0;
  EXPECT_TRUE(vt::test::Patience(milliseconds(0)).WaitUntil([&] { return ++tries > 0; }));
  EXPECT_EQ(tries, 1);
  const vt::test::Patience short_one(milliseconds(30));
  tries = 0;
  EXPECT_FALSE(short_one.WaitUntil([&] { return ++tries < 0; }, milliseconds(1)));
  EXPECT_GE(tries, 2);
  EXPECT_TRUE(short_one.Over());
  EXPECT_EQ(short_one.Left().count(), 0);
  // A shared patience: what is left is no more than what was given.
  const vt::test::Patience whole;
  EXPECT_GT(whole.Left().count(), 0);
  EXPECT_LE(whole.Left(), std::chrono::milliseconds(vt::test::kPatience));
  EXPECT_TRUE(vt::test::WaitPatiently([&] { return ++tries > 0; }));
}

}  // namespace
