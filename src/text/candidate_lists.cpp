// Candidate lists: a rule is tried at a byte only when its start pattern could begin with that byte. The walk
// is conservative: anchors, captures, wildcards, %b, %f and back-references keep a rule in every list.
#include <string_view>
#include <unordered_map>

#include "text/pattern_matcher.h"
#include "text/tokenizer_rules.h"

namespace {

// Length of the bracket item starting at `start`, or 0 when the pattern ends before its "]".
size_t bracketItemLength(const std::string& pattern, size_t start) {
  size_t at = start + 1;
  if (at < pattern.size() && pattern[at] == '^') ++at;
  bool first = true;  // the first byte always belongs to the set
  while (at < pattern.size() && (first || pattern[at] != ']')) {
    at += pattern[at] == '%' ? 2 : 1;
    first = false;
  }
  if (at >= pattern.size()) return 0;
  return at + 1 - start;
}

bool isOptionalQuantifier(char c) { return c == '*' || c == '-' || c == '?'; }

}  // namespace

PatternByteSet candidateStartBytes(const std::string& pattern) {
  PatternByteSet candidates;
  bool decided[256] = {};  // a byte is decided once an item matched it or a required item failed it
  const auto withUndecided = [&] {
    for (int byte = 1; byte < 256; ++byte) {
      if (!decided[byte]) candidates.add(static_cast<unsigned char>(byte));
    }
    return candidates;
  };
  size_t at = 0;
  for (;;) {
    if (at >= pattern.size()) return withUndecided();  // only optional items so far: the pattern can match empty
    const char c = pattern[at];
    if (c == '^' || c == '$' || c == '(' || c == ')' || c == '.') return withUndecided();
    size_t itemLength = 1;
    if (c == '%') {
      if (at + 1 == pattern.size()) return withUndecided();
      const char next = pattern[at + 1];
      if (next == 'b' || next == 'f' || (next >= '0' && next <= '9')) return withUndecided();
      itemLength = 2;
    } else if (c == '[') {
      itemLength = bracketItemLength(pattern, at);
      if (itemLength == 0) return withUndecided();
    }
    const MatchPattern item(std::string_view(pattern).substr(at, itemLength));
    for (int byte = 1; byte < 256; ++byte) {
      const char subject[1] = {static_cast<char>(byte)};
      size_t end = 0;
      if (!decided[byte] && item.matchAt({subject, 1}, 0, &end, nullptr)) {
        candidates.add(static_cast<unsigned char>(byte));
        decided[byte] = true;
      }
    }
    const size_t next = at + itemLength;
    if (next >= pattern.size() || !isOptionalQuantifier(pattern[next])) return candidates;
    at = next + 1;
  }
}

void buildCandidateLists(PreparedTokenizer& tokenizer) {
  const auto count = static_cast<uint32_t>(tokenizer.rules.size());
  tokenizer.candidates[0].reserve(count);
  for (uint32_t rule = 0; rule < count; ++rule) {
    tokenizer.candidates[0].push_back(rule);
    const PatternByteSet bytes = candidateStartBytes(tokenizer.rules[rule].startPattern);
    for (int byte = 1; byte < 256; ++byte) {
      if (bytes.has(static_cast<unsigned char>(byte))) tokenizer.candidates[byte].push_back(rule);
    }
  }
}

void linkSharedStartPatterns(PreparedTokenizer& tokenizer) {
  std::vector<TokenRule>& rules = tokenizer.rules;
  std::unordered_map<std::string_view, uint32_t> firstWithStart;
  for (uint32_t rule = 0; rule < rules.size(); ++rule) {
    const auto [first, inserted] = firstWithStart.emplace(rules[rule].startPattern, rule);
    rules[rule].sameStartAs = first->second;
    if (!inserted) rules[rule].startShared = rules[first->second].startShared = true;
  }
}
