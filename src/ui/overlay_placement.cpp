// Placing the overlay controls of a window: sized overlays at their offset inside their form, popups
// beside their anchors.
#include "ui/overlay_placement.h"

#include <algorithm>

#include "render/pixel_ops.h"
#include "ui/application_state.h"

namespace {

ui::Rect placeRight(ui::Size window, const ui::Rect& anchor, ui::Size wanted, int64_t gap) {
  const int64_t width = std::min(wanted.width, window.width);
  const int64_t height = std::min(wanted.height, window.height);
  int64_t x = int64_t{anchor.x} + anchor.width + gap;
  const int64_t flipped = anchor.x - gap - width;
  if (x + width > window.width && flipped >= 0) x = flipped;
  x = std::clamp<int64_t>(x, 0, std::max<int64_t>(window.width - width, 0));
  const int64_t y = std::clamp<int64_t>(anchor.y, 0, std::max<int64_t>(window.height - height, 0));
  return {clampToInt32(x), clampToInt32(y), clampToInt32(width), clampToInt32(height)};
}

ui::Rect placeBelow(ui::Size window, const ui::Rect& anchor, ui::Size wanted, int64_t gap) {
  const int64_t width = std::min(std::max(wanted.width, anchor.width), window.width);
  int64_t height = std::min(wanted.height, window.height);
  const int64_t x = width < window.width ? std::clamp<int64_t>(anchor.x, 0, window.width - width) : 0;
  const int64_t below = int64_t{anchor.y} + anchor.height + gap;
  const int64_t roomBelow = std::max<int64_t>(window.height - below, 0);
  const int64_t roomAbove = std::max<int64_t>(anchor.y - gap, 0);
  bool above = false;
  if (roomBelow < height) {
    if (roomAbove >= height) {
      above = true;
    } else if (roomAbove > roomBelow) {
      above = true;
      height = roomAbove;
    }
  }
  int64_t y = 0;
  if (above) {
    y = std::max<int64_t>(anchor.y - gap - height, 0);
  } else {
    y = std::max<int64_t>(below, 0);
    if (roomBelow > 0) height = std::min(height, roomBelow);
  }
  y = std::min(y, std::max<int64_t>(window.height - height, 0));
  return {clampToInt32(x), clampToInt32(y), clampToInt32(width), clampToInt32(height)};
}

}  // namespace

ui::Rect placeAnchoredOverlay(ui::Size window, const ui::Rect& anchor, ui::Size wanted, int64_t gap,
                              uint32_t position) {
  return position == 1 ? placeRight(window, anchor, wanted, gap) : placeBelow(window, anchor, wanted, gap);
}

// Records are placed in layer order; one whose form went, or whose anchor has no bounds, is skipped.
void Application::layoutOverlays(uint64_t window) {
  const ui::Size windowSize = state_->windows.logicalSize(window).value_or(ui::Size{});
  for (size_t i = 0;; ++i) {
    const OverlayLayer* layer = overlayLayer(window);
    if (layer == nullptr || i >= layer->records().size()) return;
    const OverlayRecord record = layer->records()[i];
    FormModel* model = formModel(record.key.form);
    if (model == nullptr) continue;
    ui::Rect bounds;
    if (!record.anchored) {
      const ui::Rect& form = model->bounds();
      bounds = {clampToInt32(int64_t{form.x} + record.rect.x), clampToInt32(int64_t{form.y} + record.rect.y),
                record.rect.width, record.rect.height};
    } else {
      FormModel* anchorModel = formModel(record.anchor.form);
      const std::optional<ui::Rect> anchor =
          anchorModel != nullptr ? anchorModel->controlBounds(record.anchor.control) : std::nullopt;
      if (!anchor) continue;
      ui::Rect area = *anchor;
      if (record.anchorBounds) {
        area = {clampToInt32(int64_t{anchor->x} + record.anchorBounds->x),
                clampToInt32(int64_t{anchor->y} + record.anchorBounds->y), record.anchorBounds->width,
                record.anchorBounds->height};
      }
      bounds = placeAnchoredOverlay(windowSize, area, record.popupSize, record.gap, record.position);
    }
    model->arrangeOverlayControl(record.key.control, bounds);
  }
}
