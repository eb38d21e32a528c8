// PNG images as a sequence of chunk objects: the chunk classes, their
// registry, the CRC, and the image object that owns the chunks.
//
// Chunk checks answer False from LoadFromStream; the image object turns a
// failed chunk into an EspPngError with a clear message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "common/Units.h"
#include "platform/Gdi.h"
#include "skins/Graphics.h"

namespace vt {

class TspPngImage;
class TspPngLayer;

class EspPngError : public Exception {
 public:
  VT_EXCEPTION_KIND(EspPngError)
  using Exception::Exception;
};

// A growable array of pointers.
class TspPngPointerList : public TObject {
 public:
  explicit TspPngPointerList(void* owner = nullptr) : owner_(owner) {}
  ~TspPngPointerList() override { SetCount(0); }
  TspPngPointerList(const TspPngPointerList&) = delete;
  TspPngPointerList& operator=(const TspPngPointerList&) = delete;

  int Count() const { return count_; }
  void* Owner() const { return owner_; }
  void Add(void* p);
  void* Items(int i) const { return i >= 0 && i < count_ ? items_[i] : nullptr; }
  void SetCount(int n);
  // Removes the last occurrence of p; answers p, or null when absent.
  virtual void* Remove(void* p);

 private:
  void* owner_;
  int count_ = 0;
  void** items_ = nullptr;
};

// A chunk class: its name ("TspPngLayer" + chunk name) and its constructor.
struct TspPngChunkClass {
  const char* class_name;
  TspPngLayer* (*create)(TspPngImage* owner);
};

// The chunk name of a class: its class name without "TspPngLayer".
std::string GetChunkName(const TspPngChunkClass& cls);

// CRC-32 (reflected $EDB88320) continued from crc, without the final
// complement.
std::uint32_t PngCrc32(std::uint32_t crc, const void* buffer, std::size_t count);
std::uint32_t SwapBytes32(std::uint32_t v);
std::uint16_t SwapBytes16(std::uint16_t v);
int PngBytesPerRow(std::int64_t width, int color_type, int bit_depth);
int PngPaethPredictor(int a, int b, int c);

void RegisterPngChunkClass(const TspPngChunkClass* cls);
void RegisterPngChunkClasses();
// The registered class of a chunk name, or null.
const TspPngChunkClass* FindPngChunkClass(const char name[4]);
const TspPngPointerList* PngChunkClasses();

class TspPngLayer : public TObject {
 public:
  static const TspPngChunkClass kClass;
  // The chunk name comes from cls when its chunk name has 4 characters.
  explicit TspPngLayer(TspPngImage* owner, const TspPngChunkClass& cls = kClass);
  TspPngLayer(const TspPngLayer&) = delete;
  TspPngLayer& operator=(const TspPngLayer&) = delete;

  virtual const TspPngChunkClass& ChunkClass() const { return kClass; }
  // The stream stands after the chunk's length and name.
  virtual bool LoadFromStream(TStream& stream, const char chunk_name[4], int size);
  virtual bool SaveToStream(TStream& stream);
  virtual void Assign(TspPngLayer* source);

  // DataSize() bytes and a terminating 0 (an empty chunk's is shared and
  // read-only).
  std::uint8_t* Data() { return data_ ? data_.get() : const_cast<std::uint8_t*>(&kNoData); }
  const std::uint8_t* Data() const { return data_ ? data_.get() : &kNoData; }
  int DataSize() const { return data_size_; }
  void SetDataSize(int n);
  TspPngImage* Owner() const { return owner_; }
  // Why the last LoadFromStream answered false.
  const std::string& FailReason() const;
  char ChunkName[4] = {};

 protected:
  bool Refuse(std::string reason);

 private:
  // A file may hold a great many chunks: each object is kept small.
  int data_size_ = 0;
  std::unique_ptr<std::string> fail_reason_;
  std::unique_ptr<std::uint8_t[]> data_;  // none while empty
  TspPngImage* owner_;
  static constexpr std::uint8_t kNoData = 0;
};

class TspPngLayerIEND : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayerIEND(TspPngImage* owner) : TspPngLayer(owner, kClass) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
};

class TspPngLayerIHDR : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayerIHDR(TspPngImage* owner);
  ~TspPngLayerIHDR() override;
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
  void Assign(TspPngLayer* source) override;

  // Image buffers.
  os::HBITMAP DibHandle = 0;
  os::HDC DC = 0;
  os::HPALETTE Palette = 0;
  bool HasPalette = false;
  os::BITMAPINFO256 BitmapInfo{};
  std::uint8_t* LowBytePlane = nullptr;  // bit depth 16: RowStride x Height, the DIB's row order
  std::uint8_t* Bits = nullptr;          // bottom-up DIB pixels
  std::uint8_t* AlphaPlane = nullptr;    // colour types 4 and 6: Width x Height, top-down
  // Header fields.
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
  std::uint8_t BitDepth = 0;
  std::uint8_t ColorType = 0;
  std::uint8_t CompressionMethod = 0;
  std::uint8_t FilterMethod = 0;
  std::uint8_t InterlaceMethod = 0;
  int RowStride = 0;

  // Builds the buffers from the header fields; false when pixels were
  // expected and could not be had.
  bool PrepareImageBuffers();
  // Image row y of the DIB (bottom-up).
  std::uint8_t* DibRow(std::uint32_t y) const { return Bits + static_cast<std::int64_t>(RowStride) * (Height - 1 - y); }

 private:
  void FreeImageBuffers();
};

