#include "skins/SpEffBmp.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Modules.h"
#include "platform/SystemInfo.h"

namespace vt {
namespace {

constexpr const char* kUnit = "speffbmp";

// ---- Row and pixel routines ----

inline std::uint32_t Alpha(std::uint32_t p) { return p >> 24; }

std::uint32_t BlendPlain(std::uint32_t s, std::uint32_t d) {
  std::uint32_t a = Alpha(s);
  if (a == 255) return s;
  if (a == 0) return d;
  std::uint32_t r = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    std::uint32_t sc = (s >> shift) & 0xFF, dc = (d >> shift) & 0xFF;
    r |= (((sc * a + dc * (255 - a)) >> 8) & 0xFF) << shift;
  }
  return r;
}

std::uint32_t BlendMmx(std::uint32_t s, std::uint32_t d) {
  std::uint32_t a = Alpha(s);
  if (a == 255) return s;
  if (a == 0) return d;
  std::uint32_t r = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    int sc = static_cast<int>((s >> shift) & 0xFF), dc = static_cast<int>((d >> shift) & 0xFF);
    int v = ((dc << 8) + (sc - dc) * static_cast<int>(a)) >> 8;  // within 0..255
    r |= static_cast<std::uint32_t>(std::clamp(v, 0, 255)) << shift;
  }
  return r;
}

template <std::uint32_t (*Blend)(std::uint32_t, std::uint32_t)>
void BlendRowT(const std::uint32_t* src, std::uint32_t* dst, int count) {
  for (int i = 0; i < count; ++i) {
    std::uint32_t a = Alpha(src[i]);
    if (a == 0) continue;
    dst[i] = a == 255 ? src[i] : Blend(src[i], dst[i]);
  }
}

void KeyCopyRowImpl(const std::uint32_t* src, std::uint32_t* dst, int count) {
  for (int i = 0; i < count; ++i)
    if ((src[i] & 0xFFFFFFu) != kSpKeyColor) dst[i] = src[i] | 0xFF000000u;
}

void CopyRowImpl(const std::uint32_t* src, std::uint32_t* dst, int count) {
  if (src == dst || count <= 0) return;
  std::memmove(dst, src, static_cast<std::size_t>(count) * 4);
}

void FillRowImpl(std::uint32_t* dst, int count, std::uint32_t color) {
  for (int i = 0; i < count; ++i) dst[i] = color;
}

void FillRectImpl(std::uint32_t* bits, int stride, std::uint32_t color, int left, int top, int right, int bottom) {
  for (int y = top; y <= bottom; ++y) FillRowImpl(bits + static_cast<std::int64_t>(y) * stride + left, right - left + 1, color);
}

void SetAlphaRowImpl(std::uint32_t* dst, int count, std::uint8_t alpha) {
  for (int i = 0; i < count; ++i) dst[i] = (dst[i] & 0xFFFFFFu) | (std::uint32_t{alpha} << 24);
}

void SetAlphaRectImpl(std::uint32_t* bits, int stride, std::uint8_t alpha, int left, int top, int right,
                      int bottom) {
  for (int y = top; y <= bottom; ++y)
    SetAlphaRowImpl(bits + static_cast<std::int64_t>(y) * stride + left, right - left + 1, alpha);
}

void ClearKeyAlphaImpl(std::uint32_t* dst, int count, std::uint32_t key) {
  for (int i = 0; i < count; ++i)
    if ((dst[i] & 0xFFFFFFu) == (key & 0xFFFFFFu)) dst[i] &= 0xFFFFFFu;
}

// ---- Process-wide state ----

struct UnitState {
  bool mmx = false;
  bool msimg32_loaded = false;
  os::HMODULE msimg32 = nullptr;
  TspBltProc transparent_blt = nullptr;
  void* alpha_blend = nullptr;
  std::vector<TspBitmap*>* registry = nullptr;
};
UnitState g;

TspRoutines MakePlainTable();
TspRoutines g_table = MakePlainTable();

