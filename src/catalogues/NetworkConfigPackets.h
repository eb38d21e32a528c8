// Network connection of an agent machine.
#pragma once

#include <cstdint>
#include <string>

#include "common/Packets.h"

namespace vt {

// One network adapter: link speed, IPv4 address, names, hardware address.
class TNetworkConnectionInfoPacket : public TPacket {
  VT_PACKET_CLASS(TNetworkConnectionInfoPacket, TPacket)
 public:
  std::int64_t SpeedBitsPerSec{};
  std::uint32_t IP{};
  std::string Name;
  std::string Description;
  std::string PhysicalAddress;
};

// Registers the unit's class.
void RegisterNetworkConfigPackets();

// The unit: its initialization registers the class.
extern const UnitEntry kNetworkConfigPacketsUnit;

}  // namespace vt
