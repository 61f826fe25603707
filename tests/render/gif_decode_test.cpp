// GIF image data are checked as SDL_image's LZW decoder will read them before it runs: codes that it would
// follow into endless table chains, or read from bytes left over from an earlier sub-block, are refused as
// "corrupt GIF image data", while the streams that encoders write (netpbm's, and the LZW variants every
// decoder must take) decode to their pixels.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "image_decode_support.h"
#include "scratch_dir.h"

namespace {

// Codes packed least significant bit first, as GIF stores them.
class CodeWriter {
 public:
  void put(int code, int width) {
    for (int i = 0; i < width; ++i, ++bits_) {
      if (bits_ % 8 == 0) bytes_.push_back('\0');
      bytes_.back() = static_cast<char>(bytes_.back() | ((code >> i) & 1) << (bits_ % 8));
    }
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  size_t bits_ = 0;
};

// {code, width} pairs as packed bytes.
std::string packed(const std::vector<std::pair<int, int>>& codes) {
  CodeWriter writer;
  for (const auto& [code, width] : codes) writer.put(code, width);
  return writer.bytes();
}

struct LzwOptions {
  bool clearWhenFull = true;      // or keep the full table, as the format allows
  size_t pixelsCoded = SIZE_MAX;  // fewer than the image has: the data end early
  bool endCode = true;            // or the data stop without one
};

// GIF's LZW: a clear code first, codes one bit wider whenever the table the decoder builds reaches the
// next power of two, at most 12 bits.
std::string lzw(const std::vector<uint8_t>& pixels, int codeSize, const LzwOptions& options = {}) {
  const int clear = 1 << codeSize;
  std::map<std::pair<int, uint8_t>, int> table;
  int width = codeSize + 1, nextFree = clear + 2, prefix = -1;
  CodeWriter writer;
  writer.put(clear, width);
  for (size_t i = 0; i < std::min(pixels.size(), options.pixelsCoded); ++i) {
    const auto entry = table.find({prefix, pixels[i]});
    if (prefix < 0 || entry != table.end()) {
      prefix = prefix < 0 ? pixels[i] : entry->second;
      continue;
    }
    writer.put(prefix, width);
    if (nextFree < 4096) {
      table[{prefix, pixels[i]}] = nextFree++;
      if (nextFree > 1 << width && width < 12) ++width;
    } else if (options.clearWhenFull) {
      writer.put(clear, width);
      table.clear();
      width = codeSize + 1;
      nextFree = clear + 2;
    }
    prefix = pixels[i];
  }
  if (prefix >= 0) writer.put(prefix, width);
  if (options.endCode) writer.put(clear + 1, width);
  return writer.bytes();
}

uint32_t colour(int index) {
  return 0xFF000000u | static_cast<uint32_t>(index) << 16 | static_cast<uint32_t>(255 - index) << 8 |
         static_cast<uint32_t>((index * 7) & 255);
}

// One image of LZW code size `codeSize` whose global colour table has as many colours (colour(i), at most
// 256), with the LZW data `codes` cut into sub-blocks of `blockSize` bytes.
std::string gifImage(uint16_t width, uint16_t height, int codeSize, const std::string& codes, size_t blockSize = 255) {
  const int colourBits = std::min(codeSize, 8);
  std::string file = "GIF89a" + le16(width) + le16(height) + static_cast<char>(0x80 | (colourBits - 1));
  file.resize(13);
  for (int i = 0; i < 1 << colourBits; ++i) {
    const uint32_t rgb = colour(i);
    file += {static_cast<char>(rgb >> 16), static_cast<char>(rgb >> 8), static_cast<char>(rgb)};
  }
  file += "," + le16(0) + le16(0) + le16(width) + le16(height) + '\0' + static_cast<char>(codeSize);
  for (size_t at = 0; at < codes.size(); at += blockSize) {
    const std::string block = codes.substr(at, blockSize);
    file += static_cast<char>(block.size()) + block;
  }
  return file + '\0' + ';';
}

// Pixels of `colours` colours from a fixed pseudo-random sequence.
std::vector<uint8_t> noise(size_t count, int colours) {
  std::vector<uint8_t> pixels(count);
  uint32_t state = 12345;
  for (uint8_t& pixel : pixels) {
    state = state * 1103515245u + 12345u;
    pixel = static_cast<uint8_t>((state >> 16) % colours);
  }
  return pixels;
}

std::vector<uint32_t> coloured(const std::vector<uint8_t>& indices) {
  std::vector<uint32_t> pixels;
  for (const uint8_t index : indices) pixels.push_back(colour(index));
  return pixels;
}

struct Decodes {
  const char* what;
  std::string bytes;
  std::vector<uint32_t> pixels;  // the leading pixels the image must start with
};

void expectDecoded(const std::vector<Decodes>& cases) {
  for (const Decodes& c : cases) {
    const Loaded loaded = load(c.bytes);
    ASSERT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
    ASSERT_GE(loaded.pixels.size(), c.pixels.size()) << c.what;
    EXPECT_TRUE(std::equal(c.pixels.begin(), c.pixels.end(), loaded.pixels.begin())) << c.what;
  }
}

TEST(GifDecode, LzwVariantsEveryDecoderMustTakeDecodeToTheirPixels) {
  const std::vector<uint8_t> full = noise(100 * 100, 256), fourColours = noise(120 * 120, 4), tiny = noise(16, 4);
  const std::vector<uint8_t> run(300, 3), half = noise(50, 4);
  std::vector<uint8_t> halfThenBlank = half;
  halfThenBlank.resize(100, 0);
  expectDecoded({
      {"a full table kept without a clear", gifImage(100, 100, 8, lzw(full, 8, {false})), coloured(full)},
      {"a table cleared whenever it is full", gifImage(120, 120, 2, lzw(fourColours, 2)), coloured(fourColours)},
      {"a run coded by the entries it defines", gifImage(300, 1, 2, lzw(run, 2)), coloured(run)},
      {"short codes in one-byte sub-blocks", gifImage(16, 1, 2, lzw(tiny, 2), 1), coloured(tiny)},
      {"an end code before the last pixel", gifImage(10, 10, 2, lzw(half, 2)), coloured(halfThenBlank)},
      {"data that stop without an end code", gifImage(10, 10, 2, lzw(half, 2, {true, SIZE_MAX, false})),
       coloured(half)},
      {"bytes after the last pixel's code", gifImage(4, 4, 2, lzw(tiny, 2, {true, SIZE_MAX, false}) + "\xff\xff\xff"),
       coloured(tiny)},
      {"clear codes before the first code", gifImage(4, 4, 2, packed({{4, 3}, {4, 3}, {1, 3}, {5, 3}})), coloured({1})},
  });
}

class GifFromNetpbm : public ScratchDirTest {
 protected:
  // The picture as a PPM file converted by `command` (reading the file on its standard input).
  std::string converted(const std::vector<uint32_t>& picture, int width, int height, const std::string& command) {
    std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (const uint32_t pixel : picture) {
      ppm += {static_cast<char>(pixel >> 16), static_cast<char>(pixel >> 8), static_cast<char>(pixel)};
    }
    writeText("picture.ppm", ppm);
    FILE* pipe = popen((command + " < '" + path("picture.ppm") + "' 2>/dev/null").c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t got; pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << command;
    return output;
  }
};

TEST_F(GifFromNetpbm, ImagesNetpbmWritesDecodeToTheirPixels) {
  const struct {
    const char* what;
    std::vector<uint32_t> picture;
    int width, height;
  } pictures[] = {
      {"256-colour noise", coloured(noise(64 * 48, 256)), 64, 48},
      {"4-colour noise", coloured(noise(200 * 150, 4)), 200, 150},
      {"2-colour stripes", coloured(std::vector<uint8_t>(33 * 7, 0)), 33, 7},
  };
  for (const char* command : {"pamtogif", "pamtogif -nolzw", "pamtogif -interlace", "ppmtogif"}) {
    std::vector<Decodes> cases;
    for (const auto& picture : pictures) {
      cases.push_back(
          {picture.what, converted(picture.picture, picture.width, picture.height, command), picture.picture});
    }
    SCOPED_TRACE(command);
    expectDecoded(cases);
  }
}

TEST(GifDecode, CodesItsDecoderWouldMisreadAreRefused) {
  // Found by fuzzing: SDL_image's decoder overruns its code stack on it.
  std::string chainsWithoutEnd;
  const std::string hex =
      "47494638376100000480005a0000002c006465667300030000040b1028" + std::string(78 * 2, 'x') + "d727000000d7d7";
  for (size_t at = 0; at < hex.size(); at += 2) {
    chainsWithoutEnd += hex[at] == 'x' ? '\x7d' : static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
  }
  expectRefused(
      {
          {"codes whose table chains never end", chainsWithoutEnd, nullptr},
          {"a code beyond the next free entry", gifImage(4, 4, 2, packed({{4, 3}, {1, 3}, {7, 3}, {5, 3}})), nullptr},
          {"a first code that is no colour", gifImage(4, 4, 2, packed({{4, 3}, {6, 3}, {1, 3}, {5, 3}})), nullptr},
          {"an end code first", gifImage(4, 4, 2, packed({{4, 3}, {5, 3}, {1, 3}, {1, 3}, {5, 3}})), nullptr},
          {"a code after a clear that is no colour",
           gifImage(4, 4, 2, packed({{4, 3}, {1, 3}, {2, 3}, {4, 3}, {6, 3}, {5, 3}})), nullptr},
          {"a clear code right after a clear", gifImage(4, 4, 2, packed({{4, 3}, {1, 3}, {4, 3}, {4, 3}, {5, 3}})),
           nullptr},
          {"9-bit codes in one-byte sub-blocks", gifImage(8, 8, 8, lzw(noise(64, 256), 8), 1), nullptr},
          {"an LZW code size of 12", gifImage(4, 4, 12, packed({{4096, 13}, {1, 13}, {4097, 13}})), nullptr},
      },
      "corrupt GIF image data");
}

}  // namespace
