// Entries in use sit at the front of their vector; a new one takes the first spare slot, with the buffers
// that an earlier scan left in it.
#include "text/condition_memory.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// What a tokenizer keeps between scans: the entries that a grammar's conditions need, and their buffers up to
// a budget of positions for them all. Beyond these a line was very long, or met a great many conditions, and
// what it made the scan hold would stay with the tokenizer.
constexpr size_t kMostKeptEntries = 256;
constexpr size_t kMostKeptPositions = size_t{1} << 20;

class BufferBudget {
 public:
  void keepOrFree(std::vector<bool>& buffer) {
    if (buffer.capacity() <= left_) {
      left_ -= buffer.capacity();
    } else {
      std::vector<bool>().swap(buffer);
    }
  }
  void keepOrFree(EndAnchoredAutomaton::Walk& walk) {
    for (std::vector<bool>& open : walk.openBalances) keepOrFree(open);
  }

 private:
  size_t left_ = kMostKeptPositions;
};

template <typename Entry>
void keepAtMost(std::vector<Entry>& entries, size_t count) {
  if (entries.capacity() <= count) return;
  entries.resize(std::min(entries.size(), count));
  entries.shrink_to_fit();
}

}  // namespace

ConditionMemory::BeforeWalk& ConditionMemory::beforeWalk(const TokenRule& rule, const EndAnchoredAutomaton& automaton) {
  for (size_t index = 0; index < beforeWalksInUse_; ++index) {
    if (beforeWalks_[index].automaton == &automaton) return beforeWalks_[index];
  }
  if (beforeWalksInUse_ == beforeWalks_.size()) beforeWalks_.emplace_back();
  BeforeWalk& fresh = beforeWalks_[beforeWalksInUse_++];
  fresh.rule = &rule;
  fresh.automaton = &automaton;
  fresh.directWork = 0;
  fresh.walk.started = false;
  fresh.matchStart = kNoStart;
  return fresh;
}

ConditionMemory::FollowAnswers& ConditionMemory::followAnswers(const TokenRule& rule,
                                                               const EndAnchoredAutomaton& automaton) {
  for (size_t index = 0; index < followAnswersInUse_; ++index) {
    if (followAnswers_[index].automaton == &automaton) return followAnswers_[index];
  }
  if (followAnswersInUse_ == followAnswers_.size()) followAnswers_.emplace_back();
  FollowAnswers& fresh = followAnswers_[followAnswersInUse_++];
  fresh.rule = &rule;
  fresh.automaton = &automaton;
  fresh.directWork = 0;
  fresh.walked = false;
  return fresh;
}

void ConditionMemory::forgetRules(const TokenRule* first, const TokenRule* last) {
  const std::less<const TokenRule*> before;
  const auto owned = [&](const TokenRule* rule) { return !before(rule, first) && before(rule, last); };
  // an entry forgotten swaps places with the last one in use, so that its buffers stay for reuse
  for (size_t index = beforeWalksInUse_; index-- > 0;) {
    if (owned(beforeWalks_[index].rule)) std::swap(beforeWalks_[index], beforeWalks_[--beforeWalksInUse_]);
  }
  for (size_t index = followAnswersInUse_; index-- > 0;) {
    if (owned(followAnswers_[index].rule)) std::swap(followAnswers_[index], followAnswers_[--followAnswersInUse_]);
  }
  std::erase_if(nextLineAnswers, [&](const NextLineAnswer& known) { return owned(known.rule); });
  std::erase_if(regionEndSearches, [&](const RegionEndSearch& known) { return owned(known.rule); });
}

// Every entry kept is trimmed, in use or not: one forgotten during the scan still has its buffers.
void ConditionMemory::clear() {
  keepAtMost(beforeWalks_, kMostKeptEntries);
  keepAtMost(followAnswers_, kMostKeptEntries);
  BufferBudget budget;
  budget.keepOrFree(spareWalk);
  for (BeforeWalk& condition : beforeWalks_) budget.keepOrFree(condition.walk);
  for (FollowAnswers& answers : followAnswers_) budget.keepOrFree(answers.matches);
  beforeWalksInUse_ = 0;
  followAnswersInUse_ = 0;
  nextLineAnswers.clear();
  regionEndSearches.clear();
  keepAtMost(nextLineAnswers, kMostKeptEntries);
  keepAtMost(regionEndSearches, kMostKeptEntries);
}
