#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/ChunkedDataContainer.h"
#include "common/RealTimeCompressStreams.h"
#include "common/StreamUtils.h"
#include "platform/VirtualMemory.h"
#include "support/LimitedChild.h"
#include "support/PacketBytes.h"
#include "support/Sanitized.h"
#include "support/StreamBytes.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

using test::Bytes;
using test::MessageOf;

void Fill(TStream& s, std::int64_t n) {
  std::vector<std::uint8_t> buf(static_cast<size_t>(n));
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  s.WriteBuffer(buf.data(), n);
}

bool Holds(TCustomMemoryStream& s, std::int64_t n) {
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  for (std::int64_t i = 0; i < n; ++i) {
    if (p[i] != static_cast<std::uint8_t>(i * 7 + i / 251)) return false;
  }
  return true;
}

TEST(VirtualStream, GrowthPolicy) {
  using enum TStreamMemoryKind;
  struct Case {
    std::uint16_t options;
    std::int64_t size, capacity;
    TStreamMemoryKind kind = Virtual;
    std::int64_t from = 0;  // the size set before
  } cases[] = {
      {0, 1, 4096, Heap},
      {0, 5000, 8192, Heap},
      {0, 40000, 65536},   // from 48 KB on: virtual memory
      {0, 70000, 131072},  // two granules of 64 KB
      {vsoHeap, 1 << 20, 1 << 20, Heap},
      {vsoVirtual, 10, 4096},
      {vsoGranule4M, 3 * 1048576, 4 * 1048576},
      {vsoGranule4M, 5 * 1048576, 8 * 1048576},
      {vsoGranule1M, 3 * 1048576 + 1, 4 * 1048576},
      {vsoGranule256K, 300000, 524288},
      {vsoGranule256K | vsoGranule4M, 5000000, 8388608},  // highest bit wins
      {vsoExactSize, 5000, 5000, Heap},
      {vsoNeverShrink, 10, 131072, Virtual, 100000},
  };
  for (const auto& c : cases) {
    TVirtualStream s(c.options);
    s.SetSize(c.from);
    s.SetSize(c.size);
    EXPECT_EQ(s.Capacity(), c.capacity) << c.options << " " << c.size;
    EXPECT_EQ(s.MemoryKind(), c.kind) << c.options << " " << c.size;
    s.Clear();
    EXPECT_TRUE(s.MemoryKind() == None && s.Memory() == nullptr);
  }
}

TEST(VirtualStream, ContentSurvivesEveryKindOfResize) {
  // Heap -> virtual -> larger virtual in place -> larger virtual beyond the
  // reserved space (piecewise copy with decommit) -> smaller virtual -> heap.
  TVirtualStream s;
  Fill(s, 3000);
  s.SetPosition(0);
  Fill(s, 3 * 1048576 + 12345);
  EXPECT_TRUE(Holds(s, s.Size()));
  void* block = s.Memory();
  s.SetSize(4 * 1048576);
  EXPECT_EQ(s.Memory(), block);  // grown inside its reserved space
  EXPECT_TRUE(Holds(s, 3 * 1048576 + 12345));
  s.SetSize(64 * 1048576);
  EXPECT_NE(s.Memory(), block);
  EXPECT_TRUE(Holds(s, 3 * 1048576 + 12345));
  s.SetSize(3 * 1048576 + 12345);
  s.SetSize(1048576 + 5);
  EXPECT_EQ(s.Capacity(), 1048576 + 65536);
  EXPECT_TRUE(Holds(s, s.Size()));
  s.SetSize(20000);
  EXPECT_EQ(s.MemoryKind(), TStreamMemoryKind::Heap);
  EXPECT_TRUE(Holds(s, 20000));
  EXPECT_EQ(s.Position(), 20000);  // position clipped to the new end
}

TEST(VirtualStream, KeepBlockHoldsItsBlockAtSizeZero) {
  TVirtualStream k(vsoKeepBlock);
  k.SetSize(100);
  void* block = k.Memory();
  k.SetSize(0);
  EXPECT_EQ(k.Memory(), block);
  EXPECT_EQ(k.Capacity(), 4096);
  // The destructor releases the kept block (leak checkers see it).
}

