// A backtracking matcher with Lua's pattern semantics over compiled items. Reads past the end of the subject
// see a zero byte, as Lua's zero-terminated strings do, so a frontier at the end of a sub-range sees that end.
// The recursion structure (which items nest a matcher call) is what the 200-call budget counts, so it follows
// the language's documented behaviour for "pattern too complex" exactly; an attempt that is skipped because it
// would fail on its first byte is one that could neither raise an error nor use up the budget.
#include "text/pattern_matcher.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr ptrdiff_t kCaptureUnfinished = -1;
constexpr ptrdiff_t kCapturePosition = -2;
constexpr size_t kOneOffPatternMemory = 4096;  // compiled items of a one-off pattern, on the stack

int byteAt(const char* p) { return static_cast<unsigned char>(*p); }

class Matcher {
 public:
  explicit Matcher(std::string_view subject)
      : subjectStart_(subject.data()), subjectEnd_(subject.data() + subject.size()) {}

  // One attempt from `s` with a fresh state (the outermost matcher call already counted); the match end or null.
  const char* attempt(const char* s, const PatternItem* items) {
    level_ = 0;
    budget_ = kPatternRecursionBudget - 1;
    return matchItems(s, items);
  }

  void collectCaptures(PatternCaptures* captures) const;

 private:
  struct Capture {
    const char* start;
    ptrdiff_t length;
  };

  bool single(const char* s, const PatternItem* p) const {
    return s < subjectEnd_ && p->set.has(static_cast<unsigned char>(*s));
  }
  // True when matching from `s` at item p certainly fails at once: p needs a byte that is not there.
  bool failsAtOnce(const char* s, const PatternItem* p) const {
    return p->op == PatternOp::Single && (p->quantifier == 0 || p->quantifier == '+') && !single(s, p);
  }
  // The budget check of a nested call that is about to be made (or skipped because it fails at once).
  void checkBudget() const {
    if (budget_ == 0) throw PatternError(PatternErrorKind::TooComplex);
  }

  const char* match(const char* s, const PatternItem* p) {
    if (budget_-- == 0) throw PatternError(PatternErrorKind::TooComplex);
    const char* result = matchItems(s, p);
    ++budget_;
    return result;
  }
  const char* matchItems(const char* s, const PatternItem* p);
  const char* matchQuantified(const char* s, const PatternItem* p, const PatternItem** next);
  const char* matchBalance(const char* s, const PatternItem* p) const;
  const char* maxExpand(const char* s, const PatternItem* p);
  const char* minExpand(const char* s, const PatternItem* p);
  const char* startCapture(const char* s, const PatternItem* p, ptrdiff_t what);
  const char* endCapture(const char* s, const PatternItem* p);
  const char* matchBackReference(const char* s, int digit) const;
  int captureToClose() const;

  const char* subjectStart_;
  const char* subjectEnd_;
  int level_ = 0;
  int budget_ = kPatternRecursionBudget;
  Capture captures_[kPatternMaxCaptures];
};

