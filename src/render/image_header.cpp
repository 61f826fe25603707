// Declared sizes of the binary image formats SDL_image reads, each read as its decoder reads it (the same
// fields, the same walk over chunks and markers up to the one that gives the size), and the choice of the
// decoder in IMG_LoadTyped_IO's order.
#include "render/image_header.h"

#include <SDL3/SDL_stdinc.h>
#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "render/image_header_reader.h"

namespace {

using Declared = std::optional<DeclaredImage>;

Declared sized(int64_t width, int64_t height) { return DeclaredImage{width, height, false}; }

int32_t asSigned(uint32_t value) { return static_cast<int32_t>(value); }

// Windows icons and cursors: the directory entry with the most colours (as a byte: 256 counts as 0) names
// the bitmap, whose BITMAPINFOHEADER gives the width and twice the height.
Declared iconSize(HeaderReader& reader) {
  const auto reserved = reader.le(2), kind = reader.le(2), count = reader.le(2);
  if (!reserved || !kind || !count || *reserved != 0 || *count == 0) return std::nullopt;
  uint8_t mostColours = 0;
  uint32_t bitmapOffset = 0;
  for (uint32_t i = 0; i < *count; ++i) {
    uint8_t entry[16];
    if (!reader.read(entry, sizeof entry)) return std::nullopt;
    const int colours = entry[2] != 0 ? entry[2] : 256;
    if (colours > mostColours) {
      mostColours = static_cast<uint8_t>(colours);
      bitmapOffset =
          uint32_t{entry[12]} | uint32_t{entry[13]} << 8 | uint32_t{entry[14]} << 16 | uint32_t{entry[15]} << 24;
    }
  }
  if (!reader.seek(bitmapOffset)) return std::nullopt;
  const auto headerSize = reader.le(4), width = reader.le(4), height = reader.le(4);
  if (!headerSize || !width || !height || *headerSize != 40) return std::nullopt;
  if (asSigned(*width) < 0 || *width > 0xFFFFFF || asSigned(*height) < 0 || *height > 0xFFFFFF) return std::nullopt;
  return sized(*width, *height >> 1);
}

// SDL's BMP loader: the old 12-byte header holds 16-bit sizes, the later ones signed 32-bit sizes, a
// negative height meaning rows from the top.
Declared bmpSize(HeaderReader& reader) {
  const auto headerSize = reader.seek(14) ? reader.le(4) : std::nullopt;
  if (!headerSize) return std::nullopt;
  if (*headerSize == 12) {
    const auto width = reader.le(2), height = reader.le(2);
    if (!width || !height) return std::nullopt;
    return sized(*width, *height);
  }
  if (*headerSize < 40) return std::nullopt;
  const auto width = reader.le(4), height = reader.le(4);
  if (!width || !height || asSigned(*width) <= 0 || *height == 0) return std::nullopt;
  const int64_t rows = asSigned(*height);
  return sized(asSigned(*width), rows < 0 ? -rows : rows);
}

// The two readers stb_image tries, JPEG first.
Declared stbSize(HeaderReader& reader) {
  const auto start = reader.be(2);
  if (!reader.seek(0)) return std::nullopt;
  return start == 0xFFD8u ? declaredJpegSize(reader) : declaredPngSize(reader);
}

// IFF chunks up to BODY, as the decoder walks them (its arithmetic on chunk sizes included); the last
// bitmap header gives the size, the width rounded up to 16. The decoder looks a HAM pixel's colour up in a
// 256-colour table by its planes' bits less two, and shifts by 10 less their count: an interleaved HAM
// image must have 2 to 10 planes.
Declared lbmSize(HeaderReader& reader) {
  char id[4];
  if (!reader.read(id, 4) || !reader.skip(4) || !reader.read(id, 4)) return std::nullopt;
  const bool packed = std::memcmp(id, "PBM ", 4) == 0;
  uint32_t width = 0, height = 0, planes = 0;
  bool ham = false;
  while (std::memcmp(id, "BODY", 4) != 0) {
    const std::optional<uint32_t> sizeField = reader.read(id, 4) ? reader.be(4) : std::nullopt;
    if (!sizeField) return std::nullopt;
    uint32_t size = *sizeField, loaded = 0;
    if (std::memcmp(id, "BMHD", 4) == 0) {
      uint8_t header[20];
      if (!reader.read(header, sizeof header)) return std::nullopt;
      loaded = sizeof header;
      width = uint32_t{header[0]} << 8 | header[1];
      height = uint32_t{header[2]} << 8 | header[3];
      planes = header[8];
    }
    if (std::memcmp(id, "CMAP", 4) == 0) {
      if (size > 3 * 256 || !reader.skip(size)) return std::nullopt;
      loaded = size;
    }
    if (std::memcmp(id, "CAMG", 4) == 0) {
      const std::optional<uint32_t> viewModes = reader.be(4);
      if (!viewModes) return std::nullopt;
      ham = ham || (*viewModes & 0x800) != 0;
      loaded = size;
    }
    if (std::memcmp(id, "BODY", 4) != 0) {
      size += size & 1;
      size -= loaded;
      if (size != 0) reader.skip(size);
    }
  }
  DeclaredImage image{(width + 15) & ~uint32_t{15}, height};
  if (ham && !packed && (planes < 2 || planes > 10)) image.corruption = "corrupt LBM image data";
  return image;
}

// The decoder decodes each line, its planes times bytes per line (a signed field), into a buffer of that many
// bytes (nearly 2^64 for a negative count), from runs of at most 63 bytes per two bytes of data; but it takes
// a run of 0 as endless, so lines longer than the data's runs could fill keep it decoding without reading for
// as long as they are long.
Declared pcxSize(HeaderReader& reader) {
  uint8_t header[128];
  if (!reader.read(header, sizeof header)) return std::nullopt;
  const auto s16 = [&](size_t at) { return static_cast<int16_t>(header[at] | header[at + 1] << 8); };
  DeclaredImage image{int64_t{s16(8)} - s16(4) + 1, int64_t{s16(10)} - s16(6) + 1};
  const int64_t lineBytes = int64_t{header[65]} * s16(66);
  const int64_t data = reader.remaining();
  if (lineBytes < 0 || (data >= 0 && std::max<int64_t>(image.height, 0) * lineBytes * 2 > data * 63)) {
    image.corruption = "corrupt PCX image data";
  }
  return image;
}

Declared qoiSize(HeaderReader& reader) {
  const auto magic = reader.be(4), width = reader.be(4), height = reader.be(4);
  if (!magic || !width || !height) return std::nullopt;
  return sized(*width, *height);
}

Declared tgaSize(HeaderReader& reader) {
  const auto width = reader.seek(12) ? reader.le(2) : std::nullopt, height = reader.le(2);
  if (!width || !height) return std::nullopt;
  return sized(*width, *height);
}

Declared unread(HeaderReader&) { return std::nullopt; }

// An XV thumbnail by its first line alone: SDL_image's own check walks every comment line up to the size, as
// far as the data go, where the header's reader stops at its bound.
bool isXvHead(SDL_IOStream* stream) {
  const HeaderBudget budget;
  HeaderReader reader(stream, budget);
  std::string line;
  for (std::optional<uint8_t> c; line.size() < 1024 && (c = reader.byte()) && *c != '\n';) {
    if (*c != '\r') line.push_back(static_cast<char>(*c));
  }
  return line.compare(0, 6, "P7 332") == 0;
}

// IMG_LoadTyped_IO's table: TGA by type alone, then the signature checks in order. Formats this build
// of SDL_image leaves out answer false to their checks. A header that gives no size is refused as corrupt,
// so that no decoder ever runs on a size nobody checked.
struct Format {
  bool (*is)(SDL_IOStream*);
  Declared (*size)(HeaderReader&);
  const char* unsized;
};
const Format kFormats[] = {
    {IMG_isAVIF, unread, "corrupt AVIF image data"},        {IMG_isCUR, iconSize, "corrupt CUR image data"},
    {IMG_isICO, iconSize, "corrupt ICO image data"},        {IMG_isBMP, bmpSize, "corrupt BMP image data"},
    {IMG_isGIF, declaredGifSize, "corrupt GIF image data"}, {IMG_isJPG, stbSize, "corrupt JPEG image data"},
    {IMG_isJXL, unread, "corrupt JXL image data"},          {IMG_isLBM, lbmSize, "corrupt LBM image data"},
    {IMG_isPCX, pcxSize, "corrupt PCX image data"},         {IMG_isPNG, stbSize, "corrupt PNG image data"},
    {IMG_isPNM, declaredPnmSize, "corrupt PNM image data"}, {IMG_isSVG, declaredSvgSize, "corrupt SVG image data"},
    {IMG_isTIF, unread, "corrupt TIFF image data"},         {IMG_isXCF, declaredXcfSize, "corrupt XCF image data"},
    {IMG_isXPM, declaredXpmSize, "corrupt XPM image data"}, {isXvHead, declaredXvSize, "corrupt XV image data"},
    {IMG_isWEBP, unread, "corrupt WEBP image data"},        {IMG_isQOI, qoiSize, "corrupt QOI image data"},
};
const Format kTga = {nullptr, tgaSize, "corrupt TGA image data"};

DeclaredImage declaredBy(const Format& format, SDL_IOStream* stream, const HeaderBudget& budget) {
  HeaderReader reader(stream, budget);
  if (Declared declared = format.size(reader)) return *declared;
  DeclaredImage unsized;
  unsized.corruption = format.unsized;
  return unsized;
}

}  // namespace

std::optional<DeclaredImage> declaredImageSize(SDL_IOStream* stream, const char* type, const HeaderBudget& budget) {
  if (type != nullptr && SDL_strcasecmp(type, "TGA") == 0) return declaredBy(kTga, stream, budget);
  for (const Format& format : kFormats) {
    if (format.is(stream)) return declaredBy(format, stream, budget);
  }
  return std::nullopt;
}
