// utf8.find, match, gmatch and gsub: the string library's functions over code points. Positions (init, the
// results of find, position captures) count units (utf8_codec.h), so text with stray bytes has positions and
// raises only where a match attempt needs the code point of a malformed character. Captures are read as Lua
// reads them, one at a time when they are pushed, so "unfinished capture" is raised only when such a capture is
// read.
//
// Scripts scan a long line with find or match and an init that moves along it; so that each call does not
// count units from the line's start again, the cache remembers where the last call on the same subject stopped.
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "text/utf8_codec.h"
#include "text/utf8_lua_internal.h"
#include "text/utf8_patterns.h"

namespace {

constexpr const char kGmatchStateType[] = "Qz.Utf8GmatchState";
constexpr const char kPatternCacheType[] = "Qz.Utf8PatternCache";
constexpr size_t kCachedPatterns = 32;
constexpr size_t kLongestCachedPattern = 256;

using SharedProgram = std::shared_ptr<const Utf8PatternProgram>;

// A unit index (from 0) and the byte offset where that unit starts, in the subject the cache's user value holds.
// The user value keeps the subject alive, so while it is there its address names it.
struct PositionHint {
  const char* subject = nullptr;
  size_t size = 0;
  uint64_t index = 0;
  size_t offset = 0;
};

// Compiled patterns by their text, so a pattern used again in a loop is not compiled again. The holder of a
// program keeps it alive while a callback (a gsub function, a gmatch loop) compiles others into its slot.
struct PatternCache {
  struct Entry {
    std::string pattern;
    SharedProgram program;
  };
  Entry entries[kCachedPatterns];
  PositionHint hint;
  bool released = false;  // by its finalizer; functions that another finalizer kept alive then compile afresh
};

PatternCache* patternCache(lua_State* L) { return static_cast<PatternCache*>(lua_touserdata(L, lua_upvalueindex(1))); }

// The hint for the subject at argument 1, starting afresh (and holding that subject) when the last call had
// another; null once the cache is released.
PositionHint* subjectHint(lua_State* L, std::string_view s) {
  PatternCache* cache = patternCache(L);
  if (cache->released) return nullptr;
  PositionHint& hint = cache->hint;
  if (hint.subject != s.data() || hint.size != s.size()) {
    lua_pushvalue(L, 1);
    lua_setiuservalue(L, lua_upvalueindex(1), 1);
    hint = {s.data(), s.size(), 0, 0};
  }
  return &hint;
}

// The offset of unit `index` (from 0), walking from the hint or from the start, whichever is nearer; the units
// walked come back in *reached, fewer than `index` when the text ends first.
size_t unitOffset(std::string_view s, const PositionHint* hint, uint64_t index, uint64_t* reached) {
  uint64_t walked = 0;
  if (hint == nullptr || hint->index == 0) {
    const size_t offset = walkForward(s, 0, index, &walked);
    *reached = walked;
    return offset;
  }
  if (hint->index <= index) {
    const size_t offset = walkForward(s, hint->offset, index - hint->index, &walked);
    *reached = hint->index + walked;
    return offset;
  }
  *reached = index;
  if (index < hint->index - index) return walkForward(s, 0, index, &walked);
  return walkBackward(s, hint->offset, hint->index - index, &walked);
}

// Moves the hint to unit `index` at `offset`, when that is where a unit starts: a balance or a back reference
// may end a match inside one.
void moveHint(PositionHint* hint, std::string_view s, uint64_t index, size_t offset) {
  if (hint != nullptr && (offset == s.size() || !isContinuationByte(s[offset]))) {
    hint->index = index;
    hint->offset = offset;
  }
}

size_t patternSlot(std::string_view pattern) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : pattern) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash % kCachedPatterns;
}

// The compiled pattern, from the cache in the calling function's first upvalue.
SharedProgram compiledPattern(lua_State* L, std::string_view pattern) {
  PatternCache* cache = patternCache(L);
  if (cache->released || pattern.size() > kLongestCachedPattern) {
    return std::make_shared<const Utf8PatternProgram>(pattern);
  }
  PatternCache::Entry& entry = cache->entries[patternSlot(pattern)];
  if (entry.program == nullptr || entry.pattern != pattern) {
    SharedProgram program = std::make_shared<const Utf8PatternProgram>(pattern);
    entry.pattern.assign(pattern);
    entry.program = std::move(program);
  }
  return entry.program;
}

// A subject with its matcher and the last match, as the capture readers need them.
struct MatchAttempt {
  std::string_view subject;
  Utf8Match match;
  size_t matchStart = 0;
  lua_Integer matchStartIndex = 0;  // the unit index of matchStart, from 0
};

