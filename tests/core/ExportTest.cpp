// Saving the fragments: names, the HTML, the folder rules, refusals, failures part way, and the
// whole picture put back together from the files.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <regex>
#include <set>
#include <unordered_set>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using namespace mosaicer::testing;
namespace fs = std::filesystem;

// The generator and the name alphabet written out plainly, independent of the code under test.
struct TPlainNames {
  std::uint32_t State;
  std::string Next(int length = 8) {
    std::string name;
    for (int i = 0; i < length; ++i) {
      State = State * 134775813u + 1u;
      name += "abcdefghijklmnopqrstuvwxyz0123456789"[(36ull * State) >> 32];
    }
    return name;
  }
};

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<const TMCCell*> AllCells(const TMCImage& image) {
  std::vector<const TMCCell*> cells;
  for (std::int32_t i = 0; i < image.Breakup.RowCount(); ++i)
    for (std::int32_t j = 0; j < image.Breakup.Rows(i).CellCount(); ++j) cells.push_back(&image.Breakup.Rows(i).Cells(j));
  return cells;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Runs the body with the current directory set to folder.
void InDirectory(const std::string& folder, const std::function<void()>& body) {
  const fs::path before = fs::current_path();
  fs::current_path(folder);
  try {
    body();
  } catch (...) {
    fs::current_path(before);
    throw;
  }
  fs::current_path(before);
}

class Export : public ::testing::Test {
protected:
  void SetUp() override {
    FileSeam::Reset();
    Picture = Dir.File("photo.jpg");
    WriteJPEG(Picture, PhotoLike(300, 200), {.Quality = 95});
    Image.LoadFromFile(Picture);
  }
  void TearDown() override { FileSeam::Reset(); }
  void Divide(std::int32_t chunks, std::uint32_t seed = 7) {
    RandomState = seed;
    Image.MakeBreakup(chunks);
  }
  // One band of cells with the given widths, over the whole picture height.
  void Band(const std::vector<std::int32_t>& widths) {
    Image.Breakup.Clear();
    TMCRow& row = Image.Breakup.Rows(Image.Breakup.AddRow());
    row.Height = Image.ImageHeight;
    std::int32_t left = 0;
    for (const std::int32_t w : widths) {
      TMCCell& c = row.Cells(row.AddCell());
      c = {left, 0, w, row.Height, ""};
      left += w;
    }
  }
  TTempDir Dir;
  std::string Picture;
  TMCImage Image;
};

TEST(RandomName, EightDrawsPerNameAndAWholeNewNameOnARepeat) {
  RandomState = 123456789;
  TPlainNames plain{123456789};
  const std::string first = plain.Next();
  EXPECT_EQ(RandomName(8, {}), first);
  EXPECT_EQ(RandomState, plain.State);

  RandomState = 123456789;
  const std::string second = plain.Next();
  EXPECT_EQ(RandomName(8, {"zzzzzzzz", first}), second) << "the first draw is used, so all eight are drawn again";
  EXPECT_EQ(RandomState, plain.State);

  RandomState = 5;
  EXPECT_EQ(RandomName(3, {}).size(), 3u);
  const std::uint32_t before = RandomState;
  EXPECT_EQ(RandomName(0, {""}), "") << "no endless loop";
  EXPECT_EQ(RandomState, before);
}

// Many names against the plain rule (draw, look up in an ordered set, draw the whole name again),
// so every redraw comes at the same place: three letters fill most of their 46,656 names, and
// eight letters are drawn for a quarter of a million cells.
struct TNameCountCase {
  const char* Name;
  std::int32_t Length, Count;
  std::uint32_t State;
};

void PrintTo(const TNameCountCase& c, std::ostream* out) { *out << c.Name; }

class RandomNameAtLargeCounts : public ::testing::TestWithParam<TNameCountCase> {};

TEST_P(RandomNameAtLargeCounts, SameNamesAsAPlainLookUp) {
  const TNameCountCase& c = GetParam();
  TPlainNames plain{c.State};
  std::set<std::string> plainUsed;
  std::unordered_set<std::string> used;
  RandomState = c.State;
  std::int64_t redraws = 0;
  for (std::int32_t k = 0; k < c.Count; ++k) {
    std::string expected = plain.Next(c.Length);
    for (; plainUsed.contains(expected); ++redraws) expected = plain.Next(c.Length);
    plainUsed.insert(expected);
    const std::string name = RandomName(c.Length, used);
    if (name != expected || RandomState != plain.State) {
      ADD_FAILURE() << "name " << k << ": " << name << " instead of " << expected;
      break;
    }
    used.insert(name);
  }
  if (c.Length == 3) {
    EXPECT_GT(redraws, 10000);
  }
}

INSTANTIATE_TEST_SUITE_P(, RandomNameAtLargeCounts,
                         ::testing::Values(TNameCountCase{"ThreeLetters", 3, 30000, 77},
                                           TNameCountCase{"EightLetters", 8, 262144, 2026}),
                         testing::TRowName());

TEST_F(Export, NamesFollowTheGeneratorCellByCell) {
  Divide(16);
  const std::uint32_t state = RandomState;
  const std::string html = Image.SaveFragments("", Dir.Path());
  TPlainNames plain{state};
  for (const TMCCell* c : AllCells(Image)) EXPECT_EQ(c->FileName, "photo-" + plain.Next() + ".jpg");
  EXPECT_EQ(RandomState, plain.State) << "eight draws per cell and nothing else";
}

TEST_F(Export, NamesAreUniqueWithinOneSave) {
  Image.Bitmap.SetSize(1024, 1024);
  Image.Bitmap.Fill(Color32(1, 2, 3));
  Image.ImageWidth = Image.ImageHeight = 1024;
  Divide(1024, 99);
  const std::string folder = Dir.File("many");
  Image.SaveFragments("", folder);
  std::set<std::string> names;
  for (const TMCCell* c : AllCells(Image)) names.insert(c->FileName);
  EXPECT_EQ(names.size(), 1024u);
  EXPECT_EQ(FilesIn(folder).size(), 1024u);
}

struct TBaseNameCase {
  const char* Name;
  const char* Loaded;
  const char* Base;
};

void PrintTo(const TBaseNameCase& c, std::ostream* out) { *out << c.Name; }

class ExportBaseNames : public Export, public ::testing::WithParamInterface<TBaseNameCase> {};

TEST_P(ExportBaseNames, ComeFromTheLoadedFileName) {
  Divide(4);
  const TBaseNameCase& c = GetParam();
  Image.FileName = c.Loaded;
  Image.SaveFragments("", Dir.File("base"));
  for (const TMCCell* cell : AllCells(Image)) {
    EXPECT_EQ(cell->FileName.substr(0, cell->FileName.size() - 13), c.Base) << c.Loaded;
    EXPECT_EQ(cell->FileName.substr(cell->FileName.size() - 13, 1), "-") << c.Loaded;
    EXPECT_EQ(cell->FileName.substr(cell->FileName.size() - 4), ".jpg") << c.Loaded;
    EXPECT_TRUE(fs::exists(Dir.File("base/" + cell->FileName))) << c.Loaded;
  }
}

INSTANTIATE_TEST_SUITE_P(, ExportBaseNames,
                         ::testing::Values(TBaseNameCase{"Plain", "/pictures/photo.jpg", "photo"},
                                           TBaseNameCase{"NoExtension", "/pictures/photo", "photo"},
                                           TBaseNameCase{"TwoDots", "/pictures/holiday.photo.JPG", "holiday.photo"},
                                           TBaseNameCase{"OnlyAnExtension", "/pictures/.jpg", ""},
                                           TBaseNameCase{"UpperCaseJpeg", "/pictures/SHOUT.JPEG", "SHOUT"},
                                           TBaseNameCase{"DotInTheFolder", "/pic.tures/photo", "photo"},
                                           TBaseNameCase{"Relative", "relative.jpg", "relative"}),
                         testing::TRowName());

TEST_F(Export, TheBandExampleAndTheWholeHtmlExactly) {
  Image.Bitmap.SetSize(300, 60);
  Image.ImageWidth = 300;
  Image.ImageHeight = 60;
  Band({120, 180});
  const std::string html = Image.SaveFragments("images/", Dir.File("images"));
  const std::string a = Image.Breakup.Rows(0).Cells(0).FileName, b = Image.Breakup.Rows(0).Cells(1).FileName;
  EXPECT_EQ(html,
            "<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"300\" height=\"60\">"
            "<tr height=\"60\"><td width=\"300\"><table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"300\" "
            "height=\"60\"><tr><td width=\"120\"><img border=\"0\" width=\"120\" height=\"60\" alt=\"\" "
            "style=\"display:block\" src=\"images/" + a + "\" /></td><td width=\"180\"><img border=\"0\" width=\"180\" "
            "height=\"60\" alt=\"\" style=\"display:block\" src=\"images/" + b + "\" /></td></tr></table></td></tr>"
            "</table>");
  EXPECT_EQ(FilesIn(Dir.File("images")), (std::vector<std::string>{std::min(a, b), std::max(a, b)}));
}

TEST_F(Export, HtmlShape) {
  Divide(37);
  const std::string html = Image.SaveFragments("p/", Dir.Path());
  EXPECT_EQ(html.find('\n'), std::string::npos);
  EXPECT_EQ(Count(html, "<img"), 37u);
  EXPECT_EQ(Count(html, "<table"), static_cast<std::size_t>(Image.Breakup.RowCount()) + 1);
  EXPECT_EQ(Count(html, "alt=\"\" style=\"display:block\" src=\"p/photo-"), 37u);
}

struct TPrefixCase {
  const char* Name;
  std::string Prefix, Src;
};

void PrintTo(const TPrefixCase& c, std::ostream* out) { *out << c.Name; }

class ExportPrefixes : public Export, public ::testing::WithParamInterface<TPrefixCase> {};

TEST_P(ExportPrefixes, AreWrittenBeforeEachNameEscaped) {
  Band({100, 200});
  const TPrefixCase& c = GetParam();
  const std::string html = Image.SaveFragments(c.Prefix, Dir.File("out"));
  EXPECT_NE(html.find("src=\"" + c.Src + Image.Breakup.Rows(0).Cells(1).FileName + "\""), std::string::npos)
      << c.Prefix << ": " << html;
}

INSTANTIATE_TEST_SUITE_P(, ExportPrefixes,
                         ::testing::Values(TPrefixCase{"Empty", "", ""}, TPrefixCase{"NoSlash", "img", "img"},
                                           TPrefixCase{"UpAndBlank", "../a b/", "../a b/"},
                                           TPrefixCase{"MarkupCharacters", "x\"y<z>&/", "x&quot;y&lt;z&gt;&amp;/"}),
                         testing::TRowName());

struct TEscapeCase {
  const char* Name;
  std::string Loaded, InHtml;
};

void PrintTo(const TEscapeCase& c, std::ostream* out) { *out << c.Name; }

class ExportEscapes : public Export, public ::testing::WithParamInterface<TEscapeCase> {};

TEST_P(ExportEscapes, FileNamesAreEscapedInTheHtmlButNotOnDisk) {
  Band({150, 150});
  const TEscapeCase& c = GetParam();
  const std::string folder = Dir.File("esc");
  Image.FileName = Dir.File(c.Loaded);
  const std::string html = Image.SaveFragments("i/", folder);
  for (const TMCCell* cell : AllCells(Image)) {
    const std::string random = cell->FileName.substr(cell->FileName.size() - 13);
    EXPECT_NE(html.find("src=\"i/" + c.InHtml + random + "\""), std::string::npos) << c.Loaded << ": " << html;
    EXPECT_TRUE(fs::exists(folder + "/" + cell->FileName)) << "the real name on disk: " << cell->FileName;
  }
}

INSTANTIATE_TEST_SUITE_P(
    , ExportEscapes,
    ::testing::Values(
        TEscapeCase{"MarkupAndUrlCharacters", "Tom & Jerry \"best\" #1 100%.jpg", "Tom%20&amp;%20Jerry%20&quot;best&quot;%20%231%20100%25"},
        TEscapeCase{"QuestionMarkAndTags", "what?<b>.jpg", "what%3F&lt;b&gt;"},
        TEscapeCase{"TabAndDelete", "tab\there\x7F.jpg", "tab%09here%7F"},
        TEscapeCase{"ColonAndBackslash", "c:\\dos.jpg", "c%3A%5Cdos"},
        TEscapeCase{"UnreservedStayPlain", "plain_Name-1.2.jpg", "plain_Name-1.2"},
        TEscapeCase{"Utf8Letter", "caf\xC3\xA9.jpg", "caf%C3%A9"},
        TEscapeCase{"OnlyUtf8", "\xC3\xA9.jpg", "%C3%A9"},
        TEscapeCase{"NotUtf8", "\xFF\xFE.jpg", "%FF%FE"},
        TEscapeCase{"TildeDeleteAndHighByte", "~\x7F\x80.jpg", "~%7F%80"}),
    testing::TRowName());

// Names that are not ASCII, or not even UTF-8, give HTML of ASCII alone, which reads the same in
// any page charset; a prefix is the user's URL and is kept as given.
TEST_F(Export, HtmlIsAsciiWhateverTheFileName) {
  Divide(9);
  Image.FileName = Dir.File("\xFF\xFE caf\xC3\xA9.jpg");
  const std::string folder = Dir.File("ascii");
  const std::string html = Image.SaveFragments("pics/", folder);
  EXPECT_EQ(std::count_if(html.begin(), html.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7E; }), 0)
      << html;
  EXPECT_EQ(Count(html, "src=\"pics/%FF%FE%20caf%C3%A9-"), 9u);
  for (const TMCCell* cell : AllCells(Image)) {
    EXPECT_EQ(cell->FileName.substr(0, 9), "\xFF\xFE caf\xC3\xA9-");
    EXPECT_TRUE(fs::is_regular_file(folder + "/" + cell->FileName)) << cell->FileName;
  }
  EXPECT_EQ(Count(Image.SaveFragments("b\xC3\xA9/", folder), "src=\"b\xC3\xA9/%FF%FE%20caf%C3%A9-"), 9u);
}

