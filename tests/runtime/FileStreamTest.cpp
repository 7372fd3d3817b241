// The streams the encoder writes into, the fault seam, and the 24-bit bitmap it is filled through.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

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

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Names in folder that start with a dot: the writer's temporary files.
std::vector<std::string> HiddenIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.front() == '.') names.push_back(name);
  }
  return names;
}

TEST_F(FileStream, NothingShowsUnderTheNameUntilCloseThenNoTemporaryStays) {
  const std::string path = Dir.File("page.html");
  WriteBytes(path, {'o', 'l', 'd'});
  const std::int64_t published = PublishedFiles();
  {
    TFileStream file(path);
    file.Write("new", 3);
    EXPECT_EQ(ReadText(path), "old");
    const auto hidden = HiddenIn(Dir.Path());
    ASSERT_EQ(hidden.size(), 1u);
    EXPECT_EQ(hidden[0].rfind(".page.html.", 0), 0u) << hidden[0];
    EXPECT_EQ(hidden[0].size(), std::string(".page.html.").size() + 6) << hidden[0];
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(PublishedFiles(), published + 1);
  }
  EXPECT_EQ(ReadText(path), "new");
  EXPECT_TRUE(HiddenIn(Dir.Path()).empty());
  EXPECT_EQ(FileSeam::CreateCalls(), 1) << "one creation per file, as before";
}

TEST_F(FileStream, AFailureLeavesTheOldFileAndNoTemporary) {
  const std::string path = Dir.File("index.html");
  WriteBytes(path, {'o', 'l', 'd'});
  {
    FileSeam::FailWriteAt(1, ENOSPC);
    TFileStream file(path);
    EXPECT_EQ(file.Write("new", 3), 0u);
    EXPECT_FALSE(file.Close());
    EXPECT_EQ(file.Error(), ENOSPC);
  }
  {
    TFileStream file(path);
    file.Write("new", 3);
    file.Discard();
    EXPECT_FALSE(file.Close()) << "a discarded file is not published later";
  }
  try {
    TFileStream file(path);
    file.Write("new", 3);
    throw std::runtime_error("the work failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(ReadText(path), "old");
  EXPECT_TRUE(HiddenIn(Dir.Path()).empty());

  FileSeam::FailCreateAt(1, EROFS);
  EXPECT_THROW_MSG(TFileStream{path}, EFCreateError, "Cannot create file \"" + path + "\". Read-only file system");
  EXPECT_THROW_MSG(TFileStream{Dir.Path()}, EFCreateError, "Cannot create file \"" + Dir.Path() + "\". Is a directory");
  EXPECT_EQ(ReadText(path), "old");
}

TEST_F(FileStream, PermissionsAreAPlainCreatesUnderTheUmask) {
  for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
    const mode_t old = ::umask(mask);
    const std::string path = Dir.File("mask" + std::to_string(mask));
    TFileStream file(path);
    file.Write("x", 1);
    const bool closed = file.Close();
    ::umask(old);
    ASSERT_TRUE(closed);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "umask " << mask;
  }
}

// Under Replace a name we chose may hold anything a hostile user planted; it is replaced.
TEST_F(FileStream, ReplaceNeverWritesThroughWhatIsUnderTheName) {
  const std::string victim = Dir.File("victim.txt");
  WriteBytes(victim, {'v'});
  const std::string link = Dir.File("small-hjylfnpc.jpg");
  fs::create_symlink("victim.txt", link);
  const std::string hard = Dir.File("hard.jpg");
  fs::create_hard_link(victim, hard);
  const std::string fifo = Dir.File("fifo.jpg");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string dangling = Dir.File("dangling.jpg");
  fs::create_symlink("nowhere/at/all", dangling);
  for (const std::string& path : {link, hard, fifo, dangling}) {
    TFileStream file(path);
    file.Write("jpeg", 4);
    ASSERT_TRUE(file.Close()) << path;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << path;
    EXPECT_EQ(ReadText(path), "jpeg") << path;
  }
  EXPECT_EQ(ReadText(victim), "v");
  EXPECT_EQ(fs::hard_link_count(victim), 1u);
  EXPECT_FALSE(fs::exists(Dir.File("nowhere")));
}

TEST_F(FileStream, FollowKeepsTheLinkAndReplacesItsTarget) {
  fs::create_directory(Dir.File("dots"));
  const std::string target = Dir.File("dots/Crumb.conf");
  WriteBytes(target, {'o'});
  // Two hops, relative to each link's own folder.
  fs::create_symlink("dots/Crumb.conf", Dir.File("middle"));
  fs::create_symlink("middle", Dir.File("page.html"));
  TFileStream file(Dir.File("page.html"), TLinkPolicy::Follow);
  file.Write("new", 3);
  EXPECT_TRUE(HiddenIn(Dir.File("dots")).size() == 1) << "the temporary file is beside the target";
  ASSERT_TRUE(file.Close());
  EXPECT_TRUE(fs::is_symlink(Dir.File("page.html")));
  EXPECT_TRUE(fs::is_symlink(Dir.File("middle")));
  EXPECT_EQ(ReadText(target), "new");
  EXPECT_TRUE(HiddenIn(Dir.File("dots")).empty());

  // A link to a file not made yet makes it.
  fs::create_symlink("dots/later.html", Dir.File("later"));
  TFileStream later(Dir.File("later"), TLinkPolicy::Follow);
  later.Write("l", 1);
  ASSERT_TRUE(later.Close());
  EXPECT_TRUE(fs::is_symlink(Dir.File("later")));
  EXPECT_EQ(ReadText(Dir.File("dots/later.html")), "l");
}

// What is not a regular file is a stream the user pointed us at: written, never replaced.
TEST_F(FileStream, AFifoIsWrittenStraightAndStays) {
  const std::string fifo = Dir.File("out.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  fs::create_symlink("out.fifo", Dir.File("link"));
  for (const std::string& path : {fifo, Dir.File("link")}) {
    auto reader = std::async(std::launch::async, [&fifo] { return ReadText(fifo); });
    TFileStream file(path, TLinkPolicy::Follow);
    EXPECT_TRUE(HiddenIn(Dir.Path()).empty());
    file.Write("through", 7);
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(reader.get(), "through");
    EXPECT_TRUE(fs::is_fifo(fifo));
  }
  EXPECT_TRUE(fs::is_symlink(Dir.File("link")));

  // A reader that went away: a write error, and the FIFO is left alone.
  const auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
  const int readEnd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(readEnd, 0);
  TFileStream file(fifo, TLinkPolicy::Follow);
  ::close(readEnd);
  file.Write("lost", 4);
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(file.Error(), EPIPE);
  std::signal(SIGPIPE, oldPipe);
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(FileStream, ASignalHandlerRemovesTheFileBeingWritten) {
  TFileStream first(Dir.File("first"));
  TFileStream second(Dir.File("second"));
  ASSERT_EQ(HiddenIn(Dir.Path()).size(), 2u);
  RemovePendingTemporaryFile();
  const auto hidden = HiddenIn(Dir.Path());
  ASSERT_EQ(hidden.size(), 1u) << "only the newest one is pending";
  EXPECT_EQ(hidden[0].rfind(".first.", 0), 0u);
  second.Discard();
  RemovePendingTemporaryFile();  // nothing pending: harmless
  EXPECT_EQ(HiddenIn(Dir.Path()).size(), 1u);
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
