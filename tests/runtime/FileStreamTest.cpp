// The streams the encoder writes into, the fault seam, and the 24-bit bitmap it is filled through.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "runtime/Bitmap24.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;

class FileStream : public ::testing::Test {
protected:
  void SetUp() override { FileSeam::Reset(); }
  void TearDown() override { FileSeam::Reset(); }
  TTempDir Dir;
};

TEST_F(FileStream, CreatesTruncatesAndWrites) {
  const std::string path = Dir.File("f.bin");
  WriteBytes(path, std::vector<std::uint8_t>(50, 9));
  TFileStream file(path);
  EXPECT_EQ(file.Write("abc", 3), 3u);
  EXPECT_EQ(file.Write("", 0), 0u);
  EXPECT_TRUE(file.Close());
  EXPECT_TRUE(file.Close()) << "closing twice is harmless";
  EXPECT_EQ(ReadBytes(path), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(file.Write("d", 1), 0u) << "a closed stream stores nothing";
  EXPECT_TRUE(DeleteFile(path));
  EXPECT_FALSE(DeleteFile(path));
}

TEST_F(FileStream, TheSeamFailsExactlyTheNthCall) {
  FileSeam::FailCreateAt(2, EACCES);
  TFileStream first(Dir.File("1"));
  EXPECT_THROW_MSG(TFileStream(Dir.File("2")), EFCreateError, "Cannot create file \"" + Dir.File("2") + "\". Permission denied");
  TFileStream third(Dir.File("3"));
  EXPECT_EQ(FileSeam::CreateCalls(), 3);

  FileSeam::FailWriteAt(2, ENOSPC);
  EXPECT_EQ(third.Write("ab", 2), 2u);
  EXPECT_EQ(third.Write("cd", 2), 0u);
  EXPECT_EQ(FileSeam::WriteCalls(), 2);
  // A stream with a hole in it is never published: no further write is tried.
  EXPECT_EQ(third.Write("ef", 2), 0u);
  EXPECT_EQ(FileSeam::WriteCalls(), 2);
  EXPECT_FALSE(third.Close());
  EXPECT_EQ(third.Error(), ENOSPC);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("3")));
  FileSeam::FailWriteAt(1, EIO);
  TFileStream fifth(Dir.File("5"));
  EXPECT_EQ(fifth.Write("ab", 2), 0u);
  TFileStream sixth(Dir.File("6"));
  EXPECT_EQ(sixth.Write("ab", 2), 2u) << "only the one call fails";
  EXPECT_TRUE(sixth.Close());

  FileSeam::FailCreateAt(1, EROFS);
  FileSeam::FailCreateAt(0, 0);
  TFileStream fourth(Dir.File("4"));  // turned off again
}

TEST_F(FileStream, MemoryStreamCollects) {
  TMemoryStream stream;
  stream.Write("xy", 2);
  stream.Write("z", 1);
  EXPECT_EQ(stream.Bytes(), (std::vector<std::uint8_t>{'x', 'y', 'z'}));
}

TEST(Bitmap24, WidthThenHeightAndCopyingFromA32BitBitmap) {
  TBitmap24 b;
  b.SetWidth(5);
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Width(), 5);
  b.SetHeight(3);
  EXPECT_EQ(b.Height(), 3);
  EXPECT_EQ(b.Stride(), 15u);

  TBitmap32 source;
  source.SetSize(8, 8);
  for (std::int32_t y = 0; y < 8; ++y)
    for (std::int32_t x = 0; x < 8; ++x)
      source.SetPixel(x, y, Color32(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 200, 17));
  std::fill_n(b.ScanLine(0), 15 * 3, 0xEE);
  b.Draw({0, 0, 5, 3}, {2, 4, 7, 7}, source);
  for (std::int32_t y = 0; y < 3; ++y) {
    for (std::int32_t x = 0; x < 5; ++x) {
      const std::uint8_t* p = b.ScanLine(y) + x * 3;
      EXPECT_EQ(p[0], 200) << "blue first";
      EXPECT_EQ(p[1], y + 4) << "green";
      EXPECT_EQ(p[2], x + 2) << "red";
    }
  }
  // Clipped at the source's edge: the rest stays as it was.
  std::fill_n(b.ScanLine(0), 15 * 3, 0xEE);
  b.Draw({0, 0, 5, 3}, {6, 6, 11, 9}, source);
  EXPECT_EQ(b.ScanLine(0)[2], 6);
  EXPECT_EQ(b.ScanLine(1)[3 * 1 + 2], 7);
  EXPECT_EQ(b.ScanLine(0)[3 * 2], 0xEE);
  EXPECT_EQ(b.ScanLine(2)[0], 0xEE);

  EXPECT_THROW_MSG(b.SetSize(65536, 65536), Exception, "Can't allocate the DIB handle");
  EXPECT_TRUE(b.Empty());
}

}  // namespace
}  // namespace mosaicer
