// One glyph of an SVG glyph document drawn in the render process: the glyph's own element, wherever it lies
// in the document and whatever element it is, with what it uses from the rest of the document.
#include "fonts/svg_glyph_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render_process/render_process.h"

namespace {

const std::string kHonest = R"(<svg xmlns="http://www.w3.org/2000/svg"><g id="glyph5">)"
                            R"(<rect x="100" y="-700" width="500" height="700" fill="#00ff00"/></g></svg>)";

bool drawGlyph(const std::string& document, uint32_t glyph, float pixelSize, uint32_t unitsPerEm = 1000) {
  SvgGlyphImage image;
  return renderSvgGlyphDocument(document, unitsPerEm, pixelSize, glyph, image);
}

// Fails `glyph` of `document` at `pixelSize`, then draws the honest document beside it; `idle` gets the idle
// render processes then, one, which a glyph refused from memory alone leaves as they are.
void failThenDrawHonest(const std::string& document, uint32_t glyph, float pixelSize, uint32_t unitsPerEm,
                        std::vector<int>& idle) {
  EXPECT_FALSE(drawGlyph(document, glyph, pixelSize, unitsPerEm));
  ASSERT_TRUE(drawGlyph(kHonest, 5, pixelSize));
  idle = idleRenderProcesses();
  ASSERT_EQ(idle.size(), 1u);
}

// The render process is the fake one, which answers as the document's comment says, while this lives.
struct FakeRenderProgram {
  FakeRenderProgram() { useRenderProgram(QZ_FAKE_RENDER_PROCESS); }
  ~FakeRenderProgram() { useRenderProgram(""); }
  FakeRenderProgram(const FakeRenderProgram&) = delete;
  FakeRenderProgram& operator=(const FakeRenderProgram&) = delete;
};

TEST(SvgGlyphDocument, RendersTheGlyphAtTheFaceSizeOrFails) {
  const std::string& document = kHonest;
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

// A document whose glyphs each run past the time limit: once one has, the others at that size or larger are
// missing without asking the render process again; an honest document is drawn beside it.
TEST(SvgGlyphDocument, ADocumentThatRanOutOfTimeIsRememberedForItsOtherGlyphs) {
  const std::string slow =
      "<svg xmlns='http://www.w3.org/2000/svg'><filter id='f'><feTurbulence baseFrequency='0.05' "
      "numOctaves='100000'/></filter><g id='glyph1' filter='url(#f)'><rect y='-1000' width='1000' height='1000'/>"
      "</g><g id='glyph2' filter='url(#f)'><rect y='-1000' width='900' height='1000'/></g></svg>";
  std::vector<int> idle;
  ASSERT_NO_FATAL_FAILURE(failThenDrawHonest(slow, 1, 200.0f, 1000, idle));
  EXPECT_FALSE(drawGlyph(slow, 2, 200.0f));
  EXPECT_FALSE(drawGlyph(slow, 1, 400.0f));
  EXPECT_EQ(idleRenderProcesses(), idle) << "the render process was not asked again";
  ASSERT_TRUE(drawGlyph(kHonest, 5, 400.0f));
}

// A document librsvg cannot read is refused for every glyph and every size without asking again.
TEST(SvgGlyphDocument, ADocumentThatCannotBeReadIsRememberedForEveryGlyph) {
  const std::string unreadable = "<svg xmlns='http://www.w3.org/2000/svg'><g id='glyph1'><g id='glyph2'>";
  std::vector<int> idle;
  ASSERT_NO_FATAL_FAILURE(failThenDrawHonest(unreadable, 1, 30.0f, 1000, idle));
  EXPECT_FALSE(drawGlyph(unreadable, 2, 30.0f));
  EXPECT_FALSE(drawGlyph(unreadable, 1, 10.0f));
  EXPECT_EQ(idleRenderProcesses(), idle) << "the render process was not asked again";
}

// The same for memory, from a render process that says it ran out: a smaller size is still tried.
TEST(SvgGlyphDocument, ADocumentThatRanOutOfMemoryIsRememberedAtThatSizeAndAbove) {
  const FakeRenderProgram fake;
  const std::string swelling = "<svg><!-- out of memory --></svg>";
  std::vector<int> idle;
  ASSERT_NO_FATAL_FAILURE(failThenDrawHonest(swelling, 1, 40.0f, 1000, idle));
  EXPECT_FALSE(drawGlyph(swelling, 2, 80.0f));
  EXPECT_EQ(idleRenderProcesses(), idle) << "the render process was not asked again";
  EXPECT_FALSE(drawGlyph(swelling, 2, 20.0f));
  EXPECT_NE(idleRenderProcesses(), idle) << "a smaller size was asked";
}

// A font of more units per em draws the same document smaller at the same pixel size: what ran out of memory
// in one font is asked again in the other.
TEST(SvgGlyphDocument, ADocumentThatRanOutOfMemoryIsRememberedForItsUnitsPerEm) {
  const FakeRenderProgram fake;
  const std::string swelling = "<svg><!-- out of memory in two fonts --></svg>";
  std::vector<int> idle;
  ASSERT_NO_FATAL_FAILURE(failThenDrawHonest(swelling, 1, 40.0f, 1000, idle));
  EXPECT_FALSE(drawGlyph(swelling, 1, 40.0f, 1000));
  EXPECT_EQ(idleRenderProcesses(), idle) << "the render process was not asked again";
  EXPECT_FALSE(drawGlyph(swelling, 1, 40.0f, 4000));
  EXPECT_NE(idleRenderProcesses(), idle) << "the other font was asked";
}

}  // namespace
