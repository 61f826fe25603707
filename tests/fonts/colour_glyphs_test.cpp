// Colour glyphs that are not SVG, in fonts made at test time: COLR layers blended from the CPAL palette
// (a glyph of too many layers for its size refused), and PNG images of an sbix strike, of which one far
// larger than its strike is refused before it is decoded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "font_test_support.h"

namespace {

using fonttest::FontTest;
using fonttest::TempPath;

// A font written by make_colour_fonts.py with `arguments` after the kind and the output path.
fonttest::ScriptedFont colourFont(const std::string& kind, const std::string& arguments) {
  return fonttest::ScriptedFont(kind + "_glyphs.ttf", QZ_COLOUR_FONTS_SCRIPT, kind, arguments);
}

// The colours (alpha dropped) of the opaque pixels of a glyph's bitmap.
std::set<uint32_t> opaqueColours(const GlyphBitmapView& view) {
  std::set<uint32_t> colours;
  for (int32_t y = 0; y < view.height; ++y) {
    for (int32_t x = 0; x < view.width; ++x) {
      const uint32_t pixel =
          view.image->pixels[(view.atlasY + y) * static_cast<size_t>(view.image->width) + view.atlasX + x];
      if ((pixel >> 24) == 0xFF) colours.insert(pixel & 0x00FFFFFFu);
    }
  }
  return colours;
}

TEST_F(FontTest, ColrLayersDrawInThePaletteColours) {
  const fonttest::ScriptedFont font = colourFont("colr", "");
  ASSERT_TRUE(font.made());
  setAllowFontBitmapGlyphs(true);
  const std::shared_ptr<RenderFont> face = loadOrFail(font.path(), 20);
  ASSERT_NE(face, nullptr);
  const GlyphBitmapView view = face->glyphBitmapForCodepoint('A');
  ASSERT_TRUE(view.hasBitmap);
  EXPECT_TRUE(view.colour);
  EXPECT_EQ(opaqueColours(view), (std::set<uint32_t>{0xFF0000u, 0x0000FFu}));
}

TEST_F(FontTest, ColrGlyphOfTooManyLayersForItsSizeIsRefused) {
  // Every layer is rendered over the whole glyph: B's 4096 layers at 200 px would take seconds.
  const fonttest::ScriptedFont font = colourFont("colr", "4096");
  ASSERT_TRUE(font.made());
  setAllowFontBitmapGlyphs(true);
  for (const float size : {20.0f, 200.0f}) {
    const std::shared_ptr<RenderFont> face = loadOrFail(font.path(), size);
    ASSERT_NE(face, nullptr);
    EXPECT_TRUE(face->glyphBitmapForCodepoint('A').hasBitmap) << size;
    const GlyphBitmapView refused = face->glyphBitmapForCodepoint('B');
    EXPECT_FALSE(refused.hasBitmap) << size;
    EXPECT_TRUE(refused.missing) << size;
  }
}

TEST_F(FontTest, SbixImagesDrawAndOneFarLargerThanItsStrikeIsRefused) {
  // B's image is 3000 pixels square in a strike of 20 pixels.
  const fonttest::ScriptedFont font = colourFont("sbix", "20 3000");
  ASSERT_TRUE(font.made());
  for (const bool bitmapsAllowed : {true, false}) {
    setAllowFontBitmapGlyphs(bitmapsAllowed);
    const std::shared_ptr<RenderFont> face = loadOrFail(font.path(), 20);
    ASSERT_NE(face, nullptr);
    for (const uint32_t codepoint : {U'A', U'C'}) {
      const GlyphBitmapView view = face->glyphBitmapForCodepoint(codepoint);
      ASSERT_TRUE(view.hasBitmap) << bitmapsAllowed;
      EXPECT_EQ(view.colour, bitmapsAllowed);  // colour loads only for colour that may be used
      EXPECT_EQ(view.width, 14);
    }
    const GlyphBitmapView refused = face->glyphBitmapForCodepoint('B');
    EXPECT_FALSE(refused.hasBitmap) << bitmapsAllowed;
    EXPECT_TRUE(refused.missing) << bitmapsAllowed;
  }
}

}  // namespace
