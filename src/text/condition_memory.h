// What a line scan keeps about the context conditions of its rules while it runs: the walks of the text-before
// conditions, the answers of the text-after conditions, the next-line answers and the last region end search
// of each delimited rule. A tokenizer keeps one between its scans, so that scanning line after line reuses
// these buffers instead of allocating them for every line; entries are found by rule and forgotten, buffers
// kept (as many as ordinary grammars and lines need), when a scan ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "text/end_anchored_automaton.h"

struct TokenRule;

struct ConditionMemory {
  static constexpr size_t kNoStart = static_cast<size_t>(-1);
  // One text-before condition: the work its direct matches have done on this line and, once they have done
  // enough, its walk, moving forward with the cursor; for a pattern tried at the starts a walk backwards
  // admits, where its last match found began.
  struct BeforeWalk {
    const TokenRule* rule;
    const EndAnchoredAutomaton* automaton;
    uint64_t directWork;
    EndAnchoredAutomaton::Walk walk;
    size_t matchStart;
  };
  // One text-after condition: the work its direct matches have done on this line and, once they have done
  // enough, the answers of the walk over the whole line at each position.
  struct FollowAnswers {
    const TokenRule* rule;
    const EndAnchoredAutomaton* automaton;
    uint64_t directWork;
    bool walked;
    std::vector<bool> matches;
  };
  struct NextLineAnswer {
    const TokenRule* rule;
    bool allows;
  };
  struct RegionEndSearch {
    const TokenRule* rule;
    size_t from;
    bool found;
    size_t start;
    size_t end;
    size_t skippedUntil;  // the end of the last escaped end passed over, else `from`
  };

  // The walk of `automaton` for `rule`, not started and with no work done when the scan has not met it yet.
  BeforeWalk& beforeWalk(const TokenRule& rule, const EndAnchoredAutomaton& automaton);
  // The answers of `automaton` for `rule`, with no work done when the scan has not met it yet.
  FollowAnswers& followAnswers(const TokenRule& rule, const EndAnchoredAutomaton& automaton);
  // Forgets what is known about the rules in [first, last).
  void forgetRules(const TokenRule* first, const TokenRule* last);
  // Forgets everything for the next scan, keeping the buffers (but not all that a very long line or a great
  // many conditions made it hold).
  void clear();

  std::vector<NextLineAnswer> nextLineAnswers;
  std::vector<RegionEndSearch> regionEndSearches;
  // Working memory of walks made at once: the text-after walks over a line and the searches for starts.
  EndAnchoredAutomaton::Walk spareWalk;
  bool inUse = false;  // a running scan holds it

 private:
  std::vector<BeforeWalk> beforeWalks_;
  size_t beforeWalksInUse_ = 0;
  std::vector<FollowAnswers> followAnswers_;
  size_t followAnswersInUse_ = 0;
};
