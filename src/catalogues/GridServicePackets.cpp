#include "catalogues/GridServicePackets.h"

namespace vt {

// ---- Agent control ----------------------------------------------------------

VT_PACKET_FIELDS(TEnableAgentPacket) = {VT_FIELD(Enable, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TEnableAgentPacket, "{31007206-8C9C-43CD-8919-51E033623A0A}")

VT_PACKET_FIELDS(TChangeVersionUpdateStatusPacket) = {VT_FIELD(Status, pftString, String)};
VT_DEFINE_PACKET(TChangeVersionUpdateStatusPacket, "{1D5FDEF1-4BF3-4DBB-B590-83E33ABCBC8F}")

VT_PACKET_FIELDS(TSetForcePortPacket) = {VT_FIELD(Value, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TSetForcePortPacket, "{1AD1E3C9-D0D1-4027-BD9E-EB00D21620F4}")

VT_PACKET_FIELDS(TRequestVersionUpdatePacket) = {VT_FIELD(ReservedForFutureUse, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TRequestVersionUpdatePacket, "{A0846E4E-B6D2-4E8B-8747-A0E6D9A3EC6F}")

VT_PACKET_FIELDS(TRegisterMonitorPacket) = {VT_FIELD(ReservedForFutureUse, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TRegisterMonitorPacket, "{5E04D53C-0103-4B24-8B9D-79AD15C62AF5}")

VT_PACKET_FIELDS(TRequestBuildStatusPacket) = {VT_FIELD(ReservedForFutureUse, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TRequestBuildStatusPacket, "{6D40FB32-DA36-43CE-996B-8E54CCAEE6BF}")

VT_PACKET_FIELDS(TRequestBuildStatusReplayPacket) = {VT_FIELD(Builds, pftObject, PacketList)};
VT_DEFINE_PACKET(TRequestBuildStatusReplayPacket, "{CF73BBDF-39C2-44EB-832A-BAA2EC408988}")

VT_PACKET_FIELDS(TRegisterJobStatusMonitorPacket) = {VT_FIELD(Reserved, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TRegisterJobStatusMonitorPacket, "{DB985284-A569-4ED0-9F73-FF76DD7C4E92}")

VT_PACKET_FIELDS(TOpenFirewallPacket) = {VT_FIELD(CheckOnly, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TOpenFirewallPacket, "{87788B29-7871-4DAF-B155-C9C8E8BF9465}")

VT_PACKET_FIELDS(TOpenFirewallReplyPacket) = {VT_FIELD(CheckPassed, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TOpenFirewallReplyPacket, "{779EAC4D-D7D1-4736-A790-C33BE5F0CB96}")

VT_PACKET_FIELDS(TShowMessageBoxPacket) = {VT_FIELD(MessageText, pftString, String)};
VT_DEFINE_PACKET(TShowMessageBoxPacket, "{FE80506A-297D-42A4-A643-2EE5FDB5C120}")

// ---- Agent report and version update ----------------------------------------

VT_PACKET_FIELDS(TReportAgent_LegacyPacket) = {
    VT_FIELD(Static, pftObject, Packet),
    VT_FIELD(Dynamic, pftObject, Packet),
    VT_FIELD(Standalone, pftBoolean, Raw(1)),
    VT_FIELD(Subscribed, pftBoolean, Raw(1)),
    VT_FIELD(VersionUpdateRequired, pftBoolean, Raw(1)),
    VT_FIELD(AllowDisable, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TReportAgent_LegacyPacket, "{531B30F2-EA9D-415B-B1FF-B7C4EB92DE82}")

VT_PACKET_FIELDS(TReportAgentPacket) = {
    VT_FIELD(Static, pftObject, Packet),
    VT_FIELD(Dynamic, pftObject, Packet),
    VT_FIELD(Standalone, pftBoolean, Raw(1)),
    VT_FIELD(Subscribed, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(VersionUpdateRequired, pftBoolean, Raw(1)),
    VT_FIELD(AllowEnableDisable, pftBoolean, Raw(1)),
    VT_FIELD(StubFor9_4_3_Obsolete, pftBoolean, Raw(1)),
    VT_FIELD(BuildGroup, pftString, String),
};
VT_DEFINE_PACKET(TReportAgentPacket, "{5AE6AA2E-E790-4815-BF77-D4B53DDCF00E}")

VT_PACKET_FIELDS(TRunVersionUpdatePacket) = {
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(Force, pftBoolean, Raw(1)),
    VT_FIELD(Rollback, pftBoolean, Raw(1)),
    VT_FIELD(QuickRollback, pftBoolean, Raw(1)),
    VT_FIELD(InstallerExecutable, pftObject, Stream),
};
VT_DEFINE_PACKET(TRunVersionUpdatePacket, "{26DDE067-8E75-4050-BD56-73442254F228}")

// ---- Job stop and build cancel ----------------------------------------------

VT_PACKET_FIELDS(TStopJobPacket) = {VT_FIELD(JobID, pftOther, Raw(16))};
VT_DEFINE_PACKET(TStopJobPacket, "{7EE3D029-AFA5-4DF1-AC03-5512E6918071}")

VT_PACKET_FIELDS(TBuildCancelPacket) = {
    VT_FIELD(JobID, pftOther, Raw(16)),
    VT_FIELD(StopOnlyPredicted, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TBuildCancelPacket, "{308330BC-1BF7-487D-880F-C06AA6666412}")

VT_PACKET_FIELDS(TBuildCancelReplyPacket) = {VT_FIELD(IsPredicted, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TBuildCancelReplyPacket, "{99014C27-09EF-44C5-9C51-1BEDE659CCC5}")

// ---- Diagnostics ------------------------------------------------------------

VT_PACKET_FIELDS(TReadHelperLogPacket) = {VT_FIELD(LogID, pftOther, Raw(16))};
VT_DEFINE_PACKET(TReadHelperLogPacket, "{A8B76B84-9CF6-4224-9972-D071266A671A}")

VT_PACKET_FIELDS(TTestNetworkPacket) = {
    VT_FIELD(Kind, pftOther, Sized(1)),
    VT_FIELD(BufferSize, pftInteger, Raw(4)),
    VT_FIELD(TimeStamp, pftInteger, Raw(8)),
    VT_FIELD(ResultTime, pftInteger, Raw(8)),
    VT_FIELD(ConnectionInfo, pftObject, OptionalPacket),
};
VT_DEFINE_PACKET(TTestNetworkPacket, "{3FC288CA-88AD-4A31-ACBA-812531526B15}")

VT_PACKET_FIELDS(TReadHelperLogReplyPacket) = {
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(Data, pftObject, Stream),
};
VT_DEFINE_PACKET(TReadHelperLogReplyPacket, "{587A70DB-C13A-4ACA-8988-795BCD01E916}")

VT_PACKET_FIELDS(TReadExceptionLogsPacket) = {VT_FIELD(Filter, pftString, String)};
VT_DEFINE_PACKET(TReadExceptionLogsPacket, "{F19E4C8C-44C6-486D-98E9-700A44CE0210}")

VT_PACKET_FIELDS(TExceptionLogPacket) = {
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(Data, pftObject, Stream),
};
VT_DEFINE_PACKET(TExceptionLogPacket, "{ED5DAA84-E072-46AD-ACAE-6DAAE4502755}")

VT_PACKET_FIELDS(TReadExceptionLogsReplyPacket) = {VT_FIELD(Files, pftObject, PacketList)};
VT_DEFINE_PACKET(TReadExceptionLogsReplyPacket, "{34054AE2-2EE8-4D91-BDB9-BB8B53C46F1D}")

// ---- Agent IP lookup and file-cache clearing --------------------------------

VT_PACKET_FIELDS(TLookupAgentIPPacket) = {VT_FIELD(AgentName, pftString, String)};
VT_DEFINE_PACKET(TLookupAgentIPPacket, "{D5045A43-7248-434B-9D90-957A1CF41B09}")

VT_PACKET_FIELDS(TLookupAgentIPReplyPacket) = {
    VT_FIELD(AgentIP, pftString, String),
    VT_FIELD(AgentPort, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TLookupAgentIPReplyPacket, "{3193455B-BD51-42B1-A55A-8AC10EF7FE58}")

VT_PACKET_FIELDS(TClearFileCachePacket) = {VT_FIELD(Reserved, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TClearFileCachePacket, "{03C56293-D099-4D90-AA93-26C64132F1D7}")

// ---- Registration -----------------------------------------------------------

void RegisterGridServicePackets() {
  RegisterPacketClass(TEnableAgentPacket::Class);
  RegisterPacketClass(TChangeVersionUpdateStatusPacket::Class);
  RegisterPacketClass(TSetForcePortPacket::Class);
  RegisterPacketClass(TRequestVersionUpdatePacket::Class);
  RegisterPacketClass(TRegisterMonitorPacket::Class);
  RegisterPacketClass(TRequestBuildStatusPacket::Class);
  RegisterPacketClass(TRequestBuildStatusReplayPacket::Class);
  RegisterPacketClass(TRegisterJobStatusMonitorPacket::Class);
  RegisterPacketClass(TOpenFirewallPacket::Class);
  RegisterPacketClass(TOpenFirewallReplyPacket::Class);
  RegisterPacketClass(TShowMessageBoxPacket::Class);
  RegisterPacketClass(TReportAgent_LegacyPacket::Class);
  RegisterPacketClass(TReportAgentPacket::Class);
  RegisterPacketClass(TRunVersionUpdatePacket::Class);
  RegisterPacketClass(TStopJobPacket::Class);
  RegisterPacketClass(TBuildCancelPacket::Class);
  RegisterPacketClass(TBuildCancelReplyPacket::Class);
  RegisterPacketClass(TReadHelperLogPacket::Class);
  RegisterPacketClass(TTestNetworkPacket::Class);
  RegisterPacketClass(TReadHelperLogReplyPacket::Class);
  RegisterPacketClass(TReadExceptionLogsPacket::Class);
  RegisterPacketClass(TExceptionLogPacket::Class);
  RegisterPacketClass(TReadExceptionLogsReplyPacket::Class);
  RegisterPacketClass(TLookupAgentIPPacket::Class);
  RegisterPacketClass(TLookupAgentIPReplyPacket::Class);
  RegisterPacketClass(TClearFileCachePacket::Class);
  RegisterPacketClass(TStartJobRequestPacket::Class);
  RegisterPacketClass(TStartJobRequestReplyPacket::Class);
  RegisterPacketClass(TQueryActiveJobsPacket::Class);
  RegisterPacketClass(TActiveJobBasicInfoPacket::Class);
  RegisterPacketClass(TQueryActiveJobsReplyPacket::Class);
  RegisterPacketClass(TQueryServiceStatusPacket::Class);
  RegisterPacketClass(TQueryServiceStatusReplyPacket::Class);
  RegisterPacketClass(TAddJobToHistoryPacket::Class);
  RegisterPacketClass(TJobStartedPacket::Class);
  RegisterPacketClass(TJobStartedReplyPacket::Class);
  RegisterPacketClass(TJobEndedPacket::Class);
  RegisterPacketClass(TGetCacheServicePacket::Class);
  RegisterPacketClass(TGetCacheServiceReplyPacket::Class);
  RegisterPacketClass(TEmployHelpersPacket::Class);
  RegisterPacketClass(TEmployHelpersExPacket::Class);
  RegisterPacketClass(TReportHelperPacket::Class);
  RegisterPacketClass(TDisableHelperPacket::Class);
  RegisterPacketClass(TQueryJobHistoryPacket::Class);
  RegisterPacketClass(TJobHistoryEntryPacket::Class);
  RegisterPacketClass(TQueryJobHistoryReplyPacket::Class);
  RegisterPacketClass(TClearJobHistoryPacket::Class);
  RegisterPacketClass(TSetJobMaxLocalCoresPacket::Class);
  RegisterPacketClass(TBuildFinishedPacket::Class);
  RegisterPacketClass(TCoordBuildActivityInfo::Class);
  RegisterPacketClass(TSetAgentRegistryPacket::Class);
  RegisterPacketClass(TTrayCoordMonitorPacket::Class);
  RegisterPacketClass(TTrayCoordMonitorReplyPacket::Class);
  RegisterPacketClass(TCreateUserPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeGridServicePackets() {
  if (g_init_count++ == 0) RegisterGridServicePackets();
}
void FinalizeGridServicePackets() { --g_init_count; }
}  // namespace

const UnitEntry kGridServicePacketsUnit{"GridServicePackets", &InitializeGridServicePackets,
                                        &FinalizeGridServicePackets};

}  // namespace vt
