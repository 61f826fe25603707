// The work a small file can make its decoder do is bounded before it runs, not only the size it declares:
// a JPEG decoder goes over the whole frame once for each scan, even an empty one. Files past that budget are
// refused; real pictures decode as before. SVG documents are held to their size limit here, their drawing
// to the render process's time and memory.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "image_decode_support.h"
#include "scratch_dir.h"

namespace {

// A progressive grey JPEG of `scans` DC scans without data, with the tables they need.
std::string progressiveJpeg(uint16_t width, uint16_t height, int scans) {
  std::string jpeg = std::string("\xff\xd8\xff\xdb", 4) + be16(67) + std::string(1, '\0') + std::string(64, '\x01');
  jpeg +=
      std::string("\xff\xc2", 2) + be16(11) + "\x08" + be16(height) + be16(width) + std::string("\x01\x01\x11\0", 4);
  jpeg += std::string("\xff\xc4", 2) + be16(20) + std::string(1, '\0') + "\x01" + std::string(15, '\0') +
          std::string(1, '\0');
  for (int scan = 0; scan < scans; ++scan) {
    jpeg += std::string("\xff\xda", 2) + be16(8) + std::string("\x01\x01\0\0\0\0", 6);
  }
  return jpeg + std::string("\xff\xd9", 2);
}

std::string svgOfRects(int side, int rects) {
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(side) + "\" height=\"" +
                    std::to_string(side) + "\">";
  for (int i = 0; i < rects; ++i) svg += "<rect width=\"100%\" height=\"100%\" fill-opacity=\"0.1\"/>";
  return svg + "</svg>";
}

// One path of `curves` cubic curves, each across the whole picture.
std::string svgOfCurves(int side, int curves) {
  const std::string far = std::to_string(side);
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + far + "\" height=\"" + far + "\">";
  svg += "<path d=\"M0 0";
  for (int i = 0; i < curves; ++i) svg += " C" + far + " 0 0 " + far + (i % 2 != 0 ? " 0 0" : " " + far + " " + far);
  return svg + "\"/></svg>";
}

TEST(ImageWork, JpegsWhoseScansPassTheBudgetAreRefused) {
  expectRefused({{"16,384 square grey JPEG of 400 empty scans", progressiveJpeg(16384, 16384, 400), nullptr},
                 {"1,024 square grey JPEG of 5,000 empty scans", progressiveJpeg(1024, 1024, 5000), nullptr}},
                "image needs too much work to decode");
}

TEST(ImageWork, SvgsPastTheSizeLimitAreRefused) {
  expectRefused({{"16 full-size rectangles, 16,384 square", svgOfRects(16384, 16), nullptr},
                 {"one rectangle, 8,192 square", svgOfRects(8192, 1), nullptr}},
                "image dimensions are too large");
}

TEST(ImageWork, PicturesWithinTheBudgetsDecode) {
  const struct {
    const char* what;
    std::string bytes;
    int32_t side;
  } cases[] = {
      {"JPEG of 10 scans, 64 square", progressiveJpeg(64, 64, 10), 64},
      {"SVG of 100 rectangles, 1,000 square", svgOfRects(1000, 100), 1000},
      {"SVG of a path of 200 curves, 1,000 square", svgOfCurves(1000, 200), 1000},
      {"SVG of 2,000 full-size rectangles, 1,024 square", svgOfRects(1024, 2000), 1024},
  };
  for (const auto& c : cases) {
    const Loaded loaded = load(c.bytes);
    EXPECT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
    EXPECT_EQ(loaded.width, c.side) << c.what;
  }
}

class ImageWorkFromNetpbm : public ScratchDirTest {};

TEST_F(ImageWorkFromNetpbm, ProgressiveJpegsDecodeToTheirSize) {
  std::string ppm = "P6\n300 200\n255\n";
  for (int i = 0; i < 300 * 200; ++i) ppm += {static_cast<char>(i), static_cast<char>(i / 300), '\x40'};
  writeText("picture.ppm", ppm);
  FILE* pipe = popen(("pnmtojpeg -progressive < '" + path("picture.ppm") + "' 2>/dev/null").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string jpeg;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) jpeg.append(buffer, got);
  ASSERT_EQ(pclose(pipe), 0);
  const Loaded loaded = load(jpeg);
  ASSERT_TRUE(loaded.decoded) << loaded.error;
  EXPECT_EQ(loaded.width, 300);
  EXPECT_EQ(loaded.height, 200);
}

}  // namespace
