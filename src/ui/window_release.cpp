// Fonts and images that scripts release while windows may still draw them.
#include "render/canvas_bitmap.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"
#include "ui/window_registry.h"

void WindowRegistry::forgetFont(const std::shared_ptr<RenderFont>& font) {
  if (!font) return;
  for (auto& [id, entry] : windows_) entry.window->renderer()->renderCache()->releaseFont(font);
}

void WindowRegistry::forgetImage(std::unique_ptr<CanvasBitmap> image) {
  if (!image) return;
  for (auto& [id, entry] : windows_) entry.window->renderer()->imageTileCache()->forgetImage(image->id);
  for (auto& [id, entry] : windows_) {
    RenderCache* cache = entry.window->renderer()->renderCache();
    if (cache->commandBytes() > 0) {
      cache->releaseImage(std::move(image));
      return;
    }
  }
}