std::vector<TspBitmap*>& Registry() {
  if (!g.registry) g.registry = new std::vector<TspBitmap*>;
  return *g.registry;
}

// ---- Stretch transfers ----

enum class Variant { kCopy, kBlend, kKey };

// Coordinates moved or sized past the int range stop at its ends.
int SaturatedInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

bool Intersect(os::RECT& a, const os::RECT& b) {
  a.left = std::max(a.left, b.left);
  a.top = std::max(a.top, b.top);
  a.right = std::min(a.right, b.right);
  a.bottom = std::min(a.bottom, b.bottom);
  return a.left < a.right && a.top < a.bottom;
}

void ApplyRow(Variant v, const std::uint32_t* src, std::uint32_t* dst, int count) {
  switch (v) {
    case Variant::kCopy:
      g_table.CopyRow(src, dst, count);
      break;
    case Variant::kBlend:
      g_table.BlendRow(src, dst, count);
      break;
    case Variant::kKey:
      g_table.KeyCopyRow(src, dst, count);
      break;
  }
}

// target_row(y) answers the address of target row y; round: ties to even
// (raw buffers) or toward zero (bitmaps). Sizes and offsets of the
// destination are 64-bit: it may span more than the int range.
template <typename RowOf>
void Stretch(Variant variant, bool round_even, int target_w, int target_h, RowOf target_row, const os::RECT& d,
             const os::RECT& clip, TspBitmap& bmp, const os::RECT& s) {
  if (s.right <= s.left || s.bottom <= s.top) return;
  os::RECT v = clip;
  if (!Intersect(v, os::RECT{0, 0, target_w, target_h}) || !Intersect(v, d)) return;
  if (s.left < 0 || s.top < 0 || s.right > bmp.Width || s.bottom > bmp.Height || !bmp.Bits) return;
  using I64 = std::int64_t;
  const int sw = s.right - s.left, sh = s.bottom - s.top;
  const I64 dw = I64{d.right} - d.left, dh = I64{d.bottom} - d.top;
  const I64 ox = I64{v.left} - d.left, oy = I64{v.top} - d.top;  // V's offset in D
  const int vw = v.right - v.left, vh = v.bottom - v.top;
  if (sw == dw && sh == dh) {
    // V lies in D, so the offsets are below the source size.
    for (int j = 0; j < vh; ++j)
      ApplyRow(variant, bmp.PixelAddress(s.left + static_cast<int>(ox), s.top + static_cast<int>(oy) + j),
               target_row(v.top + j) + v.left, vw);
    return;
  }
  auto R = [round_even](double x) -> long { return round_even ? std::lrint(x) : static_cast<long>(x); };
  std::vector<int> map(static_cast<std::size_t>(vw));
  if (dw > 1) {
    const float xs = static_cast<float>(sw - 1) / static_cast<float>(dw - 1);
    for (int i = 0; i < vw; ++i) {
      long sx = R(static_cast<double>(i + ox) * xs + s.left);
      map[i] = static_cast<int>(std::clamp<long>(sx, s.left, s.right - 1));
    }
  } else {
    std::fill(map.begin(), map.end(), (s.left + s.right - 1) / 2);
  }
  const float ys = dh > 1 ? static_cast<float>(sh - 1) / static_cast<float>(dh - 1) : 0.0f;
  std::vector<std::uint32_t> buffer;
  if (variant != Variant::kCopy) buffer.resize(static_cast<std::size_t>(vw));
  int last_sy = -1;
  std::uint32_t* last_row = nullptr;
  for (int j = 0; j < vh; ++j) {
    int sy = dh > 1 ? static_cast<int>(
                          std::clamp<long>(R(static_cast<double>(j + oy) * ys + s.top), s.top, s.bottom - 1))
                    : (s.top + s.bottom - 1) / 2;
    std::uint32_t* target = target_row(v.top + j) + v.left;
    if (variant == Variant::kCopy) {
      if (sy != last_sy) {
        const std::uint32_t* src = bmp.ScanLine(sy);
        for (int i = 0; i < vw; ++i) target[i] = src[map[i]];
      } else {
        g_table.CopyRow(last_row, target, vw);
      }
      last_row = target;
    } else {
      if (sy != last_sy) {
        const std::uint32_t* src = bmp.ScanLine(sy);
        for (int i = 0; i < vw; ++i) buffer[i] = src[map[i]];
      }
      ApplyRow(variant, buffer.data(), target, vw);
    }
    last_sy = sy;
  }
}

