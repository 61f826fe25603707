// The glyph view cache answers what the font answers, for settled and unsettled glyphs alike.
#include "render/glyph_view_cache.h"

#include <gtest/gtest.h>

#include <memory>

#include "fonts/render_font.h"

namespace {

const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

void expectSameView(const GlyphBitmapView& cached, const GlyphBitmapView& live, uint32_t code) {
  EXPECT_EQ(cached.image, live.image) << code;
  EXPECT_EQ(cached.atlasX, live.atlasX) << code;
  EXPECT_EQ(cached.atlasY, live.atlasY) << code;
  EXPECT_EQ(cached.width, live.width) << code;
  EXPECT_EQ(cached.height, live.height) << code;
  EXPECT_EQ(cached.left, live.left) << code;
  EXPECT_EQ(cached.topOffset, live.topOffset) << code;
  EXPECT_EQ(cached.advance, live.advance) << code;
  EXPECT_EQ(cached.hasBitmap, live.hasBitmap) << code;
  EXPECT_EQ(cached.missing, live.missing) << code;
  EXPECT_EQ(cached.colour, live.colour) << code;
}

TEST(GlyphViewCache, RepeatedLookupsAnswerWhatTheFontAnswers) {
  auto font = RenderFont::load(kSans, 14.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  GlyphViewCache cache;
  // Letters, a space, line breaks, a tab and a codepoint the face lacks, each asked twice.
  const uint32_t codes[] = {'a', 'W', ' ', '\n', '\t', 0xE000, 0x10FFFF, 0x110000};
  for (int round = 0; round < 2; ++round) {
    font->setTabSize(round == 0 ? 32 : 48);
    for (const uint32_t code : codes) {
      const GlyphBitmapView cached = cache.codepointView(font.get(), code);
      expectSameView(cached, font->glyphBitmapForCodepoint(code), code);
    }
    for (const uint32_t glyphId : {1u, 36u, 50000u}) {
      const GlyphBitmapView cached = cache.glyphIdView(font.get(), glyphId);
      expectSameView(cached, font->glyphBitmapForGlyphId(glyphId), glyphId);
    }
  }
}

TEST(GlyphViewCache, AFontInPlaceOfAFreedOneGetsItsOwnViews) {
  GlyphViewCache cache;
  for (const float size : {14.0f, 30.0f, 14.0f}) {
    // Freed and loaded in turn, so a new font may well take the address of the one before.
    auto font = RenderFont::load(kSans, size, 0.0f);
    ASSERT_NE(font, nullptr);
    const GlyphBitmapView cached = cache.codepointView(font.get(), 'g');
    expectSameView(cached, font->glyphBitmapForCodepoint('g'), 'g');
  }
}

}  // namespace
