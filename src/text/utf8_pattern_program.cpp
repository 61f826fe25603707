// Parsing a Lua pattern into code-point items: the pattern is decoded, then walked as pattern_walk.h walks
// bytes, with every single-character item made a code-point set.
#include <utility>

#include "text/pattern_walk.h"
#include "text/unicode_props.h"
#include "text/utf8_codec.h"
#include "text/utf8_patterns.h"

namespace {

constexpr uint32_t kEscape = '%';

std::vector<uint32_t> decodePattern(std::string_view pattern) {
  std::vector<uint32_t> codePoints;
  codePoints.reserve(pattern.size());
  const char* end = pattern.data() + pattern.size();
  for (const char* at = pattern.data(); at < end;) {
    uint32_t c = 0;
    at += decodeOrThrow(at, end, &c);
    codePoints.push_back(c);
  }
  return codePoints;
}

bool isClassLetter(uint32_t letter) { return letter < 128 && isUnicodeClassLetter(static_cast<int>(letter)); }

}  // namespace

// Builds the items of a pattern walk (pattern_walk.h) over the decoded pattern, with code-point sets.
class Utf8PatternCompiler {
 public:
  Utf8PatternCompiler(std::string_view pattern, Utf8PatternProgram& program)
      : pattern_(decodePattern(pattern)), program_(program) {}

  void run() { PatternWalk<uint32_t, Utf8PatternCompiler>(pattern_.data(), pattern_.size(), *this).run(); }

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
  }

 private:
  Utf8CharSet classSet(uint32_t letter) const;
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

// The set "[" at `start` to its "]" at classLast: classes, ranges and single code points.
Utf8CharSet Utf8PatternCompiler::bracketSet(size_t start, size_t classLast) {
  Utf8CharSet set;
  set.kind = Utf8CharSet::Kind::Bracket;
  std::vector<Utf8SetMember>& members = program_.members_;
  set.firstMember = static_cast<uint32_t>(members.size());
  set.complement = forEachSetMember(
      pattern_.data(), start, classLast,
      [&members](uint32_t letter) {
        Utf8SetMember member{letter, letter, 0, false};
        if (isClassLetter(letter)) member = {0, 0, static_cast<uint8_t>(letter | 0x20), letter < 'a'};
        members.push_back(member);
      },
      [&members](uint32_t low, uint32_t high) {
        members.push_back({low, high, 0, false});
      });
  set.memberCount = static_cast<uint32_t>(members.size()) - set.firstMember;
  fillAscii(set);
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

bool Utf8PatternProgram::containsBeyondAscii(const Utf8CharSet& set, uint32_t c) const {
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
    if (item.op == PatternOp::Single && (item.quantifier == 0 || item.quantifier == '+')) {
      leadItem_ = static_cast<int>(index);
    }
    return;
  }
}