void ToBuffer(Variant variant, std::uint32_t* buffer, const os::RECT& dest, const os::RECT& clip, int width,
              int height, TspBitmap& bmp, const os::RECT& source) {
  VT_ASSERT_AT(buffer != nullptr, kUnit, __LINE__);
  auto row = [buffer, width, height](int y) {
    return buffer + static_cast<std::int64_t>(height - 1 - y) * width;
  };
  Stretch(variant, true, width, height, row, dest, clip, bmp, source);
}

void ToBitmap(Variant variant, TspBitmap& target, const os::RECT& dest, const os::RECT& clip, TspBitmap& bmp,
              const os::RECT& source) {
  if (!target.Bits) return;
  auto row = [&target](int y) { return target.ScanLine(y); };
  Stretch(variant, false, target.Width, target.Height, row, dest, clip, bmp, source);
}

void StretchCopyToBufferImpl(std::uint32_t* b, const os::RECT& d, const os::RECT& c, int w, int h, TspBitmap& bmp,
                             const os::RECT& s) {
  ToBuffer(Variant::kCopy, b, d, c, w, h, bmp, s);
}
void StretchBlendToBufferImpl(std::uint32_t* b, const os::RECT& d, const os::RECT& c, int w, int h, TspBitmap& bmp,
                              const os::RECT& s) {
  ToBuffer(Variant::kBlend, b, d, c, w, h, bmp, s);
}
void StretchKeyToBufferImpl(std::uint32_t* b, const os::RECT& d, const os::RECT& c, int w, int h, TspBitmap& bmp,
                            const os::RECT& s) {
  ToBuffer(Variant::kKey, b, d, c, w, h, bmp, s);
}
void StretchCopyBitmapImpl(TspBitmap& t, const os::RECT& d, const os::RECT& c, TspBitmap& bmp, const os::RECT& s) {
  ToBitmap(Variant::kCopy, t, d, c, bmp, s);
}
void StretchBlendBitmapImpl(TspBitmap& t, const os::RECT& d, const os::RECT& c, TspBitmap& bmp,
                            const os::RECT& s) {
  ToBitmap(Variant::kBlend, t, d, c, bmp, s);
}
void StretchKeyBitmapImpl(TspBitmap& t, const os::RECT& d, const os::RECT& c, TspBitmap& bmp, const os::RECT& s) {
  ToBitmap(Variant::kKey, t, d, c, bmp, s);
}

// Rectangle of the target from the bitmap at (sx, sy), clipped to both; in
// 64 bits, as the rectangle may span more than the int range.
void BitmapRect(Variant variant, TspBitmap& target, const os::RECT& tr, TspBitmap& bmp, int source_x,
                int source_y) {
  VT_ASSERT_AT(target.Bits != nullptr && bmp.Bits != nullptr, kUnit, __LINE__);
  std::int64_t x = tr.left, y = tr.top, w = std::int64_t{tr.right} - tr.left, h = std::int64_t{tr.bottom} - tr.top;
  std::int64_t sx = source_x, sy = source_y;
  if (x < 0) w += x, sx -= x, x = 0;
  if (y < 0) h += y, sy -= y, y = 0;
  if (sx < 0) w += sx, x -= sx, sx = 0;
  if (sy < 0) h += sy, y -= sy, sy = 0;
  w = std::min({w, target.Width - x, bmp.Width - sx});
  h = std::min({h, target.Height - y, bmp.Height - sy});
  if (w <= 0 || h <= 0) return;
  // Every value is now inside one of the bitmaps.
  for (int j = 0; j < h; ++j)
    ApplyRow(variant, bmp.PixelAddress(static_cast<int>(sx), static_cast<int>(sy) + j),
             target.PixelAddress(static_cast<int>(x), static_cast<int>(y) + j), static_cast<int>(w));
}
void CopyBitmapRectImpl(TspBitmap& t, const os::RECT& r, TspBitmap& b, int sx, int sy) {
  BitmapRect(Variant::kCopy, t, r, b, sx, sy);
}
void BlendBitmapRectImpl(TspBitmap& t, const os::RECT& r, TspBitmap& b, int sx, int sy) {
  BitmapRect(Variant::kBlend, t, r, b, sx, sy);
}
void KeyBitmapRectImpl(TspBitmap& t, const os::RECT& r, TspBitmap& b, int sx, int sy) {
  BitmapRect(Variant::kKey, t, r, b, sx, sy);
}

