// Random sizes, counts and generator states for the division; checks every invariant.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"

using namespace mosaicer;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  std::uint32_t raw[3];
  std::memcpy(raw, data, sizeof raw);
  // Keep sizes and counts where a division is cheap but every edge is reachable.
  const auto width = static_cast<std::int32_t>(raw[0] % 5000);
  const auto height = static_cast<std::int32_t>((raw[0] >> 16) % 5000);
  const auto count = static_cast<std::int32_t>(raw[1] % 6000) - 4;
  const std::uint32_t state = raw[2];

  TMCBreakup breakup;
  RandomState = state;
  try {
    MakeBreakupOf(breakup, width, height, count);
  } catch (const Exception&) {
    Check(breakup.RowCount() == 0);
    Check(RandomState == state);
    return 0;
  }
  const std::uint32_t after = RandomState;
  std::int32_t cells = 0;
  std::int32_t top = 0;
  for (std::int32_t i = 0; i < breakup.RowCount(); ++i) {
    const TMCRow& row = breakup.Rows(i);
    std::int32_t left = 0;
    for (std::int32_t j = 0; j < row.CellCount(); ++j) {
      const TMCCell& c = row.Cells(j);
      Check(c.Left == left && c.Width >= 1 && c.Top == top && c.Height == row.Height && c.Height >= 1);
      left += c.Width;
    }
    Check(row.CellCount() == 0 || left == width);
    cells += row.CellCount();
    top += row.Height;
  }
  Check(cells == count);
  Check(count == 0 || top == height);

  TMCBreakup again;
  RandomState = state;
  MakeBreakupOf(again, width, height, count);
  Check(RandomState == after);
  for (std::int32_t i = 0; i < breakup.RowCount(); ++i)
    for (std::int32_t j = 0; j < breakup.Rows(i).CellCount(); ++j)
      Check(breakup.Rows(i).Cells(j).Left == again.Rows(i).Cells(j).Left);
  return 0;
}
