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
    VT_FIELD(RAM_Write_MBPerSec, pftInteger, Raw(4)),
    VT_FIELD(RAM_Read_MBPerSec, pftInteger, Raw(4)),
    VT_FIELD(L1_Write_MBPerSec, pftInteger, Raw(4)),
    VT_FIELD(L1_Read_MBPerSec, pftInteger, Raw(4)),
    VT_FIELD(CPU_Add_MHz, pftInteger, Raw(4)),
    VT_FIELD(CPU_Mul_MHz, pftInteger, Raw(4)),
    VT_FIELD(CPU_Lea_MHz, pftInteger, Raw(4)),
    VT_FIELD(Rating, pftInteger, Raw(4)),
    VT_FIELD(MemoryRating, pftInteger, Raw(4)),
    VT_FIELD(CpuRating, pftInteger, Raw(4)),
    VT_FIELD(CPU_Speed, pftInteger, Raw(4)),
    VT_FIELD(Time_100ns_Obsolete, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TBenchmarkPacket, "{F347CC1A-F240-4D6B-8216-5DDD0C824570}")

VT_PACKET_FIELDS(TSchedulerPacket) = {
    VT_FIELD(Enable, pftBoolean, Raw(1)),
    VT_FIELD(StartTime, pftDouble, Raw(8)),
    VT_FIELD(StopTime, pftDouble, Raw(8)),
};
VT_DEFINE_PACKET(TSchedulerPacket, "{15177F77-B805-45C3-9734-36A191B8136B}")

// ---- Static machine description ------------------------------------------------

