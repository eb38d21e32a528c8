#include "catalogues/CatalogueUnits.h"

#include "catalogues/AgentWrapperPackets.h"
#include "catalogues/BuildCacheProfilePackets.h"
#include "catalogues/BuildPackets.h"
#include "catalogues/CommRarSupportPackets.h"
#include "catalogues/CoordServicePackets.h"
#include "catalogues/CoordTypes.h"
#include "catalogues/GridGraphPackets.h"
#include "catalogues/GridProfileXmlPackets.h"
#include "catalogues/GridServicePackets.h"
#include "catalogues/MonitorPackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/PdbForwarderPackets.h"
#include "catalogues/ReportAgentPacket.h"
#include "catalogues/VEPackets.h"

namespace vt {

namespace {
// The last two entries are the profile documents.
constexpr std::size_t kProfileDocumentUnits = 2;
}  // namespace

std::span<const UnitEntry> CatalogueUnits() {
  // Built on first use, from the units' constant entries.
  static const UnitEntry units[] = {
      kNetworkConfigPacketsUnit,
      kPdbForwarderPacketsUnit,
      kVEPacketsUnit,
      kBuildPacketsUnit,
      kReportAgentPacketUnit,
      kGridServicePacketsUnit,
      kCommRarSupportPacketsUnit,
      kCoordServicePacketsUnit,
      kCoordTypesUnit,
      kCoordNameSuffixesUnit,
      kGridGraphPacketsUnit,
      kMonitorPacketsUnit,
      kAgentWrapperPacketsUnit,
      kBuildCacheProfilePacketsUnit,
      kGridProfileXmlPacketsUnit,
  };
  return units;
}

std::span<const UnitEntry> MessageCatalogueUnits() {
  return CatalogueUnits().first(CatalogueUnits().size() - kProfileDocumentUnits);
}

std::span<const UnitEntry> ProfileDocumentUnits() {
  return CatalogueUnits().last(kProfileDocumentUnits);
}

}  // namespace vt
