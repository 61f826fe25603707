// The per-window renderer: owns the window's RenderCache and ImageTileCache, chooses the surface the
// rasterizer draws into (a canvas target, the window surface, or once the window shows tiled images the
// compositor's workspace), counts open drawing scopes and presents finished frames. The rasterizer
// primitives that replay commands are members too (window_renderer_shapes.cpp, window_renderer_images.cpp,
// window_renderer_text.cpp); the compositor is in window_renderer_compositor.cpp.
//
// Window surfaces on Linux are XRGB8888 or ARGB8888, which share the byte layout the rasterizer writes;
// any other window surface format is drawn through an ARGB8888 shadow surface copied at present.
#pragma once

#include <SDL3/SDL_rect.h>
#include <SDL3/SDL_surface.h>
#include <SDL3/SDL_video.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/sdl_handles.h"
#include "platform/line_raster.h"
#include "render/blend_rows.h"
#include "render/glyph_view_cache.h"
#include "render/pixel_ops.h"
#include "render/render_command.h"
#include "render/text_layout.h"

class ImageTileCache;
class RenderCache;
struct CanvasBitmap;

// An image the compositor draws this frame from texture tiles, under the software-drawn frame. Rectangles:
// source in image pixels, dest and clip in window pixels; a cellSize above 0 draws a checkerboard of
// color1 and color2 under the image, its cells anchored at the window's origin as drawCheckerboard's are.
struct ImagePlacement {
  const CanvasBitmap* image;
  RenderRect source;
  RenderRect dest;
  RenderRect clip;
  uint32_t cellSize;
  uint32_t color1;
  uint32_t color2;
};

using PolylinePoint = LinePoint;

// What the compositor samples the visible part of a tile drawn cut into: a streaming texture, its pixels
// and the image column of each of its columns, reused by every such tile.
struct CutTileScratch {
  TextureHandle texture;
  std::vector<uint32_t> pixels;
  std::vector<int64_t> columns;
};

class WindowRenderer {
 public:
  explicit WindowRenderer(SDL_Window* window);
  ~WindowRenderer();
  WindowRenderer(const WindowRenderer&) = delete;
  WindowRenderer& operator=(const WindowRenderer&) = delete;

  RenderCache* renderCache() { return renderCache_.get(); }
  const RenderCache* renderCache() const { return renderCache_.get(); }
  ImageTileCache* imageTileCache() { return imageTileCache_.get(); }
  SDL_Window* window() const { return window_; }
  bool setVSync(bool on, std::string* error);

  // The surface primitives draw into: the canvas target, else the compositor's workspace once the
  // compositor is active, else the window surface (or its shadow).
  SDL_Surface* targetSurface();
  // The compositor's workspace at the window's pixel size (re-created, cleared, when that changed).
  SDL_Surface* softwareSurface();
  void outputSize(int32_t* w, int32_t* h);

  void beginDrawing();
  void endDrawing();
  bool isDrawing() const { return drawingDepth_ != 0; }

  bool beginCanvasTarget(CanvasBitmap* bitmap, std::string* error);
  void endCanvasTarget();
  bool hasCanvasTarget() const { return canvasTarget_ != nullptr; }

  // Whether the first presented frame shows the window (on until the first present).
  void setShowAtFirstPresent(bool show) { firstPresent_ = show; }

  void setClip(const RenderRect& rect);
  ClipBox clip() const { return clip_; }
  void present(const RenderRect* rects, int32_t count);

  // The image compositor. A placement switches the window to the compositor path on first use; it is
  // refused (and the caller draws the image itself) when the image or a rectangle is empty, a canvas
  // target is set, or the compositor cannot run. The frame notes a placed image as one it draws.
  bool addImagePlacement(const CanvasBitmap* image, const RenderRect& source, const RenderRect& dest,
                         const RenderRect& clip, uint32_t cellSize, uint32_t color1, uint32_t color2);
  // Records an image shown from source into dest, over a checkerboard of cellSize, within clip and the
  // frame's own clip: through the compositor (a transparent hole in the frame where the tiles show) or, when
  // it refuses the placement, drawn in software. Outside the clips the frame stays as drawn either way. True
  // when placed; with no frame open nothing is placed or recorded.
  bool drawCanvasTiled(CanvasBitmap* image, const RenderRect& source, const RenderRect& dest, const RenderRect& clip,
                       int32_t cellSize, uint32_t color1, uint32_t color2);
  bool hasImagePlacements() const { return !imagePlacements_.empty(); }
  bool compositorActive() const { return compositorActive_; }

  // Shapes.
  void fillRect(const RenderRect& rect, uint32_t color);
  void clearRect(const RenderRect& rect);
  void drawCheckerboard(const RenderRect& rect, int32_t cellSize, uint32_t color1, uint32_t color2);
  void drawVerticalRules(float firstX, float spacing, int32_t y, int32_t h, int32_t ruleWidth, int32_t count,
                         int32_t activeIndex, uint32_t color, uint32_t activeColor);
  void drawEllipse(const RenderRect& rect, int32_t lineWidth, uint32_t color);
  void fillCircle(const RenderRect& rect, uint32_t color);
  void strokeCircle(const RenderRect& rect, int32_t lineWidth, uint32_t color);
  void drawCrossShape(const RenderRect& rect, int32_t stroke, uint32_t color);
  void drawTriangleRight(const RenderRect& rect, uint32_t color);
  void drawTriangleUp(const RenderRect& rect, uint32_t color);
  void drawTriangleDown(const RenderRect& rect, uint32_t color);
  void drawAntialiasedRect(float x, float y, float w, float h, uint32_t color);
  void drawPolyline(std::span<const PolylinePoint> points, float width, uint32_t color);

