// Rule matching and token output of a line scan. Tokens are merged as they are added (adjacent raw-equal
// styles become one token); a line with bytes of 0x80 and above keeps token ends as integers until the end,
// so that a combining mark at the start of a token can still join the token before it.
#include "text/line_scanner.h"

#include <cstring>

#include "host/lua_api.h"
#include "text/utf8_attach.h"

namespace {

constexpr size_t kPresizedTokenSlots = 32;

bool hasHighBytes(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
  }
  return false;
}

}  // namespace

LineScanner::LineScanner(lua_State* L) : L_(L) {
  line_ = lua_tolstring(L, kSlotLine, &length_);
  size_t patternLength = 0;
  const char* pattern = lua_tolstring(L, kSlotSymbolPattern, &patternLength);
  symbolPattern_ = {pattern, patternLength};
  nextLineType_ = lua_type(L, kSlotNextLine);
  if (nextLineType_ == LUA_TSTRING) nextLine_ = lua_tolstring(L, kSlotNextLine, &nextLineLength_);
  deferred_ = hasHighBytes(line_, length_);
  lua_createtable(L, static_cast<int>(length_ < kPresizedTokenSlots ? length_ : kPresizedTokenSlots), 0);
  lua_replace(L, kSlotTokens);
}

void LineScanner::giveUp(const char* reason) const { throw ScanGiveUp{reason, cursor}; }

void LineScanner::giveUpBeforeTokens(const char* reason) const { throw ScanGiveUp{reason, 0}; }

bool LineScanner::nextLineAllows(const OptionalString& condition, const char* reasonForNonString) {
  if (nextLineType_ == LUA_TNIL || (nextLineType_ == LUA_TBOOLEAN && !lua_toboolean(L_, kSlotNextLine))) {
    return false;
  }
  if (nextLine_ == nullptr) giveUp(reasonForNonString);
  size_t start = 0;
  size_t end = 0;
  return patternFindFrom({nextLine_, nextLineLength_}, condition.text, 0, false, &start, &end, nullptr);
}

// The cheap conditions, the start pattern, then the context conditions of one candidate rule.
bool LineScanner::tryRule(uint32_t ruleIndex, size_t at, RuleMatch* candidate) {
  const TokenRule& rule = tokenizer_->rules[ruleIndex];
  ++stats.patternAttempts;
  if (rule.nextLine.present && !nextLineAllows(rule.nextLine, "context_guard")) return false;
  if (rule.complex) giveUp("context_guard");
  if (at > 0) {
    size_t start = 0;
    size_t end = 0;
    if (rule.notPrecededBy.present &&
        patternFindFrom(subject(at - 1, at), rule.notPrecededBy.text, 0, false, &start, &end, nullptr)) {
      return false;
    }
    if (rule.lineStart) return false;
  }
  ++stats.patternSearches;
  candidate->rule = ruleIndex;
  candidate->useCaptures = !rule.captureStyles.empty() && !(rule.delimited() && rule.delimiterStyle.present);
  size_t end = 0;
  if (!matchStart(rule, at, candidate->useCaptures ? &candidate->captures : nullptr, &end)) return false;
  if (rule.stopPattern.present) {
    size_t stopStart = 0;
    size_t stopEnd = 0;
    if (patternFindFrom(subject(at, end), rule.stopPattern.text, 0, false, &stopStart, &stopEnd, nullptr)) {
      if (stopStart == 0) return false;
      end = at + stopStart;
      candidate->useCaptures = false;
    }
  }
  if (!rule.supported) giveUp("complex_rule");
  if (end <= at) giveUp("empty_match");
  size_t ignored = 0;
  if (!rule.linePrefixPattern.empty() &&
      !patternMatchAt(subject(0, at), rule.linePrefixPattern, 0, &ignored, nullptr)) {
    return false;
  }
  size_t foundStart = 0;
  if (rule.precededBy.present &&
      !patternFindFrom(subject(0, at), rule.precededBy.text, 0, false, &foundStart, &ignored, nullptr)) {
    return false;
  }
  candidate->end = end;
  candidate->regionCloses = false;
  size_t followPoint = end;
  bool emptyEnd = false;
  if (rule.delimited()) {
    size_t closeStart = 0;
    size_t closeEnd = 0;
    if (findRegionEnd(rule, end, &closeStart, &closeEnd)) {
      emptyEnd = closeStart == closeEnd;
      if (!emptyEnd) {
        candidate->regionCloses = true;
        candidate->regionStart = closeStart;
        candidate->regionEnd = closeEnd;
        followPoint = closeEnd;
      }
    }
  }
  const std::string_view rest = subject(followPoint, length_);
  if (rule.notFollowedBy.present && patternMatchAt(rest, rule.notFollowedBy.text, 0, &ignored, nullptr)) return false;
  if (rule.followedBy.present && !patternMatchAt(rest, rule.followedBy.text, 0, &ignored, nullptr)) return false;
  if (emptyEnd) giveUp("empty_match");
  return true;
}

