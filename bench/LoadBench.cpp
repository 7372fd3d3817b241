// Loading a 24-megapixel photo against a bare libjpeg decode of the same file, in one run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

#include "bench/BenchPictures.h"
#include "core/MCImage.h"

namespace {

using namespace mosaicer;

using bench::Photo;

// The plainest use of libjpeg: stdio source, default settings, RGB rows into a buffer that was
// allocated and touched once before timing.
void BM_BareLibjpegDecode(benchmark::State& state) {
  std::vector<JSAMPLE> pixels(std::size_t{6000} * 4000 * 3, 1);
  for (auto _ : state) {
    FILE* f = std::fopen(Photo().c_str(), "rb");
    jpeg_decompress_struct info {};
    jpeg_error_mgr err {};
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, f);
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    const std::size_t stride = std::size_t{info.output_width} * 3;
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = pixels.data() + stride * info.output_scanline;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(f);
    benchmark::DoNotOptimize(pixels.data());
  }
}

// Loading again into the same document: the bitmap keeps its storage.
void BM_LoadIntoSameDocument(benchmark::State& state) {
  TMCImage image;
  image.LoadFromFile(Photo());
  for (auto _ : state) {
    image.LoadFromFile(Photo());
    benchmark::DoNotOptimize(image.Bitmap.Bits());
  }
}

// A new document every time: the bitmap's storage is fresh memory.
void BM_LoadIntoNewDocument(benchmark::State& state) {
  for (auto _ : state) {
    auto image = std::make_unique<TMCImage>();
    image->LoadFromFile(Photo());
    benchmark::DoNotOptimize(image->Bitmap.Bits());
  }
}

BENCHMARK(BM_BareLibjpegDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadIntoSameDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadIntoNewDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
