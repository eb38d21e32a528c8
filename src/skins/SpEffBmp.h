// The 32-bit bitmap of the skin library and the process-wide table of pixel
// blend and transfer routines it draws through.
//
// Pixels are little-endian 32-bit words: blue in bits 0-7, green 8-15, red
// 16-23, alpha 24-31 (255 opaque). The low 24 bits $7F007F are the key
// colour that key-coloured transfers leave out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Units.h"
#include "platform/Gdi.h"
#include "skins/Graphics.h"

namespace vt {

constexpr std::uint32_t kSpKeyColor = 0x7F007F;

// A 32-bit top-down DIB section selected into its own memory DC.
class TspBitmap : public TPersistent {
 public:
  TspBitmap();
  ~TspBitmap() override;
  TspBitmap(const TspBitmap&) = delete;
  TspBitmap& operator=(const TspBitmap&) = delete;
  const char* ClassName() const override { return "TspBitmap"; }

  std::uint32_t* Bits = nullptr;
  int Width = 0;
  int Height = 0;
  std::string UserText;
  os::BITMAPINFO BitmapInfo{};
  os::HBITMAP DibHandle = 0;
  os::HDC DC = 0;
  std::unique_ptr<TCanvas> Canvas;  // optional; follows DC
  bool AlphaBlending = false;
  bool Transparent = false;

  // Absolute values are taken; a zero side or the current size changes
  // nothing. Raises Exception on a platform failure (the bitmap is then
  // empty while Width and Height keep their values).
  void SetSize(int width, int height);
  bool Empty() const { return DibHandle == 0; }
  std::uint32_t* ScanLine(int y) const { return Bits + static_cast<std::int64_t>(y) * Width; }
  std::uint32_t* PixelAddress(int x, int y) const { return Bits + static_cast<std::int64_t>(y) * Width + x; }
  void SetPixel(int x, int y, std::uint32_t color);
  void SetAlpha(std::uint8_t alpha);
  void UpdateAlphaFlag();

  void Assign(TPersistent* source) override;

  void Draw(os::HDC dc, int x, int y);
  void Draw(os::HDC dc, int x, int y, const os::RECT& source);
  void StretchDraw(os::HDC dc, const os::RECT& dest, const os::RECT& source);

 protected:
  void AssignTo(TPersistent* dest) override;

 private:
  void ReleaseHandles();
  void BitBltFrom(os::HDC dc);
  void AssignKeyed(TGraphic& graphic);
  void RenderInto(TBitmap& bitmap);
};

// The listed bitmap whose DC is dc, or null.
TspBitmap* FindBitmapByDC(os::HDC dc);

using TspBltProc = bool (*)(os::HDC, int, int, int, int, os::HDC, int, int, int, int, os::COLORREF);

// The routine table. Rectangles are (left, top, right, bottom), right and
// bottom exclusive, unless a routine says otherwise.
struct TspRoutines {
  std::uint32_t (*BlendPixel)(std::uint32_t src, std::uint32_t dst);
  void (*BlendRow)(const std::uint32_t* src, std::uint32_t* dst, int count);
  void (*KeyCopyRow)(const std::uint32_t* src, std::uint32_t* dst, int count);
  void (*CopyRow)(const std::uint32_t* src, std::uint32_t* dst, int count);
  void (*FillRow)(std::uint32_t* dst, int count, std::uint32_t color);
  // Corners inclusive.
  void (*FillRect)(std::uint32_t* bits, int stride, std::uint32_t color, int left, int top, int right, int bottom);
  void (*SetAlphaRow)(std::uint32_t* dst, int count, std::uint8_t alpha);
  void (*SetAlphaRect)(std::uint32_t* bits, int stride, std::uint8_t alpha, int left, int top, int right,
                       int bottom);
  void (*ClearKeyAlpha)(std::uint32_t* dst, int count, std::uint32_t key);
  // Device-context transfers: destination and source as origin and size.
  void (*StretchToDC)(os::HDC dc, int dx, int dy, int dw, int dh, TspBitmap& bitmap, int sx, int sy, int sw,
                      int sh);
  void (*AlphaToDC)(os::HDC dc, int dx, int dy, int dw, int dh, TspBitmap& bitmap, int sx, int sy, int sw, int sh);
  void (*KeyToDC)(os::HDC dc, int dx, int dy, int dw, int dh, TspBitmap& bitmap, int sx, int sy, int sw, int sh);
  void* (*GetDCBitmapInfo)(os::HDC dc, int& width, int& height, int& bit_count);
  // Into a bottom-up buffer of width x height pixels.
  void (*StretchCopyToBuffer)(std::uint32_t* buffer, const os::RECT& dest, const os::RECT& clip, int width,
                              int height, TspBitmap& bitmap, const os::RECT& source);
  void (*StretchBlendToBuffer)(std::uint32_t* buffer, const os::RECT& dest, const os::RECT& clip, int width,
                               int height, TspBitmap& bitmap, const os::RECT& source);
  void (*StretchKeyToBuffer)(std::uint32_t* buffer, const os::RECT& dest, const os::RECT& clip, int width,
                             int height, TspBitmap& bitmap, const os::RECT& source);
  void (*CopyBitmapRect)(TspBitmap& target, const os::RECT& target_rect, TspBitmap& bitmap, int sx, int sy);
  void (*BlendBitmapRect)(TspBitmap& target, const os::RECT& target_rect, TspBitmap& bitmap, int sx, int sy);
  void (*KeyBitmapRect)(TspBitmap& target, const os::RECT& target_rect, TspBitmap& bitmap, int sx, int sy);
  void (*StretchCopyBitmap)(TspBitmap& target, const os::RECT& dest, const os::RECT& clip, TspBitmap& bitmap,
                            const os::RECT& source);
  void (*StretchBlendBitmap)(TspBitmap& target, const os::RECT& dest, const os::RECT& clip, TspBitmap& bitmap,
                             const os::RECT& source);
  void (*StretchKeyBitmap)(TspBitmap& target, const os::RECT& dest, const os::RECT& clip, TspBitmap& bitmap,
                           const os::RECT& source);
};

// The table; holds the plain members until the unit starts.
const TspRoutines& SpRoutines();

// Fills the table: the MMX blend members when mmx, the key transfer through
// transparent_blt when it is given and the screen has 24 bits or more.
void SelectSpRoutines(bool mmx, TspBltProc transparent_blt, int screen_bits);

// The processor test of the start-up selection.
bool SpDetectMmx();
bool SpMmxAvailable();
bool SpMsimg32Loaded();

// The two blend members, as they are selected.
std::uint32_t SpBlendPixelPlain(std::uint32_t src, std::uint32_t dst);
std::uint32_t SpBlendPixelMmx(std::uint32_t src, std::uint32_t dst);

// Routine selection and the bitmap registry.
extern const UnitEntry kSpEffBmpUnit;  // "speffbmp"

}  // namespace vt
