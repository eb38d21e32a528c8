// Stream fields lent in place by a mapped file: afterwards they behave as
// fields that own their memory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PacketTestClasses.h"
#include "common/FileStreams.h"
#include "common/PacketCompression.h"
#include "support/InPageError.h"
#include "support/TestFiles.h"

namespace vt::test {
namespace {

class PacketLendingTest : public TempFolderTest {
 protected:
  void SetUp() override { RegisterTestPackets(); }

  // A packet file whose stream field holds Size bytes of Fill.
  std::string PacketFile(const std::string& name, std::int64_t size, char fill) {
    TAllKindsPacket p;
    FillAllKinds(p);
    p.Data.Clear();
    p.Data.WriteBuffer(std::string(static_cast<std::size_t>(size), fill).data(), size);
    TVirtualStream out;
    SavePacket(p, out);
    WriteFileText(P(name), std::string(static_cast<const char*>(out.Memory()), static_cast<std::size_t>(out.Size())));
    return P(name);
  }

  static void LoadLent(TAllKindsPacket& p, TMappedFileStream& file) {
    file.SetPosition(0);
    LoadPacketInto(p, file);
  }

  static std::string Content(TVirtualStream& s) {
    return std::string(static_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
  }
};

TEST_F(PacketLendingTest, LentFieldLoadsAgainAndTakesAssignments) {
  TMappedFileStream big(PacketFile("big", 200000, 'b'), fmOpenRead | fmShareDenyWrite, 0, 0);
  big.SetLendBytes(true);
  TMappedFileStream small(PacketFile("small", 1000, 's'), fmOpenRead | fmShareDenyWrite, 0, 0);

  TAllKindsPacket p;
  LoadLent(p, big);
  ASSERT_EQ(p.Data.MemoryKind(), TStreamMemoryKind::Lent);
  EXPECT_EQ(Content(p.Data), std::string(200000, 'b'));

  // A smaller stream loaded into it: sized to exactly the stored length.
  LoadLent(p, small);
  EXPECT_NE(p.Data.MemoryKind(), TStreamMemoryKind::Lent);
  EXPECT_EQ(p.Data.Size(), 1000);
  EXPECT_EQ(p.Data.Capacity(), 1000);
  EXPECT_EQ(p.Data.Position(), 0);
  EXPECT_EQ(Content(p.Data), std::string(1000, 's'));

  // Assigned over: a copy of the source, whatever size.
  LoadLent(p, big);
  ASSERT_EQ(p.Data.MemoryKind(), TStreamMemoryKind::Lent);
  TAllKindsPacket source;
  LoadLent(source, small);
  p.Assign(source);
  EXPECT_TRUE(p.Equals(source));
  EXPECT_EQ(Content(p.Data), std::string(1000, 's'));
  LoadLent(p, big);
  source.Data.SetSize(300000);
  p.Assign(source);
  EXPECT_EQ(p.Data.Size(), 300000);
  EXPECT_TRUE(p.Equals(source));

  // An empty stream loaded over a lent one leaves it empty.
  LoadLent(p, big);
  TAllKindsPacket empty_data;
  FillAllKinds(empty_data);
  empty_data.Data.Clear();
  TVirtualStream bytes;
  SavePacket(empty_data, bytes);
  bytes.SetPosition(0);
  LoadPacketInto(p, bytes);
  EXPECT_EQ(p.Data.Size(), 0);
}

TEST_F(PacketLendingTest, WritesAndResizesGoToAPrivateCopy) {
  TMappedFileStream big(PacketFile("big", 100000, 'b'), fmOpenRead | fmShareDenyWrite, 0, 0);
  big.SetLendBytes(true);
  // The same bytes lent twice point at one place.
  TAllKindsPacket a, b;
  LoadLent(a, big);
  LoadLent(b, big);
  ASSERT_EQ(a.Data.Memory(), b.Data.Memory());

  a.Data.SetPosition(10);
  a.Data.WriteBuffer("XY", 2);
  EXPECT_NE(a.Data.Memory(), b.Data.Memory());
  EXPECT_EQ(Content(a.Data).substr(8, 6), "bbXYbb");
  EXPECT_EQ(Content(b.Data), std::string(100000, 'b'));
  EXPECT_EQ(a.Data.Position(), 12);

  // Grown and shrunk, the content is kept up to the new size.
  b.Data.SetSize(150000);
  EXPECT_EQ(Content(b.Data).substr(0, 100000), std::string(100000, 'b'));
  TAllKindsPacket c;
  LoadLent(c, big);
  c.Data.SetSize(10);
  EXPECT_EQ(Content(c.Data), std::string(10, 'b'));

  // A lent field outlives the file stream that lent it.
  TAllKindsPacket d;
  {
    TMappedFileStream again(P("big"), fmOpenRead | fmShareDenyWrite, 0, 0);
    again.SetLendBytes(true);
    LoadLent(d, again);
  }
  ASSERT_EQ(d.Data.MemoryKind(), TStreamMemoryKind::Lent);
  d.Data.SetPosition(0);
  d.Data.WriteBuffer("Z", 1);
  EXPECT_EQ(Content(d.Data), "Z" + std::string(99999, 'b'));
}

// The file under a lent field cut short: reading, copying, comparing or
// writing the field raises the in-page error instead of a bus error, and a
// read of the mapped stream itself names it.
TEST_F(PacketLendingTest, FieldOfAFileCutShortRaisesTheInPageError) {
  TMappedFileStream file(PacketFile("big", 200000, 'b'), fmOpenRead | fmShareDenyWrite, 0, 0);
  file.SetLendBytes(true);
  TAllKindsPacket p, copy;
  LoadLent(p, file);
  std::filesystem::resize_file(P("big"), 0);
  char buffer[16];
  for (int i = 0; i < 2; ++i) {
    p.Data.SetPosition(100000);
    EXPECT_EQ(test::ExternalCodeOf([&] { p.Data.Read(buffer, sizeof buffer); }), os::kStatusInPageError);
    EXPECT_EQ(test::ExternalCodeOf([&] { p.Data.WriteBuffer("x", 1); }), os::kStatusInPageError);
    EXPECT_EQ(test::ExternalCodeOf([&] { copy.Assign(p); }), os::kStatusInPageError);
    EXPECT_EQ(test::ExternalCodeOf([&] { (void)StreamsEqual(p.Data, p.Data); }), os::kStatusInPageError);
    TMemoryStream saved;
    EXPECT_EQ(test::ExternalCodeOf([&] { SavePacket(p, saved); }), os::kStatusInPageError);
  }
  file.SetPosition(0);
  EXPECT_NE(test::MessageOf([&] { file.Read(buffer, 16); }).find("External exception C0000006"), std::string::npos);
}

// A lent field that holds packets, its file then cut short: loading a
// packet from it (plain or compressed), saving it to another stream or
// compressing it raise the in-page error, every time.
TEST_F(PacketLendingTest, PacketsReadFromALentFieldOfAFileCutShortRaiseTheInPageError) {
  TAllKindsPacket inner;
  FillAllKinds(inner);
  inner.Data.SetSize(100000);
  TAllKindsPacket holder;
  FillAllKinds(holder);
  holder.Data.Clear();
  SavePacket(inner, holder.Data, nullptr, pioCompress);
  const std::int64_t compressed = holder.Data.Size();
  SavePacket(inner, holder.Data);
  TVirtualStream out;
  SavePacket(holder, out);
  WriteFileText(P("holder"),
                std::string(static_cast<const char*>(out.Memory()), static_cast<std::size_t>(out.Size())));
  TMappedFileStream file(P("holder"), fmOpenRead | fmShareDenyWrite, 0, 0);
  file.SetLendBytes(true);
  TAllKindsPacket p;
  LoadLent(p, file);
  ASSERT_EQ(p.Data.MemoryKind(), TStreamMemoryKind::Lent);
  p.Data.SetPosition(compressed);
  EXPECT_TRUE(LoadPacket(p.Data)->Equals(inner));  // read through the stream, still lent
  EXPECT_EQ(p.Data.MemoryKind(), TStreamMemoryKind::Lent);

  std::filesystem::resize_file(P("holder"), 0);
  for (int i = 0; i < 2; ++i) {
    p.Data.SetPosition(compressed);
    EXPECT_EQ(test::ExternalCodeOf([&] { LoadPacket(p.Data); }), os::kStatusInPageError);
    TAllKindsPacket into;
    p.Data.SetPosition(compressed);
    EXPECT_EQ(test::ExternalCodeOf([&] { LoadPacketInto(into, p.Data); }), os::kStatusInPageError);
    TMemoryStream saved;
    EXPECT_EQ(test::ExternalCodeOf([&] { p.Data.SaveToStream(saved); }), os::kStatusInPageError);
    TVirtualStream packed;
    p.Data.SetPosition(0);
    EXPECT_EQ(test::ExternalCodeOf([&] { WritePacketContainer(packed, p.Data); }), os::kStatusInPageError);
    EXPECT_EQ(test::ExternalCodeOf([&] { LoadPacket(p.Data, nullptr, pioCompressed); }),
              os::kStatusInPageError);
  }
}

}  // namespace
}  // namespace vt::test
