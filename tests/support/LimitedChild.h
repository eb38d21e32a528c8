// Runs a piece of a test in a forked child whose writable private memory
// may grow only a little (RLIMIT_DATA): a fault that would take gigabytes
// fails there instead of taking them from the machine.
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

namespace vt::test {

// A field of /proc/self/status in bytes ("VmData", "VmSize"), or 0.
inline std::size_t StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1)) * 1024;
  return 0;
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
    std::string text;
    const rlim_t cap = StatusBytes("VmData") + limit;
    const rlimit data{cap, cap};
    if (::setrlimit(RLIMIT_DATA, &data) != 0) {
      text = "no limit";
    } else {
      try {
        text = f();
      } catch (const std::exception& e) {
        text = std::string("threw ") + typeid(e).name() + ": " + e.what();
      }
    }
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(out[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "ended: " + std::to_string(status);
  return text;
}

}  // namespace vt::test
