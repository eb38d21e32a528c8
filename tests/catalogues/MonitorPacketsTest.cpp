// Graph packets, monitor events and wrapper status: registration in order,
// round trips of filled packets, wire bytes of fresh packets, compact and
// raw counters, short and long stored packets, nested and optional members.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/AgentWrapperPackets.h"
#include "catalogues/BuildPackets.h"
#include "catalogues/BuildCacheProfilePackets.h"
#include "catalogues/GridGraphPackets.h"
#include "catalogues/GridProfileXmlPackets.h"
#include "catalogues/MonitorPackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/ReportAgentPacket.h"

namespace vt {
namespace {

using namespace test;

// Registration order of the three units, one after the other.
const ClassRow kClasses[] = {
    {&TGraphDefPacket::Class, GuidLiteral("{7818CC3F-04D2-4DA8-A00D-4BD7916AD414}"), 7},
    {&TGraphSetDefPacket::Class, GuidLiteral("{AB4749D3-69EA-4EB1-B96E-20BACE20CFF4}"), 4},
    {&TGraphSamplePacket::Class, GuidLiteral("{F161EDA3-3C2E-47C2-936F-7F1C930F1103}"), 2},
    {&TMonitorEventStartedPacket::Class, GuidLiteral("{2B1EDE84-8DFA-4D06-B3D1-8499AB4EA592}"), 8},
    {&TMonitorEventCompletePacket::Class, GuidLiteral("{1A69A620-5579-4A3F-88B0-ACCA61FCB796}"), 9},
    {&TMonitorEventSetMSBuildFlagPacket::Class, GuidLiteral("{4F7808E4-3236-4E88-BA56-6DA7DC0A0B5B}"), 2},
    {&TMonitorEventBeginInitPacket::Class, GuidLiteral("{CF7CAC24-24EA-4F18-A05D-F719C0603DE8}"), 2},
    {&TMonitorEventEndInitPacket::Class, GuidLiteral("{E28BD79B-D6E3-4736-92CB-E1A1DD2208D5}"), 4},
    {&TMonitorEventBeginFinalizePacket::Class, GuidLiteral("{4D435ACF-A922-4FFE-B217-E38F486F9B00}"), 2},
    {&TMonitorEventEndFinalizePacket::Class, GuidLiteral("{9FDFB275-F2A4-4B81-A471-BB1E54172D95}"), 2},
    {&TMonitorEventBeginCachingPacket::Class, GuidLiteral("{03EE2489-6AF7-44D5-848F-AC8D77A9655A}"), 2},
    {&TMonitorEventEndCachingPacket::Class, GuidLiteral("{31C1AADB-FD5D-4B86-ACE1-05E4242E5ED6}"), 3},
    {&TMonitorEventCountPacket::Class, GuidLiteral("{FDAFDDC3-45C6-4906-ADE8-9D572EA400B5}"), 5},
    {&TMonitorEventProjectCountPacket::Class, GuidLiteral("{6A1A523C-8E43-45AB-9313-3AA6FD16CB5E}"), 6},
    {&TMonitorEventMessagePacket::Class, GuidLiteral("{0842413D-FFCD-48A7-8E27-644DA45AA919}"), 8},
    {&TMonitorEventOutputPacket::Class, GuidLiteral("{DCF0DAA3-40C7-4D28-AF9B-9B0C43BCBE70}"), 6},
    {&TMonitorEventProjectOutputPacket::Class, GuidLiteral("{82BBFB93-E4BF-4740-8A2A-3E587D67902C}"), 7},
    {&TMonitorEventProjectOutOfOrderOutputPacket::Class, GuidLiteral("{DF66BC78-B498-4B1B-AA6B-7213486587BB}"),
     7},
    {&TMonitorEventProjectCompletePacket::Class, GuidLiteral("{6FFCCF27-8329-4B27-8DEB-4C7403F0A0B3}"), 2},
    {&TMonitorEventProjectPacket::Class, GuidLiteral("{17F6523D-832A-466D-A9B6-6F63B2A13DB7}"), 4},
    {&TMonitorEventProjectListPacket::Class, GuidLiteral("{77C96357-0D76-4161-BDEA-C3B27781D7D6}"), 4},
    {&TMonitorEventEmployPacket::Class, GuidLiteral("{F63DBBA1-16A4-4D8A-B772-6A4138F877CC}"), 7},
    {&TMonitorEventUnemployPacket::Class, GuidLiteral("{5CDE534D-B7B3-40F7-B0D4-B2BC04C90FF4}"), 3},
    {&TBuildCacheTaskInfo::Class, GuidLiteral("{0FD35AF1-4A22-40AF-9E96-3342B8B2807E}"), 4},
    {&TMonitorEventBeginStepPacket::Class, GuidLiteral("{8D6F4346-BC8D-47F2-8370-E2A71FF89B01}"), 13},
    {&TMonitorEventEndStepPacket::Class, GuidLiteral("{8052D420-74D9-4218-91FF-CF9A8BE2A6A7}"), 7},
    {&TMonitorEventStepFailedPacket::Class, GuidLiteral("{AB5B11B2-3EB4-481B-8D1B-BBFACCC94D54}"), 2},
    {&TMonitorEventModifyBarHintPacket::Class, GuidLiteral("{E86CDCAF-C0DC-4681-9B1C-E4F44CBAE841}"), 4},
    {&TMonitorEventBeginBarPacket::Class, GuidLiteral("{5BC1C6E8-A4F7-40C4-A655-19FEB7BF7722}"), 5},
    {&TMonitorEventEndBarPacket::Class, GuidLiteral("{D8E8C761-B673-4D8F-86A3-D07ED712B11F}"), 2},
    {&TMonitorEventAddGraphRowPacket::Class, GuidLiteral("{6CC7BED0-9940-446F-8409-13D91945855E}"), 5},
    {&TMonitorEventAddGraphSetPacket::Class, GuidLiteral("{94F07939-3CE8-44D8-AFE0-86ACE5CFBA04}"), 3},
    {&TMonitorEventAddGraphSamplePacket::Class, GuidLiteral("{47DFD582-41CE-471A-ADD0-B78DB6D2C40E}"), 3},
    {&TMonitorEventCloseBrowseDBPacket::Class, GuidLiteral("{D2FE15B2-9767-46CB-8450-800C16FD7B79}"), 1},
    {&TWrapperStatusItemPacket::Class, GuidLiteral("{61A92F45-2142-44C1-819D-34BCE4662CC4}"), 7},
    {&TWrapperStatusPacket::Class, GuidLiteral("{16D64F84-9130-4B22-9EBF-EB3A1D92C71F}"), 1},
};

class MonitorPacketsTest : public test::CatalogueTest {};

// ---- Registration ------------------------------------------------------------------

TEST_F(MonitorPacketsTest, RegistersEveryClassInOrder) {
  const std::int32_t first = GetPacketClassNumber(TGraphDefPacket::Class);
  EXPECT_GT(first, GetPacketClassNumber(TStaticPacket::Class));
  const int n = ExpectRegisteredInOrder(kClasses, first, &TPacket::Class);
  EXPECT_EQ(n, 3 + 31 + 2);
  // The build-cache and profile units come after these.
  EXPECT_EQ(GetPacketClassNumber(TBuildCacheToolChildExclude::Class), first + n);

  for (const UnitEntry* u : {&kGridGraphPacketsUnit, &kMonitorPacketsUnit, &kAgentWrapperPacketsUnit}) {
    u->initialize();
    u->finalize();
  }
  EXPECT_EQ(GetPacketClassNumber(TMonitorEventCloseBrowseDBPacket::Class), first + 33);
}

TEST_F(MonitorPacketsTest, FilledPacketsOfEveryClassRoundTrip) {
  for (const ClassRow& row : kClasses) {
    auto p = row.cls->Create();
    FillGeneric(*p, 1);
    EXPECT_FALSE(p->Equals(*row.cls->Create())) << row.cls->Name();
    test::ExpectRoundTrips(*p);
  }

  // Chosen values in fields of code 0, and the optional member, which the
  // generic fill leaves absent.
  TMonitorEventStartedPacket started;
  FillGeneric(started, 2);
  started.BuildFlags = {1, 2, 3, 4, 5, 6};
  started.ID = GuidLiteral("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  test::ExpectRoundTrips(started);

  TGraphDefPacket def;
  def.Color = 7;
  def.Flags = 0x81;
  test::ExpectRoundTrips(def);

  TMonitorEventBeginStepPacket step;
  FillGeneric(step, 3);
  step.CmdGUID = GuidLiteral("{8D6F4346-BC8D-47F2-8370-E2A71FF89B01}");
  FillGeneric(step.NeedBuildCacheTaskInfo(), 4);
  test::ExpectRoundTrips(step, false);  // the optional member stays present when cleared

  TMonitorEventAddGraphSetPacket set;
  FillGeneric(set, 5);
  ASSERT_EQ(set.SetDefinitionPacket.Graphs.Count(), 2);
  set.SetDefinitionPacket.Graphs.Items(1).Color = 3;
  test::ExpectRoundTrips(set);

  TMonitorEventEmployPacket employ;
  FillGeneric(employ, 6);
  EXPECT_EQ(employ.StaticInfo.Host, "s702");
  test::ExpectRoundTrips(employ);
}

// ---- Graph packets --------------------------------------------------------------------

TEST_F(MonitorPacketsTest, GraphPacketsOnTheWire) {
  EXPECT_EQ(Hex(FieldBytes(TGraphSetDefPacket())), "00 00 00 00 00 00 00 00 00 01 00");
  EXPECT_EQ(Hex(FieldBytes(TGraphSamplePacket())), "00 00 00 00 00");

  TGraphSamplePacket many;
  for (int i = 0; i < 128; ++i) many.Values.Add(i - 64);
  const std::string b = FieldBytes(many);
  ASSERT_EQ(b.size(), 4u + 4 + 512);
  EXPECT_EQ(Hex(b.substr(4, 4)), "01 01 00 00");
  std::int32_t last = 0;
  std::memcpy(&last, b.data() + b.size() - 4, 4);
  EXPECT_EQ(last, 63);
  test::ExpectRoundTrips(many);

  // A set with three graphs keeps them in order.
  TGraphSetDefPacket set;
  set.SetID = 9;
  for (const char* name : {"cpu", "mem", "net"}) set.Graphs.AddNew().DisplayName = name;
  TGraphSetDefPacket a, c;
  LoadFieldsBothWays(a, c, FieldBytes(set), 4);
  for (auto* q : {&a, &c}) {
    EXPECT_TRUE(q->Equals(set));
    ASSERT_EQ(q->Graphs.Count(), 3);
    EXPECT_EQ(q->Graphs.Items(0).DisplayName, "cpu");
    EXPECT_EQ(q->Graphs.Items(2).DisplayName, "net");
  }
}

TEST_F(MonitorPacketsTest, GraphDefinitionFromAnOlderWriter) {
  TGraphDefPacket src;
  src.DisplayName = "g";
  src.DivideBy = 10;
  src.Color = 4;
  src.Flags = 2;
  const std::string full = FieldBytes(src);
  // Five fields: Color and Flags stay 0.
  TGraphDefPacket a, c;
  const std::string five = full.substr(0, full.size() - 4);
  EXPECT_EQ(LoadFieldsBothWays(a, c, five, 5), static_cast<std::int64_t>(five.size()));
  for (auto* q : {&a, &c}) {
    EXPECT_EQ(q->DivideBy, 10);
    EXPECT_EQ(q->Color, 0);
    EXPECT_EQ(q->Flags, 0);
  }
}

TEST_F(MonitorPacketsTest, GraphFieldsWithoutTextAndSampleValues) {
  TGraphDefPacket def;
  std::string text = "untouched";
  EXPECT_EQ(def.FieldToText(5, text), 0);
  EXPECT_EQ(def.FieldToText(6, text), 0);
  EXPECT_EQ(MessageOf<Exception>([&] { def.GetFieldAsInteger(5); }), "Cannot get field as integer: TGraphDefPacket.Color");
  EXPECT_EQ(MessageOf<Exception>([&] { def.SetFieldAsString(6, "1"); }), "Cannot set field as string: TGraphDefPacket.Flags");
  const auto dump = test::Dump(def);
  ASSERT_EQ(dump.size(), 8u);
  EXPECT_EQ(dump[6], "  Color = (?)");
  EXPECT_EQ(dump[7], "  Flags = (?)");

  TGraphSamplePacket a, b;
  for (int v : {1, 2, 3}) a.Values.Add(v);
  for (int v : {9, 8, 7, 6}) b.Values.Add(v);
  b.Assign(a);
  ASSERT_EQ(b.Values.Count(), 3);
  EXPECT_EQ(b.Values.Items(0), 1);
  EXPECT_EQ(b.Values.Items(2), 3);
  EXPECT_TRUE(b.Equals(a));
  EXPECT_EQ(a.GetFieldAsObject(1), &a.Values);
  // Numbers of a sample do not show in its dump.
  EXPECT_EQ(a.FieldToText(1, text), 1);
  EXPECT_EQ(test::Dump(a).back(), "  Values = ");

  b.Values.Clear();
  for (int v : {3, 2, 1}) b.Values.Add(v);
  EXPECT_FALSE(b.Equals(a));
  EXPECT_EQ(Differences(a, b), std::vector<std::int32_t>{1});
}

// ---- Build events: defaults, counters, widths -------------------------------------------

TEST_F(MonitorPacketsTest, CountersStartAtTheirDefaults) {
  TMonitorEventCountPacket count;
  const std::string expected = "00 00 00 00 00 00 00 00 00 00 00 00 FF FF FF FF FF FF FF FF";
  EXPECT_EQ(Hex(FieldBytes(count)), expected);
  count.Built = 5;
  count.Errors = 3;
  count.Clear();
  EXPECT_EQ(Hex(FieldBytes(count)), expected);
  count.Warnings = -1;
  test::ExpectRoundTrips(count);

  TMonitorEventProjectCountPacket project;
  EXPECT_EQ(FieldBytes(project), std::string(4 + 1 + 16, '\0'));

  TMonitorEventOutputPacket out;
  EXPECT_TRUE(out.CreateRegion);
  out.CreateRegion = false;
  out.Clear();
  EXPECT_TRUE(out.CreateRegion);
  EXPECT_EQ(Hex(FieldBytes(out)), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");

  TMonitorEventProjectOutputPacket pout;
  std::string b = FieldBytes(pout);
  EXPECT_EQ(Hex(b), "00 00 00 00 00 00 00 00 00 00 00 00 01");
  pout.ErrorCount = 128;
  EXPECT_EQ(FieldBytes(pout).size(), b.size() + 3);
  EXPECT_EQ(Hex(FieldBytes(pout).substr(10, 4)), "01 01 00 00");

  // Six stored fields: CreateRegion keeps the constructor's True.
  TMonitorEventProjectOutputPacket a, c;
  b.pop_back();
  LoadFieldsBothWays(a, c, b, 6);
  EXPECT_TRUE(a.CreateRegion);
  EXPECT_TRUE(c.CreateRegion);

  out.CreateRegion = false;
  EXPECT_EQ(out.GetFieldAsInteger(5), 0);
  out.SetFieldAsInteger(5, 42);
  EXPECT_TRUE(out.CreateRegion);
  EXPECT_EQ(out.GetFieldAsInteger(5), 1);
  EXPECT_EQ(out.GetFieldAsString(5), "True");
}

TEST_F(MonitorPacketsTest, CompactCountersRefuseNegativeValues) {
  TMonitorEventCompletePacket done;
  EXPECT_EQ(FieldBytes(done).size(), 15u);
  done.ErrorCount = 200;
  EXPECT_EQ(FieldBytes(done).size(), 18u);
  EXPECT_EQ(Hex(FieldBytes(done).substr(9, 4)), "91 01 00 00");  // 401
  done.ExitCode = -3;
  test::ExpectRoundTrips(done);

  auto refused = [](TPacket& p, std::int32_t index) {
    p.SetFieldAsInteger(index, -1);
    TMemoryStream s;
    EXPECT_THROW(SavePacket(p, s), Exception) << p.ClassName() << " " << index;
    EXPECT_EQ(s.Size(), 0);
  };
  TMonitorEventCompletePacket c1;
  refused(c1, 7);
  TMonitorEventProjectOutputPacket c2;
  refused(c2, 4);
  // A compact field inside a list item is checked too.
  TMonitorEventProjectListPacket list;
  list.List.AddNew().TaskCount = -2;
  TMemoryStream s;
  EXPECT_THROW(SavePacket(list, s), Exception);
  EXPECT_EQ(s.Size(), 0);

  // Raw counters carry -1.
  TMonitorEventOutputPacket out;
  out.ErrorCount = -1;
  test::ExpectRoundTrips(out);
  TMonitorEventCountPacket count;
  count.Warnings = -1;
  count.Built = -7;
  test::ExpectRoundTrips(count);

  TMonitorEventEndStepPacket end;
  end.Errors = 200;
  end.ExitCode = 200;
  EXPECT_EQ(Hex(FieldBytes(end)), "00 00 00 00 00 91 01 00 00 00 00 00 C8 00 00 00");

  TMonitorEventAddGraphRowPacket row;
  row.DefaultHeight = 100;
  EXPECT_EQ(Hex(FieldBytes(row)), "00 00 00 00 00 00 C8 00");
  row.DefaultHeight = 1000;
  EXPECT_EQ(Hex(FieldBytes(row)), "00 00 00 00 00 00 D1 07 00 00 00");

  TMonitorEventProjectCompletePacket pc;
  pc.ProjectIndex = 127;
  EXPECT_EQ(Hex(FieldBytes(pc)), "00 00 00 00 FE");
  pc.ProjectIndex = 128;
  EXPECT_EQ(Hex(FieldBytes(pc)), "00 00 00 00 01 01 00 00");

  TMonitorEventEmployPacket employ;
  TMonitorEventUnemployPacket unemploy;
  employ.RowIndex = unemploy.RowIndex = 5;
  EXPECT_EQ(Hex(FieldBytes(employ).substr(5, 4)), "05 00 00 00");
  EXPECT_EQ(Hex(FieldBytes(unemploy)), "00 00 00 00 00 0A");
}

TEST_F(MonitorPacketsTest, StoredPacketsWithFewerOrMoreFields) {
  // Two stored fields: IsSuccess stays False.
  TMonitorEventEndCachingPacket src;
  src.ms = 12;
  src.WorkerID = "w";
  src.IsSuccess = true;
  const std::string full = FieldBytes(src);
  TMonitorEventEndCachingPacket a, c;
  EXPECT_EQ(LoadFieldsBothWays(a, c, full.substr(0, 6), 2), 6);
  EXPECT_FALSE(a.IsSuccess);
  EXPECT_EQ(c.WorkerID, "w");

  // A newer writer's extra field is skipped.
  const std::string newer = StandAlone(TMonitorEventEndCachingPacket::Class, 4, full + "\x07\x00");
  for (bool buffer : {true, false}) {
    std::unique_ptr<TPacket> p;
    std::int64_t end = 0;
    if (buffer) {
      TMemoryStream s;
      s.WriteBuffer(newer.data(), static_cast<std::int64_t>(newer.size()));
      s.SetPosition(0);
      p = LoadPacket(s);
      end = s.Position();
    } else {
      test::TPlainStream s(newer);
      p = LoadPacket(s);
      end = s.Position();
    }
    EXPECT_EQ(end, static_cast<std::int64_t>(newer.size()));
    EXPECT_TRUE(p->Equals(src));
  }

  // A stream that ends inside a field fails in both readers.
  test::ExpectBothReadersFail<EReadError>(TMonitorEventMessagePacket::Class, std::string("\x01\x00\x00\x00\x02", 5),
                                          8);
}

TEST_F(MonitorPacketsTest, TimeStampAccessAndComparisons) {
  TMonitorEventStartedPacket s;
  s.ms = -5;
  EXPECT_EQ(s.GetFieldAsString(0), "-5");
  s.SetFieldAsString(0, "");
  EXPECT_EQ(s.ms, 0);
  s.SetFieldAsDouble(0, 2.5);
  EXPECT_EQ(s.ms, 2);
  EXPECT_THROW(s.SetFieldAsString(0, "12a"), EConvertError);
  EXPECT_EQ(s.ms, 2);
  s.ms = 0;
  EXPECT_EQ(MessageOf<Exception>([&] { s.GetFieldAsString(5); }), "Cannot get field as string: TMonitorEventStartedPacket.ID");
  EXPECT_EQ(s.FieldName(7), "IsMSBuilsProject_Obsolete");

  TMonitorEventStartedPacket t;
  t.ID.D1 = 1;
  EXPECT_FALSE(s.Equals(t));
  EXPECT_EQ(Differences(s, t), std::vector<std::int32_t>{5});

  TMonitorEventMessagePacket m1, m2;
  m2.Now = 45000.5;
  EXPECT_EQ(Differences(m1, m2), std::vector<std::int32_t>{2});
  std::string text;
  EXPECT_EQ(m2.FieldToText(2, text), 1);
  EXPECT_EQ(text, "2023-03-15 12:00:00");
  EXPECT_EQ(m2.FieldCaption(2), "Now");
  EXPECT_EQ(m2.FieldItemCaption(2), "");
}

// ---- Projects and agent rows -----------------------------------------------------------------

TEST_F(MonitorPacketsTest, ProjectListAndEmployMembers) {
  TMonitorEventProjectListPacket list;
  EXPECT_EQ(Hex(FieldBytes(list)), "00 00 00 00 00 00 00 00 00 00");
  TMonitorEventProjectListPacket full;
  full.List.AddNew().Name = "a";
  full.List.AddNew().Name = "b";
  // Loading an empty list empties a filled one.
  {
    TMonitorEventProjectListPacket x, y;
    x.Assign(full);
    y.Assign(full);
    LoadFieldsBothWays(x, y, FieldBytes(list), 4);
    EXPECT_TRUE(x.List.IsEmpty());
    EXPECT_TRUE(y.List.IsEmpty());
  }
  TMonitorEventProjectListPacket swapped;
  swapped.List.AddNew().Name = "b";
  swapped.List.AddNew().Name = "a";
  EXPECT_FALSE(swapped.Equals(full));
  EXPECT_EQ(Differences(swapped, full), std::vector<std::int32_t>{3});

  // The static description is always written, as a whole packet.
  TMonitorEventEmployPacket employ;
  const std::string b = FieldBytes(employ);
  B expected;
  expected.zeros(4).str("").i32(0).bytes(SaveBytes(TStaticPacket())).str("").str("").u8(0);
  EXPECT_EQ(Hex(b), Hex(expected.s));

  // Three stored fields leave the member and the later fields as they were.
  TMonitorEventEmployPacket x, y;
  for (auto* q : {&x, &y}) {
    q->StaticInfo.Host = "kept";
    q->Caption = "cap";
    q->Local = true;
  }
  LoadFieldsBothWays(x, y, b.substr(0, 9), 3);
  for (auto* q : {&x, &y}) {
    EXPECT_EQ(q->StaticInfo.Host, "kept");
    EXPECT_EQ(q->Caption, "cap");
    EXPECT_TRUE(q->Local);
  }

  // Clear keeps the member object and restores its defaults; a change in
  // the member is reported at index 3.
  TStaticPacket* member = &x.StaticInfo;
  x.Clear();
  EXPECT_EQ(&x.StaticInfo, member);
  EXPECT_TRUE(x.StaticInfo.Equals(TStaticPacket()));
  EXPECT_EQ(x.GetFieldAsObject(3), member);
  TMonitorEventEmployPacket z;
  z.StaticInfo.Port = 1;
  EXPECT_EQ(Differences(x, z), std::vector<std::int32_t>{3});

  // A member stored with another class's identity is refused.
  std::string wrong = b;
  const TGUID other = TBenchmarkPacket::Class.GetClassGUID();
  std::memcpy(wrong.data() + 9 + 16, &other, 16);
  EXPECT_NE(MessageOf<Exception>([&] {
              TMonitorEventEmployPacket q;
              test::TPlainStream s(wrong);
              std::int32_t remaining = 7;
              q.LoadFields(s, remaining, nullptr);
            }).find("Incompatible packet class"),
            std::string::npos);
}

// ---- Build steps: the optional build-cache identity -----------------------------------------------

TEST_F(MonitorPacketsTest, BeginStepOptionalMember) {
  TMonitorEventBeginStepPacket fresh;
  const std::string none = FieldBytes(fresh);
  EXPECT_EQ(none.back(), '\0');
  EXPECT_EQ(MessageOf<Exception>([&] { fresh.GetFieldAsObject(12); }),
            "Attempt to access uninitialized member object: TMonitorEventBeginStepPacket.BuildCacheTaskInfo");
  std::string text;
  EXPECT_EQ(fresh.FieldToText(12, text), 1);
  EXPECT_EQ(text, "(null)");
  EXPECT_TRUE(fresh.Equals(TMonitorEventBeginStepPacket()));

  TMonitorEventBeginStepPacket with;
  with.NeedBuildCacheTaskInfo().TaskSignature = u"sig";
  const std::string some = FieldBytes(with);
  EXPECT_EQ(some.substr(0, none.size() - 1), none.substr(0, none.size() - 1));
  EXPECT_EQ(some[none.size() - 1], '\x01');
  EXPECT_EQ(some.substr(none.size()), SaveBytes(*with.BuildCacheTaskInfo.get()));
  EXPECT_FALSE(with.Equals(fresh));
  EXPECT_EQ(Differences(fresh, with), std::vector<std::int32_t>{12});
  EXPECT_EQ(with.FieldToText(12, text), 2);

  // Loading creates the member, or frees it.
  {
    TMonitorEventBeginStepPacket x, y;
    LoadFieldsBothWays(x, y, some, 13);
    EXPECT_TRUE(x.Equals(with));
    EXPECT_TRUE(y.Equals(with));
    LoadFieldsBothWays(x, y, none, 13);
    EXPECT_FALSE(x.BuildCacheTaskInfo.Present());
    EXPECT_FALSE(y.BuildCacheTaskInfo.Present());
  }
  // Twelve stored fields leave it as it was.
  {
    TMonitorEventBeginStepPacket x, y;
    x.Assign(with);
    y.Assign(with);
    LoadFieldsBothWays(x, y, none.substr(0, none.size() - 1), 12);
    EXPECT_TRUE(x.SameBuildCacheTaskInfo(with.BuildCacheTaskInfo.get()));
    EXPECT_TRUE(y.SameBuildCacheTaskInfo(with.BuildCacheTaskInfo.get()));
  }
  // Assign from a packet without one frees the target's; Clear keeps a
  // present member, emptied.
  TMonitorEventBeginStepPacket target;
  target.Assign(with);
  EXPECT_NE(target.BuildCacheTaskInfo.get(), with.BuildCacheTaskInfo.get());
  EXPECT_EQ(target.GetBuildCacheTaskInfo().TaskSignature, u"sig");
  target.Clear();
  ASSERT_TRUE(target.BuildCacheTaskInfo.Present());
  EXPECT_TRUE(target.GetBuildCacheTaskInfo().TaskSignature.empty());
  target.Assign(fresh);
  EXPECT_FALSE(target.BuildCacheTaskInfo.Present());
  EXPECT_TRUE(target.SameBuildCacheTaskInfo(nullptr));
  target.SetBuildCacheTaskInfo(with.BuildCacheTaskInfo.get());
  EXPECT_TRUE(target.Equals(with));
  target.FreeBuildCacheTaskInfo();
  EXPECT_TRUE(target.Equals(fresh));

  // Wide strings keep characters beyond 8-bit text exactly; the string
  // accessors give the 8-bit form.
  TBuildCacheTaskInfo info;
  info.TaskSignature = u"a\u4E2D\u00E9";
  info.SrcFileHash = u"h";
  test::ExpectRoundTrips(info);
  EXPECT_EQ(Hex(FieldBytes(info).substr(0, 7)), "06 61 00 2D 4E E9 00");
  EXPECT_EQ(info.GetFieldAsString(0), "a\xE4\xB8\xAD\xC3\xA9");
  TBuildCacheTaskInfo upper;
  upper.Assign(info);
  upper.TaskSignature = u"A\u4E2D\u00E9";
  EXPECT_FALSE(upper.Equals(info));
}

// ---- Graph events ---------------------------------------------------------------------------------

TEST_F(MonitorPacketsTest, GraphEventsHoldTheirGraphPackets) {
  TMonitorEventCloseBrowseDBPacket close;
  EXPECT_EQ(FieldBytes(close), std::string(4, '\0'));
  EXPECT_EQ(SaveBytes(close).substr(8, 4), std::string("\x01\x00\x00\x00", 4));

  TMonitorEventAddGraphSamplePacket sample;
  EXPECT_EQ(Hex(FieldBytes(sample)), Hex(std::string(5, '\0') + SaveBytes(TGraphSamplePacket())));

  TMonitorEventAddGraphSetPacket set;
  set.SetDefinitionPacket.SetID = 4;
  set.SetDefinitionPacket.Graphs.AddNew().Units = "%";
  TGraphSetDefPacket* member = &set.SetDefinitionPacket;
  EXPECT_EQ(set.GetFieldAsObject(2), member);
  TMonitorEventAddGraphSetPacket other;
  EXPECT_EQ(Differences(set, other), std::vector<std::int32_t>{2});
  other.Assign(set);
  EXPECT_TRUE(other.Equals(set));
  EXPECT_NE(&other.SetDefinitionPacket.Graphs.Items(0), &set.SetDefinitionPacket.Graphs.Items(0));
  set.Clear();
  EXPECT_EQ(&set.SetDefinitionPacket, member);
  EXPECT_TRUE(set.SetDefinitionPacket.Graphs.IsEmpty());
  EXPECT_TRUE(set.Equals(TMonitorEventAddGraphSetPacket()));

  const auto dump = test::Dump(other);
  const std::vector<std::string> expected = {
      "(TMonitorEventAddGraphSetPacket)",
      "  ms = 0",
      "  RowID = ''",
      "  SetDefinitionPacket = ",
      "    (TGraphSetDefPacket)",
      "      SetID = 4",
      "      DisplayName = ''",
      "      Graphs = ",
      "        [1/1]",
      "        (TGraphDefPacket)",
      "          DisplayName = ''",
      "          Description = ''",
      "          Units = '%'",
      "          DivideBy = 0",
      "          DefaultScale = 0",
      "          Color = (?)",
      "          Flags = (?)",
      "        ",
      "      Flags = (?)",
      "    ",
  };
  EXPECT_EQ(dump, expected);
}

// ---- Wrapper status ---------------------------------------------------------------------------------

TEST_F(MonitorPacketsTest, WrapperStatusSizesAndTimes) {
  TWrapperStatusItemPacket item;
  EXPECT_EQ(FieldBytes(item), std::string(30, '\0'));

  item.CompilerSize = 4294967295u;
  std::string text;
  EXPECT_EQ(item.FieldToText(3, text), 1);
  EXPECT_EQ(text, "4294967295");
  EXPECT_EQ(item.GetFieldAsString(3), "4294967295");
  EXPECT_EQ(item.GetFieldAsInteger(3), -1);
  EXPECT_EQ(item.GetFieldAsDouble(3), 4294967295.0);
  test::ExpectRoundTrips(item);
  item.SetFieldAsDouble(6, 4294967296.0 + 7);
  EXPECT_EQ(item.WrapperSize, 7u);
  item.SetFieldAsString(6, "-2");
  EXPECT_EQ(item.WrapperSize, 4294967294u);

  item.CompilerLastWriteTime = (std::int64_t{1} << 32) + 5;
  EXPECT_EQ(item.GetFieldAsInteger(2), 5);
  EXPECT_EQ(item.GetFieldAsString(2), "4294967301");
  EXPECT_EQ(item.GetFieldAsDouble(2), 4294967301.0);
  item.SetFieldAsInteger(2, -1);
  EXPECT_EQ(item.CompilerLastWriteTime, -1);
  EXPECT_THROW(item.SetFieldAsString(5, "4294967296"), EConvertError);
  item.SetFieldAsDouble(5, 1e12);
  EXPECT_EQ(item.WrapperLastWriteTime, 1000000000000);

  TWrapperStatusPacket status;
  EXPECT_EQ(FieldBytes(status), std::string(4, '\0'));
  for (int i = 0; i < 3; ++i) status.Items.AddNew().CompilerPath = "c" + std::to_string(i);
  TWrapperStatusPacket x, y;
  LoadFieldsBothWays(x, y, FieldBytes(status), 1);
  ASSERT_EQ(x.Items.Count(), 3);
  EXPECT_EQ(x.Items.Items(2).CompilerPath, "c2");
  EXPECT_TRUE(x.Equals(status));
  EXPECT_TRUE(y.Equals(status));
}

}  // namespace
}  // namespace vt
