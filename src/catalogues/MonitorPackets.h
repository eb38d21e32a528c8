// The build monitor's event stream: one packet per event. Field 0 of most
// events is ms, a 32-bit time stamp in milliseconds written as 4 raw bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "catalogues/GridGraphPackets.h"
#include "catalogues/ReportAgentPacket.h"
#include "common/Packets.h"

namespace vt {

// ---- The build and its phases ----------------------------------------------

using TMonitorBuildFlags = std::array<std::uint8_t, 6>;

class TMonitorEventStartedPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventStartedPacket, TPacket)
 public:
  std::int32_t ms{};
  double StartTime{};
  TMonitorBuildFlags BuildFlags{};
  std::string Caption;
  std::string PrimaryFileName;
  TGUID ID{};
  std::string ComputerName;
  ByteBool IsMSBuilsProject_Obsolete;
};

class TMonitorEventCompletePacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventCompletePacket, TPacket)
 public:
  std::int32_t ms{};
  ByteBool Cancel;
  std::string Summary;
  ByteBool Success;
  std::int32_t SystemWarningCount{};
  std::int32_t SystemErrorCount{};
  std::int32_t ErrorCount{};
  std::int32_t WarningCount{};
  std::int32_t ExitCode{};
};

class TMonitorEventSetMSBuildFlagPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventSetMSBuildFlagPacket, TPacket)
 public:
  std::int32_t ms{};
  ByteBool IsMSBuildProject;
};

class TMonitorEventBeginInitPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventBeginInitPacket, TPacket)
 public:
  std::string WorkerID;
  std::string RowCaption;
};

class TMonitorEventEndInitPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventEndInitPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
  std::int32_t Errors{};
  std::int32_t Warnings{};
};

class TMonitorEventBeginFinalizePacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventBeginFinalizePacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
};

class TMonitorEventEndFinalizePacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventEndFinalizePacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
};

class TMonitorEventBeginCachingPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventBeginCachingPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
};

class TMonitorEventEndCachingPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventEndCachingPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
  ByteBool IsSuccess;
};

// Build-wide counts; Errors and Warnings start at -1.
class TMonitorEventCountPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventCountPacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t Built{};
  std::int32_t Skipped{};
  std::int32_t Errors{};
  std::int32_t Warnings{};
};

class TMonitorEventProjectCountPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventProjectCountPacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t ProjectIndex{};
  std::int32_t Built{};
  std::int32_t Skipped{};
  std::int32_t Errors{};
  std::int32_t Warnings{};
};

// ---- Messages and output ------------------------------------------------------

class TMonitorEventMessagePacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventMessagePacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t Kind{};
  double Now{};
  std::string Message;
  std::string Text;
  std::string Agent;
  std::string Project;
  std::int32_t Code{};
};

class TMonitorEventOutputPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventOutputPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string Text;
  std::int32_t TaskID{};
  std::int32_t ErrorCount{};
  std::int32_t WarningCount{};
  ByteBool CreateRegion;
};

class TMonitorEventProjectOutputPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventProjectOutputPacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t ProjectIndex{};
  std::string Text;
  std::int32_t TaskID{};
  std::int32_t ErrorCount{};
  std::int32_t WarningCount{};
  ByteBool CreateRegion;
};

class TMonitorEventProjectOutOfOrderOutputPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventProjectOutOfOrderOutputPacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t ProjectIndex{};
  std::string Text;
  std::string ProcessName;
  std::int32_t TaskID{};
  std::int32_t ErrorCount{};
  std::int32_t WarningCount{};
};

// ---- Projects and agent rows ------------------------------------------------------

class TMonitorEventProjectCompletePacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventProjectCompletePacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t ProjectIndex{};
};

// One project of the build (no ms field).
class TMonitorEventProjectPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventProjectPacket, TPacket)
 public:
  std::string Name;
  std::string Filename;
  std::int32_t TaskCount{};
  ByteBool Skip;
};
using TMonitorEventProjectPacketList = TPacketList<TMonitorEventProjectPacket>;

class TMonitorEventProjectListPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventProjectListPacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t TaskCount{};
  ByteBool Hidden;
  TMonitorEventProjectPacketList List;
};

class TMonitorEventEmployPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventEmployPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string ID;
  std::int32_t RowIndex{};
  TStaticPacket StaticInfo;
  std::string Caption;
  std::string Host;
  ByteBool Local;
};

class TMonitorEventUnemployPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventUnemployPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string ID;
  std::int32_t RowIndex{};
};

// ---- Build steps and bars -----------------------------------------------------------

// The build-cache identity of a task (no ms field).
class TBuildCacheTaskInfo : public TPacket {
  VT_PACKET_CLASS(TBuildCacheTaskInfo, TPacket)
 public:
  std::u16string TaskSignature;
  std::u16string EnvBlockHash;
  std::u16string CmdlineHash;
  std::u16string SrcFileHash;
};

class TMonitorEventBeginStepPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventBeginStepPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
  std::string Hint;
  std::string Name;
  std::int32_t TaskID{};
  TGUID CmdGUID{};
  std::string Source;
  ByteBool DetailedLog;
  ByteBool Remote;
  std::string Status;
  std::string CmdLine;
  std::string App;
  TOptionalPacket<TBuildCacheTaskInfo> BuildCacheTaskInfo;
  VT_OPTIONAL_MEMBER(TBuildCacheTaskInfo, BuildCacheTaskInfo)
};

class TMonitorEventEndStepPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventEndStepPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
  std::int32_t Errors{};
  std::int32_t Warnings{};
  ByteBool Double;
  ByteBool ExitCodeExists;
  std::int32_t ExitCode{};
};

class TMonitorEventStepFailedPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventStepFailedPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string WorkerID;
};

class TMonitorEventModifyBarHintPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventModifyBarHintPacket, TPacket)
 public:
  std::int32_t ms{};
  std::int32_t TaskID{};
  std::string NewHintText;
  std::int32_t InsertAtLine{};
};

class TMonitorEventBeginBarPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventBeginBarPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string RowID;
  std::string RowCaption;
  std::string Name;
  std::string Hint;
};

class TMonitorEventEndBarPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventEndBarPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string RowID;
};

// ---- Graphs and browsing ---------------------------------------------------------------

class TMonitorEventAddGraphRowPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventAddGraphRowPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string RowID;
  std::string DisplayName;
  std::int32_t DefaultHeight{};
  std::string FollowRowID;
};

class TMonitorEventAddGraphSetPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventAddGraphSetPacket, TPacket)
 public:
  std::int32_t ms{};
  std::string RowID;
  TGraphSetDefPacket SetDefinitionPacket;
};

class TMonitorEventAddGraphSamplePacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventAddGraphSamplePacket, TPacket)
 public:
  std::int32_t ms{};
  std::string RowID;
  TGraphSamplePacket SamplePacket;
};

class TMonitorEventCloseBrowseDBPacket : public TPacket {
  VT_PACKET_CLASS(TMonitorEventCloseBrowseDBPacket, TPacket)
 public:
  std::int32_t ms{};
};

// Registers the unit's 31 classes in declaration order (the list is not
// registered).
void RegisterMonitorPackets();

extern const UnitEntry kMonitorPacketsUnit;

}  // namespace vt
