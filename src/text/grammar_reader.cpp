// Grammar tables to compiled rules. Every read is raw; metatables on the tables that the compiler walks are
// refused with a reason, so a grammar can never run Lua code during compilation.
#include "text/grammar_reader.h"

#include <cmath>
#include <cstring>
#include <string>

#include "host/lua_api.h"

namespace {

constexpr const char* kAcceptedRuleKeys[] = {
    "pattern",          "type",        "line_start",      "line_prefix", "priority",
    "_start_tests",     "preceded_by", "not_preceded_by", "followed_by", "not_followed_by",
    "next_line",        "stop_on",     "terminators",     "delim_type",  "syntax",
    "_resolved_syntax", "caseless",    "fence_language",  "line_bg",     "post_symbols",
};

constexpr const char* kAcceptedLinePatternKeys[] = {
    "pattern", "type", "consume_line", "consume_to", "priority", "not_followed_by", "followed_by", "next_line",
};

bool hasMetatable(lua_State* L, int index) {
  if (!lua_getmetatable(L, index)) return false;
  lua_pop(L, 1);
  return true;
}

// Pushes t[key] (raw) for the table at `index`; returns its type.
int rawField(lua_State* L, int index, const char* key) {
  lua_pushstring(L, key);
  return lua_rawget(L, index < 0 ? index - 1 : index);
}

std::string stringAt(lua_State* L, int index) {
  size_t length = 0;
  const char* text = lua_tolstring(L, index, &length);
  return {text, length};
}

double priorityAt(lua_State* L, int index) {
  int isNumber = 0;
  const double value = lua_tonumberx(L, index, &isNumber);
  return isNumber && !std::isnan(value) ? value : 0.0;
}

template <size_t N>
bool isAccepted(lua_State* L, int keyIndex, const char* const (&accepted)[N]) {
  if (lua_type(L, keyIndex) != LUA_TSTRING) return false;
  const char* key = lua_tostring(L, keyIndex);
  for (const char* name : accepted) {
    if (std::strcmp(key, name) == 0 && std::strlen(key) == lua_rawlen(L, keyIndex)) return true;
  }
  return false;
}

// Whether every key of the table at `index` is in the accepted list.
template <size_t N>
bool keysAccepted(lua_State* L, int index, const char* const (&accepted)[N]) {
  const int table = lua_absindex(L, index);
  bool allAccepted = true;
  lua_pushnil(L);
  while (lua_next(L, table) != 0) {
    lua_pop(L, 1);
    if (!isAccepted(L, -1, accepted)) allAccepted = false;
  }
  return allAccepted;
}

// A truthy optional string key: stored when a string, else the rule becomes complex.
void readOptionalString(lua_State* L, int rule, const char* key, OptionalString* out, bool* complex) {
  rawField(L, rule, key);
  if (lua_toboolean(L, -1)) {
    if (lua_type(L, -1) == LUA_TSTRING) {
      out->set(stringAt(L, -1));
    } else {
      *complex = true;
    }
  }
  lua_pop(L, 1);
}

// `type`: a style string, or an array of capture styles whose first element is the style.
void readRuleType(lua_State* L, int rule, TokenRule& out) {
  const int type = rawField(L, rule, "type");
  if (type == LUA_TSTRING) {
    out.style.text = stringAt(L, -1);
    out.supported = true;
  } else if (type == LUA_TTABLE && hasMetatable(L, -1)) {
    out.complex = true;
  } else if (type == LUA_TTABLE) {
    const lua_Unsigned length = lua_rawlen(L, -1);
    out.supported = length != 0;
    for (lua_Unsigned k = 1; k <= length; ++k) {
      if (lua_rawgeti(L, -1, static_cast<lua_Integer>(k)) == LUA_TSTRING) {
        out.captureStyles.push_back({stringAt(L, -1)});
      } else {
        out.supported = false;
      }
      lua_pop(L, 1);
    }
    if (out.supported) out.style = out.captureStyles.front();
  }
  lua_pop(L, 1);
}

// The table form of `pattern` at stack top: {start, end [, escape]}.
void readDelimitedPattern(lua_State* L, int rule, TokenRule& out) {
  const bool endIsString = lua_rawgeti(L, -1, 2) == LUA_TSTRING && lua_rawlen(L, -1) > 0;
  std::string endPattern = endIsString ? stringAt(L, -1) : std::string();
  lua_pop(L, 1);
  if (!endIsString || hasMetatable(L, -1)) out.supported = false;
  if (out.supported) out.endPattern.emplace(endPattern, true);
  if (!out.supported) return;
  rawField(L, rule, "syntax");
  out.nested = lua_toboolean(L, -1);
  lua_pop(L, 1);
  lua_rawgeti(L, -1, 3);
  if (lua_toboolean(L, -1)) {
    if (lua_type(L, -1) == LUA_TSTRING) {
      out.escape.set(stringAt(L, -1));
    } else {
      out.complex = true;
    }
  }
  lua_pop(L, 1);
}

void readStopPattern(lua_State* L, int rule, TokenRule& out) {
  for (const char* key : {"stop_on", "terminators"}) {
    const bool usable = rawField(L, rule, key) == LUA_TSTRING && lua_rawlen(L, -1) > 0;
    if (usable) out.stopPattern.emplace(stringAt(L, -1), false);
    lua_pop(L, 1);
    if (usable) return;
  }
}

void readPostSymbols(lua_State* L, int rule, TokenRule& out) {
  const int type = rawField(L, rule, "post_symbols");
  if (type == LUA_TBOOLEAN && lua_toboolean(L, -1)) {
    out.postSymbolsName.set("post_symbols");
  } else if (type == LUA_TSTRING && lua_rawlen(L, -1) > 0) {
    out.postSymbolsName.set(stringAt(L, -1));
  }
  lua_pop(L, 1);
}

// The context conditions of a rule and its delimiter style; a value that is not a string makes it complex.
void readRuleConditions(lua_State* L, int rule, TokenRule& out) {
  OptionalString linePrefix;
  OptionalString precededBy;
  OptionalString notPrecededBy;
  OptionalString followedBy;
  OptionalString notFollowedBy;
  OptionalString nextLine;
  OptionalString delimiterStyle;
  readOptionalString(L, rule, "line_prefix", &linePrefix, &out.complex);
  readOptionalString(L, rule, "preceded_by", &precededBy, &out.complex);
  readOptionalString(L, rule, "not_preceded_by", &notPrecededBy, &out.complex);
  readOptionalString(L, rule, "followed_by", &followedBy, &out.complex);
  readOptionalString(L, rule, "not_followed_by", &notFollowedBy, &out.complex);
  readOptionalString(L, rule, "next_line", &nextLine, &out.complex);
  readOptionalString(L, rule, "delim_type", &delimiterStyle, &out.complex);
  if (linePrefix.present) {
    out.linePrefix.emplace(linePrefix.text + "$");
    out.linePrefixWalk = EndAnchoredAutomaton::forMatchAtStart(linePrefix.text + "$");
  }
  if (precededBy.present) {
    out.precededBy.emplace(precededBy.text + "$", false);
    out.precededByWalk = EndAnchoredAutomaton::forSearch(precededBy.text + "$");
    const bool anchored = !precededBy.text.empty() && precededBy.text[0] == '^';
    if (out.precededByWalk && !out.precededByWalk->exact() && !anchored) {
      out.precededByStarts = EndAnchoredAutomaton::forMatchAtEachStart(precededBy.text + "$");
      if (out.precededByStarts) out.precededByAtEachStart.emplace(precededBy.text + "$");
    }
  }
  if (notPrecededBy.present) out.notPrecededBy.emplace(notPrecededBy.text, false);
  if (followedBy.present) {
    out.followedBy.emplace(followedBy.text);
    out.followedByWalk = EndAnchoredAutomaton::forMatchAtEachStart(followedBy.text);
  }
  if (notFollowedBy.present) {
    out.notFollowedBy.emplace(notFollowedBy.text);
    out.notFollowedByWalk = EndAnchoredAutomaton::forMatchAtEachStart(notFollowedBy.text);
  }
  if (nextLine.present) out.nextLine.emplace(nextLine.text, false);
  if (delimiterStyle.present) out.delimiterStyle = TokenStyle{delimiterStyle.text};
}

// Compiles the rule table at `rule`; returns false for "rule_definition".
bool compileRule(lua_State* L, int rule, bool nestedGrammar, TokenRule& out) {
  const int patternType = rawField(L, rule, "pattern");
  const bool tablePattern = patternType == LUA_TTABLE;
  if (tablePattern && nestedGrammar && hasMetatable(L, -1)) return false;
  if (tablePattern) lua_rawgeti(L, -1, 1);
  if (lua_type(L, -1) != LUA_TSTRING || lua_rawlen(L, -1) == 0) return false;
  out.startPattern = stringAt(L, -1);
  out.start = MatchPattern(out.startPattern);
  if (tablePattern) lua_pop(L, 1);
  // the pattern value (a string or the pattern table) stays on the stack until the end
  rawField(L, rule, "priority");
  out.priority = priorityAt(L, -1);
  lua_pop(L, 1);
  readRuleType(L, rule, out);
  rawField(L, rule, "line_start");
  out.lineStart = lua_toboolean(L, -1);
  lua_pop(L, 1);
  readRuleConditions(L, rule, out);
  if (!tablePattern) readStopPattern(L, rule, out);
  readPostSymbols(L, rule, out);
  if (!keysAccepted(L, rule, kAcceptedRuleKeys)) out.complex = true;
  if (tablePattern) readDelimitedPattern(L, rule, out);
  lua_pop(L, 1);
  out.wantsCaptures = !out.captureStyles.empty() && !(out.delimited() && out.delimiterStyle);
  out.checkedBeforeStart = out.nextLine || out.complex || out.notPrecededBy || out.lineStart;
  out.checkedAfterStart = out.stopPattern || !out.supported || out.linePrefix || out.precededBy || out.delimited() ||
                          out.notFollowedBy || out.followedBy;
  return true;
}

// A line pattern's `type`: a style string or a non-empty array of style strings.
bool readLinePatternType(lua_State* L, int entry, LinePattern& out) {
  const int type = rawField(L, entry, "type");
  bool valid = type == LUA_TSTRING;
  if (valid) out.style.text = stringAt(L, -1);
  if (type == LUA_TTABLE && !hasMetatable(L, -1)) {
    const lua_Unsigned length = lua_rawlen(L, -1);
    valid = length > 0;
    for (lua_Unsigned k = 1; valid && k <= length; ++k) {
      valid = lua_rawgeti(L, -1, static_cast<lua_Integer>(k)) == LUA_TSTRING;
      if (valid) out.captureStyles.push_back({stringAt(L, -1)});
      lua_pop(L, 1);
    }
    if (valid) out.style = out.captureStyles.front();
  }
  lua_pop(L, 1);
  return valid;
}

bool readLinePatternConsume(lua_State* L, int entry, LinePattern& out) {
  rawField(L, entry, "consume_line");
  out.consumeLine = lua_type(L, -1) == LUA_TBOOLEAN && lua_toboolean(L, -1);
  lua_pop(L, 1);
  if (out.consumeLine) return true;
  bool valid = true;
  if (rawField(L, entry, "consume_to") != LUA_TNIL) {
    int isInteger = 0;
    const lua_Integer value = lua_tointegerx(L, -1, &isInteger);
    valid = isInteger && value >= 1;
    out.consumeTo = value;
    out.hasConsumeTo = valid;
  }
  lua_pop(L, 1);
  return valid;
}

bool compileLinePattern(lua_State* L, int entry, LinePattern& out) {
  if (rawField(L, entry, "pattern") != LUA_TSTRING || lua_rawlen(L, -1) == 0) {
    lua_pop(L, 1);
    return false;
  }
  out.pattern = MatchPattern(stringAt(L, -1));
  lua_pop(L, 1);
  if (!readLinePatternType(L, entry, out) || !readLinePatternConsume(L, entry, out)) return false;
  rawField(L, entry, "priority");
  out.priority = priorityAt(L, -1);
  lua_pop(L, 1);
  bool complex = false;
  OptionalString notFollowedBy;
  OptionalString followedBy;
  OptionalString nextLine;
  readOptionalString(L, entry, "not_followed_by", &notFollowedBy, &complex);
  readOptionalString(L, entry, "followed_by", &followedBy, &complex);
  readOptionalString(L, entry, "next_line", &nextLine, &complex);
  if (notFollowedBy.present) out.notFollowedBy.emplace(notFollowedBy.text);
  if (followedBy.present) out.followedBy.emplace(followedBy.text);
  if (nextLine.present) out.nextLine.emplace(nextLine.text, false);
  return !complex && keysAccepted(L, entry, kAcceptedLinePatternKeys);
}

}  // namespace

