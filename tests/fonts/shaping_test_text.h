// Texts for the shaping tests: a piece repeated, and codepoints counted as the decoder reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fonts/codepoints.h"

namespace shapingtest {

inline std::string repeated(const std::string& piece, size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

// The codepoints in bytes [start, start + length) of `text` (a bad sequence is one per byte).
inline size_t codepointCount(const std::string& text, size_t start, size_t length) {
  size_t count = 0;
  for (const char* at = text.c_str() + start; at < text.c_str() + start + length; ++count) {
    uint32_t codepoint = 0;
    at = nextUtf8CodepointUnchecked(at, codepoint);
  }
  return count;
}

inline size_t codepointCount(const std::string& text) { return codepointCount(text, 0, text.size()); }

}  // namespace shapingtest
