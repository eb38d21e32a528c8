#include "platform/SystemLog.h"

#include <syslog.h>

#include <atomic>

namespace vt::os {

namespace {
std::atomic<testing::SystemLogHook> g_hook{nullptr};
}

void WriteSystemLog(DWORD kind, const std::string& text) {
  if (auto hook = g_hook.load()) {
    hook(kind, text);
    return;
  }
  int priority = kind == kEventError ? LOG_ERR : kind == kEventWarning ? LOG_WARNING : LOG_INFO;
  ::syslog(LOG_USER | priority, "%s", text.c_str());
}

namespace testing {
void SetSystemLogHook(SystemLogHook hook) { g_hook.store(hook); }
}  // namespace testing

}  // namespace vt::os
