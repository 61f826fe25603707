// The compiled form of a grammar table: rules with their patterns compiled, line patterns and the per-byte
// candidate lists that the line scanner walks. Plain data, filled by the grammar compiler and read by the
// scanner.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "text/condition_memory.h"
#include "text/end_anchored_automaton.h"
#include "text/pattern_matcher.h"

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

// Index of a style string in the Lua state's style palette (see token_styles.h); 0 when it has none.
using StyleId = uint32_t;

// A style string of the grammar with its palette id, which the scanner emits without making a Lua string.
struct TokenStyle {
  std::string text;
  StyleId id = 0;
};

struct TokenRule {
  // What every attempt reads comes first, so that it shares a few cache lines.
  MatchPattern start;
  double priority = 0;
  uint32_t sameStartAs = 0;         // the first rule (0-based) with this very start pattern, matched once a step
  bool startShared = false;         // whether another rule has this very start pattern
  bool wantsCaptures = false;       // capture styles apply to its matches
  bool checkedBeforeStart = false;  // it has a condition tested before the start pattern
  bool checkedAfterStart = false;   // it has a condition tested after the start pattern, or is unsupported
  bool supported = false;
  bool lineStart = false;
  bool complex = false;
  bool nested = false;
  TokenStyle style;
  std::optional<MatchPattern> linePrefix;   // with "$" appended
  std::optional<SearchPattern> precededBy;  // with "$" appended
  // The same two conditions decided in one walk over the line, when their patterns allow it.
  std::unique_ptr<const EndAnchoredAutomaton> linePrefixWalk;
  std::unique_ptr<const EndAnchoredAutomaton> precededByWalk;
  // An unanchored preceded-by pattern whose walk only tells where it may match (it has back-references), to
  // be tried from the cursor backwards at the starts that the walk of its reversed items admits.
  std::optional<MatchPattern> precededByAtEachStart;
  std::unique_ptr<const EndAnchoredAutomaton> precededByStarts;
  std::optional<SearchPattern> notPrecededBy;
  std::optional<MatchPattern> followedBy;
  std::optional<MatchPattern> notFollowedBy;
  // The two conditions on the text after a match, decided for every position in one walk over the line.
  std::unique_ptr<const EndAnchoredAutomaton> followedByWalk;
  std::unique_ptr<const EndAnchoredAutomaton> notFollowedByWalk;
  std::optional<SearchPattern> nextLine;
  std::optional<SearchPattern> stopPattern;
  std::optional<SearchPattern> endPattern;  // present for a delimited rule; plain text searched as such
  OptionalString escape;                    // only its first byte is used
  std::optional<TokenStyle> delimiterStyle;
  OptionalString postSymbolsName;
  std::vector<TokenStyle> captureStyles;
  std::string startPattern;  // the source text, for the candidate walk

  bool delimited() const { return endPattern.has_value(); }
  // Whether a region of this rule can be carried across lines.
  bool carriable() const { return supported && delimited() && !complex; }
};

struct LinePattern {
  MatchPattern pattern;
  TokenStyle style;
  std::vector<TokenStyle> captureStyles;
  double priority = 0;
  std::optional<MatchPattern> notFollowedBy;
  std::optional<MatchPattern> followedBy;
  std::optional<SearchPattern> nextLine;
  int64_t consumeTo = 0;
  bool hasConsumeTo = false;
  bool consumeLine = false;
};

// The symbol pattern that scans received, compiled; they pass it as an argument, nearly always the same one.
// A scan that uses it counts itself in `users`, so that a scan run meanwhile (from a resolver) with another
// pattern compiles its own instead of replacing this one.
struct SymbolPatternCache {
  std::string text;
  MatchPattern pattern;
  uint32_t users = 0;
};

struct PreparedTokenizer {
  std::vector<TokenRule> rules;
  std::vector<uint32_t> candidates[256];  // 0-based rule positions, ascending
  std::vector<LinePattern> linePatterns;
  MatchStrategy strategy = MatchStrategy::First;
  bool usesPostSymbols = false;
  mutable std::unique_ptr<SymbolPatternCache> symbolPattern;
  mutable std::unique_ptr<ConditionMemory> conditionMemory;  // kept from one scan to the next
};

// Fills the candidate lists: byte 0 lists every rule, any other byte the rules whose start pattern could begin
// with it. Throws PatternError for a malformed start pattern.
void buildCandidateLists(PreparedTokenizer& tokenizer);

// Links each rule to the first rule with the same start pattern.
void linkSharedStartPatterns(PreparedTokenizer& tokenizer);

// The bytes 1..255 that `pattern` could match a subject beginning with, judged item by item: a byte is one when
// an item matches it before a required item fails it.
PatternByteSet candidateStartBytes(const std::string& pattern);
