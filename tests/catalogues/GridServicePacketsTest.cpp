// Grid-service and rar-support packets: registration, round trips of every
// class, wire sizes and the generic operations on their particular fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/BuildPackets.h"
#include "catalogues/CommRarSupportPackets.h"
#include "catalogues/GridServicePackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/PdbForwarderPackets.h"
#include "catalogues/ReportAgentPacket.h"
#include "catalogues/VEPackets.h"
#include "common/Objects.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

using namespace test;

class GridServicePacketsTest : public test::CatalogueTest {};

bool DumpHas(const TPacket& p, const std::string& line) {
  const auto d = Dump(p);
  return std::find(d.begin(), d.end(), line) != d.end();
}

void WriteText(TMemoryStream& s, const std::string& text) {
  s.Clear();
  s.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

// A stand-alone packet of P's class that stores only its first Count fields.
std::string Truncated(const TPacket& p, std::int32_t count, std::size_t payload_bytes) {
  std::string b = test::SaveBytes(p).substr(0, kPacketHeaderSize + payload_bytes);
  const std::uint32_t total = static_cast<std::uint32_t>(b.size());
  const std::uint32_t fields = static_cast<std::uint32_t>(count);
  std::memcpy(b.data() + 4, &total, 4);
  std::memcpy(b.data() + 8, &fields, 4);
  return b;
}

template <typename T>
void LoadBytes(T& p, const std::string& bytes) {
  TMemoryStream s;
  WriteText(s, bytes);
  s.SetPosition(0);
  LoadPacketInto(p, s);
  EXPECT_EQ(s.Position(), s.Size());
}

// The unit's classes in registration order.
const ClassRow kGridClasses[] = {
    {&TEnableAgentPacket::Class, GuidLiteral("{31007206-8C9C-43CD-8919-51E033623A0A}"), 1, &TCommPacket::Class},
    {&TChangeVersionUpdateStatusPacket::Class, GuidLiteral("{1D5FDEF1-4BF3-4DBB-B590-83E33ABCBC8F}"), 1, &TCommPacket::Class},
    {&TSetForcePortPacket::Class, GuidLiteral("{1AD1E3C9-D0D1-4027-BD9E-EB00D21620F4}"), 1, &TCommPacket::Class},
    {&TRequestVersionUpdatePacket::Class, GuidLiteral("{A0846E4E-B6D2-4E8B-8747-A0E6D9A3EC6F}"), 1, &TCommPacket::Class},
    {&TRegisterMonitorPacket::Class, GuidLiteral("{5E04D53C-0103-4B24-8B9D-79AD15C62AF5}"), 1, &TCommPacket::Class},
    {&TRequestBuildStatusPacket::Class, GuidLiteral("{6D40FB32-DA36-43CE-996B-8E54CCAEE6BF}"), 1, &TCommPacket::Class},
    {&TRequestBuildStatusReplayPacket::Class, GuidLiteral("{CF73BBDF-39C2-44EB-832A-BAA2EC408988}"), 1, &TPacket::Class},
    {&TRegisterJobStatusMonitorPacket::Class, GuidLiteral("{DB985284-A569-4ED0-9F73-FF76DD7C4E92}"), 1, &TCommPacket::Class},
    {&TOpenFirewallPacket::Class, GuidLiteral("{87788B29-7871-4DAF-B155-C9C8E8BF9465}"), 1, &TCommPacket::Class},
    {&TOpenFirewallReplyPacket::Class, GuidLiteral("{779EAC4D-D7D1-4736-A790-C33BE5F0CB96}"), 1, &TPacket::Class},
    {&TShowMessageBoxPacket::Class, GuidLiteral("{FE80506A-297D-42A4-A643-2EE5FDB5C120}"), 1, &TCommPacket::Class},
    {&TReportAgent_LegacyPacket::Class, GuidLiteral("{531B30F2-EA9D-415B-B1FF-B7C4EB92DE82}"), 6, &TCommPacket::Class},
    {&TReportAgentPacket::Class, GuidLiteral("{5AE6AA2E-E790-4815-BF77-D4B53DDCF00E}"), 8, &TCommPacket::Class},
    {&TRunVersionUpdatePacket::Class, GuidLiteral("{26DDE067-8E75-4050-BD56-73442254F228}"), 6, &TCommPacket::Class},
    {&TStopJobPacket::Class, GuidLiteral("{7EE3D029-AFA5-4DF1-AC03-5512E6918071}"), 1, &TCommPacket::Class},
    {&TBuildCancelPacket::Class, GuidLiteral("{308330BC-1BF7-487D-880F-C06AA6666412}"), 2, &TCommPacket::Class},
    {&TBuildCancelReplyPacket::Class, GuidLiteral("{99014C27-09EF-44C5-9C51-1BEDE659CCC5}"), 1, &TPacket::Class},
    {&TReadHelperLogPacket::Class, GuidLiteral("{A8B76B84-9CF6-4224-9972-D071266A671A}"), 1, &TCommPacket::Class},
    {&TTestNetworkPacket::Class, GuidLiteral("{3FC288CA-88AD-4A31-ACBA-812531526B15}"), 5, &TCommPacket::Class},
    {&TReadHelperLogReplyPacket::Class, GuidLiteral("{587A70DB-C13A-4ACA-8988-795BCD01E916}"), 2, &TPacket::Class},
    {&TReadExceptionLogsPacket::Class, GuidLiteral("{F19E4C8C-44C6-486D-98E9-700A44CE0210}"), 1, &TCommPacket::Class},
    {&TExceptionLogPacket::Class, GuidLiteral("{ED5DAA84-E072-46AD-ACAE-6DAAE4502755}"), 2, &TPacket::Class},
    {&TReadExceptionLogsReplyPacket::Class, GuidLiteral("{34054AE2-2EE8-4D91-BDB9-BB8B53C46F1D}"), 1, &TPacket::Class},
    {&TLookupAgentIPPacket::Class, GuidLiteral("{D5045A43-7248-434B-9D90-957A1CF41B09}"), 1, &TCommPacket::Class},
    {&TLookupAgentIPReplyPacket::Class, GuidLiteral("{3193455B-BD51-42B1-A55A-8AC10EF7FE58}"), 2, &TPacket::Class},
    {&TClearFileCachePacket::Class, GuidLiteral("{03C56293-D099-4D90-AA93-26C64132F1D7}"), 1, &TCommPacket::Class},
    {&TStartJobRequestPacket::Class, GuidLiteral("{46189D21-0D20-40FB-81BA-856380795754}"), 4, &TCommPacket::Class},
    {&TStartJobRequestReplyPacket::Class, GuidLiteral("{6CB85CB1-CD38-4700-B0F1-6D4B660D9150}"), 2, &TPacket::Class},
    {&TQueryActiveJobsPacket::Class, GuidLiteral("{23EDB916-143E-42EA-B756-531DD3753483}"), 1, &TCommPacket::Class},
    {&TActiveJobBasicInfoPacket::Class, GuidLiteral("{71F1BC4D-0811-412B-9914-F30419DEF37C}"), 3, &TCommPacket::Class},
    {&TQueryActiveJobsReplyPacket::Class, GuidLiteral("{70B1115D-5080-439E-B57B-A38478060B26}"), 2, &TPacket::Class},
    {&TQueryServiceStatusPacket::Class, GuidLiteral("{068A8C56-C273-415F-A940-3817E4A161E1}"), 1, &TCommPacket::Class},
    {&TQueryServiceStatusReplyPacket::Class, GuidLiteral("{6E88EEFD-55DB-4784-8FE1-B04F94509440}"), 10, &TPacket::Class},
    {&TAddJobToHistoryPacket::Class, GuidLiteral("{59C4BCDA-6035-407C-A7C1-4315C674AC64}"), 3, &TCommPacket::Class},
    {&TJobStartedPacket::Class, GuidLiteral("{D4DE5C85-D0D8-4BF4-A106-FF41623D4AF3}"), 1, &TCommPacket::Class},
    {&TJobStartedReplyPacket::Class, GuidLiteral("{BCECE4E1-E0D5-4C50-8981-0897C5DFD2AF}"), 1, &TPacket::Class},
    {&TJobEndedPacket::Class, GuidLiteral("{BA075496-78C6-4577-B7C8-53C56962CEFE}"), 2, &TCommPacket::Class},
    {&TGetCacheServicePacket::Class, GuidLiteral("{63692AE2-8A0C-4D15-AD08-2483EC9A02D2}"), 1, &TCommPacket::Class},
    {&TGetCacheServiceReplyPacket::Class, GuidLiteral("{D83E9778-ACAF-486A-888F-FDEC7A3D6720}"), 2, &TCommPacket::Class},
    {&TEmployHelpersPacket::Class, GuidLiteral("{E3A2EEA8-4CDE-4361-90AF-7778984B8C87}"), 5, &TCommPacket::Class},
    {&TEmployHelpersExPacket::Class, GuidLiteral("{4873887C-4B0C-447F-8A82-DD2B9E0161BC}"), 1, &TCommPacket::Class},
    {&TReportHelperPacket::Class, GuidLiteral("{8EDC4A50-8667-4D35-8F3F-1AA78BC8D53D}"), 6, &TCommPacket::Class},
    {&TDisableHelperPacket::Class, GuidLiteral("{37334F39-4362-4EBB-B213-D21CC25F247C}"), 1, &TCommPacket::Class},
    {&TQueryJobHistoryPacket::Class, GuidLiteral("{D90367AD-950A-4D2B-BBA6-3E187781E28E}"), 5, &TCommPacket::Class},
    {&TJobHistoryEntryPacket::Class, GuidLiteral("{D021C746-D6F7-4F39-BFA3-E91DBDB64277}"), 4, &TPacket::Class},
    {&TQueryJobHistoryReplyPacket::Class, GuidLiteral("{0D520B29-F0E7-4C15-9159-841F707E30EC}"), 7, &TCommPacket::Class},
    {&TClearJobHistoryPacket::Class, GuidLiteral("{FCD23238-5D7D-4777-A34F-D9E2A0FF05C7}"), 1, &TCommPacket::Class},
    {&TSetJobMaxLocalCoresPacket::Class, GuidLiteral("{1EEF6205-6E5A-41AF-9EA5-7EAB5D92F2D6}"), 1, &TCommPacket::Class},
    {&TBuildFinishedPacket::Class, GuidLiteral("{6EDC3879-8ED5-4BE6-B8EA-A8202B369CE6}"), 15, &TCommPacket::Class},
    {&TCoordBuildActivityInfo::Class, GuidLiteral("{AE31590E-9117-4456-A611-01F516F36784}"), 45, &TCommPacket::Class},
    {&TSetAgentRegistryPacket::Class, GuidLiteral("{55794F17-54C7-4E91-8092-A40350A924EA}"), 3, &TCommPacket::Class},
    {&TTrayCoordMonitorPacket::Class, GuidLiteral("{94AAF72B-1C77-474A-A352-80E34250CD6C}"), 1, &TCommPacket::Class},
    {&TTrayCoordMonitorReplyPacket::Class, GuidLiteral("{FC986FE9-5045-476C-A4A1-A46DDC3CEBAB}"), 1, &TCommPacket::Class},
    {&TCreateUserPacket::Class, GuidLiteral("{7845B264-B895-4030-88FE-50F5D3294656}"), 2, &TCommPacket::Class},
};

TEST_F(GridServicePacketsTest, ClassesRegisteredInOrder) {
  ASSERT_EQ(std::size(kGridClasses), 54u);
  const std::int32_t first = GetPacketClassNumber(TEnableAgentPacket::Class);
  EXPECT_GT(first, GetPacketClassNumber(TRefreshAgentPacket::Class));
  EXPECT_EQ(GetPacketClassNumber(TCreateUserPacket::Class), first + 53);
  const std::int32_t n = first + ExpectRegisteredInOrder(kGridClasses, first);
  EXPECT_EQ(GetPacketClassNumber(TCommRarSupportPacket::Class), n);
  EXPECT_EQ(FindPacketClass(GuidLiteral("{0BADC9AA-A691-46EA-97E5-158AA50F956A}")), &TCommRarSupportPacket::Class);
  EXPECT_EQ(TCommRarSupportPacket::Class.Parent(), &TCommPacket::Class);

  // A second initialization of either unit registers nothing and raises nothing.
  for (const UnitEntry* unit : {&kGridServicePacketsUnit, &kCommRarSupportPacketsUnit}) {
    EXPECT_NO_THROW(unit->initialize());
    unit->finalize();
  }
  EXPECT_EQ(GetPacketClassNumber(TCreateUserPacket::Class), n - 1);
  EXPECT_EQ(GetPacketClassNumber(TCommRarSupportPacket::Class), n);
}

// ---- Round trips --------------------------------------------------------------

void Fill(TBuildStatusPacket& s, int seed) {
  s.BuildID = GuidLiteral("{14F0DF70-FB6B-4D71-90B9-5048EB7CCAC2}");
  s.BuildID.D2 = static_cast<std::uint16_t>(seed);
  s.Caption = "build " + std::to_string(seed);
  s.HelperIDs.Add("helper");
  s.Flags = {1, 0, 0, 0, 0, 2};
  s.StartTime = 45000.25;
}

void Fill(TStaticPacket& s, int seed) {
  s.Version = 900 + seed;
  s.Host = "host" + std::to_string(seed);
  s.ID = "agent-" + std::to_string(seed);
  s.Port = 31104;
  s.VersionInfo[0] = 148;
  s.ConnectionInfo.Name = "eth0";
  s.Benchmark.Rating = seed;
  s.MachineID = "m";
}

TEST_F(GridServicePacketsTest, FilledPacketsOfEveryClassRoundTrip) {
  const TGUID g = GuidLiteral("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  const std::string blob("\x00\x01\xFFpayload\x00", 11);

  for (const ClassRow& row : kGridClasses) {
    // Every class at its defaults travels too.
    test::ExpectRoundTrips(*row.cls->Create());
  }

  TEnableAgentPacket enable;
  enable.Enable = true;
  test::ExpectRoundTrips(enable);
  TShowMessageBoxPacket box;
  box.MessageText = "Hello\r\nworld";
  test::ExpectRoundTrips(box);

  TRequestBuildStatusReplayPacket replay;
  for (int i = 0; i < 3; ++i) Fill(replay.Builds.AddNew(), i);
  test::ExpectRoundTrips(replay);

  TReportAgentPacket report;
  Fill(report.Static, 1);
  report.Dynamic.UpTime = 4;
  report.Dynamic.NeedVersionUpdate();
  report.Subscribed = false;
  report.StubFor9_4_3_Obsolete = true;
  report.BuildGroup = "group";
  test::ExpectRoundTrips(report, false);
  TReportAgent_LegacyPacket legacy;
  Fill(legacy.Static, 2);
  legacy.Dynamic.HelpersNeeded = 5;
  legacy.AllowDisable = true;
  test::ExpectRoundTrips(legacy);
  TRunVersionUpdatePacket update;
  update.Version = 950;
  update.VersionText = "9.5";
  update.QuickRollback = true;
  WriteText(update.InstallerExecutable, "MZ" + blob);
  test::ExpectRoundTrips(update);

  TBuildCancelPacket cancel;
  cancel.JobID = g;
  cancel.StopOnlyPredicted = true;
  test::ExpectRoundTrips(cancel);

  TTestNetworkPacket net;
  net.Kind = 3;
  net.BufferSize = 65536;
  net.TimeStamp = -5;
  net.ResultTime = 1ll << 40;
  net.NeedConnectionInfo().Name = "eth0";
  net.GetConnectionInfo().IP = 0x0100007F;
  test::ExpectRoundTrips(net, false);

  TReadHelperLogReplyPacket log;
  log.Filename = "helper.log";
  WriteText(log.Data, blob);
  test::ExpectRoundTrips(log);

  TReadExceptionLogsReplyPacket logs;
  for (int i = 0; i < 2; ++i) {
    TExceptionLogPacket& e = logs.Files.AddNew();
    e.Filename = "exc" + std::to_string(i) + ".txt";
    WriteText(e.Data, blob.substr(static_cast<std::size_t>(i)));
  }
  test::ExpectRoundTrips(logs);

  TLookupAgentIPReplyPacket ip;
  ip.AgentIP = "10.0.0.7";
  ip.AgentPort = -1;
  test::ExpectRoundTrips(ip);

  TStartJobRequestPacket start;
  start.ComponentVersion = 7;
  start.ComponentVersionText = "7.0";
  start.ComponentDisplayName = "IDE";
  start.PluginVersion = -2;
  test::ExpectRoundTrips(start);

  TStartJobRequestReplyPacket started;
  started.Result = 0xFE;
  started.JobID = g;
  test::ExpectRoundTrips(started);

  TQueryActiveJobsReplyPacket active;
  active.Version = 2;
  for (int i = 0; i < 2; ++i) {
    TActiveJobBasicInfoPacket& j = active.Jobs.AddNew();
    j.ID = g;
    j.ID.D1 = static_cast<std::uint32_t>(i);
    j.Title = "job";
    j.StartTime = 45000.5 + i;
  }
  test::ExpectRoundTrips(active);

  TJobStartedReplyPacket service;
  service.ServiceStatus.UsingBackup = true;
  service.ServiceStatus.CpuCount = 32;
  service.ServiceStatus.AgentID = "agent";
  Fill(service.ServiceStatus.StaticPacket, 3);
  service.ServiceStatus.FirewallMisconfigured = true;
  test::ExpectRoundTrips(service);

  TJobEndedPacket ended;
  Fill(ended.Status, 9);
  ended.HistoryPacket.JobID = g;
  ended.HistoryPacket.JobDateTime = 45001.75;
  WriteText(ended.HistoryPacket.JobMetaData, blob);
  test::ExpectRoundTrips(ended);
  TJobStartedPacket job_started;
  Fill(job_started.Status, 1);
  test::ExpectRoundTrips(job_started);

  TGetCacheServiceReplyPacket cache;
  cache.Address = "cache:443";
  cache.CacheProcessHandle = 0xFFFFFFF0u;
  test::ExpectRoundTrips(cache);

  TEmployHelpersExPacket employ;
  for (int i = 0; i < 2; ++i) {
    TEmployHelpersPacket& e = employ.Packets.AddNew();
    e.BuildID = g;
    e.BuildID.D1 = static_cast<std::uint32_t>(i);
    e.HelperIDs.Add("helper-a");
    e.HelperIDs.Add("helper-b");
    Fill(e.StaticInfos.AddNew(), i);
    Fill(e.StaticInfos.AddNew(), i + 1);
    e.UseRoutingIPs = i == 1;
    e.SslCnPattern = "*.grid";
  }
  test::ExpectRoundTrips(employ.Packets.Items(0));
  test::ExpectRoundTrips(employ);

  TReportHelperPacket helper;
  helper.CPUIndex = 3;
  helper.BuilderClientHandle = -(1ll << 33);
  helper.BuilderMachineID = 11;
  helper.Port = 31104;
  helper.Protocol = "tcp";
  helper.RunCommandTime = 0x80000001u;
  test::ExpectRoundTrips(helper);

  TQueryJobHistoryPacket query;
  query.MinDateTime = 1.5;
  query.MaxDateTime = 45000;
  query.MinSerialNumber = 1;
  query.MaxSerialNumber = 99;
  query.MetaDataSizeLimit = 4096;
  test::ExpectRoundTrips(query);

  TQueryJobHistoryReplyPacket history;
  history.TotalJobCount = 10;
  history.ReturnedJobCount_Obsolete = 2;
  WriteText(history.JobMetaData_Obsolete, blob);
  for (int i = 0; i < 2; ++i) {
    TJobHistoryEntryPacket& e = history.JobList.AddNew();
    e.JobID = g;
    e.JobDateTime = 45000 + i;
    e.SerialNumber = i + 1;
    WriteText(e.MetaData, blob);
  }
  history.SourceID = g;
  history.SourceComputerName = "host";
  history.Incomplete = true;
  test::ExpectRoundTrips(history);

  TBuildFinishedPacket finished;
  finished.BuildID = "b1";
  finished.Command = "build";
  finished.StartTime = 45000.5;
  finished.EndTime = 45000.75;
  finished.AvgUsedCores = 3.25;
  finished.SavedTime = -1;
  finished.Predicted = true;
  test::ExpectRoundTrips(finished);

  TCoordBuildActivityInfo activity;
  activity.BuildId = 5;
  activity.BuildGuid = GuidToText(g);
  activity.StartTS = 1ll << 45;
  activity.EndTS = -3;
  activity.AvgUsedCloudCores = 0.5;
  activity.AvoidLocal = true;
  activity.StandaloneInd = true;
  activity.AvgActualNeededHelpers = 7.125;
  activity.LocalStartTime = "2023-03-15 12:00:00";
  test::ExpectRoundTrips(activity);

  TSetAgentRegistryPacket reg;
  reg.Key = "Port";
  reg.Value = "31104";
  reg.Section = "Network";
  test::ExpectRoundTrips(reg);

  TCreateUserPacket user;
  user.UserName = "builder";
  user.Password = "s\"cret";
  test::ExpectRoundTrips(user);

  TCommRarSupportPacket rar;
  test::ExpectRoundTrips(rar);
  WriteText(rar.Data, blob);
  test::ExpectRoundTrips(rar);
}

// ---- Wire sizes ---------------------------------------------------------------

TEST_F(GridServicePacketsTest, PayloadsOfEmptyPackets) {
  EXPECT_EQ(Hex(Payload(TRequestBuildStatusReplayPacket())), "00 00 00 00");
  EXPECT_EQ(Hex(Payload(TReadExceptionLogsReplyPacket())), "00 00 00 00");
  EXPECT_EQ(Payload(TLookupAgentIPPacket()), std::string(1, '\0'));
  EXPECT_EQ(Payload(TLookupAgentIPReplyPacket()), std::string(5, '\0'));
  EXPECT_EQ(Payload(TSetAgentRegistryPacket()), std::string(3, '\0'));
  EXPECT_EQ(Payload(TQueryJobHistoryPacket()).size(), 28u);
  EXPECT_EQ(Payload(TBuildFinishedPacket()).size(), 60u);
  EXPECT_EQ(Payload(TCoordBuildActivityInfo()).size(), 183u);
  EXPECT_EQ(Payload(TQueryActiveJobsReplyPacket()), std::string(8, '\0'));
  // The enumeration, the two 64-bit values and the absent adapter.
  EXPECT_EQ(Hex(Payload(TTestNetworkPacket())), Hex(std::string("\x01\x00", 2) + std::string(4 + 16 + 1, '\0')));

  // The reply's result is one raw byte, straight before the GUID.
  TStartJobRequestReplyPacket reply;
  reply.Result = 5;
  reply.JobID.D1 = 0x44332211;
  EXPECT_EQ(Payload(reply), std::string("\x05\x11\x22\x33\x44", 5) + std::string(12, '\0'));

  // Streams: a raw UInt32 length stand-alone, a compact length in a context.
  EXPECT_EQ(Payload(TCommRarSupportPacket()), std::string(4, '\0'));
  EXPECT_EQ(Payload(TQueryJobHistoryReplyPacket()).size(), 34u);
  TPacketStreamingContext ctx;
  TMemoryStream s;
  TCommRarSupportPacket().SaveFields(s, &ctx);
  EXPECT_EQ(s.Size(), 1);
  s.Clear();
  TQueryJobHistoryReplyPacket().SaveFields(s, &ctx);
  EXPECT_EQ(s.Size(), 31);

  // Empty streams and lists read back empty and present.
  TAddJobToHistoryPacket added;
  WriteText(added.JobMetaData, "old");
  LoadBytes(added, test::SaveBytes(TAddJobToHistoryPacket()));
  EXPECT_EQ(added.JobMetaData.Size(), 0);
  TQueryActiveJobsReplyPacket jobs;
  jobs.Jobs.AddNew();
  LoadBytes(jobs, test::SaveBytes(TQueryActiveJobsReplyPacket()));
  EXPECT_EQ(jobs.Jobs.Count(), 0);
}

// ---- Shorter writers ----------------------------------------------------------

TEST_F(GridServicePacketsTest, PacketsStoredWithFewerFieldsLoad) {
  TSetForcePortPacket port;
  port.Value = true;
  TMemoryStream zero;
  WriteText(zero, Truncated(port, 0, 0));
  zero.SetPosition(0);
  auto port_read = LoadPacket(zero);
  ASSERT_EQ(&port_read->ClassType(), &TSetForcePortPacket::Class);
  EXPECT_FALSE(static_cast<TSetForcePortPacket&>(*port_read).Value);

  TBuildCancelPacket cancel;
  cancel.JobID.D1 = 9;
  cancel.StopOnlyPredicted = true;
  TBuildCancelPacket cancel_read;
  LoadBytes(cancel_read, Truncated(cancel, 1, 16));
  EXPECT_EQ(cancel_read.JobID.D1, 9u);
  EXPECT_FALSE(cancel_read.StopOnlyPredicted);

  TCoordBuildActivityInfo activity;
  activity.BuildId = 77;
  activity.Predicted = true;
  activity.MachineId = "m";
  TCoordBuildActivityInfo activity_read;
  LoadBytes(activity_read, Truncated(activity, 1, 4));
  EXPECT_EQ(activity_read.BuildId, 77);
  EXPECT_FALSE(activity_read.Predicted);
  EXPECT_TRUE(activity_read.MachineId.empty());
}

TEST_F(GridServicePacketsTest, NestedPacketOfAnotherClassIsRefused) {
  // The nested packet's header follows the outer one; give it the GUID of
  // another class.
  const auto refused = [](const TPacket& p, TPacket& target) {
    std::string b = test::SaveBytes(p);
    const TGUID other = TAttachToBuildPacket::Class.GetClassGUID();
    std::memcpy(b.data() + kPacketHeaderSize + 16, &other, 16);
    TMemoryStream s;
    WriteText(s, b);
    s.SetPosition(0);
    return MessageOf<Exception>([&] { LoadPacketInto(target, s); });
  };
  TJobStartedPacket started;
  Fill(started.Status, 2);
  TJobStartedPacket q;
  TObject* member = q.GetFieldAsObject(0);
  EXPECT_EQ(refused(started, q).rfind("Incompatible packet class: ", 0), 0u);
  EXPECT_EQ(q.GetFieldAsObject(0), member);

  TJobStartedReplyPacket reply;
  reply.ServiceStatus.AgentID = "a";
  TJobStartedReplyPacket r;
  member = r.GetFieldAsObject(0);
  EXPECT_EQ(refused(reply, r).rfind("Incompatible packet class: ", 0), 0u);
  EXPECT_EQ(r.GetFieldAsObject(0), member);
  EXPECT_EQ(&r.ServiceStatus.StaticPacket, r.ServiceStatus.GetFieldAsObject(7));
}

TEST_F(GridServicePacketsTest, AgentReportDefaultsAndShorterWriters) {
  TReportAgentPacket report;
  EXPECT_TRUE(report.Subscribed);
  TReportAgent_LegacyPacket legacy;
  for (int i = 2; i < 6; ++i) EXPECT_EQ(legacy.GetFieldAsInteger(i), 0) << i;
  report.Subscribed = false;
  report.BuildGroup = "g";
  report.Static.Host = "h";
  report.Clear();
  EXPECT_TRUE(report.Subscribed);
  EXPECT_TRUE(report.Equals(TReportAgentPacket()));
  EXPECT_TRUE(report.Static.Host.empty());

  EXPECT_EQ(TReportAgentPacket::Class.FieldIndexByName("BuildGroup"), 7);
  EXPECT_EQ(TReportAgent_LegacyPacket::Class.FieldIndexByName("BuildGroup"), -1);
  EXPECT_EQ(TReportAgentPacket::Class.FieldIndexByName("AllowDisable"), -1);
  EXPECT_EQ(TReportAgent_LegacyPacket::Class.FieldIndexByName("AllowDisable"), 5);
  EXPECT_EQ(TReportAgentPacket::Class.FieldIndexByName("AllowEnableDisable"), 5);
  EXPECT_EQ(TReportAgent_LegacyPacket::Class.FieldIndexByName("AllowEnableDisable"), -1);

  // A writer with the two nested packets and Standalone only.
  TReportAgentPacket writer;
  writer.Standalone = true;
  writer.Subscribed = false;
  const std::string fields = FieldBytes(writer);
  const std::size_t three = fields.size() - 4 - 1;  // less four flags and the empty group
  TMemoryStream s;
  WriteText(s, Truncated(writer, 3, three));
  s.SetPosition(0);
  auto loaded = LoadPacket(s);
  auto& r = dynamic_cast<TReportAgentPacket&>(*loaded);
  EXPECT_TRUE(r.Standalone);
  EXPECT_TRUE(r.Subscribed);

  // An empty installer travels as length 0.
  TRunVersionUpdatePacket update;
  WriteText(update.InstallerExecutable, "old");
  const std::string empty = Payload(TRunVersionUpdatePacket());
  EXPECT_EQ(empty.substr(empty.size() - 4), std::string(4, '\0'));
  LoadBytes(update, test::SaveBytes(TRunVersionUpdatePacket()));
  EXPECT_EQ(update.InstallerExecutable.Size(), 0);
}

TEST_F(GridServicePacketsTest, HelperEmploymentWireAndTexts) {
  TEmployHelpersPacket e;
  EXPECT_EQ(Payload(e).size(), 23u);
  EXPECT_EQ(Hex(Payload(e).substr(16)), "00 00 00 00 00 00 00");

  e.SetFieldAsString(1, "a\r\nb\r\n");
  ASSERT_EQ(e.HelperIDs.Count(), 2);
  EXPECT_EQ(e.HelperIDs[1], "b");
  EXPECT_EQ(e.GetFieldAsString(1), "a\r\nb\r\n");
  EXPECT_EQ(e.GetFieldAsObject(1), &e.HelperIDs);
  EXPECT_EQ(e.GetFieldAsObject(2), &e.StaticInfos);
  EXPECT_THROW(e.GetFieldAsString(2), Exception);
  std::string text;
  EXPECT_EQ(e.FieldToText(1, text), 2);

  TEmployHelpersExPacket ex;
  ex.Packets.AddNew().SslCnPattern = "first";
  ex.Packets.AddNew().SslCnPattern = "second";
  const std::string b = Payload(ex);
  EXPECT_EQ(Hex(b.substr(0, 4)), "02 00 00 00");
  TEmployHelpersExPacket back;
  LoadBytes(back, test::SaveBytes(ex));
  ASSERT_EQ(back.Packets.Count(), 2);
  EXPECT_EQ(back.Packets.Items(0).SslCnPattern, "first");
  EXPECT_EQ(back.Packets.Items(1).SslCnPattern, "second");
}

// ---- Generic operations -------------------------------------------------------

TEST_F(GridServicePacketsTest, BooleanTextAndNamedLookups) {
  TSetForcePortPacket port;
  port.SetFieldAsString(0, "TRUE");
  EXPECT_TRUE(port.Value);
  port.SetFieldAsString(0, "1");
  EXPECT_FALSE(port.Value);
  TClearFileCachePacket clear;
  clear.SetFieldAsString(0, "tRuE");
  EXPECT_TRUE(clear.Reserved);
  clear.SetFieldAsString(0, "yes");
  EXPECT_FALSE(clear.Reserved);

  for (const ClassRow& row : kGridClasses) {
    if (row.fields != 1) continue;
    SCOPED_TRACE(row.cls->Name());
    EXPECT_EQ(row.cls->FieldIndexByName(row.cls->FieldName(0)), 0);
    EXPECT_EQ(row.cls->FieldIndexByName("Other"), -1);
  }
  EXPECT_EQ(TSetAgentRegistryPacket::Class.FieldIndexByName("Section"), 2);
  EXPECT_EQ(TSetAgentRegistryPacket::Class.FieldIndexByName("section"), -1);
  EXPECT_EQ(TBuildFinishedPacket::Class.FieldIndexByName("BuildID"), 0);
  EXPECT_EQ(TBuildFinishedPacket::Class.FieldIndexByName("BuildId"), -1);
  EXPECT_EQ(TCoordBuildActivityInfo::Class.FieldIndexByName("BuildId"), 0);
  EXPECT_EQ(TCoordBuildActivityInfo::Class.FieldIndexByName("BuildID"), -1);
  EXPECT_EQ(TQueryJobHistoryReplyPacket::Class.FieldIndexByName("JobList"), 3);
  EXPECT_EQ(TQueryJobHistoryReplyPacket::Class.FieldIndexByName("ReturnedJobCount_Obsolete"), 1);
}

TEST_F(GridServicePacketsTest, FieldsWithoutAnAccessorRaiseWithTheirName) {
  TStopJobPacket stop;
  EXPECT_EQ(MessageOf<Exception>([&] { stop.GetFieldAsString(0); }), "Cannot get field as string: TStopJobPacket.JobID");
  EXPECT_TRUE(DumpHas(stop, "  JobID = {00000000-0000-0000-0000-000000000000}"));

  TStartJobRequestReplyPacket reply;
  EXPECT_EQ(MessageOf<Exception>([&] { reply.GetFieldAsString(0); }),
            "Cannot get field as string: TStartJobRequestReplyPacket.Result");
  EXPECT_THROW(reply.GetFieldAsInteger(0), Exception);
  EXPECT_EQ(Dump(reply), (std::vector<std::string>{"(TStartJobRequestReplyPacket)", "  Result = (?)",
                                                   "  JobID = {00000000-0000-0000-0000-000000000000}"}));

  TLookupAgentIPReplyPacket ip;
  EXPECT_EQ(MessageOf<Exception>([&] { ip.GetFieldAsInteger(0); }),
            "Cannot get field as integer: TLookupAgentIPReplyPacket.AgentIP");
  TTrayCoordMonitorReplyPacket tray;
  EXPECT_EQ(MessageOf<Exception>([&] { tray.SetFieldAsInteger(0, 1); }),
            "Cannot set field as integer: TTrayCoordMonitorReplyPacket.Url");
  TCommRarSupportPacket rar;
  EXPECT_EQ(rar.GetFieldAsObject(0), &rar.Data);
  EXPECT_THROW(rar.GetFieldAsString(0), Exception);
  EXPECT_THROW(rar.GetFieldAsDouble(0), Exception);
}

TEST_F(GridServicePacketsTest, OptionalAdapterOfTheNetworkProbe) {
  TTestNetworkPacket a, b;
  const std::string absent = "Attempt to access uninitialized member object: TTestNetworkPacket.ConnectionInfo";
  EXPECT_EQ(MessageOf<Exception>([&] { a.GetConnectionInfo(); }), absent);
  EXPECT_EQ(MessageOf<Exception>([&] { a.GetFieldAsObject(4); }), absent);
  EXPECT_TRUE(a.Equals(b));
  a.NeedConnectionInfo();
  std::vector<std::int32_t> diff;
  EXPECT_FALSE(a.CompareFields(
      b, [](void* data, std::int32_t i) { static_cast<std::vector<std::int32_t>*>(data)->push_back(i); }, &diff));
  EXPECT_EQ(diff, std::vector<std::int32_t>{4});

  // The 64-bit values through the 32-bit accessors.
  a.SetFieldAsInteger(2, -1);
  EXPECT_EQ(a.TimeStamp, -1);
  a.TimeStamp = 1ll << 32;
  EXPECT_EQ(a.GetFieldAsInteger(2), 0);
  EXPECT_EQ(a.GetFieldAsString(2), "4294967296");
  std::string text;
  EXPECT_EQ(a.FieldToText(0, text), 0);  // Kind is not rendered

  // A stored Kind of another width keeps its first byte.
  TTestNetworkPacket c;
  std::string fields = FieldBytes(c);
  fields.replace(0, 2, std::string("\x03\x07\x08\x09", 4));
  TTestNetworkPacket s1, s2;
  test::LoadFieldsBothWays(s1, s2, fields, 5);
  EXPECT_EQ(s1.Kind, 7);
  EXPECT_EQ(s2.Kind, 7);
}

TEST_F(GridServicePacketsTest, UnsignedValuesAndTexts) {
  TGetCacheServiceReplyPacket cache;
  cache.CacheProcessHandle = 4294967295u;
  EXPECT_EQ(cache.GetFieldAsString(1), "4294967295");
  EXPECT_TRUE(DumpHas(cache, "  CacheProcessHandle = 4294967295"));
  TReportHelperPacket helper;
  helper.SetFieldAsString(5, "-1");
  EXPECT_EQ(helper.RunCommandTime, 0xFFFFFFFFu);
  EXPECT_EQ(helper.GetFieldAsString(5), "4294967295");

  // Doubles are dumped as dates, also the averages.
  TBuildFinishedPacket finished;
  EXPECT_TRUE(DumpHas(finished, "  AvgUsedCores = 1899-12-30"));
  EXPECT_TRUE(DumpHas(finished, "  StartTime = 1899-12-30"));
  finished.AvgUsedCores = 2.5;
  EXPECT_EQ(finished.GetFieldAsString(9), "2.5");
  EXPECT_DOUBLE_EQ(finished.GetFieldAsDouble(9), 2.5);

  TCoordBuildActivityInfo activity;
  activity.SetFieldAsString(5, "-2");
  EXPECT_EQ(activity.StartTS, -2);
  activity.EndTS = 1ll << 40;
  EXPECT_TRUE(DumpHas(activity, "  EndTS = 1099511627776"));

  TJobHistoryEntryPacket entry;
  WriteText(entry.MetaData, "12345");
  EXPECT_TRUE(DumpHas(entry, "  MetaData = (size = 5)"));

  TCreateUserPacket user;
  user.UserName = "u";
  EXPECT_EQ(Payload(user).size(), 3u);
  EXPECT_EQ(Payload(user).back(), '\0');
  TCreateUserPacket user_read;
  user_read.Password = "old";
  LoadBytes(user_read, test::SaveBytes(user));
  EXPECT_TRUE(user_read.Password.empty());
}

}  // namespace
}  // namespace vt
