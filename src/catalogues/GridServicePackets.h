// Grid-service messages: agent control, job stop and build cancel,
// diagnostics, agent IP lookup, job lifecycle, cache service and helper
// employment, job history, build activity, agent settings, tray monitor and
// user creation.
#pragma once

#include <cstdint>
#include <string>

#include "catalogues/BuildPackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/ReportAgentPacket.h"
#include "common/Packets.h"
#include "common/StreamUtils.h"

namespace vt {

// ---- Agent control ----------------------------------------------------------

class TEnableAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TEnableAgentPacket, TCommPacket)
 public:
  ByteBool Enable;
};

class TChangeVersionUpdateStatusPacket : public TCommPacket {
  VT_PACKET_CLASS(TChangeVersionUpdateStatusPacket, TCommPacket)
 public:
  std::string Status;
};

class TSetForcePortPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetForcePortPacket, TCommPacket)
 public:
  ByteBool Value;
};

class TRequestVersionUpdatePacket : public TCommPacket {
  VT_PACKET_CLASS(TRequestVersionUpdatePacket, TCommPacket)
 public:
  ByteBool ReservedForFutureUse;
};

class TRegisterMonitorPacket : public TCommPacket {
  VT_PACKET_CLASS(TRegisterMonitorPacket, TCommPacket)
 public:
  ByteBool ReservedForFutureUse;
};

class TRequestBuildStatusPacket : public TCommPacket {
  VT_PACKET_CLASS(TRequestBuildStatusPacket, TCommPacket)
 public:
  ByteBool ReservedForFutureUse;
};

class TRequestBuildStatusReplayPacket : public TPacket {
  VT_PACKET_CLASS(TRequestBuildStatusReplayPacket, TPacket)
 public:
  TBuildStatusPacketList Builds;
};

class TRegisterJobStatusMonitorPacket : public TCommPacket {
  VT_PACKET_CLASS(TRegisterJobStatusMonitorPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TOpenFirewallPacket : public TCommPacket {
  VT_PACKET_CLASS(TOpenFirewallPacket, TCommPacket)
 public:
  ByteBool CheckOnly;
};

class TOpenFirewallReplyPacket : public TPacket {
  VT_PACKET_CLASS(TOpenFirewallReplyPacket, TPacket)
 public:
  ByteBool CheckPassed;
};

class TShowMessageBoxPacket : public TCommPacket {
  VT_PACKET_CLASS(TShowMessageBoxPacket, TCommPacket)
 public:
  std::string MessageText;
};

// ---- Agent report and version update ----------------------------------------

class TReportAgent_LegacyPacket : public TCommPacket {
  VT_PACKET_CLASS(TReportAgent_LegacyPacket, TCommPacket)
 public:
  TStaticPacket Static;
  TDynamic_LegacyPacket Dynamic;
  ByteBool Standalone;
  ByteBool Subscribed;
  ByteBool VersionUpdateRequired;
  ByteBool AllowDisable;
};

class TReportAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TReportAgentPacket, TCommPacket)
 public:
  TStaticPacket Static;
  TDynamicPacket Dynamic;
  ByteBool Standalone;
  ByteBool Subscribed;  // True when new and after Clear
  ByteBool VersionUpdateRequired;
  ByteBool AllowEnableDisable;
  ByteBool StubFor9_4_3_Obsolete;
  std::string BuildGroup;
};

class TRunVersionUpdatePacket : public TCommPacket {
  VT_PACKET_CLASS(TRunVersionUpdatePacket, TCommPacket)
 public:
  std::int32_t Version{};
  std::string VersionText;
  ByteBool Force;
  ByteBool Rollback;
  ByteBool QuickRollback;
  TVirtualStream InstallerExecutable{0};
};

// ---- Job stop and build cancel ----------------------------------------------

class TStopJobPacket : public TCommPacket {
  VT_PACKET_CLASS(TStopJobPacket, TCommPacket)
 public:
  TGUID JobID{};
};

class TBuildCancelPacket : public TCommPacket {
  VT_PACKET_CLASS(TBuildCancelPacket, TCommPacket)
 public:
  TGUID JobID{};
  ByteBool StopOnlyPredicted;
};

