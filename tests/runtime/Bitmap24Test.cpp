// The 24-bit bitmap the encoder is filled through: its sizing and the copy from a 32-bit one.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "runtime/Bitmap24.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"

namespace mosaicer {
namespace {

TEST(Bitmap24, WidthThenHeightAndCopyingFromA32BitBitmap) {
  TBitmap24 b;
  b.SetWidth(5);
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Width(), 5);
  b.SetHeight(3);
  EXPECT_EQ(b.Height(), 3);
  EXPECT_EQ(b.Stride(), 15u);

  TBitmap32 source;
  source.SetSize(8, 8);
  for (std::int32_t y = 0; y < 8; ++y)
    for (std::int32_t x = 0; x < 8; ++x)
      source.SetPixel(x, y, Color32(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 200, 17));
  std::fill_n(b.ScanLine(0), 15 * 3, 0xEE);
  b.Draw({0, 0, 5, 3}, {2, 4, 7, 7}, source);
  for (std::int32_t y = 0; y < 3; ++y) {
    for (std::int32_t x = 0; x < 5; ++x) {
      const std::uint8_t* p = b.ScanLine(y) + x * 3;
      EXPECT_EQ(p[0], 200) << "blue first";
      EXPECT_EQ(p[1], y + 4) << "green";
      EXPECT_EQ(p[2], x + 2) << "red";
    }
  }
  // Clipped at the source's edge: the rest stays as it was.
  std::fill_n(b.ScanLine(0), 15 * 3, 0xEE);
  b.Draw({0, 0, 5, 3}, {6, 6, 11, 9}, source);
  EXPECT_EQ(b.ScanLine(0)[2], 6);
  EXPECT_EQ(b.ScanLine(1)[3 * 1 + 2], 7);
  EXPECT_EQ(b.ScanLine(0)[3 * 2], 0xEE);
  EXPECT_EQ(b.ScanLine(2)[0], 0xEE);

  EXPECT_THROW_MSG(b.SetSize(65536, 65536), Exception, "Can't allocate the DIB handle");
  EXPECT_TRUE(b.Empty());
}

TEST(Bitmap24, NegativeSidesCountAsZeroAndTheSameSizeKeepsThePixels) {
  TBitmap24 b;
  b.SetSize(-4, 3);
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Width(), 0);
  EXPECT_EQ(b.Height(), 3);
  b.SetSize(2, 2);
  std::fill_n(b.ScanLine(0), 12, 0x5A);
  const std::uint8_t* before = b.ScanLine(0);
  b.SetSize(2, 2);
  EXPECT_EQ(b.ScanLine(0), before);
  EXPECT_TRUE(std::all_of(b.ScanLine(0), b.ScanLine(0) + 12, [](std::uint8_t v) { return v == 0x5A; }));
  // The row arithmetic must not wrap: the largest side past the limit is refused, not allocated.
  const auto max = std::numeric_limits<std::int32_t>::max();
  EXPECT_THROW_MSG(b.SetSize(max, max), Exception, "Can't allocate the DIB handle");
  EXPECT_TRUE(b.Empty());
}

// Rows are packed at three bytes a pixel: a copy into the last pixel of a row must not spill
// into the next row, and one clipped at the destination's edge writes nothing outside it.
TEST(Bitmap24, DrawStaysInsideTheDestination) {
  TBitmap24 b;
  b.SetSize(3, 2);
  TBitmap32 source;
  source.SetSize(4, 4);
  source.Fill(Color32(1, 2, 3));
  std::fill_n(b.ScanLine(0), 18, 0xEE);
  b.Draw({2, 0, 6, 4}, {0, 0, 4, 4}, source);
  for (std::int32_t y = 0; y < 2; ++y) {
    EXPECT_EQ(b.ScanLine(y)[0], 0xEE) << y;
    EXPECT_EQ(b.ScanLine(y)[5], 0xEE) << y;
    EXPECT_EQ(b.ScanLine(y)[6], 3) << y;
    EXPECT_EQ(b.ScanLine(y)[8], 1) << y;
  }
}

TEST(Bitmap24, DrawThatCannotCopyAnythingLeavesThePixels) {
  TBitmap24 b;
  b.SetSize(2, 2);
  std::fill_n(b.ScanLine(0), 12, 0xEE);
  TBitmap32 empty;
  b.Draw({0, 0, 2, 2}, {0, 0, 2, 2}, empty);
  TBitmap32 source;
  source.SetSize(2, 2);
  source.Fill(Color32(9, 9, 9));
  b.Draw({0, 0, 2, 2}, {0, 0, 1, 1}, source);  // rectangles of unequal size
  b.Draw({5, 5, 7, 7}, {0, 0, 2, 2}, source);  // wholly outside
  EXPECT_TRUE(std::all_of(b.ScanLine(0), b.ScanLine(0) + 12, [](std::uint8_t v) { return v == 0xEE; }));
  TBitmap24 none;
  none.Draw({0, 0, 2, 2}, {0, 0, 2, 2}, source);
  EXPECT_TRUE(none.Empty());
}

}  // namespace
}  // namespace mosaicer
