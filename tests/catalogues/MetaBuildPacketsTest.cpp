// Meta-build records: nested build command, blobs in two generations,
// attachments and the record list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "catalogues/BuildPackets.h"
#include "CatalogueTestSupport.h"

namespace vt {
namespace {

using namespace test;

void Put(TStream& s, const std::string& bytes) { s.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size())); }

void Fill(TMetaBuildPacket& p, int seed = 0) {
  p.ID = GuidLiteral("{683B05FD-0000-4EDB-9A3B-8A823CC9AA68}");
  p.ID.D2 = static_cast<std::uint16_t>(seed);
  p.Caption = "Release build";
  p.ComputerName = "HOST";
  p.UserName = "builder";
  p.BuildFlags = {1, 0, 0, 0, 0, 0x40};
  p.ErrorCount = 1;
  p.WarningCount = 20;
  p.SystemErrorCount = 3;
  p.SystemWarningCount = 4;
  p.StartTime = 45000.25;
  p.Duration = 0.5;
  p.Cancelled = true;
  Put(p.OldMonitorEvents, "old-monitor");
  p.ProductVersion = 9;
  p.ProductBuildNum = 1234 + seed;
  p.ProductVersionText = "9.1";
  p.SystemAutoRecoveryCount = 2;
  Put(p.OldBuildLog, std::string("log\0bytes", 9));
  p.ProjectFormat = "sln";
  p.LoggingLevel = 4;
  p.SegmentedBuildLog = true;
  p.PrimaryFilename = "C:\\src\\x.sln";
  p.Incomplete = true;
  p.Command.Caption = "nested";
  p.Command.OverrideLogLevel = 2;
  p.Command.SelectedSources.Add("a.cpp");
  p.Command.ActiveProjects.AddNew().Name = "x";
  Put(p.OldEventLog, "old-events");
  auto& a = p.Attachments.AddNew();
  a.Filename = "out.txt";
  Put(a.Content, "attached");
  p.Attachments.AddNew().Filename = "empty.bin";
  p.Tag = "nightly";
  Put(p.MonitorEvents, "monitor");
  p.OverrideBuildStatusToSuccess = true;
  p.ExitCode = -2;
  Put(p.BuildLog, std::string(300000, 'L'));
  Put(p.EventLog, "events");
}

class MetaBuildPacketsTest : public test::CatalogueTest {};

TEST_F(MetaBuildPacketsTest, DefaultsAndClear) {
  TMetaBuildPacket p;
  EXPECT_EQ(p.LoggingLevel, -1);
  EXPECT_EQ(p.Command.OverrideLogLevel, -1);
  EXPECT_EQ(p.Command.PluginUpDateVer, -1);
  TBuildCommandPacket* nested = &p.Command;
  Fill(p);
  p.Clear();
  EXPECT_EQ(&p.Command, nested);
  EXPECT_EQ(p.LoggingLevel, -1);
  EXPECT_EQ(p.Command.OverrideLogLevel, -1);
  EXPECT_EQ(p.Command.ActiveProjects.Count(), 0);
  EXPECT_EQ(p.OldBuildLog.Size(), 0);
  EXPECT_EQ(p.BuildLog.Size(), 0);
  EXPECT_EQ(p.EventLog.Size(), 0);
  EXPECT_EQ(p.Attachments.Count(), 0);
  EXPECT_TRUE(p.Equals(TMetaBuildPacket()));
}

TEST_F(MetaBuildPacketsTest, FilledRecordsRoundTrip) {
  TMetaBuildAttachmentPacket attachment;
  attachment.Filename = "a";
  Put(attachment.Content, std::string("\0\1\2", 3));
  ExpectRoundTrips(attachment);

  TMetaBuildPacket p;
  Fill(p);
  ExpectRoundTrips(p);

  TMetaBuildCachePacket cache;
  Fill(cache.Builds.AddNew(), 1);
  Fill(cache.Builds.AddNew(), 2);
  ExpectRoundTrips(cache);

  // Copies are deep: the nested command, the blobs and the attachments.
  TMetaBuildPacket copy;
  copy.Assign(p);
  EXPECT_TRUE(copy.Equals(p));
  p.Command.SelectedSources.Put(0, "b.cpp");
  p.Attachments.Items(0).Content.SetPosition(0);
  Put(p.Attachments.Items(0).Content, "X");
  p.BuildLog.SetPosition(0);
  Put(p.BuildLog, "X");
  EXPECT_EQ(copy.Command.SelectedSources[0], "a.cpp");
  EXPECT_EQ(test::Bytes(copy.Attachments.Items(0).Content), "attached");
  std::vector<int> differ;
  copy.CompareFields(p, [](void* d, std::int32_t i) { static_cast<std::vector<int>*>(d)->push_back(i); }, &differ);
  EXPECT_EQ(differ, (std::vector<int>{23, 25, 30}));
}

TEST_F(MetaBuildPacketsTest, AttachmentContentDifferenceIsField25) {
  TMetaBuildPacket a, b;
  Put(a.Attachments.AddNew().Content, "one");
  Put(b.Attachments.AddNew().Content, "two");
  EXPECT_FALSE(a.Equals(b));
  std::vector<int> differ;
  EXPECT_FALSE(
      a.CompareFields(b, [](void* d, std::int32_t i) { static_cast<std::vector<int>*>(d)->push_back(i); }, &differ));
  EXPECT_EQ(differ, std::vector<int>{25});
}

