// Glyph metric caches: filling once, the advances derived from them and the missing-glyph box.
#include <gtest/gtest.h>

#include <cmath>

#include "font_test_support.h"
#include "fonts/codepoints.h"

namespace {

using fonttest::counterValue;
using fonttest::FontTest;

TEST_F(FontTest, GlyphMetrics_FillOnceThenHitTheCache) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const uint64_t loads = counterValue(FontCounter::GlyphMetricLoads);
  const uint64_t hits = counterValue(FontCounter::GlyphMetricCacheHits);
  const uint64_t glyphCalls = counterValue(FontCounter::MetricLoadGlyphCalls);
  RenderFont::GlyphMetricEntry& first = font->glyphMetrics('W');
  EXPECT_TRUE(first.filled);
  EXPECT_FALSE(first.missing);
  EXPECT_NE(first.glyphIndex, 0u);
  RenderFont::GlyphMetricEntry& again = font->glyphMetrics('W');
  EXPECT_EQ(&first, &again);
  EXPECT_EQ(counterValue(FontCounter::GlyphMetricLoads), loads + 1);
  EXPECT_EQ(counterValue(FontCounter::GlyphMetricCacheHits), hits + 1);
  EXPECT_EQ(counterValue(FontCounter::MetricLoadGlyphCalls), glyphCalls + 1);
  EXPECT_EQ(font->glyphIndexFor('W'), first.glyphIndex);
  EXPECT_EQ(first.advance, std::floor(first.advance));  // whole pixels
}

TEST_F(FontTest, CodepointAdvance_MissingVisibleGlyphsGetTheBoxWidth) {
  auto font = loadOrFail(fonttest::kSans, 14);  // 17 px high: 0.75 x 17 = 12.75
  EXPECT_EQ(font->missingGlyphBoxWidth(), 13);
  const CodepointAdvance beyondUnicode = font->codepointAdvance(0x110000);
  EXPECT_TRUE(beyondUnicode.missing);
  EXPECT_EQ(beyondUnicode.advance, 13);
  EXPECT_TRUE(font->glyphMetricsOrEmpty(0x7FFFFFFF).missing);
  EXPECT_EQ(font->glyphMetricsOrEmpty(0x7FFFFFFF).advance, 0.0f);
  const CodepointAdvance privateUse = font->codepointAdvance(0x10FFFD);
  EXPECT_TRUE(privateUse.missing);
  EXPECT_EQ(privateUse.advance, 13);
  auto small = loadOrFail(fonttest::kSans, 5);  // 7 px high: 5.25 rounds to 5, raised to 6
  EXPECT_EQ(small->height(), 7);
  EXPECT_EQ(small->codepointAdvance(0x10FFFD).advance, 6);
}

TEST_F(FontTest, CodepointAdvance_CombiningMarksHaveNoAdvanceAndNoBox) {
  auto sans = loadOrFail(fonttest::kSans, 14);
  const CodepointAdvance mark = sans->codepointAdvance(0x0301);
  EXPECT_FALSE(mark.missing);
  EXPECT_EQ(mark.advance, 0);
  auto mono = loadOrFail(fonttest::kSansMono, 14);
  const CodepointAdvance missingJoiner = mono->codepointAdvance(0x20E3);
  EXPECT_TRUE(missingJoiner.missing);
  EXPECT_EQ(missingJoiner.advance, 0);  // not visible: no box
}

TEST_F(FontTest, CodepointAdvance_TabFollowsTheFontSetting) {
  auto font = loadOrFail(fonttest::kSans, 14);
  EXPECT_EQ(font->codepointAdvance('\t').advance, 16);
  font->setTabSize(50);
  EXPECT_EQ(font->codepointAdvance('\t').advance, 50);
  EXPECT_EQ(font->codepointAdvance('\n').advance, 0);
  EXPECT_EQ(font->codepointAdvance('\r').advance, 0);
  EXPECT_FALSE(font->codepointAdvance('\n').missing);
}

TEST_F(FontTest, GlyphEntryById_ZeroIsMissingWithoutAskingFreeType) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const uint64_t glyphCalls = counterValue(FontCounter::MetricLoadGlyphCalls);
  const RenderFont::GlyphMetricEntry& entry = font->glyphEntryById(0);
  EXPECT_TRUE(entry.missing);
  EXPECT_TRUE(entry.filled);
  EXPECT_EQ(counterValue(FontCounter::MetricLoadGlyphCalls), glyphCalls);
  EXPECT_TRUE(font->glyphIdAdvance(0).missing);
}

TEST_F(FontTest, GlyphEntryById_MatchesTheCodepointEntry) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const uint32_t glyph = font->glyphIndexFor('g');
  const CodepointAdvance byId = font->glyphIdAdvance(glyph);
  EXPECT_FALSE(byId.missing);
  EXPECT_EQ(byId.advance, font->codepointAdvance('g').advance);
  EXPECT_TRUE(font->glyphIdAdvance(60000).missing);  // beyond the face's glyphs
}

TEST_F(FontTest, GlyphBitmapForGlyphId_RendersOnceThenHits) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const uint32_t glyph = font->glyphIndexFor('A');
  const uint64_t renders = counterValue(FontCounter::GlyphBitmapLoads);
  const uint64_t hits = counterValue(FontCounter::GlyphBitmapCacheHits);
  const GlyphBitmapView first = font->glyphBitmapForGlyphId(glyph);
  ASSERT_TRUE(first.hasBitmap);
  const GlyphBitmapView second = font->glyphBitmapForGlyphId(glyph);
  EXPECT_EQ(second.image, first.image);
  EXPECT_EQ(second.atlasX, first.atlasX);
  EXPECT_EQ(counterValue(FontCounter::GlyphBitmapLoads), renders + 1);
  EXPECT_EQ(counterValue(FontCounter::GlyphBitmapCacheHits), hits + 1);
  const GlyphBitmapView none = font->glyphBitmapForGlyphId(0);
  EXPECT_TRUE(none.missing);
  EXPECT_FALSE(none.hasBitmap);
  EXPECT_EQ(none.advance, 0);
}

}  // namespace
