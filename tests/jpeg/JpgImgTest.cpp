// The fragment encoder: the exact bytes libjpeg's own cjpeg writes, settings, progress, and
// failures with the library's message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <tuple>

#include "jpeg/JpgImg.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;

void Fill(TCustomJPEGImage& jpeg, const TSamples& s) {
  jpeg.Bitmap().SetSize(s.Width, s.Height);
  for (int y = 0; y < s.Height; ++y) {
    const std::uint8_t* from = s.Data.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(s.Width) * 3;
    std::uint8_t* to = jpeg.Bitmap().ScanLine(y);
    for (int x = 0; x < s.Width; ++x, from += 3, to += 3) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
    }
  }
}

std::vector<std::uint8_t> Encode(TCustomJPEGImage& jpeg) {
  TMemoryStream stream;
  jpeg.SaveToStream(&stream);
  return stream.Bytes();
}

// What cjpeg writes from the same pixels given as a binary PPM file; empty if cjpeg is missing.
std::vector<std::uint8_t> Cjpeg(const TTempDir& dir, const TSamples& s, const std::string& options) {
  if (std::system("command -v cjpeg >/dev/null 2>&1") != 0) return {};
  const std::string header = "P6\n" + std::to_string(s.Width) + " " + std::to_string(s.Height) + "\n255\n";
  std::vector<std::uint8_t> ppm(header.begin(), header.end());
  ppm.insert(ppm.end(), s.Data.begin(), s.Data.end());
  WriteBytes(dir.File("in.ppm"), ppm);
  const std::string command = "cjpeg " + options + " -outfile '" + dir.File("out.jpg") + "' '" + dir.File("in.ppm") + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cjpeg failed: " + command);
  return ReadBytes(dir.File("out.jpg"));
}

#define SKIP_WITHOUT_CJPEG(bytes) \
  if ((bytes).empty()) GTEST_SKIP() << "cjpeg is not installed (Debian: libjpeg-turbo-progs)"

TEST(JpgImg, Defaults) {
  TJPEGImage jpeg;
  EXPECT_EQ(jpeg.Quality, 75);
  EXPECT_EQ(jpeg.DCTMethod, TDCTMethod::Integ);
  EXPECT_FALSE(jpeg.Progressive);
  EXPECT_FALSE(jpeg.GrayScale);
  EXPECT_FALSE(jpeg.FastProcessing);
  EXPECT_EQ(jpeg.ProgressStep(), 10);
  EXPECT_FALSE(jpeg.OnProgress);
  EXPECT_EQ(jpeg.NumOfColors, TNumOfColors::_256);
  EXPECT_EQ(jpeg.Dither, TDither::FS);
  EXPECT_FALSE(jpeg.NoSmooth);
  EXPECT_FALSE(jpeg.OnePass);
  EXPECT_EQ(jpeg.FileName(), "");
  EXPECT_TRUE(jpeg.Bitmap().Empty());
}

// The pixels are made when the row runs, not when the program starts.
struct TPixelsCase {
  const char* Name;
  std::function<TSamples()> Pixels;
  const char* Why = "";
};

void PrintTo(const TPixelsCase& c, std::ostream* out) { *out << c.Name; }

class JpgImgDefaults : public ::testing::TestWithParam<TPixelsCase> {};

TEST_P(JpgImgDefaults, WriteWhatCjpegWritesByteForByte) {
  TTempDir dir;
  const TSamples pixels = GetParam().Pixels();
  const auto expected = Cjpeg(dir, pixels, "-quality 75 -optimize -dct int -sample 2x2");
  SKIP_WITHOUT_CJPEG(expected);
  TJPEGImage jpeg;
  Fill(jpeg, pixels);
  EXPECT_EQ(Encode(jpeg), expected) << GetParam().Why;
}

