#include "skins/SpPngImage.h"

#include "skins/SpPngIdat.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace vt {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// The bytes the zTXt texts of a file may inflate to: 1 MiB, and 16 more for
// each byte of the whole file. Reading spends it on every inflated byte,
// kept or not, and a text past what is left reads as a failed inflate; the
// writer refuses texts that would not all fit.
std::int64_t PngTextAllowance(std::int64_t file_bytes) { return (std::int64_t{1} << 20) + 16 * file_bytes; }

TspPngPointerList* chunk_classes = nullptr;

bool NameIs(const char a[4], const char* b) { return std::memcmp(a, b, 4) == 0; }

// Chunk names are four ASCII letters; an upper-case first one marks a chunk
// that a reader must understand.
bool NameIsLetters(const char name[4]) {
  return std::all_of(name, name + 4,
                     [](char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); });
}
bool IsCritical(const char name[4]) { return (name[0] & 0x20) == 0; }

// A chunk name fit for a message.
std::string ShownName(const char name[4]) {
  std::string shown(name, 4);
  for (char& ch : shown)
    if (static_cast<unsigned char>(ch) < 32 || static_cast<unsigned char>(ch) > 126) ch = '?';
  return shown;
}

// Where the chunks of an image may stand, fed the chunks after the header in
// order; shared by the reader and the writer.
class ChunkOrder {
 public:
  explicit ChunkOrder(int color_type) : color_(color_type) {}
  bool Data() const { return data_; }

  // Why the chunk cannot come next ("" when it can); takes it when it can.
  std::string Next(const char name[4]) {
    const bool grey = color_ == 0 || color_ == 4;
    if (NameIs(name, "IHDR")) return "PNG image has more than one header chunk";
    if (NameIs(name, "PLTE")) {
      if (palette_) return "PNG image has more than one PLTE chunk";
      if (grey) return "PNG chunk PLTE is not allowed in a grey image";
      if (data_) return "PNG chunk PLTE comes after the image data";
      // Readers drop a colour image's transparency that comes before its suggested palette.
      if (transparency_) return "PNG chunk tRNS comes before the PLTE chunk";
      palette_ = true;
    } else if (NameIs(name, "IDAT") || NameIs(name, "IEND")) {
      if (color_ == 3 && !palette_) return "PNG palette image has no PLTE chunk before its image data";
    } else if (NameIs(name, "gAMA") || NameIs(name, "tRNS")) {
      // Colours and transparency come before the pixels; gamma also before the palette.
      const std::string shown(name, 4);
      if (data_) return "PNG chunk " + shown + " comes after the image data";
      if (NameIs(name, "gAMA") && palette_) return "PNG chunk gAMA comes after the PLTE chunk";
      if (NameIs(name, "tRNS") && (color_ == 4 || color_ == 6))
        return "PNG chunk tRNS is not allowed in an image with alpha";
      if (NameIs(name, "tRNS") && color_ == 3 && !palette_)
        return "PNG chunk tRNS comes before the PLTE chunk";
      if (NameIs(name, "tRNS")) transparency_ = true;
    }
    // One run of IDAT chunks: the reader's IDAT chunk reads all that follow it.
    if (NameIs(name, "IDAT")) {
      if (after_data_) return "PNG image data is split by another chunk";
      data_ = true;
    } else if (data_) {
      after_data_ = true;
    }
    return {};
  }

 private:
  int color_;
  bool palette_ = false, transparency_ = false, data_ = false, after_data_ = false;
};

// Why a gAMA, tRNS or IEND chunk of size bytes does not fit the image, or "".
// A palette image's transparency has no more entries than its palette nor
// than its bit depth can index (readers take no more palette entries).
std::string SizeProblem(const char name[4], std::int64_t size, int color_type, int bit_depth,
                        int palette_entries) {
  std::int64_t want = -1;
  if (NameIs(name, "gAMA")) want = 4;
  if (NameIs(name, "IEND")) want = 0;
  if (NameIs(name, "tRNS")) {
    if (color_type == 3 && (size < 1 || size > palette_entries))
      return Format("%d entries for a palette of %d", size, palette_entries);
    if (color_type == 3 && bit_depth < 8 && size > (1 << bit_depth))
      return Format("%d entries where bit depth %d indexes %d", size, bit_depth, 1 << bit_depth);
    if (color_type == 0) want = 2;
    if (color_type == 2) want = 6;
  }
  return want < 0 || size == want ? std::string() : Format("size %d, not %d", size, want);
}

// Chunks an image holds once: a reader leaves out second copies (their
// objects are not small). Indexes into a mask of those seen.
constexpr const char* kOnce[] = {"tRNS", "gAMA", "pHYs", "tIME"};
int OnceIndex(const char name[4]) {
  for (int k = 0; k < static_cast<int>(std::size(kOnce)); ++k)
    if (NameIs(name, kOnce[k])) return k;
  return -1;
}

// The size of a pHYs or tIME chunk: a reader leaves out one of another
// size. -1 for other chunks.
std::int64_t FixedSize(const char name[4]) { return NameIs(name, "pHYs") ? 9 : NameIs(name, "tIME") ? 7 : -1; }

}  // namespace

// ---- Grey palettes of the header and the image data ----

namespace {

// A palette of `entries` grey levels, each shown through the owner's gamma table.
os::HPALETTE CreateGreyPalette(const TspPngImage* owner, int entries) {
  std::vector<os::PALETTEENTRY> pe(static_cast<std::size_t>(entries));
  for (int i = 0; i < entries; ++i) {
    const std::int64_t level = (static_cast<std::int64_t>(i) * 255 * 2 + (entries - 1)) / (2 * (entries - 1));
    const std::uint8_t v = owner ? owner->GammaTable[level] : 0;
    pe[i] = os::PALETTEENTRY{v, v, v, 0};
  }
  return os::CreatePalette(0x300, pe.data(), entries);
}

}  // namespace

using namespace png_detail;

namespace {

template <typename T>
TspPngLayer* Make(TspPngImage* owner) {
  return new T(owner);
}

}  // namespace

// ---- Helpers ----

std::uint32_t PngCrc32(std::uint32_t crc, const void* buffer, std::size_t count) {
  // zlib's routine conditions the value itself; ours is the running register.
  const auto* p = static_cast<const Bytef*>(buffer);
  uLong c = crc ^ 0xFFFFFFFFu;
  while (count > 0) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(count, 1u << 30));
    c = crc32(c, p, n);
    p += n;
    count -= n;
  }
  return static_cast<std::uint32_t>(c) ^ 0xFFFFFFFFu;
}

std::uint32_t SwapBytes32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
std::uint16_t SwapBytes16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

std::string GetChunkName(const TspPngChunkClass& cls) {
  std::string n = cls.class_name;
  return n.size() > 11 ? n.substr(11) : std::string();
}

