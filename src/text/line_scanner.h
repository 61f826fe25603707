// The engine of native_tokenizer.scan: rule matching at a cursor, token emission with merging and deferred
// texts, delimited regions, the symbol fallback and the line prepass. The plain and nested forms of the scan
// drive it. Tokens are collected natively (style ids and offsets) and become the Lua token array only when the
// scan succeeds; it gives up by throwing ScanGiveUp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
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
  kSlotStylePalette = 11,
  kSlotPostSymbols = 12,
  kSlotByteTexts = 13,       // the 256 one-byte strings, at indexes 1 to 256
  kSlotKeptTokenizers = 14,  // the nested form's tokenizers of closed levels held until the scan ends
  kSlotFirstLevel = 15,      // the nested form's tokenizers, outermost first
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
  const PatternCaptures* captures = nullptr;  // valid until the next matchRulesAt
};

class LineScanner {
 public:
  // Scans `line` (argument 2) with `symbolPattern` (argument 4, compiled through the outermost tokenizer's
  // cache) and reads the next line from its slot; the style palette and the one-byte strings must be in theirs.
  LineScanner(lua_State* L, const PreparedTokenizer& outermost, std::string_view line, std::string_view symbolPattern);
  ~LineScanner();
  LineScanner(const LineScanner&) = delete;
  LineScanner& operator=(const LineScanner&) = delete;

  size_t length() const { return length_; }
  bool lineEmpty() const { return length_ == 0; }
  void setTokenizer(const PreparedTokenizer* tokenizer) { tokenizer_ = tokenizer; }
  const PreparedTokenizer& tokenizer() const { return *tokenizer_; }
  // Whether slot 3 holds the symbols table in force; without one, no text has a symbol style.
  void setSymbolsPresent(bool present) { symbolsPresent_ = present; }

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
  // Searches the rule's end from `from`, skipping escaped ends. The last search of each rule is kept and
  // answers again wherever a new search would give the same end.
  bool findRegionEnd(const TokenRule& rule, size_t from, size_t* start, size_t* end);
  // The no-rule path at `at`: a symbol word or one byte; false when nothing matches at the line's end.
  bool symbolFallback(size_t at, size_t* next);
  // Runs the line patterns on [at, limit); returns the position after what they consumed (at when nothing).
  size_t runLinePrepass(size_t at, size_t limit);
  // Emits [from, to) in a style of the grammar.
  void emitStyled(size_t from, size_t to, const TokenStyle& style);
  // Drops what the scan keeps about the rules of `tokenizer` when a level lets go of it (the tokenizer may be
  // collected, and another one made at its address).
  void forgetRulesOf(const PreparedTokenizer& tokenizer);
  // Writes the pending token and builds the token array in its slot.
  void finish();

 private:
  struct Token {
    size_t start;
    size_t end;
    StyleId style;
  };
  struct StartMatch {
    bool valid = false;
    bool matched = false;
    bool hasCaptures = false;
    uint32_t rule = 0;
    size_t at = 0;
    size_t end = 0;
    PatternCaptures captures;
  };

  bool tryRule(uint32_t ruleIndex, size_t at, RuleMatch* candidate, PatternCaptures* captures);
  bool passesBeforeStart(const TokenRule& rule, size_t at);
  bool passesAfterStart(const TokenRule& rule, size_t at, size_t end, RuleMatch* candidate);
  bool matchStart(const TokenRule& rule, size_t at, PatternCaptures* captures, size_t* end);
  bool nextLineAllows(const SearchPattern& condition, const char* reasonForNonString);
  bool nextLineAllowsRule(const TokenRule& rule);
  // The context conditions (line_conditions.cpp).
  enum class Answer { No, Yes, May };
  static uint64_t guardedWork(size_t length);
  bool linePrefixAllows(const TokenRule& rule, size_t at);
  bool precededByAllows(const TokenRule& rule, size_t at);
  bool precededByFromStarts(const TokenRule& rule, ConditionMemory::BeforeWalk& condition, size_t at);
  template <typename Direct>
  Answer textBeforeMatches(ConditionMemory::BeforeWalk& condition, const EndAnchoredAutomaton& automaton, size_t at,
                           Direct direct);
  bool textAfterMatches(const TokenRule& rule, const MatchPattern& pattern, const EndAnchoredAutomaton* automaton,
                        size_t at);
  template <typename Match>
  std::optional<bool> directMatch(uint64_t& work, Match match) const;
  template <typename Match>
  bool guarded(Match match);
  bool searchRegionEnd(const TokenRule& rule, size_t from, size_t* start, size_t* end, size_t* skippedUntil);
  bool isBetter(const RuleMatch& candidate, const RuleMatch& best) const;
  StyleId symbolStyle(int tableSlot, size_t from, size_t to);
  StyleId styleId(const TokenStyle& style);
  static constexpr size_t kNotFound = static_cast<size_t>(-1);
  size_t firstOccurrence(const PatternSpan& span, size_t from, size_t to) const;
  void emitCaptureStyled(size_t from, size_t to, const PatternCaptures& captures,
                         const std::vector<TokenStyle>& captureStyles, const TokenStyle& style);
  void selectPostSymbols(const TokenRule& rule);
  void emitPiece(size_t from, size_t to, StyleId style);
  void splitWords(size_t from, size_t to, StyleId baseStyle);
  void addToken(size_t from, size_t to, StyleId style);
  size_t writtenTokenStart(size_t index) const;
  void pushStyle(StyleId style);
  void pushText(size_t from, size_t to);
  bool linePatternPasses(const LinePattern& pattern, size_t at, size_t limit, size_t* end, PatternCaptures* captures);
  void emitLinePatternMatch(const LinePattern& pattern, size_t at, size_t consumedEnd, const PatternCaptures& captures);

  std::string_view subject(size_t from, size_t to) const { return {line_ + from, to - from}; }

  lua_State* L_;
  const PreparedTokenizer* tokenizer_;
  SymbolPatternCache* sharedSymbolPattern_ = nullptr;  // the tokenizer's, counted as used while this scan runs
  std::optional<MatchPattern> ownSymbolPattern_;       // when the tokenizer's serves a running scan's other one
  const MatchPattern* symbolPattern_ = nullptr;
  const char* line_ = nullptr;
  size_t length_ = 0;
  const char* nextLine_ = nullptr;  // null when argument 8 is not a string
  size_t nextLineLength_ = 0;
  int nextLineType_ = 0;
  bool deferred_ = false;
  bool symbolsPresent_ = true;
  bool postSymbolsActive_ = false;
  std::array<std::byte, 4096> tokenMemory_;
  std::pmr::monotonic_buffer_resource tokenArena_{tokenMemory_.data(), tokenMemory_.size()};
  std::pmr::vector<Token> tokens_{&tokenArena_};
  bool hasPending_ = false;
  Token pending_{};
  std::vector<std::string> unnumberedStyles_;  // styles past the palette's capacity, numbered from kUnnumbered
  PatternCaptures captureSlots_[2];
  PatternCaptures* spareCaptures_ = &captureSlots_[0];
  PatternCaptures* keptCaptures_ = &captureSlots_[1];
  StartMatch lastStart_;
  // What the scan knows about the context conditions: the tokenizer's memory, or one of its own while
  // another scan (from a resolver) holds that.
  ConditionMemory* conditions_ = nullptr;
  std::unique_ptr<ConditionMemory> ownConditions_;
  // The matcher's work left on this line where a walk can only say that a condition may hold.
  PatternWorkMeter guard_;
};