TEST(VirtualStream, LockedAndExternal) {
  TVirtualStream s;
  Fill(s, 100);
  s.SetOptions(vsoLocked);
  EXPECT_NO_THROW(s.WriteBuffer("x", 1));  // within capacity: no resize
  EXPECT_EQ(MessageOf([&] { s.SetSize(8000); }), "Cannot resize a locked stream");
  EXPECT_THROW(s.SetSize(1), Exception);
  EXPECT_NO_THROW(s.SetSize(0));
  EXPECT_EQ(s.Memory(), nullptr);

  char buf[16] = "0123456789";
  TVirtualStream e;
  e.SetExternalMemory(buf, 10);
  EXPECT_EQ(e.MemoryKind(), TStreamMemoryKind::External);
  char out[4] = {};
  e.SetPosition(2);
  e.ReadBuffer(out, 3);
  EXPECT_EQ(std::string(out, 3), "234");
  e.SetPosition(0);
  e.WriteBuffer("ab", 2);
  EXPECT_EQ(MessageOf([&] { e.SetSize(11); }), "Cannot resize an external memory stream");
  e.SetPosition(9);
  EXPECT_THROW(e.WriteBuffer("xy", 2), Exception);
  e.Clear();  // detaches, never frees the outside memory
  EXPECT_EQ(e.Memory(), nullptr);
  EXPECT_EQ(buf[1], 'b');
}

TEST(VirtualStream, SharedOwnerFreedByLastStream) {
  struct Owner : TSharedStreamOwner {
    explicit Owner(bool* flag) : freed(flag) {}
    ~Owner() override { *freed = true; }
    bool* freed;
  };
  bool freed = false;
  auto* owner = new Owner(&freed);
  {
    auto* a = new TVirtualStream;
    TVirtualStream b;
    a->SetSharedOwner(owner);
    b.SetSharedOwner(owner);
    delete a;
    EXPECT_FALSE(freed);
  }
  EXPECT_TRUE(freed);

  // A count already at 0 is a consistency fault.
  auto* bad = new TSharedStreamOwner;
  auto* s = new TVirtualStream;
  s->SetSharedOwner(bad);
  bad->RefCount = 0;
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { delete s; }), "Assertion failure (StreamUtils, line 1573)");
  delete bad;
}

TEST(VirtualStream, SetStreamSizeExactAndHelpers) {
  TVirtualStream s;
  SetStreamSizeExact(s, 5000);
  EXPECT_EQ(s.Capacity(), 5000);
  EXPECT_EQ(s.Options(), 0);
  TVirtualStream locked(vsoLocked);
  EXPECT_THROW(SetStreamSizeExact(locked, 10), Exception);
  EXPECT_EQ(locked.Options(), vsoLocked);

  TVirtualStream a, b;
  a.WriteBuffer("hello", 5);
  EXPECT_FALSE(StreamsEqual(a, b));
  b.WriteBuffer("hellO", 5);
  EXPECT_FALSE(StreamsEqual(a, b));
  AssignStream(b, a);
  EXPECT_TRUE(StreamsEqual(a, b));
  EXPECT_EQ(b.Position(), 0);
  AssignStream(a, a);  // onto itself: unchanged
  EXPECT_EQ(Bytes(a), "hello");

  char small[3];
  TPointerStream p(small, 3, false);
  EXPECT_THROW(AssignStream(p, a), EWriteError);  // a fixed block cannot take 5 bytes

  a.SetPosition(2);
  EnsureStreamSize(a, 3);
  EXPECT_EQ(a.Size(), 5);
  EnsureStreamSize(a, 9);
  EXPECT_EQ(a.Size(), 9);
  EXPECT_EQ(a.Position(), 2);

  EXPECT_TRUE(IsMemoryStream(a));
  EXPECT_TRUE(IsMemoryStream(p));
  EXPECT_EQ(StreamMemory(a, true), static_cast<char*>(a.Memory()) + 2);
  EXPECT_EQ(StreamMemory(a, false), a.Memory());
  test::TPlainStream other;
  EXPECT_FALSE(IsMemoryStream(other));
  EXPECT_EQ(StreamMemory(other, true), nullptr);
}

