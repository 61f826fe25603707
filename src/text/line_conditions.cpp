// The context conditions of a rule: the line prefix and preceded-by patterns on the text before the cursor,
// the followed-by and not-followed-by patterns on the text after the follow point.
//
// On a short line each condition is first decided by the matcher itself, which usually reads a few bytes;
// once those matches have done as much work as the line has bytes, the condition's walk (an automaton over
// the line, end_anchored_automaton.h) answers instead, so that no line costs more than a few times its length
// whatever the pattern. A long line takes the walk at once. The walk of a pattern that repeats a capture can
// only say where the pattern may match; there the matcher decides, on a bound of work per line past which the
// scan gives up with "context_guard".
#include <optional>

#include "text/line_scanner.h"

namespace {

// Lines longer than this decide their conditions by the walks at once.
constexpr size_t kWalkAtOnceLength = 1024;
// The matcher's work on one line where a walk only says that a condition may hold: enough for a short line
// whatever the pattern, and a constant per byte beyond that.
constexpr uint64_t kGuardedWork = uint64_t{1} << 22;
constexpr uint64_t kGuardedWorkPerByte = 32;

}  // namespace

uint64_t LineScanner::guardedWork(size_t length) { return kGuardedWork + kGuardedWorkPerByte * length; }

// Runs `match` on what is left of a condition's allowance of direct work on this line (`work` counts what its
// direct matches have used); nothing when the allowance is used up or the line is long.
template <typename Match>
std::optional<bool> LineScanner::directMatch(uint64_t& work, Match match) const {
  if (length_ > kWalkAtOnceLength || work >= length_) return std::nullopt;
  PatternWorkMeter allowance{length_ - work};
  try {
    const bool matches = match(allowance);
    work = length_ - allowance.left;
    return matches;
  } catch (const PatternWorkExhausted&) {
    work = length_;
    return std::nullopt;
  }
}

// Runs a match where a walk only says that the condition may hold, on the work left for such matches on this
// line; gives up with "context_guard" when that runs out.
template <typename Match>
bool LineScanner::guarded(Match match) {
  try {
    return match(guard_);
  } catch (const PatternWorkExhausted&) {
    giveUp("context_guard");
  }
}

// Whether the text before `at` meets a condition: by `direct` (a match on a meter) while the condition's
// allowance lasts, then by the walk of `automaton`.
template <typename Direct>
LineScanner::Answer LineScanner::textBeforeMatches(ConditionMemory::BeforeWalk& condition,
                                                   const EndAnchoredAutomaton& automaton, size_t at, Direct direct) {
  if (!condition.walk.started) {
    if (const std::optional<bool> matches = directMatch(condition.directWork, direct)) {
      return *matches ? Answer::Yes : Answer::No;
    }
  }
  if (!automaton.matchesBefore(condition.walk, subject(0, length_), at)) return Answer::No;
  return automaton.exact() ? Answer::Yes : Answer::May;
}

// The text before `at` must match the line prefix pattern from its start.
bool LineScanner::linePrefixAllows(const TokenRule& rule, size_t at) {
  const std::string_view before = subject(0, at);
  const MatchPattern& pattern = *rule.linePrefix;
  size_t end = 0;
  if (!rule.linePrefixWalk) return pattern.matchAt(before, 0, &end, nullptr);
  const auto match = [&](PatternWorkMeter& meter) { return pattern.matchAt(before, 0, &end, nullptr, meter); };
  const EndAnchoredAutomaton& automaton = *rule.linePrefixWalk;
  const Answer answer = textBeforeMatches(conditions_->beforeWalk(rule, automaton), automaton, at, match);
  return answer == Answer::May ? guarded(match) : answer == Answer::Yes;
}

// The preceded-by pattern must be found in the text before `at`.
bool LineScanner::precededByAllows(const TokenRule& rule, size_t at) {
  const std::string_view before = subject(0, at);
  const SearchPattern& pattern = *rule.precededBy;
  size_t start = 0;
  size_t end = 0;
  if (!rule.precededByWalk) return pattern.findFrom(before, 0, &start, &end, nullptr);
  const auto search = [&](PatternWorkMeter& meter) {
    return pattern.findFrom(before, 0, &start, &end, nullptr, meter);
  };
  const EndAnchoredAutomaton& automaton = *rule.precededByWalk;
  ConditionMemory::BeforeWalk& condition = conditions_->beforeWalk(rule, automaton);
  const Answer answer = textBeforeMatches(condition, automaton, at, search);
  if (answer != Answer::May) return answer == Answer::Yes;
  return rule.precededByAtEachStart ? precededByFromStarts(rule, condition, at) : guarded(search);
}

// An unanchored pattern that cannot raise an error is found in the text before `at` when it matches at some
// start, wherever that is. The start of the last match found is tried first: a match that reaches the cursor
// from far back (through ".-", say) often reaches the next cursor too, and walking back to its start again
// from every cursor would cost the square of the line; one that must reach it needs no try. Then the starts
// are tried from the cursor backwards, only where the walk of the reversed items admits them, and no further
// back than a match could begin.
bool LineScanner::precededByFromStarts(const TokenRule& rule, ConditionMemory::BeforeWalk& condition, size_t at) {
  const std::string_view before = subject(0, at);
  const MatchPattern& pattern = *rule.precededByAtEachStart;
  const EndAnchoredAutomaton& starts = *rule.precededByStarts;
  const size_t tried = condition.matchStart;
  if (tried != ConditionMemory::kNoStart && starts.matchesReachLaterEnds()) return true;
  size_t end = 0;
  EndAnchoredAutomaton::Walk& walk = conditions_->spareWalk;
  return guarded([&](PatternWorkMeter& meter) {
    if (tried != ConditionMemory::kNoStart && pattern.matchAt(before, tried, &end, nullptr, meter)) return true;
    starts.startBackward(walk, before);
    size_t start = 0;
    while (starts.previousStart(walk, before, meter, &start)) {
      if (start != tried && pattern.matchAt(before, start, &end, nullptr, meter)) {
        condition.matchStart = start;
        return true;
      }
    }
    return false;
  });
}

// The pattern must match at the start of the text from `at` to the line's end: directly while the condition's
// allowance lasts, then by the answers of one walk over the line for every position.
bool LineScanner::textAfterMatches(const TokenRule& rule, const MatchPattern& pattern,
                                   const EndAnchoredAutomaton* automaton, size_t at) {
  const std::string_view rest = subject(at, length_);
  size_t end = 0;
  const auto match = [&](PatternWorkMeter& meter) { return pattern.matchAt(rest, 0, &end, nullptr, meter); };
  if (automaton == nullptr) return pattern.matchAt(rest, 0, &end, nullptr);
  ConditionMemory::FollowAnswers& answers = conditions_->followAnswers(rule, *automaton);
  if (!answers.walked) {
    if (const std::optional<bool> matches = directMatch(answers.directWork, match)) return *matches;
    automaton->matchesFromEachPosition(subject(0, length_), answers.matches, conditions_->spareWalk);
    answers.walked = true;
  }
  if (!answers.matches[at] || automaton->exact()) return answers.matches[at];
  return guarded(match);
}
