// The emulated bitmaps, DCs and palettes: ownership rules, limits and blits.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/Gdi.h"
#include "platform/WindowApi.h"

namespace vt::os {
namespace {

BITMAPINFOHEADER Header(int w, int h, int bits) { return BITMAPINFOHEADER{40, w, h, 1, std::uint16_t(bits), 0, 0, 0, 0, 0, 0}; }

TEST(Gdi, SelectedObjectsCannotBeDeletedSizesAreBoundedAndPalettes) {
  auto h = Header(3, 2, 32);
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(0, &h, nullptr, DIB_RGB_COLORS, &bits, 0, 0);
  ASSERT_NE(dib, 0u);
  HDC a = CreateCompatibleDC(0), b = CreateCompatibleDC(0);
  SelectObject(a, dib);
  EXPECT_EQ(SelectObject(b, dib), 0u);  // one DC at a time
  EXPECT_FALSE(DeleteObject(dib));
  EXPECT_TRUE(DeleteDC(a));
  EXPECT_TRUE(DeleteObject(dib));
  EXPECT_FALSE(IsGdiHandle(dib));

  auto huge = Header(65535, 65535, 32);
  EXPECT_EQ(CreateDIBSection(0, &huge, nullptr, DIB_RGB_COLORS, &bits, 0, 0), 0u);
  EXPECT_EQ(GetLastError(), kErrorNotEnoughMemory);
  EXPECT_EQ(bits, nullptr);
  auto odd = Header(3, 2, 7);
  EXPECT_EQ(CreateDIBSection(0, &odd, nullptr, DIB_RGB_COLORS, &bits, 0, 0), 0u);

  // Palettes: sizes, entries, and the same rule while selected.
  PALETTEENTRY e[2] = {{1, 2, 3, 0}, {4, 5, 6, 0}};
  EXPECT_EQ(CreatePalette(0x200, e, 2), 0u);
  HPALETTE p = CreatePalette(0x300, e, 2);
  ASSERT_NE(p, 0u);
  EXPECT_TRUE(ResizePalette(p, 4));
  EXPECT_EQ(GetPaletteEntries(p, 0, 0, nullptr), 4u);
  PALETTEENTRY out[8];
  EXPECT_EQ(GetPaletteEntries(p, 1, 8, out), 3u);
  EXPECT_EQ(out[0].peBlue, 6);
  SelectPalette(b, p, false);
  EXPECT_EQ(RealizePalette(b), 4u);
  EXPECT_FALSE(DeleteObject(p));  // still selected
  EXPECT_TRUE(DeleteDC(b));
  EXPECT_TRUE(DeleteObject(p));
  HPALETTE half = CreateHalftonePalette(0);
  EXPECT_EQ(GetPaletteEntries(half, 0, 0, nullptr), 256u);
  DeleteObject(half);
}

TEST(Gdi, BlitsConvertBetweenFormatsAndClip) {
  auto h32 = Header(2, 2, 32);
  auto h4 = Header(3, 1, 4);
  RGBQUAD colours[16] = {};
  colours[1] = RGBQUAD{0x30, 0x20, 0x10, 0};
  void *b32 = nullptr, *b4 = nullptr;
  HBITMAP d32 = CreateDIBSection(0, &h32, nullptr, DIB_RGB_COLORS, &b32, 0, 0);
  HBITMAP d4 = CreateDIBSection(0, &h4, colours, DIB_RGB_COLORS, &b4, 0, 0);
  HDC c32 = CreateCompatibleDC(0), c4 = CreateCompatibleDC(0);
  SelectObject(c32, d32);
  SelectObject(c4, d4);
  static_cast<std::uint8_t*>(b4)[0] = 0x01;  // pixel 1 uses colour 1
  EXPECT_TRUE(BitBlt(c32, -1, 0, 3, 1, c4, 0, 0, SRCCOPY));
  auto* px = static_cast<std::uint32_t*>(b32);
  EXPECT_TRUE(px[2] == 0x00102030u && px[3] == 0u);  // bottom-up: row 0 is the second memory row
  EXPECT_TRUE(FillRect(c32, RECT{0, 0, 5, 5}, 0x0000FF));
  EXPECT_EQ(px[0], 0x00FF0000u);
  std::uint32_t key = 0x007F007Fu;
  px[0] = key;
  HDC c32b = CreateCompatibleDC(0);
  void* bb = nullptr;
  HBITMAP db = CreateDIBSection(0, &h32, nullptr, DIB_RGB_COLORS, &bb, 0, 0);
  SelectObject(c32b, db);
  EXPECT_TRUE(TransparentBlt(c32b, 0, 0, 2, 2, c32, 0, 0, 2, 2, 0x7F007F));
  EXPECT_TRUE(static_cast<std::uint32_t*>(bb)[0] == 0u && static_cast<std::uint32_t*>(bb)[1] == 0x00FF0000u);
  EXPECT_FALSE(StretchBlt(c32b, 0, 0, -2, 2, c32, 0, 0, 2, 2, SRCCOPY));
  for (HDC dc : {c32, c4, c32b}) DeleteDC(dc);
  for (HBITMAP d : {d32, d4, db}) DeleteObject(d);
}

}  // namespace
}  // namespace vt::os
