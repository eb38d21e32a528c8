#include "catalogues/BuildPackets.h"

namespace vt {

VT_PACKET_FIELDS(TBuildCommandProjectPacket) = {
    VT_FIELD(Name, 1, String),
    VT_FIELD(Config, 1, String),
    VT_FIELD(RelativePath_Optional, 1, String),
    VT_FIELD(MSBuildName, 1, String),
    VT_FIELD(IdeName, 1, String),
};
VT_DEFINE_PACKET(TBuildCommandProjectPacket, "{95CC18AF-747B-4B8C-A35D-16047EF6C6EA}")

VT_PACKET_FIELDS(TBuildCommandPacket) = {
    VT_FIELD(BuildID, 0, Raw(16)),
    VT_FIELD(Flags, 0, Sized(6)),
    VT_FIELD(BuildClass, 1, String),
    VT_FIELD(Caption, 1, String),
    VT_FIELD(PrimaryFilename, 1, String),
    VT_FIELD(EnvBlock, 1, String),
    VT_FIELD(WorkspaceAsStr, 1, String),
    VT_FIELD(LocalAppDataDir, 1, Wide),
    VT_FIELD(SelectedSources, 5, StringList),
    VT_FIELD(LoadedProjectPaths, 5, StringList),
    VT_FIELD(Obsolete_ActiveProjects, 5, StringList),
    VT_FIELD(CompilerParamsAdd, 5, StringList),
    VT_FIELD(CompilerParamsSub, 5, StringList),
    VT_FIELD(LinkerParamsAdd, 5, StringList),
    VT_FIELD(LinkerParamsSub, 5, StringList),
    VT_FIELD(ShouldBuildProjectPaths, 5, StringList),
    VT_FIELD(AllowRemote, 5, StringList),
    VT_FIELD(AllowIntercept, 5, StringList),
    VT_FIELD(CurDir, 1, String),
    VT_FIELD(Command, 1, String),
    VT_FIELD(ProfileFilename, 1, String),
    VT_FIELD(BuildConsoleCommandLine, 1, String),
    VT_FIELD(MonitorFilename, 1, String),
    VT_FIELD(EVC4_CeConfig, 1, String),
    VT_FIELD(OverrideMaxHelpersPerJob, 2, Raw(4)),
    VT_FIELD(ActiveProjects, 5, PacketList),
    VT_FIELD(BoundsCheckerInstrumentedProjects, 5, StringList),
    VT_FIELD(IntelCompilerVersion, 1, String),
    VT_FIELD(MinWinVer_Major, 2, Compact),
    VT_FIELD(MinWinVer_Minor, 2, Compact),
    VT_FIELD(MaxWinVer_Major, 2, Compact),
    VT_FIELD(MaxWinVer_Minor, 2, Compact),
    VT_FIELD(OverrideLogLevel, 2, Raw(1)).WithDefault(-1),
    VT_FIELD(ForcedEnv, 5, StringList),
    VT_FIELD(Obsolete_NintendoProjects, 5, StringList),
    VT_FIELD(LogWarnings, 3, Raw(1)),
    VT_FIELD(InitiatorName, 1, String),
    VT_FIELD(KeepNumOfJobs, 3, Raw(1)),
    VT_FIELD(PlugInVer, 1, String),
    VT_FIELD(KWJsonName, 1, String),
    VT_FIELD(OutDir, 1, String),
    VT_FIELD(MSBuildArgs, 1, String),
    VT_FIELD(UseMSBuild, 3, Raw(1)),
    VT_FIELD(InjectBase, 2, Raw(8)),
    VT_FIELD(AdditionalArgs, 1, String),
    VT_FIELD(VirtualizeDirectX, 3, Raw(1)),
    VT_FIELD(PluginUpDateVer, 2, Raw(4)).WithDefault(-1),
    VT_FIELD(DisablePdbForwarding, 3, Raw(1)),
    VT_FIELD(UseIDEMonitorPID, 2, Raw(4)),
    VT_FIELD(MonitoredDirs, 5, StringList),
    VT_FIELD(HideFile, 1, String),
    VT_FIELD(VSInstallDir, 1, String),
    VT_FIELD(VtExitCodeShift, 2, Raw(4)),
    VT_FIELD(MSBuildMaxInstances, 2, Raw(4)),
    VT_FIELD(BiIssuer, 1, String),
    VT_FIELD(TestFwId, 1, String),
    VT_FIELD(ConsoleOutputCodePage, 2, Raw(4)),
    VT_FIELD(OverridePredictedExecutionMode, 2, Raw(1)).WithDefault(-1),
    VT_FIELD(OverrideUseMSBuild, 2, Raw(1)).WithDefault(0),
};
VT_DEFINE_PACKET(TBuildCommandPacket, "{26B22475-8588-4603-BBCE-844F30AEDD55}")

static_assert(std::size(TBuildCommandPacket::kFields) == 59);

VT_PACKET_FIELDS(TBuildStatusPacket) = {
    VT_FIELD(BuildID, 0, Raw(16)),
    VT_FIELD(BuildClass, 1, String),
    VT_FIELD(Caption, 1, String),
    VT_FIELD(DisplayTitle, 1, String),
    VT_FIELD(DonePercent, 2, Raw(1)),
    VT_FIELD(HelpersNeeded, 2, Raw(4)),
    VT_FIELD(HelperIDs, 5, StringList),
    VT_FIELD(MinWinVer_Major, 2, Raw(4)),
    VT_FIELD(MinWinVer_Minor, 2, Raw(4)),
    VT_FIELD(RequiredAssemblies_Obsolete, 5, StringList),
    VT_FIELD(BuildErrorCount, 2, Raw(4)),
    VT_FIELD(BuildWarningCount, 2, Raw(4)),
    VT_FIELD(Flags, 0, Sized(6)),
    VT_FIELD(MaxWinVer_Major, 2, Compact),
    VT_FIELD(MaxWinVer_Minor, 2, Compact),
    VT_FIELD(DisplayWorkPowerMHz, 2, Raw(4)),
    VT_FIELD(DisplayWorkPowerCPUs, 2, Compact),
    VT_FIELD(Only64bitHelpers, 3, Raw(1)),
    VT_FIELD(WorkerCount, 2, Raw(4)),
    VT_FIELD(StartTime, 4, Raw(8)),
    VT_FIELD(AvoidLocalExec, 3, Raw(1)),
    VT_FIELD(LocalCores, 2, Raw(4)),
};
VT_DEFINE_PACKET(TBuildStatusPacket, "{14F0DF70-FB6B-4D71-90B9-5048EB7CCAC2}")

VT_PACKET_FIELDS(TAttachToBuildPacket) = {
    VT_FIELD(BuildID, 0, Raw(16)),
};
VT_DEFINE_PACKET(TAttachToBuildPacket, "{6E76799D-6424-41CE-9860-16871B0D5DE9}")

VT_PACKET_FIELDS(TBuildAvoidanceStatisticsPacket) = {
    VT_FIELD(BuildID, 1, String),
    VT_FIELD(TotalCacheableTasks, 2, Raw(4)),
    VT_FIELD(CachedTasks, 2, Raw(4)),
    VT_FIELD(CachedTasksTotalProcessingTime, 2, Raw(8)),
    VT_FIELD(TotalOriginalItemsTime, 2, Raw(8)),
    VT_FIELD(UncachedTasks, 2, Raw(4)),
    VT_FIELD(NewCacheTasks, 2, Raw(4)),
    VT_FIELD(NewCachedTasksProcessingTime, 2, Raw(8)),
    VT_FIELD(NewCachedTasksTotalOriginalTime, 2, Raw(8)),
    VT_FIELD(NewCachedTasksArtifactsTotalSize, 2, Raw(4)),
    VT_FIELD(TotalCacheTime, 2, Raw(8)),
    VT_FIELD(DBServer, 1, String),
    VT_FIELD(CacheLocation, 1, String),
};
VT_DEFINE_PACKET(TBuildAvoidanceStatisticsPacket, "{50FD63A3-CCCD-4FD8-AD08-01223B50FEE3}")

static_assert(std::size(TBuildStatusPacket::kFields) == 22);
static_assert(std::size(TBuildAvoidanceStatisticsPacket::kFields) == 13);

void RegisterBuildPackets() {
  RegisterPacketClass(TBuildCommandProjectPacket::Class);
  RegisterPacketClass(TBuildCommandPacket::Class);
  RegisterPacketClass(TBuildStatusPacket::Class);
  RegisterPacketClass(TAttachToBuildPacket::Class);
  RegisterPacketClass(TBuildAvoidanceStatisticsPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeBuildPackets() {
  if (g_init_count++ == 0) RegisterBuildPackets();
}
void FinalizeBuildPackets() { --g_init_count; }
}  // namespace

const UnitEntry kBuildPacketsUnit{"BuildPackets", &InitializeBuildPackets, &FinalizeBuildPackets};

}  // namespace vt
