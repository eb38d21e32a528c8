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

VT_PACKET_FIELDS(TMetaBuildAttachmentPacket) = {
    VT_FIELD(Filename, 1, String),
    VT_FIELD(Content, 5, Stream),
};
VT_DEFINE_PACKET(TMetaBuildAttachmentPacket, "{D6DC9F53-9D3A-4187-88B6-E9FC52D0E313}")

VT_PACKET_FIELDS(TMetaBuildPacket) = {
    VT_FIELD(ID, 0, Raw(16)),
    VT_FIELD(Caption, 1, String),
    VT_FIELD(ComputerName, 1, String),
    VT_FIELD(UserName, 1, String),
    VT_FIELD(BuildFlags, 0, Sized(6)),
    VT_FIELD(ErrorCount, 2, Raw(4)),
    VT_FIELD(WarningCount, 2, Raw(4)),
    VT_FIELD(SystemErrorCount, 2, Raw(4)),
    VT_FIELD(SystemWarningCount, 2, Raw(4)),
    VT_FIELD(StartTime, 4, Raw(8)),
    VT_FIELD(Duration, 4, Raw(8)),
    VT_FIELD(Cancelled, 3, Raw(1)),
    VT_FIELD(OldMonitorEvents, 5, Stream),
    VT_FIELD(ProductVersion, 2, Raw(4)),
    VT_FIELD(ProductBuildNum, 2, Raw(4)),
    VT_FIELD(ProductVersionText, 1, String),
    VT_FIELD(SystemAutoRecoveryCount, 2, Raw(4)),
    VT_FIELD(OldBuildLog, 5, Stream),
    VT_FIELD(ProjectFormat, 1, String),
    VT_FIELD(LoggingLevel, 2, Raw(4)).WithDefault(-1),
    VT_FIELD(SegmentedBuildLog, 3, Raw(1)),
    VT_FIELD(PrimaryFilename, 1, String),
    VT_FIELD(Incomplete, 3, Raw(1)),
    VT_FIELD(Command, 5, Packet),
    VT_FIELD(OldEventLog, 5, Stream),
    VT_FIELD(Attachments, 5, PacketList),
    VT_FIELD(Tag, 1, String),
    VT_FIELD(MonitorEvents, 5, Stream),
    VT_FIELD(OverrideBuildStatusToSuccess, 3, Raw(1)),
    VT_FIELD(ExitCode, 2, Raw(4)),
    VT_FIELD(BuildLog, 5, Chunked),
    VT_FIELD(EventLog, 5, Chunked),
};
VT_DEFINE_PACKET(TMetaBuildPacket, "{683B05FD-48F0-4EDB-9A3B-8A823CC9AA68}")

VT_PACKET_FIELDS(TMetaBuildCachePacket) = {
    VT_FIELD(Builds, 5, PacketList),
};
VT_DEFINE_PACKET(TMetaBuildCachePacket, "{B0FB2435-A345-4576-A255-EF6AAE191786}")

static_assert(std::size(TMetaBuildPacket::kFields) == 32);

VT_PACKET_FIELDS(TExecuteSearchReplacePacket) = {
    VT_FIELD(CaseSensitive, 3, Raw(1)),
    VT_FIELD(IncludeTerminatingNull, 3, Raw(1)),
    VT_FIELD(SearchForContent, 1, String),
    VT_FIELD(ReplaceWithContent, 1, String),
};
VT_DEFINE_PACKET(TExecuteSearchReplacePacket, "{C189B6E8-F409-4E32-A8FD-C62CA39B6F02}")

VT_PACKET_FIELDS(TExecuteSearchReplaceFilePacket) = {
    VT_FIELD(Path, 1, String),
    VT_FIELD(Items, 5, PacketList),
};
VT_DEFINE_PACKET(TExecuteSearchReplaceFilePacket, "{D49C7AC2-0A02-41E3-A03C-26F58ECFA45C}")

