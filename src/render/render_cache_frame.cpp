// Frame change tracking: every record is hashed (FNV-1a) into the 96-pixel cells it covers, cells whose
// hash differs from the previous frame are merged into dirty rectangles, and only those are replayed and
// presented. A previous-frame cell holding the FNV start value has been compared already; one holding
// kCellMustRedraw was invalidated.
#include <algorithm>
#include <cstring>

#include "fonts/render_font.h"
#include "fonts/svg_glyph_worker.h"
#include "render/cell_fold.h"
#include "render/image_tile_cache.h"
#include "render/pixel_ops.h"
#include "render/render_cache.h"

namespace {

constexpr uint32_t kFnvPrime = 16777619u;

uint32_t fnv1aAppend(uint32_t hash, const unsigned char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

template <typename T>
uint32_t fnv1aAppendValue(uint32_t hash, const T& value) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  return fnv1aAppend(hash, bytes, sizeof(T));
}

int32_t cellOf(int64_t coordinate, int32_t lastCell) {
  return static_cast<int32_t>(std::clamp<int64_t>(coordinate / RenderCache::kCellSize, 0, lastCell));
}

// Hashes of four byte strings at once: the four FNV-1a chains are independent, so the processor runs
// them side by side (one chain is bound by its multiply latency).
void fnv1aFour(const unsigned char* const bytes[4], const size_t lengths[4], uint32_t hashes[4]) {
  const size_t common = std::min(std::min(lengths[0], lengths[1]), std::min(lengths[2], lengths[3]));
  uint32_t h0 = RenderCache::kFnvStart, h1 = h0, h2 = h0, h3 = h0;
  for (size_t i = 0; i < common; ++i) {
    h0 = (h0 ^ bytes[0][i]) * kFnvPrime;
    h1 = (h1 ^ bytes[1][i]) * kFnvPrime;
    h2 = (h2 ^ bytes[2][i]) * kFnvPrime;
    h3 = (h3 ^ bytes[3][i]) * kFnvPrime;
  }
  const uint32_t partial[4] = {h0, h1, h2, h3};
  for (int k = 0; k < 4; ++k) hashes[k] = fnv1aAppend(partial[k], bytes[k] + common, lengths[k] - common);
}

}  // namespace

void RenderCache::beginFrame() {
  frameOpen_ = true;
  // Finished SVG glyphs are applied by whichever window begins a frame first; every window redraws once.
  AsyncSvgGlyphWorker& svgGlyphs = AsyncSvgGlyphWorker::instance();
  svgGlyphs.applyFinished();
  if (svgGlyphs.appliedGeneration() != svgGlyphGeneration_) {
    svgGlyphGeneration_ = svgGlyphs.appliedGeneration();
    invalidateAll();
  }
  int32_t w = 0, h = 0;
  windowRenderer_->outputSize(&w, &h);
  if (w != viewport_.w || h != viewport_.h) {
    viewport_.w = w;
    viewport_.h = h;
    invalidateAll();
  }
  clipRect_ = viewport_;
}

// After the record bytes, the identity of the font and image a record points at: a new font or image at a
// freed one's address must still change the cells.
uint32_t RenderCache::foldIdentities(const RenderCommand& command, uint32_t hash) const {
  if (command.font != nullptr) hash = fnv1aAppendValue(hash, command.font->serial());
  if (command.image != nullptr) hash = fnv1aAppendValue(hash, command.image->id);
  return hash;
}

void RenderCache::hashCommandsIntoCells() {
  cellMarks_.clear();
  recordMemo_.startFrame(commandArena_, commandBytes_);
  RenderRect activeClip = viewport_;
  for (const RenderCommand* command = nullptr; nextCommand(command);) {
    const uint32_t record = recordMemo_.add(*command);
    RenderRect region;
    if (command->type == static_cast<uint32_t>(RenderCommandType::Clip)) {
      activeClip = command->rect;
      region = command->rect;
    } else {
      region = intersectRects(textReach(*command), activeClip);
    }
    if (region.w >= 1 && region.h >= 1) cellMarks_.push_back({command, region, record, 0});
  }
  hashNewRecords();
  foldMarksIntoCells();
}