// ---- Pointer list ----

void TspPngPointerList::Add(void* p) {
  SetCount(count_ + 1);
  items_[count_ - 1] = p;
}

void TspPngPointerList::SetCount(int n) {
  if (n <= 0) {
    std::free(items_);
    items_ = nullptr;
    count_ = 0;
    return;
  }
  void* grown = std::realloc(items_, sizeof(void*) * static_cast<std::size_t>(n));
  if (!grown) throw Exception("Out of memory");
  items_ = static_cast<void**>(grown);
  for (int i = count_; i < n; ++i) items_[i] = nullptr;
  count_ = n;
}

void* TspPngPointerList::Remove(void* p) {
  for (int i = count_ - 1; i >= 0; --i) {
    if (items_[i] != p) continue;
    std::memmove(items_ + i, items_ + i + 1, sizeof(void*) * static_cast<std::size_t>(count_ - i - 1));
    SetCount(count_ - 1);
    return p;
  }
  return nullptr;
}

// ---- Registry ----

void RegisterPngChunkClass(const TspPngChunkClass* cls) {
  if (!chunk_classes) chunk_classes = new TspPngPointerList;
  chunk_classes->Add(new const TspPngChunkClass*(cls));
}

void RegisterPngChunkClasses() {
  for (const TspPngChunkClass* c :
       {&TspPngLayerIEND::kClass, &TspPngLayerIHDR::kClass, &TspPngLayerIDAT::kClass, &TspPngLayerPLTE::kClass,
        &TspPngLayergAMA::kClass, &TspPngLayertRNS::kClass, &TspPngLayerpHYs::kClass, &TspPngLayertIME::kClass,
        &TspPngLayertEXt::kClass, &TspPngLayerzTXt::kClass})
    RegisterPngChunkClass(c);
}

const TspPngChunkClass* FindPngChunkClass(const char name[4]) {
  if (!chunk_classes) return nullptr;
  for (int i = 0; i < chunk_classes->Count(); ++i) {
    const TspPngChunkClass* c = *static_cast<const TspPngChunkClass**>(chunk_classes->Items(i));
    std::string n = GetChunkName(*c);
    if (n.size() == 4 && std::memcmp(n.data(), name, 4) == 0) return c;
  }
  return nullptr;
}

const TspPngPointerList* PngChunkClasses() { return chunk_classes; }

namespace {

void InitializeSpPngImage() {
  RegisterPngChunkClasses();
}

void FinalizeSpPngImage() {
  if (!chunk_classes) return;
  for (int i = 0; i < chunk_classes->Count(); ++i)
    delete static_cast<const TspPngChunkClass**>(chunk_classes->Items(i));
  delete chunk_classes;
  chunk_classes = nullptr;
}

}  // namespace

const UnitEntry kSpPngImageUnit{"sppngimage", &InitializeSpPngImage, &FinalizeSpPngImage};

// ---- Base chunk ----

const TspPngChunkClass TspPngLayer::kClass{"TspPngLayer", &Make<TspPngLayer>};
const TspPngChunkClass TspPngLayerIEND::kClass{"TspPngLayerIEND", &Make<TspPngLayerIEND>};
const TspPngChunkClass TspPngLayerIHDR::kClass{"TspPngLayerIHDR", &Make<TspPngLayerIHDR>};
const TspPngChunkClass TspPngLayerPLTE::kClass{"TspPngLayerPLTE", &Make<TspPngLayerPLTE>};
const TspPngChunkClass TspPngLayertRNS::kClass{"TspPngLayertRNS", &Make<TspPngLayertRNS>};
const TspPngChunkClass TspPngLayergAMA::kClass{"TspPngLayergAMA", &Make<TspPngLayergAMA>};
const TspPngChunkClass TspPngLayerpHYs::kClass{"TspPngLayerpHYs", &Make<TspPngLayerpHYs>};
const TspPngChunkClass TspPngLayertIME::kClass{"TspPngLayertIME", &Make<TspPngLayertIME>};
const TspPngChunkClass TspPngLayertEXt::kClass{"TspPngLayertEXt", &Make<TspPngLayertEXt>};
const TspPngChunkClass TspPngLayerzTXt::kClass{"TspPngLayerzTXt", &Make<TspPngLayerzTXt>};
const TspPngChunkClass TspPngLayerIDAT::kClass{"TspPngLayerIDAT", &Make<TspPngLayerIDAT>};

TspPngLayer::TspPngLayer(TspPngImage* owner, const TspPngChunkClass& cls) : owner_(owner) {
  const std::string name = GetChunkName(cls);
  if (name.size() == 4) std::memcpy(ChunkName, name.data(), 4);
}

void TspPngLayer::SetDataSize(int n) {
  if (n < 0) n = 0;
  if (n == data_size_) return;
  std::unique_ptr<std::uint8_t[]> grown;
  if (n > 0) {
    grown.reset(new std::uint8_t[static_cast<std::size_t>(n) + 1]());
    std::memcpy(grown.get(), Data(), static_cast<std::size_t>(std::min(n, data_size_)));
  }
  data_ = std::move(grown);
  data_size_ = n;
}

const std::string& TspPngLayer::FailReason() const {
  static const std::string none;
  return fail_reason_ ? *fail_reason_ : none;
}

bool TspPngLayer::Refuse(std::string reason) {
  fail_reason_ = std::make_unique<std::string>(std::move(reason));
  return false;
}

bool TspPngLayer::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  // A length beyond the data at hand cannot be a whole chunk.
  fail_reason_.reset();
  if (size < 0 || size > Remaining(stream)) return Refuse("chunk length beyond the end of the data");
  SetDataSize(size);
  if (size > 0) stream.Read(Data(), size);
  std::uint32_t stored = 0;
  if (!ReadBE32(stream, stored)) return Refuse("data ends before the CRC");
  std::uint32_t crc = PngCrc32(0xFFFFFFFFu, chunk_name, 4);
  crc = PngCrc32(crc, Data(), static_cast<std::size_t>(size));
  return stored == (crc ^ 0xFFFFFFFFu) || Refuse("CRC mismatch");
}

bool TspPngLayer::SaveToStream(TStream& stream) {
  WriteChunk(stream, ChunkName, Data(), static_cast<std::uint32_t>(DataSize()));
  return true;
}

void TspPngLayer::Assign(TspPngLayer* source) {
  std::memcpy(ChunkName, source->ChunkName, 4);
  SetDataSize(source->DataSize());
  std::memcpy(Data(), source->Data(), static_cast<std::size_t>(source->DataSize()));
}

// ---- IHDR ----

TspPngLayerIHDR::TspPngLayerIHDR(TspPngImage* owner) : TspPngLayer(owner, kClass) {}

