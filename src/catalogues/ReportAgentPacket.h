// Agent-report packets: an agent's static machine description and dynamic
// state with their nested records, the coordinator's reply, the grid export
// records and the cloud-agent messages.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "catalogues/BuildPackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "common/Packets.h"

namespace vt {

// ---- Benchmark and working schedule -----------------------------------------

class TBenchmarkPacket : public TPacket {
  VT_PACKET_CLASS(TBenchmarkPacket, TPacket)
 public:
  std::int32_t RAM_Write_MBPerSec{};
  std::int32_t RAM_Read_MBPerSec{};
  std::int32_t L1_Write_MBPerSec{};
  std::int32_t L1_Read_MBPerSec{};
  std::int32_t CPU_Add_MHz{};
  std::int32_t CPU_Mul_MHz{};
  std::int32_t CPU_Lea_MHz{};
  std::int32_t Rating{};
  std::int32_t MemoryRating{};
  std::int32_t CpuRating{};
  std::int32_t CPU_Speed{};
  std::int64_t Time_100ns_Obsolete{};
};

class TSchedulerPacket : public TCommPacket {
  VT_PACKET_CLASS(TSchedulerPacket, TCommPacket)
 public:
  ByteBool Enable;
  double StartTime{};
  double StopTime{};
};

// ---- Static machine description ------------------------------------------------

// The OS version records, kept whole as the system fills them.
using TOSVersionInfoRecord = std::array<std::uint8_t, 148>;
using TOSVersionInfoExRecord = std::array<std::uint8_t, 156>;

class TStaticPacket : public TPacket {
  VT_PACKET_CLASS(TStaticPacket, TPacket)
 public:
  // The assembly list travels as its text: not served as a string field.
  std::string GetFieldAsString(std::int32_t index) const override;
  void SetFieldAsString(std::int32_t index, const std::string& value) override;

  std::int32_t Version{};
  std::string VersionText;
  std::string Host;
  std::string Addr;
  std::string ID;
  std::int32_t Port{};
  std::int32_t CPUSpeed{};
  std::string HostComment;
  std::int32_t ShadowSize{};
  TOSVersionInfoRecord VersionInfo{};
  std::uint8_t LogLevel{};
  std::int64_t DiskTotal{};
  std::int32_t IP{};
  std::string DisplayName;
  std::uint32_t TotalPhysical_Legacy{};
  std::uint32_t TotalVirtual_Legacy{};
  std::int32_t ShadowFragCount_Obsolete{};
  std::int32_t CPUCount_WhenHelper{};
  ByteBool AllowEnableDisable;
  std::string MSVCVersion;
  std::string NETFramworkVersion;
  TStringListEx InstalledAssemblies_Obsolete;
  std::uint32_t RemoteTaskPriority{};
  std::string CPUBrandString;
  std::uint8_t CPULogicalCount{};
  std::uint8_t CPUPhysicalCount{};
  std::int64_t ConnectionSpeed_BackwardCompatible{};
  TNetworkConnectionInfoPacket ConnectionInfo;
  std::int32_t RoutingIP{};
  std::uint16_t ProcessorArchitecture{};
  TBenchmarkPacket Benchmark;
  ByteBool UseAgentWhenRunningOnBattery;
  std::int64_t TotalPhysical{};
  std::int64_t TotalVirtual{};
  std::uint32_t ProductInfoType{};
  std::int32_t Serverr2Metric{};
  std::uint8_t VersionInfoProductType{};
  std::uint16_t SuiteMask{};
  std::uint16_t ActiveCodePage{};
  TGUID HistorySourceID{};
  TSchedulerPacket Scheduler;
  TOSVersionInfoExRecord OSVersionInfo{};
  ByteBool Is64bitWindows;
  std::int32_t CPUCount_WhenInitiator{};
  std::uint8_t AgentType{};  // a row of AgentTypeNames
  std::uint8_t CPUPhysicalCoreCount{};
  ByteBool HasLocalCoordinatorInstalled;
  std::string MachineID;
  std::int32_t BuildCacheSizeGB{};
  std::string BuildCacheFolder;
  std::string BuildCacheDatabaseFolder;
};
using TStaticPacketList = TPacketList<TStaticPacket>;

// ---- Preferred helpers, version update, subscription ------------------------------

class TPreferredHelperPacket : public TPacket {
  VT_PACKET_CLASS(TPreferredHelperPacket, TPacket)
 public:
  std::string AgentName;
  std::int32_t WorkTimeMSec{};
  std::int32_t MaxTimeMSec{};
  std::uint32_t EmployedAtTickCount{};
};
using TPreferredHelperPacketList = TPacketList<TPreferredHelperPacket>;

class TVersionUpdatePacket : public TPacket {
  VT_PACKET_CLASS(TVersionUpdatePacket, TPacket)
 public:
  TGUID UpdateID{};
  ByteBool UpdateToCurrentVersion;
  std::int32_t UpdateSize{};
  std::int32_t DownloadedBytes{};
  ByteBool DownloadInProgress;
  ByteBool DownloadComplete;
  std::string InstallStatus;
  ByteBool InstallStarted;
  ByteBool QuickRollback;
};

class TSubscriptionPacket : public TPacket {
  VT_PACKET_CLASS(TSubscriptionPacket, TPacket)
 public:
  std::int32_t BuildPriority{};
  double BuildPriorityBonus{};
  std::string BuildGroup;
  std::int32_t AssignPriority{};
  double LastConnected{};
  TPreferredHelperPacketList PreferredHelpers_Obselete;
  ByteBool RemoteAdmin;
  TOptionalPacket<TVersionUpdatePacket> VersionUpdate;
  TGUID MultiBootID_Obselete{};
  std::int32_t HelperCores{};
  ByteBool LastEnabled;
  ByteBool UpdateInProgress;

