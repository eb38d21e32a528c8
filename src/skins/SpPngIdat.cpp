#include "skins/SpPngIdat.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace vt {

using namespace png_detail;

namespace png_detail {

std::uint32_t GetBE32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void PutBE32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

bool ReadBE32(TStream& s, std::uint32_t& v) {
  std::uint8_t b[4];
  if (s.Read(b, 4) != 4) return false;
  v = GetBE32(b);
  return true;
}

void WriteChunk(TStream& s, const char name[4], const std::uint8_t* data, std::uint32_t size) {
  std::uint8_t head[8];
  PutBE32(head, size);
  std::memcpy(head + 4, name, 4);
  s.WriteBuffer(head, 8);
  if (size) s.WriteBuffer(data, size);
  uLong crc = crc32(0, head + 4, 4);
  if (size) crc = crc32(crc, data, size);
  std::uint8_t tail[4];
  PutBE32(tail, static_cast<std::uint32_t>(crc));
  s.WriteBuffer(tail, 4);
}

std::int64_t Remaining(TStream& s) { return std::max<std::int64_t>(0, s.Size() - s.Position()); }

}  // namespace png_detail

namespace {

inline int Paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = p > a ? p - a : a - p;
  const int pb = p > b ? p - b : b - p;
  const int pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

inline std::uint8_t Add(std::uint8_t x, int v) { return static_cast<std::uint8_t>(x + v); }

struct Pass {
  int row_start, col_start, row_step, col_step;
};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                            {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};
constexpr Pass kWhole = {0, 0, 1, 1};

// Columns of a pass: (Width - column start + column step - 1) div column step.
std::int64_t PassWidth(std::uint32_t width, const Pass& p) {
  return width > static_cast<std::uint32_t>(p.col_start) ? (width - p.col_start + p.col_step - 1) / p.col_step : 0;
}

// A packed sample (depth 1, 2 or 4) of a row.
unsigned GetPacked(const std::uint8_t* row, std::int64_t k, int depth) {
  const std::int64_t bit = k * depth;
  const int shift = 8 - depth - static_cast<int>(bit % 8);
  return (row[bit / 8] >> shift) & ((1u << depth) - 1);
}
void PutPacked(std::uint8_t* row, std::int64_t k, int depth, unsigned v) {
  const std::int64_t bit = k * depth;
  const int shift = 8 - depth - static_cast<int>(bit % 8);
  const auto mask = static_cast<std::uint8_t>(((1u << depth) - 1) << shift);
  row[bit / 8] = static_cast<std::uint8_t>((row[bit / 8] & ~mask) | ((v << shift) & mask));
}

// One image row (or one pass's share of it) in the header's buffers.
struct RowPlanes {
  std::uint8_t* dib;
  std::uint8_t* low;    // bit depth 16 only
  std::uint8_t* alpha;  // colour types 4 and 6 only
};

RowPlanes PlanesOf(const TspPngLayerIHDR& h, std::uint32_t y) {
  std::uint8_t* dib = h.DibRow(y);
  return {dib, h.LowBytePlane ? h.LowBytePlane + (dib - h.Bits) : nullptr,
          h.AlphaPlane ? h.AlphaPlane + static_cast<std::int64_t>(y) * h.Width : nullptr};
}

// Converters of one colour type and depth, chosen once per image. Samples
// are indexed k within the pass; pixels land at column x of the image.
using RowDecoder = void (*)(const RowPlanes&, const std::uint8_t* gamma, const std::uint8_t* raw, int pass_width,
                            const Pass& p);
using RowEncoder = void (*)(const RowPlanes&, const std::uint8_t* inverse, std::uint8_t* raw, int pass_width,
                            const Pass& p);

// Grey or palette samples of depth 1, 2 or 4 into a 1- or 4-bit DIB; 2-bit
// grey lands on the 16-level grey palette (level = sample x 5).
template <int Depth, bool Grey>
void DecodePacked(const RowPlanes& r, const std::uint8_t*, const std::uint8_t* raw, int n, const Pass& p) {
  constexpr int kDibBits = Depth == 2 ? 4 : Depth;
  for (int k = 0; k < n; ++k) {
    unsigned v = GetPacked(raw, k, Depth);
    if (Depth == 2 && Grey) v *= 5;
    PutPacked(r.dib, p.col_start + static_cast<std::int64_t>(k) * p.col_step, kDibBits, v);
  }
}

// One-sample pixels of 8 or 16 bits (grey, palette index), and grey with alpha.
template <int Depth, bool Alpha>
void DecodeGrey(const RowPlanes& r, const std::uint8_t*, const std::uint8_t* raw, int n, const Pass& p) {
  constexpr int kBytes = Depth / 8, kPixel = kBytes * (Alpha ? 2 : 1);
  for (int k = 0; k < n; ++k) {
    const std::int64_t x = p.col_start + static_cast<std::int64_t>(k) * p.col_step;
    const std::uint8_t* s = raw + static_cast<std::int64_t>(k) * kPixel;
    r.dib[x] = s[0];
    if (Depth == 16 && r.low) r.low[x] = s[1];
    if (Alpha && r.alpha) r.alpha[x] = s[kBytes];
  }
}

// Colour with or without alpha: the DIB holds blue, green, red.
template <int Depth, bool Alpha>
void DecodeColour(const RowPlanes& r, const std::uint8_t* gamma, const std::uint8_t* raw, int n, const Pass& p) {
  constexpr int kBytes = Depth / 8, kPixel = kBytes * (Alpha ? 4 : 3);
  for (int k = 0; k < n; ++k) {
    const std::int64_t x = p.col_start + static_cast<std::int64_t>(k) * p.col_step;
    const std::uint8_t* s = raw + static_cast<std::int64_t>(k) * kPixel;
    for (int c = 0; c < 3; ++c) {
      r.dib[x * 3 + 2 - c] = gamma[s[c * kBytes]];
      if (Depth == 16 && r.low) r.low[x * 3 + 2 - c] = gamma[s[c * kBytes + 1]];
    }
    if (Alpha && r.alpha) r.alpha[x] = s[3 * kBytes];
  }
}

template <int Depth>
void EncodePacked(const RowPlanes& r, const std::uint8_t*, std::uint8_t* raw, int n, const Pass& p) {
  constexpr int kDibBits = Depth == 2 ? 4 : Depth;
  for (int k = 0; k < n; ++k)
    PutPacked(raw, k, Depth, GetPacked(r.dib, p.col_start + static_cast<std::int64_t>(k) * p.col_step, kDibBits));
}

// A 16-bit sample is written as the 8-bit value followed by a 0 byte.
template <int Depth>
inline void PutSample(std::uint8_t* s, int c, std::uint8_t v) {
  if (Depth == 16) {
    s[c * 2] = v;
    s[c * 2 + 1] = 0;
  } else {
    s[c] = v;
  }
}

template <int Depth, bool Alpha>
void EncodeGrey(const RowPlanes& r, const std::uint8_t*, std::uint8_t* raw, int n, const Pass& p) {
  constexpr int kPixel = Depth / 8 * (Alpha ? 2 : 1);
  for (int k = 0; k < n; ++k) {
    const std::int64_t x = p.col_start + static_cast<std::int64_t>(k) * p.col_step;
    std::uint8_t* s = raw + static_cast<std::int64_t>(k) * kPixel;
    PutSample<Depth>(s, 0, r.dib[x]);
    if (Alpha) PutSample<Depth>(s, 1, r.alpha ? r.alpha[x] : 255);
  }
}

template <int Depth, bool Alpha>
void EncodeColour(const RowPlanes& r, const std::uint8_t* inverse, std::uint8_t* raw, int n, const Pass& p) {
  constexpr int kPixel = Depth / 8 * (Alpha ? 4 : 3);
  for (int k = 0; k < n; ++k) {
    const std::int64_t x = p.col_start + static_cast<std::int64_t>(k) * p.col_step;
    std::uint8_t* s = raw + static_cast<std::int64_t>(k) * kPixel;
    for (int c = 0; c < 3; ++c) PutSample<Depth>(s, c, inverse[r.dib[x * 3 + 2 - c]]);
    if (Alpha) PutSample<Depth>(s, 3, r.alpha ? r.alpha[x] : 255);
  }
}

// The converters of a header; both null when the combination has none.
struct Converters {
  RowDecoder decode = nullptr;
  RowEncoder encode = nullptr;
};

Converters ConvertersOf(const TspPngLayerIHDR& h) {
  if (!h.Bits) return {};
  const bool grey = h.ColorType == 0;
  switch (h.ColorType * 100 + h.BitDepth) {
    case 1:
    case 301:
      return {&DecodePacked<1, false>, &EncodePacked<1>};
    case 2:
    case 302:
      return {grey ? &DecodePacked<2, true> : &DecodePacked<2, false>, &EncodePacked<2>};
    case 4:
    case 304:
      return {&DecodePacked<4, false>, &EncodePacked<4>};
    case 8:
    case 308:
      return {&DecodeGrey<8, false>, &EncodeGrey<8, false>};
    case 16:
    case 316:
      return {&DecodeGrey<16, false>, &EncodeGrey<16, false>};
    case 208:
      return {&DecodeColour<8, false>, &EncodeColour<8, false>};
    case 216:
      return {&DecodeColour<16, false>, &EncodeColour<16, false>};
    case 408:
      return {&DecodeGrey<8, true>, &EncodeGrey<8, true>};
    case 416:
      return {&DecodeGrey<16, true>, &EncodeGrey<16, true>};
    case 608:
      return {&DecodeColour<8, true>, &EncodeColour<8, true>};
    case 616:
      return {&DecodeColour<16, true>, &EncodeColour<16, true>};
    default:
      return {};
  }
}

// The reader of consecutive IDAT chunks feeding one inflate stream. Every
// failure leaves its reason in Error().
class IdatReader {
 public:
  IdatReader(TStream& s, std::int64_t first_size) : s_(s) {
    crc_ = crc32(0, reinterpret_cast<const Bytef*>("IDAT"), 4);
    data_end_ = s.Position() + first_size;
    input_.resize(65535);
  }
  ~IdatReader() {
    if (started_) inflateEnd(&z_);
  }
  IdatReader(const IdatReader&) = delete;
  IdatReader& operator=(const IdatReader&) = delete;

