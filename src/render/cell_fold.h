// Folding record hashes into the cell grid of a RenderCache: the four bytes of a hash, lowest first, go
// into each covered cell value as FNV-1a steps. CellFoldMemo keeps the previous frame's folds and values,
// so that a frame repeating most of the last one folds only the cells around what changed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Folds `hash` into `count` consecutive cell values; `room` counts the cells from the first to the end of
// the grid (a vector path may read and rewrite cells past the last, unchanged).
void foldHashIntoCells(uint32_t* cells, int32_t count, int32_t room, uint32_t hash);

// Cells covered by a record, inclusive, and the record's hash.
struct CellFold {
  int32_t firstColumn;
  int32_t firstRow;
  int32_t lastColumn;
  int32_t lastRow;
  uint32_t hash;

  bool operator==(const CellFold&) const = default;
};

class CellFoldMemo {
 public:
  // Folds `folds` in order into a grid `stride` cells wide whose first `columns` x `rows` cells all hold
  // the FNV start value and contain every fold, giving what folding each one would give. Cells that no
  // fold changed since the last call (by position in the list) take the values kept from it.
  void fold(std::span<const CellFold> folds, uint32_t* grid, int32_t stride, int32_t columns, int32_t rows);
  // The next fold starts over.
  void forget() { keptColumns_ = 0; }

 private:
  bool findStale(std::span<const CellFold> folds);
  void markStale(const CellFold& fold);
  void refoldStale(std::span<const CellFold> folds, uint32_t* grid, int32_t stride) const;

  std::vector<CellFold> kept_;
  std::vector<uint32_t> keptValues_;  // keptColumns_ x keptRows_, row by row
  std::vector<uint8_t> stale_;
  CellFold staleBox_{};  // bounds of the stale cells; hash 0 while there are none
  int32_t keptColumns_ = 0;
  int32_t keptRows_ = 0;
};
