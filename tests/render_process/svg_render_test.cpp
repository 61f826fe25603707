// librsvg's drawing as the render process runs it, called here in the test's own process.
#include "render_process/svg_render.h"

#include <cairo.h>
#include <gtest/gtest.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(SvgRenderTest, HalfTransparentRedComesBackWithStraightAlpha) {
  const std::string document = R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10">
             <rect width="10" height="10" fill="red" fill-opacity="0.5"/></svg>)";
  SvgBitmap bitmap;
  ASSERT_TRUE(renderSvgToBgra(document, 4, 4, &bitmap)) << svgLastError();
  EXPECT_EQ(bitmap.width, 4);
  EXPECT_EQ(bitmap.height, 4);
  EXPECT_EQ(bitmap.stride, 16);
  ASSERT_EQ(bitmap.pixels.size(), 64u);
  for (size_t at = 0; at < bitmap.pixels.size(); at += 4) {
    EXPECT_EQ(bitmap.pixels[at], 0);        // blue
    EXPECT_EQ(bitmap.pixels[at + 1], 0);    // green
    EXPECT_EQ(bitmap.pixels[at + 2], 255);  // red, premultiplication undone
    EXPECT_NEAR(bitmap.pixels[at + 3], 128, 1);
  }
}

TEST(SvgRenderTest, DocumentIsFittedIntoTheRequestedSize) {
  // A wide document in a square bitmap: the rows above and below it stay transparent.
  const std::string document = R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10">
             <rect width="20" height="10" fill="#0000ff"/></svg>)";
  SvgBitmap bitmap;
  ASSERT_TRUE(renderSvgToBgra(document, 8, 8, &bitmap)) << svgLastError();
  EXPECT_EQ(bitmap.pixels[3], 0) << "top row";
  const size_t middle = 4 * static_cast<size_t>(bitmap.stride);
  EXPECT_EQ(bitmap.pixels[middle], 255);
  EXPECT_EQ(bitmap.pixels[middle + 3], 255);
}

