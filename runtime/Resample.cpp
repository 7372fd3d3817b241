#include "runtime/Resample.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <numbers>
#include <thread>

namespace mosaicer {

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

float Sinc(float t) {
  if (t == 0.0f) return 1.0f;
  const float p = kPi * t;
  return static_cast<float>(std::sin(static_cast<double>(p))) / p;
}

// Destination rows are worked in bands, and each band in slices of columns, so that the source
// rows a band needs are read from cache rather than memory for every row that shares them.
constexpr std::int32_t kBandRows = 16;
constexpr std::size_t kSliceLanes = 1024;
// Below this many multiply-adds a second thread costs more than it saves.
constexpr std::int64_t kThreadedWork = std::int64_t{4} << 20;

// The vertical pass's inner loops: every lane (one channel of one source column) gains
// weight x byte of each row. Plain loops the compiler vectorises; cloned per instruction set
// so that the shipped program uses the widest one the machine has.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MOSAICER_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define MOSAICER_CLONES
#endif

MOSAICER_CLONES
void AddRows4(std::int32_t* __restrict acc, std::size_t n, const std::uint8_t* __restrict r0,
              const std::uint8_t* __restrict r1, const std::uint8_t* __restrict r2,
              const std::uint8_t* __restrict r3, std::int32_t w0, std::int32_t w1, std::int32_t w2,
              std::int32_t w3) {
  for (std::size_t i = 0; i < n; ++i) acc[i] += w0 * r0[i] + w1 * r1[i] + w2 * r2[i] + w3 * r3[i];
}

MOSAICER_CLONES
void AddRow(std::int32_t* __restrict acc, std::size_t n, const std::uint8_t* __restrict r, std::int32_t w) {
  for (std::size_t i = 0; i < n; ++i) acc[i] += w * r[i];
}

// Four channel sums of one source column, blue, green, red, alpha.
typedef std::int32_t TLanes __attribute__((vector_size(16)));

std::uint8_t Channel(std::int32_t sum) {
  // An arithmetic shift is division by 65536 rounding down, also below 0.
  return static_cast<std::uint8_t>(std::clamp(sum >> 16, 0, 255));
}

// The horizontal pass over one destination row; lanes are the row's column sums, and
// laneOffset[k] is 4 x the tap's column.
MOSAICER_CLONES
void HorizontalRow(TColor32* out, const std::int32_t* lanes, const std::int32_t* first, const std::int32_t* laneOffset,
                   const std::int32_t* weight, std::int32_t xBegin, std::int32_t xEnd) {
  for (std::int32_t x = xBegin; x < xEnd; ++x) {
    TLanes sum = {0, 0, 0, 0};
    for (std::int32_t k = first[x]; k < first[x + 1]; ++k) {
      TLanes column;
      std::memcpy(&column, lanes + laneOffset[k], sizeof column);
      sum += weight[k] * column;
    }
    out[x] = Color32(Channel(sum[2]), Channel(sum[1]), Channel(sum[0]), Channel(sum[3]));
  }
}

// Everything one worker needs; positions are already absolute source rows and, for columns,
// relative to the first source column any visible pixel reaches.
struct TLanczosJob {
  const TBitmap32* Source;
  std::int32_t FirstColumn;  // absolute
  std::size_t Lanes;         // 4 per source column used
  const TLanczosTaps* Rows;
  const TLanczosTaps* Columns;
  TColor32* TargetBits;
  std::int32_t TargetWidth;
  std::int32_t DstLeft, DstTop;
  std::int32_t XBegin, XEnd;  // visible destination columns, relative to DstLeft
};

void LanczosRows(const TLanczosJob& job, std::int32_t yBegin, std::int32_t yEnd, std::int32_t* sums) {
  const std::size_t lanes = job.Lanes;
  const auto firstByte = [&](std::int32_t row) {
    return reinterpret_cast<const std::uint8_t*>(job.Source->ScanLine(row) + job.FirstColumn);
  };
  for (std::int32_t band = yBegin; band < yEnd; band += kBandRows) {
    const std::int32_t bandEnd = std::min(band + kBandRows, yEnd);
    for (std::size_t slice = 0; slice < lanes; slice += kSliceLanes) {
      const std::size_t n = std::min(kSliceLanes, lanes - slice);
      for (std::int32_t y = band; y < bandEnd; ++y) {
        std::int32_t* acc = sums + static_cast<std::size_t>(y - band) * lanes + slice;
        std::fill_n(acc, n, 0);
        const std::int32_t* pos = job.Rows->Position.data();
        const std::int32_t* w = job.Rows->Weight.data();
        std::int32_t k = job.Rows->First[static_cast<std::size_t>(y)];
        const std::int32_t end = job.Rows->First[static_cast<std::size_t>(y) + 1];
        for (; k + 4 <= end; k += 4)
          AddRows4(acc, n, firstByte(pos[k]) + slice, firstByte(pos[k + 1]) + slice, firstByte(pos[k + 2]) + slice,
                   firstByte(pos[k + 3]) + slice, w[k], w[k + 1], w[k + 2], w[k + 3]);
        for (; k < end; ++k) AddRow(acc, n, firstByte(pos[k]) + slice, w[k]);
      }
    }
    for (std::int32_t y = band; y < bandEnd; ++y) {
      const std::int32_t* rowSums = sums + static_cast<std::size_t>(y - band) * lanes;
      TColor32* out = job.TargetBits + static_cast<std::size_t>(job.DstTop + y) * static_cast<std::size_t>(job.TargetWidth) +
                      job.DstLeft;
      const TLanczosTaps& c = *job.Columns;
      HorizontalRow(out, rowSums, c.First.data(), c.Position.data(), c.Weight.data(), job.XBegin, job.XEnd);
    }
  }
}

// Runs second on a helper thread and first on this one when there is enough work for two,
// else both here; a failure of either is passed on after both are done.
template <typename TFirst, typename TSecond>
void RunBoth(bool parallel, TFirst first, TSecond second) {
  std::thread helper;
  std::exception_ptr failure;
  if (parallel) {
    try {
      helper = std::thread([&] {
        try {
          second();
        } catch (...) {
          failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      parallel = false;  // no thread to be had: do it all here
    }
  }
  try {
    first();
    if (!parallel) second();
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (failure) std::rethrow_exception(failure);
}

// The part of [offset, offset + length) that falls inside [0, limit), relative to offset.
void VisibleSpan(std::int32_t offset, std::int32_t length, std::int32_t limit, std::int32_t& begin, std::int32_t& end) {
  begin = static_cast<std::int32_t>(std::clamp<std::int64_t>(-std::int64_t{offset}, 0, length));
  end = static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{limit} - offset, 0, length));
}

}  // namespace

float LanczosKernel(float x) {
  const float a = std::fabs(x);
  if (a >= 3.0f) return 0.0f;
  return Sinc(a) * Sinc(a / 3.0f);
}

TLanczosTaps LanczosTaps(std::int32_t sourceLength, std::int32_t destinationLength) {
  TLanczosTaps taps;
  taps.First.reserve(static_cast<std::size_t>(destinationLength) + 1);
  taps.First.push_back(0);
  auto add = [&](std::int32_t position, std::int32_t weight) {
    taps.Position.push_back(position);
    taps.Weight.push_back(weight);
  };
  auto close = [&] { taps.First.push_back(static_cast<std::int32_t>(taps.Position.size())); };
  if (sourceLength == 1) {
    for (std::int32_t i = 0; i < destinationLength; ++i) {
      add(0, 256);
      close();
    }
    return taps;
  }
  const float f = static_cast<float>(destinationLength) / static_cast<float>(sourceLength);
  const float k = 1.0f / f;
  const bool reducing = f < 1.0f;
  const float support = reducing ? 3.0f * k : 3.0f;
  const std::int32_t last = sourceLength - 1;
  for (std::int32_t i = 0; i < destinationLength; ++i) {
    const float c = (static_cast<float>(i) + 0.5f) * k - 0.5f;
    const auto from = static_cast<std::int64_t>(std::floor(c - support));
    const auto to = static_cast<std::int64_t>(std::ceil(c + support));
    const std::size_t begin = taps.Position.size();
    std::int32_t sum = 0;
    for (std::int64_t j = from; j <= to; ++j) {
      const float x = c - static_cast<float>(j);
      const float value = reducing ? LanczosKernel(x * f) * f : LanczosKernel(x);
      const auto weight = static_cast<std::int32_t>(std::nearbyint(256.0f * value));
      if (weight == 0) continue;
      add(static_cast<std::int32_t>(std::clamp<std::int64_t>(j, 0, last)), weight);
      sum += weight;
    }
    const std::size_t n = taps.Position.size() - begin;
    if (n == 0) {
      // Only when reducing so far that every weight rounds to 0.
      add(static_cast<std::int32_t>(std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(c)), 0, last)), 256);
    } else if (sum != 256) {
      taps.Weight[begin + (n - 1) / 2] -= sum - 256;
    }
    close();
  }
  return taps;
}

