// SVG files drawn into canvases, in the render process: a document reaches nothing outside itself (an image
// it names beside it or anywhere on disk is not opened); an image it holds as a "data:" URL is drawn, bounded
// by the process's own limits; and what a document costs is bounded by the time and memory it really takes,
// not by an estimate, so cheap drawings of many elements are drawn while runaways are refused.
#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/sdl_handles.h"
#include "image_decode_support.h"
#include "one_processor.h"
#include "render/image_decode.h"
#include "scratch_dir.h"

namespace {

std::string smallRedPng() {
  const SurfaceHandle surface(SDL_CreateSurface(4, 4, SDL_PIXELFORMAT_ARGB8888));
  SDL_FillSurfaceRect(surface.get(), nullptr, 0xFFFF0000);
  const IoStreamHandle stream(SDL_IOFromDynamicMem());
  EXPECT_TRUE(IMG_SavePNG_IO(surface.get(), stream.get(), false));
  const auto size = static_cast<size_t>(SDL_GetIOSize(stream.get()));
  auto* data = static_cast<const char*>(
      SDL_GetPointerProperty(SDL_GetIOProperties(stream.get()), SDL_PROP_IOSTREAM_DYNAMIC_MEMORY_POINTER, nullptr));
  return std::string(data, size);
}

std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string typed = type + data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
  return be32(data.size()) + typed + be32(crc);
}

// A red picture of `side` x `side` one-bit palette pixels, a few tens of kilobytes that decode to gigabytes.
std::string hugeRedPng(uint32_t side) {
  const std::string rows(static_cast<size_t>(side) * (1 + (side + 7) / 8), '\0');
  std::string deflated(compressBound(rows.size()), '\0');
  uLongf length = deflated.size();
  compress2(reinterpret_cast<Bytef*>(deflated.data()), &length, reinterpret_cast<const Bytef*>(rows.data()),
            rows.size(), Z_BEST_COMPRESSION);
  deflated.resize(length);
  return std::string("\x89PNG\r\n\x1a\n", 8) +
         pngChunk("IHDR", be32(side) + be32(side) + std::string("\x01\x03\0\0\0", 5)) +
         pngChunk("PLTE", std::string("\xff\0\0", 3)) + pngChunk("IDAT", deflated) + pngChunk("IEND", "");
}

std::string base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t at = 0; at < bytes.size(); at += 3) {
    uint32_t group = static_cast<uint8_t>(bytes[at]) << 16;
    if (at + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[at + 1]) << 8;
    if (at + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[at + 2]);
    for (size_t i = 0; i < 4; ++i) text += i <= bytes.size() - at ? kAlphabet[group >> (18 - 6 * i) & 63] : '=';
  }
  return text;
}

std::string svgShowing(const std::string& href) {
  return R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="8" height="8">)"
         R"(<image width="8" height="8" xlink:href=")" +
         href + R"("/></svg>)";
}

bool drawsNothing(const DecodedCanvas& canvas) {
  if (!canvas.bitmap) return false;
  for (const uint32_t pixel : canvas.bitmap->pixels) {
    if (pixel != 0) return false;
  }
  return true;
}

class SvgImage : public ScratchDirTest {};

TEST_F(SvgImage, ImagesNamedOnDiskAreNotOpened) {
  writeText("red.png", smallRedPng());
  for (const std::string& href : {std::string("red.png"), "file://" + path("red.png")}) {
    writeText("named.svg", svgShowing(href));
    const DecodedCanvas canvas = decodeSvgImageFile(path("named.svg").c_str(), 8, 8);
    ASSERT_TRUE(canvas.bitmap) << href << ": " << canvas.error;
    EXPECT_TRUE(drawsNothing(canvas)) << href;
  }
}

bool allPixels(const DecodedCanvas& canvas, uint32_t pixel) {
  if (!canvas.bitmap) return false;
  for (const uint32_t each : canvas.bitmap->pixels) {
    if (each != pixel) return false;
  }
  return true;
}

TEST_F(SvgImage, ImagesHeldAsDataAreDrawnWithinTheProcessLimits) {
  writeText("inline.svg", svgShowing("data:image/png;base64," + base64(smallRedPng())));
  EXPECT_TRUE(allPixels(decodeSvgImageFile(path("inline.svg").c_str(), 8, 8), 0xFFFF0000u));
  // 20,000 square decodes to 1.6 GB: past the render process's ceiling, so it is not drawn, and qz goes on.
  writeText("huge.svg", svgShowing("data:image/png;base64," + base64(hugeRedPng(20000))));
  const DecodedCanvas huge = decodeSvgImageFile(path("huge.svg").c_str(), 8, 8);
  EXPECT_TRUE(!huge.bitmap || drawsNothing(huge)) << huge.error;
  EXPECT_TRUE(allPixels(decodeSvgImageFile(path("inline.svg").c_str(), 8, 8), 0xFFFF0000u)) << "after the huge one";
}

