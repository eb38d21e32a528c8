// Stand-alone packets over memory, plain streams, files and pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "PacketTestClasses.h"
#include "common/FileStreams.h"
#include "common/StreamUtils.h"
#include "support/PacketBytes.h"
#include "support/PipeFeed.h"
#include "support/StreamBytes.h"
#include "support/TestFiles.h"

namespace vt::test {
namespace {

class PacketStreamsTest : public TempFolderTest {
 protected:
  void SetUp() override { RegisterTestPackets(); }
};

// BYTES cut at TOTAL, with its header stating TOTAL.
std::string CutAt(const std::string& bytes, std::uint32_t total) {
  std::string cut = bytes.substr(0, total);
  PutU32(cut, 4, total);
  return cut;
}

// A packet cut at its stated end, then a good one: the first raises (or loads,
// when whole) and the second loads, from memory, a plain stream and a pipe.
TEST_F(PacketStreamsTest, FieldsCrossingTheStatedEndRaiseAndTheNextPacketLoads) {
  TSmallPacket first, next;
  first.Value = 0x11223344;
  first.Text = "x";
  next.Value = 7;
  next.Text = "next";
  const std::string whole = SaveBytes(first), behind = SaveBytes(next);
  ASSERT_EQ(whole.size(), 38u);  // header, Value (4), Text (1 + 1)
  auto check = [&](const std::string& bytes, const TPacket* loaded) {
    auto run = [&](TStream& in) {
      if (loaded != nullptr) {
        EXPECT_TRUE(LoadPacket(in)->Equals(*loaded));
      } else {
        EXPECT_THROW(LoadPacket(in), EReadError);
      }
      EXPECT_TRUE(LoadPacket(in)->Equals(next));
    };
    const std::string all = bytes + behind;
    TPointerStream in_memory(const_cast<char*>(all.data()), static_cast<std::int64_t>(all.size()), true);
    run(in_memory);
    EXPECT_EQ(in_memory.Position(), in_memory.Size());
    TPlainStream plain(all);
    run(plain);
    TPipeFeed pipe(all);
    run(pipe.In());
    EXPECT_EQ(pipe.Rest(), "");
  };
  for (std::uint32_t total : {33u, 36u, 37u, 38u}) {
    SCOPED_TRACE(total);
    check(CutAt(whole, total), total == 38 ? &first : nullptr);
  }
  // Every field kind: each stated size short of the fields' end raises.
  TAllKindsPacket all;
  FillAllKinds(all);
  const std::string all_bytes = SaveBytes(all);
  for (std::uint32_t total = 32; total <= all_bytes.size(); ++total) {
    SCOPED_TRACE(total);
    check(CutAt(all_bytes, total), total == all_bytes.size() ? &all : nullptr);
  }
  // A nested packet's stated end bounds its fields inside a longer outer one.
  TChainPacket chain;
  chain.NeedNext();
  std::string nested = SaveBytes(chain);  // header, present byte, header, absent byte
  ASSERT_EQ(nested.size(), 66u);
  check(nested, &chain);
  PutU32(nested, 33 + 4, 32);
  check(nested, nullptr);
}

// Saving through an appending descriptor holds the packet until its size is
// known; a stream that seeks but writes elsewhere fails the save.
TEST_F(PacketStreamsTest, PacketSavedThroughAnAppendingDescriptorLoadsBackWhole) {
  TSmallPacket big, small;
  big.Value = 5;
  big.Text = std::string(1 << 20, 't');
  small.Value = 6;
  Write("out.bin", "head");
  for (bool append : {true, false}) {
    const int fd = ::open(P("out.bin").c_str(), O_WRONLY | (append ? O_APPEND : 0));
    ASSERT_GE(fd, 0);
    THandleStream out(fd);
    EXPECT_EQ(out.AppendsOnly(), append);
    if (!append) out.Seek(0, TSeekOrigin::soEnd);
    SavePacket(big, out);
    SavePacket(small, out);
  }
  const std::string one = SaveBytes(big) + SaveBytes(small);
  EXPECT_EQ(Read("out.bin"), "head" + one + one);
  TFileStreamEx in(P("out.bin"), fmOpenRead);
  in.SetPosition(4);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(LoadPacket(in)->Equals(big));
    EXPECT_TRUE(LoadPacket(in)->Equals(small));
  }