void LanczosDraw(TBitmap32& target, const TRect& dst, const TBitmap32& source, const TRect& src) {
  TLanczosJob job{};
  VisibleSpan(dst.Left, dst.Width(), target.Width(), job.XBegin, job.XEnd);
  std::int32_t yBegin = 0, yEnd = 0;
  VisibleSpan(dst.Top, dst.Height(), target.Height(), yBegin, yEnd);
  if (job.XBegin >= job.XEnd || yBegin >= yEnd) return;

  // Building the tables costs two sines per candidate tap: one table per thread.
  const bool large = std::int64_t{src.Width()} * src.Height() >= (std::int64_t{1} << 20);
  TLanczosTaps rows, columns;
  RunBoth(
      large, [&] { rows = LanczosTaps(src.Height(), dst.Height()); },
      [&] { columns = LanczosTaps(src.Width(), dst.Width()); });
  for (std::int32_t& p : rows.Position) p += src.Top;
  // Only the source columns that the visible destination columns reach take part.
  const auto used = [&](std::int32_t x) {
    return columns.Position.begin() + columns.First[static_cast<std::size_t>(x)];
  };
  const auto [lo, hi] = std::minmax_element(used(job.XBegin), used(job.XEnd));
  const std::int32_t firstUsed = *lo;
  const std::int32_t usedCount = *hi - firstUsed + 1;
  // From here on a column position is its first lane among the used columns' sums.
  for (std::int32_t& p : columns.Position) p = 4 * (p - firstUsed);

  job.Source = &source;
  job.FirstColumn = src.Left + firstUsed;
  job.Lanes = static_cast<std::size_t>(usedCount) * 4;
  job.Rows = &rows;
  job.Columns = &columns;
  job.TargetBits = target.Bits();
  job.TargetWidth = target.Width();
  job.DstLeft = dst.Left;
  job.DstTop = dst.Top;

  const std::int64_t work =
      std::int64_t{rows.First[static_cast<std::size_t>(yEnd)] - rows.First[static_cast<std::size_t>(yBegin)]} *
      static_cast<std::int64_t>(job.Lanes);
  const bool split = work >= kThreadedWork && yEnd - yBegin >= 2;
  // Every output row is written by exactly one of the two halves.
  const std::int32_t middle = split ? yBegin + (yEnd - yBegin) / 2 : yEnd;
  const std::size_t bandSums = job.Lanes * static_cast<std::size_t>(std::min(kBandRows, yEnd - yBegin));
  // Left uninitialised: every sum is set before it is read.
  const std::unique_ptr<std::int32_t[]> sums(new std::int32_t[bandSums]);
  const std::unique_ptr<std::int32_t[]> otherSums(split ? new std::int32_t[bandSums] : nullptr);
  RunBoth(
      split, [&] { LanczosRows(job, yBegin, middle, sums.get()); },
      [&] {
        if (middle < yEnd) LanczosRows(job, middle, yEnd, otherSums.get());
      });
}

