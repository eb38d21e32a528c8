// The bytes a memory stream holds, as a string.
#pragma once

#include <cstddef>
#include <string>

#include "common/Classes.h"

namespace vt::test {

inline std::string Bytes(TCustomMemoryStream& s) {
  return std::string(static_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

}  // namespace vt::test
