// The image tile cache: tile grids, texture upload at a level of detail on each axis (point-sampled; when
// both axes are reduced the texture's linear filter smooths it when drawn), least-recently-used eviction
// over a byte budget.
#include "render/image_tile_cache.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "platform/sdl_error.h"
#include "render/canvas_bitmap.h"
#include "render/startup_trace.h"

namespace {

// ceil(extent / lod) for a positive lod.
int32_t reducedExtent(int32_t extent, int32_t lod) { return static_cast<int32_t>((int64_t{extent} + lod - 1) / lod); }

// The failure of an SDL call that the step survives; only the first is kept.
void keepFirstError(std::string* error, const char* call) {
  if (error != nullptr && error->empty()) *error = sdlFailureText(call);
}

void setError(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

}  // namespace

TileGrid::TileGrid(const CanvasBitmap* image, TileAxis across, TileAxis down)
    : image_(image),
      across_{std::max(across.span, 1), std::max(across.levelOfDetail, 1)},
      down_{std::max(down.span, 1), std::max(down.levelOfDetail, 1)} {
  const int64_t width = image != nullptr ? image->width : 0;
  const int64_t height = image != nullptr ? image->height : 0;
  columns_ = static_cast<int32_t>(std::max<int64_t>(1, (width + across_.span - 1) / across_.span));
  rows_ = static_cast<int32_t>(std::max<int64_t>(1, (height + down_.span - 1) / down_.span));
}

bool TileGrid::contains(int32_t column, int32_t row) const {
  return column >= 0 && column < columns_ && row >= 0 && row < rows_;
}

RenderRect TileGrid::tileRect(int32_t column, int32_t row) const {
  if (!contains(column, row) || image_ == nullptr) return {0, 0, 0, 0};
  const int64_t x = int64_t{column} * across_.span;
  const int64_t y = int64_t{row} * down_.span;
  return {static_cast<int32_t>(x), static_cast<int32_t>(y),
          static_cast<int32_t>(std::min<int64_t>(across_.span, image_->width - x)),
          static_cast<int32_t>(std::min<int64_t>(down_.span, image_->height - y))};
}

TileKey TileGrid::tileKey(int32_t column, int32_t row) const {
  return {image_ != nullptr ? image_->id : 0, across_, down_, column, row};
}

uint64_t TileGrid::tileBytes(int32_t column, int32_t row) const {
  const RenderRect area = tileRect(column, row);
  if (area.w <= 0 || area.h <= 0) return 0;
  const auto texelsAcross = static_cast<uint64_t>(reducedExtent(area.w, across_.levelOfDetail));
  const auto texelsDown = static_cast<uint64_t>(reducedExtent(area.h, down_.levelOfDetail));
  return texelsAcross * texelsDown * 4;
}

uint64_t tileKeyHash(const TileKey& key) {
  uint64_t seed = key.imageId;
  for (const int32_t value :
       {key.across.span, key.across.levelOfDetail, key.down.span, key.down.levelOfDetail, key.column, key.row}) {
    seed ^= static_cast<uint64_t>(int64_t{value}) + 0x9E3779B9u + (seed << 6) + (seed >> 2);
  }
  return seed;
}

bool ImageTileCache::ensureRenderer(std::string* error) {
  if (renderer_) return true;
  StartupTraceStep step("SDL renderer created");
  SDL_ClearError();
  renderer_.reset(SDL_CreateRenderer(window_, nullptr));
  if (!renderer_) {
    setError(error, sdlFailureText("SDL_CreateRenderer"));
    return false;
  }
  if (startupTraceOn()) {
    const char* name = SDL_GetRendererName(renderer_.get());
    step.setMessage(std::string("SDL renderer created with ") + (name != nullptr ? name : "an unknown backend"));
  }
  if (!SDL_SetRenderVSync(renderer_.get(), vsync_ ? 1 : 0)) keepFirstError(error, "SDL_SetRenderVSync");
  return true;
}

void ImageTileCache::releaseRenderer() {
  clear();
  renderer_.reset();
}

bool ImageTileCache::setVSync(bool enabled, std::string* error) {
  vsync_ = enabled;
  SDL_ClearError();
  if (!renderer_ || SDL_SetRenderVSync(renderer_.get(), enabled ? 1 : 0)) return true;
  setError(error, sdlFailureText("SDL_SetRenderVSync"));
  return false;
}

uint64_t ImageTileCache::setBudget(uint64_t bytes) {
  budget_ = std::max<uint64_t>(1, bytes);
  evict(false);
  return bytesUsed_;
}

ImageTile* ImageTileCache::findTile(const TileGrid& grid, int32_t column, int32_t row) {
  const auto found = tiles_.find(grid.tileKey(column, row));
  if (found == tiles_.end()) return nullptr;
  ImageTile& tile = found->second;
  if (tile.lastUsedFrame != frame_) bytesThisFrame_ += tile.bytes;
  tile.lastUsedFrame = frame_;
  recency_.splice(recency_.end(), recency_, tile.recency);
  return &tile;
}

ImageTile* ImageTileCache::tile(const TileGrid& grid, int32_t column, int32_t row, std::string* error) {
  if (ImageTile* found = findTile(grid, column, row)) return found;
  if (!grid.contains(column, row) || grid.image() == nullptr) {
    setError(error, "tile coordinates out of range");
    return nullptr;
  }
  // A lone tile larger than the budget is still made; beyond it, a frame's own tiles are never pushed out.
  if (bytesThisFrame_ > 0 && bytesThisFrame_ + grid.tileBytes(column, row) > budget_) {
    setError(error, "image tile budget is full for this frame");
    return nullptr;
  }
  ImageTile made;
  made.key = grid.tileKey(column, row);
  made.sourceRect = grid.tileRect(column, row);
  made.lastUsedFrame = frame_;
  if (!upload(grid, made, error)) return nullptr;
  const TileKey key = made.key;
  ImageTile& stored = tiles_.emplace(key, std::move(made)).first->second;
  stored.recency = recency_.insert(recency_.end(), key);
  bytesUsed_ += stored.bytes;
  bytesThisFrame_ += stored.bytes;
  keysOfImage_[key.imageId].push_back(key);  // should this run out of memory, the tile goes when evicted
  evict(true);
  return &stored;
}

bool ImageTileCache::upload(const TileGrid& grid, ImageTile& tile, std::string* error) {
  StartupTraceStep whole("Image tile prepared");
  if (!ensureRenderer(error)) return false;
  const CanvasBitmap& image = *grid.image();
  const RenderRect& area = tile.sourceRect;
  const int32_t lodAcross = grid.across().levelOfDetail;
  const int32_t lodDown = grid.down().levelOfDetail;
  const bool reduced = lodAcross > 1 || lodDown > 1;
  const int32_t textureWidth = reducedExtent(area.w, lodAcross);
  const int32_t textureHeight = reducedExtent(area.h, lodDown);
  TextureHandle texture;
  SDL_ClearError();
  {
    StartupTraceStep step("Image tile texture created");
    texture.reset(SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, textureWidth,
                                    textureHeight));
  }
  if (!texture) {
    setError(error, sdlFailureText("SDL_CreateTexture"));
    return false;
  }
  if (!SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) keepFirstError(error, "SDL_SetTextureBlendMode");
  if (!SDL_SetTextureScaleMode(texture.get(), grid.filtered() ? SDL_SCALEMODE_LINEAR : SDL_SCALEMODE_NEAREST)) {
    keepFirstError(error, "SDL_SetTextureScaleMode");
  }
  bool updated = false;
  if (!reduced) {
    StartupTraceStep step("Full-resolution image tile uploaded");
    const uint32_t* first = image.pixels.data() + static_cast<size_t>(area.y) * image.width + area.x;
    updated = SDL_UpdateTexture(texture.get(), nullptr, first, image.width * 4);
  } else {
    updated = uploadReduced(image, area, lodAcross, lodDown, texture.get());
  }
  if (!updated) {
    setError(error, sdlFailureText("SDL_UpdateTexture"));
    return false;
  }
  tile.bytes = uint64_t(textureWidth) * uint64_t(textureHeight) * 4;
  tile.texture = std::move(texture);
  return true;
}

