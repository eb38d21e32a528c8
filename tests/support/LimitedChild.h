// Runs a piece of a test in a forked child whose writable private memory
// may grow only a little (RLIMIT_DATA): a fault that would take gigabytes
// fails there instead of taking them from the machine. Or in a child ended
// once it holds more memory than allowed: for faults that the data limit
// itself would turn away.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <exception>
#include <fstream>
#include <string>
#include <typeinfo>

#include "support/Patience.h"

namespace vt::test {

// A field of /proc/self/status in bytes ("VmData", "VmSize"), or 0.
inline std::size_t StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1)) * 1024;
  return 0;
}

// Resident bytes of process pid (0 when it is gone).
inline std::size_t ResidentBytes(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// In the child: what f answers, or "threw <type>: <text>", written whole
// to fd; then the child ends.
template <typename F>
[[noreturn]] void AnswerAndExit(int fd, F& f) {
  std::string text;
  try {
    text = f();
  } catch (const std::exception& e) {
    text = std::string("threw ") + typeid(e).name() + ": " + e.what();
  }
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::_exit(0);
}

// Everything until the end of fd, which is then closed.
inline std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n > 0)
      text.append(buffer, static_cast<std::size_t>(n));
    else if (errno != EINTR)
      break;
  }
  ::close(fd);
  return text;
}

// What f answers (a short text) in a child that the test ends once it holds
// `limit` bytes more than the test did when it started it: "grew past the
// limit" then. Otherwise as InChildWithDataLimit.
template <typename F>
std::string InChildWithResidentLimit(std::size_t limit, F f) {
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  const std::size_t cap = ResidentBytes(::getpid()) + limit;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    AnswerAndExit(out[1], f);
  }
  ::close(out[1]);
  int status = 0;
  bool grew = false;
  const bool ended = WaitPatiently(
      [&] {
        if (::waitpid(child, &status, WNOHANG) == child) return true;
        if (ResidentBytes(child) <= cap) return false;
        grew = true;
        Signal(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return true;
      },
      std::chrono::milliseconds(1));
  if (!ended) {
    Signal(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  std::string text = ReadToEnd(out[0]);
  if (grew) return text + "grew past the limit";
  if (!ended) return text + "did not end";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "ended: " + std::to_string(status);
  return text;
}

// What f answers in a child that may add `limit` bytes of data; "threw
// <type>: <text>" when f throws, "ended: <status>" when the child dies.
template <typename F>
std::string InChildWithDataLimit(std::size_t limit, F f) {
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    const rlim_t cap = StatusBytes("VmData") + limit;
    const rlimit data{cap, cap};
    auto limited = [&]() -> std::string { return ::setrlimit(RLIMIT_DATA, &data) != 0 ? "no limit" : f(); };
    AnswerAndExit(out[1], limited);
  }
  ::close(out[1]);
  std::string text = ReadToEnd(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "ended: " + std::to_string(status);
  return text;
}

}  // namespace vt::test
