// Field tables of the grid-service job, helper, history, build-activity and
// agent-settings messages.
#include "catalogues/GridServicePackets.h"

namespace vt {

// ---- Job lifecycle ----------------------------------------------------------

VT_PACKET_FIELDS(TStartJobRequestPacket) = {
    VT_FIELD(ComponentVersion, pftInteger, Raw(4)),
    VT_FIELD(ComponentVersionText, pftString, String),
    VT_FIELD(ComponentDisplayName, pftString, String),
    VT_FIELD(PluginVersion, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TStartJobRequestPacket, "{46189D21-0D20-40FB-81BA-856380795754}")

VT_PACKET_FIELDS(TStartJobRequestReplyPacket) = {
    VT_FIELD(Result, pftOther, Raw(1)),
    VT_FIELD(JobID, pftOther, Raw(16)),
};
VT_DEFINE_PACKET(TStartJobRequestReplyPacket, "{6CB85CB1-CD38-4700-B0F1-6D4B660D9150}")

VT_PACKET_FIELDS(TQueryActiveJobsPacket) = {VT_FIELD(Reserved, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TQueryActiveJobsPacket, "{23EDB916-143E-42EA-B756-531DD3753483}")

VT_PACKET_FIELDS(TActiveJobBasicInfoPacket) = {
    VT_FIELD(ID, pftOther, Raw(16)),
    VT_FIELD(Title, pftString, String),
    VT_FIELD(StartTime, pftDouble, Raw(8)),
};
VT_DEFINE_PACKET(TActiveJobBasicInfoPacket, "{71F1BC4D-0811-412B-9914-F30419DEF37C}")

VT_PACKET_FIELDS(TQueryActiveJobsReplyPacket) = {
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(Jobs, pftObject, PacketList),
};
VT_DEFINE_PACKET(TQueryActiveJobsReplyPacket, "{70B1115D-5080-439E-B57B-A38478060B26}")

VT_PACKET_FIELDS(TQueryServiceStatusPacket) = {VT_FIELD(Reserved, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TQueryServiceStatusPacket, "{068A8C56-C273-415F-A940-3817E4A161E1}")

VT_PACKET_FIELDS(TQueryServiceStatusReplyPacket) = {
    VT_FIELD(CoordinatorMisconnection, pftBoolean, Raw(1)),
    VT_FIELD(StandAlone, pftBoolean, Raw(1)),
    VT_FIELD(UsingBackup, pftBoolean, Raw(1)),
    VT_FIELD(ConnectedDirectlyToBackup, pftBoolean, Raw(1)),
    VT_FIELD(CoordinatorVersionMismatch, pftBoolean, Raw(1)),
    VT_FIELD(CpuCount, pftInteger, Raw(4)),
    VT_FIELD(AgentID, pftString, String),
    VT_FIELD(StaticPacket, pftObject, Packet),
    VT_FIELD(MaxHelpersPerJob, pftInteger, Raw(4)),
    VT_FIELD(FirewallMisconfigured, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TQueryServiceStatusReplyPacket, "{6E88EEFD-55DB-4784-8FE1-B04F94509440}")

VT_PACKET_FIELDS(TAddJobToHistoryPacket) = {
    VT_FIELD(JobID, pftOther, Raw(16)),
    VT_FIELD(JobDateTime, pftDouble, Raw(8)),
    VT_FIELD(JobMetaData, pftObject, Stream),
};
VT_DEFINE_PACKET(TAddJobToHistoryPacket, "{59C4BCDA-6035-407C-A7C1-4315C674AC64}")

VT_PACKET_FIELDS(TJobStartedPacket) = {VT_FIELD(Status, pftObject, Packet)};
VT_DEFINE_PACKET(TJobStartedPacket, "{D4DE5C85-D0D8-4BF4-A106-FF41623D4AF3}")

VT_PACKET_FIELDS(TJobStartedReplyPacket) = {VT_FIELD(ServiceStatus, pftObject, Packet)};
VT_DEFINE_PACKET(TJobStartedReplyPacket, "{BCECE4E1-E0D5-4C50-8981-0897C5DFD2AF}")

VT_PACKET_FIELDS(TJobEndedPacket) = {
    VT_FIELD(Status, pftObject, Packet),
    VT_FIELD(HistoryPacket, pftObject, Packet),
};
VT_DEFINE_PACKET(TJobEndedPacket, "{BA075496-78C6-4577-B7C8-53C56962CEFE}")

// ---- Cache service and helper employment ------------------------------------

VT_PACKET_FIELDS(TGetCacheServicePacket) = {VT_FIELD(BuildsystemPid, pftInteger, Raw(4))};
VT_DEFINE_PACKET(TGetCacheServicePacket, "{63692AE2-8A0C-4D15-AD08-2483EC9A02D2}")

VT_PACKET_FIELDS(TGetCacheServiceReplyPacket) = {
    VT_FIELD(Address, pftString, String),
    VT_FIELD(CacheProcessHandle, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TGetCacheServiceReplyPacket, "{D83E9778-ACAF-486A-888F-FDEC7A3D6720}")

VT_PACKET_FIELDS(TEmployHelpersPacket) = {
    VT_FIELD(BuildID, pftOther, Raw(16)),
    VT_FIELD(HelperIDs, pftObject, StringList),
    VT_FIELD(StaticInfos, pftObject, PacketList),
    VT_FIELD(UseRoutingIPs, pftBoolean, Raw(1)),
    VT_FIELD(SslCnPattern, pftString, String),
};
VT_DEFINE_PACKET(TEmployHelpersPacket, "{E3A2EEA8-4CDE-4361-90AF-7778984B8C87}")

VT_PACKET_FIELDS(TEmployHelpersExPacket) = {VT_FIELD(Packets, pftObject, PacketList)};
VT_DEFINE_PACKET(TEmployHelpersExPacket, "{4873887C-4B0C-447F-8A82-DD2B9E0161BC}")

VT_PACKET_FIELDS(TReportHelperPacket) = {
    VT_FIELD(CPUIndex, pftInteger, Raw(4)),
    VT_FIELD(BuilderClientHandle, pftInteger, Raw(8)),
    VT_FIELD(BuilderMachineID, pftInteger, Raw(4)),
    VT_FIELD(Port, pftInteger, Raw(4)),
    VT_FIELD(Protocol, pftString, String),
    VT_FIELD(RunCommandTime, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TReportHelperPacket, "{8EDC4A50-8667-4D35-8F3F-1AA78BC8D53D}")

VT_PACKET_FIELDS(TDisableHelperPacket) = {VT_FIELD(Reason, pftString, String)};
VT_DEFINE_PACKET(TDisableHelperPacket, "{37334F39-4362-4EBB-B213-D21CC25F247C}")

// ---- Job history ------------------------------------------------------------

VT_PACKET_FIELDS(TQueryJobHistoryPacket) = {
    VT_FIELD(MinDateTime, pftDouble, Raw(8)),
    VT_FIELD(MaxDateTime, pftDouble, Raw(8)),
    VT_FIELD(MinSerialNumber, pftInteger, Raw(4)),
    VT_FIELD(MaxSerialNumber, pftInteger, Raw(4)),
    VT_FIELD(MetaDataSizeLimit, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TQueryJobHistoryPacket, "{D90367AD-950A-4D2B-BBA6-3E187781E28E}")

VT_PACKET_FIELDS(TJobHistoryEntryPacket) = {
    VT_FIELD(JobID, pftOther, Raw(16)),
    VT_FIELD(JobDateTime, pftDouble, Raw(8)),
    VT_FIELD(SerialNumber, pftInteger, Raw(4)),
    VT_FIELD(MetaData, pftObject, Stream),
};
VT_DEFINE_PACKET(TJobHistoryEntryPacket, "{D021C746-D6F7-4F39-BFA3-E91DBDB64277}")

VT_PACKET_FIELDS(TQueryJobHistoryReplyPacket) = {
    VT_FIELD(TotalJobCount, pftInteger, Raw(4)),
    VT_FIELD(ReturnedJobCount_Obsolete, pftInteger, Raw(4)),
    VT_FIELD(JobMetaData_Obsolete, pftObject, Stream),
    VT_FIELD(JobList, pftObject, PacketList),
    VT_FIELD(SourceID, pftOther, Raw(16)),
    VT_FIELD(SourceComputerName, pftString, String),
    VT_FIELD(Incomplete, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TQueryJobHistoryReplyPacket, "{0D520B29-F0E7-4C15-9159-841F707E30EC}")

VT_PACKET_FIELDS(TClearJobHistoryPacket) = {VT_FIELD(Reserved, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TClearJobHistoryPacket, "{FCD23238-5D7D-4777-A34F-D9E2A0FF05C7}")

// ---- Build activity and finished builds -------------------------------------

VT_PACKET_FIELDS(TSetJobMaxLocalCoresPacket) = {VT_FIELD(MaxLocalCores, pftInteger, Raw(4))};
VT_DEFINE_PACKET(TSetJobMaxLocalCoresPacket, "{1EEF6205-6E5A-41AF-9EA5-7EAB5D92F2D6}")

VT_PACKET_FIELDS(TBuildFinishedPacket) = {
    VT_FIELD(BuildID, pftString, String),
    VT_FIELD(Command, pftString, String),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(StartTime, pftDouble, Raw(8)),
    VT_FIELD(EndTime, pftDouble, Raw(8)),
    VT_FIELD(Status, pftInteger, Raw(4)),
    VT_FIELD(MaxCores, pftInteger, Raw(4)),
    VT_FIELD(NumberOfTasks, pftInteger, Raw(4)),
    VT_FIELD(AvgReadyTasks, pftInteger, Raw(4)),
    VT_FIELD(AvgUsedCores, pftDouble, Raw(8)),
    VT_FIELD(MaxReadyTasks, pftInteger, Raw(4)),
    VT_FIELD(BuildIssuer, pftInteger, Raw(4)),
    VT_FIELD(BuildType, pftInteger, Raw(4)),
    VT_FIELD(SavedTime, pftInteger, Raw(4)),
    VT_FIELD(Predicted, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TBuildFinishedPacket, "{6EDC3879-8ED5-4BE6-B8EA-A8202B369CE6}")

VT_PACKET_FIELDS(TCoordBuildActivityInfo) = {
    VT_FIELD(BuildId, pftInteger, Raw(4)),
    VT_FIELD(BuildGuid, pftString, String),
    VT_FIELD(AgentId, pftString, String),
    VT_FIELD(BuildTitle, pftString, String),
    VT_FIELD(BuildTypeId, pftInteger, Raw(4)),
    VT_FIELD(StartTS, pftInteger, Raw(8)),
    VT_FIELD(EndTS, pftInteger, Raw(8)),
    VT_FIELD(Duration, pftInteger, Raw(4)),
    VT_FIELD(DurationLocal, pftInteger, Raw(4)),
    VT_FIELD(DurationRemote, pftInteger, Raw(4)),
    VT_FIELD(DurationCloud, pftInteger, Raw(4)),
    VT_FIELD(BuildStatusId, pftInteger, Raw(4)),
    VT_FIELD(MaxCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MaxLocalCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MaxRemoteCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MaxCloudCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MinCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MinLocalCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MinRemoteCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(MinCloudCoresUsed, pftInteger, Raw(4)),
    VT_FIELD(NumberOfTasks, pftInteger, Raw(4)),
    VT_FIELD(AvgReadyTasks, pftInteger, Raw(4)),
    VT_FIELD(AvgUsedCores, pftDouble, Raw(8)),
    VT_FIELD(AvgUsedLocalCores, pftDouble, Raw(8)),
    VT_FIELD(AvgUsedRemoteCores, pftDouble, Raw(8)),
    VT_FIELD(AvgUsedCloudCores, pftDouble, Raw(8)),
    VT_FIELD(MaxReadyTasks, pftInteger, Raw(4)),
    VT_FIELD(MaxNeededHelpers, pftInteger, Raw(4)),
    VT_FIELD(AvgNeededHelpers, pftDouble, Raw(8)),
    VT_FIELD(MaxBlockedTasks, pftInteger, Raw(4)),
    VT_FIELD(AvgBlockedTasks, pftDouble, Raw(8)),
    VT_FIELD(BiIssuer, pftInteger, Raw(4)),
    VT_FIELD(TimeSaved, pftInteger, Raw(4)),
    VT_FIELD(AvoidLocal, pftBoolean, Raw(1)),
    VT_FIELD(Command, pftString, String),
    VT_FIELD(Predicted, pftBoolean, Raw(1)),
    VT_FIELD(BuildsetVersion, pftString, String),
    VT_FIELD(MsbuildVersion, pftString, String),
    VT_FIELD(NumberOfLocalTasks, pftInteger, Raw(4)),
    VT_FIELD(NumberOfRemoteTasks, pftInteger, Raw(4)),
    VT_FIELD(NumberOfCloudTasks, pftInteger, Raw(4)),
    VT_FIELD(StandaloneInd, pftBoolean, Raw(1)),
    VT_FIELD(AvgActualNeededHelpers, pftDouble, Raw(8)),
    VT_FIELD(MachineId, pftString, String),
    VT_FIELD(LocalStartTime, pftString, String),
};
VT_DEFINE_PACKET(TCoordBuildActivityInfo, "{AE31590E-9117-4456-A611-01F516F36784}")

static_assert(std::size(TBuildFinishedPacket::kFields) == 15);
static_assert(std::size(TCoordBuildActivityInfo::kFields) == 45);

// ---- Agent settings, tray monitor and user creation -------------------------

VT_PACKET_FIELDS(TSetAgentRegistryPacket) = {
    VT_FIELD(Key, pftString, String),
    VT_FIELD(Value, pftString, String),
    VT_FIELD(Section, pftString, String),
};
VT_DEFINE_PACKET(TSetAgentRegistryPacket, "{55794F17-54C7-4E91-8092-A40350A924EA}")

VT_PACKET_FIELDS(TTrayCoordMonitorPacket) = {VT_FIELD(Reserved, pftBoolean, Raw(1))};
VT_DEFINE_PACKET(TTrayCoordMonitorPacket, "{94AAF72B-1C77-474A-A352-80E34250CD6C}")

VT_PACKET_FIELDS(TTrayCoordMonitorReplyPacket) = {VT_FIELD(Url, pftString, String)};
VT_DEFINE_PACKET(TTrayCoordMonitorReplyPacket, "{FC986FE9-5045-476C-A4A1-A46DDC3CEBAB}")

VT_PACKET_FIELDS(TCreateUserPacket) = {
    VT_FIELD(UserName, pftString, String),
    VT_FIELD(Password, pftString, String),
};
VT_DEFINE_PACKET(TCreateUserPacket, "{7845B264-B895-4030-88FE-50F5D3294656}")

}  // namespace vt
