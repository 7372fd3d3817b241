// Drawing on a bitmap's pixels: the pen, lines and the rectangle copy the preview needs. Our
// own code, so that the pixels come out the same on every machine.
#pragma once

#include <cstdint>

#include "runtime/Bitmap32.h"

namespace mosaicer {

enum TPenStyle { psSolid, psDot };

// pmCopy: new = pen. pmMergePenNot: new = pen OR (NOT old), bit by bit on each colour channel.
enum TPenMode { pmCopy, pmMergePenNot };

struct TPoint {
  std::int32_t X = 0;
  std::int32_t Y = 0;
  friend constexpr bool operator==(const TPoint&, const TPoint&) = default;
};

inline constexpr TColor32 clBlack = Color32(0, 0, 0);
inline constexpr TColor32 clGray = Color32(128, 128, 128);
inline constexpr TColor32 clWhite = Color32(255, 255, 255);

// Every operation but the getters fails with EInvalidOperation ("Canvas does not allow
// drawing") while the bitmap is empty. Drawing changes the colour channels only; alpha stays.
class TCanvas {
public:
  explicit TCanvas(TBitmap32& surface) : FSurface(surface) {}
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  bool HasSurface() const { return !FSurface.Empty(); }

  TColor32 PenColor() const { return FPenColor; }
  TPenStyle PenStyle() const { return FPenStyle; }
  TPenMode PenMode() const { return FPenMode; }
  void SetPenColor(TColor32 color);
  void SetPenStyle(TPenStyle style);
  void SetPenMode(TPenMode mode);

  // The dotted pen: runs of DotLength pixels in the pen's mix, then GapLength pixels painted
  // in the brush colour, which is white. Every line starts with a dot at its first pixel, so
  // the corners of an outline always carry one.
  static constexpr std::int32_t DotLength = 2;
  static constexpr std::int32_t GapLength = 2;

  TPoint PenPos() const { return FPenPos; }
  void MoveTo(std::int32_t x, std::int32_t y);
  // Draws from the pen position up to but not including (x, y), which becomes the pen
  // position; pixels outside the bitmap are skipped.
  void LineTo(std::int32_t x, std::int32_t y);

  // Copies the src rectangle of source's bitmap into the dst rectangle of this one; equal
  // sizes copy pixel for pixel.
  void CopyRect(const TRect& dst, TCanvas& source, const TRect& src);

private:
  void RequireSurface() const;
  void Plot(std::int32_t x, std::int32_t y, bool dot);

  TBitmap32& FSurface;
  TColor32 FPenColor = clBlack;
  TPenStyle FPenStyle = psSolid;
  TPenMode FPenMode = pmCopy;
  TPoint FPenPos;
};

}  // namespace mosaicer
