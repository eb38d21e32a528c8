#include "platform/quicklz/QuickLZCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

namespace vt::qlz {

static_assert(std::endian::native == std::endian::little, "the packet layout is read as little-endian words");

namespace {

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

constexpr std::uint32_t kTableSize = 4096;
constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
constexpr int kTokensPerGroup = 31;

// Writes the groups of one compressed payload.
class GroupWriter {
 public:
  GroupWriter(std::uint8_t* dst, std::size_t pos) : dst_(dst), pos_(pos) { Open(); }

  void Literal(std::uint8_t b) {
    dst_[pos_++] = b;
    ++tokens_;
  }
  // A reference token of `len` bytes taken from `bytes`.
  void Reference(const std::uint8_t* bytes, std::size_t len) {
    std::memcpy(dst_ + pos_, bytes, len);
    pos_ += len;
    bits_ |= 1u << tokens_;
    ++tokens_;
  }
  bool Full() const { return tokens_ == kTokensPerGroup; }
  void Next() {
    Close();
    Open();
  }
  void Close() { Store32(dst_ + word_, bits_ | 0x80000000u); }
  // 31 literals as one whole group, then a new group.
  void LiteralBlock(const std::uint8_t* src) {
    std::memcpy(dst_ + pos_, src, kTokensPerGroup);
    pos_ += kTokensPerGroup;
    tokens_ = kTokensPerGroup;
    Next();
  }
  std::size_t pos() const { return pos_; }
  void Pad(std::size_t to) {
    while (pos_ < to) dst_[pos_++] = 0;
  }