TEST(SvgRenderTest, FailuresLeaveTheBitmapAndSetTheThreadsError) {
  SvgBitmap bitmap;
  bitmap.width = 7;
  EXPECT_FALSE(renderSvgToBgra("this is not an SVG document", 4, 4, &bitmap));
  const std::string parseError = svgLastError();
  EXPECT_FALSE(parseError.empty());
  EXPECT_EQ(bitmap.width, 7);
  EXPECT_FALSE(renderSvgToBgra(R"(<svg xmlns="http://www.w3.org/2000/svg" width="1" height="1"/>)", 0, 4, &bitmap));

  std::string otherThreadError = "unset";
  std::thread([&] { otherThreadError = svgLastError(); }).join();
  EXPECT_EQ(otherThreadError, "") << "each thread keeps its own text";
}

TEST(SvgRenderTest, OversizedBitmapIsRefusedByCairo) {
  SvgBitmap bitmap;
  EXPECT_FALSE(renderSvgToBgra(R"(<svg xmlns="http://www.w3.org/2000/svg" width="1" height="1"/>)", 40000, 1, &bitmap));
  EXPECT_NE(std::string(svgLastError()).find("surface creation"), std::string::npos) << svgLastError();
}

// A glyph-like document: drawn above y = 0 at its own units, scaled 20 px per 1000 units.
TEST(SvgDocumentRenderTest, BitmapIsCroppedToTheInkAboveTheBaseline) {
  const std::string document = R"(<svg xmlns="http://www.w3.org/2000/svg">
      <rect x="100" y="-700" width="500" height="700" fill="#ff0000"/></svg>)";
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  ASSERT_TRUE(renderSvgDocumentToBgra(document, "", 20.0f, 1000.0f, 4096, &left, &top, &bitmap)) << svgLastError();
  EXPECT_EQ(std::vector<int32_t>({left, top, bitmap.width, bitmap.height, bitmap.stride}),
            std::vector<int32_t>({2, 14, 10, 14, 40}));
  for (size_t at = 0; at < bitmap.pixels.size(); at += 4) {
    ASSERT_EQ(std::vector<int>(bitmap.pixels.begin() + at, bitmap.pixels.begin() + at + 4),
              std::vector<int>({0, 0, 255, 255}));
  }
  // A viewBox maps onto the em square: the same rectangle in a 100-unit box is drawn ten times larger.
  const std::string boxed = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 100 100">
      <rect x="10" y="10" width="50" height="20" fill="blue"/></svg>)";
  ASSERT_TRUE(renderSvgDocumentToBgra(boxed, "", 20.0f, 1000.0f, 4096, &left, &top, &bitmap)) << svgLastError();
  EXPECT_EQ(std::vector<int32_t>({left, top, bitmap.width, bitmap.height}), std::vector<int32_t>({2, -2, 10, 4}));
}

// A glyph drawn through a layer of its own (group opacity, a mask, a filter) is drawn whole above the baseline,
// where glyphs sit, as a plain one is; with or without a view box.
TEST(SvgDocumentRenderTest, GlyphsDrawnThroughALayerAreDrawnWhole) {
  const std::string rect = "<rect x='100' y='-700' width='500' height='700' fill='#ff0000'/>";
  const std::string mask = "<mask id='m'><rect x='-2000' y='-2000' width='4000' height='4000' fill='#fff'/></mask>";
  const std::string blur = "<filter id='b'><feGaussianBlur stdDeviation='10'/></filter>";
  const struct {
    const char* what;
    std::string document;
    uint32_t alpha;  // of the glyph's middle
  } cases[] = {
      {"plain", "<svg xmlns='http://www.w3.org/2000/svg'><g id='glyph1'>" + rect + "</g></svg>", 255},
      {"group opacity", "<svg xmlns='http://www.w3.org/2000/svg'><g id='glyph1' opacity='0.5'>" + rect + "</g></svg>",
       128},
      {"a mask",
       "<svg xmlns='http://www.w3.org/2000/svg'>" + mask + "<g id='glyph1' mask='url(#m)'>" + rect + "</g></svg>", 255},
      {"a filter",
       "<svg xmlns='http://www.w3.org/2000/svg'>" + blur + "<g id='glyph1' filter='url(#b)'>" + rect + "</g></svg>",
       255},
      {"group opacity in a view box",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 1000 1000'>"
       "<g id='glyph1' opacity='0.5'>" +
           rect + "</g></svg>",
       128},
  };
  for (const auto& c : cases) {
    SvgBitmap bitmap;
    int32_t left = 0, top = 0;
    ASSERT_TRUE(renderSvgDocumentToBgra(c.document, "glyph1", 20.0f, 1000.0f, 4096, &left, &top, &bitmap))
        << c.what << ": " << svgLastError();
    // The rectangle covers x 2 to 12 and 14 pixels above the baseline; a blur spreads a little past it.
    EXPECT_LE(left, 2) << c.what;
    EXPECT_GE(left + bitmap.width, 12) << c.what;
    EXPECT_GE(top, 14) << c.what;
    EXPECT_LE(top - bitmap.height, 0) << c.what;
    EXPECT_LE(bitmap.width, 16) << c.what << ": cropped to what is drawn";
    const size_t middle = static_cast<size_t>(top - 7) * static_cast<size_t>(bitmap.stride) + (7 - left) * 4u;
    EXPECT_NEAR(bitmap.pixels[middle + 3], c.alpha, 2) << c.what;
    EXPECT_EQ(bitmap.pixels[middle + 2], 255) << c.what;
  }
}

TEST(SvgDocumentRenderTest, RefusesBadSizesEmptyInkAndOversizedInk) {
  const std::string rect = R"(<svg xmlns="http://www.w3.org/2000/svg"><rect width="100" height="10"/></svg>)";
  const struct {
    std::string document;
    float pixelSize, unitsPerEm;
    int32_t maxSide;
    const char* error;
  } cases[] = {
      {rect, 20.0f, 0.0f, 4096, "size is invalid"},
      {rect, NAN, 1000.0f, 4096, "size is invalid"},
      {rect, 20.0f, 1000.0f, 0, "size is invalid"},
      {R"(<svg xmlns="http://www.w3.org/2000/svg"/>)", 20.0f, 1000.0f, 4096, "draws nothing"},
      {rect, 1000.0f, 1.0f, 4096, "too large"},
      {R"(<svg xmlns="http://www.w3.org/2000/svg"><rect x="300000000" width="100" height="10"/></svg>)", 20.0f, 1000.0f,
       4096, "too large"},
      {"<svg", 20.0f, 1000.0f, 4096, "SVG load"},
  };
  for (const auto& c : cases) {
    SvgBitmap bitmap;
    bitmap.width = 7;
    int32_t left = 3, top = 4;
    EXPECT_FALSE(renderSvgDocumentToBgra(c.document, "", c.pixelSize, c.unitsPerEm, c.maxSide, &left, &top, &bitmap));
    EXPECT_NE(std::string(svgLastError()).find(c.error), std::string::npos) << svgLastError();
    EXPECT_EQ(std::vector<int32_t>({bitmap.width, left, top}), std::vector<int32_t>({7, 3, 4}));
  }
}

// Where glyph1 of the document lands at 20 px per 1,000 units: left, top, width and height of its bitmap.
std::vector<int32_t> placedGlyph(const std::string& document) {
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  if (!renderSvgDocumentToBgra(document, "glyph1", 20.0f, 1000.0f, 4096, &left, &top, &bitmap)) {
    ADD_FAILURE() << svgLastError();
    return {};
  }
  return {left, top, bitmap.width, bitmap.height};
}

// The wider view maps a document as librsvg maps it onto the em square: by its view box and how that keeps
// its aspect ratio, after whatever prolog; a glyph is placed alike drawn plain and through a layer.
TEST(SvgDocumentRenderTest, WideningTheViewKeepsWhereTheGlyphLies) {
  const struct {
    const char* what;
    std::string root;
    std::string rect;
    std::vector<int32_t> placed;  // left, top, width, height at 20 px per 1,000 units
  } cases[] = {
      {"no view box",
       "<svg xmlns='http://www.w3.org/2000/svg'>",
       "x='100' y='-700' width='500' height='700'",
       {2, 14, 10, 14}},
      {"a wide view box, centred",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 100 50'>",
       "x='10' y='10' width='50' height='20'",
       {2, -7, 10, 4}},
      {"a wide view box at its top",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0,0,100,50' "
       "preserveAspectRatio='xMinYMin meet'>",
       "x='10' y='10' width='50' height='20'",
       {2, -2, 10, 4}},
      {"a tall view box sliced at its bottom",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 50 100' "
       "preserveAspectRatio='xMidYMax slice'>",
       "x='10' y='10' width='20' height='10'",
       {4, 16, 8, 4}},
      {"a view box stretched",
       "<svg xmlns='http://www.w3.org/2000/svg' preserveAspectRatio='none' "
       "viewBox='0 0 100 50'>",
       "x='10' y='10' width='50' height='20'",
       {2, -4, 10, 8}},
      {"a view box from y = -100",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 -100 100 100'>",
       "x='10' y='-80' width='50' height='60'",
       {2, -4, 10, 12}},
      {"a view box with the glyph above it",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 100 100'>",
       "x='10' y='-80' width='50' height='60'",
       {2, 16, 10, 12}},
      {"after a declaration, a comment and a document type",
       "<?xml version='1.0'?><!-- <svg viewBox='0 0 1 1'> --><!DOCTYPE svg [<!-- ] > --><!ATTLIST svg class CDATA '] "
       ">'>]>"
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 100 100'>",
       "x='10' y='-80' width='50' height='60'",
       {2, 16, 10, 12}},
  };
  for (const auto& c : cases) {
    for (const char* layer : {"", " opacity='0.5'"}) {
      const std::string document = c.root + "<g id='glyph1'" + layer + "><rect " + c.rect + " fill='#00f'/></g></svg>";
      EXPECT_EQ(placedGlyph(document), c.placed) << c.what << layer;
    }
  }
}

// Lengths in percent are of the em square (or of the view box mapped onto it) as they were, not of the wider
// view the document is drawn through; alike drawn plain and through a layer, whatever follows the root.
TEST(SvgDocumentRenderTest, PercentagesAreOfTheEmSquare) {
  const struct {
    const char* what;
    std::string root;
    std::string shape;
    std::vector<int32_t> placed;  // left, top, width, height at 20 px per 1,000 units
  } cases[] = {
      {"no view box",
       "<svg xmlns='http://www.w3.org/2000/svg'>",
       "<rect x='10%' y='-70%' width='50%' height='70%'/>",
       {2, 14, 10, 14}},
      {"a view box",
       "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 -100 100 100'>",
       "<rect x='10%' y='-70%' width='50%' height='70%'/>",
       {2, -6, 10, 14}},
      {"a radius", "<svg xmlns='http://www.w3.org/2000/svg'>", "<circle cx='500' cy='-500' r='20%'/>", {6, 14, 8, 8}},
      {"a prefixed root",
       "<s:svg xmlns:s='http://www.w3.org/2000/svg' viewBox='0 -100 100 100'>",
       "<s:rect x='10%' y='-70%' width='50%' height='70%'/>",
       {2, -6, 10, 14}},
  };
  for (const auto& c : cases) {
    const bool prefixed = c.root.compare(0, 3, "<s:") == 0;
    const std::string g = prefixed ? "s:g" : "g", end = prefixed ? "</s:svg>" : "</svg>";
    for (const char* layer : {"", " opacity='0.5'"}) {
      const std::string document =
          c.root + "<" + g + " id='glyph1' fill='#00f'" + layer + ">" + c.shape + "</" + g + ">" + end + "\n<!-- -->\n";
      EXPECT_EQ(placedGlyph(document), c.placed) << c.what << layer;
    }
  }
}

// A style sheet that gives every svg element a layer gives it to the document's root alone, as before.
TEST(SvgDocumentRenderTest, AStyleSheetsLayerForSvgElementsIsDrawnOnce) {
  const std::string document =
      "<svg xmlns='http://www.w3.org/2000/svg'><style>svg { opacity: 0.5 }</style><g id='glyph1'>"
      "<rect x='100' y='-700' width='500' height='700' fill='#f00'/></g></svg>";
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  ASSERT_TRUE(renderSvgDocumentToBgra(document, "glyph1", 20.0f, 1000.0f, 4096, &left, &top, &bitmap))
      << svgLastError();
  ASSERT_EQ(std::vector<int32_t>({left, top, bitmap.width, bitmap.height}), std::vector<int32_t>({2, 14, 10, 14}));
  EXPECT_NEAR(bitmap.pixels[static_cast<size_t>(7) * static_cast<size_t>(bitmap.stride) + 5 * 4 + 3], 128, 2);
}

// librsvg alone, as the oracle: element `id` of `document` drawn through the em square at `pixelSize` per
// `unitsPerEm` into an image of the em square, cropped to its ink, with straight alpha.
struct DrawnGlyph {
  std::vector<int32_t> placed;  // left, top, width, height
  std::vector<uint8_t> pixels;
};

DrawnGlyph drawnByLibrsvgAlone(const std::string& document, const std::string& id, double pixelSize,
                               double unitsPerEm) {
  DrawnGlyph drawn;
  GError* error = nullptr;
  RsvgHandle* handle =
      rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(document.data()), document.size(), &error);
  if (handle == nullptr) {
    ADD_FAILURE() << "librsvg alone: " << error->message;
    g_error_free(error);
    return drawn;
  }
  const int side = static_cast<int>(std::ceil(pixelSize));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
  cairo_t* context = cairo_create(surface);
  cairo_scale(context, pixelSize / unitsPerEm, pixelSize / unitsPerEm);
  const RsvgRectangle emSquare{0.0, 0.0, unitsPerEm, unitsPerEm};
  const bool rendered = rsvg_handle_render_layer(handle, context, ("#" + id).c_str(), &emSquare, &error);
  cairo_destroy(context);
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  int left = side, right = -1, top = side, bottom = -1;
  for (int y = 0; rendered && y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      if (data[y * stride + x * 4 + 3] == 0) continue;
      left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = y;
    }
  }
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x) {
      const unsigned char* pixel = data + y * stride + x * 4;
      const unsigned alpha = pixel[3];
      for (int channel = 0; channel < 3; ++channel) {
        drawn.pixels.push_back(
            alpha == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (pixel[channel] * 255u + alpha / 2) / alpha)));
      }
      drawn.pixels.push_back(static_cast<uint8_t>(alpha));
    }
  }
  if (right >= 0) drawn.placed = {left, -top, right - left + 1, bottom - top + 1};
  cairo_surface_destroy(surface);
  g_object_unref(handle);
  if (!rendered) ADD_FAILURE() << "librsvg alone could not draw " << id;
  return drawn;
}

