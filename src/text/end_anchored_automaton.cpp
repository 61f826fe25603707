// The bit-parallel walk of a pattern ending in "$", or of a pattern matched at each start, walked backwards.
// An item "x+" becomes "x" followed by "x*", so every single-byte item either takes one byte, may take one, or
// may take any number; the state is as many words as the items need.
#include "text/end_anchored_automaton.h"

#include <algorithm>

namespace {

constexpr size_t kMaxItems = 1023;  // with the accepting bit, sixteen words
constexpr size_t kMaxWords = (kMaxItems + 1 + 63) / 64;
// Items that nest a matcher call (captures and quantified items) on one path; far enough below the recursion
// budget that no subject can use it up.
constexpr int kMostNestingItems = 190;

enum class ItemKind { One, Optional, Any, Frontier, Balance };

struct AutomatonItem {
  const PatternItem* source;
  ItemKind kind;
};

// Expands the items of a program up to its end anchor, captures left out. A back-reference becomes a copy of
// its capture's items without their frontiers (which depend on the bytes around the copy): that matches at
// least the text the capture took, so the automaton then answers "may match", and the matcher decides.
class ItemExpander {
 public:
  explicit ItemExpander(std::vector<AutomatonItem>& items) : items_(items) {}

  // False when the program has a malformed part or a back-reference that would raise, or could raise an error
  // on some subject (captures that do not pair up, too many captures, too many nested calls), or has too many
  // items, or has no end anchor while `endAnchored` is null.
  bool expand(const PatternProgram& program, bool* endAnchored) {
    int openCaptures = 0;
    int nesting = 0;
    for (const PatternItem* item = program.items();; ++item) {
      switch (item->op) {
        case PatternOp::EndAnchor:
          if (endAnchored != nullptr) *endAnchored = true;
          return openCaptures == 0;  // the last item: the end follows
        case PatternOp::End:
          if (endAnchored == nullptr) return false;
          *endAnchored = false;
          return openCaptures == 0;
        case PatternOp::Single:
          if (item->quantifier != 0) ++nesting;
          single(item);
          break;
        case PatternOp::OpenCapture:
        case PatternOp::PositionCapture:
          if (captureCount_ == kPatternMaxCaptures) return false;
          captures_[captureCount_++] = {item, item->op == PatternOp::PositionCapture ? item : nullptr};
          ++openCaptures;
          ++nesting;
          if (item->op == PatternOp::PositionCapture) --openCaptures;
          break;
        case PatternOp::CloseCapture:
          if (openCaptures-- == 0) return false;
          for (int index = captureCount_ - 1;; --index) {
            if (captures_[index].close == nullptr) {
              captures_[index].close = item;
              break;
            }
          }
          ++nesting;
          break;
        case PatternOp::Frontier:
          items_.push_back({item, ItemKind::Frontier});
          break;
        case PatternOp::Balance:
          items_.push_back({item, ItemKind::Balance});
          break;
        case PatternOp::BackReference: {
          const int index = item->first - '1';
          if (index < 0 || index >= captureCount_ || captures_[index].close == nullptr) return false;
          exact_ = false;
          copyCapture(index);
          break;
        }
        default:  // a malformed part
          return false;
      }
      if (nesting > kMostNestingItems || items_.size() > kMaxItems) return false;
    }
  }

  bool exact() const { return exact_; }

 private:
  struct CaptureItems {
    const PatternItem* open;
    const PatternItem* close;  // null while open; the item itself for a position capture
  };

  void single(const PatternItem* item) {
    switch (item->quantifier) {
      case 0:
        items_.push_back({item, ItemKind::One});
        break;
      case '?':
        items_.push_back({item, ItemKind::Optional});
        break;
      case '+':
        items_.push_back({item, ItemKind::One});
        items_.push_back({item, ItemKind::Any});
        break;
      default:  // "*" and "-": which run the matcher tries first does not change whether one exists
        items_.push_back({item, ItemKind::Any});
        break;
    }
  }