INSTANTIATE_TEST_SUITE_P(
    , JpgImgDefaults,
    ::testing::Values(TPixelsCase{"OnePixel", [] { return Uniform(1, 1, 200, 30, 90); }},
                      TPixelsCase{"Photo13x7", [] { return PhotoLike(13, 7, 3); }, "width not a multiple of 4"},
                      TPixelsCase{"Photo17x33", [] { return PhotoLike(17, 33, 4); }, "partial MCUs both ways"},
                      TPixelsCase{"Photo187x125", [] { return PhotoLike(187, 125, 5); }, "a typical fragment"},
                      TPixelsCase{"Photo640x480", [] { return PhotoLike(640, 480, 6); }},
                      TPixelsCase{"Uniform64x48", [] { return Uniform(64, 48, 12, 250, 7); }}),
    testing::TRowName());

struct TSettingCase {
  const char* Name;
  std::function<void(TJPEGImage&)> Set;
  const char* Options;
  const char* Why = "";
};

void PrintTo(const TSettingCase& c, std::ostream* out) { *out << c.Name; }

class JpgImgSettings : public ::testing::TestWithParam<TSettingCase> {};

TEST_P(JpgImgSettings, MatchTheSameCjpegOption) {
  TTempDir dir;
  const TSamples pixels = PhotoLike(97, 61, 9);
  const TSettingCase& c = GetParam();
  const auto expected = Cjpeg(dir, pixels, c.Options);
  SKIP_WITHOUT_CJPEG(expected);
  TJPEGImage jpeg;
  Fill(jpeg, pixels);
  c.Set(jpeg);
  EXPECT_EQ(Encode(jpeg), expected) << c.Why;
}

INSTANTIATE_TEST_SUITE_P(
    , JpgImgSettings,
    ::testing::Values(
        TSettingCase{"FastProcessing", [](TJPEGImage& j) { j.FastProcessing = true; }, "-quality 75 -dct int", "standard tables"},
        TSettingCase{"Progressive", [](TJPEGImage& j) { j.Progressive = true; }, "-quality 75 -optimize -progressive"},
        TSettingCase{"GrayScale", [](TJPEGImage& j) { j.GrayScale = true; }, "-quality 75 -optimize -grayscale"},
        TSettingCase{"FastInteg", [](TJPEGImage& j) { j.DCTMethod = TDCTMethod::FastInteg; }, "-quality 75 -optimize -dct fast"},
        TSettingCase{"FloatingPoint", [](TJPEGImage& j) { j.DCTMethod = TDCTMethod::FloatingPoint; }, "-quality 75 -optimize -dct float"},
        TSettingCase{"Quality0", [](TJPEGImage& j) { j.Quality = 0; }, "-quality 1 -optimize", "quality 0 is quality 1"},
        TSettingCase{"Quality10", [](TJPEGImage& j) { j.Quality = 10; }, "-quality 10 -optimize", "16-bit tables, not forced to baseline"},
        TSettingCase{"Quality100", [](TJPEGImage& j) { j.Quality = 100; }, "-quality 100 -optimize"}),
    testing::TRowName());

// A photo with alpha bytes that differ from pixel to pixel, which no encoder may read.
void FillPictureWithAlpha(TBitmap32& picture) {
  const TSamples photo = PhotoLike(203, 150, 7);
  picture.SetSize(photo.Width, photo.Height);
  for (int y = 0; y < photo.Height; ++y)
    for (int x = 0; x < photo.Width; ++x) {
      const std::uint8_t* p = &photo.Data[(static_cast<std::size_t>(y) * static_cast<std::size_t>(photo.Width) + static_cast<std::size_t>(x)) * 3];
      picture.SetPixel(x, y, Color32(p[0], p[1], p[2], static_cast<std::uint8_t>(x * 7 + y)));
    }
}

struct TRectCase {
  const char* Name;
  TRect Area;
};

struct TRectSetting {
  const char* Name;
  std::function<void(TJPEGImage&)> Set;
};

void PrintTo(const TRectCase& c, std::ostream* out) { *out << c.Name; }
void PrintTo(const TRectSetting& c, std::ostream* out) { *out << c.Name; }

// The save encodes each fragment straight from the picture's 32-bit rows; the file must be the
// one the 24-bit bitmap of the same pixels gives, whatever the padding bytes hold.
class JpgImgRect : public ::testing::TestWithParam<std::tuple<TRectCase, TRectSetting>> {};

