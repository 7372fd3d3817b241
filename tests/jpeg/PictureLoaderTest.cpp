// Loading picture files: the extension table, open failures, and JPEG decoding checked against
// libjpeg's own output.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <tuple>

#include <jpeglib.h>
#include <jerror.h>

#include "jpeg/PictureLoader.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;

// Every pixel of bitmap equals the reference RGB samples, with alpha 255.
void ExpectSamePixels(const TBitmap32& bitmap, const TSamples& reference) {
  ASSERT_EQ(bitmap.Width(), reference.Width);
  ASSERT_EQ(bitmap.Height(), reference.Height);
  for (int y = 0; y < reference.Height; ++y)
    for (int x = 0; x < reference.Width; ++x) {
      const std::uint8_t* p = &reference.Data[(static_cast<std::size_t>(y) * static_cast<std::size_t>(reference.Width) + static_cast<std::size_t>(x)) * 3];
      ASSERT_EQ(bitmap.Pixel(x, y), Color32(p[0], p[1], p[2])) << "at " << x << "," << y;
    }
}

class PictureLoader : public ::testing::Test {
protected:
  TTempDir Dir;
  TBitmap32 Bitmap;
};

TEST(PictureExtension, IsTheTextAfterTheLastDotOfTheName) {
  EXPECT_EQ(PictureExtension("a/b/photo.JPG"), "JPG");
  EXPECT_EQ(PictureExtension("holiday.photo.jpeg"), "jpeg");
  EXPECT_EQ(PictureExtension("photo"), "");
  EXPECT_EQ(PictureExtension("dir.jpg/photo"), "");
  EXPECT_EQ(PictureExtension("photo."), "");
  EXPECT_EQ(PictureExtension(".jpg"), "jpg");
}

struct TColourCase {
  const char* Name;
  int W, H;
  bool Progressive;
};

void PrintTo(const TColourCase& c, std::ostream* out) { *out << c.Name; }

class PictureLoaderColour : public PictureLoader, public ::testing::WithParamInterface<TColourCase> {};

TEST_P(PictureLoaderColour, MatchesLibjpegPixelForPixel) {
  const TColourCase& c = GetParam();
  const auto jpeg = EncodeJPEG(PhotoLike(c.W, c.H, 3), {.Quality = 80, .Progressive = c.Progressive});
  const std::string path = Dir.File("p.jpg");
  WriteBytes(path, jpeg);
  LoadPictureFromFile(Bitmap, path);
  ExpectSamePixels(Bitmap, DecodeReferenceRGB(jpeg));
}

INSTANTIATE_TEST_SUITE_P(, PictureLoaderColour,
                         ::testing::Values(TColourCase{"OnePixel", 1, 1, false}, TColourCase{"Odd17x9", 17, 9, false},
                                           TColourCase{"Whole64x48", 64, 48, false},
                                           TColourCase{"Progressive333x101", 333, 101, true},
                                           TColourCase{"Tall8x200", 8, 200, false}),
                         testing::TRowName());

class PictureLoaderExtensions : public PictureLoader, public ::testing::WithParamInterface<const char*> {};

TEST_P(PictureLoaderExtensions, AreTakenInAnyCase) {
  const std::string path = Dir.File(std::string("a.") + GetParam());
  WriteJPEG(path, Uniform(4, 4, 10, 200, 30));
  LoadPictureFromFile(Bitmap, path);
  EXPECT_EQ(Bitmap.Width(), 4);
}

INSTANTIATE_TEST_SUITE_P(, PictureLoaderExtensions, ::testing::Values("JPG", "Jpeg", "jpe"),
                         [](const ::testing::TestParamInfo<const char*>& row) { return std::string(row.param); });

TEST_F(PictureLoader, UnknownExtensionsAreRefusedAsWritten) {
  WriteJPEG(Dir.File("a.GIF"), Uniform(4, 4, 1, 2, 3));
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("a.GIF")), EInvalidGraphic, "Unknown picture file extension (.GIF)");
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("missing.gif")), EInvalidGraphic,
                   "Unknown picture file extension (.gif)");
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("photo")), EInvalidGraphic, "Unknown picture file extension (.)");
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("a.bmp")), EInvalidGraphic, "Unknown picture file extension (.bmp)");
}

