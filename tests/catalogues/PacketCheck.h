// Save and load helpers shared by the catalogue tests: both payload readers,
// the stand-alone form and the streaming context.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/PacketContext.h"
#include "common/Packets.h"
#include "common/StreamUtils.h"
#include "support/StreamBytes.h"

namespace vt::test {

// A stream without a memory buffer, so that loads go through the stream
// reader.
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

inline std::string SaveBytes(const TPacket& p, TPacketStreamingContext* ctx = nullptr) {
  TMemoryStream s;
  SavePacket(p, s, ctx);
  return Bytes(s);
}

// The payload of a stand-alone packet (the fields, behind the header).
inline std::string Payload(const TPacket& p) { return SaveBytes(p).substr(kPacketHeaderSize); }

inline std::string FieldBytes(const TPacket& p) {
  TMemoryStream s;
  p.SaveFields(s, nullptr);
  return Bytes(s);
}

// Reads Fields (FieldCount stored fields) into ByStream with the stream
// reader and into ByBuffer with the buffer reader; both must stop at the
// same offset, which is answered.
inline std::int64_t LoadFieldsBothWays(TPacket& by_stream, TPacket& by_buffer, const std::string& fields,
                                       std::int32_t field_count) {
  TPlainStream plain(fields);
  std::int32_t remaining = field_count;
  by_stream.LoadFields(plain, remaining, nullptr);
  EXPECT_EQ(remaining, 0);
  std::string copy = fields;
  TPointerStream buffer(copy.data(), static_cast<std::int64_t>(copy.size()), true);
  remaining = field_count;
  by_buffer.LoadFieldsFromBuffer(buffer, remaining, nullptr);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(plain.Position(), buffer.Position());
  return buffer.Position();
}

// Both readers refuse Fields with exception E.
template <typename E>
void ExpectBothReadersFail(const TPacketClass& cls, const std::string& fields, std::int32_t field_count) {
  auto a = cls.Create();
  TPlainStream plain(fields);
  std::int32_t remaining = field_count;
  EXPECT_THROW(a->LoadFields(plain, remaining, nullptr), E);
  auto b = cls.Create();
  std::string copy = fields;
  TPointerStream buffer(copy.data(), static_cast<std::int64_t>(copy.size()), true);
  remaining = field_count;
  EXPECT_THROW(b->LoadFieldsFromBuffer(buffer, remaining, nullptr), E);
}

// Every path a filled packet travels: both payload readers, stand-alone
// save and load by class, and two packets through one streaming context;
// a cleared copy equals a new packet unless ClearEqualsNew is false (a
// present optional member stays present when cleared).
inline void ExpectRoundTrips(const TPacket& p, bool clear_equals_new = true) {
  SCOPED_TRACE(p.ClassName());
  const std::string fields = FieldBytes(p);
  auto a = p.ClassType().Create();
  auto b = p.ClassType().Create();
  EXPECT_EQ(LoadFieldsBothWays(*a, *b, fields, p.FieldCount()), static_cast<std::int64_t>(fields.size()));
  EXPECT_TRUE(a->Equals(p));
  EXPECT_TRUE(b->Equals(p));

  const std::string whole = SaveBytes(p);
  TMemoryStream s;
  s.WriteBuffer(whole.data(), static_cast<std::int64_t>(whole.size()));
  s.SetPosition(0);
  auto loaded = LoadPacket(s);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(&loaded->ClassType(), &p.ClassType());
  EXPECT_TRUE(loaded->Equals(p));
  EXPECT_EQ(SaveBytes(*loaded), whole);

  TPacketStreamingContext w, r;
  TMemoryStream cs;
  SavePacket(p, cs, &w);
  SavePacket(p, cs, &w);
  cs.SetPosition(0);
  auto c1 = LoadPacket(cs, &r);
  auto c2 = LoadPacket(cs, &r);
  EXPECT_TRUE(c1->Equals(p));
  EXPECT_TRUE(c2->Equals(p));
  EXPECT_EQ(cs.Position(), cs.Size());

  auto copy = p.Clone();
  EXPECT_TRUE(copy->Equals(p));
  copy->Clear();
  EXPECT_EQ(copy->Equals(*p.ClassType().Create()), clear_equals_new);
}

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace vt::test