  // The items of capture `index`, its own back-references copied in turn (they name earlier captures, which the
  // expansion checked when it passed them); stops once there are too many items.
  void copyCapture(int index) {
    for (const PatternItem* item = captures_[index].open + 1; item < captures_[index].close; ++item) {
      if (items_.size() > kMaxItems) return;
      if (item->op == PatternOp::Single) single(item);
      if (item->op == PatternOp::Balance) items_.push_back({item, ItemKind::Balance});
      if (item->op == PatternOp::BackReference) copyCapture(item->first - '1');
    }
  }

  std::vector<AutomatonItem>& items_;
  CaptureItems captures_[kPatternMaxCaptures];
  int captureCount_ = 0;
  bool exact_ = true;
};

// Whether the last item of `program` before its end takes a run of any bytes.
bool endsInAnyRun(const PatternProgram& program) {
  const PatternItem* last = nullptr;
  for (const PatternItem* item = program.items(); item->op != PatternOp::EndAnchor && item->op != PatternOp::End;
       ++item) {
    last = item;
  }
  return last != nullptr && last->op == PatternOp::Single && last->anyByte &&
         (last->quantifier == '*' || last->quantifier == '-' || last->quantifier == '+');
}

bool hasBit(const uint64_t* words, size_t bit) { return (words[bit / 64] >> (bit % 64)) & 1; }
void setBit(uint64_t* words, size_t bit) { words[bit / 64] |= uint64_t{1} << (bit % 64); }

}  // namespace

std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::forMatchAtStart(std::string_view pattern) {
  return compile(pattern, false, Direction::Forward);
}

std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::forSearch(std::string_view pattern) {
  const bool anchored = !pattern.empty() && pattern[0] == '^';
  return compile(anchored ? pattern.substr(1) : pattern, !anchored, Direction::Forward);
}

std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::forMatchAtEachStart(std::string_view pattern) {
  return compile(pattern, false, Direction::Backward);
}

// Backward, the items come in reverse order, a balance opens at its closing byte, and a match that need not
// reach the end may begin (from the end) anywhere.
std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::compile(std::string_view pattern, bool anywhere,
                                                                          Direction direction) {
  const PatternProgram program(pattern);
  std::vector<AutomatonItem> items;
  const bool backward = direction == Direction::Backward;
  bool endAnchored = false;
  ItemExpander expander(items);
  if (!expander.expand(program, backward ? &endAnchored : nullptr)) return nullptr;
  if (backward) {
    std::reverse(items.begin(), items.end());
    anywhere = !endAnchored;
  }
  std::unique_ptr<EndAnchoredAutomaton> automaton(new EndAnchoredAutomaton());
  const size_t words = (items.size() + 1 + 63) / 64;
  automaton->words_ = words;
  automaton->itemsTaking_.assign(256 * words, 0);
  automaton->skippable_.assign(words, 0);
  automaton->repeating_.assign(words, 0);
  for (size_t index = 0; index < items.size(); ++index) {
    const PatternItem& source = *items[index].source;
    switch (items[index].kind) {
      case ItemKind::Frontier:
        automaton->frontiers_.push_back({static_cast<uint32_t>(index), source.set, backward});
        continue;
      case ItemKind::Balance:
        automaton->balances_.push_back({static_cast<uint32_t>(index), backward ? source.second : source.first,
                                        backward ? source.first : source.second});
        continue;
      case ItemKind::Any:
        setBit(automaton->repeating_.data(), index);
        [[fallthrough]];
      case ItemKind::Optional:
        setBit(automaton->skippable_.data(), index);
        break;
      case ItemKind::One:
        break;
    }
    for (int byte = 0; byte < 256; ++byte) {
      if (source.set.has(static_cast<unsigned char>(byte))) setBit(&automaton->itemsTaking_[byte * words], index);
    }
  }
  automaton->accepting_ = static_cast<uint32_t>(items.size());
  automaton->anywhere_ = anywhere;
  automaton->exact_ = expander.exact();
  automaton->inOneWord_ = words == 1 && automaton->frontiers_.empty() && automaton->balances_.empty();
  automaton->reachesLaterEnds_ = backward && endAnchored && automaton->frontiers_.empty() && endsInAnyRun(program);
  return automaton;
}

