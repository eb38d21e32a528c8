// The 32-bit bitmap, its blend and row routines and the stretch transfers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "SkinTestSupport.h"
#include "skins/SpEffBmp.h"

namespace vt {
namespace {

class SpBitmapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureSkinUnits();
    SelectSpRoutines(false, nullptr, 32);
  }
  void TearDown() override { SelectSpRoutines(SpDetectMmx(), nullptr, 32); }
  const TspRoutines& R() { return SpRoutines(); }

  // A bitmap whose pixel (x, y) is 0xFF000000 | (x << 8) | y.
  static std::unique_ptr<TspBitmap> Numbered(int w, int h) {
    auto b = std::make_unique<TspBitmap>();
    b->SetSize(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) b->SetPixel(x, y, 0xFF000000u | (x << 8) | y);
    return b;
  }
};

TEST_F(SpBitmapTest, SizeRules) {
  TspBitmap b;
  b.SetSize(0, 10);
  b.SetSize(10, 0);
  EXPECT_TRUE(b.Empty());
  b.SetSize(-4, -3);
  EXPECT_EQ(b.Width, 4);
  EXPECT_EQ(b.Height, 3);
  EXPECT_EQ(b.BitmapInfo.bmiHeader.biHeight, -3);
  b.SetPixel(1, 1, 0x12345678u);
  const auto dc = b.DC;
  const auto* bits = b.Bits;
  b.SetSize(4, 3);
  EXPECT_TRUE(b.DC == dc && b.Bits == bits);
  EXPECT_EQ(*b.PixelAddress(1, 1), 0x12345678u);
  b.SetPixel(4, 0, 1);
  b.SetPixel(0, 3, 1);
  b.SetPixel(-1, 0, 1);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(b.Bits[i], i == 5 ? 0x12345678u : 0u);  // fresh pixels are zero
  b.SetSize(5, 3);
  EXPECT_FALSE(os::IsGdiHandle(dc));  // the old DC went with the resize
  EXPECT_EQ(FindBitmapByDC(b.DC), &b);
}

TEST_F(SpBitmapTest, RegistryForgetsDestroyedBitmaps) {
  os::HDC dc;
  {
    TspBitmap b;
    b.Canvas = std::make_unique<TCanvas>();
    b.SetSize(2, 2);
    dc = b.DC;
    EXPECT_EQ(b.Canvas->Handle(), dc);
    EXPECT_EQ(FindBitmapByDC(dc), &b);
  }
  EXPECT_EQ(FindBitmapByDC(dc), nullptr);
  EXPECT_FALSE(os::IsGdiHandle(dc));
}

TEST_F(SpBitmapTest, BlendMembers) {
  EXPECT_EQ(SpBlendPixelPlain(0x80FFFFFFu, 0xFF000000u), 0xFF7F7F7Fu);
  EXPECT_EQ(SpBlendPixelMmx(0x80FFFFFFu, 0xFF000000u), 0xBF7F7F7Fu);
  // Partial alpha over a lit target: the target keeps weight 255 - a.
  EXPECT_EQ(SpBlendPixelPlain(0x40000000u, 0xFFFFFFFFu), 0xFFBEBEBEu);
  EXPECT_EQ(SpBlendPixelMmx(0x40000000u, 0xFFFFFFFFu), 0xCFBFBFBFu);
  for (auto blend : {&SpBlendPixelPlain, &SpBlendPixelMmx}) {
    EXPECT_EQ(blend(0xFF123456u, 0xFFABCDEFu), 0xFF123456u);
    EXPECT_EQ(blend(0x00123456u, 0x80ABCDEFu), 0x80ABCDEFu);
  }
  EXPECT_EQ(R().BlendPixel(0x80FFFFFFu, 0xFF000000u), 0xFF7F7F7Fu);
  SelectSpRoutines(true, nullptr, 32);
  EXPECT_EQ(R().BlendPixel(0x80FFFFFFu, 0xFF000000u), 0xBF7F7F7Fu);
  std::uint32_t src[3] = {0x00FFFFFFu, 0xFF0000FFu, 0x80FFFFFFu};
  std::uint32_t dst[3] = {0x11223344u, 0x11223344u, 0xFF000000u};
  R().BlendRow(src, dst, 3);
  EXPECT_EQ(std::vector<std::uint32_t>(dst, dst + 3),
            (std::vector<std::uint32_t>{0x11223344u, 0xFF0000FFu, 0xBF7F7F7Fu}));
}

