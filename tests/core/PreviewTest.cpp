// The preview: scale and placement, the resampled or copied picture, the cell outlines, the
// failures, and the scaled picture kept between calls.
#include <gtest/gtest.h>

#include <random>
#include <ostream>
#include <set>
#include <string>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

constexpr std::int32_t kBox = 191;
constexpr const char* kNoDrawing = "Canvas does not allow drawing";
const TColor32 kBackground = Color32(1, 2, 3);

TColor32 Grey(std::uint8_t v) { return Color32(v, v, v); }

void FillNoise(TBitmap32& b, std::uint32_t seed) {
  std::mt19937 random(seed);
  for (std::int32_t y = 0; y < b.Height(); ++y)
    for (std::int32_t x = 0; x < b.Width(); ++x) b.SetPixel(x, y, static_cast<TColor32>(random()) | 0xFF000000u);
}

// A division of width x height into rows of equal cells, as MakeBreakup would leave it.
void Grid(TMCBreakup& breakup, std::int32_t width, std::int32_t height, std::int32_t rows, std::int32_t columns) {
  breakup.Clear();
  for (std::int32_t r = 0; r < rows; ++r) {
    TMCRow& row = breakup.Rows(breakup.AddRow());
    row.Height = height / rows;
    for (std::int32_t c = 0; c < columns; ++c) {
      TMCCell& cell = row.Cells(row.AddCell());
      cell = {c * (width / columns), r * (height / rows), width / columns, height / rows, ""};
    }
  }
}

class Preview : public ::testing::Test {
protected:
  void SetUp() override {
    Box.SetSize(kBox, kBox);
    Box.Fill(kBackground);
  }
  void Picture(std::int32_t width, std::int32_t height, std::uint32_t seed = 1) {
    Image.Bitmap.SetSize(width, height);
    Image.ImageWidth = width;
    Image.ImageHeight = height;
    FillNoise(Image.Bitmap, seed);
  }
  void Draw(bool showBreakup = true) { Image.DrawPreview(Box.Canvas(), kBox, kBox, showBreakup); }
  // The box's pixels inside r, as a bitmap of r's size.
  void Cut(const TRect& r, TBitmap32& out) const {
    out.SetSize(r.Width(), r.Height());
    out.Draw({0, 0, r.Width(), r.Height()}, r, Box);
  }
  bool UntouchedOutside(const TRect& r) const {
    for (std::int32_t y = 0; y < kBox; ++y)
      for (std::int32_t x = 0; x < kBox; ++x)
        if ((x < r.Left || x >= r.Right || y < r.Top || y >= r.Bottom) && Box.Pixel(x, y) != kBackground) return false;
    return true;
  }

  TMCImage Image;
  TBitmap32 Box;
};

::testing::AssertionResult SamePixels(const TBitmap32& a, const TBitmap32& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return ::testing::AssertionFailure() << "sizes differ";
  for (std::int32_t y = 0; y < a.Height(); ++y)
    for (std::int32_t x = 0; x < a.Width(); ++x)
      if (a.Pixel(x, y) != b.Pixel(x, y)) return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ")";
  return ::testing::AssertionSuccess();
}

// ---- Scale and placement

struct TLayoutCase {
  const char* Name;
  std::int32_t W, H;
  std::int32_t w, h;
  TRect Placement;
  const char* Why = "";
};

void PrintTo(const TLayoutCase& c, std::ostream* out) { *out << c.Name; }

class PreviewLayoutRows : public ::testing::TestWithParam<TLayoutCase> {};

TEST_P(PreviewLayoutRows, ScaleRoundingAndPlacement) {
  const TLayoutCase& c = GetParam();
  const TPreviewLayout l = PreviewLayoutOf(c.W, c.H, kBox, kBox);
  EXPECT_EQ(l.Width, c.w) << c.Why;
  EXPECT_EQ(l.Height, c.h) << c.Why;
  EXPECT_EQ(l.Placement, c.Placement) << c.Why;
}