// Matches a rule's start pattern at `at`, reusing the last answer when the previous rule tried here has the
// same start pattern (grammars often give several rules one pattern with different conditions).
bool LineScanner::matchStart(const TokenRule& rule, size_t at, PatternCaptures* captures, size_t* end) {
  StartMatch& last = lastStart_;
  if (last.valid && last.rule == rule.sameStartAs && last.at == at && (captures == nullptr || last.hasCaptures)) {
    if (captures != nullptr && last.matched) *captures = last.captures;
    *end = last.end;
    return last.matched;
  }
  last.matched = patternMatchAt(subject(0, length_), rule.startPattern, at, &last.end, captures);
  last.valid = true;
  last.rule = rule.sameStartAs;
  last.at = at;
  last.hasCaptures = captures != nullptr;
  if (captures != nullptr && last.matched) last.captures = *captures;
  *end = last.end;
  return last.matched;
}

bool LineScanner::isBetter(const RuleMatch& candidate, const RuleMatch& best) const {
  const double candidatePriority = tokenizer_->rules[candidate.rule].priority;
  const double bestPriority = tokenizer_->rules[best.rule].priority;
  switch (tokenizer_->strategy) {
    case MatchStrategy::Longest:
      return candidate.end > best.end;
    case MatchStrategy::PriorityFirst:
      return candidatePriority > bestPriority;
    case MatchStrategy::PriorityLongest:
      return candidatePriority > bestPriority || (candidatePriority == bestPriority && candidate.end > best.end);
    case MatchStrategy::First:
      break;
  }
  return false;
}

bool LineScanner::matchRulesAt(size_t at, RuleMatch* best) {
  const unsigned char byte = at < length_ ? static_cast<unsigned char>(line_[at]) : 0;
  bool found = false;
  for (const uint32_t ruleIndex : tokenizer_->candidates[byte]) {
    if (!tryRule(ruleIndex, at, &candidate_)) continue;
    if (!found || isBetter(candidate_, *best)) {
      *best = candidate_;
      found = true;
    }
    if (tokenizer_->strategy == MatchStrategy::First) break;
  }
  return found;
}

// Pushes the style that the table in `tableSlot` gives the text [from, to) and returns true, or pushes nothing
// and returns false when the table has no truthy entry for it.
bool LineScanner::pushSymbolStyle(int tableSlot, size_t from, size_t to) {
  lua_pushlstring(L_, line_ + from, to - from);
  const int type = lua_rawget(L_, tableSlot);
  if (type == LUA_TNIL || (type == LUA_TBOOLEAN && !lua_toboolean(L_, -1))) {
    lua_pop(L_, 1);
    return false;
  }
  if (type != LUA_TSTRING) giveUp("symbol_style");
  return true;
}

void LineScanner::selectPostSymbols(const TokenRule& rule) {
  postSymbolsActive_ = false;
  if (!tokenizer_->usesPostSymbols || !rule.postSymbolsName.present) return;
  int type = LUA_TNIL;
  if (lua_getiuservalue(L_, kSlotCurrentTokenizer, 1) == LUA_TTABLE) {
    lua_pushlstring(L_, rule.postSymbolsName.text.data(), rule.postSymbolsName.text.size());
    type = lua_rawget(L_, -2);
  } else {
    lua_pushnil(L_);
  }
  lua_remove(L_, -2);
  bool usable = type == LUA_TTABLE;
  if (usable) {
    lua_pushnil(L_);
    usable = lua_next(L_, -2) != 0;
    if (usable) lua_pop(L_, 2);
  }
  if (usable && lua_getmetatable(L_, -1)) giveUp("symbol_callbacks");
  if (usable) {
    lua_replace(L_, kSlotPostSymbols);
    postSymbolsActive_ = true;
  } else {
    lua_pop(L_, 1);
  }
}

