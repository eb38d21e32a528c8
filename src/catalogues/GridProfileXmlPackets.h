// The build profile (tool definitions, pre-build step, profile switches)
// and the build description (environments and a tree of task groups and
// tasks) as document models.
#pragma once

#include <cstdint>
#include <string>

#include "common/Packets.h"

namespace vt {

// ---- Build profile ---------------------------------------------------------------

// The settings of one tool, in a profile or in a build environment.
class TXml_Tool : public TPacket {
  VT_PACKET_CLASS(TXml_Tool, TPacket)
 public:
  std::string Filename;
  std::string AllowRemote;
  ByteBool AllowWrap;
  ByteBool AllowIntercept;
  std::string SuccessExitCodes;
  std::string OutputFileMasks;
  std::string DeriveCaptionFrom;
  std::string AutoReserveMemory;
  ByteBool IdentifyTaskOutput;
  ByteBool VCCompiler;
  ByteBool SingleInstancePerAgent;
  ByteBool AllowRestartOnLocal;
  std::string WarningExitCodes;
  std::string Name;
  std::string Path;
  std::string GroupPrefix;
  std::string OutputPrefix;
  std::string Params;
  ByteBool SkipIfProjectFailed;
  ByteBool ShowSourceInOutput;
  std::int32_t TimeLimit{};
  std::string AutoRecover;
  TStringListEx AutoRecover_AsList;
  ByteBool VCCompilerUnbatch;
  ByteBool ParseMSBuildOutput;
  ByteBool IntelCompiler;
  ByteBool MonitorFileChanges;
  ByteBool ApplyBrowseInfoMode;
  ByteBool VCBscMake;
  std::string AllowInterceptByVersionInfo;
  ByteBool ParseDevEnvOutput;
  ByteBool VCLinker;
  ByteBool VCResourceCompiler;
  ByteBool VCManifestTool;
  ByteBool CSharpCompiler;
  std::string InjectBase;
  ByteBool AllowPredictedBatch;
  ByteBool CUDACompiler;
  std::string AllowRemoteIf;
  std::string DenyRemoteIf;
  std::string SkipIfExistsOutputFileMasks;
  ByteBool DistinctStdErr;
  ByteBool ClangCompiler;
};
using TXml_ToolList = TPacketList<TXml_Tool>;

class TXml_PreBuildStep : public TPacket {
  VT_PACKET_CLASS(TXml_PreBuildStep, TPacket)
 public:
  std::string Filepath;
};

class TXml_ProfileDocument : public TPacket {
  VT_PACKET_CLASS(TXml_ProfileDocument, TPacket)
 public:
  std::int32_t FormatVersion{};
  std::string ForcePredictedExecutionPlatforms;
  TXml_ToolList Tools;
  TXml_PreBuildStep PreBuildStep;
  ByteBool NoDotNetVirt;
  ByteBool DisablePredictedExecution;
};

// ---- Build description -----------------------------------------------------------

class TXml_Task : public TPacket {
  VT_PACKET_CLASS(TXml_Task, TPacket)
 public:
  std::string Name;
  std::string Tool;
  std::string SourceFile;
  std::string Source;
  std::string OutputFiles;
  std::string Output;
  std::string InputFiles;
  std::string DependsOn;
  std::string Params;
  std::string WorkingDir;
  std::string Caption;
  std::string SkipIfProjectFailed;
  std::string ParentProjectOverlap;
  std::string SubProjectOverlap;
  std::string StopOnErrors;
};
using TXml_TaskList = TPacketList<TXml_Task>;

class TXml_TaskGroup;
// Task groups nest: the list type is declared before its item class.
class TXml_TaskGroupList : public TCustomPacketList {
 public:
  const TPacketClass& ItemClass() const override;
  TXml_TaskGroup& Items(std::int32_t index) const;
  TXml_TaskGroup& AddNew();
};

class TXml_TaskGroup : public TPacket {
  VT_PACKET_CLASS(TXml_TaskGroup, TPacket)
 public:
  std::string Name;
  std::string Env;
  std::string DependsOn;
  std::string WorkingDir;
  std::string Tool;
  std::string ParentProjectOverlap;
  std::string SubProjectOverlap;
  std::string StopOnErrors;
  TXml_TaskGroupList TaskGroup;
  TXml_TaskList Task;
};

class TXml_Variable : public TPacket {
  VT_PACKET_CLASS(TXml_Variable, TPacket)
 public:
  std::string Name;
  std::string Value;
};
using TXml_VariableList = TPacketList<TXml_Variable>;

class TXml_Environment : public TPacket {
  VT_PACKET_CLASS(TXml_Environment, TPacket)
 public:
  std::string Name;
  TXml_ToolList Tools;
  TXml_VariableList Variables;
};
using TXml_EnvironmentList = TPacketList<TXml_Environment>;

class TXml_BuildDocument : public TPacket {
  VT_PACKET_CLASS(TXml_BuildDocument, TPacket)
 public:
  std::int32_t FormatVersion{};
  TXml_EnvironmentList Environments;
  TXml_TaskGroupList Project;
};

// Registers the unit's eight classes: the profile's, then the description's.
void RegisterXmlProfilePackets();

extern const UnitEntry kGridProfileXmlPacketsUnit;

}  // namespace vt