  bool Start() {
    started_ = inflateInit(&z_) == Z_OK;
    return started_ || Fail("zlib cannot start");
  }
  const std::string& Error() const { return error_; }

  // Fills out with up to size bytes; answers the count, or -1 on failure.
  int ReadRow(std::uint8_t* out, int size) {
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(size);
    while (z_.avail_out > 0 && !ended_) {
      if (z_.avail_in == 0) {
        if (s_.Position() >= data_end_) {
          if (!NextChunk()) return -1;
          continue;  // the chunk may be empty
        }
        if (!Fill()) break;  // the stream ends inside the chunk
      }
      const int r = inflate(&z_, Z_NO_FLUSH);
      if (r == Z_STREAM_END) {
        ended_ = true;
      } else if (r != Z_OK) {
        Fail(std::string("bad zlib stream") + (z_.msg ? std::string(": ") + z_.msg : std::string()));
        return -1;
      }
    }
    return size - static_cast<int>(z_.avail_out);
  }

  // After the last row: the zlib stream must end, whole and with nothing
  // more to inflate, and nothing may follow it in its chunk. Then reads the
  // chunk's CRC and checks and skips any IDAT chunks that follow. True when
  // all of that holds.
  bool Finish() {
    while (!ended_) {
      if (z_.avail_in == 0) {
        if (s_.Position() >= data_end_) {
          if (!CheckCrc()) return false;
          if (!NextIdat()) return Fail("zlib stream of the image data cut short");
          continue;
        }
        if (!Fill()) return Fail("data ends inside the chunk");
      }
      std::uint8_t extra;
      z_.next_out = &extra;
      z_.avail_out = 1;
      const int r = inflate(&z_, Z_NO_FLUSH);
      if (z_.avail_out == 0) return Fail("image data continues after the last row");
      if (r == Z_STREAM_END) {
        ended_ = true;
      } else if (r != Z_OK && !(r == Z_BUF_ERROR && z_.avail_in == 0)) {
        return Fail(std::string("bad zlib stream") + (z_.msg ? std::string(": ") + z_.msg : std::string()));
      }
    }
    if (z_.avail_in > 0 || s_.Position() < data_end_)
      return Fail("compressed data after the end of the image data");
    if (!CheckCrc()) return false;
    for (;;) {
      const std::int64_t at = s_.Position();
      if (!NextIdat()) {
        if (!error_.empty()) return false;
        s_.SetPosition(at);
        return true;
      }
      if (!SkipData(data_end_ - s_.Position()) || !CheckCrc()) return false;
    }
  }

