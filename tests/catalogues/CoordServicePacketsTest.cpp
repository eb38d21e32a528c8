// Coordinator-service packets: registration, round trips of filled packets
// of every class, wire bytes of fresh and filled packets, defaults restored
// by Clear, short loads, typed access and the forwarding envelope.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CatalogueTestSupport.h"
#include "catalogues/BuildPackets.h"
#include "catalogues/CommRarSupportPackets.h"
#include "catalogues/CoordServicePackets.h"
#include "catalogues/CoordTypes.h"
#include "catalogues/GridServicePackets.h"
#include "catalogues/NetworkConfigPackets.h"
#include "catalogues/PdbForwarderPackets.h"
#include "catalogues/ReportAgentPacket.h"
#include "catalogues/VEPackets.h"
#include "common/PacketContext.h"

namespace vt {
namespace {

using namespace test;

#define ROW(T, G, N) \
  { &T::Class, GuidLiteral(G), N }

// In registration order.
const ClassRow kClasses[] = {
    ROW(TCoordQueryAgentsPacket, "{0B4EAFF7-B66C-4FBC-8499-5373B8CC0F5D}", 1),
    ROW(TCoordQueryAgentsReplyPacket, "{FA129BE9-BEC6-4B19-8CD6-74D845E99D10}", 17),
    ROW(TQueryRolePacket, "{66B8FFBC-C811-41C6-BC06-C5B8F43A839E}", 1),
    ROW(TQueryRoleReplyPacket, "{5991ED60-5A0B-4076-A2F6-EDDECD114BBB}", 9),
    ROW(TQueryRoleSSLPacket, "{9C5B0DF1-5F13-488A-8251-3705B2F24FEE}", 2),
    ROW(TQueryRoleSSLReplyPacket, "{B41A8C22-6639-4A73-960A-B69CA7531462}", 10),
    ROW(TRegisterBuildAvoidancePacket, "{8767CD1D-F832-4128-AB91-1241B77DDA04}", 2),
    ROW(TRegisterBuildAvoidanceReplyPacket, "{BF267515-6D20-400F-9E50-88D097536130}", 2),
    ROW(TForwardToAgentPacket, "{0EA28B3A-DBC4-482B-9915-A8C86E6AF077}", 2),
    ROW(TRefreshPacket, "{9FB3ED78-6F85-4962-8152-0764043D8928}", 1),
    ROW(TRequestQueryStatePacket, "{35EDE35C-26FC-48DD-A1D4-EDA06CC9D319}", 1),
    ROW(TQueryStatePacket, "{E8FED3C2-2BF8-4DFD-8970-68481241E6EE}", 3),
    ROW(TCoordGeneralReplyPacket, "{0C2182FE-C547-4D80-9B9F-6FAF5373A59B}", 1),
    ROW(TTerminatePacket, "{6688C919-3943-4C56-BF8D-C65540E83991}", 1),
    ROW(TUpdateVersionAgentPacket, "{21C5B943-DC68-484D-878C-E6D6F956902A}", 5),
    ROW(TUpdateVersionAgentReplyPacket, "{14C38A72-B40B-463D-8BEA-CA805853E5D3}", 1),
    ROW(TUpdateAllAgentsPacket, "{4B6740D0-1D51-4523-B8A6-63566F347571}", 1),
    ROW(TResetAgentPacket, "{E6F01682-7A1F-4AB9-8F86-674169D28E73}", 1),
    ROW(TSetAgentPriorityPacket, "{6801E196-8434-47C7-BFE4-3C2894A292A7}", 3),
    ROW(TSetAgentCommentPacket, "{8191E0D5-B0AF-4506-9456-58A54D036159}", 1),
    ROW(TSetBuildAvoidanceConfigPacket, "{24EC0314-9825-455F-94C5-4E5AD2FC07EA}", 2),
    ROW(TSetAgentLoggingLevelPacket, "{2FAA27E8-0C58-4AC7-83B2-F57BED0B6704}", 1),
    ROW(TAllocateUpdateIDPacket, "{6D8D1476-7AFE-4567-8348-BC7BE4A612D2}", 1),
    ROW(TAllocateUpdateIDReplyPacket, "{4955281B-1EDB-405E-ABC1-DBAEBA0C985A}", 1),
    ROW(TOpenFirewallAgentPacket, "{6A945B8D-D99E-413E-92C4-B7896E784CA3}", 1),
    ROW(TRetestConnectionAgentPacket, "{D28D8709-5EBD-484C-871C-BBC06D1F00F0}", 1),
    ROW(TAllowAgentEnableDisablePacket, "{D1922C61-76E2-4E92-87BD-9EF5FB5E6ADA}", 2),
    ROW(TSetAgentAllowRemoteAdminPacket, "{F6A89C22-062F-4648-ADD9-4C655D87D9F8}", 2),
    ROW(TClearResizeRecommendAgentPacket, "{4FEE39E5-1592-49E3-AB9C-534BAD209511}", 1),
    ROW(TResizeFileCacheAgentPacket, "{D059024F-3253-457E-8047-9B918B7BB351}", 1),
    ROW(TUpdateAgentBuildCacheSettingsPacket, "{3F45BDE0-9F43-4AAA-8494-34A1F67DD41F}", 3),
    ROW(TSetAgentRemoteCompilerPriorityPacket, "{9048016D-694B-4215-85BC-8F65D82AE8EF}", 1),
    ROW(TSetBuildGroupAgentPacket, "{22C016B3-62A7-4065-AEE3-718782A7A050}", 4),
    ROW(TSetAgentAssignPriorityPacket, "{DBC32DD0-942E-4522-B1D6-BA69A45E40C8}", 2),
    ROW(TCancelUpdateVersionAgentPacket, "{B2BD377E-7608-4A0E-A36C-E9E8F989C8C4}", 1),
    ROW(TCancelUpdateVersionAgentReplyPacket, "{E5F8F307-5CAA-49CA-8453-0DE76D26DD86}", 1),
    ROW(TAgentWakeOnLANPacket, "{AB287347-0B9C-49BB-B81C-33D8BB2E1349}", 1),
    ROW(TAgentWakeOnLANReplyPacket, "{FDDA8CA0-34FE-414B-9135-BEBABA1A6986}", 1),
    ROW(TShowMessagePacket, "{B4DCDB1A-412B-4DCB-BD72-35A56A9DC9F4}", 2),
    ROW(TCoordinatorRoleNotifyPacket, "{220BFBA4-A194-4A6E-AE15-4FD1798C9E90}", 2),
    ROW(TStoreVersionUpdatePacket, "{759A63CD-AD44-459D-83B6-A96BDF5DC5D2}", 4),
    ROW(TInstallVersionUpdatePacket, "{303B24C6-B25F-48F6-A930-C01B3BC4B6B5}", 11),
    ROW(TCoordSettingsRequestPacket, "{665C03B5-D4F0-4A9C-B328-6F64802C5D8D}", 1),
    ROW(TCoordSettingsPacket, "{2F69F120-4684-4F2B-8268-0E1DAA3BD48B}", 44),
    ROW(TAgentShuttingDownPacket, "{6A880748-A3F2-44F6-9853-DCEB9C09B7AE}", 1),
    ROW(TQueryStateReplyPacket, "{50BFF459-25D2-4010-A40B-8113F11B4CB4}", 26),
    ROW(TReleaseCloudAgentPacket, "{EA53285C-2F07-4F74-AE7D-C3BF9746EDC0}", 1),
    ROW(TChangeNimbrelStatusPacket, "{09D1FDC9-8571-47A7-814E-2D61AA53B9D9}", 2),
    ROW(TDeactivateCloudPacket, "{D74E5B7C-8AE5-428F-87A8-BD2E221ED9D2}", 1),
    ROW(TCloudSetSecretPacket, "{FB805959-E460-44AE-A841-1FFFCC6FDAA9}", 1),
    ROW(TBuildGroupsRequest, "{AED12644-C91A-42C3-A07C-AA1C8BD88921}", 4),
    ROW(TBuildGroupsRequestReply, "{0C4EFCCD-5BF7-4047-95B5-6A1887A1EF69}", 1),
    ROW(TCoordSubscribePushRequest, "{90F50C74-C1C9-41FC-9C43-2BA090448909}", 3),
    ROW(TCoordSubscribePushReply, "{06C388CC-692D-4419-AF65-CC9C50656DFF}", 2),
    ROW(TCoordSubscribedTest, "{98017C55-E932-487B-976D-312E657532B6}", 1),
    ROW(TCoordMachineInfoTableValues, "{424BEECC-0297-454E-8775-541289CA7C43}", 13),
    ROW(TCoordAgentInfoTable, "{5ABADEC8-5260-4FF4-8D30-F50EF0784CCA}", 10),
    ROW(TCoordDeleteAgent, "{0FAE2BAD-793A-4839-B39D-0671E6B56A18}", 3),
    ROW(TCoordAgentActivityInfoTable, "{4F0ABBAC-4E5C-4404-8C6F-EEA5BE7CDED7}", 10),
    ROW(TCoordinatorTable, "{6090E260-B8B8-4369-9560-69C2E09E5996}", 7),
    ROW(TAgentErrorsMessagesPacket, "{737E7062-05D5-4C25-B65E-AF65A6371E8A}", 4),
    ROW(TAgentsErrorsMessagesRequestReplyPacket, "{0A7C25DB-5CD5-4A5B-A364-07EA1B231D0D}", 1),
    ROW(TSetUsersDBPacket, "{63C42AC6-C124-4BF0-9ABD-8CE4988C233E}", 1),
    ROW(TUserNotificationsPacket, "{906414A7-ECDB-43F2-A288-2B45A2A0FC29}", 1),
    ROW(TNotifyCloudStatePacket, "{41430832-E1E4-4FA7-B515-C100D85E6E7E}", 1),
    ROW(TConfigureApachePacket, "{3F81FF85-77D0-470C-B074-C193161D8CD3}", 2),
};

#undef ROW

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

class CoordServicePacketsTest : public test::CatalogueTest {};

// ---- Registration and constants ------------------------------------------------------

TEST_F(CoordServicePacketsTest, RegistersEveryClassInOrder) {
  const std::int32_t first = GetPacketClassNumber(TCoordQueryAgentsPacket::Class);
  EXPECT_GT(first, GetPacketClassNumber(TRefreshAgentPacket::Class));
  EXPECT_EQ(ExpectRegisteredInOrder(kClasses, first, &TCommPacket::Class), 66);
  for (const ClassRow& row : kClasses) {
    SCOPED_TRACE(row.cls->Name());
    for (std::int32_t i = 0; i < row.fields; ++i) {
      EXPECT_EQ(row.cls->FieldIndexByName(row.cls->FieldName(i)), i);
      EXPECT_EQ(row.cls->FieldCaption(i), row.cls->FieldName(i));
      EXPECT_EQ(row.cls->FieldItemCaption(i), "");
    }
  }

  // The list's items are registered through their class; running the unit
  // again numbers nothing twice.
  TAgentErrorsMessagesPacketList list;
  EXPECT_EQ(&list.ItemClass(), &TAgentErrorsMessagesPacket::Class);
  kCoordServicePacketsUnit.initialize();
  kCoordServicePacketsUnit.finalize();
  RegisterCoordServicePackets();
  EXPECT_EQ(GetPacketClassNumber(TConfigureApachePacket::Class), first + 65);
  EXPECT_EQ(TCoordQueryAgentsPacket::Class.FieldIndexByName("authenticate"), -1);
  EXPECT_EQ(TCoordQueryAgentsPacket::Class.FieldIndexByName("Authenticate"), 0);
  EXPECT_EQ(TCoordAgentInfoTable::Class.FieldIndexByName("VtSettings"), -1);
  EXPECT_EQ(TCoordinatorTable::Class.FieldIndexByName("vtSettings"), -1);
}

TEST_F(CoordServicePacketsTest, RoleNamesSuffixesAndRoleMap) {
  EXPECT_STREQ(CoordRoleNames[0], "Primary Coordinator");
  EXPECT_STREQ(CoordRoleNames[1], "Backup Coordinator");
  EXPECT_STREQ(CoordNameSuffixes[0], "");
  EXPECT_STREQ(CoordNameSuffixes[1], ".backup");

  TStringIntegerMap* map = CoordRoleMap();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->IndexOf("Primary Coordinator"), -1);
  // A second start keeps the same map.
  kCoordTypesUnit.initialize();
  kCoordTypesUnit.finalize();
  EXPECT_EQ(CoordRoleMap(), map);
  EXPECT_EQ(map->Count(), 0);
}

// ---- Round trips -------------------------------------------------------------------------

TEST_F(CoordServicePacketsTest, FilledPacketsOfEveryClassRoundTrip) {
  for (const ClassRow& row : kClasses) {
    auto p = row.cls->Create();
    FillGeneric(*p, 1);
    EXPECT_FALSE(p->Equals(*row.cls->Create())) << row.cls->Name();
    // The envelope copies into the class it holds, so its clones differ
    // (its own test covers it).
    if (row.cls != &TForwardToAgentPacket::Class) test::ExpectRoundTrips(*p);
  }
}

TEST_F(CoordServicePacketsTest, FieldCountZeroReadsNothingInBothModes) {
  TUpdateAgentBuildCacheSettingsPacket a, b;
  const std::string bytes = StandAlone(TUpdateAgentBuildCacheSettingsPacket::Class, 0, "");
  LoadBothWays(a, b, bytes);
  EXPECT_EQ(a.CacheSizeGB, -1);
  EXPECT_EQ(b.CacheSizeGB, -1);

  std::string data = "xyz";
  TPointerStream s(data.data(), 3, true);
  s.SetPosition(1);
  std::int32_t remaining = 0;
  a.LoadFieldsFromBuffer(s, remaining, nullptr);
  EXPECT_EQ(s.Position(), 1);
}

// ---- Agent queries and roles -------------------------------------------------------------

TEST_F(CoordServicePacketsTest, RoleReplyBytesDefaultCaptionAndShortLoad) {
  TQueryRoleReplyPacket p;
  const std::string whole = SaveBytes(p);
  EXPECT_EQ(
      Hex(whole.substr(0, 32)),
      "02 00 00 00 34 00 00 00 09 00 00 00 00 00 00 00 60 ED 91 59 0B 5A 76 40 A2 F6 ED DE CD 11 4B BB");
  EXPECT_EQ(Hex(whole.substr(32)), "01 00 00 00 00 00 00 0E 56 6F 6E 74 61 72 6F 00 00 00 00 00");

  // A writer that stored 3 fields leaves the caption at its default.
  TQueryRoleReplyPacket src;
  src.Version = 7;
  src.VersionText = "v7";
  src.ProductCaption = "Other";
  const std::string fields = Payload(src).substr(0, 2 + 4 + 3);
  TQueryRoleReplyPacket a, b;
  LoadBothWays(a, b, StandAlone(TQueryRoleReplyPacket::Class, 3, fields));
  for (TQueryRoleReplyPacket* q : {&a, &b}) {
    EXPECT_EQ(q->Version, 7);
    EXPECT_EQ(q->VersionText, "v7");
    EXPECT_EQ(q->ProductCaption, "Vontaro");
  }
  src.Clear();
  EXPECT_EQ(src.ProductCaption, "Vontaro");
  TQueryRoleSSLReplyPacket ssl;
  EXPECT_EQ(ssl.ProductCaption, "Vontaro");
}

TEST_F(CoordServicePacketsTest, AgentQueryReplyStreamLengthFormsAndEnumAccess) {
  TCoordQueryAgentsReplyPacket p;
  EXPECT_EQ(Hex(Payload(p).substr(20, 4)), "00 00 00 00");  // CompressedAgentData, stand-alone
  TPacketStreamingContext ctx;
  TMemoryStream s;
  p.SaveFields(s, &ctx);
  EXPECT_EQ(s.Size(), static_cast<std::int64_t>(Payload(p).size()) - 3);

  std::string text;
  EXPECT_EQ(p.FieldToText(0, text), 0);
  EXPECT_EQ(p.FieldToText(8, text), 1);
  EXPECT_EQ(text, "(size = 0)");
  EXPECT_EQ(p.GetFieldAsObject(8), &p.CompressedAgentData);
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsInteger(0); }),
            "Cannot get field as integer: TCoordQueryAgentsReplyPacket.RoleState");
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsString(14); }),
            "Cannot get field as string: TCoordQueryAgentsReplyPacket.NimbrelState");

  p.Unsubscribed = true;
  EXPECT_EQ(p.GetFieldAsInteger(1), 1);
  p.SetFieldAsString(11, "TRUE");
  EXPECT_TRUE(p.Active);
  p.SetFieldAsString(11, "yes");
  EXPECT_FALSE(p.Active);

  // Same payload, told apart by the class GUID alone.
  EXPECT_EQ(Payload(TQueryRolePacket()), Payload(TCoordQueryAgentsPacket()));
  EXPECT_NE(SaveBytes(TQueryRolePacket()), SaveBytes(TCoordQueryAgentsPacket()));
}

