// The Lua pattern matcher used by the tokenizer, the outline scanner and the candidate lists: Lua 5.5 pattern
// semantics over explicit byte ranges (zero bytes allowed), with captures recorded into a caller-owned record.
// Patterns are compiled once (MatchPattern, SearchPattern) and then matched any number of times; nothing is
// allocated while matching. A malformed pattern throws PatternError carrying Lua's own message, at the moment
// Lua's matcher would raise it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

#include "text/pattern_program.h"

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

// Thrown by a metered match that would do more work than its meter has left; the match's answer is unknown.
struct PatternWorkExhausted {};

// The work left to the metered matches that share it: each item an attempt passes, each choice it tries and
// each byte of a run, of a balance or of a repeated capture takes one unit, so the work of a match is about
// the number of bytes it reads. A meter that runs out stays empty.
struct PatternWorkMeter {
  uint64_t left = 0;

  void take(uint64_t work) {
    if (work > left) {
      left = 0;
      throw PatternWorkExhausted{};
    }
    left -= work;
  }
};

// A pattern compiled for matching at one position; a leading "^" is an ordinary byte there.
class MatchPattern {
 public:
  explicit MatchPattern(std::string_view pattern = {},
                        std::pmr::memory_resource* memory = std::pmr::get_default_resource())
      : program_(pattern, memory) {}

  // True with *end set when the pattern matches at `start`; false when it does not or `start` lies beyond the
  // subject.
  bool matchAt(std::string_view subject, size_t start, size_t* end, PatternCaptures* captures) const;
  // The same, counting its work on `meter`; throws PatternWorkExhausted when the meter runs out.
  bool matchAt(std::string_view subject, size_t start, size_t* end, PatternCaptures* captures,
               PatternWorkMeter& meter) const;

  // False when no match can begin at `start`, judged by the byte there; matchAt then fails without matching.
  bool mayMatchAt(std::string_view subject, size_t start) const {
    const std::optional<PatternByteSet>& lead = program_.leadBytes();
    return !lead || (start < subject.size() && lead->has(static_cast<unsigned char>(subject[start])));
  }

 private:
  template <typename Meter>
  bool matchWith(std::string_view subject, size_t start, size_t* end, PatternCaptures* captures,
                 const Meter& meter) const;

  PatternProgram program_;
};

// A pattern compiled for searching from a position: a leading "^" anchors the search at its start. With
// `allowPlain`, a pattern without any of "^$*+?.([%-" is searched as plain bytes and fills no captures.
class SearchPattern {
 public:
  SearchPattern(std::string_view pattern, bool allowPlain,
                std::pmr::memory_resource* memory = std::pmr::get_default_resource());

  bool findFrom(std::string_view subject, size_t start, size_t* matchStart, size_t* matchEnd,
                PatternCaptures* captures) const;
  // The same, counting its work on `meter` (one unit for each start tried and for each byte passed over to
  // reach it, besides the attempts' own work); throws PatternWorkExhausted when the meter runs out.
  bool findFrom(std::string_view subject, size_t start, size_t* matchStart, size_t* matchEnd, PatternCaptures* captures,
                PatternWorkMeter& meter) const;
  bool anchored() const { return anchored_; }

 private:
  template <typename Meter>
  bool findWith(std::string_view subject, size_t start, size_t* matchStart, size_t* matchEnd, PatternCaptures* captures,
                const Meter& meter) const;

  bool plain_;
  bool anchored_;
  std::pmr::string literal_;  // the whole pattern when it is searched as plain bytes
  std::optional<size_t> endBound_;
  PatternProgram body_;  // the pattern without its anchor
};

// One-off forms that compile the pattern for a single call (the string library entry points, the candidate
// walk); they allocate nothing for patterns of ordinary size.
bool patternMatchAt(std::string_view subject, std::string_view pattern, size_t start, size_t* end,
                    PatternCaptures* captures);
bool patternFindFrom(std::string_view subject, std::string_view pattern, size_t start, bool allowPlain,
                     size_t* matchStart, size_t* matchEnd, PatternCaptures* captures);
