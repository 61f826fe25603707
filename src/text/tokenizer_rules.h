// The compiled form of a grammar table: rules, line patterns and the per-byte candidate lists that the line
// scanner walks. Plain data, filled by the grammar compiler and read by the scanner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class MatchStrategy : uint32_t { First = 0, Longest = 1, PriorityFirst = 2, PriorityLongest = 3 };

// A string that may be absent; an empty string can be present.
struct OptionalString {
  std::string text;
  bool present = false;

  void set(std::string value) {
    text = std::move(value);
    present = true;
  }
};

struct TokenRule {
  std::string startPattern;
  std::string style;
  std::string linePrefixPattern;  // with "$" appended; empty when absent
  double priority = 0;
  bool supported = false;
  bool lineStart = false;
  bool complex = false;
  bool nested = false;
  OptionalString precededBy;  // with "$" appended
  OptionalString notPrecededBy;
  OptionalString followedBy;
  OptionalString notFollowedBy;
  OptionalString nextLine;
  OptionalString stopPattern;
  OptionalString endPattern;  // present for a delimited rule
  OptionalString escape;      // only its first byte is used
  OptionalString delimiterStyle;
  OptionalString postSymbolsName;
  std::vector<std::string> captureStyles;
  uint32_t sameStartAs = 0;  // the first rule (0-based) with this very start pattern, so a scan matches it once

  bool delimited() const { return endPattern.present; }
  // Whether a region of this rule can be carried across lines.
  bool carriable() const { return supported && delimited() && !complex; }
};

struct LinePattern {
  std::string pattern;
  std::string style;
  std::vector<std::string> captureStyles;
  double priority = 0;
  OptionalString notFollowedBy;
  OptionalString followedBy;
  OptionalString nextLine;
  int64_t consumeTo = 0;
  bool hasConsumeTo = false;
  bool consumeLine = false;
};

struct PreparedTokenizer {
  std::vector<TokenRule> rules;
  std::vector<uint32_t> candidates[256];  // 0-based rule positions, ascending
  std::vector<LinePattern> linePatterns;
  MatchStrategy strategy = MatchStrategy::First;
  bool usesPostSymbols = false;
};

// Fills the candidate lists: byte 0 lists every rule, any other byte the rules whose start pattern could begin
// with it. Throws PatternError for a malformed start pattern.
void buildCandidateLists(PreparedTokenizer& tokenizer);

// Links each rule to the first rule with the same start pattern.
void linkSharedStartPatterns(PreparedTokenizer& tokenizer);

// Whether `pattern` could match a subject that begins with `byte` (1..255), judged item by item.
bool couldStartWith(const std::string& pattern, unsigned char byte);
