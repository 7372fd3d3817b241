#include "cli/Cli.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <set>

#include "cli/Join.h"
#include "cli/Json.h"
#include "cli/PngWriter.h"
#include "cli/Process.h"
#include "core/MCImage.h"
#include "jpeg/PictureLoader.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "runtime/Files.h"

namespace mosaicer {

namespace {

constexpr const char* kUsage = R"(Usage: mosaicer-cli COMMAND [OPTIONS]

Cuts a JPEG picture at random into rectangular chunks: rows of random-width cells.

Commands:
  info PICTURE [--json]
      Loads PICTURE and prints its size in pixels and its file size in bytes.

  divide (PICTURE | --size WxH) --chunks N [--seed S] [--json]
      Divides PICTURE, or a picture of W by H pixels, at random into N chunks and
      prints the rows and their cells (each cell as LEFT:WIDTH in pixels).
      --seed S   start the random generator at S (0 to 4294967295) instead of
                 seeding it from the clock, so the same S gives the same division
      --json     print one JSON object:
                 {"state_before": S, "state_after": S2, "rows": [{"height": H,
                  "cells": [[left, top, width, height], ...]}, ...]}

  save PICTURE --chunks N --out FOLDER [--prefix P] [--seed S] [--html FILE]
       [--quality Q] [--progressive] [--responsive] [--alt TEXT] [--lazy]
       [--page FILE]
      Divides PICTURE at random into N chunks, writes every chunk as a JPEG file
      named after the picture with a random part (photo-k3j9x0qa.jpg) into FOLDER
      (created if only its last level is missing), and prints the one-line HTML
      that puts the picture back together on a web page.
      --prefix P   put P before every file name in the HTML (default: none;
                   give "images/" for a folder images beside the page); P is
                   a URL prefix, so a # or ? in it must be written %23, %3F
      --seed S     as for divide; the names are drawn right after the division
      --html FILE  write the HTML into FILE instead of standard output
      --quality Q  JPEG quality of the fragments, 1 to 100 (default 75)
      --progressive
                   write progressive JPEG fragments
      --responsive
                   the picture scales down to the width of its container,
                   never wider than itself, keeping its proportions
      --alt TEXT   the whole picture is one image named TEXT to screen
                   readers; the fragments stay decorative
      --lazy       the browser loads fragments lazily and decodes them
                   asynchronously (their sizes stay in the tags)
      --page FILE  also write a whole HTML page holding the HTML into FILE,
                   titled with the picture's name; --prefix is then taken
                   from the page's folder
      On a terminal, progress is shown on standard error. A failure leaves the
      files written before it, and no half-written file.

  preview PICTURE --out FILE.png [--chunks N] [--seed S] [--box N]
      Draws PICTURE scaled and centred into a white box of N by N pixels (191,
      as in the window, unless --box says otherwise) and writes the box as a PNG
      file. With --chunks, first divides the picture as divide does (--seed as
      there) and draws the division as dotted outlines over the picture.
      --box N    the side of the box, 1 to 4096

  join PAGE --out PICTURE.png [--root FOLDER] [--compare ORIGINAL]
      Rebuilds the picture from a page or snippet that save wrote (also after
      it was re-indented or re-quoted), by the rows and cells of its tables,
      and writes it as a PNG file. Fragments are found relative to the page's
      folder, or to FOLDER. A fragment that is missing, cannot be read, or
      differs from its tag's width and height, or rows that do not add up to
      the picture, fail naming the first such fragment.
      --compare ORIGINAL  also print the PSNR in dB of the rebuilt picture
                          against ORIGINAL, which must be of the same size

