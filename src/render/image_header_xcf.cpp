// The XCF reader of the header check. SDL_image's XCF decoder allocates the canvas by the header's size
// and, trusting the file, a colour map by its entry count and a tile by the distance to the next tile's
// offset; it frees a level twice when the file ends inside the level's header. The file is walked as the
// decoder walks it (the image's properties, each layer with the pixel hierarchy and first level it draws,
// each channel's properties), so that those counts, that header and the size of every layer, hierarchy
// and level are checked before it runs.
#include <algorithm>
#include <vector>

#include "render/image_header_reader.h"

namespace {

enum XcfProperty : uint32_t {
  kPropertyEnd = 0,
  kColourMap = 1,
  kOpacity = 6,
  kVisible = 8,
  kOffsets = 15,
  kColour = 16,
  kCompression = 17,
};

constexpr uint32_t kMostColours = 256;  // an indexed image's
constexpr uint32_t kTileSide = 64;
// Twice a tile at 4 bytes a pixel: more than its run-length coding ever takes.
constexpr uint64_t kMostTileBytes = 2 * kTileSide * kTileSide * 4;
constexpr uint32_t kDecoderLargestHierarchy = 20000;  // the decoder skips larger ones
constexpr uint32_t kDecoderMostBytesPerPixel = 4;
constexpr size_t kDecoderPropertyBytes = 24;  // what it reads of a colour or compression property at most
constexpr const char* kCorrupt = "corrupt XCF image data";

class XcfWalk {
 public:
  XcfWalk(HeaderReader& reader, uint32_t version) : reader_(reader), wideOffsets_(version >= 11) {}

  const char* corruption() const { return corruption_; }
  int64_t largestSide() const { return largestSide_; }
  int64_t largestPixels() const { return largestPixels_; }

  // Offsets up to the first 0, each as the decoder reads one (64 bits from version 11; what could be read
  // of it, 0 at the end of the data).
  std::vector<uint64_t> offsets() {
    std::vector<uint64_t> list;
    for (uint64_t next = 0; (next = offset()) != 0;) list.push_back(next);
    return list;
  }

  // A property list up to its end; false where the decoder's reading fails or a colour map is refused.
  // `visible` is set by a visibility property.
  bool properties(bool& visible) {
    for (;;) {
      const auto id = reader_.be(4), length = reader_.be(4);
      if (!id || !length || !property(*id, *length, visible)) return false;
      if (*id == kPropertyEnd) return true;
    }
  }

  // A layer record, and the hierarchy of a visible one, which the decoder draws.
  void layer(uint64_t at) {
    reader_.seekInStream(static_cast<int64_t>(at));  // where that fails, the decoder reads on from here
    const auto width = reader_.be(4), height = reader_.be(4), type = reader_.be(4);
    if (!width || !height || !type) return;
    skipName();
    bool visible = false;
    if (!properties(visible)) return;
    const uint64_t hierarchyAt = offset();
    offset();  // the layer mask's, which the decoder leaves
    part(*width, *height);
    if (visible) hierarchy(hierarchyAt);
  }

  // A channel record: the decoder reads its properties only.
  void channel(uint64_t at) {
    bool visible = false;
    if (reader_.seekInStream(static_cast<int64_t>(at)) && reader_.be(4) && reader_.be(4)) {
      skipName();
      properties(visible);
    }
  }

 private:
  uint64_t offset() {
    uint64_t value = 0;
    if (const auto high = wideOffsets_ ? reader_.be(4) : std::nullopt) value = uint64_t{*high} << 32;
    if (const auto low = reader_.be(4)) value |= *low;
    return value;
  }

  bool property(uint32_t id, uint32_t length, bool& visible) {
    uint8_t data[3 * kMostColours];
    switch (id) {
      case kColourMap: {
        const auto colours = reader_.be(4);
        if (colours && *colours > kMostColours) corruption_ = kCorrupt;
        return colours && corruption_ == nullptr && reader_.read(data, 3 * *colours);
      }
      case kOffsets:
        return reader_.be(4) && reader_.be(4);
      case kOpacity:
        return reader_.be(4).has_value();
      case kVisible: {
        const auto value = reader_.be(4);
        if (value) visible = *value != 0;
        return value.has_value();
      }
      case kColour:
      case kCompression:
        return reader_.read(data, std::min<size_t>(length, kDecoderPropertyBytes));
      default:
        return reader_.skip(length);
    }
  }

