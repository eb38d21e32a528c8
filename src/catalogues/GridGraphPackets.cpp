#include "catalogues/GridGraphPackets.h"

namespace vt {

VT_PACKET_FIELDS(TGraphDefPacket) = {
    VT_FIELD(DisplayName, pftString, String),
    VT_FIELD(Description, pftString, String),
    VT_FIELD(Units, pftString, String),
    VT_FIELD(DivideBy, pftInteger, Raw(4)),
    VT_FIELD(DefaultScale, pftInteger, Raw(4)),
    VT_FIELD(Color, pftOther, Sized(1)),
    VT_FIELD(Flags, pftOther, Sized(1)),
};
VT_DEFINE_PACKET(TGraphDefPacket, "{7818CC3F-04D2-4DA8-A00D-4BD7916AD414}")

VT_PACKET_FIELDS(TGraphSetDefPacket) = {
    VT_FIELD(SetID, pftInteger, Raw(4)),
    VT_FIELD(DisplayName, pftString, String),
    VT_FIELD(Graphs, pftObject, PacketList),
    VT_FIELD(Flags, pftOther, Sized(1)),
};
VT_DEFINE_PACKET(TGraphSetDefPacket, "{AB4749D3-69EA-4EB1-B96E-20BACE20CFF4}")

VT_PACKET_FIELDS(TGraphSamplePacket) = {
    VT_FIELD(SetID, pftInteger, Raw(4)),
    VT_FIELD(Values, pftObject, IntList),
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
