// Native windows: metrics, redraw marks and the installed root.
#include "ui/native_window.h"

#include <SDL3/SDL_video.h>

#include <algorithm>
#include <cmath>

#include "render/render_cache.h"
#include "ui/scaled_rounding.h"

namespace {

double validFactor(float factor) { return std::isfinite(factor) && factor > 0.0f ? static_cast<double>(factor) : 1.0; }

// Pixels are never negative and the scale is above 0, so the result is never negative either.
int32_t logicalLength(int32_t pixels, double scale) { return nearestInt32(static_cast<long double>(pixels) / scale); }

}  // namespace

WindowMetrics computeWindowMetrics(int32_t pixelWidth, int32_t pixelHeight, float pixelDensity, float displayScale) {
  WindowMetrics metrics;
  metrics.pixelDensity = validFactor(pixelDensity);
  metrics.displayScale = validFactor(displayScale);
  metrics.pixelWidth = std::max(0, pixelWidth);
  metrics.pixelHeight = std::max(0, pixelHeight);
  metrics.logicalWidth = logicalLength(metrics.pixelWidth, metrics.displayScale);
  metrics.logicalHeight = logicalLength(metrics.pixelHeight, metrics.displayScale);
  return metrics;
}

NativeWindow::NativeWindow(uint64_t id, WindowRendererHandle handle) : id_(id), handle_(std::move(handle)) {
  updateDisplayScale();
  textContext_ = std::make_unique<ui::WindowTextContext>(*renderer(), metrics_);
}

NativeWindow::~NativeWindow() {
  root_.reset();
  events_.takeAll();
  textContext_.reset();
}

bool NativeWindow::updateDisplayScale() {
  int width = 0, height = 0;
  if (!SDL_GetWindowSizeInPixels(sdlWindow(), &width, &height)) return false;
  const WindowMetrics updated = computeWindowMetrics(width, height, SDL_GetWindowPixelDensity(sdlWindow()),
                                                     SDL_GetWindowDisplayScale(sdlWindow()));
  if (updated == metrics_) return true;
  metrics_ = updated;
  if (textContext_) textContext_->setMetrics(metrics_);
  markRelayout();
  return true;
}

void NativeWindow::invalidate() {
  redrawDirty_ = true;
  renderer()->renderCache()->invalidateAll();
}

void NativeWindow::markRelayout() {
  layoutDirty_ = true;
  invalidate();
}

void NativeWindow::setRoot(std::unique_ptr<ui::Root> root) {
  std::unique_ptr<ui::Root> old = std::exchange(root_, std::move(root));
  markRelayout();
  old.reset();
}
