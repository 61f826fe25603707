// The backtracking matcher over code-point items. It has the structure of the byte matcher
// (pattern_matcher.cpp): the items that nest a matcher call are the ones that nest a call in Lua's matcher, so
// the 200-call budget runs out exactly where Lua's does, and an attempt skipped because it fails on its first
// character is one that could neither raise an error nor use up the budget. Backtracking steps back one
// character at a time over text this matcher has already decoded, so the steps always land on lead bytes.
#include <cstring>

#include "text/utf8_codec.h"
#include "text/utf8_patterns.h"

Utf8PatternMatcher::Utf8PatternMatcher(const Utf8PatternProgram& program, std::string_view subject)
    : program_(program), subjectStart_(subject.data()), subjectEnd_(subject.data() + subject.size()) {}

uint32_t Utf8PatternMatcher::decodeAt(const char* s, const char** next) const {
  uint32_t c = 0;
  *next = s + decodeOrThrow(s, subjectEnd_, &c);
  return c;
}

bool Utf8PatternMatcher::single(const char* s, const Utf8PatternItem* p, const char** next) const {
  if (s >= subjectEnd_) return false;
  const auto byte = static_cast<unsigned char>(*s);
  if (byte < 0x80) {
    *next = s + 1;
    return p->set.hasAscii(byte);
  }
  return program_.contains(p->set, decodeAt(s, next));
}

// True when matching from `s` at item p certainly fails at once: p needs a character that is not there.
bool Utf8PatternMatcher::failsAtOnce(const char* s, const Utf8PatternItem* p) const {
  const char* next = nullptr;
  return p->op == PatternOp::Single && (p->quantifier == 0 || p->quantifier == '+') && !single(s, p, &next);
}

const char* Utf8PatternMatcher::match(const char* s, const Utf8PatternItem* p) {
  if (budget_-- == 0) throw PatternError(PatternErrorKind::TooComplex);
  const char* result = matchItems(s, p);
  ++budget_;
  return result;
}

// Walks the items from p; items that need backtracking nest a call, the others loop here.
const char* Utf8PatternMatcher::matchItems(const char* s, const Utf8PatternItem* p) {
  for (;;) {
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
        if (!single(s, p, &next)) return nullptr;
        s = next;
        ++p;
        continue;
      }
      case PatternOp::OpenCapture:
        return startCapture(s, p + 1, kUtf8CaptureUnfinished);
      case PatternOp::PositionCapture:
        return startCapture(s, p + 1, kUtf8CapturePosition);
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
        if (!matchFrontier(s, p)) return nullptr;
        ++p;
        continue;
      case PatternOp::BackReference:
        s = matchBackReference(s, p->first);
        if (s == nullptr) return nullptr;
        ++p;
        continue;
      case PatternOp::Malformed:
        throw PatternError(p->error);
    }
  }
}

