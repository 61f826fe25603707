#include "platform/svg_render.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

class SvgRenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = std::filesystem::path(::testing::TempDir()) / ("svg_render_" + std::to_string(getpid()) + ".svg");
  }
  void TearDown() override { std::filesystem::remove(path); }
  void write(const std::string& content) const { std::ofstream(path) << content; }

  std::filesystem::path path;
};

TEST_F(SvgRenderTest, HalfTransparentRedComesBackWithStraightAlpha) {
  write(R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10">
             <rect width="10" height="10" fill="red" fill-opacity="0.5"/></svg>)");
  SvgBitmap bitmap;
  ASSERT_TRUE(renderSvgFileToBgra(path.c_str(), 4, 4, &bitmap)) << svgLastError();
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

TEST_F(SvgRenderTest, DocumentIsFittedIntoTheRequestedSize) {
  // A wide document in a square bitmap: the rows above and below it stay transparent.
  write(R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10">
             <rect width="20" height="10" fill="#0000ff"/></svg>)");
  SvgBitmap bitmap;
  ASSERT_TRUE(renderSvgFileToBgra(path.c_str(), 8, 8, &bitmap)) << svgLastError();
  EXPECT_EQ(bitmap.pixels[3], 0) << "top row";
  const size_t middle = 4 * static_cast<size_t>(bitmap.stride);
  EXPECT_EQ(bitmap.pixels[middle], 255);
  EXPECT_EQ(bitmap.pixels[middle + 3], 255);
}

TEST_F(SvgRenderTest, FailuresLeaveTheBitmapAndSetTheThreadsError) {
  SvgBitmap bitmap;
  bitmap.width = 7;
  EXPECT_FALSE(renderSvgFileToBgra(path.c_str(), 4, 4, &bitmap));
  EXPECT_NE(std::string(svgLastError()).find("No such file"), std::string::npos) << svgLastError();
  EXPECT_EQ(bitmap.width, 7);

  write("this is not an SVG document");
  EXPECT_FALSE(renderSvgFileToBgra(path.c_str(), 4, 4, &bitmap));
  const std::string parseError = svgLastError();
  EXPECT_FALSE(parseError.empty());
  EXPECT_FALSE(renderSvgFileToBgra(path.c_str(), 0, 4, &bitmap));

  std::string otherThreadError = "unset";
  std::thread([&] { otherThreadError = svgLastError(); }).join();
  EXPECT_EQ(otherThreadError, "") << "each thread keeps its own text";
}

TEST_F(SvgRenderTest, OversizedBitmapIsRefusedByCairo) {
  write(R"(<svg xmlns="http://www.w3.org/2000/svg" width="1" height="1"/>)");
  SvgBitmap bitmap;
  EXPECT_FALSE(renderSvgFileToBgra(path.c_str(), 40000, 1, &bitmap));
  EXPECT_NE(std::string(svgLastError()).find("surface creation"), std::string::npos) << svgLastError();
}

}  // namespace
