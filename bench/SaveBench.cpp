// Saving a 24-megapixel photo as 1024 fragment files against encoding the whole picture once
// and against encoding the same fragment files one by one on one thread, with the same
// settings, in one run; and the peak memory of saves against the size of the picture's bitmap.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/MCImage.h"
#include "jpeg/JpgImg.h"
#include "runtime/FileStream.h"
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

// The same 1024 fragment files, each copied into the encoder's own bitmap and encoded into its
// file on this thread alone: a plain libjpeg encode of the fragments.
void BM_EncodeFragmentsOneThread(benchmark::State& state) {
  TMCImage& image = Photo();
  RandomState = 2024;
  image.MakeBreakup(1024);
  int run = 0;
  for (auto _ : state) {
    const std::string folder = Dir().File("plain-" + std::to_string(++run));
    std::filesystem::create_directory(folder);
    int index = 0;
    for (std::int32_t i = 0; i < image.Breakup.RowCount(); ++i)
      for (std::int32_t j = 0; j < image.Breakup.Rows(i).CellCount(); ++j) {
        const TMCCell& c = image.Breakup.Rows(i).Cells(j);
        TJPEGImage jpeg;
        jpeg.Bitmap().SetSize(c.Width, c.Height);
        jpeg.Bitmap().Draw({0, 0, c.Width, c.Height}, {c.Left, c.Top, c.Left + c.Width, c.Top + c.Height}, image.Bitmap);
        jpeg.SaveToFile(folder + "/" + std::to_string(++index) + ".jpg");
      }
    Settle(state);
  }
}

// The encoding alone, into memory on this thread: each fragment copied into the encoder's
// 24-bit bitmap first (range 0), or read straight from the picture's rows as a save does
// (range 1). The bytes are the same; the difference is the copy.
void BM_EncodeFragmentsInMemory(benchmark::State& state) {
  TMCImage& image = Photo();
  RandomState = 2024;
  image.MakeBreakup(1024);
  const bool direct = state.range(0) == 1;
  for (auto _ : state) {
    for (std::int32_t i = 0; i < image.Breakup.RowCount(); ++i)
      for (std::int32_t j = 0; j < image.Breakup.Rows(i).CellCount(); ++j) {
        const TMCCell& c = image.Breakup.Rows(i).Cells(j);
        const TRect area{c.Left, c.Top, c.Left + c.Width, c.Top + c.Height};
        TJPEGImage jpeg;
        TMemoryStream bytes;
        if (direct) {
          jpeg.SaveRectToStream(image.Bitmap, area, &bytes);
        } else {
          jpeg.Bitmap().SetSize(c.Width, c.Height);
          jpeg.Bitmap().Draw({0, 0, c.Width, c.Height}, area, image.Bitmap);
          jpeg.SaveToStream(&bytes);
        }
        benchmark::DoNotOptimize(bytes.Bytes().data());
      }
  }
}

double BitmapMiB(const TBitmap32& bitmap) {
  return static_cast<double>(bitmap.Width()) * bitmap.Height() * sizeof(TColor32) / (1 << 20);
}

// Peak resident memory of one save against the bitmap: over_bitmap_MiB is what the save held at
// its peak beyond what the process held before it (the bitmap included), peak_x_bitmap the
// bitmap plus that, over the bitmap.
void ReportSavePeak(benchmark::State& state, TMCImage& image, std::uint32_t names, const std::string& folder) {
  RandomState = names;
  ResetPeak();
  const double before = StatusMiB("VmRSS:");
  image.SaveFragments("", folder);
  const double peak = StatusMiB("VmHWM:");
  state.counters["rss_before_MiB"] = before;
  state.counters["peak_MiB"] = peak;
  state.counters["bitmap_MiB"] = BitmapMiB(image.Bitmap);
  state.counters["over_bitmap_MiB"] = peak - before;
  state.counters["peak_x_bitmap"] = (peak - before + BitmapMiB(image.Bitmap)) / BitmapMiB(image.Bitmap);
}

void BM_PeakSave24MPInto1024(benchmark::State& state) {
  TMCImage& image = Photo();
  RandomState = 2024;
  image.MakeBreakup(1024);
  const std::uint32_t names = RandomState;
  for (auto _ : state) ReportSavePeak(state, image, names, Dir().File("peak-1024"));
}

// 20000 x 15000 as one fragment: the encoder's coefficient store for the whole picture (which
// the optimised Huffman tables need) comes on top of the bitmap.
void BM_PeakSave20000x15000AsOne(benchmark::State& state) {
  TMCImage image;
  image.Bitmap.SetSize(20000, 15000);
  std::uint32_t noise = 1;
  for (std::int32_t y = 0; y < image.Bitmap.Height(); ++y) {
    TColor32* row = image.Bitmap.ScanLine(y);
    for (std::int32_t x = 0; x < image.Bitmap.Width(); ++x) {
      noise = noise * 1664525u + 1013904223u;
      const auto grain = static_cast<std::uint8_t>(noise >> 29);
      row[x] = Color32(static_cast<std::uint8_t>(x / 80 + grain), static_cast<std::uint8_t>(y / 60 + grain),
                       static_cast<std::uint8_t>((x + y) / 140));
    }
  }
  image.ImageWidth = image.Bitmap.Width();
  image.ImageHeight = image.Bitmap.Height();
  image.FileName = "big.jpg";
  RandomState = 1;
  image.MakeBreakup(1);
  const std::uint32_t names = RandomState;
  for (auto _ : state) ReportSavePeak(state, image, names, Dir().File("peak-one"));
}

BENCHMARK(BM_EncodeWholePicture)->Unit(benchmark::kMillisecond)->MinTime(3.0)->MeasureProcessCPUTime();
// Process CPU time: the fragments are encoded on several threads.
BENCHMARK(BM_SaveFragments1024)->Unit(benchmark::kMillisecond)->MinTime(3.0)->MeasureProcessCPUTime();
BENCHMARK(BM_EncodeFragmentsOneThread)->Unit(benchmark::kMillisecond)->MinTime(3.0)->MeasureProcessCPUTime();
BENCHMARK(BM_EncodeFragmentsInMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PeakSave24MPInto1024)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PeakSave20000x15000AsOne)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
