#include "catalogues/MonitorPackets.h"

namespace vt {

// ---- The build and its phases ----------------------------------------------

VT_PACKET_FIELDS(TMonitorEventStartedPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(StartTime, pftDouble, Raw(8)),
    VT_FIELD(BuildFlags, pftOther, Sized(6)),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(PrimaryFileName, pftString, String),
    VT_FIELD(ID, pftOther, Raw(16)),
    VT_FIELD(ComputerName, pftString, String),
    VT_FIELD(IsMSBuilsProject_Obsolete, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventStartedPacket, "{2B1EDE84-8DFA-4D06-B3D1-8499AB4EA592}")

VT_PACKET_FIELDS(TMonitorEventCompletePacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(Cancel, pftBoolean, Raw(1)),
    VT_FIELD(Summary, pftString, String),
    VT_FIELD(Success, pftBoolean, Raw(1)),
    VT_FIELD(SystemWarningCount, pftInteger, Compact),
    VT_FIELD(SystemErrorCount, pftInteger, Compact),
    VT_FIELD(ErrorCount, pftInteger, Compact),
    VT_FIELD(WarningCount, pftInteger, Compact),
    VT_FIELD(ExitCode, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventCompletePacket, "{1A69A620-5579-4A3F-88B0-ACCA61FCB796}")

VT_PACKET_FIELDS(TMonitorEventSetMSBuildFlagPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(IsMSBuildProject, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventSetMSBuildFlagPacket, "{4F7808E4-3236-4E88-BA56-6DA7DC0A0B5B}")

VT_PACKET_FIELDS(TMonitorEventBeginInitPacket) = {
    VT_FIELD(WorkerID, pftString, String),
    VT_FIELD(RowCaption, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginInitPacket, "{CF7CAC24-24EA-4F18-A05D-F719C0603DE8}")

VT_PACKET_FIELDS(TMonitorEventEndInitPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
    VT_FIELD(Errors, pftInteger, Raw(4)),
    VT_FIELD(Warnings, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventEndInitPacket, "{E28BD79B-D6E3-4736-92CB-E1A1DD2208D5}")

VT_PACKET_FIELDS(TMonitorEventBeginFinalizePacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginFinalizePacket, "{4D435ACF-A922-4FFE-B217-E38F486F9B00}")

VT_PACKET_FIELDS(TMonitorEventEndFinalizePacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventEndFinalizePacket, "{9FDFB275-F2A4-4B81-A471-BB1E54172D95}")

VT_PACKET_FIELDS(TMonitorEventBeginCachingPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginCachingPacket, "{03EE2489-6AF7-44D5-848F-AC8D77A9655A}")

VT_PACKET_FIELDS(TMonitorEventEndCachingPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
    VT_FIELD(IsSuccess, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventEndCachingPacket, "{31C1AADB-FD5D-4B86-ACE1-05E4242E5ED6}")

VT_PACKET_FIELDS(TMonitorEventCountPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(Built, pftInteger, Raw(4)),
    VT_FIELD(Skipped, pftInteger, Raw(4)),
    VT_FIELD(Errors, pftInteger, Raw(4)).WithDefault(-1),
    VT_FIELD(Warnings, pftInteger, Raw(4)).WithDefault(-1),
};
VT_DEFINE_PACKET(TMonitorEventCountPacket, "{FDAFDDC3-45C6-4906-ADE8-9D572EA400B5}")

VT_PACKET_FIELDS(TMonitorEventProjectCountPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(ProjectIndex, pftInteger, Compact),
    VT_FIELD(Built, pftInteger, Raw(4)),
    VT_FIELD(Skipped, pftInteger, Raw(4)),
    VT_FIELD(Errors, pftInteger, Raw(4)),
    VT_FIELD(Warnings, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventProjectCountPacket, "{6A1A523C-8E43-45AB-9313-3AA6FD16CB5E}")

// ---- Messages and output ------------------------------------------------------

VT_PACKET_FIELDS(TMonitorEventMessagePacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(Kind, pftInteger, Raw(4)),
    VT_FIELD(Now, pftDouble, Raw(8)),
    VT_FIELD(Message, pftString, String),
    VT_FIELD(Text, pftString, String),
    VT_FIELD(Agent, pftString, String),
    VT_FIELD(Project, pftString, String),
    VT_FIELD(Code, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventMessagePacket, "{0842413D-FFCD-48A7-8E27-644DA45AA919}")

VT_PACKET_FIELDS(TMonitorEventOutputPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(Text, pftString, String),
    VT_FIELD(TaskID, pftInteger, Raw(4)),
    VT_FIELD(ErrorCount, pftInteger, Raw(4)),
    VT_FIELD(WarningCount, pftInteger, Raw(4)),
    VT_FIELD(CreateRegion, pftBoolean, Raw(1)).WithDefault(true),
};
VT_DEFINE_PACKET(TMonitorEventOutputPacket, "{DCF0DAA3-40C7-4D28-AF9B-9B0C43BCBE70}")

VT_PACKET_FIELDS(TMonitorEventProjectOutputPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(ProjectIndex, pftInteger, Compact),
    VT_FIELD(Text, pftString, String),
    VT_FIELD(TaskID, pftInteger, Raw(4)),
    VT_FIELD(ErrorCount, pftInteger, Compact),
    VT_FIELD(WarningCount, pftInteger, Compact),
    VT_FIELD(CreateRegion, pftBoolean, Raw(1)).WithDefault(true),
};
VT_DEFINE_PACKET(TMonitorEventProjectOutputPacket, "{82BBFB93-E4BF-4740-8A2A-3E587D67902C}")

VT_PACKET_FIELDS(TMonitorEventProjectOutOfOrderOutputPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(ProjectIndex, pftInteger, Compact),
    VT_FIELD(Text, pftString, String),
    VT_FIELD(ProcessName, pftString, String),
    VT_FIELD(TaskID, pftInteger, Raw(4)),
    VT_FIELD(ErrorCount, pftInteger, Compact),
    VT_FIELD(WarningCount, pftInteger, Compact),
};
VT_DEFINE_PACKET(TMonitorEventProjectOutOfOrderOutputPacket, "{DF66BC78-B498-4B1B-AA6B-7213486587BB}")

// ---- Projects and agent rows ------------------------------------------------------

VT_PACKET_FIELDS(TMonitorEventProjectCompletePacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(ProjectIndex, pftInteger, Compact),
};
VT_DEFINE_PACKET(TMonitorEventProjectCompletePacket, "{6FFCCF27-8329-4B27-8DEB-4C7403F0A0B3}")

VT_PACKET_FIELDS(TMonitorEventProjectPacket) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(TaskCount, pftInteger, Compact),
    VT_FIELD(Skip, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventProjectPacket, "{17F6523D-832A-466D-A9B6-6F63B2A13DB7}")

VT_PACKET_FIELDS(TMonitorEventProjectListPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(TaskCount, pftInteger, Compact),
    VT_FIELD(Hidden, pftBoolean, Raw(1)),
    VT_FIELD(List, pftObject, PacketList),
};
VT_DEFINE_PACKET(TMonitorEventProjectListPacket, "{77C96357-0D76-4161-BDEA-C3B27781D7D6}")

VT_PACKET_FIELDS(TMonitorEventEmployPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(ID, pftString, String),
    VT_FIELD(RowIndex, pftInteger, Raw(4)),
    VT_FIELD(StaticInfo, pftObject, Packet),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(Host, pftString, String),
    VT_FIELD(Local, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TMonitorEventEmployPacket, "{F63DBBA1-16A4-4D8A-B772-6A4138F877CC}")

VT_PACKET_FIELDS(TMonitorEventUnemployPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(ID, pftString, String),
    VT_FIELD(RowIndex, pftInteger, Compact),
};
VT_DEFINE_PACKET(TMonitorEventUnemployPacket, "{5CDE534D-B7B3-40F7-B0D4-B2BC04C90FF4}")

// ---- Build steps and bars -----------------------------------------------------------

VT_PACKET_FIELDS(TBuildCacheTaskInfo) = {
    VT_FIELD(TaskSignature, pftString, Wide),
    VT_FIELD(EnvBlockHash, pftString, Wide),
    VT_FIELD(CmdlineHash, pftString, Wide),
    VT_FIELD(SrcFileHash, pftString, Wide),
};
VT_DEFINE_PACKET(TBuildCacheTaskInfo, "{0FD35AF1-4A22-40AF-9E96-3342B8B2807E}")

VT_PACKET_FIELDS(TMonitorEventBeginStepPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
    VT_FIELD(Hint, pftString, String),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(TaskID, pftInteger, Raw(4)),
    VT_FIELD(CmdGUID, pftOther, Raw(16)),
    VT_FIELD(Source, pftString, String),
    VT_FIELD(DetailedLog, pftBoolean, Raw(1)),
    VT_FIELD(Remote, pftBoolean, Raw(1)),
    VT_FIELD(Status, pftString, String),
    VT_FIELD(CmdLine, pftString, String),
    VT_FIELD(App, pftString, String),
    VT_FIELD(BuildCacheTaskInfo, pftObject, OptionalPacket),
};
VT_DEFINE_PACKET(TMonitorEventBeginStepPacket, "{8D6F4346-BC8D-47F2-8370-E2A71FF89B01}")

VT_PACKET_FIELDS(TMonitorEventEndStepPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
    VT_FIELD(Errors, pftInteger, Compact),
    VT_FIELD(Warnings, pftInteger, Compact),
    VT_FIELD(Double, pftBoolean, Raw(1)),
    VT_FIELD(ExitCodeExists, pftBoolean, Raw(1)),
    VT_FIELD(ExitCode, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventEndStepPacket, "{8052D420-74D9-4218-91FF-CF9A8BE2A6A7}")

VT_PACKET_FIELDS(TMonitorEventStepFailedPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(WorkerID, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventStepFailedPacket, "{AB5B11B2-3EB4-481B-8D1B-BBFACCC94D54}")

VT_PACKET_FIELDS(TMonitorEventModifyBarHintPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(TaskID, pftInteger, Raw(4)),
    VT_FIELD(NewHintText, pftString, String),
    VT_FIELD(InsertAtLine, pftInteger, Raw(4)),
};
VT_DEFINE_PACKET(TMonitorEventModifyBarHintPacket, "{E86CDCAF-C0DC-4681-9B1C-E4F44CBAE841}")

VT_PACKET_FIELDS(TMonitorEventBeginBarPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(RowID, pftString, String),
    VT_FIELD(RowCaption, pftString, String),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Hint, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventBeginBarPacket, "{5BC1C6E8-A4F7-40C4-A655-19FEB7BF7722}")

VT_PACKET_FIELDS(TMonitorEventEndBarPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(RowID, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventEndBarPacket, "{D8E8C761-B673-4D8F-86A3-D07ED712B11F}")

// ---- Graphs and browsing ---------------------------------------------------------------

VT_PACKET_FIELDS(TMonitorEventAddGraphRowPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(RowID, pftString, String),
    VT_FIELD(DisplayName, pftString, String),
    VT_FIELD(DefaultHeight, pftInteger, Compact),
    VT_FIELD(FollowRowID, pftString, String),
};
VT_DEFINE_PACKET(TMonitorEventAddGraphRowPacket, "{6CC7BED0-9940-446F-8409-13D91945855E}")

VT_PACKET_FIELDS(TMonitorEventAddGraphSetPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(RowID, pftString, String),
    VT_FIELD(SetDefinitionPacket, pftObject, Packet),
};
VT_DEFINE_PACKET(TMonitorEventAddGraphSetPacket, "{94F07939-3CE8-44D8-AFE0-86ACE5CFBA04}")

VT_PACKET_FIELDS(TMonitorEventAddGraphSamplePacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
    VT_FIELD(RowID, pftString, String),
    VT_FIELD(SamplePacket, pftObject, Packet),
};
VT_DEFINE_PACKET(TMonitorEventAddGraphSamplePacket, "{47DFD582-41CE-471A-ADD0-B78DB6D2C40E}")

VT_PACKET_FIELDS(TMonitorEventCloseBrowseDBPacket) = {
    VT_FIELD(ms, pftInteger, Raw(4)),
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
