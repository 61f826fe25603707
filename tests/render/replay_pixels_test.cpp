// Partial redraws equal full renders: text whose glyphs reach far beyond its line box, and font settings
// that change how a font's text is drawn.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fonts/render_font.h"
#include "render_test_support.h"

namespace {

constexpr int32_t kWidth = 400;
constexpr int32_t kHeight = 300;
const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// "a" under 40 combining acute accents: at 15 px the stack is inked about 135 px above its line.
std::string tallStack(const char* base) {
  std::string text = base;
  for (int i = 0; i < 40; ++i) text += "\xCC\x81";
  return text;
}

struct ReplayCase {
  const char* name;
  // Draws frame `frame` (0 before the change, 1 after) over a background fill.
  std::function<void(RenderCache&, RenderFont&, int frame)> draw;
  // Changes the font between the frames.
  std::function<void(RenderFont&)> change = [](RenderFont&) {};
};

void drawFrame(WindowRenderer& renderer, const ReplayCase& scene, RenderFont& font, int frame) {
  renderer.beginDrawing();
  renderer.renderCache()->fillRect({0, 0, kWidth, kHeight}, 0xFF202020u);
  scene.draw(*renderer.renderCache(), font, frame);
  renderer.endDrawing();
}

TEST(ReplayPixels, PartialRedrawsEqualAFullRenderOfTheSameFrame) {
  const ReplayCase cases[] = {
      {"a cell above a tall stack changes",
       [](RenderCache& cache, RenderFont& font, int frame) {
         cache.drawText(&font, tallStack("a").c_str(), 20, 200, 0xFFFFFFFFu);
         cache.fillRect({40, 80, 3, 3}, frame == 0 ? 0xFF00FF00u : 0xFFFF0000u);
       }},
      {"a tall stack becomes another text",
       [](RenderCache& cache, RenderFont& font, int frame) {
         cache.drawText(&font, frame == 0 ? tallStack("a").c_str() : "b", 20, 200, 0xFFFFFFFFu);
       }},
      {"a tall stack moves",
       [](RenderCache& cache, RenderFont& font, int frame) {
         cache.drawText(&font, tallStack("a").c_str(), frame == 0 ? 20 : 300, 200, 0xFFFFFFFFu);
       }},
      {"a transient tall stack and a cell above it",
       [](RenderCache& cache, RenderFont& font, int frame) {
         cache.drawTransientText(&font, tallStack("e").c_str(), frame == 0 ? 20 : 120, 200, 0xFFFFFFFFu);
         cache.fillRect({60, 80, 3, 3}, frame == 0 ? 0xFF00FF00u : 0xFFFF0000u);
       }},
      {"antialiasing is switched off",
       [](RenderCache& cache, RenderFont& font, int) {
         cache.drawText(&font, "Antialiased text", 20, 40, 0xFFFFFFFFu);
         cache.drawTransientText(&font, "Transient text", 20, 80, 0xFFFFFFFFu);
         cache.drawTextCells(&font, "Cells", 20, 120, 0xFFFFFFFFu, 12);
         cache.drawGlyph(&font, 36, 20, 160, 0xFFFFFFFFu);
       },
       [](RenderFont& font) { font.setAntialias(false); }},
  };
  for (const ReplayCase& scene : cases) {
    for (const bool grouped : {false, true}) {
      SCOPED_TRACE(std::string(scene.name) + (grouped ? " (through a group)" : ""));
      std::shared_ptr<RenderFont> font = RenderFont::load(kSans, 15.0f, 0.0f);
      ASSERT_NE(font, nullptr);
      if (grouped) font = RenderFont::group({font});
      CanvasRig incremental(kWidth, kHeight);
      for (int settle = 0; settle < 3; ++settle) drawFrame(incremental.renderer, scene, *font, 0);
      scene.change(*font);
      drawFrame(incremental.renderer, scene, *font, 1);
      CanvasRig full(kWidth, kHeight);
      drawFrame(full.renderer, scene, *font, 1);
      int64_t differing = 0;
      for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) differing += incremental.at(x, y) != full.at(x, y) ? 1 : 0;
      }
      EXPECT_EQ(differing, 0);
    }
  }
}

}  // namespace
