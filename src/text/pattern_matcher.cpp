// A backtracking matcher with Lua's pattern semantics. Reads past the end of the subject or the pattern see a
// zero byte, as Lua's zero-terminated strings do, so a frontier at the end of a sub-range sees that end. The
// recursion structure (which items nest a matcher call) is what the 200-call budget counts, so it follows the
// language's documented behaviour for "pattern too complex" exactly.
#include "text/pattern_matcher.h"

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

constexpr char kEscape = '%';
constexpr ptrdiff_t kCaptureUnfinished = -1;
constexpr ptrdiff_t kCapturePosition = -2;

int byteAt(const char* p) { return static_cast<unsigned char>(*p); }

// The character classes of the "C" locale, one bit per class letter, for every byte.
enum ClassBit : uint16_t {
  kAlpha = 1 << 0,
  kControl = 1 << 1,
  kDigit = 1 << 2,
  kGraph = 1 << 3,
  kLower = 1 << 4,
  kPunct = 1 << 5,
  kSpace = 1 << 6,
  kUpper = 1 << 7,
  kAlnum = 1 << 8,
  kHexDigit = 1 << 9,
  kZero = 1 << 10,
};

constexpr uint16_t classBitsOf(int c) {
  const bool upper = c >= 'A' && c <= 'Z';
  const bool lower = c >= 'a' && c <= 'z';
  const bool digit = c >= '0' && c <= '9';
  const bool graph = c >= 0x21 && c <= 0x7E;
  uint16_t bits = 0;
  if (upper || lower) bits |= kAlpha;
  if (c < 0x20 || c == 0x7F) bits |= kControl;
  if (digit) bits |= kDigit;
  if (graph) bits |= kGraph;
  if (lower) bits |= kLower;
  if (graph && !upper && !lower && !digit) bits |= kPunct;
  if (c == ' ' || (c >= '\t' && c <= '\r')) bits |= kSpace;
  if (upper) bits |= kUpper;
  if (upper || lower || digit) bits |= kAlnum;
  if (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) bits |= kHexDigit;
  if (c == 0) bits |= kZero;
  return bits;
}

struct ClassTable {
  uint16_t bits[256];
  uint16_t letterBit[256];  // the class a letter names (either case), 0 for other bytes
};

constexpr ClassTable makeClassTable() {
  ClassTable table{};
  for (int c = 0; c < 256; ++c) table.bits[c] = classBitsOf(c);
  const struct {
    char letter;
    uint16_t bit;
  } letters[] = {{'a', kAlpha}, {'c', kControl}, {'d', kDigit}, {'g', kGraph},    {'l', kLower}, {'p', kPunct},
                 {'s', kSpace}, {'u', kUpper},   {'w', kAlnum}, {'x', kHexDigit}, {'z', kZero}};
  for (const auto& entry : letters) {
    table.letterBit[static_cast<unsigned char>(entry.letter)] = entry.bit;
    table.letterBit[static_cast<unsigned char>(entry.letter - 'a' + 'A')] = entry.bit;
  }
  return table;
}

constexpr ClassTable kClasses = makeClassTable();

// One class letter against one byte; an unknown letter matches itself. "%z" is still accepted for the zero
// byte, as Lua does.
bool matchClass(int c, int classLetter) {
  const uint16_t bit = kClasses.letterBit[classLetter];
  if (bit == 0) return classLetter == c;
  const bool result = (kClasses.bits[c] & bit) != 0;
  return (classLetter >= 'A' && classLetter <= 'Z') ? !result : result;
}

class Matcher {
 public:
  Matcher(std::string_view subject, std::string_view pattern)
      : subjectStart_(subject.data()),
        subjectEnd_(subject.data() + subject.size()),
        patternStart_(pattern.data()),
        patternEnd_(pattern.data() + pattern.size()) {}

  // One attempt from `s` with a fresh state; the match end or null.
  const char* attempt(const char* s) {
    level_ = 0;
    budget_ = kPatternRecursionBudget;
    return match(s, patternStart_);
  }

  void collectCaptures(PatternCaptures* captures) const;

 private:
  struct Capture {
    const char* start;
    ptrdiff_t length;
  };

  int patternByte(const char* p) const { return p < patternEnd_ ? byteAt(p) : 0; }
  int subjectByte(const char* s) const { return s < subjectEnd_ ? byteAt(s) : 0; }