TEST(PointerStream, WritesStopAtTheBlockEnd) {
  char block[8] = {};
  TPointerStream s(block, 8, false);
  EXPECT_EQ(s.Write("abcdef", 6), 6);
  EXPECT_FALSE(s.Overflow());
  EXPECT_EQ(s.Write("ghij", 4), 2);
  EXPECT_TRUE(s.Overflow());
  EXPECT_EQ(std::string(block, 8), "abcdefgh");
  EXPECT_EQ(s.Position(), 8);
  EXPECT_EQ(s.Write("z", 1), 0);
  s.SetPosition(100);
  EXPECT_EQ(s.Write("z", 1), 0);
  s.SetPosition(1);
  char out[3] = {};
  EXPECT_EQ(s.Read(out, 3), 3);
  EXPECT_EQ(std::string(out, 3), "bcd");

  TPointerStream ro(block, 8, true);
  EXPECT_EQ(MessageOf<EStreamError>([&] { ro.Write("x", 1); }), "Cannot write to read-only pointer-stream");
}

// A gap written past the end reads as zeros, never as what the block held;
// sizes and positions that cannot be are refused and change nothing.
TEST(MemoryStreams, GapsReadAsZerosAndImpossibleSizesAreRefused) {
  TMemoryStream plain;
  TVirtualStream heap;
  for (TMemoryStream* s : {&plain, static_cast<TMemoryStream*>(&heap)}) {
    s->WriteBuffer(std::string(5000, 'P').data(), 5000);
    s->SetSize(1);  // the block keeps the old bytes behind the end
    s->SetPosition(4001);
    s->WriteBuffer("B", 1);
    EXPECT_EQ(std::string(static_cast<const char*>(s->Memory()) + 1, 4000), std::string(4000, '\0'));
    s->SetSize(1);
    s->SetSize(4002);  // growing by size alone shows zeros too
    EXPECT_EQ(std::string(static_cast<const char*>(s->Memory()) + 1, 4001), std::string(4001, '\0'));
    EXPECT_THROW(s->SetSize(-5), EStreamError);
    s->SetPosition(INT64_MAX - 1);
    EXPECT_THROW(s->Write("0123456789abcdef", 16), EStreamError);
    EXPECT_THROW(s->Seek(2, TSeekOrigin::soCurrent), EStreamError);
    EXPECT_EQ(s->Position(), INT64_MAX - 1);
    EXPECT_EQ(s->Size(), 4002);
  }
  // A fixed block cannot grow: no silent success.
  char block[16] = {};
  TPointerStream fixed(block, 16, false);
  EXPECT_THROW(EnsureStreamSize(fixed, 17), EStreamError);
  fixed.SetPosition(12);
  fixed.SetSize(8);
  EXPECT_EQ(fixed.Position(), 8);
}

// A refused seek leaves a memory, virtual or pointer stream where it was,
// from either origin: the next write lands there.
TEST(MemoryStreams, RefusedSeekLeavesThePositionWhereItWas) {
  TMemoryStream plain;
  TVirtualStream virt;
  std::string block(5000, 'b');
  TPointerStream pointer(block.data(), 5000, false);
  for (TCustomMemoryStream* s : {static_cast<TCustomMemoryStream*>(&plain), static_cast<TCustomMemoryStream*>(&virt),
                                 static_cast<TCustomMemoryStream*>(&pointer)}) {
    s->SetSize(5000);
    s->SetPosition(10);
    for (int twice = 0; twice < 2; ++twice) {
      EXPECT_THROW(s->Seek(INT64_MAX, TSeekOrigin::soEnd), EStreamError);
      EXPECT_EQ(s->Position(), 10);
      EXPECT_THROW(s->Seek(INT64_MAX, TSeekOrigin::soCurrent), EStreamError);
      EXPECT_EQ(s->Position(), 10);
    }
    s->WriteBuffer("w", 1);
    EXPECT_EQ(static_cast<const char*>(s->Memory())[10], 'w');
    EXPECT_EQ(s->Size(), 5000);
  }
}

