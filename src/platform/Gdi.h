// Device-independent bitmaps, memory device contexts, palettes and block
// transfers, emulated in-process with Windows-shaped behaviour.
//
// A DIB section owns zero-filled pixel memory of 1, 4, 8, 24 or 32 bits per
// pixel (rows padded to 4 bytes; bottom-up unless the height is negative). A
// memory DC has at most one bitmap and one palette selected; a bitmap can be
// selected into one DC at a time and cannot be deleted while selected. The
// screen (GetDC(0)) has no pixels and reports 32 bits per pixel. Transfers
// work in device pixels (logical coordinates minus the window origin), clip
// to both bitmaps and read or write through the colour table for indexed
// formats. Handles are process-wide and may be used from any thread.
#pragma once

#include <cstdint>

#include "platform/LastError.h"
#include "platform/WindowApi.h"

namespace vt::os {

using HGDIOBJ = std::uintptr_t;  // 0: none
using HBITMAP = HGDIOBJ;
using HPALETTE = HGDIOBJ;
using HDC = std::uintptr_t;
using COLORREF = std::uint32_t;  // 0x00BBGGRR

struct BITMAPINFOHEADER {
  std::uint32_t biSize = 0;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;
  std::uint16_t biPlanes = 0;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};

struct RGBQUAD {
  std::uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
};

// The header with one colour entry; indexed DIBs take their colour table
// from the entries that follow the header in memory (see BITMAPINFO256).
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};
struct BITMAPINFO256 {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[256];
};

struct BITMAP {
  std::int32_t bmType = 0, bmWidth = 0, bmHeight = 0, bmWidthBytes = 0;
  std::uint16_t bmPlanes = 0, bmBitsPixel = 0;
  void* bmBits = nullptr;
};
struct DIBSECTION {
  BITMAP dsBm;
  BITMAPINFOHEADER dsBmih;
  std::uint32_t dsBitfields[3] = {};
  std::uintptr_t dshSection = 0;
  std::uint32_t dsOffset = 0;
};

struct PALETTEENTRY {
  std::uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
};
struct POINT {
  int x = 0, y = 0;
};

enum : std::uint32_t { BI_RGB = 0, DIB_RGB_COLORS = 0 };
enum : std::uint32_t { SRCCOPY = 0x00CC0020 };
enum : int { BLACKONWHITE = 1, WHITEONBLACK = 2, COLORONCOLOR = 3, HALFTONE = 4 };
enum : std::uint32_t { OBJ_PEN = 1, OBJ_BRUSH = 2, OBJ_DC = 3, OBJ_PAL = 5, OBJ_BITMAP = 7, OBJ_MEMDC = 10 };
enum : int { BITSPIXEL = 12, PLANES = 14 };

// Pixels above this many bytes are refused (ERROR_NOT_ENOUGH_MEMORY).
constexpr std::int64_t kMaxDibBytes = std::int64_t{1} << 30;

// colors: the colour table of an indexed format (biClrUsed entries, or all
// 2^bits when 0); may be null (black). Answers 0 with the last error set.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFOHEADER* header, const RGBQUAD* colors, std::uint32_t usage,
                         void** bits, std::uintptr_t section, std::uint32_t offset);
HDC CreateCompatibleDC(HDC dc);
bool DeleteDC(HDC dc);
// A bitmap: answers the previously selected bitmap (0 for none, which is
// still success: check GetLastError) or 0 on failure. Use SelectPalette for
// palettes.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
bool DeleteObject(HGDIOBJ object);
HGDIOBJ GetCurrentObject(HDC dc, std::uint32_t type);
// Fills a DIBSECTION (answers its size) when size allows, else a BITMAP;
// a palette answers its entry count as a 16-bit value. 0 on failure.
int GetObject(HGDIOBJ object, int size, void* out);

HDC GetDC(std::uintptr_t hwnd);  // 0: the screen
int ReleaseDC(std::uintptr_t hwnd, HDC dc);
int GetDeviceCaps(HDC dc, int index);

bool GetWindowOrgEx(HDC dc, POINT* origin);
bool SetWindowOrgEx(HDC dc, int x, int y, POINT* old);
int SetStretchBltMode(HDC dc, int mode);  // previous mode, 0 on failure

bool BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int sx, int sy, std::uint32_t rop);
// Nearest-neighbour stretch; negative sizes (mirroring) are refused.
bool StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int sx, int sy, int swidth, int sheight,
                std::uint32_t rop);
// As StretchBlt, leaving the target unchanged where the source colour is key.
bool TransparentBlt(HDC dst, int x, int y, int width, int height, HDC src, int sx, int sy, int swidth,
                    int sheight, COLORREF key);

HPALETTE CreatePalette(std::uint16_t version, const PALETTEENTRY* entries, int count);  // 1..1024 entries
HPALETTE CreateHalftonePalette(HDC dc);                                                  // 256 entries
// entries null: answers the entry count.
std::uint32_t GetPaletteEntries(HPALETTE palette, std::uint32_t start, std::uint32_t count, PALETTEENTRY* entries);
bool ResizePalette(HPALETTE palette, std::uint32_t count);
HPALETTE SelectPalette(HDC dc, HPALETTE palette, bool force_background);
std::uint32_t RealizePalette(HDC dc);
// On the DIB selected into dc; answers the entries set (0 on failure).
std::uint32_t SetDIBColorTable(HDC dc, std::uint32_t start, std::uint32_t count, const RGBQUAD* colors);
std::uint32_t GetDIBColorTable(HDC dc, std::uint32_t start, std::uint32_t count, RGBQUAD* colors);

// Fills a rectangle (logical coordinates, right and bottom exclusive) of the
// DC's bitmap with a solid colour.
bool FillRect(HDC dc, const RECT& rect, COLORREF color);

// Whether a handle is a live GDI object or DC (for tests of clean-up).
bool IsGdiHandle(std::uintptr_t handle);

}  // namespace vt::os