VT_PACKET_FIELDS(TExecuteIncrementalFilePacket) = {
    VT_FIELD(Path, 1, String),
    VT_FIELD(Revision, 2, Raw(4)),
    VT_FIELD(ContinueWithExistingFile, 3, Raw(1)),
    VT_FIELD(BaseRevision, 2, Raw(4)),
    VT_FIELD(SyncPath, 1, String),
    VT_FIELD(LargeFile, 3, Raw(1)),
};
VT_DEFINE_PACKET(TExecuteIncrementalFilePacket, "{0AA3D3ED-304C-4426-B5BB-5C2E88F6E406}")

VT_PACKET_FIELDS(TExecuteDirContentPacket) = {
    VT_FIELD(DirName, 1, String),
    VT_FIELD(DirData, 5, Stream),
};
VT_DEFINE_PACKET(TExecuteDirContentPacket, "{C50C6014-59F4-4FCF-BD83-8582D8277231}")

VT_PACKET_FIELDS(TExecuteCommonDirPacket) = {
    VT_FIELD(DirName, 1, String),
    VT_FIELD(FileMask, 1, String),
    VT_FIELD(ScanOutputText, 3, Raw(1)),
    VT_FIELD(DeleteCached, 3, Raw(1)),
    VT_FIELD(ExistingFiles, 5, StringList),
};
VT_DEFINE_PACKET(TExecuteCommonDirPacket, "{4B8888E4-6EAB-49FC-8783-F75D5AB2B57E}")

VT_PACKET_FIELDS(TExecuteOutputFilePacket) = {
    VT_FIELD(Path, 1, String),
    VT_FIELD(Persistent, 3, Raw(1)),
    VT_FIELD(PullAsSinglePart, 3, Raw(1)),
    VT_FIELD(Incremental, 3, Raw(1)),
    VT_FIELD(LargeFile, 3, Raw(1)),
};
VT_DEFINE_PACKET(TExecuteOutputFilePacket, "{3B342DB4-B61B-4063-B55B-EE93FD78CB9D}")

VT_PACKET_FIELDS(TExecuteResultPacket) = {
    VT_FIELD(ExitCode, 2, Raw(4)),
    VT_FIELD(KernelTime, 2, Raw(8)),
    VT_FIELD(UserTime, 2, Raw(8)),
    VT_FIELD(StdOutText, 1, String),
    VT_FIELD(IncrementalFiles, 5, PacketList),
    VT_FIELD(MetaOutput, 5, Stream),
    VT_FIELD(StdErrText, 1, String),
    VT_FIELD(PdbActionStream, 5, Stream),
    VT_FIELD(PossibleInputFilesAccessed, 5, StringList),
    VT_FIELD(MissingDirect3DFileName, 1, String),
};
VT_DEFINE_PACKET(TExecuteResultPacket, "{5EE08CD8-5571-42D0-B803-FFEC4BEAB38C}")

VT_PACKET_FIELDS(TParentProcessIDPacket) = {
    VT_FIELD(PID, 2, Raw(4)),
    VT_FIELD(Timestamp, 2, Raw(8)),
};
VT_DEFINE_PACKET(TParentProcessIDPacket, "{0438F81F-2E25-4A05-AEFF-F29A67723285}")

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
  RegisterPacketClass(TMetaBuildAttachmentPacket::Class);
  RegisterPacketClass(TMetaBuildPacket::Class);
  RegisterPacketClass(TMetaBuildCachePacket::Class);
  RegisterPacketClass(TExecuteSearchReplacePacket::Class);
  RegisterPacketClass(TExecuteSearchReplaceFilePacket::Class);
  RegisterPacketClass(TExecuteIncrementalFilePacket::Class);
  RegisterPacketClass(TExecuteDirContentPacket::Class);
  RegisterPacketClass(TExecuteCommonDirPacket::Class);
  RegisterPacketClass(TExecuteOutputFilePacket::Class);
  RegisterPacketClass(TExecuteResultPacket::Class);
  RegisterPacketClass(TParentProcessIDPacket::Class);
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
