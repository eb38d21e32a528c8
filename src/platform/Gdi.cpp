#include "platform/Gdi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ForkLocks.h"

namespace vt::os {
namespace {

struct Dib {
  int width = 0, height = 0;  // height positive
  bool top_down = false;
  int bits = 0;
  int stride = 0;
  std::uint8_t* pixels = nullptr;
  std::vector<RGBQUAD> colors;
  HDC selected_in = 0;
  BITMAPINFOHEADER header;
  ~Dib() { std::free(pixels); }
};

struct Palette {
  std::vector<PALETTEENTRY> entries;
  int selected_count = 0;
};

struct Dc {
  bool screen = false;
  HBITMAP bitmap = 0;
  HPALETTE palette = 0;
  int stretch_mode = BLACKONWHITE;
  POINT origin;
};

struct Table {
  std::mutex mutex;
  std::uintptr_t next = 0x40000000;  // apart from window and font handles
  std::map<std::uintptr_t, std::unique_ptr<Dib>> dibs;
  std::map<std::uintptr_t, std::unique_ptr<Palette>> palettes;
  std::map<std::uintptr_t, std::unique_ptr<Dc>> dcs;
  std::uintptr_t NewHandle() { return next += 4; }
};

Table& T() {
  static Table* table = [] {  // lives to the end of the process
    detail::EnsureForkHandlers();
    return new Table;
  }();
  return *table;
}

Dib* FindDib(Table& t, HGDIOBJ h) {
  auto it = t.dibs.find(h);
  return it == t.dibs.end() ? nullptr : it->second.get();
}
Palette* FindPalette(Table& t, HGDIOBJ h) {
  auto it = t.palettes.find(h);
  return it == t.palettes.end() ? nullptr : it->second.get();
}
Dc* FindDc(Table& t, HDC h) {
  auto it = t.dcs.find(h);
  return it == t.dcs.end() ? nullptr : it->second.get();
}

bool Fail(DWORD code) {
  SetLastError(code);
  return false;
}

std::uint32_t ToBgra(const RGBQUAD& q) {
  return q.rgbBlue | (q.rgbGreen << 8) | (q.rgbRed << 16) | (std::uint32_t{q.rgbReserved} << 24);
}

std::uint8_t* Row(const Dib& d, int y) {
  int mem_row = d.top_down ? y : d.height - 1 - y;
  return d.pixels + static_cast<std::int64_t>(mem_row) * d.stride;
}

std::uint32_t GetPx(const Dib& d, int x, int y) {
  const std::uint8_t* r = Row(d, y);
  switch (d.bits) {
    case 32: {
      std::uint32_t v;
      std::memcpy(&v, r + x * 4, 4);
      return v;
    }
    case 24:
      return r[x * 3] | (r[x * 3 + 1] << 8) | (r[x * 3 + 2] << 16);
    default: {
      int per_byte = 8 / d.bits;
      int shift = (per_byte - 1 - x % per_byte) * d.bits;
      unsigned index = (r[x / per_byte] >> shift) & ((1u << d.bits) - 1);
      return index < d.colors.size() ? (ToBgra(d.colors[index]) & 0xFFFFFFu) : 0;
    }
  }
}

void PutPx(Dib& d, int x, int y, std::uint32_t v) {
  std::uint8_t* r = Row(d, y);
  switch (d.bits) {
    case 32:
      std::memcpy(r + x * 4, &v, 4);
      return;
    case 24:
      r[x * 3] = v & 0xFF;
      r[x * 3 + 1] = (v >> 8) & 0xFF;
      r[x * 3 + 2] = (v >> 16) & 0xFF;
      return;
    default: {
      // The nearest entry of the colour table.
      unsigned best = 0;
      int best_d = 1 << 30;
      for (unsigned i = 0; i < d.colors.size(); ++i) {
        int db = int(d.colors[i].rgbBlue) - int(v & 0xFF), dg = int(d.colors[i].rgbGreen) - int((v >> 8) & 0xFF),
            dr = int(d.colors[i].rgbRed) - int((v >> 16) & 0xFF);
        int dist = db * db + dg * dg + dr * dr;
        if (dist < best_d) best_d = dist, best = i;
      }
      int per_byte = 8 / d.bits;
      int shift = (per_byte - 1 - x % per_byte) * d.bits;
      std::uint8_t mask = static_cast<std::uint8_t>(((1u << d.bits) - 1) << shift);
      std::uint8_t& b = r[x / per_byte];
      b = static_cast<std::uint8_t>((b & ~mask) | ((best << shift) & mask));
    }
  }
}

// The DIB selected into a DC, or null.
Dib* DcDib(Table& t, HDC h, Dc** dc_out = nullptr) {
  Dc* dc = FindDc(t, h);
  if (dc_out) *dc_out = dc;
  if (!dc || !dc->bitmap) return nullptr;
  return FindDib(t, dc->bitmap);
}

// Nearest-neighbour transfer shared by BitBlt, StretchBlt and TransparentBlt.
bool Transfer(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh, bool keyed,
              std::uint32_t key_bgr) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc *ddc = nullptr, *sdc = nullptr;
  Dib* dd = DcDib(t, dst, &ddc);
  Dib* sd = DcDib(t, src, &sdc);
  if (!ddc || !sdc) return Fail(kErrorInvalidHandle);
  if (w <= 0 || h <= 0 || sw <= 0 || sh <= 0) return Fail(kErrorInvalidParameter);
  if (!dd || !sd) return true;  // nothing to draw on or from
  x -= ddc->origin.x;
  y -= ddc->origin.y;
  sx -= sdc->origin.x;
  sy -= sdc->origin.y;
  int j0 = std::max(0, -y), j1 = std::min(h, dd->height - y);
  int i0 = std::max(0, -x), i1 = std::min(w, dd->width - x);
  for (int j = j0; j < j1; ++j) {
    int syy = sy + static_cast<int>(static_cast<std::int64_t>(j) * sh / h);
    if (syy < 0 || syy >= sd->height) continue;
    for (int i = i0; i < i1; ++i) {
      int sxx = sx + static_cast<int>(static_cast<std::int64_t>(i) * sw / w);
      if (sxx < 0 || sxx >= sd->width) continue;
      std::uint32_t v = GetPx(*sd, sxx, syy);
      if (keyed && (v & 0xFFFFFFu) == key_bgr) continue;
      PutPx(*dd, x + i, y + j, v);
    }
  }
  return true;
}

}  // namespace

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFOHEADER* header, const RGBQUAD* colors, std::uint32_t usage,
                         void** bits, std::uintptr_t section, std::uint32_t offset) {
  (void)section;
  (void)offset;
  if (bits) *bits = nullptr;
  if (!header || usage != DIB_RGB_COLORS || header->biCompression != BI_RGB || header->biPlanes != 1) {
    Fail(kErrorInvalidParameter);
    return 0;
  }
  int bc = header->biBitCount;
  if (bc != 1 && bc != 4 && bc != 8 && bc != 24 && bc != 32) {
    Fail(kErrorInvalidParameter);
    return 0;
  }
  std::int64_t w = header->biWidth, h = header->biHeight;
  bool top_down = h < 0;
  if (h < 0) h = -h;
  if (w <= 0 || h <= 0 || w > 0x7FFFFFF || h > 0x7FFFFFF) {
    Fail(kErrorInvalidParameter);
    return 0;
  }
  std::int64_t stride = ((w * bc + 31) & ~std::int64_t{31}) / 8;
  if (stride * h > kMaxDibBytes) {
    Fail(kErrorNotEnoughMemory);
    return 0;
  }
  auto dib = std::make_unique<Dib>();
  dib->pixels = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(stride * h), 1));
  if (!dib->pixels) {
    Fail(kErrorNotEnoughMemory);
    return 0;
  }
  dib->width = static_cast<int>(w);
  dib->height = static_cast<int>(h);
  dib->top_down = top_down;
  dib->bits = bc;
  dib->stride = static_cast<int>(stride);
  dib->header = *header;
  if (bc <= 8) {
    std::uint32_t n = header->biClrUsed ? std::min<std::uint32_t>(header->biClrUsed, 1u << bc) : (1u << bc);
    dib->colors.assign(n, RGBQUAD{});
    if (colors) std::copy(colors, colors + n, dib->colors.begin());
  }
  Table& t = T();
  std::lock_guard lock(t.mutex);
  if (dc && !FindDc(t, dc)) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  HBITMAP h_out = t.NewHandle();
  if (bits) *bits = dib->pixels;
  t.dibs[h_out] = std::move(dib);
  return h_out;
}

