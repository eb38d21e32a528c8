// Packet classes of the framework tests: one of every field kind.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "common/Packets.h"

namespace vt::test {

class TSmallPacket : public TPacket {
  VT_PACKET_CLASS(TSmallPacket, TPacket)
 public:
  std::int32_t Value{};
  std::string Text;
};
using TSmallPacketList = TPacketList<TSmallPacket>;

// The same wire identity with one field more: a newer writer.
class TSmallPacketV2 : public TPacket {
  VT_PACKET_CLASS(TSmallPacketV2, TPacket)
 public:
  std::int32_t Value{};
  std::string Text;
  std::int32_t Extra{};
};

// Another class, derived from TCommPacket.
class TOtherPacket : public TCommPacket {
  VT_PACKET_CLASS(TOtherPacket, TCommPacket)
 public:
  ByteBool Flag;
};

// Holds itself optionally: nesting of any depth.
class TChainPacket : public TPacket {
  VT_PACKET_CLASS(TChainPacket, TPacket)
 public:
  TOptionalPacket<TChainPacket> Next;
  VT_OPTIONAL_MEMBER(TChainPacket, Next)
};

enum class TColour : std::uint8_t { Red, Green, Blue };

struct TRecord {
  std::uint32_t A;
  std::uint16_t B;
  std::uint16_t C;
};

class TAllKindsPacket : public TPacket {
  VT_PACKET_CLASS(TAllKindsPacket, TPacket)
 public:
  std::int8_t I8{};
  std::uint8_t U8{};
  std::int16_t I16{};
  std::uint16_t U16{};
  std::int32_t I32{};
  std::int32_t Compact{};
  std::uint32_t U32{};
  std::int64_t I64{};
  std::uint64_t U64{};
  ByteBool Bool;
  double Dbl{};
  TGUID Guid{};
  TColour Colour{};
  std::array<std::uint8_t, 3> Set{};
  TRecord Record{};
  std::uint32_t Handle{};
  std::string Str;
  std::u16string WStr;
  TStringListEx Lines;
  TVirtualStream Data;
  TSmallPacket Nested;
  TOptionalPacket<TSmallPacket> Maybe;
  TSmallPacketList Items;
  TAnyPacket Any;
  TIntegerList Ints;
  TChunkedDataContainer Chunks;
  TCardinalList Cardinals;

  VT_OPTIONAL_MEMBER(TSmallPacket, Maybe)
};

// A custom field declared without its operations.
class TNoOpsPacket : public TPacket {
  VT_PACKET_CLASS(TNoOpsPacket, TPacket)
 public:
  std::uint32_t Handle{};
};

// A class whose objects cannot be made while Refuse is set, as when memory
// runs out.
class TRefusedPacket : public TPacket {
  VT_PACKET_CLASS(TRefusedPacket, TPacket)
 public:
  inline static bool Refuse = false;
  struct TGuard {
    TGuard() {
      if (Refuse) throw std::bad_alloc();
    }
  } Guard;
  std::int32_t Value{};
};

// Registers the test classes once (after the packets unit).
void RegisterTestPackets();

// Fills every field of P with distinctive values.
void FillAllKinds(TAllKindsPacket& p);

}  // namespace vt::test