  // Compressed, the container's block sizes are patched alike.
  for (int i = 0; i < 2; ++i) {
    const int fd = ::open(P("packed.bin").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(fd, 0);
    THandleStream out(fd);
    SavePacket(big, out, nullptr, pioCompress);
  }
  TFileStreamEx packed(P("packed.bin"), fmOpenRead);
  const std::int64_t one_packed = packed.Size() / 2;
  for (int i = 0; i < 2; ++i) {
    TVirtualStream copy;
    copy.CopyFrom(packed, one_packed);
    copy.SetPosition(0);
    EXPECT_TRUE(LoadPacket(copy, nullptr, pioCompressed)->Equals(big));
  }

  struct TAppendingStream : TPlainStream {
    std::int64_t Write(const void* buffer, std::int64_t count) override {
      Seek(0, TSeekOrigin::soEnd);
      return TPlainStream::Write(buffer, count);
    }
  } appending;
  EXPECT_THROW(SavePacket(big, appending), EWriteError);
  TPlainStream plain;
  SavePacket(big, plain);
  EXPECT_EQ(plain.Bytes(), SaveBytes(big));
}

// A target that takes every write but whose seeks mean nothing (/dev/null,
// or a stream that always answers 0) is written as one that cannot seek:
// in order, with the size in place, whether the packet fits the writer's
// buffer or not.
TEST_F(PacketStreamsTest, TargetsWhoseSeeksMeanNothingAreWrittenInOrder) {
  struct TSinkStream : TStream {
    std::string written;
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
      written.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
      return count;
    }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
  };
  for (std::size_t text : {std::size_t{16344}, std::size_t{16345}, std::size_t{100000}}) {
    SCOPED_TRACE(text);
    TSmallPacket p;
    p.Text = std::string(text, 's');
    const std::string bytes = SaveBytes(p);
    EXPECT_EQ(bytes.size(), text + 40);
    const int fd = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(fd, 0);
    THandleStream null(fd);
    TSinkStream sink;
    for (int twice = 0; twice < 2; ++twice) {
      EXPECT_NO_THROW(SavePacket(p, null));
      SavePacket(p, sink);
    }
    EXPECT_EQ(sink.written, bytes + bytes);
  }
}

// A newer writer's packet: the payload reader ends behind the whole packet,
// over a pipe, a file and a plain stream; cut short, it raises.
TEST_F(PacketStreamsTest, PayloadReaderEndsBehindTheStoredPacket) {
  TSmallPacketV2 v2;
  v2.Value = 3;
  v2.Text = "abc";
  v2.Extra = 9;
  const std::string bytes = SaveBytes(v2);
  auto read = [&](TStream& in) {
    TPacketLoadInfo info;
    ReadPacketHeader(in, nullptr, &TSmallPacket::Class, info);
    TSmallPacket p;
    ReadPacketFields(p, in, nullptr, info);
    EXPECT_EQ(p.Value, 3);
    EXPECT_EQ(p.Text, "abc");
  };
  TPipeFeed pipe(bytes + "tail");
  read(pipe.In());
  EXPECT_EQ(pipe.Rest(), "tail");
  Write("v2.bin", bytes + "tail");
  TFileStreamEx file(P("v2.bin"), fmOpenRead);
  TPlainStream plain(bytes + "tail");
  for (TStream* in : {static_cast<TStream*>(&file), static_cast<TStream*>(&plain)}) {
    read(*in);
    EXPECT_EQ(in->Position(), static_cast<std::int64_t>(bytes.size()));
  }
  TPipeFeed cut(bytes.substr(0, bytes.size() - 1));
  EXPECT_THROW(read(cut.In()), EReadError);
}

// A packet whose class cannot be read (unknown to LoadPacket, another class
// for LoadPacketInto) raises and leaves the source behind it: the packets
// after it load, over memory, a plain stream, a file, a mapped file and a
// pipe, each read twice.
TEST_F(PacketStreamsTest, PacketOfAnUnreadableClassIsSkippedAndThoseAfterItLoad) {
  auto numbered = [](std::int32_t n) {
    auto p = std::make_unique<TSmallPacket>();
    p->Value = n;
    p->Text = std::string(static_cast<std::size_t>(n), 'n');
    return p;
  };
  std::string unknown = SaveBytes(*numbered(40));
  unknown[16] = '\x77';  // a class no one registered
  TAllKindsPacket other;
  other.Str = std::string(70000, 'o');  // longer than a buffered read
  for (bool into : {false, true}) {
    SCOPED_TRACE(into ? "LoadPacketInto, another class" : "LoadPacket, an unregistered class");
    const std::string bad = into ? SaveBytes(other) : unknown;
    const std::string all =
        SaveBytes(*numbered(10)) + bad + SaveBytes(*numbered(11)) + SaveBytes(*numbered(12));
    const std::string expected_error =
        into ? "Incompatible packet class: " + GuidToText(TAllKindsPacket::Class.GetClassGUID()) +
                   " ({11111111-2222-3333-4444-555555555555}, TSmallPacket expected)"
             : "Unregistered packet class: {11111177-2222-3333-4444-555555555555}";
    auto run = [&](TStream& in) {
      for (std::int32_t n : {10, -1, 11, 12}) {
        SCOPED_TRACE(n);
        TSmallPacket p;
        const std::string error = MessageOf([&] {
          if (into) {
            LoadPacketInto(p, in);
          } else {
            p.Assign(*LoadPacket(in));
          }
        });
        if (n < 0) {
          EXPECT_EQ(error, expected_error);
        } else {
          EXPECT_EQ(error, "(no exception)");
          EXPECT_TRUE(p.Equals(*numbered(n)));
        }
      }
    };
    Write("all.bin", all);
    for (int pass = 0; pass < 2; ++pass) {
      TPointerStream in_memory(const_cast<char*>(all.data()), static_cast<std::int64_t>(all.size()), true);
      run(in_memory);
      EXPECT_EQ(in_memory.Position(), in_memory.Size());
      TPlainStream plain(all);
      run(plain);
      {
        TFileStreamEx file(P("all.bin"), fmOpenRead);
        run(file);
        EXPECT_EQ(file.Position(), file.Size());
      }
      {
        TMappedFileStream mapped(P("all.bin"), fmOpenRead);
        run(mapped);
        EXPECT_EQ(mapped.Position(), mapped.Size());
      }
      TPipeFeed pipe(all);
      run(pipe.In());
      EXPECT_EQ(pipe.Rest(), "");
    }
  }
}

// A packet whose object cannot be made (memory runs out) raises and leaves
// the source behind it, over memory, a file and a pipe; with objects made
// again it loads.
TEST_F(PacketStreamsTest, APacketWhoseObjectCannotBeMadeIsSkipped) {
  TSmallPacket first, last;
  first.Value = 10;
  last.Value = 11;
  TRefusedPacket refused;
  refused.Value = 5;
  const std::string all = SaveBytes(first) + SaveBytes(refused) + SaveBytes(last);
  Write("all.bin", all);
  for (const bool refuse : {true, false}) {
    SCOPED_TRACE(refuse ? "refused" : "made");
    auto run = [&](TStream& in) {
      EXPECT_TRUE(LoadPacket(in)->Equals(first));
      TRefusedPacket::Refuse = refuse;
      const std::string error = MessageOf([&] { EXPECT_TRUE(LoadPacket(in)->Equals(refused)); });
      TRefusedPacket::Refuse = false;
      EXPECT_EQ(error, refuse ? "std::bad_alloc" : "(no exception)");
      EXPECT_TRUE(LoadPacket(in)->Equals(last));
    };
    TPointerStream in_memory(const_cast<char*>(all.data()), static_cast<std::int64_t>(all.size()), true);
    run(in_memory);
    TFileStreamEx file(P("all.bin"), fmOpenRead);
    run(file);
    TPipeFeed pipe(all);
    run(pipe.In());
    EXPECT_EQ(pipe.Rest(), "");
  }
}

}  // namespace
}  // namespace vt::test