  const char* match(const char* s, const char* p) {
    if (budget_-- == 0) throw PatternError(PatternErrorKind::TooComplex);
    const char* result = matchItems(s, p);
    ++budget_;
    return result;
  }
  const char* matchItems(const char* s, const char* p);
  const char* matchSingleItem(const char* s, const char* p, bool* goOn, const char** next);
  const char* classEnd(const char* p) const;
  bool singleMatch(const char* s, const char* p, const char* classLast) const;
  bool matchBracketClass(int c, const char* p, const char* classLast) const;
  const char* matchBalance(const char* s, const char* p) const;
  const char* maxExpand(const char* s, const char* p, const char* ep);
  const char* minExpand(const char* s, const char* p, const char* ep);
  const char* startCapture(const char* s, const char* p, ptrdiff_t what);
  const char* endCapture(const char* s, const char* p);
  const char* matchBackReference(const char* s, int digit) const;
  int captureToClose() const;

  const char* subjectStart_;
  const char* subjectEnd_;
  const char* patternStart_;
  const char* patternEnd_;
  int level_ = 0;
  int budget_ = kPatternRecursionBudget;
  Capture captures_[kPatternMaxCaptures];
};

// Walks the pattern items from p; items that need backtracking nest a call, the others loop here.
const char* Matcher::matchItems(const char* s, const char* p) {
  while (p != patternEnd_) {
    switch (*p) {
      case '(':
        if (patternByte(p + 1) == ')') return startCapture(s, p + 2, kCapturePosition);
        return startCapture(s, p + 1, kCaptureUnfinished);
      case ')':
        return endCapture(s, p + 1);
      case '$':
        if (p + 1 == patternEnd_) return s == subjectEnd_ ? s : nullptr;
        break;
      case kEscape:
        switch (patternByte(p + 1)) {
          case 'b':
            s = matchBalance(s, p + 2);
            if (s == nullptr) return nullptr;
            p += 4;
            continue;
          case 'f': {
            p += 2;
            if (patternByte(p) != '[') throw PatternError(PatternErrorKind::MissingFrontierBracket);
            const char* ep = classEnd(p);
            const int previous = s == subjectStart_ ? 0 : byteAt(s - 1);
            if (matchBracketClass(previous, p, ep - 1) || !matchBracketClass(subjectByte(s), p, ep - 1)) {
              return nullptr;
            }
            p = ep;
            continue;
          }
          case '0':
          case '1':
          case '2':
          case '3':
          case '4':
          case '5':
          case '6':
          case '7':
          case '8':
          case '9':
            s = matchBackReference(s, byteAt(p + 1));
            if (s == nullptr) return nullptr;
            p += 2;
            continue;
          default:
            break;
        }
        break;
      default:
        break;
    }
    bool goOn = false;
    const char* next = nullptr;
    s = matchSingleItem(s, p, &goOn, &next);
    if (!goOn) return s;
    p = next;
  }
  return s;
}

// A single-byte item with its optional quantifier. Sets *goOn (with the new subject position returned and the
// next item in *next) when matching continues in the caller's loop.
const char* Matcher::matchSingleItem(const char* s, const char* p, bool* goOn, const char** next) {
  const char* ep = classEnd(p);
  const int quantifier = patternByte(ep);
  if (!singleMatch(s, p, ep - 1)) {
    if (quantifier == '*' || quantifier == '?' || quantifier == '-') {
      *goOn = true;
      *next = ep + 1;
      return s;
    }
    return nullptr;
  }
  switch (quantifier) {
    case '?': {
      const char* result = match(s + 1, ep + 1);
      if (result != nullptr) return result;
      *goOn = true;
      *next = ep + 1;
      return s;
    }
    case '+':
      return maxExpand(s + 1, p, ep);
    case '*':
      return maxExpand(s, p, ep);
    case '-':
      return minExpand(s, p, ep);
    default:
      *goOn = true;
      *next = ep;
      return s + 1;
  }
}