// Point-samples the top-left image pixel of each block of lodAcross x lodDown pixels (never past the tile's
// last column or row). Running out of memory for the pixels fails this tile only.
bool ImageTileCache::uploadReduced(const CanvasBitmap& image, const RenderRect& area, int32_t lodAcross,
                                   int32_t lodDown, SDL_Texture* texture) {
  const int32_t width = reducedExtent(area.w, lodAcross);
  const int32_t height = reducedExtent(area.h, lodDown);
  {
    StartupTraceStep step("Reduced image tile pixels built");
    try {
      reducedPixels_.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    } catch (const std::bad_alloc&) {
      reducedPixels_ = {};
      SDL_SetError("not enough memory to reduce an image tile");
      return false;
    }
    for (int32_t j = 0; j < height; ++j) {
      const int64_t row = texelSource(area.y, area.h, lodDown, j);
      const uint32_t* source = image.pixels.data() + static_cast<size_t>(row) * static_cast<size_t>(image.width);
      uint32_t* out = reducedPixels_.data() + static_cast<size_t>(j) * static_cast<size_t>(width);
      for (int32_t i = 0; i < width; ++i) out[i] = source[texelSource(area.x, area.w, lodAcross, i)];
    }
  }
  StartupTraceStep step("Reduced image tile uploaded");
  return SDL_UpdateTexture(texture, nullptr, reducedPixels_.data(), width * 4);
}

// While over budget with two tiles or more, the least recently used tile goes; the tile just made, the most
// recently used, is never the one. A single tile larger than the budget stays.
void ImageTileCache::evict(bool olderFramesOnly) {
  while (bytesUsed_ > budget_ && tiles_.size() >= 2) {
    const auto oldest = tiles_.find(recency_.front());
    if (olderFramesOnly && oldest->second.lastUsedFrame == frame_) return;
    erase(oldest);
  }
}

void ImageTileCache::erase(std::unordered_map<TileKey, ImageTile, TileKeyHasher>::iterator tile) {
  bytesUsed_ -= tile->second.bytes;
  if (tile->second.lastUsedFrame == frame_) bytesThisFrame_ -= tile->second.bytes;
  recency_.erase(tile->second.recency);
  unlistKey(tile->first);
  tiles_.erase(tile);
}

void ImageTileCache::unlistKey(const TileKey& key) {
  const auto listed = keysOfImage_.find(key.imageId);
  if (listed == keysOfImage_.end()) return;
  std::vector<TileKey>& keys = listed->second;
  const auto at = std::find(keys.begin(), keys.end(), key);
  if (at != keys.end()) {
    *at = keys.back();
    keys.pop_back();
  }
  if (keys.empty()) keysOfImage_.erase(listed);
}

void ImageTileCache::forgetImage(uint64_t imageId) {
  const auto listed = keysOfImage_.find(imageId);
  if (listed == keysOfImage_.end()) return;
  const std::vector<TileKey> keys = std::move(listed->second);
  keysOfImage_.erase(listed);
  for (const TileKey& key : keys) {
    if (const auto tile = tiles_.find(key); tile != tiles_.end()) erase(tile);
  }
}

void ImageTileCache::clear() {
  tiles_.clear();
  recency_.clear();
  keysOfImage_.clear();
  bytesUsed_ = 0;
  bytesThisFrame_ = 0;
}
