// Build packets: build commands and their projects, meta-build records,
// remote task execution, build status and build-avoidance statistics.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/ChunkedDataContainer.h"
#include "common/Packets.h"
#include "common/StreamUtils.h"

namespace vt {

// One project of a build.
class TBuildCommandProjectPacket : public TPacket {
  VT_PACKET_CLASS(TBuildCommandProjectPacket, TPacket)
 public:
  std::string Name;
  std::string Config;
  std::string RelativePath_Optional;
  std::string MSBuildName;
  std::string IdeName;
};
using TBuildCommandProjectPacketList = TPacketList<TBuildCommandProjectPacket>;

// The 6 bytes of the build flags set.
using TBuildCommandFlags = std::array<std::uint8_t, 6>;

class TBuildCommandPacket : public TPacket {
  VT_PACKET_CLASS(TBuildCommandPacket, TPacket)
 public:
  TGUID BuildID{};
  TBuildCommandFlags Flags{};
  std::string BuildClass;
  std::string Caption;
  std::string PrimaryFilename;
  std::string EnvBlock;
  std::string WorkspaceAsStr;
  std::u16string LocalAppDataDir;
  TStringListEx SelectedSources;
  TStringListEx LoadedProjectPaths;
  TStringListEx Obsolete_ActiveProjects;
  TStringListEx CompilerParamsAdd;
  TStringListEx CompilerParamsSub;
  TStringListEx LinkerParamsAdd;
  TStringListEx LinkerParamsSub;
  TStringListEx ShouldBuildProjectPaths;
  TStringListEx AllowRemote;
  TStringListEx AllowIntercept;
  std::string CurDir;
  std::string Command;
  std::string ProfileFilename;
  std::string BuildConsoleCommandLine;
  std::string MonitorFilename;
  std::string EVC4_CeConfig;
  std::int32_t OverrideMaxHelpersPerJob{};
  TBuildCommandProjectPacketList ActiveProjects;
  TStringListEx BoundsCheckerInstrumentedProjects;
  std::string IntelCompilerVersion;
  std::int32_t MinWinVer_Major{};
  std::int32_t MinWinVer_Minor{};
  std::int32_t MaxWinVer_Major{};
  std::int32_t MaxWinVer_Minor{};
  std::int8_t OverrideLogLevel{};
  TStringListEx ForcedEnv;
  TStringListEx Obsolete_NintendoProjects;
  ByteBool LogWarnings;
  std::string InitiatorName;
  ByteBool KeepNumOfJobs;
  std::string PlugInVer;
  std::string KWJsonName;
  std::string OutDir;
  std::string MSBuildArgs;
  ByteBool UseMSBuild;
  std::int64_t InjectBase{};
  std::string AdditionalArgs;
  ByteBool VirtualizeDirectX;
  std::int32_t PluginUpDateVer{};
  ByteBool DisablePdbForwarding;
  std::int32_t UseIDEMonitorPID{};
  TStringListEx MonitoredDirs;
  std::string HideFile;
  std::string VSInstallDir;
  std::int32_t VtExitCodeShift{};
  std::int32_t MSBuildMaxInstances{};
  std::string BiIssuer;
  std::string TestFwId;
  std::uint32_t ConsoleOutputCodePage{};
  std::int8_t OverridePredictedExecutionMode{};
  std::int8_t OverrideUseMSBuild{};
};

// ---- Meta-build records -------------------------------------------------------

// A file attached to a build record.
class TMetaBuildAttachmentPacket : public TPacket {
  VT_PACKET_CLASS(TMetaBuildAttachmentPacket, TPacket)
 public:
  std::string Filename;
  TVirtualStream Content;
};
using TMetaBuildAttachmentPacketList = TPacketList<TMetaBuildAttachmentPacket>;

// One build after the fact: who, where, when, its counts, its command, its
// logs and attachments. The logs come in two generations: the "Old" memory
// streams and the chunked BuildLog and EventLog at the end.
class TMetaBuildPacket : public TPacket {
  VT_PACKET_CLASS(TMetaBuildPacket, TPacket)
 public:
  TGUID ID{};
  std::string Caption;
  std::string ComputerName;
  std::string UserName;
  TBuildCommandFlags BuildFlags{};
  std::int32_t ErrorCount{};
  std::int32_t WarningCount{};
  std::int32_t SystemErrorCount{};
  std::int32_t SystemWarningCount{};
  double StartTime{};
  double Duration{};
  ByteBool Cancelled;
  TVirtualStream OldMonitorEvents;
  std::int32_t ProductVersion{};
  std::int32_t ProductBuildNum{};
  std::string ProductVersionText;
  std::int32_t SystemAutoRecoveryCount{};
  TVirtualStream OldBuildLog;
  std::string ProjectFormat;
  std::int32_t LoggingLevel{};
  ByteBool SegmentedBuildLog;
  std::string PrimaryFilename;
  ByteBool Incomplete;
  TBuildCommandPacket Command;
  TVirtualStream OldEventLog;
  TMetaBuildAttachmentPacketList Attachments;
  std::string Tag;
  TVirtualStream MonitorEvents;
  ByteBool OverrideBuildStatusToSuccess;
  std::int32_t ExitCode{};
  TChunkedDataContainer BuildLog;
  TChunkedDataContainer EventLog;
};
using TMetaBuildPacketList = TPacketList<TMetaBuildPacket>;

// A list of build records.
class TMetaBuildCachePacket : public TPacket {
  VT_PACKET_CLASS(TMetaBuildCachePacket, TPacket)
 public:
  TMetaBuildPacketList Builds;
};

// ---- Remote task execution ------------------------------------------------------

// One search-and-replace edit; both contents are byte strings.
class TExecuteSearchReplacePacket : public TPacket {
  VT_PACKET_CLASS(TExecuteSearchReplacePacket, TPacket)
 public:
  ByteBool CaseSensitive;
  ByteBool IncludeTerminatingNull;
  std::string SearchForContent;
  std::string ReplaceWithContent;
};
using TExecuteSearchReplacePacketList = TPacketList<TExecuteSearchReplacePacket>;

// The edits to apply to one file.
class TExecuteSearchReplaceFilePacket : public TPacket {
  VT_PACKET_CLASS(TExecuteSearchReplaceFilePacket, TPacket)
 public:
  std::string Path;
  TExecuteSearchReplacePacketList Items;
};

// A file identified by its revision.
class TExecuteIncrementalFilePacket : public TPacket {
  VT_PACKET_CLASS(TExecuteIncrementalFilePacket, TPacket)
 public:
  std::string Path;
  std::int32_t Revision{};
  ByteBool ContinueWithExistingFile;
  std::int32_t BaseRevision{};
  std::string SyncPath;
  ByteBool LargeFile;
};
using TExecuteIncrementalFilePacketList = TPacketList<TExecuteIncrementalFilePacket>;

// The content of one directory.
class TExecuteDirContentPacket : public TPacket {
  VT_PACKET_CLASS(TExecuteDirContentPacket, TPacket)
 public:
  std::string DirName;
  TVirtualStream DirData;
};

// A directory to scan.
class TExecuteCommonDirPacket : public TPacket {
  VT_PACKET_CLASS(TExecuteCommonDirPacket, TPacket)
 public:
  std::string DirName;
  std::string FileMask;
  ByteBool ScanOutputText;
  ByteBool DeleteCached;
  TStringListEx ExistingFiles;
};

// An output file to bring back.
class TExecuteOutputFilePacket : public TPacket {
  VT_PACKET_CLASS(TExecuteOutputFilePacket, TPacket)
 public:
  std::string Path;
  ByteBool Persistent;
  ByteBool PullAsSinglePart;
  ByteBool Incremental;
  ByteBool LargeFile;
};

// The result of one executed task.
class TExecuteResultPacket : public TPacket {
  VT_PACKET_CLASS(TExecuteResultPacket, TPacket)
 public:
  std::int32_t ExitCode{};
  std::int64_t KernelTime{};
  std::int64_t UserTime{};
  std::string StdOutText;
  TExecuteIncrementalFilePacketList IncrementalFiles;
  TVirtualStream MetaOutput;
  std::string StdErrText;
  TVirtualStream PdbActionStream;
  TStringListEx PossibleInputFilesAccessed;
  std::string MissingDirect3DFileName;
};

// The identity of a parent process.
class TParentProcessIDPacket : public TPacket {
  VT_PACKET_CLASS(TParentProcessIDPacket, TPacket)
 public:
  std::int32_t PID{};
  std::int64_t Timestamp{};
};

// ---- Build status and build-avoidance statistics ----------------------------

// The 6 bytes of a build status's flags set.
using TBuildStatusFlags = std::array<std::uint8_t, 6>;

// The running state of one build.
class TBuildStatusPacket : public TCommPacket {
  VT_PACKET_CLASS(TBuildStatusPacket, TCommPacket)
 public:
  TGUID BuildID{};
  std::string BuildClass;
  std::string Caption;
  std::string DisplayTitle;
  std::uint8_t DonePercent{};
  std::int32_t HelpersNeeded{};
  TStringListEx HelperIDs;
  std::int32_t MinWinVer_Major{};
  std::int32_t MinWinVer_Minor{};
  TStringListEx RequiredAssemblies_Obsolete;
  std::int32_t BuildErrorCount{};
  std::int32_t BuildWarningCount{};
  TBuildStatusFlags Flags{};
  std::int32_t MaxWinVer_Major{};
  std::int32_t MaxWinVer_Minor{};
  std::int32_t DisplayWorkPowerMHz{};
  std::int32_t DisplayWorkPowerCPUs{};
  ByteBool Only64bitHelpers;
  std::int32_t WorkerCount{};
  double StartTime{};
  ByteBool AvoidLocalExec;
  std::int32_t LocalCores{};
};
using TBuildStatusPacketList = TPacketList<TBuildStatusPacket>;

// Names a build to attach to.
class TAttachToBuildPacket : public TCommPacket {
  VT_PACKET_CLASS(TAttachToBuildPacket, TCommPacket)
 public:
  TGUID BuildID{};
};

// Cache statistics of one build.
class TBuildAvoidanceStatisticsPacket : public TCommPacket {
  VT_PACKET_CLASS(TBuildAvoidanceStatisticsPacket, TCommPacket)
 public:
  std::string BuildID;
  std::int32_t TotalCacheableTasks{};
  std::int32_t CachedTasks{};
  std::int64_t CachedTasksTotalProcessingTime{};
  std::int64_t TotalOriginalItemsTime{};
  std::int32_t UncachedTasks{};
  std::int32_t NewCacheTasks{};
  std::int64_t NewCachedTasksProcessingTime{};
  std::int64_t NewCachedTasksTotalOriginalTime{};
  std::int32_t NewCachedTasksArtifactsTotalSize{};
  std::int64_t TotalCacheTime{};
  std::string DBServer;
  std::string CacheLocation;
};

// Registers the unit's classes, in declaration order.
void RegisterBuildPackets();

// The unit: its initialization registers the classes.
extern const UnitEntry kBuildPacketsUnit;

}  // namespace vt