void LineScanner::emitMatch(const RuleMatch& match, size_t at) {
  const TokenRule& rule = tokenizer_->rules[match.rule];
  selectPostSymbols(rule);
  if (pushSymbolStyle(kSlotSymbols, at, match.end)) {
    emitPiece(at, match.end);
  } else if (match.useCaptures && match.captures.spanCount > 0) {
    emitCaptureStyled(at, match.end, match.captures, rule.captureStyles, rule.style);
  } else {
    emitStyled(at, match.end, rule.delimited() && rule.delimiterStyle.present ? rule.delimiterStyle.text : rule.style);
  }
  postSymbolsActive_ = false;
}

// Styles each span capture found in [from, to) with its capture style and the rest with the base style.
void LineScanner::emitCaptureStyled(size_t from, size_t to, const PatternCaptures& captures,
                                    const std::vector<std::string>& captureStyles, const std::string& style) {
  static const std::string kNormal = "normal";
  const std::string& base = captureStyles.size() == 1 ? kNormal : style;
  size_t position = from;
  for (uint64_t i = 0; i < captures.spanCount; ++i) {
    const PatternSpan& span = captures.spans[i];
    if (span.length == 0 || span.length > to - position) continue;
    const std::string_view window = subject(position, to);
    const size_t found = window.find(std::string_view(span.start, span.length));
    if (found == std::string_view::npos) continue;
    const size_t start = position + found;
    if (start > position) emitStyled(position, start, base);
    const std::string& captureStyle =
        captureStyles.size() == 1 ? captureStyles[0] : (i < captureStyles.size() ? captureStyles[i] : base);
    emitStyled(start, start + span.length, captureStyle);
    position = start + span.length;
  }
  if (to > position) emitStyled(position, to, base);
}

void LineScanner::emitStyled(size_t from, size_t to, std::string_view style) {
  if (!postSymbolsActive_ && hasPending_ && style == pendingStyle_) {  // merges without making a Lua string
    pendingEnd_ = to;
    return;
  }
  lua_pushlstring(L_, style.data(), style.size());
  emitPiece(from, to);
}

// Emits [from, to) in the style on top of the stack (popped), split into words under a post-symbols table.
void LineScanner::emitPiece(size_t from, size_t to) {
  if (postSymbolsActive_) {
    lua_replace(L_, kSlotBaseStyle);
    splitWords(from, to);
  } else {
    addToken(from, to);
  }
}