 private:
  bool Fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }
  bool SkipData(std::int64_t rest) {
    while (rest > 0) {
      const std::int64_t got = s_.Read(input_.data(), std::min<std::int64_t>(rest, 65535));
      if (got <= 0) return Fail("data ends inside the chunk");
      crc_ = crc32(crc_, input_.data(), static_cast<uInt>(got));
      rest -= got;
    }
    return true;
  }
  bool CheckCrc() {
    std::uint32_t stored;
    return (ReadBE32(s_, stored) && stored == crc_) || Fail("CRC mismatch");
  }
  bool NextChunk() {
    if (!CheckCrc()) return false;
    const std::int64_t at = s_.Position();
    if (NextIdat()) return true;
    if (!error_.empty()) return false;
    std::uint8_t head[8];
    s_.SetPosition(at);
    if (s_.Read(head, 8) != 8) return Fail("data ends before the image is complete");
    return Fail("image data interrupted by another chunk");
  }
  // Starts the IDAT chunk at the stream's position; false when none is there
  // (or, with a reason left, when it is broken).
  bool NextIdat() {
    std::uint8_t head[8];
    if (s_.Read(head, 8) != 8 || std::memcmp(head + 4, "IDAT", 4) != 0) return false;
    const std::uint32_t len = GetBE32(head);
    if (len > static_cast<std::uint64_t>(Remaining(s_))) return Fail("chunk length beyond the end of the data");
    crc_ = crc32(0, reinterpret_cast<const Bytef*>("IDAT"), 4);
    data_end_ = s_.Position() + len;
    return true;
  }
  // Reads the next input block of the current chunk; false when the stream
  // ends inside it.
  bool Fill() {
    const std::int64_t want = std::min<std::int64_t>(65535, data_end_ - s_.Position());
    const std::int64_t got = want > 0 ? s_.Read(input_.data(), want) : 0;
    if (got <= 0) return false;
    crc_ = crc32(crc_, input_.data(), static_cast<uInt>(got));
    z_.next_in = input_.data();
    z_.avail_in = static_cast<uInt>(got);
    return true;
  }

