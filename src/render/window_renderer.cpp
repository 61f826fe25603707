// WindowRenderer: target surfaces, drawing scopes, the canvas render target and presentation on the
// window-surface path (the compositor path is in window_renderer_compositor.cpp); WindowRendererHandle:
// ownership of the window and its renderer.
#include "render/window_renderer.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/sdl_error.h"
#include "render/canvas_bitmap.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"

namespace {

constexpr int32_t kMaxCanvasTargetWidth = 0x20000000;

// Formats whose bytes the rasterizer can write directly (the alpha byte of XRGB is ignored on screen).
bool drawsDirectly(SDL_PixelFormat format) {
  return format == SDL_PIXELFORMAT_ARGB8888 || format == SDL_PIXELFORMAT_XRGB8888;
}

}  // namespace

WindowRenderer::WindowRenderer(SDL_Window* window)
    : window_(window),
      renderCache_(std::make_unique<RenderCache>(this)),
      imageTileCache_(std::make_unique<ImageTileCache>(window)) {
  if (SDL_Surface* surface = targetSurface()) clip_ = {0, 0, surface->w, surface->h};
}

// The compositor texture and the tile cache (tiles, then the SDL renderer) go before the frame state and
// the surfaces.
WindowRenderer::~WindowRenderer() {
  compositorTexture_.reset();
  cutTile_.texture.reset();
  imageTileCache_.reset();
  imagePlacements_.clear();
  renderCache_.reset();
  canvasTargetSurface_.reset();
  softwareSurface_.reset();
  shadowSurface_.reset();
}

bool WindowRenderer::setVSync(bool on, std::string* error) { return imageTileCache_->setVSync(on, error); }

SDL_Surface* WindowRenderer::targetSurface() {
  if (canvasTargetSurface_) return canvasTargetSurface_.get();
  if (compositorActive_) return softwareSurface();
  if (window_ == nullptr) return nullptr;
  SDL_Surface* surface = SDL_GetWindowSurface(window_);
  if (surface == nullptr || drawsDirectly(surface->format)) return surface;
  return shadowFor(surface);
}

// The ARGB8888 stand-in for a window surface of another format, kept at the window surface's size.
SDL_Surface* WindowRenderer::shadowFor(SDL_Surface* windowSurface) {
  if (shadowSurface_ && shadowSurface_->w == windowSurface->w && shadowSurface_->h == windowSurface->h) {
    return shadowSurface_.get();
  }
  shadowSurface_.reset(SDL_CreateSurface(windowSurface->w, windowSurface->h, SDL_PIXELFORMAT_ARGB8888));
  if (!shadowSurface_) return nullptr;
  SDL_ClearSurface(shadowSurface_.get(), 0, 0, 0, 0);
  // Copied, not blended, at present: the shadow holds the frame as the window is to show it, so what the
  // window showed before must not shine through where the frame left alpha below 255.
  SDL_SetSurfaceBlendMode(shadowSurface_.get(), SDL_BLENDMODE_NONE);
  return shadowSurface_.get();
}

bool WindowRenderer::rasterTarget(RasterTarget* target) {
  SDL_Surface* surface = targetSurface();
  if (surface == nullptr || surface->pixels == nullptr) return false;
  *target = {static_cast<uint32_t*>(surface->pixels), surface->pitch / 4, surface->w, surface->h};
  return true;
}

void WindowRenderer::outputSize(int32_t* w, int32_t* h) {
  int width = 0, height = 0;
  if (canvasTarget_ != nullptr) {
    width = canvasTarget_->width;
    height = canvasTarget_->height;
  } else if (window_ != nullptr) {
    SDL_GetWindowSizeInPixels(window_, &width, &height);
  }
  if (w != nullptr) *w = width;
  if (h != nullptr) *h = height;
}

void WindowRenderer::beginDrawing() {
  ++drawingDepth_;
  imagePlacements_.clear();
  imageTileCache_->nextFrame();
  renderCache_->beginFrame();
}

void WindowRenderer::endDrawing() {
  renderCache_->endFrame();
  if (drawingDepth_ > 0) --drawingDepth_;
}

