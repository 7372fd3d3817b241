// The document: what a load sets, and what a failed load leaves alone.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;

#define EXPECT_THAT_PREFIX(text, prefix) EXPECT_EQ(std::string(text).substr(0, std::string(prefix).size()), prefix) << (text)

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

struct TFailedLoadCase {
  const char* Name;
  const char* File;
};

void PrintTo(const TFailedLoadCase& c, std::ostream* out) { *out << c.File; }

class MCImageFailedLoad : public MCImage, public ::testing::WithParamInterface<TFailedLoadCase> {};

TEST_P(MCImageFailedLoad, KeepsTheFields) {
  const std::string good = Dir.File("good.jpg");
  WriteJPEG(good, PhotoLike(64, 32));
  Image.LoadFromFile(good);
  const std::int64_t size = Image.FileSize;

  WriteBytes(Dir.File("text.jpg"), {'n', 'o'});
  WriteBytes(Dir.File("huge.jpg"), WithClaimedSize(EncodeJPEG(Uniform(8, 8, 1, 1, 1)), 65500, 65500));
  const char* name = GetParam().File;
  EXPECT_THROW(Image.LoadFromFile(Dir.File(name)), Exception);
  EXPECT_EQ(Image.FileName, good);
  EXPECT_EQ(Image.ImageWidth, 64);
  EXPECT_EQ(Image.ImageHeight, 32);
  EXPECT_EQ(Image.FileSize, size);
}

INSTANTIATE_TEST_SUITE_P(, MCImageFailedLoad,
                         ::testing::Values(TFailedLoadCase{"AnotherKindOfPicture", "picture.gif"},
                                           TFailedLoadCase{"NoFile", "missing.jpg"}, TFailedLoadCase{"NotAJpeg", "text.jpg"},
                                           TFailedLoadCase{"TooLargeToDecode", "huge.jpg"}),
                         testing::TRowName());

// Sizes past 2 and 4 GiB, which a 32-bit size would wrap.
class MCImageFileSize : public MCImage, public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(MCImageFileSize, IsTheSizeOfTheFileThatWasRead) {
  const std::string path = Dir.File("sparse.jpg");
  WriteJPEG(path, PhotoLike(32, 16));
  const std::int64_t size = GetParam();
  ASSERT_EQ(::truncate(path.c_str(), size), 0);
  Image.LoadFromFile(path);
  EXPECT_EQ(Image.FileSize, size);
  EXPECT_EQ(Image.ImageWidth, 32);
}

INSTANTIATE_TEST_SUITE_P(, MCImageFileSize,
                         ::testing::Values(std::int64_t{3} << 30, std::int64_t{20} << 30),
                         [](const ::testing::TestParamInfo<std::int64_t>& row) { return std::to_string(row.param >> 30) + "GiB"; });

// Runs step in a child process whose address space may grow by only headroom bytes from
// here, and returns what the child caught: "ok" or the exception's text.
std::string UnderAddressSpaceLimit(std::uint64_t headroom, const std::function<void()>& step) {
  std::uint64_t used = 0;
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;)
    if (key == "VmSize:") {
      status >> used;
      used *= 1024;
      break;
    }
  int pipe[2];
  if (::pipe(pipe) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe[0]);
    const rlimit limit{used + headroom, RLIM_INFINITY};
    std::string said = "ok";
    if (::setrlimit(RLIMIT_AS, &limit) != 0) said = "no limit";
    else {
      try {
        step();
      } catch (const std::exception& e) {
        said = e.what();
      }
    }
    if (::write(pipe[1], said.data(), said.size()) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string said;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<std::size_t>(n));
  ::close(pipe[0]);
  int status2 = 0;
  ::waitpid(child, &status2, 0);
  return said;
}

// Loading, the preview and the save each weigh what they need against what the process may
// still have, and refuse before allocating with a message that says memory is short.
TEST_F(MCImage, LargeStepsAreRefusedWhenMemoryIsShort) {
  const std::string path = Dir.File("big.jpg");
  WriteJPEG(path, Uniform(3000, 2000, 40, 90, 200));  // a 23 MiB bitmap
  EXPECT_THAT_PREFIX(UnderAddressSpaceLimit(16 << 20, [&] { Image.LoadFromFile(path); }),
                     "Not enough memory to load the picture: it needs 23 MiB, and only ");
  EXPECT_EQ(UnderAddressSpaceLimit(256 << 20, [&] { Image.LoadFromFile(path); }), "ok");

  Image.LoadFromFile(path);
  RandomState = 1;
  Image.MakeBreakup(1);
  const std::string out = Dir.File("out");
  EXPECT_THAT_PREFIX(UnderAddressSpaceLimit(16 << 20, [&] { Image.SaveFragments("", out); }),
                     "Not enough memory to save the fragments: it needs ");
  EXPECT_FALSE(std::filesystem::exists(out)) << "nothing written before the refusal";
  EXPECT_EQ(UnderAddressSpaceLimit(256 << 20, [&] { Image.SaveFragments("", out); }), "ok");

  TBitmap32 box;
  box.SetSize(4096, 4096);
  EXPECT_THAT_PREFIX(UnderAddressSpaceLimit(32 << 20, [&] { Image.DrawPreview(box.Canvas(), 4096, 4096, false); }),
                     "Not enough memory to draw the preview: it needs 129 MiB");
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
