// Setup packets: the setup package "Setup.pak" with its file entries, and
// the progress events of a running setup.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Packets.h"
#include "common/StreamUtils.h"

namespace vt {

class TSetupEventPacket : public TPacket {
  VT_PACKET_CLASS(TSetupEventPacket, TPacket)
 public:
  std::uint8_t Event{};
  std::string Text;
  std::int8_t ProgressPercent{};
  ByteBool EnableRetry;
};

class TSetupFilePacket : public TPacket {
  VT_PACKET_CLASS(TSetupFilePacket, TPacket)
 public:
  std::uint8_t Components{};
  std::uint8_t Flags{};
  std::string Filename;
  std::string Description;
  TVirtualStream Content{0};
};

class TSetupFilePacketList : public TPacketList<TSetupFilePacket> {
 public:
  TSetupFilePacket& GetItem(std::int32_t index) const { return Items(index); }
};

class TSetupPacket : public TPacket {
  VT_PACKET_CLASS(TSetupPacket, TPacket)
 public:
  std::int32_t Version{};
  double SetupDateTime{};
  std::string LicenseAgreement;
  std::string SetupHelpHtml;
  TSetupFilePacketList Files;
  std::string ProductCaption;
  TGUID GridServiceID{};
  TGUID CoordinatorServiceID{};
  std::string ChmHelpFile;
};

// Index of the first entry named Name (byte for byte, or ignoring ASCII
// case); -1 when there is none.
std::int32_t IndexOfSetupFile(const TSetupFilePacketList& list, const std::string& name, bool case_sensitive);

// Loads a stand-alone TSetupPacket from a file; bytes after the packet are
// never read.
std::unique_ptr<TSetupPacket> LoadSetupPacketFromFile(const std::string& file_name, std::uint8_t options);

void RegisterSetupPackets();
extern const UnitEntry kSetupPacketsUnit;

}  // namespace vt
