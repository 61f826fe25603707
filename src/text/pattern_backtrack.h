// The backtracking core of Lua's matcher over compiled items, shared by the byte matcher and the code-point
// matcher. The recursion structure (which items nest a matcher call) is what the 200-call budget counts, so
// it follows the language's documented behaviour for "pattern too complex" exactly; an attempt that is skipped
// because it would fail on its first unit is one that could neither raise an error nor use up the budget.
//
// The matcher that derives from it (Units) supplies what depends on the subject's unit:
//   bool single(const char* s, const Item* p, const char** next) const  the unit at s is in p's set; *next
//                                                                        is then the unit after it
//   const char* longestRun(const char* s, const Item* p) const          the end of the run of p's units from s
//   const char* unitBefore(const char* at) const                         the start of the unit that ends at
//                                                                        `at` (inside a run already matched)
//   uint32_t decodeAt(const char* s, const char** next) const            the unit at s (< the subject's end);
//                                                                        *next is the unit after it
//   bool matchFrontier(const char* s, const Item* p) const               "%f"
//   void passOver(const Item* p) const                                   an optional item ("?") that does not
//                                                                        match is passed over; the code-point
//                                                                        matcher may raise there
//   void take(uint64_t work) const                                       (optional) counts the work of an
//                                                                        attempt: one per item passed and per
//                                                                        choice tried, one per unit of a run,
//                                                                        of a balance or of a repeated capture
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/pattern_matcher.h"
#include "text/pattern_program.h"

constexpr ptrdiff_t kCaptureUnfinished = -1;
constexpr ptrdiff_t kCapturePosition = -2;

template <typename Units, typename Item>
class PatternBacktracker {
 public:
  PatternBacktracker(const char* subjectStart, const char* subjectEnd)
      : subjectStart_(subjectStart), subjectEnd_(subjectEnd) {}

  // One attempt from `s` with a fresh state (the outermost matcher call already counted); the match end or null.
  const char* attempt(const char* s, const Item* items) {
    level_ = 0;
    budget_ = kPatternRecursionBudget - 1;
    return matchItems(s, items);
  }

 protected:
  struct Capture {
    const char* start;
    ptrdiff_t length;  // bytes, or kCaptureUnfinished, or kCapturePosition
  };

  const char* subjectStart_;
  const char* subjectEnd_;
  int level_ = 0;
  Capture captures_[kPatternMaxCaptures];

  void take(uint64_t) const {}

 private:
  const Units& units() const { return static_cast<const Units&>(*this); }

  // True when matching from `s` at item p certainly fails at once: p needs a unit that is not there.
  bool failsAtOnce(const char* s, const Item* p) const {
    const char* next = nullptr;
    return p->op == PatternOp::Single && (p->quantifier == 0 || p->quantifier == '+') && !units().single(s, p, &next);
  }

  // The budget check of a nested call that is about to be made (or skipped because it fails at once).
  void checkBudget() const {
    if (budget_ == 0) throw PatternError(PatternErrorKind::TooComplex);
  }

  const char* match(const char* s, const Item* p) {
    if (budget_-- == 0) throw PatternError(PatternErrorKind::TooComplex);
    const char* result = matchItems(s, p);
    ++budget_;
    return result;
  }

  // Walks the items from p; items that need backtracking nest a call, the others loop here.
  const char* matchItems(const char* s, const Item* p) {
    for (;;) {
      units().take(1);
      switch (p->op) {
        case PatternOp::End:
          return s;
        case PatternOp::Single: {
          if (p->quantifier != 0) {
            s = matchQuantified(s, p, &p);
            if (p == nullptr) return s;
            continue;
          }
          const char* next = nullptr;
          if (!units().single(s, p, &next)) return nullptr;
          s = next;
          ++p;
          continue;
        }
        case PatternOp::OpenCapture:
          return startCapture(s, p + 1, kCaptureUnfinished);
        case PatternOp::PositionCapture:
          return startCapture(s, p + 1, kCapturePosition);
        case PatternOp::CloseCapture:
          return endCapture(s, p + 1);
        case PatternOp::EndAnchor:
          return s == subjectEnd_ ? s : nullptr;
        case PatternOp::Balance:
          s = matchBalance(s, p);
          if (s == nullptr) return nullptr;
          ++p;
          continue;
        case PatternOp::Frontier:
          if (!units().matchFrontier(s, p)) return nullptr;
          ++p;
          continue;
        case PatternOp::BackReference:
          s = matchBackReference(s, static_cast<int>(p->first));
          if (s == nullptr) return nullptr;
          ++p;
          continue;
        case PatternOp::Malformed:
          throw PatternError(p->error);
      }
    }
  }

