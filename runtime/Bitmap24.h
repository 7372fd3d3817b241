// The 24-bit bitmap an encoder is filled through: blue, green, red bytes per pixel, rows top to
// bottom without padding.
#pragma once

#include <cstdint>

#include "runtime/Bitmap32.h"

namespace mosaicer {

class TBitmap24 {
public:
  TBitmap24() = default;
  TBitmap24(const TBitmap24&) = delete;
  TBitmap24& operator=(const TBitmap24&) = delete;

  std::int32_t Width() const { return FWidth; }
  std::int32_t Height() const { return FHeight; }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }

  // As TBitmap32::SetSize: negative sides count as 0, the same size keeps the pixels, another
  // size gives undefined content, and a size past the limit throws "Can't allocate the DIB
  // handle" leaving the bitmap empty.
  void SetSize(std::int32_t width, std::int32_t height);
  void SetWidth(std::int32_t width) { SetSize(width, FHeight); }
  void SetHeight(std::int32_t height) { SetSize(FWidth, height); }

  std::uint8_t* ScanLine(std::int32_t y) { return FBits + static_cast<std::size_t>(y) * Stride(); }
  const std::uint8_t* ScanLine(std::int32_t y) const { return FBits + static_cast<std::size_t>(y) * Stride(); }
  std::size_t Stride() const { return static_cast<std::size_t>(FWidth) * 3; }

  // Copies a rectangle of a 32-bit bitmap into an equal rectangle of this one, clipped to both;
  // each pixel keeps its blue, green and red bytes and drops alpha.
  void Draw(const TRect& dst, const TRect& src, const TBitmap32& source);

private:
  TPixelBuffer FPixels;
  std::uint8_t* FBits = nullptr;
  std::int32_t FWidth = 0;
  std::int32_t FHeight = 0;
};

}  // namespace mosaicer
