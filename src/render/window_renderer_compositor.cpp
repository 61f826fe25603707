// The image compositor of a window. Its first image placement switches the window for good from the window
// surface to a software workspace of its own: the rasterizer draws the frame there, with transparent holes
// where images go, and every present uploads the workspace as one texture and draws it over the images'
// texture tiles (ImageTileCache) with the window's SDL renderer. Should the renderer or the workspace
// texture fail once the window surface was released, the window returns to its window surface for good and
// images are drawn in software, rather than staying blank.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "render/canvas_bitmap.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"
#include "render/startup_trace.h"
#include "render/window_renderer.h"

namespace {

constexpr int64_t kTileTexturePixels = 512;
constexpr int32_t kMaxLevelOfDetail = 64;
constexpr int64_t kMaxTileSpan = INT32_MAX;

SDL_FRect floatRect(int64_t x, int64_t y, int64_t w, int64_t h) {
  return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(w), static_cast<float>(h)};
}

void setDrawColor(SDL_Renderer* renderer, uint32_t color) {
  SDL_SetRenderDrawColor(renderer, static_cast<Uint8>(color >> 16), static_cast<Uint8>(color >> 8),
                         static_cast<Uint8>(color), static_cast<Uint8>(color >> 24));
}

// A box [left, right) x [top, bottom) of output pixels; the visible box is the part of the renderer's output
// that a clip lets through.
struct VisibleBox {
  int64_t left, top, right, bottom;
};

VisibleBox visibleBox(SDL_Renderer* renderer, const RenderRect& clip) {
  int width = 0, height = 0;
  SDL_GetCurrentRenderOutputSize(renderer, &width, &height);
  return {std::max<int64_t>(clip.x, 0), std::max<int64_t>(clip.y, 0),
          std::min<int64_t>(int64_t{clip.x} + clip.w, width), std::min<int64_t>(int64_t{clip.y} + clip.h, height)};
}

// Image pixels per texture pixel for drawing source into dest: the smaller of the two axes' ratios, 1 to 64,
// raised where needed so that a tile spans at least one destination pixel on each axis. Without that, an
// image squeezed far more on one axis than the other (90,000,000 x 1 into 1,000 x 1) would take hundreds of
// thousands of tiles, each drawn over a fraction of a pixel.
int32_t levelOfDetail(const RenderRect& source, const RenderRect& dest) {
  const int32_t byRatio = std::clamp(std::min(source.w / dest.w, source.h / dest.h), 1, kMaxLevelOfDetail);
  const auto spanCovering = [](int64_t sourceLength, int64_t destLength) {
    const int64_t perTile = kTileTexturePixels * destLength;
    return (sourceLength + perTile - 1) / perTile;
  };
  const int64_t atLeast = std::max(spanCovering(source.w, dest.w), spanCovering(source.h, dest.h));
  return static_cast<int32_t>(std::clamp<int64_t>(atLeast, byRatio, kMaxTileSpan / kTileTexturePixels));
}

// One axis of a tile drawn partly out of sight: texture span [from, from + length) over target span
// [start, start + size), cut to the visible [visibleStart, visibleEnd). SDL's software renderer takes whole
// texels only and scales a destination that leaves its output through a buffer of the destination's size,
// so the cut is made of whole texels: the inner ones over their own target pixels, and the two partly
// visible ones at the ends each stretched over its visible part, as nearest sampling shows it.
struct AxisPiece {
  int64_t texel, texels;   // texture span
  int64_t target, pixels;  // target span
};

int cutAxis(double from, double length, int64_t start, int64_t size, int64_t visibleStart, int64_t visibleEnd,
            AxisPiece (&pieces)[3]) {
  const int64_t first = std::max(start, visibleStart);
  const int64_t end = std::min(start + size, visibleEnd);
  if (end <= first) return 0;
  const double texelsPerPixel = length / static_cast<double>(size);
  const auto texelAt = [&](int64_t pixel) { return from + static_cast<double>(pixel - start) * texelsPerPixel; };
  const auto pixelAt = [&](int64_t texel) {
    const double pixel = static_cast<double>(start) + (static_cast<double>(texel) - from) / texelsPerPixel;
    return std::clamp(static_cast<int64_t>(std::llround(pixel)), first, end);
  };
  const auto lowest = static_cast<int64_t>(std::floor(from));
  const auto highest = static_cast<int64_t>(std::ceil(from + length));
  const int64_t firstTexel = std::clamp(static_cast<int64_t>(std::floor(texelAt(first))), lowest, highest - 1);
  const int64_t endTexel =
      std::clamp(static_cast<int64_t>(std::ceil(texelAt(end))), firstTexel + 1, std::max(highest, firstTexel + 1));
  if (endTexel - firstTexel == 1) {
    pieces[0] = {firstTexel, 1, first, end - first};
    return 1;
  }
  const int64_t innerStart = pixelAt(firstTexel + 1), innerEnd = pixelAt(endTexel - 1);
  const AxisPiece candidates[3] = {{firstTexel, 1, first, innerStart - first},
                                   {firstTexel + 1, endTexel - firstTexel - 2, innerStart, innerEnd - innerStart},
                                   {endTexel - 1, 1, innerEnd, end - innerEnd}};
  int count = 0;
  for (const AxisPiece& piece : candidates) {
    if (piece.texels > 0 && piece.pixels > 0) pieces[count++] = piece;
  }
  return count;
}

