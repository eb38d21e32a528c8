// Whether the process runs under a debugger.
#pragma once

namespace vt::os {

// True when a tracer is attached to the process (its status names one).
bool IsDebuggerPresent();

}  // namespace vt::os
