// Stand-alone form, field encodings, streaming context and packet lists on
// the wire, including damaged and hostile input.
#include <alloca.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <thread>
#include <numeric>
#include <filesystem>
#include <string>

#include "PacketTestClasses.h"
#include "common/ChunkedDataContainer.h"
#include "common/FileStreams.h"
#include "common/Objects.h"
#include "common/PacketContext.h"
#include "common/PacketFields.h"
#include "platform/FaultSupport.h"
#include "platform/Process.h"
#include "platform/ThreadApi.h"
#include "support/PacketBytes.h"
#include "support/Sanitized.h"
#include "support/StreamBytes.h"
#include "support/TestFiles.h"

namespace vt::test {
namespace {

// A stream as a pipe or a socket is: at most max_read bytes a read, a size
// it does not know (it claims 2^40), no seeking; only its position is told.
struct TTrickleStream : TPlainStream {
  using TPlainStream::TPlainStream;
  std::int64_t Read(void* buffer, std::int64_t count) override {
    return TPlainStream::Read(buffer, std::min(count, max_read));
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    if (offset != 0 || origin != TSeekOrigin::soCurrent) throw EStreamError("The stream cannot seek");
    return TPlainStream::Seek(0, origin);
  }
  std::int64_t GetSize() override { return std::int64_t{1} << 40; }
  std::int64_t max_read = 7;
};

// Calls F with a memory stream over the bytes, with a plain stream and with
// a trickling one.
template <typename F>
void InEveryMode(std::string bytes, F&& f) {
  TPointerStream mem(bytes.data(), static_cast<std::int64_t>(bytes.size()), true);
  TPlainStream str(bytes);
  TTrickleStream trickle(bytes);
  for (TStream* s : std::initializer_list<TStream*>{&mem, &str, &trickle}) f(*s);
}

// Loads Bytes in every mode and checks all answer the same and end at the
// same place.
std::unique_ptr<TPacket> LoadBoth(const std::string& bytes) {
  std::unique_ptr<TPacket> first;
  std::int64_t end = 0;
  InEveryMode(bytes, [&](TStream& in) {
    auto p = LoadPacket(in);
    EXPECT_TRUE(!first || (first->Equals(*p) && in.Position() == end));
    end = in.Position();
    if (!first) first = std::move(p);
  });
  return first;
}

// Runs Load on the bytes in every mode and expects the same exception type.
template <typename E>
void ExpectBothFail(const std::string& bytes) {
  InEveryMode(bytes, [](TStream& s) { EXPECT_THROW(LoadPacket(s), E); });
}

class PacketIOTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterTestPackets(); }
};

TEST_F(PacketIOTest, HeaderBytesAreExact) {
  TSmallPacket p;
  p.Value = 0x01020304;
  p.Text = "A";
  const std::string b = SaveBytes(p);
  const std::string expected(
      "\x02\x00\x00\x00"
      "\x26\x00\x00\x00"
      "\x02\x00\x00\x00"
      "\x00\x00\x00\x00"
      "\x11\x11\x11\x11\x22\x22\x33\x33\x44\x44\x55\x55\x55\x55\x55\x55"
      "\x04\x03\x02\x01"
      "\x02"
      "A",
      38);
  EXPECT_EQ(b, expected);
}

TEST_F(PacketIOTest, EveryFieldKindRoundTripsInBothModesWithAndWithoutContext) {
  TAllKindsPacket p;
  FillAllKinds(p);
  auto q = LoadBoth(SaveBytes(p));
  EXPECT_TRUE(q->Equals(p));

  TPacketStreamingContext wctx;
  TMemoryStream s;
  SavePacket(p, s, &wctx);
  SavePacket(p, s, &wctx);
  InEveryMode(Bytes(s), [&](TStream& in) {
    TPacketStreamingContext rctx;
    EXPECT_TRUE(LoadPacket(in, &rctx)->Equals(p));
    EXPECT_TRUE(LoadPacket(in, &rctx)->Equals(p));
    EXPECT_EQ(in.Position(), s.Size());
  });
}

TEST_F(PacketIOTest, StandAloneLoadStopsAtTheTotalSize) {
  // A newer writer's extra field is skipped, the bytes behind the packet
  // are not read; an older writer's missing field keeps its value.
  TSmallPacketV2 v2;
  v2.Value = 3;
  v2.Extra = 5;
  const std::string nb = SaveBytes(v2);
  InEveryMode(nb + "xyz", [&](TStream& in) {
    TSmallPacket into;
    LoadPacketInto(into, in);
    EXPECT_EQ(into.Value, 3);
    EXPECT_EQ(in.Position(), static_cast<std::int64_t>(nb.size()));
  });
  TSmallPacketV2 older;
  older.Extra = 1;
  std::string ob = SaveBytes(TSmallPacket());
  TPointerStream os(ob.data(), static_cast<std::int64_t>(ob.size()), true);
  LoadPacketInto(older, os);
  EXPECT_EQ(older.Extra, 1);
}

