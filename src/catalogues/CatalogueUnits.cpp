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

std::span<const UnitEntry> CatalogueUnits() {
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

}  // namespace vt