// ---- Agent commands ------------------------------------------------------------------------

TEST_F(CoordServicePacketsTest, AgentCommandBytes) {
  TSetAgentPriorityPacket prio;
  prio.ID = "A7";
  prio.Priority = 3;
  prio.PriorityBonus = 1.5;
  EXPECT_EQ(Hex(SaveBytes(prio)),
            "02 00 00 00 2F 00 00 00 03 00 00 00 00 00 00 00 96 E1 01 68 34 84 C7 47 BF E4 3C 28 94 A2 92 A7 "
            "04 41 37 03 00 00 00 00 00 00 00 00 00 F8 3F");

  TUpdateVersionAgentPacket upd;
  upd.ID = "7";
  upd.Force = true;
  upd.UpdateID = GuidLiteral("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  upd.QuickRollback = true;
  EXPECT_EQ(Hex(Payload(upd)), "02 37 01 00 33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF 01");
  TUpdateVersionAgentPacket a, b;
  LoadBothWays(a, b, StandAlone(TUpdateVersionAgentPacket::Class, 3, Payload(upd).substr(0, 4)));
  EXPECT_TRUE(a.Force);
  EXPECT_FALSE(b.QuickRollback);
  EXPECT_TRUE(GuidsEqual(b.UpdateID, TGUID{}));

  TAllocateUpdateIDPacket alloc;
  EXPECT_EQ(Hex(Payload(alloc)), "00 00 00 00");
  alloc.Installer.WriteBuffer("\x4D\x5A\x90", 3);
  EXPECT_EQ(Hex(Payload(alloc)), "03 00 00 00 4D 5A 90");
  TPacketStreamingContext ctx;
  TMemoryStream s;
  alloc.SaveFields(s, &ctx);
  EXPECT_EQ(Hex(test::Bytes(s)), "06 4D 5A 90");
  alloc.Clear();
  EXPECT_EQ(alloc.GetFieldAsObject(0), &alloc.Installer);
  EXPECT_EQ(alloc.Installer.Size(), 0);
  EXPECT_TRUE(alloc.Equals(TAllocateUpdateIDPacket()));

  TUpdateAgentBuildCacheSettingsPacket cache;
  EXPECT_EQ(Hex(Payload(cache)), "FF FF FF FF 00 00");
  EXPECT_EQ(cache.GetFieldAsString(0), "-1");
  FillGeneric(cache, 1);
  cache.Clear();
  EXPECT_EQ(Hex(Payload(cache)), "FF FF FF FF 00 00");

  TSetBuildGroupAgentPacket group;
  group.ID = "A1";
  group.BuildGroup = group.AvailableGroups = "Main";
  group.Indx = 2;
  EXPECT_EQ(Hex(Payload(group)), "04 41 31 08 4D 61 69 6E 02 00 00 00 08 4D 61 69 6E");

  TSetAgentAllowRemoteAdminPacket admin;
  admin.ID = "A1";
  admin.Allow = true;
  EXPECT_EQ(Hex(Payload(admin)), "04 41 31 01");
  TSetAgentAllowRemoteAdminPacket other;
  other.Assign(admin);
  other.ID = "a1";
  EXPECT_FALSE(other.Equals(admin));
}

TEST_F(CoordServicePacketsTest, RefusedAccessAndConversionErrors) {
  TUpdateVersionAgentPacket upd;
  EXPECT_EQ(MessageOf([&] { upd.GetFieldAsString(3); }),
            "Cannot get field as string: TUpdateVersionAgentPacket.UpdateID");
  TSetAgentPriorityPacket prio;
  EXPECT_EQ(MessageOf([&] { prio.GetFieldAsInteger(2); }),
            "Cannot get field as integer: TSetAgentPriorityPacket.PriorityBonus");
  EXPECT_EQ(MessageOf([&] { prio.GetFieldAsInteger(3); }),
            "Cannot get field as integer: TSetAgentPriorityPacket.");
  EXPECT_EQ(MessageOf([&] { TAgentWakeOnLANPacket().GetFieldAsDouble(0); }),
            "Cannot get field as double: TAgentWakeOnLANPacket.ID");
  prio.Priority = 5;
  EXPECT_THROW(prio.SetFieldAsString(1, "5z"), EConvertError);
  EXPECT_EQ(prio.Priority, 5);
  prio.SetFieldAsString(1, "");
  EXPECT_EQ(prio.Priority, 0);

  EXPECT_FALSE(prio.Equals(TSetAgentAssignPriorityPacket()));
  EXPECT_THROW(prio.Assign(TSetAgentAssignPriorityPacket()), EInvalidCast);

  TCoordMachineInfoTableValues row;
  EXPECT_THROW(row.SetFieldAsString(5, "4294967296"), EConvertError);
  row.SetFieldAsInteger(5, -1);
  EXPECT_EQ(row.VirtualMemory, -1);
}

// ---- Notices, installers, settings and state --------------------------------------------

TEST_F(CoordServicePacketsTest, NoticeAndInstallerBytes) {
  TShowMessagePacket msg;
  msg.MessageSender = "abc";
  EXPECT_EQ(Hex(Payload(msg)), "06 61 62 63 00");

  TCoordinatorRoleNotifyPacket role;
  role.State = 2;
  EXPECT_EQ(Hex(Payload(role)), "01 02 00");
  TCoordinatorRoleNotifyPacket a, b;
  LoadBothWays(a, b, StandAlone(TCoordinatorRoleNotifyPacket::Class, 2, std::string("\x02\x05\x00\x01", 4)));
  for (auto* q : {&a, &b}) {
    EXPECT_EQ(q->State, 5);
    EXPECT_TRUE(q->Reserved);
  }

  TStoreVersionUpdatePacket store;
  store.ID = TStoreVersionUpdatePacket::Class.GetClassGUID();
  EXPECT_EQ(Hex(Payload(store).substr(0, 16)), "CD 63 9A 75 44 AD 9D 45 83 B6 A9 6B DF 5D C5 D2");
  store.ID = TGUID{};
  EXPECT_EQ(Payload(store), Repeat('\0', 28));
  TPacketStreamingContext ctx;
  TMemoryStream s;
  store.SaveFields(s, &ctx);
  EXPECT_EQ(s.Size(), 25);
  const std::string part = Repeat('\x5A', 300);
  store.StreamedPart.WriteBuffer(part.data(), 300);
  EXPECT_EQ(Hex(Payload(store).substr(20, 4)), "2C 01 00 00");
  TMemoryStream s2;
  TPacketStreamingContext ctx2;
  store.SaveFields(s2, &ctx2);
  EXPECT_EQ(Hex(test::Bytes(s2).substr(20, 4)), "59 02 00 00");
  TVirtualStream* stream = &store.StreamedPart;
  store.Clear();
  EXPECT_EQ(&store.StreamedPart, stream);
  EXPECT_TRUE(store.Equals(TStoreVersionUpdatePacket()));

  TInstallVersionUpdatePacket inst;
  EXPECT_EQ(Payload(inst), Repeat('\0', 32));
  TInstallVersionUpdatePacket inst2;
  inst2.RunAsService = true;
  EXPECT_FALSE(inst.Equals(inst2));
  EXPECT_EQ(Differences(inst, inst2), std::vector<std::int32_t>{7});
}

TEST_F(CoordServicePacketsTest, SettingsDefaultsBytesAndShortLoad) {
  TCoordSettingsPacket p;
  const std::string whole = SaveBytes(p);
  EXPECT_EQ(whole.size(), 133u);
  EXPECT_EQ(Hex(whole.substr(4, 8)), "85 00 00 00 2C 00 00 00");
  const std::string payload = whole.substr(32);
  EXPECT_EQ(Hex(payload.substr(0, 30)),
            "33 33 33 33 33 33 D3 3F 0A 00 00 00 96 00 00 00 01 00 00 01 00 01 00 04 00 00 C8 00 00 00");
  EXPECT_EQ(Hex(payload.substr(payload.size() - 3)), "04 24 5E");
  EXPECT_NE(payload.find(std::string("\x00\xFF\xFF\xFF\xFF\x00\xD9\x00\x00\x00", 10)), std::string::npos);
  EXPECT_EQ(p.GetFieldAsString(0), "0.3");

  // Every field changed, then cleared: equal to a new packet again.
  FillGeneric(p, 3);
  EXPECT_EQ(Differences(p, TCoordSettingsPacket()).size(), 44u);
  p.Clear();
  EXPECT_TRUE(p.Equals(TCoordSettingsPacket()));
  EXPECT_EQ(p.Port, 217);
  EXPECT_EQ(p.SslCnValidationPattern, "$^");

  // A writer that stored the first 18 fields.
  TCoordSettingsPacket src;
  src.Port = 4000;
  src.CoordAPIPort = 1;
  const std::string fields = Payload(src);
  const std::size_t port_end = fields.find(std::string("\xA0\x0F\x00\x00", 4)) + 4;
  TCoordSettingsPacket a, b;
  LoadBothWays(a, b, StandAlone(TCoordSettingsPacket::Class, 18, fields.substr(0, port_end)));
  for (auto* q : {&a, &b}) {
    EXPECT_EQ(q->Port, 4000);
    EXPECT_EQ(q->CoordAPIPort, 31100);
    EXPECT_EQ(q->SSLPort, 32103);
    EXPECT_EQ(q->ApachePort, 8000);
  }

  TCoordSettingsPacket near;
  near.MinIdleLevel = 0.30000000000000004;
  EXPECT_EQ(Differences(TCoordSettingsPacket(), near), std::vector<std::int32_t>{0});
  EXPECT_EQ(Hex(Payload(TCoordSettingsRequestPacket())), "00");
}

TEST_F(CoordServicePacketsTest, StateReplyDefaultsAndSubscriberStream) {
  TQueryStateReplyPacket p;
  const std::string whole = SaveBytes(p);
  EXPECT_EQ(whole.size(), 113u);
  const std::string payload = whole.substr(32);
  EXPECT_EQ(Hex(payload.substr(0, 14)), "01 00 00 00 00 00 00 F4 3F 00 96 00 00 00");
  EXPECT_EQ(Hex(payload.substr(payload.size() - 9)), "01 00 00 00 00 00 00 00 00");
  TPacketStreamingContext ctx;
  TMemoryStream s;
  p.SaveFields(s, &ctx);
  EXPECT_EQ(s.Size(), 78);

  const std::string data = Repeat('\x11', 200);
  p.CoordSubscriber.WriteBuffer(data.data(), 200);
  EXPECT_NE(Payload(p).find("\xC8" + std::string(3, '\0') + data), std::string::npos);
  TMemoryStream s2;
  TPacketStreamingContext ctx2;
  p.SaveFields(s2, &ctx2);
  EXPECT_NE(test::Bytes(s2).find("\x91\x01" + std::string(2, '\0') + data), std::string::npos);
  EXPECT_EQ(Differences(p, TQueryStateReplyPacket()), std::vector<std::int32_t>{15});

  p.CloudState = 9;
  TVirtualStream* stream = &p.CoordSubscriber;
  p.Clear();
  EXPECT_EQ(&p.CoordSubscriber, stream);
  EXPECT_EQ(p.CoordSubscriber.Size(), 0);
  EXPECT_EQ(p.CloudState, 1);
  EXPECT_EQ(p.ScreenSaverBonus, 1.5);
  EXPECT_EQ(Hex(Payload(TAgentShuttingDownPacket())), "00");
}

// ---- Cloud, build groups, table rows, agent errors ---------------------------------------

TEST_F(CoordServicePacketsTest, CloudGroupAndSubscriptionBytes) {
  TChangeNimbrelStatusPacket st;
  st.NewState = 3;
  st.UpdatePool = true;
  EXPECT_EQ(Hex(Payload(st)), "01 03 01");
  TChangeNimbrelStatusPacket a, b;
  LoadBothWays(a, b, StandAlone(TChangeNimbrelStatusPacket::Class, 2, std::string("\x00\x01", 2)));
  EXPECT_EQ(a.NewState, 0);
  EXPECT_TRUE(b.UpdatePool);
  TChangeNimbrelStatusPacket c, d;
  LoadBothWays(c, d, StandAlone(TChangeNimbrelStatusPacket::Class, 1, std::string("\x01\x04", 2)));
  EXPECT_EQ(d.NewState, 4);
  EXPECT_FALSE(c.UpdatePool);
  c.SetFieldAsInteger(1, -7);
  EXPECT_EQ(c.GetFieldAsInteger(1), 1);

  TReleaseCloudAgentPacket rel;
  rel.AgentID = "abc";
  EXPECT_EQ(Hex(Payload(rel)), "06 61 62 63");
  rel.AgentID = Repeat('x', 128);
  EXPECT_EQ(Hex(Payload(rel).substr(0, 4)), "01 01 00 00");
  EXPECT_EQ(SaveBytes(TDeactivateCloudPacket()).size(), 33u);

  TBuildGroupsRequest req;
  EXPECT_EQ(SaveBytes(req).size(), 36u);
  EXPECT_EQ(Payload(req), Repeat('\0', 4));
  TBuildGroupsRequest req2;
  req2.Delete = true;
  EXPECT_EQ(Differences(req, req2), std::vector<std::int32_t>{1});

  TCoordSubscribePushRequest push;
  push.Request = true;
  push.Name = "abc";
  push.ID = 1;
  EXPECT_EQ(Hex(Payload(push)), "01 06 61 62 63 01 00 00 00");
  push.ID = -1;
  EXPECT_EQ(Hex(Payload(push).substr(5)), "FF FF FF FF");
  EXPECT_EQ(push.GetFieldAsString(2), "-1");
  push.Name = Repeat('n', 127);
  EXPECT_EQ(Hex(Payload(push).substr(1, 1)), "FE");

  TCoordSubscribePushReply reply;
  reply.Name = "kept";
  TCoordSubscribePushReply fresh;
  const std::string one = StandAlone(TCoordSubscribePushReply::Class, 1, std::string("\x01", 1));
  LoadBothWays(reply, fresh, one);
  EXPECT_EQ(reply.Name, "kept");
  EXPECT_EQ(fresh.Name, "");
  EXPECT_TRUE(fresh.Response);
}

TEST_F(CoordServicePacketsTest, TableRowBytes) {
  TCoordDeleteAgent del;
  EXPECT_EQ(Payload(del), Repeat('\0', 10));
  del.AgentName = "abc";
  del.Timestamp = 1;
  EXPECT_EQ(Hex(Payload(del)), "06 61 62 63 00 01 00 00 00 00 00 00 00");
  del.Timestamp = -1;
  EXPECT_EQ(Hex(Payload(del).substr(5)), "FF FF FF FF FF FF FF FF");
  EXPECT_EQ(del.GetFieldAsString(2), "-1");

  TCoordinatorTable coord;
  EXPECT_EQ(Hex(Payload(coord)), "00 00 01 00 00 00 00 00 00 00 00 00 00 00 00");
  TCoordinatorTable a, b;
  LoadBothWays(a, b, StandAlone(TCoordinatorTable::Class, 3, std::string("\x00\x00\x04\x09\x08\x07\x06", 7)));
  EXPECT_EQ(a.CloudState, 9);
  EXPECT_EQ(b.CloudState, 9);

  TCoordAgentInfoTable src;
  FillGeneric(src, 1);
  TCoordAgentInfoTable c, d;
  std::string fields = Payload(src);
  fields.resize(fields.size() - 8 - (1 + src.vtSettings.size()) - 1);
  LoadBothWays(c, d, StandAlone(TCoordAgentInfoTable::Class, 7, fields));
  EXPECT_EQ(c.IsOnline, src.IsOnline);
  EXPECT_FALSE(d.IsDisabledAsHelper);
  EXPECT_EQ(d.vtSettings, "");
  EXPECT_EQ(d.Timestamp, 0);
}

TEST_F(CoordServicePacketsTest, AgentErrorListReplyAndSmallMessages) {
  TAgentsErrorsMessagesRequestReplyPacket p;
  EXPECT_EQ(Payload(p), Repeat('\0', 4));
  std::string text;
  EXPECT_EQ(p.FieldToText(0, text), 2);
  EXPECT_EQ(text, "(empty list)");
  EXPECT_EQ(p.FieldIndexByName("ErrosAndMessages"), 0);
  EXPECT_EQ(p.FieldIndexByName("ErrorsAndMessages"), -1);

  p.ErrosAndMessages.AddNew();
  EXPECT_EQ(Hex(Payload(p)),
            "01 00 00 00 02 00 00 00 24 00 00 00 04 00 00 00 00 00 00 00 "
            "62 70 7E 73 D5 05 25 4C B6 5E AF 65 A6 37 1E 8A 00 00 00 00");
  TCustomPacketList* list = &p.ErrosAndMessages;
  EXPECT_EQ(p.GetFieldAsObject(0), list);
  p.Clear();
  EXPECT_EQ(&p.ErrosAndMessages, list);
  EXPECT_TRUE(p.ErrosAndMessages.IsEmpty());

  TAgentsErrorsMessagesRequestReplyPacket x, y;
  x.ErrosAndMessages.AddNew().ID = "1";
  x.ErrosAndMessages.AddNew().ID = "2";
  y.ErrosAndMessages.AddNew().ID = "2";
  y.ErrosAndMessages.AddNew().ID = "1";
  EXPECT_EQ(Differences(x, y), std::vector<std::int32_t>{0});

  // An item of another class is refused.
  TAgentsErrorsMessagesRequestReplyPacket bad;
  const std::string item = SaveBytes(TTerminatePacket());
  const std::string fields = std::string("\x01\x00\x00\x00", 4) + item;
  test::ExpectBothReadersFail<Exception>(TAgentsErrorsMessagesRequestReplyPacket::Class, fields, 1);

  TNotifyCloudStatePacket cloud;
  cloud.NimbrelState = 2;
  EXPECT_EQ(Hex(Payload(cloud)), "01 02");
  TNotifyCloudStatePacket e, f;
  LoadBothWays(e, f, StandAlone(TNotifyCloudStatePacket::Class, 1, std::string("\x00", 1)));
  EXPECT_EQ(f.NimbrelState, 0);

  TConfigureApachePacket web;
  web.UIPort = 1;
  web.ServicePort = 256;
  EXPECT_EQ(Hex(Payload(web)), "01 00 00 00 00 01 00 00");

  TUserNotificationsPacket note;
  note.NotificationJson = std::string("{\"a\":\0}", 7) + Repeat('j', 121);
  EXPECT_EQ(Hex(Payload(note).substr(0, 4)), "01 01 00 00");
  TUserNotificationsPacket back;
  test::LoadFieldsBothWays(back, back, test::FieldBytes(note), 1);
  EXPECT_EQ(back.NotificationJson, note.NotificationJson);
}

// ---- Forwarding envelope --------------------------------------------------------------------

TEST_F(CoordServicePacketsTest, EnvelopeHoldsAPlainPacketFirst) {
  TForwardToAgentPacket env;
  ASSERT_NE(env.HeldPacket(), nullptr);
  EXPECT_EQ(&env.HeldPacket()->ClassType(), &TPacket::Class);
  EXPECT_EQ(
      Hex(Payload(env)),
      "00 02 00 00 00 20 00 00 00 00 00 00 00 00 00 00 00 05 52 BF 47 93 89 F5 41 98 E9 03 CB 6E A3 4D 1E");
  EXPECT_EQ(env.GetFieldAsObject(1), env.HeldPacket());

  // A stored field count of 1 keeps the plain packet.
  TForwardToAgentPacket a, b;
  LoadBothWays(a, b, StandAlone(TForwardToAgentPacket::Class, 1, std::string("\x04id", 3)));
  EXPECT_EQ(a.ID, "id");
  EXPECT_EQ(&b.HeldPacket()->ClassType(), &TPacket::Class);
}

TEST_F(CoordServicePacketsTest, EnvelopeCarriesAnyRegisteredPacket) {
  TForwardToAgentPacket env;
  env.ID = "agent";
  auto held = std::make_unique<TTerminatePacket>();
  held->Reserved = true;
  env.SetPacket(std::move(held));

  const std::string bytes = SaveBytes(env);
  TForwardToAgentPacket a, b;
  LoadBothWays(a, b, bytes);
  for (auto* q : {&a, &b}) {
    auto* t = dynamic_cast<TTerminatePacket*>(q->HeldPacket());
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->Reserved);
    EXPECT_EQ(q->ID, "agent");
  }
  EXPECT_TRUE(a.Equals(env));
  // Several envelopes through one streaming context, in both readers.
  TPacketStreamingContext w;
  TMemoryStream cs;
  SavePacket(env, cs, &w);
  SavePacket(env, cs, &w);
  const std::string shared = test::Bytes(cs);
  for (bool buffer : {false, true}) {
    TPacketStreamingContext r;
    std::string copy = shared;
    test::TPlainStream plain(shared);
    TPointerStream mem(copy.data(), static_cast<std::int64_t>(copy.size()), true);
    TStream& in = buffer ? static_cast<TStream&>(mem) : plain;
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(LoadPacket(in, &r)->Equals(env));
    EXPECT_EQ(in.Position(), static_cast<std::int64_t>(shared.size()));
  }

  // Assign keeps the receiver's class: into a plain packet nothing is
  // copied; between different classes the cast fails after ID is copied.
  TForwardToAgentPacket plain;
  plain.Assign(env);
  EXPECT_EQ(&plain.HeldPacket()->ClassType(), &TPacket::Class);
  EXPECT_EQ(plain.ID, "agent");
  TForwardToAgentPacket state;
  state.SetPacket(std::make_unique<TQueryStatePacket>());
  EXPECT_THROW(state.Assign(env), EInvalidCast);
  EXPECT_EQ(state.ID, "agent");
  EXPECT_EQ(Differences(state, env), std::vector<std::int32_t>{1});

  // Clear keeps the held packet's class and clears it.
  auto& qs = static_cast<TQueryStatePacket&>(*state.HeldPacket());
  qs.Name = "n";
  qs.Port = 5;
  state.Clear();
  ASSERT_EQ(&state.HeldPacket()->ClassType(), &TQueryStatePacket::Class);
  EXPECT_EQ(static_cast<TQueryStatePacket&>(*state.HeldPacket()).Port, 0);
  EXPECT_EQ(state.ID, "");

  const std::vector<std::string> dump = Dump(env);
  EXPECT_NE(std::find(dump.begin(), dump.end(), "    (TTerminatePacket)"), dump.end());
  EXPECT_NE(std::find(dump.begin(), dump.end(), "      Reserved = True"), dump.end());
}

