// Stand-alone packets over streams of every kind: a packet's stated end
// bounds every read, targets that append cannot be patched in place, and
// the payload reader takes a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
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

// A packet whose header states Total bytes, cut there, then a good packet:
// the first load raises at its stated end, the second loads, from memory,
// from a stream without memory and from a pipe.
TEST_F(PacketStreamsTest, FieldsCrossingTheStatedEndRaiseAndTheNextPacketLoads) {
  TSmallPacket first;
  first.Value = 0x11223344;
  first.Text = "x";
  const std::string whole = SaveBytes(first);  // header, Value (4), Text (1 + 1)
  ASSERT_EQ(whole.size(), 38u);
  TSmallPacket next;
  next.Value = 7;
  next.Text = "next";
  const std::string behind = SaveBytes(next);
  // Loads Bytes, then the good packet, in every mode; Loaded: the first
  // packet, or nullptr when its load must raise.
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
    std::string cut = whole.substr(0, total);
    PutU32(cut, 4, total);
    check(cut, total == 38 ? &first : nullptr);
  }

  // Every field kind: each stated size short of the fields' end raises.
  TAllKindsPacket all;
  FillAllKinds(all);
  const std::string all_bytes = SaveBytes(all);
  for (std::uint32_t total = 32; total <= all_bytes.size(); ++total) {
    SCOPED_TRACE(total);
    std::string cut = all_bytes.substr(0, total);
    PutU32(cut, 4, total);
    check(cut, total == all_bytes.size() ? &all : nullptr);
  }

  // A nested packet's stated end bounds its fields alike, inside an outer
  // packet that ends further on.
  TChainPacket chain;
  chain.NeedNext();
  std::string nested = SaveBytes(chain);  // header, present byte, header, absent byte
  ASSERT_EQ(nested.size(), 66u);
  check(nested, &chain);
  PutU32(nested, 33 + 4, 32);
  check(nested, nullptr);
}

// A writer whose size patch lands at the end of the file (a descriptor
// opened for appending, as `prog >> file` gives) holds the packet until its
// size is known; a stream that seeks but writes elsewhere fails the save.
TEST_F(PacketStreamsTest, PacketSavedThroughAnAppendingDescriptorLoadsBackWhole) {
  TSmallPacket big;
  big.Value = 5;
  big.Text = std::string(1 << 20, 't');
  TSmallPacket small;
  small.Value = 6;
  Write("out.bin", "head");
  for (bool append : {true, false}) {
    const int fd = ::open(P("out.bin").c_str(), O_WRONLY | (append ? O_APPEND : 0));
    ASSERT_GE(fd, 0);
    {
      THandleStream out(fd);
      EXPECT_EQ(out.AppendsOnly(), append);
      if (!append) out.Seek(0, TSeekOrigin::soEnd);
      SavePacket(big, out);
      SavePacket(small, out);
    }
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
  TVirtualStream first;
  first.CopyFrom(packed, one_packed);
  first.SetPosition(0);
  EXPECT_TRUE(LoadPacket(first, nullptr, pioCompressed)->Equals(big));
  first.Clear();
  first.CopyFrom(packed, one_packed);
  first.SetPosition(0);
  EXPECT_TRUE(LoadPacket(first, nullptr, pioCompressed)->Equals(big));

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

// A newer writer's packet read by header and payload readers: the payload
// reader ends behind the whole packet, over a pipe and a file alike.
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
  read(file);
  EXPECT_EQ(file.Position(), static_cast<std::int64_t>(bytes.size()));
  TPlainStream plain(bytes + "tail");
  read(plain);
  EXPECT_EQ(plain.Position(), static_cast<std::int64_t>(bytes.size()));

  // A payload cut short by the stream's end is the read error.
  TPipeFeed cut(bytes.substr(0, bytes.size() - 1));
  EXPECT_THROW(read(cut.In()), EReadError);
}

}  // namespace
}  // namespace vt::test
