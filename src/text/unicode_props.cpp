// The class tests keep ASCII on a table of their own, built from the same definitions, so pattern matching
// over ASCII text never reaches utf8proc.
#include "text/unicode_props.h"

#include <utf8proc.h>

#include <algorithm>
#include <array>

#include "text/unicode_tables.h"

namespace {

constexpr uint32_t kLastCodePoint = 0x10FFFF;

bool inRange(uint32_t c, uint32_t low, uint32_t high) { return c >= low && c <= high; }

// Only for code points up to U+10FFFF.
const utf8proc_property_t* propertyOf(uint32_t c) { return utf8proc_get_property(static_cast<utf8proc_int32_t>(c)); }

// utf8proc's Extend class also holds the emoji skin-tone modifiers, which are not Grapheme_Extend.
bool extendsGrapheme(uint32_t c, const utf8proc_property_t& property) {
  return property.boundclass == UTF8PROC_BOUNDCLASS_EXTEND && !inRange(c, 0x1F3FB, 0x1F3FF);
}

int categoryOf(uint32_t c) {
  return c <= kLastCodePoint ? static_cast<int>(propertyOf(c)->category) : static_cast<int>(UTF8PROC_CATEGORY_CN);
}

bool isPunctuationOrSymbol(int category) {
  return (category >= UTF8PROC_CATEGORY_PC && category <= UTF8PROC_CATEGORY_PO) || category == UTF8PROC_CATEGORY_SM ||
         category == UTF8PROC_CATEGORY_SC || category == UTF8PROC_CATEGORY_SK;
}

bool isGraphic(uint32_t c) {
  if (isGraphemeExtend(c)) return true;
  if (isWhiteSpace(c)) return false;
  switch (categoryOf(c)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return false;
    default:
      return true;
  }
}

bool hasBit(uint32_t c, uint8_t bit) { return (unicode_tables::propertyBits(c) & bit) != 0; }

bool computeClass(uint32_t c, int letter) {
  const int category = categoryOf(c);
  switch (letter) {
    case 'a':
      return hasBit(c, unicode_tables::kAlphabetic);
    case 'c':
      return category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF;
    case 'd':
      return category == UTF8PROC_CATEGORY_ND;
    case 'g':
      return isGraphic(c);
    case 'l':
      return hasBit(c, unicode_tables::kLowercase);
    case 'p':
      return isPunctuationOrSymbol(category);
    case 's':
      return isWhiteSpace(c);
    case 't':
      return isGraphemeExtend(c);
    case 'u':
      return hasBit(c, unicode_tables::kUppercase);
    case 'w':
      return hasBit(c, unicode_tables::kAlphabetic) || category == UTF8PROC_CATEGORY_ND ||
             category == UTF8PROC_CATEGORY_NL || category == UTF8PROC_CATEGORY_NO;
    case 'x':
      return isHexDigit(c);
    case 'z':
      return c == 0;
    default:
      return false;
  }
}

constexpr const char kClassLetters[] = "acdglpstuwxz";

// asciiClasses[c] has bit k set when ASCII code point c is in the class kClassLetters[k].
std::array<uint16_t, 128> makeAsciiClasses() {
  std::array<uint16_t, 128> classes{};
  for (uint32_t c = 0; c < 128; ++c) {
    for (int k = 0; kClassLetters[k] != 0; ++k) {
      if (computeClass(c, kClassLetters[k])) classes[c] |= static_cast<uint16_t>(1u << k);
    }
  }
  return classes;
}

int classIndex(int letter) {
  for (int k = 0; kClassLetters[k] != 0; ++k) {
    if (kClassLetters[k] == letter) return k;
  }
  return -1;
}

const std::array<uint16_t, 128> kAsciiClasses = makeAsciiClasses();

// The same by class: the 128-bit set of each class's ASCII members.
using AsciiMask = std::array<uint64_t, 2>;
std::array<AsciiMask, sizeof kClassLetters - 1> makeAsciiClassMasks() {
  std::array<AsciiMask, sizeof kClassLetters - 1> masks{};
  for (uint32_t c = 0; c < 128; ++c) {
    for (size_t k = 0; k < masks.size(); ++k) {
      if (((kAsciiClasses[c] >> k) & 1) != 0) masks[k][c >> 6] |= uint64_t{1} << (c & 63);
    }
  }
  return masks;
}

const std::array<AsciiMask, sizeof kClassLetters - 1> kAsciiClassMasks = makeAsciiClassMasks();

}  // namespace

