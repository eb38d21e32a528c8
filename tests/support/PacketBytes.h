// Packets as bytes, for the packet and catalogue tests: a stream that is not
// a memory stream (so loads go through the stream reader), saving to bytes,
// patching header words, and the text dump as lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/Packets.h"
#include "common/StringLists.h"
#include "support/StreamBytes.h"

namespace vt::test {

// A stream over a byte string without a memory buffer: payloads up to 64 KB
// are read in one piece, larger ones field by field. Counts its reads.
class TPlainStream : public TStream {
 public:
  explicit TPlainStream(std::string bytes = {}) : bytes_(std::move(bytes)) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    ++reads;
    const std::int64_t n = std::max<std::int64_t>(0, std::min<std::int64_t>(count, Size() - pos_));
    if (n > 0) std::memcpy(buffer, bytes_.data() + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (pos_ + count > Size()) bytes_.resize(static_cast<std::size_t>(pos_ + count));
    std::memcpy(bytes_.data() + pos_, buffer, static_cast<std::size_t>(count));
    pos_ += count;
    return count;
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    pos_ = (origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? pos_ : Size()) + offset;
    return pos_;
  }
  const std::string& Bytes() const { return bytes_; }
  int reads = 0;

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

inline void PutU32(std::string& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

inline std::vector<std::string> Dump(const TPacket& p) {
  TStringListEx lines;
  p.DumpToStrings(lines);
  std::vector<std::string> d;
  for (int i = 0; i < lines.Count(); ++i) d.push_back(lines[i]);
  return d;
}

}  // namespace vt::test
