// The nested form of a line scan. The language state string holds one byte per level: the open rule of that
// level, where a rule with an embedded language opens the next level. Levels are rebuilt from the state at the
// start; a rule with an embedded language pushes one and its parent's end drops it again (the outer levels are
// what a rebuild from the shortened state would give, since resolved tokenizers are cached). Each level's
// tokenizer sits in its own stack slot above the working slots and is held while the level lives, so a resolver
// that finalises one cannot pull it away mid-scan, and a line that opens and closes many levels does not grow
// the stack. A closed level's tokenizer that stays cached is held until the scan ends, since the scan keeps
// what it learnt about its rules for when the level opens again.
#include <array>
#include <memory_resource>
#include <string>
#include <vector>

#include "host/lua_api.h"
#include "text/grammar_reader.h"
#include "text/line_scanner.h"
#include "text/tokenizer_handle.h"
#include "text/tokenizer_scan.h"

namespace {

constexpr lua_Integer kMaxCarriedRule = 255;
// Each level holds a stack slot. A line nested deeper than this is left to the scripts, as a state the scan
// cannot carry: half of Lua's stack, so that the caller's frames and the resolver keep room below its limit.
constexpr size_t kMostLevels = 500000;
// Stack slots a level push makes sure of, for the scan's own pushes; and those a call of the resolver makes
// sure of, for the resolver to run in.
constexpr int kLevelStackRoom = 8;
constexpr int kResolverStackRoom = 10000;
// The argument position that a resolver's answer of the wrong type is reported at: its stack position when the
// levels of this depth were the only slots above the working slots.
constexpr int kReportedLevelBase = 14;

struct Level {
  TokenizerHandle* handle;
  int slot;
  uint32_t parentRule;  // 1-based rule of the outer level that opened this one; 0 at the outermost level
  TokenizerHold hold;
};

class NestedScan {
 public:
  NestedScan(lua_State* L, LineScanner& scanner, TokenizerHandle* outermost)
      : L_(L), scanner_(scanner), outermost_(outermost) {
    size_t length = 0;
    const char* state = lua_tolstring(L, kSlotState, &length);
    state_.assign(state, length);
    levels_.reserve(kUsualDepth);
  }

  void run();

 private:
  void restoreLevels();
  TokenizerHandle* resolve(const Level& level, uint32_t rule);
  void checkAnswer(int index, int reportedIndex);
  void pushLevel(TokenizerHandle* handle, uint32_t parentRule);
  bool innermostStaysCached();
  void keepUntilScanEnds(const Level& level);
  void popLevel();
  void enterLevel();
  enum class RegionStep { Closed, ParentEndFirst, RunsToLineEnd };
  RegionStep continueRegion();
  void closeLevelsAtCursor();
  bool findParentEnd(size_t* start, size_t* end);
  void applyRule(const RuleMatch& best);
  void setStateByte(size_t level, uint32_t value);
  const TokenRule& parentRule() const;

  static constexpr size_t kUsualDepth = 4;

