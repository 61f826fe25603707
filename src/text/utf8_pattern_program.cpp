// Parsing a Lua pattern into code-point items: the pattern is decoded, then walked as pattern_walk.h walks
// bytes, with every single-character item made a code-point set. Bytes that do not decode become stray units,
// each with the continuation bytes after it, which the walk and the sets turn into errors where lua-utf8 would
// decode them.
#include <utility>

#include "text/pattern_walk.h"
#include "text/unicode_props.h"
#include "text/utf8_codec.h"
#include "text/utf8_patterns.h"

namespace {

constexpr uint32_t kEscape = '%';
// Stray units, beyond every decoded value: continuation bytes that follow a character (or start the pattern),
// and any other bytes that do not decode.
constexpr uint32_t kStrayContinuation = kLargestLenientValue + 1;
constexpr uint32_t kStrayBytes = kLargestLenientValue + 2;

struct Utf8PatternStrays {
  static bool stray(uint32_t unit) { return unit > kLargestLenientValue; }
  static bool strayContinuation(uint32_t unit) { return unit == kStrayContinuation; }
};

std::vector<uint32_t> decodePattern(std::string_view pattern) {
  std::vector<uint32_t> units;
  units.reserve(pattern.size());
  for (size_t at = 0; at < pattern.size();) {
    uint32_t c = 0;
    const size_t length = decodeLenient(pattern.data() + at, pattern.data() + pattern.size(), &c);
    if (length != 0) {
      units.push_back(c);
      at += length;
    } else {
      units.push_back(isContinuationByte(pattern[at]) ? kStrayContinuation : kStrayBytes);
      at = unitEnd(pattern, at);
    }
  }
  return units;
}

bool isClassLetter(uint32_t letter) { return letter < 128 && isUnicodeClassLetter(static_cast<int>(letter)); }

}  // namespace

// Builds the items of a pattern walk (pattern_walk.h) over the decoded pattern, with code-point sets.
class Utf8PatternCompiler {
 public:
  Utf8PatternCompiler(std::string_view pattern, Utf8PatternProgram& program)
      : pattern_(decodePattern(pattern)), program_(program) {}

  void run() {
    PatternWalk<uint32_t, Utf8PatternCompiler, Utf8PatternStrays>(pattern_.data(), pattern_.size(), *this).run();
  }

  void item(PatternOp op) { push(op); }
  void balance(uint32_t first, uint32_t second) {
    Utf8PatternItem& item = push(PatternOp::Balance);
    item.first = first;
    item.second = second;
  }
  void frontier(size_t setStart, size_t setLast) {
    Utf8CharSet set = bracketSet(setStart, setLast);
    push(PatternOp::Frontier).set = set;
  }
  void backReference(uint32_t digit) { push(PatternOp::BackReference).first = digit; }
  void malformed(PatternErrorKind error) { push(PatternOp::Malformed).error = error; }
  void single(size_t itemStart, size_t classLast, char quantifier) {
    Utf8CharSet set = singleSet(itemStart, classLast);
    Utf8PatternItem& item = push(PatternOp::Single);
    item.set = set;
    item.quantifier = quantifier;
    const size_t afterQuantifier = classLast + 2;  // the walk steps over a stray there after a "?"
    item.straysAfter = quantifier == '?' && afterQuantifier < pattern_.size() &&
                       Utf8PatternStrays::strayContinuation(pattern_[afterQuantifier]);
  }

 private:
  Utf8CharSet classSet(uint32_t letter) const;
  size_t strayMember(size_t start, size_t classLast) const;
  Utf8CharSet bracketSet(size_t start, size_t classLast);
  Utf8CharSet singleSet(size_t start, size_t classLast);
  void fillAscii(Utf8CharSet& set) const;
  Utf8PatternItem& push(PatternOp op) {
    Utf8PatternItem& item = program_.items_.emplace_back();
    item.op = op;
    return item;
  }

  std::vector<uint32_t> pattern_;
  Utf8PatternProgram& program_;
};

// The set's members below U+0080, from the class masks and the ranges.
void Utf8PatternCompiler::fillAscii(Utf8CharSet& set) const {
  const auto addRange = [&set](uint32_t low, uint32_t high) {
    for (uint32_t c = low; c <= high && c < 128; ++c) set.ascii[c >> 6] |= uint64_t{1} << (c & 63);
  };
  const auto addClass = [&set](uint32_t letter, bool complement) {
    uint64_t members[2];
    asciiClassMembers(static_cast<int>(letter), members);
    set.ascii[0] |= complement ? ~members[0] : members[0];
    set.ascii[1] |= complement ? ~members[1] : members[1];
  };
  switch (set.kind) {
    case Utf8CharSet::Kind::Any:
      addRange(0, 127);
      return;
    case Utf8CharSet::Kind::Literal:
      addRange(set.value, set.value);
      return;
    case Utf8CharSet::Kind::Class:
      addClass(set.value, set.complement);
      return;
    case Utf8CharSet::Kind::Bracket:
      break;
  }
  for (uint32_t k = 0; k < set.memberCount; ++k) {
    const Utf8SetMember& member = program_.members_[set.firstMember + k];
    if (member.classLetter != 0) {
      addClass(member.classLetter, member.complement);
    } else {
      addRange(member.low, member.high);
    }
  }
  if (set.complement) {
    set.ascii[0] = ~set.ascii[0];
    set.ascii[1] = ~set.ascii[1];
  }
}