// Folder is relative to the current folder "cwd" inside the test's own; "ABS" stands for the
// absolute path of its folder "abs".
struct TFolderCase {
  const char* Name;
  std::string Folder, Where;
};

void PrintTo(const TFolderCase& c, std::ostream* out) { *out << c.Name; }

class ExportFolders : public Export, public ::testing::WithParamInterface<TFolderCase> {};

TEST_P(ExportFolders, FilesLandWhereTheFolderSays) {
  Band({100, 200});
  const TFolderCase& c = GetParam();
  const std::string folder = c.Folder.starts_with("ABS") ? Dir.File("abs") + c.Folder.substr(3) : c.Folder;
  fs::create_directory(Dir.File("cwd"));
  InDirectory(Dir.File("cwd"), [&] { Image.SaveFragments("", folder); });
  for (const TMCCell* cell : AllCells(Image))
    EXPECT_TRUE(fs::is_regular_file(Dir.File(c.Where + "/" + cell->FileName))) << "folder \"" << folder << "\"";
}

INSTANTIATE_TEST_SUITE_P(, ExportFolders,
                         ::testing::Values(TFolderCase{"Empty", "", "cwd"}, TFolderCase{"Relative", "rel", "cwd/rel"},
                                           TFolderCase{"RelativeWithSlash", "rel2/", "cwd/rel2"},
                                           TFolderCase{"Absolute", "ABS", "abs"},
                                           TFolderCase{"AbsoluteWithSlash", "ABS/", "abs"},
                                           TFolderCase{"AbsoluteWithTwoSlashes", "ABS//", "abs"},
                                           TFolderCase{"NamedLikeTheCurrentFolder", "cwd", "cwd/cwd"}),
                         testing::TRowName());