void EndAnchoredAutomaton::start(Walk& walk) const {
  walk.position = 0;
  walk.started = true;
  walk.finished = false;
  walk.states.assign(words_, 0);
  walk.states[0] = 1;
  walk.openBalances.resize(balances_.size());
  for (std::vector<bool>& open : walk.openBalances) open.clear();
  walk.pendingBalances.assign(balances_.size(), false);
}

bool EndAnchoredAutomaton::dead(const Walk& walk) const {
  return !anywhere_ && balances_.empty() &&
         std::all_of(walk.states.begin(), walk.states.end(), [](uint64_t word) { return word == 0; });
}

// The items live where `states` stand, adding those reached by passing over ones that match nothing here: the
// skippable ones, and the frontiers that pass between the bytes `previous` and `current`. The carries of
// skip + (states & skip) are exactly the bits that a chain of such items leads to from a live one.
void EndAnchoredAutomaton::closure(const uint64_t* states, int previous, int current, uint64_t* live) const {
  uint64_t frontierSkip[kMaxWords];
  const uint64_t* skip = skippable_.data();
  if (!frontiers_.empty()) {
    std::copy_n(skippable_.data(), words_, frontierSkip);
    for (const Frontier& frontier : frontiers_) {
      const bool before = frontier.set.has(static_cast<unsigned char>(frontier.reversed ? current : previous));
      const bool after = frontier.set.has(static_cast<unsigned char>(frontier.reversed ? previous : current));
      if (!before && after) setBit(frontierSkip, frontier.item);
    }
    skip = frontierSkip;
  }
  bool carry = false;
  for (size_t word = 0; word < words_; ++word) {
    const uint64_t leaving = states[word] & skip[word];
    uint64_t sum = 0;
    bool overflow = __builtin_add_overflow(skip[word], leaving, &sum);
    overflow |= __builtin_add_overflow(sum, uint64_t{carry}, &sum);
    carry = overflow;
    live[word] = states[word] | (sum ^ skip[word] ^ leaving);
  }
}

// The same for an automaton of one word and single-byte items only, the common case, in plain word operations.
uint64_t EndAnchoredAutomaton::closureInOneWord(uint64_t states) const {
  const uint64_t skip = skippable_[0];
  const uint64_t leaving = states & skip;
  return states | ((skip + leaving) ^ skip ^ leaving);
}

uint64_t EndAnchoredAutomaton::stepInOneWord(uint64_t states, unsigned char byte) const {
  const uint64_t took = closureInOneWord(states) & itemsTaking_[byte];
  return (took << 1) | (took & repeating_[0]) | (anywhere_ ? 1 : 0);
}

void EndAnchoredAutomaton::step(const uint64_t* live, unsigned char byte, uint64_t* next) const {
  const uint64_t* taking = &itemsTaking_[byte * words_];
  uint64_t carried = 0;
  for (size_t word = 0; word < words_; ++word) {
    const uint64_t took = live[word] & taking[word];
    next[word] = (took << 1) | carried | (took & repeating_[word]);
    carried = took >> 63;
  }
  if (anywhere_) next[0] |= 1;
}

// A "%bxy" item live at an "x" passes its bit to just after the "y" that balances that "x": the first byte
// after it at which the "y" bytes outnumber the "x" bytes, or the next "x" when the two are the same byte.
void EndAnchoredAutomaton::moveBalances(Walk& walk, const uint64_t* live, unsigned char byte, uint64_t* next) const {
  for (size_t index = 0; index < balances_.size(); ++index) {
    const Balance& balance = balances_[index];
    const bool itemLive = hasBit(live, balance.item);
    if (balance.open == balance.close) {
      if (byte != balance.open) continue;
      if (walk.pendingBalances[index]) setBit(next, balance.item + 1);
      walk.pendingBalances[index] = itemLive;
      continue;
    }
    std::vector<bool>& open = walk.openBalances[index];
    if (byte == balance.close) {
      if (open.empty()) continue;
      if (open.back()) setBit(next, balance.item + 1);
      open.pop_back();
    } else if (byte == balance.open) {
      open.push_back(itemLive);
    }
  }
}

