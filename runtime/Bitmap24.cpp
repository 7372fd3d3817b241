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
  const std::int64_t dx = std::int64_t{dst.Left} - src.Left;
  const std::int64_t dy = std::int64_t{dst.Top} - src.Top;
  const std::int64_t left = std::max<std::int64_t>({src.Left, 0, -dx});
  const std::int64_t top = std::max<std::int64_t>({src.Top, 0, -dy});
  const std::int64_t right = std::min<std::int64_t>({src.Right, source.Width(), std::int64_t{Width()} - dx});
  const std::int64_t bottom = std::min<std::int64_t>({src.Bottom, source.Height(), std::int64_t{Height()} - dy});
  if (left >= right || top >= bottom) return;
  for (std::int64_t y = top; y < bottom; ++y) {
    const TColor32* from = source.ScanLine(static_cast<std::int32_t>(y)) + left;
    std::uint8_t* to = ScanLine(static_cast<std::int32_t>(y + dy)) + (left + dx) * 3;
    for (std::int64_t x = left; x < right; ++x, ++from, to += 3) {
      to[0] = BlueOf(*from);
      to[1] = GreenOf(*from);
      to[2] = RedOf(*from);
    }
  }
}

}  // namespace mosaicer
