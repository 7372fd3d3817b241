// The canvas: pen and mix rule, dotted lines that stop short of their end point, the
// rectangle copy, and the failure of every operation without a surface.
#include <gtest/gtest.h>

#include "runtime/Canvas.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"

namespace mosaicer {
namespace {

constexpr const char* kNoDrawing = "Canvas does not allow drawing";

TColor32 Grey(std::uint8_t v) { return Color32(v, v, v); }

class Canvas : public ::testing::Test {
protected:
  void SetUp() override {
    Bitmap.SetSize(12, 8);
    Bitmap.Fill(Grey(20));
  }
  void DottedGreyPen() {
    TCanvas& c = Bitmap.Canvas();
    c.SetPenColor(clGray);
    c.SetPenStyle(psDot);
    c.SetPenMode(pmMergePenNot);
  }
  TBitmap32 Bitmap;
};

TEST_F(Canvas, EveryOperationFailsWithoutASurface) {
  TBitmap32 empty, full;
  full.SetSize(2, 2);
  TCanvas& c = empty.Canvas();
  EXPECT_FALSE(c.HasSurface());
  EXPECT_THROW_MSG(c.SetPenColor(clGray), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(c.SetPenStyle(psDot), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(c.SetPenMode(pmMergePenNot), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(c.MoveTo(0, 0), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(c.LineTo(1, 0), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(c.CopyRect({0, 0, 1, 1}, full.Canvas(), {0, 0, 1, 1}), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(full.Canvas().CopyRect({0, 0, 1, 1}, c, {0, 0, 1, 1}), EInvalidOperation, kNoDrawing);
  EXPECT_EQ(c.PenColor(), clBlack) << "reading the pen still works";
  // A canvas lives as long as its bitmap and gains a surface with a size.
  empty.SetSize(3, 3);
  EXPECT_EQ(&empty.Canvas(), &c);
  EXPECT_TRUE(c.HasSurface());
  EXPECT_NO_THROW(c.MoveTo(0, 0));
}

TEST_F(Canvas, LineStopsShortOfItsEndPoint) {
  TCanvas& c = Bitmap.Canvas();
  c.SetPenColor(Grey(200));
  c.MoveTo(2, 3);
  c.LineTo(7, 3);
  EXPECT_EQ(c.PenPos(), (TPoint{7, 3}));
  for (std::int32_t x = 0; x < 12; ++x) EXPECT_EQ(Bitmap.Pixel(x, 3), Grey(x >= 2 && x < 7 ? 200 : 20)) << x;
  // Backwards and vertical, likewise.
  c.LineTo(7, 0);
  for (std::int32_t y = 0; y < 8; ++y) EXPECT_EQ(Bitmap.Pixel(7, y), Grey(y >= 1 && y <= 3 ? 200 : 20)) << y;
  c.LineTo(7, 0);  // zero length: nothing
  EXPECT_EQ(Bitmap.Pixel(7, 0), Grey(20));
}

TEST_F(Canvas, ClosedOutlineReachesEveryPixelOnce) {
  TCanvas& c = Bitmap.Canvas();
  c.SetPenColor(clGray);
  c.SetPenMode(pmMergePenNot);  // solid: a pixel reached twice would turn back to 128 | 20
  c.MoveTo(1, 1);
  c.LineTo(9, 1);
  c.LineTo(9, 6);
  c.LineTo(1, 6);
  c.LineTo(1, 1);
  for (std::int32_t y = 0; y < 8; ++y)
    for (std::int32_t x = 0; x < 12; ++x) {
      const bool edge = (x >= 1 && x <= 9 && (y == 1 || y == 6)) || ((x == 1 || x == 9) && y >= 1 && y <= 6);
      EXPECT_EQ(Bitmap.Pixel(x, y), Grey(edge ? 235 : 20)) << x << "," << y;
    }
}

TEST_F(Canvas, DottedLineMixesDotsAndPaintsGapsWhite) {
  DottedGreyPen();
  Bitmap.SetPixel(4, 2, Color32(200, 127, 128, 77));
  Bitmap.Canvas().MoveTo(0, 2);
  Bitmap.Canvas().LineTo(12, 2);
  for (std::int32_t x = 0; x < 12; ++x) {
    const bool dot = x % (TCanvas::DotLength + TCanvas::GapLength) < TCanvas::DotLength;
    if (x == 4) continue;
    EXPECT_EQ(Bitmap.Pixel(x, 2), dot ? Grey(235) : clWhite) << x;
  }
  // 128 OR (255 - d): 255 - d below 128, 383 - d from 128 on; alpha stays.
  ASSERT_LT(4 % (TCanvas::DotLength + TCanvas::GapLength), TCanvas::DotLength);
  EXPECT_EQ(Bitmap.Pixel(4, 2), Color32(183, 128, 255, 77));
}

TEST_F(Canvas, TheMixIsNotIdempotentWhereOutlinesMeet) {
  DottedGreyPen();
  TCanvas& c = Bitmap.Canvas();
  // The same dotted line twice in the same direction: dot over dot gives 128 OR d.
  c.MoveTo(0, 0);
  c.LineTo(12, 0);
  c.MoveTo(0, 0);
  c.LineTo(12, 0);
  EXPECT_EQ(Bitmap.Pixel(0, 0), Grey(128 | 20));
  EXPECT_EQ(Bitmap.Pixel(2, 0), clWhite);
  // A gap that a later dot covers becomes grey 128: shift the second line by the dot length.
  c.MoveTo(0, 4);
  c.LineTo(12, 4);
  c.MoveTo(TCanvas::DotLength, 4);
  c.LineTo(12, 4);
  EXPECT_EQ(Bitmap.Pixel(TCanvas::DotLength, 4), Grey(128));
}

TEST_F(Canvas, PatternStartsWithADotAtEveryLinesFirstPixel) {
  DottedGreyPen();
  TCanvas& c = Bitmap.Canvas();
  c.MoveTo(10, 7);
  c.LineTo(10, 0);  // upwards
  c.LineTo(0, 0);   // leftwards
  EXPECT_EQ(Bitmap.Pixel(10, 7), Grey(235));
  EXPECT_EQ(Bitmap.Pixel(10, 0), Grey(235));
  EXPECT_EQ(Bitmap.Pixel(10, 7 - TCanvas::DotLength), clWhite);
  EXPECT_EQ(Bitmap.Pixel(10 - TCanvas::DotLength, 0), clWhite);
  EXPECT_EQ(Bitmap.Pixel(0, 0), Grey(20)) << "the end point stays";
}

TEST_F(Canvas, DiagonalLines) {
  TCanvas& c = Bitmap.Canvas();
  c.SetPenColor(clWhite);
  c.MoveTo(0, 0);
  c.LineTo(4, 2);
  EXPECT_EQ(Bitmap.Pixel(0, 0), clWhite);
  EXPECT_EQ(Bitmap.Pixel(1, 1), clWhite);  // 0.5 rounds away from the start
  EXPECT_EQ(Bitmap.Pixel(2, 1), clWhite);
  EXPECT_EQ(Bitmap.Pixel(3, 2), clWhite);
  EXPECT_EQ(Bitmap.Pixel(4, 2), Grey(20));
  c.MoveTo(11, 0);
  c.LineTo(8, 7);  // steep, going left
  EXPECT_EQ(Bitmap.Pixel(11, 0), clWhite);
  EXPECT_EQ(Bitmap.Pixel(8, 6), clWhite);
  EXPECT_EQ(Bitmap.Pixel(8, 7), Grey(20));
}

TEST_F(Canvas, LinesOutsideAreCutAndFarEndsCostNothing) {
  TCanvas& c = Bitmap.Canvas();
  c.SetPenColor(clWhite);
  c.MoveTo(-2000000000, 5);
  c.LineTo(2000000000, 5);
  for (std::int32_t x = 0; x < 12; ++x) EXPECT_EQ(Bitmap.Pixel(x, 5), clWhite);
  c.MoveTo(2147483647, -2147483647 - 1);
  c.LineTo(-2147483647 - 1, 2147483647);  // the anti-diagonal through nearly nothing
  c.MoveTo(12, 0);
  c.LineTo(12, 8);  // just right of the bitmap
  c.MoveTo(0, 8);
  c.LineTo(12, 8);  // just below it
  for (std::int32_t y = 0; y < 8; ++y) {
    if (y != 5) {
      EXPECT_EQ(Bitmap.Pixel(11, y), Grey(20)) << y;
    }
  }
}

TEST_F(Canvas, CopyRectCopiesPixelForPixel) {
  TBitmap32 source;
  source.SetSize(5, 4);
  for (std::int32_t y = 0; y < 4; ++y)
    for (std::int32_t x = 0; x < 5; ++x) source.SetPixel(x, y, Color32(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 1));
  source.StretchFilter = sfLanczos;  // not used for equal sizes
  Bitmap.Canvas().CopyRect({9, 6, 14, 10}, source.Canvas(), {0, 0, 5, 4});
  EXPECT_EQ(Bitmap.Pixel(9, 6), Color32(0, 0, 1));
  EXPECT_EQ(Bitmap.Pixel(11, 7), Color32(2, 1, 1));
  EXPECT_EQ(Bitmap.Pixel(8, 6), Grey(20));
  EXPECT_EQ(Bitmap.Pixel(9, 5), Grey(20));
}

}  // namespace
}  // namespace mosaicer
