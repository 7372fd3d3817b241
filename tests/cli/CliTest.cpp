// The command-line tool's commands, output formats and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "cli/Cli.h"
#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/cli/CliRun.h"
#include "tests/cli/ReadPng.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;


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
class CliLargeFile : public Cli, public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(CliLargeFile, InfoShowsTheTrueSize) {
  const std::int64_t size = GetParam();
  ASSERT_EQ(::truncate(Picture.c_str(), size), 0);
  const std::string bytes = std::to_string(size);
  EXPECT_NE(RunTool({"info", Picture}).Out.find("Size:       " + bytes + " bytes\n"), std::string::npos) << bytes;
  EXPECT_NE(RunTool({"info", Picture, "--json"}).Out.find("\"file_size\": " + bytes + "}"), std::string::npos) << bytes;
}

INSTANTIATE_TEST_SUITE_P(, CliLargeFile,
                         ::testing::Values(std::int64_t{3} << 30, std::int64_t{20} << 30),
                         [](const ::testing::TestParamInfo<std::int64_t>& row) { return std::to_string(row.param >> 30) + "GiB"; });

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

// Usage errors: each command takes only its own options, each once, and the values that make
// sense; refused with exit 2 before the picture is read or the folder made.
struct TUsageCase {
  const char* Name;
  std::vector<std::string> Args;  // "PIC" stands for the picture, "OUT" for a folder never made
};

class CliUsage : public Cli, public ::testing::WithParamInterface<TUsageCase> {};

TEST_P(CliUsage, RefusedWithExit2BeforeAnythingIsWritten) {
  std::vector<std::string> args = GetParam().Args;
  for (std::string& a : args) {
    if (a == "PIC") a = Picture;
    if (a == "OUT") a = Dir.File("out");
  }
  const TRun r = RunTool(args);
  EXPECT_EQ(r.Code, 2) << r.Err;
  EXPECT_EQ(r.Err.rfind("mosaicer-cli: ", 0), 0u) << r.Err;
  EXPECT_NE(r.Err.find("Usage: mosaicer-cli"), std::string::npos);
  EXPECT_EQ(r.Out, "");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("out")));
}