HDC CreateCompatibleDC(HDC dc) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  if (dc && !FindDc(t, dc)) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  HDC h = t.NewHandle();
  t.dcs[h] = std::make_unique<Dc>();
  return h;
}

bool DeleteDC(HDC h) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc || dc->screen) return Fail(kErrorInvalidHandle);
  if (Dib* d = FindDib(t, dc->bitmap)) d->selected_in = 0;
  if (Palette* p = FindPalette(t, dc->palette)) --p->selected_count;
  t.dcs.erase(h);
  return true;
}

HGDIOBJ SelectObject(HDC h, HGDIOBJ object) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  Dib* d = FindDib(t, object);
  if (!dc || dc->screen || !d) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  if (d->selected_in && d->selected_in != h) {
    Fail(kErrorInvalidParameter);
    return 0;
  }
  HGDIOBJ old = dc->bitmap;
  if (Dib* od = FindDib(t, old)) od->selected_in = 0;
  dc->bitmap = object;
  d->selected_in = h;
  SetLastError(kErrorSuccess);
  return old;
}

bool DeleteObject(HGDIOBJ object) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  if (Dib* d = FindDib(t, object)) {
    if (d->selected_in) return Fail(kErrorInvalidParameter);
    t.dibs.erase(object);
    return true;
  }
  if (Palette* p = FindPalette(t, object)) {
    if (p->selected_count > 0) return Fail(kErrorInvalidParameter);
    t.palettes.erase(object);
    return true;
  }
  return DeleteFontObject(object);
}