  // A name: its length, then as many bytes when the rest of the data holds them.
  void skipName() {
    const auto length = reader_.be(4);
    if (length && static_cast<int32_t>(*length) > 0 && *length <= reader_.remaining()) reader_.skip(*length);
  }

  void part(uint32_t width, uint32_t height) {
    largestSide_ = std::max<int64_t>({largestSide_, width, height});
    // Two 32-bit sides can pass the signed 64-bit range; any product beyond it is refused the same.
    const uint64_t pixels = uint64_t{width} * height;
    largestPixels_ = std::max(largestPixels_, static_cast<int64_t>(std::min<uint64_t>(pixels, INT64_MAX)));
  }

  void hierarchy(uint64_t at) {
    if (!reader_.seekInStream(static_cast<int64_t>(at))) return;
    const auto width = reader_.be(4), height = reader_.be(4), bytesPerPixel = reader_.be(4);
    if (!width || !height || !bytesPerPixel) return;
    const std::vector<uint64_t> levels = offsets();
    part(*width, *height);
    if (*bytesPerPixel > kDecoderMostBytesPerPixel || *width > kDecoderLargestHierarchy ||
        *height > kDecoderLargestHierarchy || levels.empty() ||
        !reader_.seekInStream(static_cast<int64_t>(levels.front()))) {
      return;
    }
    // The decoder's bound on a tile's pixels, in its 32-bit arithmetic.
    level(*width * *height * *bytesPerPixel, *bytesPerPixel);
  }

  // The first level, whose tiles the decoder loads.
  void level(uint32_t hierarchyBytes, uint32_t bytesPerPixel) {
    const auto width = reader_.be(4), height = reader_.be(4);
    if (!width || !height) {
      corruption_ = kCorrupt;
      return;
    }
    part(*width, *height);
    const std::vector<uint64_t> tiles = offsets();
    uint32_t x = 0, y = 0;
    for (size_t i = 0; i < tiles.size(); ++i) {
      const uint32_t tileWidth = x + kTileSide > *width ? *width % kTileSide : kTileSide;
      const uint32_t tileHeight = y + kTileSide > *height ? *height % kTileSide : kTileSide;
      // Read up to the next tile, or as 6 bytes a pixel for the last.
      const uint64_t bytes = i + 1 < tiles.size() && tiles[i + 1] > tiles[i] ? tiles[i + 1] - tiles[i]
                                                                             : uint64_t{tileWidth} * tileHeight * 6;
      if (bytes > kMostTileBytes) {
        corruption_ = kCorrupt;
        return;
      }
      if (uint64_t{tileWidth} * tileHeight * bytesPerPixel > hierarchyBytes) return;  // where the decoder stops
      x += kTileSide;
      if (x >= *width) {
        x = 0;
        y += kTileSide;
      }
      if (y >= *height) return;
    }
  }

  HeaderReader& reader_;
  const bool wideOffsets_;
  const char* corruption_ = nullptr;
  int64_t largestSide_ = 0, largestPixels_ = 0;
};

// "gimp xcf file" is version 0, "gimp xcf vNNN" version NNN.
uint32_t xcfVersion(const char (&signature)[14]) {
  const auto digit = [&](int at) { return signature[at] >= '0' && signature[at] <= '9'; };
  if (signature[9] != 'v' || !digit(10) || !digit(11) || !digit(12)) return 0;
  return (signature[10] - '0') * 100 + (signature[11] - '0') * 10 + (signature[12] - '0');
}

}  // namespace

std::optional<DeclaredImage> declaredXcfSize(HeaderReader& reader) {
  char signature[14];
  if (!reader.read(signature, sizeof signature)) return std::nullopt;
  const auto width = reader.be(4), height = reader.be(4), type = reader.be(4);
  if (!width || !height || !type) return std::nullopt;
  DeclaredImage image{*width, *height};
  const uint32_t version = xcfVersion(signature);
  XcfWalk walk(reader, version);
  bool visible = false;
  // Past an unsupported compression the decoder stops; the layers are checked whatever it is.
  if ((version < 4 || reader.be(4)) && walk.properties(visible)) {
    const std::vector<uint64_t> layers = walk.offsets(), channels = walk.offsets();
    for (size_t i = 0; i < layers.size() && walk.corruption() == nullptr; ++i) walk.layer(layers[i]);
    for (size_t i = 0; i < channels.size() && walk.corruption() == nullptr; ++i) walk.channel(channels[i]);
  }
  image.corruption = walk.corruption();
  image.partSide = walk.largestSide();
  image.partPixels = walk.largestPixels();
  return image;
}
