// The cursor cache and the two hand shapes. A hand is a union of capsules (line segments with a radius)
// sampled at pixel centres; the outline is every outside pixel touching the inside, so it is always closed.
#include "ui/cursor_cache.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "render/window_renderer.h"
#include "ui/mouse_backend.h"

namespace {

constexpr uint32_t kTransparent = 0x00000000u;
constexpr uint32_t kOutline = 0xFF000000u;
constexpr uint32_t kInside = 0xFFFFFFFFu;

struct Capsule {
  float x0, y0, x1, y1, radius;
};

// Palm, four fingers pointing up, and the thumb on the left.
constexpr Capsule kOpenHand[] = {
    {12.0f, 16.0f, 20.0f, 16.0f, 4.0f}, {12.0f, 21.0f, 20.0f, 21.0f, 4.0f}, {11.5f, 7.0f, 11.5f, 15.0f, 1.5f},
    {15.5f, 4.5f, 15.5f, 15.0f, 1.5f},  {19.5f, 6.0f, 19.5f, 15.0f, 1.5f},  {23.0f, 9.0f, 23.0f, 16.0f, 1.4f},
    {5.5f, 13.0f, 9.5f, 20.0f, 1.6f},
};

// The same palm with the fingers curled into knuckles and the thumb tucked in.
constexpr Capsule kClosedHand[] = {
    {12.0f, 16.0f, 20.0f, 16.0f, 4.0f}, {12.0f, 21.0f, 20.0f, 21.0f, 4.0f}, {11.5f, 11.5f, 11.5f, 14.0f, 1.6f},
    {15.5f, 10.5f, 15.5f, 14.0f, 1.6f}, {19.5f, 11.0f, 19.5f, 14.0f, 1.6f}, {23.0f, 12.5f, 23.0f, 15.0f, 1.4f},
    {7.5f, 16.0f, 10.0f, 19.0f, 1.6f},
};

bool insideCapsule(const Capsule& capsule, float px, float py) {
  const float dx = capsule.x1 - capsule.x0, dy = capsule.y1 - capsule.y0;
  const float lengthSquared = dx * dx + dy * dy;
  float t = lengthSquared > 0.0f ? ((px - capsule.x0) * dx + (py - capsule.y0) * dy) / lengthSquared : 0.0f;
  t = std::clamp(t, 0.0f, 1.0f);
  const float ex = px - (capsule.x0 + t * dx), ey = py - (capsule.y0 + t * dy);
  return ex * ex + ey * ey <= capsule.radius * capsule.radius;
}

bool insideHand(std::span<const Capsule> shape, int x, int y) {
  if (x < 0 || y < 0 || x >= kHandCursorSize || y >= kHandCursorSize) return false;
  const float px = static_cast<float>(x) + 0.5f, py = static_cast<float>(y) + 0.5f;
  return std::any_of(shape.begin(), shape.end(), [&](const Capsule& c) { return insideCapsule(c, px, py); });
}

bool touchesInside(std::span<const Capsule> shape, int x, int y) {
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      if (insideHand(shape, x + dx, y + dy)) return true;
    }
  }
  return false;
}

std::span<const Capsule> capsulesOf(HandCursor shape) {
  if (shape == HandCursor::Open) return kOpenHand;
  return kClosedHand;
}

}  // namespace

HandCursorPixels handCursorPixels(HandCursor shape) {
  const std::span<const Capsule> capsules = capsulesOf(shape);
  HandCursorPixels pixels{};
  for (int y = 0; y < kHandCursorSize; ++y) {
    for (int x = 0; x < kHandCursorSize; ++x) {
      const uint32_t pixel = insideHand(capsules, x, y)      ? kInside
                             : touchesInside(capsules, x, y) ? kOutline
                                                             : kTransparent;
      pixels[static_cast<size_t>(y * kHandCursorSize + x)] = pixel;
    }
  }
  return pixels;
}

void CursorCache::CursorDeleter::operator()(SDL_Cursor* cursor) const { mouseBackend().destroyCursor(cursor); }

SDL_Cursor* CursorCache::systemCursor(SDL_SystemCursor id) {
  CursorHandle& slot = systemCursors_.at(static_cast<size_t>(id));
  if (!slot) slot.reset(mouseBackend().createSystemCursor(id));
  return slot.get();
}

SDL_Cursor* CursorCache::handCursor(HandCursor shape) {
  CursorHandle& slot = handCursors_[shape == HandCursor::Open ? 0 : 1];
  if (slot) return slot.get();
  HandCursorPixels pixels = handCursorPixels(shape);
  SurfaceHandle surface(SDL_CreateSurfaceFrom(kHandCursorSize, kHandCursorSize, SDL_PIXELFORMAT_ARGB8888, pixels.data(),
                                              kHandCursorSize * 4));
  if (!surface) return nullptr;
  slot.reset(mouseBackend().createColorCursor(surface.get(), kHandCursorHotSpot, kHandCursorHotSpot));
  return slot.get();
}