TEST_F(PacketIOTest, BadHeadersAreRefused) {
  TSmallPacket p;
  const std::string good = SaveBytes(p);
  for (std::uint32_t version : {1u, 3u}) {
    std::string b = good;
    PutU32(b, 0, version);
    TPointerStream s(b.data(), static_cast<std::int64_t>(b.size()), true);
    EXPECT_EQ(MessageOf([&] { LoadPacket(s); }),
              "Cannot load packet. Unknown format version: " + std::to_string(version));
  }
  for (std::uint32_t total : {0u, 31u, static_cast<std::uint32_t>(good.size() + 1), 0xFFFFFFFFu}) {
    std::string b = good;
    PutU32(b, 4, total);
    if (total > 31) {
      ExpectBothFail<EReadError>(b);  // ends past its data: cut short
    } else {
      ExpectBothFail<Exception>(b);
    }
  }
  std::string unknown = good;
  unknown[16] = '\x77';
  TPointerStream us(unknown.data(), static_cast<std::int64_t>(unknown.size()), true);
  EXPECT_EQ(MessageOf([&] { LoadPacket(us); }), "Unregistered packet class: {11111177-2222-3333-4444-555555555555}");

  TOtherPacket other;
  std::string ob = SaveBytes(other);
  TPointerStream os(ob.data(), static_cast<std::int64_t>(ob.size()), true);
  TSmallPacket into;
  EXPECT_EQ(MessageOf([&] { LoadPacketInto(into, os); }),
            "Incompatible packet class: {AAAAAAAA-0000-0000-0000-000000000001} "
            "({11111111-2222-3333-4444-555555555555}, TSmallPacket expected)");
}

TEST_F(PacketIOTest, TruncatedDataFailsWithTheReadErrorInBothModes) {
  TAllKindsPacket p;
  FillAllKinds(p);
  const std::string good = SaveBytes(p);
  const std::int32_t before = TAllKindsPacket::Class.InstanceCount();
  for (std::size_t cut = 33; cut < good.size(); cut += 7) {
    std::string b = good.substr(0, cut);
    PutU32(b, 4, static_cast<std::uint32_t>(cut));  // a consistent but short packet
    ExpectBothFail<Exception>(b);
  }
  // A failed load leaves nothing behind.
  EXPECT_EQ(TAllKindsPacket::Class.InstanceCount(), before);
}

TEST_F(PacketIOTest, HugeStoredLengthsAreRefusedBeforeAllocation) {
  TSmallPacket p;
  std::string b = SaveBytes(p);
  // Text field: compact length 2^30 (long form) in place of the short one.
  const std::uint32_t claim = (1u << 30) * 2 + 1;
  std::string huge = b.substr(0, 36) + std::string(reinterpret_cast<const char*>(&claim), 4) + "abc";
  PutU32(huge, 4, static_cast<std::uint32_t>(huge.size()));
  ExpectBothFail<EReadError>(huge);

  // String list, wide string, stream and list counts through the all-kinds class.
  TAllKindsPacket a;
  const std::string ab = SaveBytes(a);
  auto patch_at_field = [&](int field, const std::string& bytes) {
    // The stored sizes of fields 0..21 of a new TAllKindsPacket.
    static const int sizes[] = {1, 1, 2, 3, 4, 1, 4, 8, 8, 1, 8, 16, 2, 4, 8, 5, 8, 1, 1, 4, 41, 1};
    std::string r = ab;
    r.replace(32 + std::accumulate(sizes, sizes + field, std::size_t{0}), bytes.size(), bytes);
    return r;
  };
  const std::string big_compact("\xFF\xFF\xFF\x7F", 4);
  for (int field : {17, 18}) ExpectBothFail<EReadError>(patch_at_field(field, big_compact));
  ExpectBothFail<EReadError>(patch_at_field(19, std::string("\xF0\xFF\xFF\xFF", 4)));
  ExpectBothFail<EReadError>(patch_at_field(22, std::string("\xFF\xFF\xFF\x0F", 4)));
}

