#include "catalogues/ReportAgentPacket.h"

#include "common/PacketFields.h"

namespace vt {

namespace {

// A string list that travels as one string, its text (each line followed by
// CR LF); reading splits at CR LF, CR or LF and stops at the first NUL.
void SaveListAsText(const void* member, TStream& stream, TPacketStreamingContext*) {
  WriteStringField(stream, StringsToText(*static_cast<const TStrings*>(member)));
}

void LoadListFromText(void* member, TStream& stream, TPacketStreamingContext*) {
  std::string text;
  ReadStringField(stream, text);
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  SetStringsText(*static_cast<TStrings*>(member), text);
}

// Not rendered in dumps.
std::uint8_t ListAsTextToText(const void*, std::string&) { return 0; }

constexpr TCustomFieldOps kListAsText{&SaveListAsText, &LoadListFromText, nullptr,
                                      nullptr,         nullptr,           &ListAsTextToText};

[[noreturn]] void RaiseNotAString(const char* message, const TPacket& packet, std::int32_t index) {
  throw Exception(Format(message, QualifiedFieldName(packet.ClassType(), index)));
}

constexpr std::int32_t kStaticAssembliesIndex = 21;
constexpr std::int32_t kLegacyAssembliesIndex = 24;

}  // namespace

// ---- Benchmark and working schedule -----------------------------------------

VT_PACKET_FIELDS(TBenchmarkPacket) = {
    VT_FIELD(RAM_Write_MBPerSec, 2, Raw(4)), VT_FIELD(RAM_Read_MBPerSec, 2, Raw(4)),
    VT_FIELD(L1_Write_MBPerSec, 2, Raw(4)),  VT_FIELD(L1_Read_MBPerSec, 2, Raw(4)),
    VT_FIELD(CPU_Add_MHz, 2, Raw(4)),        VT_FIELD(CPU_Mul_MHz, 2, Raw(4)),
    VT_FIELD(CPU_Lea_MHz, 2, Raw(4)),        VT_FIELD(Rating, 2, Raw(4)),
    VT_FIELD(MemoryRating, 2, Raw(4)),       VT_FIELD(CpuRating, 2, Raw(4)),
    VT_FIELD(CPU_Speed, 2, Raw(4)),          VT_FIELD(Time_100ns_Obsolete, 2, Raw(8)),
};
VT_DEFINE_PACKET(TBenchmarkPacket, "{F347CC1A-F240-4D6B-8216-5DDD0C824570}")

VT_PACKET_FIELDS(TSchedulerPacket) = {
    VT_FIELD(Enable, 3, Raw(1)),
    VT_FIELD(StartTime, 4, Raw(8)),
    VT_FIELD(StopTime, 4, Raw(8)),
};
VT_DEFINE_PACKET(TSchedulerPacket, "{15177F77-B805-45C3-9734-36A191B8136B}")

// ---- Static machine description ------------------------------------------------

VT_PACKET_FIELDS(TStaticPacket) = {
    VT_FIELD(Version, 2, Raw(4)),
    VT_FIELD(VersionText, 1, String),
    VT_FIELD(Host, 1, String),
    VT_FIELD(Addr, 1, String),
    VT_FIELD(ID, 1, String),
    VT_FIELD(Port, 2, Raw(4)),
    VT_FIELD(CPUSpeed, 2, Raw(4)),
    VT_FIELD(HostComment, 1, String),
    VT_FIELD(ShadowSize, 2, Raw(4)),
    VT_FIELD(VersionInfo, 0, Raw(148)),
    VT_FIELD(LogLevel, 2, Raw(1)),
    VT_FIELD(DiskTotal, 2, Raw(8)),
    VT_FIELD(IP, 2, Raw(4)),
    VT_FIELD(DisplayName, 1, String),
    VT_FIELD(TotalPhysical_Legacy, 2, Raw(4)),
    VT_FIELD(TotalVirtual_Legacy, 2, Raw(4)),
    VT_FIELD(ShadowFragCount_Obsolete, 2, Raw(4)),
    VT_FIELD(CPUCount_WhenHelper, 2, Raw(4)),
    VT_FIELD(AllowEnableDisable, 3, Raw(1)).WithDefault(true),
    VT_FIELD(MSVCVersion, 1, String).WithDefault("-1"),
    VT_FIELD(NETFramworkVersion, 1, String).WithDefault("-1"),
    VT_FIELD(InstalledAssemblies_Obsolete, 5, Custom).WithOps(&kListAsText),
    VT_FIELD(RemoteTaskPriority, 2, Raw(4)),
    VT_FIELD(CPUBrandString, 1, String),
    VT_FIELD(CPULogicalCount, 2, Raw(1)),
    VT_FIELD(CPUPhysicalCount, 2, Raw(1)),
    VT_FIELD(ConnectionSpeed_BackwardCompatible, 2, Raw(8)),
    VT_FIELD(ConnectionInfo, 5, Packet),
    VT_FIELD(RoutingIP, 2, Raw(4)),
    VT_FIELD(ProcessorArchitecture, 2, Raw(2)),
    VT_FIELD(Benchmark, 5, Packet),
    VT_FIELD(UseAgentWhenRunningOnBattery, 3, Raw(1)),
    VT_FIELD(TotalPhysical, 2, Raw(8)),
    VT_FIELD(TotalVirtual, 2, Raw(8)),
    VT_FIELD(ProductInfoType, 2, Raw(4)).WithDefault(std::int64_t{0xFFFFFFFF}),
    VT_FIELD(Serverr2Metric, 2, Raw(4)),
    VT_FIELD(VersionInfoProductType, 2, Raw(1)),
    VT_FIELD(SuiteMask, 2, Raw(2)),
    VT_FIELD(ActiveCodePage, 2, Raw(2)),
    VT_FIELD(HistorySourceID, 0, Raw(16)),
    VT_FIELD(Scheduler, 5, Packet),
    VT_FIELD(OSVersionInfo, 0, Raw(156)),
    VT_FIELD(Is64bitWindows, 3, Raw(1)).WithDefault(true),
    VT_FIELD(CPUCount_WhenInitiator, 2, Raw(4)),
    VT_FIELD(AgentType, 0, Sized(1)),
    VT_FIELD(CPUPhysicalCoreCount, 2, Raw(1)),
    VT_FIELD(HasLocalCoordinatorInstalled, 3, Raw(1)),
    VT_FIELD(MachineID, 1, String),
    VT_FIELD(BuildCacheSizeGB, 2, Raw(4)).WithDefault(-1),
    VT_FIELD(BuildCacheFolder, 1, String),
    VT_FIELD(BuildCacheDatabaseFolder, 1, String),
};
VT_DEFINE_PACKET(TStaticPacket, "{9CE5866E-6274-45A6-B506-9A9BCC38A53A}")

std::string TStaticPacket::GetFieldAsString(std::int32_t index) const {
  if (index == kStaticAssembliesIndex) RaiseNotAString("Cannot get field as string: %s", *this, index);
  return inherited::GetFieldAsString(index);
}

void TStaticPacket::SetFieldAsString(std::int32_t index, const std::string& value) {
  if (index == kStaticAssembliesIndex) RaiseNotAString("Cannot set field as string: %s", *this, index);
  inherited::SetFieldAsString(index, value);
}

// ---- Preferred helpers, version update, subscription ------------------------------

VT_PACKET_FIELDS(TPreferredHelperPacket) = {
    VT_FIELD(AgentName, 1, String),
    VT_FIELD(WorkTimeMSec, 2, Raw(4)),
    VT_FIELD(MaxTimeMSec, 2, Raw(4)),
    VT_FIELD(EmployedAtTickCount, 2, Raw(4)),
};
VT_DEFINE_PACKET(TPreferredHelperPacket, "{E272690C-60DD-4EFE-AA6F-60A2B36A6B54}")

VT_PACKET_FIELDS(TVersionUpdatePacket) = {
    VT_FIELD(UpdateID, 0, Raw(16)),          VT_FIELD(UpdateToCurrentVersion, 3, Raw(1)),
    VT_FIELD(UpdateSize, 2, Raw(4)),         VT_FIELD(DownloadedBytes, 2, Raw(4)),
    VT_FIELD(DownloadInProgress, 3, Raw(1)), VT_FIELD(DownloadComplete, 3, Raw(1)),
    VT_FIELD(InstallStatus, 1, String),      VT_FIELD(InstallStarted, 3, Raw(1)),
    VT_FIELD(QuickRollback, 3, Raw(1)),
};
VT_DEFINE_PACKET(TVersionUpdatePacket, "{75D7B0B3-DE9E-46EC-B92E-2800BAE9DFBB}")

VT_PACKET_FIELDS(TSubscriptionPacket) = {
    VT_FIELD(BuildPriority, 2, Raw(4)),
    VT_FIELD(BuildPriorityBonus, 4, Raw(8)),
    VT_FIELD(BuildGroup, 1, String),
    VT_FIELD(AssignPriority, 2, Raw(4)).WithDefault(100),
    VT_FIELD(LastConnected, 4, Raw(8)),
    VT_FIELD(PreferredHelpers_Obselete, 5, PacketList),
    VT_FIELD(RemoteAdmin, 3, Raw(1)),
    VT_FIELD(VersionUpdate, 5, OptionalPacket),
    VT_FIELD(MultiBootID_Obselete, 0, Raw(16)),
    VT_FIELD(HelperCores, 2, Raw(4)).WithDefault(-1),
    VT_FIELD(LastEnabled, 3, Raw(1)).WithDefault(true),
    VT_FIELD(UpdateInProgress, 3, Raw(1)),
};
VT_DEFINE_PACKET(TSubscriptionPacket, "{1FE39E3E-477C-49A7-AADB-3BB6F4A3EF76}")

// ---- Helper and known-coordinator records ---------------------------------------

VT_PACKET_FIELDS(THelperPacket) = {
    VT_FIELD(WorkingFor, 1, String), VT_FIELD(IdleLevel_Obsolete, 4, Raw(8)),
    VT_FIELD(Assigning, 3, Raw(1)),  VT_FIELD(Working, 3, Raw(1)),
    VT_FIELD(ID, 1, String),         VT_FIELD(BuildID, 0, Raw(16)),
};
VT_DEFINE_PACKET(THelperPacket, "{965E337D-8632-4576-83AF-1559FA08F15A}")

VT_PACKET_FIELDS(TKnownCoordPacket) = {
    VT_FIELD(IsPrimary, 3, Raw(1)),
    VT_FIELD(ComputerName, 1, String),
};
VT_DEFINE_PACKET(TKnownCoordPacket, "{0F24A870-6BF3-4E6C-9191-639BB126F36C}")

// ---- Dynamic agent state -------------------------------------------------------

VT_PACKET_FIELDS(TDynamic_LegacyPacket) = {
    VT_FIELD(HelpersNeeded, 2, Raw(4)),
    VT_FIELD(UpTime, 2, Raw(4)),
    VT_FIELD(DisplayWorkPowerMHz, 2, Raw(4)),
    VT_FIELD(ScreenSaver, 3, Raw(1)),
    VT_FIELD(BuildWarningCount, 2, Raw(4)),
    VT_FIELD(BuildClass, 1, String),
    VT_FIELD(WorkerCount, 2, Raw(4)),
    VT_FIELD(DiskFree, 2, Raw(8)),
    VT_FIELD(Enabled, 3, Raw(1)),
    VT_FIELD(Initializing, 3, Raw(1)),
    VT_FIELD(Terminating, 3, Raw(1)),
    VT_FIELD(Building, 3, Raw(1)),
    VT_FIELD(AvailPhysical_Legacy, 2, Raw(4)),
    VT_FIELD(AvailVirtual_Legacy, 2, Raw(4)),
    VT_FIELD(TotalIdleLevel, 4, Raw(8)),
    VT_FIELD(Helpers, 5, PacketList),
    VT_FIELD(BuildCaption, 1, String),
    VT_FIELD(BuildHelpersAsText_Obsolete, 1, String),
    VT_FIELD(LastConnectionTest, 4, Raw(8)),
    VT_FIELD(ConnectionTest, 3, Raw(1)),
    VT_FIELD(TestInitiated, 3, Raw(1)),
    VT_FIELD(BuildMinWinVer_Major, 2, Raw(4)),
    VT_FIELD(BuildMinWinVer_Minor, 2, Raw(4)),
    VT_FIELD(ShadowUsed, 2, Raw(4)),
    VT_FIELD(RequiredAssemblies, 5, Custom).WithOps(&kListAsText),
    VT_FIELD(LastReclaimDeltaSec, 2, Raw(4)),
    VT_FIELD(RawIdleLevel, 2, Raw(1)),
    VT_FIELD(RawIgnoredCpuLevel, 2, Raw(1)),
    VT_FIELD(RawServiceCpuLevel, 2, Raw(1)),
    VT_FIELD(RawHelperCpuLevel, 2, Raw(1)),
    VT_FIELD(RawVECpuLevel, 2, Raw(1)),
    VT_FIELD(KnownCoords_Obselete, 5, PacketList),
    VT_FIELD(VersionUpdate, 5, OptionalPacket),
    VT_FIELD(VersionUpdateCancelled, 3, Raw(1)),
    VT_FIELD(BuildID, 0, Raw(16)),
    VT_FIELD(BuildHelperIDs, 5, StringList),
    VT_FIELD(BuildDonePercent, 2, Raw(4)),
    VT_FIELD(BuildErrorCount, 2, Raw(4)),
    VT_FIELD(RunningOnBatteryPower, 3, Raw(1)),
    VT_FIELD(BatteryRemainingPercent, 2, Raw(4)),
    VT_FIELD(AvailPhysical, 2, Raw(8)),
    VT_FIELD(AvailVirtual, 2, Raw(8)),
    VT_FIELD(FirewallMisconfigured, 3, Raw(1)),
    VT_FIELD(BuildMaxWinVer_Major, 2, Compact),
    VT_FIELD(BuildMaxWinVer_Minor, 2, Compact),
    VT_FIELD(HistorySerialNumber, 2, Raw(4)),
    VT_FIELD(DisplayWorkPowerCPUs, 2, Compact),
    VT_FIELD(LogOnUsers, 5, StringList),
    VT_FIELD(SchedulerRunning, 3, Raw(1)),
    VT_FIELD(Only64bitHelpers, 3, Raw(1)),
};
VT_DEFINE_PACKET(TDynamic_LegacyPacket, "{A319EB71-BCBC-4820-BA3E-AD5EEA093D0A}")

std::string TDynamic_LegacyPacket::GetFieldAsString(std::int32_t index) const {
  if (index == kLegacyAssembliesIndex) RaiseNotAString("Cannot get field as string: %s", *this, index);
  return inherited::GetFieldAsString(index);
}

void TDynamic_LegacyPacket::SetFieldAsString(std::int32_t index, const std::string& value) {
  if (index == kLegacyAssembliesIndex) RaiseNotAString("Cannot set field as string: %s", *this, index);
  inherited::SetFieldAsString(index, value);
}

VT_PACKET_FIELDS(TDynamicPacket) = {
    VT_FIELD(UpTime, 2, Raw(4)),
    VT_FIELD(ScreenSaver, 3, Raw(1)),
    VT_FIELD(DiskFree, 2, Raw(8)),
    VT_FIELD(Enabled, 3, Raw(1)),
    VT_FIELD(Initializing, 3, Raw(1)),
    VT_FIELD(Terminating, 3, Raw(1)),
    VT_FIELD(Building, 3, Raw(1)),
    VT_FIELD(AvailPhysical_Legacy, 2, Raw(4)),
    VT_FIELD(AvailVirtual_Legacy, 2, Raw(4)),
    VT_FIELD(TotalIdleLevel, 4, Raw(8)),
    VT_FIELD(Helpers, 5, PacketList),
    VT_FIELD(LastConnectionTest, 4, Raw(8)),
    VT_FIELD(ConnectionTest, 3, Raw(1)),
    VT_FIELD(TestInitiated, 3, Raw(1)),
    VT_FIELD(ShadowUsed, 2, Raw(4)),
    VT_FIELD(LastReclaimDeltaSec, 2, Raw(4)),
    VT_FIELD(RawIdleLevel, 2, Raw(1)),
    VT_FIELD(RawIgnoredCpuLevel, 2, Raw(1)),
    VT_FIELD(RawServiceCpuLevel, 2, Raw(1)),
    VT_FIELD(RawHelperCpuLevel, 2, Raw(1)),
    VT_FIELD(RawVECpuLevel, 2, Raw(1)),
    VT_FIELD(KnownCoords_Obselete, 5, PacketList),
    VT_FIELD(VersionUpdate, 5, OptionalPacket),
    VT_FIELD(VersionUpdateCancelled, 3, Raw(1)),
    VT_FIELD(RunningOnBatteryPower, 3, Raw(1)),
    VT_FIELD(BatteryRemainingPercent, 2, Raw(4)),
    VT_FIELD(AvailPhysical, 2, Raw(8)),
    VT_FIELD(AvailVirtual, 2, Raw(8)),
    VT_FIELD(FirewallMisconfigured, 3, Raw(1)),
    VT_FIELD(HistorySerialNumber, 2, Raw(4)),
    VT_FIELD(LogOnUsers, 5, StringList),
    VT_FIELD(SchedulerRunning, 3, Raw(1)),
    VT_FIELD(Builds, 5, PacketList),
    VT_FIELD(CollectStatistics, 3, Raw(1)),
    VT_FIELD(BuildsVersion, 2, Raw(4)),
};
VT_DEFINE_PACKET(TDynamicPacket, "{1DDD7002-47E3-42C3-BAE2-12943492F14B}")

// ---- Coordinator's reply to a report ----------------------------------------------

VT_PACKET_FIELDS(TReportAgentReplyPacket) = {
    VT_FIELD(VersionUpdateNeeded, 3, Raw(1)),
    VT_FIELD(CoordinatorProductVersion, 2, Raw(4)),
    VT_FIELD(VersionUpdate, 5, OptionalPacket),
    VT_FIELD(BackupCoordinatorHost, 1, String),
    VT_FIELD(BackupCoordinatorPort, 2, Raw(4)),
    VT_FIELD(BackupCoordinatorDisplayName, 1, String),
    VT_FIELD(CheckForDuplicateCoordinator_Obselete, 3, Raw(1)),
    VT_FIELD(CoordinatorWorkGroupID_Obselete, 0, Raw(16)),
    VT_FIELD(CoordinatorRoleState, 0, Sized(1)),
    VT_FIELD(CoordinatorName, 1, String),
    VT_FIELD(IgnoreProcesses, 1, String),
    VT_FIELD(DuplicateCoordinatorName_Obsolete, 1, String),
    VT_FIELD(ReportIntervalSec, 2, Raw(4)),
    VT_FIELD(MinIdleLevelPercent, 2, Raw(1)),
    VT_FIELD(AllowEnableDisable, 3, Raw(1)),
    VT_FIELD(MaxHelpersPerJob, 2, Raw(4)),
    VT_FIELD(CustomCheckFailures, 0, Sized(1)),
    VT_FIELD(JustSubscribed_Obsolete, 3, Raw(1)),
    VT_FIELD(ForceEncryptedComm, 3, Raw(1)),
    VT_FIELD(BuildGroups, 1, String),
    VT_FIELD(AllowAgentsSelfRegToBuildGroup_obsolete, 3, Raw(1)),
    VT_FIELD(WebUIPort, 2, Raw(4)),
    VT_FIELD(CoordinatorId, 1, String),
    VT_FIELD(HelperCores, 2, Raw(4)),
};
VT_DEFINE_PACKET(TReportAgentReplyPacket, "{BDD3BD29-EF14-44C2-90E3-EE554B2EF747}")

// ---- Grid export records ------------------------------------------------------------

VT_PACKET_FIELDS(TAgentExportXmlBuildInfo) = {
    VT_FIELD(BuildTitle, 1, String),
    VT_FIELD(BuildProgressPercent, 2, Raw(1)),
    VT_FIELD(BuildAssignedCPUCount, 2, Raw(4)),
    VT_FIELD(WorkPowerMHz, 2, Raw(4)),
    VT_FIELD(WorkPowerCPUs, 2, Raw(4)),
};
VT_DEFINE_PACKET(TAgentExportXmlBuildInfo, "{309BD81E-CC8B-4592-8E41-E967D071FBAB}")

VT_PACKET_FIELDS(TAgentExportXml) = {
    VT_FIELD(Online, 3, Raw(1)),
    VT_FIELD(Version, 2, Raw(4)),
    VT_FIELD(VersionText, 1, String),
    VT_FIELD(Host, 1, String),
    VT_FIELD(Port, 2, Raw(4)),
    VT_FIELD(CPUSpeed, 2, Raw(4)),
    VT_FIELD(CPUCount, 2, Raw(4)),
    VT_FIELD(CPUAvailablePercent, 2, Raw(1)),
    VT_FIELD(CPUBrandString, 1, String),
    VT_FIELD(Description, 1, String),
    VT_FIELD(FileCacheSize, 2, Raw(4)),
    VT_FIELD(FileCacheUsed, 2, Raw(4)),
    VT_FIELD(OSVersion, 1, String),
    VT_FIELD(LogLevel, 2, Raw(1)),
    VT_FIELD(IP, 1, String),
    VT_FIELD(RoutingIP, 1, String),
    VT_FIELD(PerformanceRating, 1, String),
    VT_FIELD(UpTimeSec, 2, Raw(4)),
    VT_FIELD(ScreenSaverRunning, 3, Raw(1)),
    VT_FIELD(Enabled, 3, Raw(1)),
    VT_FIELD(Building, 3, Raw(1)),
    VT_FIELD(WorkingForAgents, 1, String),
    VT_FIELD(TotalPhysical, 2, Raw(8)),
    VT_FIELD(TotalVirtual, 2, Raw(8)),
    VT_FIELD(AvailPhysical, 2, Raw(8)),
    VT_FIELD(AvailVirtual, 2, Raw(8)),
    VT_FIELD(HelperCores, 2, Raw(4)),
    VT_FIELD(BuildGroup, 1, String),
    VT_FIELD(LastConnected, 2, Raw(8)),
    VT_FIELD(LastConnectedText, 1, String),
    VT_FIELD(RemoteAdmin, 3, Raw(1)),
    VT_FIELD(TotalDiskSpace, 2, Raw(4)),
    VT_FIELD(AvailDiskSpace, 2, Raw(4)),
    VT_FIELD(MSVCVersion, 1, String),
    VT_FIELD(NetFrameworkVersion, 1, String),
    VT_FIELD(LoggedOnUsers, 1, String),
    VT_FIELD(SchedulerEnabled, 3, Raw(1)),
    VT_FIELD(SchedulerStartTime, 1, String),
    VT_FIELD(SchedulerStopTime, 1, String),
    VT_FIELD(SchedulerRunning, 3, Raw(1)),
    VT_FIELD(Builds, 5, PacketList).WithItemName("Build"),
    VT_FIELD(LogicalCoresCount, 2, Raw(4)),
    VT_FIELD(PhysicalsCoresCount, 2, Raw(4)),
};
VT_DEFINE_PACKET(TAgentExportXml, "{E1C825B5-4DAD-4098-B369-0026EE0F8888}")

VT_PACKET_FIELDS(TCoordExportXml) = {
    VT_FIELD(Role, 1, String),
    VT_FIELD(Host, 1, String),
    VT_FIELD(Port, 2, Raw(4)),
    VT_FIELD(AgentCount, 2, Raw(4)),
    VT_FIELD(ExportTime, 2, Raw(8)),
    VT_FIELD(ExportTimeText, 1, String),
    VT_FIELD(Agents, 5, PacketList).WithItemName("Agent"),
    VT_FIELD(Version, 2, Raw(4)),
    VT_FIELD(VersionText, 1, String),
    VT_FIELD(PrimaryCoordinatorOnline, 3, Raw(1)),
    VT_FIELD(BackupCoordinatorOnline, 3, Raw(1)),
    VT_FIELD(BackupCoordinatorHost, 1, String),
    VT_FIELD(MinRequiredCPU, 2, Raw(4)),
    VT_FIELD(MinRequiredDiskSpce, 2, Raw(4)),
    VT_FIELD(MinRequiredVirtualMem, 2, Raw(4)),
    VT_FIELD(MinRequiredPhysMem, 2, Raw(4)),
    VT_FIELD(MaxHelpers, 2, Raw(4)),
};
VT_DEFINE_PACKET(TCoordExportXml, "{DFA402D3-6C61-493F-BFB2-8205231B058F}")

// ---- Cloud agents ------------------------------------------------------------------

VT_PACKET_FIELDS(TConnectCloudAgentPacket) = {
    VT_FIELD(AgentIP, 1, String),
    VT_FIELD(AgentID, 1, String),
    VT_FIELD(AgentType, 0, Sized(1)),
};
VT_DEFINE_PACKET(TConnectCloudAgentPacket, "{671BAA72-0279-4FE9-BDD4-9934C0E2859E}")

VT_PACKET_FIELDS(TRefreshAgentPacket) = {
    VT_FIELD(Reserved, 3, Raw(1)),
};
VT_DEFINE_PACKET(TRefreshAgentPacket, "{A697D58A-6FA2-468E-B699-2B86D3C08FC1}")

static_assert(std::size(TBenchmarkPacket::kFields) == 12);
static_assert(std::size(TStaticPacket::kFields) == 51);
static_assert(std::size(TSubscriptionPacket::kFields) == 12);
static_assert(std::size(TDynamic_LegacyPacket::kFields) == 50);
static_assert(std::size(TDynamicPacket::kFields) == 35);
static_assert(std::size(TReportAgentReplyPacket::kFields) == 24);
static_assert(std::size(TAgentExportXml::kFields) == 43);
static_assert(std::size(TCoordExportXml::kFields) == 17);

// ---- Registration ---------------------------------------------------------------

void RegisterReportAgentPacket() {
  RegisterPacketClass(TBenchmarkPacket::Class);
  RegisterPacketClass(TSchedulerPacket::Class);
  RegisterPacketClass(TStaticPacket::Class);
  RegisterPacketClass(TPreferredHelperPacket::Class);
  RegisterPacketClass(TVersionUpdatePacket::Class);
  RegisterPacketClass(TSubscriptionPacket::Class);
  RegisterPacketClass(THelperPacket::Class);
  RegisterPacketClass(TKnownCoordPacket::Class);
  RegisterPacketClass(TDynamic_LegacyPacket::Class);
  RegisterPacketClass(TDynamicPacket::Class);
  RegisterPacketClass(TReportAgentReplyPacket::Class);
  RegisterPacketClass(TAgentExportXmlBuildInfo::Class);
  RegisterPacketClass(TAgentExportXml::Class);
  RegisterPacketClass(TCoordExportXml::Class);
  RegisterPacketClass(TConnectCloudAgentPacket::Class);
  RegisterPacketClass(TRefreshAgentPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeReportAgentPacket() {
  if (g_init_count++ == 0) RegisterReportAgentPacket();
}
void FinalizeReportAgentPacket() { --g_init_count; }
}  // namespace

const UnitEntry kReportAgentPacketUnit{"ReportAgentPacket", &InitializeReportAgentPacket,
                                       &FinalizeReportAgentPacket};

}  // namespace vt
