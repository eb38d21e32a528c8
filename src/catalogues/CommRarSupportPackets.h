// The rar-support message: an opaque block of bytes.
#pragma once

#include "common/Packets.h"
#include "common/StreamUtils.h"

namespace vt {

class TCommRarSupportPacket : public TCommPacket {
  VT_PACKET_CLASS(TCommRarSupportPacket, TCommPacket)
 public:
  TVirtualStream Data{0};
};

// Registers the unit's class.
void RegisterCommRarSupportPackets();

// The unit: its initialization registers the class.
extern const UnitEntry kCommRarSupportPacketsUnit;

}  // namespace vt
