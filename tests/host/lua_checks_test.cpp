#include "host/lua_checks.h"

#include <gtest/gtest.h>

#include <string>

#include "host/lua_api.h"

namespace {

using Checker = double (*)(lua_State*, int);

template <auto Check>
int callChecker(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(Check(L, 1)));
  return 1;
}

struct Outcome {
  bool ok;
  double value;
  std::string error;
};

class LuaChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override { lua_close(L); }

  // Calls the checker through Lua with `source` evaluated as its first argument.
  Outcome run(lua_CFunction checker, const std::string& source) {
    lua_pushcfunction(L, checker);
    lua_setglobal(L, "check");
    const std::string chunk = "return check(" + source + ")";
    if (luaL_loadstring(L, chunk.c_str()) != LUA_OK) return {false, 0, lua_tostring(L, -1)};
    if (lua_pcall(L, 0, 1, 0) != LUA_OK) {
      Outcome outcome{false, 0, lua_tostring(L, -1)};
      lua_pop(L, 1);
      return outcome;
    }
    Outcome outcome{true, lua_tonumber(L, -1), ""};
    lua_pop(L, 1);
    return outcome;
  }

  void expectValue(lua_CFunction checker, const std::string& source, double expected) {
    const Outcome outcome = run(checker, source);
    EXPECT_TRUE(outcome.ok) << source << ": " << outcome.error;
    EXPECT_EQ(outcome.value, expected) << source;
  }

  void expectError(lua_CFunction checker, const std::string& source, const std::string& message) {
    const Outcome outcome = run(checker, source);
    EXPECT_FALSE(outcome.ok) << source;
    EXPECT_NE(outcome.error.find(message), std::string::npos) << source << ": " << outcome.error;
  }

  lua_State* L = nullptr;
};

constexpr const char* kIntegerRange = "expected a finite number in integer range";

TEST_F(LuaChecks, IntegerNumberTruncatesTowardZeroInsideInt32) {
  auto check = callChecker<checkIntegerNumber>;
  expectValue(check, "2147483647.0", 2147483647);
  expectValue(check, "-2147483648", -2147483648.0);
  expectValue(check, "-0.5", 0);
  expectValue(check, "-1.9", -1);
  expectValue(check, "'12'", 12);
  expectError(check, "2147483647.5", kIntegerRange);
  expectError(check, "0/0", kIntegerRange);
  expectError(check, "math.huge", kIntegerRange);
  expectError(check, "-2147483649", kIntegerRange);
  expectError(check, "math.mininteger", kIntegerRange);
  expectError(check, "{}", "number expected");
}

TEST_F(LuaChecks, RefusalNamesTheArgument) {
  expectError(callChecker<checkIntegerNumber>, "1e10", "bad argument #1 to 'check' (" + std::string(kIntegerRange));
}

TEST_F(LuaChecks, CppIntegerUsesLuaIntegerRules) {
  auto check = callChecker<checkCppInteger>;
  expectValue(check, "7.0", 7);
  expectError(check, "2.5", "number has no integer representation");
  expectError(check, "2^31", "expected an integer in C++ integer range");
  expectError(check, "0/0", "number has no integer representation");
}

TEST_F(LuaChecks, NonNegativeIntegerChecksSignBeforeRange) {
  auto check = callChecker<checkNonNegativeInteger>;
  expectError(check, "3e9", kIntegerRange);
  expectError(check, "-1", "expected a finite non-negative number in integer range");
  expectError(check, "-0.5", "expected a finite non-negative number in integer range");
  expectError(check, "math.huge", "expected a finite non-negative number in integer range");
  expectValue(check, "0", 0);
}

TEST_F(LuaChecks, PositiveIntegerNeedsAtLeastOne) {
  auto check = callChecker<checkPositiveInteger>;
  expectError(check, "0.999", "expected a positive number in integer range");
  expectValue(check, "1.9", 1);
  expectError(check, "2147483648", kIntegerRange);
}

TEST_F(LuaChecks, NonNegativeNumberKeepsFraction) {
  auto check = callChecker<checkNonNegativeNumber>;
  expectValue(check, "2.25", 2.25);
  expectError(check, "-0.1", "expected a finite non-negative number");
  expectError(check, "1/0", "expected a finite non-negative number");
}

TEST_F(LuaChecks, FloatCheckersRefuseOutOfFloatRange) {
  expectError(callChecker<checkFloatNumber>, "1e39", "expected a finite number in float range");
  expectValue(callChecker<checkFloatNumber>, "-1.5", -1.5);
  expectError(callChecker<checkPositiveFloat>, "1e-50", "expected a positive number");
  expectError(callChecker<checkPositiveFloat>, "1e39", "expected a finite number in float range");
  expectError(callChecker<checkPositiveFloat>, "0/0", "expected a finite number in float range");
  expectValue(callChecker<checkPositiveFloat>, "0.5", 0.5);
}