  TStream& s_;
  z_stream z_{};
  bool started_ = false;
  bool ended_ = false;
  uLong crc_;
  std::int64_t data_end_;
  std::vector<std::uint8_t> input_;
  std::string error_;
};

}  // namespace

namespace png_detail {

std::int64_t ImageDataSize(const TspPngLayerIHDR& h) {
  const bool interlaced = h.InterlaceMethod == 1;
  std::int64_t total = 0;
  for (int pi = 0; pi < (interlaced ? 7 : 1); ++pi) {
    const Pass& p = interlaced ? kAdam7[pi] : kWhole;
    const int row_bytes = PngBytesPerRow(PassWidth(h.Width, p), h.ColorType, h.BitDepth);
    if (row_bytes == 0 || h.Height <= static_cast<std::uint32_t>(p.row_start)) continue;
    const std::int64_t rows = (h.Height - p.row_start + p.row_step - 1) / p.row_step;
    total += rows * (row_bytes + 1);
  }
  return total;
}

int DibBitCount(int color_type, int bit_depth) {
  switch (color_type) {
    case 0:
    case 3:
    case 4:
      if (bit_depth == 1 || bit_depth == 4 || bit_depth == 8) return bit_depth;
      if (bit_depth == 2) return 4;
      return bit_depth == 16 ? 8 : 0;
    case 2:
    case 6:
      return 24;
    default:
      return 0;
  }
}

bool ValidColourAndDepth(int color_type, int bit_depth) {
  switch (color_type) {
    case 0:
      return bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8 || bit_depth == 16;
    case 3:
      return bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8;
    case 2:
    case 4:
    case 6:
      return bit_depth == 8 || bit_depth == 16;
    default:
      return false;
  }
}

int FilterOffset(int color_type, int depth) {
  switch (color_type) {
    case 0:
      return depth == 16 ? 2 : 1;
    case 2:
      return depth * 3 / 8;
    case 3:
      return 1;
    case 4:
      return depth * 2 / 8;
    case 6:
      return depth * 4 / 8;
    default:
      return 0;
  }
}

// The first pixel's bytes have no left or upper-left neighbour (both 0).
void Unfilter(std::uint8_t* row, const std::uint8_t* prior, int n, int offset) {
  std::uint8_t* x = row + 1;
  const std::uint8_t* up = prior + 1;
  const int lead = std::min(offset, n);
  switch (row[0]) {
    case 1:
      for (int i = lead; i < n; ++i) x[i] = Add(x[i], x[i - offset]);
      break;
    case 2:
      for (int i = 0; i < n; ++i) x[i] = Add(x[i], up[i]);
      break;
    case 3:
      for (int i = 0; i < lead; ++i) x[i] = Add(x[i], up[i] / 2);
      for (int i = lead; i < n; ++i) x[i] = Add(x[i], (up[i] + x[i - offset]) / 2);
      break;
    case 4:
      for (int i = 0; i < lead; ++i) x[i] = Add(x[i], up[i]);  // Paeth(0, up, 0) is up
      for (int i = lead; i < n; ++i) x[i] = Add(x[i], Paeth(x[i - offset], up[i], up[i - offset]));
      break;
    default:
      break;
  }
}

void FilterRow(int type, const std::uint8_t* raw, const std::uint8_t* prior, std::uint8_t* out, int n, int offset) {
  const int lead = std::min(offset, n);
  auto sub = [&](int i, int pred) { out[i] = static_cast<std::uint8_t>(raw[i] - pred); };
  switch (type) {
    case 1:
      for (int i = 0; i < lead; ++i) out[i] = raw[i];
      for (int i = lead; i < n; ++i) sub(i, raw[i - offset]);
      break;
    case 2:
      for (int i = 0; i < n; ++i) sub(i, prior[i]);
      break;
    case 3:
      for (int i = 0; i < lead; ++i) sub(i, prior[i] / 2);
      for (int i = lead; i < n; ++i) sub(i, (prior[i] + raw[i - offset]) / 2);
      break;
    case 4:
      for (int i = 0; i < lead; ++i) sub(i, prior[i]);
      for (int i = lead; i < n; ++i) sub(i, Paeth(raw[i - offset], prior[i], prior[i - offset]));
      break;
    default:
      std::memcpy(out, raw, static_cast<std::size_t>(n));
      break;
  }
}

}  // namespace png_detail

