// PNG image data: decoding files written by another encoder, round trips,
// filter choice, IDAT splitting and damaged input.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "SkinTestSupport.h"
#include "skins/SpPngIdat.h"
#include "support/PipeFeed.h"
#include "support/Sanitized.h"

namespace vt {
namespace {

using test::FxAlpha;
using test::FxBlue;
using test::FxGreen;
using test::FxRed;

class PngImageTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureSkinUnits(); }

  void Load(const std::string& bytes) { test::LoadPngBytes(image_, bytes); }
  TspPngLayerIHDR& H() { return *image_.Header(); }
  // Blue, green, red of a 24-bit image.
  std::uint32_t Rgb(int x, int y) {
    const std::uint8_t* p = H().DibRow(y) + x * 3;
    return (p[2] << 16) | (p[1] << 8) | p[0];
  }
  os::RGBQUAD TableColour(unsigned i, TspPngLayerIHDR* h = nullptr) {
    os::RGBQUAD q;
    EXPECT_EQ(os::GetDIBColorTable((h ? *h : H()).DC, i, 1, &q), 1u);
    return q;
  }
  std::string Message(const std::string& bytes) {
    return test::MessageOf<EspPngError>([&] { Load(bytes); });
  }

  std::unique_ptr<TspPngImage> owned_ = std::make_unique<TspPngImage>();
  TspPngImage& image_ = *owned_;
};

// The pixel at X, Y of a 4-bit DIB.
unsigned Nibble(TspPngLayerIHDR& h, int x, int y) { return (h.DibRow(y)[x / 2] >> (x % 2 ? 0 : 4)) & 15; }

std::uint32_t FxRgb(int x, int y) {
  return static_cast<std::uint32_t>((FxRed(x, y) << 16) | (FxGreen(x, y) << 8) | FxBlue(x, y));
}

TEST_F(PngImageTest, DecodesInterlacedRgbaWithAlphaPlane) {
  Load(test::PngFixture("rgba8_adam7.png"));
  ASSERT_EQ(image_.InterlaceMethod, 1);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 9; ++x) {
      ASSERT_EQ(Rgb(x, y), FxRgb(x, y)) << x << "," << y;
      ASSERT_EQ(H().AlphaPlane[y * 9 + x], FxAlpha(x, y)) << x << "," << y;
    }
  TspPngImage one;
  test::LoadPngBytes(one, test::PngFixture("rgba8_1x1_adam7.png"));
  EXPECT_EQ(one.Header()->AlphaPlane[0], 0);
  EXPECT_EQ(one.Header()->Bits[0], 0);
}

TEST_F(PngImageTest, Grey16KeepsLowBytesAndSavesThemAsZero) {
  Load(test::PngFixture("gray16.png"));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) {
      const int v = test::FxGrey16(x, y);
      ASSERT_EQ(H().DibRow(y)[x], v >> 8);
      ASSERT_EQ(H().LowBytePlane[(H().DibRow(y) - H().Bits) + x], v & 255);
    }
  TspPngImage back;
  test::LoadPngBytes(back, test::SavePngBytes(image_));
  const auto size = static_cast<std::size_t>(H().RowStride) * 4;
  EXPECT_EQ(std::memcmp(back.Header()->Bits, H().Bits, size), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.Header()->LowBytePlane), size), std::string(size, '\0'));
}

TEST_F(PngImageTest, GreyWithAlphaAndTwoBitGrey) {
  Load(test::PngFixture("graya8.png"));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x) {
      ASSERT_EQ(H().DibRow(y)[x], FxRed(x, y));
      ASSERT_EQ(H().AlphaPlane[y * 6 + x], FxAlpha(x, y));
    }
  EXPECT_EQ(TableColour(77).rgbGreen, 77);  // grey palette

  TspPngImage plain, interlaced;
  test::LoadPngBytes(plain, test::PngFixture("gray2.png"));
  test::LoadPngBytes(interlaced, test::PngFixture("gray2_adam7.png"));
  for (TspPngImage* img : {&plain, &interlaced}) {
    TspPngLayerIHDR& h = *img->Header();
    ASSERT_EQ(h.BitmapInfo.bmiHeader.biBitCount, 4);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 7; ++x)
        ASSERT_EQ(Nibble(h, x, y), static_cast<unsigned>(((x + y) & 3) * 5)) << x << "," << y;
    EXPECT_EQ(TableColour(10, &h).rgbRed, 170);  // level 10 of 16 shows 2-bit grey 2
  }
}

TEST_F(PngImageTest, PaletteImageWithTransparency) {
  Load(test::PngFixture("pal4_trns.png"));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) ASSERT_EQ(Nibble(H(), x, y), static_cast<unsigned>((x + 2 * y) % 6));
  EXPECT_EQ(TableColour(1).rgbGreen, 255);
  EXPECT_EQ(TableColour(5).rgbRed, 17);
  EXPECT_EQ(TableColour(5).rgbBlue, 51);
  auto* t = dynamic_cast<TspPngLayertRNS*>(image_.FindChunk("tRNS"));
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->SingleTransparency);
}

TEST_F(PngImageTest, AncillaryAndUnknownChunksSurviveASave) {
  Load(test::PngFixture("meta.png"));
  auto* z = dynamic_cast<TspPngLayerzTXt*>(image_.FindChunk("zTXt"));
  ASSERT_NE(z, nullptr);
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "packed text ";
  EXPECT_EQ(z->Text, expected);
  auto* t = dynamic_cast<TspPngLayertIME*>(image_.FindChunk("tIME"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Minute, 5);
  auto names = test::SplitChunks(test::SavePngBytes(image_));
  std::vector<std::string> got;
  for (auto& c : names) got.push_back(c.first);
  EXPECT_EQ(got, (std::vector<std::string>{"IHDR", "gAMA", "pHYs", "tIME", "tEXt", "zTXt", "vpAg", "IDAT",
                                           "IEND"}));
}

// Fills an RGBA image with the fixture formulas.
void FillRgba(TspPngImage& img, int w, int h) {
  img.CreateBlank(6, 8, w, h);
  TspPngLayerIHDR& hd = *img.Header();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = hd.DibRow(y) + x * 3;
      p[0] = FxBlue(x, y);
      p[1] = FxGreen(x, y);
      p[2] = FxRed(x, y);
      hd.AlphaPlane[y * w + x] = FxAlpha(x, y);
    }
}

// The filter bytes of each row of a non-interlaced image.
std::vector<int> RowFilters(const std::string& png, int row_bytes) {
  std::string z;
  for (auto& c : test::SplitChunks(png))
    if (c.first == "IDAT") z += c.second;
  std::string raw(1 << 16, '\0');
  uLongf len = static_cast<uLongf>(raw.size());
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(raw.data()), &len, reinterpret_cast<const Bytef*>(z.data()),
                       static_cast<uLong>(z.size())),
            Z_OK);
  std::vector<int> out;
  for (uLongf at = 0; at < len; at += static_cast<uLongf>(row_bytes) + 1) out.push_back(raw[at]);
  return out;
}

TEST_F(PngImageTest, FilterChoice) {
  TspPngImage img;
  FillRgba(img, 8, 5);
  for (auto [filters, chosen] : std::initializer_list<std::pair<int, int>>{
           {kPngFilterSub, 1}, {kPngFilterNone, 0}, {0, 0}, {kPngFilterPaeth, 4}}) {
    img.Filters = static_cast<std::uint8_t>(filters);
    EXPECT_EQ(RowFilters(test::SavePngBytes(img), 32), std::vector<int>(5, chosen)) << filters;
  }

  // Rows of identical bytes: every candidate scores the same, None wins.
  TspPngImage flat;
  flat.CreateBlank(2, 8, 6, 3);
  std::memset(flat.Header()->Bits, 0x33, static_cast<std::size_t>(flat.Header()->RowStride) * 3);
  flat.Filters = kPngFilterNone | kPngFilterSub | kPngFilterUp;
  EXPECT_EQ(RowFilters(test::SavePngBytes(flat), 18), std::vector<int>(3, 0));
}

TEST_F(PngImageTest, IdatChunksHoldTheMaximumSize) {
  TspPngImage img;
  img.CreateBlank(2, 8, 200, 200);
  std::mt19937 rng(7);
  TspPngLayerIHDR& h = *img.Header();
  for (int i = 0; i < h.RowStride * 200; ++i) h.Bits[i] = static_cast<std::uint8_t>(rng());
  img.MaxIdatSize = 8192;
  img.Filters = kPngFilterNone;
  std::string bytes = test::SavePngBytes(img);
  std::vector<std::size_t> sizes;
  for (auto& c : test::SplitChunks(bytes))
    if (c.first == "IDAT") sizes.push_back(c.second.size());
  ASSERT_GT(sizes.size(), 10u);
  for (std::size_t i = 0; i + 2 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 8192u) << i;
  TspPngImage back;
  back.MaxIdatSize = 100;
  test::LoadPngBytes(back, bytes);
  EXPECT_EQ(std::memcmp(back.Header()->Bits, h.Bits, static_cast<std::size_t>(h.RowStride) * 200), 0);
}

