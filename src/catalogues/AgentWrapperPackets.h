// Status of an agent's compiler wrappers.
#pragma once

#include <cstdint>
#include <string>

#include "common/Packets.h"

namespace vt {

// One wrapped compiler: the compiler and wrapper files with their
// last-write times and sizes.
class TWrapperStatusItemPacket : public TPacket {
  VT_PACKET_CLASS(TWrapperStatusItemPacket, TPacket)
 public:
  std::int32_t ProductVersion{};
  std::string CompilerPath;
  std::int64_t CompilerLastWriteTime{};
  std::uint32_t CompilerSize{};
  std::string WrapperPath;
  std::int64_t WrapperLastWriteTime{};
  std::uint32_t WrapperSize{};
};
using TWrapperStatusItemPacketList = TPacketList<TWrapperStatusItemPacket>;

class TWrapperStatusPacket : public TPacket {
  VT_PACKET_CLASS(TWrapperStatusPacket, TPacket)
 public:
  TWrapperStatusItemPacketList Items;
};

// Registers the item class, then the status class.
void RegisterWrapperPackets();

extern const UnitEntry kAgentWrapperPacketsUnit;

}  // namespace vt