int PngPaethPredictor(int a, int b, int c) { return Paeth(a, b, c); }

int PngBytesPerRow(std::int64_t width, int color_type, int bit_depth) {
  int samples;
  switch (color_type) {
    case 0:
    case 3:
      samples = 1;
      break;
    case 2:
      samples = 3;
      break;
    case 4:
      samples = 2;
      break;
    case 6:
      samples = 4;
      break;
    default:
      return 0;
  }
  return static_cast<int>((width * bit_depth * samples + 7) / 8);
}

namespace png_detail {

bool DecodeImageData(TStream& s, std::int64_t size, TspPngLayerIHDR& h, const std::uint8_t* gamma,
                     std::string& why) {
  IdatReader reader(s, size);
  auto refuse = [&why](const std::string& reason) {
    why = reason;
    return false;
  };
  if (!reader.Start()) return refuse(reader.Error());
  const int offset = FilterOffset(h.ColorType, h.BitDepth);
  const RowDecoder decode = ConvertersOf(h).decode;
  const bool interlaced = h.InterlaceMethod == 1;
  const auto full = static_cast<std::size_t>(PngBytesPerRow(h.Width, h.ColorType, h.BitDepth)) + 1;
  std::vector<std::uint8_t> buf[2] = {std::vector<std::uint8_t>(full, 0), std::vector<std::uint8_t>(full, 0)};
  int cur = 1;
  for (int pi = 0; pi < (interlaced ? 7 : 1); ++pi) {
    const Pass& p = interlaced ? kAdam7[pi] : kWhole;
    const std::int64_t pw = PassWidth(h.Width, p);
    const int row_bytes = PngBytesPerRow(pw, h.ColorType, h.BitDepth);
    if (row_bytes == 0) continue;
    std::fill(buf[1 - cur].begin(), buf[1 - cur].end(), 0);
    for (std::int64_t y = p.row_start; y < h.Height; y += p.row_step) {
      std::uint8_t* row = buf[cur].data();
      const int got = reader.ReadRow(row, row_bytes + 1);
      if (got < 0) return refuse(reader.Error());
      // Data that ends before the last row is a damaged file, not an image.
      if (got < row_bytes + 1) return refuse("not enough image data");
      Unfilter(row, buf[1 - cur].data(), row_bytes, offset);
      if (decode) decode(PlanesOf(h, static_cast<std::uint32_t>(y)), gamma, row + 1, static_cast<int>(pw), p);
      cur = 1 - cur;
    }
  }
  return reader.Finish() || refuse(reader.Error());
}

std::int64_t FirstIndexPast(const TspPngLayerIHDR& h, int entries) {
  const int bits = h.ColorType == 3 && h.Bits ? DibBitCount(h.ColorType, h.BitDepth) : 0;
  if (bits == 0 || entries >= (1 << bits)) return -1;
  for (std::uint32_t y = 0; y < h.Height; ++y) {
    const std::uint8_t* row = h.DibRow(y);
    for (std::uint32_t x = 0; x < h.Width; ++x)
      if (static_cast<int>(bits == 8 ? row[x] : GetPacked(row, x, bits)) >= entries)
        return static_cast<std::int64_t>(y) * h.Width + x;
  }
  return -1;
}

}  // namespace png_detail

