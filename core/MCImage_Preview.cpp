// The document's preview: the scaled picture with the division's outlines.
#include <algorithm>
#include <cmath>

#include "core/MCImage.h"

namespace mosaicer {

namespace {

// Half-to-even rounding of a product that fits in 32 bits for every sound picture; kept in
// range for any other, where the canvas cuts the line anyway.
std::int32_t RoundToInt32(long double value) {
  const long double rounded = std::nearbyint(value);
  return static_cast<std::int32_t>(std::clamp(rounded, -2147483648.0L, 2147483647.0L));
}

}  // namespace

std::int32_t ScaledCoordinate(std::int32_t value, long double scale) {
  return RoundToInt32(static_cast<long double>(value) * scale);
}

TPreviewLayout PreviewLayoutOf(std::int32_t width, std::int32_t height, std::int32_t boxWidth, std::int32_t boxHeight) {
  TPreviewLayout layout;
  // The side to fit follows the picture's orientation alone, not the box's.
  if (height < width) {
    layout.Scale = static_cast<long double>(boxWidth) / static_cast<long double>(width);
    layout.Width = boxWidth;
    layout.Height = ScaledCoordinate(height, layout.Scale);
  } else {
    layout.Scale = height == 0 ? 0.0L : static_cast<long double>(boxHeight) / static_cast<long double>(height);
    layout.Height = boxHeight;
    layout.Width = ScaledCoordinate(width, layout.Scale);
  }
  layout.Placement = {0, 0, layout.Width, layout.Height};
  // Integer halving rounds toward zero, so a picture larger than the box moves up or left.
  if (layout.Width == boxWidth) {
    const std::int32_t down = static_cast<std::int32_t>((std::int64_t{boxHeight} - layout.Height) / 2);
    layout.Placement.Top += down;
    layout.Placement.Bottom += down;
  } else {
    const std::int32_t right = static_cast<std::int32_t>((std::int64_t{boxWidth} - layout.Width) / 2);
    layout.Placement.Left += right;
    layout.Placement.Right += right;
  }
  return layout;
}

const TBitmap32& TMCImage::ScaledPicture(std::int32_t width, std::int32_t height) {
  // The one rule: the kept picture stands while it was made from the pixels as they are now
  // (the change stamp it was made at) and at the size asked for.
  if (FScaledStamp == Bitmap.ChangeStamp() && FScaled.Width() == width && FScaled.Height() == height) return FScaled;
  // No bitmap with pixels has stamp 0, so a resampling that fails part way is not kept.
  FScaledStamp = 0;
  FScaled.SetSize(width, height);
  const TBitmap32& picture = Bitmap;  // read only, so its change stamp stays
  FScaled.Draw({0, 0, width, height}, {0, 0, picture.Width(), picture.Height()}, picture);
  FScaledStamp = Bitmap.ChangeStamp();
  ++FPreviewResamples;
  return FScaled;
}

void TMCImage::DrawPreview(TCanvas& target, std::int32_t boxWidth, std::int32_t boxHeight, bool showBreakup) {
  const TPreviewLayout layout = PreviewLayoutOf(Bitmap.Width(), Bitmap.Height(), boxWidth, boxHeight);
  const long double s = layout.Scale;
  // The scaled picture, the copy that takes the outlines, and the resampler's work rows.
  CheckMemoryFor(3 * std::uint64_t(std::max(layout.Width, 0)) * std::uint64_t(std::max(layout.Height, 0)) * sizeof(TColor32),
                 "draw the preview");
  Bitmap.StretchFilter = sfLanczos;
  // The outlines go on a copy, so that the kept scaled picture stays clean.
  TBitmap32 scaled;
  scaled.SetSize(layout.Width, layout.Height);
  const TRect whole{0, 0, scaled.Width(), scaled.Height()};
  if (!scaled.Empty() && !Bitmap.Empty()) scaled.Draw(whole, whole, ScaledPicture(layout.Width, layout.Height));

  if (showBreakup && Breakup.RowCount() > 0) {
    TCanvas& canvas = scaled.Canvas();
    Breakup.ForEachCell([&](const TMCCell& cell) {
      const std::int32_t x1 = ScaledCoordinate(cell.Left, s);
      const std::int32_t y1 = ScaledCoordinate(cell.Top, s);
      const std::int32_t x2 = RoundToInt32((static_cast<long double>(cell.Left) + cell.Width) * s);
      const std::int32_t y2 = RoundToInt32((static_cast<long double>(cell.Top) + cell.Height) * s);
      canvas.SetPenColor(clGray);
      canvas.SetPenStyle(psDot);
      canvas.SetPenMode(pmMergePenNot);
      canvas.MoveTo(x1, y1);
      canvas.LineTo(x2, y1);
      canvas.LineTo(x2, y2);
      canvas.LineTo(x1, y2);
      canvas.LineTo(x1, y1);
    });
  }
  target.CopyRect(layout.Placement, scaled.Canvas(), whole);
}

}  // namespace mosaicer