TspPngLayerIHDR::~TspPngLayerIHDR() { FreeImageBuffers(); }

void TspPngLayerIHDR::FreeImageBuffers() {
  if (Owner() && Owner()->Canvas && Owner()->Canvas->Handle() == DC) Owner()->Canvas->SetHandle(0);
  if (DC) os::DeleteDC(DC);
  if (DibHandle) os::DeleteObject(DibHandle);
  if (Palette) os::DeleteObject(Palette);
  DC = 0;
  DibHandle = 0;
  Palette = 0;
  Bits = nullptr;
  std::free(LowBytePlane);
  std::free(AlphaPlane);
  LowBytePlane = nullptr;
  AlphaPlane = nullptr;
  HasPalette = false;
}

bool TspPngLayerIHDR::PrepareImageBuffers() {
  FreeImageBuffers();
  BitmapInfo = os::BITMAPINFO256{};
  RowStride = 0;
  const int bit_count = DibBitCount(ColorType, BitDepth);
  HasPalette = bit_count != 0 && bit_count != 24;
  if (bit_count == 0) return true;  // nothing this image can hold
  auto& h = BitmapInfo.bmiHeader;
  h.biSize = 40;
  h.biWidth = static_cast<std::int32_t>(Width);
  h.biHeight = static_cast<std::int32_t>(Height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(bit_count);
  h.biCompression = os::BI_RGB;
  RowStride = static_cast<int>(((static_cast<std::int64_t>(bit_count) * Width + 31) & ~std::int64_t{31}) / 8);
  const std::size_t plane = static_cast<std::size_t>(Width) * Height;
  if (ColorType == 4 || ColorType == 6) {
    AlphaPlane = static_cast<std::uint8_t*>(std::calloc(plane ? plane : 1, 1));
    if (!AlphaPlane) return false;
  }
  if (BitDepth == 16) {
    LowBytePlane = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(RowStride) * Height + 1, 1));
    if (!LowBytePlane) return false;
  }
  DC = os::CreateCompatibleDC(0);
  if (!DC) return false;
  if (Owner() && Owner()->Canvas) Owner()->Canvas->SetHandle(DC);
  if (HasPalette) {
    if (ColorType == 3) {
      Palette = os::CreateHalftonePalette(DC);
    } else {
      Palette = CreateGreyPalette(Owner(), BitDepth == 16 ? 256 : 1 << BitDepth);
    }
    if (!Palette) return false;
    const std::uint32_t n = 1u << bit_count;
    os::ResizePalette(Palette, n);
    h.biClrUsed = n;
    os::SelectPalette(DC, Palette, false);
    os::RealizePalette(DC);
    os::PALETTEENTRY pe[256];
    std::uint32_t got = os::GetPaletteEntries(Palette, 0, std::min<std::uint32_t>(n, 256), pe);
    for (std::uint32_t i = 0; i < got; ++i)
      BitmapInfo.bmiColors[i] = os::RGBQUAD{pe[i].peBlue, pe[i].peGreen, pe[i].peRed, 0};
  }
  void* bits = nullptr;
  DibHandle = os::CreateDIBSection(DC, &h, BitmapInfo.bmiColors, os::DIB_RGB_COLORS, &bits, 0, 0);
  if (!DibHandle || !bits) return false;
  os::SelectObject(DC, DibHandle);
  Bits = static_cast<std::uint8_t*>(bits);
  // The platform's DIB sections start zeroed: pages are taken only as rows
  // are decoded into them.
  return true;
}

bool TspPngLayerIHDR::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  if (DataSize() != 13) return Refuse("header not 13 bytes");
  const std::uint8_t* d = Data();
  Width = GetBE32(d);
  Height = GetBE32(d + 4);
  BitDepth = d[8];
  ColorType = d[9];
  CompressionMethod = d[10];
  FilterMethod = d[11];
  InterlaceMethod = d[12];
  if (Width > 65535 || Height > 65535) return Refuse("width or height above 65535");
  if (CompressionMethod != 0) return Refuse("unknown compression method");
  if (InterlaceMethod > 1) return Refuse("unknown interlace method");
  // No buffers or rows exist for what PNG does not define.
  if (!ValidColourAndDepth(ColorType, BitDepth)) return Refuse("invalid colour type and bit depth");
  if (Owner()) {
    Owner()->InterlaceMethod = InterlaceMethod;
    if (static_cast<std::int64_t>(Width) * Height > Owner()->MaxPixels) return Refuse("image exceeds the pixel limit");
  }
  // Deflate makes at most 1032 bytes of one: a large image whose rows the
  // rest of the file cannot hold is refused before its buffers are made.
  // Smaller ones are taken as they come (their buffers take memory only as
  // rows are decoded).
  constexpr std::int64_t kMaxDeflateRatio = 1032, kUncheckedData = std::int64_t{64} << 20;
  const std::int64_t data = ImageDataSize(*this);
  if (data > kUncheckedData && data > Remaining(stream) * kMaxDeflateRatio)
    return Refuse("image larger than the rest of the file can hold");
  return PrepareImageBuffers() || Refuse("cannot create the image buffers");
}

bool TspPngLayerIHDR::SaveToStream(TStream& stream) {
  if (BitDepth == 2) BitDepth = 4;
  SetDataSize(13);
  std::uint8_t* d = Data();
  PutBE32(d, Width);
  PutBE32(d + 4, Height);
  d[8] = BitDepth;
  d[9] = ColorType;
  d[10] = CompressionMethod;
  d[11] = FilterMethod;
  d[12] = Owner() ? Owner()->InterlaceMethod : InterlaceMethod;
  return TspPngLayer::SaveToStream(stream);
}

void TspPngLayerIHDR::Assign(TspPngLayer* source) {
  auto* src = dynamic_cast<TspPngLayerIHDR*>(source);
  if (!src || src == this) return;
  Width = src->Width;
  Height = src->Height;
  BitDepth = src->BitDepth;
  ColorType = src->ColorType;
  CompressionMethod = src->CompressionMethod;
  FilterMethod = src->FilterMethod;
  InterlaceMethod = src->InterlaceMethod;
  if (!PrepareImageBuffers()) return;
  if (Bits && src->Bits && RowStride == src->RowStride)
    std::memcpy(Bits, src->Bits, static_cast<std::size_t>(RowStride) * Height);
  if (AlphaPlane && src->AlphaPlane) std::memcpy(AlphaPlane, src->AlphaPlane, static_cast<std::size_t>(Width) * Height);
  std::memcpy(BitmapInfo.bmiColors, src->BitmapInfo.bmiColors, sizeof BitmapInfo.bmiColors);
  if (DC) os::SetDIBColorTable(DC, 0, 256, BitmapInfo.bmiColors);
  if (Palette && src->Palette) {
    std::uint32_t n = os::GetPaletteEntries(src->Palette, 0, 0, nullptr);
    std::vector<os::PALETTEENTRY> pe(n);
    os::GetPaletteEntries(src->Palette, 0, n, pe.data());
    os::ResizePalette(Palette, n);
    // Replace the entries: a palette of the source's entries.
    os::HPALETTE copy = os::CreatePalette(0x300, pe.data(), static_cast<int>(n));
    if (copy) {
      os::SelectPalette(DC, copy, false);
      os::DeleteObject(Palette);
      Palette = copy;
    }
  }
}