TEST_F(Export, TwoMissingLevelsStopBeforeAnyFile) {
  Band({100, 200});
  std::string html;
  const std::string folder = Dir.File("a/b");
  try {
    Image.SaveFragments("", folder, html);
    ADD_FAILURE() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + folder + "/" + Image.Breakup.Rows(0).Cells(0).FileName +
                                         "\". No such file or directory");
  }
  EXPECT_FALSE(fs::exists(Dir.File("a"))) << "only one level is created";
  EXPECT_EQ(Count(html, "<img"), 2u) << "the result is assigned before any file is written";
  const std::string relative = "x/y";
  InDirectory(Dir.Path(), [&] {
    EXPECT_THROW_MSG(Image.SaveFragments("", relative), EFCreateError,
                     "Cannot create file \"" + Dir.File("x/y/" + Image.Breakup.Rows(0).Cells(0).FileName) +
                         "\". No such file or directory");
  });
}

TEST_F(Export, AFolderThatCannotBeMade) {
  Band({100, 200});
  WriteBytes(Dir.File("plain"), {'x'});
  const std::string folder = Dir.File("plain/out");
  EXPECT_THROW_MSG(Image.SaveFragments("", folder), EFCreateError,
                   "Cannot create file \"" + folder + "/" + Image.Breakup.Rows(0).Cells(0).FileName + "\". Not a directory");
  // Root ignores permission bits, so a read-only folder is played through the seam.
  FileSeam::FailCreateAt(1, EROFS);
  const std::string ro = Dir.File("ro");
  EXPECT_THROW_MSG(Image.SaveFragments("", ro), EFCreateError,
                   "Cannot create file \"" + ro + "/" + Image.Breakup.Rows(0).Cells(0).FileName + "\". Read-only file system");
  EXPECT_TRUE(FilesIn(ro).empty());
}

