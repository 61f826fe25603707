// The Lua binding of native_tokenizer: argument checks, the prepared userdata types and their finalisers, and
// the scan results. Grammar reading is in grammar_reader, the scan engine in line_scanner and tokenizer_scan,
// the outline test in outline.
#include "text/native_tokenizer_lua.h"

#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "host/lua_api.h"
#include "text/grammar_reader.h"
#include "text/line_scanner.h"
#include "text/outline.h"
#include "text/token_styles.h"
#include "text/tokenizer_handle.h"
#include "text/tokenizer_scan.h"

namespace {

constexpr const char* kPreparedOutlineType = "Qz.PreparedOutline";
constexpr lua_Unsigned kMostRules = 2147483647;
constexpr int kScanStackRoom = 8;  // values a scan pushes above its slots
// Upvalues of the module's functions, so a scan reaches them without registry lookups.
const int kTokenizerMetatableUpvalue = lua_upvalueindex(1);
const int kPaletteUpvalue = lua_upvalueindex(2);
const int kByteTextsUpvalue = lua_upvalueindex(3);

bool hasMetatable(lua_State* L, int index) {
  if (!lua_getmetatable(L, index)) return false;
  lua_pop(L, 1);
  return true;
}

int pushReason(lua_State* L, const char* reason) {
  lua_pushstring(L, reason);
  return 1;
}

// Compiles rules, line patterns and candidate lists into the handle; a reason, or null on success.
const char* compileGrammar(lua_State* L, TokenizerHandle* handle, lua_Integer count, bool nestedFlag,
                           MatchStrategy strategy) {
  handle->tokenizer = std::make_unique<PreparedTokenizer>();
  PreparedTokenizer& tokenizer = *handle->tokenizer;
  tokenizer.strategy = strategy;
  lua_pushliteral(L, "line_patterns");
  if (lua_rawget(L, 1) == LUA_TTABLE) {
    if (const char* reason = compileLinePatterns(L, lua_gettop(L), tokenizer)) return reason;
  }
  lua_pop(L, 1);
  if (const char* reason = compileRules(L, 3, count, nestedFlag, tokenizer)) return reason;
  buildCandidateLists(tokenizer);
  linkSharedStartPatterns(tokenizer);
  assignStyleIds(L, kPaletteUpvalue, tokenizer);
  return nullptr;
}

// native_tokenizer.prepare(definition [, allow_empty]) -> Qz.PreparedTokenizer, or a reason string
int native_tokenizer_prepare(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  const bool allowEmpty = lua_toboolean(L, 2);
  lua_settop(L, 2);
  if (hasMetatable(L, 1)) return pushReason(L, "syntax_callbacks");
  lua_pushliteral(L, "patterns");
  lua_rawget(L, 1);
  luaL_checktype(L, 3, LUA_TTABLE);
  if (hasMetatable(L, 3)) return pushReason(L, "rule_definition");
  const lua_Unsigned count = lua_rawlen(L, 3);
  if (count == 0 && !allowEmpty) return pushReason(L, "no_rules");
  MatchStrategy strategy = MatchStrategy::First;
  if (!readMatchStrategy(L, 1, &strategy)) return pushReason(L, "match_order");

  auto* handle = static_cast<TokenizerHandle*>(lua_newuserdatauv(L, sizeof(TokenizerHandle), 2));
  new (handle) TokenizerHandle();
  luaL_setmetatable(L, kPreparedTokenizerType);
  lua_pushvalue(L, 1);
  lua_setiuservalue(L, 4, 1);
  lua_newtable(L);
  lua_setiuservalue(L, 4, 2);
  if (count > kMostRules) luaL_argerror(L, 1, "too many rules");
  for (lua_Unsigned k = 1; k <= count; ++k) {
    const bool plainTable = lua_rawgeti(L, 3, static_cast<lua_Integer>(k)) == LUA_TTABLE && !hasMetatable(L, -1);
    lua_pop(L, 1);
    if (!plainTable) return pushReason(L, "rule_definition");
  }
  const auto ruleCount = static_cast<lua_Integer>(count);
  const bool nestedFlag = allowEmpty || grammarHasNestedRules(L, 3, ruleCount);
  std::string error;
  try {
    if (const char* reason = compileGrammar(L, handle, ruleCount, nestedFlag, strategy)) return pushReason(L, reason);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to prepare tokenizer";
  } catch (const std::length_error&) {
    error = "tokenizer definition is too large";
  } catch (const PatternError& patternError) {
    error = patternError.what();
  }
  if (!error.empty()) luaL_error(L, "%s", error.c_str());
  lua_settop(L, 4);
  return 1;
}

void pushStats(lua_State* L, const ScanStats& stats, const uint64_t* discardedBytes) {
  lua_createtable(L, 0, 7);
  const std::pair<const char*, uint64_t> counters[] = {
      {"cursor_steps", stats.cursorSteps},
      {"pattern_attempts", stats.patternAttempts},
      {"pattern_searches", stats.patternSearches},
      {"pattern_matches", stats.patternMatches},
      {"fallbacks", stats.fallbacks},
      {"symbol_fallbacks", stats.symbolFallbacks},
  };
  for (const auto& [key, value] : counters) {
    lua_pushinteger(L, static_cast<lua_Integer>(value));
    lua_setfield(L, -2, key);
  }
  if (discardedBytes != nullptr) {
    lua_pushinteger(L, static_cast<lua_Integer>(*discardedBytes));
    lua_setfield(L, -2, "discarded_bytes");
  }
}

int pushFallback(lua_State* L, const ScanStats& stats, const ScanGiveUp& giveUp, bool wantStats) {
  lua_pushnil(L);
  if (!wantStats) return 1;
  pushStats(L, stats, &giveUp.discardedBytes);
  lua_pushlstring(L, giveUp.reason.data(), giveUp.reason.size());
  return 3;
}

int pushSuccess(lua_State* L, const ScanStats& stats, bool wantStats) {
  lua_pushvalue(L, kSlotTokens);
  if (wantStats) {
    pushStats(L, stats, nullptr);
  } else {
    lua_pushnil(L);
  }
  lua_pushnil(L);
  lua_pushvalue(L, kSlotState);
  return 4;
}

// Runs the scan; pattern errors come back as their message in *error.
int runScan(lua_State* L, TokenizerHandle* handle, std::string_view line, std::string_view symbolPattern, bool nested,
            bool wantStats, std::string* error) {
  TokenizerHold hold(handle);
  if (hasMetatable(L, kSlotSymbols)) return pushFallback(L, ScanStats{}, ScanGiveUp{"symbol_callbacks", 0}, wantStats);
  LineScanner scanner(L, *handle->tokenizer, line, symbolPattern);
  try {
    if (nested) {
      runNestedScan(L, scanner, handle);
    } else {
      runPlainScan(L, scanner);
    }
    scanner.finish();
  } catch (const ScanGiveUp& giveUp) {
    return pushFallback(L, scanner.stats, giveUp, wantStats);
  } catch (const PatternError& patternError) {
    *error = patternError.what();
    return 0;
  }
  return pushSuccess(L, scanner.stats, wantStats);
}

// The prepared tokenizer at argument 1, checked against the metatable the module was opened with.
TokenizerHandle* checkPreparedTokenizer(lua_State* L) {
  void* block = lua_touserdata(L, 1);
  if (block != nullptr && lua_getmetatable(L, 1)) {
    const bool prepared = lua_rawequal(L, -1, kTokenizerMetatableUpvalue);
    lua_pop(L, 1);
    if (prepared) return static_cast<TokenizerHandle*>(block);
  }
  return static_cast<TokenizerHandle*>(luaL_checkudata(L, 1, kPreparedTokenizerType));
}

// native_tokenizer.scan(tokenizer, line, symbols, symbol_pattern, want_stats, state [, resolver [, next_line]])
//   -> tokens, stats or nil, nil, state; or nil [, stats, reason] when the line needs the scripts' tokenizer
int native_tokenizer_scan(lua_State* L) {
  TokenizerHandle* handle = checkPreparedTokenizer(L);
  size_t lineLength = 0;
  const char* line = luaL_checklstring(L, 2, &lineLength);
  luaL_checktype(L, 3, LUA_TTABLE);
  size_t patternLength = 0;
  const char* symbolPattern = luaL_checklstring(L, 4, &patternLength);
  const bool nested = !lua_isnoneornil(L, 7);
  if (nested) {
    luaL_checktype(L, 7, LUA_TFUNCTION);
    luaL_checktype(L, 6, LUA_TSTRING);
    luaL_argcheck(L, lua_rawlen(L, 6) > 0, 6, "expected nonempty language state");
  }
  const bool wantStats = lua_toboolean(L, 5);
  luaL_checkstack(L, kSlotFirstLevel + kScanStackRoom, nullptr);
  // Arguments past the last one are the caller's: dropped, so that none can pass for a working slot.
  lua_settop(L, kSlotNextLine);
  lua_settop(L, kSlotFirstLevel - 1);
  lua_copy(L, kSlotTokenizer, kSlotCurrentTokenizer);
  lua_copy(L, kPaletteUpvalue, kSlotStylePalette);
  lua_copy(L, kByteTextsUpvalue, kSlotByteTexts);
  std::string error;
  int results = 0;
  try {
    results = runScan(L, handle, {line, lineLength}, {symbolPattern, patternLength}, nested, wantStats, &error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to scan the line";
  }
  if (results == 0) luaL_error(L, "%s", error.c_str());
  return results;
}

// native_tokenizer:__gc: frees the compiled grammar (later, when a running scan still holds it) and removes the
// metatable so that the object can be neither finalised twice nor used again.
int prepared_tokenizer_gc(lua_State* L) {
  auto* handle = static_cast<TokenizerHandle*>(luaL_checkudata(L, 1, kPreparedTokenizerType));
  handle->requestRelease();
  lua_pushnil(L);
  lua_setmetatable(L, 1);
  return 0;
}

// The string or number at `index` as text (zero bytes kept); false for any other value.
bool patternTextAt(lua_State* L, int index, std::string* text) {
  if (lua_type(L, index) != LUA_TSTRING && lua_type(L, index) != LUA_TNUMBER) return false;
  size_t length = 0;
  const char* bytes = lua_tolstring(L, index, &length);
  text->assign(bytes, length);
  return true;
}

// Reads an optional string field of an outline rule: a truthy value must be a string or a number.
bool readOutlineString(lua_State* L, int rule, const char* key, OptionalString* out) {
  lua_pushstring(L, key);
  lua_rawget(L, rule);
  bool valid = true;
  if (lua_toboolean(L, -1)) {
    std::string text;
    valid = patternTextAt(L, -1, &text);
    if (valid) out->set(std::move(text));
  }
  lua_pop(L, 1);
  return valid;
}

bool readOutlinePattern(lua_State* L, int rule, OutlineRule& out) {
  lua_pushliteral(L, "pattern");
  if (lua_rawget(L, rule) == LUA_TTABLE) {
    if (hasMetatable(L, -1)) return false;
    lua_rawgeti(L, -1, 1);
    lua_remove(L, -2);
  }
  bool valid = true;
  if (lua_toboolean(L, -1)) {
    valid = patternTextAt(L, -1, &out.pattern);
    out.hasPattern = valid;
  }
  lua_pop(L, 1);
  return valid;
}

bool readLineNotPrefix(lua_State* L, int rule, OutlineRule& out) {
  lua_pushliteral(L, "line_not_prefix");
  const int type = lua_rawget(L, rule);
  bool valid = true;
  std::string text;
  if (type == LUA_TSTRING) {
    patternTextAt(L, -1, &text);
    out.lineNotPrefix.emplace_back(text);
  } else if (type == LUA_TTABLE) {
    valid = !hasMetatable(L, -1);
    for (lua_Integer k = 1; valid && lua_rawgeti(L, -1, k) != LUA_TNIL; ++k) {
      valid = patternTextAt(L, -1, &text);
      if (valid) out.lineNotPrefix.emplace_back(text);
      lua_pop(L, 1);
    }
    if (valid) lua_pop(L, 1);  // the nil that ended the list
  }
  lua_pop(L, 1);
  return valid;
}

void readOutlineLevel(lua_State* L, int rule, OutlineRule& out) {
  lua_pushliteral(L, "outline_level");
  lua_rawget(L, rule);
  int isInteger = 0;
  int isNumber = 0;
  const lua_Integer integer = lua_tointegerx(L, -1, &isInteger);
  const lua_Number number = isInteger ? 0 : std::floor(lua_tonumberx(L, -1, &isNumber));
  if (isInteger) {
    out.hasLevel = out.levelIsInteger = true;
    out.integerLevel = integer;
    out.level = static_cast<double>(integer);
  } else if (isNumber) {
    out.hasLevel = true;
    out.level = number;
    out.levelIsInteger = number >= -9223372036854775808.0 && number < 9223372036854775808.0;
    if (out.levelIsInteger) out.integerLevel = static_cast<int64_t>(number);
  }
  lua_pop(L, 1);
}

bool readOutlineFlag(lua_State* L, int rule, const char* key, bool booleansOnly) {
  lua_pushstring(L, key);
  lua_rawget(L, rule);
  const bool value = booleansOnly && !lua_isboolean(L, -1) ? true : lua_toboolean(L, -1);
  lua_pop(L, 1);
  return value;
}

bool readOutlineRule(lua_State* L, int rule, OutlineRule& out) {
  if (!readOutlinePattern(L, rule, out) || !readLineNotPrefix(L, rule, out)) return false;
  OptionalString conditions[5];
  const char* const keys[] = {"line_prefix", "preceded_by", "not_followed_by", "followed_by", "next_line"};
  for (size_t k = 0; k < std::size(keys); ++k) {
    if (!readOutlineString(L, rule, keys[k], &conditions[k])) return false;
  }
  const auto& [linePrefix, precededBy, notFollowedBy, followedBy, nextLine] = conditions;
  if (linePrefix.present) out.linePrefix.emplace(linePrefix.text);
  if (precededBy.present) out.precededBy.emplace(precededBy.text, true);
  if (notFollowedBy.present) out.notFollowedBy.emplace(notFollowedBy.text);
  if (followedBy.present) out.followedBy.emplace(followedBy.text);
  if (nextLine.present) out.nextLine.emplace(nextLine.text, false);
  readOutlineLevel(L, rule, out);
  out.jumps = readOutlineFlag(L, rule, "jumps", true);
  out.dividers = readOutlineFlag(L, rule, "dividers", true);
  out.lineStart = readOutlineFlag(L, rule, "line_start", false);
  out.blockStartOnly = readOutlineFlag(L, rule, "block_start_only", false);
  compileOutlinePattern(out);
  return true;
}

// Reads every rule of the array at index 1 into the outline; false for "outline_definition".
bool readOutlineRules(lua_State* L, lua_Unsigned count, PreparedOutline& outline) {
  outline.rules.reserve(count);
  for (lua_Unsigned k = 1; k <= count; ++k) {
    const bool plainTable = lua_rawgeti(L, 1, static_cast<lua_Integer>(k)) == LUA_TTABLE && !hasMetatable(L, -1);
    const bool valid = plainTable && readOutlineRule(L, lua_gettop(L), outline.rules.emplace_back());
    lua_pop(L, 1);
    if (!valid) return false;
  }
  return true;
}

// native_tokenizer.prepare_outline(rules) -> Qz.PreparedOutline, or "outline_definition"
int native_tokenizer_prepare_outline(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  lua_settop(L, 1);
  if (hasMetatable(L, 1)) return pushReason(L, "outline_definition");
  auto* outline = static_cast<PreparedOutline*>(lua_newuserdatauv(L, sizeof(PreparedOutline), 0));
  new (outline) PreparedOutline();
  luaL_setmetatable(L, kPreparedOutlineType);
  const lua_Unsigned count = lua_rawlen(L, 1);
  if (count > kMostRules) luaL_argerror(L, 1, "too many outline rules");
  std::string error;
  try {
    if (!readOutlineRules(L, count, *outline)) return pushReason(L, "outline_definition");
  } catch (const std::bad_alloc&) {
    error = "not enough memory to prepare outlines";
  } catch (const std::length_error&) {
    error = "outline definition is too large";
  }
  if (!error.empty()) luaL_error(L, "%s", error.c_str());
  return 1;
}

std::optional<std::string_view> optionalLine(lua_State* L, int index) {
  if (lua_isnoneornil(L, index)) return std::nullopt;
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  return std::string_view(text, length);
}

void pushOutlineLevel(lua_State* L, const OutlineRule& rule, OutlineKind kind) {
  if (!rule.hasLevel) {
    lua_pushnil(L);
  } else if (kind == OutlineKind::Divider && rule.level <= 0) {
    lua_pushinteger(L, 0);
  } else if (kind != OutlineKind::Divider && rule.level < 1) {
    lua_pushinteger(L, 1);
  } else if (rule.levelIsInteger) {
    lua_pushinteger(L, rule.integerLevel);
  } else {
    lua_pushnumber(L, rule.level);
  }
}

// native_tokenizer.scan_outline(outline, line, previous, next, kind) -> matched, level, title
int native_tokenizer_scan_outline(lua_State* L) {
  auto* outline = static_cast<PreparedOutline*>(luaL_checkudata(L, 1, kPreparedOutlineType));
  size_t length = 0;
  const char* line = luaL_checklstring(L, 2, &length);
  const std::optional<std::string_view> previous = optionalLine(L, 3);
  const std::optional<std::string_view> next = optionalLine(L, 4);
  const std::string_view kindName = luaL_checkstring(L, 5);
  const OutlineKind kind = kindName == "jump"      ? OutlineKind::Jump
                           : kindName == "divider" ? OutlineKind::Divider
                                                   : OutlineKind::Any;
  OutlineMatch match;
  std::string error;
  try {
    match = scanOutline(*outline, {line, length}, previous, next, kind);
  } catch (const PatternError& patternError) {
    error = patternError.what();
  }
  if (!error.empty()) luaL_error(L, "%s", error.c_str());
  if (match.rule == nullptr) {
    lua_pushboolean(L, false);
    lua_pushnil(L);
    lua_pushnil(L);
    return 3;
  }
  lua_pushboolean(L, true);
  pushOutlineLevel(L, *match.rule, kind);
  if (match.title) {
    lua_pushlstring(L, match.title->data(), match.title->size());
  } else {
    lua_pushnil(L);
  }
  return 3;
}

// native_tokenizer.outline_error_index(outline) -> index of the rule whose pattern failed, or nil
int native_tokenizer_outline_error_index(lua_State* L) {
  const auto* outline = static_cast<const PreparedOutline*>(luaL_checkudata(L, 1, kPreparedOutlineType));
  if (outline->errorIndex == 0) {
    lua_pushnil(L);
  } else {
    lua_pushinteger(L, static_cast<lua_Integer>(outline->errorIndex));
  }
  return 1;
}

// Qz.PreparedOutline:__gc: frees the rules and removes the metatable.
int prepared_outline_gc(lua_State* L) {
  auto* outline = static_cast<PreparedOutline*>(luaL_checkudata(L, 1, kPreparedOutlineType));
  outline->~PreparedOutline();
  lua_pushnil(L);
  lua_setmetatable(L, 1);
  return 0;
}

const luaL_Reg kTokenizerFunctions[] = {
    {"outline_error_index", native_tokenizer_outline_error_index},
    {"prepare", native_tokenizer_prepare},
    {"prepare_outline", native_tokenizer_prepare_outline},
    {"scan", native_tokenizer_scan},
    {"scan_outline", native_tokenizer_scan_outline},
    {nullptr, nullptr},
};

// A table of the 256 one-byte strings (byte b at b + 1): one-byte token texts are common and need no hashing.
void pushByteTexts(lua_State* L) {
  lua_createtable(L, 256, 0);
  for (int byte = 0; byte < 256; ++byte) {
    const char text = static_cast<char>(byte);
    lua_pushlstring(L, &text, 1);
    lua_rawseti(L, -2, byte + 1);
  }
}

void createFinalizerMetatable(lua_State* L, const char* type, lua_CFunction finalizer) {
  luaL_newmetatable(L, type);
  lua_pushcfunction(L, finalizer);
  lua_setfield(L, -2, "__gc");
  lua_pop(L, 1);
}

}  // namespace

int luaopen_native_tokenizer(lua_State* L) {
  luaL_checkversion(L);
  createFinalizerMetatable(L, kPreparedTokenizerType, prepared_tokenizer_gc);
  createFinalizerMetatable(L, kPreparedOutlineType, prepared_outline_gc);
  lua_createtable(L, 0, 5);
  luaL_getmetatable(L, kPreparedTokenizerType);
  pushStylePalette(L);
  pushByteTexts(L);
  luaL_setfuncs(L, kTokenizerFunctions, 3);
  return 1;
}
