// The walk: a text byte that matches the next pattern byte adds 10 for every match just before it in the run;
// a text byte that does not costs 10 and ends the run; text left once the pattern is used up costs 1 a byte.
#include "platform/fuzzy_match.h"

namespace {

std::string_view upToZero(std::string_view text) { return text.substr(0, text.find('\0')); }

unsigned char foldAsciiLetter(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

}  // namespace

std::optional<int64_t> fuzzyMatchScore(std::string_view text, std::string_view pattern) {
  text = upToZero(text);
  pattern = upToZero(pattern);
  int64_t score = 0;
  int64_t run = 0;
  size_t j = 0;
  for (size_t i = 0;; ++i) {
    while (i < text.size() && text[i] == ' ') ++i;
    while (j < pattern.size() && pattern[j] == ' ') ++j;
    if (j == pattern.size()) return score - static_cast<int64_t>(text.size() - i);
    if (i == text.size()) return std::nullopt;
    const auto c = static_cast<unsigned char>(text[i]);
    const auto p = static_cast<unsigned char>(pattern[j]);
    if (foldAsciiLetter(c) != foldAsciiLetter(p)) {
      score -= 10;
      run = 0;
      continue;
    }
    score += 10 * run - (c != p ? 1 : 0);
    ++run;
    ++j;
  }
}