TEST_F(SpBitmapTest, RowRoutines) {
  std::uint32_t src[3] = {0x007F007Fu, 0xAB7F007Fu, 0x00123456u};
  std::uint32_t dst[3] = {1, 2, 3};
  R().KeyCopyRow(src, dst, 3);
  EXPECT_EQ(std::vector<std::uint32_t>(dst, dst + 3), (std::vector<std::uint32_t>{1, 2, 0xFF123456u}));

  R().CopyRow(src, dst, 2);
  EXPECT_EQ(dst[1], 0xAB7F007Fu);
  R().CopyRow(dst, dst, 3);  // same address: nothing

  std::vector<std::uint32_t> buf(4 * 3, 0x01020304u);
  R().FillRect(buf.data(), 4, 0xFFFFFFFFu, 1, 0, 2, 1);  // corners inclusive
  R().SetAlphaRect(buf.data(), 4, 0x80, 0, 2, 3, 2);
  R().FillRow(buf.data(), 1, 7);
  const std::uint32_t o = 0x01020304u, w = 0xFFFFFFFFu, a = 0x80020304u;
  EXPECT_EQ(buf, (std::vector<std::uint32_t>{7, w, w, o, o, w, w, o, a, a, a, a}));

  std::uint32_t keyed[2] = {0xFF7F007Fu, 0xFF7F0070u};
  R().ClearKeyAlpha(keyed, 2, kSpKeyColor);
  EXPECT_TRUE(keyed[0] == 0x007F007Fu && keyed[1] == 0xFF7F0070u);
}

// Column of the source pixel that landed at each x of row 0 (bottom-up
// buffer: row 0 is the last memory row).
std::vector<int> BufferColumns(TspBitmap& src, int dw) {
  std::vector<std::uint32_t> buf(static_cast<std::size_t>(dw) * 2, 0);
  os::RECT d{0, 0, dw, 2};
  SpRoutines().StretchCopyToBuffer(buf.data(), d, d, dw, 2, src, os::RECT{0, 0, src.Width, src.Height});
  std::vector<int> cols;
  for (int x = 0; x < dw; ++x)
    cols.push_back(static_cast<int>((buf[static_cast<std::size_t>(dw) + x] >> 8) & 0xFF));
  return cols;
}

std::vector<int> BitmapColumns(TspBitmap& src, int dw) {
  TspBitmap t;
  t.SetSize(dw, 2);
  os::RECT d{0, 0, dw, 2};
  SpRoutines().StretchCopyBitmap(t, d, d, src, os::RECT{0, 0, src.Width, src.Height});
  std::vector<int> cols;
  for (int x = 0; x < dw; ++x) cols.push_back(static_cast<int>((*t.PixelAddress(x, 0) >> 8) & 0xFF));
  return cols;
}

