// Entries in use sit at the front of their vector; a new one takes the first spare slot, with the buffers
// that an earlier scan left in it.
#include "text/condition_memory.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// Answers and balance stacks kept between scans, in positions: beyond this a line was very long, and its
// buffers would stay with the tokenizer.
constexpr size_t kLongestKept = size_t{1} << 20;

void trim(std::vector<bool>& buffer) {
  if (buffer.capacity() > kLongestKept) std::vector<bool>().swap(buffer);
}

void trim(EndAnchoredAutomaton::Walk& walk) {
  for (std::vector<bool>& open : walk.openBalances) trim(open);
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

// Every entry is trimmed, in use or not: one forgotten during the scan still has its buffers.
void ConditionMemory::clear() {
  for (BeforeWalk& condition : beforeWalks_) trim(condition.walk);
  beforeWalksInUse_ = 0;
  for (FollowAnswers& answers : followAnswers_) trim(answers.matches);
  followAnswersInUse_ = 0;
  trim(spareWalk);
  nextLineAnswers.clear();
  regionEndSearches.clear();
}
