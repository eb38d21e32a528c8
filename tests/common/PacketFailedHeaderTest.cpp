// Where a failed stand-alone load leaves each kind of stream, so that a
// reader that logs the failure and goes on moves forward and ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PacketTestClasses.h"
#include "common/ChunkedDataContainer.h"
#include "common/FileStreams.h"
#include "common/PacketFields.h"
#include "common/RealTimeCompressStreams.h"
#include "common/StreamUtils.h"
#include "support/PacketBytes.h"
#include "support/Patience.h"
#include "support/PipeFeed.h"
#include "support/TestFiles.h"

namespace vt::test {
namespace {

enum class TKind { Memory, Pointer, Virtual, Plain, File, Mapped, Chunked, Decompress, Pipe };
constexpr TKind kAllKinds[] = {TKind::Memory, TKind::Pointer,    TKind::Virtual,    TKind::Plain, TKind::File,
                               TKind::Mapped, TKind::Chunked, TKind::Decompress, TKind::Pipe};
const char* KindName(TKind kind) {
  static const char* const names[] = {"memory", "pointer", "virtual", "plain",     "file",
                                      "mapped", "chunked", "decompress", "pipe"};
  return names[static_cast<int>(kind)];
}

// BYTES as a stream of KIND, at its start (FILE holds them where a file is needed).
class TSource {
 public:
  TSource(TKind kind, const std::string& bytes, const std::string& file) : bytes_(bytes) {
    const auto size = static_cast<std::int64_t>(bytes.size());
    switch (kind) {
      case TKind::Memory: stream_ = Filled(std::make_unique<TMemoryStream>()); break;
      case TKind::Pointer: stream_ = std::make_unique<TPointerStream>(bytes_.data(), size, true); break;
      case TKind::Virtual: stream_ = Filled(std::make_unique<TVirtualStream>()); break;
      case TKind::Plain: stream_ = std::make_unique<TPlainStream>(bytes); break;
      case TKind::File:
        WriteFileText(file, bytes);
        stream_ = std::make_unique<TFileStreamEx>(file, fmOpenRead);
        break;
      case TKind::Mapped:
        WriteFileText(file, bytes);
        stream_ = std::make_unique<TMappedFileStream>(file, fmOpenRead);
        break;
      case TKind::Chunked: stream_ = Filled(std::make_unique<TChunkedDataContainer>()); break;
      case TKind::Decompress: {
        TPointerStream plain(bytes_.data(), size, true);
        container_ = std::make_unique<TVirtualStream>();
        CompressToStream(plain, size, *container_, cfQuickLZ131);
        stream_ = std::make_unique<TDecompressStream>(container_.get(), 0, 1, false);
        break;
      }
      case TKind::Pipe: pipe_ = std::make_unique<TPipeFeed>(bytes); break;
    }
  }
  TStream& In() { return pipe_ ? pipe_->In() : *stream_; }
  // What is left unread.
  std::string Rest() {
    if (pipe_) return pipe_->Rest();
    std::string rest(static_cast<std::size_t>(In().Size() - In().Position()), '\0');
    In().ReadBuffer(rest.data(), static_cast<std::int64_t>(rest.size()));
    return rest;
  }

 private:
  template <typename S>
  std::unique_ptr<TStream> Filled(std::unique_ptr<S> s) {
    s->WriteBuffer(bytes_.data(), static_cast<std::int64_t>(bytes_.size()));
    s->SetPosition(0);
    return s;
  }