void NearestDraw(TBitmap32& target, const TRect& dst, const TBitmap32& source, const TRect& src) {
  std::int32_t xBegin = 0, xEnd = 0, yBegin = 0, yEnd = 0;
  VisibleSpan(dst.Left, dst.Width(), target.Width(), xBegin, xEnd);
  VisibleSpan(dst.Top, dst.Height(), target.Height(), yBegin, yEnd);
  // The source pixel under the centre of each destination pixel.
  auto under = [](std::int32_t i, std::int32_t from, std::int32_t to) {
    return static_cast<std::int32_t>((2 * std::int64_t{i} + 1) * from / (2 * std::int64_t{to}));
  };
  std::vector<std::int32_t> columns;
  for (std::int32_t x = xBegin; x < xEnd; ++x) columns.push_back(src.Left + under(x, src.Width(), dst.Width()));
  for (std::int32_t y = yBegin; y < yEnd; ++y) {
    const TColor32* in = source.ScanLine(src.Top + under(y, src.Height(), dst.Height()));
    TColor32* out = target.ScanLine(dst.Top + y) + dst.Left;
    for (std::int32_t x = xBegin; x < xEnd; ++x) out[x] = in[columns[static_cast<std::size_t>(x - xBegin)]];
  }
}

}  // namespace mosaicer
