// One glyph of an SVG glyph document drawn in the render process: the glyph's own element, wherever it lies
// in the document and whatever element it is, with what it uses from the rest of the document.
#include "fonts/svg_glyph_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SvgGlyphDocument, RendersTheGlyphAtTheFaceSizeOrFails) {
  const std::string document = R"(<svg xmlns="http://www.w3.org/2000/svg"><g id="glyph5">)"
                               R"(<rect x="100" y="-700" width="500" height="700" fill="#00ff00"/></g></svg>)";
  SvgGlyphImage image;
  ASSERT_TRUE(renderSvgGlyphDocument(document, 1000, 20.0f, 5, image));
  EXPECT_EQ(std::vector<int32_t>({image.left, image.top, image.width, image.height}),
            std::vector<int32_t>({2, 14, 10, 14}));
  ASSERT_EQ(image.pixels.size(), 140u);
  EXPECT_EQ(image.pixels[0], 0xFF00FF00u);

  image.width = 99;
  EXPECT_FALSE(renderSvgGlyphDocument(document, 0, 20.0f, 5, image)) << "units per em of 0";
  EXPECT_FALSE(renderSvgGlyphDocument("", 1000, 20.0f, 5, image));
  EXPECT_FALSE(renderSvgGlyphDocument(document, 1000, 20.0f, 6, image));
  EXPECT_EQ(image.width, 99);
}

TEST(SvgGlyphDocument, GlyphsShareTheDocumentsDefinitions) {
  const std::string document =
      R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink">)"
      R"(<defs><linearGradient id="g"><stop offset="0" stop-color="#0000ff"/></linearGradient></defs>)"
      "<g id='glyph10'><rect y='-500' width='500' height='500' fill='url(#g)'/></g>"
      R"(<path id="glyph1" d="M0 0H1000V-1000H0Z" fill="#ff0000"/></svg>)";
  const struct {
    uint32_t glyph;
    std::vector<int32_t> placed;  // left, top, width, height
    uint32_t firstPixel;
  } cases[] = {{10, {0, 10, 10, 10}, 0xFF0000FFu}, {1, {0, 20, 20, 20}, 0xFFFF0000u}};
  for (const auto& c : cases) {
    SvgGlyphImage image;
    ASSERT_TRUE(renderSvgGlyphDocument(document, 1000, 20.0f, c.glyph, image)) << c.glyph;
    EXPECT_EQ(std::vector<int32_t>({image.left, image.top, image.width, image.height}), c.placed) << c.glyph;
    ASSERT_FALSE(image.pixels.empty());
    EXPECT_EQ(image.pixels[0], c.firstPixel) << c.glyph;
  }
}

}  // namespace
