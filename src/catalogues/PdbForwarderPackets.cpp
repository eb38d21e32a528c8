#include "catalogues/PdbForwarderPackets.h"

namespace vt {

VT_PACKET_FIELDS(TPdbForwarderFileContextPacket) = {
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(FileGuid, pftOther, Raw(16)),
    VT_FIELD(FileRevision, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TPdbForwarderFileContextPacket, "{917380AD-0818-4D2F-8AB3-2FD2DC322566}")

VT_PACKET_FIELDS(TPdbForwarderContextPacket) = {
    VT_FIELD(Files, pftObject, PacketList),
    VT_FIELD(ActionStreamID, pftOther, Raw(16)),
    VT_FIELD(ProtocolVersion, pftOther, Sized(1)),
    VT_FIELD(StringBindingPrefix, pftString, String),
};
VT_DEFINE_PACKET(TPdbForwarderContextPacket, "{5722E016-CDD3-4A10-9F56-987989688EC5}")

VT_PACKET_FIELDS(TPdbQuerySymbolPacket) = {
    VT_FIELD(ID, pftInteger, Raw(4)),
    VT_FIELD(Data, pftString, String),
};
VT_DEFINE_PACKET(TPdbQuerySymbolPacket, "{E49129AB-900E-4EFA-9117-2D919885B642}")

VT_PACKET_FIELDS(TPdbOpenInputFilePacket) = {
    VT_FIELD(InputFileID, pftInteger, Raw(4)),
    VT_FIELD(SourceFilename, pftString, Wide),
    VT_FIELD(ObjectFilename, pftString, Wide),
};
VT_DEFINE_PACKET(TPdbOpenInputFilePacket, "{EF8755F2-743D-491E-9CBB-65F1E814233E}")

VT_PACKET_FIELDS(TPdbSelectInputFilePacket) = {
    VT_FIELD(InputFileID, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TPdbSelectInputFilePacket, "{9AD2BD7E-4127-4540-BE0E-D0823B01637E}")

VT_PACKET_FIELDS(TPdbBeginInputHeaderPacket) = {
    VT_FIELD(InputFileID, pftInteger, Raw(4)),
    VT_FIELD(Filename, pftString, Wide),
};
VT_DEFINE_PACKET(TPdbBeginInputHeaderPacket, "{F20660BA-2840-4A6D-8AFB-C5AC679EBC5F}")

VT_PACKET_FIELDS(TPdbWritePchInfoPacket) = {
    VT_FIELD(BinaryData, pftString, String),
};
VT_DEFINE_PACKET(TPdbWritePchInfoPacket, "{3724745F-1EEC-4D6D-BE9A-4D226007D778}")

VT_PACKET_FIELDS(TPdbIntroPchPacket) = {
    VT_FIELD(InputFileID, pftInteger, Raw(4)),
    VT_FIELD(StrParam, pftString, Wide),
    VT_FIELD(PchFilename, pftString, Wide),
};
VT_DEFINE_PACKET(TPdbIntroPchPacket, "{3B4AAF6B-0E89-49E4-8A15-0A2F09ED7105}")

VT_PACKET_FIELDS(TPdbCloseInputFilePacket) = {
    VT_FIELD(InputFileID, pftInteger, Raw(4)),
    VT_FIELD(IntParam, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TPdbCloseInputFilePacket, "{723D3066-6532-4324-8453-484D535F8AC0}")

VT_PACKET_FIELDS(TPdbInputFileActionAPacket) = {
    VT_FIELD(InputFileID, pftInteger, Raw(4)),
    VT_FIELD(IntParam, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TPdbInputFileActionAPacket, "{E16974D9-1122-4D51-BA9F-DB3973C14DDF}")

void RegisterPdbForwarderPackets() {
  RegisterPacketClass(TPdbForwarderFileContextPacket::Class);
  RegisterPacketClass(TPdbForwarderContextPacket::Class);
  RegisterPacketClass(TPdbQuerySymbolPacket::Class);
  RegisterPacketClass(TPdbOpenInputFilePacket::Class);
  RegisterPacketClass(TPdbSelectInputFilePacket::Class);
  RegisterPacketClass(TPdbBeginInputHeaderPacket::Class);
  RegisterPacketClass(TPdbWritePchInfoPacket::Class);
  RegisterPacketClass(TPdbIntroPchPacket::Class);
  RegisterPacketClass(TPdbCloseInputFilePacket::Class);
  RegisterPacketClass(TPdbInputFileActionAPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializePdbForwarderPackets() {
  if (g_init_count++ == 0) RegisterPdbForwarderPackets();
}
void FinalizePdbForwarderPackets() { --g_init_count; }
}  // namespace

const UnitEntry kPdbForwarderPacketsUnit{"PdbForwarderPackets", &InitializePdbForwarderPackets,
                                         &FinalizePdbForwarderPackets};

}  // namespace vt
