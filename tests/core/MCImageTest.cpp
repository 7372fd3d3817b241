// The document: what a load sets, and what a failed load leaves alone.
#include <gtest/gtest.h>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;

class MCImage : public ::testing::Test {
protected:
  TTempDir Dir;
  TMCImage Image;
};

TEST_F(MCImage, NewDocumentIsEmpty) {
  EXPECT_TRUE(Image.Bitmap.Empty());
  EXPECT_EQ(Image.ImageWidth, 0);
  EXPECT_EQ(Image.ImageHeight, 0);
  EXPECT_EQ(Image.FileSize, 0);
  EXPECT_EQ(Image.FileName, "");
  EXPECT_EQ(Image.Breakup.RowCount(), 0);
  EXPECT_EQ(Image.Bitmap.StretchFilter, sfNearest);
}

TEST_F(MCImage, LoadSetsTheFourFieldsAndKeepsTheDivision) {
  RandomState = 0;
  Image.ImageWidth = 400;
  Image.ImageHeight = 300;
  Image.MakeBreakup(16);
  const std::string path = Dir.File("photo.jpg");
  WriteJPEG(path, PhotoLike(640, 480));
  Image.LoadFromFile(path);
  EXPECT_EQ(Image.FileName, path);
  EXPECT_EQ(Image.ImageWidth, 640);
  EXPECT_EQ(Image.ImageHeight, 480);
  EXPECT_EQ(Image.FileSize, static_cast<std::int64_t>(ReadBytes(path).size()));
  EXPECT_EQ(Image.Bitmap.Width(), 640);
  ASSERT_EQ(Image.Breakup.RowCount(), 4);
  EXPECT_EQ(Image.Breakup.Rows(0).Cells(3).Left, 345) << "the division made for 400x300 stays";
}

TEST_F(MCImage, ZeroByteFileLoadsAsNothing) {
  const std::string path = Dir.File("empty.jpg");
  WriteBytes(path, {});
  Image.LoadFromFile(path);
  EXPECT_EQ(Image.FileName, path);
  EXPECT_EQ(Image.ImageWidth, 0);
  EXPECT_EQ(Image.ImageHeight, 0);
  EXPECT_EQ(Image.FileSize, 0);
}

TEST_F(MCImage, FailedLoadsKeepTheFields) {
  const std::string good = Dir.File("good.jpg");
  WriteJPEG(good, PhotoLike(64, 32));
  Image.LoadFromFile(good);
  const std::int64_t size = Image.FileSize;

  WriteBytes(Dir.File("text.jpg"), {'n', 'o'});
  WriteBytes(Dir.File("huge.jpg"), WithClaimedSize(EncodeJPEG(Uniform(8, 8, 1, 1, 1)), 65500, 65500));
  for (const char* name : {"picture.gif", "missing.jpg", "text.jpg", "huge.jpg"}) {
    EXPECT_THROW(Image.LoadFromFile(Dir.File(name)), Exception) << name;
    EXPECT_EQ(Image.FileName, good) << name;
    EXPECT_EQ(Image.ImageWidth, 64) << name;
    EXPECT_EQ(Image.ImageHeight, 32) << name;
    EXPECT_EQ(Image.FileSize, size) << name;
  }
}

TEST_F(MCImage, MakeBreakupUsesTheLoadedSize) {
  const std::string path = Dir.File("photo.jpg");
  WriteJPEG(path, PhotoLike(200, 101));
  Image.LoadFromFile(path);
  RandomState = 12345;
  Image.MakeBreakup(7);
  EXPECT_EQ(RandomState, 2377737157u);
  EXPECT_EQ(Image.Breakup.Rows(2).Cells(1).Left, 16);
  EXPECT_EQ(Image.Breakup.Rows(2).Height, 35);
}

}  // namespace
}  // namespace mosaicer
