// The image compositor of a window. Its first image placement switches the window for good from the window
// surface to a software workspace of its own: the rasterizer draws the frame there, with transparent holes
// where images go, and every present uploads the workspace as one texture and draws it over the images'
// texture tiles (ImageTileCache) with the window's SDL renderer. Should the renderer or the workspace
// texture fail once the window surface was released, the window returns to its window surface for good and
// images are drawn in software, rather than staying blank.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "render/canvas_bitmap.h"
#include "render/image_tile_cache.h"
#include "render/pixel_ops.h"
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

// value / divisor rounded down, for a positive divisor.
int64_t floorDivide(int64_t value, int64_t divisor) {
  return value >= 0 ? value / divisor : -((-value + divisor - 1) / divisor);
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

// How the image is cut on one axis for drawing a source length into a destination length: image pixels
// per texture pixel by the axis's own ratio, 1 to 64 (an image squeezed 1,000 times across and stretched down
// keeps every row), raised where needed so that a tile spans at least one destination pixel. Without that, an
// image squeezed far more (90,000,000 x 1 into 1,000 x 1) would take hundreds of thousands of tiles, each
// drawn over a fraction of a pixel.
TileAxis tileAxis(int32_t sourceLength, int32_t destLength) {
  const int32_t byRatio = std::clamp(sourceLength / destLength, 1, kMaxLevelOfDetail);
  const int64_t perTile = kTileTexturePixels * destLength;
  const int64_t atLeast = (sourceLength + perTile - 1) / perTile;
  const auto lod = static_cast<int32_t>(std::clamp<int64_t>(atLeast, byRatio, kMaxTileSpan / kTileTexturePixels));
  return {static_cast<int32_t>(kTileTexturePixels * lod), lod};
}

// Where the texels of a tile drawn partly out of sight fall, on one axis: the texel span [from, from +
// texels) stretched over the target span [start, start + pixels). Up to a size the renderer draws whole, it
// is the renderer's own nearest sampling, which steps through the span in 16.16 fixed point from half a
// step; a tile drawn cut then shows each texel on exactly the pixels it covers when drawn whole. Far
// larger, where the renderer draws nothing whole and its step would lose precision, each pixel takes the
// texel under its centre.
class TexelStepping {
 public:
  TexelStepping(int64_t from, int64_t texels, int64_t start, int64_t pixels, bool asRenderer)
      : from_(from),
        texels_(texels),
        start_(start),
        pixels_(pixels),
        asRenderer_(asRenderer),
        step_((static_cast<uint64_t>(texels) << 16) / static_cast<uint64_t>(pixels)) {}

  int64_t texelAt(int64_t pixel) const {
    const auto offset = static_cast<uint64_t>(pixel - start_);
    const uint64_t texel =
        asRenderer_ ? (step_ / 2 + offset * step_) >> 16
                    : (2 * offset + 1) * static_cast<uint64_t>(texels_) / (2 * static_cast<uint64_t>(pixels_));
    return from_ + static_cast<int64_t>(std::min(texel, static_cast<uint64_t>(texels_ - 1)));
  }

 private:
  int64_t from_, texels_, start_, pixels_;
  bool asRenderer_;
  uint64_t step_;
};

enum class TileDrawing { Whole, SampledAsRenderer, SampledAtCentres };

// How a tile is drawn over its target. One in sight whole is drawn by the renderer. The software renderer
// scales a target that leaves its output through a buffer of the target's size: it draws a filtered tile
// (reduced on both axes) whole up to the output's area, as it filters exactly only what it draws
// whole; a tile sampled nearest is sampled here over the part that shows, as the renderer steps through it
// up to that area and at pixel centres beyond. Other renderers sample at pixel centres and clip for
// nothing: they draw a tile whole while its target's edges are exact in single precision.
TileDrawing tileDrawing(bool software, const VisibleBox& target, const VisibleBox& visible, bool filtered,
                        int64_t outputPixels) {
  if (target.left >= visible.left && target.top >= visible.top && target.right <= visible.right &&
      target.bottom <= visible.bottom) {
    return TileDrawing::Whole;
  }
  if (!software) {
    constexpr int64_t kExactInFloat = int64_t{1} << 24;
    const bool exact = std::max({-target.left, -target.top, target.right, target.bottom}) <= kExactInFloat;
    return exact ? TileDrawing::Whole : TileDrawing::SampledAtCentres;
  }
  if ((target.right - target.left) * (target.bottom - target.top) > outputPixels) return TileDrawing::SampledAtCentres;
  return filtered ? TileDrawing::Whole : TileDrawing::SampledAsRenderer;
}

// A streaming texture at least the size asked, blended as the tiles are.
bool ensureCutTileTexture(SDL_Renderer* renderer, TextureHandle& texture, int32_t width, int32_t height) {
  if (texture && texture->w >= width && texture->h >= height) return true;
  const int32_t textureWidth = std::max(width, texture ? texture->w : 0);
  const int32_t textureHeight = std::max(height, texture ? texture->h : 0);
  texture.reset(
      SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, textureWidth, textureHeight));
  if (!texture) return false;
  SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND);
  SDL_SetTextureScaleMode(texture.get(), SDL_SCALEMODE_NEAREST);
  return true;
}