TEST_F(Export, ABreakupWithoutRows) {
  RandomState = 42;
  const std::string html = Image.SaveFragments("images/", Dir.File("none"));
  EXPECT_EQ(html, "<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"300\" height=\"200\"></table>");
  EXPECT_EQ(RandomState, 42u);
  EXPECT_TRUE(FilesIn(Dir.File("none")).empty());
}

TEST_F(Export, UnsoundSavesAreRefusedBeforeAnythingChanges) {
  TMCImage empty;
  empty.ImageWidth = 300;
  empty.ImageHeight = 200;
  RandomState = 1;
  empty.MakeBreakup(4);
  const std::uint32_t state = RandomState;
  std::string html = "untouched";
  EXPECT_THROW_MSG(empty.SaveFragments("", Dir.File("e"), html), Exception, "No picture is loaded, so there is nothing to save");
  EXPECT_EQ(html, "untouched");
  EXPECT_EQ(RandomState, state);
  EXPECT_EQ(empty.Breakup.Rows(0).Cells(0).FileName, "");
}

struct TUnfitCellCase {
  const char* Name;
  TMCCell Cell;
  const char* Text;
};

void PrintTo(const TUnfitCellCase& c, std::ostream* out) { *out << c.Name; }

class ExportUnfitCell : public Export, public ::testing::WithParamInterface<TUnfitCellCase> {};

