// Linked into every test program: the tests never draw on the display of
// whoever runs them. Those that need one start their own and name it.
#include <stdlib.h>

#include "platform/X11Display.h"

namespace {
[[maybe_unused]] const bool kNoDisplay = (::unsetenv("DISPLAY"), vt::os::display::UseDisplayForTest(""), true);
}  // namespace

// Fontconfig keeps some of what a font look-up allocates for the life of the
// process; leak checking leaves the library's own allocations alone.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