// Ends close to the largest position: a plain memory stream's rounding of
// its capacity and a chunked container's seek neither overflow nor wrap.
TEST(MemoryStreams, EndsNearTheLargestPositionNeitherOverflowNorWrap) {
  TMemoryStream plain;
  plain.SetPosition(INT64_MAX - 5);
  EXPECT_THROW(plain.Write("x", 1), EStreamError);
  EXPECT_THROW(plain.SetSize(INT64_MAX - 5), EStreamError);
  EXPECT_EQ(plain.Size(), 0);

  TChunkedDataContainer chunked;
  chunked.WriteBuffer("abc", 3);
  chunked.SetPosition(1);
  EXPECT_EQ(chunked.Seek(INT64_MAX, TSeekOrigin::soCurrent), 3);
  EXPECT_EQ(chunked.Seek(INT64_MAX, TSeekOrigin::soEnd), 3);
  EXPECT_EQ(chunked.Seek(INT64_MIN, TSeekOrigin::soEnd), 0);
}

// Sizes no block can have, on both sides of where doubling the reserved
// space would pass the largest size, and of where rounding to the granule
// would: each is refused as out of memory and leaves the stream as it was,
// whether asked for by size or by a write far past the end.
TEST(VirtualStream, ImpossibleSizesAreOutOfMemoryAndChangeNothing) {
  constexpr std::int64_t k62 = std::int64_t{1} << 62;
  const std::string kOom = "Out of memory while expanding memory stream";
  for (const int options : {0, +vsoVirtual, +vsoHeap, +vsoExactSize, +vsoGranule4M, +vsoNeverShrink}) {
    SCOPED_TRACE(options);
#ifdef VT_TEST_SANITIZED
    if (options == vsoHeap) continue;  // its allocator ends the process on requests this large
#endif
    const std::int64_t granule = (options & vsoGranule4M) ? std::int64_t{1} << 22 : std::int64_t{1} << 16;
    TVirtualStream s(static_cast<std::uint16_t>(options));
    Fill(s, 70000);
    const std::int64_t capacity = s.Capacity();
    for (const std::int64_t size : {k62, k62 + 1, k62 + 4096, INT64_MAX - granule, INT64_MAX - granule + 1,
                                    INT64_MAX - granule + 2, INT64_MAX - 4095, INT64_MAX}) {
      SCOPED_TRACE(size);
      EXPECT_EQ(MessageOf<EStreamError>([&] { s.SetSize(size); }), kOom);
      s.SetPosition(size - 1);
      EXPECT_EQ(MessageOf<EStreamError>([&] { s.Write("x", 1); }), kOom);
      EXPECT_EQ(s.Position(), size - 1);
      EXPECT_EQ(s.Size(), 70000);
      EXPECT_EQ(s.Capacity(), capacity);
    }
    EXPECT_TRUE(Holds(s, 70000));
    s.SetPosition(70000);
    Fill(s, 10);  // still grows as before
    EXPECT_EQ(s.Size(), 70010);
  }
}

