// Handles of the platform layer.
//
// A handle is a pointer-sized integer. File handles are file descriptors;
// kernel objects of this layer (events, mutexes, sections, ...) live in a
// handle table of their own and get values from kHandleTableBase upward, so
// the two never collide. kInvalidHandleValue (-1) is never a valid handle.
#pragma once

#include <cstdint>

namespace vt::os {

using HANDLE = std::intptr_t;
inline constexpr HANDLE kInvalidHandleValue = -1;

}  // namespace vt::os
