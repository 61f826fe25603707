#include "host/lua_function_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/lua_api.h"

namespace {

// Raises the type error of argument `Argument`; `Id` makes each function a function of its own, since Lua
// names a function by where it finds it.
template <int Argument, int Id>
int raiseAt(lua_State* L) {
  luaL_checkinteger(L, Argument);
  return Id;
}

// A module "shapes" with an inner table "shapes.circle", a type "Square" whose methods are a table of their
// own, a type "Circle" whose metatable is its own __index and is the inner table, and a type "Plain" with
// no methods.
int openShapes(lua_State* L) {
  luaL_newmetatable(L, "Square");
  lua_newtable(L);
  lua_pushcfunction(L, (raiseAt<2, 0>));
  lua_setfield(L, -2, "area");
  lua_setfield(L, -2, "__index");
  lua_pop(L, 1);
  luaL_newmetatable(L, "Plain");
  lua_pop(L, 1);
  lua_newtable(L);
  luaL_newmetatable(L, "Circle");
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  lua_pushcfunction(L, (raiseAt<2, 1>));
  lua_pushvalue(L, -1);
  lua_setfield(L, -3, "release");
  lua_setfield(L, -2, "__gc");
  lua_pushcfunction(L, (raiseAt<1, 2>));
  lua_setfield(L, -2, "new");
  lua_setfield(L, -2, "circle");
  lua_pushcfunction(L, (raiseAt<1, 3>));
  lua_setfield(L, -2, "count");
  return 1;
}

class LuaFunctionNames : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
    const std::vector<std::string> before = registeredTypeNames(L);
    luaL_requiref(L, "shapes", openShapes, 1);
    lua_pop(L, 1);
    nameNativeFunctions(L, {"shapes"}, before);
  }
  void TearDown() override { lua_close(L); }

  // The error of pcall(<expression>, "x", "x"): pcall gives Lua no name for the call.
  std::string errorOf(const std::string& function) {
    const std::string chunk = "local ok, err = pcall(" + function + ", 'x', 'x') return err";
    if (luaL_dostring(L, chunk.c_str()) != LUA_OK) return std::string("chunk failed: ") + lua_tostring(L, -1);
    std::string text = lua_tostring(L, -1);
    lua_pop(L, 1);
    return text;
  }

  lua_State* L = nullptr;
};

TEST_F(LuaFunctionNames, NamesModuleFunctionsInnerTablesAndMethodsThatPcallCalls) {
  const struct {
    const char* function;
    const char* name;
    int argument;
  } cases[] = {
      {"shapes.count", "shapes.count", 1},
      {"shapes.circle.new", "shapes.circle.new", 1},
      {"shapes.circle.release", "shapes.circle.release", 2},  // not __gc, the same function
      {"debug.getregistry().Square.__index.area", "Square.area", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(c.function),
              "bad argument #" + std::to_string(c.argument) + " to '" + c.name + "' (number expected, got string)")
        << c.function;
  }
}

TEST_F(LuaFunctionNames, ATypeWhoseMethodsAreAModuleTableIsNotNamedTwice) {
  ASSERT_EQ(luaL_dostring(L,
                          "local loaded = package.loaded\n"
                          "return type(loaded['Square.area']), type(loaded['shapes.circle.new']),\n"
                          "  loaded['Circle.new'], loaded['Plain'], loaded['FILE*.close']"),
            LUA_OK);
  EXPECT_STREQ(lua_tostring(L, 1), "function");
  EXPECT_STREQ(lua_tostring(L, 2), "function");
  EXPECT_TRUE(lua_isnil(L, 3)) << "Circle's methods are shapes.circle";
  EXPECT_TRUE(lua_isnil(L, 4)) << "a type without methods";
  EXPECT_TRUE(lua_isnil(L, 5)) << "types that were there before stay unnamed";
}

// The names are entered one function at a time, so a script's own module named like a type or an inner
// table ("Square", "shapes.circle") still loads through require.
TEST_F(LuaFunctionNames, LeavesTheNamesOfTypesAndInnerTablesToTheScriptsModules) {
  ASSERT_EQ(luaL_dostring(L,
                          "local loaded = package.loaded\n"
                          "package.preload['Square'] = function() return 'a module of the scripts' end\n"
                          "package.preload['shapes.circle'] = function() return 'another' end\n"
                          "return loaded['Square'], loaded['shapes.circle'], require('Square'),\n"
                          "  require('shapes.circle')"),
            LUA_OK);
  EXPECT_TRUE(lua_isnil(L, 1));
  EXPECT_TRUE(lua_isnil(L, 2));
  EXPECT_STREQ(lua_tostring(L, 3), "a module of the scripts");
  EXPECT_STREQ(lua_tostring(L, 4), "another");
  EXPECT_EQ(errorOf("debug.getregistry().Square.__index.area"),
            "bad argument #2 to 'Square.area' (number expected, got string)")
      << "a module of that name takes nothing from the names of the methods";
}

TEST_F(LuaFunctionNames, KeepsANameThatPackageLoadedHoldsAlready) {
  lua_State* state = luaL_newstate();
  luaL_openlibs(state);
  ASSERT_EQ(luaL_dostring(state, "package.loaded['shapes.circle.new'] = 'taken'"), LUA_OK);
  luaL_requiref(state, "shapes", openShapes, 1);
  lua_pop(state, 1);
  nameNativeFunctions(state, {"shapes"}, registeredTypeNames(state));
  ASSERT_EQ(luaL_dostring(state, "return package.loaded['shapes.circle.new']"), LUA_OK);
  EXPECT_STREQ(lua_tostring(state, -1), "taken");
  lua_close(state);
}

}  // namespace