// ---- PLTE ----

bool TspPngLayerPLTE::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  if (DataSize() % 3 != 0 || DataSize() / 3 > 256) return Refuse("palette size not 3 bytes per entry up to 256 entries");
  if (DataSize() == 0) return Refuse("palette without entries");
  PaletteCount = DataSize() / 3;
  if (!Owner()) return true;
  std::vector<os::PALETTEENTRY> pe(static_cast<std::size_t>(PaletteCount));
  const std::uint8_t* d = Data();
  for (int i = 0; i < PaletteCount; ++i)
    pe[i] = os::PALETTEENTRY{Owner()->GammaTable[d[i * 3]], Owner()->GammaTable[d[i * 3 + 1]],
                             Owner()->GammaTable[d[i * 3 + 2]], 0};
  os::HPALETTE pal = os::CreatePalette(0x300, pe.data(), PaletteCount);
  if (pal) Owner()->SetPalette(pal);
  return true;
}

int TspPngLayerPLTE::EntriesToWrite() const {
  const TspPngLayerIHDR* h = Owner() ? Owner()->Header() : nullptr;
  const int count = PaletteCount == 0 && h ? static_cast<int>(h->BitmapInfo.bmiHeader.biClrUsed) : PaletteCount;
  return std::clamp(count, 0, 256);
}

bool TspPngLayerPLTE::SaveToStream(TStream& stream) {
  TspPngLayerIHDR* h = Owner() ? Owner()->Header() : nullptr;
  PaletteCount = EntriesToWrite();
  SetDataSize(PaletteCount * 3);
  os::PALETTEENTRY pe[256];
  std::uint32_t got = h && h->Palette ? os::GetPaletteEntries(h->Palette, 0, 256, pe) : 0;
  // Without an owner there is no gamma to undo.
  const std::uint8_t* inverse = Owner() ? Owner()->InverseGammaTable : nullptr;
  auto sample = [inverse](std::uint8_t v) { return inverse ? inverse[v] : v; };
  std::uint8_t* d = Data();
  for (int i = 0; i < PaletteCount; ++i) {
    os::PALETTEENTRY e = static_cast<std::uint32_t>(i) < got ? pe[i] : os::PALETTEENTRY{};
    d[i * 3] = sample(e.peRed);
    d[i * 3 + 1] = sample(e.peGreen);
    d[i * 3 + 2] = sample(e.peBlue);
  }
  return TspPngLayer::SaveToStream(stream);
}

void TspPngLayerPLTE::Assign(TspPngLayer* source) {
  if (auto* src = dynamic_cast<TspPngLayerPLTE*>(source)) PaletteCount = src->PaletteCount;
}

// ---- tRNS ----

TspPngLayertRNS::TspPngLayertRNS(TspPngImage* owner) : TspPngLayer(owner, kClass) { std::memset(AlphaTable, 255, 256); }

bool TspPngLayertRNS::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  std::memset(AlphaTable, 255, 256);
  const int n = std::min(DataSize(), 256);
  std::memcpy(AlphaTable, Data(), static_cast<std::size_t>(n));
  TspPngLayerIHDR* h = Owner() ? Owner()->Header() : nullptr;
  if (!h) return true;
  if (h->ColorType == 0 || h->ColorType == 2) {
    SingleTransparency = true;
  } else if (h->ColorType == 3) {
    // One palette entry below 255: a single transparent colour.
    int below = 0;
    for (int i = 0; i < n; ++i)
      if (Data()[i] < 255) ++below;
    SingleTransparency = below == 1;
  }
  return true;
}

bool TspPngLayertRNS::SaveToStream(TStream& stream) {
  if (DataSize() <= 256) std::memcpy(Data(), AlphaTable, static_cast<std::size_t>(DataSize()));
  return TspPngLayer::SaveToStream(stream);
}

void TspPngLayertRNS::Assign(TspPngLayer* source) {
  if (auto* src = dynamic_cast<TspPngLayertRNS*>(source)) {
    std::memcpy(AlphaTable, src->AlphaTable, 256);
    SingleTransparency = src->SingleTransparency;
  }
  TspPngLayer::Assign(source);
}

// ---- gAMA ----

TspPngLayergAMA::TspPngLayergAMA(TspPngImage* owner) : TspPngLayer(owner, kClass) { SetGamma(1); }

std::uint32_t TspPngLayergAMA::Gamma() const { return DataSize() >= 4 ? GetBE32(Data()) : 0; }

void TspPngLayergAMA::SetGamma(std::uint32_t value) {
  if (DataSize() != 4) SetDataSize(4);
  PutBE32(Data(), value);
}

bool TspPngLayergAMA::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  std::uint32_t g;
  if (DataSize() == 4) {
    g = GetBE32(Data());
  } else {
    SetGamma(1);
    g = 1;
  }
  if (g != 0 && Owner()) {
    const double e = 1.0 / (g / 100000.0 * 2.2);
    for (int i = 0; i < 256; ++i) {
      const double b = i / 255.0;
      const double v = e == 0 ? 1.0 : b == 0 ? 0.0 : std::exp(e * std::log(b));
      const int r = std::clamp(static_cast<int>(std::nearbyint(v * 255)), 0, 255);
      Owner()->GammaTable[i] = static_cast<std::uint8_t>(r);
      Owner()->InverseGammaTable[r] = static_cast<std::uint8_t>(i);
    }
  }
  return true;
}

void TspPngLayergAMA::Assign(TspPngLayer* source) {
  if (auto* src = dynamic_cast<TspPngLayergAMA*>(source)) SetGamma(src->Gamma());
}

// ---- pHYs ----

bool TspPngLayerpHYs::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  if (DataSize() == 9) {
    PixelsPerUnitX = GetBE32(Data());
    PixelsPerUnitY = GetBE32(Data() + 4);
    UnitSpecifier = Data()[8];
  }
  return true;
}

bool TspPngLayerpHYs::SaveToStream(TStream& stream) {
  SetDataSize(9);
  PutBE32(Data(), PixelsPerUnitX);
  PutBE32(Data() + 4, PixelsPerUnitY);
  Data()[8] = UnitSpecifier;
  return TspPngLayer::SaveToStream(stream);
}

