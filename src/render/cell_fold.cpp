// Cell folding, with an AVX2 path for the rows of cells a text line covers.
#include "render/cell_fold.h"

#include <immintrin.h>

#include <algorithm>

#include "render/cpu_features.h"

namespace {

constexpr uint32_t kFnvPrime = 16777619u;

void foldHashIntoCellsScalar(uint32_t* cells, int32_t count, uint32_t hash) {
  const uint32_t bytes[4] = {hash & 0xFFu, (hash >> 8) & 0xFFu, (hash >> 16) & 0xFFu, hash >> 24};
  for (int32_t i = 0; i < count; ++i) {
    uint32_t value = cells[i];
    for (const uint32_t byte : bytes) value = (value ^ byte) * kFnvPrime;
    cells[i] = value;
  }
}

QZ_AVX2 inline __m256i foldHashBytes(__m256i value, const __m256i bytes[4]) {
  const __m256i prime = _mm256_set1_epi32(static_cast<int>(kFnvPrime));
  for (int k = 0; k < 4; ++k) value = _mm256_mullo_epi32(_mm256_xor_si256(value, bytes[k]), prime);
  return value;
}

// Eight cells at a time; a short last group reads and writes back whole vectors where there is room.
QZ_AVX2 void foldHashIntoCellsAvx2(uint32_t* cells, int32_t count, int32_t room, uint32_t hash) {
  __m256i bytes[4];
  for (int k = 0; k < 4; ++k) bytes[k] = _mm256_set1_epi32(static_cast<int>((hash >> (8 * k)) & 0xFFu));
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    auto* group = reinterpret_cast<__m256i*>(cells + i);
    _mm256_storeu_si256(group, foldHashBytes(_mm256_loadu_si256(group), bytes));
  }
  if (i == count) return;
  const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(count - i), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  if (room - i >= 8) {
    auto* group = reinterpret_cast<__m256i*>(cells + i);
    const __m256i original = _mm256_loadu_si256(group);
    _mm256_storeu_si256(group, _mm256_blendv_epi8(original, foldHashBytes(original, bytes), inside));
    return;
  }
  auto* rest = reinterpret_cast<int*>(cells + i);
  _mm256_maskstore_epi32(rest, inside, foldHashBytes(_mm256_maskload_epi32(rest, inside), bytes));
}

}  // namespace

void foldHashIntoCells(uint32_t* cells, int32_t count, int32_t room, uint32_t hash) {
  if (cpuHasAvx2()) {
    foldHashIntoCellsAvx2(cells, count, room, hash);
  } else {
    foldHashIntoCellsScalar(cells, count, hash);
  }
}

void CellFoldMemo::markStale(const CellFold& fold) {
  staleBox_ =
      staleBox_.hash == 0
          ? CellFold{fold.firstColumn, fold.firstRow, fold.lastColumn, fold.lastRow, 1}
          : CellFold{std::min(staleBox_.firstColumn, fold.firstColumn), std::min(staleBox_.firstRow, fold.firstRow),
                     std::max(staleBox_.lastColumn, fold.lastColumn), std::max(staleBox_.lastRow, fold.lastRow), 1};
  for (int32_t row = fold.firstRow; row <= fold.lastRow; ++row) {
    uint8_t* flags = stale_.data() + static_cast<size_t>(row) * keptColumns_;
    std::fill(flags + fold.firstColumn, flags + fold.lastColumn + 1, uint8_t{1});
  }
}

void CellFoldMemo::fold(std::span<const CellFold> folds, uint32_t* grid, int32_t stride, int32_t columns,
                        int32_t rows) {
  if (columns == keptColumns_ && rows == keptRows_ && findStale(folds)) {
    refoldStale(folds, grid, stride);
  } else if (columns == keptColumns_ && rows == keptRows_) {
    // The same folds again: the same values, and nothing to keep anew.
    for (int32_t row = 0; row < rows; ++row) {
      std::copy_n(keptValues_.data() + static_cast<size_t>(row) * columns, columns, grid + row * stride);
    }
    return;
  } else {
    for (const CellFold& fold : folds) {
      for (int32_t row = fold.firstRow; row <= fold.lastRow; ++row) {
        const int32_t first = row * stride + fold.firstColumn;
        foldHashIntoCells(grid + first, fold.lastColumn - fold.firstColumn + 1, stride * rows - first, fold.hash);
      }
    }
  }
  kept_.assign(folds.begin(), folds.end());
  keptValues_.resize(static_cast<size_t>(columns) * static_cast<size_t>(rows));
  for (int32_t row = 0; row < rows; ++row) {
    std::copy_n(grid + row * stride, columns, keptValues_.data() + static_cast<size_t>(row) * columns);
  }
  keptColumns_ = columns;
  keptRows_ = rows;
}

// Marks the cells of every fold that differs from the kept one at its place (both are stale); true when any.
bool CellFoldMemo::findStale(std::span<const CellFold> folds) {
  stale_.assign(static_cast<size_t>(keptColumns_) * static_cast<size_t>(keptRows_), 0);
  staleBox_.hash = 0;
  const size_t common = std::min(folds.size(), kept_.size());
  for (size_t i = 0; i < common; ++i) {
    if (folds[i] == kept_[i]) continue;
    markStale(folds[i]);
    markStale(kept_[i]);
  }
  for (size_t i = common; i < folds.size(); ++i) markStale(folds[i]);
  for (size_t i = common; i < kept_.size(); ++i) markStale(kept_[i]);
  return staleBox_.hash != 0;
}

// Cells outside the stale ones take their kept values; each stale cell (still at the start value) folds
// every fold that covers it again, in order.
void CellFoldMemo::refoldStale(std::span<const CellFold> folds, uint32_t* grid, int32_t stride) const {
  const int32_t columns = keptColumns_;
  for (int32_t row = 0; row < keptRows_; ++row) {
    const uint32_t* kept = keptValues_.data() + static_cast<size_t>(row) * columns;
    const uint8_t* stale = stale_.data() + static_cast<size_t>(row) * columns;
    for (int32_t column = 0; column < columns; ++column) {
      if (!stale[column]) grid[row * stride + column] = kept[column];
    }
  }
  const CellFold& box = staleBox_;
  for (const CellFold& fold : folds) {
    const int32_t firstRow = std::max(fold.firstRow, box.firstRow);
    const int32_t lastRow = std::min(fold.lastRow, box.lastRow);
    const int32_t firstColumn = std::max(fold.firstColumn, box.firstColumn);
    const int32_t lastColumn = std::min(fold.lastColumn, box.lastColumn);
    for (int32_t row = firstRow; row <= lastRow; ++row) {
      const uint8_t* stale = stale_.data() + static_cast<size_t>(row) * columns;
      uint32_t* cells = grid + row * stride;
      if (std::find(stale + firstColumn, stale + lastColumn + 1, uint8_t{0}) == stale + lastColumn + 1) {
        // A run of stale cells, as a changed line of text leaves: folded together.
        foldHashIntoCells(cells + firstColumn, lastColumn - firstColumn + 1,
                          stride * keptRows_ - row * stride - firstColumn, fold.hash);
        continue;
      }
      for (int32_t column = firstColumn; column <= lastColumn; ++column) {
        if (stale[column]) foldHashIntoCellsScalar(cells + column, 1, fold.hash);
      }
    }
  }
}
