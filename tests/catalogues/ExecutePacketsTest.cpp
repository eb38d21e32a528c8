// Remote task execution packets: edits, incremental files, directories,
// output files, results and the parent process.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogues/BuildPackets.h"
#include "CatalogueTestSupport.h"

namespace vt {
namespace {

using namespace test;

void Put(TStream& s, const std::string& bytes) { s.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size())); }

void Fill(TExecuteIncrementalFilePacket& p, int seed) {
  p.Path = "obj\\" + std::to_string(seed) + ".obj";
  p.Revision = 10 + seed;
  p.ContinueWithExistingFile = true;
  p.BaseRevision = seed;
  p.SyncPath = "sync";
  p.LargeFile = seed % 2 == 0;
}

void Fill(TExecuteResultPacket& p) {
  p.ExitCode = -1073741819;
  p.KernelTime = 0x200000007ll;
  p.UserTime = 123;
  p.StdOutText = "compiled\r\n";
  Fill(p.IncrementalFiles.AddNew(), 1);
  Fill(p.IncrementalFiles.AddNew(), 2);
  Put(p.MetaOutput, std::string("\0meta", 5));
  p.StdErrText = "warning";
  Put(p.PdbActionStream, "pdb");
  p.PossibleInputFilesAccessed.Add("a.h");
  p.PossibleInputFilesAccessed.Add("b.h");
  p.MissingDirect3DFileName = "d3dx9_43.dll";
}

class ExecutePacketsTest : public test::CatalogueTest {};

TEST_F(ExecutePacketsTest, FilledPacketsRoundTrip) {
  TExecuteSearchReplaceFilePacket edits;
  edits.Path = "version.h";
  auto& e = edits.Items.AddNew();
  e.CaseSensitive = true;
  e.SearchForContent = "1.0";
  e.ReplaceWithContent = std::string("2.0\0", 4);
  edits.Items.AddNew().IncludeTerminatingNull = true;
  ExpectRoundTrips(edits);
  ExpectRoundTrips(e);

  TExecuteIncrementalFilePacket inc;
  Fill(inc, 3);
  ExpectRoundTrips(inc);

  TExecuteDirContentPacket dir;
  dir.DirName = "include";
  Put(dir.DirData, std::string(70000, 'd'));
  ExpectRoundTrips(dir);

  TExecuteCommonDirPacket common;
  common.DirName = "out";
  common.FileMask = "*.obj";
  common.ScanOutputText = true;
  common.DeleteCached = true;
  common.ExistingFiles.Add("x.obj");
  ExpectRoundTrips(common);

  TExecuteOutputFilePacket out;
  out.Path = "x.exe";
  out.Incremental = true;
  ExpectRoundTrips(out);

  TExecuteResultPacket result;
  Fill(result);
  ExpectRoundTrips(result);

  TParentProcessIDPacket parent;
  parent.PID = 4242;
  parent.Timestamp = -5;
  ExpectRoundTrips(parent);
}

TEST_F(ExecutePacketsTest, SearchContentIsAByteString) {
  TExecuteSearchReplacePacket p;
  p.SearchForContent = std::string("a\0b", 3);
  const std::string b = SaveBytes(p);
  // Two Booleans, then the compact length 3 and the bytes, then the empty
  // replacement.
  EXPECT_EQ(b.substr(32), std::string("\x00\x00\x06" "a\0b" "\x00", 7));
  TExecuteSearchReplacePacket q;
  LoadInto(q, b);
  EXPECT_EQ(q.SearchForContent, std::string("a\0b", 3));
  std::string text;
  EXPECT_EQ(q.FieldToText(2, text), 1);
  EXPECT_EQ(text, "'a b'");
}

TEST_F(ExecutePacketsTest, OutputFileBooleans) {
  TExecuteOutputFilePacket p;
  p.Path = "o";
  p.Persistent = p.PullAsSinglePart = p.Incremental = p.LargeFile = true;
  EXPECT_EQ(SaveBytes(p).substr(32), std::string("\x02o\x01\x01\x01\x01", 6));
  EXPECT_EQ(Dump(p), (std::vector<std::string>{"(TExecuteOutputFilePacket)", "  Path = 'o'", "  Persistent = True",
                                                "  PullAsSinglePart = True", "  Incremental = True",
                                                "  LargeFile = True"}));
}

