// Resampling one bitmap rectangle into another of a different size.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/Bitmap32.h"

namespace mosaicer {

// The three-lobe Lanczos kernel in single precision: 0 for |x| >= 3, else
// sinc(|x|) * sinc(|x| / 3). The sine is rounded once to single precision from a wider result,
// so the tap tables do not depend on which variant of the maths library a machine picks.
float LanczosKernel(float x);

// The taps of one axis, source length S onto destination length D (both at least 1): pixel i
// of the destination takes the source pixels Position[k] with weights Weight[k] (256 stands
// for 1) for k from First[i] to First[i + 1] - 1. Positions are clamped to 0..S - 1 and the
// weights of every pixel add up to 256.
struct TLanczosTaps {
  std::vector<std::int32_t> First;
  std::vector<std::int32_t> Position;
  std::vector<std::int32_t> Weight;
};
TLanczosTaps LanczosTaps(std::int32_t sourceLength, std::int32_t destinationLength);

// Resamples the src rectangle of source into the dst rectangle of target with the Lanczos
// taps, vertical pass then horizontal pass in 32-bit integer sums. src must lie inside source
// and both rectangles must be non-empty; dst is clipped to target. Large pictures are split
// between two threads; the result does not depend on it.
void LanczosDraw(TBitmap32& target, const TRect& dst, const TBitmap32& source, const TRect& src);

// The kernel of the vertical pass: by default the widest this machine runs; a narrower one can
// be chosen so that each is checked against the others on one machine. Returns false, changing
// nothing, for a kernel the machine cannot run. All give the same pixels.
enum class TResampleKernel { Widest, Avx2, Plain };
bool SetResampleKernel(TResampleKernel kernel);

// Nearest-neighbour resampling for the other filters, under the same conditions.
void NearestDraw(TBitmap32& target, const TRect& dst, const TBitmap32& source, const TRect& src);

}  // namespace mosaicer