// The cells each mark covers get its hash folded in. When the cells start from the FNV start value and every
// mark lies in the scanned grid, the fold memo refolds only the cells around the marks that changed.
void RenderCache::foldMarksIntoCells() {
  const int32_t columns = scannedColumns();
  const int32_t rows = scannedRows();
  bool memo = columns >= 1 && rows >= 1;
  for (int32_t row = 0; memo && row < rows; ++row) {
    const uint32_t* cells = currentHashes_ + row * kGridColumns;
    memo = std::all_of(cells, cells + columns, [](uint32_t value) { return value == kFnvStart; });
  }
  cellFolds_.clear();
  for (const CellMark& mark : cellMarks_) {
    const RenderCommand& command = *mark.command;
    const CellMarkInputs inputs{mark.region, command.font != nullptr ? command.font->serial() : 0,
                                command.image != nullptr ? command.image->id : 0};
    CellFold fold;
    if (!recordMemo_.knownFold(mark.record, inputs, &fold)) {
      const RenderRect& region = mark.region;
      fold = {cellOf(region.x, kGridColumns - 1), cellOf(region.y, kGridRows - 1),
              cellOf(int64_t{region.x} + region.w, kGridColumns - 1),
              cellOf(int64_t{region.y} + region.h, kGridRows - 1), foldIdentities(command, mark.hash)};
      recordMemo_.setFold(mark.record, inputs, fold);
    }
    memo = memo && fold.lastColumn < columns && fold.lastRow < rows;
    cellFolds_.push_back(fold);
  }
  if (memo) {
    cellFoldMemo_.fold(cellFolds_, currentHashes_, kGridColumns, columns, rows);
    return;
  }
  cellFoldMemo_.forget();
  for (size_t i = 0; i < cellMarks_.size(); ++i) markCells(cellMarks_[i].region, cellFolds_[i].hash);
}

int32_t RenderCache::scannedColumns() const { return std::min(viewport_.w / kCellSize + 1, kGridColumns); }
int32_t RenderCache::scannedRows() const { return std::min(viewport_.h / kCellSize + 1, kGridRows); }

// Hashes the marking records whose bytes the previous frame did not have, four at a time.
void RenderCache::hashNewRecords() {
  CellMark* pending[4];
  size_t count = 0;
  const auto hashPending = [&] {
    const unsigned char* bytes[4];
    size_t lengths[4];
    uint32_t hashes[4];
    for (size_t k = 0; k < 4; ++k) {
      const RenderCommand* command = pending[k < count ? k : 0]->command;
      bytes[k] = reinterpret_cast<const unsigned char*>(command);
      lengths[k] = command->size;
    }
    fnv1aFour(bytes, lengths, hashes);
    for (size_t k = 0; k < count; ++k) {
      pending[k]->hash = hashes[k];
      recordMemo_.setHash(pending[k]->record, hashes[k]);
    }
    count = 0;
  };
  for (CellMark& mark : cellMarks_) {
    if (recordMemo_.knownHash(mark.record, &mark.hash)) continue;
    pending[count++] = &mark;
    if (count == 4) hashPending();
  }
  if (count > 0) hashPending();
}

void RenderCache::markCells(const RenderRect& region, uint32_t hash) {
  const int32_t firstColumn = cellOf(region.x, kGridColumns - 1);
  const int32_t firstRow = cellOf(region.y, kGridRows - 1);
  const int32_t lastColumn = cellOf(int64_t{region.x} + region.w, kGridColumns - 1);
  const int32_t lastRow = cellOf(int64_t{region.y} + region.h, kGridRows - 1);
  for (int32_t row = firstRow; row <= lastRow; ++row) {
    const int32_t first = row * kGridColumns + firstColumn;
    foldHashIntoCells(currentHashes_ + first, lastColumn - firstColumn + 1, kCellCount - first, hash);
  }
}

int32_t RenderCache::collectDirtyRects() {
  const int32_t columns = scannedColumns();
  const int32_t rows = scannedRows();
  int32_t count = 0;
  for (int32_t row = 0; row < rows; ++row) {
    for (int32_t column = 0; column < columns; ++column) {
      const int32_t index = row * kGridColumns + column;
      if (currentHashes_[index] != previousHashes_[index]) addDirtyRect(column, row, &count);
      previousHashes_[index] = kFnvStart;
    }
  }
  return count;
}

void RenderCache::addDirtyRect(int32_t column, int32_t row, int32_t* count) {
  for (int32_t i = *count - 1; i >= 0; --i) {
    RenderRect& rect = dirtyRects_[static_cast<size_t>(i)];
    if (rect.x <= column + 1 && rect.x + rect.w >= column && rect.y <= row + 1 && rect.y + rect.h >= row) {
      const int32_t right = std::max(rect.x + rect.w, column + 1);
      const int32_t bottom = std::max(rect.y + rect.h, row + 1);
      rect.x = std::min(rect.x, column);
      rect.y = std::min(rect.y, row);
      rect.w = right - rect.x;
      rect.h = bottom - rect.y;
      return;
    }
  }
  dirtyRects_[static_cast<size_t>(*count)] = {column, row, 1, 1};
  ++*count;
}

