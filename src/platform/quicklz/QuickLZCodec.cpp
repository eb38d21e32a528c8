#include "platform/quicklz/QuickLZCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace vt::qlz {

static_assert(std::endian::native == std::endian::little, "the packet layout is read as little-endian words");

namespace {

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void Store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline void Store64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
// Fixed-size copies: the compiler turns them into plain moves.
inline void Copy16(std::uint8_t* d, const std::uint8_t* s) { std::memcpy(d, s, 16); }
inline void Copy32(std::uint8_t* d, const std::uint8_t* s) { std::memcpy(d, s, 32); }

constexpr std::uint32_t kTableSize = 4096;
constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
constexpr int kTokensPerGroup = 31;
constexpr std::uint32_t kGroupBit = 0x80000000u;

// A hash slot: the position last seen (low half) and the four bytes hashed
// there (high half), so a candidate is refused without reading the input
// again.
using Slot = std::uint64_t;
constexpr Slot MakeSlot(std::uint32_t pos, std::uint32_t word) { return std::uint64_t{word} << 32 | pos; }

// Writes the groups of one compressed payload. Tokens are encoded straight
// into the output at cursor(); word stores may reach past a token's end, which
// later tokens overwrite.
class GroupWriter {
 public:
  GroupWriter(std::uint8_t* dst, std::size_t pos) : dst_(dst), pos_(pos) { Open(); }