// A tile whose target leaves the visible box is drawn over the visible part only, from the texels that show
// there, so that its cost follows the window's size and not the zoom.
void drawVisibleTilePart(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect& from, const VisibleBox& to,
                         const VisibleBox& visible) {
  AxisPiece columns[3], rows[3];
  const int columnCount = cutAxis(from.x, from.w, to.left, to.right - to.left, visible.left, visible.right, columns);
  const int rowCount = cutAxis(from.y, from.h, to.top, to.bottom - to.top, visible.top, visible.bottom, rows);
  for (int row = 0; row < rowCount; ++row) {
    for (int column = 0; column < columnCount; ++column) {
      const AxisPiece& across = columns[column];
      const AxisPiece& down = rows[row];
      const SDL_FRect part = floatRect(across.texel, down.texel, across.texels, down.texels);
      const SDL_FRect target = floatRect(across.target, down.target, across.pixels, down.pixels);
      SDL_RenderTexture(renderer, texture, &part, &target);
    }
  }
}

}  // namespace

SDL_Surface* WindowRenderer::softwareSurface() {
  int width = 0, height = 0;
  if (window_ != nullptr) SDL_GetWindowSizeInPixels(window_, &width, &height);
  width = std::max(width, 1);
  height = std::max(height, 1);
  if (softwareSurface_ && softwareSurface_->w == width && softwareSurface_->h == height) {
    return softwareSurface_.get();
  }
  compositorTexture_.reset();  // made again at the new size
  softwareSurface_.reset(SDL_CreateSurface(width, height, SDL_PIXELFORMAT_ARGB8888));
  if (softwareSurface_) SDL_ClearSurface(softwareSurface_.get(), 0, 0, 0, 0);
  return softwareSurface_.get();
}

bool WindowRenderer::addImagePlacement(const CanvasBitmap* image, const RenderRect& source, const RenderRect& dest,
                                       const RenderRect& clip, uint32_t cellSize, uint32_t color1, uint32_t color2) {
  if (image == nullptr || source.w < 1 || source.h < 1 || dest.w < 1 || dest.h < 1 || canvasTarget_ != nullptr ||
      compositorFailed_ || !activateCompositor()) {
    return false;
  }
  if (!ensureCompositorTexture()) {
    leaveCompositor();
    return false;
  }
  imagePlacements_.push_back({image, source, dest, clip, cellSize, color1, color2});
  return true;
}

// The workspace starts with what the window shows; then the window surface is released, since SDL makes no
// renderer for a window that has one. A failure leaves the window on its window surface.
bool WindowRenderer::activateCompositor() {
  if (compositorActive_) return true;
  StartupTraceStep whole("Image compositor activated");
  SDL_Surface* shown = nullptr;
  {
    StartupTraceStep step("Image compositor obtained the window surface");
    shown = targetSurface();  // the window surface, or its ARGB shadow
  }
  if (shown == nullptr) return false;
  {
    StartupTraceStep step("Image compositor created its software surface");
    softwareSurface_.reset(SDL_CreateSurface(shown->w, shown->h, SDL_PIXELFORMAT_ARGB8888));
  }
  if (!softwareSurface_) return false;
  bool copied = false;
  {
    StartupTraceStep step("Image compositor copied the visible window");
    SDL_SetSurfaceBlendMode(shown, SDL_BLENDMODE_NONE);
    copied = SDL_BlitSurface(shown, nullptr, softwareSurface_.get(), nullptr);
  }
  bool released = false;
  if (copied) {
    StartupTraceStep step("Image compositor released the window surface");
    released = SDL_DestroyWindowSurface(window_);
  }
  if (!released) {
    softwareSurface_.reset();
    return false;
  }
  shadowSurface_.reset();
  compositorActive_ = true;
  return true;
}