TEST_F(PictureLoader, FilesThatCannotBeOpened) {
  const std::string missing = Dir.File("missing.jpg");
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, missing), EFOpenError,
                   "Cannot open file \"" + missing + "\". No such file or directory");
  const std::string folder = Dir.File("folder.jpg");
  std::filesystem::create_directory(folder);
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, folder), EFOpenError, "Cannot open file \"" + folder + "\". Is a directory");
  // A pipe must be refused, not waited on.
  const std::string fifo = Dir.File("pipe.jpg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, fifo), EFOpenError, "Cannot open file \"" + fifo + "\". Invalid argument");
  EXPECT_TRUE(Bitmap.Empty());
}

TEST_F(PictureLoader, ZeroByteFileIsAnEmptyPicture) {
  WriteBytes(Dir.File("empty.jpg"), {});
  Bitmap.SetSize(5, 5);
  LoadPictureFromFile(Bitmap, Dir.File("empty.jpg"));
  EXPECT_EQ(Bitmap.Width(), 0);
  EXPECT_EQ(Bitmap.Height(), 0);
}

TEST_F(PictureLoader, HeaderErrorsLeaveTheBitmapAlone) {
  Bitmap.SetSize(3, 2);
  Bitmap.Fill(Color32(1, 2, 3));
  WriteBytes(Dir.File("text.jpg"), {'h', 'e', 'l', 'l', 'o', '\n'});
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("text.jpg")), EJPEG, "JPEG error #53");
  // Only the start-of-image marker: the data ends before any header.
  WriteBytes(Dir.File("soi.jpg"), {0xFF, 0xD8});
  EXPECT_THROW(LoadPictureFromFile(Bitmap, Dir.File("soi.jpg")), EJPEG);
  EXPECT_EQ(Bitmap.Width(), 3);
  EXPECT_EQ(Bitmap.Pixel(2, 1), Color32(1, 2, 3));
}

TEST_F(PictureLoader, ErrorsWhileDecodingPixelsEmptyTheBitmap) {
  // Two components have no colour conversion: the header reads, the decoding then fails.
  TSamples two{6, 6, 2, std::vector<std::uint8_t>(72, 100)};
  jpeg_compress_struct info {};
  jpeg_error_mgr err {};
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = 6;
  info.image_height = 6;
  info.input_components = 2;
  info.in_color_space = JCS_UNKNOWN;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  for (int y = 0; y < 6; ++y) {
    JSAMPROW row = two.Data.data() + y * 12;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  WriteBytes(Dir.File("two.jpg"), std::vector<std::uint8_t>(out, out + size));
  std::free(out);

  Bitmap.SetSize(3, 2);
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("two.jpg")), EJPEG,
                   "JPEG error #" + std::to_string(JERR_CONVERSION_NOTIMPL));
  EXPECT_TRUE(Bitmap.Empty());
}

TEST_F(PictureLoader, GreyPicturesUseAtMost236EqualChannelLevels) {
  TSamples grey{256, 64, 1, {}};
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x) grey.Data.push_back(static_cast<std::uint8_t>(x));
  WriteJPEG(Dir.File("grey.jpg"), grey, {.Layout = TJpegLayout::Grey, .Quality = 100});
  LoadPictureFromFile(Bitmap, Dir.File("grey.jpg"));
  ASSERT_EQ(Bitmap.Width(), 256);
  std::set<std::uint8_t> levels;
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x) {
      const TColor32 p = Bitmap.Pixel(x, y);
      ASSERT_EQ(AlphaOf(p), 255);
      ASSERT_EQ(RedOf(p), GreenOf(p));
      ASSERT_EQ(GreenOf(p), BlueOf(p));
      levels.insert(RedOf(p));
    }
  EXPECT_LE(levels.size(), 236u);
  EXPECT_GT(levels.size(), 200u) << "a full ramp uses most levels";
  // Dithering keeps the ramp's brightness: the column averages follow x.
  for (int x : {0, 64, 128, 200, 255}) {
    double sum = 0;
    for (int y = 0; y < 64; ++y) sum += RedOf(Bitmap.Pixel(x, y));
    EXPECT_NEAR(sum / 64, x, 3.0) << "column " << x;
  }
}

