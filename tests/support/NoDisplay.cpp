// Linked into every test program: the tests never draw on the display of
// whoever runs them. Those that need one start their own and name it.
#include <stdlib.h>

namespace {
[[maybe_unused]] const bool kNoDisplay = (::unsetenv("DISPLAY"), true);
}  // namespace
