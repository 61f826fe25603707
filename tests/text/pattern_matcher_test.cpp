#include "text/pattern_matcher.h"

#include <gtest/gtest.h>

#include <string>

#include "host/lua_api.h"
#include "text/string_patterns.h"

namespace {

using namespace std::string_literals;

// native(s, p, init, anchored) -> start, end, {positions}, {spans} or nil; the entry points as string.find
// would report them (1-based bounds).
int nativeFind(lua_State* L) {
  size_t subjectLength = 0;
  size_t patternLength = 0;
  const char* subject = luaL_checklstring(L, 1, &subjectLength);
  const char* pattern = luaL_checklstring(L, 2, &patternLength);
  const size_t start = static_cast<size_t>(luaL_checkinteger(L, 3) - 1);
  PatternCaptures captures;
  size_t matchStart = start;
  size_t matchEnd = 0;
  const int found = lua_toboolean(L, 4)
                        ? str_match_at(L, subject, subjectLength, pattern, patternLength, start, &matchEnd, &captures)
                        : str_find_from(L, subject, subjectLength, pattern, patternLength, start, 1, &matchStart,
                                        &matchEnd, &captures);
  if (found == 0) {
    lua_pushnil(L);
    return 1;
  }
  lua_pushinteger(L, static_cast<lua_Integer>(matchStart + 1));
  lua_pushinteger(L, static_cast<lua_Integer>(matchEnd));
  lua_createtable(L, static_cast<int>(captures.positionCount), 0);
  for (uint64_t i = 0; i < captures.positionCount; ++i) {
    lua_pushinteger(L, static_cast<lua_Integer>(captures.positions[i]));
    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
  }
  lua_createtable(L, static_cast<int>(captures.spanCount), 0);
  for (uint64_t i = 0; i < captures.spanCount; ++i) {
    lua_pushlstring(L, captures.spans[i].start, captures.spans[i].length);
    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
  }
  return 4;
}

TEST(PatternMatcher, AgreesWithTheLinkedLuaStringFind) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_getglobal(L, "package");
  lua_pushstring(L, QZ_TEXT_TEST_DIR "/?.lua");  // the script's shared helpers
  lua_setfield(L, -2, "path");
  lua_pop(L, 1);
  ASSERT_EQ(luaL_loadfile(L, QZ_TEXT_TEST_DIR "/pattern_differential.lua"), LUA_OK) << lua_tostring(L, -1);
  lua_pushcfunction(L, nativeFind);
  ASSERT_EQ(lua_pcall(L, 1, 2, 0), LUA_OK) << lua_tostring(L, -1);
  EXPECT_GT(lua_tointeger(L, -1), 80000);
  lua_pop(L, 1);
  const lua_Integer mismatches = static_cast<lua_Integer>(lua_rawlen(L, -1));
  for (lua_Integer i = 1; i <= mismatches; ++i) {
    lua_rawgeti(L, -1, i);
    ADD_FAILURE() << lua_tostring(L, -1);
    lua_pop(L, 1);
  }
  lua_close(L);
}

struct MatchOutcome {
  bool matched = false;
  size_t start = 0;
  size_t end = 0;
  PatternCaptures captures;
};

MatchOutcome matchAt(std::string_view subject, std::string_view pattern, size_t start) {
  MatchOutcome outcome;
  outcome.captures.spanCount = outcome.captures.positionCount = 7;
  outcome.start = start;
  outcome.matched = patternMatchAt(subject, pattern, start, &outcome.end, &outcome.captures);
  return outcome;
}

MatchOutcome findFrom(std::string_view subject, std::string_view pattern, size_t start, bool allowPlain) {
  MatchOutcome outcome;
  outcome.captures.spanCount = outcome.captures.positionCount = 7;
  outcome.matched =
      patternFindFrom(subject, pattern, start, allowPlain, &outcome.start, &outcome.end, &outcome.captures);
  return outcome;
}

TEST(PatternMatcher, MatchAtTheSubjectEndMatchesOnlyEmptyPatterns) {
  const MatchOutcome empty = matchAt("abc", "x*", 3);
  EXPECT_TRUE(empty.matched);
  EXPECT_EQ(empty.end, 3u);
  EXPECT_FALSE(matchAt("abc", "x", 3).matched);
}

TEST(PatternMatcher, StartBeyondTheSubjectFailsWithEmptyCaptures) {
  const MatchOutcome at = matchAt("abc", "()", 4);
  EXPECT_FALSE(at.matched);
  EXPECT_EQ(at.captures.spanCount, 0u);
  EXPECT_EQ(at.captures.positionCount, 0u);
  const MatchOutcome find = findFrom("abc", "", 4, true);
  EXPECT_FALSE(find.matched);
  EXPECT_EQ(find.captures.positionCount, 0u);
}