// ---- Device-context transfers ----

void StretchToDCImpl(os::HDC dc, int dx, int dy, int dw, int dh, TspBitmap& bmp, int sx, int sy, int sw, int sh) {
  os::SetStretchBltMode(dc, os::COLORONCOLOR);
  os::StretchBlt(dc, dx, dy, dw, dh, bmp.DC, sx, sy, sw, sh, os::SRCCOPY);
}

void ViaTemporary(os::HDC dc, int dx, int dy, int dw, int dh, TspBitmap& bmp, int sx, int sy, int sw, int sh) {
  if (dw == 0 || dh == 0) return;
  TspBitmap temp;
  temp.SetSize(dw, dh);
  os::BitBlt(temp.DC, 0, 0, temp.Width, temp.Height, dc, dx, dy, os::SRCCOPY);
  os::RECT whole{0, 0, temp.Width, temp.Height};
  os::RECT source{sx, sy, sx + sw, sy + sh};
  if (bmp.AlphaBlending)
    g_table.StretchBlendBitmap(temp, whole, whole, bmp, source);
  else if (bmp.Transparent)
    g_table.StretchKeyBitmap(temp, whole, whole, bmp, source);
  else
    g_table.StretchCopyBitmap(temp, whole, whole, bmp, source);
  os::BitBlt(dc, dx, dy, temp.Width, temp.Height, temp.DC, 0, 0, os::SRCCOPY);
}

void KeyToDCBlt(os::HDC dc, int dx, int dy, int dw, int dh, TspBitmap& bmp, int sx, int sy, int sw, int sh) {
  if (g.transparent_blt) g.transparent_blt(dc, dx, dy, dw, dh, bmp.DC, sx, sy, sw, sh, kSpKeyColor);
}

void* GetDCBitmapInfoImpl(os::HDC dc, int& width, int& height, int& bit_count) {
  width = height = bit_count = 0;
  os::HGDIOBJ bmp = os::GetCurrentObject(dc, os::OBJ_BITMAP);
  os::DIBSECTION ds;
  if (!bmp || os::GetObject(bmp, sizeof ds, &ds) != static_cast<int>(sizeof ds)) return nullptr;
  width = ds.dsBm.bmWidth;
  height = ds.dsBm.bmHeight;
  bit_count = ds.dsBm.bmBitsPixel;
  return ds.dsBm.bmBits;
}

TspRoutines MakePlainTable() {
  return TspRoutines{&BlendPlain,
                     &BlendRowT<&BlendPlain>,
                     &KeyCopyRowImpl,
                     &CopyRowImpl,
                     &FillRowImpl,
                     &FillRectImpl,
                     &SetAlphaRowImpl,
                     &SetAlphaRectImpl,
                     &ClearKeyAlphaImpl,
                     &StretchToDCImpl,
                     &ViaTemporary,
                     &ViaTemporary,
                     &GetDCBitmapInfoImpl,
                     &StretchCopyToBufferImpl,
                     &StretchBlendToBufferImpl,
                     &StretchKeyToBufferImpl,
                     &CopyBitmapRectImpl,
                     &BlendBitmapRectImpl,
                     &KeyBitmapRectImpl,
                     &StretchCopyBitmapImpl,
                     &StretchBlendBitmapImpl,
                     &StretchKeyBitmapImpl};
}