const char* Matcher::classEnd(const char* p) const {
  const char c = *p++;
  if (c == kEscape) {
    if (p == patternEnd_) throw PatternError(PatternErrorKind::EndsWithEscape);
    return p + 1;
  }
  if (c == '[') {
    if (patternByte(p) == '^') ++p;
    do {  // the first byte always belongs to the set, so "[]]" holds "]"
      if (p == patternEnd_) throw PatternError(PatternErrorKind::MissingBracket);
      if (*(p++) == kEscape && p < patternEnd_) ++p;
    } while (patternByte(p) != ']');
    return p + 1;
  }
  return p;
}

bool Matcher::singleMatch(const char* s, const char* p, const char* classLast) const {
  if (s >= subjectEnd_) return false;
  const int c = byteAt(s);
  switch (*p) {
    case '.':
      return true;
    case kEscape:
      return matchClass(c, byteAt(p + 1));
    case '[':
      return matchBracketClass(c, p, classLast);
    default:
      return byteAt(p) == c;
  }
}

// p is the set's "[" and classLast its closing "]".
bool Matcher::matchBracketClass(int c, const char* p, const char* classLast) const {
  bool found = true;
  if (*(p + 1) == '^') {
    found = false;
    ++p;
  }
  while (++p < classLast) {
    if (*p == kEscape) {
      ++p;
      if (matchClass(c, byteAt(p))) return found;
    } else if (*(p + 1) == '-' && p + 2 < classLast) {
      p += 2;
      if (byteAt(p - 2) <= c && c <= byteAt(p)) return found;
    } else if (byteAt(p) == c) {
      return found;
    }
  }
  return !found;
}

const char* Matcher::matchBalance(const char* s, const char* p) const {
  if (patternEnd_ - p < 2) throw PatternError(PatternErrorKind::MissingBalanceArguments);
  if (s >= subjectEnd_ || *s != *p) return nullptr;
  const char open = p[0];
  const char close = p[1];
  int depth = 1;
  while (++s < subjectEnd_) {
    if (*s == close) {
      if (--depth == 0) return s + 1;
    } else if (*s == open) {
      ++depth;
    }
  }
  return nullptr;
}

const char* Matcher::maxExpand(const char* s, const char* p, const char* ep) {
  ptrdiff_t count = 0;
  while (singleMatch(s + count, p, ep - 1)) ++count;
  for (; count >= 0; --count) {
    const char* result = match(s + count, ep + 1);
    if (result != nullptr) return result;
  }
  return nullptr;
}

const char* Matcher::minExpand(const char* s, const char* p, const char* ep) {
  for (;;) {
    const char* result = match(s, ep + 1);
    if (result != nullptr) return result;
    if (!singleMatch(s, p, ep - 1)) return nullptr;
    ++s;
  }
}

const char* Matcher::startCapture(const char* s, const char* p, ptrdiff_t what) {
  if (level_ >= kPatternMaxCaptures) throw PatternError(PatternErrorKind::TooManyCaptures);
  captures_[level_] = {s, what};
  ++level_;
  const char* result = match(s, p);
  if (result == nullptr) --level_;
  return result;
}

