// The 16-byte class and interface identity.
#pragma once

#include <cstdint>

namespace vt {

struct TGUID {
  std::uint32_t D1;
  std::uint16_t D2, D3;
  std::uint8_t D4[8];
};
static_assert(sizeof(TGUID) == 16);

}  // namespace vt
