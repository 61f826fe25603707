// Lua patterns over code points, for the utf8 module's find, match, gmatch and gsub. The rules, the order in
// which a pattern is read and the error texts are Lua's (see pattern_program.h): what Lua does with a byte,
// this does with a code point, and the classes are Unicode's (unicode_props.h). Subjects and patterns are
// decoded leniently; the subject is stepped through by units (utf8_codec.h), and a unit whose code point an item
// needs throws Utf8Error when it does not decode; a malformed pattern throws PatternError where Lua's matcher
// would raise. Stray bytes in a pattern raise "invalid UTF-8 code" where lua-utf8's matcher, which decodes the
// pattern as it goes, meets them (pattern_walk.h); a match that never gets there does not raise.
//
// Captures are kept as Lua keeps them, in one list in the order they open, and an unfinished capture is not an
// error until a caller reads it (gsub with a plain replacement never does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/pattern_backtrack.h"
#include "text/pattern_matcher.h"
#include "text/pattern_program.h"

// A set of code points one single-character item matches. Code points below U+0080 are looked up in `ascii`;
// the others, and all of a set that ends at a stray byte, are tested by kind.
struct Utf8CharSet {
  enum class Kind : uint8_t { Any, Literal, Class, Bracket };

  uint64_t ascii[2] = {};
  Kind kind = Kind::Literal;
  bool complement = false;   // Class: a capital letter; Bracket: "[^"
  bool endsAtStray = false;  // Bracket: its members are those before a stray byte, which a character that none
                             // of them holds reaches, raising
  uint32_t value = 0;        // Literal: the code point; Class: the lower-case class letter
  uint32_t firstMember = 0;  // Bracket: its members in the program's member list
  uint32_t memberCount = 0;

  bool hasAscii(uint32_t c) const { return (ascii[c >> 6] >> (c & 63)) & 1; }
};

// One member of a bracket set: a range (a single code point is a range of one) or a class.
struct Utf8SetMember {
  uint32_t low = 0;
  uint32_t high = 0;
  uint8_t classLetter = 0;  // lower case; 0 for a range
  bool complement = false;
};

struct Utf8PatternItem {
  PatternOp op = PatternOp::End;
  char quantifier = 0;  // "*", "+", "-", "?" or 0 (Single only)
  PatternErrorKind error = PatternErrorKind::TooComplex;
  bool straysAfter = false;  // "?" with stray continuation bytes after it, passed over only when the item matches
  uint32_t first = 0;        // Balance: the opening code point; BackReference: the digit
  uint32_t second = 0;       // Balance: the closing code point
  Utf8CharSet set;           // Single and Frontier
};

class Utf8PatternProgram {
 public:
  explicit Utf8PatternProgram(std::string_view pattern);

  const Utf8PatternItem* items() const { return items_.data(); }
  // Throws PatternError when the set ends at a stray byte that testing `c` reaches.
  bool contains(const Utf8CharSet& set, uint32_t c) const {
    if (c >= 128) return containsByKind(set, c);
    return set.hasAscii(c) || (set.endsAtStray && containsByKind(set, c));
  }
  // The set every match begins with, when the first item that consumes a character cannot be skipped and
  // nothing before it nor the set itself can raise an error; null otherwise.
  const Utf8CharSet* leadSet() const { return leadItem_ < 0 ? nullptr : &items_[leadItem_].set; }

 private:
  friend class Utf8PatternCompiler;

  bool containsByKind(const Utf8CharSet& set, uint32_t c) const;
  void findLeadSet();

  std::vector<Utf8PatternItem> items_;
  std::vector<Utf8SetMember> members_;
  int leadItem_ = -1;
};

struct Utf8Capture {
  size_t start;      // byte offset in the subject
  ptrdiff_t length;  // bytes, or kCaptureUnfinished, or kCapturePosition (pattern_backtrack.h)
};

struct Utf8Match {
  size_t end = 0;  // byte offset just past the match
  int captureCount = 0;
  Utf8Capture captures[kPatternMaxCaptures];
};

// Matches one program against one subject, any number of attempts: the backtracking core of
// pattern_backtrack.h over code points.
class Utf8PatternMatcher : public PatternBacktracker<Utf8PatternMatcher, Utf8PatternItem> {
 public:
  Utf8PatternMatcher(const Utf8PatternProgram& program, std::string_view subject);

  // One attempt at byte offset `start` (a character boundary, at most the subject's size).
  bool matchAt(size_t start, Utf8Match* match);

  // Whether an attempt at `start` may match, judged by the character there; *next is set to the start of the
  // following unit (or the subject's size at its end). Throws Utf8Error on a malformed character whose code
  // point the judgement needs.
  bool mayBeginAt(size_t start, size_t* next) const;

 private:
  friend class PatternBacktracker<Utf8PatternMatcher, Utf8PatternItem>;

  bool single(const char* s, const Utf8PatternItem* p, const char** next) const;
  bool singleDecoded(const char* s, const Utf8PatternItem* p, const char** next) const;
  const char* longestRun(const char* s, const Utf8PatternItem* p) const;
  const char* unitBefore(const char* at) const;
  bool matchFrontier(const char* s, const Utf8PatternItem* p) const;
  uint32_t decodeAt(const char* s, const char** next) const;
  uint32_t codePointOrZero(const char* at) const;
  void passOver(const Utf8PatternItem* p) const;
  std::string_view subject() const { return {subjectStart_, static_cast<size_t>(subjectEnd_ - subjectStart_)}; }

  const Utf8PatternProgram& program_;
};