const char* Matcher::endCapture(const char* s, const char* p) {
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

// The byte every match must begin with, when the pattern's first item is one literal byte that cannot be
// skipped; -1 otherwise. Lets the unanchored search jump between occurrences of that byte.
int requiredFirstByte(std::string_view pattern) {
  if (pattern.empty()) return -1;
  const unsigned char first = static_cast<unsigned char>(pattern[0]);
  size_t itemLength = 1;
  int literal = first;
  if (first == kEscape) {
    if (pattern.size() < 2 || (kClasses.bits[static_cast<unsigned char>(pattern[1])] & kAlnum) != 0) return -1;
    literal = static_cast<unsigned char>(pattern[1]);
    itemLength = 2;
  } else if (std::strchr("^$*+?.([])-", first) != nullptr || first == 0) {
    return -1;
  }
  if (itemLength < pattern.size()) {
    const char quantifier = pattern[itemLength];
    if (quantifier == '*' || quantifier == '?' || quantifier == '-') return -1;
  }
  return literal;
}

// For an unanchored pattern that ends in the "$" anchor and whose items each match at most one byte (no
// "*", "+", "-", %b or back-reference), the longest text it can match; searches then only need to start that
// close to the subject's end. Patterns that could raise an error on some attempt give no bound, so skipping
// attempts never hides an error.
std::optional<size_t> endAnchoredMatchBound(std::string_view pattern) {
  constexpr int kMostItems = 150;  // far below the recursion budget
  if (pattern.size() < 2 || pattern.back() != '$') return std::nullopt;
  const std::string_view body = pattern.substr(0, pattern.size() - 1);
  size_t length = 0;
  int open = 0;
  int captures = 0;
  int items = 0;
  for (size_t at = 0; at < body.size();) {
    if (++items > kMostItems) return std::nullopt;
    const char c = body[at];
    if (c == '(') {
      const bool position = at + 1 < body.size() && body[at + 1] == ')';
      if (++captures > kPatternMaxCaptures) return std::nullopt;
      if (!position) ++open;
      at += position ? 2 : 1;
      continue;
    }
    if (c == ')') {
      if (open-- == 0) return std::nullopt;
      ++at;
      continue;
    }
    size_t itemEnd = at + 1;
    bool zeroWidth = false;
    if (c == kEscape) {
      if (at + 1 >= body.size()) return std::nullopt;
      const char next = body[at + 1];
      if (next == 'b' || (next >= '0' && next <= '9')) return std::nullopt;
      zeroWidth = next == 'f';
      itemEnd = at + 2;
    }
    if (c == '[' || zeroWidth) {
      size_t set = zeroWidth ? itemEnd : at;
      if (set >= body.size() || body[set] != '[') return std::nullopt;
      ++set;
      if (set < body.size() && body[set] == '^') ++set;
      do {  // the first byte always belongs to the set
        if (set >= body.size()) return std::nullopt;
        if (body[set++] == kEscape && set < body.size()) ++set;
      } while (set >= body.size() || body[set] != ']');
      itemEnd = set + 1;
    }
    at = itemEnd;
    if (zeroWidth) continue;
    if (at < body.size() && (body[at] == '*' || body[at] == '+' || body[at] == '-')) return std::nullopt;
    if (at < body.size() && body[at] == '?') ++at;
    ++length;
  }
  if (open != 0) return std::nullopt;
  return length;
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

bool patternHasNoSpecials(std::string_view pattern) {
  for (const char c : pattern) {
    if (c != 0 && std::strchr("^$*+?.([%-", c) != nullptr) return false;
  }
  return true;
}

bool patternMatchAt(std::string_view subject, std::string_view pattern, size_t start, size_t* end,
                    PatternCaptures* captures) {
  if (captures != nullptr) captures->spanCount = captures->positionCount = 0;
  if (start > subject.size()) return false;
  Matcher matcher(subject, pattern);
  const char* matchEnd = matcher.attempt(subject.data() + start);
  if (matchEnd == nullptr) return false;
  matcher.collectCaptures(captures);
  *end = static_cast<size_t>(matchEnd - subject.data());
  return true;
}

bool patternFindFrom(std::string_view subject, std::string_view pattern, size_t start, bool allowPlain,
                     size_t* matchStart, size_t* matchEnd, PatternCaptures* captures) {
  if (captures != nullptr) captures->spanCount = captures->positionCount = 0;
  if (start > subject.size()) return false;
  if (allowPlain && patternHasNoSpecials(pattern)) {
    if (!findPlain(subject, pattern, start, matchStart)) return false;
    *matchEnd = *matchStart + pattern.size();
    return true;
  }
  const bool anchored = !pattern.empty() && pattern[0] == '^';
  if (anchored) pattern.remove_prefix(1);
  const int firstByte = anchored ? -1 : requiredFirstByte(pattern);
  if (!anchored) {
    const std::optional<size_t> bound = endAnchoredMatchBound(pattern);
    if (bound && subject.size() - start > *bound) start = subject.size() - *bound;
  }
  Matcher matcher(subject, pattern);
  for (size_t position = start;; ++position) {
    if (firstByte >= 0) {
      const void* hit = std::memchr(subject.data() + position, firstByte, subject.size() - position);
      if (hit == nullptr) return false;
      position = static_cast<size_t>(static_cast<const char*>(hit) - subject.data());
    }
    const char* end = matcher.attempt(subject.data() + position);
    if (end != nullptr) {
      matcher.collectCaptures(captures);
      *matchStart = position;
      *matchEnd = static_cast<size_t>(end - subject.data());
      return true;
    }
    if (anchored || position >= subject.size()) return false;
  }
}