  // A single-unit item with a quantifier. Returns the final result with *next set to null, or the subject
  // position from which the caller's loop goes on at *next.
  const char* matchQuantified(const char* s, const Item* p, const Item** next) {
    const Item* after = p + 1;
    *next = nullptr;
    const char* second = nullptr;
    if (!units().single(s, p, &second)) {
      if (p->quantifier == '+') return nullptr;
      if (p->quantifier == '?') units().passOver(p);
      *next = after;  // "*", "-" and "?" may match nothing
      return s;
    }
    switch (p->quantifier) {
      case '?':
        checkBudget();
        if (!failsAtOnce(second, after)) {
          if (const char* result = match(second, after)) return result;
        }
        *next = after;
        return s;
      case '+':
        return maxExpand(second, p);
      case '*':
        return maxExpand(s, p);
      default:
        return minExpand(s, p);
    }
  }

  const char* maxExpand(const char* s, const Item* p) {
    const char* run = units().longestRun(s, p);
    const Item* after = p + 1;
    checkBudget();
    if (after->op == PatternOp::End) return run;  // the longest run ends the match
    units().take(static_cast<uint64_t>(run - s));
    for (const char* at = run;; at = units().unitBefore(at)) {
      units().take(1);
      if (!failsAtOnce(at, after)) {
        if (const char* result = match(at, after)) return result;
      }
      if (at == s) return nullptr;
    }
  }

  const char* minExpand(const char* s, const Item* p) {
    const Item* after = p + 1;
    checkBudget();
    for (;;) {
      units().take(1);
      if (!failsAtOnce(s, after)) {
        if (const char* result = match(s, after)) return result;
      }
      const char* next = nullptr;
      if (!units().single(s, p, &next)) return nullptr;
      s = next;
    }
  }

  const char* startCapture(const char* s, const Item* p, ptrdiff_t what) {
    if (level_ >= kPatternMaxCaptures) throw PatternError(PatternErrorKind::TooManyCaptures);
    captures_[level_] = {s, what};
    ++level_;
    const char* result = match(s, p);
    if (result == nullptr) --level_;
    return result;
  }

  const char* endCapture(const char* s, const Item* p) {
    int index = level_ - 1;
    while (index >= 0 && captures_[index].length != kCaptureUnfinished) --index;
    if (index < 0) throw PatternError(PatternErrorKind::InvalidPatternCapture);
    captures_[index].length = s - captures_[index].start;
    const char* result = match(s, p);
    if (result == nullptr) captures_[index].length = kCaptureUnfinished;
    return result;
  }

  // "%b": the end of the balanced text from s, or null.
  const char* matchBalance(const char* s, const Item* p) const {
    if (s >= subjectEnd_) return nullptr;
    const char* at = nullptr;
    if (units().decodeAt(s, &at) != p->first) return nullptr;
    int depth = 1;
    while (at < subjectEnd_) {
      const uint32_t c = units().decodeAt(at, &at);
      if (c == p->second) {
        if (--depth == 0) break;
      } else if (c == p->first) {
        ++depth;
      }
    }
    units().take(static_cast<uint64_t>(at - s));
    return depth == 0 ? at : nullptr;
  }

  const char* matchBackReference(const char* s, int digit) const {
    const int index = digit - '1';
    if (index < 0 || index >= level_ || captures_[index].length == kCaptureUnfinished) {
      throw PatternError(PatternErrorKind::InvalidCaptureIndex, index + 1);
    }
    const ptrdiff_t length = captures_[index].length;
    if (length < 0) return nullptr;  // a position capture never matches as text
    units().take(static_cast<uint64_t>(length));
    if (subjectEnd_ - s < length || std::memcmp(captures_[index].start, s, static_cast<size_t>(length)) != 0) {
      return nullptr;
    }
    return s + length;
  }

  int budget_ = kPatternRecursionBudget;
};