// The position (from 1) of the unit holding byte `at` of the attempt's subject, at or after its match start;
// the text's end is one past the last unit.
lua_Integer unitPosition(const MatchAttempt& attempt, size_t at) {
  const std::string_view s = attempt.subject;
  const bool insideUnit = at > attempt.matchStart && at < s.size() && isContinuationByte(s[at]);
  return attempt.matchStartIndex + static_cast<lua_Integer>(countUnits(s, attempt.matchStart, at)) +
         (insideUnit ? 0 : 1);
}

// Pushes capture `index` of the attempt's match; with no captures, index 0 is the whole match.
void pushCapture(lua_State* L, const MatchAttempt& attempt, int index) {
  if (index >= attempt.match.captureCount) {
    if (index != 0) luaL_error(L, "invalid capture index %%%d", index + 1);
    pushText(L, attempt.subject.substr(attempt.matchStart, attempt.match.end - attempt.matchStart));
    return;
  }
  const Utf8Capture& capture = attempt.match.captures[index];
  if (capture.length == kCaptureUnfinished) luaL_error(L, "unfinished capture");
  if (capture.length == kCapturePosition) {
    lua_pushinteger(L, unitPosition(attempt, capture.start));
    return;
  }
  pushText(L, attempt.subject.substr(capture.start, static_cast<size_t>(capture.length)));
}

// Pushes every capture (the whole match when there are none and `wholeMatch`); returns how many.
int pushCaptures(lua_State* L, const MatchAttempt& attempt, bool wholeMatch) {
  const int count = attempt.match.captureCount == 0 && wholeMatch ? 1 : attempt.match.captureCount;
  luaL_checkstack(L, count, "too many captures");
  for (int index = 0; index < count; ++index) pushCapture(L, attempt, index);
  return count;
}

// The byte offset and unit index (from 0) where a search from unit `init` begins, by string.find's rule for
// init; false when init lies beyond the end of the text.
bool resolveInit(std::string_view s, lua_Integer init, PositionHint* hint, size_t* start, lua_Integer* index) {
  uint64_t reached = 0;
  if (init > 1) {
    *start = unitOffset(s, hint, static_cast<uint64_t>(init) - 1, &reached);
    *index = init - 1;
    if (reached != static_cast<uint64_t>(init) - 1) return false;
    moveHint(hint, s, reached, *start);
    return true;
  }
  *start = 0;
  *index = 0;
  if (init >= 0) return true;
  const uint64_t back = 0 - static_cast<uint64_t>(init);
  const size_t from = walkBackward(s, s.size(), back, &reached);
  if (reached < back) return true;
  *start = from;
  *index = static_cast<lua_Integer>(countUnits(s, 0, from));
  return true;
}

// A plain search: the pattern's bytes as they are. The match's first and last positions are those of the units
// holding its first and last bytes.
int findPlain(lua_State* L, const MatchAttempt& from, std::string_view needle) {
  const std::string_view s = from.subject;
  const size_t found = s.find(needle, from.matchStart);
  if (found == std::string_view::npos) {
    luaL_pushfail(L);
    return 1;
  }
  size_t end = found + needle.size();
  if (end > found && end < s.size() && isContinuationByte(s[end])) end = unitEnd(s, end);
  const lua_Integer first = unitPosition(from, found);
  lua_pushinteger(L, first);
  lua_pushinteger(L, first + static_cast<lua_Integer>(countUnits(s, found, end)) - 1);
  return 2;
}

// The shared body of find and match.
int findOrMatch(lua_State* L, bool find) {
  const std::string_view s = checkText(L, 1);
  std::string_view pattern = checkText(L, 2);
  PositionHint* hint = subjectHint(L, s);
  MatchAttempt attempt{s, {}, 0, 0};
  if (!resolveInit(s, luaL_optinteger(L, 3, 1), hint, &attempt.matchStart, &attempt.matchStartIndex)) {
    luaL_pushfail(L);
    return 1;
  }
  if (find && (lua_toboolean(L, 4) || patternHasNoSpecials(pattern))) return findPlain(L, attempt, pattern);
  const bool anchored = !pattern.empty() && pattern[0] == '^';
  if (anchored) pattern.remove_prefix(1);
  const SharedProgram program = compiledPattern(L, pattern);
  Utf8PatternMatcher matcher(*program, s);
  for (;;) {
    size_t next = 0;
    if (matcher.mayBeginAt(attempt.matchStart, &next) && matcher.matchAt(attempt.matchStart, &attempt.match)) {
      const auto length = static_cast<lua_Integer>(countUnits(s, attempt.matchStart, attempt.match.end));
      moveHint(hint, s, static_cast<uint64_t>(attempt.matchStartIndex + length), attempt.match.end);
      if (!find) return pushCaptures(L, attempt, true);
      lua_pushinteger(L, attempt.matchStartIndex + 1);
      lua_pushinteger(L, attempt.matchStartIndex + length);
      return pushCaptures(L, attempt, false) + 2;
    }
    if (anchored || attempt.matchStart >= s.size()) break;
    attempt.matchStart = next;
    ++attempt.matchStartIndex;
  }
  luaL_pushfail(L);
  return 1;
}