// A tile whose target leaves the visible box is drawn over the visible part only: its texels are sampled
// here, for each visible pixel as the tile drawn whole would show it there (or, for a target far larger than
// the output, from the texel under the pixel's centre), into a texture at most the output's size, drawn
// unscaled. The cost follows the window and not the zoom, and a pan moves the image without changing a
// pixel. A tile made at a level of detail holds the first image pixel of each block (texelSource).
void drawVisibleTilePart(SDL_Renderer* renderer, CutTileScratch& scratch, const CanvasBitmap& image,
                         const ImageTile& tile, const TileGrid& grid, const RenderRect& texels,
                         const VisibleBox& target, const VisibleBox& visible, bool asRenderer) {
  const int64_t left = std::max(target.left, visible.left), right = std::min(target.right, visible.right);
  const int64_t top = std::max(target.top, visible.top), bottom = std::min(target.bottom, visible.bottom);
  if (right <= left || bottom <= top) return;
  const auto width = static_cast<int32_t>(right - left), height = static_cast<int32_t>(bottom - top);
  if (!ensureCutTileTexture(renderer, scratch.texture, width, height)) return;
  const TexelStepping across(texels.x, texels.w, target.left, target.right - target.left, asRenderer);
  const TexelStepping down(texels.y, texels.h, target.top, target.bottom - target.top, asRenderer);
  const RenderRect& area = tile.sourceRect;
  const int32_t lodAcross = grid.across().levelOfDetail;
  const int32_t lodDown = grid.down().levelOfDetail;
  scratch.columns.resize(static_cast<size_t>(width));
  for (int32_t x = 0; x < width; ++x) {
    scratch.columns[static_cast<size_t>(x)] = texelSource(area.x, area.w, lodAcross, across.texelAt(left + x));
  }
  scratch.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  uint32_t* out = scratch.pixels.data();
  for (int32_t y = 0; y < height; ++y) {
    const int64_t row = texelSource(area.y, area.h, lodDown, down.texelAt(top + y));
    const uint32_t* in = image.pixels.data() + static_cast<size_t>(row) * static_cast<size_t>(image.width);
    for (const int64_t column : scratch.columns) *out++ = in[column];
  }
  const SDL_Rect part{0, 0, width, height};
  if (!SDL_UpdateTexture(scratch.texture.get(), &part, scratch.pixels.data(), width * 4)) return;
  const SDL_FRect from = floatRect(0, 0, width, height);
  const SDL_FRect to = floatRect(left, top, width, height);
  SDL_RenderTexture(renderer, scratch.texture.get(), &from, &to);
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
  renderCache_->noteFrameImage(image);
  return true;
}

