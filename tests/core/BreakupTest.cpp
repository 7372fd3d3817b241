// The division model, the shared generator and the random division.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/MCImage.h"
#include "runtime/Exceptions.h"
#include "tests/support/ExpectThrow.h"

namespace mosaicer {
namespace {

// "Left:Width" of every cell of a row, in list order.
std::vector<std::string> Cells(const TMCRow& row) {
  std::vector<std::string> out;
  for (std::int32_t j = 0; j < row.CellCount(); ++j)
    out.push_back(std::to_string(row.Cells(j).Left) + ":" + std::to_string(row.Cells(j).Width));
  return out;
}

std::vector<std::int32_t> CellCounts(const TMCBreakup& b) {
  std::vector<std::int32_t> out;
  for (std::int32_t i = 0; i < b.RowCount(); ++i) out.push_back(b.Rows(i).CellCount());
  return out;
}

TMCBreakup Divide(std::int32_t w, std::int32_t h, std::int32_t n, std::uint32_t state) {
  RandomState = state;
  TMCBreakup b;
  MakeBreakupOf(b, w, h, n);
  return b;
}

// Every promise a division makes to the preview and the export.
void ExpectSound(const TMCBreakup& b, std::int32_t w, std::int32_t h, std::int32_t n) {
  std::int32_t cells = 0;
  std::int32_t top = 0;
  for (std::int32_t i = 0; i < b.RowCount(); ++i) {
    const TMCRow& row = b.Rows(i);
    ASSERT_GE(row.Height, 1) << "row " << i;
    std::int32_t left = 0;
    for (std::int32_t j = 0; j < row.CellCount(); ++j) {
      const TMCCell& c = row.Cells(j);
      ASSERT_EQ(c.Left, left) << "row " << i << " cell " << j;
      ASSERT_GE(c.Width, 1) << "row " << i << " cell " << j;
      ASSERT_EQ(c.Top, top) << "row " << i << " cell " << j;
      ASSERT_EQ(c.Height, row.Height) << "row " << i << " cell " << j;
      left += c.Width;
    }
    ASSERT_EQ(left, w) << "row " << i;
    cells += row.CellCount();
    top += row.Height;
  }
  EXPECT_EQ(top, h);
  EXPECT_EQ(cells, n);
}

TEST(BreakupModel, NewRowsAndCellsStartEmpty) {
  TMCBreakup b;
  EXPECT_EQ(b.RowCount(), 0);
  b.Clear();
  EXPECT_EQ(b.RowCount(), 0);
  TMCRow& row = b.Rows(b.AddRow());
  EXPECT_EQ(row.Height, 0);
  EXPECT_EQ(row.AddCell(), 0);
  EXPECT_EQ(row.AddCell(), 1);
  EXPECT_EQ(row.AddCell(), 2);
  const TMCCell& c = row.Cells(2);
  EXPECT_EQ(c.Left, 0);
  EXPECT_EQ(c.Top, 0);
  EXPECT_EQ(c.Width, 0);
  EXPECT_EQ(c.Height, 0);
  EXPECT_TRUE(c.FileName.empty());
  EXPECT_EQ(row.Height, 0);
}

TEST(BreakupModel, SortCellsOrdersByLeftAndKeepsReferences) {
  TMCRow row;
  for (std::int32_t left : {0, 1, 345, 14}) row.Cells(row.AddCell()).Left = left;
  TMCCell& last = row.Cells(3);
  last.FileName = "moved";
  row.SortCells();
  EXPECT_EQ((std::vector<std::int32_t>{row.Cells(0).Left, row.Cells(1).Left, row.Cells(2).Left, row.Cells(3).Left}),
            (std::vector<std::int32_t>{0, 1, 14, 345}));
  EXPECT_EQ(&row.Cells(2), &last);
  EXPECT_EQ(last.Left, 14);
}

TEST(BreakupModel, IndexOutsideTheListFailsAndChangesNothing) {
  TMCBreakup b;
  EXPECT_THROW_MSG(b.Rows(0), EListError, "List index out of bounds (0)");
  TMCRow& row = b.Rows(b.AddRow());
  row.AddCell();
  EXPECT_THROW_MSG(row.Cells(1), EListError, "List index out of bounds (1)");
  EXPECT_THROW_MSG(row.Cells(-1), EListError, "List index out of bounds (-1)");
  EXPECT_EQ(row.CellCount(), 1);
  b.Clear();
  EXPECT_EQ(b.RowCount(), 0);
}

// The walk every whole-division pass uses: rows top to bottom, cells in list order, empty rows
// skipped, and the indices the messages name.
TEST(BreakupModel, ForEachCellVisitsRowsThenCellsInOrder) {
  TMCBreakup b;
  for (const std::int32_t cells : {2, 0, 3}) {
    TMCRow& row = b.Rows(b.AddRow());
    for (std::int32_t j = 0; j < cells; ++j) row.Cells(row.AddCell()).Left = 10 * b.RowCount() + j;
  }
  EXPECT_EQ(b.CellCount(), 5u);
  std::vector<std::string> seen;
  std::as_const(b).ForEachCell([&](const TMCCell& cell, std::int32_t i, std::int32_t j) {
    seen.push_back(std::to_string(i) + "/" + std::to_string(j) + "=" + std::to_string(cell.Left));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"0/0=10", "0/1=11", "2/0=30", "2/1=31", "2/2=32"}));
  b.ForEachCell([](TMCCell& cell) { cell.FileName = "x" + std::to_string(cell.Left); });
  EXPECT_EQ(b.Rows(2).Cells(1).FileName, "x31");
  EXPECT_EQ(TMCBreakup().CellCount(), 0u);
}

TEST(Generator, SequenceFromZero) {
  RandomState = 0;
  const std::vector<std::uint32_t> states = {1, 134775814, 3698175007u, 870078620, 1172187917};
  const std::vector<std::int32_t> draws = {0, 3, 86, 20, 27};
  for (std::size_t k = 0; k < states.size(); ++k) {
    EXPECT_EQ(RandomBelow(100), draws[k]) << "draw " << k;
    EXPECT_EQ(RandomState, states[k]) << "draw " << k;
  }
}

TEST(Generator, ZeroAndNegativeRanges) {
  RandomState = 0;
  EXPECT_EQ(RandomBelow(0), 0);
  EXPECT_EQ(RandomState, 1u);
  // -1 is read as 2^32 - 1, which gives the new state minus one, here negative as signed.
  RandomState = 134775814;
  EXPECT_EQ(RandomBelow(-1), static_cast<std::int32_t>(3698175006u));
  EXPECT_EQ(RandomState, 3698175007u);
}

TEST(Generator, ClockSeedsDiffer) {
  SeedRandomFromClock();
  const std::uint32_t first = RandomState;
  std::uint32_t second = first;
  for (int k = 0; k < 1000 && second == first; ++k) {
    SeedRandomFromClock();
    second = RandomState;
  }
  EXPECT_NE(first, second);
}

TEST(MakeBreakup, WorkedDivision400x300Into16) {
  const TMCBreakup b = Divide(400, 300, 16, 0);
  EXPECT_EQ(RandomState, 2039224980u);
  ASSERT_EQ(b.RowCount(), 4);
  const std::vector<std::vector<std::string>> rows = {{"0:1", "1:13", "14:331", "345:55"},
                                                       {"0:81", "81:87", "168:155", "323:77"},
                                                       {"0:127", "127:44", "171:85", "256:144"},
                                                       {"0:170", "170:19", "189:100", "289:111"}};
  for (std::int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Cells(b.Rows(i)), rows[static_cast<std::size_t>(i)]) << "row " << i;
    EXPECT_EQ(b.Rows(i).Height, 75);
    EXPECT_EQ(b.Rows(i).Cells(0).Top, 75 * i);
  }
  ExpectSound(b, 400, 300, 16);
}

