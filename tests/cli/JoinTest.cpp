// Rebuilding a picture from a page that save wrote: every form, edited pages, and the failures.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>

#include "cli/Join.h"
#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/cli/CliRun.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;


std::string TextOf(const std::string& path) {
  const auto bytes = ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

void WriteText(const std::string& path, const std::string& text) { WriteBytes(path, {text.begin(), text.end()}); }

class Join : public ::testing::Test {
protected:
  void SetUp() override {
    Picture = Dir.File("photo.jpg");
    WriteJPEG(Picture, PhotoLike(320, 240), {.Quality = 95});
  }
  // Saves into the folder f beside page.html (snippet) and returns the snippet.
  std::string Save(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"save", Picture, "--chunks", "24", "--seed", "9", "--out", Dir.File("f"),
                                     "--prefix", "f/", "--html", Dir.File("page.html")};
    args.insert(args.end(), extra.begin(), extra.end());
    const TRun r = RunTool(args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    return TextOf(Dir.File("page.html"));
  }
  // join PAGE --out joined.png --compare the picture; the PSNR it prints, or -1.
  double JoinedPSNR(const std::string& page, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"join", page, "--out", Dir.File("joined.png"), "--compare", Picture};
    args.insert(args.end(), extra.begin(), extra.end());
    const TRun r = RunTool(args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out.rfind(Dir.File("joined.png") + ": 320x240 pixels\nPSNR: ", 0), 0u) << r.Out;
    const std::size_t at = r.Out.find("PSNR: ");
    return at == std::string::npos ? -1 : std::stod(r.Out.substr(at + 6));
  }
  TRun JoinFails() { return RunTool({"join", Dir.File("page.html"), "--out", Dir.File("joined.png")}); }
  TTempDir Dir;
  std::string Picture;
};

// A misplaced or missing fragment brings a photo-like picture far below this; quality 75
// fragments of it stay well above.
constexpr double kRebuilt = 30;

struct TForm {
  const char* Name;
  std::vector<std::string> Options;
};

class JoinForms : public Join, public ::testing::WithParamInterface<TForm> {};

TEST_P(JoinForms, RoundTrip) {
  Save(GetParam().Options);
  EXPECT_GT(JoinedPSNR(Dir.File("page.html")), kRebuilt);
  EXPECT_TRUE(std::filesystem::exists(Dir.File("joined.png")));
}

INSTANTIATE_TEST_SUITE_P(
    EveryForm, JoinForms,
    ::testing::Values(TForm{"Default", {}}, TForm{"Responsive", {"--responsive"}}, TForm{"Alt", {"--alt", "A <b> & c"}},
                      TForm{"Lazy", {"--lazy"}}, TForm{"Progressive", {"--progressive", "--quality", "90"}},
                      TForm{"Everything", {"--responsive", "--alt", "x", "--lazy"}}),
    testing::TRowName());

TEST_F(Join, AWholePageInAnotherFolderAndRoot) {
  std::filesystem::create_directory(Dir.File("site"));
  Save({"--page", Dir.File("site/index.html"), "--responsive", "--alt", "Photo"});
  // The page's own folder holds no fragments; --root says where they are.
  EXPECT_EQ(RunTool({"join", Dir.File("site/index.html"), "--out", Dir.File("joined.png")}).Code, 1);
  EXPECT_GT(JoinedPSNR(Dir.File("site/index.html"), {"--root", Dir.Path()}), kRebuilt);
}

