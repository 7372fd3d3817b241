// Saving a 24-megapixel photo as 1024 fragment files against encoding the whole picture once
// with the same settings, in one run, with the peak memory of each.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "core/MCImage.h"
#include "jpeg/JpgImg.h"
#include "tests/support/TestPictures.h"

namespace {

using namespace mosaicer;

testing::TTempDir& Dir() {
  static testing::TTempDir dir;
  return dir;
}

TMCImage& Photo() {
  static TMCImage image;
  if (image.Bitmap.Empty()) {
    const std::string path = Dir().File("photo.jpg");
    testing::WriteJPEG(path, testing::PhotoLike(6000, 4000), {.Quality = 90});
    image.LoadFromFile(path);
  }
  return image;
}

// The process's resident memory now and its peak since the last ResetPeak(), in MiB.
double StatusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
  return 0;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Every run writes new files, as a user's saves do (deleting files between runs makes ext4 slower
// at creating new ones than it is for a user), and starts with nothing left to write back: data
// of earlier runs piling up in the page cache would throttle the later ones.
void Settle(benchmark::State& state) {
  state.PauseTiming();
  ::sync();
  state.ResumeTiming();
}

void BM_EncodeWholePicture(benchmark::State& state) {
  TMCImage& image = Photo();
  const std::string path = Dir().File("whole-");
  TJPEGImage jpeg;
  jpeg.Bitmap().SetSize(image.ImageWidth, image.ImageHeight);
  const TRect all{0, 0, image.ImageWidth, image.ImageHeight};
  jpeg.Bitmap().Draw(all, all, image.Bitmap);
  int run = 0;
  for (auto _ : state) {
    jpeg.SaveToFile(path + std::to_string(++run));
    Settle(state);
  }
  ResetPeak();
  const double before = StatusMiB("VmRSS:");
  jpeg.SaveToFile(path + "peak");
  state.counters["rss_before_MiB"] = before;
  state.counters["peak_MiB"] = StatusMiB("VmHWM:");
}

void BM_SaveFragments1024(benchmark::State& state) {
  TMCImage& image = Photo();
  RandomState = 2024;
  image.MakeBreakup(1024);
  const std::uint32_t names = RandomState;
  const std::string folder = Dir().File("fragments-");
  int run = 0;
  for (auto _ : state) {
    RandomState = names;
    benchmark::DoNotOptimize(image.SaveFragments("", folder + std::to_string(++run)));
    Settle(state);
  }
  RandomState = names;
  ResetPeak();
  const double before = StatusMiB("VmRSS:");
  image.SaveFragments("", folder + "peak");
  state.counters["rss_before_MiB"] = before;
  state.counters["peak_MiB"] = StatusMiB("VmHWM:");
}

BENCHMARK(BM_EncodeWholePicture)->Unit(benchmark::kMillisecond)->MinTime(3.0)->MeasureProcessCPUTime();
// Process CPU time: the fragments are encoded on several threads.
BENCHMARK(BM_SaveFragments1024)->Unit(benchmark::kMillisecond)->MinTime(3.0)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
