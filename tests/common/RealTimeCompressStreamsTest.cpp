#include "common/RealTimeCompressStreams.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/StreamUtils.h"
#include "platform/Environment.h"
#include "support/PacketBytes.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::MessageOf;

Bytes ReadFile(const std::string& name) {
  return test::ReadFileBytes(std::string(VT_TEST_DATA_DIR) + "/quicklz/" + name);
}

// A stream that is not a memory stream, over a byte vector.
struct TPlainStream : test::TPlainStream {
  explicit TPlainStream(const std::vector<std::uint8_t>& b = {}) : test::TPlainStream(std::string(b.begin(), b.end())) {}
};

Bytes ReadAll(TStream& s) {
  Bytes out(static_cast<size_t>(s.Size()));
  s.SetPosition(0);
  s.ReadBuffer(out.data(), static_cast<std::int64_t>(out.size()));
  return out;
}

Bytes Compress(const Bytes& in, std::uint32_t format) {
  TVirtualStream source, target;
  source.WriteBuffer(in.data(), static_cast<std::int64_t>(in.size()));
  source.SetPosition(0);
  const std::int64_t written = CompressToStream(source, source.Size(), target, format);
  EXPECT_EQ(written, target.Size());
  return ReadAll(target);
}

Bytes Decompress(const Bytes& container) {
  TPlainStream source(container);
  TDecompressStream d(&source, 0, 1, false, -1);
  return ReadAll(d);
}

void PutU32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A container built by hand: header, then one block per packet.
Bytes Container(const char* sig, std::uint32_t format, std::uint64_t total, const std::vector<std::pair<std::uint32_t, Bytes>>& blocks) {
  Bytes b(sig, sig + 4);
  PutU32(b, format);
  PutU32(b, static_cast<std::uint32_t>(total));
  if (std::string(sig) == "sdc3") PutU32(b, static_cast<std::uint32_t>(total >> 32));
  for (const auto& [u, packet] : blocks) {
    PutU32(b, static_cast<std::uint32_t>(packet.size() + 4));
    PutU32(b, u);
    b.insert(b.end(), packet.begin(), packet.end());
  }
  return b;
}

Bytes TestData(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = (i / 4096) % 2 ? static_cast<uint8_t>(rng()) : "the quick brown fox "[i % 20];
  return b;
}

