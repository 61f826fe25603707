// The plain form of a line scan: an optional region carried from the previous line, the line prepass, then
// one step per cursor position until the end of the line.
#include "text/tokenizer_scan.h"

#include "host/lua_api.h"
#include "text/line_scanner.h"

const char* const kPreparedTokenizerType = "Qz.PreparedTokenizer";

namespace {

// The rule named by a carried state, or null when the state names no region that can be carried.
const TokenRule* carriedRule(lua_State* L, const PreparedTokenizer& tokenizer) {
  if (lua_type(L, kSlotState) != LUA_TNUMBER) return nullptr;
  int isInteger = 0;
  const lua_Integer index = lua_tointegerx(L, kSlotState, &isInteger);
  if (!isInteger || index < 1 || static_cast<lua_Unsigned>(index) > tokenizer.rules.size()) return nullptr;
  const TokenRule& rule = tokenizer.rules[static_cast<size_t>(index - 1)];
  return rule.carriable() ? &rule : nullptr;
}

void setState(lua_State* L, lua_Integer ruleIndex) {
  if (ruleIndex == 0) {
    lua_pushnil(L);
  } else {
    lua_pushinteger(L, ruleIndex);
  }
  lua_replace(L, kSlotState);
}

void runSteps(lua_State* L, LineScanner& scanner, size_t cursor, bool stepAtEnd) {
  const PreparedTokenizer& tokenizer = scanner.tokenizer();
  const size_t length = scanner.length();
  RuleMatch best;
  while (cursor < length || stepAtEnd) {
    stepAtEnd = false;
    scanner.cursor = cursor;
    if (scanner.matchRulesAt(cursor, &best)) {
      ++scanner.stats.patternMatches;
      scanner.emitMatch(best, cursor);
      const TokenRule& rule = tokenizer.rules[best.rule];
      if (rule.delimited() && best.regionCloses) {
        scanner.emitRegion(rule, best.end, best.regionStart, best.regionEnd);
        setState(L, 0);
        cursor = best.regionEnd;
        stepAtEnd = true;
      } else if (rule.delimited()) {
        scanner.emitRegion(rule, best.end, length, length);
        setState(L, static_cast<lua_Integer>(best.rule) + 1);
        cursor = length;
      } else {
        cursor = best.end;
      }
    } else if (!scanner.symbolFallback(cursor, &cursor)) {
      break;
    }
    ++scanner.stats.cursorSteps;
  }
}

}  // namespace

void runPlainScan(lua_State* L, LineScanner& scanner) {
  if (scanner.lineEmpty()) return;
  const size_t length = scanner.length();
  if (!lua_toboolean(L, kSlotState)) {
    runSteps(L, scanner, scanner.runLinePrepass(0, length), false);
    return;
  }
  const TokenRule* rule = carriedRule(L, scanner.tokenizer());
  if (rule == nullptr) scanner.giveUpBeforeTokens("continuation");
  scanner.stats.cursorSteps = 1;
  size_t closeStart = 0;
  size_t closeEnd = 0;
  if (!scanner.findRegionEnd(*rule, 0, &closeStart, &closeEnd)) {
    scanner.emitRegion(*rule, 0, length, length);
    return;
  }
  if (closeStart == closeEnd) scanner.giveUpBeforeTokens("empty_match");
  scanner.emitRegion(*rule, 0, closeStart, closeEnd);
  setState(L, 0);
  runSteps(L, scanner, closeEnd, true);
}
