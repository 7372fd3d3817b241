// mosaicer-cli as a process: termination signals during a save, file-size limits, a full disk,
// standard output that cannot be written, and the files --html and --out name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sstream>
#include <thread>

#include "cli/Cli.h"
#include "cli/Process.h"
#include "runtime/FileStream.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

namespace fs = std::filesystem;
using namespace mosaicer::testing;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Final names and hidden temporary files in a folder.
struct TListing {
  std::vector<std::string> Final, Hidden;
};

TListing List(const std::string& folder) {
  TListing l;
  if (!fs::exists(folder)) return l;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    (name.front() == '.' ? l.Hidden : l.Final).push_back(name);
  }
  return l;
}

// Forks a child that runs the tool as main does, with standard output on outFd and standard
// error into errPath; prepare runs in the child first.
pid_t StartTool(const std::vector<std::string>& args, int outFd, const std::string& errPath,
                const std::function<void()>& prepare = {}) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (err < 0 || ::dup2(outFd, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(99);
  if (prepare) prepare();
  ::_exit(RunProcess(args));
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

class Process : public ::testing::Test {
protected:
  void SetUp() override {
    FileSeam::Reset();
    Picture = Dir.File("photo.jpg");
    WriteJPEG(Picture, PhotoLike(1200, 800, 4));
    OutFile = Dir.File("stdout");
    Out = ::open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(Out, 0);
  }
  void TearDown() override {
    ::close(Out);
    FileSeam::Reset();
  }
  // A save of the same picture, division and names, made whole in this process.
  void SaveComplete(const std::string& chunks) {
    std::ostringstream out, err;
    ASSERT_EQ(RunCli({"save", Picture, "--chunks", chunks, "--seed", "5", "--out", Dir.File("complete")}, out, err), 0);
  }
  // Every file under a final name is the complete save's file and decodes.
  void ExpectEveryFinalNameComplete(const TListing& listing) {
    for (const std::string& name : listing.Final) {
      const auto bytes = ReadBytes(Dir.File("out/" + name));
      EXPECT_EQ(bytes, ReadBytes(Dir.File("complete/" + name))) << name;
      EXPECT_NO_THROW(DecodeReferenceRGB(bytes)) << name;
    }
  }
  // Starts a slow save of 48 chunks and returns once a few fragments are in place.
  pid_t StartSlowSave() {
    const pid_t pid = StartTool({"save", Picture, "--chunks", "48", "--seed", "5", "--out", Dir.File("out")}, Out,
                                Dir.File("stderr"), [] { FileSeam::SlowWritesBy(20000); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (List(Dir.File("out")).Final.size() < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return pid;
  }
  TTempDir Dir;
  std::string Picture, OutFile;
  int Out = -1;
};

class ProcessSignal : public Process, public ::testing::WithParamInterface<int> {};

TEST_P(ProcessSignal, RemovesTheTemporaryFileSaysHowFarItGotAndExits128PlusTheSignal) {
  SaveComplete("48");
  const pid_t pid = StartSlowSave();
  ASSERT_EQ(::kill(pid, GetParam()), 0);
  const int status = WaitFor(pid);
  ASSERT_TRUE(WIFEXITED(status)) << "died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + GetParam());
  const TListing listing = List(Dir.File("out"));
  EXPECT_GE(listing.Final.size(), 3u);
  EXPECT_LT(listing.Final.size(), 48u) << "the save was meant to be stopped part way";
  EXPECT_TRUE(listing.Hidden.empty()) << listing.Hidden.front();
  EXPECT_EQ(ReadText(Dir.File("stderr")),
            "Interrupted: " + std::to_string(listing.Final.size()) + " of 48 fragments were written\n");
  EXPECT_EQ(ReadText(OutFile), "") << "no HTML for a save that did not finish";
  ExpectEveryFinalNameComplete(listing);
}

INSTANTIATE_TEST_SUITE_P(Signals, ProcessSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return std::string(row.param == SIGINT ? "SIGINT" : row.param == SIGTERM ? "SIGTERM" : "SIGHUP");
                         });

TEST_F(Process, AKillLeavesOnlyCompleteFilesAndAtMostOneTemporary) {
  SaveComplete("48");
  const pid_t pid = StartSlowSave();
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  const int status = WaitFor(pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  const TListing listing = List(Dir.File("out"));
  EXPECT_GE(listing.Final.size(), 3u);
  EXPECT_LE(listing.Hidden.size(), 1u);
  for (const std::string& name : listing.Hidden) {
    EXPECT_EQ(name.front(), '.');
    const std::string final = name.substr(1, name.size() - 8);
    EXPECT_EQ(name.substr(name.size() - 7, 1), ".") << name;
    EXPECT_FALSE(fs::exists(Dir.File("out/" + final))) << "the temporary file belongs to the next fragment";
  }
  ExpectEveryFinalNameComplete(listing);
}

TEST_F(Process, AFileSizeLimitIsAWriteErrorWithAMessage) {
  SaveComplete("12");
  std::size_t largest = 0;
  for (const std::string& name : List(Dir.File("complete")).Final)
    largest = std::max<std::size_t>(largest, ReadBytes(Dir.File("complete/" + name)).size());
  const pid_t pid = StartTool({"save", Picture, "--chunks", "12", "--seed", "5", "--out", Dir.File("out")}, Out,
                              Dir.File("stderr"), [largest] {
                                const rlimit limit{static_cast<rlim_t>(largest / 2), static_cast<rlim_t>(largest / 2)};
                                ::setrlimit(RLIMIT_FSIZE, &limit);
                              });
  const int status = WaitFor(pid);
  ASSERT_TRUE(WIFEXITED(status)) << "died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadText(Dir.File("stderr")), "Output file write error --- out of disk space?.\n");
  const TListing listing = List(Dir.File("out"));
  EXPECT_LT(listing.Final.size(), 12u);
  EXPECT_TRUE(listing.Hidden.empty());
  ExpectEveryFinalNameComplete(listing);
}

// Every command's standard output is checked to the end, the HTML of a save above all: it is the
// only record of the random names.
TEST_F(Process, StandardOutputThatCannotBeWrittenExits1) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"info", Picture},
           {"divide", "--size", "400x300", "--chunks", "16"},
           {"save", Picture, "--chunks", "4", "--out", Dir.File("out")},
           {"--help"},
       }) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::close(pipe[0]);  // the reader is gone before anything is written
    const int status = WaitFor(StartTool(args, pipe[1], Dir.File("stderr")));
    ::close(pipe[1]);
    ASSERT_TRUE(WIFEXITED(status)) << args[0] << " died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1) << args[0];
    EXPECT_EQ(ReadText(Dir.File("stderr")), "Cannot write to standard output. Broken pipe.\n") << args[0];
  }
  EXPECT_EQ(List(Dir.File("out")).Final.size(), 4u) << "the fragments themselves were written";
}

