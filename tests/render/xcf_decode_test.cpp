// XCF files are walked as SDL_image's XCF decoder walks them before it runs: every layer, pixel hierarchy
// and level must declare a size within the image limits, a colour map at most 256 colours, a tile at most
// what a 64 x 64 tile can take, and the level that the decoder reads a whole header (it frees the level
// twice when the file ends inside it); layers within the limits, larger than the canvas too, decode.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image_decode_support.h"

namespace {

std::string property(uint32_t id, const std::string& payload) { return be32(id) + be32(payload.size()) + payload; }

const std::string kVisible = property(8, be32(1));
const std::string kPropertiesEnd = be32(0) + be32(0);

struct Layer {
  uint32_t width, height;
  std::string properties = kVisible;
  uint32_t hierarchyWidth = 0, hierarchyHeight = 0, levelWidth = 0, levelHeight = 0;  // 0: the layer's
  std::vector<std::string> tiles = {};     // each tile's stored bytes, at 4 bytes a pixel (RGBA)
  std::vector<uint32_t> tileOffsets = {};  // in place of the tiles' own offsets
  bool levelCutShort = false;              // the file ends inside the level's header
  int copies = 1;                          // how many times the layer list names the layer
};

uint32_t orOwn(uint32_t size, uint32_t own) { return size != 0 ? size : own; }

// An uncompressed RGB image file, its layers stored one after another behind the header, as GIMP writes
// them (a layer, its hierarchy, the first level and its tiles), then `visibleChannels` channels.
std::string xcf(uint32_t width, uint32_t height, const std::vector<Layer>& layers,
                const std::string& imageProperties = "", int visibleChannels = 0) {
  std::string header = std::string("gimp xcf file\0", 14) + be32(width) + be32(height) + be32(0) + imageProperties +
                       property(17, std::string(1, '\0')) + kPropertiesEnd;
  std::string body;
  std::string offsets;
  size_t offsetCount = visibleChannels + 2;
  for (const Layer& layer : layers) offsetCount += layer.copies;
  const size_t bodyStart = header.size() + 4 * offsetCount;
  for (const Layer& layer : layers) {
    const size_t layerAt = bodyStart + body.size();
    for (int copy = 0; copy < layer.copies; ++copy) offsets += be32(layerAt);
    std::string record = be32(layer.width) + be32(layer.height) + be32(1) + be32(2) + std::string("L\0", 2) +
                         layer.properties + kPropertiesEnd;
    const size_t hierarchyAt = layerAt + record.size() + 8;
    record += be32(hierarchyAt) + be32(0);
    const size_t levelAt = hierarchyAt + 12 + 8;
    record += be32(orOwn(layer.hierarchyWidth, layer.width)) + be32(orOwn(layer.hierarchyHeight, layer.height)) +
              be32(4) + be32(levelAt) + be32(0);
    if (layer.levelCutShort) {
      body += record + be32(layer.width);
      continue;
    }
    record += be32(orOwn(layer.levelWidth, layer.width)) + be32(orOwn(layer.levelHeight, layer.height));
    size_t tileAt = levelAt + 8 + 4 * (layer.tiles.size() + 1);
    for (size_t i = 0; i < layer.tiles.size(); ++i) {
      record += be32(i < layer.tileOffsets.size() ? layer.tileOffsets[i] : tileAt);
      tileAt += layer.tiles[i].size();
    }
    record += be32(0);
    for (const std::string& tile : layer.tiles) record += tile;
    // What follows the level in GIMP's files (its smaller levels): the decoder reads the last tile as 6
    // bytes a pixel, into it.
    body += record + std::string(layer.tiles.empty() ? 0 : 2 * 64 * 64, '\0');
  }
  offsets += be32(0);
  for (int i = 0; i < visibleChannels; ++i) {
    offsets += be32(bodyStart + body.size());
    body += be32(width) + be32(height) + be32(2) + std::string("C\0", 2) + kVisible + kPropertiesEnd + be32(0);
  }
  return header + offsets + be32(0) + body;
}

// A tile of `width` x `height` pixels of one opaque colour 0xRRGGBB, in the byte order the decoder reads.
std::string tile(int width, int height, uint32_t rgb) {
  std::string pixels;
  for (int i = 0; i < width * height; ++i) pixels += '\xff' + be16(rgb >> 8) + static_cast<char>(rgb);
  return pixels;
}

TEST(XcfDecode, LayersWithinTheLimitsDecode) {
  const std::string green = tile(64, 64, 0x00FF00);
  const struct {
    const char* what;
    std::string bytes;
    uint32_t colour;
  } cases[] = {
      {"a layer the canvas's size", xcf(64, 64, {{.width = 64, .height = 64, .tiles = {tile(64, 64, 0xFF0000)}}}),
       0xFF0000},
      {"a layer larger than the canvas",
       xcf(64, 64,
           {{.width = 100,
             .height = 70,
             .tiles = {green, tile(36, 64, 0x00FF00), tile(64, 6, 0x00FF00), tile(36, 6, 0x00FF00)}}}),
       0x00FF00},
  };
  for (const auto& c : cases) {
    const Loaded loaded = load(c.bytes);
    ASSERT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
    EXPECT_EQ(loaded.width, 64) << c.what;
    EXPECT_EQ(loaded.pixels, std::vector<uint32_t>(64 * 64, 0xFF000000 | c.colour)) << c.what;
  }
}

TEST(XcfDecode, LayerSizesBeyondTheLimitsAreRefused) {
  const Layer small{.width = 16, .height = 16};
  expectRefused(
      {
          {"a layer 70,000 wide", xcf(16, 16, {{.width = 70000, .height = 1}}), nullptr},
          {"a layer of 20,000 x 20,000 pixels", xcf(16, 16, {{.width = 20000, .height = 20000}}), nullptr},
          {"a layer of 2^32 - 1 x 2^32 - 1 pixels", xcf(16, 16, {{.width = 0xFFFFFFFF, .height = 0xFFFFFFFF}}),
           nullptr},
          {"a hierarchy 70,000 wide", xcf(16, 16, {{.width = 16, .height = 16, .hierarchyWidth = 70000}}), nullptr},
          {"a level 70,000 wide", xcf(16, 16, {{.width = 16, .height = 16, .levelWidth = 70000}}), nullptr},
          {"the last of three layers 70,000 wide", xcf(16, 16, {small, small, {.width = 70000, .height = 1}}), nullptr},
      },
      "image dimensions are too large");
}

TEST(XcfDecode, DataItsDecoderMishandlesAreRefused) {
  // A colour map of 0x55555556 entries: the decoder allocates 4 GiB for it and reads 2 bytes, its byte count
  // wrapping around (in the image's properties it then copies all 4 GiB).
  const std::string hugeColourMap = property(1, be32(0x55555556) + "\x01\x02");
  const std::string blackTile = tile(64, 16, 0);
  const Layer twoTiles{.width = 128, .height = 16, .tiles = {blackTile, blackTile}};
  const auto firstTile = static_cast<uint32_t>(xcf(16, 16, {twoTiles}).find(blackTile));
  Layer tileOf1500MB = twoTiles;
  tileOf1500MB.tileOffsets = {firstTile, firstTile + 1500000000};
  expectRefused(
      {
          {"an image colour map of 257 colours",
           xcf(16, 16, {{.width = 16, .height = 16}}, property(1, be32(257) + std::string(771, '\0'))), nullptr},
          {"a layer colour map of 0x55555556 colours",
           xcf(16, 16, {{.width = 16, .height = 16, .properties = kVisible + hugeColourMap}}), nullptr},
          {"a tile stored as 1.5 GB", xcf(16, 16, {tileOf1500MB}), nullptr},
          {"a level whose header the file cuts short",
           xcf(16, 16, {{.width = 16, .height = 16, .levelCutShort = true}}), nullptr},
      },
      "corrupt XCF image data");
}

TEST(XcfDecode, FilesThatCallForMoreWorkThanTheirSizeAreRefused) {
  expectRefused(
      {
          {"one layer named a thousand times", xcf(16, 16, {{.width = 16, .height = 16, .copies = 1000}}), nullptr},
          {"40 layers of 4,096 x 4,096 pixels without tiles",
           xcf(4096, 4096, std::vector<Layer>(40, {.width = 4096, .height = 4096})), nullptr},
          {"40 channels over 4,096 x 4,096 pixels", xcf(4096, 4096, {}, "", 40), nullptr},
      },
      "corrupt XCF image data");
}

}  // namespace