TEST_P(ExportUnfitCell, IsRefusedBeforeAnythingChanges) {
  const TUnfitCellCase& c = GetParam();
  std::string html = "untouched";
  Band({100, 200});
  Image.Breakup.Rows(0).Cells(1) = c.Cell;
  EXPECT_THROW_MSG(Image.SaveFragments("", Dir.File("bad"), html), EBreakupError,
                   std::string("The division does not fit the 300x200 picture: cell 1 of row 0 is ") + c.Text);
  EXPECT_FALSE(fs::exists(Dir.File("bad")));
  EXPECT_EQ(Image.Breakup.Rows(0).Cells(0).FileName, "");
}

INSTANTIATE_TEST_SUITE_P(, ExportUnfitCell,
                         ::testing::Values(TUnfitCellCase{"NoWidth", {0, 0, 0, 200, ""}, "0x200 pixels at 0,0"},
                                           TUnfitCellCase{"NoHeight", {0, 0, 100, 0, ""}, "100x0 pixels at 0,0"},
                                           TUnfitCellCase{"PastTheRightEdge", {250, 0, 51, 200, ""}, "51x200 pixels at 250,0"},
                                           TUnfitCellCase{"LeftOfThePicture", {-1, 0, 10, 200, ""}, "10x200 pixels at -1,0"},
                                           TUnfitCellCase{"PastTheBottom", {0, 150, 10, 51, ""}, "10x51 pixels at 0,150"},
                                           TUnfitCellCase{"LeftThatWouldOverflow", {2147483647, 0, 2, 5, ""}, "2x5 pixels at 2147483647,0"}),
                         testing::TRowName());

// The same division saved twice gives the same bytes per cell, so a save that stops part way
// can be checked file by file against a complete one, made on one thread. The failing saves run
// on the number of encoding threads in the parameter.
class ExportFailure : public Export, public ::testing::WithParamInterface<std::int32_t> {
protected:
  void SetUp() override {
    Export::SetUp();
    WriteJPEG(Picture, PhotoLike(1200, 800, 5), {.Quality = 95});
    Image.LoadFromFile(Picture);
    Divide(12, 3);
    Image.EncodeThreads = 1;
    Image.SaveFragments("", Dir.File("complete"));
    for (const TMCCell* c : AllCells(Image)) Complete.push_back(ReadBytes(Dir.File("complete/" + c->FileName)));
    Image.EncodeThreads = GetParam();
  }
  // Files of the stopped save: those before the failing cell equal the complete ones, none after.
  void ExpectStoppedAt(const std::string& folder, std::size_t failing) {
    const auto cells = AllCells(Image);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::string path = folder + "/" + cells[i]->FileName;
      if (i < failing) {
        ASSERT_TRUE(fs::exists(path)) << "cell " << i;
        EXPECT_EQ(ReadBytes(path), Complete[i]) << "cell " << i;
      } else {
        EXPECT_FALSE(fs::exists(path)) << "cell " << i << (i == failing ? ": the broken file stays" : "");
      }
    }
    EXPECT_EQ(FilesIn(folder).size(), failing);
  }
  std::vector<std::vector<std::uint8_t>> Complete;
};

