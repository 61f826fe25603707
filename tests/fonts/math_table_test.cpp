// The stretch variants and assemblies of a glyph read from MATH tables made here with fontTools: lengths that
// pass 32,767 font units.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "font_test_support.h"

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

}  // namespace
