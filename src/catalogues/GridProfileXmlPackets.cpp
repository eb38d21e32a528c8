#include "catalogues/GridProfileXmlPackets.h"

namespace vt {

// ---- Build profile ---------------------------------------------------------------

VT_PACKET_FIELDS(TXml_Tool) = {
    VT_FIELD(Filename, pftString, String),
    VT_FIELD(AllowRemote, pftString, String),
    VT_FIELD(AllowWrap, pftBoolean, Raw(1)),
    VT_FIELD(AllowIntercept, pftBoolean, Raw(1)),
    VT_FIELD(SuccessExitCodes, pftString, String),
    VT_FIELD(OutputFileMasks, pftString, String),
    VT_FIELD(DeriveCaptionFrom, pftString, String),
    VT_FIELD(AutoReserveMemory, pftString, String),
    VT_FIELD(IdentifyTaskOutput, pftBoolean, Raw(1)),
    VT_FIELD(VCCompiler, pftBoolean, Raw(1)),
    VT_FIELD(SingleInstancePerAgent, pftBoolean, Raw(1)),
    VT_FIELD(AllowRestartOnLocal, pftBoolean, Raw(1)),
    VT_FIELD(WarningExitCodes, pftString, String),
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Path, pftString, String),
    VT_FIELD(GroupPrefix, pftString, String),
    VT_FIELD(OutputPrefix, pftString, String),
    VT_FIELD(Params, pftString, String),
    VT_FIELD(SkipIfProjectFailed, pftBoolean, Raw(1)),
    VT_FIELD(ShowSourceInOutput, pftBoolean, Raw(1)),
    VT_FIELD(TimeLimit, pftInteger, Raw(4)),
    VT_FIELD(AutoRecover, pftString, String),
    VT_FIELD(AutoRecover_AsList, pftObject, StringList),
    VT_FIELD(VCCompilerUnbatch, pftBoolean, Raw(1)),
    VT_FIELD(ParseMSBuildOutput, pftBoolean, Raw(1)),
    VT_FIELD(IntelCompiler, pftBoolean, Raw(1)),
    VT_FIELD(MonitorFileChanges, pftBoolean, Raw(1)),
    VT_FIELD(ApplyBrowseInfoMode, pftBoolean, Raw(1)),
    VT_FIELD(VCBscMake, pftBoolean, Raw(1)),
    VT_FIELD(AllowInterceptByVersionInfo, pftString, String),
    VT_FIELD(ParseDevEnvOutput, pftBoolean, Raw(1)),
    VT_FIELD(VCLinker, pftBoolean, Raw(1)),
    VT_FIELD(VCResourceCompiler, pftBoolean, Raw(1)),
    VT_FIELD(VCManifestTool, pftBoolean, Raw(1)),
    VT_FIELD(CSharpCompiler, pftBoolean, Raw(1)),
    VT_FIELD(InjectBase, pftString, String),
    VT_FIELD(AllowPredictedBatch, pftBoolean, Raw(1)),
    VT_FIELD(CUDACompiler, pftBoolean, Raw(1)),
    VT_FIELD(AllowRemoteIf, pftString, String),
    VT_FIELD(DenyRemoteIf, pftString, String),
    VT_FIELD(SkipIfExistsOutputFileMasks, pftString, String),
    VT_FIELD(DistinctStdErr, pftBoolean, Raw(1)),
    VT_FIELD(ClangCompiler, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TXml_Tool, "{06A8E0F3-1A17-44C9-B95B-CFEB0F3DFF7F}")
static_assert(std::size(TXml_Tool::kFields) == 43);

VT_PACKET_FIELDS(TXml_PreBuildStep) = {
    VT_FIELD(Filepath, pftString, String),
};
VT_DEFINE_PACKET(TXml_PreBuildStep, "{05A6530F-8FFA-444A-B009-ED1988AFB659}")

VT_PACKET_FIELDS(TXml_ProfileDocument) = {
    VT_FIELD(FormatVersion, pftInteger, Raw(4)),
    VT_FIELD(ForcePredictedExecutionPlatforms, pftString, String),
    VT_FIELD(Tools, pftObject, PacketList).WithItemName("Tool"),
    VT_FIELD(PreBuildStep, pftObject, Packet),
    VT_FIELD(NoDotNetVirt, pftBoolean, Raw(1)),
    VT_FIELD(DisablePredictedExecution, pftBoolean, Raw(1)),
};
VT_DEFINE_PACKET(TXml_ProfileDocument, "{B1325CF7-879E-4ECB-83DC-7D3B8853EBF5}")

// ---- Build description -----------------------------------------------------------

VT_PACKET_FIELDS(TXml_Task) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Tool, pftString, String),
    VT_FIELD(SourceFile, pftString, String).WithCaption("Source File"),
    VT_FIELD(Source, pftString, String).WithCaption("Source File"),
    VT_FIELD(OutputFiles, pftString, String).WithCaption("Output Files"),
    VT_FIELD(Output, pftString, String),
    VT_FIELD(InputFiles, pftString, String).WithCaption("Input Files"),
    VT_FIELD(DependsOn, pftString, String).WithCaption("Depends On Tasks"),
    VT_FIELD(Params, pftString, String).WithCaption("Parameters"),
    VT_FIELD(WorkingDir, pftString, String).WithCaption("Working Directory"),
    VT_FIELD(Caption, pftString, String),
    VT_FIELD(SkipIfProjectFailed, pftString, String).WithCaption("Skip If Project Failed"),
    VT_FIELD(ParentProjectOverlap, pftString, String).WithCaption("Overlap With Parent Project"),
    VT_FIELD(SubProjectOverlap, pftString, String).WithCaption("Overlap With Subproject"),
    VT_FIELD(StopOnErrors, pftString, String).WithCaption("Stop Build On Errors"),
};
VT_DEFINE_PACKET(TXml_Task, "{555F98A0-4767-4039-9E0B-D0B85F686EC1}")