const std::string kCommandGuid("\x75\x24\xB2\x26\x88\x85\x03\x46\xBB\xCE\x84\x4F\x30\xAE\xDD\x55", 16);

std::size_t CountCommandGuids(const std::string& b) {
  std::size_t n = 0;
  for (std::size_t at = b.find(kCommandGuid); at != std::string::npos; at = b.find(kCommandGuid, at + 1)) ++n;
  return n;
}

TEST_F(MetaBuildPacketsTest, CacheCarriesANestedCommandHeaderPerBuild) {
  TMetaBuildCachePacket cache;
  Fill(cache.Builds.AddNew(), 1);
  cache.Builds.AddNew();
  const std::string b = SaveBytes(cache);
  ASSERT_EQ(CountCommandGuids(b), 2u);
  // Each is a stand-alone header: version 2, total size, 59 fields, zero word.
  for (std::size_t at = b.find(kCommandGuid); at != std::string::npos; at = b.find(kCommandGuid, at + 1)) {
    ASSERT_GE(at, 16u);
    EXPECT_EQ(b.substr(at - 16, 4), std::string("\x02\x00\x00\x00", 4));
    EXPECT_EQ(b.substr(at - 8, 8), std::string("\x3B\x00\x00\x00\x00\x00\x00\x00", 8));
    std::uint32_t total;
    std::memcpy(&total, b.data() + at - 12, 4);
    EXPECT_LE(at - 16 + total, b.size());
  }

  // With a streaming context the class is named once, then referenced.
  TPacketStreamingContext ctx;
  EXPECT_EQ(CountCommandGuids(SaveBytes(cache, &ctx)), 1u);
}

TEST_F(MetaBuildPacketsTest, ChunkedLogLengthForms) {
  TMetaBuildPacket p;
  Put(p.EventLog, "abc");
  // BuildLog and EventLog end the payload.
  const std::string plain = SaveBytes(p);
  EXPECT_EQ(plain.substr(plain.size() - 11), std::string("\x00\x00\x00\x00\x03\x00\x00\x00" "abc", 11));
  TPacketStreamingContext ctx;
  const std::string compact = SaveBytes(p, &ctx);
  EXPECT_EQ(compact.substr(compact.size() - 5), std::string("\x00\x06" "abc", 5));

  TMetaBuildPacket q;
  LoadInto(q, plain);
  EXPECT_TRUE(q.Equals(p));
}

TEST_F(MetaBuildPacketsTest, OlderRecordWithoutChunkedLogs) {
  TMetaBuildPacket p;
  Fill(p);
  p.BuildLog.Clear();
  p.EventLog.Clear();
  // Drop fields 30 and 31 (two empty 4-byte lengths).
  std::string b = SaveBytes(p);
  b.resize(b.size() - 8);
  PutU32(b, 4, static_cast<std::uint32_t>(b.size()));
  PutU32(b, 8, 30);
  TMetaBuildPacket q;
  LoadInto(q, b);
  EXPECT_EQ(q.BuildLog.Size(), 0);
  EXPECT_EQ(q.EventLog.Size(), 0);
  EXPECT_EQ(q.ExitCode, -2);
  EXPECT_TRUE(q.Equals(p));
}

TEST_F(MetaBuildPacketsTest, DamagedLengthsAreRefused) {
  TMetaBuildPacket p;
  Put(p.EventLog, "abc");
  std::string b = SaveBytes(p);
  // EventLog's length claims more than the packet holds.
  PutU32(b, b.size() - 7, 0x7FFFFFF0u);
  TMetaBuildPacket q;
  TPlainStream plain(b);
  EXPECT_THROW(LoadPacketInto(q, plain), Exception);
  TPointerStream s(b.data(), static_cast<std::int64_t>(b.size()), true);
  EXPECT_THROW(LoadPacketInto(q, s), Exception);

  // The nested command's header claims more than the record holds.
  std::string n = SaveBytes(p);
  const std::size_t at = n.find(std::string("\x75\x24\xB2\x26", 4)) - 16;
  PutU32(n, at + 4, 0x7FFFFFF0u);
  TPointerStream s2(n.data(), static_cast<std::int64_t>(n.size()), true);
  EXPECT_THROW(LoadPacketInto(q, s2), Exception);
  TPlainStream plain2(n);
  EXPECT_THROW(LoadPacketInto(q, plain2), Exception);
}

TEST_F(MetaBuildPacketsTest, DumpShowsDatesAndNestedCommand) {
  TMetaBuildPacket p;
  Fill(p);
  const auto d = Dump(p);
  const auto has = [&](const std::string& line) { return std::find(d.begin(), d.end(), line) != d.end(); };
  EXPECT_TRUE(has("  StartTime = 2023-03-15 06:00:00"));
  EXPECT_TRUE(has("  Duration = 12:00:00"));
  EXPECT_TRUE(has("  BuildFlags = (?)"));
  EXPECT_TRUE(has("  OldBuildLog = (size = 9)"));
  EXPECT_TRUE(has("  BuildLog = (size = 300000)"));
  EXPECT_TRUE(has("  Command = "));
  EXPECT_TRUE(has("    (TBuildCommandPacket)"));
  EXPECT_TRUE(has("      Caption = 'nested'"));
  EXPECT_THROW(p.GetFieldAsString(4), Exception);
}

}  // namespace
}  // namespace vt
