#include "platform/FaultExit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace vt::os {

namespace {

// Appends the decimal digits of value at out; returns the end.
char* AppendNumber(char* out, long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 24);
  while (n > 0) *out++ = digits[--n];
  return out;
}

}  // namespace

void SignalChildProcesses(ChildSignal signal) noexcept {
  const int number = signal == ChildSignal::kStop ? SIGSTOP : SIGKILL;
  const int saved = errno;
  // The children of the main thread, whose thread id is the process id.
  char path[64] = "/proc/self/task/";
  char* end = AppendNumber(path + 16, static_cast<long>(::getpid()));
  const char tail[] = "/children";
  for (const char c : tail) *end++ = c;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    static char text[4096];
    ssize_t n;
    do {
      n = ::read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    long pid = 0;
    for (ssize_t i = 0; i <= n; ++i) {
      if (i < n && text[i] >= '0' && text[i] <= '9') {
        pid = pid * 10 + (text[i] - '0');
      } else {
        if (pid > 0) ::kill(static_cast<pid_t>(pid), number);
        pid = 0;
      }
    }
  }
  errno = saved;
}

void WriteAllRaw(int fd, const char* text, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilWritable(fd)) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

bool WaitUntilWritable(int fd) noexcept {
  struct pollfd p {};
  p.fd = fd;
  p.events = POLLOUT;
  for (;;) {
    const int r = ::poll(&p, 1, -1);
    if (r > 0) return (p.revents & POLLNVAL) == 0;
    if (r < 0 && errno != EINTR) return false;
  }
}

void ExitNow(int code) noexcept { ::_exit(code); }

}  // namespace vt::os
