#include "catalogues/BuildPackets.h"

namespace vt {

VT_PACKET_FIELDS(TBuildCommandProjectPacket) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Config, pftString, String),
    VT_FIELD(RelativePath_Optional, pftString, String),
    VT_FIELD(MSBuildName, pftString, String),
    VT_FIELD(IdeName, pftString, String),
};
VT_DEFINE_PACKET(TBuildCommandProjectPacket, "{95CC18AF-747B-4B8C-A35D-16047EF6C6EA}")

VT_PACKET_FIELDS(TBuildCommandPacket) = {
    VT_FIELD(BuildID, pftOther, Raw(16)),
    VT_FIELD(Flags, pftOther, Sized(6)),
    VT_FIELD(BuildClass, pftString, String),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(PrimaryFilename, pftString, String),
    VT_FIELD(EnvBlock, pftString, String),
    VT_FIELD(WorkspaceAsStr, pftString, String),
    VT_FIELD(LocalAppDataDir, pftString, Wide),
    VT_FIELD(SelectedSources, pftObject, StringList),
    VT_FIELD(LoadedProjectPaths, pftObject, StringList),
    VT_FIELD(Obsolete_ActiveProjects, pftObject, StringList),
    VT_FIELD(CompilerParamsAdd, pftObject, StringList),
    VT_FIELD(CompilerParamsSub, pftObject, StringList),
    VT_FIELD(LinkerParamsAdd, pftObject, StringList),
    VT_FIELD(LinkerParamsSub, pftObject, StringList),
    VT_FIELD(ShouldBuildProjectPaths, pftObject, StringList),
    VT_FIELD(AllowRemote, pftObject, StringList),
    VT_FIELD(AllowIntercept, pftObject, StringList),
    VT_FIELD(CurDir, pftString, String),
    VT_FIELD(Command, pftString, String),
    VT_FIELD(ProfileFilename, pftString, String),
    VT_FIELD(BuildConsoleCommandLine, pftString, String),
    VT_FIELD(MonitorFilename, pftString, String),
    VT_FIELD(EVC4_CeConfig, pftString, String),
    VT_FIELD(OverrideMaxHelpersPerJob, pftInteger, Raw(4)),
    VT_FIELD(ActiveProjects, pftObject, PacketList),
    VT_FIELD(BoundsCheckerInstrumentedProjects, pftObject, StringList),
    VT_FIELD(IntelCompilerVersion, pftString, String),
    VT_FIELD(MinWinVer_Major, pftInteger, Compact),
    VT_FIELD(MinWinVer_Minor, pftInteger, Compact),
    VT_FIELD(MaxWinVer_Major, pftInteger, Compact),
    VT_FIELD(MaxWinVer_Minor, pftInteger, Compact),
    VT_FIELD(OverrideLogLevel, pftInteger, Raw(1)).WithDefault(-1),
    VT_FIELD(ForcedEnv, pftObject, StringList),
    VT_FIELD(Obsolete_NintendoProjects, pftObject, StringList),
    VT_FIELD(LogWarnings, pftBoolean, Raw(1)),
    VT_FIELD(InitiatorName, pftString, String),
    VT_FIELD(KeepNumOfJobs, pftBoolean, Raw(1)),
    VT_FIELD(PlugInVer, pftString, String),
    VT_FIELD(KWJsonName, pftString, String),
    VT_FIELD(OutDir, pftString, String),
    VT_FIELD(MSBuildArgs, pftString, String),
    VT_FIELD(UseMSBuild, pftBoolean, Raw(1)),
    VT_FIELD(InjectBase, pftInteger, Raw(8)),
    VT_FIELD(AdditionalArgs, pftString, String),
    VT_FIELD(VirtualizeDirectX, pftBoolean, Raw(1)),
    VT_FIELD(PluginUpDateVer, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(DisablePdbForwarding, pftBoolean, Raw(1)),
    VT_FIELD(UseIDEMonitorPID, pftInteger, Raw(4)),
    VT_FIELD(MonitoredDirs, pftObject, StringList),
    VT_FIELD(HideFile, pftString, String),
    VT_FIELD(VSInstallDir, pftString, String),
    VT_FIELD(VtExitCodeShift, pftInteger, Raw(4)),
    VT_FIELD(MSBuildMaxInstances, pftInteger, Raw(4)),
    VT_FIELD(BiIssuer, pftString, String),
    VT_FIELD(TestFwId, pftString, String),
    VT_FIELD(ConsoleOutputCodePage, pftInteger, Raw(4)),
    VT_FIELD(OverridePredictedExecutionMode, pftInteger, Raw(1)).WithDefault(-1),
    VT_FIELD(OverrideUseMSBuild, pftInteger, Raw(1)).WithDefault(0),
};
VT_DEFINE_PACKET(TBuildCommandPacket, "{26B22475-8588-4603-BBCE-844F30AEDD55}")

static_assert(std::size(TBuildCommandPacket::kFields) == 59);

VT_PACKET_FIELDS(TMetaBuildAttachmentPacket) = {
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(Content, pftObject, Stream),
};
VT_DEFINE_PACKET(TMetaBuildAttachmentPacket, "{D6DC9F53-9D3A-4187-88B6-E9FC52D0E313}")

VT_PACKET_FIELDS(TMetaBuildPacket) = {
    VT_FIELD(ID, pftOther, Raw(16)),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(ComputerName, pftString, String),
    VT_FIELD(UserName, pftString, String),
    VT_FIELD(BuildFlags, pftOther, Sized(6)),
    VT_FIELD(ErrorCount, pftInteger, Raw(4)),
    VT_FIELD(WarningCount, pftInteger, Raw(4)),
    VT_FIELD(SystemErrorCount, pftInteger, Raw(4)),
    VT_FIELD(SystemWarningCount, pftInteger, Raw(4)),
    VT_FIELD(StartTime, pftDouble, Raw(8)),
    VT_FIELD(Duration, pftDouble, Raw(8)),
    VT_FIELD(Cancelled, pftBoolean, Raw(1)),
    VT_FIELD(OldMonitorEvents, pftObject, Stream),
    VT_FIELD(ProductVersion, pftInteger, Raw(4)),
    VT_FIELD(ProductBuildNum, pftInteger, Raw(4)),
    VT_FIELD(ProductVersionText, pftString, String),
    VT_FIELD(SystemAutoRecoveryCount, pftInteger, Raw(4)),
    VT_FIELD(OldBuildLog, pftObject, Stream),
    VT_FIELD(ProjectFormat, pftString, String),
    VT_FIELD(LoggingLevel, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(SegmentedBuildLog, pftBoolean, Raw(1)),
    VT_FIELD(PrimaryFilename, pftString, String),
    VT_FIELD(Incomplete, pftBoolean, Raw(1)),
    VT_FIELD(Command, pftObject, Packet),
    VT_FIELD(OldEventLog, pftObject, Stream),
    VT_FIELD(Attachments, pftObject, PacketList),
    VT_FIELD(Tag, pftString, String),
    VT_FIELD(MonitorEvents, pftObject, Stream),
    VT_FIELD(OverrideBuildStatusToSuccess, pftBoolean, Raw(1)),
    VT_FIELD(ExitCode, pftInteger, Raw(4)),
    VT_FIELD(BuildLog, pftObject, Chunked),
    VT_FIELD(EventLog, pftObject, Chunked),
};
VT_DEFINE_PACKET(TMetaBuildPacket, "{683B05FD-48F0-4EDB-9A3B-8A823CC9AA68}")

VT_PACKET_FIELDS(TMetaBuildCachePacket) = {
    VT_FIELD(Builds, pftObject, PacketList),
};
VT_DEFINE_PACKET(TMetaBuildCachePacket, "{B0FB2435-A345-4576-A255-EF6AAE191786}")

static_assert(std::size(TMetaBuildPacket::kFields) == 32);

VT_PACKET_FIELDS(TExecuteSearchReplacePacket) = {
    VT_FIELD(CaseSensitive, pftBoolean, Raw(1)),
    VT_FIELD(IncludeTerminatingNull, pftBoolean, Raw(1)),
    VT_FIELD(SearchForContent, pftString, String),
    VT_FIELD(ReplaceWithContent, pftString, String),
};
VT_DEFINE_PACKET(TExecuteSearchReplacePacket, "{C189B6E8-F409-4E32-A8FD-C62CA39B6F02}")

VT_PACKET_FIELDS(TExecuteSearchReplaceFilePacket) = {
    VT_FIELD(Path, pftString, String),
    VT_FIELD(Items, pftObject, PacketList),
};
VT_DEFINE_PACKET(TExecuteSearchReplaceFilePacket, "{D49C7AC2-0A02-41E3-A03C-26F58ECFA45C}")

VT_PACKET_FIELDS(TExecuteIncrementalFilePacket) = {
    VT_FIELD(Path, pftString, String),
    VT_FIELD(Revision, pftInteger, Raw(4)),
    VT_FIELD(ContinueWithExistingFile, pftBoolean, Raw(1)),
    VT_FIELD(BaseRevision, pftInteger, Raw(4)),
    VT_FIELD(SyncPath, pftString, String),
    VT_FIELD(LargeFile, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TExecuteIncrementalFilePacket, "{0AA3D3ED-304C-4426-B5BB-5C2E88F6E406}")

VT_PACKET_FIELDS(TExecuteDirContentPacket) = {
    VT_FIELD(DirName, pftString, String),
    VT_FIELD(DirData, pftObject, Stream),
};
VT_DEFINE_PACKET(TExecuteDirContentPacket, "{C50C6014-59F4-4FCF-BD83-8582D8277231}")

VT_PACKET_FIELDS(TExecuteCommonDirPacket) = {
    VT_FIELD(DirName, pftString, String),
    VT_FIELD(FileMask, pftString, String),
    VT_FIELD(ScanOutputText, pftBoolean, Raw(1)),
    VT_FIELD(DeleteCached, pftBoolean, Raw(1)),
    VT_FIELD(ExistingFiles, pftObject, StringList),
};
VT_DEFINE_PACKET(TExecuteCommonDirPacket, "{4B8888E4-6EAB-49FC-8783-F75D5AB2B57E}")

VT_PACKET_FIELDS(TExecuteOutputFilePacket) = {
    VT_FIELD(Path, pftString, String),
    VT_FIELD(Persistent, pftBoolean, Raw(1)),
    VT_FIELD(PullAsSinglePart, pftBoolean, Raw(1)),
    VT_FIELD(Incremental, pftBoolean, Raw(1)),
    VT_FIELD(LargeFile, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TExecuteOutputFilePacket, "{3B342DB4-B61B-4063-B55B-EE93FD78CB9D}")

VT_PACKET_FIELDS(TExecuteResultPacket) = {
    VT_FIELD(ExitCode, pftInteger, Raw(4)),
    VT_FIELD(KernelTime, pftInteger, Raw(8)),
    VT_FIELD(UserTime, pftInteger, Raw(8)),
    VT_FIELD(StdOutText, pftString, String),
    VT_FIELD(IncrementalFiles, pftObject, PacketList),
    VT_FIELD(MetaOutput, pftObject, Stream),
    VT_FIELD(StdErrText, pftString, String),
    VT_FIELD(PdbActionStream, pftObject, Stream),
    VT_FIELD(PossibleInputFilesAccessed, pftObject, StringList),
    VT_FIELD(MissingDirect3DFileName, pftString, String),
};
VT_DEFINE_PACKET(TExecuteResultPacket, "{5EE08CD8-5571-42D0-B803-FFEC4BEAB38C}")

VT_PACKET_FIELDS(TParentProcessIDPacket) = {
    VT_FIELD(PID, pftInteger, Raw(4)),
    VT_FIELD(Timestamp, pftInteger, Raw(8)),
};
VT_DEFINE_PACKET(TParentProcessIDPacket, "{0438F81F-2E25-4A05-AEFF-F29A67723285}")

VT_PACKET_FIELDS(TBuildStatusPacket) = {
    VT_FIELD(BuildID, pftOther, Raw(16)),
    VT_FIELD(BuildClass, pftString, String),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(DisplayTitle, pftString, String),
    VT_FIELD(DonePercent, pftInteger, Raw(1)),
    VT_FIELD(HelpersNeeded, pftInteger, Raw(4)),
    VT_FIELD(HelperIDs, pftObject, StringList),
    VT_FIELD(MinWinVer_Major, pftInteger, Raw(4)),
    VT_FIELD(MinWinVer_Minor, pftInteger, Raw(4)),
    VT_FIELD(RequiredAssemblies_Obsolete, pftObject, StringList),
    VT_FIELD(BuildErrorCount, pftInteger, Raw(4)),
    VT_FIELD(BuildWarningCount, pftInteger, Raw(4)),
    VT_FIELD(Flags, pftOther, Sized(6)),
    VT_FIELD(MaxWinVer_Major, pftInteger, Compact),
    VT_FIELD(MaxWinVer_Minor, pftInteger, Compact),
    VT_FIELD(DisplayWorkPowerMHz, pftInteger, Raw(4)),
    VT_FIELD(DisplayWorkPowerCPUs, pftInteger, Compact),
    VT_FIELD(Only64bitHelpers, pftBoolean, Raw(1)),
    VT_FIELD(WorkerCount, pftInteger, Raw(4)),
    VT_FIELD(StartTime, pftDouble, Raw(8)),
    VT_FIELD(AvoidLocalExec, pftBoolean, Raw(1)),
    VT_FIELD(LocalCores, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TBuildStatusPacket, "{14F0DF70-FB6B-4D71-90B9-5048EB7CCAC2}")

VT_PACKET_FIELDS(TAttachToBuildPacket) = {
    VT_FIELD(BuildID, pftOther, Raw(16)),
};
VT_DEFINE_PACKET(TAttachToBuildPacket, "{6E76799D-6424-41CE-9860-16871B0D5DE9}")

VT_PACKET_FIELDS(TBuildAvoidanceStatisticsPacket) = {
    VT_FIELD(BuildID, pftString, String),
    VT_FIELD(TotalCacheableTasks, pftInteger, Raw(4)),
    VT_FIELD(CachedTasks, pftInteger, Raw(4)),
    VT_FIELD(CachedTasksTotalProcessingTime, pftInteger, Raw(8)),
    VT_FIELD(TotalOriginalItemsTime, pftInteger, Raw(8)),
    VT_FIELD(UncachedTasks, pftInteger, Raw(4)),
    VT_FIELD(NewCacheTasks, pftInteger, Raw(4)),
    VT_FIELD(NewCachedTasksProcessingTime, pftInteger, Raw(8)),
    VT_FIELD(NewCachedTasksTotalOriginalTime, pftInteger, Raw(8)),
    VT_FIELD(NewCachedTasksArtifactsTotalSize, pftInteger, Raw(4)),
    VT_FIELD(TotalCacheTime, pftInteger, Raw(8)),
    VT_FIELD(DBServer, pftString, String),
    VT_FIELD(CacheLocation, pftString, String),
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
