// Formula masks: glyphs and rules filled as one outline, FreeType's limits on outlines and rasters, and
// long formulas filled in strips.
#include <gtest/gtest.h>

#include <algorithm>

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

// A tall raster is filled in bands of rows, each with its contours cut to the band. A rule 5,000 pixels
// tall keeps the rows of one 200 pixels tall (filled whole): its partly covered first and last rows, and
// full coverage between.
TEST_F(FontTest, MathMask_TallRuleKeepsItsRowsWhenFilledInBands) {
  auto font = loadOrFail(kMathTrueType, 20);
  const MathMask shortRule = font->composeMathMask({ruleAt(0.5f, 0.25f, 30, 200)}, 4, kByteLimit, kPixelLimit);
  const MathMask tallRule = font->composeMathMask({ruleAt(0.5f, 0.25f, 30, 5000)}, 4, kByteLimit, kPixelLimit);
  ASSERT_EQ(shortRule.status, MathMaskStatus::Done);
  ASSERT_EQ(tallRule.status, MathMaskStatus::Done);
  ASSERT_EQ(tallRule.width, shortRule.width);
  ASSERT_EQ(tallRule.height, shortRule.height + 4800);
  const auto row = [](const MathMask& mask, int32_t y) {
    const auto start = mask.coverage.begin() + static_cast<ptrdiff_t>(y) * mask.width;
    return std::vector<uint8_t>(start, start + mask.width);
  };
  std::vector<uint8_t> inner(static_cast<size_t>(shortRule.width), 255);
  inner.front() = inner.back() = 0;
  inner[1] = inner[inner.size() - 2] = 128;  // half of the columns at x = 0 and x = 30
  EXPECT_EQ(row(shortRule, 100), inner);
  EXPECT_EQ(row(shortRule, 1)[5], 191);  // three quarters of the first row
  for (int32_t y = 0; y < tallRule.height; ++y) {
    const int32_t fromEnd = tallRule.height - y;
    const int32_t same = y < 3 ? y : fromEnd <= 3 ? shortRule.height - fromEnd : 100;
    ASSERT_EQ(row(tallRule, y), row(shortRule, same)) << "row " << y;
  }
}

// Glyphs cut at the edges of bands keep their coverage wherever the edges fall: the same tall glyph with
// the mask's top moved 37 pixels up by a dot far beside it (in a TrueType and a CFF face, quadratic and
// cubic curves).
TEST_F(FontTest, MathMask_GlyphsCutIntoBandsKeepTheirCoverage) {
  for (const char* path : {kMathTrueType, kMathPostScript}) {
    auto font = loadOrFail(path, 400);
    const MathGlyphShape shape = font->mathGlyphShape("(", true);
    ASSERT_FALSE(shape.variants.empty()) << path;
    const uint32_t glyph = shape.variants.back().placement.glyphId;
    const MathMask alone = font->composeMathMask({glyphAt(glyph, 0, 0)}, 4, kByteLimit, kPixelLimit);
    ASSERT_EQ(alone.status, MathMaskStatus::Done) << path;
    ASSERT_GT(alone.height * 4, 2048) << path << ": the glyph should cross at least two bands";
    const MathMask moved = font->composeMathMask(
        {glyphAt(glyph, 0, 0),
         ruleAt(static_cast<float>(alone.originX - 50), static_cast<float>(alone.originY - 37), 1, 1)},
        4, kByteLimit, kPixelLimit);
    ASSERT_EQ(moved.status, MathMaskStatus::Done) << path;
    int worst = 0;
    for (int32_t y = alone.originY; y < alone.originY + alone.height; ++y) {
      for (int32_t x = alone.originX; x < alone.originX + alone.width; ++x) {
        worst = std::max(worst, std::abs(coverageAt(alone, x, y) - coverageAt(moved, x, y)));
      }
    }
    EXPECT_LE(worst, 2) << path;
  }
}

// 3,700 rules across the bands of a tall raster: cut to a band, with their parts outside it kept on its
// edges, they would pass FreeType's 32,767 points, yet each is four corners. The mask is drawn and equals the
// one rule that covers them all; spread over as many columns instead, the same rules would take FreeType most
// of a minute and are refused before any filling. (That the time follows the rows is measured by
// BM_ComposeMathMaskOfThousandsOfTallRules.)
TEST_F(FontTest, MathMask_ThousandsOfTallRulesAreDrawnOrRefusedBeforeFilling) {
  auto font = loadOrFail(kMathTrueType, 20);
  // Rule i at x = step * (i % columns).
  const auto rules = [](float height, float step, int columns) {
    std::vector<MathMaskComponent> components;
    for (int i = 0; i < 3700; ++i) components.push_back(ruleAt(step * static_cast<float>(i % columns), 0, 10, height));
    return components;
  };
  for (const float height : {500.0f, 2000.0f}) {
    const MathMask mask = font->composeMathMask(rules(height, 0.25f, 4), 4, kByteLimit, kPixelLimit);
    ASSERT_EQ(mask.status, MathMaskStatus::Done) << height;
    const MathMask one = font->composeMathMask({ruleAt(0, 0, 10.75f, height)}, 4, kByteLimit, kPixelLimit);
    EXPECT_EQ(mask.coverage, one.coverage) << height;
  }
  const MathMask spread = font->composeMathMask(rules(1200.0f, 0.27f, 3700), 4, kByteLimit, kPixelLimit);
  EXPECT_EQ(spread.status, MathMaskStatus::TooComplex);
  EXPECT_TRUE(spread.coverage.empty());
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
  // At 1 the mask itself keeps to the canvas bound: 65,536 pixels a side, the rule and a pixel on each side.
  EXPECT_EQ(compose({ruleAt(0, 0, 65534, 1)}, 1), MathMaskStatus::Done);
  EXPECT_EQ(compose({ruleAt(0, 0, 65535, 1)}, 1), MathMaskStatus::TooLarge);
  EXPECT_EQ(compose({ruleAt(0, 0, 1, 65535)}, 1), MathMaskStatus::TooLarge);
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
