// Outline rules: which lines are headings or dividers, with their level and title. Plain data and the line
// test; a malformed pattern throws PatternError and leaves the error index naming the rule being tested.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/tokenizer_rules.h"

struct OutlineRule {
  std::string pattern;
  std::optional<MatchPattern> patternAtLineStart;  // `pattern` compiled for a line-start rule
  std::optional<SearchPattern> patternSearch;      // `pattern` compiled for a search in the line
  std::vector<MatchPattern> lineNotPrefix;
  std::optional<MatchPattern> linePrefix;
  std::optional<SearchPattern> precededBy;  // plain text searched as such
  std::optional<MatchPattern> notFollowedBy;
  std::optional<MatchPattern> followedBy;
  std::optional<SearchPattern> nextLine;
  double level = 0;
  bool hasLevel = false;
  int64_t integerLevel = 0;
  bool levelIsInteger = false;
  bool hasPattern = false;
  bool lineStart = false;
  bool blockStartOnly = false;
  bool jumps = true;
  bool dividers = true;
};

struct PreparedOutline {
  std::vector<OutlineRule> rules;
  uint64_t errorIndex = 0;  // 1-based rule under test while a scan runs
};

enum class OutlineKind { Jump, Divider, Any };

struct OutlineMatch {
  const OutlineRule* rule = nullptr;  // null when no rule matched
  std::optional<std::string_view> title;
};

// Compiles the rule's `pattern` for the way it is used (at the line start or searched); call it once
// `pattern`, `hasPattern` and `lineStart` are read.
void compileOutlinePattern(OutlineRule& rule);

OutlineMatch scanOutline(PreparedOutline& outline, std::string_view line, std::optional<std::string_view> previous,
                         std::optional<std::string_view> next, OutlineKind kind);
