// The JPEG reader of the header check, as stb_image reads a JPEG: the marker segments up to the frame, then
// the segments and scans after it up to the end-of-image marker, where the decoder stops (what follows, such
// as the video of a motion photo, is never read). The decoder goes over the whole frame for each scan it
// meets, even one without data. It also reports success for a frame whose segments end, or turn to other
// data, before any scan, and for scans that decode with Huffman or quantization tables no segment defined
// (a motion-JPEG frame leaves its Huffman tables out) or that refine a progressive component whose DC
// coefficients no scan has coded yet: none of those holds a picture, and they are refused here.
#include <algorithm>
#include <array>
#include <cstdint>

#include "render/image_header_reader.h"

namespace {

constexpr const char* kCorrupt = "corrupt JPEG image data";

constexpr uint8_t kNoMarker = 0xFF, kStartOfImage = 0xD8, kEndOfImage = 0xD9, kStartOfScan = 0xDA, kLineCount = 0xDC,
                  kHuffmanTables = 0xC4, kQuantizationTables = 0xDB, kRestartInterval = 0xDD;

// A marker as stb_image reads one between segments: 0xFF, any fill bytes, the code; kNoMarker when the byte
// read is not 0xFF; none at the end of the data.
std::optional<uint8_t> jpegMarker(HeaderReader& reader) {
  std::optional<uint8_t> code = reader.byte();
  if (!code || *code != 0xFF) return code ? std::optional<uint8_t>(kNoMarker) : std::nullopt;
  while (code && *code == 0xFF) code = reader.byte();
  return code;
}

bool isFrame(uint8_t marker) { return marker == 0xC0 || marker == 0xC1 || marker == 0xC2; }

// The tables defined so far, by slot.
struct Tables {
  std::array<bool, 4> dcCodes{}, acCodes{}, quantization{};
};

struct Component {
  uint8_t id = 0;
  uint8_t quantization = 0;
  bool dcCoded = false;  // by a progressive scan of its DC coefficients
};

struct Frame {
  bool progressive = false;
  uint32_t height = 0;
  std::array<Component, 4> components{};
  uint8_t componentCount = 0;
};

// Quantization tables: a precision (8 or 16 bits) and a slot, then 64 values, for each.
bool readQuantizationTables(HeaderReader& reader, Tables& tables) {
  const std::optional<uint32_t> length = reader.be(2);
  if (!length) return false;
  int64_t left = int64_t{*length} - 2;
  while (left > 0) {
    const std::optional<uint8_t> kind = reader.byte();
    if (!kind || (*kind >> 4) > 1 || (*kind & 15) > 3) return false;
    const bool wide = (*kind >> 4) != 0;
    if (!reader.skip(wide ? 128 : 64)) return false;
    tables.quantization[*kind & 15] = true;
    left -= wide ? 129 : 65;
  }
  return left == 0;
}

// Whether the codes of each length fit in that many bits, as the decoder builds its table.
bool codesFit(const uint8_t* countsByLength) {
  uint32_t code = 0;
  for (uint32_t bits = 1; bits <= 16; ++bits) {
    const uint8_t count = countsByLength[bits - 1];
    code += count;
    if (count != 0 && code - 1 >= (1u << bits)) return false;
    code <<= 1;
  }
  return true;
}

// Huffman tables: a class (DC or AC) and a slot, the counts of codes of each length (256 codes at most),
// then the codes' values, for each.
bool readHuffmanTables(HeaderReader& reader, Tables& tables) {
  const std::optional<uint32_t> length = reader.be(2);
  if (!length) return false;
  int64_t left = int64_t{*length} - 2;
  while (left > 0) {
    uint8_t header[17];
    if (!reader.read(header, sizeof header)) return false;
    const int kind = header[0] >> 4, slot = header[0] & 15;
    uint32_t values = 0;
    for (int i = 1; i <= 16; ++i) values += header[i];
    if (kind > 1 || slot > 3 || values > 256 || !codesFit(header + 1) || !reader.skip(values)) return false;
    (kind == 0 ? tables.dcCodes : tables.acCodes)[slot] = true;
    left -= 17 + int64_t{values};
  }
  return left == 0;
}

// A segment other than a frame or a scan, as the decoder's marker handling reads it; false where it stops.
bool readSegment(HeaderReader& reader, uint8_t marker, Tables& tables) {
  if (marker == kQuantizationTables) return readQuantizationTables(reader, tables);
  if (marker == kHuffmanTables) return readHuffmanTables(reader, tables);
  const bool passedOver = (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;  // application data, comments
  if (marker != kRestartInterval && !passedOver) return false;
  const std::optional<uint32_t> length = reader.be(2);
  if (!length) return false;
  if (marker == kRestartInterval) return *length == 4 && reader.skip(2);
  return *length >= 2 && reader.skip(*length - 2);
}

// The frame's components after its size; false where the decoder refuses them (and so the image).
bool readComponents(HeaderReader& reader, uint32_t length, Frame& frame) {
  const std::optional<uint8_t> count = reader.byte();
  if (!count || (*count != 1 && *count != 3 && *count != 4) || length != 8 + 3u * *count) return false;
  for (uint8_t i = 0; i < *count; ++i) {
    uint8_t fields[3];
    if (!reader.read(fields, sizeof fields)) return false;
    const int horizontal = fields[1] >> 4, vertical = fields[1] & 15;
    if (horizontal < 1 || horizontal > 4 || vertical < 1 || vertical > 4 || fields[2] > 3) return false;
    frame.components[i] = Component{fields[0], fields[2], false};
  }
  frame.componentCount = *count;
  return true;
}

enum class ScanHeader { Decoded, Empty, Refused };

// Checks one selector of a scan against the tables defined before it: every scan dequantizes; a sequential
// scan decodes DC and AC codes; a progressive scan of DC coefficients decodes DC codes only in its first
// pass, and one of AC coefficients decodes AC codes, after the component's DC coefficients.
bool scanCanDecode(const Frame& frame, Component& component, uint8_t selectors, int spectralStart, int refined,
                   const Tables& tables) {
  const int dc = selectors >> 4, ac = selectors & 15;
  if (!tables.quantization[component.quantization]) return false;
  if (!frame.progressive) return tables.dcCodes[dc] && tables.acCodes[ac];
  if (spectralStart == 0 && refined == 0) {
    component.dcCoded = tables.dcCodes[dc];
    return component.dcCoded;
  }
  return component.dcCoded && (spectralStart == 0 || tables.acCodes[ac]);
}

// A scan's header as the decoder reads it: Refused where the decoder fails on it, Empty where it would decode
// with what no segment defined.
ScanHeader readScan(HeaderReader& reader, Frame& frame, const Tables& tables) {
  const std::optional<uint32_t> length = reader.be(2);
  const std::optional<uint8_t> count = reader.byte();
  if (!length || !count || *count < 1 || *count > frame.componentCount || *length != 6 + 2u * *count) {
    return ScanHeader::Refused;
  }
  std::array<Component*, 4> scanned{};
  std::array<uint8_t, 4> selectors{};
  for (uint8_t i = 0; i < *count; ++i) {
    uint8_t fields[2];
    if (!reader.read(fields, sizeof fields) || (fields[1] >> 4) > 3 || (fields[1] & 15) > 3) return ScanHeader::Refused;
    for (uint8_t c = 0; c < frame.componentCount && scanned[i] == nullptr; ++c) {
      if (frame.components[c].id == fields[0]) scanned[i] = &frame.components[c];
    }
    if (scanned[i] == nullptr) return ScanHeader::Refused;
    selectors[i] = fields[1];
  }
  uint8_t spectral[3];
  if (!reader.read(spectral, sizeof spectral)) return ScanHeader::Refused;
  const int start = spectral[0], end = spectral[1], high = spectral[2] >> 4, low = spectral[2] & 15;
  const bool fits =
      frame.progressive ? start <= end && end <= 63 && high <= 13 && low <= 13 : start == 0 && high == 0 && low == 0;
  if (!fits) return ScanHeader::Refused;
  for (uint8_t i = 0; i < *count; ++i) {
    if (!scanCanDecode(frame, *scanned[i], selectors[i], start, high, tables)) return ScanHeader::Empty;
  }
  return ScanHeader::Decoded;
}

// Passes over a scan's coded data to the marker after it: 0xFF and a code other than a stuffed zero, a fill
// byte or a restart marker. None at the end of the data. What is read past the marker is read again for the
// next segment, so the blocks start small and grow: a file of many short scans costs what it holds.
std::optional<uint8_t> markerAfterScan(HeaderReader& reader) {
  bool afterFF = false;
  std::array<uint8_t, 65536> block;
  size_t want = 64;
  for (size_t got; (got = reader.readSome(block.data(), want)) > 0; want = std::min(want * 2, block.size())) {
    for (size_t i = 0; i < got; ++i) {
      const uint8_t byte = block[i];
      if (afterFF && byte != 0x00 && byte != 0xFF && (byte & 0xF8) != 0xD0) {
        reader.skip(-static_cast<int64_t>(got - i - 1));
        return byte;
      }
      afterFF = byte == 0xFF;
    }
  }
  return std::nullopt;
}

// The segments and scans after the frame, as the decoder's loop meets them up to the end-of-image marker (or
// where it stops): the scans it decodes, never fewer, and whether they hold a picture.
void walkAfterFrame(HeaderReader& reader, Frame& frame, Tables& tables, DeclaredImage& image) {
  int64_t scans = 0;
  std::optional<uint8_t> marker = jpegMarker(reader);
  while (marker && *marker != kEndOfImage) {
    if (*marker == kStartOfScan) {
      const ScanHeader scan = readScan(reader, frame, tables);
      if (scan == ScanHeader::Refused) break;  // the decoder fails here
      if (scan == ScanHeader::Empty) {
        image.corruption = kCorrupt;
        break;
      }
      ++scans;
      marker = markerAfterScan(reader);
      continue;
    }
    if (*marker == kLineCount) {
      const std::optional<uint32_t> length = reader.be(2), lines = reader.be(2);
      if (length != 4u || lines != frame.height) break;  // the decoder fails here
    } else if (!readSegment(reader, *marker, tables)) {
      break;  // the decoder stops here and draws what it has
    }
    marker = jpegMarker(reader);
  }
  image.passes = scans;
  if (scans == 0) image.corruption = kCorrupt;
}

}  // namespace

std::optional<DeclaredImage> declaredJpegSize(HeaderReader& reader) {
  if (jpegMarker(reader) != kStartOfImage) return std::nullopt;
  Tables tables;
  std::optional<uint8_t> marker = jpegMarker(reader);
  while (marker && !isFrame(*marker)) {
    if (!readSegment(reader, *marker, tables)) return std::nullopt;
    do marker = jpegMarker(reader);
    while (marker == kNoMarker);  // bytes between segments are scanned over
  }
  // The frame header: its length and sample precision, then the height and the width.
  const std::optional<uint32_t> length = marker ? reader.be(2) : std::nullopt;
  const std::optional<uint8_t> precision = reader.byte();
  const std::optional<uint32_t> height = reader.be(2), width = reader.be(2);
  if (!length || !precision || !height || !width) return std::nullopt;
  DeclaredImage image{*width, *height};
  Frame frame;
  frame.progressive = *marker == 0xC2;
  frame.height = *height;
  if (readComponents(reader, *length, frame)) walkAfterFrame(reader, frame, tables, image);
  return image;
}