VT_PACKET_FIELDS(TXml_TaskGroup) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Env, pftString, String),
    VT_FIELD(DependsOn, pftString, String),
    VT_FIELD(WorkingDir, pftString, String),
    VT_FIELD(Tool, pftString, String),
    VT_FIELD(ParentProjectOverlap, pftString, String),
    VT_FIELD(SubProjectOverlap, pftString, String),
    VT_FIELD(StopOnErrors, pftString, String),
    VT_FIELD(TaskGroup, pftObject, PacketList).WithCaption("Task Group"),
    VT_FIELD(Task, pftObject, PacketList),
};
VT_DEFINE_PACKET(TXml_TaskGroup, "{CB1B0BE1-6219-4850-B91F-6A9520E621EF}")

const TPacketClass& TXml_TaskGroupList::ItemClass() const { return TXml_TaskGroup::Class; }

TXml_TaskGroup& TXml_TaskGroupList::Items(std::int32_t index) const {
  auto* p = dynamic_cast<TXml_TaskGroup*>(GetItem(index));
  if (p == nullptr) throw EInvalidCast();
  return *p;
}

TXml_TaskGroup& TXml_TaskGroupList::AddNew() {
  auto p = std::make_unique<TXml_TaskGroup>();
  TXml_TaskGroup& ref = *p;
  Add(std::move(p));
  return ref;
}

VT_PACKET_FIELDS(TXml_Variable) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Value, pftString, String),
};
VT_DEFINE_PACKET(TXml_Variable, "{B9567A2F-4C6C-4E82-937C-BE355F7CEBC2}")

VT_PACKET_FIELDS(TXml_Environment) = {
    VT_FIELD(Name, pftString, String),
    VT_FIELD(Tools, pftObject, PacketList).WithItemName("Tool"),
    VT_FIELD(Variables, pftObject, PacketList).WithItemName("Variable"),
};
VT_DEFINE_PACKET(TXml_Environment, "{F3D97A2A-1A80-4C9C-AFD1-B4CDE0B9AB61}")

VT_PACKET_FIELDS(TXml_BuildDocument) = {
    VT_FIELD(FormatVersion, pftInteger, Raw(4)),
    VT_FIELD(Environments, pftObject, PacketList).WithItemName("Environment"),
    VT_FIELD(Project, pftObject, PacketList).WithItemName("Project"),
};
VT_DEFINE_PACKET(TXml_BuildDocument, "{988A0D77-E054-44A7-94A2-0748413BF52E}")

void RegisterXmlProfilePackets() {
  RegisterPacketClass(TXml_Tool::Class);
  RegisterPacketClass(TXml_PreBuildStep::Class);
  RegisterPacketClass(TXml_ProfileDocument::Class);
  RegisterPacketClass(TXml_Task::Class);
  RegisterPacketClass(TXml_TaskGroup::Class);
  RegisterPacketClass(TXml_Variable::Class);
  RegisterPacketClass(TXml_Environment::Class);
  RegisterPacketClass(TXml_BuildDocument::Class);
}

namespace {
int g_init_count = 0;
void InitializeGridProfileXmlPackets() {
  if (g_init_count++ == 0) RegisterXmlProfilePackets();
}
void FinalizeGridProfileXmlPackets() { --g_init_count; }
}  // namespace

const UnitEntry kGridProfileXmlPacketsUnit{"GridProfileXmlPackets", &InitializeGridProfileXmlPackets,
                                           &FinalizeGridProfileXmlPackets};

}  // namespace vt
