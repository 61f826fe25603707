// Unicode properties that utf8proc does not provide, generated at build time from the Unicode Character
// Database of the same version as utf8proc (scripts/generate_unicode_tables.py): property bits in a two-stage
// table, and the simple case folding (statuses C and S) as pairs sorted by source code point.
#pragma once

#include <cstddef>
#include <cstdint>

namespace unicode_tables {

enum PropertyBit : uint8_t {
  kAlphabetic = 1,
  kLowercase = 2,
  kUppercase = 4,
  kAmbiguousWidth = 8,     // East Asian Width A
  kNfcNo = 16,             // NFC_QC N
  kNfcMaybe = 32,          // NFC_QC M
  kDefaultIgnorable = 64,  // assigned or not
  kWide = 128,             // East Asian Width W or F, reserved code points of the wide blocks included
};

struct CaseFold {
  uint32_t source;
  uint32_t target;
};

extern const char kVersion[];
extern const uint16_t kBlockIndex[0x110000 / 256];
extern const uint8_t kBlocks[][256];
extern const CaseFold kSimpleCaseFolds[];
extern const size_t kSimpleCaseFoldCount;

// The PropertyBit set of a code point; none beyond U+10FFFF.
inline uint8_t propertyBits(uint32_t codePoint) {
  return codePoint < 0x110000 ? kBlocks[kBlockIndex[codePoint >> 8]][codePoint & 255] : 0;
}

}  // namespace unicode_tables
