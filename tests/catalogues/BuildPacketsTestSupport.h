// Helpers of the build packet tests: saving to bytes, loading in both
// reading modes, round trips through a streaming context.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/PacketContext.h"
#include "common/Packets.h"
#include "common/StreamUtils.h"
#include "support/StreamBytes.h"

namespace vt::buildtest {

inline std::string Save(const TPacket& p, TPacketStreamingContext* ctx = nullptr) {
  TMemoryStream s;
  SavePacket(p, s, ctx);
  return test::Bytes(s);
}

inline void PutU32(std::string& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// A stream without a memory buffer: payloads up to 64 KB are read in one
// piece, larger ones field by field from the stream.
class TPlainStream : public TStream {
 public:
  explicit TPlainStream(const std::string& bytes) : bytes_(bytes) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    const std::int64_t n = std::max<std::int64_t>(0, std::min<std::int64_t>(count, Size() - pos_));
    std::memcpy(buffer, bytes_.data() + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    pos_ = (origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? pos_ : Size()) + offset;
    return pos_;
  }

 private:
  std::int64_t Size() const { return static_cast<std::int64_t>(bytes_.size()); }
  std::string bytes_;
  std::int64_t pos_ = 0;
};

// Loads Bytes into P in buffer mode, and into a copy of P's present state
// from a plain stream; both must agree and end behind the packet.
template <typename T>
void LoadInto(T& p, const std::string& bytes) {
  T other;
  other.Assign(p);
  TPlainStream plain(bytes);
  LoadPacketInto(other, plain);
  EXPECT_EQ(plain.Position(), static_cast<std::int64_t>(bytes.size()));
  TPointerStream s(const_cast<char*>(bytes.data()), static_cast<std::int64_t>(bytes.size()), true);
  LoadPacketInto(p, s);
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(bytes.size()));
  EXPECT_TRUE(other.Equals(p));
}

// P saved stand-alone loads back equal in both reading modes (and saves to
// the same bytes); two copies sent through a streaming context load back
// equal as new instances of P's class.
template <typename T>
void ExpectRoundTrips(const T& p) {
  SCOPED_TRACE(p.ClassName());
  const std::string b = Save(p);
  T q;
  LoadInto(q, b);
  EXPECT_TRUE(q.Equals(p));
  EXPECT_EQ(Save(q), b);

  TPacketStreamingContext w, r;
  TMemoryStream s;
  SavePacket(p, s, &w);
  SavePacket(p, s, &w);
  s.SetPosition(0);
  auto c1 = LoadPacket(s, &r);
  auto c2 = LoadPacket(s, &r);
  EXPECT_EQ(s.Position(), s.Size());
  ASSERT_EQ(&c1->ClassType(), &T::Class);
  EXPECT_TRUE(c1->Equals(p));
  EXPECT_TRUE(c2->Equals(p));

  // Reading the context form from a plain stream.
  TPacketStreamingContext r2;
  TPlainStream plain(test::Bytes(s));
  auto d1 = LoadPacket(plain, &r2);
  auto d2 = LoadPacket(plain, &r2);
  EXPECT_TRUE(d1->Equals(p));
  EXPECT_TRUE(d2->Equals(p));

  auto copy = p.Clone();
  EXPECT_TRUE(copy->Equals(p));
}

inline std::vector<std::string> Dump(const TPacket& p) {
  TStringListEx lines;
  p.DumpToStrings(lines);
  std::vector<std::string> d;
  for (int i = 0; i < lines.Count(); ++i) d.push_back(lines[i]);
  return d;
}

}  // namespace vt::buildtest