TEST_F(SpBitmapTest, StretchColumnMaps) {
  auto two = Numbered(2, 2);
  EXPECT_EQ(BufferColumns(*two, 3), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(BitmapColumns(*two, 3), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(BufferColumns(*two, 5), (std::vector<int>{0, 0, 0, 1, 1}));
  EXPECT_EQ(BitmapColumns(*two, 5), (std::vector<int>{0, 0, 0, 0, 1}));
  auto five = Numbered(5, 2);
  EXPECT_EQ(BitmapColumns(*five, 1), (std::vector<int>{2}));
  auto four = Numbered(4, 2);
  EXPECT_EQ(BitmapColumns(*four, 1), (std::vector<int>{1}));  // (0 + 4 - 1) div 2
}

// Sources outside the bitmap, an empty one and a destination wholly outside
// the target change nothing; rectangles are clipped to the target.
TEST_F(SpBitmapTest, TransfersStayInsideBothBitmaps) {
  auto src = Numbered(4, 4);
  TspBitmap t;
  t.SetSize(4, 4);
  os::RECT d{0, 0, 4, 4};
  R().StretchCopyBitmap(t, d, d, *src, os::RECT{1, 0, 5, 4});
  R().StretchCopyBitmap(t, d, d, *src, os::RECT{0, -1, 4, 3});
  R().StretchCopyBitmap(t, d, d, *src, os::RECT{2, 0, 2, 4});
  R().StretchCopyBitmap(t, os::RECT{10, 10, 14, 14}, os::RECT{10, 10, 14, 14}, *src, os::RECT{0, 0, 4, 4});
  for (int i = 0; i < 16; ++i) EXPECT_EQ(t.Bits[i], 0u);
  R().CopyBitmapRect(t, os::RECT{2, 2, 10, 10}, *src, 0, 0);
  EXPECT_EQ(*t.PixelAddress(3, 3), 0xFF000000u | (1 << 8) | 1);
  EXPECT_EQ(*t.PixelAddress(1, 1), 0u);
  R().CopyBitmapRect(t, os::RECT{-1, 0, 2, 1}, *src, 0, 0);
  EXPECT_EQ(*t.PixelAddress(0, 0), 0xFF000000u | (1 << 8));
}

// Rectangles spanning the whole int range (skin data, window origins) are
// clipped without overflow; the sanitizer build checks the arithmetic.
TEST_F(SpBitmapTest, RectanglesSpanningTheIntRange) {
  TspBitmap src, t;
  src.SetSize(4, 4);
  t.SetSize(4, 4);
  std::fill(src.Bits, src.Bits + 16, 0xFF123456u);
  const os::RECT all{INT_MIN, INT_MIN, INT_MAX, INT_MAX};
  for (auto stretch : {R().StretchCopyBitmap, R().StretchBlendBitmap, R().StretchKeyBitmap}) {
    std::fill(t.Bits, t.Bits + 16, 0u);
    stretch(t, all, all, src, os::RECT{0, 0, 4, 4});
    EXPECT_EQ(std::count(t.Bits, t.Bits + 16, 0xFF123456u), 16);
  }
  std::vector<std::uint32_t> buf(16, 0);
  R().StretchCopyToBuffer(buf.data(), all, all, 4, 4, src, os::RECT{0, 0, 4, 4});
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xFF123456u), 16);
  // The source offset lies past the bitmap: nothing is copied.
  std::fill(t.Bits, t.Bits + 16, 0u);
  R().CopyBitmapRect(t, os::RECT{INT_MIN, 0, INT_MAX, 4}, src, 0, 0);
  R().CopyBitmapRect(t, os::RECT{0, 0, 4, 4}, src, INT_MIN, INT_MIN);
  EXPECT_EQ(std::count(t.Bits, t.Bits + 16, 0u), 16);
  R().BlendBitmapRect(t, os::RECT{0, 0, INT_MAX, INT_MAX}, src, 2, 2);
  EXPECT_EQ(*t.PixelAddress(1, 1), 0xFF123456u);
  EXPECT_EQ(*t.PixelAddress(2, 2), 0u);
  // Through an owned DC whose window origin moves the destination.
  std::fill(t.Bits, t.Bits + 16, 0u);
  os::SetWindowOrgEx(t.DC, 1, 1, nullptr);
  src.StretchDraw(t.DC, all, os::RECT{0, 0, 4, 4});
  EXPECT_EQ(std::count(t.Bits, t.Bits + 16, 0xFF123456u), 16);
  src.Draw(t.DC, INT_MAX, INT_MAX);
}

TEST_F(SpBitmapTest, ClipLimitsWritesAndOffsetsTheSource) {
  auto src = Numbered(6, 6);
  TspBitmap t;
  t.SetSize(8, 8);
  R().StretchCopyBitmap(t, os::RECT{1, 1, 7, 7}, os::RECT{3, 2, 5, 4}, *src, os::RECT{0, 0, 6, 6});
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 3 && x < 5 && y >= 2 && y < 4;
      const std::uint32_t expected = inside ? 0xFF000000u | ((x - 1) << 8) | (y - 1) : 0u;
      EXPECT_EQ(*t.PixelAddress(x, y), expected) << x << "," << y;
    }
  // The same into a bottom-up buffer.
  std::vector<std::uint32_t> buf(64, 0);
  R().StretchCopyToBuffer(buf.data(), os::RECT{1, 1, 7, 7}, os::RECT{3, 2, 5, 4}, 8, 8, *src,
                          os::RECT{0, 0, 6, 6});
  EXPECT_EQ(buf[(8 - 1 - 2) * 8 + 3], 0xFF000000u | (2 << 8) | 1);
  EXPECT_EQ(buf[(8 - 1 - 1) * 8 + 3], 0u);
}

