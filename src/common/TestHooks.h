// Test hooks of the common library. Only tests include this header; each
// hook is defined beside the state it sets.
#pragma once

#include <cstdint>

namespace vt {

class CommonTestHelper {
 public:
  // Length of one deadlock-warning slice (20000 ms unless changed).
  static void SetDeadlockSliceMs(std::uint32_t ms);
};

}  // namespace vt
