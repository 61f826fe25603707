// Rule matching and token output of a line scan. Tokens are merged as they are added (adjacent equal styles
// become one token) and kept as style ids and offsets; a line with bytes of 0x80 and above cuts the texts from
// the token ends only at the end, so that a combining mark at the start of a token can still join the token
// before it. The token array is built once, at its final size, when the scan succeeds.
#include "text/line_scanner.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "host/lua_api.h"
#include "text/token_styles.h"
#include "text/utf8_attach.h"

namespace {

constexpr StyleId kUnnumbered = 0x80000000u;  // ids from here on name styles kept in the scan itself
constexpr size_t kReservedTokens = 128;

bool hasHighBytes(const char* text, size_t length) {
  size_t at = 0;
  for (; at + sizeof(uint64_t) <= length; at += sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, text + at, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) return true;
  }
  for (; at < length; ++at) {
    if (static_cast<unsigned char>(text[at]) >= 0x80) return true;
  }
  return false;
}

void copyCaptures(PatternCaptures& to, const PatternCaptures& from) {
  to.spanCount = from.spanCount;
  to.positionCount = from.positionCount;
  std::copy_n(from.spans, from.spanCount, to.spans);
  std::copy_n(from.positions, from.positionCount, to.positions);
}

}  // namespace

LineScanner::LineScanner(lua_State* L, const PreparedTokenizer& outermost, std::string_view line,
                         std::string_view pattern)
    : L_(L), tokenizer_(&outermost), line_(line.data()), length_(line.size()) {
  std::unique_ptr<SymbolPatternCache>& cache = outermost.symbolPattern;
  if (cache == nullptr || (cache->users == 0 && cache->text != pattern)) {
    cache = std::make_unique<SymbolPatternCache>(SymbolPatternCache{std::string(pattern), MatchPattern(pattern), 0});
  }
  if (cache->text == pattern) {
    sharedSymbolPattern_ = cache.get();
    ++sharedSymbolPattern_->users;
    symbolPattern_ = &sharedSymbolPattern_->pattern;
  } else {
    symbolPattern_ = &ownSymbolPattern_.emplace(pattern);
  }
  nextLineType_ = lua_type(L, kSlotNextLine);
  if (nextLineType_ == LUA_TSTRING) nextLine_ = lua_tolstring(L, kSlotNextLine, &nextLineLength_);
  deferred_ = hasHighBytes(line_, length_);
  tokens_.reserve(std::min(length_, kReservedTokens));
  std::unique_ptr<ConditionMemory>& memory = outermost.conditionMemory;
  if (memory == nullptr) memory = std::make_unique<ConditionMemory>();
  if (memory->inUse) ownConditions_ = std::make_unique<ConditionMemory>();
  conditions_ = ownConditions_ != nullptr ? ownConditions_.get() : memory.get();
  conditions_->inUse = true;
  guard_.left = guardedWork(length_);
}

LineScanner::~LineScanner() {
  if (sharedSymbolPattern_ != nullptr) --sharedSymbolPattern_->users;
  conditions_->clear();
  conditions_->inUse = false;
}

void LineScanner::giveUp(const char* reason) const { throw ScanGiveUp{reason, cursor}; }

void LineScanner::giveUpBeforeTokens(const char* reason) const { throw ScanGiveUp{reason, 0}; }

bool LineScanner::nextLineAllows(const SearchPattern& condition, const char* reasonForNonString) {
  if (nextLineType_ == LUA_TNIL || (nextLineType_ == LUA_TBOOLEAN && !lua_toboolean(L_, kSlotNextLine))) {
    return false;
  }
  if (nextLine_ == nullptr) giveUp(reasonForNonString);
  size_t start = 0;
  size_t end = 0;
  return condition.findFrom({nextLine_, nextLineLength_}, 0, &start, &end, nullptr);
}

// A rule's next-line condition, searched once per scan rather than at every position the rule is tried.
bool LineScanner::nextLineAllowsRule(const TokenRule& rule) {
  for (const ConditionMemory::NextLineAnswer& known : conditions_->nextLineAnswers) {
    if (known.rule == &rule) return known.allows;
  }
  const bool allows = nextLineAllows(*rule.nextLine, "context_guard");
  conditions_->nextLineAnswers.push_back({&rule, allows});
  return allows;
}

