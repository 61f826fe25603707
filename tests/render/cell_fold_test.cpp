// The cell fold memo gives, frame after frame, what folding every record into fresh cells gives.
#include "render/cell_fold.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

constexpr int32_t kStride = 80;
constexpr int32_t kGridRows = 50;
constexpr uint32_t kFnvStart = 0x811C9DC5u;

std::vector<uint32_t> freshGrid() { return std::vector<uint32_t>(static_cast<size_t>(kStride) * kGridRows, kFnvStart); }

TEST(CellFoldMemo, RefoldsWhatChangedAndKeepsTheRest) {
  std::mt19937 random(7);
  const auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); };
  CellFoldMemo memo;
  int32_t columns = 21, rows = 12;
  std::vector<CellFold> folds;
  const auto randomFold = [&] {
    const int32_t column = pick(0, columns - 1), row = pick(0, rows - 1);
    return CellFold{column, row, pick(column, columns - 1), pick(row, std::min(rows - 1, row + 2)),
                    static_cast<uint32_t>(pick(0, 3))};
  };
  for (int frame = 0; frame < 3000; ++frame) {
    if (pick(0, 99) == 0) {  // a resized output: every fold starts over
      columns = pick(1, kStride);
      rows = pick(1, kGridRows);
      folds.clear();
    }
    for (int change = pick(0, 3); change > 0; --change) {
      const int action = folds.empty() ? 0 : pick(0, 3);
      const auto at = folds.begin() + pick(0, static_cast<int32_t>(folds.size()) - (action == 0 ? 0 : 1));
      if (action == 0) {
        folds.insert(at, randomFold());
      } else if (action == 1) {
        folds.erase(at);
      } else if (action == 2) {
        at->hash ^= 1u << pick(0, 31);
      } else {
        *at = randomFold();
      }
    }
    std::vector<uint32_t> expected = freshGrid(), actual = freshGrid();
    for (const CellFold& fold : folds) {
      for (int32_t row = fold.firstRow; row <= fold.lastRow; ++row) {
        const int32_t first = row * kStride + fold.firstColumn;
        foldHashIntoCells(expected.data() + first, fold.lastColumn - fold.firstColumn + 1,
                          static_cast<int32_t>(expected.size()) - first, fold.hash);
      }
    }
    memo.fold(folds, actual.data(), kStride, columns, rows);
    for (int32_t row = 0; row < rows; ++row) {
      for (int32_t column = 0; column < columns; ++column) {
        const size_t cell = static_cast<size_t>(row) * kStride + column;
        ASSERT_EQ(actual[cell], expected[cell]) << "frame " << frame << " cell " << column << "," << row;
      }
    }
  }
}

TEST(CellFoldMemo, FoldsEveryByteOfTheHashLowestFirst) {
  std::vector<uint32_t> cells(12, kFnvStart);
  foldHashIntoCells(cells.data(), 11, 12, 0x04030201u);  // the twelfth cell stays
  uint32_t expected = kFnvStart;
  for (const uint32_t byte : {1u, 2u, 3u, 4u}) expected = (expected ^ byte) * 16777619u;
  for (size_t i = 0; i < 11; ++i) EXPECT_EQ(cells[i], expected) << i;
  EXPECT_EQ(cells[11], kFnvStart);
}

}  // namespace