TEST_F(PictureLoader, TruncatedFilesDecodeAsFarAsTheyGo) {
  const auto full = EncodeJPEG(PhotoLike(320, 240, 5));
  const TSamples reference = DecodeReferenceRGB(full);
  const std::vector<std::uint8_t> half(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(full.size() / 2));
  WriteBytes(Dir.File("half.jpg"), half);
  LoadPictureFromFile(Bitmap, Dir.File("half.jpg"));
  ASSERT_EQ(Bitmap.Width(), 320);
  ASSERT_EQ(Bitmap.Height(), 240);
  // The first rows were all there.
  for (int x = 0; x < 320; ++x) {
    const std::uint8_t* p = &reference.Data[static_cast<std::size_t>(x) * 3];
    ASSERT_EQ(Bitmap.Pixel(x, 0), Color32(p[0], p[1], p[2])) << x;
  }
}

struct TInkCase {
  const char* Name;
  bool Adobe, Ycck;
};

void PrintTo(const TInkCase& c, std::ostream* out) { *out << c.Name; }

class PictureLoaderInk : public PictureLoader, public ::testing::WithParamInterface<TInkCase> {};

TEST_P(PictureLoaderInk, FourComponentPicturesComeOutInRGB) {
  const TInkCase& c = GetParam();
  // Left half red, right half dark blue, as ink: red is magenta + yellow, the blue is cyan
  // + magenta + some black.
  TSamples ink{16, 16, 4, {}};
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const std::uint8_t red[4] = {0, 255, 255, 0}, blue[4] = {255, 255, 0, 128};
      const std::uint8_t* p = x < 8 ? red : blue;
      for (int k = 0; k < 4; ++k) ink.Data.push_back(c.Adobe ? static_cast<std::uint8_t>(255 - p[k]) : p[k]);
    }
  const std::string path = Dir.File(std::string(c.Name) + ".jpg");
  WriteJPEG(path, ink, {.Layout = TJpegLayout::Cmyk, .Quality = 100, .AdobeMarker = c.Adobe, .Ycck = c.Ycck});
  LoadPictureFromFile(Bitmap, path);
  const TColor32 left = Bitmap.Pixel(2, 8), right = Bitmap.Pixel(13, 8);
  EXPECT_EQ(AlphaOf(left), 255);
  EXPECT_NEAR(RedOf(left), 255, 6);
  EXPECT_NEAR(GreenOf(left), 0, 6);
  EXPECT_NEAR(BlueOf(left), 0, 6);
  EXPECT_NEAR(RedOf(right), 0, 6);
  EXPECT_NEAR(GreenOf(right), 0, 6);
  EXPECT_NEAR(BlueOf(right), 127, 6);
}

INSTANTIATE_TEST_SUITE_P(, PictureLoaderInk,
                         ::testing::Values(TInkCase{"AdobeYcck", true, true}, TInkCase{"AdobeCmyk", true, false},
                                           TInkCase{"PlainCmyk", false, false}),
                         testing::TRowName());

TEST_F(PictureLoader, ArithmeticCodedPicturesDecode) {
  const auto jpeg = EncodeJPEG(PhotoLike(40, 30, 9), {.Arithmetic = true});
  WriteBytes(Dir.File("arith.jpg"), jpeg);
  LoadPictureFromFile(Bitmap, Dir.File("arith.jpg"));
  ExpectSamePixels(Bitmap, DecodeReferenceRGB(jpeg));
}