TEST_P(JpgImgRect, GivesTheSameBytesAsItsCopy) {
  const auto& [r, setting] = GetParam();
  TBitmap32 picture;
  FillPictureWithAlpha(picture);
  TJPEGImage copy, direct;
  setting.Set(copy);
  setting.Set(direct);
  copy.Bitmap().SetSize(r.Area.Width(), r.Area.Height());
  copy.Bitmap().Draw({0, 0, r.Area.Width(), r.Area.Height()}, r.Area, picture);
  TMemoryStream stream;
  direct.SaveRectToStream(picture, r.Area, &stream);
  EXPECT_EQ(stream.Bytes(), Encode(copy));
}

INSTANTIATE_TEST_SUITE_P(
    , JpgImgRect,
    ::testing::Combine(
        ::testing::Values(TRectCase{"TopLeftPixel", {0, 0, 1, 1}}, TRectCase{"Inside13x7", {50, 40, 63, 47}},
                          TRectCase{"BottomRightEdge", {150, 100, 203, 150}}, TRectCase{"WholePicture", {0, 0, 203, 150}}),
        ::testing::Values(TRectSetting{"Defaults", [](TJPEGImage&) {}},
                          TRectSetting{"Progressive", [](TJPEGImage& j) { j.Progressive = true; }},
                          TRectSetting{"Grey", [](TJPEGImage& j) { j.GrayScale = true; }},
                          TRectSetting{"FloatStandardTables", [](TJPEGImage& j) { j.DCTMethod = TDCTMethod::FloatingPoint; j.FastProcessing = true; }},
                          TRectSetting{"Quality100", [](TJPEGImage& j) { j.Quality = 100; }})),
    [](const ::testing::TestParamInfo<std::tuple<TRectCase, TRectSetting>>& row) {
      return std::string(std::get<0>(row.param).Name) + "_" + std::get<1>(row.param).Name;
    });

// And so, with the defaults, what cjpeg writes from those pixels.
TEST(JpgImg, ARectangleOfAPictureIsWhatCjpegWritesFromItsPixels) {
  TTempDir dir;
  TBitmap32 picture;
  FillPictureWithAlpha(picture);
  TSamples inner{13, 7, 3, {}};
  for (int y = 40; y < 47; ++y)
    for (int x = 50; x < 63; ++x) {
      const TColor32 c = picture.Pixel(x, y);
      inner.Data.insert(inner.Data.end(), {RedOf(c), GreenOf(c), BlueOf(c)});
    }
  const auto expected = Cjpeg(dir, inner, "-quality 75 -optimize -dct int -sample 2x2");
  SKIP_WITHOUT_CJPEG(expected);
  TJPEGImage jpeg;
  TMemoryStream stream;
  jpeg.SaveRectToStream(picture, {50, 40, 63, 47}, &stream);
  EXPECT_EQ(stream.Bytes(), expected);
}

TEST(JpgImg, TopRowFirstAndRedStaysRed) {
  // Red above, blue below: a swapped byte order or a bottom-up walk shows at once.
  TSamples pixels = Uniform(21, 32, 255, 0, 0);
  for (std::size_t i = pixels.Data.size() / 2; i < pixels.Data.size(); i += 3) {
    pixels.Data[i] = 0;
    pixels.Data[i + 2] = 255;
  }
  TJPEGImage jpeg;
  Fill(jpeg, pixels);
  const TSamples decoded = DecodeReferenceRGB(Encode(jpeg));
  ASSERT_EQ(decoded.Width, 21);
  ASSERT_EQ(decoded.Height, 32);
  auto at = [&](int x, int y, int c) { return decoded.Data[(static_cast<std::size_t>(y) * 21 + static_cast<std::size_t>(x)) * 3 + static_cast<std::size_t>(c)]; };
  EXPECT_GT(at(10, 2, 0), 230);
  EXPECT_LT(at(10, 2, 2), 25);
  EXPECT_LT(at(10, 29, 0), 25);
  EXPECT_GT(at(10, 29, 2), 230);
}

TEST(JpgImg, SameBitmapTwiceGivesTheSameBytes) {
  TJPEGImage jpeg;
  Fill(jpeg, PhotoLike(123, 45));
  const auto first = Encode(jpeg);
  EXPECT_EQ(Encode(jpeg), first);
  EXPECT_EQ(DecodeReferenceRGB(first).Width, 123);
}