namespace {

// The filter of a row (step 6 of the choice): None unless a candidate
// repeats its neighbours more often.
int ChooseFilter(std::uint8_t set, const std::uint8_t* const cand[5], int n) {
  if (set == 0 || set == kPngFilterNone) return 0;
  int chosen = 0, best = 0;
  for (int f = 0; f <= 4; ++f) {
    if (!(set & (1 << f))) continue;
    if (set == (1 << f)) return f;
    const std::uint8_t* c = cand[f];
    int count = 0;
    for (int i = 2; i < n; ++i)
      if (c[i] == c[i - 1] || c[i] == c[i - 2]) ++count;
    if (count > best) best = count, chosen = f;
  }
  return chosen;
}

}  // namespace

namespace png_detail {

bool EncodeImageData(TStream& stream, const TspPngLayerIHDR& h, const TspPngImage& owner) {
  const int offset = FilterOffset(h.ColorType, h.BitDepth);
  const RowEncoder encode = ConvertersOf(h).encode;
  const auto full = static_cast<std::size_t>(PngBytesPerRow(h.Width, h.ColorType, h.BitDepth)) + 1;
  std::vector<std::uint8_t> raw(full), prior(full);
  std::vector<std::uint8_t> cand[5];
  const std::uint8_t set = owner.Filters & 0x1F;
  for (int f = 1; f <= 4; ++f)
    if (set & (1 << f)) cand[f].resize(full);
  const int max_idat = std::max(1, owner.MaxIdatSize);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(max_idat));
  z_stream z{};
  if (deflateInit(&z, std::min<int>(owner.CompressionLevel, 9)) != Z_OK) return false;
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(max_idat);
  auto emit = [&](std::uint32_t filled) {
    WriteChunk(stream, "IDAT", out.data(), filled);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(max_idat);
  };
  auto feed = [&](const std::uint8_t* data, int n) {
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(n);
    while (z.avail_in > 0) {
      if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR) return false;
      if (z.avail_out == 0) emit(static_cast<std::uint32_t>(max_idat));
    }
    return true;
  };
  bool ok = true;
  const bool interlaced = owner.InterlaceMethod == 1;
  for (int pi = 0; pi < (interlaced ? 7 : 1) && ok; ++pi) {
    const Pass& p = interlaced ? kAdam7[pi] : kWhole;
    const std::int64_t pw = PassWidth(h.Width, p);
    const int n = PngBytesPerRow(pw, h.ColorType, h.BitDepth);
    if (n == 0) continue;
    std::fill(prior.begin(), prior.end(), 0);
    for (std::int64_t y = p.row_start; y < h.Height && ok; y += p.row_step) {
      std::fill(raw.begin(), raw.end(), 0);
      if (encode)
        encode(PlanesOf(h, static_cast<std::uint32_t>(y)), owner.InverseGammaTable, raw.data(), static_cast<int>(pw), p);
      for (int f = 1; f <= 4; ++f)
        if (set & (1 << f)) FilterRow(f, raw.data(), prior.data(), cand[f].data(), n, offset);
      std::swap(raw, prior);  // prior now holds the raw row: the None candidate
      const std::uint8_t* const rows[5] = {prior.data(), cand[1].data(), cand[2].data(), cand[3].data(), cand[4].data()};
      const int chosen = ChooseFilter(set, rows, n);
      const auto type = static_cast<std::uint8_t>(chosen);
      ok = feed(&type, 1) && feed(rows[chosen], n);
    }
  }
  if (ok) {
    z.next_in = nullptr;
    z.avail_in = 0;
    for (;;) {
      const int r = deflate(&z, Z_FINISH);
      if (r == Z_STREAM_END) break;
      if (r == Z_STREAM_ERROR) {
        ok = false;
        break;
      }
      emit(static_cast<std::uint32_t>(max_idat) - z.avail_out);
    }
    const std::uint32_t filled = static_cast<std::uint32_t>(max_idat) - z.avail_out;
    if (ok && filled > 0) WriteChunk(stream, "IDAT", out.data(), filled);
  }
  deflateEnd(&z);
  return ok;
}

}  // namespace png_detail

}  // namespace vt