const std::vector<std::string> kSave = {"save", "PIC", "--chunks", "4", "--out", "OUT"};
std::vector<std::string> SaveWith(std::vector<std::string> extra) {
  std::vector<std::string> args = kSave;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

INSTANTIATE_TEST_SUITE_P(
    Options, CliUsage,
    ::testing::Values(
        TUsageCase{"DivideHtml", {"divide", "--size", "4x4", "--chunks", "4", "--html", "x"}},
        TUsageCase{"DividePrefix", {"divide", "--size", "4x4", "--chunks", "4", "--prefix", "p"}},
        TUsageCase{"SaveJson", SaveWith({"--json"})},
        TUsageCase{"SaveBox", SaveWith({"--box", "100"})},
        TUsageCase{"SaveSize", SaveWith({"--size", "4x4"})},
        TUsageCase{"PreviewPrefix", {"preview", "PIC", "--out", "OUT", "--prefix", "p"}},
        TUsageCase{"PreviewQuality", {"preview", "PIC", "--out", "OUT", "--quality", "50"}},
        TUsageCase{"InfoLazy", {"info", "PIC", "--lazy"}},
        TUsageCase{"JoinChunks", {"join", "PIC", "--out", "OUT", "--chunks", "4"}},
        TUsageCase{"RepeatedChunks", {"divide", "--size", "4x4", "--chunks", "4", "--chunks", "4"}},
        TUsageCase{"RepeatedJson", {"info", "PIC", "--json", "--json"}},
        TUsageCase{"RepeatedOut", SaveWith({"--out", "OUT"})},
        TUsageCase{"RepeatedFlag", SaveWith({"--lazy", "--lazy"})},
        TUsageCase{"DivideChunks0", {"divide", "--size", "30x40", "--chunks", "0"}},
        TUsageCase{"DivideChunksNegative", {"divide", "--size", "30x40", "--chunks", "-1"}},
        TUsageCase{"DivideChunksAboveLimit", {"divide", "--size", "30x40", "--chunks", "1048577"}},
        TUsageCase{"DivideChunksLargest", {"divide", "--size", "30x40", "--chunks", "2147483647"}},
        TUsageCase{"SaveChunks0", {"save", "PIC", "--chunks", "0", "--out", "OUT"}},
        TUsageCase{"SaveChunksAboveLimit", {"save", "PIC", "--chunks", "1048577", "--out", "OUT"}},
        TUsageCase{"PreviewChunks0", {"preview", "PIC", "--out", "OUT", "--chunks", "0"}},
        TUsageCase{"PreviewChunksNegative", {"preview", "PIC", "--out", "OUT", "--chunks", "-5"}},
        TUsageCase{"Quality0", SaveWith({"--quality", "0"})},
        TUsageCase{"Quality101", SaveWith({"--quality", "101"})},
        TUsageCase{"QualityWord", SaveWith({"--quality", "high"})},
        TUsageCase{"QualityFraction", SaveWith({"--quality", "7.5"})},
        TUsageCase{"QualityMissing", SaveWith({"--quality"})},
        TUsageCase{"AltMissing", SaveWith({"--alt"})},
        TUsageCase{"AltEmpty", SaveWith({"--alt", ""})},
        TUsageCase{"PageMissing", SaveWith({"--page"})},
        TUsageCase{"PageEmpty", SaveWith({"--page", ""})},
        TUsageCase{"ProgressiveWithValue", SaveWith({"--progressive", "yes"})},
        TUsageCase{"JoinWithoutPage", {"join", "--out", "OUT"}},
        TUsageCase{"JoinWithoutOut", {"join", "PIC"}},
        TUsageCase{"JoinTwoPages", {"join", "PIC", "PIC", "--out", "OUT"}}),
    testing::TRowName());

TEST_F(Cli, ChunkLimitsAreInclusive) {
  EXPECT_EQ(RunTool({"divide", "--size", "30x40", "--chunks", "1", "--seed", "1"}).Code, 0);
  const TRun r = RunTool({"divide", "--size", "30x40", "--chunks", "1048576"});
  EXPECT_EQ(r.Code, 1) << "the largest count is taken, and then too many for the picture";
  EXPECT_EQ(r.Err, "A picture of 30x40 pixels is too small for 1048576 chunks.\n");
}

TEST_F(Cli, HelpNamesEveryNewOption) {
  const TRun help = RunTool({"--help"});
  for (const char* word : {"join", "--quality", "--progressive", "--responsive", "--alt", "--lazy", "--page", "--root",
                           "--compare", "1048576"})
    EXPECT_NE(help.Out.find(word), std::string::npos) << word;
}

// What cjpeg writes from the picture's own decoded pixels; empty when cjpeg is not installed.
std::vector<std::uint8_t> CjpegOf(const TTempDir& dir, const std::string& picture, const std::string& options) {
  if (std::system("command -v cjpeg >/dev/null 2>&1") != 0) return {};
  TMCImage image;
  image.LoadFromFile(picture);
  const std::string header = "P6\n" + std::to_string(image.ImageWidth) + " " + std::to_string(image.ImageHeight) + "\n255\n";
  std::vector<std::uint8_t> ppm(header.begin(), header.end());
  for (std::int32_t y = 0; y < image.ImageHeight; ++y)
    for (std::int32_t x = 0; x < image.ImageWidth; ++x) {
      const TColor32 c = image.Bitmap.Pixel(x, y);
      ppm.insert(ppm.end(), {RedOf(c), GreenOf(c), BlueOf(c)});
    }
  WriteBytes(dir.File("in.ppm"), ppm);
  const std::string command = "cjpeg " + options + " -outfile '" + dir.File("cjpeg.jpg") + "' '" + dir.File("in.ppm") + "'";
  if (std::system(command.c_str()) != 0) return {};
  return ReadBytes(dir.File("cjpeg.jpg"));
}

struct TQualityCase {
  const char* Name;
  std::vector<std::string> Options;
  std::string Cjpeg;
};

class CliQuality : public Cli, public ::testing::WithParamInterface<TQualityCase> {};

TEST_P(CliQuality, TheFragmentIsWhatCjpegWrites) {
  const std::string expectedOptions = GetParam().Cjpeg + " -optimize -dct int -sample 2x2";
  const std::vector<std::uint8_t> expected = CjpegOf(Dir, Picture, expectedOptions);
  if (expected.empty()) GTEST_SKIP() << "cjpeg is not installed (Debian: libjpeg-turbo-progs)";
  std::vector<std::string> args = {"save", Picture, "--chunks", "1", "--out", Dir.File("f"), "--seed", "2"};
  args.insert(args.end(), GetParam().Options.begin(), GetParam().Options.end());
  const TRun r = RunTool(args);
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::vector<std::string> sources = SourcesOf(r.Out);
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_TRUE(ReadBytes(Dir.File("f/" + sources[0])) == expected) << expectedOptions;
}

INSTANTIATE_TEST_SUITE_P(Encoder, CliQuality,
                         ::testing::Values(TQualityCase{"Default", {}, "-quality 75"},
                                           TQualityCase{"Lowest", {"--quality", "1"}, "-quality 1"},
                                           TQualityCase{"Middle", {"--quality", "42"}, "-quality 42"},
                                           TQualityCase{"Highest", {"--quality", "100"}, "-quality 100"},
                                           TQualityCase{"Progressive", {"--progressive"}, "-quality 75 -progressive"},
                                           TQualityCase{"ProgressiveAt90", {"--progressive", "--quality", "90"},
                                                        "-quality 90 -progressive"}),
                         testing::TRowName());

// The exact markup of every form, on one band of two cells.
class HtmlForms : public ::testing::Test {
protected:
  void SetUp() override {
    Image.Bitmap.SetSize(300, 60);
    Image.Bitmap.Fill(clWhite);
    Image.ImageWidth = 300;
    Image.ImageHeight = 60;
    TMCRow& row = Image.Breakup.Rows(Image.Breakup.AddRow());
    row.Height = 60;
    row.Cells(row.AddCell()) = {0, 0, 120, 60, ""};
    row.Cells(row.AddCell()) = {120, 0, 180, 60, ""};
  }
  std::string Save(bool responsive, const std::string& alt, bool lazy) {
    TSaveOptions options;
    options.Html.Responsive = responsive;
    options.Html.Alt = alt;
    options.Html.Lazy = lazy;
    std::string result;
    Image.SaveFragments("i/", Dir.Path(), result, {}, options);
    A = Image.Breakup.Rows(0).Cells(0).FileName;
    B = Image.Breakup.Rows(0).Cells(1).FileName;
    return result;
  }
  TTempDir Dir;
  TMCImage Image;
  std::string A, B;
};

TEST_F(HtmlForms, AltNamesTheOuterTableAndEscapesTheText) {
  const std::string html = Save(false, "Tom & \"Jerry\" <3", false);
  EXPECT_EQ(html.rfind("<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"300\" height=\"60\" role=\"img\" "
                       "aria-label=\"Tom &amp; &quot;Jerry&quot; &lt;3\"><tr height=\"60\">",
                       0),
            0u)
      << html;
  EXPECT_EQ(html.find("aria-label", 60 + html.find("aria-label")), std::string::npos) << "named once";
  EXPECT_NE(html.find("alt=\"\" style=\"display:block\" src=\"i/" + B + "\" />"), std::string::npos) << html;
}

TEST_F(HtmlForms, LazyKeepsTheSizes) {
  const std::string html = Save(false, "", true);
  EXPECT_NE(html.find("<img border=\"0\" width=\"120\" height=\"60\" alt=\"\" loading=\"lazy\" decoding=\"async\" "
                      "style=\"display:block\" src=\"i/" + A + "\" />"),
            std::string::npos)
      << html;
}

TEST_F(HtmlForms, ResponsiveExactly) {
  const std::string html = Save(true, "A", true);
  EXPECT_EQ(html,
            "<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" role=\"img\" aria-label=\"A\" "
            "style=\"display:block;width:100%;max-width:300px\"><tbody style=\"display:block\">"
            "<tr style=\"display:flex;aspect-ratio:300/60\">"
            "<td style=\"display:block;flex:120 0 0;min-width:0;padding:0\"><img border=\"0\" width=\"120\" height=\"60\" "
            "alt=\"\" loading=\"lazy\" decoding=\"async\" style=\"display:block;width:100%;height:100%\" src=\"i/" + A +
                "\" /></td>"
                "<td style=\"display:block;flex:180 0 0;min-width:0;padding:0\"><img border=\"0\" width=\"180\" "
                "height=\"60\" alt=\"\" loading=\"lazy\" decoding=\"async\" style=\"display:block;width:100%;height:100%\" "
                "src=\"i/" + B + "\" /></td></tr></tbody></table>");
}

TEST(HtmlPage, AWholePageWithAnEscapedTitle) {
  EXPECT_EQ(BuildHTMLPage("a&b <c>.jpg", "<table></table>"),
            "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>a&amp;b &lt;c&gt;.jpg</title>\n</head>\n<body>\n<table></table>\n</body>\n</html>\n");
}

TEST_F(Cli, PageHoldsTheSnippetAndTheSnippetStillPrints) {
  const TRun r = RunTool({"save", Picture, "--chunks", "4", "--out", Dir.File("f"), "--prefix", "f/", "--seed", "3",
                          "--page", Dir.File("index.html"), "--responsive"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const auto bytes = ReadBytes(Dir.File("index.html"));
  const std::string page(bytes.begin(), bytes.end());
  EXPECT_EQ(page, BuildHTMLPage("photo.jpg", r.Out.substr(0, r.Out.size() - 1)));
  // A page that cannot be written fails, but the snippet, the only record of the names, is out.
  const TRun failed = RunTool({"save", Picture, "--chunks", "4", "--out", Dir.File("g"), "--page", Dir.File("none/index.html")});
  EXPECT_EQ(failed.Code, 1);
  EXPECT_EQ(failed.Err, "Cannot create file \"" + Dir.File("none/index.html") + "\". No such file or directory.\n");
  EXPECT_EQ(SourcesOf(failed.Out).size(), 4u);
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

}  // namespace
}  // namespace mosaicer
