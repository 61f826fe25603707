// Formula masks: glyphs and rules filled as one outline, FreeType's limits on outlines and rasters, and
// long formulas filled in strips.
#include <gtest/gtest.h>

#include "font_test_support.h"

namespace {

using fonttest::FontTest;

const char* const kMathTrueType = "/usr/share/fonts/truetype/dejavu/DejaVuMathTeXGyre.ttf";
const char* const kMathPostScript = "/usr/share/texmf/fonts/opentype/public/tex-gyre-math/texgyrepagella-math.otf";
constexpr uint64_t kByteLimit = 67108864;
constexpr uint64_t kPixelLimit = 16777216;

MathMaskComponent glyphAt(uint32_t glyphId, float x, float y) { return {glyphId, x, y, 0.0f, 0.0f, true}; }
MathMaskComponent ruleAt(float x, float y, float width, float height) { return {0, x, y, width, height, false}; }

uint32_t glyphOf(RenderFont& font, const char* text) { return font.mathGlyphShape(text, false).base.glyphId; }

uint8_t coverageAt(const MathMask& mask, int32_t x, int32_t y) {
  return mask.coverage[static_cast<size_t>(y - mask.originY) * mask.width + (x - mask.originX)];
}

// A rule over a glyph must add to its winding, never cut a hole: in a TrueType face (clockwise outlines)
// and a CFF face (counter-clockwise) alike.
TEST_F(FontTest, MathMask_RuleOverAGlyphCoversEveryPixelInBothOrientations) {
  for (const char* path : {kMathTrueType, kMathPostScript}) {
    auto font = loadOrFail(path, 40);
    const std::vector<MathMaskComponent> components = {glyphAt(glyphOf(*font, "O"), 0, 0),
                                                       ruleAt(-3, 0, 40, static_cast<float>(font->height()))};
    const MathMask mask = font->composeMathMask(components, 4, kByteLimit, kPixelLimit);
    ASSERT_EQ(mask.status, MathMaskStatus::Done) << path;
    for (int32_t y = 0; y < font->height(); ++y) {
      for (int32_t x = -3; x < 37; ++x) ASSERT_EQ(coverageAt(mask, x, y), 255) << path << " at " << x << ", " << y;
    }
    EXPECT_EQ(std::vector<int32_t>({mask.inkX, mask.inkY, mask.inkWidth, mask.inkHeight}),
              std::vector<int32_t>({-3, 0, 40, font->height()}));
  }
}

// A long formula is filled in strips of columns, each with the contours that reach it (FreeType alone
// fails on a row of 300 of these: its cell pool overflows); glyphs across the strips' edges keep their
// coverage.
// A row of 300 "@" glyphs 20 pixels apart, followed by `more` components, composed at supersample 4; every
// 37th copy of the glyph must keep the coverage of the glyph composed alone.
MathMask composeRowOfGlyphs(RenderFont& font, const std::vector<MathMaskComponent>& more) {
  const uint32_t glyph = glyphOf(font, "@");
  const MathMask single = font.composeMathMask({glyphAt(glyph, 0, 0)}, 4, kByteLimit, kPixelLimit);
  EXPECT_EQ(single.status, MathMaskStatus::Done);
  std::vector<MathMaskComponent> components;
  for (int i = 0; i < 300; ++i) components.push_back(glyphAt(glyph, 20.0f * i, 0));
  components.insert(components.end(), more.begin(), more.end());
  const MathMask mask = font.composeMathMask(components, 4, kByteLimit, kPixelLimit);
  EXPECT_EQ(mask.status, MathMaskStatus::Done);
  for (int i = 0; i < 300 && mask.status == MathMaskStatus::Done; i += 37) {
    for (int32_t y = single.originY; y < single.originY + single.height; ++y) {
      for (int32_t x = single.originX; x < single.originX + single.width; ++x) {
        if (coverageAt(mask, 20 * i + x, y) != coverageAt(single, x, y)) {
          ADD_FAILURE() << "copy " << i << " differs at " << x << "," << y;
          return mask;
        }
      }
    }
  }
  return mask;
}

TEST_F(FontTest, MathMask_LongFormulaFilledInStripsMatchesItsGlyphs) {
  auto font = loadOrFail(kMathTrueType, 20);
  composeRowOfGlyphs(*font, {});
}

// Rules across the whole formula reach every strip, so it is filled in one pass, split only where FreeType's
// cell pool overflows; glyphs and rules keep their coverage.
TEST_F(FontTest, MathMask_FormulaUnderLongRulesIsSplitOnlyWhereFreeTypeOverflows) {
  auto font = loadOrFail(kMathTrueType, 20);
  std::vector<MathMaskComponent> rules;
  for (int i = 0; i < 40; ++i) rules.push_back(ruleAt(0, 40.0f + i, 6000, 1));
  const MathMask mask = composeRowOfGlyphs(*font, rules);
  ASSERT_EQ(mask.status, MathMaskStatus::Done);
  for (const int32_t x : {0, 2999, 5999}) {
    for (int32_t y = 40; y < 80; ++y) ASSERT_EQ(coverageAt(mask, x, y), 255) << x << "," << y;
  }
}

TEST_F(FontTest, MathMask_LimitsOfFreeTypesOutlinesAndRaster) {
  auto font = loadOrFail(kMathTrueType, 20);
  const auto compose = [&](const std::vector<MathMaskComponent>& components, int32_t supersample = 4) {
    return font->composeMathMask(components, supersample, kByteLimit, kPixelLimit).status;
  };
  // FreeType counts points in shorts: 8191 rules have 32764 points, 8192 have 32768.
  std::vector<MathMaskComponent> rules;
  for (int i = 0; i < 8191; ++i) rules.push_back(ruleAt(static_cast<float>(i % 100), i / 100.0f, 1, 1));
  EXPECT_EQ(compose(rules), MathMaskStatus::Done);
  rules.push_back(ruleAt(0, 0, 1, 1));
  EXPECT_EQ(compose(rules), MathMaskStatus::TooLarge);
  // The rasterizer takes sides up to 262,144 supersampled pixels (a mask side of 65,536 at 4).
  EXPECT_EQ(compose({ruleAt(0, 0, 65534, 1)}), MathMaskStatus::Done);
  EXPECT_EQ(compose({ruleAt(0, 0, 65535, 1)}), MathMaskStatus::TooLarge);
  EXPECT_EQ(compose({ruleAt(0, 0, 65535, 1)}, 1), MathMaskStatus::Done);
  EXPECT_EQ(compose({ruleAt(0, 0, 5000, 4000)}, 1), MathMaskStatus::TooLarge);
  EXPECT_EQ(compose({ruleAt(3e9f, 0, 1, 1)}), MathMaskStatus::TooLarge);
  EXPECT_EQ(compose({ruleAt(0, 0, 1, 1)}, 0), MathMaskStatus::NothingDrawn);
  EXPECT_EQ(compose({glyphAt(0, 0, 0)}), MathMaskStatus::UnusableGlyph);
  auto group = RenderFont::group({loadOrFail(kMathTrueType, 20)});
  EXPECT_EQ(group->composeMathMask({ruleAt(0, 0, 1, 1)}, 4, kByteLimit, kPixelLimit).status,
            MathMaskStatus::NothingDrawn);
}

TEST_F(FontTest, MathMask_EmboldeningWidensGlyphsButNotRules) {
  auto font = loadOrFail(kMathTrueType, 20);
  const std::vector<MathMaskComponent> components = {glyphAt(glyphOf(*font, "l"), 0, 0), ruleAt(30, 0, 4, 4)};
  // Total coverage of the columns [x0, x1).
  const auto inked = [](const MathMask& mask, int32_t x0, int32_t x1) {
    uint64_t sum = 0;
    for (int32_t y = mask.originY; y < mask.originY + mask.height; ++y) {
      for (int32_t x = x0; x < x1; ++x) sum += coverageAt(mask, x, y);
    }
    return sum;
  };
  const MathMask plain = font->composeMathMask(components, 4, kByteLimit, kPixelLimit);
  FontQuality quality;
  quality.embolden = 1.0f;
  setFontQuality(quality);
  const MathMask bold = font->composeMathMask(components, 4, kByteLimit, kPixelLimit);
  ASSERT_EQ(bold.status, MathMaskStatus::Done);
  EXPECT_GT(inked(bold, -1, 20), inked(plain, -1, 20) + 255 * 8);
  EXPECT_EQ(inked(bold, 29, 35), inked(plain, 29, 35));
}

}  // namespace