TEST(MakeBreakup, WorkedDivision200x101Into7) {
  RandomState = 12345;
  EXPECT_EQ(RandomBelow(198), 76);
  EXPECT_EQ(RandomState, 1655067934u);
  const TMCBreakup b = Divide(200, 101, 7, 12345);
  EXPECT_EQ(RandomState, 2377737157u);
  ASSERT_EQ(b.RowCount(), 3);
  EXPECT_EQ(Cells(b.Rows(0)), (std::vector<std::string>{"0:77", "77:123"}));
  EXPECT_EQ(Cells(b.Rows(1)), (std::vector<std::string>{"0:58", "58:142"}));
  EXPECT_EQ(Cells(b.Rows(2)), (std::vector<std::string>{"0:16", "16:101", "117:83"}));
  EXPECT_EQ(b.Rows(0).Height, 33);
  EXPECT_EQ(b.Rows(1).Height, 33);
  EXPECT_EQ(b.Rows(2).Height, 35);
  EXPECT_EQ(b.Rows(2).Cells(0).Top, 66);
  ExpectSound(b, 200, 101, 7);
}

struct TShape {
  std::int32_t N, Rows, PerRow, Last;
};

void PrintTo(const TShape& s, std::ostream* out) { *out << s.N << " chunks"; }