void TspPngLayerpHYs::Assign(TspPngLayer* source) {
  if (auto* src = dynamic_cast<TspPngLayerpHYs*>(source)) {
    PixelsPerUnitX = src->PixelsPerUnitX;
    PixelsPerUnitY = src->PixelsPerUnitY;
    UnitSpecifier = src->UnitSpecifier;
  }
}

// ---- tIME ----

bool TspPngLayertIME::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  if (DataSize() == 7) {
    const std::uint8_t* d = Data();
    Year = static_cast<std::uint16_t>((d[0] << 8) | d[1]);
    Month = d[2];
    Day = d[3];
    Hour = d[4];
    Minute = d[5];
    Second = d[6];
  }
  return true;
}

bool TspPngLayertIME::SaveToStream(TStream& stream) {
  SetDataSize(7);
  std::uint8_t* d = Data();
  d[0] = static_cast<std::uint8_t>(Year >> 8);
  d[1] = static_cast<std::uint8_t>(Year);
  d[2] = Month;
  d[3] = Day;
  d[4] = Hour;
  d[5] = Minute;
  d[6] = Second;
  return TspPngLayer::SaveToStream(stream);
}

void TspPngLayertIME::Assign(TspPngLayer* source) {
  if (auto* src = dynamic_cast<TspPngLayertIME*>(source)) {
    Year = src->Year;
    Month = src->Month;
    Day = src->Day;
    Hour = src->Hour;
    Minute = src->Minute;
    Second = src->Second;
  }
}

// ---- tEXt and zTXt ----

namespace {

// Why a keyword cannot be written so that it reads back, or "".
std::string KeywordProblem(const std::string& keyword) {
  if (keyword.empty()) return "is empty";
  if (keyword.size() > 79) return "is longer than 79 bytes";
  if (keyword.find('\0') != std::string::npos) return "holds a NUL";
  return {};
}

// Length of the keyword of a text chunk's data: the bytes before the first
// NUL (all when none).
int KeywordLength(const std::uint8_t* d, std::int64_t size) {
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(d, 0, static_cast<std::size_t>(size)));
  return static_cast<int>(nul ? nul - d : size);
}
int KeywordLength(const TspPngLayer& c) { return KeywordLength(c.Data(), c.DataSize()); }

// Inflates at most max + 1 bytes into out (empty at the call): fails for a
// text longer than max. What out holds afterwards is what it took.
bool InflateText(const std::uint8_t* in, std::size_t size, std::int64_t max, std::string& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(size);
  std::uint8_t block[256];
  bool ok = false;
  for (;;) {
    z.next_out = block;
    z.avail_out = static_cast<uInt>(std::clamp<std::int64_t>(max + 1 - std::ssize(out), 1, sizeof block));
    const uInt room = z.avail_out;
    int r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) break;
    out.append(reinterpret_cast<char*>(block), room - z.avail_out);
    if (std::ssize(out) > max) break;
    if (r == Z_STREAM_END) {
      ok = true;
      break;
    }
  }
  inflateEnd(&z);
  return ok;
}

bool DeflateText(const std::string& text, int level, std::string& out) {
  z_stream z{};
  if (deflateInit(&z, level) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  std::uint8_t block[256];
  bool ok = false;
  for (;;) {
    z.next_out = block;
    z.avail_out = sizeof block;
    int r = deflate(&z, Z_FINISH);
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) break;
    out.append(reinterpret_cast<char*>(block), sizeof block - z.avail_out);
    if (r == Z_STREAM_END) {
      ok = true;
      break;
    }
  }
  deflateEnd(&z);
  return ok;
}

}  // namespace

bool TspPngLayertEXt::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  const int k = KeywordLength(*this);
  Keyword.assign(reinterpret_cast<const char*>(Data()), static_cast<std::size_t>(k));
  const int n = DataSize() - k - 1;
  Text.assign(n > 0 ? reinterpret_cast<const char*>(Data()) + k + 1 : "",
              n > 0 ? static_cast<std::size_t>(n) : 0);
  return true;
}

bool TspPngLayertEXt::SaveToStream(TStream& stream) {
  if (!KeywordProblem(Keyword).empty()) return false;
  SetDataSize(static_cast<int>(Keyword.size() + Text.size() + 1));
  std::memcpy(Data(), Keyword.data(), Keyword.size());
  Data()[Keyword.size()] = 0;
  std::memcpy(Data() + Keyword.size() + 1, Text.data(), Text.size());
  return TspPngLayer::SaveToStream(stream);
}

void TspPngLayertEXt::Assign(TspPngLayer* source) {
  if (auto* src = dynamic_cast<TspPngLayertEXt*>(source)) {
    Keyword = src->Keyword;
    Text = src->Text;
  }
}

bool TspPngLayerzTXt::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  if (!TspPngLayer::LoadFromStream(stream, chunk_name, size)) return false;
  const int k = KeywordLength(*this);
  Keyword.assign(reinterpret_cast<const char*>(Data()), static_cast<std::size_t>(k));
  Text.clear();
  const int start = k + 2;  // after the NUL and the method byte
  if (start >= DataSize()) return true;
  // Within a file's load the file's allowance, which every inflated byte
  // uses up, kept or not; alone, this chunk's.
  TspPngImage* owner = Owner() && Owner()->TextBudget >= 0 ? Owner() : nullptr;
  const std::int64_t budget = owner ? owner->TextBudget : PngTextAllowance(DataSize());
  std::string out;
  const bool ok = InflateText(Data() + start, static_cast<std::size_t>(DataSize() - start), budget, out);
  if (owner) owner->TextBudget = std::max<std::int64_t>(0, owner->TextBudget - std::ssize(out));
  if (ok) Text = std::move(out);
  return true;
}

bool TspPngLayerzTXt::SaveToStream(TStream& stream) {
  if (!KeywordProblem(Keyword).empty()) return false;
  if (Text.empty()) Text = " ";
  std::string packed;
  const int level = Owner() ? Owner()->CompressionLevel : Z_DEFAULT_COMPRESSION;
  if (!DeflateText(Text, std::min(level, 9), packed)) return false;
  SetDataSize(static_cast<int>(Keyword.size() + 2 + packed.size()));
  std::uint8_t* d = Data();
  std::memcpy(d, Keyword.data(), Keyword.size());
  d[Keyword.size()] = 0;
  d[Keyword.size() + 1] = 0;
  std::memcpy(d + Keyword.size() + 2, packed.data(), packed.size());
  return TspPngLayer::SaveToStream(stream);
}

// ---- IDAT ----