TEST_P(ExportFailure, AWriteFailingMidwayRemovesOnlyThatFile) {
  // Count the write calls of every file in a complete save.
  std::vector<int> writesAfter;
  std::string html;
  FileSeam::Reset();
  Image.SaveFragments("", Dir.File("count"), html, [&](std::int32_t, std::int32_t) {
    writesAfter.push_back(FileSeam::WriteCalls());
  });
  // The first, a middle and the last file that take more than one write.
  std::vector<std::size_t> several;
  for (std::size_t i = 0; i < writesAfter.size(); ++i)
    if (writesAfter[i] - (i ? writesAfter[i - 1] : 0) >= 2) several.push_back(i);
  ASSERT_GE(several.size(), 3u);
  for (const std::size_t failing : {several.front(), several[several.size() / 2], several.back()}) {
    const int start = failing ? writesAfter[failing - 1] : 0;
    FileSeam::Reset();
    FileSeam::FailWriteAt(start + (writesAfter[failing] - start) / 2 + 1, ENOSPC);
    const std::string folder = Dir.File("stopped" + std::to_string(failing));
    EXPECT_THROW_MSG(Image.SaveFragments("", folder), EJPEGException, "Output file write error --- out of disk space?");
    ExpectStoppedAt(folder, failing);
  }
}

TEST_P(ExportFailure, ACreateFailingPartWay) {
  FileSeam::FailCreateAt(4, ENOSPC);
  const std::string folder = Dir.File("stopped");
  try {
    Image.SaveFragments("", folder);
    ADD_FAILURE() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + folder + "/" + AllCells(Image)[3]->FileName +
                                         "\". No space left on device");
  }
  ExpectStoppedAt(folder, 3);
}

// A real file-size limit in a child process: the kernel stops the write part way.
TEST_P(ExportFailure, AFileSizeLimitInAChildProcess) {
  std::vector<std::size_t> sizes;
  for (const auto& bytes : Complete) sizes.push_back(bytes.size());
  // A limit between the sizes, so that some file before the first too large one is written.
  std::size_t failing = 0;
  rlim_t limit = 0;
  for (std::size_t i = 1; i < sizes.size() && !limit; ++i) {
    const std::size_t smallest = *std::min_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(i));
    if (sizes[i] > smallest + 64 && *std::max_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(i)) < sizes[i]) {
      failing = i;
      limit = static_cast<rlim_t>(*std::max_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(i)) + 16);
    }
  }
  ASSERT_NE(limit, 0u) << "the fragments need differing sizes";
  const std::string folder = Dir.File("limited");
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string message = "no exception";
    try {
      Image.SaveFragments("", folder);
    } catch (const EJPEGException& e) {
      message = e.what();
    } catch (const std::exception& e) {
      message = std::string("wrong type: ") + e.what();
    }
    [[maybe_unused]] const auto n = ::write(pipe[1], message.data(), message.size());
    ::_exit(0);
  }
  ::close(pipe[1]);
  char buffer[256];
  std::string message;
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<std::size_t>(n));
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(message, "Output file write error --- out of disk space?");
  std::vector<std::string> files = FilesIn(folder);
  EXPECT_EQ(files.size(), failing);
  for (const std::string& name : files) {
    const auto bytes = ReadBytes(folder + "/" + name);
    EXPECT_LE(bytes.size(), limit);
    EXPECT_NE(std::find(Complete.begin(), Complete.end(), bytes), Complete.end()) << name << " is a complete fragment";
  }
}