TEST_F(PictureLoader, AbsurdClaimedSizeIsRefusedBeforeAllocating) {
  const auto jpeg = WithClaimedSize(EncodeJPEG(Uniform(16, 16, 9, 9, 9)), 65500, 65500);
  WriteBytes(Dir.File("huge.jpg"), jpeg);
  Bitmap.SetSize(2, 2);
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("huge.jpg")), Exception, "Can't allocate the DIB handle");
  EXPECT_TRUE(Bitmap.Empty());
}

// Each scan of a multi-scan file walks the picture's blocks again; past what any encoder writes
// the file is refused, and counting stops there rather than after thousands of scans.
TEST_F(PictureLoader, FilesWithMoreScansThanAnyEncoderWritesAreRefused) {
  const auto progressive = EncodeJPEG(PhotoLike(64, 48, 2), {.Progressive = true});
  // libjpeg's own progression writes 10 scans for a colour picture.
  WriteBytes(Dir.File("90.jpg"), WithRepeatedLastScan(progressive, 90));
  LoadPictureFromFile(Bitmap, Dir.File("90.jpg"));
  EXPECT_EQ(Bitmap.Width(), 64);

  Bitmap.SetSize(3, 2);
  WriteBytes(Dir.File("91.jpg"), WithRepeatedLastScan(progressive, 91));
  EXPECT_THROW_MSG(LoadPictureFromFile(Bitmap, Dir.File("91.jpg")), EInvalidGraphic,
                   "The JPEG file has more than 100 scans, more than any encoder writes, so it is refused");
  EXPECT_TRUE(Bitmap.Empty()) << "no half-decoded picture stays";

  WriteBytes(Dir.File("flood.jpg"), WithRepeatedLastScan(progressive, 20000));
  const std::uint64_t before = BytesReadSoFar();
  EXPECT_THROW(LoadPictureFromFile(Bitmap, Dir.File("flood.jpg")), EInvalidGraphic);
  EXPECT_LT(BytesReadSoFar() - before, progressive.size() + 200 * 1024) << "reading stops at the 101st scan";
}

TEST_F(PictureLoader, ManyMarkersCostOnlyTheirBytes) {
  const auto jpeg = EncodeJPEG(PhotoLike(40, 30, 4));
  WriteBytes(Dir.File("comments.jpg"), WithComments(jpeg, 200000));
  LoadPictureFromFile(Bitmap, Dir.File("comments.jpg"));
  ExpectSamePixels(Bitmap, DecodeReferenceRGB(jpeg));
}

// A picture followed by a 20 GiB sparse tail, with and without its end marker: the loader reads
// the picture, at most a bounded stretch of what follows, and gives the file's true size.
class PictureLoaderTail : public PictureLoader, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(PictureLoaderTail, LoadingStopsAtTheEndOfThePicture) {
  constexpr std::int64_t kTail = std::int64_t{20} << 30;
  const auto [progressive, endMarker] = GetParam();
  auto jpeg = EncodeJPEG(PhotoLike(96, 64, 8), {.Progressive = progressive});
  const TSamples reference = DecodeReferenceRGB(jpeg);
  if (!endMarker) jpeg.resize(jpeg.size() - 2);
  const std::string path = Dir.File("tail.jpg");
  WriteBytes(path, jpeg);
  ASSERT_EQ(::truncate(path.c_str(), kTail), 0);
  const std::uint64_t before = BytesReadSoFar();
  EXPECT_EQ(LoadPictureFromFile(Bitmap, path), kTail);
  EXPECT_LT(BytesReadSoFar() - before, jpeg.size() + (std::uint64_t{2} << 20));
  ExpectSamePixels(Bitmap, reference);
}

INSTANTIATE_TEST_SUITE_P(, PictureLoaderTail, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, bool>>& row) {
                           return std::string(std::get<0>(row.param) ? "Progressive" : "Baseline") +
                                  (std::get<1>(row.param) ? "_WithEndMarker" : "_NoEndMarker");
                         });

}  // namespace
}  // namespace mosaicer
