// Writing the fragments: random names, the HTML that puts the picture back together, and one
// JPEG file per cell.
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "core/MCImage.h"
#include "jpeg/JpgImg.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "runtime/Files.h"

namespace mosaicer {

namespace {

constexpr char kNameAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::int32_t kNameLength = 8;
constexpr char kSeparator = '/';

// The file name without folder and without its last extension.
std::string BaseNameOf(const std::string& path) {
  std::string name = path.substr(path.find_last_of(kSeparator) + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

// An attribute value that cannot end its quotes or start markup.
std::string HtmlAttribute(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A file name as a URL path segment: characters that would end the path (#, ?), start an escape
// (%), be read as a folder separator (\) or a scheme (:), or be dropped (space and control
// characters) are percent-encoded, and so is every byte above 127: a browser reads raw ones in
// the page's charset, and names need not be UTF-8, so only escaped bytes reach the server as
// they are on disk. The rest stays.
std::string UrlFileName(const std::string& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '%' || c == '#' || c == '?' || c == '\\' || c == ':') {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

void CheckSavable(const TMCImage& image) {
  if (image.Bitmap.Empty()) throw Exception("No picture is loaded, so there is nothing to save");
  const std::int64_t width = image.Bitmap.Width(), height = image.Bitmap.Height();
  image.Breakup.ForEachCell([&](const TMCCell& c, std::int32_t i, std::int32_t j) {
    const bool inside = c.Width >= 1 && c.Height >= 1 && c.Left >= 0 && c.Top >= 0 &&
                        std::int64_t{c.Left} + c.Width <= width && std::int64_t{c.Top} + c.Height <= height;
    if (!inside)
      throw EBreakupError("The division does not fit the " + std::to_string(width) + "x" + std::to_string(height) +
                          " picture: cell " + std::to_string(j) + " of row " + std::to_string(i) + " is " +
                          std::to_string(c.Width) + "x" + std::to_string(c.Height) + " pixels at " +
                          std::to_string(c.Left) + "," + std::to_string(c.Top));
  });
}

// Names the whole picture as one image to assistive technology; its fragments stay decorative.
std::string NameAttributes(const THtmlOptions& options) {
  return options.Alt.empty() ? "" : " role=\"img\" aria-label=\"" + HtmlAttribute(options.Alt) + "\"";
}

// width and height stay on every image, so nothing shifts while lazy fragments arrive.
std::string LoadingAttributes(const THtmlOptions& options) {
  return options.Lazy ? " loading=\"lazy\" decoding=\"async\"" : "";
}

// One band per flex row whose height follows from its aspect ratio, so the box has its final
// size before any image loads. Flex items are laid out one after the other, each starting where
// the one before ends, so neighbours share their edges exactly and snap to the same device
// pixel; percentages computed one by one do not, and open hairline seams at some widths.
std::string BuildResponsiveHTML(const TMCImage& image, const std::string& prefix, const THtmlOptions& options) {
  const std::string width = std::to_string(image.ImageWidth);
  const std::string src = HtmlAttribute(prefix);
  std::string html = "<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\"" + NameAttributes(options) +
                     " style=\"display:block;width:100%;max-width:" + width + "px\"><tbody style=\"display:block\">";
  for (std::int32_t i = 0; i < image.Breakup.RowCount(); ++i) {
    const TMCRow& row = image.Breakup.Rows(i);
    html += "<tr style=\"display:flex;aspect-ratio:" + width + "/" + std::to_string(row.Height) + "\">";
    for (std::int32_t j = 0; j < row.CellCount(); ++j) {
      const TMCCell& cell = row.Cells(j);
      const std::string cellWidth = std::to_string(cell.Width);
      html += "<td style=\"display:block;flex:" + cellWidth + " 0 0;min-width:0;padding:0\">";
      html += "<img border=\"0\" width=\"" + cellWidth + "\" height=\"" + std::to_string(cell.Height) + "\" alt=\"\"" +
              LoadingAttributes(options) + " style=\"display:block;width:100%;height:100%\" src=\"" + src +
              HtmlAttribute(UrlFileName(cell.FileName)) + "\" />";
      html += "</td>";
    }
    html += "</tr>";
  }
  html += "</tbody></table>";
  return html;
}

std::string BuildHTML(const TMCImage& image, const std::string& prefix, const THtmlOptions& options) {
  if (options.Responsive) return BuildResponsiveHTML(image, prefix, options);
  const std::string width = std::to_string(image.ImageWidth);
  const std::string src = HtmlAttribute(prefix);
  std::string html = "<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"" + width + "\" height=\"" +
                     std::to_string(image.ImageHeight) + "\"" + NameAttributes(options) + ">";
  for (std::int32_t i = 0; i < image.Breakup.RowCount(); ++i) {
    const TMCRow& row = image.Breakup.Rows(i);
    const std::string rowHeight = std::to_string(row.Height);
    html += "<tr height=\"" + rowHeight + "\"><td width=\"" + width + "\">";
    html += "<table border=\"0\" cellspacing=\"0\" cellpadding=\"0\" width=\"" + width + "\" height=\"" + rowHeight +
            "\"><tr>";
    for (std::int32_t j = 0; j < row.CellCount(); ++j) {
      const TMCCell& cell = row.Cells(j);
      const std::string cellWidth = std::to_string(cell.Width);
      html += "<td width=\"" + cellWidth + "\">";
      // display:block keeps images off the text baseline, so bands do not grow in standards mode.
      html += "<img border=\"0\" width=\"" + cellWidth + "\" height=\"" + std::to_string(cell.Height) +
              "\" alt=\"\"" + LoadingAttributes(options) + " style=\"display:block\" src=\"" + src + HtmlAttribute(UrlFileName(cell.FileName)) + "\" />";
      html += "</td>";
    }
    html += "</tr></table></td></tr>";
  }
  html += "</table>";
  return html;
}

// One thread makes all the files, so beyond a few encoding threads it is the limit.
constexpr std::int32_t kMaxEncodeThreads = 4;

// One fragment encoded in memory, waiting for its file.
struct TEncoded {
  std::unique_ptr<TMemoryStream> Bytes;
  std::exception_ptr Error;
  bool Ready = false;
};

// Hands the cells out for encoding in order and gives the encoded fragments back in order. At
// most Window fragments are ahead of the one to write next, which bounds the memory they hold.
class TEncodeQueue {
public:
  TEncodeQueue(const TBitmap32& picture, std::vector<const TMCCell*> cells, std::size_t window,
               const TSaveOptions& options)
      : FPicture(picture), FCells(std::move(cells)), FSlots(FCells.size()), FWindow(window), FOptions(options) {}

  // An extra thread: encodes cells until none is left or the queue stops.
  void Work() {
    std::unique_lock lock(FLock);
    for (;;) {
      std::size_t index = 0;
      if (Claim(index)) {
        lock.unlock();
        Encode(index);
        lock.lock();
      } else if (FStopped || FNextToEncode == FCells.size()) {
        return;
      } else {
        FChanged.wait(lock);
      }
    }
  }

  // The next fragment in cell order; the calling thread encodes cells itself while it waits.
  TEncoded& Next() {
    std::unique_lock lock(FLock);
    for (;;) {
      if (FSlots[FNextToWrite].Ready) return FSlots[FNextToWrite];
      std::size_t index = 0;
      if (Claim(index)) {
        lock.unlock();
        Encode(index);
        lock.lock();
      } else {
        FChanged.wait(lock);
      }
    }
  }

  // The fragment Next gave is in its file: its bytes go, and one more cell may start.
  void Written() {
    const std::lock_guard lock(FLock);
    FSlots[FNextToWrite++] = {};
    FChanged.notify_all();
  }

  // No cell starts after this; those being encoded finish.
  void Stop() {
    const std::lock_guard lock(FLock);
    FStopped = true;
    FChanged.notify_all();
  }

private:
  bool Claim(std::size_t& index) {
    if (FStopped || FNextToEncode == FCells.size() || FNextToEncode >= FNextToWrite + FWindow) return false;
    index = FNextToEncode++;
    return true;
  }

  void Encode(std::size_t index) {
    TEncoded& slot = FSlots[index];
    try {
      const TMCCell& cell = *FCells[index];
      TJPEGImage jpeg;
      jpeg.Quality = FOptions.Quality;
      jpeg.Progressive = FOptions.Progressive;
      slot.Bytes = std::make_unique<TMemoryStream>();
      jpeg.SaveRectToStream(FPicture, {cell.Left, cell.Top, cell.Left + cell.Width, cell.Top + cell.Height},
                            slot.Bytes.get());
    } catch (...) {
      slot.Bytes.reset();
      slot.Error = std::current_exception();
    }
    const std::lock_guard lock(FLock);
    slot.Ready = true;
    FChanged.notify_all();
  }

  const TBitmap32& FPicture;
  const std::vector<const TMCCell*> FCells;
  std::vector<TEncoded> FSlots;  // written only by the thread that claimed the cell, until Ready
  const std::size_t FWindow;
  const TSaveOptions& FOptions;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::size_t FNextToEncode = 0;
  std::size_t FNextToWrite = 0;
  bool FStopped = false;
};

// The extra encoding threads, stopped and joined on every way out of the save.
class TEncodeThreads {
public:
  TEncodeThreads(TEncodeQueue& queue, std::int32_t count) : FQueue(queue) {
    // The threads keep termination signals held back, so that a handler runs on the thread
    // that makes the files and knows what is half written.
    const TTerminationSignalsBlocked held;
    try {
      for (std::int32_t i = 0; i < count; ++i) FThreads.emplace_back([&queue] { queue.Work(); });
    } catch (const std::system_error&) {
      // Fewer threads than asked for only make the save slower.
    }
  }
  TEncodeThreads(const TEncodeThreads&) = delete;
  TEncodeThreads& operator=(const TEncodeThreads&) = delete;
  ~TEncodeThreads() {
    FQueue.Stop();
    for (std::thread& t : FThreads) t.join();
  }

private:
  TEncodeQueue& FQueue;
  std::vector<std::thread> FThreads;
};

// What a save holds at once besides the picture: each encoding thread's coefficient store for
// a whole fragment (3 bytes a pixel at 2 x 2 chroma subsampling, kept for the optimised Huffman
// tables) and the encoded bytes of every fragment being encoded or waiting for its file,
// counted generously at a byte a pixel.
std::uint64_t SaveMemoryNeed(const TMCBreakup& breakup, std::int32_t threads, std::size_t window) {
  std::uint64_t largest = 0;
  breakup.ForEachCell([&](const TMCCell& cell) {
    largest = std::max<std::uint64_t>(largest, std::uint64_t(cell.Width) * std::uint64_t(cell.Height));
  });
  const std::uint64_t cells = breakup.CellCount();
  const std::uint64_t held = std::min<std::uint64_t>(cells, static_cast<std::uint64_t>(threads) + window);
  return largest * (3 * static_cast<std::uint64_t>(threads) + held);
}

std::int32_t EncodeThreadsFor(std::int32_t asked, std::size_t cells) {
  std::int32_t count = asked;
  if (count <= 0) count = std::clamp(static_cast<std::int32_t>(std::thread::hardware_concurrency()), 1, kMaxEncodeThreads);
  return static_cast<std::int32_t>(std::min<std::size_t>(static_cast<std::size_t>(count), std::max<std::size_t>(cells, 1)));
}

}  // namespace

std::string RandomName(std::int32_t length, const std::unordered_set<std::string>& used) {
  // An empty name cannot be drawn anew; it is returned as it is rather than looping forever.
  if (length <= 0) return {};
  std::string name(static_cast<std::size_t>(length), ' ');
  do {
    for (char& c : name) c = kNameAlphabet[RandomBelow(36)];
  } while (used.contains(name));
  return name;
}

void TMCImage::SaveFragments(const std::string& prefix, const std::string& folder, std::string& result,
                             const TSaveProgress& progress, const TSaveOptions& options) {
  CheckSavable(*this);
  const std::size_t cellCount = Breakup.CellCount();
  const std::int32_t threads = EncodeThreadsFor(EncodeThreads, cellCount);
  const std::size_t window = 4 * static_cast<std::size_t>(threads);
  CheckMemoryFor(SaveMemoryNeed(Breakup, threads, window), "save the fragments");

  const std::string baseName = BaseNameOf(FileName);
  std::int32_t total = 0;
  {
    std::unordered_set<std::string> usedNames;
    usedNames.reserve(cellCount);
    Breakup.ForEachCell([&](TMCCell& cell) {
      const std::string name = RandomName(kNameLength, usedNames);
      usedNames.insert(name);
      cell.FileName = baseName + "-" + name + ".jpg";
    });
    total = static_cast<std::int32_t>(usedNames.size());
  }

  result = BuildHTML(*this, prefix, options.Html);

  std::vector<const TMCCell*> cells;
  cells.reserve(cellCount);
  Breakup.ForEachCell([&](const TMCCell& cell) { cells.push_back(&cell); });
  TEncodeQueue queue(Bitmap, cells, window, options);
  const TEncodeThreads extra(queue, threads - 1);

  // Files are made here alone, in cell order: a failure leaves the files before the failing
  // cell and nothing after it, however many threads encode.
  std::int32_t written = 0;
  for (const TMCCell* cell : cells) {
    TEncoded& fragment = queue.Next();
    std::string directory;
    if (!folder.empty()) {
      if (!DirectoryExists(folder)) CreateDir(folder);  // a failure shows when the file cannot be made
      directory = folder.back() == kSeparator ? folder : folder + kSeparator;
    }
    const std::string path = directory + cell->FileName;
    if (fragment.Error) std::rethrow_exception(fragment.Error);  // its file was never made
    SaveEncodedToFile(fragment.Bytes->Bytes(), path);
    queue.Written();
    if (progress) progress(++written, total);
  }
}

std::string BuildHTMLPage(const std::string& title, const std::string& snippet) {
  return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
         HtmlAttribute(title) + "</title>\n</head>\n<body>\n" + snippet + "\n</body>\n</html>\n";
}

std::string TMCImage::SaveFragments(const std::string& prefix, const std::string& folder) {
  std::string result;
  SaveFragments(prefix, folder, result);
  return result;
}

}  // namespace mosaicer