class MakeBreakupShapes : public ::testing::TestWithParam<TShape> {};

TEST_P(MakeBreakupShapes, ForCounts) {
  const TShape& s = GetParam();
  const TMCBreakup b = Divide(4000, 3000, s.N, 7);
  std::vector<std::int32_t> expected(static_cast<std::size_t>(s.Rows), s.PerRow);
  expected.back() = s.Last;
  EXPECT_EQ(CellCounts(b), expected) << "N = " << s.N;
  ExpectSound(b, 4000, 3000, s.N);
}

INSTANTIATE_TEST_SUITE_P(, MakeBreakupShapes,
                         ::testing::Values(TShape{1, 1, 1, 1}, TShape{2, 1, 2, 2}, TShape{3, 2, 1, 2}, TShape{4, 2, 2, 2},
                                           TShape{5, 2, 2, 3}, TShape{7, 3, 2, 3}, TShape{10, 3, 3, 4}, TShape{12, 3, 4, 4},
                                           TShape{13, 4, 3, 4}, TShape{16, 4, 4, 4}, TShape{20, 4, 5, 5},
                                           TShape{100, 10, 10, 10}, TShape{500, 22, 22, 38}, TShape{1000, 32, 31, 39},
                                           TShape{1023, 32, 31, 62}, TShape{1024, 32, 32, 32}, TShape{5000, 71, 70, 100}),
                         [](const ::testing::TestParamInfo<TShape>& row) { return "Chunks" + std::to_string(row.param.N); });

TEST(MakeBreakup, SmallCounts) {
  std::uint32_t before = 99;
  TMCBreakup b = Divide(640, 480, 1, before);
  EXPECT_EQ(RandomState, before) << "one cell draws nothing";
  EXPECT_EQ(Cells(b.Rows(0)), (std::vector<std::string>{"0:640"}));
  EXPECT_EQ(b.Rows(0).Height, 480);

  b = Divide(640, 480, 0, before);
  EXPECT_EQ(RandomState, before);
  ASSERT_EQ(b.RowCount(), 1);
  EXPECT_EQ(b.Rows(0).CellCount(), 0);
  EXPECT_EQ(b.Rows(0).Height, 0);

  b = Divide(640, 480, 2, before);
  EXPECT_EQ(CellCounts(b), (std::vector<std::int32_t>{2}));
  ExpectSound(b, 640, 480, 2);

  b = Divide(640, 480, 3, before);
  EXPECT_EQ(CellCounts(b), (std::vector<std::int32_t>{1, 2}));
  ExpectSound(b, 640, 480, 3);
}

TEST(MakeBreakup, TwoPixelsWide) {
  const TMCBreakup b = Divide(2, 10, 4, 0);
  EXPECT_EQ(RandomState, 134775814u) << "one RandomBelow(0) per row";
  for (std::int32_t i = 0; i < 2; ++i) EXPECT_EQ(Cells(b.Rows(i)), (std::vector<std::string>{"0:1", "1:1"}));
  ExpectSound(b, 2, 10, 4);
}

TEST(MakeBreakup, HeightThatRowsDoNotDivide) {
  const TMCBreakup b = Divide(300, 101, 9, 5);
  ASSERT_EQ(b.RowCount(), 3);
  EXPECT_EQ(b.Rows(0).Height, 33);
  EXPECT_EQ(b.Rows(1).Height, 33);
  EXPECT_EQ(b.Rows(2).Height, 35);
  EXPECT_EQ(b.Rows(1).Cells(0).Top, 33);
  EXPECT_EQ(b.Rows(2).Cells(0).Top, 66);
  ExpectSound(b, 300, 101, 9);
}

TEST(MakeBreakup, ReplacesWhateverWasThere) {
  TMCBreakup b = Divide(640, 480, 1024, 3);
  RandomState = 4;
  MakeBreakupOf(b, 640, 480, 16);
  EXPECT_EQ(CellCounts(b), (std::vector<std::int32_t>{4, 4, 4, 4}));
}