void LineScanner::splitWords(size_t from, size_t to) {
  const std::string_view piece = subject(from, to);
  size_t at = from;
  while (at < to) {
    size_t wordEnd = 0;
    if (patternMatchAt(piece, symbolPattern_, at - from, &wordEnd, nullptr)) {
      wordEnd += from;
      if (wordEnd <= at) giveUp("empty_match");
      if (!pushSymbolStyle(kSlotPostSymbols, at, wordEnd)) lua_pushvalue(L_, kSlotBaseStyle);
      addToken(at, wordEnd);
      at = wordEnd;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = decodeUtf8Strict(line_ + at, line_ + to, &codePoint);
    if (length == 0) giveUp("unicode");
    lua_pushvalue(L_, kSlotBaseStyle);
    addToken(at, at + length);
    at += length;
  }
}

void LineScanner::emitRegion(const TokenRule& rule, size_t from, size_t closeStart, size_t closeEnd) {
  if (rule.delimiterStyle.present) {
    if (closeStart > from) emitStyled(from, closeStart, rule.style);
    if (closeEnd > closeStart) emitStyled(closeStart, closeEnd, rule.delimiterStyle.text);
  } else if (closeEnd > from) {
    emitStyled(from, closeEnd, rule.style);
  }
}

bool LineScanner::findRegionEnd(const TokenRule& rule, size_t from, size_t* start, size_t* end) {
  const char escape = rule.escape.present && !rule.escape.text.empty() ? rule.escape.text[0] : 0;
  const bool escapable = rule.escape.present && !rule.escape.text.empty();
  for (;;) {
    if (!patternFindFrom(subject(0, length_), rule.endPattern.text, from, true, start, end, nullptr)) return false;
    if (!escapable || *start == *end) return true;
    size_t run = 0;
    while (run < *start && line_[*start - run - 1] == escape) ++run;
    if (run % 2 == 0) return true;
    from = *end;
  }
}

bool LineScanner::symbolFallback(size_t at, size_t* next) {
  ++stats.fallbacks;
  size_t wordEnd = 0;
  if (patternMatchAt(subject(0, length_), symbolPattern_, at, &wordEnd, nullptr)) {
    if (wordEnd <= at) giveUp("empty_match");
    if (!pushSymbolStyle(kSlotSymbols, at, wordEnd)) lua_pushliteral(L_, "normal");
    ++stats.symbolFallbacks;
    addToken(at, wordEnd);
    *next = wordEnd;
    return true;
  }
  if (at >= length_) return false;
  emitStyled(at, at + 1, "normal");
  *next = at + 1;
  return true;
}

// Adds [from, to) in the style on top of the stack (popped).
void LineScanner::addToken(size_t from, size_t to) {
  lua_replace(L_, kSlotNewStyle);
  if (hasPending_ && lua_rawequal(L_, kSlotPendingStyle, kSlotNewStyle)) {
    pendingEnd_ = to;
    return;
  }
  if (hasPending_) writePending();
  if (deferred_ && written_ > 0 && static_cast<unsigned char>(line_[from]) >= 0x80) {
    const size_t lastStart = writtenTokenStart(static_cast<size_t>(written_ / 2));
    const size_t attached = attachedPrefixLength(line_ + lastStart, line_ + from, line_ + to);
    if (attached == to - from) {
      takeBackLastToken(to);
      return;
    }
    if (attached > 0) {
      from += attached;
      lua_pushinteger(L_, static_cast<lua_Integer>(from));
      lua_rawseti(L_, kSlotTokens, written_);
    }
  }
  lua_copy(L_, kSlotNewStyle, kSlotPendingStyle);
  rememberPendingStyle();
  hasPending_ = true;
  pendingStart_ = from;
  pendingEnd_ = to;
}

void LineScanner::rememberPendingStyle() {
  size_t length = 0;
  const char* text = lua_tolstring(L_, kSlotPendingStyle, &length);
  pendingStyle_ = {text, length};
}

// Start offset of written token k (1-based), while texts are deferred end offsets.
size_t LineScanner::writtenTokenStart(size_t tokenIndex) {
  if (tokenIndex <= 1) return 0;
  lua_rawgeti(L_, kSlotTokens, static_cast<lua_Integer>(2 * (tokenIndex - 1)));
  const auto start = static_cast<size_t>(lua_tointeger(L_, -1));
  lua_pop(L_, 1);
  return start;
}

// The last written token becomes the pending token again, extended to `to`.
void LineScanner::takeBackLastToken(size_t to) {
  const size_t lastIndex = static_cast<size_t>(written_ / 2);
  pendingStart_ = writtenTokenStart(lastIndex);
  pendingEnd_ = to;
  lua_rawgeti(L_, kSlotTokens, written_ - 1);
  lua_replace(L_, kSlotPendingStyle);
  rememberPendingStyle();
  lua_pushnil(L_);
  lua_rawseti(L_, kSlotTokens, written_);
  lua_pushnil(L_);
  lua_rawseti(L_, kSlotTokens, written_ - 1);
  written_ -= 2;
  hasPending_ = true;
}

void LineScanner::writePending() {
  lua_pushvalue(L_, kSlotPendingStyle);
  lua_rawseti(L_, kSlotTokens, ++written_);
  if (deferred_) {
    lua_pushinteger(L_, static_cast<lua_Integer>(pendingEnd_));
  } else {
    lua_pushlstring(L_, line_ + pendingStart_, pendingEnd_ - pendingStart_);
  }
  lua_rawseti(L_, kSlotTokens, ++written_);
  hasPending_ = false;
}

void LineScanner::finish() {
  if (hasPending_) writePending();
  if (!deferred_) return;
  size_t start = 0;
  for (int64_t slot = 2; slot <= written_; slot += 2) {
    lua_rawgeti(L_, kSlotTokens, slot);
    const auto end = static_cast<size_t>(lua_tointeger(L_, -1));
    lua_pop(L_, 1);
    lua_pushlstring(L_, line_ + start, end - start);
    lua_rawseti(L_, kSlotTokens, slot);
    start = end;
  }
}