TEST(JpgImg, SettingsNeverDiscardTheBitmap) {
  TJPEGImage jpeg;
  Fill(jpeg, PhotoLike(40, 30));
  jpeg.GrayScale = true;
  jpeg.NumOfColors = TNumOfColors::TrueColor;
  jpeg.Dither = TDither::None;
  jpeg.NoSmooth = jpeg.OnePass = true;
  jpeg.DCTMethod = TDCTMethod::FastInteg;
  jpeg.SetFileName("elsewhere.jpg");
  EXPECT_EQ(jpeg.Bitmap().Width(), 40);
  const TSamples decoded = DecodeReferenceRGB(Encode(jpeg));
  EXPECT_EQ(decoded.Width, 40);
  EXPECT_EQ(decoded.Height, 30);
}

struct TProgressCase {
  const char* Name;
  int Rows, Step, Calls;
};

void PrintTo(const TProgressCase& c, std::ostream* out) { *out << c.Name; }

class JpgImgProgress : public ::testing::TestWithParam<TProgressCase> {};

TEST_P(JpgImgProgress, EveryStepPercent) {
  const TProgressCase& c = GetParam();
  TJPEGImage jpeg;
  jpeg.Bitmap().SetSize(2, c.Rows);
  std::fill_n(jpeg.Bitmap().ScanLine(0), jpeg.Bitmap().Stride() * static_cast<std::size_t>(c.Rows), 128);
  jpeg.SetProgressStep(c.Step);
  int calls = 0;
  jpeg.OnProgress = [&](TCustomJPEGImage& sender) {
    EXPECT_EQ(&sender, &jpeg);
    ++calls;
  };
  Encode(jpeg);
  EXPECT_EQ(calls, c.Calls) << c.Rows << " rows, step " << c.Step;
  calls = 0;
  Encode(jpeg);
  EXPECT_EQ(calls, c.Calls) << "the count starts again for every encoding";
}

INSTANTIATE_TEST_SUITE_P(
    , JpgImgProgress,
    ::testing::Values(TProgressCase{"Step10", 1000, 10, 10}, TProgressCase{"Step1", 1000, 1, 100},
                      // 0 would divide by zero: taken as 1.
                      TProgressCase{"Step0", 1000, 0, 100}, TProgressCase{"Step255", 1000, 255, 1},
                      // 14, 28 ... only 100 is a multiple.
                      TProgressCase{"SevenRows", 7, 10, 1}, TProgressCase{"ThreeRows", 3, 1, 3},
                      TProgressCase{"OneRow", 1, 10, 1}, TProgressCase{"Step30", 1000, 30, 3}),
    testing::TRowName());

TEST(JpgImg, AThrowingProgressHandlerStopsTheEncoding) {
  TJPEGImage jpeg;
  Fill(jpeg, PhotoLike(16, 100));
  jpeg.OnProgress = [](TCustomJPEGImage&) { throw std::runtime_error("stop"); };
  TMemoryStream stream;
  EXPECT_THROW(jpeg.SaveToStream(&stream), std::runtime_error);
  jpeg.OnProgress = nullptr;
  EXPECT_EQ(DecodeReferenceRGB(Encode(jpeg)).Height, 100) << "the encoder is usable afterwards";
}

TEST(JpgImg, LibraryErrorsCarryTheLibrarysMessage) {
  TJPEGImage jpeg;
  TMemoryStream stream;
  EXPECT_THROW_MSG(jpeg.SaveToStream(&stream), EJPEGException, "Premature end of input file");
  jpeg.Bitmap().SetWidth(5);
  EXPECT_THROW_MSG(jpeg.SaveToStream(&stream), EJPEGException, "Premature end of input file");
  jpeg.Bitmap().SetSize(70000, 1);
  EXPECT_THROW_MSG(jpeg.SaveToStream(&stream), EJPEGException, "Maximum supported image dimension is 65500 pixels");
  EXPECT_TRUE(stream.Bytes().empty());
  jpeg.SaveToStream(nullptr);  // no stream: nothing to do
}

