// The engine of native_tokenizer.scan: rule matching at a cursor, token emission with merging and deferred
// texts, delimited regions, the symbol fallback and the line prepass. The plain and nested forms of the scan
// drive it. It works on the scan's Lua stack slots and gives up by throwing ScanGiveUp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/pattern_matcher.h"
#include "text/tokenizer_rules.h"

struct lua_State;

// Stack slots of a scan: the eight arguments, then the working values.
enum ScanSlot : int {
  kSlotTokenizer = 1,
  kSlotLine = 2,
  kSlotSymbols = 3,
  kSlotSymbolPattern = 4,
  kSlotWantStats = 5,
  kSlotState = 6,
  kSlotResolver = 7,
  kSlotNextLine = 8,
  kSlotCurrentTokenizer = 9,
  kSlotTokens = 10,
  kSlotPendingStyle = 11,
  kSlotNewStyle = 12,
  kSlotPostSymbols = 13,
  kSlotBaseStyle = 14,
  kSlotFirstLevel = 15,
};

struct ScanStats {
  uint64_t cursorSteps = 0;
  uint64_t patternAttempts = 0;
  uint64_t patternSearches = 0;
  uint64_t patternMatches = 0;
  uint64_t fallbacks = 0;
  uint64_t symbolFallbacks = 0;
};

// Thrown when the scan gives up; the binding turns it into the fallback results.
struct ScanGiveUp {
  std::string reason;
  uint64_t discardedBytes;
};

// The rule chosen at a cursor.
struct RuleMatch {
  uint32_t rule = 0;  // 0-based
  size_t end = 0;
  size_t regionStart = 0;
  size_t regionEnd = 0;
  bool regionCloses = false;
  bool useCaptures = false;
  PatternCaptures captures;
};

class LineScanner {
 public:
  // Reads the line, the symbol pattern and the next line from their slots and creates the token array.
  explicit LineScanner(lua_State* L);

  size_t length() const { return length_; }
  bool lineEmpty() const { return length_ == 0; }
  void setTokenizer(const PreparedTokenizer* tokenizer) { tokenizer_ = tokenizer; }
  const PreparedTokenizer& tokenizer() const { return *tokenizer_; }

  // The cursor that a give-up reports as discarded bytes.
  size_t cursor = 0;
  ScanStats stats;

  [[noreturn]] void giveUp(const char* reason) const;
  [[noreturn]] void giveUpBeforeTokens(const char* reason) const;

  // Tries the candidate rules at `at`; true with the preferred match in *best.
  bool matchRulesAt(size_t at, RuleMatch* best);
  // Emits the matched range [at, match.end) of a chosen rule.
  void emitMatch(const RuleMatch& match, size_t at);
  // Emits a region body [from, closeStart) and its closing delimiter [closeStart, closeEnd).
  void emitRegion(const TokenRule& rule, size_t from, size_t closeStart, size_t closeEnd);
  // Searches the rule's end from `from`, skipping escaped ends.
  bool findRegionEnd(const TokenRule& rule, size_t from, size_t* start, size_t* end);
  // The no-rule path at `at`: a symbol word or one byte; false when nothing matches at the line's end.
  bool symbolFallback(size_t at, size_t* next);
  // Runs the line patterns on [at, limit); returns the position after what they consumed (at when nothing).
  size_t runLinePrepass(size_t at, size_t limit);
  // Emits [from, to) in a style given as a native string.
  void emitStyled(size_t from, size_t to, std::string_view style);
  // Writes the pending token and cuts the deferred texts.
  void finish();

 private:
  struct StartMatch {
    bool valid = false;
    bool matched = false;
    bool hasCaptures = false;
    uint32_t rule = 0;
    size_t at = 0;
    size_t end = 0;
    PatternCaptures captures;
  };

  bool tryRule(uint32_t ruleIndex, size_t at, RuleMatch* candidate);
  bool matchStart(const TokenRule& rule, size_t at, PatternCaptures* captures, size_t* end);
  bool nextLineAllows(const OptionalString& condition, const char* reasonForNonString);
  bool isBetter(const RuleMatch& candidate, const RuleMatch& best) const;
  bool pushSymbolStyle(int tableSlot, size_t from, size_t to);
  void emitCaptureStyled(size_t from, size_t to, const PatternCaptures& captures,
                         const std::vector<std::string>& captureStyles, const std::string& style);
  void selectPostSymbols(const TokenRule& rule);
  void emitPiece(size_t from, size_t to);
  void splitWords(size_t from, size_t to);
  void addToken(size_t from, size_t to);
  void writePending();
  void takeBackLastToken(size_t to);
  void rememberPendingStyle();
  size_t writtenTokenStart(size_t tokenIndex);
  bool linePatternPasses(const LinePattern& pattern, size_t at, size_t limit, size_t* end, PatternCaptures* captures);
  void emitLinePatternMatch(const LinePattern& pattern, size_t at, size_t consumedEnd, const PatternCaptures& captures);

  std::string_view subject(size_t from, size_t to) const { return {line_ + from, to - from}; }

  lua_State* L_;
  const PreparedTokenizer* tokenizer_ = nullptr;
  const char* line_ = nullptr;
  size_t length_ = 0;
  std::string_view symbolPattern_;
  const char* nextLine_ = nullptr;  // null when argument 8 is not a string
  size_t nextLineLength_ = 0;
  int nextLineType_ = 0;
  bool deferred_ = false;
  bool hasPending_ = false;
  size_t pendingStart_ = 0;
  size_t pendingEnd_ = 0;
  std::string_view pendingStyle_;  // the text of the Lua string in the pending-style slot
  int64_t written_ = 0;            // array elements written (two per token)
  bool postSymbolsActive_ = false;
  PatternCaptures scratchCaptures_;
  RuleMatch candidate_;
  StartMatch lastStart_;
};
