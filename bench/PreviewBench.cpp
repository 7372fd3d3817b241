// The preview of a 24-megapixel photo against loading it, in one run: the first DrawPreview
// (which resamples) and a later one after a new division (which only redraws the outlines).
#include <benchmark/benchmark.h>

#include "bench/BenchPictures.h"
#include "core/MCImage.h"
#include "runtime/Canvas.h"
#include "runtime/Resample.h"

namespace {

using namespace mosaicer;

constexpr std::int32_t kBox = 191;

using bench::Photo;

TMCImage& LoadedImage() {
  static TMCImage image;
  if (image.Bitmap.Empty()) image.LoadFromFile(Photo());
  return image;
}

TBitmap32& Box() {
  static TBitmap32 box;
  box.SetSize(kBox, kBox);
  return box;
}

// The decode that the preview is measured against: loading into the same document.
void BM_LoadPicture(benchmark::State& state) {
  TMCImage image;
  image.LoadFromFile(Photo());
  for (auto _ : state) {
    image.LoadFromFile(Photo());
    benchmark::DoNotOptimize(image.Bitmap.Bits());
  }
}

// The preview right after a load: the picture is resampled.
void BM_FirstPreview(benchmark::State& state) {
  TMCImage& image = LoadedImage();
  TBitmap32& box = Box();
  RandomState = 1;
  image.MakeBreakup(16);
  for (auto _ : state) {
    image.Bitmap.Bits();  // counts as a change, so the kept scaled picture is dropped
    image.DrawPreview(box.Canvas(), kBox, kBox, true);
  }
  state.counters["resamples"] = static_cast<double>(image.PreviewResamples());
}

// The same with the plain loop instead of the widest kernel, to see what that kernel buys.
void BM_FirstPreviewPlainKernel(benchmark::State& state) {
  SetResampleKernel(TResampleKernel::Plain);
  BM_FirstPreview(state);
  SetResampleKernel(TResampleKernel::Widest);
}

// "Crumb!" again: a new division over the kept scaled picture.
void BM_PreviewWithNewDivision(benchmark::State& state) {
  TMCImage& image = LoadedImage();
  TBitmap32& box = Box();
  image.DrawPreview(box.Canvas(), kBox, kBox, true);
  const std::int32_t before = image.PreviewResamples();
  RandomState = 1;
  for (auto _ : state) {
    state.PauseTiming();
    image.MakeBreakup(64);
    state.ResumeTiming();
    image.DrawPreview(box.Canvas(), kBox, kBox, true);
  }
  state.counters["resamples"] = static_cast<double>(image.PreviewResamples() - before);
}

BENCHMARK(BM_LoadPicture)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FirstPreview)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FirstPreviewPlainKernel)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PreviewWithNewDivision)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