// A fragment that cannot be encoded (wider than a JPEG file can be) makes no file; the smaller
// ones before it stay, whichever thread encoded what.
TEST_P(ExportFailure, AFragmentThatCannotBeEncoded) {
  Image.Bitmap.SetSize(65621, 2);
  Image.Bitmap.Fill(Color32(10, 200, 30));
  Image.ImageWidth = Image.Bitmap.Width();
  Image.ImageHeight = Image.Bitmap.Height();
  Band({20, 20, 20, 65501, 20, 20, 20});
  // The names come from the generator, so the same state gives the same names in both saves.
  const std::uint32_t state = RandomState;
  Image.EncodeThreads = 1;
  EXPECT_THROW_MSG(Image.SaveFragments("", Dir.File("band")), EJPEGException,
                   "Maximum supported image dimension is 65500 pixels");
  Complete.clear();
  for (const TMCCell* c : AllCells(Image))
    if (fs::exists(Dir.File("band/" + c->FileName))) Complete.push_back(ReadBytes(Dir.File("band/" + c->FileName)));
  ASSERT_EQ(Complete.size(), 3u);
  Image.EncodeThreads = GetParam();
  const std::string folder = Dir.File("stopped");
  RandomState = state;
  EXPECT_THROW_MSG(Image.SaveFragments("", folder), EJPEGException, "Maximum supported image dimension is 65500 pixels");
  ExpectStoppedAt(folder, 3);
}

// Progress that throws stops the save after the file it reports; fragments encoded ahead of it
// never become files.
TEST_P(ExportFailure, ProgressThatThrowsStopsAfterItsFile) {
  const std::string folder = Dir.File("cancelled");
  std::string html;
  std::vector<std::int32_t> told;
  const auto cancel = [&told](std::int32_t written, std::int32_t total) {
    told.push_back(written);
    EXPECT_EQ(total, 12);
    if (written == 5) throw Exception("cancelled");
  };
  EXPECT_THROW_MSG(Image.SaveFragments("", folder, html, cancel), Exception, "cancelled");
  EXPECT_EQ(told, (std::vector<std::int32_t>{1, 2, 3, 4, 5}));
  ExpectStoppedAt(folder, 5);
}

// Names are random, so anything already under one was planted: it is replaced, never written
// through.
TEST_P(ExportFailure, WhatIsPlantedUnderAFragmentsNameIsReplaced) {
  const std::string victim = Dir.File("victim.txt");
  WriteBytes(victim, {'v'});
  const std::string folder = Dir.File("shared");
  fs::create_directory(folder);
  // The same generator state draws the same names again.
  RandomState = 0;
  Image.SaveFragments("", Dir.File("names"));
  const auto cells = AllCells(Image);
  std::vector<std::string> names;
  for (const TMCCell* c : cells) names.push_back(c->FileName);
  fs::create_symlink(victim, folder + "/" + names[0]);
  fs::create_hard_link(victim, folder + "/" + names[1]);
  WriteBytes(folder + "/" + names[2], {'o', 'l', 'd'});
  RandomState = 0;
  Image.SaveFragments("", folder);
  for (std::size_t i = 0; i < cells.size(); ++i) ASSERT_EQ(cells[i]->FileName, names[i]);
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string path = folder + "/" + cells[i]->FileName;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << i;
    EXPECT_EQ(ReadBytes(path), ReadBytes(Dir.File("names/" + cells[i]->FileName))) << i;
  }
  EXPECT_EQ(ReadBytes(victim), (std::vector<std::uint8_t>{'v'}));
  EXPECT_EQ(fs::hard_link_count(victim), 1u);
  EXPECT_EQ(FilesIn(folder).size(), cells.size());
}

INSTANTIATE_TEST_SUITE_P(Threads, ExportFailure, ::testing::Values(1, 2, 4),
                         [](const auto& test) { return std::to_string(test.param) + "Threads"; });

