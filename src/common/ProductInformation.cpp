#include "common/ProductInformation.h"

#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "platform/ModuleNames.h"

namespace vt {

VT_PACKET_FIELDS(TProductInformationPacket) = {
    VT_FIELD(VontaroProductMode, pftOther, Sized(1)),
    VT_FIELD(ExecutionMode, pftOther, Sized(1)),
    VT_FIELD(SetupExecutionMode, pftOther, Sized(1)),
    VT_FIELD(ProductCaption, pftString, String).WithDefault("Vontaro"),
    VT_FIELD(GridServiceID, pftOther, Raw(16)),
    VT_FIELD(CoordinatorServiceID, pftOther, Raw(16)),
    VT_FIELD(DefaultPortCoordinatorService, pftInteger, Raw(4)),
    VT_FIELD(DefaultPortAgentService, pftInteger, Raw(4)),
    VT_FIELD(DefaultPortAgentHelper, pftInteger, Raw(4)),
    VT_FIELD(VsAddIn, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(VisualStudioBuilds, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(VisualStudioAddIn, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(SetupHelpHtml, pftString, String),
    VT_FIELD(ChmHelpFile, pftString, String),
};
VT_DEFINE_PACKET(TProductInformationPacket, "{250B5A66-4EF1-432A-9949-3CB94F9F5AA1}")

namespace {
std::unique_ptr<TProductInfoLoader> g_product_info;
bool g_file_loaded = false;
}  // namespace

TProductInfoLoader::TProductInfoLoader(const std::string& file_name) : FileName(file_name) {
  ModulePath = os::GetModuleFileName(nullptr);
  // The program's own path is native: a backslash in it is part of a name,
  // which the path routines would read as a Windows separator.
  const bool native = !ModulePath.empty() && ModulePath[0] == '/';
  ModuleDir = native ? ModulePath.substr(0, ModulePath.rfind('/') + 1) : ExtractFilePathEx(ModulePath);
  if (FileName.empty()) FileName = native ? ModuleDir + "info.dat" : ExpandPath(ModuleDir, "info.dat");
  Packet = std::make_unique<TProductInformationPacket>();
  if (FileExistsNotDir(FileName)) {
    LoadPacketFromFile(*Packet, FileName, 0);
    g_file_loaded = true;
  }
  ProductCaption = Packet->ProductCaption;
  CaptionIsDefault = SameTextAscii(ProductCaption, "Vontaro");
  VisualStudioBuilds = Packet->VisualStudioBuilds;
  VisualStudioAddIn = Packet->VisualStudioAddIn;
}

TProductInfoLoader& GetProductInfo(const std::string& path) {
  if (g_product_info && g_file_loaded) return *g_product_info;
  g_product_info.reset();
  g_product_info = std::make_unique<TProductInfoLoader>(path);
  return *g_product_info;
}

bool ProductInfoFileLoaded() { return g_file_loaded; }

void testing::ResetProductInfo() {
  g_product_info.reset();
  g_file_loaded = false;
}

void RegisterProductInformationPackets() { RegisterPacketClass(TProductInformationPacket::Class); }

const UnitEntry kProductInformationUnit{"ProductInformation", &RegisterProductInformationPackets,
                                        [] { g_product_info.reset(); }};

}  // namespace vt
