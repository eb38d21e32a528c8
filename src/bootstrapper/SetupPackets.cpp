#include "bootstrapper/SetupPackets.h"

#include "common/Objects.h"

namespace vt {

VT_PACKET_FIELDS(TSetupEventPacket) = {
    VT_FIELD(Event, 0, Sized(1)),
    VT_FIELD(Text, 1, String),
    VT_FIELD(ProgressPercent, 2, Raw(1)),
    VT_FIELD(EnableRetry, 3, Raw(1)),
};
VT_DEFINE_PACKET(TSetupEventPacket, "{188A9F7C-4ABC-4E00-8D05-111506A43D23}")

VT_PACKET_FIELDS(TSetupFilePacket) = {
    VT_FIELD(Components, 0, Sized(1)),
    VT_FIELD(Flags, 0, Sized(1)),
    VT_FIELD(Filename, 1, String),
    VT_FIELD(Description, 1, String),
    VT_FIELD(Content, 5, Stream),
};
VT_DEFINE_PACKET(TSetupFilePacket, "{E0AF1EF7-1461-4FE5-AD1C-D99A2A595AAB}")

VT_PACKET_FIELDS(TSetupPacket) = {
    VT_FIELD(Version, 2, Raw(4)),
    VT_FIELD(SetupDateTime, 4, Raw(8)),
    VT_FIELD(LicenseAgreement, 1, String),
    VT_FIELD(SetupHelpHtml, 1, String),
    VT_FIELD(Files, 5, PacketList),
    VT_FIELD(ProductCaption, 1, String).WithDefault("Vontaro"),
    VT_FIELD(GridServiceID, 0, Raw(16)),
    VT_FIELD(CoordinatorServiceID, 0, Raw(16)),
    VT_FIELD(ChmHelpFile, 1, String),
};
VT_DEFINE_PACKET(TSetupPacket, "{367101FD-5156-450A-92A6-E9E2B6619E74}")

std::int32_t IndexOfSetupFile(const TSetupFilePacketList& list, const std::string& name, bool case_sensitive) {
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const std::string& f = list.GetItem(i).Filename;
    if (case_sensitive ? f == name : SameTextAscii(f, name)) return i;
  }
  return -1;
}

std::unique_ptr<TSetupPacket> LoadSetupPacketFromFile(const std::string& file_name, std::uint8_t options) {
  auto packet = std::make_unique<TSetupPacket>();
  LoadPacketFromFile(*packet, file_name, options);
  return packet;
}

void RegisterSetupPackets() {
  RegisterPacketClass(TSetupEventPacket::Class);
  RegisterPacketClass(TSetupFilePacket::Class);
  RegisterPacketClass(TSetupPacket::Class);
}

const UnitEntry kSetupPacketsUnit{"SetupPackets", &RegisterSetupPackets, nullptr};

}  // namespace vt