VT_PACKET_FIELDS(TStaticPacket) = {
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(Host, pftString, String),
    VT_FIELD(Addr, pftString, String),
    VT_FIELD(ID, pftString, String),
    VT_FIELD(Port, pftInteger, Raw(4)),
    VT_FIELD(CPUSpeed, pftInteger, Raw(4)),
    VT_FIELD(HostComment, pftString, String),
    VT_FIELD(ShadowSize, pftInteger, Raw(4)),
    VT_FIELD(VersionInfo, pftOther, Raw(148)),
    VT_FIELD(LogLevel, pftInteger, Raw(1)),
    VT_FIELD(DiskTotal, pftInteger, Raw(8)),
    VT_FIELD(IP, pftInteger, Raw(4)),
    VT_FIELD(DisplayName, pftString, String),
    VT_FIELD(TotalPhysical_Legacy, pftInteger, Raw(4)),
    VT_FIELD(TotalVirtual_Legacy, pftInteger, Raw(4)),
    VT_FIELD(ShadowFragCount_Obsolete, pftInteger, Raw(4)),
    VT_FIELD(CPUCount_WhenHelper, pftInteger, Raw(4)),
    VT_FIELD(AllowEnableDisable, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(MSVCVersion, pftString, String).WithDefault("-1"),
    VT_FIELD(NETFramworkVersion, pftString, String).WithDefault("-1"),
    VT_FIELD(InstalledAssemblies_Obsolete, pftObject, Custom).WithOps(&kListAsText),
    VT_FIELD(RemoteTaskPriority, pftInteger, Raw(4)),
    VT_FIELD(CPUBrandString, pftString, String),
    VT_FIELD(CPULogicalCount, pftInteger, Raw(1)),
    VT_FIELD(CPUPhysicalCount, pftInteger, Raw(1)),
    VT_FIELD(ConnectionSpeed_BackwardCompatible, pftInteger, Raw(8)),
    VT_FIELD(ConnectionInfo, pftObject, Packet),
    VT_FIELD(RoutingIP, pftInteger, Raw(4)),
    VT_FIELD(ProcessorArchitecture, pftInteger, Raw(2)),
    VT_FIELD(Benchmark, pftObject, Packet),
    VT_FIELD(UseAgentWhenRunningOnBattery, pftBoolean, Raw(1)),
    VT_FIELD(TotalPhysical, pftInteger, Raw(8)),
    VT_FIELD(TotalVirtual, pftInteger, Raw(8)),
    VT_FIELD(ProductInfoType, pftInteger, Raw(4)).WithDefault(std::int64_t{0xFFFFFFFF}),
    VT_FIELD(Serverr2Metric, pftInteger, Raw(4)),
    VT_FIELD(VersionInfoProductType, pftInteger, Raw(1)),
    VT_FIELD(SuiteMask, pftInteger, Raw(2)),
    VT_FIELD(ActiveCodePage, pftInteger, Raw(2)),
    VT_FIELD(HistorySourceID, pftOther, Raw(16)),
    VT_FIELD(Scheduler, pftObject, Packet),
    VT_FIELD(OSVersionInfo, pftOther, Raw(156)),
    VT_FIELD(Is64bitWindows, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(CPUCount_WhenInitiator, pftInteger, Raw(4)),
    VT_FIELD(AgentType, pftOther, Sized(1)),
    VT_FIELD(CPUPhysicalCoreCount, pftInteger, Raw(1)),
    VT_FIELD(HasLocalCoordinatorInstalled, pftBoolean, Raw(1)),
    VT_FIELD(MachineID, pftString, String),
    VT_FIELD(BuildCacheSizeGB, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(BuildCacheFolder, pftString, String),
    VT_FIELD(BuildCacheDatabaseFolder, pftString, String),
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
    VT_FIELD(AgentName, pftString, String),
    VT_FIELD(WorkTimeMSec, pftInteger, Raw(4)),
    VT_FIELD(MaxTimeMSec, pftInteger, Raw(4)),
    VT_FIELD(EmployedAtTickCount, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TPreferredHelperPacket, "{E272690C-60DD-4EFE-AA6F-60A2B36A6B54}")

VT_PACKET_FIELDS(TVersionUpdatePacket) = {
    VT_FIELD(UpdateID, pftOther, Raw(16)),
    VT_FIELD(UpdateToCurrentVersion, pftBoolean, Raw(1)),
    VT_FIELD(UpdateSize, pftInteger, Raw(4)),
    VT_FIELD(DownloadedBytes, pftInteger, Raw(4)),
    VT_FIELD(DownloadInProgress, pftBoolean, Raw(1)),
    VT_FIELD(DownloadComplete, pftBoolean, Raw(1)),
    VT_FIELD(InstallStatus, pftString, String),
    VT_FIELD(InstallStarted, pftBoolean, Raw(1)),
    VT_FIELD(QuickRollback, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TVersionUpdatePacket, "{75D7B0B3-DE9E-46EC-B92E-2800BAE9DFBB}")

VT_PACKET_FIELDS(TSubscriptionPacket) = {
    VT_FIELD(BuildPriority, pftInteger, Raw(4)),
    VT_FIELD(BuildPriorityBonus, pftDouble, Raw(8)),
    VT_FIELD(BuildGroup, pftString, String),
    VT_FIELD(AssignPriority, pftInteger, Raw(4)).WithDefault(100),
    VT_FIELD(LastConnected, pftDouble, Raw(8)),
    VT_FIELD(PreferredHelpers_Obselete, pftObject, PacketList),
    VT_FIELD(RemoteAdmin, pftBoolean, Raw(1)),
    VT_FIELD(VersionUpdate, pftObject, OptionalPacket),
    VT_FIELD(MultiBootID_Obselete, pftOther, Raw(16)),
    VT_FIELD(HelperCores, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(LastEnabled, pftBoolean, Raw(1)).WithDefault(true),
    VT_FIELD(UpdateInProgress, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TSubscriptionPacket, "{1FE39E3E-477C-49A7-AADB-3BB6F4A3EF76}")

// ---- Helper and known-coordinator records ---------------------------------------

VT_PACKET_FIELDS(THelperPacket) = {
    VT_FIELD(WorkingFor, pftString, String),
    VT_FIELD(IdleLevel_Obsolete, pftDouble, Raw(8)),
    VT_FIELD(Assigning, pftBoolean, Raw(1)),
    VT_FIELD(Working, pftBoolean, Raw(1)),
    VT_FIELD(ID, pftString, String),
    VT_FIELD(BuildID, pftOther, Raw(16)),
};
VT_DEFINE_PACKET(THelperPacket, "{965E337D-8632-4576-83AF-1559FA08F15A}")

VT_PACKET_FIELDS(TKnownCoordPacket) = {
    VT_FIELD(IsPrimary, pftBoolean, Raw(1)),
    VT_FIELD(ComputerName, pftString, String),
};
VT_DEFINE_PACKET(TKnownCoordPacket, "{0F24A870-6BF3-4E6C-9191-639BB126F36C}")

// ---- Dynamic agent state -------------------------------------------------------

VT_PACKET_FIELDS(TDynamic_LegacyPacket) = {
    VT_FIELD(HelpersNeeded, pftInteger, Raw(4)),
    VT_FIELD(UpTime, pftInteger, Raw(4)),
    VT_FIELD(DisplayWorkPowerMHz, pftInteger, Raw(4)),
    VT_FIELD(ScreenSaver, pftBoolean, Raw(1)),
    VT_FIELD(BuildWarningCount, pftInteger, Raw(4)),
    VT_FIELD(BuildClass, pftString, String),
    VT_FIELD(WorkerCount, pftInteger, Raw(4)),
    VT_FIELD(DiskFree, pftInteger, Raw(8)),
    VT_FIELD(Enabled, pftBoolean, Raw(1)),
    VT_FIELD(Initializing, pftBoolean, Raw(1)),
    VT_FIELD(Terminating, pftBoolean, Raw(1)),
    VT_FIELD(Building, pftBoolean, Raw(1)),
    VT_FIELD(AvailPhysical_Legacy, pftInteger, Raw(4)),
    VT_FIELD(AvailVirtual_Legacy, pftInteger, Raw(4)),
    VT_FIELD(TotalIdleLevel, pftDouble, Raw(8)),
    VT_FIELD(Helpers, pftObject, PacketList),
    VT_FIELD(BuildCaption, pftString, String),
    VT_FIELD(BuildHelpersAsText_Obsolete, pftString, String),
    VT_FIELD(LastConnectionTest, pftDouble, Raw(8)),
    VT_FIELD(ConnectionTest, pftBoolean, Raw(1)),
    VT_FIELD(TestInitiated, pftBoolean, Raw(1)),
    VT_FIELD(BuildMinWinVer_Major, pftInteger, Raw(4)),
    VT_FIELD(BuildMinWinVer_Minor, pftInteger, Raw(4)),
    VT_FIELD(ShadowUsed, pftInteger, Raw(4)),
    VT_FIELD(RequiredAssemblies, pftObject, Custom).WithOps(&kListAsText),
    VT_FIELD(LastReclaimDeltaSec, pftInteger, Raw(4)),
    VT_FIELD(RawIdleLevel, pftInteger, Raw(1)),
    VT_FIELD(RawIgnoredCpuLevel, pftInteger, Raw(1)),
    VT_FIELD(RawServiceCpuLevel, pftInteger, Raw(1)),
    VT_FIELD(RawHelperCpuLevel, pftInteger, Raw(1)),
    VT_FIELD(RawVECpuLevel, pftInteger, Raw(1)),
    VT_FIELD(KnownCoords_Obselete, pftObject, PacketList),
    VT_FIELD(VersionUpdate, pftObject, OptionalPacket),
    VT_FIELD(VersionUpdateCancelled, pftBoolean, Raw(1)),
    VT_FIELD(BuildID, pftOther, Raw(16)),
    VT_FIELD(BuildHelperIDs, pftObject, StringList),
    VT_FIELD(BuildDonePercent, pftInteger, Raw(4)),
    VT_FIELD(BuildErrorCount, pftInteger, Raw(4)),
    VT_FIELD(RunningOnBatteryPower, pftBoolean, Raw(1)),
    VT_FIELD(BatteryRemainingPercent, pftInteger, Raw(4)),
    VT_FIELD(AvailPhysical, pftInteger, Raw(8)),
    VT_FIELD(AvailVirtual, pftInteger, Raw(8)),
    VT_FIELD(FirewallMisconfigured, pftBoolean, Raw(1)),
    VT_FIELD(BuildMaxWinVer_Major, pftInteger, Compact),
    VT_FIELD(BuildMaxWinVer_Minor, pftInteger, Compact),
    VT_FIELD(HistorySerialNumber, pftInteger, Raw(4)),
    VT_FIELD(DisplayWorkPowerCPUs, pftInteger, Compact),
    VT_FIELD(LogOnUsers, pftObject, StringList),
    VT_FIELD(SchedulerRunning, pftBoolean, Raw(1)),
    VT_FIELD(Only64bitHelpers, pftBoolean, Raw(1)),
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
    VT_FIELD(UpTime, pftInteger, Raw(4)),
    VT_FIELD(ScreenSaver, pftBoolean, Raw(1)),
    VT_FIELD(DiskFree, pftInteger, Raw(8)),
    VT_FIELD(Enabled, pftBoolean, Raw(1)),
    VT_FIELD(Initializing, pftBoolean, Raw(1)),
    VT_FIELD(Terminating, pftBoolean, Raw(1)),
    VT_FIELD(Building, pftBoolean, Raw(1)),
    VT_FIELD(AvailPhysical_Legacy, pftInteger, Raw(4)),
    VT_FIELD(AvailVirtual_Legacy, pftInteger, Raw(4)),
    VT_FIELD(TotalIdleLevel, pftDouble, Raw(8)),
    VT_FIELD(Helpers, pftObject, PacketList),
    VT_FIELD(LastConnectionTest, pftDouble, Raw(8)),
    VT_FIELD(ConnectionTest, pftBoolean, Raw(1)),
    VT_FIELD(TestInitiated, pftBoolean, Raw(1)),
    VT_FIELD(ShadowUsed, pftInteger, Raw(4)),
    VT_FIELD(LastReclaimDeltaSec, pftInteger, Raw(4)),
    VT_FIELD(RawIdleLevel, pftInteger, Raw(1)),
    VT_FIELD(RawIgnoredCpuLevel, pftInteger, Raw(1)),
    VT_FIELD(RawServiceCpuLevel, pftInteger, Raw(1)),
    VT_FIELD(RawHelperCpuLevel, pftInteger, Raw(1)),
    VT_FIELD(RawVECpuLevel, pftInteger, Raw(1)),
    VT_FIELD(KnownCoords_Obselete, pftObject, PacketList),
    VT_FIELD(VersionUpdate, pftObject, OptionalPacket),
    VT_FIELD(VersionUpdateCancelled, pftBoolean, Raw(1)),
    VT_FIELD(RunningOnBatteryPower, pftBoolean, Raw(1)),
    VT_FIELD(BatteryRemainingPercent, pftInteger, Raw(4)),
    VT_FIELD(AvailPhysical, pftInteger, Raw(8)),
    VT_FIELD(AvailVirtual, pftInteger, Raw(8)),
    VT_FIELD(FirewallMisconfigured, pftBoolean, Raw(1)),
    VT_FIELD(HistorySerialNumber, pftInteger, Raw(4)),
    VT_FIELD(LogOnUsers, pftObject, StringList),
    VT_FIELD(SchedulerRunning, pftBoolean, Raw(1)),
    VT_FIELD(Builds, pftObject, PacketList),
    VT_FIELD(CollectStatistics, pftBoolean, Raw(1)),
    VT_FIELD(BuildsVersion, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TDynamicPacket, "{1DDD7002-47E3-42C3-BAE2-12943492F14B}")

// ---- Coordinator's reply to a report ----------------------------------------------

VT_PACKET_FIELDS(TReportAgentReplyPacket) = {
    VT_FIELD(VersionUpdateNeeded, pftBoolean, Raw(1)),
    VT_FIELD(CoordinatorProductVersion, pftInteger, Raw(4)),
    VT_FIELD(VersionUpdate, pftObject, OptionalPacket),
    VT_FIELD(BackupCoordinatorHost, pftString, String),
    VT_FIELD(BackupCoordinatorPort, pftInteger, Raw(4)),
    VT_FIELD(BackupCoordinatorDisplayName, pftString, String),
    VT_FIELD(CheckForDuplicateCoordinator_Obselete, pftBoolean, Raw(1)),
    VT_FIELD(CoordinatorWorkGroupID_Obselete, pftOther, Raw(16)),
    VT_FIELD(CoordinatorRoleState, pftOther, Sized(1)),
    VT_FIELD(CoordinatorName, pftString, String),
    VT_FIELD(IgnoreProcesses, pftString, String),
    VT_FIELD(DuplicateCoordinatorName_Obsolete, pftString, String),
    VT_FIELD(ReportIntervalSec, pftInteger, Raw(4)),
    VT_FIELD(MinIdleLevelPercent, pftInteger, Raw(1)),
    VT_FIELD(AllowEnableDisable, pftBoolean, Raw(1)),
    VT_FIELD(MaxHelpersPerJob, pftInteger, Raw(4)),
    VT_FIELD(CustomCheckFailures, pftOther, Sized(1)),
    VT_FIELD(JustSubscribed_Obsolete, pftBoolean, Raw(1)),
    VT_FIELD(ForceEncryptedComm, pftBoolean, Raw(1)),
    VT_FIELD(BuildGroups, pftString, String),
    VT_FIELD(AllowAgentsSelfRegToBuildGroup_obsolete, pftBoolean, Raw(1)),
    VT_FIELD(WebUIPort, pftInteger, Raw(4)),
    VT_FIELD(CoordinatorId, pftString, String),
    VT_FIELD(HelperCores, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TReportAgentReplyPacket, "{BDD3BD29-EF14-44C2-90E3-EE554B2EF747}")

// ---- Grid export records ------------------------------------------------------------

VT_PACKET_FIELDS(TAgentExportXmlBuildInfo) = {
    VT_FIELD(BuildTitle, pftString, String),
    VT_FIELD(BuildProgressPercent, pftInteger, Raw(1)),
    VT_FIELD(BuildAssignedCPUCount, pftInteger, Raw(4)),
    VT_FIELD(WorkPowerMHz, pftInteger, Raw(4)),
    VT_FIELD(WorkPowerCPUs, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TAgentExportXmlBuildInfo, "{309BD81E-CC8B-4592-8E41-E967D071FBAB}")

VT_PACKET_FIELDS(TAgentExportXml) = {
    VT_FIELD(Online, pftBoolean, Raw(1)),
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(Host, pftString, String),
    VT_FIELD(Port, pftInteger, Raw(4)),
    VT_FIELD(CPUSpeed, pftInteger, Raw(4)),
    VT_FIELD(CPUCount, pftInteger, Raw(4)),
    VT_FIELD(CPUAvailablePercent, pftInteger, Raw(1)),
    VT_FIELD(CPUBrandString, pftString, String),
    VT_FIELD(Description, pftString, String),
    VT_FIELD(FileCacheSize, pftInteger, Raw(4)),
    VT_FIELD(FileCacheUsed, pftInteger, Raw(4)),
    VT_FIELD(OSVersion, pftString, String),
    VT_FIELD(LogLevel, pftInteger, Raw(1)),
    VT_FIELD(IP, pftString, String),
    VT_FIELD(RoutingIP, pftString, String),
    VT_FIELD(PerformanceRating, pftString, String),
    VT_FIELD(UpTimeSec, pftInteger, Raw(4)),
    VT_FIELD(ScreenSaverRunning, pftBoolean, Raw(1)),
    VT_FIELD(Enabled, pftBoolean, Raw(1)),
    VT_FIELD(Building, pftBoolean, Raw(1)),
    VT_FIELD(WorkingForAgents, pftString, String),
    VT_FIELD(TotalPhysical, pftInteger, Raw(8)),
    VT_FIELD(TotalVirtual, pftInteger, Raw(8)),
    VT_FIELD(AvailPhysical, pftInteger, Raw(8)),
    VT_FIELD(AvailVirtual, pftInteger, Raw(8)),
    VT_FIELD(HelperCores, pftInteger, Raw(4)),
    VT_FIELD(BuildGroup, pftString, String),
    VT_FIELD(LastConnected, pftInteger, Raw(8)),
    VT_FIELD(LastConnectedText, pftString, String),
    VT_FIELD(RemoteAdmin, pftBoolean, Raw(1)),
    VT_FIELD(TotalDiskSpace, pftInteger, Raw(4)),
    VT_FIELD(AvailDiskSpace, pftInteger, Raw(4)),
    VT_FIELD(MSVCVersion, pftString, String),
    VT_FIELD(NetFrameworkVersion, pftString, String),
    VT_FIELD(LoggedOnUsers, pftString, String),
    VT_FIELD(SchedulerEnabled, pftBoolean, Raw(1)),
    VT_FIELD(SchedulerStartTime, pftString, String),
    VT_FIELD(SchedulerStopTime, pftString, String),
    VT_FIELD(SchedulerRunning, pftBoolean, Raw(1)),
    VT_FIELD(Builds, pftObject, PacketList).WithItemName("Build"),
    VT_FIELD(LogicalCoresCount, pftInteger, Raw(4)),
    VT_FIELD(PhysicalsCoresCount, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TAgentExportXml, "{E1C825B5-4DAD-4098-B369-0026EE0F8888}")

VT_PACKET_FIELDS(TCoordExportXml) = {
    VT_FIELD(Role, pftString, String),
    VT_FIELD(Host, pftString, String),
    VT_FIELD(Port, pftInteger, Raw(4)),
    VT_FIELD(AgentCount, pftInteger, Raw(4)),
    VT_FIELD(ExportTime, pftInteger, Raw(8)),
    VT_FIELD(ExportTimeText, pftString, String),
    VT_FIELD(Agents, pftObject, PacketList).WithItemName("Agent"),
    VT_FIELD(Version, pftInteger, Raw(4)),
    VT_FIELD(VersionText, pftString, String),
    VT_FIELD(PrimaryCoordinatorOnline, pftBoolean, Raw(1)),
    VT_FIELD(BackupCoordinatorOnline, pftBoolean, Raw(1)),
    VT_FIELD(BackupCoordinatorHost, pftString, String),
    VT_FIELD(MinRequiredCPU, pftInteger, Raw(4)),
    VT_FIELD(MinRequiredDiskSpce, pftInteger, Raw(4)),
    VT_FIELD(MinRequiredVirtualMem, pftInteger, Raw(4)),
    VT_FIELD(MinRequiredPhysMem, pftInteger, Raw(4)),
    VT_FIELD(MaxHelpers, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TCoordExportXml, "{DFA402D3-6C61-493F-BFB2-8205231B058F}")

// ---- Cloud agents ------------------------------------------------------------------

VT_PACKET_FIELDS(TConnectCloudAgentPacket) = {
    VT_FIELD(AgentIP, pftString, String),
    VT_FIELD(AgentID, pftString, String),
    VT_FIELD(AgentType, pftOther, Sized(1)),
};
VT_DEFINE_PACKET(TConnectCloudAgentPacket, "{671BAA72-0279-4FE9-BDD4-9934C0E2859E}")

VT_PACKET_FIELDS(TRefreshAgentPacket) = {
    VT_FIELD(Reserved, pftBoolean, Raw(1)),
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