  std::string bytes_;
  std::unique_ptr<TVirtualStream> container_;  // outlives the stream over it
  std::unique_ptr<TStream> stream_;
  std::unique_ptr<TPipeFeed> pipe_;
};

std::string Numbered(std::int32_t n) {
  TSmallPacket p;
  p.Value = n;
  p.Text = std::string(static_cast<std::size_t>(n), 'n');
  return SaveBytes(p);
}

// A header alone: version, stated size, class (first byte 0x77: a class no
// one registered).
std::string Header(std::uint32_t version, std::uint32_t total, bool registered) {
  std::string h = Numbered(0).substr(0, 32);
  PutU32(h, 0, version);
  PutU32(h, 4, total);
  if (!registered) h[16] = '\x77';
  return h;
}

const std::string kUnregistered = "Unregistered packet class: {11111177-2222-3333-4444-555555555555}";

class PacketFailedHeaderTest : public TempFolderTest {
 protected:
  void SetUp() override { RegisterTestPackets(); }
  // The outcome of one LoadPacket: "loaded <Value>" or the error's text.
  static std::string LoadOne(TStream& in) {
    try {
      return "loaded " + std::to_string(dynamic_cast<TSmallPacket&>(*LoadPacket(in)).Value);
    } catch (const Exception& e) {
      return e.what();
    }
  }
};

// Bad headers of every kind between good packets: over every kind of stream
// each try moves forward to one place (behind the header when its size
// cannot be trusted, at its stated end when it can), every good packet
// loads, and the reader ends.
TEST_F(PacketFailedHeaderTest, ALogAndGoOnReaderLoadsEveryGoodPacketAndEnds) {
  struct TRecord {
    std::string bytes;
    std::string outcome;
    bool on_pipe = true;
  };
  const std::string skipped = Header(2, 32 + 10, false) + std::string(10, 's');
  const std::vector<TRecord> records = {
      {Numbered(1), "loaded 1"},
      {Header(3, 40, true), "Cannot load packet. Unknown format version: 3"},  // 40 is not trusted
      {Numbered(2), "loaded 2"},
      {Header(2, 31, true), "Cannot load packet. Invalid packet size: 31"},
      {Numbered(3), "loaded 3"},
      {skipped, kUnregistered},
      {Numbered(4), "loaded 4"},
      {Header(2, 0xFFFFFFFFu, false), "Stream read error"},  // a pipe: the class, then no reading on
      {Numbered(5), "loaded 5"},
      // A known class: a pipe would read what follows as its fields.
      {Header(2, 0xFFFFFFFFu, true), "Stream read error", false},
      {Numbered(6), "loaded 6"},
      {Numbered(7).substr(0, 20), "Stream read error"},  // a header cut short
  };
  for (TKind kind : kAllKinds) {
    SCOPED_TRACE(KindName(kind));
    std::string all;
    std::vector<std::string> expected;
    std::vector<std::int64_t> ends;  // of each record
    for (const TRecord& r : records) {
      if (kind == TKind::Pipe && !r.on_pipe) continue;
      all += r.bytes;
      ends.push_back(static_cast<std::int64_t>(all.size()));
      expected.push_back(kind == TKind::Pipe && r.bytes.size() == 32 && r.bytes[16] == '\x77' &&
                                 r.outcome == "Stream read error"
                             ? kUnregistered
                             : r.outcome);
    }
    // Untrusted headers stand alone, so each record ends where its try
    // leaves the stream; tries at the end raise and stay there.
    for (int more = 0; more < 2; ++more) {
      expected.push_back("Stream read error");
      ends.push_back(static_cast<std::int64_t>(all.size()));
    }
    TSource source(kind, all, P("all.bin"));
    std::vector<std::string> outcomes;
    std::vector<std::int64_t> positions;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      outcomes.push_back(LoadOne(source.In()));
      if (kind != TKind::Pipe) positions.push_back(source.In().Position());
    }
    EXPECT_EQ(outcomes, expected);
    if (kind != TKind::Pipe) {
      EXPECT_EQ(positions, ends);
    }
    EXPECT_EQ(source.Rest(), "");
  }
}

// The stated end at the source's very end is trusted; one byte past it is
// not, on every stream that can tell its size. A pipe reads on to it.
TEST_F(PacketFailedHeaderTest, AStatedEndOnePastTheSourceIsNotTrusted) {
  for (TKind kind : kAllKinds) {
    SCOPED_TRACE(KindName(kind));
    for (std::uint32_t past : {0u, 1u}) {
      SCOPED_TRACE(past);
      const std::string tail = Numbered(9);
      const std::string all = Numbered(8) + Header(2, 32 + static_cast<std::uint32_t>(tail.size()) + past, false) + tail;
      TSource source(kind, all, P("all.bin"));
      EXPECT_EQ(LoadOne(source.In()), "loaded 8");
      const bool trusted = past == 0 || kind == TKind::Pipe;
      EXPECT_EQ(LoadOne(source.In()), trusted ? kUnregistered : "Stream read error");
      EXPECT_EQ(source.Rest(), trusted ? "" : tail);
    }
  }
}

// ReadPacketHeader's PayloadEnd is the stream position at the stated end on
// every kind that has positions (from the header's start over a pipe):
// seeking there skips the packet. A packet of an unregistered class raises
// and leaves the stream behind it, so the next one loads.
TEST_F(PacketFailedHeaderTest, ReadPacketHeaderGivesTheEndAsAPositionAndSkipsAnUnregisteredPacket) {
  const std::string first = Numbered(3), second = Numbered(4);
  std::string unknown = Numbered(5);
  unknown[16] = '\x77';
  const std::string all = first + second + unknown + Numbered(6);
  const auto expected_end = static_cast<std::int64_t>(first.size() + second.size());
  for (TKind kind : kAllKinds) {
    SCOPED_TRACE(KindName(kind));
    TSource source(kind, all, P("all.bin"));
    TStream& in = source.In();
    EXPECT_EQ(LoadOne(in), "loaded 3");
    for (int twice = 0; twice < 2; ++twice) {
      TPacketLoadInfo info;
      if (twice == 0) {
        ReadPacketHeader(in, nullptr, nullptr, info);
        EXPECT_EQ(info.PayloadSize, static_cast<std::int64_t>(second.size()) - 32);
        if (kind == TKind::Pipe) {
          EXPECT_EQ(info.PayloadEnd, static_cast<std::int64_t>(second.size()));
          TSmallPacket skipped;
          ReadPacketFields(skipped, in, nullptr, info);
        } else {
          EXPECT_EQ(info.PayloadEnd, expected_end);
          in.SetPosition(info.PayloadEnd);
        }
      } else {
        EXPECT_EQ(MessageOf<Exception>([&] { ReadPacketHeader(in, nullptr, nullptr, info); }), kUnregistered);
      }
    }
    EXPECT_EQ(LoadOne(in), "loaded 6");
    EXPECT_EQ(source.Rest(), "");
  }
}

// Over a pipe a header stating 4 GiB does not wait for the writer: the
// good packet behind it loads while the writer still holds the pipe open.
TEST_F(PacketFailedHeaderTest, AHugeStatedSizeOverAPipeDoesNotWaitForTheWriter) {
  const std::string good = Numbered(7);
  std::promise<void> loaded;
  std::shared_future<void> done = loaded.get_future().share();
  TPipeFeed pipe([&, done](TStream& out) {
    const std::string bytes = Header(2, 0xFFFFFFFFu, false) + good;
    out.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    // Only a reader that waits for the end lets this run out.
    done.wait_for(std::chrono::seconds(30));
  });
  EXPECT_EQ(LoadOne(pipe.In()), kUnregistered);
  EXPECT_EQ(LoadOne(pipe.In()), "loaded 7");
  loaded.set_value();
  EXPECT_EQ(pipe.Rest(), "");
}

// A pipe is read on to the stated end of a failed packet up to the bound:
// one byte more is left behind its header.
TEST_F(PacketFailedHeaderTest, APipeSkipsAFailedPacketUpToTheBound) {
  for (std::int64_t more : {0, 1}) {
    SCOPED_TRACE(more);
    const std::int64_t payload = TFieldReader::kMaxBlindSkip + more;
    const std::string good = Numbered(8);
    TPipeFeed pipe([&](TStream& out) {
      const std::string header = Header(2, static_cast<std::uint32_t>(32 + payload), false);
      out.WriteBuffer(header.data(), 32);
      if (more == 0) {
        const std::string block(1 << 20, 'p');
        for (std::int64_t left = payload; left > 0; left -= static_cast<std::int64_t>(block.size()))
          out.WriteBuffer(block.data(), std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size())));
      }
      out.WriteBuffer(good.data(), static_cast<std::int64_t>(good.size()));
    });
    EXPECT_EQ(LoadOne(pipe.In()), kUnregistered);
    EXPECT_EQ(LoadOne(pipe.In()), "loaded 8");
    EXPECT_EQ(pipe.Rest(), "");
  }
}

