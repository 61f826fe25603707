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

std::string repeated(const std::string& piece, size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

void expectSameGlyph(const ShapedGlyph& got, const ShapedGlyph& expected, size_t index) {
  EXPECT_EQ(got.face, expected.face) << index;
  EXPECT_EQ(got.glyphId, expected.glyphId) << index;
  EXPECT_EQ(got.xAdvance, expected.xAdvance) << index;
  EXPECT_EQ(got.xOffset, expected.xOffset) << index;
  EXPECT_EQ(got.yOffset, expected.yOffset) << index;
  EXPECT_EQ(got.rightToLeft, expected.rightToLeft) << index;
}

// "a", then marks alternating above (U+0301) and below (U+0316), then "b": the first thirty marks shape as a
// stack of thirty does, the rest each as its own glyph at zero advance and offset, all in the cluster of "a".
TEST_F(FontTest, ShapeText_MarksPastThirtyInARunAreMeasuredAloneAtZeroAdvance) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const std::string pair = "\xCC\x81\xCC\x96";
  std::vector<ShapedGlyph> stack;
  ASSERT_TRUE(font->shapeText(("a" + repeated(pair, 15)).c_str(), 0, stack));
  std::vector<ShapedGlyph> acute;
  std::vector<ShapedGlyph> grave;
  std::vector<ShapedGlyph> b;
  ASSERT_TRUE(font->shapeText("\xCC\x81", 0, acute));
  ASSERT_TRUE(font->shapeText("\xCC\x96", 0, grave));
  ASSERT_TRUE(font->shapeText("b", 0, b));
  for (const size_t pairs : {16, 50, 50000}) {
    const std::string text = "a" + repeated(pair, pairs) + "b";
    const auto bAt = static_cast<uint32_t>(text.size() - 1);
    std::vector<ShapedGlyph> glyphs;
    ASSERT_TRUE(font->shapeText(text.c_str(), 0, glyphs)) << pairs;
    ASSERT_EQ(glyphs.size(), stack.size() + 2 * (pairs - 15) + 1) << pairs;
    for (size_t i = 0; i < glyphs.size(); ++i) {
      const ShapedGlyph& glyph = glyphs[i];
      if (i < stack.size()) {
        expectSameGlyph(glyph, stack[i], i);
      } else if (i + 1 < glyphs.size()) {
        EXPECT_EQ(glyph.glyphId, ((i - stack.size()) % 2 == 0 ? acute : grave)[0].glyphId) << i;
        EXPECT_EQ(glyph.xAdvance, 0) << i;
        EXPECT_EQ(glyph.xOffset, 0) << i;
        EXPECT_EQ(glyph.yOffset, 0) << i;
      } else {
        expectSameGlyph(glyph, b[0], i);
      }
      EXPECT_EQ(glyph.clusterStart, i + 1 < glyphs.size() ? 0u : bAt) << i;
      ASSERT_EQ(glyph.clusterEnd, i + 1 < glyphs.size() ? bAt : bAt + 1) << i;
    }
    EXPECT_EQ(font->textWidth(text.c_str()), font->textWidth(("a" + repeated(pair, 15) + "b").c_str()));
  }
}

// Right to left the marks past thirty come first in visual order, before their letter's glyphs.
TEST_F(FontTest, ShapeText_MarksPastThirtyRightToLeftPrecedeTheirCluster) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const std::string letter = "\xD7\xA9";  // shin
  const std::string point = "\xD6\xB4";   // hiriq
  std::vector<ShapedGlyph> stack;
  ASSERT_TRUE(font->shapeText((letter + repeated(point, 30)).c_str(), 0, stack));
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(font->shapeText((letter + repeated(point, 40)).c_str(), 0, glyphs));
  ASSERT_EQ(glyphs.size(), stack.size() + 10);
  for (size_t i = 0; i < glyphs.size(); ++i) {
    EXPECT_TRUE(glyphs[i].rightToLeft) << i;
    EXPECT_EQ(glyphs[i].clusterStart, 0u) << i;
    EXPECT_EQ(glyphs[i].clusterEnd, letter.size() + 40 * point.size()) << i;
    if (i < 10) {
      EXPECT_EQ(glyphs[i].xAdvance, 0) << i;
      EXPECT_EQ(glyphs[i].yOffset, 0) << i;
    } else {
      expectSameGlyph(glyphs[i], stack[i - 10], i);
    }
  }
}

// Variation selectors and the grapheme joiner past thirty are hidden as HarfBuzz hides them, not missing glyphs.
TEST_F(FontTest, ShapeText_IgnorableMarksPastThirtyStayInvisible) {
  auto font = loadOrFail(fonttest::kSans, 14);
  for (const char* ignorable : {"\xEF\xB8\x8F", "\xCD\x8F", "\xF3\xA0\x84\x80"}) {  // U+FE0F, U+034F, U+E0100
    std::vector<ShapedGlyph> thirty;
    std::vector<ShapedGlyph> forty;
    ASSERT_TRUE(font->shapeText(("a" + repeated(ignorable, 30)).c_str(), 0, thirty)) << ignorable;
    ASSERT_TRUE(font->shapeText(("a" + repeated(ignorable, 40)).c_str(), 0, forty)) << ignorable;
    ASSERT_GE(forty.size(), thirty.size());
    for (size_t i = 0; i < forty.size(); ++i) {
      if (i < thirty.size()) {
        expectSameGlyph(forty[i], thirty[i], i);
      } else {
        EXPECT_EQ(forty[i].xAdvance, 0) << i;
      }
    }
    EXPECT_EQ(font->textWidth(("a" + repeated(ignorable, 40)).c_str()), font->textWidth("a"));
  }
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