bool isUnicodeClassLetter(int letter) {
  const bool isLetter = (letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z');
  return isLetter && classIndex(letter | 0x20) >= 0;
}

bool inUnicodeClass(uint32_t codePoint, int letter) {
  if (codePoint < 128) {
    const int index = classIndex(letter);
    return index >= 0 && ((kAsciiClasses[codePoint] >> index) & 1) != 0;
  }
  return computeClass(codePoint, letter);
}

void asciiClassMembers(int letter, uint64_t members[2]) {
  const int index = classIndex(letter);
  members[0] = index < 0 ? 0 : kAsciiClassMasks[index][0];
  members[1] = index < 0 ? 0 : kAsciiClassMasks[index][1];
}

bool isWhiteSpace(uint32_t c) {
  return inRange(c, 0x09, 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || inRange(c, 0x2000, 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isHexDigit(uint32_t c) {
  return inRange(c, '0', '9') || inRange(c, 'A', 'F') || inRange(c, 'a', 'f') || inRange(c, 0xFF10, 0xFF19) ||
         inRange(c, 0xFF21, 0xFF26) || inRange(c, 0xFF41, 0xFF46);
}

bool isGraphemeExtend(uint32_t c) { return c <= kLastCodePoint && extendsGrapheme(c, *propertyOf(c)); }

bool isDefaultIgnorable(uint32_t c) { return hasBit(c, unicode_tables::kDefaultIgnorable); }

uint32_t simpleLowercase(uint32_t c) {
  return c <= kLastCodePoint ? static_cast<uint32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))) : c;
}

// utf8proc maps U+00DF to U+1E9E, which UnicodeData.txt does not: its simple upper and title case is itself.
uint32_t simpleUppercase(uint32_t c) {
  if (c > kLastCodePoint || c == 0xDF) return c;
  return static_cast<uint32_t>(utf8proc_toupper(static_cast<utf8proc_int32_t>(c)));
}

uint32_t simpleTitlecase(uint32_t c) {
  if (c > kLastCodePoint || c == 0xDF) return c;
  return static_cast<uint32_t>(utf8proc_totitle(static_cast<utf8proc_int32_t>(c)));
}

uint32_t simpleCaseFold(uint32_t c) {
  if (c < 128) return inRange(c, 'A', 'Z') ? c + 32 : c;
  const unicode_tables::CaseFold* first = unicode_tables::kSimpleCaseFolds;
  const unicode_tables::CaseFold* last = first + unicode_tables::kSimpleCaseFoldCount;
  const auto* fold = std::lower_bound(
      first, last, c, [](const unicode_tables::CaseFold& entry, uint32_t value) { return entry.source < value; });
  return fold != last && fold->source == c ? fold->target : c;
}

int64_t codePointWidth(uint32_t c, int ambiguousWidth, int64_t zeroWidth) {
  if (c < 0x7F || c > kLastCodePoint) return 1;
  const uint8_t bits = unicode_tables::propertyBits(c);
  if ((bits & unicode_tables::kDefaultIgnorable) != 0 || isGraphemeExtend(c)) return zeroWidth;
  if ((bits & unicode_tables::kWide) != 0) return 2;
  return (bits & unicode_tables::kAmbiguousWidth) != 0 ? ambiguousWidth : 1;
}