bool WindowRenderer::drawCanvasTiled(CanvasBitmap* image, const RenderRect& source, const RenderRect& dest,
                                     const RenderRect& clip, int32_t cellSize, uint32_t color1, uint32_t color2) {
  RenderCache& cache = *renderCache_;
  if (!cache.frameOpen()) return false;  // dropped, as every drawing outside a frame
  const RenderRect frameClip = cache.clipRect();
  const RenderRect shown = intersectRects(frameClip, clip);
  if (addImagePlacement(image, source, dest, shown, static_cast<uint32_t>(cellSize), color1, color2)) {
    cache.clearRect(intersectRects(dest, shown));
    return true;
  }
  cache.setClipRect(shown);
  cache.drawCheckerboard(dest, cellSize, color1, color2);
  cache.drawCanvasScaled(image, source, dest);
  cache.setClipRect(frameClip);
  return false;
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
  cutTile_.texture.reset();
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

// Cells of cellSize anchored at the output's origin, coloured by the parity of their cell indices (the
// first colour where it is even), as the software checkerboard draws them; only the cells inside the
// destination, the clip and the output are drawn, each colour's cells in one call.
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
  for (std::vector<SDL_FRect>& cells : checkerCells_) cells.clear();
  for (int64_t row = floorDivide(top, cell); row * cell < bottom; ++row) {
    const int64_t y0 = std::max(row * cell, top);
    const int64_t y1 = std::min(row * cell + cell, bottom);
    for (int64_t column = floorDivide(left, cell); column * cell < right; ++column) {
      const int64_t x0 = std::max(column * cell, left);
      const int64_t x1 = std::min(column * cell + cell, right);
      checkerCells_[(row + column) % 2 != 0 ? 1 : 0].push_back(floatRect(x0, y0, x1 - x0, y1 - y0));
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
  int outputWidth = 0, outputHeight = 0;
  SDL_GetCurrentRenderOutputSize(renderer, &outputWidth, &outputHeight);
  const int64_t outputPixels = int64_t{outputWidth} * outputHeight;
  const char* rendererName = SDL_GetRendererName(renderer);
  const bool software = rendererName != nullptr && std::strcmp(rendererName, SDL_SOFTWARE_RENDERER) == 0;
  const TileGrid grid(placement.image, tileAxis(source.w, dest.w), tileAxis(source.h, dest.h));
  const int64_t spanAcross = grid.across().span;
  const int64_t spanDown = grid.down().span;
  const bool filtered = grid.filtered();
  const int64_t sourceRight = int64_t{source.x} + source.w;
  const int64_t sourceBottom = int64_t{source.y} + source.h;
  const int64_t lastRow = std::min<int64_t>((sourceBottom - 1) / spanDown, grid.rows() - 1);
  const int64_t lastColumn = std::min<int64_t>((sourceRight - 1) / spanAcross, grid.columns() - 1);
  const float texturePixelsAcross = 1.0f / static_cast<float>(grid.across().levelOfDetail);
  const float texturePixelsDown = 1.0f / static_cast<float>(grid.down().levelOfDetail);
  for (int64_t row = std::max<int64_t>(source.y / spanDown, 0); row <= lastRow; ++row) {
    for (int64_t column = std::max<int64_t>(source.x / spanAcross, 0); column <= lastColumn; ++column) {
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
      from.x *= texturePixelsAcross;
      from.y *= texturePixelsDown;
      from.w *= texturePixelsAcross;
      from.h *= texturePixelsDown;
      // The share in whole texels, each length at least one, as the software renderer draws it. It is given
      // them so: it recomputes a fractional rectangle's size in single precision before cutting it to whole
      // texels, and a share just short of a texel (or of one under half a texel) was cut to nothing, the
      // tile then drawing one texel across its whole target.
      const RenderRect texels{static_cast<int32_t>(from.x), static_cast<int32_t>(from.y),
                              std::max(static_cast<int32_t>(from.w), 1), std::max(static_cast<int32_t>(from.h), 1)};
      const VisibleBox target{left, top, left + width, top + height};
      const TileDrawing drawing = tileDrawing(software, target, visible, filtered, outputPixels);
      if (drawing == TileDrawing::Whole) {
        const SDL_FRect shown = software ? floatRect(texels.x, texels.y, texels.w, texels.h) : from;
        const SDL_FRect to = floatRect(left, top, width, height);
        SDL_RenderTexture(renderer, tile->texture.get(), &shown, &to);
      } else {
        drawVisibleTilePart(renderer, cutTile_, *placement.image, *tile, grid, texels, target, visible,
                            drawing == TileDrawing::SampledAsRenderer);
      }
    }
  }
}
