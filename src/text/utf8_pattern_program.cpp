// Parsing a Lua pattern into code-point items. The pattern is decoded first; the walk over its code points then
// follows the order in which Lua's matcher reads a pattern (captures, the end anchor, %b, %f, back-references,
// then single-character items with their quantifiers), so the items and the place of a malformed part are
// exactly what that matcher would meet.
#include <utility>

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

}  // namespace

class Utf8PatternCompiler {
 public:
  Utf8PatternCompiler(std::string_view pattern, Utf8PatternProgram& program)
      : pattern_(decodePattern(pattern)), end_(pattern_.size()), program_(program) {}

  void run();

 private:
  uint32_t at(size_t p) const { return p < end_ ? pattern_[p] : 0; }
  bool classEnd(size_t p, size_t* itemEnd);
  bool escapeItem();
  void singleItem();
  Utf8CharSet classSet(uint32_t letter) const;
  Utf8CharSet bracketSet(size_t p, size_t classLast);
  Utf8CharSet singleSet(size_t p, size_t classLast);
  void fillAscii(Utf8CharSet& set) const;
  Utf8PatternItem& push(PatternOp op) {
    Utf8PatternItem& item = program_.items_.emplace_back();
    item.op = op;
    return item;
  }
  void malformed(PatternErrorKind error) {
    push(PatternOp::Malformed).error = error;
    failed_ = true;
  }

  std::vector<uint32_t> pattern_;
  size_t p_ = 0;
  size_t end_;
  Utf8PatternProgram& program_;
  bool failed_ = false;
};

// The end of the single-character item at p; false (with the malformed item pushed) when the pattern ends
// inside it.
bool Utf8PatternCompiler::classEnd(size_t p, size_t* itemEnd) {
  const uint32_t c = pattern_[p++];
  if (c == kEscape) {
    if (p == end_) {
      malformed(PatternErrorKind::EndsWithEscape);
      return false;
    }
    *itemEnd = p + 1;
    return true;
  }
  if (c == '[') {
    if (at(p) == '^') ++p;
    do {  // the first character always belongs to the set, so "[]]" holds "]"
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
  if (letter < 128 && isUnicodeClassLetter(static_cast<int>(letter))) {
    set.kind = Utf8CharSet::Kind::Class;
    set.complement = letter < 'a';
    set.value = letter | 0x20;
  } else {
    set.value = letter;
  }
  fillAscii(set);
  return set;
}

// The set "[" at p to its closing "]" at classLast: members are classes, ranges and single code points.
Utf8CharSet Utf8PatternCompiler::bracketSet(size_t p, size_t classLast) {
  Utf8CharSet set;
  set.kind = Utf8CharSet::Kind::Bracket;
  set.complement = at(p + 1) == '^';
  if (set.complement) ++p;
  std::vector<Utf8SetMember>& members = program_.members_;
  set.firstMember = static_cast<uint32_t>(members.size());
  while (++p < classLast) {
    Utf8SetMember member;
    if (pattern_[p] == kEscape) {
      const uint32_t letter = pattern_[++p];
      if (letter < 128 && isUnicodeClassLetter(static_cast<int>(letter))) {
        member.classLetter = static_cast<uint8_t>(letter | 0x20);
        member.complement = letter < 'a';
      } else {
        member.low = member.high = letter;
      }
    } else if (at(p + 1) == '-' && p + 2 < classLast) {
      member.low = pattern_[p];
      member.high = pattern_[p + 2];
      p += 2;
    } else {
      member.low = member.high = pattern_[p];
    }
    members.push_back(member);
  }
  set.memberCount = static_cast<uint32_t>(members.size()) - set.firstMember;
  fillAscii(set);
  return set;
}

// The set one single-character item (p up to classLast) matches.
Utf8CharSet Utf8PatternCompiler::singleSet(size_t p, size_t classLast) {
  switch (pattern_[p]) {
    case '.': {
      Utf8CharSet set;
      set.kind = Utf8CharSet::Kind::Any;
      fillAscii(set);
      return set;
    }
    case kEscape:
      return classSet(pattern_[p + 1]);
    case '[':
      return bracketSet(p, classLast);
    default: {
      Utf8CharSet set;
      set.value = pattern_[p];
      fillAscii(set);
      return set;
    }
  }
}

// "%b", "%f" and back-references; false when the escape is a single-character class item instead.
bool Utf8PatternCompiler::escapeItem() {
  const uint32_t next = at(p_ + 1);
  if (next == 'b') {
    if (end_ - (p_ + 2) < 2) {
      malformed(PatternErrorKind::MissingBalanceArguments);
    } else {
      Utf8PatternItem& item = push(PatternOp::Balance);
      item.first = pattern_[p_ + 2];
      item.second = pattern_[p_ + 3];
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
      Utf8CharSet set = bracketSet(p_, setEnd - 1);
      push(PatternOp::Frontier).set = set;
      p_ = setEnd;
    }
    return true;
  }
  if (next >= '0' && next <= '9') {
    push(PatternOp::BackReference).first = next;
    p_ += 2;
    return true;
  }
  return false;
}

void Utf8PatternCompiler::singleItem() {
  size_t itemEnd = 0;
  if (!classEnd(p_, &itemEnd)) return;
  Utf8CharSet set = singleSet(p_, itemEnd - 1);
  Utf8PatternItem& item = push(PatternOp::Single);
  item.set = set;
  const uint32_t quantifier = at(itemEnd);
  if (quantifier == '*' || quantifier == '+' || quantifier == '-' || quantifier == '?') {
    item.quantifier = static_cast<char>(quantifier);
    ++itemEnd;
  }
  p_ = itemEnd;
}

void Utf8PatternCompiler::run() {
  while (p_ != end_ && !failed_) {
    switch (pattern_[p_]) {
      case '(':
        if (at(p_ + 1) == ')') {
          push(PatternOp::PositionCapture);
          p_ += 2;
        } else {
          push(PatternOp::OpenCapture);
          ++p_;
        }
        continue;
      case ')':
        push(PatternOp::CloseCapture);
        ++p_;
        continue;
      case '$':
        if (p_ + 1 == end_) {
          push(PatternOp::EndAnchor);
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
  if (!failed_) push(PatternOp::End);
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