bool readMatchStrategy(lua_State* L, int definitionIndex, MatchStrategy* strategy) {
  *strategy = MatchStrategy::First;
  if (rawField(L, definitionIndex, "match") != LUA_TTABLE) {
    lua_pop(L, 1);
    return true;
  }
  if (hasMetatable(L, -1)) {
    lua_pop(L, 1);
    return false;
  }
  if (rawField(L, -1, "strategy") == LUA_TSTRING) {
    const std::string name = stringAt(L, -1);
    if (name == "longest") *strategy = MatchStrategy::Longest;
    if (name == "priority_first") *strategy = MatchStrategy::PriorityFirst;
    if (name == "priority_longest") *strategy = MatchStrategy::PriorityLongest;
  }
  lua_pop(L, 2);
  return true;
}

bool grammarHasNestedRules(lua_State* L, int patternsIndex, int64_t count) {
  for (int64_t k = 1; k <= count; ++k) {
    bool nested = false;
    const int top = lua_gettop(L);
    if (lua_rawgeti(L, patternsIndex, k) == LUA_TTABLE && rawField(L, top + 1, "pattern") == LUA_TTABLE) {
      nested = rawField(L, top + 1, "syntax") != LUA_TNIL;
    }
    lua_settop(L, top);
    if (nested) return true;
  }
  return false;
}

