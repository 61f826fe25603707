// The context conditions of a rule: the line prefix and preceded-by patterns on the text before the cursor,
// the followed-by and not-followed-by patterns on the text after the follow point.
//
// On a short line each condition is first decided by the matcher itself, which usually reads a few bytes;
// once those matches have done as much work as the line has bytes, the condition's walk (an automaton over
// the line, end_anchored_automaton.h) answers instead, so that no line costs more than a few times its length
// whatever the pattern. A long line takes the walk at once. The walk of a pattern that repeats a capture can
// only say where the pattern may match; there the matcher decides.
#include <optional>

#include "text/line_scanner.h"

namespace {

// Lines longer than this decide their conditions by the walks at once.
constexpr size_t kWalkAtOnceLength = 1024;

}  // namespace

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

// Whether the text before `at` meets a condition: by `direct` (a match on a meter) while the condition's
// allowance lasts, then by the walk of `automaton`.
template <typename Direct>
LineScanner::Answer LineScanner::textBeforeMatches(const TokenRule& rule, const EndAnchoredAutomaton& automaton,
                                                   size_t at, Direct direct) {
  ConditionMemory::BeforeWalk& condition = conditions_->beforeWalk(rule, automaton);
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
  const Answer answer = textBeforeMatches(rule, *rule.linePrefixWalk, at, match);
  return answer == Answer::May ? pattern.matchAt(before, 0, &end, nullptr) : answer == Answer::Yes;
}

// The preceded-by pattern must be found in the text before `at`.
bool LineScanner::precededByAllows(const TokenRule& rule, size_t at) {
  const std::string_view before = subject(0, at);
  const SearchPattern& pattern = *rule.precededBy;
  size_t start = 0;
  size_t end = 0;
  if (!rule.precededByWalk) return pattern.findFrom(before, 0, &start, &end, nullptr);
  const auto search = [&](PatternWorkMeter& meter) { return pattern.findFrom(before, 0, &start, &end, nullptr, meter); };
  const Answer answer = textBeforeMatches(rule, *rule.precededByWalk, at, search);
  if (answer != Answer::May) return answer == Answer::Yes;
  if (!rule.precededByAtEachStart) return pattern.findFrom(before, 0, &start, &end, nullptr);
  // The pattern cannot raise an error, so where a match begins does not change the answer; from the cursor
  // backwards, the attempts stop as soon as they reach the nearest one.
  for (size_t from = at + 1; from-- > 0;) {
    if (rule.precededByAtEachStart->matchAt(before, from, &end, nullptr)) return true;
  }
  return false;
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
  return pattern.matchAt(rest, 0, &end, nullptr);
}