// Walks the items from p; items that need backtracking nest a call, the others loop here.
const char* Matcher::matchItems(const char* s, const PatternItem* p) {
  for (;;) {
    switch (p->op) {
      case PatternOp::End:
        return s;
      case PatternOp::Single:
        if (p->quantifier == 0) {
          if (!single(s, p)) return nullptr;
          ++s;
          ++p;
          continue;
        }
        s = matchQuantified(s, p, &p);
        if (p == nullptr) return s;
        continue;
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
      case PatternOp::Frontier: {
        const int previous = s == subjectStart_ ? 0 : byteAt(s - 1);
        const int current = s < subjectEnd_ ? byteAt(s) : 0;
        if (p->set.has(static_cast<unsigned char>(previous)) || !p->set.has(static_cast<unsigned char>(current))) {
          return nullptr;
        }
        ++p;
        continue;
      }
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

// A single-byte item with a quantifier. Returns the final result with *next set to null, or the subject
// position from which the caller's loop goes on at *next.
const char* Matcher::matchQuantified(const char* s, const PatternItem* p, const PatternItem** next) {
  const PatternItem* after = p + 1;
  *next = nullptr;
  if (!single(s, p)) {
    if (p->quantifier == '+') return nullptr;
    *next = after;  // "*", "-" and "?" may match nothing
    return s;
  }
  switch (p->quantifier) {
    case '?': {
      checkBudget();
      if (!failsAtOnce(s + 1, after)) {
        if (const char* result = match(s + 1, after)) return result;
      }
      *next = after;
      return s;
    }
    case '+':
      return maxExpand(s + 1, p);
    case '*':
      return maxExpand(s, p);
    default:
      return minExpand(s, p);
  }
}

const char* Matcher::matchBalance(const char* s, const PatternItem* p) const {
  if (s >= subjectEnd_ || byteAt(s) != p->first) return nullptr;
  int depth = 1;
  while (++s < subjectEnd_) {
    if (byteAt(s) == p->second) {
      if (--depth == 0) return s + 1;
    } else if (byteAt(s) == p->first) {
      ++depth;
    }
  }
  return nullptr;
}

const char* Matcher::maxExpand(const char* s, const PatternItem* p) {
  ptrdiff_t count = 0;
  if (p->anyByte) {
    count = s < subjectEnd_ ? subjectEnd_ - s : 0;
  } else {
    while (single(s + count, p)) ++count;
  }
  const PatternItem* after = p + 1;
  checkBudget();
  if (after->op == PatternOp::End) return s + count;  // the longest run ends the match
  for (; count >= 0; --count) {
    if (failsAtOnce(s + count, after)) continue;
    if (const char* result = match(s + count, after)) return result;
  }
  return nullptr;
}

const char* Matcher::minExpand(const char* s, const PatternItem* p) {
  const PatternItem* after = p + 1;
  checkBudget();
  for (;;) {
    if (!failsAtOnce(s, after)) {
      if (const char* result = match(s, after)) return result;
    }
    if (!single(s, p)) return nullptr;
    ++s;
  }
}

const char* Matcher::startCapture(const char* s, const PatternItem* p, ptrdiff_t what) {
  if (level_ >= kPatternMaxCaptures) throw PatternError(PatternErrorKind::TooManyCaptures);
  captures_[level_] = {s, what};
  ++level_;
  const char* result = match(s, p);
  if (result == nullptr) --level_;
  return result;
}

const char* Matcher::endCapture(const char* s, const PatternItem* p) {
  const int index = captureToClose();
  captures_[index].length = s - captures_[index].start;
  const char* result = match(s, p);
  if (result == nullptr) captures_[index].length = kCaptureUnfinished;
  return result;
}

int Matcher::captureToClose() const {
  for (int index = level_ - 1; index >= 0; --index) {
    if (captures_[index].length == kCaptureUnfinished) return index;
  }
  throw PatternError(PatternErrorKind::InvalidPatternCapture);
}

const char* Matcher::matchBackReference(const char* s, int digit) const {
  const int index = digit - '1';
  if (index < 0 || index >= level_ || captures_[index].length == kCaptureUnfinished) {
    throw PatternError(PatternErrorKind::InvalidCaptureIndex, index + 1);
  }
  const ptrdiff_t length = captures_[index].length;
  if (length < 0) return nullptr;  // a position capture never matches as text
  if (subjectEnd_ - s < length || std::memcmp(captures_[index].start, s, static_cast<size_t>(length)) != 0) {
    return nullptr;
  }
  return s + length;
}

void Matcher::collectCaptures(PatternCaptures* captures) const {
  for (int index = 0; index < level_; ++index) {
    const Capture& capture = captures_[index];
    if (capture.length == kCaptureUnfinished) throw PatternError(PatternErrorKind::UnfinishedCapture);
    if (captures == nullptr) continue;
    if (capture.length == kCapturePosition) {
      captures->positions[captures->positionCount++] = static_cast<uint64_t>(capture.start - subjectStart_);
    } else {
      captures->spans[captures->spanCount++] = {capture.start, static_cast<uint64_t>(capture.length)};
    }
  }
}

bool singleAt(const char* s, const char* subjectEnd, const PatternItem* p) {
  return s < subjectEnd && p->set.has(static_cast<unsigned char>(*s));
}

struct SimpleChoice {
  const PatternItem* item;  // a quantified item
  const char* base;         // where its run begins
  ptrdiff_t count;          // the bytes it takes in the choice being tried
};

// Moves a quantified item to its next choice (a greedy run one byte shorter, a lazy one longer, an optional
// byte dropped), passing over choices at which the next item needs a byte that is not there; false when no
// choice is left.
bool nextChoice(SimpleChoice& choice, const char* subjectEnd) {
  const PatternItem* item = choice.item;
  const PatternItem* after = item + 1;
  const bool afterNeedsByte = after->op == PatternOp::Single && (after->quantifier == 0 || after->quantifier == '+');
  if (item->quantifier == '-') {
    while (singleAt(choice.base + choice.count, subjectEnd, item)) {
      ++choice.count;
      if (!afterNeedsByte || singleAt(choice.base + choice.count, subjectEnd, after)) return true;
    }
    return false;
  }
  const ptrdiff_t least = item->quantifier == '+' ? 1 : 0;
  while (choice.count > least) {
    --choice.count;
    if (!afterNeedsByte || singleAt(choice.base + choice.count, subjectEnd, after)) return true;
  }
  return false;
}

// A simple program (single-byte items) matched from `s` without recursion: the same depth-first search as the
// matcher's, the choices of its quantified items kept on a stack (a greedy run shrinks, a lazy one grows, an
// optional byte is dropped); the match end or null.
const char* matchSimple(const char* s, const PatternItem* p, const char* subjectEnd) {
  SimpleChoice choices[kSimplePatternChoices];
  int depth = 0;
  for (;;) {
    // forward, taking the first choice of every quantified item
    bool failed = false;
    while (!failed) {
      if (p->op == PatternOp::End) return s;
      if (p->op == PatternOp::EndAnchor) {
        if (s == subjectEnd) return s;
        break;
      }
      ptrdiff_t count = 0;
      switch (p->quantifier) {
        case 0:
          failed = !singleAt(s, subjectEnd, p);
          count = 1;
          break;
        case '?':
          count = singleAt(s, subjectEnd, p) ? 1 : 0;
          choices[depth++] = {p, s, count};
          break;
        case '-':
          choices[depth++] = {p, s, 0};
          break;
        default:  // "*" and "+": the longest run first
          if (p->anyByte) {
            count = subjectEnd - s;
          } else {
            while (singleAt(s + count, subjectEnd, p)) ++count;
          }
          failed = p->quantifier == '+' && count == 0;
          if (!failed && p[1].op == PatternOp::End) return s + count;  // the longest run ends the match
          if (!failed) choices[depth++] = {p, s, count};
          break;
      }
      s += count;
      ++p;
    }
    // back to the innermost quantified item with a choice left whose next item does not fail at once
    for (;;) {
      if (depth == 0) return nullptr;
      if (nextChoice(choices[depth - 1], subjectEnd)) break;
      --depth;
    }
    s = choices[depth - 1].base + choices[depth - 1].count;
    p = choices[depth - 1].item + 1;
  }
}

// One attempt of `program` at `s`: the match end or null.
const char* attemptAt(Matcher& matcher, const PatternProgram& program, const char* s, const char* subjectEnd) {
  if (program.simple()) return matchSimple(s, program.items(), subjectEnd);
  return matcher.attempt(s, program.items());
}

// Whether an attempt at `position` could match at all, judged by its first byte.
bool mayBeginAt(const PatternProgram& program, std::string_view subject, size_t position) {
  const std::optional<PatternByteSet>& lead = program.leadBytes();
  return !lead || (position < subject.size() && lead->has(static_cast<unsigned char>(subject[position])));
}

// The first position from `position` at which an attempt could match; subject.size() + 1 when there is none.
size_t nextPossibleStart(const PatternProgram& program, std::string_view subject, size_t position) {
  const std::optional<PatternByteSet>& lead = program.leadBytes();
  if (!lead) return position;
  if (program.leadByte() >= 0) {
    const void* hit = std::memchr(subject.data() + position, program.leadByte(), subject.size() - position);
    return hit == nullptr ? subject.size() + 1 : static_cast<size_t>(static_cast<const char*>(hit) - subject.data());
  }
  while (position < subject.size() && !lead->has(static_cast<unsigned char>(subject[position]))) ++position;
  return position < subject.size() ? position : subject.size() + 1;
}

bool findPlain(std::string_view subject, std::string_view needle, size_t start, size_t* matchStart) {
  if (needle.empty()) {
    *matchStart = start;
    return true;
  }
  if (needle.size() > subject.size() - start) return false;
  const char* last = subject.data() + (subject.size() - needle.size());
  const char* at = subject.data() + start;
  while (at <= last) {
    const void* hit = std::memchr(at, needle[0], static_cast<size_t>(last - at) + 1);
    if (hit == nullptr) return false;
    at = static_cast<const char*>(hit);
    if (std::memcmp(at + 1, needle.data() + 1, needle.size() - 1) == 0) {
      *matchStart = static_cast<size_t>(at - subject.data());
      return true;
    }
    ++at;
  }
  return false;
}

bool isPlainSearch(std::string_view pattern, bool allowPlain) { return allowPlain && patternHasNoSpecials(pattern); }

bool isAnchoredSearch(std::string_view pattern, bool plain) { return !plain && !pattern.empty() && pattern[0] == '^'; }

std::string_view searchBody(std::string_view pattern, bool allowPlain) {
  const bool plain = isPlainSearch(pattern, allowPlain);
  if (plain) return {};
  return isAnchoredSearch(pattern, plain) ? pattern.substr(1) : pattern;
}

const char* const kMessages[] = {
    "pattern too complex",
    "malformed pattern (ends with '%')",
    "malformed pattern (missing ']')",
    "malformed pattern (missing arguments to '%b')",
    "missing '[' after '%f' in pattern",
    "invalid capture index %%%d",
    "invalid pattern capture",
    "too many captures",
    "unfinished capture",
};

}  // namespace

PatternError::PatternError(PatternErrorKind kind, int captureIndex) : kind_(kind) {
  const char* text = kMessages[static_cast<int>(kind)];
  if (kind == PatternErrorKind::InvalidCaptureIndex) {
    std::snprintf(message_, sizeof message_, text, captureIndex);
  } else {
    std::snprintf(message_, sizeof message_, "%s", text);
  }
}

bool MatchPattern::matchAt(std::string_view subject, size_t start, size_t* end, PatternCaptures* captures) const {
  if (captures != nullptr) captures->spanCount = captures->positionCount = 0;
  if (start > subject.size() || !mayMatchAt(subject, start)) return false;
  const char* subjectEnd = subject.data() + subject.size();
  if (program_.simple()) {  // no captures to collect
    const char* matchEnd = matchSimple(subject.data() + start, program_.items(), subjectEnd);
    if (matchEnd != nullptr) *end = static_cast<size_t>(matchEnd - subject.data());
    return matchEnd != nullptr;
  }
  Matcher matcher(subject);
  const char* matchEnd = matcher.attempt(subject.data() + start, program_.items());
  if (matchEnd == nullptr) return false;
  matcher.collectCaptures(captures);
  *end = static_cast<size_t>(matchEnd - subject.data());
  return true;
}

SearchPattern::SearchPattern(std::string_view pattern, bool allowPlain, std::pmr::memory_resource* memory)
    : plain_(isPlainSearch(pattern, allowPlain)),
      anchored_(isAnchoredSearch(pattern, plain_)),
      literal_(plain_ ? pattern : std::string_view(), memory),
      endBound_(plain_ || anchored_ ? std::nullopt : endAnchoredMatchBound(pattern)),
      body_(searchBody(pattern, allowPlain), memory) {}

bool SearchPattern::findFrom(std::string_view subject, size_t start, size_t* matchStart, size_t* matchEnd,
                             PatternCaptures* captures) const {
  if (captures != nullptr) captures->spanCount = captures->positionCount = 0;
  if (start > subject.size()) return false;
  if (plain_) {
    if (!findPlain(subject, literal_, start, matchStart)) return false;
    *matchEnd = *matchStart + literal_.size();
    return true;
  }
  if (endBound_ && subject.size() - start > *endBound_) start = subject.size() - *endBound_;
  Matcher matcher(subject);
  for (size_t position = start;; ++position) {
    if (!anchored_) position = nextPossibleStart(body_, subject, position);
    if (position > subject.size()) return false;
    if (mayBeginAt(body_, subject, position)) {
      if (const char* end = attemptAt(matcher, body_, subject.data() + position, subject.data() + subject.size())) {
        matcher.collectCaptures(captures);
        *matchStart = position;
        *matchEnd = static_cast<size_t>(end - subject.data());
        return true;
      }
    }
    if (anchored_ || position >= subject.size()) return false;
  }
}

bool patternMatchAt(std::string_view subject, std::string_view pattern, size_t start, size_t* end,
                    PatternCaptures* captures) {
  std::array<std::byte, kOneOffPatternMemory> buffer;
  std::pmr::monotonic_buffer_resource memory(buffer.data(), buffer.size());
  return MatchPattern(pattern, &memory).matchAt(subject, start, end, captures);
}

bool patternFindFrom(std::string_view subject, std::string_view pattern, size_t start, bool allowPlain,
                     size_t* matchStart, size_t* matchEnd, PatternCaptures* captures) {
  std::array<std::byte, kOneOffPatternMemory> buffer;
  std::pmr::monotonic_buffer_resource memory(buffer.data(), buffer.size());
  return SearchPattern(pattern, allowPlain, &memory).findFrom(subject, start, matchStart, matchEnd, captures);
}
