// An exception carried across a packet channel: its message, class name and
// the method that raised it.
#pragma once

#include <string>

#include "common/Packets.h"

namespace vt {

class TCommExceptionPacket : public TPacket {
  VT_PACKET_CLASS(TCommExceptionPacket, TPacket)
 public:
  std::string ExceptionMessage;
  std::string ExceptionClass;
  std::string ExceptionMethodName;
};

void RegisterExceptionPacket();

// Registers TCommExceptionPacket once.
extern const UnitEntry kExceptionPacketUnit;

}  // namespace vt