  help, --help, -h
      Prints this text.

PICTURE is a JPEG file (.jpg, .jpeg or .jpe). N is 1 to 1048576. Each command
takes only its own options, each once. A failure prints its message on
standard error and exits with 1; wrong usage exits with 2, before anything is
read or written.
)";

struct TUsageError {
  std::string Message;
};

template <typename T>
std::optional<T> ParseNumber(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// The command's arguments: one positional argument at most, and its own --name or --name VALUE
// options, each given once.
struct TArguments {
  std::optional<std::string> Picture;
  std::optional<std::string> Chunks, Seed, Size, Out, Prefix, Html, Box, Quality, Alt, Page, Root, Compare;
  bool Json = false, Progressive = false, Responsive = false, Lazy = false;
};

// One option a command takes: either a flag or the slot its value goes to.
struct TOption {
  const char* Name;
  bool TArguments::*Flag;
  std::optional<std::string> TArguments::*Value;
};

constexpr TOption Flag(const char* name, bool TArguments::*flag) { return {name, flag, nullptr}; }
constexpr TOption Value(const char* name, std::optional<std::string> TArguments::*value) {
  return {name, nullptr, value};
}

// Every command's own options; anything else is a usage error before anything is read. A table
// of our own rather than CLI11: its generated help and exit codes differ from the usage text and
// the exit 2 that scripts rely on, and bending them back takes more code than this.
const std::map<std::string, std::vector<TOption>>& OptionTable() {
  using A = TArguments;
  static const std::map<std::string, std::vector<TOption>> table = {
      {"info", {Flag("--json", &A::Json)}},
      {"divide", {Value("--chunks", &A::Chunks), Value("--seed", &A::Seed), Value("--size", &A::Size), Flag("--json", &A::Json)}},
      {"save",
       {Value("--chunks", &A::Chunks), Value("--out", &A::Out), Value("--prefix", &A::Prefix), Value("--seed", &A::Seed),
        Value("--html", &A::Html), Value("--quality", &A::Quality), Flag("--progressive", &A::Progressive),
        Flag("--responsive", &A::Responsive), Value("--alt", &A::Alt), Flag("--lazy", &A::Lazy), Value("--page", &A::Page)}},
      {"preview", {Value("--out", &A::Out), Value("--chunks", &A::Chunks), Value("--seed", &A::Seed), Value("--box", &A::Box)}},
      {"join", {Value("--out", &A::Out), Value("--root", &A::Root), Value("--compare", &A::Compare)}},
  };
  return table;
}

TArguments ParseArguments(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  const std::vector<TOption>& options = OptionTable().at(command);
  TArguments parsed;
  std::set<std::string> given;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 1 && a[0] == '-') {
      const auto option = std::find_if(options.begin(), options.end(), [&a](const TOption& o) { return a == o.Name; });
      if (option == options.end()) throw TUsageError{command + " does not take " + a};
      if (!given.insert(a).second) throw TUsageError{a + " is given more than once"};
      if (option->Flag) {
        parsed.*option->Flag = true;
      } else {
        if (i + 1 >= args.size()) throw TUsageError{a + " needs a value"};
        parsed.*option->Value = args[++i];
      }
    } else if (parsed.Picture) {
      throw TUsageError{"more than one " + std::string(command == "join" ? "page" : "picture") + " given"};
    } else {
      parsed.Picture = a;
    }
  }
  return parsed;
}

int Info(const TArguments& a, std::ostream& out) {
  if (!a.Picture) throw TUsageError{"info needs a PICTURE"};
  TMCImage image;
  image.LoadFromFile(*a.Picture);
  if (a.Json) {
    out << "{\"file_name\": " << JsonString(image.FileName) << ", \"width\": " << image.ImageWidth
        << ", \"height\": " << image.ImageHeight << ", \"file_size\": " << image.FileSize << "}\n";
  } else {
    out << "File name:  " << image.FileName << "\n"
        << "Dimensions: " << image.ImageWidth << "x" << image.ImageHeight << " pixels\n"
        << "Size:       " << image.FileSize << " bytes\n";
  }
  return 0;
}

std::int32_t ChunksOf(const TArguments& a, const char* command) {
  if (!a.Chunks) throw TUsageError{std::string(command) + " needs --chunks N"};
  // Beyond this count dividing and naming take longer than anyone waits for a web page's pieces.
  constexpr std::int32_t kMaxChunks = 1 << 20;
  const auto chunks = ParseNumber<std::int32_t>(*a.Chunks);
  if (!chunks || *chunks < 1 || *chunks > kMaxChunks)
    throw TUsageError{"--chunks takes a whole number from 1 to " + std::to_string(kMaxChunks) + ", not " + *a.Chunks};
  return *chunks;
}

std::optional<std::uint32_t> SeedOf(const TArguments& a) {
  if (!a.Seed) return std::nullopt;
  const auto seed = ParseNumber<std::uint32_t>(*a.Seed);
  if (!seed) throw TUsageError{"--seed takes a number from 0 to 4294967295, not " + *a.Seed};
  return seed;
}

void StartRandom(const std::optional<std::uint32_t>& seed) {
  if (seed) RandomState = *seed;
  else SeedRandomFromClock();
}