 private:
  void Open() {
    word_ = pos_;
    pos_ += 4;
    bits_ = 0;
    tokens_ = 0;
  }
  std::uint8_t* dst_;
  std::size_t pos_;
  std::size_t word_ = 0;
  std::uint32_t bits_ = 0;
  int tokens_ = 0;
};

std::size_t WriteStored(const std::uint8_t* src, std::size_t n, std::uint8_t* dst) {
  if (n < 216) {
    dst[0] = 0;
    dst[1] = static_cast<std::uint8_t>(n + 3);
    dst[2] = static_cast<std::uint8_t>(n);
    if (n) std::memcpy(dst + 3, src, n);
    return n + 3;
  }
  dst[0] = kFlagLongHeader;
  Store32(dst + 1, static_cast<std::uint32_t>(n + 9));
  Store32(dst + 5, static_cast<std::uint32_t>(n));
  std::memcpy(dst + 9, src, n);
  return n + 9;
}

std::size_t EncodeMatch(std::uint8_t* t, std::uint32_t len, std::uint32_t dist) {
  if (len <= 18 && dist <= 1023) {
    const std::uint32_t v = (dist << 6) | ((len - 3) << 2) | 2;
    Store32(t, v);
    return 2;
  }
  if (len <= 34 && dist <= 65535) {
    Store32(t, (dist << 8) | ((len - 3) << 3) | 3);
    return 3;
  }
  if (len <= 2050) {
    Store32(t, (dist << 15) | ((len - 3) << 4) | 7);
    return 4;
  }
  Store32(t, 7);
  Store32(t + 4, len);
  Store32(t + 8, dist);
  return 12;
}

std::size_t EncodeRun(std::uint8_t* t, std::uint8_t c, std::uint32_t count) {
  if (count <= 2047) {
    Store32(t, (std::uint32_t{c} << 16) | (count << 4) | 0xF);
    return 3;
  }
  Store32(t, (std::uint32_t{c} << 16) | 0xF);
  Store32(t + 3, count);
  return 7;
}

}  // namespace

bool ParseHeader(const std::uint8_t* src, std::size_t available, Header& header) {
  if (src == nullptr || available < 3) return false;
  const std::uint8_t flags = src[0];
  if (flags & 0xFC) return false;
  header.flags = flags;
  if (flags & kFlagLongHeader) {
    if (available < 9) return false;
    header.header_size = 9;
    header.packet_size = Load32(src + 1);
    header.data_size = Load32(src + 5);
  } else {
    header.header_size = 3;
    header.packet_size = src[1];
    header.data_size = src[2];
  }
  return true;
}

std::size_t Compress(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::size_t capacity,
                     Version version) {
  if (n > 0xFFFFFFFFu - kCompressSlack || capacity < n + kCompressSlack) return 0;
  const bool v131 = version == Version::k131;
  if (n == 0) {
    if (v131) return 0;
    static constexpr std::uint8_t kEmpty[12] = {1, 12, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0};
    std::memcpy(dst, kEmpty, sizeof kEmpty);
    return sizeof kEmpty;
  }
  const std::size_t hdr = n < 216 ? 3 : 9;
  // The main loop stops at the guard G; the rest are literals.
  const std::int64_t guard = static_cast<std::int64_t>(n) - (v131 ? 9 : 8);
  const std::size_t cap = capacity;
  const std::uint32_t max_dist = v131 ? 131070 : 131071;
  const int shortcut_blocks = v131 ? 30 : 20;

  std::uint32_t table[kTableSize];
  std::fill(std::begin(table), std::end(table), v131 ? kEmptySlot : 0u);

  GroupWriter w(dst, hdr);
  std::size_t i = 0;
  if (v131) {
    const std::size_t first = static_cast<std::size_t>(std::clamp<std::int64_t>(guard, 0, 4));
    for (; i < first; ++i) w.Literal(src[i]);
  } else {
    w.Literal(src[0]);
    i = 1;
  }
  // Checkpoint of the incompressible-data shortcut (input, payload).
  std::size_t check_in = v131 ? 0 : 1;
  std::size_t check_out = v131 ? 4 : 5;
  std::uint8_t token[12];

  while (static_cast<std::int64_t>(i) < guard) {
    if (w.pos() + 16 > cap) return WriteStored(src, n, dst);
    if (w.Full()) {
      if (w.pos() - hdr > n) return WriteStored(src, n, dst);
      w.Next();
      if (w.pos() - hdr - check_out > i - check_in && i > 1000) {
        for (int b = 0; b < shortcut_blocks && static_cast<std::int64_t>(i) + 31 < guard && w.pos() - hdr + 35 < n;
             ++b) {
          w.LiteralBlock(src + i);
          i += 31;
          check_in = i;
          check_out = w.pos() - hdr;
        }
      }
    }
    const std::uint8_t c = src[i];
    const std::uint32_t word = Load32(src + i);
    if (word == c * 0x01010101u && src[i + 4] == c) {
      std::uint32_t run = 4;
      while (static_cast<std::int64_t>(i + run) <= guard - 4 && Load32(src + i + run) == word) run += 4;
      w.Reference(token, EncodeRun(token, c, run));
      i += run;
      continue;
    }
    const std::uint32_t h = ((word >> 12) ^ word) & (kTableSize - 1);
    const std::uint32_t o = table[h];
    table[h] = static_cast<std::uint32_t>(i);
    const std::uint32_t dist = static_cast<std::uint32_t>(i) - o;
    const bool usable = (!v131 || (o != kEmptySlot && o >= 1)) && o < i && dist >= 4 && dist <= max_dist &&
                        src[o] == src[i] && src[o + 1] == src[i + 1] && src[o + 2] == src[i + 2];
    if (!usable) {
      w.Literal(c);
      ++i;
      continue;
    }
    if (src[o + 3] != src[i + 3]) {
      if (dist <= 63) {
        token[0] = static_cast<std::uint8_t>(dist << 2);
        w.Reference(token, 1);
      } else if (dist <= 16383) {
        Store32(token, (dist << 2) | 1);
        w.Reference(token, 2);
      } else {
        w.Literal(c);
        ++i;
        continue;
      }
      i += 3;
      continue;
    }
    std::uint32_t len = 3;
    while (static_cast<std::int64_t>(i + len) < guard && src[o + len] == src[i + len]) ++len;
    w.Reference(token, EncodeMatch(token, len, dist));
    i += len;
  }
  // The tail: literals only, opening groups as needed.
  const std::size_t tail = n - i;
  if (w.pos() + tail + 4 * (tail / 31 + 1) + 9 > cap) return WriteStored(src, n, dst);
  for (; i < n; ++i) {
    if (w.Full()) w.Next();
    w.Literal(src[i]);
  }
  w.Close();
  w.Pad(hdr + 9);
  const std::size_t c = w.pos();
  if (hdr == 3) {
    if (c > 255) return WriteStored(src, n, dst);
    dst[0] = kFlagCompressed;
    dst[1] = static_cast<std::uint8_t>(c);
    dst[2] = static_cast<std::uint8_t>(n);
  } else {
    dst[0] = kFlagCompressed | kFlagLongHeader;
    Store32(dst + 1, static_cast<std::uint32_t>(c));
    Store32(dst + 5, static_cast<std::uint32_t>(n));
  }
  return c;
}

std::int64_t Decompress(const std::uint8_t* src, std::size_t available, std::uint8_t* dst, std::size_t capacity,
                        Version version) {
  Header h;
  if (!ParseHeader(src, available, h)) return -1;
  const std::size_t c = h.packet_size;
  const std::size_t n = h.data_size;
  if (c < h.header_size || c > available || n > capacity) return -1;
  std::size_t ip = h.header_size;
  if (!(h.flags & kFlagCompressed)) {
    if (n > c - ip) return -1;
    if (n) std::memcpy(dst, src + ip, n);
    return static_cast<std::int64_t>(n);
  }
  // The decoder switches to literal-only "tail" mode once fewer than T bytes
  // remain after a literal; packets of at most T bytes are all tail.
  const std::size_t t = version == Version::k120 ? 3 : 4;
  if (n <= t) {
    if (n == 0 && version == Version::k120) return 0;
    if (4 + n > c - ip) return -1;
    if (n) std::memcpy(dst, src + ip + 4, n);
    return static_cast<std::int64_t>(n);
  }
  // No match or run may write into the last four bytes.
  const std::size_t ref_end = n - 4;
  std::size_t op = 0;
  int k = kTokensPerGroup;
  std::uint32_t cw = 0;
  bool tail = false;
  while (op < n) {
    if (k == kTokensPerGroup) {
      if (c - ip < 4) return -1;
      cw = Load32(src + ip);
      ip += 4;
      k = 0;
    }
    if (ip >= c) return -1;
    if (tail || !((cw >> k) & 1)) {
      ++k;
      dst[op++] = src[ip++];
      if (op >= n - t) tail = true;
      continue;
    }
    ++k;
    const std::size_t rem = c - ip;
    const std::uint8_t* p = src + ip;
    std::uint8_t b[4] = {p[0], 0, 0, 0};
    std::memcpy(b + 1, p + 1, std::min<std::size_t>(rem - 1, 3));
    const std::uint32_t v = Load32(b);
    std::size_t len;
    std::uint32_t dist = 0;
    std::uint64_t count;
    bool run = false;
    if ((b[0] & 3) == 0) {
      len = 1;
      count = 3;
      dist = b[0] >> 2;
    } else if ((b[0] & 2) == 0) {
      len = 2;
      count = 3;
      dist = (v & 0xFFFF) >> 2;
    } else if ((b[0] & 1) == 0) {
      len = 2;
      count = ((v >> 2) & 0xF) + 3;
      dist = (v & 0xFFFF) >> 6;
    } else if ((b[0] & 4) == 0) {
      len = 3;
      count = ((v >> 3) & 0x1F) + 3;
      dist = (v & 0xFFFFFF) >> 8;
    } else if ((b[0] & 8) == 0) {
      len = 4;
      dist = v >> 15;
      count = ((v >> 4) & 0x7FF) + 3;
      if (dist == 0) {
        len = 12;
        if (rem < len) return -1;
        count = Load32(p + 4);
        dist = Load32(p + 8);
      }
    } else {
      run = true;
      len = 3;
      count = (v >> 4) & 0xFFF;
      if (count == 0) {
        len = 7;
        if (rem < len) return -1;
        count = Load32(p + 3);
      }
    }
    if (rem < len) return -1;
    if (count > ref_end - std::min(op, ref_end) || op > ref_end) return -1;
    const std::size_t l = static_cast<std::size_t>(count);
    if (run) {
      std::memset(dst + op, p[2], l);
    } else {
      if (dist < 4 || dist > op) return -1;
      const std::uint8_t* from = dst + op - dist;
      if (dist >= l) {
        std::memcpy(dst + op, from, l);
      } else {
        for (std::size_t j = 0; j < l; ++j) dst[op + j] = from[j];
      }
    }
    op += l;
    ip += len;
  }
  return static_cast<std::int64_t>(n);
}

}  // namespace vt::qlz
