// What tests that wait for other processes share: one patience for every
// wait (far beyond what a busy machine makes any step take, below the test
// runner's limit), and one way to signal a process.
//
// A wait for another process or thread waits for what it needs, up to the
// patience; what never comes fails the test. Signals go through Signal(),
// which refuses the pids that reach more than one process (0, -1) or init
// (1): kill(0, ...) ends the test's whole runner.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace vt::test {

inline constexpr std::chrono::seconds kPatience{400};
// The same in milliseconds, for waits given a time-out.
inline constexpr std::uint32_t kPatienceMs = static_cast<std::uint32_t>(kPatience.count() * 1000);

// One patience, counted from its making; several waits share it.
class Patience {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Patience(std::chrono::milliseconds total = kPatience) : deadline_(Clock::now() + total) {}

  // The time left, at least 1 ms; zero once it has run out.
  std::chrono::milliseconds Left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return left.count() > 0 ? std::max(left, std::chrono::milliseconds(1)) : std::chrono::milliseconds(0);
  }
  bool Over() const { return Left().count() == 0; }

  // Until f holds (true) or the patience runs out (false); f is tried at
  // least once.
  template <typename F>
  bool WaitUntil(F&& f, std::chrono::microseconds step = std::chrono::milliseconds(5)) const {
    for (;;) {
      if (f()) return true;
      if (Over()) return false;
      std::this_thread::sleep_for(step);
    }
  }

 private:
  Clock::time_point deadline_;
};

// Until f holds, up to a fresh patience.
template <typename F>
bool WaitPatiently(F&& f, std::chrono::microseconds step = std::chrono::milliseconds(5)) {
  return Patience().WaitUntil(static_cast<F&&>(f), step);
}

// Sends sig to the one process pid (a process the test started, or one it
// verified). A pid of 1 or less is refused: the test fails, naming the call.
inline bool Signal(pid_t pid, int sig, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (pid <= 1) {
    ADD_FAILURE_AT(file, line)
        << "refused to send signal " << sig << " to pid " << pid << " (not one process of the test's)";
    return false;
  }
  return ::kill(pid, sig) == 0;
}

// Sends sig to the process group that pid leads (a process the test
// started in a group of its own). A pid of 1 or less is refused as above.
inline bool SignalGroup(pid_t pid, int sig, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (pid <= 1) {
    ADD_FAILURE_AT(file, line)
        << "refused to send signal " << sig << " to the group of pid " << pid << " (not one group of the test's)";
    return false;
  }
  return ::kill(-pid, sig) == 0;
}

// The parent of pid as /proc tells it; 0 when pid is gone.
inline pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  char state = 0;
  int ppid = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return 0;
  return static_cast<pid_t>(ppid);
}

}  // namespace vt::test