std::string svgOfRects(int side, int rects) {
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(side) + "\" height=\"" +
                    std::to_string(side) + "\">";
  for (int i = 0; i < rects; ++i) svg += "<rect width=\"100%\" height=\"100%\" fill-opacity=\"0.1\"/>";
  return svg + "</svg>";
}

// One path of `lines` lines, each across the whole picture.
std::string svgOfLines(int lines) {
  std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 10"><path d="M0 0)";
  for (int i = 0; i < lines; ++i) svg += i % 2 != 0 ? " L0 0" : " L10 10";
  return svg + "\"/></svg>";
}

// A 1,000 x 1,000 grid holding `rects` small rectangles.
std::string svgOfGrid(int rects) {
  std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 1000 1000">)";
  for (int i = 0; i < rects; ++i) {
    svg += "<rect x=\"" + std::to_string(i % 33 * 30) + "\" y=\"" + std::to_string(i / 33 * 30) +
           "\" width=\"20\" height=\"20\" fill=\"#336699\"/>";
  }
  return svg + "</svg>";
}

const std::string kDataInText = R"(<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><!-- data: none -->)"
                                R"(<title>Metadata: none</title><desc>Raw data: 5 points</desc>)"
                                R"(<rect width="8" height="8" fill="red"/></svg>)";
const std::string kLatin1 =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"8\"><title>Caf\xe9</title>"
    "<rect width=\"8\" height=\"8\" fill=\"red\"/></svg>";

TEST_F(SvgImage, OnlyTheSizeLimitRefusesBeforeDrawing) {
  const struct {
    const char* what;
    std::string document;
    int32_t side;
    const char* error;  // null: drawn
  } cases[] = {
      {"16 full-size rectangles, 16,384 square", svgOfRects(16384, 16), 16384, "SVG image dimensions are too large"},
      {"one rectangle drawn 5,000 square", svgOfRects(10, 1), 5000, "SVG image dimensions are too large"},
      {"500 full-size rectangles, 1,024 square", svgOfRects(1024, 500), 1024, nullptr},
      {"one path of 40,000 lines, drawn 1,024 square", svgOfLines(40000), 1024, nullptr},
      {"1,100 small rectangles of a grid, 4,096 square", svgOfGrid(1100), 4096, nullptr},
      {"text that mentions data:", kDataInText, 8, nullptr},
      {"an ISO-8859-1 document", kLatin1, 8, nullptr},
  };
  // What refuses a drawing is the subject here, so the time limit is one these never reach: on a busy machine
  // (two processors beside sixteen busy loops) drawings that take half a second alone passed 5 s, and the
  // time limit has a test of its own.
  ImageLimits limits;
  limits.renderTimeLimit = std::chrono::minutes(1);
  for (const auto& c : cases) {
    writeText("drawing.svg", c.document);
    const DecodedCanvas canvas = decodeSvgImageFile(path("drawing.svg").c_str(), c.side, c.side, limits);
    EXPECT_EQ(canvas.error, c.error != nullptr ? c.error : "") << c.what;
  }
  for (const std::string& red : {kDataInText, kLatin1}) {
    writeText("red.svg", red);
    EXPECT_TRUE(allPixels(decodeSvgImageFile(path("red.svg").c_str(), 8, 8), 0xFFFF0000u));
  }
}

// A side longer than the drawing surface takes (32,767 pixels) is refused as too large before drawing, as a
// size over the pixel limit is, not left to fail in the renderer.
TEST_F(SvgImage, ASideLongerThanTheSurfaceTakesIsRefusedBeforeDrawing) {
  writeText("small.svg", svgOfRects(10, 1));
  const struct {
    int32_t width, height;
    const char* error;  // null: drawn
  } cases[] = {
      {32767, 1, nullptr},
      {1, 32767, nullptr},
      {32768, 1, "SVG image dimensions are too large"},
      {1, 32768, "SVG image dimensions are too large"},
      {65537, 1, "SVG image dimensions are too large"},
  };
  for (const auto& c : cases) {
    const DecodedCanvas canvas = decodeSvgImageFile(path("small.svg").c_str(), c.width, c.height);
    EXPECT_EQ(canvas.error, c.error != nullptr ? c.error : "") << c.width << " x " << c.height;
    if (c.error == nullptr && canvas.bitmap) {
      EXPECT_EQ(canvas.bitmap->width, c.width);
      EXPECT_EQ(canvas.bitmap->height, c.height);
    }
  }
}

