#include "runtime/Canvas.h"

#include <algorithm>
#include <cstdlib>

#include "runtime/Exceptions.h"

namespace mosaicer {

namespace {

constexpr TColor32 kColourBits = 0x00FFFFFF;

// Products of two coordinate distances need 65 bits.
__extension__ typedef __int128 TWide;

}  // namespace

void TCanvas::RequireSurface() const {
  if (!HasSurface()) throw EInvalidOperation();
}

void TCanvas::SetPenColor(TColor32 color) {
  RequireSurface();
  FPenColor = color;
}

void TCanvas::SetPenStyle(TPenStyle style) {
  RequireSurface();
  FPenStyle = style;
}

void TCanvas::SetPenMode(TPenMode mode) {
  RequireSurface();
  FPenMode = mode;
}

void TCanvas::MoveTo(std::int32_t x, std::int32_t y) {
  RequireSurface();
  FPenPos = {x, y};
}

void TCanvas::Plot(std::int32_t x, std::int32_t y, bool dot) {
  if (x < 0 || y < 0 || x >= FSurface.Width() || y >= FSurface.Height()) return;
  TColor32& pixel = FSurface.ScanLine(y)[x];
  TColor32 colour = clWhite;
  if (dot) colour = FPenMode == pmMergePenNot ? FPenColor | ~pixel : FPenColor;
  pixel = (pixel & ~kColourBits) | (colour & kColourBits);
}

void TCanvas::LineTo(std::int32_t x, std::int32_t y) {
  RequireSurface();
  const TPoint from = FPenPos;
  FPenPos = {x, y};
  const std::int64_t dx = std::int64_t{x} - from.X;
  const std::int64_t dy = std::int64_t{y} - from.Y;
  const bool alongX = std::llabs(dx) >= std::llabs(dy);
  const std::int64_t length = alongX ? std::llabs(dx) : std::llabs(dy);
  if (length == 0) return;
  const std::int64_t major = alongX ? dx : dy, minor = alongX ? dy : dx;
  const std::int64_t majorStart = alongX ? from.X : from.Y, minorStart = alongX ? from.Y : from.X;
  const std::int64_t majorStep = major > 0 ? 1 : -1;
  const std::int64_t majorLimit = alongX ? FSurface.Width() : FSurface.Height();
  const std::int64_t minorLimit = alongX ? FSurface.Height() : FSurface.Width();
  // Only the steps whose major coordinate lies inside the bitmap, so that a line from far
  // outside costs no more than one across it.
  std::int64_t first = 0, last = length - 1;
  if (majorStep > 0) {
    first = std::max(first, -majorStart);
    last = std::min(last, majorLimit - 1 - majorStart);
  } else {
    first = std::max(first, majorStart - (majorLimit - 1));
    last = std::min(last, majorStart);
  }
  const std::int64_t period = FPenStyle == psDot ? DotLength + GapLength : 1;
  for (std::int64_t n = first; n <= last; ++n) {
    // The minor coordinate is the exact one rounded half away from the start.
    const auto offset = static_cast<std::int64_t>((2 * TWide{n} * std::llabs(minor) + length) / (2 * TWide{length}));
    const std::int64_t m = minorStart + (minor < 0 ? -offset : offset);
    const std::int64_t a = majorStart + n * majorStep;
    const bool dot = n % period < (FPenStyle == psDot ? DotLength : 1);
    if (m < 0 || m >= minorLimit) continue;
    if (alongX) Plot(static_cast<std::int32_t>(a), static_cast<std::int32_t>(m), dot);
    else Plot(static_cast<std::int32_t>(m), static_cast<std::int32_t>(a), dot);
  }
}

void TCanvas::CopyRect(const TRect& dst, TCanvas& source, const TRect& src) {
  RequireSurface();
  source.RequireSurface();
  FSurface.Draw(dst, src, source.FSurface);
}

}  // namespace mosaicer
