#include "catalogues/MonitorPackets.h"

namespace vt {

// ---- The build and its phases ----------------------------------------------

VT_PACKET_FIELDS(TMonitorEventStartedPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(StartTime, 4, Raw(8)),
    VT_FIELD(BuildFlags, 0, Sized(6)),
    VT_FIELD(Caption, 1, String),
    VT_FIELD(PrimaryFileName, 1, String),
    VT_FIELD(ID, 0, Raw(16)),
    VT_FIELD(ComputerName, 1, String),
    VT_FIELD(IsMSBuilsProject_Obsolete, 3, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventStartedPacket, "{2B1EDE84-8DFA-4D06-B3D1-8499AB4EA592}")

VT_PACKET_FIELDS(TMonitorEventCompletePacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(Cancel, 3, Raw(1)),
    VT_FIELD(Summary, 1, String),
    VT_FIELD(Success, 3, Raw(1)),
    VT_FIELD(SystemWarningCount, 2, Compact),
    VT_FIELD(SystemErrorCount, 2, Compact),
    VT_FIELD(ErrorCount, 2, Compact),
    VT_FIELD(WarningCount, 2, Compact),
    VT_FIELD(ExitCode, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventCompletePacket, "{1A69A620-5579-4A3F-88B0-ACCA61FCB796}")

VT_PACKET_FIELDS(TMonitorEventSetMSBuildFlagPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(IsMSBuildProject, 3, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventSetMSBuildFlagPacket, "{4F7808E4-3236-4E88-BA56-6DA7DC0A0B5B}")

VT_PACKET_FIELDS(TMonitorEventBeginInitPacket) = {
    VT_FIELD(WorkerID, 1, String),
    VT_FIELD(RowCaption, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginInitPacket, "{CF7CAC24-24EA-4F18-A05D-F719C0603DE8}")

VT_PACKET_FIELDS(TMonitorEventEndInitPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
    VT_FIELD(Errors, 2, Raw(4)),
    VT_FIELD(Warnings, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventEndInitPacket, "{E28BD79B-D6E3-4736-92CB-E1A1DD2208D5}")

VT_PACKET_FIELDS(TMonitorEventBeginFinalizePacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginFinalizePacket, "{4D435ACF-A922-4FFE-B217-E38F486F9B00}")

VT_PACKET_FIELDS(TMonitorEventEndFinalizePacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventEndFinalizePacket, "{9FDFB275-F2A4-4B81-A471-BB1E54172D95}")

VT_PACKET_FIELDS(TMonitorEventBeginCachingPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginCachingPacket, "{03EE2489-6AF7-44D5-848F-AC8D77A9655A}")

VT_PACKET_FIELDS(TMonitorEventEndCachingPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
    VT_FIELD(IsSuccess, 3, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventEndCachingPacket, "{31C1AADB-FD5D-4B86-ACE1-05E4242E5ED6}")

VT_PACKET_FIELDS(TMonitorEventCountPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(Built, 2, Raw(4)),
    VT_FIELD(Skipped, 2, Raw(4)),
    VT_FIELD(Errors, 2, Raw(4)).WithDefault(-1),
    VT_FIELD(Warnings, 2, Raw(4)).WithDefault(-1),
};
VT_DEFINE_PACKET(TMonitorEventCountPacket, "{FDAFDDC3-45C6-4906-ADE8-9D572EA400B5}")

VT_PACKET_FIELDS(TMonitorEventProjectCountPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(ProjectIndex, 2, Compact),
    VT_FIELD(Built, 2, Raw(4)),
    VT_FIELD(Skipped, 2, Raw(4)),
    VT_FIELD(Errors, 2, Raw(4)),
    VT_FIELD(Warnings, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventProjectCountPacket, "{6A1A523C-8E43-45AB-9313-3AA6FD16CB5E}")

// ---- Messages and output ------------------------------------------------------

VT_PACKET_FIELDS(TMonitorEventMessagePacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(Kind, 2, Raw(4)),
    VT_FIELD(Now, 4, Raw(8)),
    VT_FIELD(Message, 1, String),
    VT_FIELD(Text, 1, String),
    VT_FIELD(Agent, 1, String),
    VT_FIELD(Project, 1, String),
    VT_FIELD(Code, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventMessagePacket, "{0842413D-FFCD-48A7-8E27-644DA45AA919}")

VT_PACKET_FIELDS(TMonitorEventOutputPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(Text, 1, String),
    VT_FIELD(TaskID, 2, Raw(4)),
    VT_FIELD(ErrorCount, 2, Raw(4)),
    VT_FIELD(WarningCount, 2, Raw(4)),
    VT_FIELD(CreateRegion, 3, Raw(1)).WithDefault(true),
};
VT_DEFINE_PACKET(TMonitorEventOutputPacket, "{DCF0DAA3-40C7-4D28-AF9B-9B0C43BCBE70}")

VT_PACKET_FIELDS(TMonitorEventProjectOutputPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(ProjectIndex, 2, Compact),
    VT_FIELD(Text, 1, String),
    VT_FIELD(TaskID, 2, Raw(4)),
    VT_FIELD(ErrorCount, 2, Compact),
    VT_FIELD(WarningCount, 2, Compact),
    VT_FIELD(CreateRegion, 3, Raw(1)).WithDefault(true),
};
VT_DEFINE_PACKET(TMonitorEventProjectOutputPacket, "{82BBFB93-E4BF-4740-8A2A-3E587D67902C}")

VT_PACKET_FIELDS(TMonitorEventProjectOutOfOrderOutputPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(ProjectIndex, 2, Compact),
    VT_FIELD(Text, 1, String),
    VT_FIELD(ProcessName, 1, String),
    VT_FIELD(TaskID, 2, Raw(4)),
    VT_FIELD(ErrorCount, 2, Compact),
    VT_FIELD(WarningCount, 2, Compact),
};
VT_DEFINE_PACKET(TMonitorEventProjectOutOfOrderOutputPacket, "{DF66BC78-B498-4B1B-AA6B-7213486587BB}")

// ---- Projects and agent rows ------------------------------------------------------

VT_PACKET_FIELDS(TMonitorEventProjectCompletePacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(ProjectIndex, 2, Compact),
};
VT_DEFINE_PACKET(TMonitorEventProjectCompletePacket, "{6FFCCF27-8329-4B27-8DEB-4C7403F0A0B3}")

VT_PACKET_FIELDS(TMonitorEventProjectPacket) = {
    VT_FIELD(Name, 1, String),
    VT_FIELD(Filename, 1, String),
    VT_FIELD(TaskCount, 2, Compact),
    VT_FIELD(Skip, 3, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventProjectPacket, "{17F6523D-832A-466D-A9B6-6F63B2A13DB7}")

VT_PACKET_FIELDS(TMonitorEventProjectListPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(TaskCount, 2, Compact),
    VT_FIELD(Hidden, 3, Raw(1)),
    VT_FIELD(List, 5, PacketList),
};
VT_DEFINE_PACKET(TMonitorEventProjectListPacket, "{77C96357-0D76-4161-BDEA-C3B27781D7D6}")

VT_PACKET_FIELDS(TMonitorEventEmployPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(ID, 1, String),
    VT_FIELD(RowIndex, 2, Raw(4)),
    VT_FIELD(StaticInfo, 5, Packet),
    VT_FIELD(Caption, 1, String),
    VT_FIELD(Host, 1, String),
    VT_FIELD(Local, 3, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventEmployPacket, "{F63DBBA1-16A4-4D8A-B772-6A4138F877CC}")

VT_PACKET_FIELDS(TMonitorEventUnemployPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(ID, 1, String),
    VT_FIELD(RowIndex, 2, Compact),
};
VT_DEFINE_PACKET(TMonitorEventUnemployPacket, "{5CDE534D-B7B3-40F7-B0D4-B2BC04C90FF4}")

// ---- Build steps and bars -----------------------------------------------------------

VT_PACKET_FIELDS(TBuildCacheTaskInfo) = {
    VT_FIELD(TaskSignature, 1, Wide),
    VT_FIELD(EnvBlockHash, 1, Wide),
    VT_FIELD(CmdlineHash, 1, Wide),
    VT_FIELD(SrcFileHash, 1, Wide),
};
VT_DEFINE_PACKET(TBuildCacheTaskInfo, "{0FD35AF1-4A22-40AF-9E96-3342B8B2807E}")

VT_PACKET_FIELDS(TMonitorEventBeginStepPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
    VT_FIELD(Hint, 1, String),
    VT_FIELD(Name, 1, String),
    VT_FIELD(TaskID, 2, Raw(4)),
    VT_FIELD(CmdGUID, 0, Raw(16)),
    VT_FIELD(Source, 1, String),
    VT_FIELD(DetailedLog, 3, Raw(1)),
    VT_FIELD(Remote, 3, Raw(1)),
    VT_FIELD(Status, 1, String),
    VT_FIELD(CmdLine, 1, String),
    VT_FIELD(App, 1, String),
    VT_FIELD(BuildCacheTaskInfo, 5, OptionalPacket),
};
VT_DEFINE_PACKET(TMonitorEventBeginStepPacket, "{8D6F4346-BC8D-47F2-8370-E2A71FF89B01}")

VT_PACKET_FIELDS(TMonitorEventEndStepPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
    VT_FIELD(Errors, 2, Compact),
    VT_FIELD(Warnings, 2, Compact),
    VT_FIELD(Double, 3, Raw(1)),
    VT_FIELD(ExitCodeExists, 3, Raw(1)),
    VT_FIELD(ExitCode, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventEndStepPacket, "{8052D420-74D9-4218-91FF-CF9A8BE2A6A7}")

VT_PACKET_FIELDS(TMonitorEventStepFailedPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(WorkerID, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventStepFailedPacket, "{AB5B11B2-3EB4-481B-8D1B-BBFACCC94D54}")

VT_PACKET_FIELDS(TMonitorEventModifyBarHintPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(TaskID, 2, Raw(4)),
    VT_FIELD(NewHintText, 1, String),
    VT_FIELD(InsertAtLine, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventModifyBarHintPacket, "{E86CDCAF-C0DC-4681-9B1C-E4F44CBAE841}")

VT_PACKET_FIELDS(TMonitorEventBeginBarPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(RowID, 1, String),
    VT_FIELD(RowCaption, 1, String),
    VT_FIELD(Name, 1, String),
    VT_FIELD(Hint, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginBarPacket, "{5BC1C6E8-A4F7-40C4-A655-19FEB7BF7722}")

VT_PACKET_FIELDS(TMonitorEventEndBarPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(RowID, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventEndBarPacket, "{D8E8C761-B673-4D8F-86A3-D07ED712B11F}")

// ---- Graphs and browsing ---------------------------------------------------------------

VT_PACKET_FIELDS(TMonitorEventAddGraphRowPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(RowID, 1, String),
    VT_FIELD(DisplayName, 1, String),
    VT_FIELD(DefaultHeight, 2, Compact),
    VT_FIELD(FollowRowID, 1, String),
};
VT_DEFINE_PACKET(TMonitorEventAddGraphRowPacket, "{6CC7BED0-9940-446F-8409-13D91945855E}")

VT_PACKET_FIELDS(TMonitorEventAddGraphSetPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(RowID, 1, String),
    VT_FIELD(SetDefinitionPacket, 5, Packet),
};
VT_DEFINE_PACKET(TMonitorEventAddGraphSetPacket, "{94F07939-3CE8-44D8-AFE0-86ACE5CFBA04}")

VT_PACKET_FIELDS(TMonitorEventAddGraphSamplePacket) = {
    VT_FIELD(ms, 2, Raw(4)),
    VT_FIELD(RowID, 1, String),
    VT_FIELD(SamplePacket, 5, Packet),
};
VT_DEFINE_PACKET(TMonitorEventAddGraphSamplePacket, "{47DFD582-41CE-471A-ADD0-B78DB6D2C40E}")

VT_PACKET_FIELDS(TMonitorEventCloseBrowseDBPacket) = {
    VT_FIELD(ms, 2, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventCloseBrowseDBPacket, "{D2FE15B2-9767-46CB-8450-800C16FD7B79}")

void RegisterMonitorPackets() {
  RegisterPacketClass(TMonitorEventStartedPacket::Class);
  RegisterPacketClass(TMonitorEventCompletePacket::Class);
  RegisterPacketClass(TMonitorEventSetMSBuildFlagPacket::Class);
  RegisterPacketClass(TMonitorEventBeginInitPacket::Class);
  RegisterPacketClass(TMonitorEventEndInitPacket::Class);
  RegisterPacketClass(TMonitorEventBeginFinalizePacket::Class);
  RegisterPacketClass(TMonitorEventEndFinalizePacket::Class);
  RegisterPacketClass(TMonitorEventBeginCachingPacket::Class);
  RegisterPacketClass(TMonitorEventEndCachingPacket::Class);
  RegisterPacketClass(TMonitorEventCountPacket::Class);
  RegisterPacketClass(TMonitorEventProjectCountPacket::Class);
  RegisterPacketClass(TMonitorEventMessagePacket::Class);
  RegisterPacketClass(TMonitorEventOutputPacket::Class);
  RegisterPacketClass(TMonitorEventProjectOutputPacket::Class);
  RegisterPacketClass(TMonitorEventProjectOutOfOrderOutputPacket::Class);
  RegisterPacketClass(TMonitorEventProjectCompletePacket::Class);
  RegisterPacketClass(TMonitorEventProjectPacket::Class);
  RegisterPacketClass(TMonitorEventProjectListPacket::Class);
  RegisterPacketClass(TMonitorEventEmployPacket::Class);
  RegisterPacketClass(TMonitorEventUnemployPacket::Class);
  RegisterPacketClass(TBuildCacheTaskInfo::Class);
  RegisterPacketClass(TMonitorEventBeginStepPacket::Class);
  RegisterPacketClass(TMonitorEventEndStepPacket::Class);
  RegisterPacketClass(TMonitorEventStepFailedPacket::Class);
  RegisterPacketClass(TMonitorEventModifyBarHintPacket::Class);
  RegisterPacketClass(TMonitorEventBeginBarPacket::Class);
  RegisterPacketClass(TMonitorEventEndBarPacket::Class);
  RegisterPacketClass(TMonitorEventAddGraphRowPacket::Class);
  RegisterPacketClass(TMonitorEventAddGraphSetPacket::Class);
  RegisterPacketClass(TMonitorEventAddGraphSamplePacket::Class);
  RegisterPacketClass(TMonitorEventCloseBrowseDBPacket::Class);
}

namespace {
int g_init_count = 0;
void InitializeMonitorPackets() {
  if (g_init_count++ == 0) RegisterMonitorPackets();
}
void FinalizeMonitorPackets() { --g_init_count; }
}  // namespace

const UnitEntry kMonitorPacketsUnit{"MonitorPackets", &InitializeMonitorPackets, &FinalizeMonitorPackets};

}  // namespace vt
