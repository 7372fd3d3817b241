// The command-line tool's commands, output formats and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <png.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "cli/PngWriter.h"
#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;

struct TRun {
  int Code;
  std::string Out, Err;
};

TRun RunTool(std::vector<std::string> args, bool errIsTerminal = false) {
  std::ostringstream out, err;
  const int code = RunCli(args, out, err, errIsTerminal);
  return {code, out.str(), err.str()};
}

std::size_t FileCount(const std::string& folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    Picture = Dir.File("photo.jpg");
    WriteJPEG(Picture, PhotoLike(640, 480));
    Size = std::to_string(ReadBytes(Picture).size());
  }
  TTempDir Dir;
  std::string Picture, Size;
};

TEST_F(Cli, InfoShowsWhatTheWindowShows) {
  const TRun r = RunTool({"info", Picture});
  EXPECT_EQ(r.Code, 0);
  EXPECT_NE(r.Out.find("640x480 pixels\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(Size + " bytes\n"), std::string::npos) << r.Out;
  EXPECT_EQ(RunTool({"info", Picture, "--json"}).Out, "{\"file_name\": \"" + Picture +
                                                       "\", \"width\": 640, \"height\": 480, \"file_size\": " + Size + "}\n");
}

// Sizes past 2 and 4 GiB are shown as they are, not wrapped to 32 bits.
TEST_F(Cli, InfoShowsTheTrueSizeOfLargeFiles) {
  for (const std::int64_t size : {std::int64_t{3} << 30, std::int64_t{20} << 30}) {
    ASSERT_EQ(::truncate(Picture.c_str(), size), 0);
    const std::string bytes = std::to_string(size);
    EXPECT_NE(RunTool({"info", Picture}).Out.find("Size:       " + bytes + " bytes\n"), std::string::npos) << bytes;
    EXPECT_NE(RunTool({"info", Picture, "--json"}).Out.find("\"file_size\": " + bytes + "}"), std::string::npos) << bytes;
  }
}

TEST_F(Cli, DivideAsJson) {
  const TRun r = RunTool({"divide", "--size", "200x101", "--chunks", "7", "--seed", "12345", "--json"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out,
            "{\"state_before\": 12345, \"state_after\": 2377737157, \"rows\": ["
            "{\"height\": 33, \"cells\": [[0, 0, 77, 33], [77, 0, 123, 33]]}, "
            "{\"height\": 33, \"cells\": [[0, 33, 58, 33], [58, 33, 142, 33]]}, "
            "{\"height\": 35, \"cells\": [[0, 66, 16, 35], [16, 66, 101, 35], [117, 66, 83, 35]]}]}\n");
}

TEST_F(Cli, DivideAPicture) {
  const TRun r = RunTool({"divide", Picture, "--chunks", "4", "--seed", "4294967295"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("640x480 pixels in 4 chunks, 2 rows (random state 4294967295 before", 0), 0u) << r.Out;
  EXPECT_NE(r.Out.find("row 1: top 240, height 240, 2 cells: 0:"), std::string::npos) << r.Out;
}

TEST_F(Cli, FailuresPrintTheMessageAndExit1) {
  TRun r = RunTool({"info", Dir.File("x.gif")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Unknown picture file extension (.gif)\n");
  WriteBytes(Dir.File("text.jpg"), {'h', 'i'});
  r = RunTool({"info", Dir.File("text.jpg")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "JPEG error #53.\nNot a JPEG file: starts with 0x68 0x69\n") << "the library's explanation follows";
  r = RunTool({"divide", "--size", "3x480", "--chunks", "16", "--seed", "1"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "A picture of 3x480 pixels is too small for 16 chunks.\n");
  r = RunTool({"divide", "--size", "30x40", "--chunks", "-2"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Invalid floating point operation.\n");
  EXPECT_TRUE(r.Out.empty());
}

TEST_F(Cli, WrongUsageExits2WithTheUsage) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"frobnicate"},
      {"info"},
      {"info", Picture, "--chunks", "4"},
      {"divide", Picture},
      {"divide", "--chunks", "4"},
      {"divide", Picture, "--size", "4x4", "--chunks", "4"},
      {"divide", "--size", "4by4", "--chunks", "4"},
      {"divide", "--size", "4x", "--chunks", "4"},
      {"divide", "--size", "4x4", "--chunks", "four"},
      {"divide", "--size", "4x4", "--chunks", " 4"},
      {"divide", "--size", "4x4", "--chunks", "4", "--seed", "-1"},
      {"divide", "--size", "4x4", "--chunks", "4", "--seed", "4294967296"},
      {"divide", "--size", "4x4", "--chunks"},
      {"info", Picture, Picture},
      {"preview", Picture},
      {"preview", "--out", "x.png"},
      {"preview", Picture, "--out", "x.png", "--box", "0"},
      {"preview", Picture, "--out", "x.png", "--box", "4097"},
      {"preview", Picture, "--out", "x.png", "--box", "big"},
      {"preview", Picture, "--out", "x.png", "--seed", "3"},
      {"preview", Picture, "--out", "x.png", "--json"},
      {"preview", Picture, "--out", "x.png", "--size", "4x4"},
      {"divide", "--size", "4x4", "--chunks", "4", "--out", "x.png"},
  };
  for (const auto& args : wrong) {
    const TRun r = RunTool(args);
    EXPECT_EQ(r.Code, 2) << (args.empty() ? "(nothing)" : args[0]) << " " << args.size();
    EXPECT_NE(r.Err.find("Usage: mosaicer-cli"), std::string::npos);
  }
  const TRun help = RunTool({"--help"});
  EXPECT_EQ(help.Code, 0);
  for (const char* word : {"info", "divide", "save", "preview", "--size", "--chunks", "--seed", "--json", "--out", "--prefix",
                           "--html", "--box"})
    EXPECT_NE(help.Out.find(word), std::string::npos) << word;
}

TEST_F(Cli, SaveWritesTheFragmentsAndPrintsTheHtml) {
  const std::string folder = Dir.File("out");
  TRun r = RunTool({"save", Picture, "--chunks", "16", "--out", folder, "--prefix", "out/", "--seed", "7"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "") << "no progress when standard error is not a terminal";
  ASSERT_EQ(r.Out.back(), '\n');
  EXPECT_EQ(r.Out.find('\n'), r.Out.size() - 1) << "the HTML is one line";
  EXPECT_EQ(r.Out.rfind("<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"640\" height=\"480\">", 0), 0u);
  EXPECT_EQ(FileCount(folder), 16u);
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_NE(r.Out.find("src=\"out/" + name + "\""), std::string::npos) << name;
    EXPECT_EQ(DecodeReferenceRGB(ReadBytes(entry.path().string())).Components, 3);
  }

  // The same seed gives the same division and names; --html writes the same text to a file.
  const std::string again = Dir.File("again");
  const TRun h = RunTool({"save", Picture, "--chunks", "16", "--out", again, "--prefix", "out/", "--seed", "7", "--html",
                          Dir.File("page.html")},
                         true);
  EXPECT_EQ(h.Code, 0) << h.Err;
  EXPECT_EQ(h.Out, "");
  const auto page = ReadBytes(Dir.File("page.html"));
  EXPECT_EQ(std::string(page.begin(), page.end()), r.Out);
  EXPECT_NE(h.Err.find("Writing fragments: 1 of 16"), std::string::npos) << h.Err;
  EXPECT_NE(h.Err.find("Writing fragments: 16 of 16\n"), std::string::npos) << h.Err;
}

TEST_F(Cli, SaveFailuresExit1AndLeaveNoFile) {
  WriteBytes(Dir.File("plain"), {'x'});
  TRun r = RunTool({"save", Picture, "--chunks", "4", "--out", Dir.File("plain/out"), "--seed", "1"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err.rfind("Cannot create file \"" + Dir.File("plain/out/photo-"), 0), 0u) << r.Err;
  EXPECT_NE(r.Err.find(".jpg\". Not a directory.\n"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "");

  r = RunTool({"save", Picture, "--chunks", "4", "--out", Dir.File("f"), "--html", Dir.File("plain/page.html")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Cannot create file \"" + Dir.File("plain/page.html") + "\". Not a directory.\n");

  WriteJPEG(Dir.File("thin.jpg"), PhotoLike(3, 480));
  r = RunTool({"save", Dir.File("thin.jpg"), "--chunks", "16", "--out", Dir.File("g")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "A picture of 3x480 pixels is too small for 16 chunks.\n");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("g")));

  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"save", "--chunks", "4", "--out", "x"},
           {"save", Picture, "--out", "x"},
           {"save", Picture, "--chunks", "4"},
           {"save", Picture, "--chunks", "4", "--out"},
           {"save", Picture, "--chunks", "4", "--out", "x", "--seed", "s"},
       }) {
    EXPECT_EQ(RunTool(wrong).Code, 2) << wrong.size();
  }
}

// libpng's own reading of a PNG file, as 8-bit RGB rows.
TSamples ReadPNG(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  TSamples samples;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return samples;
  image.format = PNG_FORMAT_RGB;
  samples.Width = static_cast<int>(image.width);
  samples.Height = static_cast<int>(image.height);
  samples.Data.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, samples.Data.data(), 0, nullptr)) samples = {};
  return samples;
}

TColor32 PixelOf(const TSamples& s, int x, int y) {
  const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(s.Width) + static_cast<std::size_t>(x)) * 3;
  return Color32(s.Data[i], s.Data[i + 1], s.Data[i + 2]);
}

TEST_F(Cli, PreviewWritesTheBoxAsPNG) {
  const std::string png = Dir.File("box.png");
  const TRun r = RunTool({"preview", Picture, "--out", png, "--chunks", "16", "--seed", "7"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, png + ": 640x480 pixels shown 191x143 at (0, 24)-(191, 167) in a 191x191 box, 4 rows outlined\n");
  // The same box drawn here through the document.
  TMCImage image;
  image.LoadFromFile(Picture);
  RandomState = 7;
  image.MakeBreakup(16);
  TBitmap32 box;
  box.SetSize(191, 191);
  box.Fill(Color32(255, 255, 255));
  image.DrawPreview(box.Canvas(), 191, 191, true);
  const TSamples written = ReadPNG(png);
  ASSERT_EQ(written.Width, 191);
  ASSERT_EQ(written.Height, 191);
  for (int y = 0; y < 191; ++y)
    for (int x = 0; x < 191; ++x) ASSERT_EQ(PixelOf(written, x, y), box.Pixel(x, y)) << x << "," << y;
  EXPECT_EQ(PixelOf(written, 5, 5), Color32(255, 255, 255)) << "the box starts white";
}

TEST_F(Cli, PreviewWithoutChunksAndInAnotherBox) {
  const std::string png = Dir.File("plain.png");
  TRun r = RunTool({"preview", Picture, "--out", png, "--box", "64"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, png + ": 640x480 pixels shown 64x48 at (0, 8)-(64, 56) in a 64x64 box\n");
  const TSamples written = ReadPNG(png);
  EXPECT_EQ(written.Width, 64);
  EXPECT_EQ(PixelOf(written, 0, 7), Color32(255, 255, 255));
  EXPECT_NE(PixelOf(written, 0, 8), Color32(255, 255, 255));
}

TEST_F(Cli, PreviewFailures) {
  const std::string thin = Dir.File("thin.jpg");
  WriteJPEG(thin, Uniform(2, 1000, 9, 9, 9));
  const std::string png = Dir.File("thin.png");
  TRun r = RunTool({"preview", thin, "--out", png});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Canvas does not allow drawing.\n");
  EXPECT_FALSE(std::filesystem::exists(png)) << "no file for a failed preview";
  r = RunTool({"preview", Picture, "--out", Dir.File("no/such/folder/box.png")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err.rfind("Cannot create file \"" + Dir.File("no/such/folder/box.png") + "\". No such file or directory", 0), 0u) << r.Err;
}

TEST_F(Cli, PreviewThatCannotBeWrittenWholeLeavesNoFile) {
  // A file size limit stands in for a full disk: writes past it fail with EFBIG.
  const std::string png = Dir.File("cut.png");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 200;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const TRun r = RunTool({"preview", Picture, "--out", png});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err.rfind("Cannot write file \"" + png + "\".", 0), 0u) << r.Err;
  EXPECT_FALSE(std::filesystem::exists(png));
}

TEST(PngWriter, EmptyBitmapIsRefused) {
  TBitmap32 empty;
  EXPECT_THROW_MSG(WritePNG("/tmp/never.png", empty), Exception, "Cannot write an empty picture to \"/tmp/never.png\"");
}

TEST(Json, StringsAreEscapedAndAlwaysValidUtf8) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("tab\there\n\x01"), "\"tab\\there\\n\\u0001\"");
  EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  EXPECT_EQ(JsonString("bad\xE9!"), "\"bad\xEF\xBF\xBD!\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"") << "overlong form";
  EXPECT_EQ(JsonString("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
}

}  // namespace
}  // namespace mosaicer
