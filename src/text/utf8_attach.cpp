// Code points that attach to their predecessor; the ranges are those a renderer draws onto the base glyph.
#include "text/utf8_attach.h"

namespace {

bool inRange(uint32_t c, uint32_t low, uint32_t high) { return c >= low && c <= high; }

bool isRegionalIndicator(uint32_t c) { return inRange(c, 0x1F1E6, 0x1F1FF); }

bool attachesAlways(uint32_t c) {
  return inRange(c, 0x0300, 0x036F) || inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF) ||
         inRange(c, 0x20D0, 0x20FF) || inRange(c, 0xFE00, 0xFE0F) || inRange(c, 0xFE20, 0xFE2F) ||
         inRange(c, 0xE0100, 0xE01EF) || c == 0x200D || inRange(c, 0x1F3FB, 0x1F3FF);
}

}  // namespace

size_t decodeUtf8Strict(const char* at, const char* end, uint32_t* codePoint) {
  if (at >= end) return 0;
  const auto lead = static_cast<unsigned char>(*at);
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  }
  size_t length = 0;
  uint32_t value = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - at) < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(at[k]);
    if (k == 1 ? (byte < low || byte > high) : (byte & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte & 0x3F);
  }
  *codePoint = value;
  return length;
}

size_t attachedPrefixLength(const char* previousStart, const char* start, const char* end) {
  const char* lead = start;
  uint32_t previous = 0;
  for (int back = 0; back < 4 && lead > previousStart; ++back) {
    --lead;
    if ((static_cast<unsigned char>(*lead) & 0xC0) != 0x80) break;
  }
  if (lead == start || decodeUtf8Strict(lead, start, &previous) != static_cast<size_t>(start - lead)) return 0;
  const char* at = start;
  while (at < end) {
    uint32_t current = 0;
    const size_t length = decodeUtf8Strict(at, end, &current);
    if (length == 0) break;
    if (!attachesAlways(current) && !(isRegionalIndicator(current) && isRegionalIndicator(previous))) break;
    previous = current;
    at += length;
  }
  return static_cast<size_t>(at - start);
}
