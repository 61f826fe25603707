// Shaping and measuring: ligatures, right-to-left text, fallback over a group, keycaps, widths and bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "font_test_support.h"

namespace {

using fonttest::FontTest;

const char* const kHebrew = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";  // shalom: four letters
const char* const kArabic = "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85";  // salam: four letters
const char* const kKeycapOne = "1\xEF\xB8\x8F\xE2\x83\xA3";      // "1", U+FE0F, U+20E3
const char* const kGrinning = "\xF0\x9F\x98\x80";

TEST_F(FontTest, ShapeText_LigatureIsOneGlyphOverItsThreeBytes) {
  auto font = loadOrFail(fonttest::kSans, 14);
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(font->shapeText("ffi", 0, glyphs));
  ASSERT_EQ(glyphs.size(), 1u);
  EXPECT_EQ(glyphs[0].face, font.get());
  EXPECT_EQ(glyphs[0].clusterStart, 0u);
  EXPECT_EQ(glyphs[0].clusterEnd, 3u);
  EXPECT_FALSE(glyphs[0].rightToLeft);
  EXPECT_GT(glyphs[0].xAdvance, 0);
}

TEST_F(FontTest, ShapeText_HebrewComesBackRightToLeft) {
  auto font = loadOrFail(fonttest::kSans, 14);
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(font->shapeText(kHebrew, 0, glyphs));
  ASSERT_EQ(glyphs.size(), 4u);
  const uint32_t expectedStarts[] = {6, 4, 2, 0};  // visual order: the last letter first
  for (size_t i = 0; i < glyphs.size(); ++i) {
    EXPECT_TRUE(glyphs[i].rightToLeft);
    EXPECT_EQ(glyphs[i].clusterStart, expectedStarts[i]);
    EXPECT_EQ(glyphs[i].clusterEnd, expectedStarts[i] + 2);
  }
}

TEST_F(FontTest, ShapeText_FailsWhenAGlyphIsMissingAndLeavesTheOutput) {
  auto mono = loadOrFail(fonttest::kSansMono, 14);
  std::vector<ShapedGlyph> glyphs(2);
  EXPECT_FALSE(mono->shapeText(kHebrew, 0, glyphs));
  EXPECT_EQ(glyphs.size(), 2u);
  EXPECT_FALSE(mono->shapeText("", 0, glyphs));
  EXPECT_FALSE(mono->shapeText(nullptr, 0, glyphs));
}

TEST_F(FontTest, ShapeTextWithFallback_ArabicGoesToTheMemberThatHasAllOfIt) {
  auto serif = loadOrFail(fonttest::kSerif, 14);
  auto sans = loadOrFail(fonttest::kSans, 14);
  RenderFont* rawSans = sans.get();
  auto group = RenderFont::group({serif, sans});
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(group->shapeTextWithFallback(kArabic, glyphs));
  ASSERT_FALSE(glyphs.empty());
  for (const ShapedGlyph& glyph : glyphs) {
    EXPECT_EQ(glyph.face, rawSans);
    EXPECT_EQ(glyph.baselineShift, group->memberBaselineShift(rawSans));
    EXPECT_TRUE(glyph.rightToLeft);
  }
  int32_t width = 0;
  for (const ShapedGlyph& glyph : glyphs) width += glyph.xAdvance;
  EXPECT_EQ(group->textWidth(kArabic), width);
}

TEST_F(FontTest, ShapeTextWithFallback_LoadsLazyMembersFirst) {
  std::shared_ptr<RenderFont> primary = loadOrFail(fonttest::kSansMono, 14);
  const std::string_view paths[] = {fonttest::kSans};
  auto group = RenderFont::groupLazy(primary, paths, 14);
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(group->shapeTextWithFallback(kHebrew, glyphs));
  EXPECT_EQ(glyphs[0].face, group->groupData().slots[1].get());
  EXPECT_FALSE(group->shapeTextWithFallback("", glyphs));
  EXPECT_TRUE(glyphs.empty());
}

TEST_F(FontTest, TextWidth_NoMemberShapesItAllSoCodepointsAreSummed) {
  auto mono = loadOrFail(fonttest::kSansMono, 14);
  auto serif = loadOrFail(fonttest::kSerif, 14);
  RenderFont* rawMono = mono.get();
  auto group = RenderFont::group({mono, serif});
  const std::string text = std::string("a") + kHebrew;  // no member has Hebrew
  std::vector<ShapedGlyph> glyphs;
  EXPECT_FALSE(group->shapeTextWithFallback(text.c_str(), glyphs));
  const int32_t box = rawMono->missingGlyphBoxWidth();
  EXPECT_EQ(group->textWidth(text.c_str()), rawMono->codepointAdvance('a').advance + 4 * box);
}

TEST_F(FontTest, TextWidth_PlainTextSumsAdvancesAndTabs) {
  auto font = loadOrFail(fonttest::kSans, 14);
  EXPECT_EQ(font->textWidth("    "), 16);
  EXPECT_EQ(font->textWidth("\t\n"), 16);
  EXPECT_EQ(font->textWidth(""), 0);
  EXPECT_EQ(font->textWidth(nullptr), 0);
  EXPECT_EQ(font->textWidth("AB"), font->codepointAdvance('A').advance + font->codepointAdvance('B').advance);
  EXPECT_EQ(font->textWidth("e\xCC\x81"), font->codepointAdvance('e').advance);  // shaped: the mark adds nothing
}

TEST_F(FontTest, Keycap_ShapesAsOneGlyphInTheColourFace) {
  setAllowFontBitmapGlyphs(true);
  auto emoji = loadOrFail(fonttest::kColorEmoji, 14);
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(emoji->shapeText(kKeycapOne, 0, glyphs));
  ASSERT_EQ(glyphs.size(), 1u);
  EXPECT_EQ(glyphs[0].clusterStart, 0u);
  EXPECT_EQ(glyphs[0].clusterEnd, std::strlen(kKeycapOne));
  EXPECT_EQ(keycapShapeScore(emoji.get(), kKeycapOne, glyphs), 220);
  auto sans = loadOrFail(fonttest::kSans, 14);
  auto group = RenderFont::group({sans, emoji});
  ASSERT_TRUE(group->shapeTextWithFallback(kKeycapOne, glyphs));
  ASSERT_EQ(glyphs.size(), 1u);
  EXPECT_TRUE(glyphs[0].face->colourFace());
}

TEST_F(FontTest, KeycapScore_FavoursOneGlyphColourAndOneCluster) {
  auto plain = loadOrFail(fonttest::kSans, 14);
  std::vector<ShapedGlyph> one(1);
  one[0].clusterEnd = 4;
  EXPECT_EQ(keycapShapeScore(plain.get(), "1\xE2\x83\xA3", one), 120);
  one[0].clusterEnd = 3;
  EXPECT_EQ(keycapShapeScore(plain.get(), "1\xE2\x83\xA3", one), 80);
  std::vector<ShapedGlyph> three(3);
  EXPECT_EQ(keycapShapeScore(plain.get(), "1\xE2\x83\xA3", three), 8);
  std::vector<ShapedGlyph> many(5);
  EXPECT_EQ(keycapShapeScore(plain.get(), "1\xE2\x83\xA3", many), 0);
  EXPECT_EQ(keycapShapeScore(plain.get(), "1", {}), INT32_MIN);
}

TEST_F(FontTest, ShapedStrikeGlyphs_AdvanceAtTheRequestedSize) {
  setAllowFontBitmapGlyphs(true);
  auto emoji = loadOrFail(fonttest::kColorEmoji, 14);
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(emoji->shapeText(kGrinning, 0, glyphs));
  ASSERT_EQ(glyphs.size(), 1u);
  EXPECT_NEAR(glyphs[0].xAdvance, emoji->codepointAdvance(0x1F600).advance, 1);
}

TEST_F(FontTest, TextBounds_CoverTheInkAndNotTheSpaces) {
  auto font = loadOrFail(fonttest::kSans, 14);
  EXPECT_FALSE(font->textBounds("   ").valid);
  EXPECT_EQ(font->textWidth("   "), 12);
  EXPECT_FALSE(font->textBounds("").valid);
  const GlyphBitmapView a = font->glyphBitmapForCodepoint('A');
  const TextBounds single = font->textBounds("A");
  ASSERT_TRUE(single.valid);
  EXPECT_EQ(single.x, a.left);
  EXPECT_EQ(single.y, a.topOffset);
  EXPECT_EQ(single.width, a.width);
  EXPECT_EQ(single.height, a.height);
  const TextBounds spaced = font->textBounds(" A ");
  EXPECT_EQ(spaced.x, 4 + a.left);
  const TextBounds low = font->textBounds("Ag");
  EXPECT_GT(low.height, a.height);  // the descender reaches lower
  const TextBounds shaped = font->textBounds(kHebrew);
  EXPECT_TRUE(shaped.valid);
  EXPECT_GT(shaped.width, 0);
}

}  // namespace