// The cheap conditions, the start pattern, then the context conditions of one candidate rule.
bool LineScanner::tryRule(uint32_t ruleIndex, size_t at, RuleMatch* candidate, PatternCaptures* captures) {
  const TokenRule& rule = tokenizer_->rules[ruleIndex];
  ++stats.patternAttempts;
  if (rule.checkedBeforeStart && !passesBeforeStart(rule, at)) return false;
  ++stats.patternSearches;
  if (!rule.start.mayMatchAt(subject(0, length_), at)) return false;
  candidate->rule = ruleIndex;
  candidate->useCaptures = rule.wantsCaptures;
  candidate->captures = captures;
  size_t end = 0;
  if (!matchStart(rule, at, rule.wantsCaptures ? captures : nullptr, &end)) return false;
  if (rule.checkedAfterStart) return passesAfterStart(rule, at, end, candidate);
  if (end <= at) giveUp("empty_match");
  candidate->end = end;
  candidate->regionCloses = false;
  return true;
}

// The next-line condition, complexity, the byte before the cursor and the line start.
bool LineScanner::passesBeforeStart(const TokenRule& rule, size_t at) {
  if (rule.nextLine && !nextLineAllowsRule(rule)) return false;
  if (rule.complex) giveUp("context_guard");
  if (at == 0) return true;
  size_t start = 0;
  size_t end = 0;
  if (rule.notPrecededBy && rule.notPrecededBy->findFrom(subject(at - 1, at), 0, &start, &end, nullptr)) return false;
  return !rule.lineStart;
}

// What follows a start match [at, end): the stop pattern, support, the text before the cursor, the region end
// of a delimited rule and the text after the match (or after the region when it closes on this line).
bool LineScanner::passesAfterStart(const TokenRule& rule, size_t at, size_t end, RuleMatch* candidate) {
  size_t ignored = 0;
  size_t foundStart = 0;
  if (rule.stopPattern && rule.stopPattern->findFrom(subject(at, end), 0, &foundStart, &ignored, nullptr)) {
    if (foundStart == 0) return false;
    end = at + foundStart;
    candidate->useCaptures = false;
  }
  if (!rule.supported) giveUp("complex_rule");
  if (end <= at) giveUp("empty_match");
  if (rule.linePrefix && !linePrefixAllows(rule, at)) return false;
  if (rule.precededBy && !precededByAllows(rule, at)) return false;
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
  if (rule.notFollowedBy && textAfterMatches(rule, *rule.notFollowedBy, rule.notFollowedByWalk.get(), followPoint)) {
    return false;
  }
  if (rule.followedBy && !textAfterMatches(rule, *rule.followedBy, rule.followedByWalk.get(), followPoint)) {
    return false;
  }
  if (emptyEnd) giveUp("empty_match");
  return true;
}

void LineScanner::forgetRulesOf(const PreparedTokenizer& tokenizer) {
  conditions_->forgetRules(tokenizer.rules.data(), tokenizer.rules.data() + tokenizer.rules.size());
}

// Matches a rule's start pattern at `at`, reusing the last answer when the previous rule tried here has the
// same start pattern (grammars often give several rules one pattern with different conditions).
bool LineScanner::matchStart(const TokenRule& rule, size_t at, PatternCaptures* captures, size_t* end) {
  if (!rule.startShared) return rule.start.matchAt(subject(0, length_), at, end, captures);
  StartMatch& last = lastStart_;
  if (last.valid && last.rule == rule.sameStartAs && last.at == at && (captures == nullptr || last.hasCaptures)) {
    if (captures != nullptr && last.matched) copyCaptures(*captures, last.captures);
    *end = last.end;
    return last.matched;
  }
  last.matched = rule.start.matchAt(subject(0, length_), at, &last.end, captures);
  last.valid = true;
  last.rule = rule.sameStartAs;
  last.at = at;
  last.hasCaptures = captures != nullptr;
  if (captures != nullptr && last.matched) copyCaptures(last.captures, *captures);
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
  const std::vector<uint32_t>& candidates = tokenizer_->candidates[byte];
  if (tokenizer_->strategy == MatchStrategy::First) {  // the first rule that passes
    for (const uint32_t ruleIndex : candidates) {
      if (tryRule(ruleIndex, at, best, keptCaptures_)) return true;
    }
    return false;
  }
  bool found = false;
  RuleMatch candidate;
  for (const uint32_t ruleIndex : candidates) {
    if (!tryRule(ruleIndex, at, &candidate, spareCaptures_)) continue;
    if (!found || isBetter(candidate, *best)) {
      *best = candidate;
      std::swap(spareCaptures_, keptCaptures_);  // the best keeps its captures; the next candidate gets the other
      found = true;
    }
  }
  return found;
}

// The style that the table in `tableSlot` gives the text [from, to), or 0 when it has no truthy entry for it.
StyleId LineScanner::symbolStyle(int tableSlot, size_t from, size_t to) {
  if (tableSlot == kSlotSymbols && !symbolsPresent_) return 0;
  pushText(from, to);
  const int type = lua_rawget(L_, tableSlot);
  if (type == LUA_TNIL || (type == LUA_TBOOLEAN && !lua_toboolean(L_, -1))) {
    lua_pop(L_, 1);
    return 0;
  }
  if (type != LUA_TSTRING) giveUp("symbol_style");
  StyleId id = styleIdOfValue(L_, kSlotStylePalette, -1);
  if (id == 0) {
    size_t length = 0;
    const char* text = lua_tolstring(L_, -1, &length);
    id = styleId(TokenStyle{std::string(text, length)});
  }
  lua_pop(L_, 1);
  return id;
}

