#include "runtime/Resample.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <numbers>
#include <thread>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MOSAICER_X86_KERNELS 1
#endif

namespace mosaicer {

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

float Sinc(float t) {
  if (t == 0.0f) return 1.0f;
  const float p = kPi * t;
  return static_cast<float>(std::sin(static_cast<double>(p))) / p;
}

// Lanes added at a time to each open row: the open rows' slices stay in the first-level cache.
constexpr std::size_t kSliceLanes = 512;
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

using TAddRows4 = void (*)(std::int32_t*, std::size_t, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                          const std::uint8_t*, std::int32_t, std::int32_t, std::int32_t, std::int32_t);

#ifdef MOSAICER_X86_KERNELS
// Two 16-bit weights side by side, low first, as vpmaddwd pairs them with the bytes.
int WeightPair(std::int32_t low, std::int32_t high) {
  return static_cast<int>((static_cast<std::uint32_t>(high) << 16) | (static_cast<std::uint32_t>(low) & 0xFFFFu));
}

// The same sums with two rows per multiply: the bytes of two rows are interleaved into 16-bit
// pairs and multiplied by the pair of their weights (vpmaddwd), which is exact while every
// weight fits in 16 bits. The lanes come out in their natural order.
__attribute__((target("avx2"))) void AddRows4Avx2(std::int32_t* __restrict acc, std::size_t n,
                                                   const std::uint8_t* __restrict r0, const std::uint8_t* __restrict r1,
                                                   const std::uint8_t* __restrict r2, const std::uint8_t* __restrict r3,
                                                   std::int32_t w0, std::int32_t w1, std::int32_t w2, std::int32_t w3) {
  const __m256i w01 = _mm256_set1_epi32(WeightPair(w0, w1));
  const __m256i w23 = _mm256_set1_epi32(WeightPair(w2, w3));
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r2 + i));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r3 + i));
    const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(a, b)), w01),
                                        _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(c, d)), w23));
    const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(a, b)), w01),
                                        _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(c, d)), w23));
    __m256i* to = reinterpret_cast<__m256i*>(acc + i);
    _mm256_storeu_si256(to, _mm256_add_epi32(_mm256_loadu_si256(to), lo));
    _mm256_storeu_si256(to + 1, _mm256_add_epi32(_mm256_loadu_si256(to + 1), hi));
  }
  AddRows4(acc + i, n - i, r0 + i, r1 + i, r2 + i, r3 + i, w0, w1, w2, w3);
}

__attribute__((target("avx512bw"))) void AddRows4Avx512(std::int32_t* __restrict acc, std::size_t n,
                                                         const std::uint8_t* __restrict r0, const std::uint8_t* __restrict r1,
                                                         const std::uint8_t* __restrict r2, const std::uint8_t* __restrict r3,
                                                         std::int32_t w0, std::int32_t w1, std::int32_t w2, std::int32_t w3) {
  const __m512i w01 = _mm512_set1_epi32(WeightPair(w0, w1));
  const __m512i w23 = _mm512_set1_epi32(WeightPair(w2, w3));
  std::size_t i = 0;
  // Quadwords 0 2 1 3, so that interleaving within each 128-bit half keeps the lanes in order.
  constexpr int kOrder = 0xD8;
  for (; i + 32 <= n; i += 32) {
    const __m256i a = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + i)), kOrder);
    const __m256i b = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + i)), kOrder);
    const __m256i c = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r2 + i)), kOrder);
    const __m256i d = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r3 + i)), kOrder);
    const __m512i lo = _mm512_add_epi32(_mm512_madd_epi16(_mm512_cvtepu8_epi16(_mm256_unpacklo_epi8(a, b)), w01),
                                        _mm512_madd_epi16(_mm512_cvtepu8_epi16(_mm256_unpacklo_epi8(c, d)), w23));
    const __m512i hi = _mm512_add_epi32(_mm512_madd_epi16(_mm512_cvtepu8_epi16(_mm256_unpackhi_epi8(a, b)), w01),
                                        _mm512_madd_epi16(_mm512_cvtepu8_epi16(_mm256_unpackhi_epi8(c, d)), w23));
    _mm512_storeu_si512(acc + i, _mm512_add_epi32(_mm512_loadu_si512(acc + i), lo));
    _mm512_storeu_si512(acc + i + 16, _mm512_add_epi32(_mm512_loadu_si512(acc + i + 16), hi));
  }
  AddRows4(acc + i, n - i, r0 + i, r1 + i, r2 + i, r3 + i, w0, w1, w2, w3);
}
#endif