// Any number of encoding threads gives the same names, HTML, bytes and progress as one.
TEST_F(Export, EncodingThreadsChangeNoByte) {
  WriteJPEG(Picture, PhotoLike(900, 700, 8), {.Quality = 95});
  Image.LoadFromFile(Picture);
  Divide(150, 77);
  const std::uint32_t state = RandomState;
  std::string serialHtml;
  std::vector<std::int32_t> serialTold;
  Image.EncodeThreads = 1;
  Image.SaveFragments("p/", Dir.File("t1"), serialHtml, [&](std::int32_t w, std::int32_t) { serialTold.push_back(w); });
  const std::uint32_t stateAfter = RandomState;
  const std::vector<std::string> serialFiles = FilesIn(Dir.File("t1"));
  ASSERT_EQ(serialFiles.size(), 150u);
  for (const std::int32_t threads : {2, 3, 8, 0, 200}) {
    SCOPED_TRACE(threads);
    const std::string folder = Dir.File("t" + std::to_string(threads) + "x");
    RandomState = state;
    Image.EncodeThreads = threads;
    std::string html;
    std::vector<std::int32_t> told;
    Image.SaveFragments("p/", folder, html, [&](std::int32_t w, std::int32_t) { told.push_back(w); });
    EXPECT_EQ(RandomState, stateAfter);
    EXPECT_EQ(html, serialHtml);
    EXPECT_EQ(told, serialTold);
    ASSERT_EQ(FilesIn(folder), serialFiles);
    for (const std::string& name : serialFiles)
      ASSERT_EQ(ReadBytes(folder + "/" + name), ReadBytes(Dir.File("t1/" + name))) << name;
  }
}

TEST_F(Export, PutBackTogetherFromTheFilesByTheHtml) {
  WriteJPEG(Picture, PhotoLike(640, 480, 11), {.Quality = 95});
  Image.LoadFromFile(Picture);
  Divide(37, 2024);
  const std::string folder = Dir.File("frag");
  const std::string html = Image.SaveFragments("frag/", folder);

  // Walk the HTML: a band starts with <tr height="H">, each image gives width, height, src.
  const std::regex token(R"re(<tr height="(\d+)">|<img border="0" width="(\d+)" height="(\d+)" alt="" style="display:block" src="frag/([^"]+)" />)re");
  std::vector<std::uint8_t> mosaic(std::size_t{640} * 480 * 3, 0);
  int top = -1, bandHeight = 0, x = 0, images = 0;
  std::size_t cell = 0;
  const auto cells = AllCells(Image);
  for (auto it = std::sregex_iterator(html.begin(), html.end(), token); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    if (m[1].matched) {
      if (top >= 0) {
        EXPECT_EQ(x, 640) << "band at " << top;
      }
      top = top < 0 ? 0 : top + bandHeight;
      bandHeight = std::stoi(m[1]);
      x = 0;
      continue;
    }
    const int w = std::stoi(m[2]), h = std::stoi(m[3]);
    ASSERT_LT(cell, cells.size());
    EXPECT_EQ(w, cells[cell]->Width);
    EXPECT_EQ(h, cells[cell]->Height);
    EXPECT_EQ(h, bandHeight);
    const TSamples fragment = DecodeReferenceRGB(ReadBytes(folder + "/" + m[4].str()));
    ASSERT_EQ(fragment.Width, w) << m[4];
    ASSERT_EQ(fragment.Height, h) << m[4];
    ASSERT_LE(x + w, 640);
    ASSERT_LE(top + h, 480);
    for (int y = 0; y < h; ++y)
      std::copy_n(fragment.Data.begin() + static_cast<std::ptrdiff_t>(y) * w * 3, w * 3,
                  mosaic.begin() + (static_cast<std::ptrdiff_t>(top + y) * 640 + x) * 3);
    x += w;
    ++images;
    ++cell;
  }
  EXPECT_EQ(x, 640);
  EXPECT_EQ(top + bandHeight, 480);
  EXPECT_EQ(images, 37);

  double squares = 0;
  int worst = 0;
  for (int y = 0; y < 480; ++y) {
    for (int px = 0; px < 640; ++px) {
      const TColor32 want = Image.Bitmap.Pixel(px, y);
      const std::uint8_t* got = &mosaic[(static_cast<std::size_t>(y) * 640 + static_cast<std::size_t>(px)) * 3];
      for (const int d : {got[0] - RedOf(want), got[1] - GreenOf(want), got[2] - BlueOf(want)}) {
        squares += d * d;
        worst = std::max(worst, std::abs(d));
      }
    }
  }
  const double psnr = 10 * std::log10(255.0 * 255.0 / (squares / (640.0 * 480 * 3)));
  std::cout << "mosaic against the picture: PSNR " << psnr << " dB, largest difference " << worst << "\n";
  RecordProperty("psnr_db", static_cast<int>(psnr * 100));
  EXPECT_GT(psnr, 30.0) << "quality 75 keeps a photo-like picture well above 30 dB";
  EXPECT_LT(worst, 128) << "no fragment is misplaced or shifted";
}

}  // namespace
}  // namespace mosaicer
