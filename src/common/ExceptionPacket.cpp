#include "common/ExceptionPacket.h"

namespace vt {

VT_PACKET_FIELDS(TCommExceptionPacket) = {
    VT_FIELD(ExceptionMessage, pftString, String),
    VT_FIELD(ExceptionClass, pftString, String),
    VT_FIELD(ExceptionMethodName, pftString, String),
};
VT_DEFINE_PACKET(TCommExceptionPacket, "{147D1111-3535-4E71-9695-E35D6011ECDE}")

void RegisterExceptionPacket() { RegisterPacketClass(TCommExceptionPacket::Class); }

namespace {
int g_init_count = 0;
void InitializeExceptionPacket() {
  if (g_init_count++ == 0) RegisterExceptionPacket();
}
void FinalizeExceptionPacket() { --g_init_count; }
}  // namespace

const UnitEntry kExceptionPacketUnit{"ExceptionPacket", &InitializeExceptionPacket, &FinalizeExceptionPacket};

}  // namespace vt
