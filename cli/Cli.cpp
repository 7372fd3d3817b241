#include "cli/Cli.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "cli/Json.h"
#include "cli/PngWriter.h"
#include "cli/Process.h"
#include "core/MCImage.h"
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
      Divides PICTURE at random into N chunks, writes every chunk as a JPEG file
      named after the picture with a random part (photo-k3j9x0qa.jpg) into FOLDER
      (created if only its last level is missing), and prints the one-line HTML
      that puts the picture back together on a web page.
      --prefix P   put P before every file name in the HTML (default: none;
                   give "images/" for a folder images beside the page); P is
                   a URL prefix, so a # or ? in it must be written %23, %3F
      --seed S     as for divide; the names are drawn right after the division
      --html FILE  write the HTML into FILE instead of standard output
      On a terminal, progress is shown on standard error. A failure leaves the
      files written before it, and no half-written file.

  preview PICTURE --out FILE.png [--chunks N] [--seed S] [--box N]
      Draws PICTURE scaled and centred into a white box of N by N pixels (191,
      as in the window, unless --box says otherwise) and writes the box as a PNG
      file. With --chunks, first divides the picture as divide does (--seed as
      there) and draws the division as dotted outlines over the picture.
      --box N    the side of the box, 1 to 4096

  help, --help, -h
      Prints this text.

PICTURE is a JPEG file (.jpg, .jpeg or .jpe). A failure prints its message on
standard error and exits with 1; wrong usage exits with 2.
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

// The command's arguments: one positional picture at most, and --name or --name VALUE options.
struct TArguments {
  std::optional<std::string> Picture;
  std::optional<std::string> Chunks, Seed, Size, Out, Prefix, Html, Box;
  bool Json = false;
};

void Refuse(const std::optional<std::string>& option, const char* name, const char* command) {
  if (option) throw TUsageError{std::string(command) + " does not take " + name};
}

TArguments ParseArguments(const std::vector<std::string>& args, bool takesValues) {
  TArguments parsed;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::optional<std::string>& slot) {
      if (!takesValues) throw TUsageError{"unknown option " + a};
      if (i + 1 >= args.size()) throw TUsageError{a + " needs a value"};
      slot = args[++i];
    };
    if (a == "--json") parsed.Json = true;
    else if (a == "--chunks") value(parsed.Chunks);
    else if (a == "--seed") value(parsed.Seed);
    else if (a == "--size") value(parsed.Size);
    else if (a == "--out") value(parsed.Out);
    else if (a == "--prefix") value(parsed.Prefix);
    else if (a == "--html") value(parsed.Html);
    else if (a == "--box") value(parsed.Box);
    else if (a.size() > 1 && a[0] == '-') throw TUsageError{"unknown option " + a};
    else if (parsed.Picture) throw TUsageError{"more than one picture given"};
    else parsed.Picture = a;
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
  const auto chunks = ParseNumber<std::int32_t>(*a.Chunks);
  if (!chunks) throw TUsageError{"--chunks takes a whole number, not " + *a.Chunks};
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
  Refuse(a.Out, "--out", "divide");
  Refuse(a.Box, "--box", "divide");
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

int Save(const TArguments& a, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  if (!a.Picture) throw TUsageError{"save needs a PICTURE"};
  const std::int32_t chunks = ChunksOf(a, "save");
  if (!a.Out) throw TUsageError{"save needs --out FOLDER"};
  const std::optional<std::uint32_t> seed = SeedOf(a);

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
    image.SaveFragments(a.Prefix.value_or(""), *a.Out, html, progress);
  } catch (...) {
    if (errIsTerminal) err << "\n";
    throw;
  }
  if (!a.Html) {
    out << html << "\n";
    return 0;
  }
  const std::string text = html + "\n";
  TFileStream file(*a.Html, TLinkPolicy::Follow);
  file.Write(text.data(), text.size());
  if (!file.Close()) throw Exception("Cannot write file \"" + ExpandFileName(*a.Html) + "\". " + SysErrorMessage(file.Error()));
  return 0;
}

int Preview(const TArguments& a, std::ostream& out) {
  if (!a.Picture) throw TUsageError{"preview needs a PICTURE"};
  if (!a.Out) throw TUsageError{"preview needs --out FILE.png"};
  Refuse(a.Size, "--size", "preview");
  if (a.Json) throw TUsageError{"preview does not take --json"};
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
    if (command == "info") return Info(ParseArguments(args, false), out);
    if (command == "divide") return Divide(ParseArguments(args, true), out);
    if (command == "save") return Save(ParseArguments(args, true), out, err, errIsTerminal);
    if (command == "preview") return Preview(ParseArguments(args, true), out);
    throw TUsageError{"unknown command " + command};
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
