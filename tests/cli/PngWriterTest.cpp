// Writing a bitmap as a PNG file: the pixels libpng reads back, and a file published whole.
#include <gtest/gtest.h>

#include <png.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <set>

#include "cli/PngWriter.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "tests/cli/ReadPng.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;
namespace fs = std::filesystem;

std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Every pixel different in each channel, with alpha values the file must not carry.
void FillPattern(TBitmap32& b, std::int32_t width, std::int32_t height) {
  b.SetSize(width, height);
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x)
      b.SetPixel(x, y, Color32(static_cast<std::uint8_t>(10 * x + 1), static_cast<std::uint8_t>(20 * y + 2),
                               static_cast<std::uint8_t>(x + y + 3), static_cast<std::uint8_t>(x * 7)));
}

// A small pattern to write where its pixels do not matter.
const TBitmap32& Small() {
  static TBitmap32 made;
  if (made.Empty()) FillPattern(made, 3, 3);
  return made;
}

class PngWriter : public ::testing::Test {
protected:
  void SetUp() override { FileSeam::Reset(); }
  void TearDown() override { FileSeam::Reset(); }
  TTempDir Dir;
};

TEST_F(PngWriter, EmptyBitmapIsRefused) {
  const std::string path = Dir.File("never.png");
  TBitmap32 empty;
  EXPECT_THROW_MSG(WritePNG(path, empty), Exception, "Cannot write an empty picture to \"" + path + "\"");
  EXPECT_TRUE(NamesIn(Dir.Path()).empty());
}

TEST_F(PngWriter, TheColourChannelsAsEightBitRgb) {
  const std::string path = Dir.File("p.png");
  TBitmap32 b;
  FillPattern(b, 5, 3);
  WritePNG(path, b);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
  EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_RGB)) << "no alpha channel, no palette, 8 bits";
  png_image_free(&image);

  const TSamples read = ReadPNG(path);
  ASSERT_EQ(read.Width, 5);
  ASSERT_EQ(read.Height, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(PixelOf(read, x, y), b.Pixel(x, y) | 0xFF000000u) << x << "," << y;
}

struct TSizeCase {
  const char* Name;
  std::int32_t Width, Height;
};

void PrintTo(const TSizeCase& c, std::ostream* out) { *out << c.Name; }

// The thinnest pictures, where a row length or a row count off by one shows first.
class PngWriterSizes : public PngWriter, public ::testing::WithParamInterface<TSizeCase> {};

TEST_P(PngWriterSizes, TheLastPixelIsRight) {
  const auto [name, w, h] = GetParam();
  const std::string path = Dir.File("edge.png");
  TBitmap32 b;
  FillPattern(b, w, h);
  WritePNG(path, b);
  const TSamples read = ReadPNG(path);
  ASSERT_EQ(read.Width, w);
  ASSERT_EQ(read.Height, h);
  EXPECT_EQ(PixelOf(read, w - 1, h - 1), b.Pixel(w - 1, h - 1) | 0xFF000000u);
}

INSTANTIATE_TEST_SUITE_P(, PngWriterSizes,
                         ::testing::Values(TSizeCase{"OnePixel", 1, 1}, TSizeCase{"OneRow", 7, 1},
                                           TSizeCase{"OneColumn", 1, 7}),
                         testing::TRowName());

TEST_F(PngWriter, AnExistingFileIsReplacedAndALinkKept) {
  const std::string path = Dir.File("p.png");
  WriteBytes(path, std::vector<std::uint8_t>(100000, 1));
  TBitmap32 four;
  FillPattern(four, 4, 4);
  WritePNG(path, four);
  EXPECT_EQ(ReadPNG(path).Width, 4) << "nothing of the longer old file is left";

  fs::create_directory(Dir.File("real"));
  fs::create_symlink("real/target.png", Dir.File("link.png"));
  WritePNG(Dir.File("link.png"), Small());
  EXPECT_TRUE(fs::is_symlink(Dir.File("link.png")));
  EXPECT_EQ(ReadPNG(Dir.File("real/target.png")).Width, 3);
  EXPECT_EQ(NamesIn(Dir.Path()), (std::set<std::string>{"link.png", "p.png", "real"})) << "no temporary file left";
}

TEST_F(PngWriter, AFileThatCannotBeCreated) {
  const std::string path = Dir.File("no/such/folder/p.png");
  EXPECT_THROW_MSG(WritePNG(path, Small()), EFCreateError,
                   "Cannot create file \"" + path + "\". No such file or directory");
  FileSeam::FailCreateAt(1, EACCES);
  EXPECT_THROW_MSG(WritePNG(Dir.File("p.png"), Small()), EFCreateError,
                   "Cannot create file \"" + Dir.File("p.png") + "\". Permission denied");
  EXPECT_TRUE(NamesIn(Dir.Path()).empty());
}

// A failed write must not be reported as success, nor cost the file that was there.
TEST_F(PngWriter, AWriteThatFailsLeavesWhatWasThere) {
  const std::string path = Dir.File("p.png");
  WriteBytes(path, {'o', 'l', 'd'});
  FileSeam::FailWriteAt(1, ENOSPC);
  EXPECT_THROW_MSG(WritePNG(path, Small()), Exception,
                   "Cannot write file \"" + path + "\". No space left on device");
  EXPECT_EQ(ReadBytes(path), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(NamesIn(Dir.Path()), (std::set<std::string>{"p.png"})) << "no temporary file left";
}

TEST_F(PngWriter, AWriteFailureNamesTheFileMadeAbsolute) {
  const fs::path old = fs::current_path();
  fs::current_path(Dir.Path());
  const std::string here = fs::current_path().string();
  FileSeam::FailWriteAt(1, EIO);
  EXPECT_THROW_MSG(WritePNG("rel.png", Small()), Exception,
                   "Cannot write file \"" + here + "/rel.png\". Input/output error");
  fs::current_path(old);
  EXPECT_TRUE(NamesIn(Dir.Path()).empty());
}

}  // namespace
}  // namespace mosaicer
