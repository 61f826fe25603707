// Parsing a Lua pattern into byte items: the walk of pattern_walk.h, with every single-byte item made a
// 256-bit byte set.
#include "text/pattern_program.h"

#include <cstring>

#include "text/pattern_walk.h"

namespace {

constexpr char kEscape = '%';

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

// The bytes of the set "[" at `start` to its "]" at classLast: classes, ranges and single bytes.
PatternByteSet bracketSet(const unsigned char* pattern, size_t start, size_t classLast) {
  PatternByteSet set;
  const bool complement = forEachSetMember(
      pattern, start, classLast, [&set](unsigned char letter) { addClass(set, letter); },
      [&set](unsigned char low, unsigned char high) {
        for (int c = low; c <= high; ++c) set.add(static_cast<unsigned char>(c));
      });
  if (complement) {
    for (uint64_t& word : set.words) word = ~word;
  }
  return set;
}

// Builds the items of a pattern walk (pattern_walk.h) with byte sets.
class ByteItemBuilder {
 public:
  ByteItemBuilder(const unsigned char* pattern, std::pmr::vector<PatternItem>& items)
      : pattern_(pattern), items_(items) {}

  void item(PatternOp op) { push(op); }
  void balance(unsigned char first, unsigned char second) { push(PatternOp::Balance, first, second); }
  void frontier(size_t setStart, size_t setLast) {
    push(PatternOp::Frontier).set = bracketSet(pattern_, setStart, setLast);
  }
  void backReference(unsigned char digit) { push(PatternOp::BackReference, digit); }
  void malformed(PatternErrorKind error) { push(PatternOp::Malformed).error = error; }

  // The bytes one single-byte item (from itemStart up to classLast) matches.
  void single(size_t itemStart, size_t classLast, char quantifier) {
    PatternItem& item = push(PatternOp::Single);
    item.quantifier = quantifier;
    switch (pattern_[itemStart]) {
      case '.':
        for (uint64_t& word : item.set.words) word = ~uint64_t{0};
        break;
      case kEscape:
        addClass(item.set, pattern_[itemStart + 1]);
        break;
      case '[':
        item.set = bracketSet(pattern_, itemStart, classLast);
        break;
      default:
        item.set.add(pattern_[itemStart]);
        break;
    }
    item.anyByte = true;
    for (const uint64_t word : item.set.words) item.anyByte = item.anyByte && word == ~uint64_t{0};
  }

 private:
  PatternItem& push(PatternOp op, unsigned char first = 0, unsigned char second = 0) {
    PatternItem& item = items_.emplace_back();
    item.op = op;
    item.first = first;
    item.second = second;
    return item;
  }

  const unsigned char* pattern_;
  std::pmr::vector<PatternItem>& items_;
};

}  // namespace

PatternProgram::PatternProgram(std::string_view pattern, std::pmr::memory_resource* memory) : items_(memory) {
  const auto* units = reinterpret_cast<const unsigned char*>(pattern.data());
  ByteItemBuilder builder(units, items_);
  PatternWalk<unsigned char, ByteItemBuilder>(units, pattern.size(), builder).run();
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
  // Per capture in opening order: the length before it, and its longest text once it is closed.
  struct CaptureBound {
    size_t start;
    std::optional<size_t> width;
  };
  CaptureBound captures[kPatternMaxCaptures];
  int captureCount = 0;
  int items = 0;
  for (size_t at = 0; at < body.size();) {
    if (++items > kMostItems) return std::nullopt;
    const char c = body[at];
    if (c == '(') {
      const bool position = at + 1 < body.size() && body[at + 1] == ')';
      if (captureCount == kPatternMaxCaptures) return std::nullopt;
      captures[captureCount++] = {length, position ? std::optional<size_t>(0) : std::nullopt};
      at += position ? 2 : 1;
      continue;
    }
    if (c == ')') {
      int open = captureCount - 1;
      while (open >= 0 && captures[open].width) --open;
      if (open < 0) return std::nullopt;
      captures[open].width = length - captures[open].start;
      ++at;
      continue;
    }
    size_t itemEnd = at + 1;
    bool zeroWidth = false;
    if (c == kEscape) {
      if (at + 1 >= body.size()) return std::nullopt;
      const char next = body[at + 1];
      if (next == 'b') return std::nullopt;
      if (next >= '0' && next <= '9') {  // the text of a closed capture; a quantifier after it is a byte of its own
        const int index = next - '1';
        if (index < 0 || index >= captureCount || !captures[index].width) return std::nullopt;
        length += *captures[index].width;
        at += 2;
        continue;
      }
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
  for (int index = 0; index < captureCount; ++index) {
    if (!captures[index].width) return std::nullopt;
  }
  return length;
}

bool patternHasNoSpecials(std::string_view pattern) {
  for (const char c : pattern) {
    if (c != 0 && std::strchr("^$*+?.([%-", c) != nullptr) return false;
  }
  return true;
}