// Sizes that memory and swap cannot back, between them and the address
// space, are refused and leave the stream as it was; a size that can be
// backed is taken without touching its pages. In a child that is ended
// once it holds 512 MiB more: filling memory fails the test.
TEST(VirtualStream, SizesMemoryCannotBackAreRefusedAndLeaveTheStreamAsItWas) {
  constexpr std::int64_t kGiB = std::int64_t{1} << 30, kTiB = kGiB << 10;
  const auto backed = static_cast<std::int64_t>(os::CommitLimit());
  const std::string result = test::InChildWithResidentLimit(std::size_t{512} << 20, [&] {
    std::string out;
    auto state = [](TVirtualStream& s, std::int64_t size) {
      return std::to_string(s.Size()) + "@" + std::to_string(s.Position()) +
             (Holds(s, size) ? " " : " changed ");
    };
    for (const std::int64_t held : {std::int64_t{3}, std::int64_t{100000}}) {
      TVirtualStream s;
      Fill(s, held);
      s.SetPosition(1);
      for (const std::int64_t size : {std::max(64 * kGiB, backed + 1), backed + 2 * kGiB, 16 * kTiB}) {
        for (int twice = 0; twice < 2; ++twice) {
          out += MessageOf<EStreamError>([&] { s.SetSize(size); }) + " " + state(s, held);
          s.SetPosition(size - 1);
          out += MessageOf<EStreamError>([&] { s.WriteBuffer("z", 1); }) + " ";
          s.SetPosition(1);
          out += state(s, held);
        }
      }
      out += "| ";
    }
    // What can be backed is taken as it is, untouched until written.
    TVirtualStream s;
    s.WriteBuffer("abc", 3);
    const std::size_t before = test::ResidentBytes(::getpid());
    s.SetSize(kGiB);
    s.SetPosition(kGiB - 1);
    s.WriteBuffer("e", 1);
    const std::size_t after = test::ResidentBytes(::getpid());
    const char* p = static_cast<const char*>(s.Memory());
    out += std::string(p, 3) + (p[kGiB / 2] == 0 && p[kGiB - 1] == 'e' ? " zeros" : " not zeros");
    out += after - before < (std::size_t{64} << 20) ? " untouched"
                                                    : " touched " + std::to_string(after - before);
    return out;
  });
  const std::string refused = "Out of memory while expanding memory stream ";
  std::string expected;
  for (const std::string held : {"3", "100000"}) {
    for (int i = 0; i < 6; ++i) expected += refused + held + "@1 " + refused + held + "@1 ";
    expected += "| ";
  }
  EXPECT_EQ(result, expected + "abc zeros untouched");
}

// A block-compressed container that claims 131072 blocks of the largest size
// (252 GiB) in 1 MiB: loading it into a stream is refused before anything
// is read, and the stream stays empty. In a child, as above.
TEST(VirtualStream, ContainerClaimingMoreThanMemoryIsRefusedByLoadFromStream) {
  const std::string result = test::InChildWithResidentLimit(std::size_t{512} << 20, [] {
    constexpr std::int64_t kBlocks = 131072;
    std::string container("sdc3\3\0\0\0", 8);
    const std::uint64_t total = kBlocks * kCompressBlockSize;
    container.append(reinterpret_cast<const char*>(&total), 8);
    for (std::int64_t i = 0; i < kBlocks; ++i) {
      const std::uint32_t block[2] = {4, static_cast<std::uint32_t>(kCompressBlockSize)};
      container.append(reinterpret_cast<const char*>(block), 8);
    }
    TPointerStream source(container.data(), static_cast<std::int64_t>(container.size()), true);
    TDecompressStream data(&source, 0, 1, false);
    std::string out = std::to_string(data.Size()) + " ";
    TVirtualStream target;
    for (int twice = 0; twice < 2; ++twice) {
      out += MessageOf<EStreamError>([&] { target.LoadFromStream(data); }) + " ";
      out += std::to_string(target.Size()) + " ";
    }
    return out;
  });
  EXPECT_EQ(
      result,
      std::to_string(131072 * kCompressBlockSize) +
          " Out of memory while expanding memory stream 0 Out of memory while expanding memory stream 0 ");
}

