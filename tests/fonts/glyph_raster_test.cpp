// Glyph bitmaps: coverage, mono and colour pixels, strike scaling, blank and missing glyphs, the views.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "font_test_support.h"

namespace {

using fonttest::FontTest;

// The glyph's pixels, copied out of its atlas page.
std::vector<uint32_t> glyphPixels(const GlyphBitmapView& view) {
  std::vector<uint32_t> pixels;
  for (int32_t y = 0; y < view.height; ++y) {
    for (int32_t x = 0; x < view.width; ++x) {
      pixels.push_back(
          view.image->pixels[(view.atlasY + y) * static_cast<size_t>(view.image->width) + view.atlasX + x]);
    }
  }
  return pixels;
}

std::set<uint32_t> alphaValues(const std::vector<uint32_t>& pixels) {
  std::set<uint32_t> alphas;
  for (uint32_t pixel : pixels) alphas.insert(pixel >> 24);
  return alphas;
}

TEST_F(FontTest, GreyCoverage_IsWhiteWithSmoothAlpha) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('A');
  ASSERT_TRUE(view.hasBitmap);
  EXPECT_FALSE(view.missing);
  EXPECT_FALSE(view.colour);
  EXPECT_EQ(view.advance, font->codepointAdvance('A').advance);
  EXPECT_EQ(view.topOffset, 3);  // the top of "A" at 10 px above a baseline of 13
  const std::vector<uint32_t> pixels = glyphPixels(view);
  for (uint32_t pixel : pixels) EXPECT_EQ(pixel & 0x00FFFFFFu, 0x00FFFFFFu);
  const std::set<uint32_t> alphas = alphaValues(pixels);
  EXPECT_TRUE(alphas.count(0) && alphas.count(255));
  EXPECT_GT(alphas.size(), 3u);
}

TEST_F(FontTest, MonoRenderMode_GivesOnlyFullOrNoCoverage) {
  FontQuality quality;
  quality.renderMode = kRenderModeMono;
  setFontQuality(quality);
  auto font = loadOrFail(fonttest::kSans, 14);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('A');
  ASSERT_TRUE(view.hasBitmap);
  EXPECT_EQ(alphaValues(glyphPixels(view)), (std::set<uint32_t>{0, 255}));
}

TEST_F(FontTest, GammaAndContrast_ChangeOnlyPartialCoverage) {
  auto plain = loadOrFail(fonttest::kSans, 14);
  const std::vector<uint32_t> reference = glyphPixels(plain->glyphBitmapForCodepoint('S'));
  FontQuality quality;
  quality.alphaGamma = 2.0f;
  quality.alphaContrast = 0.5f;
  setFontQuality(quality);
  auto shaded = loadOrFail(fonttest::kSans, 14);
  const std::vector<uint32_t> pixels = glyphPixels(shaded->glyphBitmapForCodepoint('S'));
  ASSERT_EQ(pixels.size(), reference.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    const uint32_t v = reference[i] >> 24;
    float a = std::pow(static_cast<float>(v) / 255.0f, 2.0f);
    a = std::clamp((a - 0.5f) * 1.5f + 0.5f, 0.0f, 1.0f);
    const uint32_t expected = (v == 0 || v == 255) ? v : static_cast<uint32_t>(std::round(a * 255.0f));
    EXPECT_EQ(pixels[i] >> 24, expected) << "coverage " << v;
  }
}

TEST_F(FontTest, ColourStrike_KeepsItsColoursScaledToTheSize) {
  setAllowFontBitmapGlyphs(true);
  auto font = loadOrFail(fonttest::kColorEmoji, 14);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint(0x1F600);
  ASSERT_TRUE(view.hasBitmap);
  EXPECT_TRUE(view.colour);
  EXPECT_EQ(view.width, 17);  // the 136 x 128 strike glyph at 14 / 109
  EXPECT_EQ(view.height, 16);
  std::set<uint32_t> colours;
  for (uint32_t pixel : glyphPixels(view)) colours.insert(pixel & 0x00FFFFFFu);
  EXPECT_GT(colours.size(), 10u);
}

TEST_F(FontTest, PcfStrike_EachSourcePixelBecomesATwoByTwoBlock) {
  setAllowFontBitmapGlyphs(true);
  auto font = loadOrFail(fonttest::kFixed10x20, 40);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('A');
  ASSERT_TRUE(view.hasBitmap);
  EXPECT_EQ(view.width % 2, 0);
  EXPECT_EQ(view.height % 2, 0);
  const std::vector<uint32_t> pixels = glyphPixels(view);
  EXPECT_EQ(alphaValues(pixels), (std::set<uint32_t>{0, 255}));
  for (int32_t y = 0; y < view.height; y += 2) {
    for (int32_t x = 0; x < view.width; x += 2) {
      const uint32_t corner = pixels[y * view.width + x];
      EXPECT_EQ(pixels[y * view.width + x + 1], corner);
      EXPECT_EQ(pixels[(y + 1) * view.width + x], corner);
      EXPECT_EQ(pixels[(y + 1) * view.width + x + 1], corner);
    }
  }
}

TEST_F(FontTest, SpaceIsBlankNotMissing) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint(' ');
  EXPECT_FALSE(view.hasBitmap);
  EXPECT_FALSE(view.missing);
  EXPECT_EQ(view.advance, 4);
  const RenderFont::GlyphMetricEntry& entry = font->glyphMetrics(' ');
  EXPECT_TRUE(entry.bitmapSettled);
  EXPECT_FALSE(entry.missing);
  EXPECT_EQ(entry.atlasPage, kNoAtlasPage);
}

TEST_F(FontTest, LineControlsTabsGroupsAndOutOfRangeViews) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const GlyphBitmapView lineFeed = font->glyphBitmapForCodepoint('\n');
  EXPECT_EQ(lineFeed.advance, 0);
  EXPECT_FALSE(lineFeed.missing);
  EXPECT_FALSE(font->glyphBitmapForCodepoint('\r').hasBitmap);
  const GlyphBitmapView tab = font->glyphBitmapForCodepoint('\t');
  EXPECT_EQ(tab.advance, 16);
  EXPECT_FALSE(tab.hasBitmap);
  const GlyphBitmapView beyond = font->glyphBitmapForCodepoint(0x110000);
  EXPECT_TRUE(beyond.missing);
  EXPECT_EQ(beyond.advance, 13);
  auto group = RenderFont::group({font});
  const GlyphBitmapView fromGroup = group->glyphBitmapForCodepoint('A');
  EXPECT_EQ(fromGroup.advance, 0);
  EXPECT_FALSE(fromGroup.hasBitmap);
  EXPECT_FALSE(group->glyphBitmapForGlyphId(36).hasBitmap);
}

TEST_F(FontTest, EmboldenWidensOutlines) {
  auto plain = loadOrFail(fonttest::kSans, 14);
  auto bold = loadOrFail(fonttest::kSans, 14, 2.0f);
  EXPECT_GT(bold->glyphBitmapForCodepoint('l').width, plain->glyphBitmapForCodepoint('l').width);
}

TEST_F(FontTest, HugeSize_OutlineBeyond4096IsMissingWithoutAnAtlasPage) {
  auto font = loadOrFail(fonttest::kSans, 5000);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('W');
  EXPECT_TRUE(view.missing);
  EXPECT_FALSE(view.hasBitmap);
  EXPECT_GT(view.advance, 4096);
  EXPECT_TRUE(font->atlasPages().empty());
  EXPECT_TRUE(font->glyphMetrics('W').missing);
}

}  // namespace