DrawnGlyph drawnHere(const std::string& document, const std::string& id, float pixelSize, float unitsPerEm) {
  DrawnGlyph drawn;
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  if (!renderSvgDocumentToBgra(document, id, pixelSize, unitsPerEm, 4096, &left, &top, &bitmap)) {
    ADD_FAILURE() << svgLastError();
    return drawn;
  }
  drawn.placed = {left, top, bitmap.width, bitmap.height};
  drawn.pixels = bitmap.pixels;
  return drawn;
}

// A glyph drawn through a layer of its own (group opacity, a mask, a filter) in a document of any shape that
// librsvg reads: drawn inside the em square, its pixels are librsvg's own; drawn an em higher, above the
// baseline where glyphs sit, the same pixels an em higher, where drawn through the em square alone they
// would be clipped away. Style rules match as they do in the document as it stands.
TEST(SvgDocumentRenderTest, LayeredGlyphsAreDrawnAsLibrsvgDrawsThemInEveryDocumentShape) {
  const std::string svg = "<svg xmlns='http://www.w3.org/2000/svg'";
  const struct {
    const char* what;
    std::string root;   // the root start tag up to its '>'
    std::string first;  // what the root holds before the glyph
    std::string after;  // what follows the root's end tag
    double em;          // document units to an em
  } shapes[] = {
      {"no size", svg, "", "", 1000},
      {"a view box", svg + " viewBox='0 0 100 100'", "", "", 100},
      {"a size", svg + " width='1000' height='1000'", "", "", 1000},
      {"a size wider than tall", svg + " width='2000' height='1000'", "", "", 2000},
      {"a size in points", svg + " width='800pt' height='800pt'", "", "", 1000},
      {"a size in picas and em", svg + " width='62.5pc' height='100em' font-size='10'", "", "", 1000},
      {"a size in percent", svg + " width='50%' height='50%'", "", "", 500},
      {"a width alone", svg + " width='1000'", "", "", 1000},
      {"a height alone", svg + " height='1000'", "", "", 1000},
      {"a width in millimetres and a height in percent", svg + " width='300mm' height='100%'", "", "", 300 / 25.4 * 90},
      {"a size and a view box", svg + " width='10' height='10' viewBox='0 0 100 100'", "", "", 100},
      {"a NUL after it", svg, "", std::string(1, '\0'), 1000},
      {"a sized root and a NUL after it", svg + " width='1000' height='1000'", "", std::string("\n\0", 2), 1000},
      {"a comment after it", svg, "", "\n<!-- </svg> -->\n", 1000},
      {"end tags in character data and an empty svg inside it", svg,
       "<desc><![CDATA[</svg>]]></desc><svg width='0' height='0'/><g><!-- </g> --></g>", "", 1000},
  };
  const std::string mask = "<mask id='m'><rect x='-9e4' y='-9e4' width='18e4' height='18e4' fill='#808080'/></mask>";
  const std::string blur = "<filter id='b'><feGaussianBlur stdDeviation='E'/></filter>";
  const struct {
    const char* what;
    std::string defs;
    std::string attribute;
  } layers[] = {
      {"plain", "", ""},
      {"group opacity", "", " opacity='0.5'"},
      {"a mask", mask, " mask='url(#m)'"},
      {"a filter", blur, " filter='url(#b)'"},
  };
  // Rules that match the glyph as the document stands, and rules that would match it under one more svg
  // element.
  const std::string styles[] = {
      "",
      "<style>:root > g { stroke: #00f; stroke-width: S } svg svg g { fill: #0f0 } svg > * > rect { fill: #ff0 }"
      "</style>",
  };
  // Sizes at which the em square and an em higher start on whole pixels.
  const struct {
    float pixelSize;
    double higher;  // em units
  } sizes[] = {{50.0f, 1000}, {37.5f, 1600}};
  for (const auto& shape : shapes) {
    const auto units = [&](double emUnits) { return std::to_string(emUnits * shape.em / 1000.0); };
    for (const auto& layer : layers) {
      for (const std::string& style : styles) {
        std::string defs = layer.defs + style;
        for (const char* length : {"E", "S"}) {
          const size_t at = defs.find(length);
          if (at != std::string::npos) defs.replace(at, 1, units(20));
        }
        // A rectangle 300 x 400 em units, 300 units from the em square's left and top, or higher.
        const auto documentAt = [&](double top) {
          return shape.root + ">" + shape.first + defs + "<g id='glyph1' fill='#f00'" + layer.attribute + "><rect x='" +
                 units(300) + "' y='" + units(top) + "' width='" + units(300) + "' height='" + units(400) +
                 "'/></g></svg>" + shape.after;
        };
        for (const auto& size : sizes) {
          const std::string what = std::string(shape.what) + ", " + layer.what + (style.empty() ? "" : ", styled") +
                                   ", " + std::to_string(size.pixelSize) + " px";
          const DrawnGlyph expected = drawnByLibrsvgAlone(documentAt(300), "glyph1", size.pixelSize, 1000);
          ASSERT_EQ(expected.placed.size(), 4u) << what;
          const DrawnGlyph inside = drawnHere(documentAt(300), "glyph1", size.pixelSize, 1000);
          EXPECT_EQ(inside.placed, expected.placed) << what << ", inside the em square";
          EXPECT_TRUE(inside.pixels == expected.pixels) << what << ", inside the em square";
          std::vector<int32_t> higher = expected.placed;
          higher[1] += static_cast<int32_t>(size.higher * size.pixelSize / 1000);
          const DrawnGlyph above = drawnHere(documentAt(300 - size.higher), "glyph1", size.pixelSize, 1000);
          EXPECT_EQ(above.placed, higher) << what << ", above the baseline";
          EXPECT_TRUE(above.pixels == expected.pixels) << what << ", above the baseline";
        }
      }
    }
  }
}