class TBuildCancelReplyPacket : public TPacket {
  VT_PACKET_CLASS(TBuildCancelReplyPacket, TPacket)
 public:
  ByteBool IsPredicted;
};

// ---- Diagnostics ------------------------------------------------------------

class TReadHelperLogPacket : public TCommPacket {
  VT_PACKET_CLASS(TReadHelperLogPacket, TCommPacket)
 public:
  TGUID LogID{};
};

// A network test probe; the adapter description is optional.
class TTestNetworkPacket : public TCommPacket {
  VT_PACKET_CLASS(TTestNetworkPacket, TCommPacket)
 public:
  std::uint8_t Kind{};  // enumeration
  std::int32_t BufferSize{};
  std::int64_t TimeStamp{};
  std::int64_t ResultTime{};
  TOptionalPacket<TNetworkConnectionInfoPacket> ConnectionInfo;
  VT_OPTIONAL_MEMBER(TNetworkConnectionInfoPacket, ConnectionInfo)
};

class TReadHelperLogReplyPacket : public TPacket {
  VT_PACKET_CLASS(TReadHelperLogReplyPacket, TPacket)
 public:
  std::string Filename;
  TVirtualStream Data{0};
};

class TReadExceptionLogsPacket : public TCommPacket {
  VT_PACKET_CLASS(TReadExceptionLogsPacket, TCommPacket)
 public:
  std::string Filter;
};

class TExceptionLogPacket : public TPacket {
  VT_PACKET_CLASS(TExceptionLogPacket, TPacket)
 public:
  std::string Filename;
  TVirtualStream Data{0};
};
using TExceptionLogPacketList = TPacketList<TExceptionLogPacket>;

class TReadExceptionLogsReplyPacket : public TPacket {
  VT_PACKET_CLASS(TReadExceptionLogsReplyPacket, TPacket)
 public:
  TExceptionLogPacketList Files;
};

// ---- Agent IP lookup and file-cache clearing --------------------------------

class TLookupAgentIPPacket : public TCommPacket {
  VT_PACKET_CLASS(TLookupAgentIPPacket, TCommPacket)
 public:
  std::string AgentName;
};

class TLookupAgentIPReplyPacket : public TPacket {
  VT_PACKET_CLASS(TLookupAgentIPReplyPacket, TPacket)
 public:
  std::string AgentIP;
  std::int32_t AgentPort{};
};

class TClearFileCachePacket : public TCommPacket {
  VT_PACKET_CLASS(TClearFileCachePacket, TCommPacket)
 public:
  ByteBool Reserved;
};

// ---- Job lifecycle ----------------------------------------------------------

class TStartJobRequestPacket : public TCommPacket {
  VT_PACKET_CLASS(TStartJobRequestPacket, TCommPacket)
 public:
  std::int32_t ComponentVersion{};
  std::string ComponentVersionText;
  std::string ComponentDisplayName;
  std::int32_t PluginVersion{};
};

class TStartJobRequestReplyPacket : public TPacket {
  VT_PACKET_CLASS(TStartJobRequestReplyPacket, TPacket)
 public:
  std::uint8_t Result{};  // enumeration, one raw byte on the wire
  TGUID JobID{};
};

class TQueryActiveJobsPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryActiveJobsPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TActiveJobBasicInfoPacket : public TCommPacket {
  VT_PACKET_CLASS(TActiveJobBasicInfoPacket, TCommPacket)
 public:
  TGUID ID{};
  std::string Title;
  double StartTime{};
};
using TActiveJobBasicInfoPacketList = TPacketList<TActiveJobBasicInfoPacket>;

class TQueryActiveJobsReplyPacket : public TPacket {
  VT_PACKET_CLASS(TQueryActiveJobsReplyPacket, TPacket)
 public:
  std::int32_t Version{};
  TActiveJobBasicInfoPacketList Jobs;
};

class TQueryServiceStatusPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryServiceStatusPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TQueryServiceStatusReplyPacket : public TPacket {
  VT_PACKET_CLASS(TQueryServiceStatusReplyPacket, TPacket)
 public:
  ByteBool CoordinatorMisconnection;
  ByteBool StandAlone;
  ByteBool UsingBackup;
  ByteBool ConnectedDirectlyToBackup;
  ByteBool CoordinatorVersionMismatch;
  std::int32_t CpuCount{};
  std::string AgentID;
  TStaticPacket StaticPacket;
  std::int32_t MaxHelpersPerJob{};
  ByteBool FirewallMisconfigured;
};

class TAddJobToHistoryPacket : public TCommPacket {
  VT_PACKET_CLASS(TAddJobToHistoryPacket, TCommPacket)
 public:
  TGUID JobID{};
  double JobDateTime{};
  TVirtualStream JobMetaData{0};
};

class TJobStartedPacket : public TCommPacket {
  VT_PACKET_CLASS(TJobStartedPacket, TCommPacket)
 public:
  TBuildStatusPacket Status;
};

class TJobStartedReplyPacket : public TPacket {
  VT_PACKET_CLASS(TJobStartedReplyPacket, TPacket)
 public:
  TQueryServiceStatusReplyPacket ServiceStatus;
};

class TJobEndedPacket : public TCommPacket {
  VT_PACKET_CLASS(TJobEndedPacket, TCommPacket)
 public:
  TBuildStatusPacket Status;
  TAddJobToHistoryPacket HistoryPacket;
};

// ---- Cache service and helper employment ------------------------------------

class TGetCacheServicePacket : public TCommPacket {
  VT_PACKET_CLASS(TGetCacheServicePacket, TCommPacket)
 public:
  std::int32_t BuildsystemPid{};
};

class TGetCacheServiceReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TGetCacheServiceReplyPacket, TCommPacket)
 public:
  std::string Address;
  std::uint32_t CacheProcessHandle{};
};

// Employs helpers for one build.
class TEmployHelpersPacket : public TCommPacket {
  VT_PACKET_CLASS(TEmployHelpersPacket, TCommPacket)
 public:
  TGUID BuildID{};
  TStringListEx HelperIDs;
  TStaticPacketList StaticInfos;
  ByteBool UseRoutingIPs;
  std::string SslCnPattern;
};
using TEmployHelpersPacketList = TPacketList<TEmployHelpersPacket>;

class TEmployHelpersExPacket : public TCommPacket {
  VT_PACKET_CLASS(TEmployHelpersExPacket, TCommPacket)
 public:
  TEmployHelpersPacketList Packets;
};

class TReportHelperPacket : public TCommPacket {
  VT_PACKET_CLASS(TReportHelperPacket, TCommPacket)
 public:
  std::int32_t CPUIndex{};
  std::int64_t BuilderClientHandle{};
  std::int32_t BuilderMachineID{};
  std::int32_t Port{};
  std::string Protocol;
  std::uint32_t RunCommandTime{};
};

class TDisableHelperPacket : public TCommPacket {
  VT_PACKET_CLASS(TDisableHelperPacket, TCommPacket)
 public:
  std::string Reason;
};

// ---- Job history ------------------------------------------------------------

class TQueryJobHistoryPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryJobHistoryPacket, TCommPacket)
 public:
  double MinDateTime{};
  double MaxDateTime{};
  std::int32_t MinSerialNumber{};
  std::int32_t MaxSerialNumber{};
  std::int32_t MetaDataSizeLimit{};
};

class TJobHistoryEntryPacket : public TPacket {
  VT_PACKET_CLASS(TJobHistoryEntryPacket, TPacket)
 public:
  TGUID JobID{};
  double JobDateTime{};
  std::int32_t SerialNumber{};
  TVirtualStream MetaData{0};
};
using TJobHistoryEntryPacketList = TPacketList<TJobHistoryEntryPacket>;

class TQueryJobHistoryReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TQueryJobHistoryReplyPacket, TCommPacket)
 public:
  std::int32_t TotalJobCount{};
  std::int32_t ReturnedJobCount_Obsolete{};
  TVirtualStream JobMetaData_Obsolete{0};
  TJobHistoryEntryPacketList JobList;
  TGUID SourceID{};
  std::string SourceComputerName;
  ByteBool Incomplete;
};