// Bytes a virtual block held past the stream's end read as zeros when it
// grows again, kept in place (never shrink, in virtual memory) or given back.
TEST(VirtualStream, BytesOnceWrittenReadAsZerosWhenTheStreamGrowsAgain) {
  for (const int options : {0, +vsoVirtual, +vsoNeverShrink, +vsoVirtual | vsoNeverShrink}) {
    SCOPED_TRACE(options);
    TVirtualStream s(static_cast<std::uint16_t>(options));
    for (int twice = 0; twice < 2; ++twice) {
      s.SetSize(0);
      Fill(s, 300000);
      s.SetSize(1000);
      s.SetSize(200000);  // by size
      EXPECT_TRUE(Holds(s, 1000));
      const char* p = static_cast<const char*>(s.Memory());
      EXPECT_EQ(std::string(p + 1000, 199000), std::string(199000, '\0'));
      Fill(s, 100000);
      s.SetSize(1000);
      s.SetPosition(250000);  // by a write past the end
      s.WriteBuffer("w", 1);
      p = static_cast<const char*>(s.Memory());
      EXPECT_EQ(std::string(p + 1000, 249000), std::string(249000, '\0'));
      EXPECT_EQ(p[250000], 'w');
    }
  }
}

constexpr std::int64_t kMiB = std::int64_t{1} << 20;