TEST(MakeBreakup, RefusalsLeaveThePreviousDivision) {
  TMCBreakup b = Divide(640, 480, 16, 3);
  const std::uint32_t state = RandomState;
  const std::vector<std::string> firstRow = Cells(b.Rows(0));
  EXPECT_THROW_MSG(MakeBreakupOf(b, 640, 480, -1), EInvalidOp, "Invalid floating point operation");
  EXPECT_THROW_MSG(MakeBreakupOf(b, 3, 480, 16), EBreakupError, "A picture of 3x480 pixels is too small for 16 chunks");
  // 1023 chunks put 62 cells in the last row: 61 columns are one too few.
  EXPECT_THROW_MSG(MakeBreakupOf(b, 61, 480, 1023), EBreakupError,
                   "A picture of 61x480 pixels is too small for 1023 chunks");
  EXPECT_THROW_MSG(MakeBreakupOf(b, 640, 3, 16), EBreakupError, "A picture of 640x3 pixels is too small for 16 chunks");
  EXPECT_THROW_MSG(MakeBreakupOf(b, 0, 0, 4), EBreakupError, "A picture of 0x0 pixels is too small for 4 chunks");
  EXPECT_EQ(RandomState, state);
  EXPECT_EQ(Cells(b.Rows(0)), firstRow);
  EXPECT_EQ(b.RowCount(), 4);

  // The smallest pictures that can still take the count.
  b = Divide(62, 32, 1023, 3);
  ExpectSound(b, 62, 32, 1023);
  b = Divide(0, 0, 0, 3);
  EXPECT_EQ(CellCounts(b), (std::vector<std::int32_t>{0}));
}

// Rows of many cells run out of span by chance; the completed rows must still be sound and
// follow from the state alone, drawing one number per cell but the last.
TEST(MakeBreakup, RowsThatRunOutOfSpanAreCompleted) {
  const TMCBreakup b = Divide(1000, 800, 1024, 42);
  ExpectSound(b, 1000, 800, 1024);
  const std::uint32_t after = RandomState;
  RandomState = 42;
  for (std::int32_t k = 0; k < 1024 - 32; ++k) RandomBelow(2);
  EXPECT_EQ(RandomState, after) << "N - R numbers drawn";
  const TMCBreakup again = Divide(1000, 800, 1024, 42);
  for (std::int32_t i = 0; i < b.RowCount(); ++i) EXPECT_EQ(Cells(b.Rows(i)), Cells(again.Rows(i)));
}

TEST(MakeBreakup, NarrowestPictureForItsRows) {
  // 32 cells in 32 columns: every cell is one column wide whatever the draws.
  const TMCBreakup b = Divide(32, 32, 1024, 1);
  ExpectSound(b, 32, 32, 1024);
  for (std::int32_t j = 0; j < 32; ++j) EXPECT_EQ(b.Rows(5).Cells(j).Width, 1);
}

TEST(MakeBreakup, PropertiesOverRandomSizesCountsAndStates) {
  std::mt19937 rng(20261209);
  for (int trial = 0; trial < 3000; ++trial) {
    const auto n = static_cast<std::int32_t>(std::uniform_int_distribution<int>(4, 1024)(rng));
    const std::int32_t rows = static_cast<std::int32_t>(std::lround(std::sqrt(static_cast<double>(n))));
    const std::int32_t last = n - (rows - 1) * (n / rows);
    const auto w = static_cast<std::int32_t>(std::uniform_int_distribution<int>(last, last + (trial % 3 == 0 ? 40 : 6000))(rng));
    const auto h = static_cast<std::int32_t>(std::uniform_int_distribution<int>(rows, 4000)(rng));
    const auto state = static_cast<std::uint32_t>(rng());
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " N=" + std::to_string(n) + " state=" + std::to_string(state));
    const TMCBreakup b = Divide(w, h, n, state);
    const std::uint32_t after = RandomState;
    ASSERT_EQ(b.RowCount(), rows);
    ASSERT_NO_FATAL_FAILURE(ExpectSound(b, w, h, n));
    for (std::int32_t i = 0; i + 1 < rows; ++i) ASSERT_EQ(b.Rows(i).Height, h / rows);
    const TMCBreakup again = Divide(w, h, n, state);
    ASSERT_EQ(RandomState, after);
    for (std::int32_t i = 0; i < rows; ++i) ASSERT_EQ(Cells(b.Rows(i)), Cells(again.Rows(i)));
  }
}

// The division written out plainly, independent of the code under test: a row that runs out of
// span is completed by searching all its cells for the widest (the first of equals) for every
// missing cell, as the division did before it kept its cells in a heap.
struct TPlainDivision {
  std::uint32_t State;
  std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> Rows;  // Left and Width, sorted
  std::vector<std::int32_t> Heights;

  std::int32_t Below(std::int32_t n) {
    State = State * 134775813u + 1u;
    return static_cast<std::int32_t>((std::uint64_t{static_cast<std::uint32_t>(n)} * State) >> 32);
  }

