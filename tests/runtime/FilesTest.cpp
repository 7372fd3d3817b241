// The file-system helpers: opening only regular files for reading, paths, folders and the clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "runtime/Exceptions.h"
#include "runtime/Files.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;
namespace fs = std::filesystem;

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(FileHandle, ClosesOnceAndMovesOwnership) {
  TTempDir dir;
  WriteBytes(dir.File("f"), {1, 2, 3});
  int fd = -1;
  {
    TFileHandle first = OpenFileForReading(dir.File("f"));
    fd = first.Fd();
    ASSERT_TRUE(IsOpen(fd));
    TFileHandle second(std::move(first));
    EXPECT_FALSE(first.Valid());
    EXPECT_EQ(second.Fd(), fd);
    TFileHandle third;
    third = std::move(second);
    EXPECT_FALSE(second.Valid());
    EXPECT_TRUE(IsOpen(fd));
  }
  EXPECT_FALSE(IsOpen(fd)) << "closed when the last owner went";

  TFileHandle kept = OpenFileForReading(dir.File("f"));
  const int released = kept.Release();
  EXPECT_FALSE(kept.Valid());
  kept.Close();
  EXPECT_TRUE(IsOpen(released)) << "a released descriptor is the caller's";
  ::close(released);

  // Assigning over an open handle closes the old descriptor.
  TFileHandle a = OpenFileForReading(dir.File("f"));
  TFileHandle b = OpenFileForReading(dir.File("f"));
  const int old = a.Fd();
  a = std::move(b);
  EXPECT_FALSE(IsOpen(old));
  EXPECT_TRUE(a.Valid());
}

class OpenForReading : public ::testing::Test {
protected:
  TTempDir Dir;
};

TEST_F(OpenForReading, ARegularFileOrALinkToOneGivesItsSize) {
  WriteBytes(Dir.File("f.jpg"), std::vector<std::uint8_t>(1234, 7));
  fs::create_symlink("f.jpg", Dir.File("link.jpg"));
  for (const std::string& path : {Dir.File("f.jpg"), Dir.File("link.jpg")}) {
    std::int64_t size = -1;
    const TFileHandle file = OpenFileForReading(path, &size);
    EXPECT_TRUE(file.Valid()) << path;
    EXPECT_EQ(size, 1234) << path;
  }
  WriteBytes(Dir.File("empty.jpg"), {});
  std::int64_t size = -1;
  EXPECT_TRUE(OpenFileForReading(Dir.File("empty.jpg"), &size).Valid());
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(OpenFileForReading(Dir.File("f.jpg")).Valid()) << "the size is optional";
}

TEST_F(OpenForReading, AnythingElseIsRefusedWithTheSystemsText) {
  const std::string missing = Dir.File("missing.jpg");
  EXPECT_THROW_MSG(OpenFileForReading(missing), EFOpenError, "Cannot open file \"" + missing + "\". No such file or directory");
  EXPECT_THROW_MSG(OpenFileForReading(Dir.Path()), EFOpenError, "Cannot open file \"" + Dir.Path() + "\". Is a directory");
  fs::create_symlink("missing.jpg", Dir.File("dangling.jpg"));
  EXPECT_THROW_MSG(OpenFileForReading(Dir.File("dangling.jpg")), EFOpenError,
                   "Cannot open file \"" + Dir.File("dangling.jpg") + "\". No such file or directory");
  // A FIFO with no writer would block a plain open for ever.
  const std::string fifo = Dir.File("pipe.jpg");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_THROW_MSG(OpenFileForReading(fifo), EFOpenError, "Cannot open file \"" + fifo + "\". Invalid argument");
  if (::geteuid() != 0) {
    WriteBytes(Dir.File("locked.jpg"), {1});
    ::chmod(Dir.File("locked.jpg").c_str(), 0);
    EXPECT_THROW_MSG(OpenFileForReading(Dir.File("locked.jpg")), EFOpenError,
                     "Cannot open file \"" + Dir.File("locked.jpg") + "\". Permission denied");
  }
}

// Run in a folder of the test's own, so the expected result is known.
class ExpandFileNameIn : public ::testing::Test {
protected:
  void SetUp() override {
    Old = fs::current_path();
    fs::current_path(Dir.Path());
    Here = fs::current_path().string();
  }
  void TearDown() override { fs::current_path(Old); }
  TTempDir Dir;
  fs::path Old;
  std::string Here;
};

TEST_F(ExpandFileNameIn, ARelativePathIsJoinedToTheCurrentFolderAsWritten) {
  EXPECT_EQ(ExpandFileName("a.jpg"), Here + "/a.jpg");
  EXPECT_EQ(ExpandFileName("sub/a.jpg"), Here + "/sub/a.jpg");
  // Nothing is resolved or tidied, and the file need not exist.
  EXPECT_EQ(ExpandFileName("./x/../a.jpg"), Here + "/./x/../a.jpg");
  EXPECT_EQ(ExpandFileName(""), Here + "/");
}

TEST_F(ExpandFileNameIn, AnAbsolutePathIsKeptExactly) {
  EXPECT_EQ(ExpandFileName("/a/b.jpg"), "/a/b.jpg");
  EXPECT_EQ(ExpandFileName("//a/./b/"), "//a/./b/");
  EXPECT_EQ(ExpandFileName("/"), "/");
}

TEST(Folders, ExistAndCreate) {
  TTempDir dir;
  EXPECT_TRUE(DirectoryExists(dir.Path()));
  EXPECT_FALSE(DirectoryExists(dir.File("none")));
  WriteBytes(dir.File("plain"), {1});
  EXPECT_FALSE(DirectoryExists(dir.File("plain"))) << "a file is not a folder";
  EXPECT_TRUE(CreateDir(dir.File("new")));
  EXPECT_TRUE(DirectoryExists(dir.File("new")));
  fs::create_symlink("new", dir.File("link"));
  EXPECT_TRUE(DirectoryExists(dir.File("link"))) << "a link to a folder counts";
  EXPECT_FALSE(CreateDir(dir.File("new"))) << "already there";
  EXPECT_FALSE(CreateDir(dir.File("a/b"))) << "one level only";
  EXPECT_FALSE(DirectoryExists(dir.File("a")));
  EXPECT_FALSE(CreateDir(dir.File("plain/sub")));
}

TEST(Clock, NeverRunsBackwards) {
  std::uint64_t last = HighResolutionCounter();
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t now = HighResolutionCounter();
    ASSERT_GE(now, last);
    last = now;
  }
}

}  // namespace
}  // namespace mosaicer
