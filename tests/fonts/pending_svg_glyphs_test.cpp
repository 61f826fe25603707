// More colour SVG glyphs meeting one frame than the SVG glyph worker takes at once (256 jobs): the glyphs
// that find no room wait, drawn as pending, and are handed over in later frames until every one is drawn.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "font_test_support.h"
#include "fonts/svg_glyph_worker.h"

namespace {

using fonttest::FontTest;

constexpr uint32_t kGlyphCount = 400;
constexpr uint32_t kFirstCodepoint = 0xE000;

// A frame as the renderer draws one: finished results applied first, then every glyph asked for. Returns
// how many were drawn in colour; counts the glyphs whose entries were marked missing.
uint32_t drawFrame(AsyncSvgGlyphWorker& worker, RenderFont& font, uint32_t& missing) {
  worker.applyFinished();
  uint32_t drawn = 0;
  for (uint32_t c = kFirstCodepoint; c < kFirstCodepoint + kGlyphCount; ++c) {
    const GlyphBitmapView view = font.glyphBitmapForCodepoint(c);
    if (view.hasBitmap && view.colour) ++drawn;
    if (font.glyphMetrics(c).missing) ++missing;
  }
  return drawn;
}

TEST_F(FontTest, SvgGlyphsBeyondTheWorkersRoomAreDrawnInLaterFrames) {
  const fonttest::ScriptedFont made("many_svg_glyphs.ttf", QZ_MANY_SVG_GLYPHS_FONT_SCRIPT, "",
                                    std::to_string(kGlyphCount));
  ASSERT_TRUE(made.made());
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = loadOrFail(made.path(), 20);
  ASSERT_NE(font, nullptr);
  AsyncSvgGlyphWorker& worker = AsyncSvgGlyphWorker::instance();
  uint32_t missing = 0;
  uint32_t drawn = drawFrame(worker, *font, missing);
  EXPECT_LE(drawn, AsyncSvgGlyphWorker::kRingSlots) << "the first frame hands over no more than 256";
  int frames = 1;
  // Frames 20 ms apart until every glyph is drawn. The workers draw at a low priority, so on a busy machine
  // that takes as long as the machine makes it (310 of the 400 in ten seconds beside sixteen busy loops):
  // the bound only keeps a hang from holding the test.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  for (; drawn < kGlyphCount && std::chrono::steady_clock::now() < giveUp; ++frames) {
    ASSERT_TRUE(worker.hasPendingGlyphs()) << "glyphs still wait after frame " << frames << ": " << drawn
                                           << " drawn";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    drawn = drawFrame(worker, *font, missing);
  }
  EXPECT_EQ(drawn, kGlyphCount) << "after " << frames << " frames";
  EXPECT_EQ(missing, 0u) << "no glyph is missing for good";
  while (worker.hasPendingGlyphs()) {
    worker.applyFinished();
    std::this_thread::yield();
  }
  EXPECT_EQ(drawFrame(worker, *font, missing), kGlyphCount);
  EXPECT_FALSE(worker.hasPendingGlyphs());
}

// The worker's side: a glyph finding 256 jobs outstanding is deferred and counts as pending; the first frame
// that finds room again applies as if a glyph had settled, so that windows redraw and the glyph asks again.
TEST_F(FontTest, SvgGlyphWorker_DeferredGlyphsArePendingUntilAFrameFindsRoom) {
  AsyncSvgGlyphWorker worker;
  std::promise<void> open;
  const std::shared_future<void> gate = open.get_future().share();
  EXPECT_FALSE(worker.deferIfFull());
  for (size_t i = 0; i < AsyncSvgGlyphWorker::kRingSlots; ++i) {
    SvgGlyphJob job;
    job.body = [gate](FT_LibraryRec_*) {
      gate.wait();
      return SvgGlyphResult{};
    };
    ASSERT_TRUE(worker.enqueue(std::move(job)));
  }
  EXPECT_TRUE(worker.deferIfFull());
  EXPECT_FALSE(worker.applyFinished()) << "no room yet: nothing to redraw";
  open.set_value();
  uint64_t redraws = 0;
  while (worker.hasPendingGlyphs()) {
    redraws += worker.applyFinished() ? 1 : 0;
    std::this_thread::yield();
  }
  EXPECT_EQ(redraws, 1u) << "results without a face settle nothing; the room found again redraws once";
  EXPECT_EQ(worker.appliedGeneration(), 1u);
  EXPECT_FALSE(worker.deferIfFull());
  EXPECT_FALSE(worker.applyFinished());
}

}  // namespace
