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
  // Every window whose frame draws the image keeps a share until its frame ends, and the last share frees it
  // (at once, when no frame draws it).
  const std::shared_ptr<CanvasBitmap> shared = std::move(image);
  for (auto& [id, entry] : windows_) {
    entry.window->renderer()->imageTileCache()->forgetImage(shared->id);
    entry.window->renderer()->renderCache()->releaseImage(shared);
  }
}