bool WindowRenderer::ensureCompositorTexture() {
  if (!compositorActive_) return false;
  StartupTraceStep whole("Image compositor software texture ready");
  SDL_Surface* workspace = nullptr;
  {
    StartupTraceStep step("Image compositor ensured its software surface");
    workspace = softwareSurface();
  }
  if (workspace == nullptr || !imageTileCache_->ensureRenderer(nullptr)) return false;
  if (!compositorTexture_) {
    StartupTraceStep step("Image compositor created the software texture");
    compositorTexture_.reset(SDL_CreateTexture(imageTileCache_->renderer(), SDL_PIXELFORMAT_ARGB8888,
                                               SDL_TEXTUREACCESS_STREAMING, workspace->w, workspace->h));
    if (!compositorTexture_) return false;
    SDL_SetTextureBlendMode(compositorTexture_.get(), SDL_BLENDMODE_BLEND);
  }
  return true;
}

// Back to the window surface for good: the renderer goes (a window with a renderer has no surface), the
// window surface is taken again with what the workspace holds, and the next frame redraws every cell.
// Returns whether the window surface got the workspace's pixels.
bool WindowRenderer::leaveCompositor() {
  compositorTexture_.reset();
  imageTileCache_->releaseRenderer();
  compositorActive_ = false;
  compositorFailed_ = true;
  imagePlacements_.clear();
  renderCache_->invalidateAll();
  SDL_Surface* windowSurface = targetSurface();
  bool copied = false;
  if (windowSurface != nullptr && softwareSurface_) {
    SDL_SetSurfaceBlendMode(softwareSurface_.get(), SDL_BLENDMODE_NONE);
    copied = SDL_BlitSurface(softwareSurface_.get(), nullptr, windowSurface, nullptr);
  }
  softwareSurface_.reset();
  return copied;
}

void WindowRenderer::presentComposited() {
  StartupTraceStep whole("Composited workspace frame finished");
  if (!ensureCompositorTexture()) {
    if (leaveCompositor()) {
      const RenderRect viewport = renderCache_->viewport();
      presentWindowSurface(&viewport, 1);
    }
    return;
  }
  SDL_Renderer* renderer = imageTileCache_->renderer();
  {
    StartupTraceStep step("Software workspace uploaded to the compositor");
    SDL_UpdateTexture(compositorTexture_.get(), nullptr, softwareSurface_->pixels, softwareSurface_->pitch);
  }
  {
    StartupTraceStep step("Image and workspace composition queued");
    compose(renderer);
  }
  {
    StartupTraceStep step("Composited workspace presented");
    SDL_RenderPresent(renderer);
  }
  if (firstPresent_) {
    {
      StartupTraceStep step("Composited window shown");
      SDL_ShowWindow(window_);
    }
    StartupTraceStep step("Visible composited workspace presented again");
    compose(renderer);
    SDL_RenderPresent(renderer);
    firstPresent_ = false;
  }
}

void WindowRenderer::compose(SDL_Renderer* renderer) {
  SDL_SetRenderClipRect(renderer, nullptr);
  SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
  SDL_RenderClear(renderer);
  if (!imagePlacements_.empty()) drawVisibleImageTiles();
  SDL_RenderTexture(renderer, compositorTexture_.get(), nullptr, nullptr);
}

void WindowRenderer::drawVisibleImageTiles() {
  SDL_Renderer* renderer = imageTileCache_->renderer();
  if (renderer == nullptr) return;
  StartupTraceStep step("Visible image tiles uploaded and drawn");
  for (const ImagePlacement& placement : imagePlacements_) {
    const SDL_Rect clip{placement.clip.x, placement.clip.y, placement.clip.w, placement.clip.h};
    SDL_SetRenderClipRect(renderer, &clip);
    drawPlacementCheckerboard(renderer, placement);
    drawPlacementTiles(renderer, placement);
  }
  SDL_SetRenderClipRect(renderer, nullptr);
}

