// Product information: the caption and product-wide settings every program
// reads once from "info.dat" beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Packets.h"

namespace vt {

class TProductInformationPacket : public TPacket {
  VT_PACKET_CLASS(TProductInformationPacket, TPacket)
 public:
  std::uint8_t VontaroProductMode{};
  std::uint8_t ExecutionMode{};
  std::uint8_t SetupExecutionMode{};
  std::string ProductCaption;
  TGUID GridServiceID{};
  TGUID CoordinatorServiceID{};
  std::int32_t DefaultPortCoordinatorService{};
  std::int32_t DefaultPortAgentService{};
  std::int32_t DefaultPortAgentHelper{};
  ByteBool VsAddIn;
  ByteBool VisualStudioBuilds;
  ByteBool VisualStudioAddIn;
  std::string SetupHelpHtml;
  std::string ChmHelpFile;
};

// Loads "info.dat" (or the given file) once; a missing file leaves the
// defaults.
class TProductInfoLoader {
 public:
  explicit TProductInfoLoader(const std::string& file_name);

  std::unique_ptr<TProductInformationPacket> Packet;
  std::string FileName;
  std::string ModulePath;
  std::string ModuleDir;
  std::string ProductCaption;
  bool CaptionIsDefault = true;
  bool VisualStudioBuilds = true;
  bool VisualStudioAddIn = true;
};

// The process-wide loader. Until some loader has found its file, every call
// builds a new loader for Path; after that Path is ignored. When a
// replacement loader fails, no loader is left and the error passes on.
TProductInfoLoader& GetProductInfo(const std::string& path = "");

// True once any loader has loaded a file.
bool ProductInfoFileLoaded();

namespace testing {
// Frees the process-wide loader and clears the "file loaded" flag.
void ResetProductInfo();
}  // namespace testing

void RegisterProductInformationPackets();
extern const UnitEntry kProductInformationUnit;

}  // namespace vt
