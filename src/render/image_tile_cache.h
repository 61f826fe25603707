// The image tiles of one window: canvases drawn through the compositor are shown as textures of the window's
// own SDL renderer, cut into tiles of at most 512 x 512 texture pixels at a level of detail on each axis
// (image pixels per texture pixel across and down). Tiles are made on first use, kept across frames and
// evicted least recently used first when their bytes pass the budget; a canvas's pixels never change, so a
// tile stays valid until it is evicted or its image is forgotten. The cache owns the window's SDL renderer
// (made on first need with the stored vsync setting); every tile texture goes before it.
//
// Tiles are kept in order of use, so the least recently used one is found at once. A frame makes no tile
// once the tiles it has drawn fill the budget: a new tile may push out only tiles older frames drew, so a
// frame that needs more than the budget holds draws what fits instead of making and dropping tiles without
// end.
#pragma once

#include <SDL3/SDL_render.h>
#include <SDL3/SDL_video.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/sdl_handles.h"
#include "render/render_command.h"

struct CanvasBitmap;

// How an image is cut on one axis: tiles `span` image pixels long, reduced to a texture pixel for every
// `levelOfDetail` image pixels.
struct TileAxis {
  int32_t span;
  int32_t levelOfDetail;

  bool operator==(const TileAxis&) const = default;
};

struct TileKey {
  uint64_t imageId;
  TileAxis across;
  TileAxis down;
  int32_t column;
  int32_t row;

  bool operator==(const TileKey&) const = default;
};

// hash_combine over the image id, then the span and level of detail across and down, the column and the row
// (each sign-extended).
uint64_t tileKeyHash(const TileKey& key);

struct TileKeyHasher {
  size_t operator()(const TileKey& key) const { return static_cast<size_t>(tileKeyHash(key)); }
};

// The image coordinate whose pixel a tile's texel holds, on one axis of the tile's area [start, start +
// extent) at level of detail lod: the first of its block, never past the area's last pixel.
inline int64_t texelSource(int32_t start, int32_t extent, int32_t lod, int64_t texel) {
  return std::min(int64_t{start} + texel * lod, int64_t{start} + extent - 1);
}

// The tiling of one image at one level of detail on each axis.
class TileGrid {
 public:
  // Spans and levels of detail are clamped to at least 1.
  TileGrid(const CanvasBitmap* image, TileAxis across, TileAxis down);
  // Square tiles, reduced alike on both axes.
  TileGrid(const CanvasBitmap* image, int32_t tileSize, int32_t levelOfDetail)
      : TileGrid(image, {tileSize, levelOfDetail}, {tileSize, levelOfDetail}) {}

  const CanvasBitmap* image() const { return image_; }
  const TileAxis& across() const { return across_; }
  const TileAxis& down() const { return down_; }
  // Whether its tiles are drawn filtered (linear): only when both axes are reduced. A tile stretched on
  // one axis is drawn nearest, so that axis stays sharp as a scaled canvas shows it.
  bool filtered() const { return across_.levelOfDetail > 1 && down_.levelOfDetail > 1; }
  int32_t columns() const { return columns_; }
  int32_t rows() const { return rows_; }

  bool contains(int32_t column, int32_t row) const;
  // The tile's area in image pixels; {0, 0, 0, 0} outside the grid.
  RenderRect tileRect(int32_t column, int32_t row) const;
  TileKey tileKey(int32_t column, int32_t row) const;
  // The bytes of the tile's texture: ceil(w / lod across) x ceil(h / lod down) x 4; 0 outside the grid.
  uint64_t tileBytes(int32_t column, int32_t row) const;

 private:
  const CanvasBitmap* image_;
  TileAxis across_;
  TileAxis down_;
  int32_t columns_;
  int32_t rows_;
};

struct ImageTile {
  TextureHandle texture;
  TileKey key;
  RenderRect sourceRect;  // in image pixels
  uint64_t bytes = 0;
  uint64_t lastUsedFrame = 0;
  std::list<TileKey>::iterator recency;  // its place in the cache's order of use
};

class ImageTileCache {
 public:
  static constexpr uint64_t kDefaultBudget = 0x10000000;  // 256 MiB

  explicit ImageTileCache(SDL_Window* window) : window_(window) {}
  ImageTileCache(const ImageTileCache&) = delete;
  ImageTileCache& operator=(const ImageTileCache&) = delete;

  // Error strings may be null when no text is wanted.
  bool ensureRenderer(std::string* error);
  SDL_Renderer* renderer() const { return renderer_.get(); }
  bool hasRenderer() const { return renderer_ != nullptr; }
  // Drops every tile and the renderer (the window may then have a surface again).
  void releaseRenderer();
  // Stored either way; applied now when the renderer exists, else when it is made.
  bool setVSync(bool enabled, std::string* error);

  void nextFrame() {
    ++frame_;
    bytesThisFrame_ = 0;
  }
  uint64_t budget() const { return budget_; }
  uint64_t bytesUsed() const { return bytesUsed_; }
  // budget = max(1, bytes), then eviction; returns the bytes still used.
  uint64_t setBudget(uint64_t bytes);

  // Pointers stay valid until the tile is evicted or forgotten. A tile that is not made because the frame's
  // tiles fill the budget is null with "image tile budget is full for this frame".
  ImageTile* findTile(const TileGrid& grid, int32_t column, int32_t row);
  ImageTile* tile(const TileGrid& grid, int32_t column, int32_t row, std::string* error);
  void forgetImage(uint64_t imageId);
  void clear();

 private:
  bool upload(const TileGrid& grid, ImageTile& tile, std::string* error);
  bool uploadReduced(const CanvasBitmap& image, const RenderRect& area, int32_t lodAcross, int32_t lodDown,
                     SDL_Texture* texture);
  // Evicts least recently used tiles while over budget and two or more are held; `olderFramesOnly` spares
  // the tiles of the current frame.
  void evict(bool olderFramesOnly);
  void erase(std::unordered_map<TileKey, ImageTile, TileKeyHasher>::iterator tile);
  // Takes the key out of its image's list.
  void unlistKey(const TileKey& key);

  SDL_Window* window_;
  RendererHandle renderer_;  // declared before the tiles, so it outlives their textures
  std::unordered_map<TileKey, ImageTile, TileKeyHasher> tiles_;
  std::list<TileKey> recency_;  // least recently used first
  // The keys of each image's tiles, so that forgetting an image (done for every canvas that goes, in every
  // window) looks at its own tiles only.
  std::unordered_map<uint64_t, std::vector<TileKey>> keysOfImage_;
  bool vsync_ = false;
  uint64_t budget_ = kDefaultBudget;
  uint64_t bytesUsed_ = 0;
  uint64_t frame_ = 0;
  uint64_t bytesThisFrame_ = 0;          // of the tiles stamped with the current frame
  std::vector<uint32_t> reducedPixels_;  // reused by every reduced tile
};