// A glyph far from its origin, yet within reach, is placed where it lies.
TEST(SvgDocumentRenderTest, AGlyphFarFromItsOriginIsPlacedThere) {
  const std::string far = R"(<svg xmlns="http://www.w3.org/2000/svg"><rect x="100000000" y="-1000" width="1000" )"
                          R"(height="1000" fill="red"/></svg>)";
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  ASSERT_TRUE(renderSvgDocumentToBgra(far, "", 20.0f, 1000.0f, 4096, &left, &top, &bitmap)) << svgLastError();
  EXPECT_EQ(std::vector<int32_t>({left, top, bitmap.width, bitmap.height}),
            std::vector<int32_t>({2000000, 20, 20, 20}));
}

// One element of a document of several, in the place the whole document gives it, with what it uses from
// the document's defs; a document parsed once serves each element.
TEST(SvgDocumentRenderTest, ElementsAreDrawnFromTheWholeDocument) {
  const std::string document = R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink">
      <defs><rect id="box" width="500" height="700" fill="#00ff00"/></defs>
      <g id="glyph1"><use xlink:href="#box" x="100" y="-700"/></g>
      <g id="glyph2"><rect x="0" y="-100" width="1000" height="100" fill="red"/></g></svg>)";
  const struct {
    const char* element;
    std::vector<int32_t> placed;  // left, top, width, height
  } cases[] = {{"glyph1", {2, 14, 10, 14}}, {"glyph2", {0, 2, 20, 2}}, {"glyph1", {2, 14, 10, 14}}};
  for (const auto& c : cases) {
    SvgBitmap bitmap;
    int32_t left = 0, top = 0;
    ASSERT_TRUE(renderSvgDocumentToBgra(document, c.element, 20.0f, 1000.0f, 4096, &left, &top, &bitmap))
        << svgLastError();
    EXPECT_EQ(std::vector<int32_t>({left, top, bitmap.width, bitmap.height}), c.placed) << c.element;
  }
  SvgBitmap bitmap;
  int32_t left = 0, top = 0;
  EXPECT_FALSE(renderSvgDocumentToBgra(document, "glyph3", 20.0f, 1000.0f, 4096, &left, &top, &bitmap));
  EXPECT_NE(std::string(svgLastError()).find("no element glyph3"), std::string::npos) << svgLastError();
}

}  // namespace