int Divide(const TArguments& a, std::ostream& out) {
  if (a.Picture && a.Size) throw TUsageError{"give either a PICTURE or --size, not both"};
  if (!a.Picture && !a.Size) throw TUsageError{"divide needs a PICTURE or --size WxH"};
  const std::int32_t chunks = ChunksOf(a, "divide");
  const std::optional<std::uint32_t> seed = SeedOf(a);

  TMCImage image;
  if (a.Size) {
    const std::size_t x = a.Size->find('x');
    const auto w = x == std::string::npos ? std::nullopt : ParseNumber<std::int32_t>(a.Size->substr(0, x));
    const auto h = x == std::string::npos ? std::nullopt : ParseNumber<std::int32_t>(a.Size->substr(x + 1));
    if (!w || !h || *w < 0 || *h < 0) throw TUsageError{"--size takes WIDTHxHEIGHT, such as 640x480, not " + *a.Size};
    image.ImageWidth = *w;
    image.ImageHeight = *h;
  } else {
    image.LoadFromFile(*a.Picture);
  }

  StartRandom(seed);
  const std::uint32_t before = RandomState;
  image.MakeBreakup(chunks);
  const std::uint32_t after = RandomState;

  const TMCBreakup& breakup = image.Breakup;
  if (a.Json) {
    out << "{\"state_before\": " << before << ", \"state_after\": " << after << ", \"rows\": [";
    for (std::int32_t i = 0; i < breakup.RowCount(); ++i) {
      const TMCRow& row = breakup.Rows(i);
      out << (i ? ", " : "") << "{\"height\": " << row.Height << ", \"cells\": [";
      for (std::int32_t j = 0; j < row.CellCount(); ++j) {
        const TMCCell& c = row.Cells(j);
        out << (j ? ", " : "") << "[" << c.Left << ", " << c.Top << ", " << c.Width << ", " << c.Height << "]";
      }
      out << "]}";
    }
    out << "]}\n";
    return 0;
  }
  out << image.ImageWidth << "x" << image.ImageHeight << " pixels in " << chunks << " chunks, "
      << breakup.RowCount() << (breakup.RowCount() == 1 ? " row" : " rows") << " (random state " << before
      << " before, " << after << " after)\n";
  for (std::int32_t i = 0; i < breakup.RowCount(); ++i) {
    const TMCRow& row = breakup.Rows(i);
    const std::int32_t top = row.CellCount() ? row.Cells(0).Top : 0;
    out << "row " << i << ": top " << top << ", height " << row.Height << ", " << row.CellCount()
        << (row.CellCount() == 1 ? " cell:" : " cells:");
    for (std::int32_t j = 0; j < row.CellCount(); ++j) out << " " << row.Cells(j).Left << ":" << row.Cells(j).Width;
    out << "\n";
  }
  return 0;
}

// Writes text as the whole file at path; the one way the tool writes a text file.
void WriteTextFile(const std::string& path, const std::string& text) {
  TFileStream file(path, TLinkPolicy::Follow);
  file.Write(text.data(), text.size());
  if (!file.Close()) throw Exception("Cannot write file \"" + ExpandFileName(path) + "\". " + SysErrorMessage(file.Error()));
}

// The save's settings, checked before anything is read or written.
TSaveOptions SaveOptionsOf(const TArguments& a) {
  TSaveOptions options;
  if (a.Quality) {
    const auto quality = ParseNumber<std::int32_t>(*a.Quality);
    if (!quality || *quality < 1 || *quality > 100) throw TUsageError{"--quality takes a number from 1 to 100, not " + *a.Quality};
    options.Quality = static_cast<std::uint8_t>(*quality);
  }
  options.Progressive = a.Progressive;
  options.Html.Responsive = a.Responsive;
  options.Html.Lazy = a.Lazy;
  if (a.Alt) {
    if (a.Alt->empty()) throw TUsageError{"--alt takes the text that names the picture, not an empty one"};
    options.Html.Alt = *a.Alt;
  }
  if (a.Page && a.Page->empty()) throw TUsageError{"--page takes a file name"};
  if (a.Html && a.Html->empty()) throw TUsageError{"--html takes a file name"};
  return options;
}

int Save(const TArguments& a, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  if (!a.Picture) throw TUsageError{"save needs a PICTURE"};
  const std::int32_t chunks = ChunksOf(a, "save");
  if (!a.Out) throw TUsageError{"save needs --out FOLDER"};
  const std::optional<std::uint32_t> seed = SeedOf(a);
  const TSaveOptions options = SaveOptionsOf(a);

  TMCImage image;
  image.LoadFromFile(*a.Picture);
  StartRandom(seed);
  image.MakeBreakup(chunks);

  const TFragmentCount counting(chunks, errIsTerminal);
  TSaveProgress progress;
  if (errIsTerminal) {
    progress = [&err](std::int32_t written, std::int32_t total) {
      err << "\rWriting fragments: " << written << " of " << total << (written == total ? "\n" : "") << std::flush;
    };
  }
  std::string html;
  try {
    image.SaveFragments(a.Prefix.value_or(""), *a.Out, html, progress, options);
  } catch (...) {
    if (errIsTerminal) err << "\n";
    throw;
  }
  // The snippet first: it is the only record of the random names, so a page that cannot be
  // written must not lose it.
  if (a.Html) WriteTextFile(*a.Html, html + "\n");
  else out << html << "\n" << std::flush;
  if (a.Page) WriteTextFile(*a.Page, BuildHTMLPage(image.FileName.substr(image.FileName.find_last_of('/') + 1), html));
  return 0;
}

