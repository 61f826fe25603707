// The line prepass: line patterns tried once where a line (or an embedded language) begins. A chosen pattern
// may consume the whole line, consume up to one of its position captures, or consume nothing.
#include <algorithm>

#include "text/line_scanner.h"
#include "text/token_styles.h"

namespace {

bool prefersPattern(MatchStrategy strategy, const LinePattern& candidate, size_t candidateEnd, const LinePattern& best,
                    size_t bestEnd) {
  switch (strategy) {
    case MatchStrategy::Longest:
      return candidateEnd > bestEnd;
    case MatchStrategy::PriorityFirst:
      return candidate.priority > best.priority;
    case MatchStrategy::PriorityLongest:
      return candidate.priority > best.priority || (candidate.priority == best.priority && candidateEnd > bestEnd);
    case MatchStrategy::First:
      break;
  }
  return false;
}

}  // namespace

// Whether one line pattern matches at the start of [at, limit) and passes its conditions; *end is relative to at.
bool LineScanner::linePatternPasses(const LinePattern& pattern, size_t at, size_t limit, size_t* end,
                                    PatternCaptures* captures) {
  if (pattern.nextLine && !nextLineAllows(*pattern.nextLine, "line_prepass")) return false;
  const std::string_view text = subject(at, limit);
  const bool wantCaptures = !pattern.captureStyles.empty() || pattern.hasConsumeTo;
  if (!pattern.pattern.matchAt(text, 0, end, wantCaptures ? captures : nullptr)) return false;
  if (*end == 0) giveUp("empty_match");
  size_t ignored = 0;
  const std::string_view rest = text.substr(*end);
  if (pattern.notFollowedBy && pattern.notFollowedBy->matchAt(rest, 0, &ignored, nullptr)) return false;
  return !pattern.followedBy || pattern.followedBy->matchAt(rest, 0, &ignored, nullptr);
}

size_t LineScanner::runLinePrepass(size_t at, size_t limit) {
  const std::vector<LinePattern>& patterns = tokenizer_->linePatterns;
  const LinePattern* chosen = nullptr;
  size_t chosenEnd = 0;
  PatternCaptures chosenCaptures;
  for (const LinePattern& pattern : patterns) {
    size_t end = 0;
    if (!linePatternPasses(pattern, at, limit, &end, spareCaptures_)) continue;
    if (chosen == nullptr || prefersPattern(tokenizer_->strategy, pattern, end, *chosen, chosenEnd)) {
      chosen = &pattern;
      chosenEnd = end;
      chosenCaptures = *spareCaptures_;
    }
  }
  if (chosen == nullptr) return at;
  size_t consumed = 0;
  if (chosen->consumeLine) {
    consumed = limit - at;
    emitLinePatternMatch(*chosen, at, at + std::min(chosenEnd, consumed), chosenCaptures);
    if (at + chosenEnd < limit) emitPiece(at + chosenEnd, limit, kNormalStyle);
  } else if (chosen->hasConsumeTo) {
    const auto k = static_cast<uint64_t>(chosen->consumeTo);
    if (chosenCaptures.positionCount < k || chosenCaptures.positions[k - 1] > chosenEnd) giveUp("line_prepass");
    consumed = chosenCaptures.positions[k - 1];
    emitLinePatternMatch(*chosen, at, at + consumed, chosenCaptures);
  }
  if (consumed > 0) ++stats.cursorSteps;
  return at + consumed;
}

// Emits the consumed text [at, consumedEnd): one token, pieces cut at the position captures, or styled span
// captures.
void LineScanner::emitLinePatternMatch(const LinePattern& pattern, size_t at, size_t consumedEnd,
                                       const PatternCaptures& captures) {
  if (consumedEnd == at) return;
  if (pattern.captureStyles.empty()) {
    emitStyled(at, consumedEnd, pattern.style);
    return;
  }
  if (captures.positionCount == 0) {
    emitCaptureStyled(at, consumedEnd, captures, pattern.captureStyles, pattern.style);
    return;
  }
  const size_t consumedLength = consumedEnd - at;
  size_t pieces = 0;
  size_t previous = 0;
  for (uint64_t i = 0; i <= captures.positionCount; ++i) {
    const size_t cut = i < captures.positionCount ? captures.positions[i] : consumedLength;
    if (cut < previous || cut > consumedLength) giveUp("line_prepass");
    if (cut > previous) ++pieces;
    previous = cut;
  }
  if (pieces != pattern.captureStyles.size()) giveUp("line_prepass");
  size_t styleIndex = 0;
  previous = 0;
  for (uint64_t i = 0; i <= captures.positionCount; ++i) {
    const size_t cut = i < captures.positionCount ? captures.positions[i] : consumedLength;
    if (cut > previous) emitStyled(at + previous, at + cut, pattern.captureStyles[styleIndex++]);
    previous = cut;
  }
}