TEST_F(PngImageTest, LargeImagesTheLibraryWritesReadBack) {
  // More than 2^24 pixels.
  TspPngImage big;
  big.Filters = kPngFilterNone;
  big.CreateBlank(0, 8, 4097, 4097);
  TspPngLayerIHDR& h = *big.Header();
  for (std::uint32_t y = 0; y < h.Height; y += 13) h.DibRow(y)[(y * 7) % h.Width] = static_cast<std::uint8_t>(y | 1);
  h.DibRow(4096)[4096] = 255;
  const std::string bytes = test::SavePngBytes(big);
  TspPngImage back;
  test::LoadPngBytes(back, bytes);
  ASSERT_EQ(back.Header()->Width, 4097u);
  ASSERT_EQ(back.Header()->Height, 4097u);
  EXPECT_EQ(std::memcmp(back.Header()->Bits, h.Bits, static_cast<std::size_t>(h.RowStride) * h.Height), 0);
}

TEST_F(PngImageTest, HeadersClaimingMoreThanTheFileCanHoldAreRefused) {
  // A few bytes of deflate cannot make the rows of the largest image.
  std::string tiny;
  {
    TspPngImage small;
    small.CreateBlank(6, 16, 1, 1);
    for (const auto& c : test::SplitChunks(test::SavePngBytes(small)))
      if (c.first == "IDAT") tiny = c.second;
  }
  const std::string tail = test::Chunk("IDAT", tiny) + test::Chunk("IEND", "");
  for (int interlace : {0, 1}) {
    EXPECT_EQ(Message(test::kPngSignature + test::Chunk("IHDR", test::IhdrData(65535, 65535, 16, 6, 0, 0, interlace)) +
                      tail),
              "PNG chunk IHDR is corrupt: image larger than the rest of the file can hold");
  }
  EXPECT_EQ(Message(test::kPngSignature + test::Chunk("IHDR", test::IhdrData(5000, 5000, 8, 2)) + tail),
            "PNG chunk IHDR is corrupt: image larger than the rest of the file can hold");
  // A header the file could hold passes; its missing rows do not.
  EXPECT_EQ(Message(test::kPngSignature + test::Chunk("IHDR", test::IhdrData(40, 40, 16, 6)) + tail),
            "PNG chunk IDAT is corrupt: not enough image data");
}

TEST_F(PngImageTest, DamagedFilesGiveClearErrors) {
  const std::string good = test::PngFixture("rgb8.png");
  const std::string sig_ihdr = test::kPngSignature + test::Chunk("IHDR", test::IhdrData(4, 4, 8, 2));
  std::string bad_header = good;
  bad_header[8 + 8 + 13] ^= 1;  // IHDR CRC
  // The CRC of the middle of three IDAT chunks.
  std::string bad_idat = test::PngFixture("rgb8_split.png");
  const auto chunks = test::SplitChunks(bad_idat);
  ASSERT_EQ(chunks[2].first, "IDAT");
  bad_idat[8 + (12 + chunks[0].second.size()) + (12 + chunks[1].second.size()) + 8 +
           chunks[2].second.size()] ^= 0x40;
  const std::pair<std::string, const char*> cases[] = {
      {"GIF89a..", "Invalid PNG signature"},
      {test::kPngSignature + test::Chunk("IEND", ""), "PNG image has no header chunk"},
      {bad_header, "PNG chunk IHDR is corrupt: CRC mismatch"},
      {bad_idat, "PNG chunk IDAT is corrupt: CRC mismatch"},
      {sig_ihdr + test::BE32(0x7FFFFFF0) + "tEXt",
       "PNG chunk tEXt is corrupt: chunk length beyond the end of the data"},
      {sig_ihdr + test::BE32(0x80000000u) + "tEXt", "Invalid length of PNG chunk tEXt"},
      {sig_ihdr + test::Chunk("IHDR", test::IhdrData(4, 4, 8, 2)),
       "PNG image has more than one header chunk"},
      {sig_ihdr + test::Chunk("IDAT", "this is not deflate") + test::Chunk("IEND", ""),
       "PNG chunk IDAT is corrupt: bad zlib stream: incorrect header check"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(Message(bytes), message);
  image_.MaxPixels = 1000;
  EXPECT_EQ(Message(test::kPngSignature + test::Chunk("IHDR", test::IhdrData(100, 100, 8, 2))),
            "PNG chunk IHDR is corrupt: image exceeds the pixel limit");
  image_.MaxPixels = std::int64_t{1} << 24;

  // Every truncation fails cleanly.
  for (std::size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_NE(Message(good.substr(0, n)), "(no exception)");
  }
}

// ---- Cross-checks with libpng, an independent codec ----

void AppendToString(png_structp png, png_bytep data, png_size_t n) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), n);
}

// libpng reports errors by longjmp: nothing with a destructor lives here.
[[gnu::noinline]] bool LibpngWriteRows(std::string* out, int w, int h, int color, int depth,
                                       const png_color* palette, int palette_size, const std::uint8_t* rows,
                                       std::size_t stride, int filters) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, &AppendToString, nullptr);
  png_set_IHDR(png, info, w, h, depth, color, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (color == 3) png_set_PLTE(png, info, palette, palette_size);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) png_write_row(png, rows + y * stride);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

// Rows in PNG layout written by libpng with the given filters (PNG_FILTER_*).
std::string LibpngWrite(int w, int h, int color, int depth, const std::vector<std::uint8_t>& rows,
                        int filters) {
  std::vector<png_color> palette(static_cast<std::size_t>(1) << std::min(depth, 8));
  for (std::size_t i = 0; i < palette.size(); ++i)
    palette[i] = png_color{png_byte(i * 37), png_byte(255 - i * 11), png_byte(i * 101)};
  std::string out;
  const auto stride = static_cast<std::size_t>(PngBytesPerRow(w, color, depth));
  if (!LibpngWriteRows(&out, w, h, color, depth, palette.data(), static_cast<int>(palette.size()),
                       rows.data(), stride, filters))
    out.clear();
  return out;
}

// The image as 8-bit RGBA through libpng's own reader; empty when libpng
// refuses the file.
std::vector<std::uint8_t> LibpngRgba(const std::string& bytes, bool linear = false) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return {};
  image.format = linear ? PNG_FORMAT_LINEAR_RGB_ALPHA : PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> out(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) out.clear();
  png_image_free(&image);
  return out;
}

// Every colour type and depth: rows that libpng filtered (Paeth alone, then
// its own adaptive choice) decode to pixels that, saved again with every
// filter and with and without interlacing, libpng reads as the same image.
TEST_F(PngImageTest, AgreesWithLibpngBothWays) {
  const int w = 37, h = 23;
  std::mt19937 rng(11);
  const std::pair<int, int> formats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                         {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
  for (auto [color, depth] : formats) {
    const int stride = PngBytesPerRow(w, color, depth);
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(stride) * h);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      // Smooth ramps with noise, so that every predictor has work; 16-bit
      // samples have low byte 0, which is what a save writes.
      std::uint8_t v = static_cast<std::uint8_t>(i * 3 + (i / stride) * 5 + rng() % 9);
      if (depth == 16 && i % 2) v = 0;
      rows[i] = v;
    }
    for (int filters : {PNG_FILTER_PAETH, PNG_ALL_FILTERS}) {
      SCOPED_TRACE(testing::Message() << "colour " << color << " depth " << depth << " filters " << filters);
      const std::string original = LibpngWrite(w, h, color, depth, rows, filters);
      const bool linear = depth == 16;
      const std::vector<std::uint8_t> expected = LibpngRgba(original, linear);
      ASSERT_FALSE(expected.empty());
      TspPngImage img;
      test::LoadPngBytes(img, original);
      img.Filters = kPngFilterNone | kPngFilterSub | kPngFilterUp | kPngFilterAverage | kPngFilterPaeth;
      for (int interlace : {0, 1}) {
        img.InterlaceMethod = static_cast<std::uint8_t>(interlace);
        ASSERT_EQ(LibpngRgba(test::SavePngBytes(img), linear), expected) << "interlace " << interlace;
      }
    }
  }
}

