#include "cli/Join.h"

#include <gumbo.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "jpeg/PictureLoader.h"
#include "runtime/Exceptions.h"
#include "runtime/Files.h"

namespace mosaicer {

namespace {

struct TFragment {
  std::string Src;  // as the page gives it, for messages
  std::int32_t Width = 0, Height = 0;
};

using TRows = std::vector<std::vector<TFragment>>;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

const char* AttributeOf(const GumboNode* node, const char* name) {
  const GumboAttribute* attribute = gumbo_get_attribute(&node->v.element.attributes, name);
  return attribute ? attribute->value : nullptr;
}

std::optional<std::int32_t> NumberAttribute(const GumboNode* node, const char* name) {
  const char* text = AttributeOf(node, name);
  if (!text) return std::nullopt;
  const std::string value(text);
  std::int32_t number = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || ec != std::errc() || end != value.data() + value.size() || number < 1) return std::nullopt;
  return number;
}

bool IsElement(const GumboNode* node, GumboTag tag) {
  return node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == tag;
}

const GumboNode* FirstTable(const GumboNode* node) {
  if (IsElement(node, GUMBO_TAG_TABLE)) return node;
  if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT) return nullptr;
  const GumboVector& children = node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i)
    if (const GumboNode* table = FirstTable(static_cast<const GumboNode*>(children.data[i]))) return table;
  return nullptr;
}

// The fragments of one row, in document order, however deep the row nests them.
void CollectImages(const GumboNode* node, std::vector<TFragment>& cells) {
  if (node->type != GUMBO_NODE_ELEMENT) return;
  if (IsElement(node, GUMBO_TAG_IMG)) {
    const char* src = AttributeOf(node, "src");
    TFragment fragment{src ? src : "", 0, 0};
    const auto width = NumberAttribute(node, "width"), height = NumberAttribute(node, "height");
    if (!src || !*src || !width || !height)
      throw Exception("Fragment " + Quoted(fragment.Src) + " lacks a src, or a width and height of 1 or more, in the page");
    fragment.Width = *width;
    fragment.Height = *height;
    cells.push_back(fragment);
    return;
  }
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) CollectImages(static_cast<const GumboNode*>(children.data[i]), cells);
}

// The outer table's own rows: its tr children, or those of its row groups (the parser adds a
// tbody where the page has none).
void CollectRows(const GumboNode* node, TRows& rows) {
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) {
    const auto* child = static_cast<const GumboNode*>(children.data[i]);
    if (IsElement(child, GUMBO_TAG_TR)) {
      rows.emplace_back();
      CollectImages(child, rows.back());
      if (rows.back().empty()) rows.pop_back();
    } else if (IsElement(child, GUMBO_TAG_TBODY) || IsElement(child, GUMBO_TAG_THEAD) || IsElement(child, GUMBO_TAG_TFOOT)) {
      CollectRows(child, rows);
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ReadWholeFile(const std::string& path) {
  const TFileHandle file = OpenFileForReading(path);
  std::string text;
  char block[65536];
  for (;;) {
    const ssize_t n = read(file.Fd(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception("Cannot read file " + Quoted(path) + ". " + SysErrorMessage(errno));
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  return text;
}

TRows RowsOfPage(const std::string& page) {
  const std::string text = ReadWholeFile(page);
  const std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> parsed(
      gumbo_parse_with_options(&kGumboDefaultOptions, text.data(), text.size()),
      [](GumboOutput* output) { gumbo_destroy_output(&kGumboDefaultOptions, output); });
  TRows rows;
  if (const GumboNode* table = FirstTable(parsed->document)) CollectRows(table, rows);
  if (rows.empty()) throw Exception("The page " + Quoted(page) + " holds no table of fragment images");
  return rows;
}

}  // namespace

void JoinPage(const std::string& page, const std::string& root, TBitmap32& picture) {
  const TRows rows = RowsOfPage(page);
  std::int64_t width = 0, height = 0;
  for (const auto& cell : rows.front()) width += cell.Width;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::int64_t rowWidth = 0;
    for (const TFragment& cell : rows[i]) {
      if (cell.Height != rows[i].front().Height)
        throw Exception("Row " + std::to_string(i) + " is " + std::to_string(rows[i].front().Height) +
                        " pixels high, but fragment " + Quoted(cell.Src) + " is " + std::to_string(cell.Height));
      rowWidth += cell.Width;
    }
    if (rowWidth != width)
      throw Exception("The cells of row " + std::to_string(i) + " add up to " + std::to_string(rowWidth) +
                      " pixels, not the picture's " + std::to_string(width) + ": fragment " + Quoted(rows[i].back().Src) +
                      " ends it");
    height += rows[i].front().Height;
  }
  if (width > std::numeric_limits<std::int32_t>::max() || height > std::numeric_limits<std::int32_t>::max())
    throw Exception("The page's fragments make a picture too large to rebuild");
  TBitmap32& joined = picture;
  joined.SetSize(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));

  const std::string folder = root.empty() || root.back() == '/' ? root : root + "/";
  std::int32_t top = 0;
  for (const auto& row : rows) {
    std::int32_t left = 0;
    for (const TFragment& cell : row) {
      TBitmap32 fragment;
      const std::string name = PercentDecoded(cell.Src);
      // The system would read the name only up to the zero, which is another file.
      if (name.find('\0') != std::string::npos)
        throw Exception("Fragment " + Quoted(cell.Src) + " cannot be loaded: its name holds a zero byte");
      try {
        LoadPictureFromFile(fragment, folder + name);
      } catch (const std::exception& e) {
        throw Exception("Fragment " + Quoted(cell.Src) + " cannot be loaded: " + e.what());
      }
      if (fragment.Width() != cell.Width || fragment.Height() != cell.Height)
        throw Exception("Fragment " + Quoted(cell.Src) + " is " + std::to_string(fragment.Width()) + "x" +
                        std::to_string(fragment.Height()) + " pixels, but its tag says " + std::to_string(cell.Width) +
                        "x" + std::to_string(cell.Height));
      joined.Draw({left, top, left + cell.Width, top + cell.Height}, {0, 0, cell.Width, cell.Height}, fragment);
      left += cell.Width;
    }
    top += row.front().Height;
  }
}

double PSNR(const TBitmap32& a, const TBitmap32& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height())
    throw Exception("The original is " + std::to_string(a.Width()) + "x" + std::to_string(a.Height()) +
                    " pixels, the rebuilt picture " + std::to_string(b.Width()) + "x" + std::to_string(b.Height()));
  double squares = 0;
  for (std::int32_t y = 0; y < a.Height(); ++y) {
    const TColor32* p = a.ScanLine(y);
    const TColor32* q = b.ScanLine(y);
    for (std::int32_t x = 0; x < a.Width(); ++x) {
      const int dr = RedOf(p[x]) - RedOf(q[x]), dg = GreenOf(p[x]) - GreenOf(q[x]), db = BlueOf(p[x]) - BlueOf(q[x]);
      squares += dr * dr + dg * dg + db * db;
    }
  }
  const double samples = 3.0 * a.Width() * a.Height();
  if (squares == 0 || samples == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 * samples / squares);
}

}  // namespace mosaicer
