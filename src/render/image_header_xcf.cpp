// The XCF reader of the header check. SDL_image's XCF decoder allocates the canvas by the header's size
// and, trusting the file, a colour map by its entry count and a tile by the distance to the next tile's
// offset; it frees a level twice when the file ends inside the level's header. The file is walked as the
// decoder walks it (the image's properties, each layer with the pixel hierarchy and first level it draws,
// each channel's properties), so that those counts, that header and the size of every layer, hierarchy
// and level are checked before it runs. The walk also holds the file to what its size can call for: no more
// bytes of its records and offset lists read than it has (layers that share records would have the decoder
// read them again for each, for as long as the file's size squared) and no more pixels drawn than its
// tiles could hold.
#include <algorithm>
#include <vector>

#include "render/image_header_reader.h"

namespace {

enum XcfProperty : uint32_t {
  kPropertyEnd = 0,
  kColourMap = 1,
  kSelection = 4,
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
// A file's tiles hold at most 512 pixels a byte (run-length coded in one colour, with their offsets), and a
// channel is drawn twice: allowed are four times that, and one canvas of the largest size.
constexpr uint64_t kDrawnPixelsPerByte = 4096;
constexpr uint64_t kDrawnPixelsOfAnyFile = uint64_t{1} << 28;

struct PropertyFlags {
  bool visible = false;
  bool selection = false;
};

class XcfWalk {
 public:
  XcfWalk(HeaderReader& reader, uint32_t version, uint32_t width, uint32_t height)
      : reader_(reader),
        wideOffsets_(version >= 11),
        canvasPixels_(uint64_t{width} * height),
        canvasWidth_(width),
        canvasHeight_(height) {
    const int64_t size = reader.streamSize();
    readAllowed_ = size >= 0 ? static_cast<uint64_t>(size) : UINT64_MAX / 2;
    drawnAllowed_ = size >= 0 ? kDrawnPixelsPerByte * static_cast<uint64_t>(size) + kDrawnPixelsOfAnyFile : UINT64_MAX;
  }

  const char* corruption() const { return corruption_; }
  int64_t largestSide() const { return largestSide_; }
  int64_t largestPixels() const { return largestPixels_; }

  // Offsets up to the first 0, each as the decoder reads one (64 bits from version 11; what could be read
  // of it, 0 at the end of the data).
  std::vector<uint64_t> offsets() {
    std::vector<uint64_t> list;
    for (uint64_t next = 0; (next = offset()) != 0 && corruption_ == nullptr;) list.push_back(next);
    return list;
  }

  // A property list up to its end; false where the decoder's reading fails or the walk stops.
  bool properties(PropertyFlags& flags) {
    for (;;) {
      const auto id = u32(), length = u32();
      if (!id || !length || !property(*id, *length, flags) || corruption_ != nullptr) return false;
      if (*id == kPropertyEnd) return true;
    }
  }

  // A layer record, and the hierarchy of a visible one, which the decoder draws.
  void layer(uint64_t at) {
    reader_.seekInStream(static_cast<int64_t>(at));  // where that fails, the decoder reads on from here
    const auto width = u32(), height = u32(), type = u32();
    if (!width || !height || !type) return;
    skipName();
    PropertyFlags flags;
    if (!properties(flags)) return;
    const uint64_t hierarchyAt = offset();
    offset();  // the layer mask's, which the decoder leaves
    part(*width, *height);
    if (!flags.visible) return;
    draw(uint64_t{std::min(*width, canvasWidth_)} * std::min(*height, canvasHeight_));
    hierarchy(hierarchyAt);
  }

  // A channel record: the decoder reads its properties, and fills and draws a canvas for a visible one.
  void channel(uint64_t at) {
    PropertyFlags flags;
    if (!reader_.seekInStream(static_cast<int64_t>(at)) || !u32() || !u32()) return;
    skipName();
    if (properties(flags) && flags.visible && !flags.selection) draw(2 * canvasPixels_);
  }

 private:
  uint64_t offset() {
    uint64_t value = 0;
    if (const auto high = wideOffsets_ ? u32() : std::nullopt) value = uint64_t{*high} << 32;
    if (const auto low = u32()) value |= *low;
    return value;
  }

  std::optional<uint32_t> u32() {
    read(4);
    return reader_.be(4);
  }
  // Counts bytes of records and offset lists the decoder reads; past the file's size, the file has it read
  // some again.
  void read(uint64_t bytes) {
    readBytes_ += bytes;
    if (readBytes_ > readAllowed_) corruption_ = kCorrupt;
  }
  void draw(uint64_t pixels) {
    drawnPixels_ += pixels;
    if (drawnPixels_ > drawnAllowed_) corruption_ = kCorrupt;
  }

  bool property(uint32_t id, uint32_t length, PropertyFlags& flags) {
    uint8_t data[3 * kMostColours];
    switch (id) {
      case kColourMap: {
        const auto colours = u32();
        if (colours && *colours > kMostColours) corruption_ = kCorrupt;
        if (!colours || corruption_ != nullptr) return false;
        read(3 * *colours);
        return reader_.read(data, 3 * *colours);
      }
      case kOffsets:
        return u32() && u32();
      case kOpacity:
        return u32().has_value();
      case kVisible: {
        const auto value = u32();
        if (value) flags.visible = *value != 0;
        return value.has_value();
      }
      case kColour:
      case kCompression:
        read(std::min<size_t>(length, kDecoderPropertyBytes));
        return reader_.read(data, std::min<size_t>(length, kDecoderPropertyBytes));
      default:
        if (id == kSelection) flags.selection = true;
        read(length);
        return reader_.skip(length);
    }
  }

  // A name: its length, then as many bytes when the rest of the data holds them.
  void skipName() {
    const auto length = u32();
    if (!length || static_cast<int32_t>(*length) <= 0 || *length > reader_.remaining()) return;
    read(*length);
    reader_.skip(*length);
  }

  void part(uint32_t width, uint32_t height) {
    largestSide_ = std::max<int64_t>({largestSide_, width, height});
    // Two 32-bit sides can pass the signed 64-bit range; any product beyond it is refused the same.
    const uint64_t pixels = uint64_t{width} * height;
    largestPixels_ = std::max(largestPixels_, static_cast<int64_t>(std::min<uint64_t>(pixels, INT64_MAX)));
  }

  void hierarchy(uint64_t at) {
    if (!reader_.seekInStream(static_cast<int64_t>(at))) return;
    const auto width = u32(), height = u32(), bytesPerPixel = u32();
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
    const auto width = u32(), height = u32();
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
  const uint64_t canvasPixels_;
  const uint32_t canvasWidth_, canvasHeight_;
  const char* corruption_ = nullptr;
  int64_t largestSide_ = 0, largestPixels_ = 0;
  uint64_t readBytes_ = 0, readAllowed_ = 0, drawnPixels_ = 0, drawnAllowed_ = 0;
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
  XcfWalk walk(reader, version, *width, *height);
  PropertyFlags flags;
  // Past an unsupported compression the decoder stops; the layers are checked whatever it is.
  if ((version < 4 || reader.be(4)) && walk.properties(flags)) {
    const std::vector<uint64_t> layers = walk.offsets(), channels = walk.offsets();
    for (size_t i = 0; i < layers.size() && walk.corruption() == nullptr; ++i) walk.layer(layers[i]);
    for (size_t i = 0; i < channels.size() && walk.corruption() == nullptr; ++i) walk.channel(channels[i]);
  }
  image.corruption = walk.corruption();
  image.partSide = walk.largestSide();
  image.partPixels = walk.largestPixels();
  return image;
}