TEST_F(SpBitmapTest, ScaledBlendAndKeyTransfers) {
  TspBitmap src;
  src.SetSize(2, 2);
  src.SetPixel(0, 0, 0x80FFFFFFu);
  src.SetPixel(1, 0, 0x007F007Fu);
  src.SetPixel(0, 1, 0xFF7F007Fu);
  src.SetPixel(1, 1, 0x00102030u);
  TspBitmap t;
  t.SetSize(4, 4);
  for (int i = 0; i < 16; ++i) t.Bits[i] = 0xFF000000u;
  os::RECT d{0, 0, 4, 4};
  R().StretchBlendBitmap(t, d, d, src, os::RECT{0, 0, 2, 2});
  EXPECT_EQ(*t.PixelAddress(0, 0), 0xFF7F7F7Fu);
  EXPECT_EQ(*t.PixelAddress(3, 0), 0xFF000000u);  // alpha 0 leaves the target
  for (int i = 0; i < 16; ++i) t.Bits[i] = 0xFF000000u;
  R().StretchKeyBitmap(t, d, d, src, os::RECT{0, 0, 2, 2});
  // The key colour is left out.
  EXPECT_EQ(std::vector<std::uint32_t>(
                {*t.PixelAddress(0, 0), *t.PixelAddress(3, 0), *t.PixelAddress(0, 3), *t.PixelAddress(3, 3)}),
            std::vector<std::uint32_t>({0xFFFFFFFFu, 0xFF000000u, 0xFF000000u, 0xFF102030u}));
}

// A graphic that paints its left half green and leaves the rest.
class HalfGraphic : public TGraphic {
 public:
  int Width() const override { return 4; }
  int Height() const override { return 2; }
  void Draw(TCanvas& canvas, const os::RECT& r) override {
    os::FillRect(canvas.Handle(), os::RECT{r.left, r.top, r.left + 2, r.bottom}, 0x00FF00);
  }
};

TEST_F(SpBitmapTest, AssignFromGraphicsAndBitmaps) {
  TspBitmap b;
  HalfGraphic g;
  b.Assign(&g);
  EXPECT_EQ(*b.PixelAddress(0, 0), 0xFF00FF00u);
  EXPECT_EQ(*b.PixelAddress(3, 1), 0xFF000000u);  // magenta left out, then opaque

  TBitmap host;
  host.SetPixelFormat(TPixelFormat::pf32bit);
  host.SetSize(3, 2);
  static_cast<std::uint32_t*>(host.ScanLine(0))[0] = 0xFF112233u;
  static_cast<std::uint32_t*>(host.ScanLine(1))[2] = 0x00445566u;
  b.Assign(&host);
  EXPECT_EQ(*b.PixelAddress(0, 0), 0xFF112233u);
  EXPECT_EQ(*b.PixelAddress(2, 1), 0x00445566u);
  EXPECT_FALSE(b.AlphaBlending);
  static_cast<std::uint32_t*>(host.ScanLine(1))[1] = 0x80445566u;
  b.Assign(&host);
  EXPECT_TRUE(b.AlphaBlending);

  TBitmap rgb;
  rgb.SetSize(2, 2);
  static_cast<std::uint8_t*>(rgb.ScanLine(1))[3] = 0x44;  // pixel (1, 1) blue
  b.Assign(&rgb);
  EXPECT_EQ(*b.PixelAddress(1, 1), 0xFF000044u);

  TspBitmap copy;
  b.UserText = "skin";
  copy.Assign(&b);
  EXPECT_EQ(copy.UserText, "skin");
  EXPECT_EQ(*copy.PixelAddress(1, 1), 0xFF000044u);
  // From an empty bitmap: no pixels, but its text and flags.
  TspBitmap empty;
  empty.UserText = "none";
  empty.Transparent = true;
  copy.AlphaBlending = true;
  copy.Assign(&empty);
  EXPECT_EQ(copy.Width, 2);
  EXPECT_EQ(*copy.PixelAddress(1, 1), 0xFF000044u);
  EXPECT_EQ(copy.UserText, "none");
  EXPECT_TRUE(copy.Transparent);
  EXPECT_FALSE(copy.AlphaBlending);
  TspBitmap fresh;
  fresh.Assign(&empty);
  EXPECT_TRUE(fresh.Empty());
  EXPECT_EQ(fresh.UserText, "none");
  EXPECT_TRUE(fresh.Transparent);

  TPicture pic;
  pic.Assign(&copy);  // asks the bitmap to render itself
  auto& rendered = pic.Bitmap();
  EXPECT_EQ(rendered.PixelFormat(), TPixelFormat::pf32bit);
  EXPECT_EQ(static_cast<std::uint32_t*>(rendered.ScanLine(1))[1], 0xFF000044u);

  EXPECT_EQ(test::MessageOf<EConvertError>([&] { b.Assign(nullptr); }), "Cannot assign a nil to a TspBitmap");
}