// Runs f on a thread with at most about size bytes of stack left. The
// system may give the thread a larger stack (one cached from an ended
// thread): what is beyond size is used up first.
template <class F>
void OnSmallStack(std::size_t size, F f) {
  struct Run {
    std::size_t size;
    F* f;
  } run{size, &f};
  const os::ThreadHandle thread = os::CreateThread(
      size,
      [](void* param) -> os::DWORD {
        const Run& r = *static_cast<Run*>(param);
        const std::size_t left = os::StackSpaceLeft();
        constexpr std::size_t kFrames = 4096;  // this frame and the calls below
        volatile char* burnt =
            left != SIZE_MAX && left > r.size + kFrames ? static_cast<char*>(alloca(left - r.size - kFrames)) : nullptr;
        if (burnt) burnt[0] = 0;
        (*r.f)();
        return 0;
      },
      &run, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(os::WaitForThread(thread, os::kInfinite), os::kWaitObject0);
  os::CloseThreadHandle(thread);
}

TEST_F(PacketIOTest, NestingDepthIsLimitedAlikeOnSaveAndLoad) {
  auto chain = [](TChainPacket& root, int depth) {
    TChainPacket* p = &root;
    for (int i = 1; i < depth; ++i) p = &p->NeedNext();
    return p;
  };
  TChainPacket at_limit;
  chain(at_limit, kMaxPacketNesting);
  const std::string bytes = SaveBytes(at_limit);
  EXPECT_TRUE(LoadBoth(bytes)->Equals(at_limit));
  TPacketStreamingContext save_context, load_context;
  const std::string with_context = SaveBytes(at_limit, &save_context);
  TPointerStream in(const_cast<char*>(with_context.data()), static_cast<std::int64_t>(with_context.size()), true);
  EXPECT_TRUE(LoadPacket(in, &load_context)->Equals(at_limit));

  // One level more is refused before anything is written, with or without
  // a context.
  TChainPacket deeper;
  chain(deeper, kMaxPacketNesting)->NeedNext();
  TMemoryStream out;
  const std::string refused = "Cannot save packet. Nesting deeper than " + std::to_string(kMaxPacketNesting) + " levels";
  EXPECT_EQ(MessageOf([&] { SavePacket(deeper, out); }), refused);
  TPacketStreamingContext context;
  EXPECT_EQ(MessageOf([&] { SavePacket(deeper, out, &context); }), refused);
  EXPECT_EQ(out.Size(), 0);

  // Such bytes written by another writer are refused on load: the chain at
  // the limit wrapped in one more packet.
  std::string deep(32, '\0');
  PutU32(deep, 0, kPacketFormatVersion);
  PutU32(deep, 4, static_cast<std::uint32_t>(32 + 1 + bytes.size()));
  PutU32(deep, 8, static_cast<std::uint32_t>(TChainPacket::Class.FieldCount()));
  std::memcpy(deep.data() + 16, &TChainPacket::Class.GetClassGUID(), 16);
  deep += '\x01' + bytes;
  InEveryMode(deep, [&](TStream& s) {
    EXPECT_EQ(MessageOf([&] { LoadPacket(s); }),
              "Cannot load packet. Nesting deeper than " + std::to_string(kMaxPacketNesting) + " levels");
  });

  // On a small stack a deep tree is refused before the stack runs out.
  std::string load_message;
  OnSmallStack(96 * 1024, [&] {
    load_message = MessageOf([&] {
      TPlainStream in(bytes);
      LoadPacket(in);
    });
  });
  EXPECT_TRUE(load_message.starts_with("Cannot load packet. Not enough stack left for nesting")) << load_message;

  // A save on a small stack is refused as its load would be, never a crash:
  // what a thread saves, it loads back on the same stack.
  int saves_refused = 0, saves_loaded = 0;
  for (std::size_t kib : {128, 192, 256, 384, 512, 1024, 4096, 16384}) {
    std::string saved, loaded;
    auto run = [&] {
      TMemoryStream out;
      saved = MessageOf([&] { SavePacket(at_limit, out); });
      out.SetPosition(0);
      if (out.Size() != 0) loaded = MessageOf([&] { EXPECT_TRUE(LoadPacket(out)->Equals(at_limit)); });
    };
    OnSmallStack(kib * 1024, run);
    const bool ok = saved == "(no exception)";
    (ok ? saves_loaded : saves_refused) += 1;
    EXPECT_TRUE(ok ? loaded == "(no exception)"
                   : saved.starts_with("Cannot save packet. Not enough stack left for nesting"))
        << kib << " KiB: " << saved << loaded;
  }
  EXPECT_TRUE(saves_refused > 0 && saves_loaded > 0);
}

// The field routines by name: written to a stream, read back from a stream
// and from memory at a cursor, which ends where the stream reader ends.
TEST_F(PacketIOTest, FieldRoutinesReadWhatTheyWriteFromStreamsAndBuffers) {
  for (bool compact : {false, true}) {
    SCOPED_TRACE(compact);
    TStringListEx lines;
    for (const char* line : {"one", "", "three"}) lines.Add(line);
    TVirtualStream data;
    data.WriteBuffer("stream bytes", 12);
    TChunkedDataContainer chunks;
    chunks.WriteBuffer("chunked", 7);
    const std::uint8_t sized2[] = {2, 0x11, 0x22}, sized8[] = {8, 1, 2, 3, 4, 5, 6, 7, 8};

    TMemoryStream out;
    out.WriteBuffer(sized2, sizeof sized2);
    out.WriteBuffer(sized8, sizeof sized8);
    WriteStringField(out, std::string("a\0b", 3));
    WriteWideStringField(out, u"w\u00e9");
    WriteStringListField(out, lines);
    WriteStreamField(out, data, compact);
    WriteChunkedDataField(out, chunks, compact);
    TVirtualStream empty;
    WriteStreamField(out, empty, compact);
    WriteStringListField(out, TStringListEx());
    const std::string bytes = Bytes(out);

    struct Values {
      std::uint32_t fixed2 = 0xFFFFFFFF, fixed8 = 0;
      std::string text;
      std::u16string wide;
      TStringListEx list, empty_list;
      TVirtualStream stream, empty_stream;
      TChunkedDataContainer chunked;
    };
    auto check = [&](Values& v) {
      EXPECT_EQ(v.fixed2, 0x2211u);  // upper bytes zero
      EXPECT_EQ(v.fixed8, 0x04030201u);  // the surplus skipped
      EXPECT_EQ(v.text, std::string("a\0b", 3));
      EXPECT_EQ(v.wide, u"w\u00e9");
      EXPECT_TRUE(StringListsEqual(v.list, lines));
      EXPECT_TRUE(StreamsEqual(v.stream, data));
      EXPECT_EQ(v.stream.Position(), 0);
      EXPECT_TRUE(v.chunked.Equals(chunks));
      EXPECT_EQ(v.empty_stream.Size(), 0);
      EXPECT_EQ(v.empty_list.Count(), 0);
    };

    Values a;
    a.empty_stream.WriteBuffer("old", 3);
    a.empty_list.Add("old");
    TPlainStream in(bytes);
    ReadFixedField(in, &a.fixed2, 4);
    ReadFixedField(in, &a.fixed8, 4);
    ReadStringField(in, a.text);
    ReadWideStringField(in, a.wide);
    ReadStringListField(in, a.list);
    ReadStreamField(in, a.stream, compact);
    ReadChunkedDataField(in, a.chunked, compact);
    ReadStreamField(in, a.empty_stream, compact);
    ReadStringListField(in, a.empty_list);
    check(a);
    EXPECT_EQ(in.Position(), static_cast<std::int64_t>(bytes.size()));

    Values b;
    b.empty_stream.WriteBuffer("old", 3);
    b.empty_list.Add("old");
    const auto* start = reinterpret_cast<const std::uint8_t*>(bytes.data());
    TBufferCursor cursor{start, start + bytes.size()};
    ReadFixedFieldFromBuffer(cursor, &b.fixed2, 4);
    ReadFixedFieldFromBuffer(cursor, &b.fixed8, 4);
    ReadStringFieldFromBuffer(cursor, b.text);
    ReadWideStringFieldFromBuffer(cursor, b.wide);
    ReadStringListFieldFromBuffer(cursor, b.list);
    ReadStreamFieldFromBuffer(cursor, b.stream, compact);
    ReadChunkedDataFieldFromBuffer(cursor, b.chunked, compact);
    ReadStreamFieldFromBuffer(cursor, b.empty_stream, compact);
    ReadStringListFieldFromBuffer(cursor, b.empty_list);
    check(b);
    EXPECT_EQ(cursor.Pos, cursor.End);

    // A cursor never reads past its end.
    TBufferCursor short_cursor{start + 12, start + 14};
    std::string text;
    EXPECT_THROW(ReadStringFieldFromBuffer(short_cursor, text), EReadError);
  }
}

// Seeks whose target passes the largest position are refused and move
// nothing, over memory and over other streams.
TEST_F(PacketIOTest, FieldReaderAndWriterSeeksPastTheLargestPositionAreRefused) {
  const std::string kInvalid = "Invalid stream position";
  std::string bytes = "abcdef";
  TPointerStream memory(bytes.data(), 6, true);
  TPlainStream plain(bytes);
  for (TStream* source : {static_cast<TStream*>(&memory), static_cast<TStream*>(&plain)}) {
    TFieldReader reader(*source, -1);
    EXPECT_EQ(reader.GetByte(), 'a');
    for (int twice = 0; twice < 2; ++twice) {
      EXPECT_EQ(MessageOf([&] { reader.Seek(INT64_MAX, TSeekOrigin::soCurrent); }), kInvalid);
      EXPECT_EQ(MessageOf([&] { reader.Seek(INT64_MAX, TSeekOrigin::soEnd); }), kInvalid);
      EXPECT_EQ(reader.Offset(), 1);
    }
  }
  TPlainStream read_ahead(bytes);
  TFieldReader behind(read_ahead, -1);
  behind.Prefetch(4);
  EXPECT_EQ(behind.GetByte(), 'a');
  EXPECT_EQ(MessageOf([&] { behind.Seek(INT64_MIN, TSeekOrigin::soBeginning); }), kInvalid);
  EXPECT_EQ(behind.GetByte(), 'b');

  for (bool in_memory : {true, false}) {
    TMemoryStream memory_target;
    TPlainStream plain_target;
    TStream& target = in_memory ? static_cast<TStream&>(memory_target) : plain_target;
    const TFieldWriterPtr writer = TFieldWriter::Make(target);
    writer->Put("a", 1);
    for (int twice = 0; twice < 2; ++twice) {
      EXPECT_EQ(MessageOf([&] { writer->Seek(INT64_MAX, TSeekOrigin::soCurrent); }), kInvalid);
      EXPECT_EQ(MessageOf([&] { writer->Seek(INT64_MIN, TSeekOrigin::soBeginning); }), kInvalid);
      EXPECT_EQ(writer->Offset(), 1);
    }
    writer->Put("b", 1);
    writer->Flush();
    EXPECT_EQ(in_memory ? Bytes(memory_target) : plain_target.Bytes(), "ab");
  }
}

TEST_F(PacketIOTest, NegativeCompactValueFailsBeforeAnythingIsWritten) {
  TAllKindsPacket p;
  p.Compact = -1;
  TMemoryStream s;
  EXPECT_EQ(MessageOf([&] { SavePacket(p, s); }),
            "Cannot save packet: TAllKindsPacket.Compact holds -1, outside the compact range 0..2147483647");
  EXPECT_EQ(s.Size(), 0);
  TPacketStreamingContext ctx;
  EXPECT_THROW(SavePacket(p, s, &ctx), Exception);
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(ctx.WrittenClassCount(), 0);

  // In a list item, added or copied there.
  TAllKindsPacket added, copied;
  added.Items.Add(std::make_unique<TAllKindsPacket>());
  static_cast<TAllKindsPacket*>(added.Items.GetItem(0))->Compact = -1;
  copied.Items.Assign(added.Items);
  for (const TAllKindsPacket* q : {&added, &copied})
    EXPECT_TRUE(MessageOf([&] { SavePacket(*q, s); }).starts_with("Cannot save packet: TAllKindsPacket.Compact"));
  EXPECT_EQ(s.Size(), 0);
}

TEST_F(PacketIOTest, CompactAndSizedFormsAndStoredFieldCounts) {
  TAllKindsPacket p;
  p.Compact = 127;
  std::string b = SaveBytes(p);
  const std::size_t compact_at = 32 + 1 + 1 + 2 + 3 + 4;
  EXPECT_EQ(static_cast<unsigned char>(b[compact_at]), 0xFE);
  p.Compact = 128;
  b = SaveBytes(p);
  EXPECT_EQ(b.substr(compact_at, 4), std::string("\x01\x01\x00\x00", 4));
  // A long form may carry a small value.
  b.replace(compact_at, 4, std::string("\x03\x00\x00\x00", 4));
  EXPECT_EQ(static_cast<TAllKindsPacket&>(*LoadBoth(b)).Compact, 1);

  // A stored field count of 0 reads nothing.
  TSmallPacket s;
  s.Value = 1;
  std::string sb = SaveBytes(s);
  PutU32(sb, 8, 0);
  EXPECT_EQ(static_cast<TSmallPacket&>(*LoadBoth(sb)).Value, 7);

  // Sized: a 1-byte enum stored with size 4 takes the first byte.
  std::string e = SaveBytes(TAllKindsPacket());
  const std::size_t colour_at = 32 + 1 + 1 + 2 + 3 + 4 + 1 + 4 + 8 + 8 + 1 + 8 + 16;
  e.replace(colour_at, 2, std::string("\x04\x02\x00\x00\x00", 5));
  PutU32(e, 4, static_cast<std::uint32_t>(e.size()));
  auto loaded = LoadBoth(e);
  EXPECT_EQ(static_cast<TAllKindsPacket&>(*loaded).Colour, TColour::Blue);
  EXPECT_EQ(static_cast<TAllKindsPacket&>(*loaded).Str, "default");
}

TEST_F(PacketIOTest, OtherStreamsAreReadAndWrittenInLargePieces) {
  TAllKindsPacket p;
  p.Lines.Add(std::string(100, 'x'));
  TPlainStream s(SaveBytes(p));
  s.reads = 0;
  auto q = LoadPacket(s);
  EXPECT_EQ(s.reads, 2);  // header, payload
  EXPECT_TRUE(q->Equals(p));

  // A payload far beyond one buffer, written behind other bytes: the same
  // bytes as in memory, the header's size patched in place, a load in a
  // few reads that ends behind the packet.
  FillAllKinds(p);
  for (int i = 0; i < 3000; ++i) p.Lines.Add(std::string(40, static_cast<char>('a' + i % 26)));
  p.Data.SetSize(100000);
  std::memset(p.Data.Memory(), 7, 100000);
  const std::string bytes = SaveBytes(p);
  TPlainStream out("lead");
  out.SetPosition(4);
  SavePacket(p, out);
  EXPECT_EQ(out.Bytes(), "lead" + bytes);
  out.Write("tail", 4);
  out.SetPosition(4);
  out.reads = 0;
  EXPECT_TRUE(LoadPacket(out)->Equals(p));
  EXPECT_LE(out.reads, 8);
  EXPECT_EQ(out.Position(), 4 + static_cast<std::int64_t>(bytes.size()));
  LoadBoth(bytes);
}

TEST_F(PacketIOTest, StreamingContextWritesTheDefinitionOnce) {
  TSmallPacket p;
  TPacketStreamingContext ctx;
  TMemoryStream s;
  SavePacket(p, s, &ctx);
  const std::string first = Bytes(s);
  ASSERT_EQ(first.size(), 20u + 4 + 5);
  EXPECT_EQ(first.substr(0, 4), std::string("\x00\x00\x02\x00", 4));
  EXPECT_EQ(first.substr(4, 16), std::string("\x11\x11\x11\x11\x22\x22\x33\x33\x44\x44\x55\x55\x55\x55\x55\x55", 16));
  SavePacket(p, s, &ctx);
  EXPECT_EQ(Bytes(s).substr(first.size()), "\x02" + first.substr(20));
  // Two classes interleaved: each goes by its own id.
  TOtherPacket other;
  const std::vector<const TPacket*> order{&p, &other, &p, &other};
  TMemoryStream mixed;
  for (const TPacket* q : order) SavePacket(*q, mixed, &ctx);
  const std::size_t small = first.size() - 19, defined = 21;  // id byte or definition, then payload
  EXPECT_EQ(Bytes(mixed).substr(small + defined, small + 1), "\x02" + first.substr(20) + "\x04");

  // An id never defined.
  TPacketStreamingContext r;
  std::string bad("\x04", 1);
  TPointerStream bs(bad.data(), 1, true);
  EXPECT_EQ(MessageOf([&] { LoadPacket(bs, &r); }), "Invalid streaming context ID: 2");

  // A definition with more fields than the reader's class.
  std::string def("\x00\x00\x03\x00", 4);
  def += first.substr(4, 16);
  TPointerStream ds(def.data(), static_cast<std::int64_t>(def.size()), true);
  TPacketStreamingContext r2;
  EXPECT_EQ(MessageOf([&] { LoadPacket(ds, &r2); }), "Unsupported version of packet class: TSmallPacket (version 3)");

  // DoNotLearn: the definition is used, not remembered.
  std::string two = Bytes(s);
  TPointerStream ts(two.data(), static_cast<std::int64_t>(two.size()), true);
  TPacketStreamingContext forget;
  forget.DoNotLearn = true;
  LoadPacket(ts, &forget);
  EXPECT_EQ(forget.KnownClassCount(), 0);
  EXPECT_THROW(LoadPacket(ts, &forget), Exception);
}

TEST_F(PacketIOTest, PacketListsOnTheWire) {
  TSmallPacketList a, b;
  a.AddNew().Value = 1;
  a.AddNew().Value = 2;
  b.AddNew().Value = 2;
  b.AddNew().Value = 1;
  EXPECT_FALSE(a.Equals(b));
  b.Assign(a);
  EXPECT_TRUE(a.Equals(b));

  // Loading replaces the content, also where it loads over the items
  // there are: an item stored with fewer fields gets the defaults, and a
  // string list refilled in place loses its old lines and objects.
  TMemoryStream ls;
  a.SaveToStream(ls, nullptr);
  std::string stored = Bytes(ls);
  PutU32(stored, 4 + 8, 1);  // the first item stores its Value only
  b.Items(0).Text = "old";
  b.AddNew();
  TPointerStream ps(stored.data(), static_cast<std::int64_t>(stored.size()), true);
  b.LoadFromStream(ps, nullptr);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(b.Items(0).Value, 1);
  EXPECT_EQ(b.Items(0).Text, "none");
  EXPECT_TRUE(b.Items(1).Equals(a.Items(1)));
  InEveryMode(stored, [&](TStream& in) {  // the first packet's end bounds only the first packet
    TSmallPacketList c;
    c.LoadFromStream(in, nullptr);
    ASSERT_EQ(c.Count(), 2);
    EXPECT_TRUE(c.Items(1).Equals(a.Items(1)));
  });
  TAllKindsPacket lines, over;
  lines.Lines.Add("new");
  TObject marker;
  for (const char* s : {"x", "y"}) over.Lines.AddObject(s, &marker);
  const std::string lb = SaveBytes(lines);
  TPointerStream lps(const_cast<char*>(lb.data()), static_cast<std::int64_t>(lb.size()), true);
  LoadPacketInto(over, lps);
  ASSERT_EQ(over.Lines.Count(), 1);
  EXPECT_EQ(over.Lines.Get(0), "new");
  EXPECT_EQ(over.Lines.GetObject(0), nullptr);

  // An item of a class that does not inherit from the item class.
  TMemoryStream bad;
  const std::uint32_t one = 1;
  bad.WriteBuffer(&one, 4);
  SavePacket(TOtherPacket(), bad);
  bad.SetPosition(0);
  EXPECT_EQ(MessageOf([&] { b.LoadFromStream(bad, nullptr); }),
            "Cannot load packet list: TOtherPacket is not a TSmallPacket");
  EXPECT_THROW(b.AddChecked(std::make_unique<TOtherPacket>()), EAssertionFailed);
  TPacketList<TOtherPacket> others;
  EXPECT_THROW(b.AddCopies(others), EAssertionFailed);
}

// A stream field's length: four bytes without a context, compact with one.
TEST_F(PacketIOTest, StreamFieldLengthFormFollowsTheContext) {
  TAllKindsPacket p;
  p.Data.WriteBuffer("xyz", 3);
  TPacketStreamingContext ctx;
  EXPECT_NE(SaveBytes(p).find(std::string("\x03\x00\x00\x00xyz", 7)), std::string::npos);
  EXPECT_NE(SaveBytes(p, &ctx).find("\x06xyz"), std::string::npos);
}

TEST_F(PacketIOTest, CompressedPacketLoadsBack) {
  TAllKindsPacket p;
  FillAllKinds(p);
  TMemoryStream s;
  SavePacket(p, s, nullptr, pioCompress | pioBuffered);  // as the compress option alone
  EXPECT_EQ(Bytes(s).substr(0, 8), std::string("sdc2\x03\x00\x00\x00", 8));
  s.SetPosition(0);
  EXPECT_TRUE(LoadPacket(s, nullptr, pioCompressed)->Equals(p));

  // Behind other data the container cannot be read: the reader starts at 0.
  TMemoryStream behind;
  behind.WriteBuffer("xx", 2);
  SavePacket(p, behind, nullptr, pioCompress);
  behind.SetPosition(2);
  EXPECT_THROW(LoadPacket(behind, nullptr, pioCompressed), Exception);
}

// ---- Streams that cannot seek --------------------------------------------------

// A forked child's exit code, -1 when it did not exit.
int ExitCode(pid_t child) {
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Both forms through a pipe, small packets and one far beyond the buffers,
// and a last packet cut short by the writer closing its end.
void SendOverPipe(int fd, const std::vector<const TPacket*>& packets, const std::string& cut) {
  THandleStream out(fd);
  for (const TPacket* p : packets) SavePacket(*p, out);
  SavePacket(*packets[1], out, nullptr, pioBuffered);
  TPacketStreamingContext context;
  for (const TPacket* p : packets) SavePacket(*p, out, &context);
  out.WriteBuffer(cut.data(), static_cast<std::int64_t>(cut.size()));
}

void ReceiveOverPipe(int fd, const std::vector<const TPacket*>& packets) {
  THandleStream in(fd);
  for (const TPacket* p : packets) EXPECT_TRUE(LoadPacket(in)->Equals(*p));
  EXPECT_TRUE(LoadPacket(in)->Equals(*packets[1]));
  TPacketStreamingContext context;
  for (const TPacket* p : packets) EXPECT_TRUE(LoadPacket(in, &context)->Equals(*p));
  EXPECT_THROW(LoadPacket(in), EReadError);
}

TEST_F(PacketIOTest, PacketsTravelThroughAPipeBetweenThreadsAndProcesses) {
  TSmallPacket small;
  TAllKindsPacket big;
  FillAllKinds(big);
  for (int i = 0; i < 3000; ++i) big.Lines.Add(std::string(40, static_cast<char>('a' + i % 26)));
  big.Data.SetSize(100000);
  std::memset(big.Data.Memory(), 7, 100000);
  const std::vector<const TPacket*> packets{&small, &big, &small};
  const std::string cut = SaveBytes(big).substr(0, 5000);

  os::IgnoreBrokenPipeSignal();  // a reader that fails early fails the writer's writes
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string sent;
  std::thread writer([&] { sent = MessageOf([&] { SendOverPipe(fds[1], packets, cut); }); });
  const std::string received = MessageOf([&] { ReceiveOverPipe(fds[0], packets); });
  writer.join();
  EXPECT_EQ(sent + received, "(no exception)(no exception)");

  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    ::_exit(MessageOf([&] { SendOverPipe(fds[1], packets, cut); }) == "(no exception)" ? 0 : 1);
  }
  ::close(fds[1]);
  EXPECT_EQ(MessageOf([&] { ReceiveOverPipe(fds[0], packets); }), "(no exception)");
  EXPECT_EQ(ExitCode(child), 0);
}

// Claims of 2 GB in 43 bytes of a stream that claims 2^40 bytes end in the
// read error, in a child whose address space has 256 MB to spare.
TEST_F(PacketIOTest, ClaimedLengthsAllocateOnlyWhatArrives) {
#ifdef VT_TEST_SANITIZED
  GTEST_SKIP() << "the sanitizer reserves address space of its own";
#endif
  const std::string claim("\xFF\xFF\xFF\xFF", 4);
  std::string stand_alone = SaveBytes(TSmallPacket());  // Value, Text "none"
  stand_alone.replace(36, 5, claim + "abc");
  PutU32(stand_alone, 4, 0xFFFFFFF0u);
  TPacketStreamingContext writing;
  std::string lines = SaveBytes(TAllKindsPacket(), &writing);
  lines.replace(20 + 85, 1, claim);  // the string list's count (fields 0..17 take 85 bytes)
  const pid_t child = ::fork();
  if (child == 0) {
    std::uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit limit{pages * 4096 + (256u << 20), pages * 4096 + (256u << 20)};
    int wrong = ::setrlimit(RLIMIT_AS, &limit);
    for (const std::string* bytes : {&stand_alone, &lines}) {
      TTrickleStream in(*bytes);
      in.max_read = std::int64_t{1} << 40;
      TPacketStreamingContext reading;
      wrong += ExactMessageOf<EReadError>([&] { LoadPacket(in, bytes == &lines ? &reading : nullptr); }) !=
               "Stream read error";
    }
    ::_exit(wrong);
  }
  EXPECT_EQ(ExitCode(child), 0);
}

// ---- Loading from a file --------------------------------------------------------

class PacketFileTest : public PacketIOTest {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    WriteFileText(folder_.File(name), bytes);
    return folder_.File(name);
  }

  TempFolder folder_{"vt_packet_file"};
};