HGDIOBJ GetCurrentObject(HDC h, std::uint32_t type) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc) return 0;
  if (type == OBJ_BITMAP) return dc->bitmap;
  if (type == OBJ_PAL) return dc->palette;
  return 0;
}

int GetObject(HGDIOBJ object, int size, void* out) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  if (Dib* d = FindDib(t, object)) {
    BITMAP bm;
    bm.bmWidth = d->width;
    bm.bmHeight = d->height;
    bm.bmWidthBytes = d->stride;
    bm.bmPlanes = 1;
    bm.bmBitsPixel = static_cast<std::uint16_t>(d->bits);
    bm.bmBits = d->pixels;
    if (out && size >= static_cast<int>(sizeof(DIBSECTION))) {
      DIBSECTION ds;
      ds.dsBm = bm;
      ds.dsBmih = d->header;
      std::memcpy(out, &ds, sizeof ds);
      return sizeof(DIBSECTION);
    }
    if (out && size >= static_cast<int>(sizeof(BITMAP))) {
      std::memcpy(out, &bm, sizeof bm);
      return sizeof(BITMAP);
    }
    return 0;
  }
  if (Palette* p = FindPalette(t, object)) {
    if (out && size >= 2) {
      auto n = static_cast<std::uint16_t>(p->entries.size());
      std::memcpy(out, &n, 2);
      return 2;
    }
    return 0;
  }
  SetLastError(kErrorInvalidHandle);
  return 0;
}

HDC GetDC(std::uintptr_t hwnd) {
  (void)hwnd;
  Table& t = T();
  std::lock_guard lock(t.mutex);
  HDC h = t.NewHandle();
  auto dc = std::make_unique<Dc>();
  dc->screen = true;
  t.dcs[h] = std::move(dc);
  return h;
}

int ReleaseDC(std::uintptr_t hwnd, HDC h) {
  (void)hwnd;
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc || !dc->screen) return 0;
  t.dcs.erase(h);
  return 1;
}

int GetDeviceCaps(HDC h, int index) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  if (!FindDc(t, h)) return 0;
  if (index == BITSPIXEL) return 32;
  if (index == PLANES) return 1;
  return 0;
}

bool GetWindowOrgEx(HDC h, POINT* origin) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc) return Fail(kErrorInvalidHandle);
  if (origin) *origin = dc->origin;
  return true;
}

bool SetWindowOrgEx(HDC h, int x, int y, POINT* old) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc) return Fail(kErrorInvalidHandle);
  if (old) *old = dc->origin;
  dc->origin = POINT{x, y};
  return true;
}

int SetStretchBltMode(HDC h, int mode) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc || mode < BLACKONWHITE || mode > HALFTONE) return 0;
  int old = dc->stretch_mode;
  dc->stretch_mode = mode;
  return old;
}

bool BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int sx, int sy, std::uint32_t rop) {
  if (rop != SRCCOPY) return Fail(kErrorInvalidParameter);
  return Transfer(dst, x, y, width, height, src, sx, sy, width, height, false, 0);
}

bool StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int sx, int sy, int swidth, int sheight,
                std::uint32_t rop) {
  if (rop != SRCCOPY) return Fail(kErrorInvalidParameter);
  return Transfer(dst, x, y, width, height, src, sx, sy, swidth, sheight, false, 0);
}