TEST_F(LuaChecks, ColorChannelAcceptsZeroTo255) {
  auto check = callChecker<checkColorChannel>;
  expectValue(check, "254.9", 254);
  expectValue(check, "255", 255);
  expectError(check, "255.5", "expected a color channel from 0 to 255");
  expectError(check, "-0.1", "expected a color channel from 0 to 255");
}

// check(options) reads options.size (argument 1) with each entry checker in turn, element 2 of options.list,
// and option 'mode'; returns what they read, joined.
int checkOptions(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  std::string read;
  lua_getfield(L, 1, "size");
  if (!lua_isnil(L, -1)) {
    read += std::to_string(checkEntryPositiveInteger(L, TableEntry::ofField(1, "size")));
    read += " " + std::to_string(checkEntryInteger(L, TableEntry::ofField(1, "size")));
  }
  lua_getfield(L, 1, "list");
  if (!lua_isnil(L, -1)) {
    checkEntryType(L, TableEntry::ofField(1, "list"), LUA_TTABLE);
    lua_rawgeti(L, -1, 2);
    read += " " + std::string(checkEntryText(L, TableEntry::ofField(1, "list").withElement(2)));
  }
  static const char* const kModes[] = {"fast", "slow", nullptr};
  lua_getfield(L, 1, "mode");
  read += " " + std::to_string(checkEntryOption(L, TableEntry::ofField(1, "mode"), "slow", kModes));
  lua_pushstring(L, read.c_str());
  return 1;
}

// check(list) reads element 3 of the array at argument 1 as a colour channel.
int checkElement(lua_State* L) {
  lua_rawgeti(L, 1, 3);
  lua_pushinteger(L, checkEntryColorChannel(L, TableEntry::ofElement(1, 3)));
  return 1;
}

TEST_F(LuaChecks, EntryCheckersNameTheArgumentAndTheValueInsideIt) {
  lua_pushcfunction(L, checkOptions);
  lua_setglobal(L, "check");
  lua_pushcfunction(L, checkElement);
  lua_setglobal(L, "element");
  const struct {
    const char* function;
    const char* argument;
    const char* result;  // the value read, or the whole error
  } cases[] = {
      {"check", "{size = 3}", "3 3 1"},
      {"check", "{size = '7', mode = 'fast'}", "7 7 0"},
      {"check", "{list = {1, 22}}", " 22 1"},
      {"check", "{size = 'x'}", "bad argument #1 to 'check' (field 'size': number expected, got string)"},
      {"check", "{size = io.stdout}", "bad argument #1 to 'check' (field 'size': number expected, got FILE*)"},
      {"check", "{size = 0}", "bad argument #1 to 'check' (field 'size': expected a positive number in integer range)"},
      {"check", "{size = 1.5}", "bad argument #1 to 'check' (field 'size': number has no integer representation)"},
      {"check", "{list = 5}", "bad argument #1 to 'check' (field 'list': table expected, got number)"},
      {"check", "{list = {1, {}}}", "bad argument #1 to 'check' (field 'list' element 2: string expected, got table)"},
      {"check", "{mode = 'medium'}", "bad argument #1 to 'check' (field 'mode': invalid option 'medium')"},
      {"check", "{mode = false}", "bad argument #1 to 'check' (field 'mode': string expected, got boolean)"},
      {"element", "{1, 2, 'x'}", "bad argument #1 to 'element' (element 3: number expected, got string)"},
      {"element", "{1, 2, 300}", "bad argument #1 to 'element' (element 3: expected a color channel from 0 to 255)"},
      {"element", "{1, 2, 3}", "3"},
  };
  for (const auto& c : cases) {
    const std::string chunk = std::string("return select(2, pcall(") + c.function + ", " + c.argument + "))";
    ASSERT_EQ(luaL_dostring(L, chunk.c_str()), LUA_OK);
    EXPECT_EQ(std::string(luaL_tolstring(L, -1, nullptr)), c.result) << c.argument;
    lua_pop(L, 2);
  }
}

int checkAtPseudoIndex(lua_State* L) {
  lua_pushnumber(L, -5);
  return static_cast<int>(checkPositiveInteger(L, -1));
}

TEST_F(LuaChecks, NegativeIndexRaisesPlainErrorWithPosition) {
  lua_pushcfunction(L, checkAtPseudoIndex);
  ASSERT_NE(lua_pcall(L, 0, 0, 0), LUA_OK);
  const std::string message = lua_tostring(L, -1);
  EXPECT_EQ(message.find("bad argument"), std::string::npos) << message;
  EXPECT_NE(message.find("expected a positive number in integer range"), std::string::npos) << message;
}

}  // namespace