class TspPngLayerPLTE : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayerPLTE(TspPngImage* owner) : TspPngLayer(owner, kClass) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
  void Assign(TspPngLayer* source) override;
  // The entries a save writes: PaletteCount, else the owner's bitmap's
  // colours, at most 256.
  int EntriesToWrite() const;
  int PaletteCount = 0;
};

class TspPngLayertRNS : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayertRNS(TspPngImage* owner);
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
  void Assign(TspPngLayer* source) override;
  bool SingleTransparency = false;
  std::uint8_t AlphaTable[256];
};

class TspPngLayergAMA : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayergAMA(TspPngImage* owner);
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  void Assign(TspPngLayer* source) override;
  std::uint32_t Gamma() const;
  void SetGamma(std::uint32_t value);
};

class TspPngLayerpHYs : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayerpHYs(TspPngImage* owner) : TspPngLayer(owner, kClass) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
  void Assign(TspPngLayer* source) override;
  std::uint32_t PixelsPerUnitX = 0;
  std::uint32_t PixelsPerUnitY = 0;
  std::uint8_t UnitSpecifier = 0;
};

class TspPngLayertIME : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayertIME(TspPngImage* owner) : TspPngLayer(owner, kClass) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
  void Assign(TspPngLayer* source) override;
  std::uint16_t Year = 0;
  std::uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

class TspPngLayertEXt : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayertEXt(TspPngImage* owner, const TspPngChunkClass& cls = kClass) : TspPngLayer(owner, cls) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
  void Assign(TspPngLayer* source) override;
  std::string Keyword;
  std::string Text;
};

class TspPngLayerzTXt : public TspPngLayertEXt {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayerzTXt(TspPngImage* owner) : TspPngLayertEXt(owner, kClass) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
};

// Decodes all consecutive IDAT chunks into the header's buffers, and encodes
// the buffers into IDAT chunks.
class TspPngLayerIDAT : public TspPngLayer {
 public:
  static const TspPngChunkClass kClass;
  explicit TspPngLayerIDAT(TspPngImage* owner) : TspPngLayer(owner, kClass) {}
  const TspPngChunkClass& ChunkClass() const override { return kClass; }
  bool LoadFromStream(TStream& stream, const char chunk_name[4], int size) override;
  bool SaveToStream(TStream& stream) override;
};

// Filter types of the filter set.
enum : std::uint8_t {
  kPngFilterNone = 1 << 0,
  kPngFilterSub = 1 << 1,
  kPngFilterUp = 1 << 2,
  kPngFilterAverage = 1 << 3,
  kPngFilterPaeth = 1 << 4,
};

// The image: its chunks (item 0 the header), gamma tables and save options.
class TspPngImage : public TObject {
 public:
  TspPngImage();
  ~TspPngImage() override;
  TspPngImage(const TspPngImage&) = delete;
  TspPngImage& operator=(const TspPngImage&) = delete;

  TspPngPointerList Chunks{this};  // owned TspPngLayer objects
  std::uint8_t GammaTable[256];
  std::uint8_t InverseGammaTable[256];
  std::uint8_t InterlaceMethod = 0;
  std::uint8_t Filters = kPngFilterNone | kPngFilterSub | kPngFilterUp | kPngFilterAverage | kPngFilterPaeth;
  std::uint8_t CompressionLevel = 9;
  std::int32_t MaxIdatSize = 65536;
  // Images of more pixels are refused on load (a caller's own limit; by
  // default every size the format allows).
  std::int64_t MaxPixels = std::int64_t{65535} * 65535;
  // While LoadFromStream runs: the bytes its zTXt chunks may still inflate
  // to, kept or not, in proportion to the file (-1 otherwise).
  std::int64_t TextBudget = -1;
  TCanvas* Canvas = nullptr;  // optional, not owned

  TspPngLayerIHDR* Header() const;
  // Takes the palette (the header chunk owns it from then on).
  void SetPalette(os::HPALETTE palette);

  // Raises EspPngError when the data is not a whole, readable PNG image.
  void LoadFromStream(TStream& stream);
  // Raises EspPngError, before writing, for what a reader would refuse or
  // read otherwise, judged by each chunk's name and the bytes it makes: an
  // undefined colour type, depth, compression, filter or interlace method,
  // a header its buffers were not made for, a critical chunk no class
  // knows, a chunk of a known name in another class (a plain chunk is
  // checked by its data; image data only by its class), chunks out of
  // order or repeated (one header, one PLTE, gAMA and tRNS before the data,
  // one run of IDAT, one IEND), a PLTE, gAMA, tRNS, pHYs or tIME of the
  // wrong size, a keyword that is empty, past 79 bytes or holds a NUL, a
  // text holding a NUL, a zTXt that does not inflate, texts beyond what the
  // whole file allows, palette pixels past the palette. IEND is written
  // last, after any ancillary chunks that follow it in the list; ancillary
  // chunks PNG puts before the palette or the data are written there.
  void SaveToStream(TStream& stream);

  // A fresh image of one header, IDAT and IEND chunk with zeroed pixels
  // (and a PLTE chunk for palette images).
  void CreateBlank(std::uint8_t color_type, std::uint8_t bit_depth, std::uint32_t width, std::uint32_t height);
  // Creates a chunk of a registered class (or a plain chunk) for a name.
  TspPngLayer* CreateChunk(const char name[4]);
  void InsertChunk(int index, TspPngLayer* chunk);
  // The first chunk of a name, or null.
  TspPngLayer* FindChunk(const char name[4]) const;
  void Clear();
};

// PNG chunk classes (registered at start-up).
extern const UnitEntry kSpPngImageUnit;  // "sppngimage"

}  // namespace vt
