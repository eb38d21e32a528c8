// Agent-report packets: registration, round trips of filled packets, the
// wire bytes of fresh packets, the assembly lists sent as text, the optional
// version-update members, short loads and the export tree.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/AgentTypes.h"
#include "catalogues/ReportAgentPacket.h"
#include "common/PacketFields.h"

namespace vt {
namespace {

using namespace test;

// In registration order.
const ClassRow kClasses[] = {
    {&TBenchmarkPacket::Class, GuidLiteral("{F347CC1A-F240-4D6B-8216-5DDD0C824570}"), 12, &TPacket::Class},
    {&TSchedulerPacket::Class, GuidLiteral("{15177F77-B805-45C3-9734-36A191B8136B}"), 3, &TCommPacket::Class},
    {&TStaticPacket::Class, GuidLiteral("{9CE5866E-6274-45A6-B506-9A9BCC38A53A}"), 51, &TPacket::Class},
    {&TPreferredHelperPacket::Class, GuidLiteral("{E272690C-60DD-4EFE-AA6F-60A2B36A6B54}"), 4,
     &TPacket::Class},
    {&TVersionUpdatePacket::Class, GuidLiteral("{75D7B0B3-DE9E-46EC-B92E-2800BAE9DFBB}"), 9, &TPacket::Class},
    {&TSubscriptionPacket::Class, GuidLiteral("{1FE39E3E-477C-49A7-AADB-3BB6F4A3EF76}"), 12, &TPacket::Class},
    {&THelperPacket::Class, GuidLiteral("{965E337D-8632-4576-83AF-1559FA08F15A}"), 6, &TPacket::Class},
    {&TKnownCoordPacket::Class, GuidLiteral("{0F24A870-6BF3-4E6C-9191-639BB126F36C}"), 2, &TPacket::Class},
    {&TDynamic_LegacyPacket::Class, GuidLiteral("{A319EB71-BCBC-4820-BA3E-AD5EEA093D0A}"), 50,
     &TPacket::Class},
    {&TDynamicPacket::Class, GuidLiteral("{1DDD7002-47E3-42C3-BAE2-12943492F14B}"), 35, &TPacket::Class},
    {&TReportAgentReplyPacket::Class, GuidLiteral("{BDD3BD29-EF14-44C2-90E3-EE554B2EF747}"), 24,
     &TCommPacket::Class},
    {&TAgentExportXmlBuildInfo::Class, GuidLiteral("{309BD81E-CC8B-4592-8E41-E967D071FBAB}"), 5,
     &TPacket::Class},
    {&TAgentExportXml::Class, GuidLiteral("{E1C825B5-4DAD-4098-B369-0026EE0F8888}"), 43, &TPacket::Class},
    {&TCoordExportXml::Class, GuidLiteral("{DFA402D3-6C61-493F-BFB2-8205231B058F}"), 17, &TPacket::Class},
    {&TConnectCloudAgentPacket::Class, GuidLiteral("{671BAA72-0279-4FE9-BDD4-9934C0E2859E}"), 3,
     &TCommPacket::Class},
    {&TRefreshAgentPacket::Class, GuidLiteral("{A697D58A-6FA2-468E-B699-2B86D3C08FC1}"), 1,
     &TCommPacket::Class},
};

class ReportAgentPacketTest : public test::CatalogueTest {};

// ---- Registration -----------------------------------------------------------------

TEST_F(ReportAgentPacketTest, RegistersEveryClassInOrder) {
  const std::int32_t first = GetPacketClassNumber(TBenchmarkPacket::Class);
  EXPECT_GT(first, GetPacketClassNumber(TBuildStatusPacket::Class));
  EXPECT_EQ(ExpectRegisteredInOrder(kClasses, first), 16);
  EXPECT_EQ(
      TRefreshAgentPacket::Class.ClassNumberPtr()->load() - TBenchmarkPacket::Class.ClassNumberPtr()->load(),
      15);

  // A second initialization registers nothing again and raises nothing.
  kReportAgentPacketUnit.initialize();
  kReportAgentPacketUnit.finalize();
  EXPECT_EQ(GetPacketClassNumber(TBenchmarkPacket::Class), first);
  EXPECT_EQ(GetPacketClassNumber(TRefreshAgentPacket::Class), first + 15);
}

// ---- Round trips -------------------------------------------------------------------

TEST_F(ReportAgentPacketTest, FilledPacketsOfEveryClassRoundTrip) {
  for (const ClassRow& row : kClasses) {
    auto p = row.cls->Create();
    FillGeneric(*p, 1);
    EXPECT_FALSE(p->Equals(*row.cls->Create())) << row.cls->Name();
    test::ExpectRoundTrips(*p);
  }

  // Chosen values in fields of code 0, and the optional members, which the
  // generic fill leaves absent.
  auto st = Filled<TStaticPacket>();
  for (std::size_t i = 0; i < st->VersionInfo.size(); ++i)
    st->VersionInfo[i] = static_cast<std::uint8_t>(i + 1);
  st->OSVersionInfo.fill(0xA5);
  st->HistorySourceID = GuidLiteral("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  st->AgentType = 5;
  EXPECT_EQ(st->ConnectionInfo.Name, "s202");  // nested packets are filled too
  test::ExpectRoundTrips(*st);

  auto dyn = Filled<TDynamicPacket>();
  FillGeneric(dyn->NeedVersionUpdate(), 3);
  dyn->GetVersionUpdate().UpdateID = GuidLiteral("{75D7B0B3-DE9E-46EC-B92E-2800BAE9DFBB}");
  ASSERT_EQ(dyn->Builds.Count(), 2);
  dyn->Builds.Items(1).Flags = {1, 2, 3, 4, 5, 6};
  test::ExpectRoundTrips(*dyn, false);  // the optional member stays present

  auto legacy = Filled<TDynamic_LegacyPacket>();
  legacy->NeedVersionUpdate().InstallStatus = "installing";
  legacy->BuildID = GuidLiteral("{A319EB71-BCBC-4820-BA3E-AD5EEA093D0A}");
  test::ExpectRoundTrips(*legacy, false);  // the optional member stays present

  auto sub = Filled<TSubscriptionPacket>();
  sub->NeedVersionUpdate().QuickRollback = true;
  sub->MultiBootID_Obselete.D1 = 7;
  test::ExpectRoundTrips(*sub, false);  // the optional member stays present

  auto reply = Filled<TReportAgentReplyPacket>();
  reply->NeedVersionUpdate().DownloadedBytes = 12345;
  reply->CoordinatorRoleState = 3;
  reply->CustomCheckFailures = 0x81;
  reply->CoordinatorWorkGroupID_Obselete.D4[7] = 9;
  test::ExpectRoundTrips(*reply, false);  // the optional member stays present

  TConnectCloudAgentPacket cloud;
  cloud.AgentIP = "10.0.0.1";
  cloud.AgentType = 200;
  test::ExpectRoundTrips(cloud);
}

// ---- Fresh packets on the wire ---------------------------------------------------------

TEST_F(ReportAgentPacketTest, FreshPacketsWriteTheirDefaults) {
  EXPECT_EQ(Payload(TSchedulerPacket()), std::string(17, '\0'));
  EXPECT_TRUE(TSchedulerPacket().Equals(TSchedulerPacket()));
  EXPECT_EQ(Payload(TBenchmarkPacket()), std::string(52, '\0'));

  B st;
  st.i32(0).str("").str("").str("").str("").i32(0).i32(0).str("").i32(0).zeros(148);
  st.u8(0).i64(0).i32(0).str("").i32(0).i32(0).i32(0).i32(0);
  st.u8(1).str("-1").str("-1").str("").i32(0).str("").u8(0).u8(0).i64(0);
  st.bytes(SaveBytes(TNetworkConnectionInfoPacket())).i32(0).i16(0).bytes(SaveBytes(TBenchmarkPacket()));
  st.u8(0).i64(0).i64(0).i32(-1).i32(0).u8(0).i16(0).i16(0).zeros(16);
  st.bytes(SaveBytes(TSchedulerPacket())).zeros(156).u8(1).i32(0);
  st.u8(1).u8(0).u8(0).u8(0).str("").i32(-1).str("").str("");
  TStaticPacket fresh;
  EXPECT_EQ(Hex(Payload(fresh)), Hex(st.s));

  // Clear brings every field back, nested packets included.
  auto filled = Filled<TStaticPacket>();
  filled->AgentType = 4;
  filled->VersionInfo.fill(1);
  filled->Clear();
  EXPECT_EQ(Hex(Payload(*filled)), Hex(st.s));

  TSubscriptionPacket sub;
  EXPECT_EQ(
      Hex(Payload(sub)),
      Hex(B().i32(0).i64(0).str("").i32(100).i64(0).i32(0).u8(0).u8(0).zeros(16).i32(-1).u8(1).u8(0).s));

  EXPECT_EQ(Hex(Payload(THelperPacket())), Hex(B().str("").i64(0).u8(0).u8(0).str("").zeros(16).s));

  // The dynamic state: zero counts for the three packet lists and the
  // string list, presence byte 0.
  B dyn;
  dyn.i32(0).u8(0).i64(0).u8(0).u8(0).u8(0).u8(0).i32(0).i32(0).i64(0).i32(0);
  dyn.i64(0).u8(0).u8(0).i32(0).i32(0).u8(0).u8(0).u8(0).u8(0).u8(0).i32(0).u8(0);
  dyn.u8(0).u8(0).i32(0).i64(0).i64(0).u8(0).i32(0).u8(0).u8(0).i32(0).u8(0).i32(0);
  EXPECT_EQ(Hex(Payload(TDynamicPacket())), Hex(dyn.s));
}

// ---- Assembly lists sent as one text -----------------------------------------------------

TEST_F(ReportAgentPacketTest, AssemblyListsTravelAsText) {
  struct Case {
    std::unique_ptr<TPacket> packet;
    std::int32_t index;
  };
  Case cases[2] = {{std::make_unique<TStaticPacket>(), 21}, {std::make_unique<TDynamic_LegacyPacket>(), 24}};
  for (Case& c : cases) {
    TPacket& p = *c.packet;
    SCOPED_TRACE(p.ClassName());
    auto* list = dynamic_cast<TStrings*>(p.GetFieldAsObject(c.index));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(p.FieldType(c.index), pftObject);

    // Two lines: one string of each line and CR LF.
    list->Add("System.Core");
    list->Add("mscorlib");
    const std::string all = FieldBytes(p);
    EXPECT_NE(all.find(B().str("System.Core\r\nmscorlib\r\n").s), std::string::npos);
    test::ExpectRoundTrips(p);

    // Not a string field, not rendered.
    const std::string field = QualifiedFieldName(p.ClassType(), c.index);
    EXPECT_EQ(MessageOf<Exception>([&] { (void)p.GetFieldAsString(c.index); }),
              "Cannot get field as string: " + field);
    EXPECT_EQ(MessageOf<Exception>([&] { p.SetFieldAsString(c.index, "x"); }),
              "Cannot set field as string: " + field);
    std::string text;
    EXPECT_EQ(p.FieldToText(c.index, text), 0);
    TStringListEx dump;
    p.DumpToStrings(dump);
    EXPECT_NE(dump.IndexOf("  " + p.FieldName(c.index) + " = (?)"), -1);
    EXPECT_EQ(list->Count(), 2);  // untouched by the refused set
  }

  // Reading: CR, LF and CR LF all end a line; the first NUL ends the text.
  const std::string fields = FieldBytes(TStaticPacket());
  const std::size_t at = fields.find(B().str("-1").str("-1").s) + 6;  // the assembly text
  ASSERT_EQ(fields[at], '\0');
  for (const auto& [stored, lines] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
           {std::string("x\r\ny\0z\r\nw", 9), {"x", "y"}},
           {std::string("\0abc", 4), {}},
           {"", {}}}) {
    std::string bytes = fields.substr(0, at) + B().str(stored).s + fields.substr(at + 1);
    TStaticPacket a, b;
    a.InstalledAssemblies_Obsolete.Add("old");
    b.InstalledAssemblies_Obsolete.Add("old");
    EXPECT_EQ(LoadFieldsBothWays(a, b, bytes, 51), static_cast<std::int64_t>(bytes.size()));
    for (TStaticPacket* q : {&a, &b}) {
      ASSERT_EQ(q->InstalledAssemblies_Obsolete.Count(), static_cast<int>(lines.size()));
      for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(q->InstalledAssemblies_Obsolete[static_cast<int>(i)], lines[i]);
      EXPECT_EQ(q->MSVCVersion, "-1");
    }
  }

  // The other lists of the legacy state are ordinary string lists.
  TDynamic_LegacyPacket legacy;
  legacy.BuildHelperIDs.Add("h1");
  std::string text;
  EXPECT_EQ(legacy.FieldToText(35, text), 2);
  EXPECT_EQ(legacy.GetFieldAsString(35), "h1\r\n");
  legacy.SetFieldAsString(47, "u1\r\nu2");
  EXPECT_EQ(legacy.LogOnUsers.Count(), 2);
}

// ---- Optional version-update members ---------------------------------------------------

TEST_F(ReportAgentPacketTest, VersionUpdateMembers) {
  struct Case {
    const TPacketClass* cls;
    std::int32_t index;
    TOptionalPacket<TVersionUpdatePacket>& (*member)(TPacket&);
  };
  const Case cases[] = {
      {&TSubscriptionPacket::Class, 7,
       [](TPacket& p) -> TOptionalPacket<TVersionUpdatePacket>& {
         return static_cast<TSubscriptionPacket&>(p).VersionUpdate;
       }},
      {&TDynamic_LegacyPacket::Class, 32,
       [](TPacket& p) -> TOptionalPacket<TVersionUpdatePacket>& {
         return static_cast<TDynamic_LegacyPacket&>(p).VersionUpdate;
       }},
      {&TDynamicPacket::Class, 22,
       [](TPacket& p) -> TOptionalPacket<TVersionUpdatePacket>& {
         return static_cast<TDynamicPacket&>(p).VersionUpdate;
       }},
      {&TReportAgentReplyPacket::Class, 2,
       [](TPacket& p) -> TOptionalPacket<TVersionUpdatePacket>& {
         return static_cast<TReportAgentReplyPacket&>(p).VersionUpdate;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cls->Name());
    auto fresh = c.cls->Create();
    auto with = c.cls->Create();
    EXPECT_FALSE(c.member(*fresh).Present());
    EXPECT_EQ(c.cls->FieldName(c.index), "VersionUpdate");
    const std::string message =
        std::string("Attempt to access uninitialized member object: ") + c.cls->Name() + ".VersionUpdate";
    EXPECT_EQ(MessageOf<Exception>([&] { (void)fresh->GetFieldAsObject(c.index); }), message);
    std::string text;
    EXPECT_EQ(fresh->FieldToText(c.index, text), 1);
    EXPECT_EQ(text, "(null)");

    // Present on one side only: a difference at that index alone.
    auto& vu = static_cast<TVersionUpdatePacket&>(c.member(*with).Need());
    EXPECT_TRUE(fresh->Equals(*c.cls->Create()));
    EXPECT_FALSE(fresh->Equals(*with));
    EXPECT_EQ(Differences(*fresh, *with), std::vector<std::int32_t>{c.index});
    EXPECT_EQ(with->GetFieldAsObject(c.index), &vu);

    // The presence byte: 0 alone when absent, 1 and the packet when present.
    const std::string absent = FieldBytes(*fresh);
    const std::string present = FieldBytes(*with);
    EXPECT_EQ(present.size(), absent.size() + SaveBytes(TVersionUpdatePacket()).size());

    // Clear keeps the member, emptied; it is still written.
    vu.InstallStatus = "running";
    vu.DownloadComplete = true;
    with->Clear();
    ASSERT_TRUE(c.member(*with).Present());
    EXPECT_TRUE(c.member(*with)->Equals(TVersionUpdatePacket()));
    EXPECT_EQ(FieldBytes(*with), present);

    // Loading a stored absence frees a present member.
    auto a = c.cls->Create();
    auto b = c.cls->Create();
    c.member(*a).Need();
    c.member(*b).Need();
    LoadFieldsBothWays(*a, *b, absent, c.cls->FieldCount());
    EXPECT_FALSE(c.member(*a).Present());
    EXPECT_FALSE(c.member(*b).Present());
    EXPECT_EQ(MessageOf<Exception>([&] { (void)a->GetFieldAsObject(c.index); }), message);

    // Assign copies the member through set, and an absent source frees it.
    auto copy = c.cls->Create();
    copy->Assign(*with);
    ASSERT_TRUE(c.member(*copy).Present());
    EXPECT_NE(c.member(*copy).get(), c.member(*with).get());
    copy->Assign(*fresh);
    EXPECT_FALSE(c.member(*copy).Present());
  }

  TReportAgentReplyPacket reply;
  EXPECT_EQ(MessageOf<Exception>([&] { (void)reply.GetVersionUpdate(); }),
            "Attempt to access uninitialized member object: TReportAgentReplyPacket.VersionUpdate");
  reply.NeedVersionUpdate().UpdateSize = 5;
  EXPECT_EQ(reply.GetVersionUpdate().UpdateSize, 5);
  EXPECT_FALSE(reply.SameVersionUpdate(nullptr));
  reply.SetVersionUpdate(nullptr);
  EXPECT_TRUE(reply.SameVersionUpdate(nullptr));
}

// ---- Short loads, sized and compact fields, value widths -----------------------------------

TEST_F(ReportAgentPacketTest, ShortLoadsKeepTheLaterFields) {
  // A writer that stopped before the agent type.
  auto src = Filled<TStaticPacket>();
  src->AgentType = 3;
  std::int32_t count = 44;
  std::string bytes = FieldBytes(*src);
  {
    TStaticPacket full;
    std::int32_t remaining = 44;
    TPointerStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()), true);
    full.LoadFieldsFromBuffer(s, remaining, nullptr);
    bytes.resize(static_cast<std::size_t>(s.Position()));
  }
  TStaticPacket a, b;
  LoadFieldsBothWays(a, b, bytes, count);
  for (TStaticPacket* q : {&a, &b}) {
    EXPECT_EQ(q->CPUCount_WhenInitiator, src->CPUCount_WhenInitiator);
    EXPECT_EQ(q->AgentType, 0);
    EXPECT_EQ(q->BuildCacheSizeGB, -1);
    EXPECT_EQ(q->HasLocalCoordinatorInstalled, false);
    EXPECT_EQ(q->BuildCacheFolder, "");
  }

