// The Lanczos resampler against a deliberately plain implementation of the same arithmetic,
// and the other ways one bitmap is drawn into a rectangle of another size.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/Bitmap32.h"
#include "runtime/Resample.h"

namespace mosaicer {
namespace {

// ---- The plain implementation: one destination pixel at a time, taps worked out on the spot.

float PlainSinc(float t) {
  if (t == 0.0f) return 1.0f;
  const float p = std::numbers::pi_v<float> * t;
  return static_cast<float>(std::sin(static_cast<double>(p))) / p;
}

float PlainKernel(float x) {
  if (x < 0) x = -x;
  if (x >= 3.0f) return 0.0f;
  return PlainSinc(x) * PlainSinc(x / 3.0f);
}

struct TTap {
  int Position;
  int Weight;
};

std::vector<TTap> PlainTaps(int S, int D, int i) {
  std::vector<TTap> taps;
  if (S == 1) return {{0, 256}};
  const float f = static_cast<float>(D) / static_cast<float>(S);
  const float k = 1.0f / f;
  const float c = (static_cast<float>(i) + 0.5f) * k - 0.5f;
  int from, to;
  if (f >= 1.0f) {
    from = static_cast<int>(std::floor(c - 3.0f));
    to = static_cast<int>(std::ceil(c + 3.0f));
  } else {
    const float r = 3.0f * k;
    from = static_cast<int>(std::floor(c - r));
    to = static_cast<int>(std::ceil(c + r));
  }
  for (int j = from; j <= to; ++j) {
    float weight;
    if (f >= 1.0f) {
      weight = 256.0f * PlainKernel(c - static_cast<float>(j));
    } else {
      weight = 256.0f * (PlainKernel((c - static_cast<float>(j)) * f) * f);
    }
    const int w = static_cast<int>(std::nearbyint(weight));
    if (w == 0) continue;
    const int position = j < 0 ? 0 : (j > S - 1 ? S - 1 : j);
    taps.push_back({position, w});
  }
  if (taps.empty()) return {{static_cast<int>(std::floor(c)), 256}};
  int sum = 0;
  for (const TTap& t : taps) sum += t.Weight;
  if (sum != 256) taps[(taps.size() - 1) / 2].Weight -= sum - 256;
  return taps;
}

int FloorDiv65536(std::int32_t v) {
  if (v >= 0) return v / 65536;
  return -((-v + 65535) / 65536);
}

// Each destination pixel: for each horizontal tap, the column's vertical sum, then the weighted
// sum of those, per channel.
void PlainResample(TBitmap32& out, const TBitmap32& in) {
  const int W = in.Width(), H = in.Height(), w = out.Width(), h = out.Height();
  for (int y = 0; y < h; ++y) {
    const std::vector<TTap> vertical = PlainTaps(H, h, y);
    for (int x = 0; x < w; ++x) {
      const std::vector<TTap> horizontal = PlainTaps(W, w, x);
      std::uint8_t channel[4];
      for (int ch = 0; ch < 4; ++ch) {
        std::int32_t total = 0;
        for (const TTap& hx : horizontal) {
          std::int32_t column = 0;
          for (const TTap& vy : vertical) {
            const TColor32 p = in.Pixel(hx.Position, vy.Position);
            column += vy.Weight * static_cast<std::int32_t>((p >> (8 * ch)) & 0xFF);
          }
          total += hx.Weight * column;
        }
        int value = FloorDiv65536(total);
        if (value < 0) value = 0;
        if (value > 255) value = 255;
        channel[ch] = static_cast<std::uint8_t>(value);
      }
      out.SetPixel(x, y, Color32(channel[2], channel[1], channel[0], channel[3]));
    }
  }
}

// ---- Helpers

void FillRandom(TBitmap32& b, std::mt19937& random, bool opaque) {
  for (std::int32_t y = 0; y < b.Height(); ++y)
    for (std::int32_t x = 0; x < b.Width(); ++x) {
      TColor32 c = static_cast<TColor32>(random());
      if (opaque) c |= 0xFF000000u;
      b.SetPixel(x, y, c);
    }
}

// Hard edges and flat areas between noise, so that both lobes of the kernel push sums past the
// channel range.
void FillBlocky(TBitmap32& b, std::mt19937& random) {
  for (std::int32_t y = 0; y < b.Height(); ++y)
    for (std::int32_t x = 0; x < b.Width(); ++x) {
      const bool on = ((x / 3) + (y / 2)) % 2 == 0;
      b.SetPixel(x, y, on ? Color32(255, 255, 255) : (random() % 4 == 0 ? static_cast<TColor32>(random()) : Color32(0, 0, 0)));
    }
}

::testing::AssertionResult SamePixels(const TBitmap32& a, const TBitmap32& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return ::testing::AssertionFailure() << "sizes differ";
  for (std::int32_t y = 0; y < a.Height(); ++y)
    for (std::int32_t x = 0; x < a.Width(); ++x)
      if (a.Pixel(x, y) != b.Pixel(x, y))
        return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << "): " << std::hex << a.Pixel(x, y) << " vs "
                                             << b.Pixel(x, y);
  return ::testing::AssertionSuccess();
}

void LanczosInto(TBitmap32& out, TBitmap32& in) {
  in.StretchFilter = sfLanczos;
  out.Draw({0, 0, out.Width(), out.Height()}, {0, 0, in.Width(), in.Height()}, in);
}

// ---- The kernel and the tap tables

TEST(Lanczos, KernelShape) {
  EXPECT_EQ(LanczosKernel(0.0f), 1.0f);
  EXPECT_EQ(LanczosKernel(3.0f), 0.0f);
  EXPECT_EQ(LanczosKernel(-3.0f), 0.0f);
  EXPECT_EQ(LanczosKernel(7.5f), 0.0f);
  EXPECT_NEAR(LanczosKernel(0.5f), 0.6079, 1e-4);
  EXPECT_NEAR(LanczosKernel(1.5f), -0.1351, 1e-4);
  EXPECT_NEAR(LanczosKernel(1.0f), 0.0, 1e-6);
  EXPECT_GT(LanczosKernel(2.5f), 0.0f) << "the third lobe is positive again";
  for (float x : {0.1f, 0.7f, 1.3f, 2.2f, 2.9f}) EXPECT_EQ(LanczosKernel(x), LanczosKernel(-x));
}

TEST(Lanczos, TapsAddUpTo256AndStayInside) {
  for (std::int32_t S : {2, 3, 7, 100, 191, 382, 1000, 4000})
    for (std::int32_t D : {1, 2, 3, 50, 143, 191, 500}) {
      const TLanczosTaps t = LanczosTaps(S, D);
      ASSERT_EQ(t.First.size(), static_cast<std::size_t>(D) + 1);
      for (std::int32_t i = 0; i < D; ++i) {
        std::int32_t sum = 0;
        for (std::int32_t k = t.First[static_cast<std::size_t>(i)]; k < t.First[static_cast<std::size_t>(i) + 1]; ++k) {
          const auto u = static_cast<std::size_t>(k);
          EXPECT_GE(t.Position[u], 0);
          EXPECT_LT(t.Position[u], S);
          sum += t.Weight[u];
        }
        EXPECT_EQ(sum, 256) << S << " onto " << D << ", pixel " << i;
      }
    }
}

TEST(Lanczos, TapsMatchThePlainOnes) {
  for (std::int32_t S : {2, 5, 64, 191, 640, 6000})
    for (std::int32_t D : {1, 3, 95, 143, 191, 382}) {
      const TLanczosTaps t = LanczosTaps(S, D);
      for (std::int32_t i = 0; i < D; ++i) {
        const std::vector<TTap> plain = PlainTaps(S, D, i);
        const auto first = static_cast<std::size_t>(t.First[static_cast<std::size_t>(i)]);
        ASSERT_EQ(t.First[static_cast<std::size_t>(i) + 1] - t.First[static_cast<std::size_t>(i)], static_cast<std::int32_t>(plain.size()))
            << S << " onto " << D << ", pixel " << i;
        for (std::size_t k = 0; k < plain.size(); ++k) {
          EXPECT_EQ(t.Position[first + k], plain[k].Position);
          EXPECT_EQ(t.Weight[first + k], plain[k].Weight);
        }
      }
    }
}

TEST(Lanczos, EqualLengthsAreTheIdentity) {
  const TLanczosTaps t = LanczosTaps(50, 50);
  for (std::int32_t i = 0; i < 50; ++i) {
    ASSERT_EQ(t.First[static_cast<std::size_t>(i) + 1] - t.First[static_cast<std::size_t>(i)], 1);
    EXPECT_EQ(t.Position[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(t.Weight[static_cast<std::size_t>(i)], 256);
  }
}

TEST(Lanczos, OneSourcePixelGivesEveryPixelWeight256) {
  const TLanczosTaps t = LanczosTaps(1, 191);
  EXPECT_EQ(t.Position, std::vector<std::int32_t>(191, 0));
  EXPECT_EQ(t.Weight, std::vector<std::int32_t>(191, 256));
}

TEST(Lanczos, FallbackTapWhenEveryWeightRoundsToZero) {
  // f = 1/1024: no weight reaches 0.5, so the one tap floor(c) = floor(511.5) stands in.
  const TLanczosTaps t = LanczosTaps(1024, 1);
  EXPECT_EQ(t.Position, std::vector<std::int32_t>{511});
  EXPECT_EQ(t.Weight, std::vector<std::int32_t>{256});
}

TEST(Lanczos, ExcessGoesToTheMiddleTap) {
  // Just above the fallback, the weights are 1s over a wide stretch; their excess over 256 is
  // taken from kept tap (n - 1) div 2.
  const TLanczosTaps t = LanczosTaps(400, 1);
  const std::size_t n = t.Weight.size();
  ASSERT_GT(n, 256u);
  for (std::size_t k = 0; k < n; ++k) {
    if (k != (n - 1) / 2) {
      EXPECT_EQ(t.Weight[k], 1);
    }
  }
  EXPECT_EQ(t.Weight[(n - 1) / 2], 1 - static_cast<std::int32_t>(n - 256));
}

// ---- Whole pictures against the plain implementation

struct TSizeCase {
  const char* Name;
  std::int32_t W, H, w, h;
};

void PrintTo(const TSizeCase& c, std::ostream* out) { *out << c.Name; }

// Each size on noise and on flat blocks with hard edges.
class LanczosSizes : public ::testing::TestWithParam<std::tuple<TSizeCase, bool>> {};

TEST_P(LanczosSizes, MatchThePlainImplementationPixelForPixel) {
  const auto& [c, blocky] = GetParam();
  std::mt19937 random(20261209);
  TBitmap32 in, fast, plain;
  in.SetSize(c.W, c.H);
  if (blocky) FillBlocky(in, random);
  else FillRandom(in, random, false);
  fast.SetSize(c.w, c.h);
  plain.SetSize(c.w, c.h);
  LanczosInto(fast, in);
  PlainResample(plain, in);
  EXPECT_TRUE(SamePixels(fast, plain));
}

INSTANTIATE_TEST_SUITE_P(
    , LanczosSizes,
    ::testing::Combine(
        ::testing::Values(TSizeCase{"Reduce640x480To191x143", 640, 480, 191, 143}, TSizeCase{"ReduceToOneRow", 1000, 3, 191, 1},
                          TSizeCase{"Enlarge100x100To191x191", 100, 100, 191, 191}, TSizeCase{"EnlargeOneColumn", 1, 100, 2, 191},
                          TSizeCase{"HalveWithTies", 382, 101, 191, 50}, TSizeCase{"EnlargeAcrossReduceDown", 60, 300, 150, 40},
                          TSizeCase{"ReduceAcrossEnlargeDown", 300, 20, 75, 90}, TSizeCase{"Primes", 97, 89, 53, 61},
                          TSizeCase{"ToOnePixel", 37, 23, 1, 1}, TSizeCase{"FromOnePixel", 1, 1, 9, 4},
                          TSizeCase{"VeryThin", 1500, 2, 30, 5}, TSizeCase{"SlightReduce", 200, 150, 199, 149}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<TSizeCase, bool>>& row) {
      return std::string(std::get<0>(row.param).Name) + (std::get<1>(row.param) ? "_Blocky" : "_Noise");
    });

// Every vertical kernel this machine can run, in turn; the widest again at the end.
class LanczosKernels : public ::testing::TestWithParam<TResampleKernel> {
protected:
  void SetUp() override {
    if (!SetResampleKernel(GetParam())) GTEST_SKIP() << "this machine cannot run that kernel";
  }
  void TearDown() override { SetResampleKernel(TResampleKernel::Widest); }
};

INSTANTIATE_TEST_SUITE_P(, LanczosKernels,
                         ::testing::Values(TResampleKernel::Widest, TResampleKernel::Avx2, TResampleKernel::Plain),
                         [](const ::testing::TestParamInfo<TResampleKernel>& kernel) {
                           return std::string(kernel.param == TResampleKernel::Widest ? "Widest"
                                              : kernel.param == TResampleKernel::Avx2 ? "Avx2"
                                                                                        : "Plain");
                         });

TEST_P(LanczosKernels, MatchThePlainImplementationOnRandomSizes) {
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    const auto side = [&](std::int32_t most) { return static_cast<std::int32_t>(1 + random() % static_cast<std::uint32_t>(most)); };
    const std::int32_t W = side(120), H = side(120), w = side(90), h = side(90);
    TBitmap32 in, fast, plain;
    in.SetSize(W, H);
    FillRandom(in, random, round % 2 == 0);
    fast.SetSize(w, h);
    plain.SetSize(w, h);
    LanczosInto(fast, in);
    PlainResample(plain, in);
    EXPECT_TRUE(SamePixels(fast, plain)) << W << "x" << H << " onto " << w << "x" << h;
  }
}

TEST_P(LanczosKernels, LargePictureSplitBetweenThreadsMatches) {
  std::mt19937 random(3);
  TBitmap32 in, fast, plain;
  in.SetSize(1100, 830);
  FillBlocky(in, random);
  fast.SetSize(191, 144);
  plain.SetSize(191, 144);
  LanczosInto(fast, in);
  PlainResample(plain, in);
  EXPECT_TRUE(SamePixels(fast, plain));
}

struct TScaleCase {
  std::int32_t W, H, w, h;
};

void PrintTo(const TScaleCase& c, std::ostream* out) { *out << c.W << "x" << c.H << " to " << c.w << "x" << c.h; }

class LanczosUniform : public ::testing::TestWithParam<TScaleCase> {};

TEST_P(LanczosUniform, ColourIsKeptAtEveryScale) {
  const auto [W, H, w, h] = GetParam();
  const TColor32 colour = Color32(201, 17, 96);
  TBitmap32 in, out;
  in.SetSize(W, H);
  in.Fill(colour);
  out.SetSize(w, h);
  LanczosInto(out, in);
  for (std::int32_t y = 0; y < h; ++y)
    for (std::int32_t x = 0; x < w; ++x) ASSERT_EQ(out.Pixel(x, y), colour) << " at " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(, LanczosUniform,
                         ::testing::Values(TScaleCase{640, 480, 191, 143}, TScaleCase{100, 100, 191, 191}, TScaleCase{3, 7, 191, 2},
                                           TScaleCase{1000, 3, 191, 1}, TScaleCase{777, 555, 13, 250}, TScaleCase{1200, 10, 2, 2}),
                         [](const ::testing::TestParamInfo<TScaleCase>& row) {
                           const TScaleCase& c = row.param;
                           return std::to_string(c.W) + "x" + std::to_string(c.H) + "To" + std::to_string(c.w) + "x" +
                                  std::to_string(c.h);
                         });

// ---- Rectangles

TEST(Lanczos, DestinationIsClippedToTheTarget) {
  std::mt19937 random(11);
  TBitmap32 in, whole, part;
  in.SetSize(90, 70);
  FillRandom(in, random, true);
  in.StretchFilter = sfLanczos;
  whole.SetSize(40, 30);
  whole.Draw({0, 0, 40, 30}, {0, 0, 90, 70}, in);
  part.SetSize(25, 20);
  part.Fill(0);
  part.Draw({-10, -5, 30, 25}, {0, 0, 90, 70}, in);  // hangs off every side
  for (std::int32_t y = 0; y < 20; ++y)
    for (std::int32_t x = 0; x < 25; ++x) ASSERT_EQ(part.Pixel(x, y), whole.Pixel(x + 10, y + 5)) << x << "," << y;
}

TEST(Lanczos, SourceRectangleInsideTheSource) {
  std::mt19937 random(12);
  TBitmap32 in, crop, a, b;
  in.SetSize(80, 60);
  FillRandom(in, random, true);
  in.StretchFilter = sfLanczos;
  crop.SetSize(50, 40);
  crop.StretchFilter = sfLanczos;
  crop.Draw({0, 0, 50, 40}, {10, 5, 60, 45}, in);
  a.SetSize(20, 70);
  a.Draw({0, 0, 20, 70}, {10, 5, 60, 45}, in);
  b.SetSize(20, 70);
  b.Draw({0, 0, 20, 70}, {0, 0, 50, 40}, crop);
  EXPECT_TRUE(SamePixels(a, b)) << "edges repeat the rectangle's edge, not the pixels beyond it";
}

TEST(Lanczos, SourceRectangleReachingOutsideIsCutInProportion) {
  std::mt19937 random(13);
  TBitmap32 in, a, b;
  in.SetSize(20, 10);
  FillRandom(in, random, true);
  in.StretchFilter = sfLanczos;
  a.SetSize(60, 20);
  a.Fill(0);
  a.Draw({0, 0, 60, 20}, {-10, 0, 20, 10}, in);  // a third of it lies left of the picture
  b.SetSize(60, 20);
  b.Fill(0);
  b.Draw({20, 0, 60, 20}, {0, 0, 20, 10}, in);
  EXPECT_TRUE(SamePixels(a, b));
  a.Draw({0, 0, 60, 20}, {30, 0, 50, 10}, in);  // entirely outside: nothing
  EXPECT_TRUE(SamePixels(a, b));
}

TEST(Bitmap32Stretch, OtherFiltersTakeTheNearestPixel) {
  TBitmap32 in, out;
  in.SetSize(4, 2);
  for (std::int32_t y = 0; y < 2; ++y)
    for (std::int32_t x = 0; x < 4; ++x) in.SetPixel(x, y, Color32(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 0));
  out.SetSize(8, 1);
  out.Draw({0, 0, 8, 1}, {0, 0, 4, 2}, in);
  for (std::int32_t x = 0; x < 8; ++x) EXPECT_EQ(out.Pixel(x, 0), Color32(static_cast<std::uint8_t>(x / 2), 1, 0)) << x;
}

TEST(Bitmap32Stretch, EmptyOrFlippedRectanglesDrawNothing) {
  TBitmap32 in, out;
  in.SetSize(4, 4);
  in.Fill(Color32(9, 9, 9));
  in.StretchFilter = sfLanczos;
  out.SetSize(4, 4);
  out.Fill(0);
  out.Draw({0, 0, 0, 3}, {0, 0, 4, 4}, in);
  out.Draw({0, 0, 3, 3}, {4, 4, 0, 0}, in);
  out.Draw({3, 3, 0, 0}, {0, 0, 4, 4}, in);
  for (std::int32_t y = 0; y < 4; ++y)
    for (std::int32_t x = 0; x < 4; ++x) EXPECT_EQ(out.Pixel(x, y), 0u);
}

TEST(Bitmap32Stretch, WritingCountsAsAChangeReadingDoesNot) {
  TBitmap32 b;
  const std::uint64_t start = b.ChangeStamp();
  b.SetSize(3, 3);
  EXPECT_GT(b.ChangeStamp(), start);
  const std::uint64_t sized = b.ChangeStamp();
  const TBitmap32& reader = b;
  (void)reader.Pixel(1, 1);
  (void)reader.ScanLine(2);
  (void)reader.Bits();
  b.StretchFilter = sfLanczos;
  EXPECT_EQ(b.ChangeStamp(), sized);
  b.SetPixel(0, 0, 1);
  EXPECT_GT(b.ChangeStamp(), sized);
}

}  // namespace
}  // namespace mosaicer
