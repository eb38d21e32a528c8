#include "catalogues/GridProfileXmlPackets.h"

namespace vt {

// ---- Build profile ---------------------------------------------------------------

VT_PACKET_FIELDS(TXml_Tool) = {
    VT_FIELD(Filename, 1, String),
    VT_FIELD(AllowRemote, 1, String),
    VT_FIELD(AllowWrap, 3, Raw(1)),
    VT_FIELD(AllowIntercept, 3, Raw(1)),
    VT_FIELD(SuccessExitCodes, 1, String),
    VT_FIELD(OutputFileMasks, 1, String),
    VT_FIELD(DeriveCaptionFrom, 1, String),
    VT_FIELD(AutoReserveMemory, 1, String),
    VT_FIELD(IdentifyTaskOutput, 3, Raw(1)),
    VT_FIELD(VCCompiler, 3, Raw(1)),
    VT_FIELD(SingleInstancePerAgent, 3, Raw(1)),
    VT_FIELD(AllowRestartOnLocal, 3, Raw(1)),
    VT_FIELD(WarningExitCodes, 1, String),
    VT_FIELD(Name, 1, String),
    VT_FIELD(Path, 1, String),
    VT_FIELD(GroupPrefix, 1, String),
    VT_FIELD(OutputPrefix, 1, String),
    VT_FIELD(Params, 1, String),
    VT_FIELD(SkipIfProjectFailed, 3, Raw(1)),
    VT_FIELD(ShowSourceInOutput, 3, Raw(1)),
    VT_FIELD(TimeLimit, 2, Raw(4)),
    VT_FIELD(AutoRecover, 1, String),
    VT_FIELD(AutoRecover_AsList, 5, StringList),
    VT_FIELD(VCCompilerUnbatch, 3, Raw(1)),
    VT_FIELD(ParseMSBuildOutput, 3, Raw(1)),
    VT_FIELD(IntelCompiler, 3, Raw(1)),
    VT_FIELD(MonitorFileChanges, 3, Raw(1)),
    VT_FIELD(ApplyBrowseInfoMode, 3, Raw(1)),
    VT_FIELD(VCBscMake, 3, Raw(1)),
    VT_FIELD(AllowInterceptByVersionInfo, 1, String),
    VT_FIELD(ParseDevEnvOutput, 3, Raw(1)),
    VT_FIELD(VCLinker, 3, Raw(1)),
    VT_FIELD(VCResourceCompiler, 3, Raw(1)),
    VT_FIELD(VCManifestTool, 3, Raw(1)),
    VT_FIELD(CSharpCompiler, 3, Raw(1)),
    VT_FIELD(InjectBase, 1, String),
    VT_FIELD(AllowPredictedBatch, 3, Raw(1)),
    VT_FIELD(CUDACompiler, 3, Raw(1)),
    VT_FIELD(AllowRemoteIf, 1, String),
    VT_FIELD(DenyRemoteIf, 1, String),
    VT_FIELD(SkipIfExistsOutputFileMasks, 1, String),
    VT_FIELD(DistinctStdErr, 3, Raw(1)),
    VT_FIELD(ClangCompiler, 3, Raw(1)),
};
VT_DEFINE_PACKET(TXml_Tool, "{06A8E0F3-1A17-44C9-B95B-CFEB0F3DFF7F}")
static_assert(std::size(TXml_Tool::kFields) == 43);

VT_PACKET_FIELDS(TXml_PreBuildStep) = {
    VT_FIELD(Filepath, 1, String),
};
VT_DEFINE_PACKET(TXml_PreBuildStep, "{05A6530F-8FFA-444A-B009-ED1988AFB659}")

VT_PACKET_FIELDS(TXml_ProfileDocument) = {
    VT_FIELD(FormatVersion, 2, Raw(4)),
    VT_FIELD(ForcePredictedExecutionPlatforms, 1, String),
    VT_FIELD(Tools, 5, PacketList).WithItemName("Tool"),
    VT_FIELD(PreBuildStep, 5, Packet),
    VT_FIELD(NoDotNetVirt, 3, Raw(1)),
    VT_FIELD(DisablePredictedExecution, 3, Raw(1)),
};
VT_DEFINE_PACKET(TXml_ProfileDocument, "{B1325CF7-879E-4ECB-83DC-7D3B8853EBF5}")

// ---- Build description -----------------------------------------------------------

VT_PACKET_FIELDS(TXml_Task) = {
    VT_FIELD(Name, 1, String),
    VT_FIELD(Tool, 1, String),
    VT_FIELD(SourceFile, 1, String).WithCaption("Source File"),
    VT_FIELD(Source, 1, String).WithCaption("Source File"),
    VT_FIELD(OutputFiles, 1, String).WithCaption("Output Files"),
    VT_FIELD(Output, 1, String),
    VT_FIELD(InputFiles, 1, String).WithCaption("Input Files"),
    VT_FIELD(DependsOn, 1, String).WithCaption("Depends On Tasks"),
    VT_FIELD(Params, 1, String).WithCaption("Parameters"),
    VT_FIELD(WorkingDir, 1, String).WithCaption("Working Directory"),
    VT_FIELD(Caption, 1, String),
    VT_FIELD(SkipIfProjectFailed, 1, String).WithCaption("Skip If Project Failed"),
    VT_FIELD(ParentProjectOverlap, 1, String).WithCaption("Overlap With Parent Project"),
    VT_FIELD(SubProjectOverlap, 1, String).WithCaption("Overlap With Subproject"),
    VT_FIELD(StopOnErrors, 1, String).WithCaption("Stop Build On Errors"),
};
VT_DEFINE_PACKET(TXml_Task, "{555F98A0-4767-4039-9E0B-D0B85F686EC1}")

VT_PACKET_FIELDS(TXml_TaskGroup) = {
    VT_FIELD(Name, 1, String),
    VT_FIELD(Env, 1, String),
    VT_FIELD(DependsOn, 1, String),
    VT_FIELD(WorkingDir, 1, String),
    VT_FIELD(Tool, 1, String),
    VT_FIELD(ParentProjectOverlap, 1, String),
    VT_FIELD(SubProjectOverlap, 1, String),
    VT_FIELD(StopOnErrors, 1, String),
    VT_FIELD(TaskGroup, 5, PacketList).WithCaption("Task Group"),
    VT_FIELD(Task, 5, PacketList),
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
    VT_FIELD(Name, 1, String),
    VT_FIELD(Value, 1, String),
};
VT_DEFINE_PACKET(TXml_Variable, "{B9567A2F-4C6C-4E82-937C-BE355F7CEBC2}")

VT_PACKET_FIELDS(TXml_Environment) = {
    VT_FIELD(Name, 1, String),
    VT_FIELD(Tools, 5, PacketList).WithItemName("Tool"),
    VT_FIELD(Variables, 5, PacketList).WithItemName("Variable"),
};
VT_DEFINE_PACKET(TXml_Environment, "{F3D97A2A-1A80-4C9C-AFD1-B4CDE0B9AB61}")

VT_PACKET_FIELDS(TXml_BuildDocument) = {
    VT_FIELD(FormatVersion, 2, Raw(4)),
    VT_FIELD(Environments, 5, PacketList).WithItemName("Environment"),
    VT_FIELD(Project, 5, PacketList).WithItemName("Project"),
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
