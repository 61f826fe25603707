// Fonts and images released by scripts while a window may still draw them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "fonts/render_font.h"
#include "render/render_cache.h"
#include "sdl_video_fixture.h"
#include "ui/window_registry.h"

namespace {

class WindowReleaseTest : public SdlVideoTest {
 protected:
  uint64_t create() { return createWindow(registry, 64, 32); }
  WindowRenderer& rendererOf(uint64_t id) { return *registry.window(id).renderer(); }
  uint32_t surfacePixel(uint64_t id, int x, int y) {
    SDL_Surface* surface = SDL_GetWindowSurface(registry.window(id).sdlWindow());
    return static_cast<const uint32_t*>(surface->pixels)[y * surface->pitch / 4 + x] | 0xFF000000u;
  }
  WindowRegistry registry;
};

TEST_F(WindowReleaseTest, ImageFreedDuringAFrameStaysUntilTheFrameIsDrawn) {
  const uint64_t id = create();
  auto image = std::make_unique<CanvasBitmap>(4, 4);
  std::fill(image->pixels.begin(), image->pixels.end(), 0xFF00FF00u);
  WindowRenderer& renderer = rendererOf(id);
  renderer.beginDrawing();
  renderer.renderCache()->drawCanvas(image.get(), 2, 3);
  registry.forgetImage(std::move(image));
  renderer.endDrawing();  // replays the record that points at the image
  EXPECT_EQ(surfacePixel(id, 3, 4), 0xFF00FF00u);
}

TEST_F(WindowReleaseTest, ImageFreedWhileSeveralWindowsDrawItStaysUntilEachOfThemIsDrawn) {
  const std::vector<uint64_t> ids = {create(), create(), create()};
  // Each window in turn ends its frame first, the others after it.
  for (size_t first = 0; first < ids.size(); ++first) {
    auto image = std::make_unique<CanvasBitmap>(4, 4);
    std::fill(image->pixels.begin(), image->pixels.end(), 0xFF00FF00u + static_cast<uint32_t>(first));
    for (const uint64_t id : ids) {
      rendererOf(id).beginDrawing();
      rendererOf(id).renderCache()->drawCanvas(image.get(), 2, 3);
    }
    registry.forgetImage(std::move(image));
    for (size_t k = 0; k < ids.size(); ++k) {
      const uint64_t id = ids[(first + k) % ids.size()];
      rendererOf(id).endDrawing();  // replays a record that points at the image
      EXPECT_EQ(surfacePixel(id, 3, 4), 0xFF00FF00u + first) << id;
    }
  }
}

TEST_F(WindowReleaseTest, ForgottenFontLivesUntilEveryWindowEndsItsFrame) {
  const uint64_t first = create();
  const uint64_t second = create();
  std::shared_ptr<RenderFont> font = RenderFont::load("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 12, 0);
  ASSERT_TRUE(font);
  const std::weak_ptr<RenderFont> watch = font;
  registry.forgetFont(font);
  font.reset();
  for (const uint64_t id : {first, second}) {
    EXPECT_FALSE(watch.expired());
    rendererOf(id).beginDrawing();
    rendererOf(id).endDrawing();
  }
  EXPECT_TRUE(watch.expired());
  registry.forgetFont(nullptr);  // nothing to forget
}

}  // namespace