TEST_F(SpBitmapTest, DrawingOntoForeignAndOwnedDCs) {
  auto src = Numbered(2, 2);
  src->SetPixel(1, 1, 0xFF7F007Fu);
  // A foreign DC with a bottom-up 32-bit DIB.
  os::BITMAPINFOHEADER h{40, 4, 4, 1, 32, 0, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  os::HBITMAP dib = os::CreateDIBSection(0, &h, nullptr, os::DIB_RGB_COLORS, &bits, 0, 0);
  os::HDC dc = os::CreateCompatibleDC(0);
  os::SelectObject(dc, dib);
  auto* px = static_cast<std::uint32_t*>(bits);
  auto at = [px](int x, int y) { return px[(3 - y) * 4 + x]; };

  int w = 0, hh = 0, bc = 0;
  EXPECT_EQ(R().GetDCBitmapInfo(dc, w, hh, bc), bits);
  EXPECT_EQ(w * 100 + hh * 10 + bc / 8, 444);
  os::HDC bare = os::CreateCompatibleDC(0);
  EXPECT_EQ(R().GetDCBitmapInfo(bare, w, hh, bc), nullptr);
  EXPECT_EQ(w + hh + bc, 0);
  os::DeleteDC(bare);

  src->Draw(dc, 1, 1);
  EXPECT_EQ(at(1, 1), 0xFF000000u);
  EXPECT_EQ(at(2, 2), 0xFF7F007Fu);
  // Key-coloured through the temporary bitmap, then through the blit.
  for (bool blt : {false, true}) {
    SelectSpRoutines(false, blt ? &os::TransparentBlt : nullptr, 32);
    std::fill(px, px + 16, 0x11111111u);
    src->Transparent = true;
    src->Draw(dc, 0, 0);
    EXPECT_EQ(at(1, 0), 0xFF000100u);
    EXPECT_EQ(at(1, 1), 0x11111111u) << blt;
  }
  SelectSpRoutines(false, &os::TransparentBlt, 16);  // a shallow screen takes the temporary bitmap
  std::fill(px, px + 16, 0x11111111u);
  src->Draw(dc, 0, 0);
  EXPECT_EQ(at(1, 1), 0x11111111u);
  src->Transparent = false;
  // Blended: the destination shows through.
  TspBitmap glass;
  glass.SetSize(1, 1);
  glass.SetPixel(0, 0, 0x80FFFFFFu);
  glass.AlphaBlending = true;
  std::fill(px, px + 16, 0xFF000000u);
  glass.StretchDraw(dc, os::RECT{0, 0, 2, 2}, os::RECT{0, 0, 1, 1});
  EXPECT_EQ(at(1, 1), 0xFF7F7F7Fu);
  EXPECT_EQ(at(2, 2), 0xFF000000u);
  os::DeleteDC(dc);
  os::DeleteObject(dib);

  // An owned DC: the window origin moves the destination.
  TspBitmap target;
  target.SetSize(4, 4);
  os::SetWindowOrgEx(target.DC, 1, 0, nullptr);
  src->Draw(target.DC, 1, 1);
  EXPECT_EQ(*target.PixelAddress(0, 1), 0xFF000000u);
  EXPECT_EQ(*target.PixelAddress(1, 1), 0xFF000100u);
}

}  // namespace
}  // namespace vt
