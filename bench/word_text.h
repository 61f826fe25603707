// Deterministic text for the benchmarks: words drawn from a fixed vocabulary, in lines of varying length, the
// same for the same size and seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string wordText(size_t size, uint32_t seed) {
  static constexpr const char* kVocabulary[] = {
      "the",    "editor", "opens",   "a",      "file",     "and",     "scripts", "render",   "window", "buffer", "line",
      "syntax", "token",  "returns", "local",  "function", "end",     "if",      "then",     "else",   "for",    "in",
      "pairs",  "string", "table",   "insert", "format",   "archive", "member",  "checksum", "42",     "1024"};
  std::string out;
  out.reserve(size + 16);
  while (out.size() < size) {
    seed = seed * 1103515245u + 12345u;
    out += kVocabulary[(seed >> 16) % 32];
    out += (seed >> 8) % 11 == 0 ? '\n' : ' ';
  }
  out.resize(size);
  return out;
}