void RenderCache::dirtyRectsToPixels(int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    RenderRect& rect = dirtyRects_[static_cast<size_t>(i)];
    rect = intersectRects({rect.x * kCellSize, rect.y * kCellSize, rect.w * kCellSize, rect.h * kCellSize}, viewport_);
  }
}

// Rectangles of no area (cells past the viewport's edge) are neither replayed nor presented.
int32_t RenderCache::dropEmptyDirtyRects(int32_t count) {
  const auto end = std::remove_if(dirtyRects_.begin(), dirtyRects_.begin() + count,
                                  [](const RenderRect& rect) { return rect.w <= 0 || rect.h <= 0; });
  return static_cast<int32_t>(end - dirtyRects_.begin());
}

bool RenderCache::fullRedrawDue() const {
  return viewport_.w >= 1 && viewport_.h >= 1 &&
         (viewport_.w > kGridColumns * kCellSize || viewport_.h > kGridRows * kCellSize || fullRedrawPending_);
}

void RenderCache::endFrame() {
  frameOpen_ = false;
  if (discardReason_ != nullptr) {
    commandBytes_ = 0;
    textsDrawn_ = 0;
    discardReason_ = nullptr;
    retainedFonts_.clear();
    retainedImages_.clear();
    forgetFrameImages();
    invalidateAll();
    return;
  }
  hashCommandsIntoCells();
  int32_t count = collectDirtyRects();
  dirtyRectsToPixels(count);
  if (fullRedrawDue()) {
    dirtyRects_[0] = viewport_;
    count = 1;
    fullRedrawPending_ = false;
  } else {
    count = dropEmptyDirtyRects(count);
  }
  replay(count);
  if (count > 0) {
    windowRenderer_->present(dirtyRects_.data(), count);
  } else if (windowRenderer_->hasImagePlacements()) {
    windowRenderer_->present(&viewport_, 1);  // the compositor recomposes the frame's images
  }
  finishFrame();
}

void RenderCache::finishFrame() {
  recordMemo_.finishFrame(commandArena_, commandBytes_);
  commandBytes_ = 0;
  textsDrawn_ = 0;
  std::swap(previousHashes_, currentHashes_);
  retainedFonts_.clear();
  // Tiles that this frame's present made of released images would otherwise outlive them.
  for (const auto& image : retainedImages_) windowRenderer_->imageTileCache()->forgetImage(image->id);
  retainedImages_.clear();
  forgetFrameImages();
}

// Clearing the set walks its buckets: an empty set is left alone, and buckets far more than the frame
// needed (left by an earlier frame of many images) go with it.
void RenderCache::forgetFrameImages() {
  constexpr size_t kKeptBuckets = 1024;
  lastFrameImage_ = nullptr;
  if (frameImages_.empty()) return;
  if (frameImages_.bucket_count() > std::max(kKeptBuckets, 8 * frameImages_.size())) {
    frameImages_ = {};
  } else {
    frameImages_.clear();
  }
}

void RenderCache::invalidateRect(const RenderRect& rect) {
  int32_t w = 0, h = 0;
  windowRenderer_->outputSize(&w, &h);
  viewport_.w = w;
  viewport_.h = h;
  const RenderRect area = intersectRects(rect, viewport_);
  if (area.w <= 0 || area.h <= 0) return;
  const int32_t x1 = area.x + area.w;
  const int32_t y1 = area.y + area.h;
  const int32_t firstColumn = area.x > 95 ? area.x / kCellSize : 0;
  const int32_t lastColumn = x1 < 7585 ? (x1 - 1) / kCellSize : kGridColumns - 1;
  const int32_t firstRow = area.y > 95 ? area.y / kCellSize : 0;
  const int32_t lastRow = y1 < 4705 ? (y1 - 1) / kCellSize : kGridRows - 1;
  for (int32_t row = firstRow; row <= std::min(lastRow, kGridRows - 1); ++row) {
    for (int32_t column = firstColumn; column <= std::min(lastColumn, kGridColumns - 1); ++column) {
      previousHashes_[row * kGridColumns + column] = kCellMustRedraw;
    }
  }
}

void RenderCache::invalidateAll() {
  std::fill_n(previousHashes_, kCellCount, kCellMustRedraw);
  clearTextCaches();
}