// ---- Unit start-up ----

void InitializeSpEffBmp() {
  g.mmx = SpDetectMmx();
  os::OSVersionInfoEx vi;
  if (os::GetVersionEx(&vi)) {
    os::DWORD major = vi.dwMajorVersion, minor = vi.dwMinorVersion;
    if ((major == 5 && minor <= 2) || major >= 6) {
      g.msimg32 = os::LoadLibrary("msimg32.dll");
      if (g.msimg32) {
        g.transparent_blt = reinterpret_cast<TspBltProc>(os::GetProcAddress(g.msimg32, "TransparentBlt"));
        g.alpha_blend = os::GetProcAddress(g.msimg32, "AlphaBlend");
        g.msimg32_loaded = true;
      }
    }
  }
  os::HDC screen = os::GetDC(0);
  int depth = os::GetDeviceCaps(screen, os::BITSPIXEL) * os::GetDeviceCaps(screen, os::PLANES);
  os::ReleaseDC(0, screen);
  SelectSpRoutines(SpDetectMmx(), g.msimg32_loaded ? g.transparent_blt : nullptr, depth);
}

void FinalizeSpEffBmp() {
  if (g.msimg32) os::FreeLibrary(g.msimg32);
  g.msimg32 = nullptr;
  g.msimg32_loaded = false;
  g.transparent_blt = nullptr;
  g.alpha_blend = nullptr;
  delete g.registry;
  g.registry = nullptr;
}

}  // namespace

const UnitEntry kSpEffBmpUnit{"speffbmp", &InitializeSpEffBmp, &FinalizeSpEffBmp};

const TspRoutines& SpRoutines() { return g_table; }

void SelectSpRoutines(bool mmx, TspBltProc transparent_blt, int screen_bits) {
  g.mmx = mmx;
  g_table = MakePlainTable();
  if (mmx) {
    g_table.BlendPixel = &BlendMmx;
    g_table.BlendRow = &BlendRowT<&BlendMmx>;
  }
  if (transparent_blt && screen_bits >= 24) {
    g.transparent_blt = transparent_blt;
    g_table.KeyToDC = &KeyToDCBlt;
  }
}

bool SpDetectMmx() {
  std::uint32_t r[4];
  if (!os::Cpuid(1, r)) return false;
  return ((r[0] >> 8) & 15) >= 5 && (r[3] & (1u << 23)) != 0;
}

bool SpMmxAvailable() { return g.mmx; }
bool SpMsimg32Loaded() { return g.msimg32_loaded; }

std::uint32_t SpBlendPixelPlain(std::uint32_t src, std::uint32_t dst) { return BlendPlain(src, dst); }
std::uint32_t SpBlendPixelMmx(std::uint32_t src, std::uint32_t dst) { return BlendMmx(src, dst); }

TspBitmap* FindBitmapByDC(os::HDC dc) {
  if (!g.registry) return nullptr;
  for (TspBitmap* b : *g.registry)
    if (b->DC == dc) return b;
  return nullptr;
}

// ---- TspBitmap ----

TspBitmap::TspBitmap() {
  BitmapInfo.bmiHeader.biSize = 40;
  BitmapInfo.bmiHeader.biPlanes = 1;
  BitmapInfo.bmiHeader.biBitCount = 32;
  BitmapInfo.bmiHeader.biCompression = os::BI_RGB;
}

TspBitmap::~TspBitmap() {
  if (g.registry) std::erase(*g.registry, this);
  if (Canvas) {
    Canvas->SetHandle(0);
    Canvas.reset();
  }
  ReleaseHandles();
}

void TspBitmap::ReleaseHandles() {
  if (DC) os::DeleteDC(DC);
  if (DibHandle) os::DeleteObject(DibHandle);
  DC = 0;
  DibHandle = 0;
  Bits = nullptr;
}

