// The backtracking core of pattern_backtrack.h over code points. A single-character item decodes the unit in
// front of it (a malformed one throws) and steps over the whole unit (utf8_codec.h); runs step back a unit at a
// time over units this matcher has already matched.
#include "text/utf8_codec.h"
#include "text/utf8_patterns.h"

Utf8PatternMatcher::Utf8PatternMatcher(const Utf8PatternProgram& program, std::string_view subject)
    : PatternBacktracker(subject.data(), subject.data() + subject.size()), program_(program) {}

uint32_t Utf8PatternMatcher::decodeAt(const char* s, const char** next) const {
  uint32_t c = 0;
  *next = s + decodeOrThrow(s, subjectEnd_, &c);
  return c;
}

bool Utf8PatternMatcher::single(const char* s, const Utf8PatternItem* p, const char** next) const {
  if (s >= subjectEnd_) return false;
  const auto byte = static_cast<unsigned char>(*s);
  if (byte < 0x80 && (s + 1 == subjectEnd_ || !isContinuationByte(s[1]))) {
    *next = s + 1;
    return p->set.hasAscii(byte) || (p->set.endsAtStray && program_.contains(p->set, byte));
  }
  return singleDecoded(s, p, next);
}

// single() on a unit that is more than one ASCII byte.
bool Utf8PatternMatcher::singleDecoded(const char* s, const Utf8PatternItem* p, const char** next) const {
  const char* unused = nullptr;
  const uint32_t c = decodeAt(s, &unused);
  *next = subjectStart_ + unitEnd(subject(), static_cast<size_t>(s - subjectStart_));
  return program_.contains(p->set, c);
}

// lua-utf8 reads the pattern on after an optional item that does not match from just after its "?", where it
// decodes the stray bytes that a match steps over.
void Utf8PatternMatcher::passOver(const Utf8PatternItem* p) const {
  if (p->straysAfter) throw PatternError(PatternErrorKind::InvalidUtf8Code);
}

const char* Utf8PatternMatcher::longestRun(const char* s, const Utf8PatternItem* p) const {
  for (const char* next = nullptr; single(s, p, &next);) s = next;
  return s;
}

const char* Utf8PatternMatcher::unitBefore(const char* at) const {
  do {
    --at;
  } while (isContinuationByte(*at));
  return at;
}

// The code point of the unit at `at`, or U+0000 where the subject ends or the unit does not decode.
uint32_t Utf8PatternMatcher::codePointOrZero(const char* at) const {
  uint32_t c = 0;
  return at < subjectEnd_ && decodeLenient(at, subjectEnd_, &c) != 0 ? c : 0;
}

// The character before the subject and after its end reads as U+0000, as Lua's terminating zero does; so does a
// neighbour that does not decode, as lua-utf8 reads it, rather than raising.
bool Utf8PatternMatcher::matchFrontier(const char* s, const Utf8PatternItem* p) const {
  const size_t at = static_cast<size_t>(s - subjectStart_);
  const uint32_t previous = at == 0 ? 0 : codePointOrZero(subjectStart_ + ::unitBefore(subject(), at));
  return !program_.contains(p->set, previous) && program_.contains(p->set, codePointOrZero(s));
}

bool Utf8PatternMatcher::matchAt(size_t start, Utf8Match* result) {
  const char* end = attempt(subjectStart_ + start, program_.items());
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
  const Utf8CharSet* lead = program_.leadSet();
  if (s == subjectEnd_) {
    *next = start;
    return lead == nullptr;
  }
  const auto byte = static_cast<unsigned char>(*s);
  if (byte < 0x80 && (s + 1 == subjectEnd_ || !isContinuationByte(s[1]))) {
    *next = start + 1;
    return lead == nullptr || lead->hasAscii(byte);
  }
  *next = unitEnd(subject(), start);
  if (lead == nullptr) return true;  // the attempt may not need this unit's code point at all
  const char* unused = nullptr;
  return program_.contains(*lead, decodeAt(s, &unused));
}