INSTANTIATE_TEST_SUITE_P(
    , PreviewLayoutRows,
    ::testing::Values(
        TLayoutCase{"Landscape640x480", 640, 480, 191, 143, {0, 24, 191, 167}, "143.25 rounds down"},
        TLayoutCase{"Portrait480x640", 480, 640, 143, 191, {24, 0, 167, 191}},
        TLayoutCase{"Landscape800x600", 800, 600, 191, 143, {0, 24, 191, 167}},
        TLayoutCase{"Landscape1024x768", 1024, 768, 191, 143, {0, 24, 191, 167}},
        TLayoutCase{"HalfToEven382x101", 382, 101, 191, 50, {0, 70, 191, 120}, "50.5 goes to the even 50"},
        TLayoutCase{"HalfToEven382x103", 382, 103, 191, 52, {0, 69, 191, 121}, "51.5 goes to 52"},
        TLayoutCase{"WideScale180x90", 180, 90, 191, 95, {0, 48, 191, 143}, "s carried with 64 bits gives 95, plain double 96"},
        TLayoutCase{"Unscaled191x191", 191, 191, 191, 191, {0, 0, 191, 191}},
        TLayoutCase{"Unscaled191x100", 191, 100, 191, 100, {0, 45, 191, 145}, "45 down"},
        TLayoutCase{"Enlarged100x100", 100, 100, 191, 191, {0, 0, 191, 191}},
        TLayoutCase{"OneColumn1x100", 1, 100, 2, 191, {94, 0, 96, 191}},
        TLayoutCase{"ThreeRows1000x3", 1000, 3, 191, 1, {0, 95, 191, 96}},
        TLayoutCase{"RoundsToZero1000x2", 1000, 2, 191, 0, {0, 95, 191, 95}, "0.382 rounds to 0"},
        TLayoutCase{"RoundsToZero2x1000", 2, 1000, 0, 191, {95, 0, 95, 191}},
        TLayoutCase{"NothingLoaded", 0, 0, 0, 191, {95, 0, 95, 191}}),
    testing::TRowName());

TEST(PreviewLayout, OrientationNotTheBoxDecidesTheSideToFit) {
  // A wide picture in a tall box fits its width; a picture taller than the box moves up.
  const TPreviewLayout wide = PreviewLayoutOf(200, 100, 50, 300);
  EXPECT_EQ(wide.Width, 50);
  EXPECT_EQ(wide.Height, 25);
  EXPECT_EQ(wide.Placement, (TRect{0, 137, 50, 162}));
  const TPreviewLayout tall = PreviewLayoutOf(100, 200, 300, 50);
  EXPECT_EQ(tall.Height, 50);
  EXPECT_EQ(tall.Width, 25);
  EXPECT_EQ(tall.Placement, (TRect{137, 0, 162, 50}));
  const TPreviewLayout over = PreviewLayoutOf(100, 100, 50, 20);  // square: height fits, width 20
  EXPECT_EQ(over.Placement, (TRect{15, 0, 35, 20}));
  const TPreviewLayout up = PreviewLayoutOf(200, 100, 100, 10);  // 50 high in a 10 high box
  EXPECT_EQ(up.Placement, (TRect{0, -20, 100, 30}));
}

TEST(PreviewLayout, CellEdgesAtHalfScale) {
  EXPECT_EQ(ScaledCoordinate(1, 0.5L), 0);
  EXPECT_EQ(ScaledCoordinate(3, 0.5L), 2);
  EXPECT_EQ(ScaledCoordinate(5, 0.5L), 2);
  EXPECT_EQ(ScaledCoordinate(7, 0.5L), 4);
}

// ---- The picture in the box

TEST_F(Preview, SameSizeIsCopiedPixelForPixel) {
  Picture(191, 191);
  Draw();
  EXPECT_TRUE(SamePixels(Box, Image.Bitmap));
  EXPECT_EQ(Image.Bitmap.StretchFilter, sfLanczos) << "the setting stays on the picture";
}