const char* compileRules(lua_State* L, int patternsIndex, int64_t count, bool nestedGrammar,
                         PreparedTokenizer& tokenizer) {
  tokenizer.rules.reserve(static_cast<size_t>(count));
  for (int64_t k = 1; k <= count; ++k) {
    lua_rawgeti(L, patternsIndex, k);
    TokenRule& rule = tokenizer.rules.emplace_back();
    const int top = lua_gettop(L);
    const bool compiled = compileRule(L, top, nestedGrammar, rule);
    lua_settop(L, top - 1);
    if (!compiled) return "rule_definition";
    if (rule.postSymbolsName.present) tokenizer.usesPostSymbols = true;
  }
  return nullptr;
}

const char* compileLinePatterns(lua_State* L, int index, PreparedTokenizer& tokenizer) {
  if (hasMetatable(L, index)) return "line_prepass";
  const lua_Unsigned count = lua_rawlen(L, index);
  for (lua_Unsigned k = 1; k <= count; ++k) {
    const bool isTable = lua_rawgeti(L, index, static_cast<lua_Integer>(k)) == LUA_TTABLE;
    const int top = lua_gettop(L);
    const bool compiled =
        isTable && !hasMetatable(L, top) && compileLinePattern(L, top, tokenizer.linePatterns.emplace_back());
    lua_settop(L, top - 1);
    if (!compiled) return "line_prepass";
  }
  return nullptr;
}