  lua_State* L_;
  LineScanner& scanner_;
  TokenizerHandle* outermost_;
  std::array<std::byte, 512> memory_;  // the level lists of a scan of usual depth, without the heap
  std::pmr::monotonic_buffer_resource arena_{memory_.data(), memory_.size()};
  std::pmr::string state_{&arena_};
  std::pmr::vector<Level> levels_{&arena_};
  std::pmr::vector<TokenizerHold> kept_{&arena_};  // the tokenizers anchored in kSlotKeptTokenizers
  uint32_t openRule_ = 0;
  size_t cursor_ = 0;
  bool prepassDue_ = true;
};

// A new innermost level whose tokenizer is on the stack top.
void NestedScan::pushLevel(TokenizerHandle* handle, uint32_t parentRule) {
  if (levels_.size() >= kMostLevels) scanner_.giveUp("continuation");
  levels_.push_back({handle, lua_gettop(L_), parentRule, TokenizerHold(handle)});
  openRule_ = 0;
}

// Whether the innermost level's tokenizer may serve again once its level goes: the outer level's resolver cache
// still holds it and nothing has asked to release it. What the scan keeps about its rules is then worth keeping.
bool NestedScan::innermostStaysCached() {
  const Level& inner = levels_.back();
  if (inner.handle->releaseRequested) return false;
  bool cached = false;
  if (lua_getiuservalue(L_, levels_[levels_.size() - 2].slot, 2) == LUA_TTABLE) {
    lua_rawgeti(L_, -1, inner.parentRule);
    cached = lua_rawequal(L_, -1, inner.slot);
    lua_pop(L_, 1);
  }
  lua_pop(L_, 1);
  return cached;
}

// Holds the tokenizer of `level` and keeps its userdata from collection until the scan ends: a resolver may
// still release it, and a tokenizer prepared next could then take its memory while the scan remembers its rules.
void NestedScan::keepUntilScanEnds(const Level& level) {
  if (lua_type(L_, kSlotKeptTokenizers) != LUA_TTABLE) {
    lua_newtable(L_);
    lua_replace(L_, kSlotKeptTokenizers);
  }
  lua_pushvalue(L_, level.slot);
  const bool kept = lua_rawget(L_, kSlotKeptTokenizers) != LUA_TNIL;
  lua_pop(L_, 1);
  if (kept) return;
  kept_.emplace_back(level.handle);
  lua_pushvalue(L_, level.slot);
  lua_pushboolean(L_, 1);
  lua_rawset(L_, kSlotKeptTokenizers);
}

// Drops the innermost level: its hold first, while its slot still keeps the userdata alive, then the slot.
void NestedScan::popLevel() {
  if (innermostStaysCached()) {
    keepUntilScanEnds(levels_.back());
  } else {
    scanner_.forgetRulesOf(*levels_.back().handle->tokenizer);
  }
  const int slot = levels_.back().slot;
  levels_.pop_back();
  lua_settop(L_, slot - 1);
  openRule_ = 0;
}

void NestedScan::restoreLevels() {
  lua_pushvalue(L_, kSlotTokenizer);
  pushLevel(outermost_, 0);
  for (const char byte : state_) {
    const auto index = static_cast<unsigned char>(byte);
    if (index == 0) break;
    const std::vector<TokenRule>& rules = levels_.back().handle->tokenizer->rules;
    if (index > rules.size()) {
      if (levels_.size() == 1) openRule_ = index;  // reported as "continuation" by the first step
      break;
    }
    TokenizerHandle* inner = rules[index - 1].nested ? resolve(levels_.back(), index) : nullptr;
    if (inner == nullptr) {
      openRule_ = index;
      break;
    }
    pushLevel(inner, index);
  }
}

// The type error of a resolver answer at `index` that is not a prepared tokenizer, reported at `reportedIndex`.
void NestedScan::checkAnswer(int index, int reportedIndex) {
  if (luaL_testudata(L_, index, kPreparedTokenizerType) != nullptr) return;
  const char* typeName = luaL_typename(L_, index);
  if (luaL_getmetafield(L_, index, "__name") == LUA_TSTRING) {
    typeName = lua_tostring(L_, -1);
  } else if (lua_type(L_, index) == LUA_TLIGHTUSERDATA) {
    typeName = "light userdata";
  }
  luaL_argerror(L_, reportedIndex, lua_pushfstring(L_, "%s expected, got %s", kPreparedTokenizerType, typeName));
}

// The tokenizer for rule `rule` of `level`, pushed on the stack; null (nothing pushed) when the resolver said
// false. The answer is cached in the level tokenizer's second user value.
TokenizerHandle* NestedScan::resolve(const Level& level, uint32_t rule) {
  const int depth = static_cast<int>(levels_.size());
  // A caller that has used most of the stack itself gets the same answer as a line nested too deep.
  if (!lua_checkstack(L_, kLevelStackRoom)) scanner_.giveUp("continuation");
  const int levelSlot = level.slot;
  const int answerSlot = lua_gettop(L_) + 1;
  const bool hasCache = lua_getiuservalue(L_, levelSlot, 2) == LUA_TTABLE;
  if (!hasCache || lua_rawgeti(L_, -1, rule) == LUA_TNIL) {
    if (hasCache) lua_pop(L_, 1);
    if (!lua_checkstack(L_, kResolverStackRoom)) scanner_.giveUp("continuation");
    lua_pushvalue(L_, kSlotResolver);
    lua_getiuservalue(L_, levelSlot, 1);
    lua_pushinteger(L_, rule);
    lua_call(L_, 2, 1);
    if (lua_type(L_, -1) == LUA_TSTRING) throw ScanGiveUp{lua_tostring(L_, -1), scanner_.cursor};
    const bool isFalse = lua_isboolean(L_, -1) && !lua_toboolean(L_, -1);
    if (!isFalse) checkAnswer(lua_gettop(L_), kReportedLevelBase + depth + 2);
    if (hasCache) {
      lua_pushvalue(L_, -1);
      lua_rawseti(L_, -3, rule);
    }
  }
  lua_remove(L_, -2);
  if (lua_isboolean(L_, -1) && !lua_toboolean(L_, -1)) {
    lua_pop(L_, 1);
    return nullptr;
  }
  checkAnswer(answerSlot, kReportedLevelBase + depth + 1);
  return static_cast<TokenizerHandle*>(lua_touserdata(L_, answerSlot));
}

void NestedScan::enterLevel() {
  lua_pushnil(L_);
  lua_replace(L_, kSlotPostSymbols);
  const Level& level = levels_.back();
  lua_pushvalue(L_, level.slot);
  lua_replace(L_, kSlotCurrentTokenizer);
  const PreparedTokenizer& tokenizer = *level.handle->tokenizer;
  scanner_.setTokenizer(&tokenizer);
  const int definition = lua_gettop(L_) + 1;
  if (lua_getiuservalue(L_, kSlotCurrentTokenizer, 1) != LUA_TTABLE || lua_getmetatable(L_, definition)) {
    scanner_.giveUp("syntax_callbacks");
  }
  MatchStrategy strategy = MatchStrategy::First;
  if (!readMatchStrategy(L_, definition, &strategy) || strategy != tokenizer.strategy) scanner_.giveUp("match_order");
  lua_pushliteral(L_, "symbols");
  const bool hasSymbols = lua_rawget(L_, definition) == LUA_TTABLE;
  if (hasSymbols && lua_getmetatable(L_, -1)) scanner_.giveUp("symbol_callbacks");
  if (hasSymbols) {
    lua_replace(L_, kSlotSymbols);
  } else {
    lua_pop(L_, 1);  // an empty table in its place could never give a style
  }
  scanner_.setSymbolsPresent(hasSymbols);
  lua_pop(L_, 1);
}

const TokenRule& NestedScan::parentRule() const {
  const Level& outer = levels_[levels_.size() - 2];
  return outer.handle->tokenizer->rules[levels_.back().parentRule - 1];
}

// The scanner keeps the last search of the parent's rule, across the inner levels that come and go.
bool NestedScan::findParentEnd(size_t* start, size_t* end) {
  return levels_.size() >= 2 && scanner_.findRegionEnd(parentRule(), cursor_, start, end);
}

void NestedScan::setStateByte(size_t level, uint32_t value) {
  if (state_.size() < level) state_.resize(level, '\0');
  state_[level - 1] = static_cast<char>(value);
}

// A step inside the open region of the innermost level.
NestedScan::RegionStep NestedScan::continueRegion() {
  const std::vector<TokenRule>& rules = scanner_.tokenizer().rules;
  if (openRule_ > rules.size() || !rules[openRule_ - 1].carriable()) scanner_.giveUp("continuation");
  const TokenRule& rule = rules[openRule_ - 1];
  size_t innerStart = 0;
  size_t innerEnd = 0;
  size_t parentStart = 0;
  size_t parentEnd = 0;
  const bool innerFound = scanner_.findRegionEnd(rule, cursor_, &innerStart, &innerEnd);
  const bool parentFound = findParentEnd(&parentStart, &parentEnd);
  if ((innerFound && innerStart == innerEnd) || (parentFound && parentStart == parentEnd)) {
    scanner_.giveUp("empty_match");
  }
  const size_t length = scanner_.length();
  if (innerFound && (!parentFound || innerStart <= parentStart)) {
    scanner_.emitRegion(rule, cursor_, innerStart, innerEnd);
    cursor_ = innerEnd;
    setStateByte(levels_.size(), 0);
    openRule_ = 0;
    return RegionStep::Closed;
  }
  if (parentFound) {
    if (parentStart > cursor_) scanner_.emitStyled(cursor_, parentStart, rule.style);
    cursor_ = parentStart;
    return RegionStep::ParentEndFirst;
  }
  scanner_.emitRegion(rule, cursor_, length, length);
  cursor_ = length;
  return RegionStep::RunsToLineEnd;
}

void NestedScan::closeLevelsAtCursor() {
  size_t start = 0;
  size_t end = 0;
  while (findParentEnd(&start, &end) && start == cursor_) {
    if (start == end) scanner_.giveUp("empty_match");
    const TokenRule& rule = parentRule();
    scanner_.emitStyled(start, end, rule.delimiterStyle ? *rule.delimiterStyle : rule.style);
    cursor_ = end;
    scanner_.cursor = end;
    const size_t depth = levels_.size() - 1;
    state_.resize(depth);
    state_[depth - 1] = 0;
    popLevel();
    enterLevel();
    prepassDue_ = true;
  }
}

void NestedScan::applyRule(const RuleMatch& best) {
  const TokenRule& rule = scanner_.tokenizer().rules[best.rule];
  const uint32_t index = best.rule + 1;
  if (rule.delimited() && index > kMaxCarriedRule) scanner_.giveUp("continuation");
  ++scanner_.stats.patternMatches;
  scanner_.emitMatch(best, cursor_);
  cursor_ = best.end;
  if (!rule.delimited()) return;
  setStateByte(levels_.size(), index);
  openRule_ = index;
  if (!rule.nested) return;
  TokenizerHandle* inner = resolve(levels_.back(), index);
  if (inner == nullptr) return;
  pushLevel(inner, index);
  enterLevel();
  prepassDue_ = true;
}

void NestedScan::run() {
  restoreLevels();
  enterLevel();
  const size_t length = scanner_.length();
  RuleMatch best;
  while (cursor_ < length) {
    scanner_.cursor = cursor_;
    ++scanner_.stats.cursorSteps;
    if (openRule_ != 0) {
      const RegionStep step = continueRegion();
      if (step == RegionStep::RunsToLineEnd) break;
      if (step == RegionStep::Closed) continue;
    }
    closeLevelsAtCursor();
    if (cursor_ >= length) break;
    if (prepassDue_) {
      prepassDue_ = false;
      size_t parentStart = 0;
      size_t parentEnd = 0;
      const size_t limit = findParentEnd(&parentStart, &parentEnd) ? parentStart : length;
      cursor_ = scanner_.runLinePrepass(cursor_, limit);
      closeLevelsAtCursor();
      if (cursor_ >= length) break;
    }
    scanner_.cursor = cursor_;
    if (scanner_.matchRulesAt(cursor_, &best)) {
      applyRule(best);
    } else {
      if (!scanner_.symbolFallback(cursor_, &cursor_)) break;
    }
  }
  lua_pushlstring(L_, state_.data(), state_.size());
  lua_replace(L_, kSlotState);
}

}  // namespace

void runNestedScan(lua_State* L, LineScanner& scanner, TokenizerHandle* outermost) {
  NestedScan scan(L, scanner, outermost);
  scan.run();
}
