// The Lua pattern matcher used by the tokenizer, the outline scanner and the candidate lists: Lua 5.5 pattern
// semantics over explicit byte ranges (zero bytes allowed), with captures recorded into a caller-owned record.
// Nothing is allocated while matching; a malformed pattern throws PatternError carrying Lua's own message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

constexpr int kPatternMaxCaptures = 32;       // Lua's capture limit
constexpr int kPatternRecursionBudget = 200;  // Lua's limit on nested matcher calls

struct PatternSpan {
  const char* start;  // points into the subject
  uint64_t length;
};

// Span and position captures in two lists, each in the order the captures open in the pattern.
struct PatternCaptures {
  uint64_t spanCount = 0;
  uint64_t positionCount = 0;
  PatternSpan spans[kPatternMaxCaptures];
  uint64_t positions[kPatternMaxCaptures];  // offsets from the subject start, from 0
};

enum class PatternErrorKind {
  TooComplex,
  EndsWithEscape,
  MissingBracket,
  MissingBalanceArguments,
  MissingFrontierBracket,
  InvalidCaptureIndex,
  InvalidPatternCapture,
  TooManyCaptures,
  UnfinishedCapture,
};

// A pattern that Lua's matcher would refuse; what() is Lua's message text.
class PatternError : public std::exception {
 public:
  PatternError(PatternErrorKind kind, int captureIndex = 0);
  const char* what() const noexcept override { return message_; }
  PatternErrorKind kind() const { return kind_; }

 private:
  PatternErrorKind kind_;
  char message_[64];
};

// Matches `pattern` at offset `start` of `subject` (a leading "^" is an ordinary byte here). Returns true with
// *end set to the match end; false when it does not match or `start` lies beyond the subject.
bool patternMatchAt(std::string_view subject, std::string_view pattern, size_t start, size_t* end,
                    PatternCaptures* captures);

// Searches `pattern` from `start` (a leading "^" anchors at `start`). With `allowPlain`, a pattern without any
// of "^$*+?.([%-" is searched as plain bytes and fills no captures.
bool patternFindFrom(std::string_view subject, std::string_view pattern, size_t start, bool allowPlain,
                     size_t* matchStart, size_t* matchEnd, PatternCaptures* captures);

// True when the pattern holds none of Lua's special pattern bytes (so it can only match itself).
bool patternHasNoSpecials(std::string_view pattern);