bool WindowRenderer::beginCanvasTarget(CanvasBitmap* bitmap, std::string* error) {
  const auto fail = [error](std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
  };
  if (canvasTarget_ != nullptr || drawingDepth_ != 0) return fail("renderer is already drawing");
  if (bitmap == nullptr || bitmap->width <= 0 || bitmap->height <= 0 || bitmap->width >= kMaxCanvasTargetWidth) {
    return fail("canvas dimensions are invalid");
  }
  SDL_ClearError();
  SurfaceHandle surface(SDL_CreateSurfaceFrom(bitmap->width, bitmap->height, SDL_PIXELFORMAT_ARGB8888,
                                              bitmap->pixels.data(), bitmap->width * 4));
  if (!surface) return fail(sdlFailureText("SDL_CreateSurfaceFrom"));
  canvasTargetSurface_ = std::move(surface);
  canvasTarget_ = bitmap;
  renderCache_->invalidateAll();
  return true;
}

void WindowRenderer::endCanvasTarget() {
  canvasTargetSurface_.reset();
  canvasTarget_ = nullptr;
  renderCache_->invalidateAll();
}

void WindowRenderer::setClip(const RenderRect& rect) {
  clip_ = {rect.x, rect.y, clampToInt32(int64_t{rect.x} + rect.w), clampToInt32(int64_t{rect.y} + rect.h)};
}

void WindowRenderer::present(const RenderRect* rects, int32_t count) {
  if (count < 1 || rects == nullptr || canvasTarget_ != nullptr || window_ == nullptr) return;
  if (compositorActive_) {
    presentComposited();
  } else {
    presentWindowSurface(rects, count);
  }
}

void WindowRenderer::presentWindowSurface(const RenderRect* rects, int32_t count) {
  presentRects_.clear();
  for (int32_t i = 0; i < count; ++i) {
    if (rects[i].w > 0 && rects[i].h > 0) presentRects_.push_back({rects[i].x, rects[i].y, rects[i].w, rects[i].h});
  }
  if (presentRects_.empty()) return;
  SDL_Surface* windowSurface = SDL_GetWindowSurface(window_);
  if (windowSurface != nullptr && shadowSurface_ && !drawsDirectly(windowSurface->format)) {
    // SDL takes a 10-bit surface for HDR10 and would re-encode the frame; the X server shows the values as
    // they are, as it shows 8-bit ones.
    SDL_SetSurfaceColorspace(windowSurface, SDL_COLORSPACE_SRGB);
    for (const SDL_Rect& rect : presentRects_) SDL_BlitSurface(shadowSurface_.get(), &rect, windowSurface, &rect);
  }
  const int rectCount = static_cast<int>(presentRects_.size());
  SDL_UpdateWindowSurfaceRects(window_, presentRects_.data(), rectCount);
  if (firstPresent_) {
    SDL_ShowWindow(window_);
    SDL_UpdateWindowSurfaceRects(window_, presentRects_.data(), rectCount);
    firstPresent_ = false;
  }
}

WindowRendererHandle::WindowRendererHandle(SDL_Window* window, WindowDeleter deleter)
    : windowDeleter_(deleter), window_(window) {
  try {
    renderer_ = std::make_unique<WindowRenderer>(window);
  } catch (...) {
    release();
    throw;
  }
}

WindowRendererHandle::~WindowRendererHandle() { release(); }

WindowRendererHandle::WindowRendererHandle(WindowRendererHandle&& other) noexcept
    : windowDeleter_(other.windowDeleter_), window_(other.window_), renderer_(std::move(other.renderer_)) {
  other.windowDeleter_ = nullptr;
  other.window_ = nullptr;
}

WindowRendererHandle& WindowRendererHandle::operator=(WindowRendererHandle&& other) noexcept {
  if (this != &other) {
    release();
    windowDeleter_ = other.windowDeleter_;
    window_ = other.window_;
    renderer_ = std::move(other.renderer_);
    other.windowDeleter_ = nullptr;
    other.window_ = nullptr;
  }
  return *this;
}

void WindowRendererHandle::release() {
  renderer_.reset();
  if (window_ != nullptr && windowDeleter_ != nullptr) windowDeleter_(window_);
  window_ = nullptr;
}
