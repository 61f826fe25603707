// A window's text context: UI font descriptions loaded at the window's scale, text measured and drawn in
// logical units through the window's RenderCache.
#include "ui/window_text_context.h"

#include <algorithm>
#include <stdexcept>

#include "fonts/font_path_text.h"
#include "fonts/render_font.h"
#include "fonts/ui_font.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"
#include "ui/draw_list.h"
#include "ui/scaled_rounding.h"

namespace ui {

namespace {

std::string_view untilNul(std::string_view text) { return text.substr(0, text.find('\0')); }

int32_t clampColumn(int32_t column, std::string_view text) {
  const auto last = static_cast<int64_t>(untilNul(text).size()) + 1;
  return static_cast<int32_t>(std::clamp<int64_t>(column, 1, last));
}

}  // namespace

int32_t pixelsToLogical(int32_t pixels, double scale) { return nearestInt32(static_cast<long double>(pixels) / scale); }

int32_t logicalToPixels(int32_t logical, double scale) {
  return nearestInt32(static_cast<long double>(logical) * scale);
}

float uiFontPixelSize(double scale, float size) {
  const float pixels = static_cast<float>(scale) * size;
  return pixels > 1.0f ? pixels : 1.0f;
}

WindowTextContext::WindowTextContext(WindowRenderer& renderer, const WindowMetrics& metrics)
    : renderer_(renderer), metrics_(metrics) {}

WindowTextContext::~WindowTextContext() { clearFonts(); }

void WindowTextContext::setMetrics(const WindowMetrics& metrics) {
  const bool rescaled = metrics.displayScale != metrics_.displayScale;
  metrics_ = metrics;
  if (rescaled) clearFonts();
}

void WindowTextContext::clearFonts() {
  RenderCache* cache = renderer_.renderCache();
  for (auto& [key, entry] : fonts_) {
    if (cache != nullptr) cache->releaseFont(entry.font);
  }
  fonts_.clear();
}

RenderFont* WindowTextContext::renderFontFor(const std::shared_ptr<Font>& font) {
  if (!font) throw std::runtime_error("UI font is no longer available");
  if (const auto found = fonts_.find(font.get()); found != fonts_.end()) return found->second.font.get();
  const float pixelSize = uiFontPixelSize(metrics_.displayScale, font->size);
  std::shared_ptr<RenderFont> loaded = RenderFont::load(font->path, pixelSize, font->embolden);
  if (!loaded) throw std::runtime_error(textNamingFontPath("failed to load UI font '", font->path, "'"));
  if (!font->fallbacks.empty()) {
    const std::vector<std::string_view> paths(font->fallbacks.begin(), font->fallbacks.end());
    loaded = RenderFont::groupLazy(std::move(loaded), paths, pixelSize);
    if (!loaded) throw std::runtime_error("failed to build UI font fallback group");
  }
  loaded->setLineGap(font->lineGap);
  loaded->setAntialias(font->antialias);
  return fonts_.try_emplace(font.get(), Entry{font, std::move(loaded)}).first->second.font.get();
}

const char* WindowTextContext::terminated(std::string_view text) {
  scratch_.assign(untilNul(text));
  return scratch_.c_str();
}

TextContext::Extent WindowTextContext::measureText(const std::shared_ptr<Font>& font, std::string_view text) {
  RenderFont* loaded = renderFontFor(font);
  const int32_t width = renderer_.renderCache()->textWidth(loaded, terminated(text), 0);
  return {pixelsToLogical(width, metrics_.displayScale), pixelsToLogical(loaded->height(), metrics_.displayScale)};
}

int32_t WindowTextContext::textX(const std::shared_ptr<Font>& font, std::string_view text, int32_t column) {
  RenderFont* loaded = renderFontFor(font);
  const int32_t x = renderer_.renderCache()->textXOffset(loaded, terminated(text), clampColumn(column, text));
  return pixelsToLogical(x, metrics_.displayScale);
}

int32_t WindowTextContext::textColumn(const std::shared_ptr<Font>& font, std::string_view text, int32_t x) {
  RenderFont* loaded = renderFontFor(font);
  const int32_t column =
      renderer_.renderCache()->columnAtX(loaded, terminated(text), logicalToPixels(x, metrics_.displayScale));
  return clampColumn(column, text);
}

std::vector<TextCluster> WindowTextContext::textClusters(const std::shared_ptr<Font>& font, std::string_view text) {
  RenderFont* loaded = renderFontFor(font);
  std::vector<TextCluster> clusters = renderer_.renderCache()->textClusters(loaded, terminated(text));
  for (TextCluster& cluster : clusters) {
    cluster.startX = pixelsToLogical(cluster.startX, metrics_.displayScale);
    cluster.endX = pixelsToLogical(cluster.endX, metrics_.displayScale);
  }
  return clusters;
}

int32_t WindowTextContext::drawText(WindowRenderer& renderer, const WindowMetrics& metrics,
                                    const std::shared_ptr<Font>& font, std::string_view text, int32_t x, int32_t y,
                                    uint32_t color) {
  RenderFont* loaded = renderFontFor(font);
  const double scale = metrics.displayScale;
  const int32_t penX = renderer.renderCache()->drawText(loaded, terminated(text), logicalToPixels(x, scale),
                                                        logicalToPixels(y, scale), rendererColor(color));
  return pixelsToLogical(penX, scale);
}

}  // namespace ui
