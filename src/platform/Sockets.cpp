#include "platform/Sockets.h"

#include <atomic>

namespace vt::os {

namespace {
std::atomic<int> g_startups{0};
thread_local int t_last_error = 0;
}  // namespace

int WSAStartup(unsigned short version) {
  (void)version;
  ++g_startups;
  return 0;
}

int WSACleanup() {
  int count = g_startups.load();
  while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) return 0;
  t_last_error = kWsaNotInitialised;
  return kSocketError;
}

int WSAGetLastError() { return t_last_error; }

}  // namespace vt::os
