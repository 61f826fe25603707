// Parsing a Lua pattern into items. The walk over the pattern follows the order in which Lua's matcher reads
// it (captures, the end anchor, %b, %f, back-references, then single-byte items with their quantifiers), so
// the items and the place of a malformed part are exactly what that matcher would meet.
#include "text/pattern_program.h"

#include <cstring>

namespace {

constexpr char kEscape = '%';

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

// Adds the bytes that "%" followed by `letter` matches: a class (upper case for its complement), or the letter
// itself when it names no class. "%z" still names the zero byte, as Lua accepts.
void addClass(PatternByteSet& set, int letter) {
  const uint16_t bit = kClasses.letterBit[letter];
  if (bit == 0) {
    set.add(static_cast<unsigned char>(letter));
    return;
  }
  const bool complement = letter >= 'A' && letter <= 'Z';
  for (int c = 0; c < 256; ++c) {
    if (((kClasses.bits[c] & bit) != 0) != complement) set.add(static_cast<unsigned char>(c));
  }
}

// The set "[" at p to its closing "]" at classLast: members are classes, ranges and single bytes.
PatternByteSet bracketSet(const char* p, const char* classLast) {
  PatternByteSet set;
  const bool complement = *(p + 1) == '^';
  if (complement) ++p;
  while (++p < classLast) {
    if (*p == kEscape) {
      ++p;
      addClass(set, byteAt(p));
    } else if (*(p + 1) == '-' && p + 2 < classLast) {
      p += 2;
      for (int c = byteAt(p - 2); c <= byteAt(p); ++c) set.add(static_cast<unsigned char>(c));
    } else {
      set.add(static_cast<unsigned char>(*p));
    }
  }
  if (complement) {
    for (uint64_t& word : set.words) word = ~word;
  }
  return set;
}

// The bytes one single-byte item (p up to classLast) matches.
PatternByteSet singleSet(const char* p, const char* classLast) {
  PatternByteSet set;
  switch (*p) {
    case '.':
      for (uint64_t& word : set.words) word = ~uint64_t{0};
      return set;
    case kEscape:
      addClass(set, byteAt(p + 1));
      return set;
    case '[':
      return bracketSet(p, classLast);
    default:
      set.add(static_cast<unsigned char>(*p));
      return set;
  }
}

class Compiler {
 public:
  Compiler(std::string_view pattern, std::pmr::vector<PatternItem>& items)
      : p_(pattern.data()), end_(pattern.data() + pattern.size()), items_(items) {}

  void run();

 private:
  int patternByte(const char* p) const { return p < end_ ? byteAt(p) : 0; }
  bool classEnd(const char* p, const char** itemEnd);
  bool escapeItem();
  void singleItem();
  void push(PatternOp op, unsigned char first = 0, unsigned char second = 0) {
    PatternItem& item = items_.emplace_back();
    item.op = op;
    item.first = first;
    item.second = second;
  }
  void malformed(PatternErrorKind error) {
    push(PatternOp::Malformed);
    items_.back().error = error;
    failed_ = true;
  }

  const char* p_;
  const char* end_;
  std::pmr::vector<PatternItem>& items_;
  bool failed_ = false;
};

// The end of the single-byte item at p; false (with the malformed item pushed) when the pattern ends inside it.
bool Compiler::classEnd(const char* p, const char** itemEnd) {
  const char c = *p++;
  if (c == kEscape) {
    if (p == end_) {
      malformed(PatternErrorKind::EndsWithEscape);
      return false;
    }
    *itemEnd = p + 1;
    return true;
  }
  if (c == '[') {
    if (patternByte(p) == '^') ++p;
    do {  // the first byte always belongs to the set, so "[]]" holds "]"
      if (p == end_) {
        malformed(PatternErrorKind::MissingBracket);
        return false;
      }
      if (*(p++) == kEscape && p < end_) ++p;
    } while (patternByte(p) != ']');
    *itemEnd = p + 1;
    return true;
  }
  *itemEnd = p;
  return true;
}

// "%b", "%f" and back-references; false when the escape is a single-byte class item instead.
bool Compiler::escapeItem() {
  const int next = patternByte(p_ + 1);
  if (next == 'b') {
    if (end_ - (p_ + 2) < 2) {
      malformed(PatternErrorKind::MissingBalanceArguments);
    } else {
      push(PatternOp::Balance, static_cast<unsigned char>(p_[2]), static_cast<unsigned char>(p_[3]));
      p_ += 4;
    }
    return true;
  }
  if (next == 'f') {
    p_ += 2;
    const char* setEnd = nullptr;
    if (patternByte(p_) != '[') {
      malformed(PatternErrorKind::MissingFrontierBracket);
    } else if (classEnd(p_, &setEnd)) {
      push(PatternOp::Frontier);
      items_.back().set = bracketSet(p_, setEnd - 1);
      p_ = setEnd;
    }
    return true;
  }
  if (next >= '0' && next <= '9') {
    push(PatternOp::BackReference, static_cast<unsigned char>(next));
    p_ += 2;
    return true;
  }
  return false;
}

void Compiler::singleItem() {
  const char* itemEnd = nullptr;
  if (!classEnd(p_, &itemEnd)) return;
  push(PatternOp::Single);
  PatternItem& item = items_.back();
  item.set = singleSet(p_, itemEnd - 1);
  item.anyByte = true;
  for (const uint64_t word : item.set.words) item.anyByte = item.anyByte && word == ~uint64_t{0};
  const int quantifier = patternByte(itemEnd);
  if (quantifier == '*' || quantifier == '+' || quantifier == '-' || quantifier == '?') {
    item.quantifier = static_cast<char>(quantifier);
    ++itemEnd;
  }
  p_ = itemEnd;
}

void Compiler::run() {
  while (p_ != end_ && !failed_) {
    switch (*p_) {
      case '(':
        if (patternByte(p_ + 1) == ')') {
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

}  // namespace

PatternProgram::PatternProgram(std::string_view pattern, std::pmr::memory_resource* memory) : items_(memory) {
  Compiler(pattern, items_).run();
  findLeadBytes();
  findSimple();
}

void PatternProgram::findSimple() {
  int quantified = 0;
  for (const PatternItem& item : items_) {
    if (item.op == PatternOp::Single) {
      if (item.quantifier != 0 && ++quantified > kSimplePatternChoices) return;
    } else if (item.op != PatternOp::End && item.op != PatternOp::EndAnchor) {
      return;
    }
  }
  simple_ = true;
}

void PatternProgram::findLeadBytes() {
  int captures = 0;
  for (const PatternItem& item : items_) {
    if (item.op == PatternOp::OpenCapture || item.op == PatternOp::PositionCapture) {
      if (++captures > kPatternMaxCaptures) return;
      continue;
    }
    if (item.op == PatternOp::Single && (item.quantifier == 0 || item.quantifier == '+')) {
      leadBytes_ = item.set;
      int count = 0;
      for (int c = 0; c < 256 && count < 2; ++c) {
        if (item.set.has(static_cast<unsigned char>(c))) {
          leadByte_ = c;
          ++count;
        }
      }
      if (count != 1) leadByte_ = -1;
    }
    return;
  }
}

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

bool patternHasNoSpecials(std::string_view pattern) {
  for (const char c : pattern) {
    if (c != 0 && std::strchr("^$*+?.([%-", c) != nullptr) return false;
  }
  return true;
}
