#include "skins/Graphics.h"

#include <algorithm>
#include <climits>

namespace vt {

void TPersistent::Assign(TPersistent* source) {
  if (source) {
    source->AssignTo(this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* dest) { dest->AssignError(this); }

void TPersistent::AssignError(TPersistent* source) {
  std::string name = source ? source->ClassName() : "nil";
  throw EConvertError(Format("Cannot assign a %s to a %s", name, std::string(ClassName())));
}

void TCanvas::Rectangle(int left, int top, int right, int bottom) {
  if (!handle_ || right <= left || bottom <= top) return;
  os::FillRect(handle_, os::RECT{left, top, right, bottom}, PenColor);
  os::FillRect(handle_, os::RECT{left + 1, top + 1, right - 1, bottom - 1}, BrushColor);
}

void TCanvas::StretchDraw(const os::RECT& rect, TGraphic& graphic) { graphic.Draw(*this, rect); }

TBitmap::~TBitmap() {
  if (dc_) os::DeleteDC(dc_);
  if (dib_) os::DeleteObject(dib_);
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
  if (format == format_) return;
  format_ = format;
  Recreate();
}

void TBitmap::SetSize(int width, int height) {
  width_ = std::max(0, width);
  height_ = std::max(0, height);
  Recreate();
}

void TBitmap::Recreate() {
  canvas_.SetHandle(0);
  if (dc_) os::DeleteDC(dc_);
  if (dib_) os::DeleteObject(dib_);
  dc_ = 0;
  dib_ = 0;
  bits_ = nullptr;
  stride_ = 0;
  if (width_ == 0 || height_ == 0) return;
  os::BITMAPINFOHEADER h;
  h.biSize = 40;
  h.biWidth = width_;
  h.biHeight = height_;
  h.biPlanes = 1;
  h.biBitCount = format_ == TPixelFormat::pf32bit ? 32 : 24;
  void* bits = nullptr;
  dib_ = os::CreateDIBSection(0, &h, nullptr, os::DIB_RGB_COLORS, &bits, 0, 0);
  if (dib_) dc_ = os::CreateCompatibleDC(0);
  if (!dib_ || !dc_ || (os::SelectObject(dc_, dib_) == 0 && os::GetLastError() != os::kErrorSuccess)) {
    if (dc_) os::DeleteDC(dc_);
    if (dib_) os::DeleteObject(dib_);
    dc_ = dib_ = 0;
    width_ = height_ = 0;
    throw Exception("Out of system resources");
  }
  bits_ = static_cast<std::uint8_t*>(bits);
  stride_ = ((width_ * h.biBitCount + 31) & ~31) / 8;
  canvas_.SetHandle(dc_);
}

void* TBitmap::ScanLine(int y) const { return bits_ + static_cast<std::int64_t>(height_ - 1 - y) * stride_; }

void TBitmap::Draw(TCanvas& canvas, const os::RECT& rect) {
  if (!dc_ || !canvas.Handle()) return;
  // Sizes past the int range stop at its ends.
  auto size = [](int from, int to) {
    return static_cast<int>(std::clamp<std::int64_t>(std::int64_t{to} - from, INT_MIN, INT_MAX));
  };
  os::StretchBlt(canvas.Handle(), rect.left, rect.top, size(rect.left, rect.right), size(rect.top, rect.bottom), dc_,
                 0, 0, width_, height_, os::SRCCOPY);
}

TBitmap& TPicture::Bitmap() {
  auto* b = dynamic_cast<TBitmap*>(graphic_.get());
  if (!b) {
    graphic_ = std::make_unique<TBitmap>();
    b = static_cast<TBitmap*>(graphic_.get());
  }
  return *b;
}

}  // namespace vt