bool TransparentBlt(HDC dst, int x, int y, int width, int height, HDC src, int sx, int sy, int swidth,
                    int sheight, COLORREF key) {
  std::uint32_t bgr = ((key & 0xFF) << 16) | (key & 0xFF00) | ((key >> 16) & 0xFF);
  return Transfer(dst, x, y, width, height, src, sx, sy, swidth, sheight, true, bgr);
}

HPALETTE CreatePalette(std::uint16_t version, const PALETTEENTRY* entries, int count) {
  if (version != 0x300 || !entries || count < 1 || count > 1024) {
    Fail(kErrorInvalidParameter);
    return 0;
  }
  auto p = std::make_unique<Palette>();
  p->entries.assign(entries, entries + count);
  Table& t = T();
  std::lock_guard lock(t.mutex);
  HPALETTE h = t.NewHandle();
  t.palettes[h] = std::move(p);
  return h;
}

HPALETTE CreateHalftonePalette(HDC dc) {
  (void)dc;
  // A 6x6x6 colour cube followed by 40 grey levels.
  std::vector<PALETTEENTRY> e;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        e.push_back(PALETTEENTRY{std::uint8_t(r * 51), std::uint8_t(g * 51), std::uint8_t(b * 51), 0});
  for (int i = 0; i < 40; ++i) {
    auto v = static_cast<std::uint8_t>(i * 255 / 39);
    e.push_back(PALETTEENTRY{v, v, v, 0});
  }
  return CreatePalette(0x300, e.data(), static_cast<int>(e.size()));
}

std::uint32_t GetPaletteEntries(HPALETTE h, std::uint32_t start, std::uint32_t count, PALETTEENTRY* entries) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Palette* p = FindPalette(t, h);
  if (!p) return 0;
  if (!entries) return static_cast<std::uint32_t>(p->entries.size());
  std::uint32_t n = 0;
  for (; n < count && start + n < p->entries.size(); ++n) entries[n] = p->entries[start + n];
  return n;
}

bool ResizePalette(HPALETTE h, std::uint32_t count) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Palette* p = FindPalette(t, h);
  if (!p || count < 1 || count > 1024) return Fail(kErrorInvalidParameter);
  p->entries.resize(count);
  return true;
}

HPALETTE SelectPalette(HDC h, HPALETTE palette, bool force_background) {
  (void)force_background;
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  Palette* p = FindPalette(t, palette);
  if (!dc || !p) {
    Fail(kErrorInvalidHandle);
    return 0;
  }
  HPALETTE old = dc->palette;
  if (Palette* op = FindPalette(t, old)) --op->selected_count;
  dc->palette = palette;
  ++p->selected_count;
  return old;
}

std::uint32_t RealizePalette(HDC h) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = FindDc(t, h);
  if (!dc) return 0;
  Palette* p = FindPalette(t, dc->palette);
  return p ? static_cast<std::uint32_t>(p->entries.size()) : 0;
}

std::uint32_t SetDIBColorTable(HDC h, std::uint32_t start, std::uint32_t count, const RGBQUAD* colors) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dib* d = DcDib(t, h);
  if (!d || !colors) return 0;
  std::uint32_t n = 0;
  for (; n < count && start + n < d->colors.size(); ++n) d->colors[start + n] = colors[n];
  return n;
}

std::uint32_t GetDIBColorTable(HDC h, std::uint32_t start, std::uint32_t count, RGBQUAD* colors) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dib* d = DcDib(t, h);
  if (!d || !colors) return 0;
  std::uint32_t n = 0;
  for (; n < count && start + n < d->colors.size(); ++n) colors[n] = d->colors[start + n];
  return n;
}

bool FillRect(HDC h, const RECT& rect, COLORREF color) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  Dc* dc = nullptr;
  Dib* d = DcDib(t, h, &dc);
  if (!dc) return Fail(kErrorInvalidHandle);
  if (!d) return true;
  std::uint32_t v = ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
  int l = std::max(0, rect.left - dc->origin.x), r = std::min(d->width, rect.right - dc->origin.x);
  int top = std::max(0, rect.top - dc->origin.y), b = std::min(d->height, rect.bottom - dc->origin.y);
  for (int y = top; y < b; ++y)
    for (int x = l; x < r; ++x) PutPx(*d, x, y, v);
  return true;
}

bool IsGdiHandle(std::uintptr_t h) {
  Table& t = T();
  std::lock_guard lock(t.mutex);
  return FindDib(t, h) || FindPalette(t, h) || FindDc(t, h);
}

std::mutex& detail::GdiObjectsLock() { return T().mutex; }

}  // namespace vt::os