struct GmatchState {
  SharedProgram program;
  size_t source = 0;
  lua_Integer sourceIndex = 0;
  size_t lastMatch = static_cast<size_t>(-1);
};

// The iterator of utf8.gmatch; upvalues: the subject, the state.
int iterateGmatch(lua_State* L) {
  const std::string_view s = checkText(L, lua_upvalueindex(1));
  auto* state = static_cast<GmatchState*>(luaL_checkudata(L, lua_upvalueindex(2), kGmatchStateType));
  if (state->program == nullptr) return 0;  // released by its finalizer
  Utf8PatternMatcher matcher(*state->program, s);
  MatchAttempt attempt{s, {}, state->source, state->sourceIndex};
  while (attempt.matchStart <= s.size()) {
    size_t next = 0;
    const bool possible = matcher.mayBeginAt(attempt.matchStart, &next);
    if (possible && matcher.matchAt(attempt.matchStart, &attempt.match) && attempt.match.end != state->lastMatch) {
      state->source = state->lastMatch = attempt.match.end;
      state->sourceIndex =
          attempt.matchStartIndex + static_cast<lua_Integer>(countUnits(s, attempt.matchStart, attempt.match.end));
      return pushCaptures(L, attempt, true);
    }
    if (attempt.matchStart == s.size()) break;
    attempt.matchStart = next;
    ++attempt.matchStartIndex;
  }
  return 0;
}

// Releases the program but leaves the state readable: a finalizer that runs later in the same cycle may still
// call the iterator, which then ends at once.
int releaseGmatchState(lua_State* L) {
  static_cast<GmatchState*>(luaL_checkudata(L, 1, kGmatchStateType))->program.reset();
  return 0;
}

// Frees what the cache holds but leaves it readable, as releaseGmatchState does.
int releasePatternCache(lua_State* L) {
  auto* cache = static_cast<PatternCache*>(luaL_checkudata(L, 1, kPatternCacheType));
  for (PatternCache::Entry& entry : cache->entries) {
    entry.program.reset();
    std::string().swap(entry.pattern);  // frees its buffer
  }
  cache->released = true;
  return 0;
}

void createFinalizerMetatable(lua_State* L, const char* type, lua_CFunction finalizer) {
  luaL_newmetatable(L, type);
  lua_pushcfunction(L, finalizer);
  lua_setfield(L, -2, "__gc");
  lua_pop(L, 1);
}

// Adds the replacement string (argument 3) for the attempt's match, with its "%" escapes, to the buffer.
void addReplacementString(lua_State* L, luaL_Buffer* buffer, const MatchAttempt& attempt) {
  size_t length = 0;
  const char* replacement = lua_tolstring(L, 3, &length);
  const std::string_view text(replacement, length);
  size_t copied = 0;
  for (size_t escape = text.find('%'); escape != std::string_view::npos; escape = text.find('%', copied)) {
    luaL_addlstring(buffer, text.data() + copied, escape - copied);
    const char c = escape + 1 < text.size() ? text[escape + 1] : '\0';
    if (c == '%') {
      luaL_addchar(buffer, '%');
    } else if (c == '0') {
      luaL_addlstring(buffer, attempt.subject.data() + attempt.matchStart, attempt.match.end - attempt.matchStart);
    } else if (c >= '1' && c <= '9') {
      pushCapture(L, attempt, c - '1');  // a position capture adds its number
      luaL_addvalue(buffer);
    } else {
      luaL_error(L, "invalid use of '%c' in replacement string", '%');
    }
    copied = escape + 2;
  }
  luaL_addlstring(buffer, text.data() + copied, text.size() - copied);
}

// Adds the replacement of the attempt's match; returns whether it changed the text.
bool addReplacement(lua_State* L, luaL_Buffer* buffer, const MatchAttempt& attempt, int replacementType) {
  if (replacementType == LUA_TNUMBER || replacementType == LUA_TSTRING) {
    addReplacementString(L, buffer, attempt);
    return true;
  }
  if (replacementType == LUA_TFUNCTION) {
    lua_pushvalue(L, 3);
    const int count = pushCaptures(L, attempt, true);
    lua_call(L, count, 1);
  } else {
    pushCapture(L, attempt, 0);
    lua_gettable(L, 3);
  }
  if (!lua_toboolean(L, -1)) {
    lua_pop(L, 1);
    luaL_addlstring(buffer, attempt.subject.data() + attempt.matchStart, attempt.match.end - attempt.matchStart);
    return false;
  }
  if (!lua_isstring(L, -1)) luaL_error(L, "invalid replacement value (a %s)", luaL_typename(L, -1));
  luaL_addvalue(buffer);
  return true;
}