void TspBitmap::SetSize(int width, int height) {
  const int w = std::abs(width), h = std::abs(height);
  if (w == 0 || h == 0 || (w == Width && h == Height)) return;
  if (Canvas) Canvas->SetHandle(0);
  ReleaseHandles();
  BitmapInfo.bmiHeader.biWidth = w;
  BitmapInfo.bmiHeader.biHeight = -h;
  void* bits = nullptr;
  DibHandle = os::CreateDIBSection(0, &BitmapInfo.bmiHeader, nullptr, os::DIB_RGB_COLORS, &bits, 0, 0);
  if (!DibHandle || !bits) {
    if (DibHandle) os::DeleteObject(DibHandle);
    DibHandle = 0;
    throw Exception("Can't allocate the DIB handle");
  }
  Bits = static_cast<std::uint32_t*>(bits);
  DC = os::CreateCompatibleDC(0);
  if (!DC) {
    os::DeleteObject(DibHandle);
    DibHandle = 0;
    Bits = nullptr;
    throw Exception("Can't create compatible DC");
  }
  if (os::SelectObject(DC, DibHandle) == 0 && os::GetLastError() != os::kErrorSuccess) {
    ReleaseHandles();
    throw Exception("Can't bslect an object into DC");
  }
  auto& reg = Registry();
  if (std::find(reg.begin(), reg.end(), this) == reg.end()) reg.push_back(this);
  if (Canvas) Canvas->SetHandle(DC);
  Width = w;
  Height = h;
}

void TspBitmap::SetPixel(int x, int y, std::uint32_t color) {
  if (Bits && x >= 0 && x < Width && y >= 0 && y < Height) *PixelAddress(x, y) = color;
}

void TspBitmap::SetAlpha(std::uint8_t alpha) {
  if (!Empty()) g_table.SetAlphaRow(Bits, Width * Height, alpha);
}

void TspBitmap::UpdateAlphaFlag() {
  AlphaBlending = false;
  if (!Bits) return;
  const std::int64_t n = static_cast<std::int64_t>(Width) * Height;
  for (std::int64_t i = 0; i < n; ++i) {
    std::uint32_t a = Bits[i] >> 24;
    if (a != 0 && a != 255) {
      AlphaBlending = true;
      return;
    }
  }
}

void TspBitmap::BitBltFrom(os::HDC dc) {
  if (!Empty()) os::BitBlt(DC, 0, 0, Width, Height, dc, 0, 0, os::SRCCOPY);
  SetAlpha(255);
}

void TspBitmap::AssignKeyed(TGraphic& graphic) {
  SetSize(graphic.Width(), graphic.Height());
  if (Empty() || Width != graphic.Width() || Height != graphic.Height()) return;
  TBitmap temp;
  temp.SetPixelFormat(TPixelFormat::pf32bit);
  temp.SetSize(Width, Height);
  temp.Canvas().BrushColor = 0xFF00FF;
  temp.Canvas().Rectangle(-1, -1, Width + 1, Height + 1);
  temp.Canvas().StretchDraw(os::RECT{0, 0, Width, Height}, graphic);
  for (int y = 0; y < Height; ++y) {
    const auto* src = static_cast<const std::uint32_t*>(temp.ScanLine(y));
    std::uint32_t* dst = ScanLine(y);
    for (int x = 0; x < Width; ++x)
      if ((src[x] & 0xFFFFFFu) != 0xFF00FFu) dst[x] = src[x];
  }
  SetAlpha(255);
}