  void Divide(std::int32_t w, std::int32_t h, std::int32_t n) {
    std::int32_t rows = 1;
    while (std::int64_t{rows} * (rows + 1) < n) ++rows;
    const std::int32_t perRow = n / rows;
    for (std::int32_t i = 0; i < rows; ++i) {
      const bool last = i == rows - 1;
      const std::int32_t c = last ? n - (rows - 1) * perRow : perRow;
      Heights.push_back(last ? h - (rows - 1) * (h / rows) : h / rows);
      std::vector<std::int32_t> left, width;  // in the order of creation
      std::int32_t a = 0, b = w - 1;
      for (std::int32_t j = 0; j < c; ++j) {
        const std::int32_t d = b - a;
        if (j == c - 1 || d < 1) {
          left.push_back(a);
          width.push_back(b - a + 1);
          for (std::int32_t k = j + 1; k < c; ++k) {
            std::size_t widest = 0;
            for (std::size_t m = 1; m < width.size(); ++m)
              if (width[m] > width[widest]) widest = m;
            const std::int32_t r = Below(width[widest] - 1) + 1;
            left.push_back(left[widest] + r);
            width.push_back(width[widest] - r);
            width[widest] = r;
          }
          break;
        }
        const std::int32_t r = Below(d - 1) + 1;
        if (r < d / 2) {
          left.push_back(a);
          width.push_back(r);
          a += r;
        } else {
          left.push_back(a + r);
          width.push_back(d - r + 1);
          b = a + r - 1;
        }
      }
      Rows.emplace_back();
      for (std::size_t m = 0; m < left.size(); ++m) Rows.back().emplace_back(left[m], width[m]);
      std::sort(Rows.back().begin(), Rows.back().end());
    }
  }
};

void ExpectAsPlain(std::int32_t w, std::int32_t h, std::int32_t n, std::uint32_t state) {
  SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " N=" + std::to_string(n) + " state=" + std::to_string(state));
  TPlainDivision plain{state, {}, {}};
  plain.Divide(w, h, n);
  const TMCBreakup b = Divide(w, h, n, state);
  EXPECT_EQ(RandomState, plain.State);
  ASSERT_EQ(b.RowCount(), static_cast<std::int32_t>(plain.Rows.size()));
  for (std::int32_t i = 0; i < b.RowCount(); ++i) {
    const TMCRow& row = b.Rows(i);
    std::vector<std::pair<std::int32_t, std::int32_t>> cells;
    for (std::int32_t j = 0; j < row.CellCount(); ++j) cells.emplace_back(row.Cells(j).Left, row.Cells(j).Width);
    ASSERT_EQ(cells, plain.Rows[static_cast<std::size_t>(i)]) << "row " << i;
    ASSERT_EQ(b.Rows(i).Height, plain.Heights[static_cast<std::size_t>(i)]) << "row " << i;
  }
  ASSERT_NO_FATAL_FAILURE(ExpectSound(b, w, h, n));
}

TEST(MakeBreakup, AsThePlainRuleOverRandomSizesCountsAndStates) {
  std::mt19937 rng(97);
  for (int trial = 0; trial < 1500; ++trial) {
    // Counts spread over every magnitude up to 2^13, pictures from the narrowest that takes the
    // count to a few times wider, so that most rows of many cells run out of span.
    const double magnitude = std::uniform_real_distribution<double>(0, 13)(rng);
    const auto n = static_cast<std::int32_t>(std::exp2(magnitude));
    std::int32_t rows = 1;
    while (rows * (rows + 1) < n) ++rows;
    const std::int32_t last = n - (rows - 1) * (n / rows);
    const auto w = static_cast<std::int32_t>(std::uniform_int_distribution<int>(last, 3 * last + 8)(rng));
    const auto h = static_cast<std::int32_t>(std::uniform_int_distribution<int>(rows, rows + 50)(rng));
    ASSERT_NO_FATAL_FAILURE(ExpectAsPlain(w, h, n, static_cast<std::uint32_t>(rng())));
  }
}

// 1024 rows of 1024 cells: on pictures this narrow nearly every row runs out of span, and in the
// narrowest all its cells are one column wide, ties everywhere.
TEST(MakeBreakup, AsThePlainRuleForAMillionChunksOnNarrowPictures) {
  ASSERT_NO_FATAL_FAILURE(ExpectAsPlain(1024, 1024, 1048576, 2026));
  ASSERT_NO_FATAL_FAILURE(ExpectAsPlain(1100, 1030, 1048576, 12));
}

}  // namespace
}  // namespace mosaicer
