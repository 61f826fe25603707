// The walk over a Lua pattern in the order Lua's matcher reads it (captures, the end anchor, %b, %f,
// back-references, then single items with their quantifiers), shared by the byte compiler and the code-point
// compiler, so both meet the same items and malformed parts at the same places. A pattern is a sequence of
// units (bytes or code points); reads past its end see 0, as Lua's terminating zero does.
//
// A pattern decoded into code points may hold stray units: bytes that decode to nothing, kept as units of
// their own. lua-utf8 decodes a pattern only as its matcher reaches each part, so a stray unit is malformed
// where an item, an escaped character or a %b argument starts with it, and a set raises only when a match tests
// its members (the code-point compiler's concern). That matcher steps over the stray continuation bytes right
// after an escaped character, and those right after a "?" (decoding them only when the optional item does not
// match), so the walk passes over those.
#pragma once

#include <cstddef>

#include "text/pattern_program.h"

// The units a byte pattern holds are all bytes.
struct NoStrayUnits {
  template <typename Unit>
  static bool stray(Unit) {
    return false;
  }
  template <typename Unit>
  static bool strayContinuation(Unit) {
    return false;
  }
};

// Walks `pattern` and hands its parts to the builder, in pattern order:
//   item(op)                                  a capture, its end, a position capture, the end anchor, End last
//   balance(first, second)                    "%b" and its two units
//   frontier(setStart, setLast)               "%f" and its set: "[" at setStart to its "]" at setLast
//   backReference(digit)                      "%" and a digit
//   single(itemStart, classLast, quantifier)  one single-unit item; quantifier "*", "+", "-", "?" or 0
//   malformed(kind)                           a part Lua would refuse, where the walk stops (no End then)
// Strays says which units are stray (stray(unit)), and which of those are continuation bytes after a character
// (strayContinuation(unit)).
template <typename Unit, typename Builder, typename Strays = NoStrayUnits>
class PatternWalk {
 public:
  PatternWalk(const Unit* pattern, size_t size, Builder& builder) : pattern_(pattern), end_(size), builder_(builder) {}

  void run() {
    while (p_ != end_ && !failed_) {
      if (Strays::stray(pattern_[p_])) {
        malformed(PatternErrorKind::InvalidUtf8Code);
        continue;
      }
      switch (pattern_[p_]) {
        case '(':
          builder_.item(at(p_ + 1) == ')' ? PatternOp::PositionCapture : PatternOp::OpenCapture);
          p_ += at(p_ + 1) == ')' ? 2 : 1;
          continue;
        case ')':
          builder_.item(PatternOp::CloseCapture);
          ++p_;
          continue;
        case '$':
          if (p_ + 1 == end_) {
            builder_.item(PatternOp::EndAnchor);
            ++p_;
            continue;
          }
          break;
        case kEscape:
          if (escapeItem()) continue;
          break;
        default:
          break;
      }
      singleItem();
    }
    if (!failed_) builder_.item(PatternOp::End);
  }

 private:
  static constexpr Unit kEscape = '%';

  Unit at(size_t p) const { return p < end_ ? pattern_[p] : 0; }

  void malformed(PatternErrorKind kind) {
    builder_.malformed(kind);
    failed_ = true;
  }

  // The end of the single item at p; false (after reporting it malformed) when the pattern ends inside it.
  bool classEnd(size_t p, size_t* itemEnd) {
    const Unit c = pattern_[p++];
    if (c == kEscape) {
      if (p == end_) {
        malformed(PatternErrorKind::EndsWithEscape);
        return false;
      }
      *itemEnd = Strays::strayContinuation(at(p + 1)) ? p + 2 : p + 1;
      return true;
    }
    if (c == '[') {
      if (at(p) == '^') ++p;
      do {  // the first unit always belongs to the set, so "[]]" holds "]"
        if (p == end_) {
          malformed(PatternErrorKind::MissingBracket);
          return false;
        }
        if (pattern_[p++] == kEscape && p < end_) ++p;
      } while (at(p) != ']');
      *itemEnd = p + 1;
      return true;
    }
    *itemEnd = p;
    return true;
  }

  // "%b", "%f" and back-references; false when the escape is a single-unit class item instead.
  bool escapeItem() {
    const Unit next = at(p_ + 1);
    if (Strays::stray(next)) {
      malformed(PatternErrorKind::InvalidUtf8Code);
      return true;
    }
    if (next == 'b') {
      const bool twoArguments = end_ - (p_ + 2) >= 2;
      if (Strays::stray(at(p_ + 2)) || (twoArguments && Strays::stray(pattern_[p_ + 3]))) {
        malformed(PatternErrorKind::InvalidUtf8Code);  // the first argument is read before the second is looked for
      } else if (!twoArguments) {
        malformed(PatternErrorKind::MissingBalanceArguments);
      } else {
        builder_.balance(pattern_[p_ + 2], pattern_[p_ + 3]);
        p_ += 4;
      }
      return true;
    }
    if (next == 'f') {
      p_ += 2;
      size_t setEnd = 0;
      if (at(p_) != '[') {
        malformed(PatternErrorKind::MissingFrontierBracket);
      } else if (classEnd(p_, &setEnd)) {
        builder_.frontier(p_, setEnd - 1);
        p_ = setEnd;
      }
      return true;
    }
    if (next >= '0' && next <= '9') {
      builder_.backReference(next);
      p_ += 2;
      return true;
    }
    return false;
  }

  void singleItem() {
    size_t itemEnd = 0;
    if (!classEnd(p_, &itemEnd)) return;
    const Unit quantifier = at(itemEnd);
    const bool quantified = quantifier == '*' || quantifier == '+' || quantifier == '-' || quantifier == '?';
    builder_.single(p_, itemEnd - 1, quantified ? static_cast<char>(quantifier) : 0);
    p_ = quantified ? itemEnd + 1 : itemEnd;
    if (quantifier == '?' && Strays::strayContinuation(at(p_))) ++p_;
  }

  const Unit* pattern_;
  size_t p_ = 0;
  size_t end_;
  Builder& builder_;
  bool failed_ = false;
};

// The members of the set "[" at `start` to its "]" at `classLast`: onEscape(unit) for "%" and a unit,
// onRange(low, high) for a range and for a single unit. Returns whether the set is complemented ("[^").
template <typename Unit, typename OnEscape, typename OnRange>
bool forEachSetMember(const Unit* pattern, size_t start, size_t classLast, OnEscape onEscape, OnRange onRange) {
  const bool complement = pattern[start + 1] == '^';
  size_t p = complement ? start + 1 : start;
  while (++p < classLast) {
    if (pattern[p] == '%') {
      onEscape(pattern[++p]);
    } else if (pattern[p + 1] == '-' && p + 2 < classLast) {
      onRange(pattern[p], pattern[p + 2]);
      p += 2;
    } else {
      onRange(pattern[p], pattern[p]);
    }
  }
  return complement;
}
