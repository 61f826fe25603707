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

bool findsIn(std::string_view subject, const std::string& pattern, bool allowPlain) {
  size_t start = 0;
  size_t end = 0;
  return patternFindFrom(subject, pattern, 0, allowPlain, &start, &end, nullptr);
}

bool matchesAtStart(std::string_view subject, const std::string& pattern) {
  size_t end = 0;
  return patternMatchAt(subject, pattern, 0, &end, nullptr);
}

bool ruleTest(const OutlineRule& rule, std::string_view line, std::optional<std::string_view> next,
              std::optional<std::string_view>* title) {
  if (rule.nextLine.present && !(next && findsIn(*next, rule.nextLine.text, false))) return false;
  if (!rule.lineNotPrefix.empty()) {
    const std::string_view stripped = withoutLeadingSpace(line);
    for (const std::string& prefix : rule.lineNotPrefix) {
      if (matchesAtStart(stripped, prefix)) return false;
    }
  }
  if (!rule.hasPattern) return false;
  PatternCaptures captures;
  size_t start = 0;
  size_t end = 0;
  const bool matched = rule.lineStart ? patternMatchAt(line, rule.pattern, 0, &end, &captures)
                                      : patternFindFrom(line, rule.pattern, 0, true, &start, &end, &captures);
  if (!matched) return false;
  const std::string_view before = line.substr(0, start);
  if (rule.linePrefix.present && !matchesAtStart(before, rule.linePrefix.text)) return false;
  if (rule.precededBy.present && !findsIn(before, rule.precededBy.text, true)) return false;
  const std::string_view rest = line.substr(end);
  if (rule.notFollowedBy.present && matchesAtStart(rest, rule.notFollowedBy.text)) return false;
  if (rule.followedBy.present && !matchesAtStart(rest, rule.followedBy.text)) return false;
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
