#include "runtime/Bitmap24.h"

#include <algorithm>

#include "runtime/Exceptions.h"

namespace mosaicer {

void TBitmap24::SetSize(std::int32_t width, std::int32_t height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == FWidth && height == FHeight) return;
  FPixels.Release();
  FBits = nullptr;
  FWidth = 0;
  FHeight = 0;
  if (width == 0 || height == 0) {
    // An empty bitmap still remembers the side that was set, so width then height works.
    FWidth = width;
    FHeight = height;
    return;
  }
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
  if (bytes > TBitmap32::MaxPixelBytes() || !FPixels.Allocate(bytes)) throw Exception(kAllocateDIBText);
  FBits = static_cast<std::uint8_t*>(FPixels.Data());
  FWidth = width;
  FHeight = height;
}

void TBitmap24::Draw(const TRect& dst, const TRect& src, const TBitmap32& source) {
  if (Empty() || source.Empty()) return;
  if (dst.Width() != src.Width() || dst.Height() != src.Height()) return;
  const TCopyClip clip = ClipCopy(dst, src, Width(), Height(), source.Width(), source.Height());
  if (clip.Empty()) return;
  for (std::int32_t y = clip.Source.Top; y < clip.Source.Bottom; ++y) {
    const TColor32* from = source.ScanLine(y) + clip.Source.Left;
    std::uint8_t* to = ScanLine(y + clip.Dy) + static_cast<std::size_t>(clip.Source.Left + clip.Dx) * 3;
    for (std::int32_t x = clip.Source.Left; x < clip.Source.Right; ++x, ++from, to += 3) {
      to[0] = BlueOf(*from);
      to[1] = GreenOf(*from);
      to[2] = RedOf(*from);
    }
  }
}

}  // namespace mosaicer