// Cells of cellSize from the destination's corner, coloured by the parity of their corner's cell indices;
// only the cells inside the clip and the output are drawn, each colour's cells in one call.
void WindowRenderer::drawPlacementCheckerboard(SDL_Renderer* renderer, const ImagePlacement& placement) {
  const RenderRect& dest = placement.dest;
  const int64_t cell = placement.cellSize;
  if (cell == 0 || dest.h < 1) return;
  const VisibleBox visible = visibleBox(renderer, placement.clip);
  const int64_t right = std::min(int64_t{dest.x} + dest.w, visible.right);
  const int64_t bottom = std::min(int64_t{dest.y} + dest.h, visible.bottom);
  const int64_t left = std::max<int64_t>(dest.x, visible.left);
  const int64_t top = std::max<int64_t>(dest.y, visible.top);
  if (right <= left || bottom <= top) return;
  const int64_t firstX = dest.x + (left - dest.x) / cell * cell;
  const int64_t firstY = dest.y + (top - dest.y) / cell * cell;
  for (std::vector<SDL_FRect>& cells : checkerCells_) cells.clear();
  for (int64_t cy = firstY; cy < bottom; cy += cell) {
    for (int64_t cx = firstX; cx < right; cx += cell) {
      checkerCells_[(cx / cell + cy / cell) % 2 != 0 ? 1 : 0].push_back(floatRect(
          cx, cy, std::min(int64_t{dest.x} + dest.w - cx, cell), std::min(int64_t{dest.y} + dest.h - cy, cell)));
    }
  }
  const uint32_t colors[2] = {placement.color1, placement.color2};
  for (int parity = 0; parity < 2; ++parity) {
    if (checkerCells_[parity].empty()) continue;
    setDrawColor(renderer, colors[parity]);
    SDL_RenderFillRects(renderer, checkerCells_[parity].data(), static_cast<int>(checkerCells_[parity].size()));
  }
}

// The tiles that the source rectangle covers, each drawn over its share of the destination. Tiles whose
// share cannot be seen (outside the clip or the output) are neither made nor drawn; a tile that cannot be
// made is skipped.
void WindowRenderer::drawPlacementTiles(SDL_Renderer* renderer, const ImagePlacement& placement) {
  const RenderRect& source = placement.source;
  const RenderRect& dest = placement.dest;
  const VisibleBox visible = visibleBox(renderer, placement.clip);
  const int32_t lod = levelOfDetail(source, dest);
  const int64_t span = kTileTexturePixels * lod;
  const TileGrid grid(placement.image, static_cast<int32_t>(span), lod);
  const int64_t sourceRight = int64_t{source.x} + source.w;
  const int64_t sourceBottom = int64_t{source.y} + source.h;
  const int64_t lastRow = std::min<int64_t>((sourceBottom - 1) / span, grid.rows() - 1);
  const int64_t lastColumn = std::min<int64_t>((sourceRight - 1) / span, grid.columns() - 1);
  const float texturePixelsPerImagePixel = 1.0f / static_cast<float>(lod);
  for (int64_t row = std::max<int64_t>(source.y / span, 0); row <= lastRow; ++row) {
    for (int64_t column = std::max<int64_t>(source.x / span, 0); column <= lastColumn; ++column) {
      const RenderRect area = grid.tileRect(static_cast<int32_t>(column), static_cast<int32_t>(row));
      const int64_t x0 = std::max<int64_t>(area.x, source.x);
      const int64_t y0 = std::max<int64_t>(area.y, source.y);
      const int64_t w = std::min(int64_t{area.x} + area.w, sourceRight) - x0;
      const int64_t h = std::min(int64_t{area.y} + area.h, sourceBottom) - y0;
      if (w <= 0 || h <= 0) continue;
      const int64_t ox = x0 - source.x;
      const int64_t oy = y0 - source.y;
      const int64_t left = dest.x + ox * dest.w / source.w;
      const int64_t top = dest.y + oy * dest.h / source.h;
      const int64_t width = std::max<int64_t>(1, (source.w + (ox + w) * dest.w - 1) / source.w - (left - dest.x));
      const int64_t height = std::max<int64_t>(1, (source.h + (oy + h) * dest.h - 1) / source.h - (top - dest.y));
      if (left >= visible.right || top >= visible.bottom || left + width <= visible.left ||
          top + height <= visible.top) {
        continue;
      }
      const ImageTile* tile =
          imageTileCache_->tile(grid, static_cast<int32_t>(column), static_cast<int32_t>(row), nullptr);
      if (tile == nullptr || !tile->texture) continue;
      SDL_FRect from = floatRect(x0 - area.x, y0 - area.y, w, h);
      from.x *= texturePixelsPerImagePixel;
      from.y *= texturePixelsPerImagePixel;
      from.w *= texturePixelsPerImagePixel;
      from.h *= texturePixelsPerImagePixel;
      if (left >= visible.left && top >= visible.top && left + width <= visible.right &&
          top + height <= visible.bottom) {
        const SDL_FRect to = floatRect(left, top, width, height);
        SDL_RenderTexture(renderer, tile->texture.get(), &from, &to);
      } else {
        drawVisibleTilePart(renderer, tile->texture.get(), from, {left, top, left + width, top + height}, visible);
      }
    }
  }
}
