// Indentation statistics: widths of space-indented lines and the steps between neighbouring lines; a width that
// both occurs and is stepped by is the likely indent.
#include "text/indent_detect.h"

namespace {

constexpr uint64_t kEveryLineLimit = 128;
constexpr uint64_t kWindows = 16;
constexpr uint64_t kWindowLines = 8;

}  // namespace

void IndentStats::addLine(std::string_view line) {
  if (line.empty()) return;
  size_t run = 0;
  bool sawTab = false;
  while (run < line.size() && (line[run] == ' ' || line[run] == '\t')) {
    if (line[run] == '\t') sawTab = true;
    ++run;
  }
  if (run == line.size() || line[run] == '\r' || line[run] == '\n') return;  // blank line
  if (sawTab) {
    ++tabLines;
    hasPrevious = false;
    return;
  }
  const uint64_t spaces = run;
  if (spaces > 0) {
    ++spaceLines;
    if (spaces <= kMaxIndentWidth) ++width[spaces];
  }
  if (hasPrevious) {
    const uint64_t change = spaces > previous ? spaces - previous : previous - spaces;
    if (change >= 2 && change <= kMaxIndentWidth) ++delta[change];
  }
  previous = spaces;
  hasPrevious = true;
}

void forEachSampledLine(uint64_t count, const std::function<void(uint64_t index, bool windowStart)>& visit) {
  if (count <= kEveryLineLimit) {
    for (uint64_t index = 1; index <= count; ++index) visit(index, index == 1);
    return;
  }
  const uint64_t step = (count - kWindowLines) / (kWindows - 1);
  const uint64_t rest = (count - kWindowLines) % (kWindows - 1);
  for (uint64_t window = 0; window < kWindows; ++window) {
    const uint64_t first = 1 + window * step + window * rest / (kWindows - 1);
    for (uint64_t offset = 0; offset < kWindowLines; ++offset) visit(first + offset, offset == 0);
  }
}

IndentVerdict decideIndent(const IndentStats& stats) {
  IndentVerdict verdict;
  if (stats.tabLines >= 2 && stats.tabLines > stats.spaceLines) {
    verdict.type = IndentType::Tabs;
    return verdict;
  }
  if (!(stats.spaceLines >= 2 && stats.spaceLines > stats.tabLines)) return verdict;
  verdict.type = IndentType::Spaces;
  uint64_t bestScore = 0;
  for (int size = 2; size <= kMaxIndentWidth; ++size) {
    if (stats.width[size] < 2 && stats.delta[size] < 2) continue;
    const uint64_t score = stats.width[size] + stats.delta[size];
    const bool better =
        verdict.size == 0 || score > bestScore || (score == bestScore && stats.delta[size] > stats.delta[verdict.size]);
    if (better) {
      verdict.size = size;
      bestScore = score;
    }
  }
  return verdict;
}
