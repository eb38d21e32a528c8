// The code of the system exception that a call raises.
#pragma once

#include <cstdint>

#include "common/ExceptionHooks.h"

namespace vt::test {

// 0 when f raises nothing or no EExternalException.
template <typename F>
std::uint32_t ExternalCodeOf(F&& f) {
  try {
    f();
  } catch (const EExternalException& e) {
    return e.Record.ExceptionCode;
  } catch (...) {
  }
  return 0;
}

}  // namespace vt::test