// "%" and `letter`: a class (a capital for its complement), or the letter itself when it names no class.
Utf8CharSet Utf8PatternCompiler::classSet(uint32_t letter) const {
  Utf8CharSet set;
  set.value = letter;
  if (isClassLetter(letter)) {
    set.kind = Utf8CharSet::Kind::Class;
    set.complement = letter < 'a';
    set.value = letter | 0x20;
  }
  fillAscii(set);
  return set;
}

// Where lua-utf8, testing a character against the members of the set "[" at `start` to its "]" at classLast in
// order, first decodes a stray unit: the start of the member it tests then, each member being read with the unit
// after it (which may make it a range). classLast when it decodes none.
size_t Utf8PatternCompiler::strayMember(size_t start, size_t classLast) const {
  const auto stray = [this](size_t p) { return Utf8PatternStrays::stray(pattern_[p]); };
  size_t p = pattern_[start + 1] == '^' ? start + 1 : start;
  while (++p < classLast) {
    const size_t member = p;
    if (pattern_[p] == kEscape) {
      if (stray(++p)) return member;
    } else if (stray(p) || stray(p + 1)) {
      return member;
    } else if (pattern_[p + 1] == '-' && p + 2 < classLast) {
      if (stray(p + 2)) return member;
      p += 2;
    }
  }
  return classLast;
}

// The set "[" at `start` to its "]" at classLast: classes, ranges and single code points, up to a stray unit.
Utf8CharSet Utf8PatternCompiler::bracketSet(size_t start, size_t classLast) {
  Utf8CharSet set;
  set.kind = Utf8CharSet::Kind::Bracket;
  const size_t membersEnd = strayMember(start, classLast);
  set.endsAtStray = membersEnd != classLast;
  std::vector<Utf8SetMember>& members = program_.members_;
  set.firstMember = static_cast<uint32_t>(members.size());
  set.complement = forEachSetMember(
      pattern_.data(), start, membersEnd,
      [&members](uint32_t letter) {
        Utf8SetMember member{letter, letter, 0, false};
        if (isClassLetter(letter)) member = {0, 0, static_cast<uint8_t>(letter | 0x20), letter < 'a'};
        members.push_back(member);
      },
      [&members](uint32_t low, uint32_t high) {
        members.push_back({low, high, 0, false});
      });
  set.memberCount = static_cast<uint32_t>(members.size()) - set.firstMember;
  if (!set.endsAtStray) fillAscii(set);
  return set;
}

// The set one single-character item (from `start` up to classLast) matches.
Utf8CharSet Utf8PatternCompiler::singleSet(size_t start, size_t classLast) {
  switch (pattern_[start]) {
    case '.': {
      Utf8CharSet set;
      set.kind = Utf8CharSet::Kind::Any;
      fillAscii(set);
      return set;
    }
    case kEscape:
      return classSet(pattern_[start + 1]);
    case '[':
      return bracketSet(start, classLast);
    default: {
      Utf8CharSet set;
      set.value = pattern_[start];
      fillAscii(set);
      return set;
    }
  }
}

Utf8PatternProgram::Utf8PatternProgram(std::string_view pattern) {
  Utf8PatternCompiler(pattern, *this).run();
  findLeadSet();
}

bool Utf8PatternProgram::containsByKind(const Utf8CharSet& set, uint32_t c) const {
  switch (set.kind) {
    case Utf8CharSet::Kind::Any:
      return true;
    case Utf8CharSet::Kind::Literal:
      return c == set.value;
    case Utf8CharSet::Kind::Class:
      return inUnicodeClass(c, static_cast<int>(set.value)) != set.complement;
    case Utf8CharSet::Kind::Bracket:
      break;
  }
  for (uint32_t k = 0; k < set.memberCount; ++k) {
    const Utf8SetMember& member = members_[set.firstMember + k];
    const bool hit = member.classLetter != 0 ? inUnicodeClass(c, member.classLetter) != member.complement
                                             : member.low <= c && c <= member.high;
    if (hit) return !set.complement;
  }
  if (set.endsAtStray) throw PatternError(PatternErrorKind::InvalidUtf8Code);
  return set.complement;
}

void Utf8PatternProgram::findLeadSet() {
  int captures = 0;
  for (size_t index = 0; index < items_.size(); ++index) {
    const Utf8PatternItem& item = items_[index];
    if (item.op == PatternOp::OpenCapture || item.op == PatternOp::PositionCapture) {
      if (++captures > kPatternMaxCaptures) return;
      continue;
    }
    if (item.op == PatternOp::Single && (item.quantifier == 0 || item.quantifier == '+') && !item.set.endsAtStray) {
      leadItem_ = static_cast<int>(index);
    }
    return;
  }
}
