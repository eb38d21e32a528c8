#include "platform/Debugger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vt::os {

bool IsDebuggerPresent() {
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  const char* line = std::strstr(buf, "\nTracerPid:");
  return line && std::atoi(line + std::strlen("\nTracerPid:")) != 0;
}

}  // namespace vt::os
