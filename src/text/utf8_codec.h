// UTF-8 as the utf8 module reads it. Strict decoding accepts what is valid UTF-8 (shortest form, no surrogates,
// at most U+10FFFF). Lenient decoding also accepts surrogates and the old five- and six-byte forms up to
// 0x7FFFFFFF, still in shortest form; what neither accepts is malformed. Text walks that meet malformed bytes
// throw Utf8Error, which the Lua binding raises as "invalid UTF-8 code".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "text/utf8_attach.h"

constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr uint32_t kLargestLenientValue = 0x7FFFFFFF;
constexpr size_t kLongestUtf8Sequence = 6;

// An error of the text functions; what() is the message the Lua binding raises.
class Utf8Error : public std::exception {
 public:
  explicit Utf8Error(const char* message = "invalid UTF-8 code");
  const char* what() const noexcept override { return message_; }

 private:
  char message_[48];
};

inline bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Whether the eight bytes at `at` are all ASCII.
inline bool isAsciiWord(const char* at) {
  uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return (word & 0x8080808080808080ull) == 0;
}

size_t decodeLenientMultibyte(const char* at, const char* end, uint32_t* codePoint);

// Each decodes the sequence at `at` (before `end`) and returns its length, or 0 when it is malformed.
inline size_t decodeLenient(const char* at, const char* end, uint32_t* codePoint) {
  if (static_cast<unsigned char>(*at) < 0x80) {
    *codePoint = static_cast<unsigned char>(*at);
    return 1;
  }
  return decodeLenientMultibyte(at, end, codePoint);
}

inline size_t decodeStrict(const char* at, const char* end, uint32_t* codePoint) {
  if (static_cast<unsigned char>(*at) < 0x80) {
    *codePoint = static_cast<unsigned char>(*at);
    return 1;
  }
  return decodeUtf8Strict(at, end, codePoint);
}

// Decodes leniently or throws Utf8Error.
inline size_t decodeOrThrow(const char* at, const char* end, uint32_t* codePoint) {
  const size_t length = decodeLenient(at, end, codePoint);
  if (length == 0) throw Utf8Error();
  return length;
}

// Writes the shortest encoding of a value up to 0x7FFFFFFF (the old five- and six-byte forms above 0x1FFFFF)
// and returns its length.
size_t encodeUtf8(uint32_t value, char* out);
void appendUtf8(std::string& out, uint32_t value);

// The offset of the first strictly invalid sequence at or after `from`; npos when there is none.
size_t firstInvalidOffset(std::string_view text, size_t from = 0);

// The functions that take character positions step through text by units, decoding nothing: a unit is a byte
// and the continuation bytes after it. On valid UTF-8 each unit is one character; a stray byte makes a unit of
// its own, so positions in text that is not UTF-8 still count and nothing raises until a character's code point
// is needed.

// The end of the unit that starts at `at` (< the text's size).
inline size_t unitEnd(std::string_view text, size_t at) {
  do {
    ++at;
  } while (at < text.size() && isContinuationByte(text[at]));
  return at;
}

// The start of the unit before `at` (> 0): the last byte before it that is no continuation byte, or 0.
inline size_t unitBefore(std::string_view text, size_t at) {
  while (at > 0 && isContinuationByte(text[at - 1])) --at;
  return at > 0 ? at - 1 : 0;
}

// Units in [from, to), `from` being a unit start.
size_t countUnits(std::string_view text, size_t from, size_t to);

// Walks up to `count` units forward from the unit start `from`; returns where it stopped, with the units
// walked in *walked (fewer than `count` when the text ended first).
size_t walkForward(std::string_view text, size_t from, uint64_t count, uint64_t* walked);
// The same backward from `from`.
size_t walkBackward(std::string_view text, size_t from, uint64_t count, uint64_t* walked);