bool EndAnchoredAutomaton::matchesBefore(Walk& walk, std::string_view subject, size_t position) const {
  if (!walk.started || position < walk.position) start(walk);
  if (dead(walk)) {
    walk.position = position;  // no match can begin later
    return false;
  }
  const auto byteAt = [&subject](size_t at) { return static_cast<unsigned char>(subject[at]); };
  if (inOneWord_) {
    uint64_t states = walk.states[0];
    for (size_t at = walk.position; at < position; ++at) states = stepInOneWord(states, byteAt(at));
    walk.states[0] = states;
    walk.position = position;
    return (closureInOneWord(states) >> accepting_) & 1;
  }
  uint64_t live[kMaxWords];
  for (size_t at = walk.position; at < position; ++at) {
    closure(walk.states.data(), at == 0 ? 0 : byteAt(at - 1), byteAt(at), live);
    step(live, byteAt(at), walk.states.data());
    if (!balances_.empty()) moveBalances(walk, live, byteAt(at), walk.states.data());
  }
  walk.position = position;
  closure(walk.states.data(), position == 0 ? 0 : byteAt(position - 1), 0, live);  // a zero byte follows the end
  return hasBit(live, accepting_);
}

void EndAnchoredAutomaton::matchesFromEachPosition(std::string_view subject, std::vector<bool>& answers,
                                                   Walk& walk) const {
  answers.assign(subject.size() + 1, false);
  start(walk);
  const auto byteAt = [&subject](size_t at) { return static_cast<unsigned char>(subject[at]); };
  if (inOneWord_) {
    uint64_t states = walk.states[0];
    for (size_t position = subject.size();; --position) {
      answers[position] = (closureInOneWord(states) >> accepting_) & 1;
      if (position == 0) return;
      states = stepInOneWord(states, byteAt(position - 1));
    }
  }
  uint64_t live[kMaxWords];
  for (size_t position = subject.size();; --position) {
    // the byte passed is the one at `position` (the terminating zero at the end); a subject that begins at
    // `position` has nothing before it
    const int passed = position == subject.size() ? 0 : byteAt(position);
    closure(walk.states.data(), passed, 0, live);
    answers[position] = hasBit(live, accepting_);
    if (position == 0) return;
    stepBack(walk, subject, position, live);
  }
}

// Moves a walk towards the start over the byte before `position`, `live` serving as working memory.
void EndAnchoredAutomaton::stepBack(Walk& walk, std::string_view subject, size_t position, uint64_t* live) const {
  const int passed = position == subject.size() ? 0 : static_cast<unsigned char>(subject[position]);
  const auto byte = static_cast<unsigned char>(subject[position - 1]);
  closure(walk.states.data(), passed, byte, live);
  step(live, byte, walk.states.data());
  if (!balances_.empty()) moveBalances(walk, live, byte, walk.states.data());
}

void EndAnchoredAutomaton::startBackward(Walk& walk, std::string_view subject) const {
  start(walk);
  walk.position = subject.size();
}

bool EndAnchoredAutomaton::previousStart(Walk& walk, std::string_view subject, PatternWorkMeter& meter,
                                         size_t* start) const {
  uint64_t live[kMaxWords];
  while (!walk.finished) {
    const size_t position = walk.position;
    // a match that begins at `position` of the subject sees the byte before it, as the matcher does there
    const int passed = position == subject.size() ? 0 : static_cast<unsigned char>(subject[position]);
    closure(walk.states.data(), passed, position == 0 ? 0 : static_cast<unsigned char>(subject[position - 1]), live);
    const bool accepts = hasBit(live, accepting_);
    if (position == 0 || dead(walk)) {
      walk.finished = true;
    } else {
      meter.take(1);
      stepBack(walk, subject, position, live);
      walk.position = position - 1;
    }
    if (accepts) {
      *start = position;
      return true;
    }
  }
  return false;
}
