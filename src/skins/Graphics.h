// The small part of a user-interface toolkit that the skin library works
// with: persistent objects, a canvas over a device context, graphics, a
// bitmap and a picture container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Classes.h"
#include "platform/Gdi.h"

namespace vt {

// An object that can copy itself from another. Assign asks the source's
// AssignTo; the base AssignTo raises EConvertError "Cannot assign a <source
// class> to a <target class>".
class TPersistent : public TObject {
 public:
  virtual void Assign(TPersistent* source);
  virtual const char* ClassName() const { return "TPersistent"; }

 protected:
  virtual void AssignTo(TPersistent* dest);
  [[noreturn]] void AssignError(TPersistent* source);
};

// A drawing surface bound to a device context (0: none).
class TCanvas {
 public:
  os::HDC Handle() const { return handle_; }
  void SetHandle(os::HDC dc) { handle_ = dc; }
  os::COLORREF BrushColor = 0xFFFFFF;
  os::COLORREF PenColor = 0;
  // The outline in the pen colour, the inside in the brush colour; right
  // and bottom exclusive.
  void Rectangle(int left, int top, int right, int bottom);
  void StretchDraw(const os::RECT& rect, class TGraphic& graphic);

 private:
  os::HDC handle_ = 0;
};

class TGraphic : public TPersistent {
 public:
  const char* ClassName() const override { return "TGraphic"; }
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual void Draw(TCanvas& canvas, const os::RECT& rect) = 0;
};

enum class TPixelFormat { pf24bit, pf32bit };
enum class TBitmapHandleType { bmDIB, bmDDB };

// A bitmap over a bottom-up DIB section selected into a memory DC.
class TBitmap : public TGraphic {
 public:
  TBitmap() = default;
  ~TBitmap() override;
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;
  const char* ClassName() const override { return "TBitmap"; }

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  void Draw(TCanvas& canvas, const os::RECT& rect) override;

  TPixelFormat PixelFormat() const { return format_; }
  void SetPixelFormat(TPixelFormat format);
  TBitmapHandleType HandleType = TBitmapHandleType::bmDIB;
  // Raises "Out of system resources" when the pixels cannot be had.
  void SetSize(int width, int height);
  void* ScanLine(int y) const;  // top-down row address
  TCanvas& Canvas() { return canvas_; }

 private:
  void Recreate();
  TPixelFormat format_ = TPixelFormat::pf24bit;
  int width_ = 0, height_ = 0;
  os::HBITMAP dib_ = 0;
  os::HDC dc_ = 0;
  std::uint8_t* bits_ = nullptr;
  int stride_ = 0;
  TCanvas canvas_;
};

// Holds one graphic (owned).
class TPicture : public TPersistent {
 public:
  const char* ClassName() const override { return "TPicture"; }
  TGraphic* Graphic() const { return graphic_.get(); }
  void SetGraphic(std::unique_ptr<TGraphic> graphic) { graphic_ = std::move(graphic); }
  // The picture's bitmap; a picture holding another graphic (or none) is
  // made to hold an empty bitmap.
  TBitmap& Bitmap();

 private:
  std::unique_ptr<TGraphic> graphic_;
};

}  // namespace vt
