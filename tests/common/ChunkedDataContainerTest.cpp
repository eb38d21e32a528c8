#include "common/ChunkedDataContainer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/StreamUtils.h"
#include "support/PipeFeed.h"

namespace vt {
namespace {

std::vector<std::uint8_t> Pattern(std::int64_t n, int seed = 0) {
  std::vector<std::uint8_t> v(static_cast<size_t>(n));
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i * 13 + i / 4099 + seed);
  return v;
}

TEST(ChunkedDataContainer, ChunkBoundaries) {
  const std::int64_t chunk = TChunkedDataContainer::ChunkSize();
  EXPECT_EQ(chunk, ::sysconf(_SC_PAGESIZE) * 1024);  // the system's page size
  TChunkedDataContainer c;
  const auto data = Pattern(chunk + 10);
  c.WriteBuffer(data.data(), chunk);
  EXPECT_EQ(c.ChunkCount(), 1);
  c.WriteBuffer(data.data() + chunk, 1);
  EXPECT_EQ(c.ChunkCount(), 2);
  c.WriteBuffer(data.data() + chunk + 1, 9);

  // A read that spans the boundary.
  c.SetPosition(chunk - 3);
  std::uint8_t buf[8] = {};
  EXPECT_EQ(c.Read(buf, 8), 8);
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 8),
            std::vector<std::uint8_t>(data.begin() + chunk - 3, data.begin() + chunk + 5));
  // Overwrite across the boundary, then read everything back.
  c.SetPosition(chunk - 2);
  c.WriteBuffer("WXYZ", 4);
  std::vector<std::uint8_t> all(static_cast<size_t>(c.Size()));
  c.SetPosition(0);
  c.ReadBuffer(all.data(), c.Size());
  auto expected = data;
  std::copy_n("WXYZ", 4, expected.begin() + chunk - 2);
  EXPECT_EQ(all, expected);
  EXPECT_EQ(c.Read(buf, 1), 0);  // at the end
}

TEST(ChunkedDataContainer, SeekClampsToTheData) {
  TChunkedDataContainer c;
  c.WriteBuffer("0123456789", 10);
  EXPECT_EQ(c.Seek(100, TSeekOrigin::soBeginning), 10);
  EXPECT_EQ(c.Seek(-5, TSeekOrigin::soBeginning), 0);
  EXPECT_EQ(c.Seek(4, TSeekOrigin::soCurrent), 4);
  EXPECT_EQ(c.Seek(-10, TSeekOrigin::soCurrent), 0);
  EXPECT_EQ(c.Seek(50, TSeekOrigin::soCurrent), 10);
  // From the end: Size + Offset within 0 .. Size.
  EXPECT_EQ(c.Seek(-3, TSeekOrigin::soEnd), 7);
  char b[3];
  c.ReadBuffer(b, 3);
  EXPECT_EQ(std::string(b, 3), "789");
  EXPECT_EQ(c.Seek(3, TSeekOrigin::soEnd), 10);
  EXPECT_EQ(c.Seek(-30, TSeekOrigin::soEnd), 0);
  EXPECT_EQ(c.Size(), 10);  // TStream::GetSize-style probes keep working
}

TEST(ChunkedDataContainer, LoadSaveEqualsAssign) {
  TVirtualStream src;
  src.WriteBuffer("abcdefghij", 10);
  src.SetPosition(0);
  TChunkedDataContainer c;
  c.WriteBuffer("old", 3);
  c.LoadFromStream(src, 10);
  EXPECT_EQ(c.Position(), 10);
  c.WriteBuffer("klmno", 5);
  EXPECT_EQ(c.Size(), 15);
  EXPECT_EQ(c.ChunkCount(), 1);

  TVirtualStream out;
  c.SetPosition(3);
  c.SaveToStream(out);
  EXPECT_EQ(std::string(static_cast<char*>(out.Memory()), out.Size()), "abcdefghijklmno");
  EXPECT_EQ(c.Position(), 15);

  TChunkedDataContainer b;
  b.Assign(c);
  EXPECT_TRUE(b.Equals(c));
  b.SetPosition(0);
  b.WriteBuffer("A", 1);
  EXPECT_FALSE(b.Equals(c));
  b.Assign(b);  // onto itself: unchanged
  EXPECT_EQ(b.Size(), 15);
  b.SetPosition(0);
  char first;
  b.ReadBuffer(&first, 1);
  EXPECT_EQ(first, 'A');

  // Large data through a stream and back.
  const std::int64_t n = TChunkedDataContainer::ChunkSize() * 2 + 77;
  const auto data = Pattern(n, 5);
  TVirtualStream big;
  big.WriteBuffer(data.data(), n);
  big.SetPosition(0);
  TChunkedDataContainer d;
  d.LoadFromStream(big, n);
  EXPECT_EQ(d.ChunkCount(), 3);
  TVirtualStream back;
  d.SaveToStream(back);
  EXPECT_TRUE(StreamsEqual(big, back));
  TChunkedDataContainer e;
  e.Assign(d);
  EXPECT_TRUE(e.Equals(d));
}

TEST(ChunkedDataContainer, LoadRefusesMoreThanTheStreamHolds) {
  TVirtualStream src;
  src.WriteBuffer("abc", 3);
  src.SetPosition(1);
  TChunkedDataContainer c;
  c.WriteBuffer("keep", 4);
  EXPECT_THROW(c.LoadFromStream(src, 3), EReadError);
  EXPECT_EQ(c.Size(), 0);
  EXPECT_THROW(c.LoadFromStream(src, std::int64_t{1} << 40), EReadError);
  c.LoadFromStream(src, 2);
  EXPECT_EQ(c.Size(), 2);
  c.LoadFromStream(src, 0);
  EXPECT_EQ(c.Size(), 0);
}

// Over a pipe: the count is read as the bytes come, across chunks, and
// nothing behind it is taken; a pipe that ends first is the read error and
// leaves the container empty.
TEST(ChunkedDataContainer, LoadsFromAPipe) {
  const std::int64_t chunk = TChunkedDataContainer::ChunkSize();
  for (std::int64_t n : {std::int64_t{1}, chunk, chunk + 1}) {
    SCOPED_TRACE(n);
    std::string bytes(static_cast<std::size_t>(n), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 / 7);
    TChunkedDataContainer c;
    test::TPipeFeed pipe(bytes + "tail");
    c.LoadFromStream(pipe.In(), n);
    EXPECT_EQ(c.Size(), n);
    EXPECT_EQ(c.Position(), n);
    std::string back(bytes.size(), '\0');
    c.SetPosition(0);
    c.ReadBuffer(back.data(), n);
    EXPECT_TRUE(back == bytes);
    EXPECT_EQ(pipe.Rest(), "tail");
    test::TPipeFeed cut(bytes);
    EXPECT_THROW(c.LoadFromStream(cut.In(), n + 1), EReadError);
    EXPECT_EQ(c.Size(), 0);
  }
}

}  // namespace
}  // namespace vt
