// The system log (syslog), where event records of the program go.
#pragma once

#include <string>

#include "platform/LastError.h"

namespace vt::os {

// Event kinds, as event records carry them.
enum : DWORD {
  kEventError = 1,
  kEventWarning = 2,
  kEventInformation = 4,
};

// One record, tagged with the program's name; the kind picks the priority.
void WriteSystemLog(DWORD kind, const std::string& text);

namespace testing {
// While set, records go to the hook instead of the system log.
using SystemLogHook = void (*)(DWORD kind, const std::string& text);
void SetSystemLogHook(SystemLogHook hook);
}  // namespace testing

}  // namespace vt::os