// A single-character item with a quantifier. Returns the final result with *next set to null, or the subject
// position from which the caller's loop goes on at *next.
const char* Utf8PatternMatcher::matchQuantified(const char* s, const Utf8PatternItem* p, const Utf8PatternItem** next) {
  const Utf8PatternItem* after = p + 1;
  *next = nullptr;
  const char* second = nullptr;
  if (!single(s, p, &second)) {
    if (p->quantifier == '+') return nullptr;
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

const char* Utf8PatternMatcher::matchBalance(const char* s, const Utf8PatternItem* p) const {
  if (s >= subjectEnd_) return nullptr;
  const char* at = nullptr;
  if (decodeAt(s, &at) != p->first) return nullptr;
  int depth = 1;
  while (at < subjectEnd_) {
    const uint32_t c = decodeAt(at, &at);
    if (c == p->second) {
      if (--depth == 0) return at;
    } else if (c == p->first) {
      ++depth;
    }
  }
  return nullptr;
}

// The character before the subject and after its end reads as U+0000, as Lua's terminating zero does.
bool Utf8PatternMatcher::matchFrontier(const char* s, const Utf8PatternItem* p) const {
  const std::string_view subject(subjectStart_, static_cast<size_t>(subjectEnd_ - subjectStart_));
  uint32_t previous = 0;
  if (s != subjectStart_) {
    const char* unused = nullptr;
    previous =
        decodeAt(subjectStart_ + previousCharacterStart(subject, static_cast<size_t>(s - subjectStart_)), &unused);
  }
  const char* unused = nullptr;
  const uint32_t current = s < subjectEnd_ ? decodeAt(s, &unused) : 0;
  return !program_.contains(p->set, previous) && program_.contains(p->set, current);
}

const char* Utf8PatternMatcher::maxExpand(const char* s, const Utf8PatternItem* p) {
  const char* run = s;
  for (const char* next = nullptr; single(run, p, &next);) run = next;
  const Utf8PatternItem* after = p + 1;
  checkBudget();
  if (after->op == PatternOp::End) return run;  // the longest run ends the match
  for (const char* at = run;;) {
    if (!failsAtOnce(at, after)) {
      if (const char* result = match(at, after)) return result;
    }
    if (at == s) return nullptr;
    do {
      --at;
    } while (at > s && isContinuationByte(*at));
  }
}

const char* Utf8PatternMatcher::minExpand(const char* s, const Utf8PatternItem* p) {
  const Utf8PatternItem* after = p + 1;
  checkBudget();
  for (;;) {
    if (!failsAtOnce(s, after)) {
      if (const char* result = match(s, after)) return result;
    }
    const char* next = nullptr;
    if (!single(s, p, &next)) return nullptr;
    s = next;
  }
}

const char* Utf8PatternMatcher::startCapture(const char* s, const Utf8PatternItem* p, ptrdiff_t what) {
  if (level_ >= kPatternMaxCaptures) throw PatternError(PatternErrorKind::TooManyCaptures);
  captures_[level_] = {s, what};
  ++level_;
  const char* result = match(s, p);
  if (result == nullptr) --level_;
  return result;
}

const char* Utf8PatternMatcher::endCapture(const char* s, const Utf8PatternItem* p) {
  int index = level_ - 1;
  while (index >= 0 && captures_[index].length != kUtf8CaptureUnfinished) --index;
  if (index < 0) throw PatternError(PatternErrorKind::InvalidPatternCapture);
  captures_[index].length = s - captures_[index].start;
  const char* result = match(s, p);
  if (result == nullptr) captures_[index].length = kUtf8CaptureUnfinished;
  return result;
}

const char* Utf8PatternMatcher::matchBackReference(const char* s, uint32_t digit) const {
  const int index = static_cast<int>(digit) - '1';
  if (index < 0 || index >= level_ || captures_[index].length == kUtf8CaptureUnfinished) {
    throw PatternError(PatternErrorKind::InvalidCaptureIndex, index + 1);
  }
  const ptrdiff_t length = captures_[index].length;
  if (length < 0) return nullptr;  // a position capture never matches as text
  if (subjectEnd_ - s < length || std::memcmp(captures_[index].start, s, static_cast<size_t>(length)) != 0) {
    return nullptr;
  }
  return s + length;
}

bool Utf8PatternMatcher::matchAt(size_t start, Utf8Match* result) {
  level_ = 0;
  budget_ = kPatternRecursionBudget - 1;  // the outermost call counts
  const char* end = matchItems(subjectStart_ + start, program_.items());
  if (end == nullptr) return false;
  result->end = static_cast<size_t>(end - subjectStart_);
  result->captureCount = level_;
  for (int index = 0; index < level_; ++index) {
    result->captures[index] = {static_cast<size_t>(captures_[index].start - subjectStart_), captures_[index].length};
  }
  return true;
}

bool Utf8PatternMatcher::mayBeginAt(size_t start, size_t* next) const {
  const char* s = subjectStart_ + start;
  if (s == subjectEnd_) {
    *next = start;
    return program_.leadSet() == nullptr;
  }
  const auto byte = static_cast<unsigned char>(*s);
  const Utf8CharSet* lead = program_.leadSet();
  if (byte < 0x80) {
    *next = start + 1;
    return lead == nullptr || lead->hasAscii(byte);
  }
  const char* after = nullptr;
  const uint32_t c = decodeAt(s, &after);
  *next = static_cast<size_t>(after - subjectStart_);
  return lead == nullptr || program_.contains(*lead, c);
}
