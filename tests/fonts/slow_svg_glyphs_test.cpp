// Colour glyphs whose drawing takes long but within the render process's time limit: drawn on one processor
// as on many, however many of them the workers draw at once. The render process is the test's own, which
// spends the time each document asks for.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "font_test_support.h"
#include "fonts/svg_glyph_document.h"
#include "fonts/svg_glyph_worker.h"
#include "one_processor.h"
#include "render_process/render_process.h"

namespace {

using fonttest::FontTest;

constexpr uint32_t kFirstCodepoint = 0xE000;

// The render process is the fake one while this lives, each process started anew.
struct FakeRenderProgram {
  FakeRenderProgram() { useRenderProgram(QZ_FAKE_RENDER_PROCESS); }
  ~FakeRenderProgram() { useRenderProgram(""); }
  FakeRenderProgram(const FakeRenderProgram&) = delete;
  FakeRenderProgram& operator=(const FakeRenderProgram&) = delete;
};

// Asks for every glyph of a font of `count` colour glyphs whose documents carry `note`, and waits until
// none is pending: how many were drawn in colour.
uint32_t glyphsDrawn(uint32_t count, const std::string& note) {
  const fonttest::ScriptedFont made("slow_svg_glyphs.ttf", QZ_MANY_SVG_GLYPHS_FONT_SCRIPT, "",
                                    std::to_string(count) + " " + note);
  EXPECT_TRUE(made.made());
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(made.path(), 20.0f, 0.0f);
  if (font == nullptr) return 0;
  AsyncSvgGlyphWorker& worker = AsyncSvgGlyphWorker::instance();
  for (uint32_t c = kFirstCodepoint; c < kFirstCodepoint + count; ++c) font->glyphBitmapForCodepoint(c);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (worker.hasPendingGlyphs() && std::chrono::steady_clock::now() < giveUp) {
    worker.applyFinished();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.applyFinished();
  uint32_t drawn = 0;
  for (uint32_t c = kFirstCodepoint; c < kFirstCodepoint + count; ++c) {
    const GlyphBitmapView view = font->glyphBitmapForCodepoint(c);
    drawn += view.hasBitmap && view.colour ? 1 : 0;
  }
  return drawn;
}

// Three glyphs that each take 0.8 s of the processor, drawn at once: on one processor each waits for the
// others, yet has its time.
TEST_F(FontTest, SlowSvgGlyphsAreDrawnOnOneProcessor) {
  const PinnedToOneProcessor pinned;  // the workers and render processes started below run on it too
  const FakeRenderProgram fake;
  EXPECT_EQ(glyphsDrawn(3, "spin 800"), 3u);
}

TEST_F(FontTest, SlowSvgGlyphsAreDrawnOnEveryProcessor) {
  const FakeRenderProgram fake;
  EXPECT_EQ(glyphsDrawn(3, "spin 800"), 3u);
}

// A glyph whose render process is kept from the processor past the time limit still has its time.
TEST_F(FontTest, AnSvgGlyphKeptFromTheProcessorIsDrawn) {
  const FakeRenderProgram fake;
  SvgGlyphImage image;
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kSvgGlyphTimeLimit);
  const std::string document = "<svg><!-- sleep " + std::to_string(limit.count() + 500) + " --></svg>";
  EXPECT_TRUE(renderSvgGlyphDocument(document, 1000, 20.0f, 1, image));
}

// The workers stop (the editor quits) without waiting for the glyph being drawn, however long its render
// process would go on: one kept from the processor would otherwise be waited for until given up.
TEST_F(FontTest, StoppingTheWorkersWaitsForNoGlyphBeingDrawn) {
  const FakeRenderProgram fake;
  const fonttest::ScriptedFont made("stalled_svg_glyph.ttf", QZ_MANY_SVG_GLYPHS_FONT_SCRIPT, "", "1 sleep 100000");
  ASSERT_TRUE(made.made());
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(made.path(), 20.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  AsyncSvgGlyphWorker::instance();
  font->glyphBitmapForCodepoint(kFirstCodepoint);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (renderProcessCount() == 0 && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(renderProcessCount(), 1u);
  const auto stopping = std::chrono::steady_clock::now();
  AsyncSvgGlyphWorker::shutdownInstance();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10));
  EXPECT_EQ(renderProcessCount(), 0u);
}

}  // namespace
