// Every file in tests/hostile (inputs that once troubled the loader or that a fuzzer kept for
// the paths they reach) goes the whole way a user's picture goes: load, preview, divide, save.
// Each step may refuse with a message; none may crash, hang or leave a broken result behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

TEST(HostileInputs, EveryFileGoesTheWholeWaySafely) {
  testing::TTempDir dir;
  for (const auto& path : HostileFiles()) {
    SCOPED_TRACE(path.filename().string());
    TMCImage image;
    try {
      image.LoadFromFile(path.string());
    } catch (const Exception&) {
      EXPECT_TRUE(image.Bitmap.Empty()) << "a refused picture leaves nothing half decoded";
      EXPECT_EQ(image.FileName, "");
      continue;
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
      continue;  // too small for 16 chunks
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
}

}  // namespace
}  // namespace mosaicer
