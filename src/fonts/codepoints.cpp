// The strict UTF-8 decoder and the codepoint range tests.
#include "fonts/codepoints.h"

#include <algorithm>
#include <iterator>

#include "platform/text_conversion.h"

namespace {

struct CodepointRange {
  uint32_t first;
  uint32_t last;
};

constexpr CodepointRange kZeroAdvanceRanges[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},   {0x20D0, 0x20FF},   {0x200D, 0x200D},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF}, {0x1F3FB, 0x1F3FF},
};

constexpr CodepointRange kShapingRanges[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},   {0x20D0, 0x20FF},   {0xFE20, 0xFE2F},
    {0x200D, 0x200D}, {0xFE00, 0xFE0F}, {0xE0100, 0xE01EF}, {0x1F1E6, 0x1F1FF}, {0x1F3FB, 0x1F3FF},
    {0x0590, 0x06FF}, {0x0750, 0x077F}, {0x08A0, 0x0FFF},   {0x1000, 0x109F},   {0x1780, 0x17FF},
    {0xA980, 0xA9DF}, {0xAA60, 0xAA7F}, {0xFB1D, 0xFDFF},   {0xFE70, 0xFEFF},   {0x1EE00, 0x1EEFF},
};

template <size_t N>
bool inRanges(const CodepointRange (&ranges)[N], uint32_t codepoint) {
  return std::any_of(std::begin(ranges), std::end(ranges),
                     [codepoint](const CodepointRange& r) { return codepoint >= r.first && codepoint <= r.last; });
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

const char* nextUtf8CodepointUnchecked(const char* text, uint32_t& codepoint) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const unsigned char lead = bytes[0];
  if (lead < 0x80) {
    codepoint = lead;
    return text + 1;
  }
  codepoint = kReplacementCharacter;
  if (lead >= 0xC2 && lead <= 0xDF) {
    if (!isContinuation(bytes[1])) return text + 1;
    codepoint = (uint32_t{lead} & 0x1F) << 6 | (bytes[1] & 0x3F);
    return text + 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!isContinuation(bytes[1]) || !isContinuation(bytes[2])) return text + 1;
    if ((lead == 0xE0 && bytes[1] < 0xA0) || (lead == 0xED && bytes[1] > 0x9F)) return text + 1;
    codepoint = (uint32_t{lead} & 0x0F) << 12 | (uint32_t{bytes[1]} & 0x3F) << 6 | (bytes[2] & 0x3F);
    return text + 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!isContinuation(bytes[1]) || !isContinuation(bytes[2]) || !isContinuation(bytes[3])) return text + 1;
    if ((lead == 0xF0 && bytes[1] < 0x90) || (lead == 0xF4 && bytes[1] > 0x8F)) return text + 1;
    codepoint = (uint32_t{lead} & 0x07) << 18 | (uint32_t{bytes[1]} & 0x3F) << 12 | (uint32_t{bytes[2]} & 0x3F) << 6 |
                (bytes[3] & 0x3F);
    return text + 4;
  }
  return text + 1;
}

const char* nextUtf8Codepoint(const char* text, uint32_t* codepoint) {
  if (text == nullptr || codepoint == nullptr) return text;
  return nextUtf8CodepointUnchecked(text, *codepoint);
}

bool isZeroAdvanceCodepoint(uint32_t codepoint) { return inRanges(kZeroAdvanceRanges, codepoint); }

bool isVisibleCodepoint(uint32_t codepoint) { return codepoint >= 0x21 && !isZeroAdvanceCodepoint(codepoint); }

bool isVariationSelector(uint32_t codepoint) {
  return (codepoint >= 0xFE00 && codepoint <= 0xFE0F) || (codepoint >= 0xE0100 && codepoint <= 0xE01EF);
}

bool isKeycapSequence(const char* text) {
  if (text == nullptr || text[0] == '\0') return false;
  uint32_t codepoint = 0;
  text = nextUtf8CodepointUnchecked(text, codepoint);
  const bool keycapBase = codepoint == '#' || codepoint == '*' || (codepoint >= '0' && codepoint <= '9');
  if (!keycapBase || text[0] == '\0') return false;
  text = nextUtf8CodepointUnchecked(text, codepoint);
  if (isVariationSelector(codepoint)) {
    if (text[0] == '\0') return false;
    text = nextUtf8CodepointUnchecked(text, codepoint);
  }
  return codepoint == 0x20E3 && text[0] == '\0';
}

bool textNeedsShaping(const char* text) {
  if (text == nullptr) return false;
  const char* cursor = text;
  while (*cursor != '\0' && static_cast<unsigned char>(*cursor) < 0x80) ++cursor;
  while (*cursor != '\0') {
    uint32_t codepoint = 0;
    cursor = nextUtf8CodepointUnchecked(cursor, codepoint);
    if (inRanges(kShapingRanges, codepoint)) return true;
  }
  return false;
}

std::string utf16BigEndianToUtf8(const uint8_t* bytes, size_t length) {
  std::u16string units(length / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  return wideToUtf8(units);
}