int Preview(const TArguments& a, std::ostream& out) {
  if (!a.Picture) throw TUsageError{"preview needs a PICTURE"};
  if (!a.Out) throw TUsageError{"preview needs --out FILE.png"};
  if (a.Seed && !a.Chunks) throw TUsageError{"--seed goes with --chunks"};
  std::int32_t box = 191;
  if (a.Box) {
    const auto side = ParseNumber<std::int32_t>(*a.Box);
    if (!side || *side < 1 || *side > 4096) throw TUsageError{"--box takes a side from 1 to 4096, not " + *a.Box};
    box = *side;
  }
  const std::optional<std::int32_t> chunks = a.Chunks ? std::optional(ChunksOf(a, "preview")) : std::nullopt;
  const std::optional<std::uint32_t> seed = SeedOf(a);

  TMCImage image;
  image.LoadFromFile(*a.Picture);
  if (chunks) {
    StartRandom(seed);
    image.MakeBreakup(*chunks);
  }
  TBitmap32 target;
  target.SetSize(box, box);
  target.Fill(clWhite);
  image.DrawPreview(target.Canvas(), box, box, chunks.has_value());
  WritePNG(*a.Out, target);

  const TPreviewLayout layout = PreviewLayoutOf(image.ImageWidth, image.ImageHeight, box, box);
  const TRect& p = layout.Placement;
  out << *a.Out << ": " << image.ImageWidth << "x" << image.ImageHeight << " pixels shown " << layout.Width << "x"
      << layout.Height << " at (" << p.Left << ", " << p.Top << ")-(" << p.Right << ", " << p.Bottom << ") in a " << box
      << "x" << box << " box";
  if (chunks) out << ", " << image.Breakup.RowCount() << (image.Breakup.RowCount() == 1 ? " row" : " rows") << " outlined";
  out << "\n";
  return 0;
}

int Join(const TArguments& a, std::ostream& out) {
  if (!a.Picture) throw TUsageError{"join needs a PAGE"};
  if (!a.Out) throw TUsageError{"join needs --out PICTURE.png"};
  const std::string& page = *a.Picture;
  const std::size_t slash = page.find_last_of('/');
  const std::string root = a.Root ? *a.Root : slash == std::string::npos ? std::string() : page.substr(0, slash + 1);

  TBitmap32 picture;
  JoinPage(page, root, picture);
  std::optional<double> psnr;
  if (a.Compare) {
    TBitmap32 original;
    LoadPictureFromFile(original, *a.Compare);
    psnr = PSNR(original, picture);
  }
  WritePNG(*a.Out, picture);
  out << *a.Out << ": " << picture.Width() << "x" << picture.Height() << " pixels\n";
  if (psnr) {
    if (std::isinf(*psnr)) out << "PSNR: inf dB\n";
    else out << "PSNR: " << std::fixed << std::setprecision(2) << *psnr << " dB\n";
  }
  return 0;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  if (command == "help" || command == "--help" || command == "-h") {
    out << kUsage;
    return 0;
  }
  try {
    if (!OptionTable().count(command)) throw TUsageError{"unknown command " + command};
    const TArguments arguments = ParseArguments(args);
    if (command == "info") return Info(arguments, out);
    if (command == "divide") return Divide(arguments, out);
    if (command == "save") return Save(arguments, out, err, errIsTerminal);
    if (command == "preview") return Preview(arguments, out);
    return Join(arguments, out);
  } catch (const TUsageError& e) {
    err << "mosaicer-cli: " << e.Message << "\n\n" << kUsage;
    return 2;
  } catch (const Exception& e) {
    err << MessageForDisplay(e.what()) << "\n";
    if (!e.Detail().empty()) err << e.Detail() << "\n";
    return 1;
  } catch (const std::bad_alloc&) {
    err << "Not enough memory.\n";
    return 1;
  } catch (const std::exception& e) {
    err << MessageForDisplay(e.what()) << "\n";
    return 1;
  }
}

}  // namespace mosaicer
