// The outline line test: conditions from cheapest to dearest, the first matching rule decides.
#include "text/outline.h"

#include "text/pattern_matcher.h"

namespace {

// The line without its leading white space, as "%s*(.*)$" would capture it.
std::string_view withoutLeadingSpace(std::string_view line) {
  size_t start = 0;
  while (start < line.size() && (line[start] == ' ' || (line[start] >= '\t' && line[start] <= '\r'))) ++start;
  return line.substr(start);
}

bool findsIn(std::string_view subject, const SearchPattern& pattern) {
  size_t start = 0;
  size_t end = 0;
  return pattern.findFrom(subject, 0, &start, &end, nullptr);
}

bool matchesAtStart(std::string_view subject, const MatchPattern& pattern) {
  size_t end = 0;
  return pattern.matchAt(subject, 0, &end, nullptr);
}

bool ruleTest(const OutlineRule& rule, std::string_view line, std::optional<std::string_view> next,
              std::optional<std::string_view>* title) {
  if (rule.nextLine && !(next && findsIn(*next, *rule.nextLine))) return false;
  if (!rule.lineNotPrefix.empty()) {
    const std::string_view stripped = withoutLeadingSpace(line);
    for (const MatchPattern& prefix : rule.lineNotPrefix) {
      if (matchesAtStart(stripped, prefix)) return false;
    }
  }
  if (!rule.hasPattern) return false;
  PatternCaptures captures;
  size_t start = 0;
  size_t end = 0;
  const bool matched = rule.lineStart ? rule.patternAtLineStart->matchAt(line, 0, &end, &captures)
                                      : rule.patternSearch->findFrom(line, 0, &start, &end, &captures);
  if (!matched) return false;
  const std::string_view before = line.substr(0, start);
  if (rule.linePrefix && !matchesAtStart(before, *rule.linePrefix)) return false;
  if (rule.precededBy && !findsIn(before, *rule.precededBy)) return false;
  const std::string_view rest = line.substr(end);
  if (rule.notFollowedBy && matchesAtStart(rest, *rule.notFollowedBy)) return false;
  if (rule.followedBy && !matchesAtStart(rest, *rule.followedBy)) return false;
  title->reset();
  for (uint64_t i = 0; i < captures.spanCount; ++i) {
    if (captures.spans[i].length > 0) {
      *title = std::string_view(captures.spans[i].start, captures.spans[i].length);
      break;
    }
  }
  return true;
}

bool kindSelects(const OutlineRule& rule, OutlineKind kind) {
  if (kind == OutlineKind::Jump) return rule.jumps;
  if (kind == OutlineKind::Divider) return rule.dividers;
  return true;
}

}  // namespace

void compileOutlinePattern(OutlineRule& rule) {
  if (!rule.hasPattern) return;
  if (rule.lineStart) {
    rule.patternAtLineStart.emplace(rule.pattern);
  } else {
    rule.patternSearch.emplace(rule.pattern, true);
  }
}

OutlineMatch scanOutline(PreparedOutline& outline, std::string_view line, std::optional<std::string_view> previous,
                         std::optional<std::string_view> next, OutlineKind kind) {
  OutlineMatch result;
  for (size_t index = 0; index < outline.rules.size(); ++index) {
    const OutlineRule& rule = outline.rules[index];
    if (!kindSelects(rule, kind)) continue;
    outline.errorIndex = index + 1;
    std::optional<std::string_view> title;
    if (!ruleTest(rule, line, next, &title)) continue;
    std::optional<std::string_view> ignored;
    if (rule.blockStartOnly && previous && ruleTest(rule, *previous, line, &ignored)) continue;
    result.rule = &rule;
    result.title = title;
    break;
  }
  outline.errorIndex = 0;
  return result;
}
