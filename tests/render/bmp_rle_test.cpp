// Run-length coded bitmaps, written here byte by byte: RLE4 runs, absolute runs and moves of an odd number
// of pixels draw every pixel where the file puts it, a run past its row's end stays in its row, and data
// that RLE cannot describe is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_decode_support.h"

namespace {

constexpr int kWidth = 7, kHeight = 4;

// Sixteen colours, each index's own.
uint32_t paletteColour(int index) { return 0xFF000000u | uint32_t(index * 16) << 16 | uint32_t(255 - index * 9) << 8; }

// A 7 x 4 bitmap with the 16-colour palette, `bitsPerPixel` and `compression` (1 RLE8, 2 RLE4) as its header
// says, and the coded `data`.
std::string rleBitmap(uint16_t bitsPerPixel, uint32_t compression, const std::string& data) {
  std::string palette;
  for (int index = 0; index < 16; ++index) {
    const uint32_t colour = paletteColour(index);
    palette += {char(colour), char(colour >> 8), char(colour >> 16), '\0'};
  }
  const uint32_t offset = 14 + 40 + static_cast<uint32_t>(palette.size());
  return "BM" + le32(offset + static_cast<uint32_t>(data.size())) + le32(0) + le32(offset) + le32(40) + le32(kWidth) +
         le32(kHeight) + le16(1) + le16(bitsPerPixel) + le32(compression) + le32(static_cast<uint32_t>(data.size())) +
         le32(2835) + le32(2835) + le32(16) + le32(0) + palette + data;
}

std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (int value : values) text += static_cast<char>(value);
  return text;
}

// The rows from the top, as colour indexes.
using Indexes = std::vector<std::vector<int>>;

void expectPixels(const std::string& bitmap, const Indexes& rows, const char* what) {
  const Loaded loaded = load(bitmap);
  ASSERT_TRUE(loaded.decoded) << what << ": " << loaded.error;
  ASSERT_EQ(loaded.width, kWidth) << what;
  ASSERT_EQ(loaded.height, kHeight) << what;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      EXPECT_EQ(loaded.pixels[static_cast<size_t>(y * kWidth + x)], paletteColour(rows[y][x]))
          << what << ": pixel " << x << ", " << y;
    }
  }
}

TEST(BmpRle, Rle4RunsOfOddLengthDrawEachPixelInItsPlace) {
  // Bottom row first.
  const std::string data = bytes({
      0x02, 0x12,                    // a run of 2: 1, 2
      0x00, 0x02, 0x01, 0x01,        // move 1 right and 1 row up
      0x04, 0x78,                    // a run of 4: 7, 8, 7, 8
      0x00, 0x00,                    // end of the row
      0x01, 0x0e,                    // a run of 1: 0
      0x00, 0x05, 0x9a, 0xbc, 0xd0,  // 5 absolute pixels: 9, a, b, c, d (three bytes and a pad)
      0x00,                          //
      0x01, 0xf0,                    // a run of 1: f
      0x00, 0x00,                    //
      0x03, 0x12,                    // a run of 3: 1, 2, 1
      0x00, 0x03, 0x34, 0x50,        // 3 absolute pixels: 3, 4, 5 (two bytes, no pad)
      0x01, 0x60,                    // a run of 1: 6
      0x00, 0x01,                    // end of the bitmap
  });
  expectPixels(rleBitmap(4, 2, data),
               {{1, 2, 1, 3, 4, 5, 6}, {0, 9, 10, 11, 12, 13, 15}, {0, 0, 0, 7, 8, 7, 8}, {1, 2, 0, 0, 0, 0, 0}},
               "RLE4");
}

TEST(BmpRle, Rle8RunsDrawAsBefore) {
  const std::string data = bytes({
      0x07, 0x05,                                // a run of 7
      0x00, 0x00,                                //
      0x00, 0x03, 0x01, 0x02, 0x03, 0x00,        // 3 absolute pixels and a pad
      0x04, 0x0f,                                //
      0x00, 0x00,                                //
      0x00, 0x02, 0x01, 0x01,                    // move one right and up: the third row from the bottom is 0
      0x00, 0x06, 0x06, 0x07, 0x08, 0x09, 0x0a,  // 6 absolute pixels
      0x0b, 0x00, 0x01,                          //
  });
  expectPixels(rleBitmap(8, 1, data),
               {{0, 6, 7, 8, 9, 10, 11}, {0, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 15, 15, 15, 15}, {5, 5, 5, 5, 5, 5, 5}},
               "RLE8");
}

TEST(BmpRle, RunsPastTheirRowStayInIt) {
  // Each row's run is longer than the row: what is past the right edge is dropped, not drawn into the next
  // row in memory.
  const std::string rows = bytes({0x14, 0x23, 0x00, 0x00, 0x00, 0x09, 0x45, 0x67, 0x89, 0xab, 0xc0,
                                  0x00, 0x00, 0x00, 0x0f, 0xdd, 0x00, 0x00, 0x07, 0xee, 0x00, 0x01});
  expectPixels(
      rleBitmap(4, 2, rows),
      {{14, 14, 14, 14, 14, 14, 14}, {13, 13, 13, 13, 13, 13, 13}, {4, 5, 6, 7, 8, 9, 10}, {2, 3, 2, 3, 2, 3, 2}},
      "RLE4 runs of 20, 9 and 15 in rows of 7");
}

TEST(BmpRle, DataRleCannotDescribeIsRefused) {
  const Loaded cut = load(rleBitmap(4, 2, bytes({0x07, 0x11, 0x00, 0x00, 0x07})));
  EXPECT_FALSE(cut.decoded) << "RLE4 data cut short";
  const Loaded deep = load(rleBitmap(24, 2, bytes({0x07, 0x11, 0x00, 0x01})));
  EXPECT_FALSE(deep.decoded) << "RLE4 data for 24 bits a pixel";
  EXPECT_EQ(deep.error, "RLE compressed BMP images must have 4 or 8 bits per pixel");
}

}  // namespace