TEST_F(PacketFileTest, LoadsTheStandAlonePacketAtTheStartOfTheFile) {
  // A newer writer's packet with other bytes behind it: the reader takes
  // its own fields and nothing past the header's total size.
  TSmallPacketV2 v2;
  v2.Value = 3;
  v2.Text = std::string(70000, 't');
  v2.Extra = 5;
  TSmallPacket p;
  LoadPacketFromFile(p, Write("v2.dat", SaveBytes(v2) + "MZ appended program"));
  EXPECT_EQ(p.Value, 3);
  EXPECT_EQ(p.Text, v2.Text);

  // Compressed, with the retry flag (the file is there: no wait).
  TAllKindsPacket all;
  FillAllKinds(all);
  TMemoryStream packed;
  SavePacket(all, packed, nullptr, pioCompress);
  const std::string path = Write("packed.dat", Bytes(packed));
  TAllKindsPacket into;
  LoadPacketFromFile(into, path, pioCompressed | pioRetryOpen);
  EXPECT_TRUE(into.Equals(all));
}

TEST_F(PacketFileTest, FailuresNameTheClassAndTheFile) {
  const std::string missing = folder_.File("missing.dat");
  const std::string failed = "Failed to load packet TSmallPacket from file ";
  TSmallPacket p;
  for (std::uint8_t options : {std::uint8_t{0}, std::uint8_t{pioRetryOpen}})
    EXPECT_EQ(MessageOf([&] { LoadPacketFromFile(p, missing, options); }),
              failed + missing + "\r\nCannot open file: " + missing);
  const std::string other = Write("other.dat", SaveBytes(TOtherPacket()));
  EXPECT_EQ(MessageOf([&] { LoadPacketFromFile(p, other); }),
            failed + other + "\r\nIncompatible packet class: {AAAAAAAA-0000-0000-0000-000000000001} "
                             "({11111111-2222-3333-4444-555555555555}, TSmallPacket expected)");
  const std::string empty = Write("empty.dat", "");
  EXPECT_EQ(MessageOf([&] { LoadPacketFromFile(p, empty); }), failed + empty + "\r\nStream read error");
  std::string cut = SaveBytes(p);
  cut.resize(34);
  const std::string short_file = Write("short.dat", cut);
  EXPECT_THROW(LoadPacketFromFile(p, short_file), Exception);

  // The file is closed after a failure: it can be replaced and read.
  std::filesystem::remove(other);
  p.Value = 11;
  const std::string again = Write("other.dat", SaveBytes(p));
  TSmallPacket q;
  LoadPacketFromFile(q, again);
  EXPECT_EQ(q.Value, 11);
}

}  // namespace
}  // namespace vt::test
