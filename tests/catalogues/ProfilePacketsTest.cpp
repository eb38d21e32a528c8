// Build-cache profile, build profile and build description documents:
// registration in order, round trips of filled trees, exact payloads,
// names, item names and captions, nested members, and class identities
// that differ in a few digits only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/AgentWrapperPackets.h"
#include "catalogues/BuildCacheProfilePackets.h"
#include "catalogues/BuildCacheRequestNames.h"
#include "catalogues/BuildPackets.h"
#include "catalogues/GridGraphPackets.h"
#include "catalogues/GridProfileXmlPackets.h"
#include "catalogues/MonitorPackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/ReportAgentPacket.h"

namespace vt {
namespace {

using namespace test;

// Registration order: the build-cache unit, then the profile unit.
const ClassRow kClasses[] = {
    {&TBuildCacheToolChildExclude::Class, GuidLiteral("{0D71E0F3-1A17-44C9-BC5B-CFEB3A3DFF7D}"), 1},
    {&TBuildCacheTool::Class, GuidLiteral("{06A1E0F3-1A17-44C9-BC5B-CFEB0F3DFF7D}"), 4},
    {&TBuildCacheProfileDocument::Class, GuidLiteral("{B1825CF7-879E-4E7B-83DC-7D3B8F53E7F5}"), 2},
    {&TXml_Tool::Class, GuidLiteral("{06A8E0F3-1A17-44C9-B95B-CFEB0F3DFF7F}"), 43},
    {&TXml_PreBuildStep::Class, GuidLiteral("{05A6530F-8FFA-444A-B009-ED1988AFB659}"), 1},
    {&TXml_ProfileDocument::Class, GuidLiteral("{B1325CF7-879E-4ECB-83DC-7D3B8853EBF5}"), 6},
    {&TXml_Task::Class, GuidLiteral("{555F98A0-4767-4039-9E0B-D0B85F686EC1}"), 15},
    {&TXml_TaskGroup::Class, GuidLiteral("{CB1B0BE1-6219-4850-B91F-6A9520E621EF}"), 10},
    {&TXml_Variable::Class, GuidLiteral("{B9567A2F-4C6C-4E82-937C-BE355F7CEBC2}"), 2},
    {&TXml_Environment::Class, GuidLiteral("{F3D97A2A-1A80-4C9C-AFD1-B4CDE0B9AB61}"), 3},
    {&TXml_BuildDocument::Class, GuidLiteral("{988A0D77-E054-44A7-94A2-0748413BF52E}"), 3},
};

class ProfilePacketsTest : public test::CatalogueTest {};

// A build document with an environment and a project three groups deep.
void FillTree(TXml_BuildDocument& doc) {
  doc.FormatVersion = 3;
  auto& env = doc.Environments.AddNew();
  env.Name = "Default";
  auto& tool = env.Tools.AddNew();
  tool.Filename = "cl.exe";
  tool.VCCompiler = true;
  tool.AutoRecover_AsList.Add("retry");
  auto& var = env.Variables.AddNew();
  var.Name = "A";
  var.Value = "1";
  auto& project = doc.Project.AddNew();
  project.Name = "p";
  auto& g1 = project.TaskGroup.AddNew();
  g1.Name = "g1";
  auto& g2 = g1.TaskGroup.AddNew();
  g2.Name = "g2";
  auto& g3 = g2.TaskGroup.AddNew();
  g3.Name = "g3";
  g3.Env = "Default";
  auto& task = g3.Task.AddNew();
  task.Name = "compile";
  task.Tool = "cl.exe";
  task.StopOnErrors = "yes";
  project.Task.AddNew().Name = "link";
}

// ---- Registration ------------------------------------------------------------------

TEST_F(ProfilePacketsTest, RegistersEveryClassInOrder) {
  const std::int32_t first = GetPacketClassNumber(TBuildCacheToolChildExclude::Class);
  EXPECT_EQ(first, GetPacketClassNumber(TWrapperStatusPacket::Class) + 1);
  EXPECT_EQ(ExpectRegisteredInOrder(kClasses, first, &TPacket::Class), 11);
  for (const UnitEntry* u : {&kBuildCacheProfilePacketsUnit, &kGridProfileXmlPacketsUnit}) {
    u->initialize();
    u->finalize();
  }
  EXPECT_EQ(GetPacketClassNumber(TXml_BuildDocument::Class), first + 10);

  EXPECT_EQ(BuildCacheRequestNames.size(), 5u);
  EXPECT_STREQ(BuildCacheRequestNames[0], "IsTaskCached");
  EXPECT_STREQ(BuildCacheRequestNames[2], "ReportUncacheableTask");
  EXPECT_STREQ(BuildCacheRequestNames[4], "Error");
}

TEST_F(ProfilePacketsTest, FilledDocumentsRoundTrip) {
  for (const ClassRow& row : kClasses) {
    auto p = row.cls->Create();
    FillGeneric(*p, 1);
    EXPECT_FALSE(p->Equals(*row.cls->Create())) << row.cls->Name();
    test::ExpectRoundTrips(*p);
  }
  TXml_BuildDocument doc;
  FillTree(doc);
  test::ExpectRoundTrips(doc);
  test::ExpectRoundTrips(doc);
}

// ---- Build-cache profile ---------------------------------------------------------------

TEST_F(ProfilePacketsTest, BuildCacheProfileBytesAndNames) {
  TBuildCacheTool tool;
  tool.Filename = "tool.exe";
  tool.AllowBuildCache = true;
  EXPECT_EQ(Hex(FieldBytes(tool)), "10 74 6F 6F 6C 2E 65 78 65 01 00 00 00 00 00");
  TBuildCacheProfileDocument doc;
  doc.FormatVersion = 1;
  EXPECT_EQ(Hex(FieldBytes(doc)), "01 00 00 00 00 00 00 00");

  EXPECT_EQ(tool.FieldItemName(3), "Exclude");
  EXPECT_EQ(tool.FieldItemCaption(3), "Exclude");
  EXPECT_EQ(doc.FieldItemName(1), "Tool");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(tool.FieldItemName(i), "");
  EXPECT_EQ(doc.FieldItemName(0), "");
  EXPECT_EQ(tool.FieldCaption(2), "IncludeBinaryDependencies");
  EXPECT_EQ(tool.FieldIndexByName("filename"), -1);
  EXPECT_EQ(tool.FieldIndexByName("ChildProcesses"), 3);
  EXPECT_EQ(tool.FieldIndexByName("Nothing"), -1);

  tool.SetFieldAsString(1, "TRUE");
  EXPECT_TRUE(tool.AllowBuildCache);
  tool.SetFieldAsString(1, "yes");
  EXPECT_FALSE(tool.AllowBuildCache);
  doc.SetFieldAsString(0, "");
  EXPECT_EQ(doc.FormatVersion, 0);
  EXPECT_EQ(MessageOf<Exception>([&] { doc.GetFieldAsString(1); }),
            "Cannot get field as string: TBuildCacheProfileDocument.Tools");
  EXPECT_EQ(MessageOf<Exception>([&] { doc.GetFieldAsInteger(2); }), "Cannot get field as integer: TBuildCacheProfileDocument.");

  // A stored document with only FormatVersion has no tools.
  TBuildCacheProfileDocument a, c;
  LoadFieldsBothWays(a, c, std::string("\x05\x00\x00\x00", 4), 1);
  EXPECT_EQ(a.FormatVersion, 5);
  EXPECT_TRUE(a.Tools.IsEmpty());
  EXPECT_TRUE(c.Tools.IsEmpty());
}

TEST_F(ProfilePacketsTest, ItemsWrittenByANewerWriterAreSkippedToTheNext) {
  // Two tools, the first stored with one field more than this reader knows.
  TBuildCacheTool first, second;
  first.Filename = "a.exe";
  first.ChildProcesses.AddNew().ProcName = "child.exe";
  second.Filename = "b.exe";
  std::string item = SaveBytes(first);
  item += "\x01";
  const std::uint32_t total = static_cast<std::uint32_t>(item.size()), fields = 5;
  std::memcpy(item.data() + 4, &total, 4);
  std::memcpy(item.data() + 8, &fields, 4);
  B payload;
  payload.i32(2).i32(2).bytes(item).bytes(SaveBytes(second));

  TBuildCacheProfileDocument a, c;
  EXPECT_EQ(LoadFieldsBothWays(a, c, payload.s, 2), static_cast<std::int64_t>(payload.s.size()));
  for (auto* d : {&a, &c}) {
    ASSERT_EQ(d->Tools.Count(), 2);
    EXPECT_TRUE(d->Tools.Items(0).Equals(first));
    EXPECT_TRUE(d->Tools.Items(1).Equals(second));
  }
}

TEST_F(ProfilePacketsTest, LookAlikeIdentitiesStayApart) {
  const TGUID cache_tool = TBuildCacheTool::Class.GetClassGUID();
  const TGUID xml_tool = TXml_Tool::Class.GetClassGUID();
  EXPECT_FALSE(GuidsEqual(cache_tool, xml_tool));
  EXPECT_EQ(cache_tool.D2, xml_tool.D2);
  EXPECT_EQ(std::memcmp(cache_tool.D4 + 2, xml_tool.D4 + 2, 5), 0);
  EXPECT_FALSE(GuidsEqual(TBuildCacheProfileDocument::Class.GetClassGUID(),
                          TXml_ProfileDocument::Class.GetClassGUID()));

  TBuildCacheTool tool;
  tool.Filename = "x";
  const std::string b = SaveBytes(tool);
  TXml_Tool xml;
  TMemoryStream s;
  s.WriteBuffer(b.data(), static_cast<std::int64_t>(b.size()));
  s.SetPosition(0);
  EXPECT_NE(MessageOf<Exception>([&] { LoadPacketInto(xml, s); }).find("Incompatible packet class"), std::string::npos);
  EXPECT_TRUE(xml.Filename.empty());
  s.SetPosition(0);
  EXPECT_EQ(&LoadPacket(s)->ClassType(), &TBuildCacheTool::Class);

  // A document's tool list refuses an item of the look-alike class.
  B payload;
  payload.i32(0).i32(1).bytes(SaveBytes(TXml_Tool()));
  test::ExpectBothReadersFail<Exception>(TBuildCacheProfileDocument::Class, payload.s, 2);
}

// ---- Build profile ---------------------------------------------------------------------

TEST_F(ProfilePacketsTest, ProfileDocumentAndItsPreBuildStep) {
  TXml_ProfileDocument doc;
  EXPECT_TRUE(doc.Tools.IsEmpty());
  TXml_PreBuildStep* step = &doc.PreBuildStep;
  EXPECT_EQ(doc.GetFieldAsObject(3), step);
  EXPECT_EQ(doc.GetFieldAsObject(2), &doc.Tools);

  B expected;
  expected.zeros(4).u8(0).zeros(4);
  expected.i32(2).i32(33).i32(1).i32(0).raw(&TXml_PreBuildStep::Class.GetClassGUID(), 16).u8(0);
  expected.u8(0).u8(0);
  EXPECT_EQ(expected.s.size(), 44u);
  EXPECT_EQ(Hex(FieldBytes(doc)), Hex(expected.s));

  TXml_ProfileDocument other;
  other.PreBuildStep.Filepath = "pre.bat";
  EXPECT_FALSE(doc.Equals(other));
  EXPECT_EQ(Differences(doc, other), std::vector<std::int32_t>{3});
  doc.Assign(other);
  EXPECT_EQ(&doc.PreBuildStep, step);
  EXPECT_EQ(doc.PreBuildStep.Filepath, "pre.bat");
  doc.Tools.AddNew().Name = "t";
  doc.Clear();
  EXPECT_EQ(&doc.PreBuildStep, step);
  EXPECT_TRUE(doc.PreBuildStep.Filepath.empty());
  EXPECT_TRUE(doc.Tools.IsEmpty());

  std::string text;
  EXPECT_EQ(other.FieldToText(3, text), 2);
  EXPECT_NE(text.find("Filepath = 'pre.bat'"), std::string::npos);

  // A pre-build step stored with another class's identity stops the load.
  std::string wrong = FieldBytes(other);
  const TGUID g = TXml_Variable::Class.GetClassGUID();
  std::memcpy(wrong.data() + 9 + 16, &g, 16);
  test::ExpectBothReadersFail<Exception>(TXml_ProfileDocument::Class, wrong, 6);
}

TEST_F(ProfilePacketsTest, ToolRecoveryListAndTypedAccess) {
  TXml_Tool tool;
  EXPECT_EQ(tool.FieldIndexByName("TimeLimit"), 20);
  EXPECT_EQ(tool.FieldType(22), pftObject);
  EXPECT_EQ(tool.FieldType(20), pftInteger);
  EXPECT_EQ(tool.FieldName(42), "ClangCompiler");
  EXPECT_EQ(tool.FieldType(43), pftOther);

  tool.SetFieldAsString(22, "one\r\ntwo\r\nthree");
  ASSERT_EQ(tool.AutoRecover_AsList.Count(), 3);
  EXPECT_EQ(tool.AutoRecover_AsList[2], "three");
  EXPECT_EQ(tool.GetFieldAsString(22), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(tool.GetFieldAsObject(22), &tool.AutoRecover_AsList);
  std::string text;
  EXPECT_EQ(tool.FieldToText(22, text), 2);
  EXPECT_EQ(text, "one\r\ntwo\r\nthree\r\n");

  TXml_Tool other;
  other.Assign(tool);
  EXPECT_TRUE(other.Equals(tool));
  other.AutoRecover_AsList.Clear();
  other.AutoRecover_AsList.Add("A");
  other.AutoRecover_AsList.Add("b");
  other.AutoRecover_AsList.Add("c");
  EXPECT_FALSE(other.Equals(tool));
  EXPECT_EQ(Differences(tool, other), std::vector<std::int32_t>{22});

  EXPECT_EQ(MessageOf<Exception>([&] { tool.GetFieldAsDouble(2); }), "Cannot get field as double: TXml_Tool.AllowWrap");
}

// ---- Build description -----------------------------------------------------------------

TEST_F(ProfilePacketsTest, BuildDescriptionBytesNamesAndCaptions) {
  TXml_Variable var;
  var.SetFieldAsString(0, "A");
  var.SetFieldAsString(1, "1");
  EXPECT_EQ(Hex(FieldBytes(var)), "02 41 02 31");
  TXml_BuildDocument doc;
  doc.FormatVersion = 1;
  EXPECT_EQ(Hex(FieldBytes(doc)), "01 00 00 00 00 00 00 00 00 00 00 00");

  TXml_Task task;
  EXPECT_EQ(task.FieldCaption(2), "Source File");
  EXPECT_EQ(task.FieldCaption(3), "Source File");
  EXPECT_EQ(task.FieldCaption(5), "Output");
  EXPECT_EQ(task.FieldCaption(14), "Stop Build On Errors");
  EXPECT_EQ(task.FieldItemCaption(3), "");
  task.SetFieldAsString(14, "yes");
  EXPECT_EQ(task.StopOnErrors, "yes");
  TXml_TaskGroup group;
  EXPECT_EQ(group.FieldCaption(8), "Task Group");
  EXPECT_EQ(group.FieldCaption(9), "Task");
  EXPECT_EQ(group.FieldItemName(8), "");
  EXPECT_EQ(group.FieldItemCaption(9), "");
  EXPECT_EQ(doc.FieldItemName(2), "Project");
  EXPECT_EQ(doc.FieldItemCaption(1), "Environment");
  TXml_Environment env;
  EXPECT_EQ(env.FieldItemName(1), "Tool");
  EXPECT_EQ(env.FieldItemName(2), "Variable");
  EXPECT_EQ(group.GetFieldAsObject(8), &group.TaskGroup);
}

TEST_F(ProfilePacketsTest, NestedTaskGroupsLoadCopyAndClear) {
  TXml_BuildDocument doc;
  FillTree(doc);
  TXml_BuildDocument a, c;
  const std::string b = FieldBytes(doc);
  EXPECT_EQ(LoadFieldsBothWays(a, c, b, 3), static_cast<std::int64_t>(b.size()));
  for (auto* d : {&a, &c}) {
    EXPECT_TRUE(d->Equals(doc));
    const TXml_TaskGroup& g3 = d->Project.Items(0).TaskGroup.Items(0).TaskGroup.Items(0).TaskGroup.Items(0);
    EXPECT_EQ(g3.Name, "g3");
    EXPECT_EQ(g3.Task.Items(0).StopOnErrors, "yes");
  }

  // A change deep in the tree is a difference of the top-level list.
  a.Project.Items(0).TaskGroup.Items(0).TaskGroup.Items(0).TaskGroup.Items(0).Task.Items(0).Tool = "CL.EXE";
  EXPECT_EQ(Differences(doc, a), std::vector<std::int32_t>{2});

  // Assign copies the whole tree, not its objects.
  TXml_BuildDocument copy;
  copy.Assign(doc);
  EXPECT_TRUE(copy.Equals(doc));
  EXPECT_NE(&copy.Project.Items(0), &doc.Project.Items(0));

  // Clear frees every packet below the document.
  const std::int32_t tasks = TXml_Task::Class.InstanceCount();
  const std::int32_t groups = TXml_TaskGroup::Class.InstanceCount();
  const std::int32_t tools = TXml_Tool::Class.InstanceCount();
  copy.Clear();
  EXPECT_TRUE(copy.Equals(TXml_BuildDocument()));
  EXPECT_EQ(TXml_Task::Class.InstanceCount(), tasks - 2);
  EXPECT_EQ(TXml_TaskGroup::Class.InstanceCount(), groups - 4);
  EXPECT_EQ(TXml_Tool::Class.InstanceCount(), tools - 1);
}

TEST_F(ProfilePacketsTest, GroupsNestedBeyondTheLoadLimitAreRefused) {
  TXml_TaskGroup top;
  TXml_TaskGroup* g = &top;
  for (int i = 0; i < kMaxPacketNesting + 2; ++i) g = &g->TaskGroup.AddNew();
  const std::string b = SaveBytes(top);
  TMemoryStream s;
  s.WriteBuffer(b.data(), static_cast<std::int64_t>(b.size()));
  s.SetPosition(0);
  EXPECT_THROW(LoadPacket(s), Exception);
  test::TPlainStream plain(b);
  EXPECT_THROW(LoadPacket(plain), Exception);
}

}  // namespace
}  // namespace vt
