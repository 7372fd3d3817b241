// Every file in tests/hostile (inputs that once troubled the loader or that a fuzzer kept for
// the paths they reach) goes the whole way a user's picture goes: load, preview, divide, save.
// Each step may refuse with a message; none may crash, hang or leave a broken result behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

std::vector<std::filesystem::path> HostileFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(MOSAICER_HOSTILE_DIR))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(HostileInputs, FolderIsThere) { EXPECT_GE(HostileFiles().size(), 10u); }

// Load, preview, divide into 16 and save path into a folder of dir; each step may refuse.
void GoTheWholeWay(const std::filesystem::path& path, const testing::TTempDir& dir) {
  SCOPED_TRACE(path.filename().string());
  TMCImage image;
  try {
    image.LoadFromFile(path.string());
  } catch (const Exception&) {
    EXPECT_TRUE(image.Bitmap.Empty()) << "a refused picture leaves nothing half decoded";
    EXPECT_EQ(image.FileName, "");
    return;
  }
  const std::size_t count = static_cast<std::size_t>(image.Bitmap.Width()) * static_cast<std::size_t>(image.Bitmap.Height());
  ASSERT_TRUE(std::all_of(image.Bitmap.Bits(), image.Bitmap.Bits() + count, [](TColor32 c) { return AlphaOf(c) == 255; }));

  TBitmap32 box;
  box.SetSize(191, 191);
  box.Fill(Color32(255, 255, 255));
  try {
    image.DrawPreview(box.Canvas(), 191, 191, true);
  } catch (const Exception&) {
  }
  RandomState = 1;
  try {
    image.MakeBreakup(16);
  } catch (const Exception&) {
    return;  // too small for 16 chunks
  }
  const std::string out = dir.File(path.filename().string() + "-out");
  std::string html;
  ASSERT_NO_THROW(html = image.SaveFragments("images/", out));
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    ++files;
    TMCImage fragment;
    ASSERT_NO_THROW(fragment.LoadFromFile(entry.path().string())) << "every fragment written is a sound JPEG";
  }
  EXPECT_EQ(files, 16u);
}

TEST(HostileInputs, EveryFileGoesTheWholeWaySafely) {
  testing::TTempDir dir;
  for (const auto& path : HostileFiles()) GoTheWholeWay(path, dir);
}

// Files too large to keep, or made from a sound picture in a moment: floods of scans and of
// markers, and long tails after the picture (20 GiB, sparse).
TEST(HostileInputs, FloodsAndTailsMadeHere) {
  testing::TTempDir dir;
  const auto progressive = testing::EncodeJPEG(testing::PhotoLike(200, 120, 3), {.Progressive = true});
  const auto baseline = testing::EncodeJPEG(testing::PhotoLike(200, 120, 4));
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> made = {
      {"scan-flood-100.jpg", testing::WithRepeatedLastScan(progressive, 90)},
      {"scan-flood-5000.jpg", testing::WithRepeatedLastScan(progressive, 5000)},
      {"comment-flood.jpg", testing::WithComments(baseline, 100000)},
      {"tail-baseline.jpg", baseline},
      {"tail-progressive-no-end.jpg", std::vector<std::uint8_t>(progressive.begin(), progressive.end() - 2)},
  };
  for (const auto& [name, bytes] : made) {
    const std::string path = dir.File(name);
    testing::WriteBytes(path, bytes);
    if (name.starts_with("tail")) {
      ASSERT_EQ(::truncate(path.c_str(), std::int64_t{20} << 30), 0);
    }
    const std::uint64_t before = testing::BytesReadSoFar();
    GoTheWholeWay(path, dir);
    // The fragments written and read back are small; the tails are never read.
    EXPECT_LT(testing::BytesReadSoFar() - before, std::uint64_t{8} << 20) << name;
  }
}

}  // namespace
}  // namespace mosaicer