TEST_F(CoordServicePacketsTest, EnvelopeWithUnregisteredPacketKeepsItsPacket) {
  TForwardToAgentPacket env;
  env.SetPacket(std::make_unique<TQueryStatePacket>());
  std::string bytes = SaveBytes(env);
  // The nested header's GUID: behind the outer header, the ID and the
  // nested header's first 16 bytes.
  bytes[32 + 1 + 16] ^= 0x5A;
  for (bool buffer : {false, true}) {
    SCOPED_TRACE(buffer);
    TForwardToAgentPacket target;
    auto kept = std::make_unique<TRefreshPacket>();
    TPacket* before = kept.get();
    target.SetPacket(std::move(kept));
    std::string copy = bytes;
    test::TPlainStream plain(bytes);
    TPointerStream mem(copy.data(), static_cast<std::int64_t>(copy.size()), true);
    const std::string message = MessageOf([&] {
      if (buffer) {
        LoadPacketInto(target, mem);
      } else {
        LoadPacketInto(target, plain);
      }
    });
    EXPECT_EQ(message.rfind("Unregistered packet class: {", 0), 0u) << message;
    EXPECT_EQ(target.HeldPacket(), before);
  }
}

TEST_F(CoordServicePacketsTest, EnvelopeWithoutPacketFailsCleanly) {
  TForwardToAgentPacket env;
  env.ID = "x";
  env.SetPacket(nullptr);
  EXPECT_EQ(env.GetFieldAsObject(1), nullptr);
  std::string text;
  EXPECT_EQ(env.FieldToText(1, text), 1);
  EXPECT_EQ(text, "(null)");

  // Saving raises before anything is written, in every form.
  const std::string expected = "Attempt to access uninitialized member object: TForwardToAgentPacket.Packet";
  TMemoryStream s;
  EXPECT_EQ(MessageOf([&] { SavePacket(env, s); }), expected);
  TPacketStreamingContext ctx;
  EXPECT_EQ(MessageOf([&] { SavePacket(env, s, &ctx); }), expected);
  EXPECT_EQ(MessageOf([&] { env.SaveFields(s, nullptr); }), expected);
  EXPECT_EQ(s.Size(), 0);

  // Equality treats "none" as a value; Clear keeps it.
  TForwardToAgentPacket other;
  other.ID = "x";
  other.SetPacket(nullptr);
  EXPECT_TRUE(env.Equals(other));
  TForwardToAgentPacket holding;
  holding.ID = "y";
  EXPECT_FALSE(env.Equals(holding));
  EXPECT_FALSE(holding.Equals(env));
  EXPECT_EQ(Differences(env, holding), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(Differences(holding, env), (std::vector<std::int32_t>{0, 1}));
  env.Clear();
  EXPECT_EQ(env.ID, "");
  EXPECT_EQ(env.HeldPacket(), nullptr);

  // Assign in either direction raises, after copying ID; nothing is freed.
  holding.ID = "z";
  EXPECT_EQ(MessageOf([&] { env.Assign(holding); }), expected);
  EXPECT_EQ(env.ID, "z");
  TPacket* held = holding.HeldPacket();
  EXPECT_EQ(MessageOf([&] { holding.Assign(other); }), expected);
  EXPECT_EQ(holding.HeldPacket(), held);

  // A load gives it a packet again.
  TForwardToAgentPacket source;
  source.SetPacket(std::make_unique<TRefreshPacket>());
  TMemoryStream m;
  SavePacket(source, m);
  m.SetPosition(0);
  LoadPacketInto(env, m);
  ASSERT_NE(env.HeldPacket(), nullptr);
  EXPECT_TRUE(env.Equals(source));
}

}  // namespace
}  // namespace vt