  VT_OPTIONAL_MEMBER(TVersionUpdatePacket, VersionUpdate)
};

// ---- Helper and known-coordinator records ---------------------------------------

class THelperPacket : public TPacket {
  VT_PACKET_CLASS(THelperPacket, TPacket)
 public:
  std::string WorkingFor;
  double IdleLevel_Obsolete{};
  ByteBool Assigning;
  ByteBool Working;
  std::string ID;
  TGUID BuildID{};
};
using THelperPacketList = TPacketList<THelperPacket>;

class TKnownCoordPacket : public TPacket {
  VT_PACKET_CLASS(TKnownCoordPacket, TPacket)
 public:
  ByteBool IsPrimary;
  std::string ComputerName;
};
using TKnownCoordPacketList = TPacketList<TKnownCoordPacket>;

// ---- Dynamic agent state -------------------------------------------------------

// The earlier form: one build's figures inline.
class TDynamic_LegacyPacket : public TPacket {
  VT_PACKET_CLASS(TDynamic_LegacyPacket, TPacket)
 public:
  // The assembly list travels as its text: not served as a string field.
  std::string GetFieldAsString(std::int32_t index) const override;
  void SetFieldAsString(std::int32_t index, const std::string& value) override;

  std::int32_t HelpersNeeded{};
  std::uint32_t UpTime{};
  std::int32_t DisplayWorkPowerMHz{};
  ByteBool ScreenSaver;
  std::int32_t BuildWarningCount{};
  std::string BuildClass;
  std::int32_t WorkerCount{};
  std::int64_t DiskFree{};
  ByteBool Enabled;
  ByteBool Initializing;
  ByteBool Terminating;
  ByteBool Building;
  std::uint32_t AvailPhysical_Legacy{};
  std::uint32_t AvailVirtual_Legacy{};
  double TotalIdleLevel{};
  THelperPacketList Helpers;
  std::string BuildCaption;
  std::string BuildHelpersAsText_Obsolete;
  double LastConnectionTest{};
  ByteBool ConnectionTest;
  ByteBool TestInitiated;
  std::int32_t BuildMinWinVer_Major{};
  std::int32_t BuildMinWinVer_Minor{};
  std::int32_t ShadowUsed{};
  TStringListEx RequiredAssemblies;
  std::int32_t LastReclaimDeltaSec{};
  std::uint8_t RawIdleLevel{};
  std::uint8_t RawIgnoredCpuLevel{};
  std::uint8_t RawServiceCpuLevel{};
  std::uint8_t RawHelperCpuLevel{};
  std::uint8_t RawVECpuLevel{};
  TKnownCoordPacketList KnownCoords_Obselete;
  TOptionalPacket<TVersionUpdatePacket> VersionUpdate;
  ByteBool VersionUpdateCancelled;
  TGUID BuildID{};
  TStringListEx BuildHelperIDs;
  std::int32_t BuildDonePercent{};
  std::int32_t BuildErrorCount{};
  ByteBool RunningOnBatteryPower;
  std::int32_t BatteryRemainingPercent{};
  std::int64_t AvailPhysical{};
  std::int64_t AvailVirtual{};
  ByteBool FirewallMisconfigured;
  std::int32_t BuildMaxWinVer_Major{};
  std::int32_t BuildMaxWinVer_Minor{};
  std::int32_t HistorySerialNumber{};
  std::int32_t DisplayWorkPowerCPUs{};
  TStringListEx LogOnUsers;
  ByteBool SchedulerRunning;
  ByteBool Only64bitHelpers;

