#include "text/utf8_codec.h"

#include <cstdio>

namespace {

// The smallest value each sequence length may encode (shorter forms are overlong), by continuation count.
constexpr uint32_t kSmallestValue[] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

}  // namespace

Utf8Error::Utf8Error(const char* message) { std::snprintf(message_, sizeof message_, "%s", message); }

size_t decodeLenientMultibyte(const char* at, const char* end, uint32_t* codePoint) {
  const auto lead = static_cast<unsigned char>(*at);
  if (lead < 0xC0 || lead > 0xFD) return 0;
  size_t continuations = 1;
  while (continuations < 5 && ((lead << continuations) & 0x40) != 0) ++continuations;
  if (static_cast<size_t>(end - at) <= continuations) return 0;
  uint32_t value = lead & (0x3Fu >> continuations);
  for (size_t k = 1; k <= continuations; ++k) {
    if (!isContinuationByte(at[k])) return 0;
    value = (value << 6) | (static_cast<unsigned char>(at[k]) & 0x3F);
  }
  if (value < kSmallestValue[continuations]) return 0;
  *codePoint = value;
  return continuations + 1;
}

size_t encodeUtf8(uint32_t value, char* out) {
  if (value < 0x80) {
    out[0] = static_cast<char>(value);
    return 1;
  }
  size_t length = 2;
  while (length < kLongestUtf8Sequence && value >= kSmallestValue[length]) ++length;
  for (size_t k = length - 1; k > 0; --k) {
    out[k] = static_cast<char>(0x80 | (value & 0x3F));
    value >>= 6;
  }
  out[0] = static_cast<char>((0xFF00u >> length) | value);
  return length;
}

void appendUtf8(std::string& out, uint32_t value) {
  char bytes[kLongestUtf8Sequence];
  out.append(bytes, encodeUtf8(value, bytes));
}

size_t firstInvalidOffset(std::string_view text, size_t from) {
  const char* at = text.data() + from;
  const char* end = text.data() + text.size();
  while (at < end) {
    if (end - at >= 8 && isAsciiWord(at)) {
      at += 8;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = decodeStrict(at, end, &codePoint);
    if (length == 0) return static_cast<size_t>(at - text.data());
    at += length;
  }
  return std::string_view::npos;
}

size_t countUnits(std::string_view text, size_t from, size_t to) {
  if (from >= to) return 0;
  size_t count = 1;  // the unit at `from`, whatever its first byte
  size_t at = from + 1;
  for (; to - at >= 8; at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + at, sizeof word);
    const uint64_t continuations = word & ~(word << 1) & 0x8080808080808080ull;  // bytes 10xxxxxx
    count += 8 - static_cast<size_t>(__builtin_popcountll(continuations));
  }
  for (; at < to; ++at) count += isContinuationByte(text[at]) ? 0 : 1;
  return count;
}

size_t walkForward(std::string_view text, size_t from, uint64_t count, uint64_t* walked) {
  uint64_t steps = 0;
  while (steps < count && from < text.size()) {
    if (count - steps >= 8 && text.size() - from >= 9 && isAsciiWord(text.data() + from + 1)) {
      from += 8;  // the unit at `from` and the seven after it are one byte each
      steps += 8;
      continue;
    }
    from = unitEnd(text, from);
    ++steps;
  }
  *walked = steps;
  return from;
}

size_t walkBackward(std::string_view text, size_t from, uint64_t count, uint64_t* walked) {
  uint64_t steps = 0;
  while (steps < count && from > 0) {
    from = unitBefore(text, from);
    ++steps;
  }
  *walked = steps;
  return from;
}