bool TspPngLayerIDAT::LoadFromStream(TStream& stream, const char chunk_name[4], int size) {
  (void)chunk_name;
  TspPngImage* owner = Owner();
  TspPngLayerIHDR* h = owner ? owner->Header() : nullptr;
  if (!h) return Refuse("no header chunk");
  if (h->HasPalette && (h->ColorType == 0 || h->ColorType == 4)) {
    if (os::HPALETTE pal = CreateGreyPalette(owner, 1 << h->BitmapInfo.bmiHeader.biBitCount)) owner->SetPalette(pal);
  }
  std::string why;
  return DecodeImageData(stream, size, *h, owner->GammaTable, why) || Refuse(why);
}

bool TspPngLayerIDAT::SaveToStream(TStream& stream) {
  TspPngImage* owner = Owner();
  TspPngLayerIHDR* h = owner ? owner->Header() : nullptr;
  return h && EncodeImageData(stream, *h, *owner);
}

// ---- The image ----

TspPngImage::TspPngImage() {
  for (int i = 0; i < 256; ++i) GammaTable[i] = InverseGammaTable[i] = static_cast<std::uint8_t>(i);
}

TspPngImage::~TspPngImage() { Clear(); }

void TspPngImage::Clear() {
  // The header last: other chunks may refer to it while they go.
  for (int i = Chunks.Count() - 1; i >= 0; --i) delete static_cast<TspPngLayer*>(Chunks.Items(i));
  Chunks.SetCount(0);
}

TspPngLayerIHDR* TspPngImage::Header() const { return dynamic_cast<TspPngLayerIHDR*>(static_cast<TspPngLayer*>(Chunks.Items(0))); }

void TspPngImage::SetPalette(os::HPALETTE palette) {
  TspPngLayerIHDR* h = Header();
  if (!h || !h->DC) {
    os::DeleteObject(palette);
    return;
  }
  os::SelectPalette(h->DC, palette, false);
  os::RealizePalette(h->DC);
  if (h->Palette && h->Palette != palette) os::DeleteObject(h->Palette);
  h->Palette = palette;
  os::PALETTEENTRY pe[256];
  const std::uint32_t n = os::GetPaletteEntries(palette, 0, 256, pe);
  for (std::uint32_t i = 0; i < n; ++i)
    h->BitmapInfo.bmiColors[i] = os::RGBQUAD{pe[i].peBlue, pe[i].peGreen, pe[i].peRed, 0};
  os::SetDIBColorTable(h->DC, 0, n, h->BitmapInfo.bmiColors);
}

TspPngLayer* TspPngImage::CreateChunk(const char name[4]) {
  const TspPngChunkClass* cls = FindPngChunkClass(name);
  TspPngLayer* c = cls ? cls->create(this) : new TspPngLayer(this);
  std::memcpy(c->ChunkName, name, 4);
  return c;
}

void TspPngImage::InsertChunk(int index, TspPngLayer* chunk) {
  std::vector<void*> items;
  for (int i = 0; i < Chunks.Count(); ++i) items.push_back(Chunks.Items(i));
  index = std::clamp(index, 0, Chunks.Count());
  items.insert(items.begin() + index, chunk);
  Chunks.SetCount(0);
  for (void* p : items) Chunks.Add(p);
}

TspPngLayer* TspPngImage::FindChunk(const char name[4]) const {
  for (int i = 0; i < Chunks.Count(); ++i) {
    auto* c = static_cast<TspPngLayer*>(Chunks.Items(i));
    if (std::memcmp(c->ChunkName, name, 4) == 0) return c;
  }
  return nullptr;
}

void TspPngImage::CreateBlank(std::uint8_t color_type, std::uint8_t bit_depth, std::uint32_t width,
                              std::uint32_t height) {
  Clear();
  auto* h = new TspPngLayerIHDR(this);
  std::memcpy(h->ChunkName, "IHDR", 4);
  Chunks.Add(h);
  h->Width = width;
  h->Height = height;
  h->BitDepth = bit_depth;
  h->ColorType = color_type;
  h->InterlaceMethod = InterlaceMethod;
  if (!ValidColourAndDepth(color_type, bit_depth) || width == 0 || height == 0 || width > 65535 ||
      height > 65535 || !h->PrepareImageBuffers())
    throw EspPngError("Cannot create the PNG image buffers");
  if (color_type == 3) Chunks.Add(CreateChunk("PLTE"));
  Chunks.Add(CreateChunk("IDAT"));
  Chunks.Add(CreateChunk("IEND"));
}

void TspPngImage::LoadFromStream(TStream& stream) {
  Clear();
  struct Budget {
    std::int64_t& value;
    ~Budget() { value = -1; }
  } budget{TextBudget};
  // Chunks are read by their stated sizes against the bytes left, and image
  // data by positions: a stream that cannot seek (a pipe) is refused.
  std::int64_t left = 0;
  try {
    left = Remaining(stream);
  } catch (const EOSError& e) {
    throw EspPngError("PNG image cannot be read from a stream that cannot seek: " + e.Message());
  }
  TextBudget = PngTextAllowance(left);
  std::uint8_t sig[8];
  if (stream.Read(sig, 8) != 8 || std::memcmp(sig, kSignature, 8) != 0) throw EspPngError("Invalid PNG signature");
  // Second copies of the chunks held once are read and left out; so are a
  // pHYs or tIME of another size than theirs.
  unsigned seen = 0;
  std::optional<ChunkOrder> order;
  for (;;) {
    std::uint8_t head[8];
    if (stream.Read(head, 8) != 8) throw EspPngError("PNG data ends before the IEND chunk");
    const std::uint32_t len = GetBE32(head);
    char name[4];
    std::memcpy(name, head + 4, 4);
    const std::string shown = ShownName(name);
    if (len > 0x7FFFFFFFu) throw EspPngError(Format("Invalid length of PNG chunk %s", shown));
    if (!NameIsLetters(name)) throw EspPngError(Format("Invalid PNG chunk name %s", shown));
    if (Chunks.Count() == 0 && !NameIs(name, "IHDR")) throw EspPngError("PNG image has no header chunk");
    if (IsCritical(name) && !FindPngChunkClass(name))
      throw EspPngError(Format("PNG chunk %s is critical and unknown", shown));
    // Earlier writers could store a palette's tRNS of no entries: read and
    // left out, as it changes no colour.
    const bool empty_trns = order && len == 0 && NameIs(name, "tRNS") && Header()->ColorType == 3;
    if (order) {
      const std::string problem = order->Next(name);
      if (!problem.empty()) throw EspPngError(problem);
      auto* palette = NameIs(name, "tRNS") ? dynamic_cast<TspPngLayerPLTE*>(FindChunk("PLTE")) : nullptr;
      const std::string size = empty_trns ? std::string()
                                          : SizeProblem(name, len, Header()->ColorType, Header()->BitDepth,
                                                        palette ? palette->PaletteCount : 0);
      if (!size.empty()) throw EspPngError(Format("PNG chunk %s is corrupt: %s", shown, size));
      if (NameIs(name, "IEND") && !order->Data() && ImageDataSize(*Header()) > 0)
        throw EspPngError("PNG image has no image data");
    }
    const std::int64_t fixed = FixedSize(name);
    bool again = empty_trns || (fixed >= 0 && len != fixed);
    if (const int k = OnceIndex(name); k >= 0 && !again) {
      again = (seen & (1u << k)) != 0;
      seen |= 1u << k;
    }
    std::unique_ptr<TspPngLayer> skipped;
    TspPngLayer* chunk = again ? (skipped = std::make_unique<TspPngLayer>(this)).get() : CreateChunk(name);
    if (!again) Chunks.Add(chunk);
    if (!chunk->LoadFromStream(stream, name, static_cast<int>(len))) {
      const std::string& why = chunk->FailReason();
      throw EspPngError(Format("PNG chunk %s is corrupt", shown) + (why.empty() ? "" : ": " + why));
    }
    if (NameIs(name, "IEND")) break;
    if (!order) order.emplace(Header()->ColorType);
  }
}

