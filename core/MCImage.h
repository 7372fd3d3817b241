// The source-image document: the opened picture, its division into rows of cells, and the
// process-wide random generator the division and the fragment names draw from.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "runtime/Bitmap32.h"
#include "runtime/Canvas.h"

namespace mosaicer {

// One fragment of the picture: columns Left to Left + Width - 1, rows Top to Top + Height - 1.
struct TMCCell {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::string FileName;
};

// One horizontal band. Each cell stays where it was made, so a reference obtained by index stays
// valid while cells are added or sorted.
class TMCRow {
public:
  std::int32_t AddCell();
  std::int32_t CellCount() const { return static_cast<std::int32_t>(FCells.size()); }
  TMCCell& Cells(std::int32_t index);
  const TMCCell& Cells(std::int32_t index) const;
  void SortCells();
  void Clear();

  std::int32_t Height = 0;

private:
  // The cells live in a deque, which keeps them in place as it grows and allocates them in
  // blocks rather than one by one; the list order is the pointers'.
  std::deque<TMCCell> FStore;
  std::vector<TMCCell*> FCells;
};

// The whole division, rows top to bottom.
class TMCBreakup {
public:
  std::int32_t AddRow();
  std::int32_t RowCount() const { return static_cast<std::int32_t>(FRows.size()); }
  TMCRow& Rows(std::int32_t index);
  const TMCRow& Rows(std::int32_t index) const;
  void Clear();

  // How many cells all rows hold together.
  std::size_t CellCount() const;

  // Visits every cell in order, row by row and left to right within a row. The visitor takes the
  // cell, or the cell with its row's index and its own index in that row.
  template <typename F>
  void ForEachCell(F&& visit) {
    VisitCells(*this, visit);
  }
  template <typename F>
  void ForEachCell(F&& visit) const {
    VisitCells(*this, visit);
  }

private:
  template <typename Self, typename F>
  static void VisitCells(Self& self, F& visit) {
    for (std::int32_t i = 0; i < self.RowCount(); ++i) {
      auto& row = self.Rows(i);
      for (std::int32_t j = 0; j < row.CellCount(); ++j) {
        if constexpr (std::is_invocable_v<F&, decltype(row.Cells(j)), std::int32_t, std::int32_t>) visit(row.Cells(j), i, j);
        else visit(row.Cells(j));
      }
    }
  }

  std::vector<std::unique_ptr<TMCRow>> FRows;
};

// The shared generator: one 32-bit state for the whole process, 0 at start.
extern std::uint32_t RandomState;

// Sets RandomState from a high-resolution clock.
void SeedRandomFromClock();

// Advances RandomState by one linear congruential step (x * 134775813 + 1 mod 2^32) and returns
// the upper 32 bits of n times the new state, n read as unsigned: 0 to n - 1 for n >= 1.
std::int32_t RandomBelow(std::int32_t n);

// Fills breakup with a new random division of a width x height picture into count cells.
// Fails before touching breakup when count is negative (EInvalidOp) or when the picture cannot
// give every cell at least one pixel each way (EBreakupError).
void MakeBreakupOf(TMCBreakup& breakup, std::int32_t width, std::int32_t height, std::int32_t count);

// A name of length characters from a to z and 0 to 9, length draws of RandomBelow(36) in
// position order, drawn anew as a whole while it is in used. The caller adds it to used; a hash
// set keeps each look-up constant, so naming a million cells costs a million look-ups.
std::string RandomName(std::int32_t length, const std::unordered_set<std::string>& used);

// Told after each fragment file: how many are written, out of how many.
using TSaveProgress = std::function<void(std::int32_t written, std::int32_t total)>;

// What a save may add to the default markup. All off gives the default HTML byte for byte.
struct THtmlOptions {
  bool Responsive = false;  // scales to its container's width, never wider than the picture
  std::string Alt;          // when not empty: the whole picture is one image of this name
  bool Lazy = false;        // fragments load lazily and decode asynchronously
};

// The encoder's settings and the markup of a save.
struct TSaveOptions {
  std::uint8_t Quality = 75;  // 1 to 100
  bool Progressive = false;
  THtmlOptions Html;
};

// A whole HTML5 page around a snippet: its title is text, escaped here.
std::string BuildHTMLPage(const std::string& title, const std::string& snippet);

// Where DrawPreview puts a width x height picture in a box: the scale s (64-bit significand),
// the scaled size, rounded half to even, and the placement of the scaled picture in the box.
struct TPreviewLayout {
  long double Scale = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  TRect Placement;
};
TPreviewLayout PreviewLayoutOf(std::int32_t width, std::int32_t height, std::int32_t boxWidth, std::int32_t boxHeight);

// round(value x scale), half to even, in the precision of the scale.
std::int32_t ScaledCoordinate(std::int32_t value, long double scale);

class TMCImage {
public:
  TMCImage() = default;
  virtual ~TMCImage() = default;
  TMCImage(const TMCImage&) = delete;
  TMCImage& operator=(const TMCImage&) = delete;

  // Loads the picture and sets the four descriptive fields; on failure they keep their values.
  // The division is left as it was.
  void LoadFromFile(const std::string& path);

  // Replaces the division with a new random one of count cells.
  void MakeBreakup(std::int32_t count);

  // Names every cell afresh, builds the HTML that puts the fragments back together (src is
  // prefix followed by the cell's file name), assigns it to result, and only then writes one
  // JPEG file per cell into folder (empty: the current directory; missing: created, one level).
  // Refuses, before anything changes, a document without a picture or with a cell that is
  // empty or reaches outside the picture, or whose encoding would take more memory than the
  // process may still use (EOutOfMemory). A file that fails is removed; those before it stay.
  // Fragments are encoded on up to EncodeThreads threads, but only the calling thread makes
  // files, in cell order, and reports progress, so the files, the names and what a failure
  // leaves are the same for any number of threads.
  void SaveFragments(const std::string& prefix, const std::string& folder, std::string& result,
                     const TSaveProgress& progress = {}, const TSaveOptions& options = {});
  std::string SaveFragments(const std::string& prefix, const std::string& folder);

  // Draws the picture scaled to fit the box whose top-left corner is target's origin, centred
  // along the side that does not fill it, with the dotted outline of every cell when
  // showBreakup is set. Fails with EInvalidOperation, drawing nothing, when a scaled side is 0.
  // The scaled picture is kept for the next call with the same box and unchanged pixels, so a
  // new division only redraws the outlines.
  void DrawPreview(TCanvas& target, std::int32_t boxWidth, std::int32_t boxHeight, bool showBreakup);

  // How many times DrawPreview has resampled the picture.
  std::int32_t PreviewResamples() const { return FPreviewResamples; }

  TBitmap32 Bitmap;
  std::int32_t ImageWidth = 0;
  std::int32_t ImageHeight = 0;
  std::int64_t FileSize = 0;  // bytes, as the open file had them when it was read
  std::string FileName;
  TMCBreakup Breakup;
  // Threads that encode fragments during a save: 0 for one per processor core (at most 4).
  std::int32_t EncodeThreads = 0;

private:
  const TBitmap32& ScaledPicture(std::int32_t width, std::int32_t height);

  TBitmap32 FScaled;  // the picture at the last preview's size, without outlines
  std::uint64_t FScaledStamp = 0;  // Bitmap's change stamp FScaled was made at; 0 for none
  std::int32_t FPreviewResamples = 0;
};

}  // namespace mosaicer