// A memory stream that cannot grow stands for an allocation that failed: that is short memory,
// never a full disk.
TEST(JpgImg, AMemoryStreamThatCannotGrowIsReportedAsMemory) {
  struct TFullMemory : TMemoryStream {
    std::size_t Write(const void*, std::size_t) noexcept override { return 0; }
  } stream;
  TJPEGImage jpeg;
  Fill(jpeg, PhotoLike(64, 64, 2));
  EXPECT_THROW_MSG(jpeg.SaveToStream(&stream), EJPEGException, "Insufficient memory (case 0)");
}

class JpgImgFile : public ::testing::Test {
protected:
  void SetUp() override {
    FileSeam::Reset();
    Fill(Jpeg, PhotoLike(480, 360));
    Expected = Encode(Jpeg);
    ASSERT_GT(Expected.size(), 3u * 4096) << "several buffers, so a write can fail midway";
  }
  void TearDown() override { FileSeam::Reset(); }
  TTempDir Dir;
  TJPEGImage Jpeg;
  std::vector<std::uint8_t> Expected;
};

TEST_F(JpgImgFile, WritesInBlocksOf4096AndOverwrites) {
  const std::string path = Dir.File("out.jpg");
  WriteBytes(path, std::vector<std::uint8_t>(100000, 1));
  Jpeg.SaveToFile(path);
  EXPECT_EQ(ReadBytes(path), Expected);
  EXPECT_EQ(FileSeam::CreateCalls(), 1);
  EXPECT_EQ(static_cast<std::size_t>(FileSeam::WriteCalls()), (Expected.size() + 4095) / 4096);
}

TEST_F(JpgImgFile, CannotCreateGivesTheAbsolutePathAndTheSystemsText) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  EXPECT_THROW_MSG(Jpeg.SaveToFile("missing/out.jpg"), EFCreateError,
                   "Cannot create file \"" + Dir.Path() + "/missing/out.jpg\". No such file or directory");
  std::filesystem::current_path(before);
  FileSeam::FailCreateAt(1, EROFS);
  EXPECT_THROW_MSG(Jpeg.SaveToFile(Dir.File("ro.jpg")), EFCreateError,
                   "Cannot create file \"" + Dir.File("ro.jpg") + "\". Read-only file system");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("ro.jpg")));
  EXPECT_EQ(FileSeam::WriteCalls(), 0) << "nothing was encoded";
}

TEST_F(JpgImgFile, AFailedWriteLeavesNoFile) {
  for (int call : {1, 2, 3}) {
    FileSeam::Reset();
    FileSeam::FailWriteAt(call, ENOSPC);
    const std::string path = Dir.File("full" + std::to_string(call) + ".jpg");
    EXPECT_THROW_MSG(Jpeg.SaveToFile(path), EJPEGException, "Output file write error --- out of disk space?");
    EXPECT_FALSE(std::filesystem::exists(path)) << "write call " << call;
  }
  FileSeam::Reset();
  // The last, partly filled buffer is written by the library's finishing step.
  FileSeam::FailWriteAt(static_cast<int>((Expected.size() + 4095) / 4096), EIO);
  EXPECT_THROW_MSG(Jpeg.SaveToFile(Dir.File("last.jpg")), EJPEGException, "Output file write error --- out of disk space?");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("last.jpg")));
}

TEST_F(JpgImgFile, AFailedWriteKeepsTheFileThatWasThere) {
  const std::string path = Dir.File("kept.jpg");
  const std::vector<std::uint8_t> old(100000, 1);
  WriteBytes(path, old);
  FileSeam::FailWriteAt(2, ENOSPC);
  EXPECT_THROW_MSG(Jpeg.SaveToFile(path), EJPEGException, "Output file write error --- out of disk space?");
  FileSeam::Reset();
  FileSeam::FailWriteAt(1, EIO);
  EXPECT_THROW_MSG(SaveEncodedToFile(Expected, path), EJPEGException, "Output file write error --- out of disk space?");
  EXPECT_EQ(ReadBytes(path), old);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Dir.Path())) ++entries;
  EXPECT_EQ(entries, 1u) << "no temporary file stays";
  FileSeam::Reset();
  SaveEncodedToFile(Expected, path);
  EXPECT_EQ(ReadBytes(path), Expected);
}

}  // namespace
}  // namespace mosaicer
