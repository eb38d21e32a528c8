// Build command packets: one requested build, its projects and options.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/Packets.h"

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

// Registers the unit's classes, in declaration order.
void RegisterBuildPackets();

// The unit: its initialization registers the classes.
extern const UnitEntry kBuildPacketsUnit;

}  // namespace vt
