// The division model, the shared random generator and the random division itself.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "runtime/Files.h"

namespace mosaicer {

std::int32_t TMCRow::AddCell() {
  FCells.push_back(&FStore.emplace_back());
  return CellCount() - 1;
}

TMCCell& TMCRow::Cells(std::int32_t index) {
  if (index < 0 || index >= CellCount()) throw EListError(index);
  return *FCells[static_cast<std::size_t>(index)];
}

const TMCCell& TMCRow::Cells(std::int32_t index) const {
  if (index < 0 || index >= CellCount()) throw EListError(index);
  return *FCells[static_cast<std::size_t>(index)];
}

void TMCRow::SortCells() {
  std::sort(FCells.begin(), FCells.end(), [](const auto& a, const auto& b) { return a->Left < b->Left; });
}

void TMCRow::Clear() {
  FCells.clear();
  FStore.clear();
}

std::int32_t TMCBreakup::AddRow() {
  FRows.push_back(std::make_unique<TMCRow>());
  return RowCount() - 1;
}

TMCRow& TMCBreakup::Rows(std::int32_t index) {
  if (index < 0 || index >= RowCount()) throw EListError(index);
  return *FRows[static_cast<std::size_t>(index)];
}

const TMCRow& TMCBreakup::Rows(std::int32_t index) const {
  if (index < 0 || index >= RowCount()) throw EListError(index);
  return *FRows[static_cast<std::size_t>(index)];
}

void TMCBreakup::Clear() {
  for (auto& row : FRows) row.reset();
  FRows.clear();
}

std::size_t TMCBreakup::CellCount() const {
  std::size_t count = 0;
  for (const auto& row : FRows) count += static_cast<std::size_t>(row->CellCount());
  return count;
}

std::uint32_t RandomState = 0;

void SeedRandomFromClock() { RandomState = static_cast<std::uint32_t>(HighResolutionCounter()); }

std::int32_t RandomBelow(std::int32_t n) {
  RandomState = RandomState * 134775813u + 1u;
  const std::uint64_t product = std::uint64_t{static_cast<std::uint32_t>(n)} * RandomState;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(product >> 32));
}

namespace {

// The integer nearest to the square root of n >= 0 (it never lies halfway).
std::int32_t NearestSquareRoot(std::int32_t n) {
  auto root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(n)));
  while (root * root > n) --root;
  while ((root + 1) * (root + 1) <= n) ++root;
  // Round up when n lies past root + 1/2 squared, that is past root * (root + 1).
  if (n - root * root > root) ++root;
  return static_cast<std::int32_t>(root);
}

// Completes a row whose span has run out with `missing` cells still to place. Each is split off
// the widest cell so far (the first of equals) at a random column, one draw per cell, so a row
// of c cells still draws c - 1 numbers and the same state gives the same row. The caller has
// made sure the row is at least as wide as its cell count, so the widest cell always has two
// columns or more. A heap keyed on width, then list position, finds the widest cell, so a row
// of a million cells does not search its cells again for every missing one.
void CompleteRow(TMCRow& row, std::int32_t missing, std::int32_t top, std::int32_t height) {
  struct TCandidate {
    std::int32_t Width;
    std::int32_t Index;
  };
  // Lower priority: narrower, or as wide and later in the list.
  const auto below = [](const TCandidate& a, const TCandidate& b) {
    return a.Width != b.Width ? a.Width < b.Width : a.Index > b.Index;
  };
  std::vector<TCandidate> heap;
  heap.reserve(static_cast<std::size_t>(row.CellCount()) + static_cast<std::size_t>(missing));
  for (std::int32_t j = 0; j < row.CellCount(); ++j) heap.push_back({row.Cells(j).Width, j});
  std::make_heap(heap.begin(), heap.end(), below);
  for (std::int32_t k = 0; k < missing; ++k) {
    // Only the popped cell changes width, so every entry left in the heap stays current.
    std::pop_heap(heap.begin(), heap.end(), below);
    const std::int32_t widest = heap.back().Index;
    heap.pop_back();
    TMCCell& split = row.Cells(widest);
    const std::int32_t r = RandomBelow(split.Width - 1) + 1;
    const std::int32_t added = row.AddCell();
    TMCCell& cell = row.Cells(added);
    row.Height = height;
    cell.Top = top;
    cell.Height = height;
    cell.Left = split.Left + r;
    cell.Width = split.Width - r;
    split.Width = r;
    heap.push_back({split.Width, widest});
    std::push_heap(heap.begin(), heap.end(), below);
    heap.push_back({cell.Width, added});
    std::push_heap(heap.begin(), heap.end(), below);
  }
}

}  // namespace

void MakeBreakupOf(TMCBreakup& breakup, std::int32_t width, std::int32_t height, std::int32_t count) {
  if (count < 0) throw EInvalidOp();
  const std::int32_t rows = std::max(NearestSquareRoot(count), 1);
  const std::int32_t perRow = count / rows;
  const std::int32_t lastRowCells = count - (rows - 1) * perRow;
  // Every cell needs a column of its own in its row and every row a pixel row of its own.
  if (count > 0 && (width < lastRowCells || height < rows)) {
    throw EBreakupError("A picture of " + std::to_string(width) + "x" + std::to_string(height) +
                        " pixels is too small for " + std::to_string(count) + " chunks");
  }

  breakup.Clear();
  const std::int32_t rowHeight = height / rows;
  for (std::int32_t i = 0; i < rows; ++i) {
    TMCRow& row = breakup.Rows(breakup.AddRow());
    const bool last = i == rows - 1;
    const std::int32_t cells = last ? lastRowCells : perRow;
    const std::int32_t h = last ? height - (rows - 1) * rowHeight : rowHeight;
    const std::int32_t top = i * rowHeight;
    std::int32_t a = 0;
    std::int32_t b = width - 1;
    for (std::int32_t j = 0; j < cells; ++j) {
      TMCCell& cell = row.Cells(row.AddCell());
      row.Height = h;
      cell.Top = top;
      cell.Height = h;
      const std::int32_t d = b - a;
      if (j == cells - 1 || d < 1) {
        cell.Left = a;
        cell.Width = b - a + 1;
        if (j < cells - 1) CompleteRow(row, cells - 1 - j, top, h);
        break;
      }
      const std::int32_t r = RandomBelow(d - 1) + 1;
      const std::int32_t half = d / 2;
      if (r < half) {
        cell.Left = a;
        cell.Width = r;
        a += r;
      } else {
        cell.Left = a + r;
        cell.Width = d - r + 1;
        b = a + r - 1;
      }
    }
    row.SortCells();
  }
}

void TMCImage::MakeBreakup(std::int32_t count) { MakeBreakupOf(Breakup, ImageWidth, ImageHeight, count); }

}  // namespace mosaicer