TEST_F(Preview, UnscaledWidePictureIsCentredDown) {
  Picture(191, 100);
  Draw();
  TBitmap32 shown;
  Cut({0, 45, 191, 145}, shown);
  EXPECT_TRUE(SamePixels(shown, Image.Bitmap));
  EXPECT_TRUE(UntouchedOutside({0, 45, 191, 145}));
}

struct TPlacedCase {
  const char* Name;
  std::int32_t W, H;
  TRect Placement;
};

void PrintTo(const TPlacedCase& c, std::ostream* out) { *out << c.Name; }

class PreviewReduced : public Preview, public ::testing::WithParamInterface<TPlacedCase> {};

TEST_P(PreviewReduced, IsTheLanczosResampleInItsPlace) {
  const auto& [name, W, H, placement] = GetParam();
  Picture(W, H);
  Draw();
  TBitmap32 expected, shown;
  expected.SetSize(placement.Width(), placement.Height());
  expected.Draw({0, 0, expected.Width(), expected.Height()}, {0, 0, W, H}, Image.Bitmap);
  Cut(placement, shown);
  EXPECT_TRUE(SamePixels(shown, expected));
  EXPECT_TRUE(UntouchedOutside(placement));
}

INSTANTIATE_TEST_SUITE_P(, PreviewReduced,
                         ::testing::Values(TPlacedCase{"Landscape640x480", 640, 480, TRect{0, 24, 191, 167}},
                                           TPlacedCase{"Portrait480x640", 480, 640, TRect{24, 0, 167, 191}},
                                           TPlacedCase{"Enlarged100x100", 100, 100, TRect{0, 0, 191, 191}},
                                           TPlacedCase{"ThreeRows1000x3", 1000, 3, TRect{0, 95, 191, 96}}),
                         testing::TRowName());

TEST_F(Preview, OneColumnIsShownTwoColumnsWide) {
  Picture(1, 100);
  Draw();
  for (std::int32_t y = 0; y < kBox; ++y) {
    EXPECT_EQ(Box.Pixel(94, y), Box.Pixel(95, y)) << y;
    EXPECT_EQ(Box.Pixel(93, y), kBackground);
    EXPECT_EQ(Box.Pixel(96, y), kBackground);
  }
}

struct TSizeCase {
  std::int32_t W, H;
};

std::string SizeName(const ::testing::TestParamInfo<TSizeCase>& row) {
  return "Size" + std::to_string(row.param.W) + "x" + std::to_string(row.param.H);
}

void PrintTo(const TSizeCase& c, std::ostream* out) { *out << c.W << "x" << c.H; }

class PreviewUniform : public Preview, public ::testing::WithParamInterface<TSizeCase> {};

