// Lua's pattern matching over bytes: the backtracking core of pattern_backtrack.h, a matcher without recursion
// for programs of single-byte items, and the searches. Reads past the end of the subject see a zero byte, as
// Lua's zero-terminated strings do, so a frontier at the end of a sub-range sees that end.
#include "text/pattern_matcher.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "text/pattern_backtrack.h"

namespace {

constexpr size_t kOneOffPatternMemory = 4096;  // compiled items of a one-off pattern, on the stack

int byteAt(const char* p) { return static_cast<unsigned char>(*p); }

bool singleAt(const char* s, const char* subjectEnd, const PatternItem* p) {
  return s < subjectEnd && p->set.has(static_cast<unsigned char>(*s));
}

// Counts no work.
struct Unmetered {
  void take(uint64_t) const {}
};

// Counts work on a PatternWorkMeter.
struct Metered {
  PatternWorkMeter* meter;
  void take(uint64_t work) const { meter->take(work); }
};

// The backtracking core (pattern_backtrack.h) over bytes, counting its work on `Meter`. Reads past the end of
// the subject see a zero byte.
template <typename Meter>
class ByteMatcher : public PatternBacktracker<ByteMatcher<Meter>, PatternItem> {
  using Base = PatternBacktracker<ByteMatcher<Meter>, PatternItem>;
  using Base::subjectEnd_;
  using Base::subjectStart_;

 public:
  ByteMatcher(std::string_view subject, Meter meter)
      : Base(subject.data(), subject.data() + subject.size()), meter_(meter) {}

  void collectCaptures(PatternCaptures* captures) const;

  bool single(const char* s, const PatternItem* p, const char** next) const {
    *next = s + 1;
    return singleAt(s, subjectEnd_, p);
  }
  const char* longestRun(const char* s, const PatternItem* p) const {
    if (p->anyByte) return s < subjectEnd_ ? subjectEnd_ : s;
    while (singleAt(s, subjectEnd_, p)) ++s;
    return s;
  }
  const char* unitBefore(const char* at) const { return at - 1; }
  uint32_t decodeAt(const char* s, const char** next) const {
    *next = s + 1;
    return static_cast<unsigned char>(*s);
  }
  bool matchFrontier(const char* s, const PatternItem* p) const {
    const int previous = s == subjectStart_ ? 0 : byteAt(s - 1);
    const int current = s < subjectEnd_ ? byteAt(s) : 0;
    return !p->set.has(static_cast<unsigned char>(previous)) && p->set.has(static_cast<unsigned char>(current));
  }
  void passOver(const PatternItem*) const {}
  void take(uint64_t work) const { meter_.take(work); }

