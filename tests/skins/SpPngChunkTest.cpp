// PNG chunks: CRC, registry, per-chunk checks and save forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>

#include "SkinTestSupport.h"

namespace vt {
namespace {

using test::BE32;
using test::IhdrData;

// Feeds one chunk's data and CRC to a chunk object, as the image reader does.
bool LoadChunk(TspPngLayer& chunk, const std::string& name, const std::string& data, bool good_crc = true) {
  std::string whole = test::Chunk(name, data);
  if (!good_crc) whole.back() ^= 1;
  TMemoryStream s;
  s.WriteBuffer(whole.data() + 8, static_cast<std::int64_t>(whole.size() - 8));
  s.SetPosition(0);
  return chunk.LoadFromStream(s, name.data(), static_cast<int>(data.size()));
}

std::string SaveChunk(TspPngLayer& chunk) {
  TMemoryStream s;
  EXPECT_TRUE(chunk.SaveToStream(s));
  return std::string(static_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

class PngChunkTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureSkinUnits(); }
  std::unique_ptr<TspPngImage> owned_ = std::make_unique<TspPngImage>();
  TspPngImage& image_ = *owned_;
};

TEST_F(PngChunkTest, ByteSwapsAndPaethPredictor) {
  // CRCs, names and row sizes are proven by the fixtures and the libpng cross-check.
  EXPECT_EQ(SwapBytes32(0x11223344u), 0x44332211u);
  EXPECT_EQ(SwapBytes16(0x1122), 0x2211);
  EXPECT_EQ(PngPaethPredictor(10, 20, 10), 20);  // p = 20: b nearest
  EXPECT_EQ(PngPaethPredictor(20, 10, 10), 20);  // p = 20: a first
  EXPECT_EQ(PngPaethPredictor(5, 9, 30), 5);     // p = -16: a nearest
}

TEST_F(PngChunkTest, RegistryHoldsTheClassesInOrder) {
  const TspPngPointerList* list = PngChunkClasses();
  ASSERT_NE(list, nullptr);
  std::vector<std::string> names;
  for (int i = 0; i < list->Count(); ++i)
    names.push_back(GetChunkName(**static_cast<const TspPngChunkClass* const*>(list->Items(i))));
  EXPECT_EQ(names, (std::vector<std::string>{"IEND", "IHDR", "IDAT", "PLTE", "gAMA", "tRNS", "pHYs", "tIME",
                                             "tEXt", "zTXt"}));
}

TEST_F(PngChunkTest, PointerListRemovesTheLastOccurrence) {
  TspPngPointerList list;
  int a = 0, b = 0, c = 0, d = 0;
  for (int* p : {&a, &b, &a, &c}) list.Add(p);
  EXPECT_EQ(list.Remove(&a), &a);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(1), &b);
  EXPECT_EQ(list.Items(2), &c);
  EXPECT_EQ(list.Items(3), nullptr);
  EXPECT_EQ(list.Remove(&d), nullptr);
}

TEST_F(PngChunkTest, BaseChunkChecksItsCrcAndLength) {
  TspPngLayer chunk(&image_);
  EXPECT_TRUE(LoadChunk(chunk, "abCd", "payload"));
  EXPECT_EQ(chunk.DataSize(), 7);
  EXPECT_FALSE(LoadChunk(chunk, "abCd", "payload", false));
  // A length beyond the stream is refused before anything is allocated;
  // data short of its CRC is refused.
  for (auto [data, length] : {std::pair<std::string, int>{"abc", 0x7FFFFFF0}, {"abcdefg", 7}}) {
    TMemoryStream s;
    s.WriteBuffer(data.data(), std::ssize(data));
    s.SetPosition(0);
    EXPECT_FALSE(chunk.LoadFromStream(s, "abCd", length)) << data;
  }
}

TEST_F(PngChunkTest, HeaderChecks) {
  image_.MaxPixels = std::int64_t{1} << 20;
  TspPngLayerIHDR h(&image_);
  EXPECT_TRUE(LoadChunk(h, "IHDR", IhdrData(65535, 1, 8, 2)));
  EXPECT_EQ(h.Width, 65535u);
  // Too wide, too high, unknown interlace or compression, short or long, bad CRC,
  // more pixels than the image allows; the filter byte is not checked.
  for (auto [data, ok] :
       std::initializer_list<std::pair<std::string, bool>>{{IhdrData(65536, 1, 8, 2), false},
                                                           {IhdrData(1, 65536, 8, 2), false},
                                                           {IhdrData(4, 4, 8, 2, 0, 0, 2), false},
                                                           {IhdrData(4, 4, 8, 2, 1), false},
                                                           {IhdrData(4, 4, 8, 2).substr(0, 12), false},
                                                           {IhdrData(4, 4, 8, 2) + '\0', false},
                                                           {IhdrData(2048, 1024, 8, 6), false},
                                                           {IhdrData(4, 4, 8, 2, 0, 1), true}})
    EXPECT_EQ(LoadChunk(h, "IHDR", data), ok) << testing::PrintToString(data);
  EXPECT_FALSE(LoadChunk(h, "IHDR", IhdrData(4, 4, 8, 2), false));

  // Only the colour types and depths PNG defines.
  const std::set<std::pair<int, int>> defined = {{0, 1}, {0, 2},  {0, 4},  {0, 8}, {0, 16},
                                                 {2, 8}, {2, 16}, {3, 1},  {3, 2}, {3, 4},
                                                 {3, 8}, {4, 8},  {4, 16}, {6, 8}, {6, 16}};
  for (int color : {0, 1, 2, 3, 4, 5, 6, 7, 8, 255})
    for (int depth = 0; depth <= 33; ++depth) {
      const bool ok = defined.count({color, depth}) != 0;
      ASSERT_EQ(LoadChunk(h, "IHDR", IhdrData(3, 2, depth, color)), ok)
          << "type " << color << " depth " << depth;
      if (!ok) {
        EXPECT_EQ(h.FailReason(), "invalid colour type and bit depth");
      }
    }
}

TEST_F(PngChunkTest, HeaderBuffersFollowColourTypeAndDepth) {
  TspPngLayerIHDR h(&image_);
  struct Case {
    int depth, color, bits, stride;
    bool palette, alpha, low;
  } cases[] = {{1, 0, 1, 4, true, false, false},    {2, 0, 4, 4, true, false, false},
               {16, 0, 8, 8, true, false, true},    {8, 3, 8, 8, true, false, false},
               {16, 2, 24, 16, false, false, true}, {8, 4, 8, 8, true, true, false},
               {16, 6, 24, 16, false, true, true},  {8, 6, 24, 16, false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "depth " << c.depth << " type " << c.color);
    ASSERT_TRUE(LoadChunk(h, "IHDR", IhdrData(5, 3, c.depth, c.color)));
    EXPECT_EQ(h.BitmapInfo.bmiHeader.biBitCount, c.bits);
    EXPECT_EQ(h.RowStride, c.stride);
    EXPECT_EQ(h.HasPalette, c.palette);
    EXPECT_EQ(h.AlphaPlane != nullptr, c.alpha);
    EXPECT_EQ(h.LowBytePlane != nullptr, c.low);
    if (c.palette) {
      EXPECT_EQ(h.BitmapInfo.bmiHeader.biClrUsed, 1u << c.bits);
    }
  }
  // An unknown colour type has no buffers: it is refused.
  EXPECT_FALSE(LoadChunk(h, "IHDR", IhdrData(5, 3, 8, 5)));
}

TEST_F(PngChunkTest, HeaderSavesDepthTwoAsFour) {
  TspPngLayerIHDR h(&image_);
  ASSERT_TRUE(LoadChunk(h, "IHDR", IhdrData(7, 3, 2, 0)));
  image_.InterlaceMethod = 1;
  std::string saved = SaveChunk(h);
  EXPECT_EQ(saved, test::Chunk("IHDR", IhdrData(7, 3, 4, 0, 0, 0, 1)));
}

TEST_F(PngChunkTest, PaletteSizes) {
  image_.CreateBlank(3, 8, 2, 2);
  TspPngLayerPLTE p(&image_);
  std::string full(768, '\0');
  for (int i = 0; i < 768; ++i) full[i] = char(i % 251);
  EXPECT_TRUE(LoadChunk(p, "PLTE", full));
  // Written back from the image's palette through the inverse table.
  EXPECT_EQ(SaveChunk(p), test::Chunk("PLTE", full));
  EXPECT_FALSE(LoadChunk(p, "PLTE", std::string(771, '\0')));
  EXPECT_FALSE(LoadChunk(p, "PLTE", std::string(10, '\0')));
  // No entries at all is no palette; one entry is.
  EXPECT_FALSE(LoadChunk(p, "PLTE", ""));
  EXPECT_EQ(p.FailReason(), "palette without entries");
  EXPECT_TRUE(LoadChunk(p, "PLTE", "abc"));

  // A palette of no image loads and saves its entries, as black, twice alike.
  TspPngLayerPLTE alone(nullptr);
  EXPECT_TRUE(LoadChunk(alone, "PLTE", std::string("\x10\x20\x30\x40\x50\x60", 6)));
  EXPECT_EQ(alone.PaletteCount, 2);
  EXPECT_EQ(SaveChunk(alone), test::Chunk("PLTE", std::string(6, '\0')));
  EXPECT_EQ(SaveChunk(alone), test::Chunk("PLTE", std::string(6, '\0')));
}

TEST_F(PngChunkTest, TransparencyOfPaletteImages) {
  image_.CreateBlank(3, 4, 2, 2);
  TspPngLayertRNS t(&image_);
  ASSERT_TRUE(LoadChunk(t, "tRNS", std::string("\xff\x00\xff", 3)));
  EXPECT_TRUE(t.SingleTransparency);
  EXPECT_EQ(t.AlphaTable[1], 0);
  EXPECT_EQ(t.AlphaTable[3], 255);
  ASSERT_TRUE(LoadChunk(t, "tRNS", std::string("\x00\x00", 2)));
  EXPECT_FALSE(t.SingleTransparency);
  t.AlphaTable[0] = 7;
  EXPECT_EQ(SaveChunk(t), test::Chunk("tRNS", std::string("\x07\x00", 2)));

  image_.CreateBlank(2, 8, 2, 2);
  TspPngLayertRNS rgb(&image_);
  ASSERT_TRUE(LoadChunk(rgb, "tRNS", std::string(6, '\x10')));
  EXPECT_TRUE(rgb.SingleTransparency);
}

TEST_F(PngChunkTest, GammaBuildsTheTables) {
  TspPngLayergAMA g(&image_);
  EXPECT_EQ(g.Gamma(), 1u);
  EXPECT_EQ(g.DataSize(), 4);
  ASSERT_TRUE(LoadChunk(g, "gAMA", BE32(100000)));
  for (int i : {0, 1, 64, 128, 200, 255}) {
    int expected = static_cast<int>(std::nearbyint(std::pow(i / 255.0, 1 / 2.2) * 255));
    EXPECT_EQ(image_.GammaTable[i], expected) << i;
    EXPECT_EQ(image_.InverseGammaTable[expected] <= i, true);
  }
  EXPECT_EQ(image_.InverseGammaTable[255], 255);
  // A wrong size resets the value to 1.
  ASSERT_TRUE(LoadChunk(g, "gAMA", "abc"));
  EXPECT_EQ(g.Gamma(), 1u);
  // Zero leaves the tables alone.
  TspPngImage other;
  TspPngLayergAMA z(&other);
  ASSERT_TRUE(LoadChunk(z, "gAMA", BE32(0)));
  EXPECT_EQ(other.GammaTable[100], 100);
}

TEST_F(PngChunkTest, PhysicalSizeAndTime) {
  TspPngLayerpHYs p(&image_);
  ASSERT_TRUE(LoadChunk(p, "pHYs", BE32(2835) + BE32(2836) + "\x01"));
  TspPngLayerpHYs copy(&image_);
  copy.Assign(&p);
  EXPECT_EQ(SaveChunk(copy), test::Chunk("pHYs", BE32(2835) + BE32(2836) + "\x01"));

  TspPngLayertIME t(&image_);
  ASSERT_TRUE(LoadChunk(t, "tIME", std::string("\x07\xe8\x03\x07\x15\x05\x03", 7)));
  EXPECT_EQ(SaveChunk(t), test::Chunk("tIME", std::string("\x07\xe8\x03\x07\x15\x05\x03", 7)));
  // Other sizes keep the fields.
  ASSERT_TRUE(LoadChunk(t, "tIME", "xy"));
  EXPECT_EQ(t.Year, 2024);
}

TEST_F(PngChunkTest, Texts) {
  TspPngLayertEXt t(&image_);
  ASSERT_TRUE(LoadChunk(t, "tEXt", std::string("Title\0Skin sample", 17)));
  EXPECT_EQ(t.Keyword, "Title");
  EXPECT_EQ(t.Text, "Skin sample");
  EXPECT_EQ(SaveChunk(t), test::Chunk("tEXt", std::string("Title\0Skin sample", 17)));
  ASSERT_TRUE(LoadChunk(t, "tEXt", "NoSeparator"));
  EXPECT_EQ(t.Keyword, "NoSeparator");
  EXPECT_EQ(t.Text, "");
  // Short chunks are read whole; a one-letter keyword and empty text read back, twice alike.
  for (int round = 0; round < 2; ++round) {
    t.Keyword = "k";
    t.Text.clear();
    const std::string saved = SaveChunk(t);
    EXPECT_EQ(saved, test::Chunk("tEXt", std::string("k\0", 2)));
    t.Keyword = "other";
    t.Text = "other";
    ASSERT_TRUE(LoadChunk(t, "tEXt", saved.substr(8, saved.size() - 12)));
    EXPECT_EQ(t.Keyword, "k");
    EXPECT_EQ(t.Text, "");
  }
  for (auto [data, keyword, text] : std::initializer_list<std::tuple<std::string, std::string, std::string>>{
           {"ab", "ab", ""},
           {std::string("\0x", 2), "", "x"},
           {"", "", ""},
           {std::string("k\0\0", 3), "k", std::string(1, '\0')}}) {
    t.Keyword = t.Text = "old";
    ASSERT_TRUE(LoadChunk(t, "tEXt", data));
    EXPECT_EQ(t.Keyword, keyword) << testing::PrintToString(data);
    EXPECT_EQ(t.Text, text) << testing::PrintToString(data);
  }

  TspPngLayerzTXt z(&image_);
  z.Keyword = "Comment";
  std::string saved = SaveChunk(z);
  EXPECT_EQ(z.Text, " ");
  std::string data = saved.substr(8, saved.size() - 12);
  ASSERT_EQ(data.substr(0, 9), std::string("Comment\0\0", 9));

  TspPngLayerzTXt back(&image_);
  ASSERT_TRUE(LoadChunk(back, "zTXt", data));
  EXPECT_EQ(back.Keyword, "Comment");
  EXPECT_EQ(back.Text, " ");
  // Damaged compressed bytes: the text stays empty and the chunk loads.
  ASSERT_TRUE(LoadChunk(back, "zTXt", std::string("Comment\0\0garbage!", 17)));
  EXPECT_EQ(back.Text, "");
  // Nothing to inflate: an empty text, never the method byte.
  for (const std::string& data : {std::string("k\0\0", 3), std::string("k\0", 2), std::string("k")}) {
    back.Text = "old";
    ASSERT_TRUE(LoadChunk(back, "zTXt", data));
    EXPECT_EQ(back.Keyword, "k");
    EXPECT_EQ(back.Text, "") << testing::PrintToString(data);
  }
}

TEST_F(PngChunkTest, InflatedTextIsBounded) {
  std::string big(4 << 20, 'a');
  uLongf packed_len = compressBound(static_cast<uLong>(big.size()));
  std::string packed(packed_len, '\0');
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &packed_len,
                     reinterpret_cast<const Bytef*>(big.data()), static_cast<uLong>(big.size())),
            Z_OK);
  packed.resize(packed_len);
  TspPngLayerzTXt z(&image_);
  ASSERT_TRUE(LoadChunk(z, "zTXt", std::string("K\0\0", 3) + packed));
  EXPECT_EQ(z.Text, "");
}

// A keyword a reader cannot read back (empty, past 79 bytes, holding a NUL) is not written.
TEST_F(PngChunkTest, KeywordsAreWrittenOnlyWhenTheyReadBack) {
  TspPngLayertEXt plain(&image_);
  TspPngLayerzTXt packed(&image_);
  for (TspPngLayertEXt* t : {&plain, static_cast<TspPngLayertEXt*>(&packed)})
    for (const std::string& bad : {std::string(), std::string(80, 'k'), std::string("a\0b", 3)}) {
      t->Keyword = bad;
      TMemoryStream s;
      EXPECT_FALSE(t->SaveToStream(s)) << t->ChunkName[0] << testing::PrintToString(bad);
      EXPECT_EQ(s.Size(), 0);
    }
}

}  // namespace
}  // namespace vt