  // Images.
  void blitImage(const CanvasBitmap* image, const RenderRect* source, int32_t x, int32_t y, uint32_t tint, bool blend);
  void blitImageScaled(const CanvasBitmap* image, const RenderRect* source, const RenderRect* dest);

  // Text and glyphs; y is the line top, results are the pen x after the text.
  void drawMissingGlyphBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color);
  int32_t drawGlyph(RenderFont* font, uint32_t glyphId, int32_t penX, int32_t y, uint32_t color);
  int32_t drawUtf8Text(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color);
  int32_t drawCodepointRun(std::span<const RunCodepoint> entries, int32_t x, int32_t y, uint32_t color);
  int32_t drawShapedRun(std::span<const ShapedGlyph> glyphs, int32_t x, int32_t y, uint32_t color);
  int32_t drawTextCells(std::span<const TextCell> cells, int32_t x, int32_t y, uint32_t color, int32_t cellWidth);
  // The box the glyphs of a text cover when it is drawn at (0, 0): what the text draws, wherever its glyphs
  // reach (a stack of marks far above the line included).
  GlyphInk inkOfUtf8Text(RenderFont* font, const char* text);
  GlyphInk inkOfRuns(const TextLayout& layout);
  GlyphInk inkOfTextCells(std::span<const TextCell> cells, int32_t cellWidth);

 private:
  // Resolves the target pixels; false when there is no target surface.
  bool rasterTarget(RasterTarget* target);
  SDL_Surface* shadowFor(SDL_Surface* windowSurface);
  void fillSpan(const RasterTarget& target, const PixelSpan& span, uint32_t color);
  void fillRectRepeatedly(const RenderRect& rect, uint32_t color, int64_t times);
  // whiteSource: every source pixel is white (a coverage glyph), so the colour comes from the tint.
  void blitInto(const RasterTarget& target, const CanvasBitmap& image, const RenderRect& source, int64_t x, int64_t y,
                uint32_t tint, bool blend, bool whiteSource) const;
  class GlyphPainter;
  class InkGauge;
  template <typename Sink>
  int64_t walkUtf8Text(RenderFont* font, const char* text, int64_t x, int64_t y, Sink& sink);
  template <typename Sink>
  int64_t walkCodepointRun(std::span<const RunCodepoint> entries, int64_t x, int64_t y, Sink& sink);
  template <typename Sink>
  int64_t walkShapedRun(std::span<const ShapedGlyph> glyphs, int64_t x, int64_t y, Sink& sink);
  template <typename Sink>
  int64_t walkTextCells(std::span<const TextCell> cells, int64_t x, int64_t y, int32_t cellWidth, Sink& sink);
  void drawTriangleRows(const RenderRect& rect, uint32_t color, bool pointsUp);
  bool activateCompositor();
  bool ensureCompositorTexture();
  bool leaveCompositor();
  void presentComposited();
  void compose(SDL_Renderer* renderer);
  void drawVisibleImageTiles();
  void drawPlacementCheckerboard(SDL_Renderer* renderer, const ImagePlacement& placement);
  void drawPlacementTiles(SDL_Renderer* renderer, const ImagePlacement& placement);

  void presentWindowSurface(const RenderRect* rects, int32_t count);

  SDL_Window* window_;
  SurfaceHandle softwareSurface_;
  SurfaceHandle canvasTargetSurface_;
  SurfaceHandle shadowSurface_;
  TextureHandle compositorTexture_;
  CutTileScratch cutTile_;
  CanvasBitmap* canvasTarget_ = nullptr;
  ClipBox clip_{0, 0, 0, 0};
  bool firstPresent_ = true;
  bool compositorActive_ = false;
  bool compositorFailed_ = false;  // the compositor could not run once: later placements are drawn in software
  std::unique_ptr<RenderCache> renderCache_;
  std::unique_ptr<ImageTileCache> imageTileCache_;
  std::vector<ImagePlacement> imagePlacements_;
  std::vector<SDL_FRect> checkerCells_[2];  // by colour, reused by every checkerboard
  int32_t drawingDepth_ = 0;
  std::vector<SDL_Rect> presentRects_;
  std::vector<LineSpan> lineSpans_;  // reused by every polyline
  GlyphViewCache glyphViews_;
  std::vector<BlendArea> queuedGlyphs_;  // reused by every text call
};

// Owns a native window together with its renderer; the renderer goes first, then the window through the
// deleter it came with.
class WindowRendererHandle {
 public:
  using WindowDeleter = void (*)(SDL_Window*);

  WindowRendererHandle() = default;
  // Takes ownership of the window; if the renderer cannot be made the window is destroyed and the
  // failure propagates.
  WindowRendererHandle(SDL_Window* window, WindowDeleter deleter);
  ~WindowRendererHandle();
  WindowRendererHandle(WindowRendererHandle&& other) noexcept;
  WindowRendererHandle& operator=(WindowRendererHandle&& other) noexcept;
  WindowRendererHandle(const WindowRendererHandle&) = delete;
  WindowRendererHandle& operator=(const WindowRendererHandle&) = delete;

  SDL_Window* window() const { return window_; }
  WindowRenderer* renderer() { return renderer_.get(); }
  const WindowRenderer* renderer() const { return renderer_.get(); }

 private:
  void release();

  WindowDeleter windowDeleter_ = nullptr;
  SDL_Window* window_ = nullptr;
  std::unique_ptr<WindowRenderer> renderer_;
};