// Writes n bytes of a pattern seeded by `at` at `at`.
void Mark(TStream& s, std::int64_t at, std::int64_t n) {
  std::string bytes(static_cast<std::size_t>(n), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((at + i) % 253 + 1);
  s.SetPosition(at);
  s.WriteBuffer(bytes.data(), n);
}

bool Marked(TCustomMemoryStream& s, std::int64_t at, std::int64_t n) {
  const char* p = static_cast<const char*>(s.Memory()) + at;
  for (std::int64_t i = 0; i < n; ++i)
    if (p[i] != static_cast<char>((at + i) % 253 + 1)) return false;
  return true;
}

// Zeros at every 64 KiB of [from, to) and at both ends.
bool ZerosAt(TCustomMemoryStream& s, std::int64_t from, std::int64_t to) {
  const char* p = static_cast<const char*>(s.Memory());
  for (std::int64_t i = from; i < to; i += 65536)
    if (p[i] != 0) return false;
  return p[from] == 0 && p[to - 1] == 0;
}

std::string Growth(std::size_t before) {
  const std::size_t after = test::ResidentBytes(::getpid());
  return after < before + (std::size_t{50} << 20) ? "small" : "grew " + std::to_string((after - before) >> 20) + " MiB";
}

// Growing twice past the reserved space moves the block twice: the written
// bytes go along, the rest reads as zeros, and pages never written cost no
// memory. In a child ended once it holds 512 MiB more.
TEST(VirtualStream, MovesPastTheReservedSpaceCostOnlyTheWrittenBytes) {
  const std::string result = test::InChildWithResidentLimit(std::size_t{512} << 20, [] {
    std::string out;
    TVirtualStream s;
    Fill(s, 3 * kMiB);
    s.SetSize(128 * kMiB + 4096);  // 512 MiB reserved
    Mark(s, 100 * kMiB, kMiB);
    const std::size_t before = test::ResidentBytes(::getpid());
    const void* first = s.Memory();
    s.SetSize(600 * kMiB);
    const void* second = s.Memory();
    Mark(s, 500 * kMiB, kMiB);
    s.SetSize(2100 * kMiB);
    out += first != second && second != s.Memory() ? "moved twice " : "stayed ";
    out += Holds(s, 3 * kMiB) && Marked(s, 100 * kMiB, kMiB) && Marked(s, 500 * kMiB, kMiB) ? "kept " : "lost ";
    out += ZerosAt(s, 3 * kMiB, 100 * kMiB) && ZerosAt(s, 101 * kMiB, 500 * kMiB) &&
                   ZerosAt(s, 501 * kMiB, 2100 * kMiB)
               ? "zeros "
               : "not zeros ";
    return out + Growth(before);
  });
  EXPECT_EQ(result, "moved twice kept zeros small");
}

// A stream made smaller and then larger again in the block it kept (never
// shrink: smaller; keep block: size 0) reads as zeros past what it kept,
// without touching the pages it never wrote. In a child, as above.
TEST(VirtualStream, ShrinkThenRegrowInAKeptBlockCostsOnlyTheWrittenBytes) {
  constexpr std::int64_t kGiB = 1024 * kMiB;
  for (const auto& shrink : {std::pair{+vsoNeverShrink, 4096}, std::pair{+vsoKeepBlock, 0}}) {
    const int options = shrink.first, small = shrink.second;
    SCOPED_TRACE(options);
    const std::string result = test::InChildWithResidentLimit(std::size_t{512} << 20, [&] {
      std::string out;
      TVirtualStream s(static_cast<std::uint16_t>(options));
      Fill(s, small);
      const std::size_t before = test::ResidentBytes(::getpid());
      for (int twice = 0; twice < 2; ++twice) {
        s.SetSize(kGiB);
        Mark(s, kGiB / 2, kMiB);
        const void* block = s.Memory();
        s.SetSize(small);
        s.SetSize(kGiB);  // by size
        out += s.Memory() == block ? "kept " : "moved ";
        out += Holds(s, small) && ZerosAt(s, small + 1, kGiB) ? "zeros " : "not zeros ";
        Mark(s, kGiB / 2, kMiB);
        s.SetSize(small);
        s.SetPosition(kGiB - 1);  // by a write past the end
        s.WriteBuffer("e", 1);
        out += Holds(s, small) && ZerosAt(s, small + 1, kGiB - 1) ? "zeros " : "not zeros ";
        s.SetSize(small);
      }
      return out + Growth(before);
    });
    EXPECT_EQ(result, "kept zeros zeros kept zeros zeros small");
  }
}

// A grow that moves the block is granted wherever a fresh stream's would
// be: the old block is not counted beside the new one.
TEST(VirtualStream, GrowThatMovesTheBlockIsGrantedUpToTheCommitLimit) {
  const std::size_t start = os::CommittedBytes();
  const auto room = static_cast<std::int64_t>(os::CommitLimit() - start);
  ASSERT_GT(room, 1024 * kMiB);
  const std::int64_t held = 128 * kMiB + 4096;  // 512 MiB reserved
  const std::int64_t grown = (room - 64 * kMiB) / 65536 * 65536;
  TVirtualStream s;
  for (int twice = 0; twice < 2; ++twice) {
    Fill(s, 1000);
    s.SetSize(held);
    Mark(s, held - 10, 10);
    ASSERT_NO_THROW(s.SetSize(grown));
    ASSERT_EQ(s.Size(), grown);
    EXPECT_TRUE(Holds(s, 1000) && Marked(s, held - 10, 10) && ZerosAt(s, held, grown));
    EXPECT_LE(os::CommittedBytes(), start + static_cast<std::size_t>(grown));
    s.Clear();
    EXPECT_EQ(os::CommittedBytes(), start);
  }
}

// Heap blocks count against the commit limit as virtual memory does,
// through every change of size and kind.
TEST(VirtualStream, HeapBlocksCountAgainstTheCommitLimit) {
  const std::size_t start = os::CommittedBytes();
  TVirtualStream h(vsoHeap);
  for (int twice = 0; twice < 2; ++twice) {
    h.SetSize(3 * kMiB);
    EXPECT_EQ(os::CommittedBytes(), start + 3 * kMiB);
    Fill(h, kMiB);
    h.SetSize(kMiB);  // a smaller heap block
    EXPECT_EQ(os::CommittedBytes(), start + kMiB);
    h.SetOptions(0);
    h.SetSize(4 * kMiB);  // into virtual memory
    EXPECT_EQ(h.MemoryKind(), TStreamMemoryKind::Virtual);
    EXPECT_EQ(os::CommittedBytes(), start + 4 * kMiB);
    h.SetOptions(vsoHeap);
    h.SetSize(2 * kMiB);  // back onto the heap
    EXPECT_TRUE(Holds(h, kMiB));
    EXPECT_EQ(os::CommittedBytes(), start + 2 * kMiB);
    h.Clear();
    EXPECT_EQ(os::CommittedBytes(), start);
  }
}

TEST(PointerStream, OwnedBlocksAreReleased) {
  static void* unmapped = nullptr;
  {
    auto* heap = static_cast<char*>(std::malloc(16));
    TPointerStream s(heap, 16, true);
    s.SetOwnsMemory(true);  // freed with the stream (leak checkers see it)
  }
  char view[4];
  {
    TPointerStream s(view, 4, true);
    s.SetOwnsMappedView([](void* v) { unmapped = v; });
  }
  EXPECT_EQ(unmapped, view);
}

// Each value's bytes as written, then all of them read back in order, with
// the long forms of a small value.
TEST(CompactIntegers, WireFormsAndRoundTrip) {
  struct Case {
    bool id;
    std::int64_t value;
    std::string wire;
  } cases[] = {{false, 0, std::string("\x00", 1)},
               {false, 1, "\x02"},
               {false, 127, "\xFE"},
               {false, 128, std::string("\x01\x01\x00\x00", 4)},
               {false, 65536, std::string("\x01\x00\x02\x00", 4)},
               {false, 0x7FFFFFFF, "\xFF\xFF\xFF\xFF"},
               {true, 0, std::string("\x00", 1)},
               {true, 127, "\xFE"},
               {true, 128, "\x01\x01"},
               {true, 0x7FFF, "\xFF\xFF"}};
  TVirtualStream s;
  for (const auto& c : cases) {
    const std::string before = Bytes(s);
    c.id ? WriteCompactId(s, c.value) : WriteCompactLength(s, c.value);
    EXPECT_EQ(Bytes(s), before + c.wire) << c.value;
  }
  EXPECT_EQ(WriteByteValue(s, 0xAB), 0xAB);
  s.WriteBuffer("\x0B\x00\x00\x00", 4);  // long form of 5
  s.WriteBuffer("\x0B\x00", 2);          // long id form of 5
  s.SetPosition(0);
  for (const auto& c : cases) EXPECT_EQ(c.id ? ReadCompactId(s) : ReadCompactLength(s), c.value) << c.value;
  EXPECT_EQ(ReadByteValue(s), 0xAB);
  EXPECT_EQ(ReadCompactLength(s), 5u);
  EXPECT_EQ(ReadCompactId(s), 5u);
  EXPECT_THROW(ReadByteValue(s), EReadError);

  // The buffer form reads the same bytes and moves past each value.
  const std::string lengths = Bytes(s).substr(0, 15) + std::string("\x0B\x00\x00\x00", 4);
  const auto* at = reinterpret_cast<const std::uint8_t*>(lengths.data());
  TBufferCursor cursor{at, at + lengths.size()};
  for (const auto& c : cases) {
    if (c.id) continue;
    EXPECT_EQ(ReadCompactLengthFromBuffer(cursor), c.value);
  }
  EXPECT_EQ(ReadCompactLengthFromBuffer(cursor), 5u);
  EXPECT_EQ(cursor.Pos, cursor.End);
}

TEST(CompactIntegers, TruncatedAndOutOfRange) {
  TVirtualStream s;
  s.WriteBuffer("\x01\x02", 2);  // a long length cut short
  s.SetPosition(0);
  EXPECT_THROW(ReadCompactLength(s), EReadError);
  s.SetSize(1);  // a long id cut short
  s.SetPosition(0);
  EXPECT_THROW(ReadCompactId(s), EReadError);
  const std::uint8_t cut[] = {0x01, 0x02, 0x00};
  TBufferCursor cursor{cut, cut + 3};
  EXPECT_THROW(ReadCompactLengthFromBuffer(cursor), EReadError);

  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { WriteCompactLength(s, std::int64_t{1} << 31); }),
            "Assertion failure (StreamUtils, line 3844)");
  EXPECT_THROW(WriteCompactLength(s, -1), EAssertionFailed);
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { WriteCompactId(s, 0x8000); }),
            "Assertion failure (StreamUtils, line 3992)");
}

}  // namespace
}  // namespace vt