TEST(PatternMatcher, PlainShortcutTreatsOnlyLiteralPatternsAsText) {
  const MatchOutcome dotted = findFrom("axb", "a.b", 0, true);
  EXPECT_TRUE(dotted.matched);
  EXPECT_EQ(dotted.end, 3u);
  const MatchOutcome empty = findFrom("abc", "", 2, true);
  EXPECT_TRUE(empty.matched);
  EXPECT_EQ(empty.start, 2u);
  EXPECT_EQ(empty.end, 2u);
  const MatchOutcome withZero = findFrom("a\0b]c"s, "b]"s, 0, true);
  EXPECT_TRUE(withZero.matched);
  EXPECT_EQ(withZero.start, 2u);
  EXPECT_FALSE(findFrom("abc", "abcd", 0, true).matched);
}

TEST(PatternMatcher, CaretAnchorsAtTheSearchStart) {
  EXPECT_TRUE(findFrom("xxab", "^ab", 2, false).matched);
  EXPECT_FALSE(findFrom("xxab", "^ab", 1, false).matched);
  EXPECT_TRUE(matchAt("x^y", "^y", 1).matched);  // an ordinary byte when matching at a position
}

TEST(PatternMatcher, PositionAndSpanCapturesAreListedSeparately) {
  const MatchOutcome outcome = matchAt("ab", "()a(b)", 0);
  ASSERT_TRUE(outcome.matched);
  ASSERT_EQ(outcome.captures.positionCount, 1u);
  EXPECT_EQ(outcome.captures.positions[0], 0u);
  ASSERT_EQ(outcome.captures.spanCount, 1u);
  EXPECT_EQ(std::string(outcome.captures.spans[0].start, outcome.captures.spans[0].length), "b");
}

TEST(PatternMatcher, FrontierAndDollarSeeTheEndOfASubRange) {
  const std::string line = "word more";
  const std::string_view firstWord(line.data(), 4);
  EXPECT_TRUE(matchAt(firstWord, "word%f[%W]", 0).matched);
  EXPECT_TRUE(matchAt(firstWord, "word$", 0).matched);
  EXPECT_FALSE(matchAt(line, "word$", 0).matched);
}

TEST(PatternMatcher, MalformedPartsRaiseOnlyWhenAnAttemptReachesThem) {
  size_t start = 0;
  size_t end = 0;
  EXPECT_FALSE(patternMatchAt("b", "a%", 0, &end, nullptr));
  EXPECT_THROW(patternMatchAt("a", "a%", 0, &end, nullptr), PatternError);
  EXPECT_FALSE(patternFindFrom("yyy", "x[", 0, false, &start, &end, nullptr));
  EXPECT_THROW(patternFindFrom("yxy", "x[", 0, false, &start, &end, nullptr), PatternError);
  const MatchPattern prepared("(a)%2");  // compiling never raises; matching "a" reaches the back-reference
  EXPECT_FALSE(prepared.matchAt("b", 0, &end, nullptr));
  EXPECT_THROW(prepared.matchAt("a", 0, &end, nullptr), PatternError);
}

TEST(PatternMatcher, MalformedPatternsThrowLuaMessages) {
  const auto messageOf = [](std::string_view pattern) -> std::string {
    try {
      size_t end = 0;
      patternMatchAt(std::string(300, 'a'), pattern, 0, &end, nullptr);
    } catch (const PatternError& error) {
      return error.what();
    }
    return "";
  };
  EXPECT_EQ(messageOf("a("), "unfinished capture");
  EXPECT_EQ(messageOf("%"), "malformed pattern (ends with '%')");
  EXPECT_EQ(messageOf("[a"), "malformed pattern (missing ']')");
  EXPECT_EQ(messageOf("%ba"), "malformed pattern (missing arguments to '%b')");
  EXPECT_EQ(messageOf("%fa"), "missing '[' after '%f' in pattern");
  EXPECT_EQ(messageOf("%1"), "invalid capture index %1");
  EXPECT_EQ(messageOf(")"), "invalid pattern capture");
  EXPECT_EQ(messageOf(std::string(33, '(')), "too many captures");
  std::string deep;
  for (int i = 0; i < 250; ++i) deep += "a?";
  EXPECT_EQ(messageOf(deep), "pattern too complex");
}

