// Graph definitions and samples of the build monitor.
#pragma once

#include <cstdint>
#include <string>

#include "common/Packets.h"

namespace vt {

// One graph: names, units, divisor, default scale, colour and flags.
class TGraphDefPacket : public TPacket {
  VT_PACKET_CLASS(TGraphDefPacket, TPacket)
 public:
  std::string DisplayName;
  std::string Description;
  std::string Units;
  std::int32_t DivideBy{};
  std::int32_t DefaultScale{};
  std::uint8_t Color{};
  std::uint8_t Flags{};
};
using TGraphDefPacketList = TPacketList<TGraphDefPacket>;

// A numbered set of graphs.
class TGraphSetDefPacket : public TPacket {
  VT_PACKET_CLASS(TGraphSetDefPacket, TPacket)
 public:
  std::int32_t SetID{};
  std::string DisplayName;
  TGraphDefPacketList Graphs;
  std::uint8_t Flags{};
};

// One sample of values for the set numbered SetID.
class TGraphSamplePacket : public TPacket {
  VT_PACKET_CLASS(TGraphSamplePacket, TPacket)
 public:
  std::int32_t SetID{};
  TIntegerList Values;
};

// Registers the unit's classes in declaration order (the list is not
// registered).
void RegisterGraphPackets();

extern const UnitEntry kGridGraphPacketsUnit;

}  // namespace vt