// Images that are not whole are refused, as libpng refuses them; the whole
// ones load in both. Second copies of once-only chunks: a PLTE is refused,
// as libpng refuses it; a tRNS or gAMA left out, as libpng leaves it out.
TEST_F(PngImageTest, DamageAsLibpngSeesIt) {
  using test::Chunk;
  std::string rgb_rows, pal_rows;  // 4 rows each
  for (char y = 1; y <= 4; ++y) rgb_rows += '\0' + std::string(12, y), pal_rows += '\0' + std::string(4, y);
  const std::string rgb = test::kPngSignature + Chunk("IHDR", test::IhdrData(4, 4, 8, 2)),
                    pal = test::kPngSignature + Chunk("IHDR", test::IhdrData(4, 4, 8, 3)),
                    plte = Chunk("PLTE", std::string(15, '\x40')), gama = Chunk("gAMA", test::BE32(45455)),
                    data = Chunk("IDAT", test::Deflated(pal_rows)), trns = Chunk("tRNS", "\x10"),
                    end = Chunk("IEND", ""), short_data = "PNG chunk IDAT is corrupt: not enough image data";
  const std::pair<std::string, std::string> cases[] = {
      {rgb + Chunk("IDAT", test::Deflated(rgb_rows)) + end, ""},
      {rgb + Chunk("IDAT", test::Deflated(rgb_rows.substr(1))) + end, short_data},
      {test::kPngSignature + Chunk("IHDR", test::IhdrData(65535, 1, 8, 0)) +
           Chunk("IDAT", test::Deflated(std::string(1, '\0'))) + end,
       short_data},
      {rgb + end, "PNG image has no image data"},
      {pal + data + end, "PNG palette image has no PLTE chunk before its image data"},
      {pal + plte + plte + data + end, "PNG image has more than one PLTE chunk"},
      {pal + gama + gama + plte + trns + Chunk("tRNS", "\x20") + data + end, ""},
  };
  for (const auto& [file, error] : cases) {
    SCOPED_TRACE(error);
    EXPECT_EQ(LibpngRgba(file).empty(), !error.empty());
    EXPECT_EQ(Message(file), error.empty() ? "(no exception)" : error);
  }
  std::string names;
  for (int i = 0; i < image_.Chunks.Count(); ++i)
    names += static_cast<TspPngLayer*>(image_.Chunks.Items(i))->ChunkName[0];
  EXPECT_EQ(names, "IgPtII");
  EXPECT_EQ(dynamic_cast<TspPngLayertRNS*>(image_.FindChunk("tRNS"))->AlphaTable[0], 0x10);
}

void IgnoreWarning(png_structp, png_const_charp) {}
void JumpOnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

struct MemoryInput {
  const std::string* bytes;
  std::size_t at;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
  if (n > in->bytes->size() - in->at) png_error(png, "read past the end");
  std::memcpy(out, in->bytes->data() + in->at, n);
  in->at += n;
}

// Whether libpng reads the whole file, with its benign errors taken as errors.
[[gnu::noinline]] bool LibpngStrictReads(const std::string* bytes, std::vector<std::uint8_t>* pixels,
                                         std::vector<png_bytep>* rows) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, &JumpOnError, &IgnoreWarning);
  png_infop info = png_create_info_struct(png);
  MemoryInput in{bytes, 0};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_benign_errors(png, 0);
  png_set_read_fn(png, &in, &ReadFromMemory);
  png_read_info(png, info);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const png_size_t stride = png_get_rowbytes(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (height > rows->size() || stride * height > pixels->size())
    png_error(png, "image too large for the test");
  for (png_uint_32 y = 0; y < height; ++y) (*rows)[y] = pixels->data() + y * stride;
  png_read_image(png, rows->data());
  png_read_end(png, info);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

bool LibpngStrictReads(const std::string& bytes) {
  std::vector<std::uint8_t> pixels(1 << 20);
  std::vector<png_bytep> rows(1024);
  return LibpngStrictReads(&bytes, &pixels, &rows);
}

// Saves img. With error set the save must be refused with it before a byte
// is written (false); else strict libpng and this reader must both read the
// file, with as many chunks (true, the file's bytes and what was read).
bool SavedAndReadBack(TspPngImage& img, const std::string& error, std::string& bytes, TspPngImage& back) {
  TMemoryStream out;
  const std::string message = test::MessageOf<EspPngError>([&] { img.SaveToStream(out); });
  if (!error.empty()) {
    EXPECT_EQ(message, error);
    EXPECT_EQ(out.Size(), 0);
    return false;
  }
  EXPECT_EQ(message, "(no exception)");
  if (message != "(no exception)") return false;
  bytes.assign(static_cast<const char*>(out.Memory()), static_cast<std::size_t>(out.Size()));
  EXPECT_TRUE(LibpngStrictReads(bytes));
  test::LoadPngBytes(back, bytes);
  EXPECT_EQ(back.Chunks.Count(), img.Chunks.Count());
  return true;
}

// Image data every filter accepts for such a header: filter types 0-4 and samples.
std::string RawImageData(int w, int h, int color, int depth, int interlace) {
  TspPngLayerIHDR header(nullptr);
  header.Width = static_cast<std::uint32_t>(w);
  header.Height = static_cast<std::uint32_t>(h);
  header.ColorType = static_cast<std::uint8_t>(color);
  header.BitDepth = static_cast<std::uint8_t>(depth);
  header.InterlaceMethod = static_cast<std::uint8_t>(interlace);
  std::string raw(static_cast<std::size_t>(png_detail::ImageDataSize(header)), '\0');
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>((i * 7 + i / 11) % 5);
  return raw;
}

// Signature, header and, for palette images, a palette of 2^depth entries.
std::string PngHead(int w, int h, int color, int depth, int interlace = 0) {
  std::string head =
      test::kPngSignature + test::Chunk("IHDR", test::IhdrData(w, h, depth, color, 0, 0, interlace));
  if (color == 3) head += test::Chunk("PLTE", std::string(3u << std::clamp(depth, 0, 8), '\x55'));
  return head;
}

// Undefined headers and damaged chunks or zlib streams of each image kind: refused as libpng does.
TEST_F(PngImageTest, RefusesWhatLibpngRefuses) {
  using test::Chunk;
  const std::set<std::pair<int, int>> defined = {{0, 1}, {0, 2},  {0, 4},  {0, 8}, {0, 16},
                                                 {2, 8}, {2, 16}, {3, 1},  {3, 2}, {3, 4},
                                                 {3, 8}, {4, 8},  {4, 16}, {6, 8}, {6, 16}};
  const std::string end = Chunk("IEND", "");
  int files = 0;
  auto check = [&](const std::string& file, bool loads, const std::string& what) {
    ++files;
    const std::string message = Message(file);
    EXPECT_EQ(LibpngStrictReads(file), loads) << what;
    EXPECT_EQ(message == "(no exception)", loads) << what << ": " << message;
  };
  for (int color : {0, 1, 2, 3, 4, 5, 6, 7, 8, 255})
    for (int depth : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 32}) {
      const std::string data = Chunk("IDAT", test::Deflated(RawImageData(5, 3, color, depth, 0)));
      check(PngHead(5, 3, color, depth) + data + end, defined.count({color, depth}) != 0,
            Format("colour type %d, depth %d", color, depth));
    }

  const std::string text = Chunk("tEXt", std::string("k\0v", 3));
  for (auto [color, depth] :
       std::initializer_list<std::pair<int, int>>{{0, 1}, {0, 16}, {2, 8}, {3, 4}, {4, 16}, {6, 8}})
    for (int interlace : {0, 1}) {
      const std::string head = PngHead(7, 5, color, depth, interlace),
                        raw = RawImageData(7, 5, color, depth, interlace);
      const std::string z = test::Deflated(raw), data = Chunk("IDAT", z);
      std::string bytewise, bad_check = z;
      for (char b : z) bytewise += Chunk("IDAT", std::string(1, b));
      bad_check.back() ^= 1;
      const std::string half1 = Chunk("IDAT", z.substr(0, z.size() / 2)),
                        half2 = Chunk("IDAT", z.substr(z.size() / 2));
      const std::pair<std::string, bool> damage[] = {
          {head + data + end, true},
          {head + bytewise + end, true},
          {head + Chunk("IDAT", "") + data + Chunk("IDAT", "") + end, true},
          {head + Chunk("IDAT", z.substr(0, z.size() - 4)) + Chunk("IDAT", z.substr(z.size() - 4)) + end,
           true},
          {head + data + Chunk("IDAT", "junk") + end, true},  // after the stream's end: skipped by both
          {head + Chunk("vpAg", "x") + data + Chunk("vpAg", "x") + end, true},
          {head + Chunk("VPAG", "x") + data + end, false},
          {head + data + Chunk("VPAG", "x") + end, false},
          {head + Chunk("vp1g", "x") + data + end, false},
          {head + data + text + Chunk("IDAT", "") + end, false},
          {head + data + text + data + end, false},
          {head + half1 + text + half2 + end, false},
          {head + Chunk("IDAT", test::Deflated(raw + '\1')) + end, false},
          {head + Chunk("IDAT", test::Deflated(raw.substr(1))) + end, false},
          {head + Chunk("IDAT", z.substr(0, z.size() - 4)) + end, false},
          {head + Chunk("IDAT", z.substr(0, z.size() - 1)) + end, false},
          {head + Chunk("IDAT", bad_check) + end, false},
          {head + Chunk("IDAT", z.substr(0, z.size() - 4)) +
               Chunk("IDAT", bad_check.substr(z.size() - 4)) + end,
           false},
          {head + Chunk("IDAT", z + '\0') + end, false},
          {head + data, false},
      };
      for (std::size_t i = 0; i < std::size(damage); ++i)
        check(damage[i].first, damage[i].second,
              Format("colour type %d, depth %d, interlace %d, case %d", color, depth, interlace, int(i)));
    }
  for (auto [w, h] : {std::pair<int, int>{0, 3}, {3, 0}, {0, 0}})
    check(PngHead(w, h, 0, 8) + Chunk("IDAT", test::Deflated("")) + end, false, Format("%d x %d", w, h));
  EXPECT_EQ(files, 150 + 12 * 20 + 3);

  // Kept on purpose where libpng refuses: a filter type above 4 reads as none, the filter method is ignored.
  const std::string rows = std::string("\5\1\2\3", 4);
  for (const std::string& file : {PngHead(3, 1, 0, 8) + Chunk("IDAT", test::Deflated(rows)) + end,
                                  test::kPngSignature + Chunk("IHDR", test::IhdrData(3, 1, 8, 0, 0, 1)) +
                                      Chunk("IDAT", test::Deflated(std::string("\0\1\2\3", 4))) + end}) {
    EXPECT_FALSE(LibpngStrictReads(file));
    EXPECT_EQ(Message(file), "(no exception)");
    EXPECT_EQ(H().DibRow(0)[0], 1);
  }
}

