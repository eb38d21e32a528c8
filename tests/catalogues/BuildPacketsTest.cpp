// The build command packets: field table, defaults, wire bytes, dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "catalogues/BuildPackets.h"
#include "CatalogueTestSupport.h"
#include "common/Objects.h"

namespace vt {
namespace {

using namespace test;

void Fill(TBuildCommandPacket& p) {
  p.BuildID = GuidLiteral("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
  p.Flags = {1, 2, 3, 4, 5, 6};
  p.BuildClass = "class";
  p.Caption = "Solution 'x'";
  p.PrimaryFilename = "C:\\src\\x.sln";
  p.EnvBlock = std::string("A=1\0B=2\0", 8);
  p.WorkspaceAsStr = "ws";
  p.LocalAppDataDir = u"C:\\Users\\\u00e9";
  p.SelectedSources.Add("a.cpp");
  p.LoadedProjectPaths.Add("p1");
  p.Obsolete_ActiveProjects.Add("old");
  p.CompilerParamsAdd.Add("/O2");
  p.CompilerParamsSub.Add("/Od");
  p.LinkerParamsAdd.Add("/DEBUG");
  p.LinkerParamsSub.Add("");
  p.ShouldBuildProjectPaths.Add("s");
  p.AllowRemote.Add("cl.exe");
  p.AllowIntercept.Add("link.exe");
  p.CurDir = "C:\\src";
  p.Command = "build";
  p.ProfileFilename = "profile.xml";
  p.BuildConsoleCommandLine = "x.sln /build";
  p.MonitorFilename = "m.ib_mon";
  p.EVC4_CeConfig = "ce";
  p.OverrideMaxHelpersPerJob = 12;
  auto& proj = p.ActiveProjects.AddNew();
  proj.Name = "x";
  proj.Config = "Release|Win32";
  proj.MSBuildName = "x";
  p.ActiveProjects.AddNew().IdeName = "ide";
  p.BoundsCheckerInstrumentedProjects.Add("bc");
  p.IntelCompilerVersion = "19";
  p.MinWinVer_Major = 6;
  p.MinWinVer_Minor = 1;
  p.MaxWinVer_Major = 200;
  p.MaxWinVer_Minor = 0x7FFFFFFF;
  p.OverrideLogLevel = 3;
  p.ForcedEnv.Add("X=1");
  p.Obsolete_NintendoProjects.Add("n");
  p.LogWarnings = true;
  p.InitiatorName = "me";
  p.KeepNumOfJobs = true;
  p.PlugInVer = "1.0";
  p.KWJsonName = "kw.json";
  p.OutDir = "out";
  p.MSBuildArgs = "/m";
  p.UseMSBuild = true;
  p.InjectBase = 0x123456789ABCll;
  p.AdditionalArgs = "--x";
  p.VirtualizeDirectX = true;
  p.PluginUpDateVer = 5;
  p.DisablePdbForwarding = true;
  p.UseIDEMonitorPID = 1234;
  p.MonitoredDirs.Add("C:\\out");
  p.HideFile = "h";
  p.VSInstallDir = "vs";
  p.VtExitCodeShift = -3;
  p.MSBuildMaxInstances = 8;
  p.BiIssuer = "bi";
  p.TestFwId = "fw";
  p.ConsoleOutputCodePage = 65001;
  p.OverridePredictedExecutionMode = 2;
  p.OverrideUseMSBuild = 1;
}

class BuildPacketsTest : public test::CatalogueTest {};

TEST_F(BuildPacketsTest, ClassesAreRegisteredInDeclarationOrder) {
  const ClassRow classes[] = {
      {&TBuildCommandProjectPacket::Class, GuidLiteral("{95CC18AF-747B-4B8C-A35D-16047EF6C6EA}"), 5, &TPacket::Class},
      {&TBuildCommandPacket::Class, GuidLiteral("{26B22475-8588-4603-BBCE-844F30AEDD55}"), 59, &TPacket::Class},
      {&TMetaBuildAttachmentPacket::Class, GuidLiteral("{D6DC9F53-9D3A-4187-88B6-E9FC52D0E313}"), 2, &TPacket::Class},
      {&TMetaBuildPacket::Class, GuidLiteral("{683B05FD-48F0-4EDB-9A3B-8A823CC9AA68}"), 32, &TPacket::Class},
      {&TMetaBuildCachePacket::Class, GuidLiteral("{B0FB2435-A345-4576-A255-EF6AAE191786}"), 1, &TPacket::Class},
      {&TExecuteSearchReplacePacket::Class, GuidLiteral("{C189B6E8-F409-4E32-A8FD-C62CA39B6F02}"), 4, &TPacket::Class},
      {&TExecuteSearchReplaceFilePacket::Class, GuidLiteral("{D49C7AC2-0A02-41E3-A03C-26F58ECFA45C}"), 2, &TPacket::Class},
      {&TExecuteIncrementalFilePacket::Class, GuidLiteral("{0AA3D3ED-304C-4426-B5BB-5C2E88F6E406}"), 6, &TPacket::Class},
      {&TExecuteDirContentPacket::Class, GuidLiteral("{C50C6014-59F4-4FCF-BD83-8582D8277231}"), 2, &TPacket::Class},
      {&TExecuteCommonDirPacket::Class, GuidLiteral("{4B8888E4-6EAB-49FC-8783-F75D5AB2B57E}"), 5, &TPacket::Class},
      {&TExecuteOutputFilePacket::Class, GuidLiteral("{3B342DB4-B61B-4063-B55B-EE93FD78CB9D}"), 5, &TPacket::Class},
      {&TExecuteResultPacket::Class, GuidLiteral("{5EE08CD8-5571-42D0-B803-FFEC4BEAB38C}"), 10, &TPacket::Class},
      {&TParentProcessIDPacket::Class, GuidLiteral("{0438F81F-2E25-4A05-AEFF-F29A67723285}"), 2, &TPacket::Class},
      {&TBuildStatusPacket::Class, GuidLiteral("{14F0DF70-FB6B-4D71-90B9-5048EB7CCAC2}"), 22, &TCommPacket::Class},
      {&TAttachToBuildPacket::Class, GuidLiteral("{6E76799D-6424-41CE-9860-16871B0D5DE9}"), 1, &TCommPacket::Class},
      {&TBuildAvoidanceStatisticsPacket::Class, GuidLiteral("{50FD63A3-CCCD-4FD8-AD08-01223B50FEE3}"), 13, &TCommPacket::Class},
  };
  const std::int32_t first = GetPacketClassNumber(TBuildCommandProjectPacket::Class);
  EXPECT_EQ(ExpectRegisteredInOrder(classes, first), 16);
  for (const ClassRow& c : classes) {
    SCOPED_TRACE(c.cls->Name());
    // No item names or captions: the captions fall back to the names.
    for (int f = 0; f < c.fields; ++f) {
      EXPECT_EQ(c.cls->FieldItemName(f), "");
      EXPECT_EQ(c.cls->FieldCaption(f), c.cls->FieldName(f));
    }
  }

  EXPECT_EQ(TBuildCommandPacket::Class.FieldIndexByName("OverrideUseMSBuild"), 58);
  EXPECT_EQ(TBuildCommandPacket::Class.FieldType(1), pftOther);
  EXPECT_EQ(TBuildCommandPacket::Class.FieldType(25), pftObject);
}

TEST_F(BuildPacketsTest, DefaultsDumpAndClear) {
  TBuildCommandPacket p;
  TStringListEx lines;
  p.DumpToStrings(lines);
  std::vector<std::string> d;
  for (int i = 0; i < lines.Count(); ++i) d.push_back(lines[i]);
  ASSERT_GE(d.size(), 60u);
  EXPECT_EQ(d[0], "(TBuildCommandPacket)");
  EXPECT_EQ(d[1], "  BuildID = {00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(d[2], "  Flags = (?)");
  EXPECT_EQ(d[3], "  BuildClass = ''");
  EXPECT_EQ(d[8], "  LocalAppDataDir = ''");
  EXPECT_EQ(d[9], "  SelectedSources = ");
  const auto has = [&](const std::string& line) { return std::find(d.begin(), d.end(), line) != d.end(); };
  EXPECT_TRUE(has("  OverrideLogLevel = -1"));
  EXPECT_TRUE(has("  PluginUpDateVer = -1"));
  EXPECT_TRUE(has("  OverridePredictedExecutionMode = -1"));
  EXPECT_TRUE(has("  OverrideUseMSBuild = 0"));
  EXPECT_TRUE(has("  ActiveProjects = "));
  EXPECT_TRUE(has("    (empty list)"));
  EXPECT_TRUE(has("  LogWarnings = False"));
  EXPECT_TRUE(has("  InjectBase = 0"));
  EXPECT_EQ(d.back(), "  OverrideUseMSBuild = 0");

  Fill(p);
  EXPECT_EQ(p.GetFieldAsInteger(43), 0x56789ABC);
  EXPECT_EQ(p.GetFieldAsString(56), "65001");
  EXPECT_THROW(p.GetFieldAsString(1), Exception);
  p.Clear();
  EXPECT_TRUE(p.Equals(TBuildCommandPacket()));
  EXPECT_EQ(p.OverrideLogLevel, -1);
  EXPECT_EQ(p.PluginUpDateVer, -1);
  EXPECT_EQ(p.OverridePredictedExecutionMode, -1);
  EXPECT_EQ(p.ActiveProjects.Count(), 0);
}

TEST_F(BuildPacketsTest, FilledPacketRoundTripsAndCopies) {
  TBuildCommandPacket p;
  Fill(p);
  const std::string b = SaveBytes(p);
  TBuildCommandPacket q;
  LoadInto(q, b);
  EXPECT_TRUE(q.Equals(p));
  EXPECT_EQ(q.ActiveProjects.Items(0).Config, "Release|Win32");
  EXPECT_EQ(q.LocalAppDataDir, p.LocalAppDataDir);
  EXPECT_EQ(SaveBytes(q), b);

  // A payload above 64 KB, read field by field from a plain stream.
  TBuildCommandPacket big;
  big.Assign(p);
  big.EnvBlock = std::string(70000, 'e');
  big.ActiveProjects.Items(1).IdeName = std::string(1000, 'i');
  const std::string bb = SaveBytes(big);
  TBuildCommandPacket loaded;
  LoadInto(loaded, bb);
  EXPECT_TRUE(loaded.Equals(big));

  ExpectRoundTrips(p);
  ExpectRoundTrips(big);

  TBuildCommandPacket copy;
  copy.AssignFrom(p);
  EXPECT_TRUE(copy.Equals(p));
  EXPECT_NE(&copy.ActiveProjects.Items(0), &p.ActiveProjects.Items(0));
  p.SelectedSources.Put(0, "b.cpp");
  p.ActiveProjects.Items(1).IdeName = "other";
  EXPECT_EQ(copy.SelectedSources[0], "a.cpp");
  EXPECT_EQ(copy.ActiveProjects.Items(1).IdeName, "ide");
}

// Offsets in a default packet: header 32, GUID 16, Flags 7, five strings,
// the wide string, ten string lists, six strings, Int32, the list count,
// a string list, a string.
constexpr std::size_t kMinWinVerMajorAt = 32 + 16 + 7 + 5 + 1 + 10 + 6 + 4 + 4 + 1 + 1;
constexpr std::size_t kActiveProjectsAt = 32 + 16 + 7 + 5 + 1 + 10 + 6 + 4;
constexpr std::size_t kFlagsAt = 32 + 16;

TEST_F(BuildPacketsTest, CompactWinVerBytes) {
  TBuildCommandPacket p;
  const std::string zero = SaveBytes(p);
  EXPECT_EQ(zero[kMinWinVerMajorAt], '\0');
  p.MinWinVer_Major = 127;
  std::string b = SaveBytes(p);
  ASSERT_EQ(b.size(), zero.size());
  EXPECT_EQ(static_cast<unsigned char>(b[kMinWinVerMajorAt]), 0xFE);
  p.MinWinVer_Major = 128;
  b = SaveBytes(p);
  ASSERT_EQ(b.size(), zero.size() + 3);
  EXPECT_EQ(b.substr(kMinWinVerMajorAt, 4), std::string("\x01\x01\x00\x00", 4));
  TBuildCommandPacket q;
  LoadInto(q, b);
  EXPECT_EQ(q.MinWinVer_Major, 128);

  p.MaxWinVer_Minor = -1;
  TMemoryStream s;
  EXPECT_THROW(SavePacket(p, s), Exception);
  EXPECT_EQ(s.Size(), 0);
}

TEST_F(BuildPacketsTest, FlagsStoredWithAnotherWidth) {
  TBuildCommandPacket p;
  Fill(p);
  const std::string b = SaveBytes(p);
  ASSERT_EQ(b.substr(kFlagsAt, 7), std::string("\x06\x01\x02\x03\x04\x05\x06", 7));

  std::string four = b;
  four.replace(kFlagsAt, 7, std::string("\x04\x01\x02\x03\x04", 5));
  PutU32(four, 4, static_cast<std::uint32_t>(four.size()));
  TBuildCommandPacket q;
  q.Flags = {9, 9, 9, 9, 9, 9};
  LoadInto(q, four);
  EXPECT_EQ(q.Flags, (TBuildCommandFlags{1, 2, 3, 4, 0, 0}));
  EXPECT_EQ(q.TestFwId, "fw");

  std::string eight = b;
  eight.replace(kFlagsAt, 7, std::string("\x08\x01\x02\x03\x04\x05\x06\x07\x08", 9));
  PutU32(eight, 4, static_cast<std::uint32_t>(eight.size()));
  TBuildCommandPacket r;
  LoadInto(r, eight);
  EXPECT_EQ(r.Flags, (TBuildCommandFlags{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(r.Equals(p));
}

TEST_F(BuildPacketsTest, OlderWriterWithTwentyFiveFields) {
  // Fields 0..24 filled, the rest at their defaults; cut the payload before
  // field 25.
  TBuildCommandPacket full;
  Fill(full);
  TBuildCommandPacket older;
  older.Assign(full);
  TBuildCommandPacket defaults;
  for (int i = 25; i < 59; ++i) {
    if (older.FieldType(i) == pftObject) {
      if (i == 25) {
        older.ActiveProjects.Clear();
      } else {
        static_cast<TStrings*>(older.GetFieldAsObject(i))->Clear();
      }
    }
  }
  older.IntelCompilerVersion.clear();
  older.MinWinVer_Major = older.MinWinVer_Minor = older.MaxWinVer_Major = older.MaxWinVer_Minor = 0;
  std::string b = SaveBytes(older);
  const std::size_t tail = SaveBytes(defaults).size() - kActiveProjectsAt;
  // Clear the remaining scalar and string fields the same way.
  for (int i = 32; i < 59; ++i) {
    switch (older.FieldType(i)) {
      case pftString: older.SetFieldAsString(i, ""); break;
      case pftInteger:
      case pftBoolean: older.SetFieldAsInteger(i, defaults.GetFieldAsInteger(i)); break;
      default: break;
    }
  }
  b = SaveBytes(older);
  b.resize(b.size() - tail);
  PutU32(b, 4, static_cast<std::uint32_t>(b.size()));
  PutU32(b, 8, 25);

  TBuildCommandPacket q;
  LoadInto(q, b);
  EXPECT_EQ(q.Caption, full.Caption);
  EXPECT_EQ(q.OverrideMaxHelpersPerJob, 12);
  EXPECT_EQ(q.EVC4_CeConfig, "ce");
  EXPECT_EQ(q.ActiveProjects.Count(), 0);
  EXPECT_EQ(q.OverrideLogLevel, -1);
  EXPECT_EQ(q.PluginUpDateVer, -1);
  EXPECT_EQ(q.TestFwId, "");
  EXPECT_TRUE(q.Equals(older));
}

TEST_F(BuildPacketsTest, ProjectPacketHeaderAndContextReference) {
  TBuildCommandProjectPacket p;
  p.Name = "A";
  const std::string expected(
      "\x02\x00\x00\x00\x26\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00"
      "\xAF\x18\xCC\x95\x7B\x74\x8C\x4B\xA3\x5D\x16\x04\x7E\xF6\xC6\xEA"
      "\x02"
      "A\x00\x00\x00\x00",
      38);
  EXPECT_EQ(SaveBytes(p), expected);

  TPacketStreamingContext ctx;
  TMemoryStream s;
  SavePacket(p, s, &ctx);
  SavePacket(p, s, &ctx);
  const std::string b = test::Bytes(s);
  EXPECT_EQ(b.substr(0, 20), std::string("\x00\x00\x05\x00", 4) + expected.substr(16, 16));
  EXPECT_EQ(b.substr(20, 6), expected.substr(32));
  EXPECT_EQ(b.substr(26), "\x02" + expected.substr(32));
}

TEST_F(BuildPacketsTest, FilledPacketDump) {
  TBuildCommandPacket p;
  Fill(p);
  p.ConsoleOutputCodePage = 0xFFFFFFFF;  // unsigned
  TStringListEx lines;
  p.DumpToStrings(lines);
  std::vector<std::string> d;
  for (int i = 0; i < lines.Count(); ++i) d.push_back(lines[i]);
  const std::vector<std::string> expected = {
      "(TBuildCommandPacket)",
      "  BuildID = {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}",
      "  Flags = (?)",
      "  BuildClass = 'class'",
      "  Caption = 'Solution 'x''",
      "  PrimaryFilename = 'C:\\src\\x.sln'",
      "  EnvBlock = 'A=1 B=2 '",
      "  WorkspaceAsStr = 'ws'",
      "  LocalAppDataDir = 'C:\\Users\\\xC3\xA9'",
      "  SelectedSources = ",
      "    a.cpp",
      "  LoadedProjectPaths = ",
      "    p1",
      "  Obsolete_ActiveProjects = ",
      "    old",
      "  CompilerParamsAdd = ",
      "    /O2",
      "  CompilerParamsSub = ",
      "    /Od",
      "  LinkerParamsAdd = ",
      "    /DEBUG",
      "  LinkerParamsSub = ",
      "    ",
      "  ShouldBuildProjectPaths = ",
      "    s",
      "  AllowRemote = ",
      "    cl.exe",
      "  AllowIntercept = ",
      "    link.exe",
      "  CurDir = 'C:\\src'",
      "  Command = 'build'",
      "  ProfileFilename = 'profile.xml'",
      "  BuildConsoleCommandLine = 'x.sln /build'",
      "  MonitorFilename = 'm.ib_mon'",
      "  EVC4_CeConfig = 'ce'",
      "  OverrideMaxHelpersPerJob = 12",
      "  ActiveProjects = ",
      "    [1/2]",
      "    (TBuildCommandProjectPacket)",
      "      Name = 'x'",
      "      Config = 'Release|Win32'",
      "      RelativePath_Optional = ''",
      "      MSBuildName = 'x'",
      "      IdeName = ''",
      "    ",
      "    [2/2]",
      "    (TBuildCommandProjectPacket)",
      "      Name = ''",
      "      Config = ''",
      "      RelativePath_Optional = ''",
      "      MSBuildName = ''",
      "      IdeName = 'ide'",
      "    ",
      "  BoundsCheckerInstrumentedProjects = ",
      "    bc",
      "  IntelCompilerVersion = '19'",
      "  MinWinVer_Major = 6",
      "  MinWinVer_Minor = 1",
      "  MaxWinVer_Major = 200",
      "  MaxWinVer_Minor = 2147483647",
      "  OverrideLogLevel = 3",
      "  ForcedEnv = ",
      "    X=1",
      "  Obsolete_NintendoProjects = ",
      "    n",
      "  LogWarnings = True",
      "  InitiatorName = 'me'",
      "  KeepNumOfJobs = True",
      "  PlugInVer = '1.0'",
      "  KWJsonName = 'kw.json'",
      "  OutDir = 'out'",
      "  MSBuildArgs = '/m'",
      "  UseMSBuild = True",
      "  InjectBase = 20015998343868",
      "  AdditionalArgs = '--x'",
      "  VirtualizeDirectX = True",
      "  PluginUpDateVer = 5",
      "  DisablePdbForwarding = True",
      "  UseIDEMonitorPID = 1234",
      "  MonitoredDirs = ",
      "    C:\\out",
      "  HideFile = 'h'",
      "  VSInstallDir = 'vs'",
      "  VtExitCodeShift = -3",
      "  MSBuildMaxInstances = 8",
      "  BiIssuer = 'bi'",
      "  TestFwId = 'fw'",
      "  ConsoleOutputCodePage = 4294967295",
      "  OverridePredictedExecutionMode = 2",
      "  OverrideUseMSBuild = 1",
  };
  EXPECT_EQ(d, expected);
}

}  // namespace
}  // namespace vt
