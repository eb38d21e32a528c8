#include "catalogues/CommRarSupportPackets.h"

namespace vt {

VT_PACKET_FIELDS(TCommRarSupportPacket) = {VT_FIELD(Data, pftObject, Stream)};
VT_DEFINE_PACKET(TCommRarSupportPacket, "{0BADC9AA-A691-46EA-97E5-158AA50F956A}")

void RegisterCommRarSupportPackets() { RegisterPacketClass(TCommRarSupportPacket::Class); }

namespace {
int g_init_count = 0;
void InitializeCommRarSupportPackets() {
  if (g_init_count++ == 0) RegisterCommRarSupportPackets();
}
void FinalizeCommRarSupportPackets() { --g_init_count; }
}  // namespace

const UnitEntry kCommRarSupportPacketsUnit{"CommRarSupportPackets", &InitializeCommRarSupportPackets,
                                           &FinalizeCommRarSupportPackets};

}  // namespace vt