namespace {

// Why the header cannot be written over the buffers it has, or "": they were
// made for one width, height, colour type and depth.
std::string BufferProblem(const TspPngLayerIHDR& h) {
  const auto& b = h.BitmapInfo.bmiHeader;
  if (h.Width != static_cast<std::uint32_t>(b.biWidth))
    return Format("PNG header width %u does not match the image buffers (%d)", h.Width, b.biWidth);
  if (h.Height != static_cast<std::uint32_t>(b.biHeight))
    return Format("PNG header height %u does not match the image buffers (%d)", h.Height, b.biHeight);
  const bool alpha = h.ColorType == 4 || h.ColorType == 6;
  if (!h.Bits || DibBitCount(h.ColorType, h.BitDepth) != b.biBitCount || alpha != (h.AlphaPlane != nullptr) ||
      (h.BitDepth == 16) != (h.LowBytePlane != nullptr))
    return Format("PNG header colour type %d and bit depth %d do not match the image buffers",
                  int{h.ColorType}, int{h.BitDepth});
  return {};
}

}  // namespace

namespace {

// Ancillary chunks PNG places before the palette and the image data, and
// those it places before the image data.
constexpr const char* kBeforePalette[] = {"cHRM", "iCCP", "sBIT", "sRGB"};
constexpr const char* kBeforeData[] = {"bKGD", "hIST", "pHYs", "sPLT", "oFFs", "pCAL", "sCAL"};

template <std::size_t N>
bool NameIn(const char name[4], const char* const (&names)[N]) {
  return std::any_of(names, names + N, [name](const char* n) { return NameIs(name, n); });
}

// The chunks in the order they are written: those of kBeforePalette that
// stand after the first PLTE or IDAT chunk go just before it, those of
// kBeforeData that stand after the first IDAT chunk just before that, each
// in their order. gAMA and tRNS stay: out of place, they are refused.
std::vector<TspPngLayer*> WriteOrder(const std::vector<TspPngLayer*>& list) {
  const auto first = [&list](const char* name) {
    return std::find_if(list.begin(), list.end(), [name](TspPngLayer* c) { return NameIs(c->ChunkName, name); }) -
           list.begin();
  };
  const std::ptrdiff_t data = first("IDAT"), palette = std::min(data, first("PLTE"));
  const auto late = [&](std::ptrdiff_t i) {
    const char* name = list[i]->ChunkName;
    return (i > palette && NameIn(name, kBeforePalette)) || (i > data && NameIn(name, kBeforeData));
  };
  std::vector<TspPngLayer*> out;
  const auto move_up = [&](std::ptrdiff_t at, bool palette_kind) {
    for (std::ptrdiff_t j = at + 1; j < std::ssize(list); ++j)
      if (late(j) && NameIn(list[j]->ChunkName, kBeforePalette) == palette_kind) out.push_back(list[j]);
  };
  for (std::ptrdiff_t i = 0; i < std::ssize(list); ++i) {
    if (i == palette) move_up(i, true);
    if (i == data) move_up(i, false);
    if (!late(i)) out.push_back(list[i]);
  }
  return out;
}

// Why a tEXt or zTXt chunk's data, as written, would not read back alike, or
// "": a keyword of 1 to 79 bytes; for zTXt compression method 0 and a zlib
// stream; a text without a NUL (readers cut it there). Adds the text's bytes
// to texts: a zTXt object's text, or a plain zTXt chunk's, inflated up to max.
std::string TextProblem(TspPngLayer& c, const std::uint8_t* d, std::int64_t size, std::int64_t max,
                        std::int64_t& texts) {
  const int k = KeywordLength(d, size);
  if (std::string problem = KeywordProblem(std::string(reinterpret_cast<const char*>(d), k)); !problem.empty())
    return "keyword " + problem;
  std::string inflated;
  const std::string* text = &inflated;
  if (NameIs(c.ChunkName, "tEXt")) {
    inflated.assign(reinterpret_cast<const char*>(d) + std::min<std::int64_t>(k + 1, size),
                    static_cast<std::size_t>(std::max<std::int64_t>(size - k - 1, 0)));
  } else {
    if (size < k + 2) return "is invalid: no compression method";
    if (d[k + 1] != 0) return Format("is invalid: compression method %d is unknown", int{d[k + 1]});
    if (auto* typed = dynamic_cast<TspPngLayerzTXt*>(&c)) {
      text = &typed->Text;
    } else if (!InflateText(d + k + 2, static_cast<std::size_t>(size - k - 2), max - texts, inflated)) {
      return std::ssize(inflated) > max - texts ? "text is too long to be read back" : "text does not inflate";
    }
    texts += std::ssize(*text);
  }
  return text->find('\0') == std::string::npos ? std::string() : "text holds a NUL";
}

}  // namespace