// Files strict libpng refuses, one flaw each. Flaws of the header, palette,
// end, gamma and transparency (what the pixels show) are refused; flaws of
// chunks that only describe the image load: pHYs and tIME of a wrong size
// and second copies are left out, chunks the library does not read (sBIT,
// bKGD, iTXt) are kept as they are, and a zTXt that does not inflate reads
// as an empty text.
TEST_F(PngImageTest, FlawsStrictLibpngRefuses) {
  using test::Chunk;
  // A 2 x 2 image of zero samples; a palette image's palette (5 entries) is
  // left to the case.
  auto file = [](int color, const std::string& before, const std::string& after = "",
                 const std::string& end = Chunk("IEND", ""), const std::string& header_tail = "") {
    TspPngLayerIHDR header(nullptr);
    header.Width = header.Height = 2;
    header.ColorType = static_cast<std::uint8_t>(color);
    header.BitDepth = 8;
    const std::string raw(static_cast<std::size_t>(png_detail::ImageDataSize(header)), '\0');
    return test::kPngSignature + Chunk("IHDR", test::IhdrData(2, 2, 8, color) + header_tail) + before +
           Chunk("IDAT", test::Deflated(raw)) + after + end;
  };
  const std::string plte = Chunk("PLTE", std::string(15, '\x40')), gama = Chunk("gAMA", test::BE32(45455)),
                    time = Chunk("tIME", std::string("\x07\xEA\x0C\x07\x14\x1E\x00", 7)),
                    damaged = test::Deflated("text").substr(0, 4) + "!!";
  struct Case {
    const char* what;
    std::string file, error;  // error empty: loads
    std::string kept = {};    // the chunks that load
  };
  const Case cases[] = {
      {"header of 14 bytes", file(0, "", "", Chunk("IEND", ""), std::string(1, '\0')),
       "PNG chunk IHDR is corrupt: header not 13 bytes"},
      {"palette of no entries", file(3, Chunk("PLTE", "")),
       "PNG chunk PLTE is corrupt: palette without entries"},
      {"suggested palette of no entries", file(2, Chunk("PLTE", "")),
       "PNG chunk PLTE is corrupt: palette without entries"},
      {"palette in a grey image", file(0, plte), "PNG chunk PLTE is not allowed in a grey image"},
      {"palette after the data", file(2, "", plte), "PNG chunk PLTE comes after the image data"},
      {"transparency past the palette", file(3, plte + Chunk("tRNS", std::string(6, '\0'))),
       "PNG chunk tRNS is corrupt: 6 entries for a palette of 5"},
      {"transparency with alpha", file(6, Chunk("tRNS", std::string(6, '\0'))),
       "PNG chunk tRNS is not allowed in an image with alpha"},
      {"one byte of grey transparency", file(0, Chunk("tRNS", "\x01")),
       "PNG chunk tRNS is corrupt: size 1, not 2"},
      {"transparency before the palette", file(3, Chunk("tRNS", "\x01") + plte),
       "PNG chunk tRNS comes before the PLTE chunk"},
      {"transparency after the data", file(0, "", Chunk("tRNS", std::string(2, '\0'))),
       "PNG chunk tRNS comes after the image data"},
      {"gamma after the palette", file(3, plte + gama), "PNG chunk gAMA comes after the PLTE chunk"},
      {"gamma after the data", file(2, "", gama), "PNG chunk gAMA comes after the image data"},
      {"gamma of 3 bytes", file(2, Chunk("gAMA", std::string("\x00\xB1\x8F", 3))),
       "PNG chunk gAMA is corrupt: size 3, not 4"},
      {"end holding data", file(2, "", "", Chunk("IEND", "x")), "PNG chunk IEND is corrupt: size 1, not 0"},
      {"pHYs of 8 bytes", file(2, Chunk("pHYs", std::string(8, '\1'))), "", "IHDR IDAT IEND"},
      {"tIME of 6 bytes", file(2, "", Chunk("tIME", std::string(6, '\1'))), "", "IHDR IDAT IEND"},
      {"two tIME", file(2, time, time), "", "IHDR tIME IDAT IEND"},
      {"palette transparency of no entries", file(3, plte + Chunk("tRNS", "")), "", "IHDR PLTE IDAT IEND"},
      {"two tRNS", file(0, Chunk("tRNS", std::string(2, '\0')) + Chunk("tRNS", std::string(2, '\1'))), "",
       "IHDR tRNS IDAT IEND"},
      {"pHYs after the data", file(2, "", Chunk("pHYs", std::string(9, '\1'))), "", "IHDR IDAT pHYs IEND"},
      {"two pHYs", file(2, Chunk("pHYs", std::string(9, '\1')) + Chunk("pHYs", std::string(9, '\2'))), "",
       "IHDR pHYs IDAT IEND"},
      {"sBIT of 1 byte", file(2, Chunk("sBIT", "\x08")), "", "IHDR sBIT IDAT IEND"},
      {"bKGD of 1 byte", file(0, Chunk("bKGD", "\x08")), "", "IHDR bKGD IDAT IEND"},
      {"zTXt that does not inflate", file(2, "", Chunk("zTXt", std::string("k\0\0", 3) + damaged)), "",
       "IHDR IDAT zTXt IEND"},
      {"iTXt that does not inflate", file(2, "", Chunk("iTXt", std::string("k\0\1\0\0\0", 6) + damaged)), "",
       "IHDR IDAT iTXt IEND"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(LibpngStrictReads(c.file));
    // libpng's default reader refuses the first three, and reads the others without the flawed chunk.
    EXPECT_EQ(LibpngRgba(c.file).empty(), &c < cases + 3);
    EXPECT_EQ(Message(c.file), c.error.empty() ? "(no exception)" : c.error);
    if (!c.error.empty()) continue;
    std::string kept;
    for (int i = 0; i < image_.Chunks.Count(); ++i)
      kept += (i ? " " : "") + std::string(static_cast<TspPngLayer*>(image_.Chunks.Items(i))->ChunkName, 4);
    EXPECT_EQ(kept, c.kept);
    if (auto* z = dynamic_cast<TspPngLayerzTXt*>(image_.FindChunk("zTXt"))) {
      EXPECT_EQ(z->Text, "");
    }
    // What loads is written again, and reads back; chunks of no class as they were.
    const std::string saved = test::SavePngBytes(image_);
    TspPngImage back;
    test::LoadPngBytes(back, saved);
    EXPECT_EQ(back.Chunks.Count(), image_.Chunks.Count());
    for (const auto& [name, data] : test::SplitChunks(c.file))
      if (!FindPngChunkClass(name.c_str())) {
        EXPECT_NE(saved.find(Chunk(name, data)), std::string::npos) << name;
      }
  }
  // Each flaw's sound form loads in both.
  for (const std::string& sound :
       {file(3, gama + plte + Chunk("tRNS", std::string(5, '\0'))),
        file(0, Chunk("tRNS", std::string(2, '\0'))), file(2, Chunk("pHYs", std::string(9, '\1')), time)}) {
    EXPECT_TRUE(LibpngStrictReads(sound));
    EXPECT_EQ(Message(sound), "(no exception)");
  }
}

// A fresh palette image is a valid PNG file: its palette comes before the data.
TEST_F(PngImageTest, FreshPaletteImagesAreValidFiles) {
  for (int depth : {1, 2, 4, 8}) {
    TspPngImage img;
    img.CreateBlank(3, static_cast<std::uint8_t>(depth), 9, 4);
    const std::vector<std::uint8_t> rgba = LibpngRgba(test::SavePngBytes(img));
    EXPECT_EQ(rgba.size(), 9u * 4 * 4) << depth;
  }
  TspPngImage img;
  img.CreateBlank(3, 8, 2, 2);
  delete static_cast<TspPngLayer*>(img.Chunks.Remove(img.FindChunk("PLTE")));
  EXPECT_EQ(test::MessageOf<EspPngError>([&] { test::SavePngBytes(img); }),
            "PNG palette image has no PLTE chunk before its image data");
}

// The writer refuses, before writing, what the reader would refuse.
TEST_F(PngImageTest, WriterRefusesWhatTheReaderRefuses) {
  for (auto [color, depth] :
       std::initializer_list<std::pair<int, int>>{{1, 8}, {5, 8}, {7, 8}, {2, 4}, {3, 16}, {0, 3}})
    EXPECT_EQ(test::MessageOf<EspPngError>([&, color = color, depth = depth] {
                TspPngImage img;
                img.CreateBlank(static_cast<std::uint8_t>(color), static_cast<std::uint8_t>(depth), 2, 2);
              }),
              "Cannot create the PNG image buffers")
        << color << " " << depth;

  TspPngImage img;
  img.CreateBlank(2, 8, 3, 2);
  TMemoryStream out;
  const auto refusal = [&] {
    const std::string message = test::MessageOf<EspPngError>([&] { img.SaveToStream(out); });
    EXPECT_EQ(out.Size(), 0);
    return message;
  };
  img.Header()->ColorType = 5;
  EXPECT_EQ(refusal(), "PNG colour type 5 does not allow bit depth 8");
  img.Header()->ColorType = 2;
  img.Header()->BitDepth = 2;  // written as 4
  EXPECT_EQ(refusal(), "PNG colour type 2 does not allow bit depth 2");
  img.Header()->BitDepth = 8;

  // Unregistered chunks: an ancillary one is written, a critical one or a non-letter name is not.
  TspPngLayer* extra = img.CreateChunk("vpAg");
  img.InsertChunk(1, extra);
  ASSERT_FALSE(test::SavePngBytes(img).empty());
  for (const char* name : {"VPAG", "vp1g", "vp g"}) {
    std::memcpy(extra->ChunkName, name, 4);
    EXPECT_EQ(refusal(),
              Format(name[0] == 'V' ? "PNG chunk %s is critical and unknown" : "Invalid PNG chunk name %s",
                     std::string(name)));
  }
  // Image data written in two places, a chunk between.
  std::memcpy(extra->ChunkName, "vpAg", 4);
  img.InsertChunk(1, img.CreateChunk("IDAT"));
  EXPECT_EQ(refusal(), "PNG image data is split by another chunk");
  delete static_cast<TspPngLayer*>(img.Chunks.Remove(extra));
  test::LoadPngBytes(image_, test::SavePngBytes(img));
}

// A chunk of a registered class, appended or inserted at index.
TspPngLayer* AddChunk(TspPngImage& img, const char* name, int index = -1) {
  TspPngLayer* c = img.CreateChunk(name);
  if (index < 0) {
    img.Chunks.Add(c);
  } else {
    img.InsertChunk(index, c);
  }
  return c;
}

// A chunk of the plain class named name, of size bytes, after the header.
void AddPlainChunk(TspPngImage& img, const char* name, int size) {
  auto* c = new TspPngLayer(&img);
  std::memcpy(c->ChunkName, name, 4);
  c->SetDataSize(size);
  img.InsertChunk(1, c);
}

// A palette of entries colours, inserted at index.
void AddPalette(TspPngImage& img, int index, int entries) {
  static_cast<TspPngLayerPLTE*>(AddChunk(img, "PLTE", index))->PaletteCount = entries;
}

void DeleteChunk(TspPngImage& img, const char* name) {
  delete static_cast<TspPngLayer*>(img.Chunks.Remove(img.FindChunk(name)));
}

// The writer checks the chunk list and the header against its buffers before
// it writes: nothing reaches the stream of a refused image. Ancillary chunks
// appended after IEND are written before it.
TEST_F(PngImageTest, WriterChecksOrderCountsAndHeader) {
  struct Case {
    const char* what;
    int color;
    std::function<void(TspPngImage&)> change;
    std::string error;  // empty: written, read back by both readers
  };
  const Case cases[] = {
      {"text appended", 2,
       [](TspPngImage& i) {
         auto* t = static_cast<TspPngLayertEXt*>(AddChunk(i, "tEXt"));
         t->Keyword = "Title";
         t->Text = "skin";
       },
       ""},
      {"time and text appended to a palette image", 3,
       [](TspPngImage& i) {
         auto* t = static_cast<TspPngLayertIME*>(AddChunk(i, "tIME"));
         t->Year = 2026, t->Month = 12, t->Day = 7;
         static_cast<TspPngLayertEXt*>(AddChunk(i, "zTXt"))->Keyword = "k";
       },
       ""},
      {"gamma and transparency in place", 3,
       [](TspPngImage& i) {
         AddChunk(i, "gAMA", 1);
         AddChunk(i, "tRNS", 3)->SetDataSize(256);
       },
       ""},
      {"one transparent grey", 0, [](TspPngImage& i) { AddChunk(i, "tRNS", 1)->SetDataSize(2); }, ""},
      {"suggested palette", 2, [](TspPngImage& i) { AddPalette(i, 1, 1); }, ""},
      {"no IEND", 2, [](TspPngImage& i) { DeleteChunk(i, "IEND"); }, "PNG image has no IEND chunk"},
      {"two IEND", 2, [](TspPngImage& i) { AddChunk(i, "IEND"); }, "PNG image has more than one IEND chunk"},
      {"IEND with data", 2, [](TspPngImage& i) { i.FindChunk("IEND")->SetDataSize(1); },
       "PNG chunk IEND is invalid: size 1, not 0"},
      {"no IDAT", 2, [](TspPngImage& i) { DeleteChunk(i, "IDAT"); }, "PNG image has no image data"},
      {"IEND before IDAT", 2,
       [](TspPngImage& i) {
         DeleteChunk(i, "IDAT");
         AddChunk(i, "IDAT");
       },
       "PNG chunk IDAT comes after the IEND chunk"},
      {"second IHDR", 2, [](TspPngImage& i) { AddChunk(i, "IHDR", 1); },
       "PNG image has more than one header chunk"},
      {"second PLTE", 3, [](TspPngImage& i) { AddChunk(i, "PLTE", 1); },
       "PNG image has more than one PLTE chunk"},
      {"two palettes in a colour image", 2,
       [](TspPngImage& i) {
         AddPalette(i, 1, 1);
         AddPalette(i, 1, 1);
       },
       "PNG image has more than one PLTE chunk"},
      {"palette without entries", 6, [](TspPngImage& i) { AddChunk(i, "PLTE", 1); },
       "PNG chunk PLTE is invalid: palette without entries"},
      {"palette in a grey image", 4, [](TspPngImage& i) { AddChunk(i, "PLTE", 1); },
       "PNG chunk PLTE is not allowed in a grey image"},
      {"palette after the data", 2, [](TspPngImage& i) { AddChunk(i, "PLTE", 2); },
       "PNG chunk PLTE comes after the image data"},
      {"gamma after the palette", 3, [](TspPngImage& i) { AddChunk(i, "gAMA", 2); },
       "PNG chunk gAMA comes after the PLTE chunk"},
      {"gamma appended", 2, [](TspPngImage& i) { AddChunk(i, "gAMA"); },
       "PNG chunk gAMA comes after the image data"},
      {"gamma of 3 bytes", 2, [](TspPngImage& i) { AddChunk(i, "gAMA", 1)->SetDataSize(3); },
       "PNG chunk gAMA is invalid: size 3, not 4"},
      {"second gamma", 2,
       [](TspPngImage& i) {
         AddChunk(i, "gAMA", 1);
         AddChunk(i, "gAMA", 1);
       },
       "PNG image has more than one gAMA chunk"},
      {"second time", 2,
       [](TspPngImage& i) {
         AddChunk(i, "tIME", 1);
         AddChunk(i, "tIME", 1);
       },
       "PNG image has more than one tIME chunk"},
      {"second transparency", 0,
       [](TspPngImage& i) {
         AddChunk(i, "tRNS", 1)->SetDataSize(2);
         AddChunk(i, "tRNS", 1)->SetDataSize(2);
       },
       "PNG image has more than one tRNS chunk"},
      {"plain physical size of 8 bytes", 2, [](TspPngImage& i) { AddPlainChunk(i, "pHYs", 8); },
       "PNG chunk pHYs is invalid: size 8, not 9"},
      {"plain time of 8 bytes", 2, [](TspPngImage& i) { AddPlainChunk(i, "tIME", 8); },
       "PNG chunk tIME is invalid: size 8, not 7"},
      {"plain time of 7 bytes", 2, [](TspPngImage& i) { AddPlainChunk(i, "tIME", 7); }, ""},
      {"typed time of 0 bytes, written as 7", 2, [](TspPngImage& i) { AddChunk(i, "tIME", 1); }, ""},
      {"transparency before the palette", 3, [](TspPngImage& i) { AddChunk(i, "tRNS", 1)->SetDataSize(1); },
       "PNG chunk tRNS comes before the PLTE chunk"},
      {"transparency past the palette", 3, [](TspPngImage& i) { AddChunk(i, "tRNS", 2)->SetDataSize(257); },
       "PNG chunk tRNS is invalid: 257 entries for a palette of 256"},
      {"transparency of no entries", 3, [](TspPngImage& i) { AddChunk(i, "tRNS", 2); },
       "PNG chunk tRNS is invalid: 0 entries for a palette of 256"},
      {"transparency with alpha", 6, [](TspPngImage& i) { AddChunk(i, "tRNS", 1)->SetDataSize(6); },
       "PNG chunk tRNS is not allowed in an image with alpha"},
      {"one byte of grey transparency", 0, [](TspPngImage& i) { AddChunk(i, "tRNS", 1)->SetDataSize(1); },
       "PNG chunk tRNS is invalid: size 1, not 2"},
      {"transparency after the data", 2, [](TspPngImage& i) { AddChunk(i, "tRNS", 2)->SetDataSize(6); },
       "PNG chunk tRNS comes after the image data"},
      {"interlace method 2", 2, [](TspPngImage& i) { i.InterlaceMethod = 2; },
       "PNG interlace method 2 is unknown"},
      {"compression method 1", 2, [](TspPngImage& i) { i.Header()->CompressionMethod = 1; },
       "PNG compression method 1 is unknown"},
      {"wider than the buffers", 6, [](TspPngImage& i) { i.Header()->Width = 4000; },
       "PNG header width 4000 does not match the image buffers (16)"},
      {"higher than the buffers", 6, [](TspPngImage& i) { i.Header()->Height = 17; },
       "PNG header height 17 does not match the image buffers (16)"},
      {"alpha the buffers lack", 2, [](TspPngImage& i) { i.Header()->ColorType = 6; },
       "PNG header colour type 6 and bit depth 8 do not match the image buffers"},
      {"deeper than the buffers", 6, [](TspPngImage& i) { i.Header()->BitDepth = 16; },
       "PNG header colour type 6 and bit depth 16 do not match the image buffers"},
      {"grey of colour buffers", 2, [](TspPngImage& i) { i.Header()->ColorType = 0; },
       "PNG header colour type 0 and bit depth 8 do not match the image buffers"},
      {"no width", 2, [](TspPngImage& i) { i.Header()->Width = 0; },
       "PNG header width 0 does not match the image buffers (16)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TspPngImage img;
    img.CreateBlank(static_cast<std::uint8_t>(c.color), 8, 16, 16);
    c.change(img);
    std::string bytes;
    TspPngImage back;
    if (!SavedAndReadBack(img, c.error, bytes, back)) continue;
    EXPECT_EQ(
        std::string(static_cast<TspPngLayer*>(back.Chunks.Items(back.Chunks.Count() - 1))->ChunkName, 4),
        "IEND");
    // Saved twice, alike: the list itself is left as it was.
    EXPECT_EQ(test::SavePngBytes(img), bytes);
  }
  TspPngImage img;
  img.CreateBlank(2, 8, 1, 1);
  auto* t = static_cast<TspPngLayertEXt*>(AddChunk(img, "tEXt"));
  t->Keyword = "Title";
  t->Text = "skin";
  test::LoadPngBytes(image_, test::SavePngBytes(img));
  auto* back = dynamic_cast<TspPngLayertEXt*>(image_.FindChunk("tEXt"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->Text, "skin");
}

// A plain chunk of name and data in place of the image's chunk of that name
// (after the header when it has none).
TspPngLayer* PutPlainChunk(TspPngImage& img, const char* name, const std::string& data) {
  auto* c = new TspPngLayer(&img);
  std::memcpy(c->ChunkName, name, 4);
  c->SetDataSize(static_cast<int>(data.size()));
  std::memcpy(c->Data(), data.data(), data.size());
  int at = 1;
  if (TspPngLayer* old = img.FindChunk(name)) {
    while (img.Chunks.Items(at) != old) ++at;
    delete static_cast<TspPngLayer*>(img.Chunks.Remove(old));
  }
  img.InsertChunk(at, c);
  return c;
}

TspPngLayertEXt* AddText(TspPngImage& img, const char* name, const std::string& text, int index = -1) {
  auto* t = static_cast<TspPngLayertEXt*>(AddChunk(img, name, index));
  t->Keyword = "Comment";
  t->Text = text;
  return t;
}

// A palette of 5 entries, then the pixel at x, y set to index.
void FivePaletteEntries(TspPngImage& i, std::uint32_t x, std::uint32_t y, std::uint8_t index) {
  static_cast<TspPngLayerPLTE*>(i.FindChunk("PLTE"))->PaletteCount = 5;
  i.Header()->DibRow(y)[x] = index;
}

// Lists that readers would read otherwise are refused before anything is
// written; the checks go by each chunk's name and what it holds, not only by
// its class. The sound form next to each flaw is written and read alike.
TEST_F(PngImageTest, WriterRefusesWhatReadersReadOtherwise) {
  using test::Chunk;
  struct Case {
    const char* what;
    int color, depth;
    std::function<void(TspPngImage&)> change;
    std::string error;  // empty: written, read back by both readers
  };
  const auto depth1_palette = [](int entries, int transparent) {
    return [=](TspPngImage& i) {
      static_cast<TspPngLayerPLTE*>(i.FindChunk("PLTE"))->PaletteCount = entries;
      AddChunk(i, "tRNS", 2)->SetDataSize(transparent);
    };
  };
  const Case cases[] = {
      {"plain palette of 4 bytes", 3, 8, [](TspPngImage& i) { PutPlainChunk(i, "PLTE", std::string(4, 'p')); },
       "PNG chunk PLTE is invalid: size 4, not 3 bytes per entry up to 256 entries"},
      {"plain palette of 771 bytes", 3, 8,
       [](TspPngImage& i) { PutPlainChunk(i, "PLTE", std::string(771, 'p')); },
       "PNG chunk PLTE is invalid: size 771, not 3 bytes per entry up to 256 entries"},
      {"plain palette of 256 entries", 3, 8,
       [](TspPngImage& i) { PutPlainChunk(i, "PLTE", std::string(768, 'p')); }, ""},
      {"image data copied as a plain chunk", 2, 8,
       [](TspPngImage& i) {
         TspPngLayer copy(&i);
         copy.Assign(i.FindChunk("IDAT"));
         PutPlainChunk(i, "IDAT", std::string(reinterpret_cast<const char*>(copy.Data()),
                                              static_cast<std::size_t>(copy.DataSize())));
       },
       "PNG chunk IDAT is of class TspPngLayer, not TspPngLayerIDAT"},
      {"image data renamed", 2, 8, [](TspPngImage& i) { std::memcpy(AddChunk(i, "IDAT", 1)->ChunkName, "idAT", 4); },
       "PNG chunk idAT is not made as one chunk of that name"},
      {"text renamed critical", 2, 8,
       [](TspPngImage& i) { std::memcpy(AddText(i, "tEXt", "t", 1)->ChunkName, "TEXt", 4); },
       "PNG chunk TEXt is critical and unknown"},
      {"text renamed ancillary", 2, 8,
       [](TspPngImage& i) { std::memcpy(AddText(i, "tEXt", "t")->ChunkName, "teXt", 4); },
       ""},
      {"time named pHYs", 2, 8, [](TspPngImage& i) { std::memcpy(AddChunk(i, "tIME", 1)->ChunkName, "pHYs", 4); },
       "PNG chunk pHYs is of class TspPngLayertIME, not TspPngLayerpHYs"},
      {"compressed text named tEXt", 2, 8,
       [](TspPngImage& i) { std::memcpy(AddText(i, "zTXt", "t")->ChunkName, "tEXt", 4); },
       "PNG chunk tEXt is of class TspPngLayerzTXt, not TspPngLayertEXt"},
      {"filter method 1", 2, 8, [](TspPngImage& i) { i.Header()->FilterMethod = 1; },
       "PNG filter method 1 is unknown"},
      {"depth 1: transparency of 3 entries, palette of 5", 3, 1, depth1_palette(5, 3),
       "PNG chunk tRNS is invalid: 3 entries where bit depth 1 indexes 2"},
      {"depth 1: transparency of 2 entries, palette of 5", 3, 1, depth1_palette(5, 2), ""},
      {"depth 1: transparency of 2 entries, palette of 1", 3, 1, depth1_palette(1, 2),
       "PNG chunk tRNS is invalid: 2 entries for a palette of 1"},
      {"pixel of the palette's last entry", 3, 8, [](TspPngImage& i) { FivePaletteEntries(i, 3, 2, 4); }, ""},
      {"pixel past the palette", 3, 8, [](TspPngImage& i) { FivePaletteEntries(i, 3, 2, 5); },
       "PNG pixel 3, 2 indexes past the palette's 5 entries"},
      {"interlaced pixel past the palette", 3, 8,
       [](TspPngImage& i) {
         i.InterlaceMethod = 1;
         FivePaletteEntries(i, 15, 15, 6);
       },
       "PNG pixel 15, 15 indexes past the palette's 5 entries"},
      {"depth 1 pixel past a palette of 1", 3, 1,
       [](TspPngImage& i) {
         static_cast<TspPngLayerPLTE*>(i.FindChunk("PLTE"))->PaletteCount = 1;
         i.Header()->DibRow(0)[1] = 0x01;
       },
       "PNG pixel 15, 0 indexes past the palette's 1 entries"},
      {"text holding a NUL", 2, 8, [](TspPngImage& i) { AddText(i, "tEXt", std::string("a\0b", 3)); },
       "PNG chunk tEXt text holds a NUL"},
      {"compressed text holding a NUL", 2, 8, [](TspPngImage& i) { AddText(i, "zTXt", std::string("a\0b", 3)); },
       "PNG chunk zTXt text holds a NUL"},
      {"plain text holding a NUL", 2, 8,
       [](TspPngImage& i) { PutPlainChunk(i, "tEXt", std::string("k\0a\0b", 5)); },
       "PNG chunk tEXt text holds a NUL"},
      {"plain text", 2, 8, [](TspPngImage& i) { PutPlainChunk(i, "tEXt", std::string("k\0ab", 4)); }, ""},
      {"plain compressed text of method 1", 2, 8,
       [](TspPngImage& i) { PutPlainChunk(i, "zTXt", std::string("k\0\1", 3) + test::Deflated("ab")); },
       "PNG chunk zTXt is invalid: compression method 1 is unknown"},
      {"plain compressed text that does not inflate", 2, 8,
       [](TspPngImage& i) { PutPlainChunk(i, "zTXt", std::string("k\0\0junk", 7)); },
       "PNG chunk zTXt text does not inflate"},
      {"plain compressed text of no bytes", 2, 8, [](TspPngImage& i) { PutPlainChunk(i, "zTXt", ""); },
       "PNG chunk zTXt keyword is empty"},
      {"plain compressed text holding a NUL", 2, 8,
       [](TspPngImage& i) {
         PutPlainChunk(i, "zTXt", std::string("k\0\0", 3) + test::Deflated(std::string("a\0b", 3)));
       },
       "PNG chunk zTXt text holds a NUL"},
      {"plain compressed text", 2, 8,
       [](TspPngImage& i) { PutPlainChunk(i, "zTXt", std::string("k\0\0", 3) + test::Deflated("ab")); }, ""},
      {"transparency before a suggested palette", 2, 8,
       [](TspPngImage& i) {
         AddPalette(i, 1, 1);
         AddChunk(i, "tRNS", 1)->SetDataSize(6);
       },
       "PNG chunk tRNS comes before the PLTE chunk"},
      {"transparency after a suggested palette", 2, 8,
       [](TspPngImage& i) {
         AddChunk(i, "tRNS", 1)->SetDataSize(6);
         AddPalette(i, 1, 1);
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TspPngImage img;
    img.CreateBlank(static_cast<std::uint8_t>(c.color), static_cast<std::uint8_t>(c.depth), 16, 16);
    c.change(img);
    std::string bytes;
    TspPngImage back;
    if (!SavedAndReadBack(img, c.error, bytes, back)) continue;
    if (auto* z = dynamic_cast<TspPngLayerzTXt*>(back.FindChunk("zTXt"))) {
      EXPECT_EQ(z->Text, "ab");
    }
  }
}

// Ancillary chunks that PNG puts before the palette or the image data are
// written there when the list holds them later (appended after a blank
// image, or kept after the data on reading); the list is left as it is.
TEST_F(PngImageTest, AncillaryChunksAreWrittenWherePngPutsThem) {
  using test::Chunk;
  const auto names = [](const std::string& png) {
    std::string out;
    for (const auto& [name, data] : test::SplitChunks(png)) out += (out.empty() ? "" : " ") + name;
    return out;
  };
  const auto list = [](const TspPngImage& img) {
    std::string out;
    for (int i = 0; i < img.Chunks.Count(); ++i)
      out += (i ? " " : "") + std::string(static_cast<TspPngLayer*>(img.Chunks.Items(i))->ChunkName, 4);
    return out;
  };
  TspPngImage img;
  img.CreateBlank(3, 8, 4, 4);
  img.Chunks.Add(img.CreateChunk("tIME"));
  auto* phys = static_cast<TspPngLayerpHYs*>(img.CreateChunk("pHYs"));
  phys->PixelsPerUnitX = 3780;
  phys->PixelsPerUnitY = 2835;
  phys->UnitSpecifier = 1;
  img.Chunks.Add(phys);
  for (const auto& [name, data] : {std::pair<const char*, std::string>{"sBIT", std::string(3, '\x08')},
                                   {"bKGD", std::string(1, '\0')}}) {
    auto* c = new TspPngLayer(&img);
    std::memcpy(c->ChunkName, name, 4);
    c->SetDataSize(static_cast<int>(data.size()));
    std::memcpy(c->Data(), data.data(), data.size());
    img.Chunks.Add(c);
  }
  const std::string before = list(img);
  EXPECT_EQ(before, "IHDR PLTE IDAT IEND tIME pHYs sBIT bKGD");
  const std::string saved = test::SavePngBytes(img);
  EXPECT_EQ(names(saved), "IHDR sBIT PLTE pHYs bKGD IDAT tIME IEND");
  EXPECT_EQ(list(img), before);
  EXPECT_TRUE(LibpngStrictReads(saved));
  Load(saved);
  auto* back = dynamic_cast<TspPngLayerpHYs*>(image_.FindChunk("pHYs"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->PixelsPerUnitX, 3780u);
  EXPECT_EQ(back->PixelsPerUnitY, 2835u);
  EXPECT_EQ(back->UnitSpecifier, 1);
  // Saved again, alike.
  EXPECT_EQ(test::SavePngBytes(image_), saved);

  // A pHYs the reader keeps after the data goes before it; one in place stays.
  const std::string rows = test::Deflated(std::string(8, '\0'));
  const std::string head = test::kPngSignature + Chunk("IHDR", test::IhdrData(1, 2, 8, 2)),
                    phys_chunk = Chunk("pHYs", std::string(9, '\1')), text = Chunk("tEXt", std::string("k\0v", 3));
  for (const std::string& file : {head + Chunk("IDAT", rows) + text + phys_chunk + Chunk("IEND", ""),
                                  head + phys_chunk + Chunk("IDAT", rows) + text + Chunk("IEND", "")}) {
    Load(file);
    const std::string again = test::SavePngBytes(image_);
    EXPECT_EQ(names(again), "IHDR pHYs IDAT tEXt IEND");
    EXPECT_TRUE(LibpngStrictReads(again));
  }
}

// The reader needs a stream it can seek in: one that cannot is refused as a
// PNG error, not a system one.
TEST_F(PngImageTest, StreamThatCannotSeekIsRefused) {
  TspPngImage img;
  img.CreateBlank(0, 8, 2, 2);
  test::TPipeFeed feed(test::SavePngBytes(img));
  const std::string message = test::MessageOf<EspPngError>([&] { image_.LoadFromStream(feed.In()); });
  EXPECT_EQ(message.rfind("PNG image cannot be read from a stream that cannot seek", 0), 0u) << message;
  EXPECT_EQ(image_.TextBudget, -1);
}

// Transparency that readers drop by default, and refuse strictly, changes
// the colours shown: refused, as a tRNS past the palette is.
TEST_F(PngImageTest, TransparencyReadersDropIsRefused) {
  using test::Chunk;
  const std::string end = Chunk("IEND", "");
  const std::string rgb = test::kPngSignature + Chunk("IHDR", test::IhdrData(2, 2, 8, 2)),
                    rgb_data = Chunk("IDAT", test::Deflated(std::string(14, '\0'))),
                    pal = test::kPngSignature + Chunk("IHDR", test::IhdrData(2, 2, 1, 3)),
                    pal_data = Chunk("IDAT", test::Deflated(std::string(4, '\0'))),
                    plte5 = Chunk("PLTE", std::string(15, '\x40')), trns6 = Chunk("tRNS", std::string(6, '\0'));
  const std::pair<std::string, std::string> cases[] = {
      {rgb + trns6 + Chunk("PLTE", std::string(6, '\x40')) + rgb_data + end,
       "PNG chunk tRNS comes before the PLTE chunk"},
      {rgb + Chunk("PLTE", std::string(6, '\x40')) + trns6 + rgb_data + end, ""},
      {pal + plte5 + Chunk("tRNS", std::string(3, '\0')) + pal_data + end,
       "PNG chunk tRNS is corrupt: 3 entries where bit depth 1 indexes 2"},
      {pal + plte5 + Chunk("tRNS", std::string(2, '\0')) + pal_data + end, ""},
  };
  for (const auto& [file, error] : cases) {
    SCOPED_TRACE(error);
    EXPECT_FALSE(LibpngRgba(file).empty());
    EXPECT_EQ(LibpngStrictReads(file), error.empty());
    EXPECT_EQ(Message(file), error.empty() ? "(no exception)" : error);
  }
}

// Flaws the reader takes that strict libpng refuses, and their save: a zTXt
// of method 1 is written as method 0; a keyword a reader would drop and
// palette pixels past the palette are refused.
TEST_F(PngImageTest, FlawsTheReaderTakesAreSavedSoundOrRefused) {
  using test::Chunk;
  const std::string rgb = test::kPngSignature + Chunk("IHDR", test::IhdrData(2, 2, 8, 2)),
                    rgb_data = Chunk("IDAT", test::Deflated(std::string(14, '\0'))), end = Chunk("IEND", "");
  const auto ztxt = [](const std::string& keyword, char method) {
    return Chunk("zTXt", keyword + '\0' + method + test::Deflated("ab"));
  };
  const std::pair<std::string, std::string> cases[] = {
      {rgb + ztxt("k", '\1') + rgb_data + end, ""},
      {rgb + ztxt("", '\0') + rgb_data + end, "PNG chunk zTXt keyword is empty"},
      {rgb + ztxt(std::string(80, 'k'), '\0') + rgb_data + end, "PNG chunk zTXt keyword is longer than 79 bytes"},
      {rgb + Chunk("zTXt", "") + rgb_data + end, "PNG chunk zTXt keyword is empty"},
      {test::kPngSignature + Chunk("IHDR", test::IhdrData(2, 2, 8, 3, 0, 0, 1)) +
           Chunk("PLTE", std::string(15, '\x40')) +
           Chunk("IDAT", test::Deflated(std::string("\0\6\0\6\0\6\6", 7))) + end,
       "PNG pixel 0, 0 indexes past the palette's 5 entries"},
  };
  for (const auto& [file, error] : cases) {
    SCOPED_TRACE(error);
    EXPECT_FALSE(LibpngStrictReads(file));
    ASSERT_EQ(Message(file), "(no exception)");
    TMemoryStream out;
    EXPECT_EQ(test::MessageOf<EspPngError>([&] { image_.SaveToStream(out); }),
              error.empty() ? "(no exception)" : error);
    if (!error.empty()) continue;
    const std::string bytes(static_cast<const char*>(out.Memory()), static_cast<std::size_t>(out.Size()));
    EXPECT_TRUE(LibpngStrictReads(bytes));
    Load(bytes);
    EXPECT_EQ(dynamic_cast<TspPngLayerzTXt*>(image_.FindChunk("zTXt"))->Text, "ab");
  }
}

// ---- Texts and memory ----

// A 1 x 1 grey image with the given chunks before its image data.
std::string PngWith(const std::string& chunks) {
  return test::kPngSignature + test::Chunk("IHDR", test::IhdrData(1, 1, 8, 0)) + chunks +
         test::Chunk("IDAT", test::Deflated(std::string(2, '\0'))) + test::Chunk("IEND", "");
}

// Loads the file in a child whose address space may grow by `allowance`
// bytes: true when it loaded.
bool LoadsWithin(const std::string& file, std::size_t allowance) {
  TMemoryStream in;
  in.WriteBuffer(file.data(), static_cast<std::int64_t>(file.size()));
  in.SetPosition(0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    unsigned long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + allowance;
    const rlimit both{limit, limit};
    if (pages == 0 || ::setrlimit(RLIMIT_AS, &both) != 0) ::_exit(3);
    TspPngImage image;
    // 1: refused, or out of memory
    ::_exit(test::MessageOf([&] { image.LoadFromStream(in); }) == "(no exception)" ? 0 : 1);
  }
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Memory on reading stays in proportion to the file: a thousand texts that
// inflate a thousandfold share one allowance, and a million empty chunks
// cost little each.
TEST_F(PngImageTest, MemoryStaysInProportionToTheFile) {
#ifdef VT_TEST_SANITIZED
  GTEST_SKIP() << "an address-space limit does not hold under the sanitizers";
#endif
  const std::string bomb =
      test::Chunk("zTXt", std::string("K\0\0", 3) + test::Deflated(std::string(1 << 20, ' ')));
  std::string texts, empty;
  for (int i = 0; i < 1000; ++i) texts += bomb;
  EXPECT_TRUE(LoadsWithin(PngWith(texts), 64u << 20));
  for (int i = 0; i < 1000000; ++i) empty += test::Chunk("emPt", "");
  EXPECT_TRUE(LoadsWithin(PngWith(empty), 8 * empty.size()));
}

// What the writer writes the reader reads: a long text that compresses as
// text does comes back whole; one the reader would drop is refused on save,
// before anything is written.
TEST_F(PngImageTest, WrittenTextsReadBackOrAreRefusedOnSave) {
  std::mt19937 rng(5);
  std::string prose;
  while (prose.size() < (2u << 20)) prose += std::to_string(rng()) + (rng() % 7 ? " " : ".\n");
  TspPngImage image;
  image.CreateBlank(0, 8, 2, 2);
  auto* z = static_cast<TspPngLayerzTXt*>(image.CreateChunk("zTXt"));
  image.InsertChunk(1, z);
  z->Keyword = "Comment";
  z->Text = prose;
  test::LoadPngBytes(image_, test::SavePngBytes(image));
  EXPECT_TRUE(dynamic_cast<TspPngLayerzTXt*>(image_.FindChunk("zTXt"))->Text == prose);
  EXPECT_EQ(image_.TextBudget, -1);

  z->Text.assign(4u << 20, 'a');
  TMemoryStream out;
  const std::string refused = test::MessageOf<EspPngError>([&] { image.SaveToStream(out); });
  EXPECT_EQ(refused.rfind("PNG texts too long to be read back", 0), 0u) << refused;
  EXPECT_EQ(out.Size(), 0);

  // Keywords a reader would cut or drop, in either kind of text.
  z->Text = "text";
  auto* t = static_cast<TspPngLayertEXt*>(image.CreateChunk("tEXt"));
  image.InsertChunk(1, t);
  t->Keyword = "Title";
  for (TspPngLayertEXt* chunk : {static_cast<TspPngLayertEXt*>(z), t}) {
    const std::string kept = chunk->Keyword;
    for (auto [keyword, why] : std::initializer_list<std::pair<std::string, std::string>>{
             {std::string("a\0b", 3), "holds a NUL"},
             {"", "is empty"},
             {std::string(80, 'k'), "is longer than 79 bytes"}}) {
      chunk->Keyword = keyword;
      EXPECT_EQ(test::MessageOf<EspPngError>([&] { image.SaveToStream(out); }),
                "PNG chunk " + std::string(chunk->ChunkName, 4) + " keyword " + why);
      EXPECT_EQ(out.Size(), 0);
    }
    chunk->Keyword = std::string(79, 'k');
    test::LoadPngBytes(image_, test::SavePngBytes(image));
    EXPECT_EQ(dynamic_cast<TspPngLayertEXt*>(image_.FindChunk(chunk->ChunkName))->Keyword,
              std::string(79, 'k'));
    chunk->Keyword = kept;
  }
}

// The text length n the file it makes allows exactly (1 MiB + 16 per file byte), where one letter
// more leaves the file's size alone; 0 when there is none.
std::size_t TextAtAllowance(const std::function<std::size_t(std::size_t)>& file_size) {
  std::size_t n = 1;
  for (int i = 0; i < 20; ++i) {
    const std::size_t next = (std::size_t{1} << 20) + 16 * file_size(n);
    if (next == n) return file_size(n + 1) == file_size(n) ? n : 0;
    n = next;
  }
  return 0;
}

// A text of exactly the file's allowance is written and read back; one byte more is refused.
TEST_F(PngImageTest, WriterAndReaderShareOneTextAllowance) {
  TspPngImage image;
  image.CreateBlank(0, 8, 2, 2);
  auto* z = static_cast<TspPngLayerzTXt*>(image.CreateChunk("zTXt"));
  image.InsertChunk(1, z);
  z->Keyword = "K";
  z->Text = "a";
  // The file of n letters: that of one letter with its packed text replaced.
  const std::size_t base = test::SavePngBytes(image).size() - test::Deflated("a").size();
  const std::size_t n =
      TextAtAllowance([&](std::size_t n) { return base + test::Deflated(std::string(n, 'a')).size(); });
  ASSERT_GT(n, 0u);
  z->Text.assign(n, 'a');
  test::LoadPngBytes(image_, test::SavePngBytes(image));
  EXPECT_TRUE(dynamic_cast<TspPngLayerzTXt*>(image_.FindChunk("zTXt"))->Text == z->Text);
  z->Text += 'a';
  TMemoryStream out;
  EXPECT_EQ(test::MessageOf<EspPngError>([&] { image.SaveToStream(out); }),
            Format("PNG texts too long to be read back: %d bytes where the file allows %d", n + 1, n));
  EXPECT_EQ(out.Size(), 0);
}

// Dropped texts spend the allowance too: after one a byte past it, even a short one is left empty.
TEST_F(PngImageTest, DroppedTextsSpendTheAllowanceToo) {
  const auto file = [](std::size_t n) {
    return PngWith(test::Chunk("zTXt", std::string("A\0\0", 3) + test::Deflated(std::string(n, 'a'))) +
                   test::Chunk("zTXt", std::string("B\0\0", 3) + test::Deflated("hello")));
  };
  const std::size_t n = TextAtAllowance([&](std::size_t n) { return file(n).size(); });
  ASSERT_GT(n, 5u);
  const auto texts = [&](const std::string& bytes) {
    Load(bytes);
    std::vector<std::size_t> sizes;
    for (int i = 0; i < image_.Chunks.Count(); ++i)
      if (auto* z = dynamic_cast<TspPngLayerzTXt*>(static_cast<TspPngLayer*>(image_.Chunks.Items(i))))
        sizes.push_back(z->Text.size());
    return sizes;
  };
  EXPECT_EQ(texts(file(n - 5)), (std::vector<std::size_t>{n - 5, 5}));
  EXPECT_EQ(texts(file(n)), (std::vector<std::size_t>{n, 0}));
  EXPECT_EQ(texts(file(n + 1)), (std::vector<std::size_t>{0, 0}));
}

}  // namespace
}  // namespace vt
