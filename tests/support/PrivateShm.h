// Runs a test again in a process of its own whose /dev/shm is a private
// tmpfs (a mount namespace of its own, as root): named objects, and the wake
// word of waits on several objects, are then only those of the processes it
// starts, so no other test's process can wake its waits.
//
//   TEST(Suite, Name) {
//     if (!test::InPrivateShm()) return test::ExpectPassesInPrivateShm();
//     ...the test...
//   }
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/Patience.h"

namespace vt::test {

inline constexpr char kPrivateShmVariable[] = "VT_TEST_PRIVATE_SHM";

inline bool InPrivateShm() { return std::getenv(kPrivateShmVariable) != nullptr; }

// Runs the current test in a child with a private /dev/shm and expects it to
// pass; skips, with the reason, where no such child can be made.
inline void ExpectPassesInPrivateShm() {
  if (::geteuid() != 0) GTEST_SKIP() << "a private /dev/shm needs root (a mount namespace of its own)";
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), filter.data(), nullptr};
  int report[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // The failing step and its errno; nothing comes through when the exec succeeds.
    int failure[2] = {0, 0};
    if (::unshare(CLONE_NEWNS) != 0) failure[0] = 1;
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) failure[0] = 2;
    else if (::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) failure[0] = 3;
    // The run is this one test, whole, with no report file of its own.
    else if (::setenv(kPrivateShmVariable, "1", 1) != 0 || ::unsetenv("GTEST_OUTPUT") != 0 ||
             ::unsetenv("GTEST_TOTAL_SHARDS") != 0 || ::unsetenv("GTEST_SHARD_INDEX") != 0)
      failure[0] = 4;
    else ::execv(argv[0], argv), failure[0] = 5;
    failure[1] = errno;
    if (::write(report[1], failure, sizeof failure) != static_cast<ssize_t>(sizeof failure)) ::_exit(126);
    ::_exit(127);
  }
  ::close(report[1]);
  ASSERT_GT(child, 0);
  int failure[2] = {0, 0};
  ssize_t got;
  do {
    got = ::read(report[0], failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  int status = 0;
  const bool ended = WaitPatiently([&] { return ::waitpid(child, &status, WNOHANG) == child; });
  if (!ended) {
    Signal(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the run in a private /dev/shm did not end";
  static const char* const kSteps[] = {"", "unshare", "making / private", "mounting /dev/shm", "setenv", "exec"};
  if (got == static_cast<ssize_t>(sizeof failure) && failure[0] >= 1 && failure[0] <= 3)
    GTEST_SKIP() << "no private /dev/shm: " << kSteps[failure[0]] << ": " << std::strerror(failure[1]);
  ASSERT_NE(got, static_cast<ssize_t>(sizeof failure)) << kSteps[failure[0] % 6] << ": " << std::strerror(failure[1]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the run in a private /dev/shm failed (its output is above): status " << status;
}

}  // namespace vt::test
