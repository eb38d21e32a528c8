// For tests only: replaces entries of the platform layer's system-call table
// (SystemCalls.h) to simulate a sick machine. Change the table only while no
// other thread is inside the platform layer.
#pragma once

#include "platform/SystemCalls.h"

namespace vt::os {

class SystemCallsTestHelper {
 public:
  // The live table; entries may be replaced.
  static SystemCallTable& Table();
  // Puts every entry back to the system's own call.
  static void Reset();
};

}  // namespace vt::os