void TspPngImage::SaveToStream(TStream& stream) {
  TspPngLayerIHDR* h = Header();
  if (!h) throw EspPngError("PNG image has no header chunk");
  // What a reader refuses, drops or reads otherwise is not written. A depth
  // of 2 is written as 4.
  const int depth = h->BitDepth == 2 ? 4 : h->BitDepth;
  if (!ValidColourAndDepth(h->ColorType, depth))
    throw EspPngError(
        Format("PNG colour type %d does not allow bit depth %d", int{h->ColorType}, int{h->BitDepth}));
  if (h->CompressionMethod != 0)
    throw EspPngError(Format("PNG compression method %d is unknown", int{h->CompressionMethod}));
  if (h->FilterMethod != 0) throw EspPngError(Format("PNG filter method %d is unknown", int{h->FilterMethod}));
  if (InterlaceMethod > 1)
    throw EspPngError(Format("PNG interlace method %d is unknown", int{InterlaceMethod}));
  if (const std::string problem = BufferProblem(*h); !problem.empty()) throw EspPngError(problem);
  // The header first and IEND last: ancillary chunks after IEND (appended to
  // the list) are written before it.
  std::vector<TspPngLayer*> list;
  TspPngLayer* end = nullptr;
  for (int i = 1; i < Chunks.Count(); ++i) {
    auto* c = static_cast<TspPngLayer*>(Chunks.Items(i));
    const std::string shown = ShownName(c->ChunkName);
    if (!NameIsLetters(c->ChunkName)) throw EspPngError(Format("Invalid PNG chunk name %s", shown));
    const TspPngChunkClass* cls = FindPngChunkClass(c->ChunkName);
    if (IsCritical(c->ChunkName) && !cls) throw EspPngError(Format("PNG chunk %s is critical and unknown", shown));
    // A chunk of a known name is written by its class, or as the plain
    // chunk's data (checked below); only the image data's class writes image data.
    const TspPngChunkClass& own = c->ChunkClass();
    if (cls && &own != cls && (&own != &TspPngLayer::kClass || NameIs(c->ChunkName, "IDAT")))
      throw EspPngError(Format("PNG chunk %s is of class %s, not %s", shown, own.class_name, cls->class_name));
    if (NameIs(c->ChunkName, "IEND")) {
      if (end) throw EspPngError("PNG image has more than one IEND chunk");
      end = c;
      continue;
    }
    if (end && IsCritical(c->ChunkName))
      throw EspPngError(Format("PNG chunk %s comes after the IEND chunk", shown));
    list.push_back(c);
  }
  if (!end) throw EspPngError("PNG image has no IEND chunk");
  list = WriteOrder(list);
  list.push_back(end);

  // Every chunk but the image data is made first and checked by what it
  // holds; the image data is made as the file is written.
  struct Piece {
    TspPngLayer* chunk;
    std::int64_t at, size;  // in made; at -1: the image data
  };
  std::vector<Piece> pieces;
  TMemoryStream made;
  ChunkOrder order(h->ColorType);
  int palette_entries = 0;
  unsigned seen = 0;  // of the chunks held once
  for (TspPngLayer* c : list) {
    const std::string shown = ShownName(c->ChunkName);
    if (const std::string problem = order.Next(c->ChunkName); !problem.empty()) throw EspPngError(problem);
    if (const int k = OnceIndex(c->ChunkName); k >= 0) {
      if (seen & (1u << k)) throw EspPngError(Format("PNG image has more than one %s chunk", shown));
      seen |= 1u << k;
    }
    if (NameIs(c->ChunkName, "IDAT")) {
      pieces.push_back({c, -1, 0});
      continue;
    }
    if (auto* t = dynamic_cast<TspPngLayertEXt*>(c)) {
      const std::string problem = KeywordProblem(t->Keyword);
      if (!problem.empty()) throw EspPngError(Format("PNG chunk %s keyword %s", shown, problem));
    }
    const std::int64_t at = made.Size();
    if (!c->SaveToStream(made)) throw EspPngError(Format("Cannot write PNG chunk %s", shown));
    pieces.push_back({c, at, made.Size() - at});
    const std::int64_t size = made.Size() - at - 12;
    const auto* bytes = static_cast<const std::uint8_t*>(made.Memory()) + at;
    if (size < 0 || GetBE32(bytes) != size || std::memcmp(bytes + 4, c->ChunkName, 4) != 0)
      throw EspPngError(Format("PNG chunk %s is not made as one chunk of that name", shown));
    std::string problem;
    if (NameIs(c->ChunkName, "PLTE")) {
      palette_entries = static_cast<int>(size / 3);
      if (size == 0) problem = "palette without entries";
      if (size % 3 != 0 || size > 3 * 256) problem = Format("size %d, not 3 bytes per entry up to 256 entries", size);
    } else {
      problem = SizeProblem(c->ChunkName, size, h->ColorType, depth, palette_entries);
      const std::int64_t fixed = FixedSize(c->ChunkName);
      if (problem.empty() && fixed >= 0 && size != fixed) problem = Format("size %d, not %d", size, fixed);
    }
    if (!problem.empty()) throw EspPngError(Format("PNG chunk %s is invalid: %s", shown, problem));
  }
  if (!order.Data() && ImageDataSize(*h) > 0) throw EspPngError("PNG image has no image data");
  if (h->ColorType == 3) {
    if (const std::int64_t at = FirstIndexPast(*h, palette_entries); at >= 0)
      throw EspPngError(Format("PNG pixel %d, %d indexes past the palette's %d entries", at % h->Width,
                               at / h->Width, palette_entries));
  }
  // Texts, against what the largest file this can make allows (deflate's
  // worst case for the image data, in the smallest IDAT chunks); the file
  // itself is measured below.
  const std::int64_t raw = ImageDataSize(*h), packed = raw + raw / 1000 + 1024;
  const std::int64_t largest = 8 + 25 + made.Size() + packed + 12 * (packed / std::max(1, MaxIdatSize) + 2);
  std::int64_t texts = 0;
  for (const Piece& p : pieces) {
    if (!NameIs(p.chunk->ChunkName, "tEXt") && !NameIs(p.chunk->ChunkName, "zTXt")) continue;
    const auto* d = static_cast<const std::uint8_t*>(made.Memory()) + p.at + 8;
    const std::string problem = TextProblem(*p.chunk, d, p.size - 12, PngTextAllowance(largest), texts);
    if (!problem.empty()) throw EspPngError(Format("PNG chunk %s %s", ShownName(p.chunk->ChunkName), problem));
  }
  auto write = [&](TStream& out) {
    out.WriteBuffer(kSignature, 8);
    if (!h->SaveToStream(out)) throw EspPngError("Cannot write PNG chunk IHDR");
    for (const Piece& p : pieces) {
      if (p.at >= 0) {
        out.WriteBuffer(static_cast<const std::uint8_t*>(made.Memory()) + p.at, p.size);
      } else if (!p.chunk->SaveToStream(out)) {
        throw EspPngError(Format("Cannot write PNG chunk %s", ShownName(p.chunk->ChunkName)));
      }
    }
  };
  if (texts <= PngTextAllowance(0)) return write(stream);
  // The allowance grows with the whole file: the file is made first.
  TMemoryStream whole;
  write(whole);
  if (texts > PngTextAllowance(whole.Size()))
    throw EspPngError(Format("PNG texts too long to be read back: %d bytes where the file allows %d", texts,
                             PngTextAllowance(whole.Size())));
  stream.WriteBuffer(whole.Memory(), whole.Size());
}

}  // namespace vt