// The id of a grammar style; one past the palette's capacity is numbered within this scan.
StyleId LineScanner::styleId(const TokenStyle& style) {
  if (style.id != 0) return style.id;
  const auto known = std::find(unnumberedStyles_.begin(), unnumberedStyles_.end(), style.text);
  if (known != unnumberedStyles_.end()) return kUnnumbered + static_cast<StyleId>(known - unnumberedStyles_.begin());
  unnumberedStyles_.push_back(style.text);
  return kUnnumbered + static_cast<StyleId>(unnumberedStyles_.size() - 1);
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
  if (const StyleId symbol = symbolStyle(kSlotSymbols, at, match.end)) {
    emitPiece(at, match.end, symbol);
  } else if (match.useCaptures && match.captures->spanCount > 0) {
    emitCaptureStyled(at, match.end, *match.captures, rule.captureStyles, rule.style);
  } else {
    emitStyled(at, match.end, rule.delimited() && rule.delimiterStyle ? *rule.delimiterStyle : rule.style);
  }
  postSymbolsActive_ = false;
}

// Where the text of `span` first occurs in [from, to), or kNotFound. The capture itself lies in the line, so
// when it lies within [from, to) the first occurrence is no later than it and the search stops there; memmem
// keeps a search of a long text for a long capture linear.
size_t LineScanner::firstOccurrence(const PatternSpan& span, size_t from, size_t to) const {
  const auto spanStart = static_cast<size_t>(span.start - line_);
  const bool inside = span.start >= line_ + from && spanStart <= to && span.length <= to - spanStart;
  const size_t windowEnd = inside ? spanStart + span.length : to;
  const void* found = memmem(line_ + from, windowEnd - from, span.start, span.length);
  return found == nullptr ? kNotFound : static_cast<size_t>(static_cast<const char*>(found) - line_);
}

// Styles each span capture found in [from, to) with its capture style and the rest with the base style.
void LineScanner::emitCaptureStyled(size_t from, size_t to, const PatternCaptures& captures,
                                    const std::vector<TokenStyle>& captureStyles, const TokenStyle& style) {
  const bool single = captureStyles.size() == 1;
  const StyleId base = single ? kNormalStyle : styleId(style);
  size_t position = from;
  for (uint64_t i = 0; i < captures.spanCount; ++i) {
    const PatternSpan& span = captures.spans[i];
    if (span.length == 0 || span.length > to - position) continue;
    const size_t start = firstOccurrence(span, position, to);
    if (start == kNotFound) continue;
    if (start > position) emitPiece(position, start, base);
    const StyleId captureStyle =
        single ? styleId(captureStyles[0]) : (i < captureStyles.size() ? styleId(captureStyles[i]) : base);
    emitPiece(start, start + span.length, captureStyle);
    position = start + span.length;
  }
  if (to > position) emitPiece(position, to, base);
}

void LineScanner::emitStyled(size_t from, size_t to, const TokenStyle& style) { emitPiece(from, to, styleId(style)); }

// Emits [from, to) in `style`, split into words under a post-symbols table.
void LineScanner::emitPiece(size_t from, size_t to, StyleId style) {
  if (postSymbolsActive_) {
    splitWords(from, to, style);
  } else {
    addToken(from, to, style);
  }
}