void TspBitmap::Assign(TPersistent* source) {
  if (auto* sp = dynamic_cast<TspBitmap*>(source)) {
    if (sp == this) return;
    SetSize(sp->Width, sp->Height);
    // An empty source has no pixels to copy (its size may not be ours); its
    // text and flags are copied all the same.
    if (!Empty() && !sp->Empty() && Width == sp->Width && Height == sp->Height)
      g_table.CopyRow(sp->Bits, Bits, Width * Height);
    UserText = sp->UserText;
    Transparent = sp->Transparent;
    AlphaBlending = sp->AlphaBlending;
    return;
  }
  if (auto* hb = dynamic_cast<TBitmap*>(source)) {
    SetSize(hb->Width(), hb->Height());
    if (Empty() || Width != hb->Width() || Height != hb->Height()) return;
    if (hb->PixelFormat() == TPixelFormat::pf32bit && hb->HandleType == TBitmapHandleType::bmDIB) {
      for (int y = 0; y < Height; ++y)
        std::memcpy(ScanLine(y), hb->ScanLine(y), static_cast<std::size_t>(Width) * 4);
      UpdateAlphaFlag();
    } else {
      BitBltFrom(hb->Canvas().Handle());
    }
    return;
  }
  if (auto* pic = dynamic_cast<TPicture*>(source)) {
    TGraphic* graphic = pic->Graphic();
    if (auto* hb = dynamic_cast<TBitmap*>(graphic)) {
      SetSize(hb->Width(), hb->Height());
      if (!Empty() && Width == hb->Width() && Height == hb->Height()) BitBltFrom(hb->Canvas().Handle());
    } else if (graphic) {
      AssignKeyed(*graphic);
    }
    return;
  }
  if (auto* graphic = dynamic_cast<TGraphic*>(source)) {
    AssignKeyed(*graphic);
    return;
  }
  TPersistent::Assign(source);
}

void TspBitmap::RenderInto(TBitmap& bitmap) {
  bitmap.SetPixelFormat(TPixelFormat::pf32bit);
  bitmap.SetSize(Width, Height);
  Draw(bitmap.Canvas().Handle(), 0, 0);
}

void TspBitmap::AssignTo(TPersistent* dest) {
  if (auto* pic = dynamic_cast<TPicture*>(dest)) {
    RenderInto(pic->Bitmap());
    return;
  }
  if (auto* hb = dynamic_cast<TBitmap*>(dest)) {
    RenderInto(*hb);
    return;
  }
  TPersistent::AssignTo(dest);
}

void TspBitmap::Draw(os::HDC dc, int x, int y) { Draw(dc, x, y, os::RECT{0, 0, Width, Height}); }

void TspBitmap::Draw(os::HDC dc, int x, int y, const os::RECT& source) {
  StretchDraw(dc,
              os::RECT{x, y, SaturatedInt(std::int64_t{x} + source.right - source.left),
                       SaturatedInt(std::int64_t{y} + source.bottom - source.top)},
              source);
}

void TspBitmap::StretchDraw(os::HDC dc, const os::RECT& dest, const os::RECT& source) {
  if (TspBitmap* target = FindBitmapByDC(dc)) {
    os::POINT org;
    os::GetWindowOrgEx(dc, &org);
    os::RECT d{SaturatedInt(std::int64_t{dest.left} - org.x), SaturatedInt(std::int64_t{dest.top} - org.y),
               SaturatedInt(std::int64_t{dest.right} - org.x), SaturatedInt(std::int64_t{dest.bottom} - org.y)};
    if (AlphaBlending)
      g_table.StretchBlendBitmap(*target, d, d, *this, source);
    else if (Transparent)
      g_table.StretchKeyBitmap(*target, d, d, *this, source);
    else
      g_table.StretchCopyBitmap(*target, d, d, *this, source);
    return;
  }
  const int dx = dest.left, dy = dest.top;
  const int dw = SaturatedInt(std::int64_t{dest.right} - dest.left), dh = SaturatedInt(std::int64_t{dest.bottom} - dest.top);
  const int sx = source.left, sy = source.top;
  const int sw = SaturatedInt(std::int64_t{source.right} - source.left);
  const int sh = SaturatedInt(std::int64_t{source.bottom} - source.top);
  if (AlphaBlending)
    g_table.AlphaToDC(dc, dx, dy, dw, dh, *this, sx, sy, sw, sh);
  else if (Transparent)
    g_table.KeyToDC(dc, dx, dy, dw, dh, *this, sx, sy, sw, sh);
  else
    g_table.StretchToDC(dc, dx, dy, dw, dh, *this, sx, sy, sw, sh);
}

}  // namespace vt