TEST(CompressToStream, EmptyInputIsTheHeaderAlone) {
  for (std::uint32_t format : {cfQuickLZ120, cfQuickLZ131}) {
    const Bytes c = Compress({}, format);
    EXPECT_EQ(c, (Bytes{'s', 'd', 'c', '2', static_cast<uint8_t>(format), 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(Decompress(c).empty());
  }
}

TEST(CompressToStream, BlocksSplitAtTheBlockSize) {
  const Bytes mixed = ReadFile("mixed2064384.in");
  ASSERT_EQ(static_cast<std::int64_t>(mixed.size()), kCompressBlockSize);
  Bytes more = mixed;
  more.push_back(0x5A);
  for (std::uint32_t format : {cfQuickLZ120, cfQuickLZ131}) {
    for (const Bytes* in : std::vector<const Bytes*>{&mixed, &more}) {
      TPlainStream s(Compress(*in, format));
      TDecompressStream d(&s, 0, 1, false);
      EXPECT_EQ(d.BlockCount(), in == &mixed ? 1u : 2u);
      EXPECT_EQ(ReadAll(d), *in);
    }
  }
}

TEST(CompressToStream, MemoryAndPlainStreamsGiveTheSameContainer) {
  const Bytes in = TestData(3 * 1000 * 1000, 3);
  for (std::uint32_t format : {cfQuickLZ120, cfQuickLZ131}) {
    const Bytes in_memory = Compress(in, format);
    TPlainStream source(in), target;
    target.WriteBuffer("xyz", 3);  // the container starts at the target's position
    EXPECT_EQ(CompressToStream(source, static_cast<std::int64_t>(in.size()), target, format),
              static_cast<std::int64_t>(in_memory.size()));
    EXPECT_EQ(target.Bytes(), "xyz" + std::string(in_memory.begin(), in_memory.end()));
    EXPECT_LE(static_cast<std::int64_t>(in_memory.size()), 12 + CompressedContainerBound(format, 3000000));
    // Read back from behind the other data: to the source's end, or for its size.
    for (std::int64_t size : {std::int64_t{-1}, static_cast<std::int64_t>(in_memory.size())}) {
      TDecompressStream d(&target, 3, 1, false, size);
      EXPECT_EQ(ReadAll(d), in);
    }
  }
}

TEST(CompressToStream, FormatAndInputErrors) {
  Bytes in(100, 1);
  TVirtualStream source, target;
  source.WriteBuffer(in.data(), 100);
  source.SetPosition(0);
  EXPECT_EQ(MessageOf([&] { CompressToStream(source, 100, target, 2); }), "Unknown compression format (2)");
  source.SetPosition(0);
  EXPECT_THROW(CompressToStream(source, 100, target, 7), EAssertionFailed);
  source.SetPosition(50);
  EXPECT_EQ(MessageOf([&] { CompressToStream(source, 100, target, 3); }),
            "Compression error: Input buffer is smaller than expected.");
  TPlainStream plain(in);
  EXPECT_EQ(MessageOf([&] { CompressToStream(plain, 101, target, 1); }),
            "Compression error: Input buffer is smaller than expected.");
}

// A count beyond what the source holds raises the input error before the
// target is sized for it; counts whose bound passes the largest size
// neither overflow nor size anything.
TEST(CompressToStream, CountsBeyondTheSourceAreRefusedBeforeTheTargetIsSized) {
  const std::string kShort = "Compression error: Input buffer is smaller than expected.";
  TVirtualStream memory_source;
  memory_source.WriteBuffer("0123456789", 10);
  for (const std::int64_t count : {std::int64_t{11}, std::int64_t{1} << 40, INT64_MAX - 5000000, INT64_MAX}) {
    SCOPED_TRACE(count);
    memory_source.SetPosition(0);
    TVirtualStream target;
    EXPECT_EQ(MessageOf([&] { CompressToStream(memory_source, count, target, cfQuickLZ131); }), kShort);
    EXPECT_EQ(target.Size(), 0);
    EXPECT_EQ(target.Capacity(), 0);
    TPlainStream plain_source(Bytes(10, 7));
    EXPECT_EQ(MessageOf([&] { CompressToStream(plain_source, count, target, cfQuickLZ131); }), kShort);
    EXPECT_LE(target.Capacity(), 2 * kCompressBlockSize);  // what one block may take, not the whole count
  }
  memory_source.SetPosition(0);
  TVirtualStream target;
  EXPECT_GT(CompressToStream(memory_source, 10, target, cfQuickLZ131), 12);  // exactly what it holds
  EXPECT_EQ(CompressedContainerBound(cfQuickLZ131, INT64_MAX - 5000000), INT64_MAX);
  // Full blocks, the remainder's bound (an empty one's too), 4 bytes a block and 4 more.
  EXPECT_EQ(CompressedContainerBound(cfQuickLZ131, kCompressBlockSize), kCompressBlockSize + 404 + 404 + 8);
  EXPECT_EQ(CompressedContainerBound(cfQuickLZ131, kCompressBlockSize + 1),
            kCompressBlockSize + 404 + 1 + 404 + 12);
}

// A total beyond 32 bits is written with the "sdc3" header and its 64-bit
// size (the source here runs dry right after the header is written).
TEST(CompressToStream, LargeTotalsUseTheWideHeader) {
  TPlainStream source(Bytes(10, 0));
  TVirtualStream target;
  const std::int64_t count = (std::int64_t{1} << 32) + 5;
  EXPECT_THROW(CompressToStream(source, count, target, cfQuickLZ131), Exception);
  Bytes header = ReadAll(target);
  header.resize(16);
  EXPECT_EQ(header, Container("sdc3", cfQuickLZ131, count, {}));

  // The reader takes "sdc3" and "sdc1" headers.
  const Bytes abc = ReadFile("abc.qlz131");
  EXPECT_EQ(Decompress(Container("sdc3", 3, 3, {{3, abc}})), Bytes({'a', 'b', 'c'}));
  EXPECT_EQ(Decompress(Container("sdc1", 3, 3, {{3, abc}})), Bytes({'a', 'b', 'c'}));
}

// Containers made of reference packets read back exactly.
TEST(TDecompressStream, ReadsContainersOfReferencePackets) {
  for (const char* name : {"mixed2064384", "text65536", "farmatch", "rand4096"}) {
    const Bytes in = ReadFile(std::string(name) + ".in");
    EXPECT_EQ(Decompress(Container("sdc2", 1, in.size(), {{static_cast<uint32_t>(in.size()), ReadFile(std::string(name) + ".qlz120")}})), in);
    EXPECT_EQ(Decompress(Container("sdc2", 3, in.size(), {{static_cast<uint32_t>(in.size()), ReadFile(std::string(name) + ".qlz131")}})), in);
  }
}

TEST(TDecompressStream, RandomAccessDecompressesOnlyTheNeededBlocks) {
  const Bytes in = TestData(3 * kCompressBlockSize + 1000, 5);
  const Bytes c = Compress(in, cfQuickLZ131);
  TPlainStream source(c);
  TDecompressStream d(&source, 0, 2, false);
  ASSERT_EQ(d.BlockCount(), 4u);
  std::uint8_t buf[64];
  d.Seek(2 * kCompressBlockSize + 12345, TSeekOrigin::soBeginning);
  ASSERT_EQ(d.Read(buf, 10), 10);
  EXPECT_EQ(0, std::memcmp(buf, &in[2 * kCompressBlockSize + 12345], 10));
  EXPECT_EQ(d.BlocksDecompressed(), 1);
  ASSERT_EQ(d.Read(buf, 10), 10);  // the same block, from the cache
  EXPECT_EQ(d.BlocksDecompressed(), 1);
  d.Seek(kCompressBlockSize - 20, TSeekOrigin::soBeginning);  // crosses into block 1
  ASSERT_EQ(d.Read(buf, 40), 40);
  EXPECT_EQ(0, std::memcmp(buf, &in[kCompressBlockSize - 20], 40));
  EXPECT_EQ(d.BlocksDecompressed(), 3);
  d.Seek(-5, TSeekOrigin::soEnd);
  EXPECT_EQ(d.Read(buf, 64), 5);
  EXPECT_EQ(0, std::memcmp(buf, &in[in.size() - 5], 5));
  EXPECT_EQ(d.Read(buf, 64), 0);  // at the end
  EXPECT_EQ(d.Seek(0, TSeekOrigin::soCurrent), static_cast<std::int64_t>(in.size()));
  EXPECT_EQ(MessageOf([&] { d.Write(buf, 1); }), "Cannot write to decompressed stream.");
}

// Seeks whose target passes the largest position are refused and leave the
// position where it was; the largest position itself can be reached.
TEST(TDecompressStream, SeeksPastTheLargestPositionAreRefused) {
  const Bytes in = TestData(1000, 3);
  TPlainStream source(Compress(in, cfQuickLZ131));
  TDecompressStream d(&source, 0, 2, false);
  const std::int64_t size = static_cast<std::int64_t>(in.size());
  d.Seek(5, TSeekOrigin::soBeginning);
  EXPECT_THROW(d.Seek(INT64_MAX, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_THROW(d.Seek(INT64_MAX - 4, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_THROW(d.Seek(INT64_MAX, TSeekOrigin::soEnd), EStreamError);
  EXPECT_THROW(d.Seek(INT64_MAX - size + 1, TSeekOrigin::soEnd), EStreamError);
  EXPECT_EQ(d.Seek(0, TSeekOrigin::soCurrent), 5);
  EXPECT_EQ(d.Seek(INT64_MAX - 5, TSeekOrigin::soCurrent), INT64_MAX);
  std::uint8_t b[4];
  EXPECT_EQ(d.Read(b, 4), 0);
  EXPECT_EQ(d.Seek(INT64_MAX - size, TSeekOrigin::soEnd), INT64_MAX);
  d.Seek(-1, TSeekOrigin::soBeginning);
  EXPECT_THROW(d.Seek(INT64_MIN, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_EQ(d.Seek(INT64_MIN + 1, TSeekOrigin::soCurrent), INT64_MIN);
  EXPECT_EQ(d.Read(b, 4), 0);
  d.Seek(-3, TSeekOrigin::soEnd);
  EXPECT_EQ(d.Read(b, 4), 3);
  EXPECT_EQ(0, std::memcmp(b, &in[in.size() - 3], 3));
}

// Bad headers and block maps are refused, and so are packets whose own sizes
// disagree with U and L - 4, before anything is decompressed.
TEST(TDecompressStream, RefusesBadHeadersBlockMapsAndPackets) {
  const Bytes abc = ReadFile("abc.qlz131"), a100 = ReadFile("a100.qlz131");
  auto open = [](const Bytes& b) { return MessageOf([&] { Decompress(b); }); };
  auto one_block = [](std::uint32_t format, std::uint32_t u, const Bytes& packet) {
    return Container("sdc2", format, u, {{u, packet}});
  };
  EXPECT_EQ(open(Container("sdc4", 3, 3, {{3, abc}})), "Decompression error: Header contains an invalid signature.");
  EXPECT_EQ(open(Container("sdc2", 3, 4, {{3, abc}})),
            "Decompression error: Output buffer size does not match total size of source blocks.");
  const std::string bad_block = "Decompression error: Invalid source block size.";
  const Bytes b = one_block(3, 3, abc);
  Bytes l_small = b;
  l_small[12] = 3;  // L below the U field
  EXPECT_EQ(open(l_small), bad_block);
  Bytes past_end = b;
  past_end[12] += 1;  // runs one byte past the container
  EXPECT_EQ(open(past_end), bad_block);
  EXPECT_EQ(open(one_block(3, static_cast<std::uint32_t>(kCompressBlockSize + 1), abc)), bad_block);
  Bytes stub = b;
  stub.insert(stub.end(), {1, 0, 0});  // fewer than 8 bytes of a block
  EXPECT_EQ(open(stub), bad_block);
  Bytes negative = b;
  negative[15] = 0x80;
  EXPECT_EQ(open(negative), bad_block);
  EXPECT_THROW(Decompress(Bytes{'s', 'd', 'c'}), EReadError);

  const std::string mismatch = "Decompression error: Output buffer size mismatch.";
  const std::string short_input = "Decompression error: Input buffer is smaller than expected.";
  EXPECT_EQ(open(one_block(3, 99, a100)), mismatch);
  EXPECT_EQ(open(one_block(3, 100, Bytes(a100.begin(), a100.end() - 1))), short_input);
  EXPECT_EQ(open(one_block(3, 100, Bytes{1, 2})), short_input);
  Bytes flagged = a100;
  flagged[0] |= 4;
  EXPECT_EQ(open(one_block(3, 100, flagged)), mismatch);
  EXPECT_EQ(open(one_block(2, 100, a100)), "Unknown compression format (2)");
  // Blocks of U = 0 hold nothing and are never decompressed.
  EXPECT_EQ(Decompress(Container("sdc2", 3, 100, {{0, Bytes{9, 9}}, {100, a100}})), Bytes(100, 'a'));
}

// A container behind 4 GiB of other data: its block positions pass 32 bits.
TEST(TDecompressStream, BlocksPastFourGiBOfTheSource) {
  struct TFarStream : TStream {
    Bytes bytes;
    std::int64_t start = std::int64_t{4} << 30, position = 0;
    std::int64_t Read(void* buffer, std::int64_t count) override {
      std::int64_t n = 0;
      for (; n < count && position < start + static_cast<std::int64_t>(bytes.size()); ++n, ++position)
        static_cast<std::uint8_t*>(buffer)[n] = position < start ? 0 : bytes[static_cast<size_t>(position - start)];
      return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
      position = origin == TSeekOrigin::soBeginning ? offset
                 : origin == TSeekOrigin::soCurrent ? position + offset
                                                    : start + static_cast<std::int64_t>(bytes.size()) + offset;
      return position;
    }
  } far;
  const Bytes abc = ReadFile("abc.qlz131");
  far.bytes = Container("sdc2", 3, 9, {{3, abc}, {0, {}}, {3, abc}, {3, abc}});
  TDecompressStream d(&far, far.start, 1, false);
  EXPECT_EQ(d.BlockCount(), 3u);
  std::uint8_t buf[9] = {};
  d.Seek(4, TSeekOrigin::soBeginning);
  ASSERT_EQ(d.Read(buf, 5), 5);
  EXPECT_EQ(std::string(buf, buf + 5), "bcabc");
  EXPECT_EQ(d.BlocksDecompressed(), 2);
}

// Damaged containers raise the library's exceptions, never crash.
TEST(TDecompressStream, DamagedContainersFailCleanly) {
  const Bytes good = Compress(TestData(20000, 11), cfQuickLZ131);
  std::mt19937 rng(1);
  for (int i = 0; i < 3000; ++i) {
    Bytes bad = good;
    if (i % 3 == 0) bad.resize(rng() % bad.size());
    else bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    MessageOf<Exception>([&] { Decompress(bad); });
  }
}

TEST(QuickLZLibraryLoading, ReportsMissingBrokenAndIncompleteLibraries) {
  test::TempFolder folder;
  const fs::path& dir = folder.path();
  EXPECT_EQ(MessageOf([&] { quicklz::LoadLibrary131(dir.string()); }), "QuickLZ library not found: QuickLZ131.dll");
  test::WriteFileText(dir / "QuickLZ.dll", "not a library");
  EXPECT_EQ(MessageOf([&] { quicklz::LoadLibrary120(dir.string()); }),
            "Cannot load library '" + (dir / "QuickLZ.dll").string() + "'");
  // The 1.2.0 library under the 1.3.1 name lacks the 1.3.1 entry points.
  const fs::path bin = test::ProgramFolder();
  fs::copy_file(bin / "QuickLZ.dll", dir / "QuickLZ131.dll");
  EXPECT_EQ(MessageOf([&] { quicklz::LoadLibrary131(dir.string()); }),
            "Cannot get address of procedure 'qlz_size_compressed'");
}

// With the process-wide switch set, a library is loaded from a numbered copy in
// the temporary folder: a number taken by other bytes is passed over, an equal
// copy already there is reused.
TEST(QuickLZLibraryLoading, SwitchLoadsFromATemporaryCopy) {
  test::TempFolder temp("vt_qlz_copy");
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ASSERT_TRUE(os::SetEnvironmentVariable("TMPDIR", temp.path().string().c_str()));
  const std::string bin = test::ProgramFolder().string();
  quicklz::LoadLibrary131(bin);
  EXPECT_FALSE(fs::exists(temp.path() / "QuickLZ131.1.dll"));  // off by default: loaded in place
  test::WriteFileText(temp.path() / "QuickLZ131.1.dll", "something else");
  quicklz::LoadFromTempCopies = true;
  const std::string failure = MessageOf<Exception>([&] {
    const quicklz::TLibrary131 lib = quicklz::LoadLibrary131(bin);
    EXPECT_EQ(lib.plain.get_setting(1), quicklz::kMaxCompressScratch);
    quicklz::LoadLibrary131(bin);
  });
  quicklz::LoadFromTempCopies = false;
  os::SetEnvironmentVariable("TMPDIR", old ? saved.c_str() : nullptr);
  EXPECT_EQ(failure, "(no exception)");
  EXPECT_EQ(test::ReadFileBytes(temp.path() / "QuickLZ131.2.dll"),
            test::ReadFileBytes(bin + "/QuickLZ131.dll"));
  EXPECT_FALSE(fs::exists(temp.path() / "QuickLZ131.3.dll"));
}

}  // namespace
}  // namespace vt