void LineScanner::splitWords(size_t from, size_t to, StyleId baseStyle) {
  const std::string_view piece = subject(from, to);
  size_t at = from;
  while (at < to) {
    size_t wordEnd = 0;
    if (symbolPattern_->matchAt(piece, at - from, &wordEnd, nullptr)) {
      wordEnd += from;
      if (wordEnd <= at) giveUp("empty_match");
      const StyleId style = symbolStyle(kSlotPostSymbols, at, wordEnd);
      addToken(at, wordEnd, style != 0 ? style : baseStyle);
      at = wordEnd;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = decodeUtf8Strict(line_ + at, line_ + to, &codePoint);
    if (length == 0) giveUp("unicode");
    addToken(at, at + length, baseStyle);
    at += length;
  }
}

void LineScanner::emitRegion(const TokenRule& rule, size_t from, size_t closeStart, size_t closeEnd) {
  if (rule.delimiterStyle) {
    if (closeStart > from) emitStyled(from, closeStart, rule.style);
    if (closeEnd > closeStart) emitStyled(closeStart, closeEnd, *rule.delimiterStyle);
  } else if (closeEnd > from) {
    emitStyled(from, closeEnd, rule.style);
  }
}

// A kept search from an earlier position gives what a new one would when the new start lies after every
// escaped end it passed over (a new search could find another end inside one of those) and not after the end
// it found; an end pattern anchored with "^" depends on the start itself.
bool LineScanner::findRegionEnd(const TokenRule& rule, size_t from, size_t* start, size_t* end) {
  std::vector<ConditionMemory::RegionEndSearch>& searches = conditions_->regionEndSearches;
  auto known = std::find_if(searches.begin(), searches.end(),
                            [&rule](const ConditionMemory::RegionEndSearch& search) { return search.rule == &rule; });
  const bool reusable = known != searches.end() && from >= known->from && from >= known->skippedUntil &&
                        (!known->found || known->start >= from) &&
                        !(rule.endPattern->anchored() && from != known->from);
  if (!reusable) {
    if (known == searches.end()) known = searches.insert(known, {&rule, 0, false, 0, 0, 0});
    known->from = from;
    known->found = searchRegionEnd(rule, from, &known->start, &known->end, &known->skippedUntil);
  }
  *start = known->start;
  *end = known->end;
  return known->found;
}

bool LineScanner::searchRegionEnd(const TokenRule& rule, size_t from, size_t* start, size_t* end,
                                  size_t* skippedUntil) {
  const bool escapable = rule.escape.present && !rule.escape.text.empty();
  const char escape = escapable ? rule.escape.text[0] : 0;
  for (;;) {
    *skippedUntil = from;
    if (!rule.endPattern->findFrom(subject(0, length_), from, start, end, nullptr)) return false;
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
  if (symbolPattern_->matchAt(subject(0, length_), at, &wordEnd, nullptr)) {
    if (wordEnd <= at) giveUp("empty_match");
    const StyleId style = symbolStyle(kSlotSymbols, at, wordEnd);
    ++stats.symbolFallbacks;
    addToken(at, wordEnd, style != 0 ? style : kNormalStyle);
    *next = wordEnd;
    return true;
  }
  if (at >= length_) return false;
  addToken(at, at + 1, kNormalStyle);
  *next = at + 1;
  return true;
}

// Start offset of written token `index` (from 0) while texts are deferred: the end of the token before it.
size_t LineScanner::writtenTokenStart(size_t index) const { return index == 0 ? 0 : tokens_[index - 1].end; }

void LineScanner::addToken(size_t from, size_t to, StyleId style) {
  if (hasPending_ && pending_.style == style) {
    pending_.end = to;
    return;
  }
  if (hasPending_) tokens_.push_back(pending_);
  if (deferred_ && !tokens_.empty() && static_cast<unsigned char>(line_[from]) >= 0x80) {
    Token& last = tokens_.back();
    const size_t lastStart = writtenTokenStart(tokens_.size() - 1);
    const size_t attached = attachedPrefixLength(line_ + lastStart, line_ + from, line_ + to);
    if (attached == to - from) {  // all of it joins the last token, which becomes pending again
      pending_ = {lastStart, to, last.style};
      tokens_.pop_back();
      hasPending_ = true;
      return;
    }
    if (attached > 0) {
      from += attached;
      last.end = from;
    }
  }
  pending_ = {from, to, style};
  hasPending_ = true;
}

// Pushes the text [from, to) of the line; a one-byte text comes ready-made.
void LineScanner::pushText(size_t from, size_t to) {
  if (to - from == 1) {
    lua_rawgeti(L_, kSlotByteTexts, static_cast<unsigned char>(line_[from]) + 1);
  } else {
    lua_pushlstring(L_, line_ + from, to - from);
  }
}

void LineScanner::pushStyle(StyleId style) {
  if (style >= kUnnumbered) {
    const std::string& text = unnumberedStyles_[style - kUnnumbered];
    lua_pushlstring(L_, text.data(), text.size());
  } else {
    lua_rawgeti(L_, kSlotStylePalette, style);
  }
}

void LineScanner::finish() {
  if (hasPending_) tokens_.push_back(pending_);
  hasPending_ = false;
  const size_t elements = 2 * tokens_.size();
  lua_createtable(L_, static_cast<int>(std::min<size_t>(elements, INT_MAX)), 0);
  lua_Integer slot = 0;
  size_t previousEnd = 0;
  for (const Token& token : tokens_) {
    pushStyle(token.style);
    lua_rawseti(L_, -2, ++slot);
    const size_t start = deferred_ ? previousEnd : token.start;
    pushText(start, token.end);
    lua_rawseti(L_, -2, ++slot);
    previousEnd = token.end;
  }
  lua_replace(L_, kSlotTokens);
}
