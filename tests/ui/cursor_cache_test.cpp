#include "ui/cursor_cache.h"

#include <gtest/gtest.h>

#include "fake_mouse_backend.h"
#include "sdl_video_fixture.h"
#include "ui/window_registry.h"

namespace {

constexpr uint32_t kInside = 0xFFFFFFFFu;
constexpr uint32_t kOutline = 0xFF000000u;
constexpr uint32_t kClear = 0x00000000u;

uint32_t at(const HandCursorPixels& pixels, int x, int y) {
  if (x < 0 || y < 0 || x >= kHandCursorSize || y >= kHandCursorSize) return kClear;
  return pixels[static_cast<size_t>(y * kHandCursorSize + x)];
}

TEST(HandCursor, BothHandsAreWhiteInsideAClosedBlackOutline) {
  for (HandCursor shape : {HandCursor::Open, HandCursor::Closed}) {
    const HandCursorPixels pixels = handCursorPixels(shape);
    EXPECT_EQ(at(pixels, kHandCursorHotSpot, kHandCursorHotSpot), kInside) << "the hot spot is on the hand";
    EXPECT_EQ(at(pixels, 0, 0), kClear);
    int inside = 0;
    for (int y = 0; y < kHandCursorSize; ++y) {
      for (int x = 0; x < kHandCursorSize; ++x) {
        const uint32_t pixel = at(pixels, x, y);
        ASSERT_TRUE(pixel == kInside || pixel == kOutline || pixel == kClear);
        if (pixel != kInside) continue;
        ++inside;
        EXPECT_TRUE(x > 0 && y > 0 && x < kHandCursorSize - 1 && y < kHandCursorSize - 1) << "room for the outline";
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) EXPECT_NE(at(pixels, x + dx, y + dy), kClear) << x << "," << y;
        }
      }
    }
    EXPECT_GT(inside, 150);
  }
  EXPECT_NE(handCursorPixels(HandCursor::Open), handCursorPixels(HandCursor::Closed));
}

class Cursors : public SdlVideoTest {
 protected:
  FakeMouseBackend mouse;  // outlives the cursors it made
};

TEST_F(Cursors, EachCursorIsMadeOnceAndDestroyedWithTheCache) {
  {
    CursorCache cache;
    SDL_Cursor* move = cache.systemCursor(SDL_SYSTEM_CURSOR_MOVE);
    EXPECT_EQ(cache.systemCursor(SDL_SYSTEM_CURSOR_MOVE), move);
    SDL_Cursor* open = cache.handCursor(HandCursor::Open);
    EXPECT_EQ(cache.handCursor(HandCursor::Open), open);
    ASSERT_EQ(mouse.cursors.size(), 2u);
    EXPECT_EQ(mouse.cursorOf(open).width, 32);
    EXPECT_EQ(mouse.cursorOf(open).height, 32);
    EXPECT_EQ(mouse.cursorOf(open).hotX, 15);
    EXPECT_EQ(mouse.cursorOf(open).hotY, 15);
  }
  for (const FakeMouseBackend::Cursor& made : mouse.cursors) EXPECT_TRUE(made.destroyed);
}

class RegistryPointer : public SdlVideoTest {
 protected:
  uint64_t create() { return createWindow(registry, 100, 80); }
  FakeMouseBackend mouse;
  WindowRegistry registry;
};

TEST_F(RegistryPointer, ControlCursorsMapToSystemCursorsAndUnknownValuesToTheArrow) {
  const uint64_t id = create();
  EXPECT_TRUE(registry.setCursor(id, ControlCursor::Ibeam));
  EXPECT_EQ(mouse.cursorOf(mouse.current).systemId, SDL_SYSTEM_CURSOR_TEXT);
  EXPECT_TRUE(registry.setCursor(id, ControlCursor::SizeWe));
  EXPECT_EQ(mouse.cursorOf(mouse.current).systemId, SDL_SYSTEM_CURSOR_EW_RESIZE);
  EXPECT_TRUE(registry.setCursor(id, static_cast<ControlCursor>(7)));
  EXPECT_EQ(mouse.cursorOf(mouse.current).systemId, SDL_SYSTEM_CURSOR_DEFAULT);
  EXPECT_FALSE(registry.setCursor(id + 1, ControlCursor::Ibeam));
  EXPECT_EQ(mouse.setCursorCalls, 3);
}

TEST_F(RegistryPointer, CaptureIsHeldByOneWindowAndReleasedWhenItCloses) {
  const uint64_t a = create();
  const uint64_t b = create();
  EXPECT_TRUE(registry.setMouseCapture(a, true));
  EXPECT_TRUE(registry.setMouseCapture(a, true)) << "already held: SDL is not asked again";
  EXPECT_FALSE(registry.setMouseCapture(b, true));
  EXPECT_TRUE(registry.setMouseCapture(b, false)) << "B holds nothing to release";
  EXPECT_EQ(mouse.captureCalls, std::vector<bool>{true});
  registry.closeWindow(a);
  EXPECT_EQ(mouse.captureCalls, (std::vector<bool>{true, false}));
  mouse.captureAnswer = false;
  EXPECT_FALSE(registry.setMouseCapture(b, true));
  EXPECT_TRUE(registry.setMouseCapture(b, false)) << "a refused capture is not held";
}

}  // namespace
