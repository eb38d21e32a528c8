// Build status, attach and build-avoidance statistics packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogues/BuildPackets.h"
#include "CatalogueTestSupport.h"
#include "common/Objects.h"

namespace vt {
namespace {

using namespace test;

void Fill(TBuildStatusPacket& p, int seed = 0) {
  p.BuildID = GuidLiteral("{14F0DF70-0000-4D71-90B9-5048EB7CCAC2}");
  p.BuildID.D2 = static_cast<std::uint16_t>(seed);
  p.BuildClass = "vs";
  p.Caption = "Build " + std::to_string(seed);
  p.DisplayTitle = "title";
  p.DonePercent = 255;
  p.HelpersNeeded = 7;
  p.HelperIDs.Add("agent-1");
  p.HelperIDs.Add("agent-2");
  p.MinWinVer_Major = 6;
  p.MinWinVer_Minor = 1;
  p.RequiredAssemblies_Obsolete.Add("asm");
  p.BuildErrorCount = 2;
  p.BuildWarningCount = -5;
  p.Flags = {0x80, 0, 0, 0, 0, 0x01};
  p.MaxWinVer_Major = 10;
  p.MaxWinVer_Minor = 200;
  p.DisplayWorkPowerMHz = 48000;
  p.DisplayWorkPowerCPUs = 64 + seed;
  p.Only64bitHelpers = true;
  p.WorkerCount = 12;
  p.StartTime = 45000.5;  // 2023-03-15 12:00:00
  p.AvoidLocalExec = true;
  p.LocalCores = 16;
}

void Fill(TBuildAvoidanceStatisticsPacket& p) {
  p.BuildID = "{50FD63A3-CCCD-4FD8-AD08-01223B50FEE3}";
  p.TotalCacheableTasks = 100;
  p.CachedTasks = 40;
  p.CachedTasksTotalProcessingTime = 0x100000005ll;
  p.TotalOriginalItemsTime = -1;
  p.UncachedTasks = 60;
  p.NewCacheTasks = 3;
  p.NewCachedTasksProcessingTime = 1ll << 40;
  p.NewCachedTasksTotalOriginalTime = 9;
  p.NewCachedTasksArtifactsTotalSize = 0x7FFFFFFF;
  p.TotalCacheTime = 123456789012345ll;
  p.DBServer = "db";
  p.CacheLocation = "\\\\server\\cache";
}

class BuildStatusPacketsTest : public test::CatalogueTest {};

TEST_F(BuildStatusPacketsTest, ClassesRegisteredAsServiceMessages) {
  const ClassRow classes[] = {
      {&TBuildStatusPacket::Class, GuidLiteral("{14F0DF70-FB6B-4D71-90B9-5048EB7CCAC2}"), 22},
      {&TAttachToBuildPacket::Class, GuidLiteral("{6E76799D-6424-41CE-9860-16871B0D5DE9}"), 1},
      {&TBuildAvoidanceStatisticsPacket::Class, GuidLiteral("{50FD63A3-CCCD-4FD8-AD08-01223B50FEE3}"), 13},
  };
  const std::int32_t first = GetPacketClassNumber(TBuildStatusPacket::Class);
  EXPECT_GT(first, GetPacketClassNumber(TBuildCommandPacket::Class));
  EXPECT_EQ(ExpectRegisteredInOrder(classes, first, &TCommPacket::Class), 3);
}

// Offsets in a status packet with empty strings and lists: header, GUID,
// three strings, DonePercent, HelpersNeeded, HelperIDs.
constexpr std::size_t kMinWinVerMajorAt = 32 + 16 + 3 + 1 + 4 + 1;
constexpr std::size_t kFlagsAt = kMinWinVerMajorAt + 4 + 4 + 1 + 4 + 4;
constexpr std::size_t kMaxWinVerMajorAt = kFlagsAt + 7;

TEST_F(BuildStatusPacketsTest, StatusWireBytes) {
  TBuildStatusPacket p;
  p.MinWinVer_Major = 6;
  p.MaxWinVer_Major = 6;
  const std::string b = SaveBytes(p);
  EXPECT_EQ(b.substr(kMinWinVerMajorAt, 4), std::string("\x06\x00\x00\x00", 4));
  EXPECT_EQ(b[kMaxWinVerMajorAt], '\x0C');
  // Then MaxWinVer_Minor, MHz, CPUs, Only64bitHelpers, WorkerCount,
  // StartTime, AvoidLocalExec, LocalCores.
  EXPECT_EQ(b.size(), kMaxWinVerMajorAt + 1 + 1 + 4 + 1 + 1 + 4 + 8 + 1 + 4);
  EXPECT_EQ(b.substr(8, 4), std::string("\x16\x00\x00\x00", 4));  // 22 fields
  TBuildStatusPacket q;
  LoadInto(q, b);
  EXPECT_TRUE(q.Equals(p));

  // Compact fields refuse negative values; nothing is written.
  for (int index : {13, 14, 16}) {
    TBuildStatusPacket n;
    n.SetFieldAsInteger(index, -1);
    TMemoryStream s;
    EXPECT_THROW(SavePacket(n, s), Exception) << index;
    EXPECT_EQ(s.Size(), 0);
  }
}

TEST_F(BuildStatusPacketsTest, StatusFlagsStoredWithAnotherWidth) {
  TBuildStatusPacket p;
  Fill(p);
  p.Flags = {1, 2, 3, 4, 5, 6};
  p.Caption.clear();
  p.BuildClass.clear();
  p.DisplayTitle.clear();
  p.HelperIDs.Clear();
  p.RequiredAssemblies_Obsolete.Clear();
  const std::string b = SaveBytes(p);
  ASSERT_EQ(b.substr(kFlagsAt, 7), std::string("\x06\x01\x02\x03\x04\x05\x06", 7));

  std::string shorter = b;
  shorter.replace(kFlagsAt, 7, std::string("\x02\x01\x02", 3));
  PutU32(shorter, 4, static_cast<std::uint32_t>(shorter.size()));
  TBuildStatusPacket q;
  q.Flags = {9, 9, 9, 9, 9, 9};
  LoadInto(q, shorter);
  EXPECT_EQ(q.Flags, (TBuildStatusFlags{1, 2, 0, 0, 0, 0}));
  EXPECT_EQ(q.LocalCores, 16);

  std::string longer = b;
  longer.replace(kFlagsAt, 7, std::string("\x09\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10));
  PutU32(longer, 4, static_cast<std::uint32_t>(longer.size()));
  TBuildStatusPacket r;
  LoadInto(r, longer);
  EXPECT_TRUE(r.Equals(p));
}

TEST_F(BuildStatusPacketsTest, StatusTextAccessorsAndClear) {
  TBuildStatusPacket p;
  Fill(p);
  EXPECT_EQ(p.GetFieldAsInteger(4), 255);
  EXPECT_EQ(p.GetFieldAsString(4), "255");
  EXPECT_THROW(p.GetFieldAsString(12), Exception);
  EXPECT_DOUBLE_EQ(p.GetFieldAsDouble(19), 45000.5);

  const auto d = Dump(p);
  const auto has = [&](const std::string& line) { return std::find(d.begin(), d.end(), line) != d.end(); };
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d[0], "(TBuildStatusPacket)");
  EXPECT_TRUE(has("  DonePercent = 255"));
  EXPECT_TRUE(has("  Flags = (?)"));
  EXPECT_TRUE(has("  StartTime = 2023-03-15 12:00:00"));
  EXPECT_TRUE(has("  BuildWarningCount = -5"));
  EXPECT_TRUE(has("    agent-2"));

  TBuildStatusPacket copy;
  copy.AssignFrom(p);
  EXPECT_TRUE(copy.Equals(p));
  p.HelperIDs.Put(0, "other");
  EXPECT_EQ(copy.HelperIDs[0], "agent-1");
  EXPECT_FALSE(copy.Equals(p));

  p.Clear();
  EXPECT_TRUE(p.Equals(TBuildStatusPacket()));
  EXPECT_EQ(p.HelperIDs.Count(), 0);
  EXPECT_EQ(p.StartTime, 0.0);
}

TEST_F(BuildStatusPacketsTest, FilledPacketsRoundTrip) {
  TBuildStatusPacket status;
  Fill(status);
  ExpectRoundTrips(status);

  TAttachToBuildPacket attach;
  attach.BuildID = GuidLiteral("{6E76799D-6424-41CE-9860-16871B0D5DE9}");
  ExpectRoundTrips(attach);
  EXPECT_EQ(SaveBytes(attach).size(), 32u + 16u);

  TBuildAvoidanceStatisticsPacket stats;
  Fill(stats);
  ExpectRoundTrips(stats);
}

TEST_F(BuildStatusPacketsTest, StatusListKeepsItsItems) {
  TBuildStatusPacketList list;
  for (int i = 0; i < 3; ++i) Fill(list.AddNew(), i);
  for (TPacketStreamingContext* ctx : {static_cast<TPacketStreamingContext*>(nullptr), new TPacketStreamingContext}) {
    TPacketStreamingContext reader;
    TMemoryStream s;
    list.SaveToStream(s, ctx);
    s.SetPosition(0);
    TBuildStatusPacketList loaded;
    loaded.AddNew();
    loaded.LoadFromStream(s, ctx != nullptr ? &reader : nullptr);
    EXPECT_EQ(s.Position(), s.Size());
    ASSERT_EQ(loaded.Count(), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(&loaded.GetItem(i)->ClassType(), &TBuildStatusPacket::Class);
      EXPECT_TRUE(loaded.Items(i).Equals(list.Items(i)));
    }
    EXPECT_TRUE(loaded.Equals(list));
    delete ctx;
  }

  // A list of another item class is refused.
  TBuildCommandProjectPacketList other;
  other.AddNew();
  TMemoryStream s;
  other.SaveToStream(s, nullptr);
  s.SetPosition(0);
  TBuildStatusPacketList target;
  EXPECT_THROW(target.LoadFromStream(s, nullptr), Exception);
}

TEST_F(BuildStatusPacketsTest, AvoidanceStatisticsWireAndText) {
  TBuildAvoidanceStatisticsPacket p;
  Fill(p);
  const std::string b = SaveBytes(p);
  // The string ID, then 4+4+8+8+4+4+8+8+4+8 bytes of counts and times.
  const std::size_t id = 1 + p.BuildID.size();
  EXPECT_EQ(b.size(), 32 + id + 60 + 3 + 1 + p.CacheLocation.size());
  EXPECT_EQ(b.substr(32 + id + 52, 8), std::string("\x79\xDF\x0D\x86\x48\x70\x00\x00", 8));  // TotalCacheTime

  TBuildAvoidanceStatisticsPacket q;
  LoadInto(q, b);
  EXPECT_EQ(q.BuildID, "{50FD63A3-CCCD-4FD8-AD08-01223B50FEE3}");
  EXPECT_EQ(q.GetFieldAsString(0), p.BuildID);
  EXPECT_EQ(q.GetFieldAsInteger(3), 5);  // low 32 bits
  EXPECT_EQ(q.GetFieldAsString(10), "123456789012345");
  const auto d = Dump(q);
  EXPECT_NE(std::find(d.begin(), d.end(), "  NewCachedTasksProcessingTime = 1099511627776"), d.end());
  EXPECT_NE(std::find(d.begin(), d.end(), "  TotalOriginalItemsTime = -1"), d.end());
}

}  // namespace
}  // namespace vt