// Loading from a FIFO is refused at once, writer or not, as a mapped
// stream needs a regular file; a link to a packet file loads.
TEST_F(PacketFailedHeaderTest, LoadingFromAFifoIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  Write("packet.bin", Numbered(4));
  ASSERT_EQ(::symlink(P("packet.bin").c_str(), P("link").c_str()), 0);
  std::atomic<long> tid{0};
  std::atomic<bool> finished{false};
  std::string error;
  std::thread loader([&] {
    tid = ::syscall(SYS_gettid);
    TSmallPacket p;
    error = MessageOf<Exception>([&] { LoadPacketFromFile(p, P("fifo"), pioRetryOpen); });
    finished = true;
  });
  // A load waiting in the open for the FIFO's writer is let go by one.
  bool waited = false;
  EXPECT_TRUE(WaitPatiently([&] {
    if (finished) return true;
    const std::string call = ReadFileText("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
    if (tid == 0 || call.substr(0, call.find(' ')) != std::to_string(SYS_openat)) return false;
    const int writer = ::open(P("fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // fails without a reader
    if (writer < 0) return false;
    ::close(writer);
    waited = true;
    return true;
  }));
  loader.join();
  EXPECT_FALSE(waited);
  EXPECT_EQ(error, "Failed to load packet TSmallPacket from file " + P("fifo") + "\r\nCannot open file: " + P("fifo"));
  TSmallPacket linked;
  LoadPacketFromFile(linked, P("link"));
  EXPECT_EQ(linked.Value, 4);
}

}  // namespace
}  // namespace vt::test