TEST_F(ExecutePacketsTest, SixtyFourBitTimes) {
  TExecuteResultPacket p;
  Fill(p);
  EXPECT_EQ(p.GetFieldAsInteger(1), 7);
  EXPECT_EQ(p.GetFieldAsString(1), "8589934599");
  std::string text;
  EXPECT_EQ(p.FieldToText(1, text), 1);
  EXPECT_EQ(text, "8589934599");

  TParentProcessIDPacket parent;
  parent.Timestamp = 0x123456789ll;
  EXPECT_EQ(parent.GetFieldAsInteger(1), 0x23456789);
  EXPECT_EQ(parent.FieldToText(1, text), 1);
  EXPECT_EQ(text, "4886718345");
  EXPECT_EQ(SaveBytes(parent).size(), 32u + 4 + 8);
}

TEST_F(ExecutePacketsTest, ResultFromAnOlderWriter) {
  TExecuteResultPacket p;
  p.ExitCode = 3;
  p.KernelTime = 1;
  p.UserTime = 2;
  p.StdOutText = "out";
  // Stored count 4: the payload stops after StdOutText.
  std::string b = SaveBytes(p);
  b.resize(32 + 4 + 8 + 8 + 4);
  PutU32(b, 4, static_cast<std::uint32_t>(b.size()));
  PutU32(b, 8, 4);
  TExecuteResultPacket q;
  LoadInto(q, b);
  EXPECT_EQ(q.StdOutText, "out");
  EXPECT_EQ(q.IncrementalFiles.Count(), 0);
  EXPECT_TRUE(q.Equals(p));

  // A later writer with one more field: the unknown tail is skipped.
  std::string longer = SaveBytes(p) + std::string("\x07\x00\x00\x00", 4);
  PutU32(longer, 4, static_cast<std::uint32_t>(longer.size()));
  PutU32(longer, 8, 11);
  TExecuteResultPacket r;
  LoadInto(r, longer);
  EXPECT_TRUE(r.Equals(p));
}

TEST_F(ExecutePacketsTest, DamagedInputIsRefused) {
  TExecuteDirContentPacket dir;
  dir.DirName = "d";
  Put(dir.DirData, "abc");
  std::string b = SaveBytes(dir);
  PutU32(b, 32 + 2, 0xFFFFFFF0u);  // DirData's length
  TExecuteDirContentPacket q;
  TPointerStream s(b.data(), static_cast<std::int64_t>(b.size()), true);
  EXPECT_THROW(LoadPacketInto(q, s), Exception);
  TPlainStream plain(b);
  EXPECT_THROW(LoadPacketInto(q, plain), Exception);

  // A list count far beyond the data.
  TExecuteSearchReplaceFilePacket edits;
  edits.Items.AddNew();
  std::string e = SaveBytes(edits);
  PutU32(e, 32 + 1, 0x10000000u);  // Items' count
  TExecuteSearchReplaceFilePacket r;
  TPointerStream s2(e.data(), static_cast<std::int64_t>(e.size()), true);
  EXPECT_THROW(LoadPacketInto(r, s2), Exception);
  TPlainStream plain2(e);
  EXPECT_THROW(LoadPacketInto(r, plain2), Exception);

  // A list item of another class is refused.
  TExecuteResultPacket result;
  result.IncrementalFiles.Add(std::make_unique<TExecuteSearchReplacePacket>());
  std::string x = SaveBytes(result);
  TExecuteResultPacket t;
  TPointerStream s3(x.data(), static_cast<std::int64_t>(x.size()), true);
  EXPECT_THROW(LoadPacketInto(t, s3), Exception);
}

TEST_F(ExecutePacketsTest, ClearRestoresEmptyObjects) {
  TExecuteResultPacket p;
  Fill(p);
  TVirtualStream* meta = &p.MetaOutput;
  p.Clear();
  EXPECT_EQ(&p.MetaOutput, meta);
  EXPECT_EQ(p.MetaOutput.Size(), 0);
  EXPECT_EQ(p.IncrementalFiles.Count(), 0);
  EXPECT_EQ(p.PossibleInputFilesAccessed.Count(), 0);
  EXPECT_TRUE(p.Equals(TExecuteResultPacket()));
}

}  // namespace
}  // namespace vt