TEST_F(Join, AnEditedPageStillJoins) {
  std::string html = Save({"--lazy"});
  // Attributes in another order: src first in every image.
  html = std::regex_replace(html, std::regex(R"re(<img ([^>]*?) src="([^"]*)" />)re"), "<IMG SRC=\"$2\" $1>");
  html = std::regex_replace(html, std::regex("\""), "'");  // other quotes
  html = std::regex_replace(html, std::regex("><"), ">\n    <");  // re-indented
  WriteText(Dir.File("page.html"), "<!doctype html><title>x</title><p>Before</p>\n" + html + "\n<p>After</p>");
  ASSERT_EQ(html.find("\""), std::string::npos);
  EXPECT_GT(JoinedPSNR(Dir.File("page.html")), kRebuilt);
}

TEST_F(Join, NamesAreDecodedFromPercentEscapes) {
  WriteJPEG(Dir.File("a b#c.jpg"), PhotoLike(320, 240), {.Quality = 95});
  const TRun r = RunTool({"save", Dir.File("a b#c.jpg"), "--chunks", "4", "--seed", "1", "--out", Dir.File("f"),
                          "--prefix", "f/", "--html", Dir.File("page.html")});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ASSERT_NE(TextOf(Dir.File("page.html")).find("a%20b%23c-"), std::string::npos);
  EXPECT_GT(JoinedPSNR(Dir.File("page.html")), kRebuilt);
}

TEST_F(Join, AMissingFragmentIsNamed) {
  const std::string html = Save();
  const std::string second = SourcesOf(html).at(1);
  std::filesystem::remove(Dir.File(second));
  const TRun r = JoinFails();
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err.rfind("Fragment \"" + second + "\" cannot be loaded: ", 0), 0u) << r.Err;
  EXPECT_FALSE(std::filesystem::exists(Dir.File("joined.png")));
}

TEST_F(Join, AFragmentOfAnotherSizeIsNamed) {
  const std::string html = Save();
  const std::string first = SourcesOf(html).at(0);
  WriteJPEG(Dir.File(first), PhotoLike(7, 5));
  const TRun r = JoinFails();
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err.rfind("Fragment \"" + first + "\" is 7x5 pixels, but its tag says ", 0), 0u) << r.Err;
}

TEST_F(Join, RowsThatDoNotAddUpAreNamed) {
  std::string html = Save();
  // The last row loses its last cell.
  const std::size_t last = html.rfind("<td width=");
  html.erase(last, html.find("</td>", last) + 5 - last);
  WriteText(Dir.File("page.html"), html);
  const TRun r = JoinFails();
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("add up to"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("not the picture's 320: fragment \"f/photo-"), std::string::npos) << r.Err;
}

TEST_F(Join, PagesWithoutFragmentsAndOtherOriginals) {
  WriteText(Dir.File("page.html"), "<p>No table here</p>");
  TRun r = JoinFails();
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "The page \"" + Dir.File("page.html") + "\" holds no table of fragment images.\n");
  WriteText(Dir.File("page.html"), "<table><tr><td><img src=\"x.jpg\"></td></tr></table>");
  r = JoinFails();
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Fragment \"x.jpg\" lacks a src, or a width and height of 1 or more, in the page.\n");

  // A zero byte would cut the name short, at another file.
  WriteJPEG(Dir.File("x"), PhotoLike(4, 4));
  WriteText(Dir.File("page.html"), "<table><tr><td><img src=\"x%00.jpg\" width=\"4\" height=\"4\"></td></tr></table>");
  r = JoinFails();
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Fragment \"x%00.jpg\" cannot be loaded: its name holds a zero byte.\n");

  Save();
  WriteJPEG(Dir.File("small.jpg"), PhotoLike(32, 24));
  r = RunTool({"join", Dir.File("page.html"), "--out", Dir.File("joined.png"), "--compare", Dir.File("small.jpg")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "The original is 32x24 pixels, the rebuilt picture 320x240.\n");
}

TEST(Psnr, EqualDifferentAndKnown) {
  TBitmap32 a, b;
  a.SetSize(2, 2);
  b.SetSize(2, 2);
  a.Fill(Color32(10, 20, 30));
  b.Fill(Color32(10, 20, 30));
  EXPECT_TRUE(std::isinf(PSNR(a, b)));
  b.SetPixel(0, 0, Color32(11, 20, 30));  // one sample off by one in 12: MSE 1/12
  EXPECT_NEAR(PSNR(a, b), 10 * std::log10(255.0 * 255.0 * 12), 1e-9);
}

}  // namespace
}  // namespace mosaicer