// The work a metered match counts, with a meter that does not run out; the answer must be the unmetered one.
uint64_t workOf(std::string_view subject, std::string_view pattern, size_t start) {
  const MatchPattern compiled(pattern);
  PatternWorkMeter meter{uint64_t{1} << 40};
  size_t end = 0;
  size_t meteredEnd = 0;
  const bool matched = compiled.matchAt(subject, start, &end, nullptr);
  EXPECT_EQ(compiled.matchAt(subject, start, &meteredEnd, nullptr, meter), matched) << pattern;
  if (matched) {
    EXPECT_EQ(meteredEnd, end) << pattern;
  }
  return (uint64_t{1} << 40) - meter.left;
}

TEST(PatternMatcher, AMeteredMatchCountsAboutTheBytesItReads) {
  const std::string line = std::string(4000, 'a') + " (b c) " + std::string(4000, 'd');
  struct Case {
    const char* pattern;
    size_t start;
    uint64_t least;
    uint64_t most;
  };
  const Case cases[] = {
      {"%s*%(", 4000, 1, 16},               // a few bytes at the start
      {"[%a_]", 4010, 1, 4},                // one byte
      {".*;", 0, 8000, 40000},              // to the end and back
      {"(a+)%s%(%a", 0, 4000, 20000},       // a capture over a run
      {"%b()", 4001, 5, 20},                // a balance
      {"(a*).-%1;", 3990, 10000, 1000000},  // a repeated capture at every choice
      {"[%w ]*%)%s(%a+)%1$", 3000, 1000, 100000},
  };
  for (const Case& c : cases) {
    const uint64_t work = workOf(line, c.pattern, c.start);
    EXPECT_GE(work, c.least) << c.pattern;
    EXPECT_LE(work, c.most) << c.pattern;
  }
}

TEST(PatternMatcher, AMeteredSearchCountsTheBytesItPassesOverToReachAStart) {
  const std::string line = std::string(4000, 'a') + "@b";
  const struct {
    const char* pattern;
    size_t from;
    bool found;
    uint64_t least;
    uint64_t most;
  } cases[] = {
      {"@.*", 0, true, 4000, 4020},        // a byte sought with memchr, found at the end
      {"[#@]b", 0, true, 4000, 4020},      // a set sought byte by byte
      {"#.*", 0, false, 4002, 4020},       // a byte the text lacks: all of it passed over
      {"[#%%]b", 100, false, 3902, 3920},  // from a later position, only the rest
      {"a.*", 0, true, 1, 20},             // a start at once passes over nothing
  };
  for (const auto& c : cases) {
    const SearchPattern compiled(c.pattern, false);
    PatternWorkMeter meter{uint64_t{1} << 40};
    size_t start = 0;
    size_t end = 0;
    EXPECT_EQ(compiled.findFrom(line, c.from, &start, &end, nullptr, meter), c.found) << c.pattern;
    const uint64_t work = (uint64_t{1} << 40) - meter.left;
    EXPECT_GE(work, c.least) << c.pattern;
    EXPECT_LE(work, c.most) << c.pattern;
  }
}

TEST(PatternMatcher, AMeteredMatchThatRunsOutThrowsAndLeavesTheMeterEmpty) {
  const std::string run = std::string(1000, 'a');
  const struct {
    const char* pattern;
    std::string subject;
    size_t end;
  } cases[] = {{".*;", ";" + run, 1}, {"(a*);", run + ";", 1001}, {"a-;", run + ";", 1001}};
  for (const auto& c : cases) {
    const MatchPattern compiled(c.pattern);
    size_t end = 0;
    PatternWorkMeter small{100};
    EXPECT_THROW(compiled.matchAt(c.subject, 0, &end, nullptr, small), PatternWorkExhausted) << c.pattern;
    EXPECT_EQ(small.left, 0u);
    PatternWorkMeter enough{100000};
    EXPECT_TRUE(compiled.matchAt(c.subject, 0, &end, nullptr, enough)) << c.pattern;
    EXPECT_EQ(end, c.end);
  }
  const SearchPattern anchored("^(a+).*%1;b$", false);
  size_t start = 0;
  size_t end = 0;
  PatternWorkMeter small{100};
  EXPECT_THROW(anchored.findFrom(run + ";", 0, &start, &end, nullptr, small), PatternWorkExhausted);
  PatternWorkMeter enough{uint64_t{1} << 30};
  EXPECT_FALSE(anchored.findFrom(run + ";", 0, &start, &end, nullptr, enough));
}

}  // namespace
