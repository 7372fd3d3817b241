// The bitmap's sizing and same-size drawing.
#include <gtest/gtest.h>

#include <limits>

#include "runtime/Bitmap32.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"

namespace mosaicer {
namespace {

// Pixel value that encodes its own position, to see where copies land.
TColor32 Marker(std::int32_t x, std::int32_t y) { return Color32(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7); }

void FillMarkers(TBitmap32& b) {
  for (std::int32_t y = 0; y < b.Height(); ++y)
    for (std::int32_t x = 0; x < b.Width(); ++x) b.SetPixel(x, y, Marker(x, y));
}

TEST(Color32, ChannelLayout) {
  const TColor32 c = Color32(0x11, 0x22, 0x33, 0x44);
  EXPECT_EQ(c, 0x44112233u);
  EXPECT_EQ(AlphaOf(c), 0x44);
  EXPECT_EQ(RedOf(c), 0x11);
  EXPECT_EQ(GreenOf(c), 0x22);
  EXPECT_EQ(BlueOf(c), 0x33);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&c);
  EXPECT_EQ(bytes[0], 0x33) << "blue first in memory";
}

TEST(Bitmap32, SetSize) {
  TBitmap32 b;
  EXPECT_TRUE(b.Empty());
  b.SetSize(-4, 3);
  EXPECT_EQ(b.Width(), 0);
  EXPECT_EQ(b.Height(), 0);
  EXPECT_TRUE(b.Empty());
  b.SetSize(5, 0);
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Bits(), nullptr);

  b.SetSize(5, 3);
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(b.Height(), 3);
  b.Fill(Color32(1, 2, 3));
  const TColor32* before = b.Bits();
  b.SetSize(5, 3);
  EXPECT_EQ(b.Bits(), before) << "the same size keeps the pixels";
  EXPECT_EQ(b.Pixel(4, 2), Color32(1, 2, 3));
  EXPECT_EQ(b.ScanLine(2), b.Bits() + 10) << "rows without padding";

  b.SetSize(3, 5);
  EXPECT_EQ(b.Width(), 3);
  b.SetSize(0, 7);
  EXPECT_TRUE(b.Empty());
}

TEST(Bitmap32, LargeBuffersAreHugePageAligned) {
  TBitmap32 b;
  b.SetSize(2000, 1000);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.Bits()) % (2u << 20), 0u);
  b.Fill(Color32(9, 9, 9));
  EXPECT_EQ(b.Pixel(1999, 999), Color32(9, 9, 9));
}

TEST(Bitmap32, SizesPastTheLimitAreRefusedAndLeaveItEmpty) {
  TBitmap32 b;
  b.SetSize(10, 10);
  EXPECT_THROW_MSG(b.SetSize(65500, 65500), Exception, "Can't allocate the DIB handle");
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Bits(), nullptr);
  const auto max = std::numeric_limits<std::int32_t>::max();
  EXPECT_THROW_MSG(b.SetSize(max, max), Exception, "Can't allocate the DIB handle");
  EXPECT_LE(TBitmap32::MaxPixelBytes(), std::size_t{4} << 30);
  EXPECT_GE(TBitmap32::MaxPixelBytes(), std::size_t{100} << 20) << "a 24-megapixel photo must fit";
}

TEST(Bitmap32, SameSizeDrawCopiesExactly) {
  TBitmap32 src, dst;
  src.SetSize(8, 6);
  FillMarkers(src);
  dst.SetSize(4, 3);
  dst.Fill(0);
  dst.Draw({0, 0, 4, 3}, {2, 1, 6, 4}, src);
  for (std::int32_t y = 0; y < 3; ++y)
    for (std::int32_t x = 0; x < 4; ++x) EXPECT_EQ(dst.Pixel(x, y), Marker(x + 2, y + 1));
}

TEST(Bitmap32, DrawIsClippedToBothBitmaps) {
  TBitmap32 src, dst;
  src.SetSize(4, 4);
  FillMarkers(src);
  dst.SetSize(4, 4);
  dst.Fill(0);
  // Hangs off the right and bottom of the destination.
  dst.Draw({2, 3, 6, 7}, {0, 0, 4, 4}, src);
  EXPECT_EQ(dst.Pixel(2, 3), Marker(0, 0));
  EXPECT_EQ(dst.Pixel(3, 3), Marker(1, 0));
  EXPECT_EQ(dst.Pixel(1, 3), 0u);
  EXPECT_EQ(dst.Pixel(2, 2), 0u);
  // Hangs off the top and left of the source and the destination.
  dst.Fill(0);
  dst.Draw({-1, 0, 3, 4}, {-2, -1, 2, 3}, src);
  EXPECT_EQ(dst.Pixel(1, 1), Marker(0, 0));
  EXPECT_EQ(dst.Pixel(2, 3), Marker(1, 2));
  EXPECT_EQ(dst.Pixel(0, 1), 0u);
  EXPECT_EQ(dst.Pixel(1, 0), 0u);
  // Entirely outside: nothing.
  dst.Fill(0);
  dst.Draw({10, 10, 14, 14}, {0, 0, 4, 4}, src);
  dst.Draw({0, 0, 4, 4}, {4, 0, 8, 4}, src);
  for (std::int32_t y = 0; y < 4; ++y)
    for (std::int32_t x = 0; x < 4; ++x) EXPECT_EQ(dst.Pixel(x, y), 0u);
}

TEST(Bitmap32, DrawWithAnEmptyBitmapDoesNothing) {
  TBitmap32 empty, b;
  b.SetSize(2, 2);
  b.Fill(Color32(5, 5, 5));
  b.Draw({0, 0, 2, 2}, {0, 0, 2, 2}, empty);
  EXPECT_EQ(b.Pixel(1, 1), Color32(5, 5, 5));
  empty.Draw({0, 0, 2, 2}, {0, 0, 2, 2}, b);
  EXPECT_TRUE(empty.Empty());
}

}  // namespace
}  // namespace mosaicer
