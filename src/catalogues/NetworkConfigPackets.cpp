#include "catalogues/NetworkConfigPackets.h"

namespace vt {

VT_PACKET_FIELDS(TNetworkConnectionInfoPacket) = {
    VT_FIELD(SpeedBitsPerSec, pftInteger, Raw(8)),
    VT_FIELD(IP, pftInteger, Raw(4)),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Description, pftString, String),
    VT_FIELD(PhysicalAddress, pftString, String),
};
VT_DEFINE_PACKET(TNetworkConnectionInfoPacket, "{744E97F7-7BD0-4D89-B5BE-708F31869BF2}")

void RegisterNetworkConfigPackets() { RegisterPacketClass(TNetworkConnectionInfoPacket::Class); }

namespace {
int g_init_count = 0;
void InitializeNetworkConfigPackets() {
  if (g_init_count++ == 0) RegisterNetworkConfigPackets();
}
void FinalizeNetworkConfigPackets() { --g_init_count; }
}  // namespace

const UnitEntry kNetworkConfigPacketsUnit{"NetworkConfigPackets", &InitializeNetworkConfigPackets,
                                          &FinalizeNetworkConfigPackets};

}  // namespace vt
