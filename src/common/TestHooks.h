// Test hooks of the common library. Only tests include this header; each
// hook is defined beside the state it sets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vt {

class CommonTestHelper {
 public:
  // Length of one deadlock-warning slice (20000 ms unless changed).
  static void SetDeadlockSliceMs(std::uint32_t ms);
  // Pairs in the status-name table.
  static std::size_t StatusNameCount();
  // Called by a thread suspending itself after its flag is up and before it
  // stops (null: nothing).
  static void SetSelfSuspendPause(void (*pause)());
  // Threads started so far to go on with packet walks (compare, assign,
  // dump) that the calling thread's stack could not hold.
  static int WalkHelpersStarted();
};

}  // namespace vt
