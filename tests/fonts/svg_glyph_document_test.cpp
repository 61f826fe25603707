// Cutting one glyph out of an SVG glyph document: the tag scanners, the composed document, rendering it and
// copying the renderer's rows.
#include "fonts/svg_glyph_document.h"

#include <gtest/gtest.h>

#include "platform/svg_render.h"

namespace {

constexpr size_t npos = std::string_view::npos;

TEST(SvgGlyphDocument, TagStartNeedsANameThatEnds) {
  const struct {
    std::string_view text, name;
    size_t from, found;
  } cases[] = {
      {"<svg>", "svg", 0, 0},           {"<svgx><svg\n/>", "svg", 0, 6}, {"<svg", "svg", 0, npos},
      {"<g/><g>", "g", 1, 4},           {"<defs\t>", "defs", 0, 0},      {"<gradient><g >", "g", 0, 10},
      {"no tags at all", "g", 0, npos},
  };
  for (const auto& c : cases) EXPECT_EQ(findSvgTagStart(c.text, c.name, c.from), c.found) << c.text;
}

TEST(SvgGlyphDocument, ElementEndCountsNestingOfItsName) {
  const struct {
    std::string_view text;
    size_t start, end;
  } cases[] = {
      {"<g><g><rect/></g></g>tail", 0, 21},
      {"<g id='a'><g/><g></g ></g>", 0, 26},  // a self-closing g opens nothing
      {"<g><g></g>", 0, npos},
      {"<g", 0, npos},
      {"<g></g", 0, npos},
      {"<g></g>", 7, npos},
  };
  for (const auto& c : cases) EXPECT_EQ(findSvgElementEnd(c.text, c.start, "g"), c.end) << c.text;

  // Deep nesting (a few kilobytes of compressed document) is scanned once, not once per level.
  std::string deep;
  for (int i = 0; i < 300000; ++i) deep += "<g>";
  for (int i = 0; i < 300000; ++i) deep += "</g>";
  EXPECT_EQ(findSvgElementEnd(deep, 0, "g"), deep.size());
  EXPECT_EQ(findSvgElementEnd(std::string_view(deep).substr(0, deep.size() - 1), 0, "g"), npos);
}

TEST(SvgGlyphDocument, ComposesRootDefsAndTheGlyphsElement) {
  const std::string_view root = R"(<svg xmlns="http://www.w3.org/2000/svg">)";
  const std::string document = std::string(root) +
                               R"(<defs><g id="glyph3"/></defs><defs>second</defs>)"
                               R"(<g id="glyph10"><rect/></g><g id="glyph1"><g><g fill="red"></g></g><circle/></g>)"
                               R"(<path id="glyph2"/><g id='glyph4'>four</g></svg>)";
  const struct {
    uint32_t glyph;
    std::optional<std::string> composed;
  } cases[] = {
      {1, std::string(root) +
              R"(<defs><g id="glyph3"/></defs><g id="glyph1"><g><g fill="red"></g></g><circle/></g></svg>)"},
      {10, std::string(root) + R"(<defs><g id="glyph3"/></defs><g id="glyph10"><rect/></g></svg>)"},
      {4, std::string(root) + R"(<defs><g id="glyph3"/></defs><g id='glyph4'>four</g></svg>)"},
      {2, std::nullopt},  // the id sits on a path element
      {5, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(composeSvgGlyphDocument(document, c.glyph), c.composed) << c.glyph;

  EXPECT_EQ(composeSvgGlyphDocument(R"(<svg a="1"><g id="glyph7">x</g></svg>)", 7),
            R"(<svg a="1"><g id="glyph7">x</g></svg>)");
  EXPECT_EQ(composeSvgGlyphDocument(R"(<svg><g id="glyph7"><g></svg>)", 7), std::nullopt);
  EXPECT_EQ(composeSvgGlyphDocument(R"(<svgz><g id="glyph7"></g>)", 7), std::nullopt);
  EXPECT_EQ(composeSvgGlyphDocument(R"(<svg><gx id="glyph7"></gx></svg>)", 7), std::nullopt);
}

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

TEST(SvgGlyphDocument, RowsAreCopiedOneAtATime) {
  SvgBitmap bitmap;
  bitmap.width = 2;
  bitmap.height = 2;
  bitmap.stride = 12;  // one pixel of padding per row
  bitmap.pixels = {1, 0, 0, 0, 2, 0, 0, 0, 9, 9, 9, 9, 3, 0, 0, 0, 4, 0, 0, 0};
  std::vector<uint32_t> pixels;
  ASSERT_TRUE(copySvgBitmapRows(bitmap, pixels));
  EXPECT_EQ(pixels, std::vector<uint32_t>({1, 2, 3, 4}));

  bitmap.stride = 7;
  EXPECT_FALSE(copySvgBitmapRows(bitmap, pixels)) << "a stride shorter than a row";
  bitmap.stride = 12;
  bitmap.pixels.resize(19);
  EXPECT_FALSE(copySvgBitmapRows(bitmap, pixels)) << "fewer bytes than the rows need";
}

}  // namespace
