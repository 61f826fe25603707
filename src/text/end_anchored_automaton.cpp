// The bit-parallel automaton of a simple pattern ending in "$". An item "x+" becomes "x" followed by "x*", so
// every item either takes one byte, may take one, or may take any number.
#include "text/end_anchored_automaton.h"

#include <vector>

#include "text/pattern_program.h"

namespace {

constexpr size_t kMaxItems = 62;  // the accepting bit and a spare carry bit must fit in one word

enum class Repeat { One, Optional, Any };

struct AutomatonItem {
  const PatternByteSet* set;
  Repeat repeat;
};

// The items of a simple program up to its end anchor; false when it has none or is not simple.
bool expandItems(const PatternProgram& program, std::vector<AutomatonItem>& items) {
  if (!program.simple()) return false;
  for (const PatternItem* item = program.items();; ++item) {
    if (item->op == PatternOp::EndAnchor) return true;
    if (item->op != PatternOp::Single) return false;  // the end without an anchor
    switch (item->quantifier) {
      case 0:
        items.push_back({&item->set, Repeat::One});
        break;
      case '?':
        items.push_back({&item->set, Repeat::Optional});
        break;
      case '+':
        items.push_back({&item->set, Repeat::One});
        items.push_back({&item->set, Repeat::Any});
        break;
      default:  // "*" and "-": which run the matcher tries first does not change whether one exists
        items.push_back({&item->set, Repeat::Any});
        break;
    }
  }
}

}  // namespace

std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::forMatchAtStart(std::string_view pattern) {
  return compile(pattern, false);
}

std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::forSearch(std::string_view pattern) {
  const bool anchored = !pattern.empty() && pattern[0] == '^';
  return compile(anchored ? pattern.substr(1) : pattern, !anchored);
}

std::unique_ptr<const EndAnchoredAutomaton> EndAnchoredAutomaton::compile(std::string_view pattern, bool anywhere) {
  const PatternProgram program(pattern);
  std::vector<AutomatonItem> items;
  if (!expandItems(program, items) || items.size() > kMaxItems) return nullptr;
  std::unique_ptr<EndAnchoredAutomaton> automaton(new EndAnchoredAutomaton());
  for (size_t index = 0; index < items.size(); ++index) {
    const uint64_t bit = uint64_t{1} << index;
    for (int byte = 0; byte < 256; ++byte) {
      if (items[index].set->has(static_cast<unsigned char>(byte))) automaton->itemsTaking_[byte] |= bit;
    }
    if (items[index].repeat != Repeat::One) automaton->skippable_ |= bit;
    if (items[index].repeat == Repeat::Any) automaton->repeating_ |= bit;
  }
  automaton->accepting_ = uint64_t{1} << items.size();
  automaton->restart_ = anywhere ? 1 : 0;
  return automaton;
}

// Adds the items reached by skipping skippable ones. The carries of skippable + (states & skippable) are
// exactly the bits that a chain of skippable items leads to from a live one.
uint64_t EndAnchoredAutomaton::closure(uint64_t states) const {
  const uint64_t leaving = states & skippable_;
  return states | ((skippable_ + leaving) ^ skippable_ ^ leaving);
}

uint64_t EndAnchoredAutomaton::step(uint64_t states, unsigned char byte) const {
  const uint64_t taking = states & itemsTaking_[byte];
  return closure((taking << 1) | (taking & repeating_) | restart_);
}

bool EndAnchoredAutomaton::matchesBefore(Walk& walk, std::string_view subject, size_t position) const {
  if (!walk.started || position < walk.position) walk = {0, closure(1), true};
  if (walk.states == 0 && restart_ == 0) {
    walk.position = position;  // no match can begin later
    return false;
  }
  uint64_t states = walk.states;
  for (size_t at = walk.position; at < position; ++at) states = step(states, static_cast<unsigned char>(subject[at]));
  walk.states = states;
  walk.position = position;
  return (states & accepting_) != 0;
}
