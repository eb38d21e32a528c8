// The in-page error that a read of a mapped file cut short raises.
#pragma once

#include <cstdint>

#include "common/ExceptionHooks.h"

namespace vt::test {

// The exception code of the EExternalException that f raises; 0 when it
// raises nothing or something else.
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