  VT_OPTIONAL_MEMBER(TVersionUpdatePacket, VersionUpdate)
};

class TDynamicPacket : public TPacket {
  VT_PACKET_CLASS(TDynamicPacket, TPacket)
 public:
  std::uint32_t UpTime{};
  ByteBool ScreenSaver;
  std::int64_t DiskFree{};
  ByteBool Enabled;
  ByteBool Initializing;
  ByteBool Terminating;
  ByteBool Building;
  std::uint32_t AvailPhysical_Legacy{};
  std::uint32_t AvailVirtual_Legacy{};
  double TotalIdleLevel{};
  THelperPacketList Helpers;
  double LastConnectionTest{};
  ByteBool ConnectionTest;
  ByteBool TestInitiated;
  std::int32_t ShadowUsed{};
  std::int32_t LastReclaimDeltaSec{};
  std::uint8_t RawIdleLevel{};
  std::uint8_t RawIgnoredCpuLevel{};
  std::uint8_t RawServiceCpuLevel{};
  std::uint8_t RawHelperCpuLevel{};
  std::uint8_t RawVECpuLevel{};
  TKnownCoordPacketList KnownCoords_Obselete;
  TOptionalPacket<TVersionUpdatePacket> VersionUpdate;
  ByteBool VersionUpdateCancelled;
  ByteBool RunningOnBatteryPower;
  std::int32_t BatteryRemainingPercent{};
  std::int64_t AvailPhysical{};
  std::int64_t AvailVirtual{};
  ByteBool FirewallMisconfigured;
  std::int32_t HistorySerialNumber{};
  TStringListEx LogOnUsers;
  ByteBool SchedulerRunning;
  TBuildStatusPacketList Builds;
  ByteBool CollectStatistics;
  std::int32_t BuildsVersion{};

  VT_OPTIONAL_MEMBER(TVersionUpdatePacket, VersionUpdate)
};

// ---- Coordinator's reply to a report ----------------------------------------------

class TReportAgentReplyPacket : public TCommPacket {
  VT_PACKET_CLASS(TReportAgentReplyPacket, TCommPacket)
 public:
  ByteBool VersionUpdateNeeded;
  std::int32_t CoordinatorProductVersion{};
  TOptionalPacket<TVersionUpdatePacket> VersionUpdate;
  std::string BackupCoordinatorHost;
  std::int32_t BackupCoordinatorPort{};
  std::string BackupCoordinatorDisplayName;
  ByteBool CheckForDuplicateCoordinator_Obselete;
  TGUID CoordinatorWorkGroupID_Obselete{};
  std::uint8_t CoordinatorRoleState{};  // opaque enumeration byte
  std::string CoordinatorName;
  std::string IgnoreProcesses;
  std::string DuplicateCoordinatorName_Obsolete;
  std::int32_t ReportIntervalSec{};
  std::uint8_t MinIdleLevelPercent{};
  ByteBool AllowEnableDisable;
  std::int32_t MaxHelpersPerJob{};
  std::uint8_t CustomCheckFailures{};  // opaque set byte
  ByteBool JustSubscribed_Obsolete;
  ByteBool ForceEncryptedComm;
  std::string BuildGroups;
  ByteBool AllowAgentsSelfRegToBuildGroup_obsolete;
  std::int32_t WebUIPort{};
  std::string CoordinatorId;
  std::int32_t HelperCores{};