// A real full disk: a tiny tmpfs in a mount namespace of the child's own.
TEST_F(Process, AFullDisk) {
  const std::string tiny = Dir.File("tiny");
  fs::create_directory(tiny);
  const auto mountTiny = [tiny] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=64k") != 0)
      ::_exit(77);
  };
  int status = WaitFor(StartTool({"save", Picture, "--chunks", "4", "--seed", "5", "--out", tiny + "/out"}, Out,
                                 Dir.File("stderr"), mountTiny));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this machine does not let a test mount a private tmpfs";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadText(Dir.File("stderr")), "Output file write error --- out of disk space?.\n");
  EXPECT_TRUE(fs::is_empty(tiny)) << "the mount and all it held were the child's alone";

  // Standard output on the full disk: the HTML is not lost silently.
  status = WaitFor(StartTool({"divide", "--size", "4000x4000", "--chunks", "4096"}, Out, Dir.File("stderr"), [&] {
    mountTiny();
    const int fill = ::open((tiny + "/fill").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::vector<char> zeros(4096);
    while (::write(fill, zeros.data(), zeros.size()) > 0) {
    }
    const int full = ::open((tiny + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(full, STDOUT_FILENO);
  }));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadText(Dir.File("stderr")), "Cannot write to standard output. No space left on device.\n");
}

struct TRun {
  int Code;
  std::string Out, Err;
};

TRun RunTool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = RunCli(args, out, err);
  return {code, out.str(), err.str()};
}

TEST_F(Process, HtmlFollowsALinkAndAFailedWriteKeepsTheOldPage) {
  fs::create_directory(Dir.File("site"));
  WriteBytes(Dir.File("site/index.html"), {'o', 'l', 'd'});
  fs::create_symlink("site/index.html", Dir.File("page.html"));
  TRun r = RunTool({"save", Picture, "--chunks", "4", "--seed", "5", "--out", Dir.File("out"), "--html", Dir.File("page.html")});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(fs::is_symlink(Dir.File("page.html")));
  const std::string html = ReadText(Dir.File("site/index.html"));
  EXPECT_EQ(html.rfind("<table", 0), 0u);
  EXPECT_EQ(html.back(), '\n');

  // The page is the last file of the save and takes one write.
  const std::string page = Dir.File("site/index.html");
  WriteBytes(page, {'o', 'l', 'd'});
  FileSeam::Reset();
  ASSERT_EQ(RunTool({"save", Picture, "--chunks", "4", "--seed", "5", "--out", Dir.File("out2"), "--html", page}).Code, 0);
  const int writes = FileSeam::WriteCalls();
  WriteBytes(page, {'o', 'l', 'd'});
  FileSeam::Reset();
  FileSeam::FailWriteAt(writes, ENOSPC);
  r = RunTool({"save", Picture, "--chunks", "4", "--seed", "5", "--out", Dir.File("out3"), "--html", page});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Cannot write file \"" + page + "\". No space left on device.\n");
  EXPECT_EQ(ReadText(page), "old");
  EXPECT_TRUE(List(Dir.File("site")).Hidden.empty());
  EXPECT_EQ(List(Dir.File("out3")).Final.size(), 4u);
}

TEST_F(Process, HtmlIntoAFifoIsWrittenStraight) {
  const std::string fifo = Dir.File("html.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  auto reader = std::async(std::launch::async, [&fifo] { return ReadText(fifo); });
  const TRun r = RunTool({"save", Picture, "--chunks", "4", "--seed", "5", "--out", Dir.File("out"), "--html", fifo});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::string html = reader.get();
  EXPECT_EQ(html.rfind("<table", 0), 0u);
  EXPECT_EQ(std::count(html.begin(), html.end(), '\n'), 1);
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(List(Dir.Path()).Hidden.empty());
}

TEST_F(Process, AFailedPreviewKeepsTheOldPicture) {
  const std::string png = Dir.File("box.png");
  WriteBytes(png, {'o', 'l', 'd'});
  FileSeam::FailWriteAt(1, ENOSPC);
  const TRun r = RunTool({"preview", Picture, "--out", png});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Cannot write file \"" + png + "\". No space left on device.\n");
  EXPECT_EQ(ReadText(png), "old");
  EXPECT_TRUE(List(Dir.Path()).Hidden.empty());
  FileSeam::Reset();
  ASSERT_EQ(RunTool({"preview", Picture, "--out", png}).Code, 0);
  EXPECT_EQ(ReadText(png).substr(1, 3), "PNG");
}

}  // namespace
}  // namespace mosaicer