  void Literal(std::uint8_t b) {
    dst_[pos_++] = b;
    ++tokens_;
  }
  // The `count` literals just written at cursor().
  void Literals(std::size_t count) {
    pos_ += count;
    tokens_ += static_cast<int>(count);
  }
  std::uint8_t* cursor() const { return dst_ + pos_; }
  // The reference token of `size` bytes just encoded at cursor().
  void Reference(std::size_t size) {
    pos_ += size;
    bits_ |= 1u << tokens_;
    ++tokens_;
  }
  bool Full() const { return tokens_ == kTokensPerGroup; }
  int tokens() const { return tokens_; }
  void Next() {
    Close();
    Open();
  }
  void Close() { Store32(dst_ + word_, bits_ | kGroupBit); }
  // Closes the open group, empty, as the first of `blocks` groups of 31
  // literals from src[from...] and opens the group after them. Their bytes
  // are written by WriteDeferred, once the packet is known not to be stored
  // instead: incompressible input is then not copied twice. Meanwhile the
  // region holds a note of them (16 bytes), linked to the previous one.
  void DeferLiteralBlocks(std::size_t from, std::size_t blocks) {
    std::uint8_t* note = dst_ + word_;
    Store64(note, deferred_);
    Store32(note + 8, static_cast<std::uint32_t>(from));
    Store32(note + 12, static_cast<std::uint32_t>(blocks));
    deferred_ = word_;
    word_ += kBlockSize * blocks;
    pos_ += kBlockSize * blocks;
  }
  void WriteDeferred(const std::uint8_t* src) {
    for (std::size_t at = deferred_; at != 0;) {
      const std::uint8_t* note = dst_ + at;
      const std::size_t prev = Load64(note);
      const std::uint8_t* from = src + Load32(note + 8);
      for (std::uint32_t b = Load32(note + 12); b > 0; --b, at += kBlockSize, from += kTokensPerGroup) {
        Store32(dst_ + at, kGroupBit);
        Copy16(dst_ + at + 4, from);
        Copy16(dst_ + at + 4 + 15, from + 15);
      }
      at = prev;
    }
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
  std::size_t deferred_ = 0;  // the last note's position; 0: none
  static constexpr std::size_t kBlockSize = 4 + kTokensPerGroup;
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
    Store32(t, (dist << 6) | ((len - 3) << 2) | 2);
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

// Whether the slot `seen` holds a usable match for position i, whose four
// bytes are `word`: 3 equal bytes at a distance of 4 to kMaxDist, all 4 when
// the distance needs the long forms (above 16383).
template <std::uint32_t kMaxDist>
inline bool IsCandidate(Slot seen, std::uint32_t word, std::size_t i) {
  const auto o = static_cast<std::uint32_t>(seen);
  const auto seen_word = static_cast<std::uint32_t>(seen >> 32);
  const std::uint32_t dist = static_cast<std::uint32_t>(i) - o;
  return ((seen_word ^ word) & 0xFFFFFFu) == 0 && o < i && dist >= 4 && dist <= kMaxDist &&
         (seen_word == word || dist <= 16383);
}

// Length of the match at a and b known to hold 3 equal bytes, counting only
// bytes below `limit` (> 0) from b.
inline std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t len = 3;
  while (len + 8 <= limit) {
    const std::uint64_t diff = Load64(a + len) ^ Load64(b + len);
    if (diff) return len + static_cast<std::size_t>(std::countr_zero(diff) >> 3);
    len += 8;
  }
  while (len < limit && a[len] == b[len]) ++len;
  return len;
}

template <Version V>
std::size_t CompressPacket(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::size_t cap) {
  constexpr bool v131 = V == Version::k131;
  constexpr std::uint32_t kMaxDist = v131 ? 131070 : 131071;
  constexpr std::size_t kShortcutBlocks = v131 ? 30 : 20;
  if (n == 0) {
    if (v131) return 0;
    static constexpr std::uint8_t kEmpty[12] = {1, 12, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0};
    std::memcpy(dst, kEmpty, sizeof kEmpty);
    return sizeof kEmpty;
  }
  const std::size_t hdr = n < 216 ? 3 : 9;
  // The main loop stops at the guard; the rest are literals.
  constexpr std::size_t kGuardGap = v131 ? 9 : 8;
  const std::size_t guard = n > kGuardGap ? n - kGuardGap : 0;

  // 1.3.1 starts from empty slots, 1.2.0 from position 0 in every slot (the
  // table is read only when the main loop runs, that is when n > 9).
  // On the heap (32 KiB): callers may run on a small stack.
  std::vector<Slot> table(kTableSize, v131 ? MakeSlot(kEmptySlot, 0) : MakeSlot(0, guard > 1 ? Load32(src) : 0));

  GroupWriter w(dst, hdr);
  std::size_t i = 0;
  if constexpr (v131) {
    for (const std::size_t first = std::min<std::size_t>(guard, 4); i < first; ++i) w.Literal(src[i]);
  } else {
    w.Literal(src[0]);
    i = 1;
  }
  // Checkpoint of the incompressible-data shortcut (input, payload).
  std::size_t check_in = v131 ? 0 : 1;
  std::size_t check_out = v131 ? 4 : 5;

  while (i < guard) {
    if (w.pos() + 16 > cap) return WriteStored(src, n, dst);
    if (w.Full()) {
      if (w.pos() - hdr > n) return WriteStored(src, n, dst);
      w.Next();
      if (w.pos() - hdr - check_out > i - check_in && i > 1000) {
        // As many blocks as keep i + 31 below the guard and the payload + 35
        // below n, at most kShortcutBlocks.
        const std::size_t payload = w.pos() - hdr;
        const std::size_t blocks =
            payload < n ? std::min({kShortcutBlocks, (guard - i - 1) / 31, (n - payload - 1) / 35}) : 0;
        if (blocks > 0) {
          w.DeferLiteralBlocks(i, blocks);
          i += 31 * blocks;
          check_in = i;
          check_out = w.pos() - hdr;
          // Where the group after the next few shortcuts like this one starts
          // if the input stays incompressible, in the input and the output:
          // fetch it now.
          constexpr std::size_t kAhead = 4 * (kShortcutBlocks + 1);
          const std::size_t in_ahead = std::min(i + 31 * kAhead, n - 64);
          const std::size_t out_ahead = std::min(w.pos() + 35 * kAhead, cap - 64);
          __builtin_prefetch(src + in_ahead);
          __builtin_prefetch(src + in_ahead + 63);
          __builtin_prefetch(dst + out_ahead - 4, 1);
          __builtin_prefetch(dst + out_ahead + 59, 1);
        }
      }
    }
    // Literals first: each moves i, the payload and the group's token count
    // on by one, so one count bounds the literals after which the checks
    // above are due again. The first step needs none.
    const std::size_t span = std::min({guard - i, static_cast<std::size_t>(kTokensPerGroup - w.tokens()),
                                       w.pos() + 16 <= cap ? cap - 15 - w.pos() : 1});
    std::uint8_t* const out = w.cursor();
    std::size_t k = 0;
    std::uint32_t word;
    Slot seen = 0;
    bool run = false;
    for (;;) {
      word = Load32(src + i + k);
      if (((word ^ (word >> 8)) & 0xFFFFFFu) == 0 && src[i + k + 4] == static_cast<std::uint8_t>(word)) {
        run = true;
        break;
      }
      Slot& slot = table[((word >> 12) ^ word) & (kTableSize - 1)];
      seen = slot;
      slot = MakeSlot(static_cast<std::uint32_t>(i + k), word);
      if (IsCandidate<kMaxDist>(seen, word, i + k)) break;
      out[k] = static_cast<std::uint8_t>(word);
      if (++k == span) break;
    }
    w.Literals(k);
    i += k;
    if (k == span) continue;
    if (run) {
      std::uint32_t count = 4;
      const std::uint64_t word64 = word * 0x0000000100000001ull;
      while (i + count + 8 <= guard && Load64(src + i + count) == word64) count += 8;
      if (i + count + 4 <= guard && Load32(src + i + count) == word) count += 4;
      w.Reference(EncodeRun(w.cursor(), static_cast<std::uint8_t>(word), count));
      i += count;
      continue;
    }
    const auto o = static_cast<std::uint32_t>(seen);
    const std::uint32_t dist = static_cast<std::uint32_t>(i) - o;
    if (static_cast<std::uint32_t>(seen >> 32) != word) {
      if (dist <= 63) {
        *w.cursor() = static_cast<std::uint8_t>(dist << 2);
        w.Reference(1);
      } else {
        Store32(w.cursor(), (dist << 2) | 1);
        w.Reference(2);
      }
      i += 3;
      continue;
    }
    const std::size_t len = i + 3 < guard ? MatchLength(src + o, src + i, guard - i) : 3;
    w.Reference(EncodeMatch(w.cursor(), static_cast<std::uint32_t>(len), dist));
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
  if (hdr == 3 && c > 255) return WriteStored(src, n, dst);
  w.WriteDeferred(src);
  if (hdr == 3) {
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

// Copies W-byte words from `from` to out until out reaches `end`; the last
// word may reach up to W - 1 bytes past it.
template <std::size_t W>
inline void CopyWords(std::uint8_t* out, const std::uint8_t* from, const std::uint8_t* end) {
  do {
    std::memcpy(out, from, W);
    out += W;
    from += W;
  } while (out < end);
}

// Copies a match of `count` bytes from `dist` (>= 4) bytes back, where
// `room` bytes may be written from out. Word copies stay correct for
// overlapping matches: each word reads only bytes already written. Far from
// the end the last word may reach up to 15 bytes past the match; near it the
// copy stops at the match's end.
inline void CopyMatch(std::uint8_t* out, std::size_t dist, std::size_t count, std::size_t room) {
  const std::uint8_t* from = out - dist;
  std::uint8_t* const end = out + count;
  if (count + 16 <= room) {
    if (dist >= 16) {
      CopyWords<16>(out, from, end);
    } else if (dist >= 8) {
      CopyWords<8>(out, from, end);
    } else {
      CopyWords<4>(out, from, end);
    }
    return;
  }
  if (dist >= 8) {
    for (; end - out >= 8; out += 8, from += 8) std::memcpy(out, from, 8);
  } else {
    for (; end - out >= 4; out += 4, from += 4) std::memcpy(out, from, 4);
  }
  while (out < end) *out++ = *from++;
}

inline void FillRun(std::uint8_t* out, std::uint8_t value, std::size_t count, std::size_t room) {
  if (count < 64 && count + 8 <= room) {
    const std::uint64_t pattern = value * 0x0101010101010101ull;
    for (std::uint8_t* const end = out + count; out < end; out += 8) Store64(out, pattern);
    return;
  }
  std::memset(out, value, count);
}

// A reference token: `size` bytes in the packet, `count` bytes of output.
struct Token {
  std::size_t size;
  std::size_t count;
  std::uint32_t dist;
  bool run;  // of the byte at offset 2
};

// The match forms by the low four bits of a token: size, count field
// (shift, mask; the count is the field + 3) and distance (mask, shift).
struct MatchForm {
  std::uint8_t size, count_shift;
  std::uint16_t count_mask;
  std::uint32_t dist_mask;
  std::uint8_t dist_shift;
};
constexpr MatchForm kOneByte = {1, 0, 0, 0xFF, 2};
constexpr MatchForm kTwoByte = {2, 0, 0, 0xFFFF, 2};
constexpr MatchForm kTwoByteLength = {2, 2, 0xF, 0xFFFF, 6};
constexpr MatchForm kThreeByte = {3, 3, 0x1F, 0xFFFFFF, 8};
constexpr MatchForm kFourByte = {4, 4, 0x7FF, 0xFFFFFFFF, 15};
constexpr MatchForm kMatchForms[16] = {kOneByte, kTwoByte, kTwoByteLength, kThreeByte, kOneByte, kTwoByte,
                                       kTwoByteLength, kFourByte,  kOneByte, kTwoByte, kTwoByteLength, kThreeByte,
                                       kOneByte, kTwoByte, kTwoByteLength, {}};

// Reads the reference token at p, of which `rem` (>= 1) bytes may be read.
// Answers false when the token does not fit.
inline bool ReadToken(const std::uint8_t* p, std::size_t rem, Token& t) {
  std::uint32_t v;
  if (rem >= 4) {
    v = Load32(p);
  } else {
    std::uint8_t b[4] = {};
    for (std::size_t j = 0; j < rem; ++j) b[j] = p[j];
    v = Load32(b);
  }
  if ((v & 15) == 15) {
    t = {3, (v >> 4) & 0xFFF, 0, true};
    if (t.count == 0) {
      t.size = 7;
      if (rem < 7) return false;
      t.count = Load32(p + 3);
    }
    return rem >= t.size;
  }
  const MatchForm& f = kMatchForms[v & 15];
  t = {f.size, ((v >> f.count_shift) & f.count_mask) + 3u, (v & f.dist_mask) >> f.dist_shift, false};
  if (t.size == 4 && t.dist == 0) {
    t.size = 12;
    if (rem < 12) return false;
    t.count = Load32(p + 4);
    t.dist = Load32(p + 8);
  }
  return rem >= t.size;
}

// Decodes the groups of a compressed payload at src[ip, c) into dst[0, n),
// n > the version's tail threshold. Far from both ends a literal run is
// copied in one move and matches in words that may over-write ahead; near
// them every byte is checked.
template <Version V>
std::int64_t DecodePayload(const std::uint8_t* src, std::size_t ip, std::size_t c, std::uint8_t* dst,
                           std::size_t n) {
  // After a literal that leaves fewer than T bytes, the rest are literals.
  constexpr std::size_t kTail = V == Version::k120 ? 3 : 4;
  const std::size_t tail_at = n - kTail;
  // No match or run may write into the last four bytes.
  const std::size_t ref_end = n - 4;
  std::size_t op = 0;
  // The control word shifted right once per token, above a marker bit: 1
  // when the group's 31 tokens are done.
  std::uint32_t cw = 1;
  for (;;) {
    if (cw == 1) {
      if (c - ip < 4) return -1;
      cw = Load32(src + ip) | kGroupBit;
      ip += 4;
    }
    if (ip >= c) return -1;
    if (!(cw & 1)) {
      // A run of up to 31 literals is copied as 32 bytes when they are there
      // and fit, ending before tail_at.
      if (c - ip >= 32 && op + 36 <= n) {
        // The literals up to the next reference or the group's end.
        const int lits = std::countr_zero(cw);
        Copy32(dst + op, src + ip);
        op += static_cast<std::size_t>(lits);
        ip += static_cast<std::size_t>(lits);
        cw >>= lits;
        continue;
      }
      cw >>= 1;
      dst[op++] = src[ip++];
      if (op >= tail_at) break;
      continue;
    }
    cw >>= 1;
    const std::uint8_t* p = src + ip;
    Token t;
    if (!ReadToken(p, c - ip, t) || op > ref_end || t.count > ref_end - op) return -1;
    if (t.run) {
      FillRun(dst + op, p[2], t.count, n - op);
    } else {
      if (t.dist < 4 || t.dist > op) return -1;
      CopyMatch(dst + op, t.dist, t.count, n - op);
    }
    op += t.count;
    ip += t.size;
  }
  // The tail: literals only; the groups' control words are skipped.
  while (op < n) {
    if (cw == 1) {
      if (c - ip < 4) return -1;
      ip += 4;
      cw = kGroupBit;
    }
    if (ip >= c) return -1;
    cw >>= 1;
    dst[op++] = src[ip++];
  }
  return static_cast<std::int64_t>(n);
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
  return version == Version::k131 ? CompressPacket<Version::k131>(src, n, dst, capacity)
                                  : CompressPacket<Version::k120>(src, n, dst, capacity);
}

std::int64_t Decompress(const std::uint8_t* src, std::size_t available, std::uint8_t* dst, std::size_t capacity,
                        Version version) {
  Header h;
  if (!ParseHeader(src, available, h)) return -1;
  const std::size_t c = h.packet_size;
  const std::size_t n = h.data_size;
  if (c < h.header_size || c > available || n > capacity) return -1;
  const std::size_t ip = h.header_size;
  if (!(h.flags & kFlagCompressed)) {
    if (n > c - ip) return -1;
    if (n) std::memcpy(dst, src + ip, n);
    return static_cast<std::int64_t>(n);
  }
  // Packets of at most T bytes (the tail threshold) are all tail.
  const std::size_t t = version == Version::k120 ? 3 : 4;
  if (n <= t) {
    if (n == 0 && version == Version::k120) return 0;
    if (4 + n > c - ip) return -1;
    if (n) std::memcpy(dst, src + ip + 4, n);
    return static_cast<std::int64_t>(n);
  }
  return version == Version::k120 ? DecodePayload<Version::k120>(src, ip, c, dst, n)
                                  : DecodePayload<Version::k131>(src, ip, c, dst, n);
}

}  // namespace vt::qlz
