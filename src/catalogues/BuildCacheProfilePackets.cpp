#include "catalogues/BuildCacheProfilePackets.h"

namespace vt {

VT_PACKET_FIELDS(TBuildCacheToolChildExclude) = {
    VT_FIELD(ProcName, pftString, String),
};
VT_DEFINE_PACKET(TBuildCacheToolChildExclude, "{0D71E0F3-1A17-44C9-BC5B-CFEB3A3DFF7D}")

VT_PACKET_FIELDS(TBuildCacheTool) = {
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(AllowBuildCache, pftBoolean, Raw(1)),
    VT_FIELD(IncludeBinaryDependencies, pftBoolean, Raw(1)),
    VT_FIELD(ChildProcesses, pftObject, PacketList).WithItemName("Exclude"),
};
VT_DEFINE_PACKET(TBuildCacheTool, "{06A1E0F3-1A17-44C9-BC5B-CFEB0F3DFF7D}")

VT_PACKET_FIELDS(TBuildCacheProfileDocument) = {
    VT_FIELD(FormatVersion, pftInteger, Raw(4)),
    VT_FIELD(Tools, pftObject, PacketList).WithItemName("Tool"),
};
VT_DEFINE_PACKET(TBuildCacheProfileDocument, "{B1825CF7-879E-4E7B-83DC-7D3B8F53E7F5}")

void RegisterBuildCacheProfilePackets() {
  RegisterPacketClass(TBuildCacheToolChildExclude::Class);
  RegisterPacketClass(TBuildCacheTool::Class);
  RegisterPacketClass(TBuildCacheProfileDocument::Class);
}

namespace {
int g_init_count = 0;
void InitializeBuildCacheProfilePackets() {
  if (g_init_count++ == 0) RegisterBuildCacheProfilePackets();
}
void FinalizeBuildCacheProfilePackets() { --g_init_count; }
}  // namespace

const UnitEntry kBuildCacheProfilePacketsUnit{"BuildCacheProfilePackets", &InitializeBuildCacheProfilePackets,
                                              &FinalizeBuildCacheProfilePackets};

}  // namespace vt
