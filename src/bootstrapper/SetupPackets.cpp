#include "bootstrapper/SetupPackets.h"

#include "common/FileStreams.h"
#include "common/Objects.h"

namespace vt {

VT_PACKET_FIELDS(TSetupEventPacket) = {
    VT_FIELD(Event, pftOther, Sized(1)),
    VT_FIELD(Text, pftString, String),
    VT_FIELD(ProgressPercent, pftInteger, Raw(1)),
    VT_FIELD(EnableRetry, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TSetupEventPacket, "{188A9F7C-4ABC-4E00-8D05-111506A43D23}")

VT_PACKET_FIELDS(TSetupFilePacket) = {
    VT_FIELD(Components, pftOther, Sized(1)),
    VT_FIELD(Flags, pftOther, Sized(1)),
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(Description, pftString, String),
    VT_FIELD(Content, pftObject, Stream),
};
VT_DEFINE_PACKET(TSetupFilePacket, "{E0AF1EF7-1461-4FE5-AD1C-D99A2A595AAB}")

VT_PACKET_FIELDS(TSetupPacket) = {
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(SetupDateTime, pftDouble, Raw(8)),
    VT_FIELD(LicenseAgreement, pftString, String),
    VT_FIELD(SetupHelpHtml, pftString, String),
    VT_FIELD(Files, pftObject, PacketList),
    VT_FIELD(ProductCaption, pftString, String).WithDefault("Vontaro"),
    VT_FIELD(GridServiceID, pftOther, Raw(16)),
    VT_FIELD(CoordinatorServiceID, pftOther, Raw(16)),
    VT_FIELD(ChmHelpFile, pftString, String),
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
  try {
    // The files' contents become parts of one view of the package, not
    // copies: memory stays flat however large the setup.
    TMappedFileStream file(file_name, fmOpenRead | fmShareDenyWrite, (options & pioRetryOpen) ? 4 : 0, 0);
    file.SetLendBytes(true);
    LoadPacketInto(*packet, file, nullptr, options);
  } catch (...) {
    ReraiseWithContext("Failed to load packet %s from file %s", {packet->ClassName(), file_name});
  }
  return packet;
}

void RegisterSetupPackets() {
  RegisterPacketClass(TSetupEventPacket::Class);
  RegisterPacketClass(TSetupFilePacket::Class);
  RegisterPacketClass(TSetupPacket::Class);
}

const UnitEntry kSetupPacketsUnit{"SetupPackets", &RegisterSetupPackets, nullptr};

}  // namespace vt
