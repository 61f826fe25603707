// The backtracking core of pattern_backtrack.h over code points. Runs step back one character at a time over
// text this matcher has already decoded, so the steps always land on lead bytes.
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
  if (byte < 0x80) {
    *next = s + 1;
    return p->set.hasAscii(byte);
  }
  return program_.contains(p->set, decodeAt(s, next));
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

// The character before the subject and after its end reads as U+0000, as Lua's terminating zero does.
bool Utf8PatternMatcher::matchFrontier(const char* s, const Utf8PatternItem* p) const {
  const std::string_view subject(subjectStart_, static_cast<size_t>(subjectEnd_ - subjectStart_));
  const char* unused = nullptr;
  uint32_t previous = 0;
  if (s != subjectStart_) {
    previous =
        decodeAt(subjectStart_ + previousCharacterStart(subject, static_cast<size_t>(s - subjectStart_)), &unused);
  }
  const uint32_t current = s < subjectEnd_ ? decodeAt(s, &unused) : 0;
  return !program_.contains(p->set, previous) && program_.contains(p->set, current);
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
  if (byte < 0x80) {
    *next = start + 1;
    return lead == nullptr || lead->hasAscii(byte);
  }
  const char* after = nullptr;
  const uint32_t c = decodeAt(s, &after);
  *next = static_cast<size_t>(after - subjectStart_);
  return lead == nullptr || program_.contains(*lead, c);
}
