#include "text/utf8_text.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "text/unicode_props.h"
#include "text/utf8_codec.h"

namespace {

using AsciiMap = std::array<char, 128>;

AsciiMap makeAsciiMap(CaseMapping mapping) {
  AsciiMap map{};
  for (uint32_t c = 0; c < 128; ++c) map[c] = static_cast<char>(mapCodePointCase(c, mapping));
  return map;
}

const AsciiMap& asciiMapOf(CaseMapping mapping) {
  static const std::array<AsciiMap, 4> maps = {makeAsciiMap(CaseMapping::Lower), makeAsciiMap(CaseMapping::Upper),
                                               makeAsciiMap(CaseMapping::Title), makeAsciiMap(CaseMapping::Fold)};
  return maps[static_cast<size_t>(mapping)];
}

// The end of the piece that reversal keeps whole from `at`: strictly, a valid character with the
// Grapheme_Extend marks after it; lax, a unit (utf8_codec.h).
size_t reversalPieceEnd(std::string_view text, size_t at, bool lax) {
  if (lax) return unitEnd(text, at);
  const char* end = text.data() + text.size();
  uint32_t c = 0;
  do {
    const size_t length = decodeStrict(text.data() + at, end, &c);
    if (length == 0) throw Utf8Error();
    at += length;
  } while (at < text.size() && decodeStrict(text.data() + at, end, &c) != 0 && isGraphemeExtend(c));
  return at;
}

int digitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < base ? value : -1;
}

// `what` names the escape's letter, or inside braces the character that is no digit.
[[noreturn]] void invalidEscape(std::string_view what) {
  char message[32];
  std::snprintf(message, sizeof message, "invalid escape '%.*s'", static_cast<int>(what.size()), what.data());
  throw Utf8Error(message);
}

// Reads the number of an escape at text[*at] (in braces when `braced`), advancing *at past it.
uint32_t readEscapeNumber(std::string_view text, size_t* at, int base, bool braced, char letter) {
  if (braced) ++*at;
  uint64_t value = 0;
  const size_t first = *at;
  for (; *at < text.size() && digitValue(text[*at], base) >= 0; ++*at) {
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digitValue(text[*at], base));
    if (value > kLargestLenientValue) invalidEscape({&letter, 1});
  }
  if (braced && *at < text.size() && text[*at] != '}') invalidEscape(text.substr(*at, unitEnd(text, *at) - *at));
  if (*at == first) invalidEscape({&letter, 1});
  if (braced) {
    if (*at == text.size()) invalidEscape({&letter, 1});
    ++*at;
  }
  return static_cast<uint32_t>(value);
}

// Appends the character at `at` (decoded leniently, so malformed bytes throw) and returns the offset past it.
size_t copyCharacter(std::string_view text, size_t at, std::string& out) {
  uint32_t c = 0;
  const size_t length = decodeOrThrow(text.data() + at, text.data() + text.size(), &c);
  out.append(text.substr(at, length));
  return at + length;
}

}  // namespace

uint32_t mapCodePointCase(uint32_t codePoint, CaseMapping mapping) {
  switch (mapping) {
    case CaseMapping::Lower:
      return simpleLowercase(codePoint);
    case CaseMapping::Upper:
      return simpleUppercase(codePoint);
    case CaseMapping::Title:
      return simpleTitlecase(codePoint);
    case CaseMapping::Fold:
      return simpleCaseFold(codePoint);
  }
  return codePoint;
}

std::string mapTextCase(std::string_view text, CaseMapping mapping) {
  const AsciiMap& ascii = asciiMapOf(mapping);
  std::string out;
  out.reserve(text.size());
  const char* end = text.data() + text.size();
  for (const char* at = text.data(); at < end;) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x80) {
      out.push_back(ascii[byte]);
      ++at;
      continue;
    }
    uint32_t c = 0;
    at += decodeOrThrow(at, end, &c);
    appendUtf8(out, mapCodePointCase(c, mapping));
  }
  return out;
}

std::string reverseText(std::string_view text, bool lax) {
  std::string out(text.size(), '\0');
  size_t write = text.size();
  for (size_t at = 0; at < text.size();) {
    const size_t next = reversalPieceEnd(text, at, lax);
    write -= next - at;
    std::memcpy(out.data() + write, text.data() + at, next - at);
    at = next;
  }
  return out;
}

std::string expandEscapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (text[at] != '%' || at + 1 == text.size()) {
      at = copyCharacter(text, at, out);
      continue;
    }
    const char letter = text[++at];
    const bool named = letter == 'u' || letter == 'x';
    if (!named && letter != '{' && digitValue(letter, 10) < 0) {
      at = copyCharacter(text, at, out);
      continue;
    }
    if (named) ++at;
    const bool braced = at < text.size() && text[at] == '{';
    appendUtf8(out, readEscapeNumber(text, &at, letter == 'x' ? 16 : 10, braced, letter));
  }
  return out;
}

bool cleanText(std::string_view text, std::string_view replacement, std::string* out) {
  size_t bad = firstInvalidOffset(text);
  if (bad == std::string_view::npos) return true;
  out->clear();
  out->reserve(text.size() + replacement.size());
  size_t copied = 0;
  const char* end = text.data() + text.size();
  while (bad != std::string_view::npos) {
    out->append(text.substr(copied, bad - copied));
    out->append(replacement);
    uint32_t c = 0;
    copied = bad + 1;
    while (copied < text.size() && decodeStrict(text.data() + copied, end, &c) == 0) ++copied;
    bad = firstInvalidOffset(text, copied);
  }
  out->append(text.substr(copied));
  return false;
}

int compareFolded(std::string_view a, std::string_view b) {
  const char* atA = a.data();
  const char* atB = b.data();
  const char* endA = a.data() + a.size();
  const char* endB = b.data() + b.size();
  while (atA < endA && atB < endB) {
    uint32_t ca = 0;
    uint32_t cb = 0;
    atA += decodeOrThrow(atA, endA, &ca);
    atB += decodeOrThrow(atB, endB, &cb);
    ca = simpleCaseFold(ca);
    cb = simpleCaseFold(cb);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (atA < endA) return 1;
  return atB < endB ? -1 : 0;
}
