// SVG documents sized in real units (mm, cm, in, pt, pc), relative ones (%, em, ex) and fractional pixels load
// through canvas.load_image and load_image_data as SDL_image alone loads them: the same size and the same
// pixels, whatever the rounding of the declared size.
#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/sdl_handles.h"
#include "image_decode_support.h"
#include "render/image_decode.h"
#include "scratch_dir.h"

namespace {

// What SDL_image alone makes of the document, as canvas pixels.
Loaded loadedAlone(const std::string& document) {
  const IoStreamHandle stream(SDL_IOFromConstMem(document.data(), document.size()));
  const SurfaceHandle decoded(IMG_Load_IO(stream.get(), false));
  if (!decoded) return {false, 0, 0, SDL_GetError(), {}};
  const SurfaceHandle converted(SDL_ConvertSurface(decoded.get(), SDL_PIXELFORMAT_ARGB8888));
  std::vector<uint32_t> pixels(static_cast<size_t>(converted->w) * static_cast<size_t>(converted->h));
  for (int y = 0; y < converted->h; ++y) {
    std::memcpy(pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(converted->w),
                static_cast<const uint8_t*>(converted->pixels) + static_cast<size_t>(y) * converted->pitch,
                static_cast<size_t>(converted->w) * 4);
  }
  return {true, converted->w, converted->h, "", pixels};
}

// A disc on a square, so that the edges' rounding shows in the pixels.
std::string documentSized(const std::string& rootAttributes) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" " + rootAttributes +
         "><rect x=\"1\" y=\"1\" width=\"8\" height=\"8\" fill=\"#3060c0\"/>"
         "<circle cx=\"5\" cy=\"5\" r=\"3.3\" fill=\"#e0a020\" fill-opacity=\"0.6\"/></svg>";
}

void expectAsAlone(const Loaded& loaded, const Loaded& alone, const std::string& what) {
  ASSERT_TRUE(alone.decoded) << what << ": " << alone.error;
  ASSERT_TRUE(loaded.decoded) << what << ": " << loaded.error;
  ASSERT_EQ(loaded.width, alone.width) << what;
  ASSERT_EQ(loaded.height, alone.height) << what;
  size_t differing = 0;
  for (size_t i = 0; i < alone.pixels.size(); ++i) differing += loaded.pixels[i] != alone.pixels[i] ? 1 : 0;
  EXPECT_EQ(differing, 0u) << what;
}

class SvgUnits : public ScratchDirTest {};

TEST_F(SvgUnits, DocumentsInEveryUnitLoadAsTheLibraryAloneLoadsThem) {
  std::vector<std::string> roots;
  for (int mm = 1; mm <= 60; ++mm) roots.push_back("width=\"" + std::to_string(mm) + "mm\" height=\"50mm\"");
  for (const char* size : {"width=\"50mm\" height=\"50mm\" viewBox=\"0 0 10 10\"",
                           "width=\"100mm\" height=\"100mm\" viewBox=\"0 0 10 10\"",
                           "width=\"90mm\" height=\"50mm\" viewBox=\"0 0 10 10\"",
                           "width=\"10cm\" height=\"10cm\"",
                           "width=\"2.7cm\" height=\"1.3cm\"",
                           "width=\"1in\" height=\"0.73in\"",
                           "width=\"2.5in\" height=\"1.1in\" viewBox=\"0 0 10 10\"",
                           "width=\"41pt\" height=\"17pt\"",
                           "width=\"400pt\" height=\"313pt\" viewBox=\"0 0 10 10\"",
                           "width=\"7pc\" height=\"3.3pc\"",
                           "width=\"5.5714\" height=\"5.5714\" viewBox=\"0 0 10 10\"",
                           "width=\"37.8px\" height=\"12.01px\" viewBox=\"0 0 10 10\"",
                           "width=\"50%\" height=\"100%\" viewBox=\"0 0 31 17\"",
                           "viewBox=\"0 0 23.4 11.5\"",
                           "font-size=\"7\" width=\"10em\" height=\"4.5ex\" viewBox=\"0 0 10 10\"",
                           "width=\"10em\" height=\"3em\" viewBox=\"0 0 30 9\"",
                           "style=\"font-size: 6.5px\" width=\"3em\" height=\"2em\"",
                           "width=\" 50mm\" height=\"20mm\" viewBox=\"0 0 10 10\"",
                           "viewBox=\"0,0,10,10\" width=\"50mm\" height=\"20mm\"",
                           "width=\"25.4mm\" height=\"2.54cm\""}) {
    roots.push_back(size);
  }
  for (const std::string& root : roots) {
    const std::string document = documentSized(root);
    const Loaded alone = loadedAlone(document);
    expectAsAlone(load(document), alone, "load_image_data: " + root);
  }
  // load_image reads the file, as SDL_image's IMG_Load does.
  const std::string document = documentSized("width=\"50mm\" height=\"50mm\" viewBox=\"0 0 10 10\"");
  writeText("mm.svg", document);
  const DecodedCanvas canvas = decodeImageFile(path("mm.svg").c_str());
  ASSERT_TRUE(canvas.bitmap) << canvas.error;
  expectAsAlone({true, canvas.bitmap->width, canvas.bitmap->height, "", canvas.bitmap->pixels}, loadedAlone(document),
                "load_image");
}

// A document whose size cannot be read from its svg elements is sized by SDL_image's own reading of it: its
// shapes, hidden ones and those of a clip path among them, or a side from a view box it stops reading at. qz
// draws it at that size, not at a size another library measures.
TEST_F(SvgUnits, DocumentsWithoutAReadableSizeLoadAtTheSizeTheLibraryGivesThem) {
  const std::string shapes = R"(<rect x="1" y="1" width="8" height="8" fill="#3060c0"/>)";
  const struct {
    const char* what;
    std::string document;
  } cases[] = {
      {"shapes alone", "<svg xmlns=\"http://www.w3.org/2000/svg\">" + shapes + "</svg>"},
      {"a hidden shape past the drawn ones",
       "<svg xmlns=\"http://www.w3.org/2000/svg\">" + shapes +
           R"(<rect x="20" y="30" width="40" height="50" display="none"/></svg>)"},
      {"a clip path larger than what it clips",
       R"(<svg xmlns="http://www.w3.org/2000/svg"><clipPath id="c"><circle cx="30" cy="30" r="30"/></clipPath>)" +
           shapes + "</svg>"},
      {"a width and a view box of three numbers",
       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"7\" viewBox=\"0 0 30 \" height=\"9\">" + shapes + "</svg>"},
      {"a view box past sizes with space before them",
       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\" 20\" height=\" 30\" viewBox=\" 0,0,40,50\">" + shapes +
           "</svg>"},
  };
  for (const auto& c : cases) expectAsAlone(load(c.document), loadedAlone(c.document), c.what);
}

}  // namespace
