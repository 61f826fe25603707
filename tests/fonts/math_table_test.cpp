// The stretch variants and assemblies of a glyph read from MATH tables made here with fontTools: lengths that
// pass 32,767 font units, and lists far longer than any real font's, read within a bounded count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "font_test_support.h"
#include "memory_limited_child.h"

namespace {

using fonttest::FontTest;
using fonttest::TempPath;

// A font whose "(" has `variants` stretch variants and an assembly of `parts` parts naming glyphs 1 to
// `glyphs` in turn, every length `length` font units (1,000 per em).
void makeMathFont(const TempPath& path, size_t variants, size_t parts, int glyphs, int length) {
  const std::string command = std::string("/usr/bin/python3 ") + QZ_MATH_FONT_SCRIPT + " " + path.path() + " " +
                              std::to_string(variants) + " " + std::to_string(parts) + " " + std::to_string(glyphs) +
                              " " + std::to_string(length);
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// HarfBuzz reads these unsigned 16-bit lengths as signed: 65,535 units would come back as -1 unit.
TEST_F(FontTest, MathShape_LengthsAreNeverNegative) {
  const struct {
    int units;
    float pixels;  // at 64 px, 1,000 units per em; lengths past 32,767 units are not read as such
  } cases[] = {{100, 6.40625f}, {32767, 2097.078125f}, {32768, 0.0f}, {65535, 0.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    TempPath path("math_lengths.ttf");
    makeMathFont(path, 2, 3, 2, c.units);
    auto font = loadOrFail(path.c_str(), 64);
    ASSERT_NE(font, nullptr);
    const MathGlyphShape shape = font->mathGlyphShape("(", true);
    ASSERT_EQ(shape.variants.size(), 2u);
    ASSERT_EQ(shape.parts.size(), 3u);
    EXPECT_FLOAT_EQ(shape.minimumConnectorOverlap, c.pixels);
    EXPECT_FLOAT_EQ(shape.variants[1].advance, c.pixels);
    for (const MathGlyphPart& part : shape.parts) {
      EXPECT_FLOAT_EQ(part.startConnector, c.pixels);
      EXPECT_FLOAT_EQ(part.endConnector, c.pixels);
      EXPECT_FLOAT_EQ(part.fullAdvance, c.pixels);
    }
  }
}

// Real fonts list tens of variants and a handful of parts. The first kMaxMathVariants variants are read; an
// assembly of more than kMaxMathParts parts is not read at all, since a cut one would draw a broken glyph.
TEST_F(FontTest, MathShape_VariantAndPartCountsAreBounded) {
  const struct {
    size_t variants, parts;
    size_t readVariants, readParts;
  } cases[] = {
      {10, 5, 10, 5},
      {kMaxMathVariants, kMaxMathParts, kMaxMathVariants, kMaxMathParts},
      {kMaxMathVariants + 1, kMaxMathParts + 1, kMaxMathVariants, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.variants << " variants, " << c.parts << " parts");
    TempPath path("math_counts.ttf");
    makeMathFont(path, c.variants, c.parts, 300, 100);
    auto font = loadOrFail(path.c_str(), 20);
    ASSERT_NE(font, nullptr);
    const MathGlyphShape shape = font->mathGlyphShape("(", true);
    EXPECT_EQ(shape.variants.size(), c.readVariants);
    EXPECT_EQ(shape.parts.size(), c.readParts);
    ASSERT_FALSE(shape.variants.empty());
    EXPECT_EQ(shape.variants.back().placement.glyphId, c.readVariants);
  }
}

// A "(" of 16,000 variants and 6,000 parts over 3,000 glyphs, each glyph's bitmap 300 x 420 pixels: reading
// them all would render and keep about 1.5 GB of bitmaps. The call stays within 256 MiB.
TEST_F(FontTest, MathShape_AGlyphListingThousandsOfVariantsIsReadWithinBoundedMemory) {
  TempPath path("math_many.ttf");
  makeMathFont(path, 16000, 6000, 3000, 100);
  auto font = loadOrFail(path.c_str(), 600);
  ASSERT_NE(font, nullptr);
  const int code = runInMemoryLimitedChild(size_t{256} << 20, [&] {
    try {
      const MathGlyphShape shape = font->mathGlyphShape("(", true);
      return shape.variants.size() == kMaxMathVariants && shape.parts.empty() ? 0 : 1;
    } catch (const std::bad_alloc&) {
      return 2;
    }
  });
  EXPECT_EQ(code, 0) << "1: wrong counts, 2: out of memory, above 128: a signal";
}

// A call that runs out of memory while it renders its glyphs gives back what it rendered: the font holds no
// more than before. 64 glyphs of 300 x 420 pixels fill three 2048-pixel atlas pages of 16 MiB each; the
// child has room for one.
TEST_F(FontTest, MathShape_ACallThatRunsOutOfMemoryLeavesNothingCached) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer build runs the child without a memory limit";
#endif
  TempPath path("math_failing.ttf");
  makeMathFont(path, kMaxMathVariants, 0, kMaxMathVariants, 100);
  auto font = loadOrFail(path.c_str(), 600);
  ASSERT_NE(font, nullptr);
  const int code = runInMemoryLimitedChild(size_t{24} << 20, [&] {
    const uint64_t before = fontMemoryBytes(font.get());
    try {
      font->mathGlyphShape("(", true);
      return 1;
    } catch (const std::bad_alloc&) {
    }
    return fontMemoryBytes(font.get()) <= before + (uint64_t{64} << 10) ? 0 : 2;
  });
  EXPECT_EQ(code, 0) << "1: the call did not run out of memory, 2: it left its glyphs cached";
}

// The pixels of a glyph's bitmap, row after row; none without one.
std::vector<uint32_t> bitmapPixels(const GlyphBitmapView& view) {
  std::vector<uint32_t> pixels;
  if (!view.hasBitmap || view.image == nullptr) return pixels;
  for (int32_t y = 0; y < view.height; ++y) {
    const auto row = view.image->pixels.begin() +
                     static_cast<std::ptrdiff_t>((view.atlasY + y) * static_cast<size_t>(view.image->width) + view.atlasX);
    pixels.insert(pixels.end(), row, row + view.width);
  }
  return pixels;
}

// "A" (glyph 2, a box with a hole) is known from shaping but first drawn by a call that runs out of memory.
// The call gives back the atlas space of everything it stored, the bitmap of "A" included, so "A" is drawn
// afresh afterwards, not from the place that the glyphs drawn after the call take.
TEST_F(FontTest, MathShape_AGlyphFirstDrawnByAFailingCallDrawsRightAfterwards) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer build runs the child without a memory limit";
#endif
  TempPath path("math_rollback.ttf");
  makeMathFont(path, kMaxMathVariants, 0, kMaxMathVariants, 100);
  std::vector<uint32_t> expected;
  {
    auto reference = loadOrFail(path.c_str(), 600);
    ASSERT_NE(reference, nullptr);
    expected = bitmapPixels(reference->glyphBitmapForGlyphId(reference->glyphIndexFor('A')));
    ASSERT_FALSE(expected.empty());
  }
  auto font = loadOrFail(path.c_str(), 600);
  ASSERT_NE(font, nullptr);
  std::vector<ShapedGlyph> shaped;
  ASSERT_TRUE(font->shapeText("A", 0, shaped));
  ASSERT_EQ(shaped.size(), 1u);
  const uint32_t glyphOfA = shaped[0].glyphId;
  ASSERT_EQ(glyphOfA, 2u) << "the variants of \"(\" name it";
  const int code = runInMemoryLimitedChild(size_t{24} << 20, [&] {
    try {
      font->mathGlyphShape("(", true);
      return 1;
    } catch (const std::bad_alloc&) {
    }
    font->glyphBitmapForGlyphId(1);
    font->glyphBitmapForGlyphId(3);
    return bitmapPixels(font->glyphBitmapForGlyphId(glyphOfA)) == expected ? 0 : 2;
  });
  EXPECT_EQ(code, 0) << "1: the call did not run out of memory, 2: \"A\" draws other pixels";
}

}  // namespace