  // The current dynamic state from a writer without the build list.
  auto dyn = Filled<TDynamicPacket>();
  std::string dbytes = FieldBytes(*dyn);
  {
    TDynamicPacket probe;
    std::int32_t remaining = 32;
    TPointerStream s(dbytes.data(), static_cast<std::int64_t>(dbytes.size()), true);
    probe.LoadFieldsFromBuffer(s, remaining, nullptr);
    dbytes.resize(static_cast<std::size_t>(s.Position()));
  }
  TDynamicPacket c, d;
  for (TDynamicPacket* q : {&c, &d}) {
    q->Builds.AddNew().Caption = "kept";
    q->BuildsVersion = 9;
    q->CollectStatistics = true;
  }
  LoadFieldsBothWays(c, d, dbytes, 32);
  for (TDynamicPacket* q : {&c, &d}) {
    ASSERT_EQ(q->Builds.Count(), 1);
    EXPECT_EQ(q->Builds.Items(0).Caption, "kept");
    EXPECT_EQ(q->BuildsVersion, 9);
    EXPECT_TRUE(q->CollectStatistics);
    EXPECT_EQ(q->SchedulerRunning, dyn->SchedulerRunning);
    EXPECT_EQ(q->LogOnUsers.Count(), 2);
  }
}

TEST_F(ReportAgentPacketTest, SizedCompactAndUnsignedFields) {
  // A wider stored agent type keeps its first byte; size 0 leaves 0.
  TConnectCloudAgentPacket cloud;
  cloud.AgentIP = "ip";
  for (const auto& [sized, expected] :
       std::vector<std::pair<std::string, int>>{{std::string("\x03\x04\x05\x06", 4), 4},
                                                {std::string("\x00", 1), 0},
                                                {std::string("\x01\x06", 2), 6}}) {
    const std::string bytes = B().str("ip").str("id").bytes(sized).s;
    TConnectCloudAgentPacket a, b;
    a.AgentType = b.AgentType = 99;
    EXPECT_EQ(LoadFieldsBothWays(a, b, bytes, 3), static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(a.AgentType, expected);
    EXPECT_EQ(b.AgentType, expected);
    EXPECT_EQ(a.AgentID, "id");
  }
  std::string text;
  EXPECT_EQ(cloud.FieldToText(2, text), 0);
  EXPECT_EQ(Hex(FieldBytes(cloud)), Hex(B().str("ip").str("").u8(1).u8(0).s));

  // Compact fields of the legacy state.
  TDynamic_LegacyPacket legacy;
  const std::string base = FieldBytes(legacy);
  legacy.BuildMaxWinVer_Major = 10;
  std::string ten = FieldBytes(legacy);
  EXPECT_EQ(ten.size(), base.size());
  legacy.BuildMaxWinVer_Major = 200;
  std::string two_hundred = FieldBytes(legacy);
  EXPECT_EQ(two_hundred.size(), base.size() + 3);
  std::size_t at = 0;
  while (at < ten.size() && ten[at] == base[at]) ++at;
  EXPECT_EQ(static_cast<unsigned char>(ten[at]), 20);
  EXPECT_EQ(Hex(two_hundred.substr(at, 4)), "91 01 00 00");
  legacy.DisplayWorkPowerCPUs = -1;
  EXPECT_THROW(FieldBytes(legacy), Exception);
  legacy.DisplayWorkPowerCPUs = 0;

  // Unsigned values render unsigned; byte fields keep the low byte.
  TPreferredHelperPacket helper;
  helper.EmployedAtTickCount = 0xFFFFFFFF;
  EXPECT_EQ(helper.FieldToText(3, text), 1);
  EXPECT_EQ(text, "4294967295");
  TStaticPacket st;
  EXPECT_EQ(st.GetFieldAsString(34), "4294967295");
  EXPECT_EQ(st.FieldToText(41, text), 0);
  EXPECT_EQ(st.FieldToText(9, text), 0);
  EXPECT_EQ(st.FieldToText(44, text), 0);
  TAgentExportXml agent;
  agent.TotalDiskSpace = 4294967295u;
  agent.SetFieldAsInteger(7, 200);
  EXPECT_EQ(agent.GetFieldAsString(31), "4294967295");
  EXPECT_EQ(agent.FieldToText(7, text), 1);
  EXPECT_EQ(text, "200");
  TReportAgentReplyPacket reply;
  reply.SetFieldAsInteger(13, 300);
  EXPECT_EQ(reply.MinIdleLevelPercent, 44);

  // Two schedules differing in the stop time only.
  TSchedulerPacket s1, s2;
  s2.StopTime = 0.75;
  EXPECT_FALSE(s1.Equals(s2));
  EXPECT_EQ(Differences(s1, s2), std::vector<std::int32_t>{2});

  // Doubles named as levels and bonuses render as dates, as the times do.
  TSubscriptionPacket sub;
  sub.BuildPriorityBonus = 45000.5;
  EXPECT_EQ(sub.FieldToText(1, text), 1);
  EXPECT_EQ(text, DateTimeToText(45000.5));
}

// ---- Export tree ----------------------------------------------------------------------

TEST_F(ReportAgentPacketTest, ExportTreeAndItemNames) {
  for (const TPacketClass* cls :
       {&TCoordExportXml::Class, &TAgentExportXml::Class, &TAgentExportXmlBuildInfo::Class})
    for (std::int32_t i = 0; i < cls->FieldCount(); ++i) {
      const bool agents = cls == &TCoordExportXml::Class && i == 6;
      const bool builds = cls == &TAgentExportXml::Class && i == 40;
      EXPECT_EQ(cls->FieldItemName(i), agents ? "Agent" : builds ? "Build" : "") << cls->Name() << " " << i;
      EXPECT_EQ(cls->FieldItemCaption(i), cls->FieldItemName(i));
    }
  EXPECT_EQ(TAgentExportXml::Class.FieldIndexByName("PhysicalsCoresCount"), 42);
  EXPECT_EQ(TCoordExportXml::Class.FieldIndexByName("MinRequiredDiskSpce"), 13);

  TCoordExportXml coord;
  coord.Role = "Primary";
  TAgentExportXml& first = coord.Agents.AddNew();
  first.Host = "a1";
  first.Builds.AddNew().BuildTitle = "b";
  coord.Agents.AddNew().Host = "a2";

  TAgentExportXml second_alone;
  second_alone.Host = "a2";
  const std::string p = Payload(coord);
  const std::string agents = B().i32(2).bytes(SaveBytes(first)).bytes(SaveBytes(second_alone)).s;
  EXPECT_NE(p.find(agents), std::string::npos);
  const std::string first_payload = Payload(first);
  TAgentExportXmlBuildInfo build;
  build.BuildTitle = "b";
  EXPECT_NE(first_payload.find(B().i32(1).bytes(SaveBytes(build)).s), std::string::npos);
  EXPECT_NE(Payload(second_alone).find(B().i32(0).s), std::string::npos);
  test::ExpectRoundTrips(coord);

  // A list count beyond the bytes is refused before anything is allocated.
  std::string broken = SaveBytes(coord);
  const std::size_t count_at = broken.find(agents);
  ASSERT_NE(count_at, std::string::npos);
  test::PutU32(broken, count_at, 0x7FFFFFFF);
  TMemoryStream s;
  s.WriteBuffer(broken.data(), static_cast<std::int64_t>(broken.size()));
  s.SetPosition(0);
  EXPECT_THROW(LoadPacket(s), Exception);
}

TEST(AgentTypes, NamesAndKindsWithoutARow) {
  EXPECT_EQ(AgentTypeName(0), "Owned");
  EXPECT_EQ(AgentTypeName(2), "Expired Single-use-VM");
  EXPECT_EQ(AgentTypeName(6), "Vontaro SaaS");
  EXPECT_EQ(AgentTypeName(7), "Unknown agent type (7)");
  EXPECT_EQ(AgentTypeName(255), "Unknown agent type (255)");
}

}  // namespace
}  // namespace vt