// utf8.find(s, pattern [, init [, plain]]) -> start and end character and the captures, or fail
int utf8_find(lua_State* L) { return findOrMatch(L, true); }

// utf8.match(s, pattern [, init]) -> the captures (or the whole match), or fail
int utf8_match(lua_State* L) { return findOrMatch(L, false); }

// utf8.gmatch(s, pattern [, init]) -> iterator over the matches' captures
int utf8_gmatch(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const std::string_view pattern = checkText(L, 2);
  size_t start = 0;
  lua_Integer index = 0;
  const bool inside = resolveInit(s, luaL_optinteger(L, 3, 1), subjectHint(L, s), &start, &index);
  SharedProgram program = compiledPattern(L, pattern);
  lua_settop(L, 2);
  void* memory = lua_newuserdatauv(L, sizeof(GmatchState), 0);
  auto* state = new (memory) GmatchState{std::move(program)};
  luaL_setmetatable(L, kGmatchStateType);
  state->source = inside ? start : s.size() + 1;
  state->sourceIndex = index;
  lua_pushvalue(L, 1);
  lua_insert(L, -2);
  lua_pushcclosure(L, guarded<iterateGmatch>, 2);
  return 1;
}

// utf8.gsub(s, pattern, replacement [, n]) -> the text with (the first n) matches replaced, and their count
int utf8_gsub(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  std::string_view pattern = checkText(L, 2);
  const int replacementType = lua_type(L, 3);
  const lua_Integer most = luaL_optinteger(L, 4, LUA_MAXINTEGER);
  luaL_argexpected(L,
                   replacementType == LUA_TNUMBER || replacementType == LUA_TSTRING ||
                       replacementType == LUA_TFUNCTION || replacementType == LUA_TTABLE,
                   3, "string/function/table");
  const bool anchored = !pattern.empty() && pattern[0] == '^';
  if (anchored) pattern.remove_prefix(1);
  const SharedProgram program = compiledPattern(L, pattern);
  Utf8PatternMatcher matcher(*program, s);
  luaL_Buffer buffer;
  luaL_buffinit(L, &buffer);
  MatchAttempt attempt{s, {}, 0, 0};
  size_t lastMatch = static_cast<size_t>(-1);
  lua_Integer count = 0;
  bool changed = false;
  while (count < most) {
    size_t next = 0;
    const bool possible = matcher.mayBeginAt(attempt.matchStart, &next);
    if (possible && matcher.matchAt(attempt.matchStart, &attempt.match) && attempt.match.end != lastMatch) {
      ++count;
      changed = addReplacement(L, &buffer, attempt, replacementType) || changed;
      attempt.matchStartIndex += static_cast<lua_Integer>(countUnits(s, attempt.matchStart, attempt.match.end));
      attempt.matchStart = lastMatch = attempt.match.end;
    } else if (attempt.matchStart < s.size()) {
      // The text between matches is copied a character at a time, each decoded, as lua-utf8 copies it.
      uint32_t c = 0;
      const size_t length = decodeOrThrow(s.data() + attempt.matchStart, s.data() + s.size(), &c);
      luaL_addlstring(&buffer, s.data() + attempt.matchStart, length);
      attempt.matchStart += length;
      ++attempt.matchStartIndex;
    } else {
      break;
    }
    if (anchored) break;
  }
  if (!changed) {
    lua_pushvalue(L, 1);
  } else {
    luaL_addlstring(&buffer, s.data() + attempt.matchStart, s.size() - attempt.matchStart);
    luaL_pushresult(&buffer);
  }
  lua_pushinteger(L, count);
  return 2;
}

}  // namespace

void addPatternFunctions(lua_State* L) {
  static const luaL_Reg kPatternFunctions[] = {
      {"find", guarded<utf8_find>},
      {"match", guarded<utf8_match>},
      {"gmatch", guarded<utf8_gmatch>},
      {"gsub", guarded<utf8_gsub>},
      {nullptr, nullptr},
  };
  createFinalizerMetatable(L, kGmatchStateType, releaseGmatchState);
  createFinalizerMetatable(L, kPatternCacheType, releasePatternCache);
  new (lua_newuserdatauv(L, sizeof(PatternCache), 1)) PatternCache;  // its user value holds the hint's subject
  luaL_setmetatable(L, kPatternCacheType);
  luaL_setfuncs(L, kPatternFunctions, 1);
}