 private:
  Meter meter_;
};

template <typename Meter>
void ByteMatcher<Meter>::collectCaptures(PatternCaptures* captures) const {
  for (int index = 0; index < this->level_; ++index) {
    const typename Base::Capture& capture = this->captures_[index];
    if (capture.length == kCaptureUnfinished) throw PatternError(PatternErrorKind::UnfinishedCapture);
    if (captures == nullptr) continue;
    if (capture.length == kCapturePosition) {
      captures->positions[captures->positionCount++] = static_cast<uint64_t>(capture.start - subjectStart_);
    } else {
      captures->spans[captures->spanCount++] = {capture.start, static_cast<uint64_t>(capture.length)};
    }
  }
}

struct SimpleChoice {
  const PatternItem* item;  // a quantified item
  const char* base;         // where its run begins
  ptrdiff_t count;          // the bytes it takes in the choice being tried
};

// Moves a quantified item to its next choice (a greedy run one byte shorter, a lazy one longer, an optional
// byte dropped), passing over choices at which the next item needs a byte that is not there; false when no
// choice is left.
template <typename Meter>
bool nextChoice(SimpleChoice& choice, const char* subjectEnd, const Meter& meter) {
  const PatternItem* item = choice.item;
  const PatternItem* after = item + 1;
  const bool afterNeedsByte = after->op == PatternOp::Single && (after->quantifier == 0 || after->quantifier == '+');
  if (item->quantifier == '-') {
    while (singleAt(choice.base + choice.count, subjectEnd, item)) {
      meter.take(1);
      ++choice.count;
      if (!afterNeedsByte || singleAt(choice.base + choice.count, subjectEnd, after)) return true;
    }
    return false;
  }
  const ptrdiff_t least = item->quantifier == '+' ? 1 : 0;
  while (choice.count > least) {
    meter.take(1);
    --choice.count;
    if (!afterNeedsByte || singleAt(choice.base + choice.count, subjectEnd, after)) return true;
  }
  return false;
}

// A simple program (single-byte items) matched from `s` without recursion: the same depth-first search as the
// matcher's, the choices of its quantified items kept on a stack (a greedy run shrinks, a lazy one grows, an
// optional byte is dropped); the match end or null.
template <typename Meter>
const char* matchSimple(const char* s, const PatternItem* p, const char* subjectEnd, const Meter& meter) {
  SimpleChoice choices[kSimplePatternChoices];
  int depth = 0;
  for (;;) {
    // forward, taking the first choice of every quantified item
    bool failed = false;
    while (!failed) {
      meter.take(1);
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
            meter.take(static_cast<uint64_t>(count));
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
      if (nextChoice(choices[depth - 1], subjectEnd, meter)) break;
      --depth;
    }
    s = choices[depth - 1].base + choices[depth - 1].count;
    p = choices[depth - 1].item + 1;
  }
}

// One attempt of `program` at `s`: the match end or null.
template <typename Meter>
const char* attemptAt(ByteMatcher<Meter>& matcher, const PatternProgram& program, const char* s, const char* subjectEnd,
                      const Meter& meter) {
  if (program.simple()) return matchSimple(s, program.items(), subjectEnd, meter);
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
    "invalid UTF-8 code",
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
  return matchWith(subject, start, end, captures, Unmetered{});
}

bool MatchPattern::matchAt(std::string_view subject, size_t start, size_t* end, PatternCaptures* captures,
                           PatternWorkMeter& meter) const {
  return matchWith(subject, start, end, captures, Metered{&meter});
}

template <typename Meter>
bool MatchPattern::matchWith(std::string_view subject, size_t start, size_t* end, PatternCaptures* captures,
                             const Meter& meter) const {
  if (captures != nullptr) captures->spanCount = captures->positionCount = 0;
  if (start > subject.size() || !mayMatchAt(subject, start)) return false;
  const char* subjectEnd = subject.data() + subject.size();
  if (program_.simple()) {  // no captures to collect
    const char* matchEnd = matchSimple(subject.data() + start, program_.items(), subjectEnd, meter);
    if (matchEnd != nullptr) *end = static_cast<size_t>(matchEnd - subject.data());
    return matchEnd != nullptr;
  }
  ByteMatcher<Meter> matcher(subject, meter);
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
  return findWith(subject, start, matchStart, matchEnd, captures, Unmetered{});
}

bool SearchPattern::findFrom(std::string_view subject, size_t start, size_t* matchStart, size_t* matchEnd,
                             PatternCaptures* captures, PatternWorkMeter& meter) const {
  return findWith(subject, start, matchStart, matchEnd, captures, Metered{&meter});
}

template <typename Meter>
bool SearchPattern::findWith(std::string_view subject, size_t start, size_t* matchStart, size_t* matchEnd,
                             PatternCaptures* captures, const Meter& meter) const {
  if (captures != nullptr) captures->spanCount = captures->positionCount = 0;
  if (start > subject.size()) return false;
  if (plain_) {
    meter.take(subject.size() - start);
    if (!findPlain(subject, literal_, start, matchStart)) return false;
    *matchEnd = *matchStart + literal_.size();
    return true;
  }
  if (endBound_ && subject.size() - start > *endBound_) start = subject.size() - *endBound_;
  ByteMatcher<Meter> matcher(subject, meter);
  for (size_t position = start;; ++position) {
    if (!anchored_) {
      const size_t next = nextPossibleStart(body_, subject, position);
      meter.take(std::min(next, subject.size()) - position);  // the bytes passed over are read as well
      position = next;
    }
    if (position > subject.size()) return false;
    meter.take(1);
    if (mayBeginAt(body_, subject, position)) {
      const char* end = attemptAt(matcher, body_, subject.data() + position, subject.data() + subject.size(), meter);
      if (end != nullptr) {
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