TEST_P(PreviewUniform, ColourIsKeptAtEveryScale) {
  const auto [W, H] = GetParam();
  const TColor32 colour = Color32(12, 200, 77);
  Image.Bitmap.SetSize(W, H);
  Image.Bitmap.Fill(colour);
  Draw();
  const TRect p = PreviewLayoutOf(W, H, kBox, kBox).Placement;
  for (std::int32_t y = p.Top; y < p.Bottom; ++y)
    for (std::int32_t x = p.Left; x < p.Right; ++x) ASSERT_EQ(Box.Pixel(x, y), colour) << " at " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(, PreviewUniform,
                         ::testing::Values(TSizeCase{640, 480}, TSizeCase{100, 100}, TSizeCase{1, 100}, TSizeCase{1000, 3},
                                           TSizeCase{191, 100}, TSizeCase{3000, 2000}, TSizeCase{37, 1200}),
                         SizeName);

class PreviewScaledToZero : public Preview, public ::testing::WithParamInterface<TSizeCase> {};

TEST_P(PreviewScaledToZero, FailsAndDrawsNothing) {
  const auto [W, H] = GetParam();
  Image.Bitmap.SetSize(W, H);
  if (!Image.Bitmap.Empty()) Image.Bitmap.Fill(Grey(9));
  Grid(Image.Breakup, 1000, 1000, 2, 2);
  EXPECT_THROW_MSG(Draw(), EInvalidOperation, kNoDrawing);
  EXPECT_THROW_MSG(Draw(false), EInvalidOperation, kNoDrawing);
  EXPECT_TRUE(UntouchedOutside({0, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(, PreviewScaledToZero,
                         ::testing::Values(TSizeCase{1000, 2}, TSizeCase{2, 1000}, TSizeCase{382, 1}, TSizeCase{0, 0}),
                         SizeName);

TEST_F(Preview, TargetWithoutSurfaceFails) {
  Picture(64, 48);
  TBitmap32 none;
  EXPECT_THROW_MSG(Image.DrawPreview(none.Canvas(), kBox, kBox, true), EInvalidOperation, kNoDrawing);
}

// ---- Outlines

TEST_F(Preview, NoOutlinesWithoutRowsOrWhenNotAsked) {
  Picture(640, 480);
  Draw(false);
  TBitmap32 plain;
  Cut({0, 0, kBox, kBox}, plain);
  Draw(true);  // no rows yet
  TBitmap32 again;
  Cut({0, 0, kBox, kBox}, again);
  EXPECT_TRUE(SamePixels(plain, again));
  Grid(Image.Breakup, 640, 480, 2, 2);
  Draw(false);
  Cut({0, 0, kBox, kBox}, again);
  EXPECT_TRUE(SamePixels(plain, again));
}

TEST_F(Preview, TwoByTwoDivisionShowsTheInnerLinesAndTheLeftAndTopBorder) {
  Image.Bitmap.SetSize(640, 480);
  Image.Bitmap.Fill(Grey(20));
  Grid(Image.Breakup, 640, 480, 2, 2);
  Draw();
  // Scaled 191 x 143 at (0, 24): the middle lines lie at x = round(95.5) = 96 and
  // y = round(71.625) = 72; the right edge (x = 191) and bottom edge (y = 143) fall outside.
  auto at = [&](std::int32_t x, std::int32_t y) { return Box.Pixel(x, y + 24); };
  const TColor32 picture = Grey(20), dot = Grey(235), gap = clWhite, dotTwice = Grey(128 | 20), gapThenDot = Grey(128);
  std::set<TColor32> left, middle, top;
  for (std::int32_t y = 0; y < 143; ++y) {
    if (y != 72) left.insert(at(0, y));
    if (y != 72) middle.insert(at(96, y));
    if (y != 0 && y != 72) {
      EXPECT_EQ(at(190, y), picture) << "no line along the right border, row " << y;
    }
  }
  for (std::int32_t x = 1; x < 191; ++x) {
    if (x != 96) top.insert(at(x, 0));
    if (x != 0 && x != 96) {
      EXPECT_EQ(at(x, 142), picture) << "no line along the bottom border, column " << x;
    }
    EXPECT_NE(at(x, 72), picture) << "the middle line, column " << x;
  }
  // Border lines are drawn once per cell; the shared middle edges twice, in opposite
  // directions, so dots meet dots and gaps; where lines cross, the corners' dots meet.
  EXPECT_EQ(at(0, 72), dotTwice);
  EXPECT_EQ(at(96, 0), dotTwice);
  EXPECT_EQ(left, (std::set<TColor32>{dot, gap}));
  EXPECT_EQ(top, (std::set<TColor32>{dot, gap}));
  EXPECT_EQ(middle, (std::set<TColor32>{dotTwice, gapThenDot, gap}));
  for (std::int32_t y = 1; y < 143; ++y)
    for (std::int32_t x = 1; x < 191; ++x)
      if (x != 96 && y != 72) {
        ASSERT_EQ(at(x, y), picture) << x << "," << y;
      }
}

struct TOutlineCase {
  std::uint8_t Picture, Shown;
};

void PrintTo(const TOutlineCase& c, std::ostream* out) { *out << int{c.Picture}; }

class PreviewOutlines : public Preview, public ::testing::WithParamInterface<TOutlineCase> {};

TEST_P(PreviewOutlines, StandOutOnDarkAndLight) {
  const auto [d, shown] = GetParam();
  Image.Bitmap.SetSize(640, 480);
  Image.Bitmap.Fill(Grey(d));
  Grid(Image.Breakup, 640, 480, 1, 1);
  Draw();
  EXPECT_EQ(Box.Pixel(0, 24), Grey(shown));
  EXPECT_EQ(Box.Pixel(TCanvas::DotLength, 24), clWhite);
}

INSTANTIATE_TEST_SUITE_P(, PreviewOutlines,
                         ::testing::Values(TOutlineCase{10, 245}, TOutlineCase{127, 128}, TOutlineCase{128, 255},
                                           TOutlineCase{200, 183}, TOutlineCase{255, 128}),
                         [](const ::testing::TestParamInfo<TOutlineCase>& row) {
                           return "Grey" + std::to_string(int{row.param.Picture});
                         });

// ---- The scaled picture kept between calls

TEST_F(Preview, NewDivisionDoesNotResampleAgain) {
  Picture(1200, 900);
  RandomState = 5;
  Image.MakeBreakup(16);
  Draw();
  EXPECT_EQ(Image.PreviewResamples(), 1);
  Image.MakeBreakup(40);
  Draw();
  EXPECT_EQ(Image.PreviewResamples(), 1);
  // The same pixels as a document drawing it for the first time.
  TMCImage fresh;
  fresh.Bitmap.SetSize(1200, 900);
  fresh.ImageWidth = 1200;
  fresh.ImageHeight = 900;
  FillNoise(fresh.Bitmap, 1);
  RandomState = 5;
  fresh.MakeBreakup(16);
  fresh.MakeBreakup(40);
  TBitmap32 box;
  box.SetSize(kBox, kBox);
  box.Fill(kBackground);
  fresh.DrawPreview(box.Canvas(), kBox, kBox, true);
  EXPECT_TRUE(SamePixels(Box, box));
  // Outlines never reach the kept picture.
  Draw(false);
  TBitmap32 expected, shown;
  expected.SetSize(191, 143);
  expected.Draw({0, 0, 191, 143}, {0, 0, 1200, 900}, Image.Bitmap);
  Cut({0, 24, 191, 167}, shown);
  EXPECT_TRUE(SamePixels(shown, expected));
}

TEST_F(Preview, AnotherBoxOrChangedPixelsResampleAgain) {
  Picture(300, 200);
  Draw();
  Image.DrawPreview(Box.Canvas(), 100, 100, true);
  EXPECT_EQ(Image.PreviewResamples(), 2);
  Image.Bitmap.SetPixel(150, 100, Grey(0));
  Draw();
  EXPECT_EQ(Image.PreviewResamples(), 3);
  Image.Bitmap.SetSize(30, 20);
  Image.Bitmap.Fill(Grey(77));
  Draw();
  EXPECT_EQ(Image.PreviewResamples(), 4);
  EXPECT_EQ(Box.Pixel(95, 95), Grey(77));
}

TEST_F(Preview, LoadingAnotherPictureDropsTheKeptOne) {
  testing::TTempDir dir;
  const std::string a = dir.File("a.jpg"), b = dir.File("b.jpg");
  testing::WriteJPEG(a, testing::Uniform(400, 300, 200, 10, 10));
  testing::WriteJPEG(b, testing::Uniform(400, 300, 10, 10, 200));
  Image.LoadFromFile(a);
  Draw();
  const TColor32 first = Box.Pixel(95, 95);
  Image.LoadFromFile(b);
  Draw();
  EXPECT_EQ(Image.PreviewResamples(), 2);
  EXPECT_NE(Box.Pixel(95, 95), first);
  EXPECT_GT(BlueOf(Box.Pixel(95, 95)), 150);
  // A failed load leaves the picture, and the kept preview with it.
  EXPECT_THROW(Image.LoadFromFile(dir.File("missing.gif")), EInvalidGraphic);
  Draw();
  EXPECT_EQ(Image.PreviewResamples(), 2);
}

}  // namespace
}  // namespace mosaicer
