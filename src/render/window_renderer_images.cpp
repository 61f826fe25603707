// Image blits: whole or partial images (optionally tinted, with a 1-bit alpha mode for glyphs that are
// not antialiased) and nearest-sample scaled images. Sources are kept inside their image whatever
// rectangle a caller passes, so no drawing request can read outside an image's pixels.
#include <algorithm>

#include "render/blend_rows.h"
#include "render/canvas_bitmap.h"
#include "render/window_renderer.h"

namespace {

// Destination and source rectangles of a blit after clipping.
struct BlitArea {
  int64_t dx, dy, sx, sy, w, h;
};

// Cuts the area to the clip and the target, moving the source along with the destination.
bool clipBlitArea(BlitArea* area, const ClipBox& clip, const RasterTarget& target) {
  const int64_t left = std::max<int64_t>({area->dx, clip.x0, 0});
  const int64_t top = std::max<int64_t>({area->dy, clip.y0, 0});
  const int64_t right = std::min<int64_t>({area->dx + area->w, clip.x1, target.width});
  const int64_t bottom = std::min<int64_t>({area->dy + area->h, clip.y1, target.height});
  if (right <= left || bottom <= top) return false;
  *area = {left, top, area->sx + (left - area->dx), area->sy + (top - area->dy), right - left, bottom - top};
  return true;
}

uint32_t tintChannels(uint32_t pixel, uint32_t tint) {
  uint32_t result = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const uint32_t s = (pixel >> shift) & 0xFFu;
    const uint32_t t = (tint >> shift) & 0xFFu;
    result |= ((s * t + 127) / 255) << shift;
  }
  return result;
}

}  // namespace

void WindowRenderer::blitImage(const CanvasBitmap* image, const RenderRect* source, int32_t x, int32_t y, uint32_t tint,
                               bool blend) {
  RasterTarget target;
  if ((tint >> 24) == 0 || image == nullptr || source == nullptr || !rasterTarget(&target)) return;
  blitInto(target, *image, *source, x, y, tint, blend, false);
}

void WindowRenderer::blitInto(const RasterTarget& target, const CanvasBitmap& image, const RenderRect& source,
                              int64_t x, int64_t y, uint32_t tint, bool blend, bool whiteSource) const {
  const uint32_t tintAlpha = tint >> 24;
  if (tintAlpha == 0) return;
  BlitArea area{x, y, source.x, source.y, source.w, source.h};
  // Keep the source inside the image first (a no-op for the rectangles the renderer passes).
  if (area.sx < 0) {
    area.dx -= area.sx;
    area.w += area.sx;
    area.sx = 0;
  }
  if (area.sy < 0) {
    area.dy -= area.sy;
    area.h += area.sy;
    area.sy = 0;
  }
  area.w = std::min<int64_t>(area.w, image.width - area.sx);
  area.h = std::min<int64_t>(area.h, image.height - area.sy);
  if (!clipBlitArea(&area, clip_, target)) return;
  const bool whiteTint = (tint & 0x00FFFFFFu) == 0x00FFFFFFu;
  if (blend && (whiteTint || whiteSource)) {
    const BlendColour colour = whiteSource ? BlendColour::FromTint : BlendColour::FromSource;
    const int64_t destinationIndex = area.dy * target.stride + area.dx;
    const int64_t sourceIndex = area.sy * image.width + area.sx;
    const BlendArea pixels{target.pixels + destinationIndex,
                           target.stride,
                           int64_t{target.height - 1} * target.stride + target.width - destinationIndex,
                           image.pixels.data() + sourceIndex,
                           image.width,
                           static_cast<int64_t>(image.pixels.size()) - sourceIndex,
                           static_cast<int32_t>(area.w),
                           static_cast<int32_t>(area.h)};
    blendArea(pixels, tint, colour);
    return;
  }
  const auto tinted = [whiteTint, tint](uint32_t pixel) {
    if (whiteTint) return pixel;
    return (pixel & 0x00FFFFFFu) == 0x00FFFFFFu ? tint : tintChannels(pixel, tint);
  };
  for (int64_t j = 0; j < area.h; ++j) {
    const uint32_t* src = image.pixels.data() + (area.sy + j) * image.width + area.sx;
    uint32_t* dst = target.row(static_cast<int32_t>(area.dy + j)) + area.dx;
    for (int64_t i = 0; i < area.w; ++i) {
      const uint32_t pixel = src[i];
      const uint32_t sourceAlpha = pixel >> 24;
      if (blend) {
        const uint32_t product = sourceAlpha * tintAlpha;
        if (product >= 128) blendPixel(dst + i, tinted(pixel), (product + 127) / 255);
      } else if (sourceAlpha >= 128) {
        blendPixel(dst + i, tinted(pixel), tintAlpha);
      }
    }
  }
}

void WindowRenderer::blitImageScaled(const CanvasBitmap* image, const RenderRect* source, const RenderRect* dest) {
  RasterTarget target;
  if (dest == nullptr || dest->w < 1 || dest->h < 1 || image == nullptr || source == nullptr ||
      !rasterTarget(&target)) {
    return;
  }
  const int64_t sx = std::max(source->x, 0);
  const int64_t sy = std::max(source->y, 0);
  const int64_t usedW = std::min<int64_t>(source->w, image->width - sx);
  const int64_t usedH = std::min<int64_t>(source->h, image->height - sy);
  if (usedW < 1 || usedH < 1) return;
  BlitArea area{dest->x, dest->y, 0, 0, dest->w, dest->h};
  if (!clipBlitArea(&area, clip_, target)) return;
  for (int64_t py = area.dy; py < area.dy + area.h; ++py) {
    const int64_t srcY = sy + (py - dest->y) * usedH / dest->h;
    const uint32_t* srcRow = image->pixels.data() + srcY * image->width;
    uint32_t* dst = target.row(static_cast<int32_t>(py));
    for (int64_t px = area.dx; px < area.dx + area.w; ++px) {
      const uint32_t pixel = srcRow[sx + (px - dest->x) * usedW / dest->w];
      blendPixel(dst + px, pixel, pixel >> 24);
    }
  }
}
