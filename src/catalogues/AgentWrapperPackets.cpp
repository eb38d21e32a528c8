#include "catalogues/AgentWrapperPackets.h"

namespace vt {

VT_PACKET_FIELDS(TWrapperStatusItemPacket) = {
    VT_FIELD(ProductVersion, pftInteger, Raw(4)),
    VT_FIELD(CompilerPath, pftString, String),
    VT_FIELD(CompilerLastWriteTime, pftInteger, Raw(8)),
    VT_FIELD(CompilerSize, pftInteger, Raw(4)),
    VT_FIELD(WrapperPath, pftString, String),
    VT_FIELD(WrapperLastWriteTime, pftInteger, Raw(8)),
    VT_FIELD(WrapperSize, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TWrapperStatusItemPacket, "{61A92F45-2142-44C1-819D-34BCE4662CC4}")

VT_PACKET_FIELDS(TWrapperStatusPacket) = {
    VT_FIELD(Items, pftObject, PacketList),
};
VT_DEFINE_PACKET(TWrapperStatusPacket, "{16D64F84-9130-4B22-9EBF-EB3A1D92C71F}")

void RegisterWrapperPackets() {
  RegisterPacketClass(TWrapperStatusItemPacket::Class);
  RegisterPacketClass(TWrapperStatusPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeAgentWrapperPackets() {
  if (g_init_count++ == 0) RegisterWrapperPackets();
}
void FinalizeAgentWrapperPackets() { --g_init_count; }
}  // namespace

const UnitEntry kAgentWrapperPacketsUnit{"AgentWrapperPackets", &InitializeAgentWrapperPackets,
                                         &FinalizeAgentWrapperPackets};

}  // namespace vt