// Overlapping translucent circles filling a 2,048 square: a tenth of a second of drawing or so at 60.
std::string svgOfCircles(int count) {
  std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="2048" height="2048">)";
  for (int i = 0; i < count; ++i) {
    svg += "<circle cx='" + std::to_string(i * 331 % 2048) + "' cy='" + std::to_string(i * 577 % 2048) + "' r='" +
           std::to_string(100 + i * 37 % 300) + "' fill='#" + std::to_string(100000 + i * 7919 % 900000) +
           "' fill-opacity='0.5'/>";
  }
  return svg + "</svg>";
}

// Runs `work` on one processor, beside `loops` busy loops on that processor alone.
void onOneBusyProcessor(int loops, const std::function<void()>& work) {
  const PinnedToOneProcessor pinned;  // the threads and processes started below inherit it
  std::atomic<bool> busy{true};
  std::vector<std::thread> spinning;
  for (int i = 0; i < loops; ++i) {
    spinning.emplace_back([&busy] {
      while (busy.load(std::memory_order_relaxed)) {
      }
    });
  }
  work();
  busy = false;
  for (std::thread& loop : spinning) loop.join();
}

// Drawings that need a tenth of the time limit of the processor are drawn when the processor they run on is
// shared with sixteen busy loops (so the limit passes on the wall clock several times over), by every load
// that draws in the render process, with the pixels each draws on an idle processor.
TEST_F(SvgImage, HonestDrawingsOnABusyProcessorHaveTheirTimeOfIt) {
  writeText("blur.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100"><filter id="b">)"
                        "<feGaussianBlur stdDeviation='8'/></filter>"
                        "<rect x='20' y='20' width='60' height='60' fill='green' filter='url(#b)'/></svg>");
  writeText("circles.svg", svgOfCircles(60));
  const std::string circles = svgOfCircles(60);
  ImageLimits limits;
  limits.renderTimeLimit = std::chrono::milliseconds(1000);
  const struct {
    const char* load;
    std::function<DecodedCanvas()> draw;
  } loads[] = {
      {"load_svg_image", [&] { return decodeSvgImageFile(path("blur.svg").c_str(), 1448, 1448, limits); }},
      {"load_image", [&] { return decodeImageFile(path("circles.svg").c_str(), limits); }},
      {"load_image_data",
       [&] {
         const IoStreamHandle stream(SDL_IOFromConstMem(circles.data(), circles.size()));
         return decodeImage(stream.get(), nullptr, ImageDecoder::Detect, limits);
       }},
  };
  // Busy first: the render processes started then share the busy processor, where idle ones would not.
  std::vector<DecodedCanvas> idle, busy(std::size(loads));
  onOneBusyProcessor(16, [&] {
    std::vector<std::thread> loading;
    for (size_t i = 0; i < std::size(loads); ++i) loading.emplace_back([&, i] { busy[i] = loads[i].draw(); });
    for (std::thread& thread : loading) thread.join();
  });
  for (const auto& load : loads) idle.push_back(load.draw());
  for (size_t i = 0; i < std::size(loads); ++i) {
    EXPECT_TRUE(idle[i].bitmap) << loads[i].load << ": " << idle[i].error;
    EXPECT_TRUE(busy[i].bitmap) << loads[i].load << ": " << busy[i].error;
    if (idle[i].bitmap && busy[i].bitmap) {
      EXPECT_EQ(busy[i].bitmap->pixels, idle[i].bitmap->pixels) << loads[i].load;
    }
  }
}

// A drawing that needs far more than the time limit of the processor is refused once it had that much, by
// each renderer: librsvg for load_svg_image, SDL_image's for load_image.
TEST_F(SvgImage, RunawayDrawingsAreRefusedAtTheTimeLimit) {
  ImageLimits limits;
  limits.renderTimeLimit = std::chrono::milliseconds(1000);
  writeText("noise.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="400" height="400"><filter id="f">)"
                         "<feTurbulence baseFrequency='0.05' numOctaves='100000'/></filter>"
                         "<rect width='400' height='400' filter='url(#f)'/></svg>");
  writeText("circles.svg", svgOfCircles(100000));
  const struct {
    const char* load;
    std::function<DecodedCanvas()> draw;
  } loads[] = {
      {"load_svg_image", [&] { return decodeSvgImageFile(path("noise.svg").c_str(), 400, 400, limits); }},
      {"load_image", [&] { return decodeImageFile(path("circles.svg").c_str(), limits); }},
  };
  for (const auto& load : loads) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(load.draw().error, "SVG document could not be drawn: the renderer took longer than 1 s") << load.load;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60)) << load.load;  // a hang guard
  }
}

TEST_F(SvgImage, MissingFilesAreNamedInTheFailure) {
  const DecodedCanvas canvas = decodeSvgImageFile(path("none.svg").c_str(), 8, 8);
  EXPECT_FALSE(canvas.bitmap);
  EXPECT_NE(canvas.error.find("none.svg"), std::string::npos) << canvas.error;
  EXPECT_NE(canvas.error.find("No such file"), std::string::npos) << canvas.error;
}

}  // namespace
