#include "catalogues/GridGraphPackets.h"

namespace vt {

VT_PACKET_FIELDS(TGraphDefPacket) = {
    VT_FIELD(DisplayName, 1, String),
    VT_FIELD(Description, 1, String),
    VT_FIELD(Units, 1, String),
    VT_FIELD(DivideBy, 2, Raw(4)),
    VT_FIELD(DefaultScale, 2, Raw(4)),
    VT_FIELD(Color, 0, Sized(1)),
    VT_FIELD(Flags, 0, Sized(1)),
};
VT_DEFINE_PACKET(TGraphDefPacket, "{7818CC3F-04D2-4DA8-A00D-4BD7916AD414}")

VT_PACKET_FIELDS(TGraphSetDefPacket) = {
    VT_FIELD(SetID, 2, Raw(4)),
    VT_FIELD(DisplayName, 1, String),
    VT_FIELD(Graphs, 5, PacketList),
    VT_FIELD(Flags, 0, Sized(1)),
};
VT_DEFINE_PACKET(TGraphSetDefPacket, "{AB4749D3-69EA-4EB1-B96E-20BACE20CFF4}")

VT_PACKET_FIELDS(TGraphSamplePacket) = {
    VT_FIELD(SetID, 2, Raw(4)),
    VT_FIELD(Values, 5, IntList),
};
VT_DEFINE_PACKET(TGraphSamplePacket, "{F161EDA3-3C2E-47C2-936F-7F1C930F1103}")

void RegisterGraphPackets() {
  RegisterPacketClass(TGraphDefPacket::Class);
  RegisterPacketClass(TGraphSetDefPacket::Class);
  RegisterPacketClass(TGraphSamplePacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeGridGraphPackets() {
  if (g_init_count++ == 0) RegisterGraphPackets();
}
void FinalizeGridGraphPackets() { --g_init_count; }
}  // namespace

const UnitEntry kGridGraphPacketsUnit{"GridGraphPackets", &InitializeGridGraphPackets, &FinalizeGridGraphPackets};

}  // namespace vt
