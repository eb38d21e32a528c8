// PDB forwarding: the context a forwarded process receives and one message
// per forwarded call of the compiler's PDB writer.
#pragma once

#include <cstdint>
#include <string>

#include "common/Packets.h"

namespace vt {

// One PDB file known to the forwarder.
class TPdbForwarderFileContextPacket : public TPacket {
  VT_PACKET_CLASS(TPdbForwarderFileContextPacket, TPacket)
 public:
  std::string Filename;
  TGUID FileGuid{};
  std::int32_t FileRevision{};
};
using TPdbForwarderFileContextPacketList = TPacketList<TPdbForwarderFileContextPacket>;

// Forwarding protocol version, carried as its one-byte ordinal.
enum class TPdbForwarderProtocolVersion : std::uint8_t {};

// The forwarding context of a process.
class TPdbForwarderContextPacket : public TPacket {
  VT_PACKET_CLASS(TPdbForwarderContextPacket, TPacket)
 public:
  TPdbForwarderFileContextPacketList Files;
  TGUID ActionStreamID{};
  TPdbForwarderProtocolVersion ProtocolVersion{};
  std::string StringBindingPrefix;
};

class TPdbQuerySymbolPacket : public TPacket {
  VT_PACKET_CLASS(TPdbQuerySymbolPacket, TPacket)
 public:
  std::int32_t ID{};
  std::string Data;  // bytes
};

class TPdbOpenInputFilePacket : public TPacket {
  VT_PACKET_CLASS(TPdbOpenInputFilePacket, TPacket)
 public:
  std::int32_t InputFileID{};
  std::u16string SourceFilename;
  std::u16string ObjectFilename;
};

class TPdbSelectInputFilePacket : public TPacket {
  VT_PACKET_CLASS(TPdbSelectInputFilePacket, TPacket)
 public:
  std::int32_t InputFileID{};
};

class TPdbBeginInputHeaderPacket : public TPacket {
  VT_PACKET_CLASS(TPdbBeginInputHeaderPacket, TPacket)
 public:
  std::int32_t InputFileID{};
  std::u16string Filename;
};

class TPdbWritePchInfoPacket : public TPacket {
  VT_PACKET_CLASS(TPdbWritePchInfoPacket, TPacket)
 public:
  std::string BinaryData;  // bytes
};

class TPdbIntroPchPacket : public TPacket {
  VT_PACKET_CLASS(TPdbIntroPchPacket, TPacket)
 public:
  std::int32_t InputFileID{};
  std::u16string StrParam;
  std::u16string PchFilename;
};

class TPdbCloseInputFilePacket : public TPacket {
  VT_PACKET_CLASS(TPdbCloseInputFilePacket, TPacket)
 public:
  std::int32_t InputFileID{};
  std::int32_t IntParam{};
};

class TPdbInputFileActionAPacket : public TPacket {
  VT_PACKET_CLASS(TPdbInputFileActionAPacket, TPacket)
 public:
  std::int32_t InputFileID{};
  std::int32_t IntParam{};
};

// Registers the unit's classes, in declaration order.
void RegisterPdbForwarderPackets();

// The unit: its initialization registers the classes.
extern const UnitEntry kPdbForwarderPacketsUnit;

}  // namespace vt