class TClearJobHistoryPacket : public TCommPacket {
  VT_PACKET_CLASS(TClearJobHistoryPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

// ---- Build activity and finished builds -------------------------------------

class TSetJobMaxLocalCoresPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetJobMaxLocalCoresPacket, TCommPacket)
 public:
  std::int32_t MaxLocalCores{};
};

class TBuildFinishedPacket : public TCommPacket {
  VT_PACKET_CLASS(TBuildFinishedPacket, TCommPacket)
 public:
  std::string BuildID;
  std::string Command;
  std::string Caption;
  double StartTime{};
  double EndTime{};
  std::int32_t Status{};
  std::int32_t MaxCores{};
  std::int32_t NumberOfTasks{};
  std::int32_t AvgReadyTasks{};
  double AvgUsedCores{};
  std::int32_t MaxReadyTasks{};
  std::int32_t BuildIssuer{};
  std::int32_t BuildType{};
  std::int32_t SavedTime{};
  ByteBool Predicted;
};

class TCoordBuildActivityInfo : public TCommPacket {
  VT_PACKET_CLASS(TCoordBuildActivityInfo, TCommPacket)
 public:
  std::int32_t BuildId{};
  std::string BuildGuid;
  std::string AgentId;
  std::string BuildTitle;
  std::int32_t BuildTypeId{};
  std::int64_t StartTS{};
  std::int64_t EndTS{};
  std::int32_t Duration{};
  std::int32_t DurationLocal{};
  std::int32_t DurationRemote{};
  std::int32_t DurationCloud{};
  std::int32_t BuildStatusId{};
  std::int32_t MaxCoresUsed{};
  std::int32_t MaxLocalCoresUsed{};
  std::int32_t MaxRemoteCoresUsed{};
  std::int32_t MaxCloudCoresUsed{};
  std::int32_t MinCoresUsed{};
  std::int32_t MinLocalCoresUsed{};
  std::int32_t MinRemoteCoresUsed{};
  std::int32_t MinCloudCoresUsed{};
  std::int32_t NumberOfTasks{};
  std::int32_t AvgReadyTasks{};
  double AvgUsedCores{};
  double AvgUsedLocalCores{};
  double AvgUsedRemoteCores{};
  double AvgUsedCloudCores{};
  std::int32_t MaxReadyTasks{};
  std::int32_t MaxNeededHelpers{};
  double AvgNeededHelpers{};
  std::int32_t MaxBlockedTasks{};
  double AvgBlockedTasks{};
  std::int32_t BiIssuer{};
  std::int32_t TimeSaved{};
  ByteBool AvoidLocal;
  std::string Command;
  ByteBool Predicted;
  std::string BuildsetVersion;
  std::string MsbuildVersion;
  std::int32_t NumberOfLocalTasks{};
  std::int32_t NumberOfRemoteTasks{};
  std::int32_t NumberOfCloudTasks{};
  ByteBool StandaloneInd;
  double AvgActualNeededHelpers{};
  std::string MachineId;
  std::string LocalStartTime;
};

// ---- Agent settings, tray monitor and user creation -------------------------

class TSetAgentRegistryPacket : public TCommPacket {
  VT_PACKET_CLASS(TSetAgentRegistryPacket, TCommPacket)
 public:
  std::string Key;
  std::string Value;
  std::string Section;
};

class TTrayCoordMonitorPacket : public TCommPacket {
  VT_PACKET_CLASS(TTrayCoordMonitorPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

class TTrayCoordMonitorReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TTrayCoordMonitorReplyPacket, TCommPacket)
 public:
  std::string Url;
};

class TCreateUserPacket : public TCommPacket {
  VT_PACKET_CLASS(TCreateUserPacket, TCommPacket)
 public:
  std::string UserName;
  std::string Password;
};

// Registers the unit's classes, in declaration order.
void RegisterGridServicePackets();

// The unit: its initialization registers the classes.
extern const UnitEntry kGridServicePacketsUnit;

}  // namespace vt