  VT_OPTIONAL_MEMBER(TVersionUpdatePacket, VersionUpdate)
};

// ---- Grid export records ------------------------------------------------------------

class TAgentExportXmlBuildInfo : public TPacket {
  VT_PACKET_CLASS(TAgentExportXmlBuildInfo, TPacket)
 public:
  std::string BuildTitle;
  std::uint8_t BuildProgressPercent{};
  std::int32_t BuildAssignedCPUCount{};
  std::uint32_t WorkPowerMHz{};
  std::uint32_t WorkPowerCPUs{};
};
using TAgentExportXmlBuildInfoList = TPacketList<TAgentExportXmlBuildInfo>;

class TAgentExportXml : public TPacket {
  VT_PACKET_CLASS(TAgentExportXml, TPacket)
 public:
  ByteBool Online;
  std::int32_t Version{};
  std::string VersionText;
  std::string Host;
  std::int32_t Port{};
  std::int32_t CPUSpeed{};
  std::int32_t CPUCount{};
  std::uint8_t CPUAvailablePercent{};
  std::string CPUBrandString;
  std::string Description;
  std::int32_t FileCacheSize{};
  std::int32_t FileCacheUsed{};
  std::string OSVersion;
  std::uint8_t LogLevel{};
  std::string IP;
  std::string RoutingIP;
  std::string PerformanceRating;
  std::uint32_t UpTimeSec{};
  ByteBool ScreenSaverRunning;
  ByteBool Enabled;
  ByteBool Building;
  std::string WorkingForAgents;
  std::int64_t TotalPhysical{};
  std::int64_t TotalVirtual{};
  std::int64_t AvailPhysical{};
  std::int64_t AvailVirtual{};
  std::int32_t HelperCores{};
  std::string BuildGroup;
  std::int64_t LastConnected{};
  std::string LastConnectedText;
  ByteBool RemoteAdmin;
  std::uint32_t TotalDiskSpace{};
  std::uint32_t AvailDiskSpace{};
  std::string MSVCVersion;
  std::string NetFrameworkVersion;
  std::string LoggedOnUsers;
  ByteBool SchedulerEnabled;
  std::string SchedulerStartTime;
  std::string SchedulerStopTime;
  ByteBool SchedulerRunning;
  TAgentExportXmlBuildInfoList Builds;
  std::int32_t LogicalCoresCount{};
  std::int32_t PhysicalsCoresCount{};
};
using TAgentExportXmlList = TPacketList<TAgentExportXml>;

class TCoordExportXml : public TPacket {
  VT_PACKET_CLASS(TCoordExportXml, TPacket)
 public:
  std::string Role;
  std::string Host;
  std::int32_t Port{};
  std::int32_t AgentCount{};
  std::int64_t ExportTime{};
  std::string ExportTimeText;
  TAgentExportXmlList Agents;
  std::int32_t Version{};
  std::string VersionText;
  ByteBool PrimaryCoordinatorOnline;
  ByteBool BackupCoordinatorOnline;
  std::string BackupCoordinatorHost;
  std::int32_t MinRequiredCPU{};
  std::int32_t MinRequiredDiskSpce{};
  std::int32_t MinRequiredVirtualMem{};
  std::int32_t MinRequiredPhysMem{};
  std::int32_t MaxHelpers{};
};

// ---- Cloud agents ------------------------------------------------------------------

class TConnectCloudAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TConnectCloudAgentPacket, TCommPacket)
 public:
  std::string AgentIP;
  std::string AgentID;
  std::uint8_t AgentType{};  // a row of AgentTypeNames
};

class TRefreshAgentPacket : public TCommPacket {
  VT_PACKET_CLASS(TRefreshAgentPacket, TCommPacket)
 public:
  ByteBool Reserved;
};

// Registers the unit's classes, in declaration order (the lists are not
// registered).
void RegisterReportAgentPacket();

// The unit: its first initialization registers the classes.
extern const UnitEntry kReportAgentPacketUnit;

}  // namespace vt