// The fastest four-row kernel this machine runs for weights that fit in 16 bits.
TAddRows4 PairedAddRows4() {
#ifdef MOSAICER_X86_KERNELS
  if (__builtin_cpu_supports("avx512bw")) return AddRows4Avx512;
  if (__builtin_cpu_supports("avx2")) return AddRows4Avx2;
#endif
  return AddRows4;
}

std::atomic<TResampleKernel> ChosenKernel{TResampleKernel::Widest};

TAddRows4 KernelForWeightsOf16Bits() {
  switch (ChosenKernel.load()) {
    case TResampleKernel::Widest: {
      static const TAddRows4 widest = PairedAddRows4();
      return widest;
    }
#ifdef MOSAICER_X86_KERNELS
    case TResampleKernel::Avx2:
      return AddRows4Avx2;
#endif
    default:
      return AddRows4;
  }
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

// The vertical taps of each destination row as a dense stretch of source rows, First to Last,
// with duplicate (clamped) positions merged. The stretches are widened where needed so that
// both ends only grow from one row to the next.
struct TRowSpans {
  std::vector<std::int32_t> First, Last, Offset, Weight;

  std::int32_t WeightAt(std::int32_t y, std::int32_t row) const {
    const auto u = static_cast<std::size_t>(y);
    if (row < First[u] || row > Last[u]) return 0;
    return Weight[static_cast<std::size_t>(Offset[u] + row - First[u])];
  }
};

TRowSpans RowSpans(const TLanczosTaps& taps) {
  const std::size_t count = taps.First.size() - 1;
  TRowSpans spans;
  spans.First.resize(count);
  spans.Last.resize(count);
  spans.Offset.resize(count);
  for (std::size_t y = 0; y < count; ++y) {
    const auto from = taps.Position.begin() + taps.First[y], to = taps.Position.begin() + taps.First[y + 1];
    const auto [lo, hi] = std::minmax_element(from, to);
    spans.First[y] = *lo;
    spans.Last[y] = y > 0 ? std::max(*hi, spans.Last[y - 1]) : *hi;
  }
  for (std::size_t y = count - 1; y-- > 0;) spans.First[y] = std::min(spans.First[y], spans.First[y + 1]);
  std::int32_t size = 0;
  for (std::size_t y = 0; y < count; ++y) {
    spans.Offset[y] = size;
    size += spans.Last[y] - spans.First[y] + 1;
  }
  spans.Weight.assign(static_cast<std::size_t>(size), 0);
  for (std::size_t y = 0; y < count; ++y)
    for (std::int32_t k = taps.First[y]; k < taps.First[y + 1]; ++k) {
      const auto u = static_cast<std::size_t>(k);
      spans.Weight[static_cast<std::size_t>(spans.Offset[y] + taps.Position[u] - spans.First[y])] += taps.Weight[u];
    }
  return spans;
}

// Everything one worker needs; row positions are absolute source rows, column positions the
// first lane of their column among the used columns' sums.
struct TLanczosJob {
  const TBitmap32* Source;
  std::int32_t FirstColumn;  // absolute
  std::size_t Lanes;         // 4 per source column used
  const TRowSpans* Rows;
  const TLanczosTaps* Columns;
  TAddRows4 AddRows4;
  TColor32* TargetBits;
  std::int32_t TargetWidth;
  std::int32_t DstLeft, DstTop;
  std::int32_t XBegin, XEnd;  // visible destination columns, relative to DstLeft
};

// Destination rows yBegin to yEnd - 1. The source rows are read once, in order, four at a
// time; each group is added, slice by slice so that the sums stay in the first-level cache,
// to every destination row whose stretch it meets. A row whose stretch has been passed gets
// its horizontal pass and frees its sums for a row further down.
void LanczosRows(const TLanczosJob& job, std::int32_t yBegin, std::int32_t yEnd) {
  const TRowSpans& spans = *job.Rows;
  const auto first = [&](std::int32_t y) { return spans.First[static_cast<std::size_t>(y)]; };
  const auto last = [&](std::int32_t y) { return spans.Last[static_cast<std::size_t>(y)]; };
  const std::int32_t rowFirst = first(yBegin), rowLast = last(yEnd - 1);

  // How many rows are open at once, to size the sums.
  std::int32_t slots = 1;
  for (std::int32_t r = rowFirst, a = yBegin, b = yBegin; r <= rowLast; r += 4) {
    while (b < yEnd && first(b) <= r + 3) ++b;
    slots = std::max(slots, b - a);
    while (a < b && last(a) <= r + 3) ++a;
  }
  const std::size_t lanes = job.Lanes;
  const std::unique_ptr<std::int32_t[]> sums(new std::int32_t[static_cast<std::size_t>(slots) * lanes]);
  const auto sumsOf = [&](std::int32_t y) { return sums.get() + static_cast<std::size_t>(y % slots) * lanes; };
  std::vector<std::array<std::int32_t, 4>> weights(static_cast<std::size_t>(slots));
  const auto bytesOf = [&](std::int32_t row) {
    return reinterpret_cast<const std::uint8_t*>(job.Source->ScanLine(std::min(row, rowLast)) + job.FirstColumn);
  };

  std::int32_t open = yBegin, next = yBegin;
  for (std::int32_t r = rowFirst; r <= rowLast; r += 4) {
    while (next < yEnd && first(next) <= r + 3) std::fill_n(sumsOf(next++), lanes, 0);
    const std::uint8_t* rows[4] = {bytesOf(r), bytesOf(r + 1), bytesOf(r + 2), bytesOf(r + 3)};
    for (std::int32_t y = open; y < next; ++y)
      for (std::int32_t q = 0; q < 4; ++q)
        weights[static_cast<std::size_t>(y - open)][static_cast<std::size_t>(q)] = r + q <= rowLast ? spans.WeightAt(y, r + q) : 0;
    for (std::size_t slice = 0; slice < lanes; slice += kSliceLanes) {
      const std::size_t n = std::min(kSliceLanes, lanes - slice);
      for (std::int32_t y = open; y < next; ++y) {
        const auto& w = weights[static_cast<std::size_t>(y - open)];
        if ((w[0] | w[1] | w[2] | w[3]) == 0) continue;
        job.AddRows4(sumsOf(y) + slice, n, rows[0] + slice, rows[1] + slice, rows[2] + slice, rows[3] + slice, w[0], w[1],
                     w[2], w[3]);
      }
    }
    for (; open < next && last(open) <= r + 3; ++open) {
      TColor32* out = job.TargetBits + static_cast<std::size_t>(job.DstTop + open) * static_cast<std::size_t>(job.TargetWidth) +
                      job.DstLeft;
      const TLanczosTaps& c = *job.Columns;
      HorizontalRow(out, sumsOf(open), c.First.data(), c.Position.data(), c.Weight.data(), job.XBegin, job.XEnd);
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
  const TRowSpans spans = RowSpans(rows);
  // Only the source columns that the visible destination columns reach take part.
  const auto used = [&](std::int32_t x) {
    return columns.Position.begin() + columns.First[static_cast<std::size_t>(x)];
  };
  const auto [lo, hi] = std::minmax_element(used(job.XBegin), used(job.XEnd));
  const std::int32_t firstUsed = *lo;
  const std::int32_t usedCount = *hi - firstUsed + 1;
  for (std::int32_t& p : columns.Position) p = 4 * (p - firstUsed);

  const bool fits16 = std::all_of(spans.Weight.begin(), spans.Weight.end(), [](std::int32_t w) { return w >= -32768 && w <= 32767; });
  job.AddRows4 = fits16 ? KernelForWeightsOf16Bits() : AddRows4;
  job.Source = &source;
  job.FirstColumn = src.Left + firstUsed;
  job.Lanes = static_cast<std::size_t>(usedCount) * 4;
  job.Rows = &spans;
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
  RunBoth(
      split, [&] { LanczosRows(job, yBegin, middle); },
      [&] {
        if (middle < yEnd) LanczosRows(job, middle, yEnd);
      });
}

bool SetResampleKernel(TResampleKernel kernel) {
#ifdef MOSAICER_X86_KERNELS
  if (kernel == TResampleKernel::Avx2 && !__builtin_cpu_supports("avx2")) return false;
#else
  if (kernel == TResampleKernel::Avx2) return false;
#endif
  ChosenKernel = kernel;
  return true;
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
