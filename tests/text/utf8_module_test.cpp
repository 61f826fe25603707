// The utf8 module against Lua's own libraries: its byte functions against Lua's utf8 library (opened as
// lua_utf8) and its pattern functions against the string library, through the differential scripts beside
// this file.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/lua_api.h"
#include "text/utf8_lua.h"

namespace {

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

// Runs a differential script, which returns its mismatches and its case count.
void runDifferential(const std::string& script, lua_Integer leastCases) {
  const std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openselectedlibs(L, ~LUA_UTF8LIBK, 0);
  luaL_requiref(L, LUA_UTF8LIBNAME, luaopen_utf8_module, 1);
  luaL_requiref(L, "lua_utf8", luaopen_utf8, 1);
  lua_getglobal(L, "package");
  lua_pushstring(L, QZ_TEXT_TEST_DIR "/?.lua");  // the scripts' shared helpers
  lua_setfield(L, -2, "path");
  lua_settop(L, 0);
  const std::string path = std::string(QZ_TEXT_TEST_DIR) + "/" + script;
  ASSERT_EQ(luaL_loadfile(L, path.c_str()), LUA_OK) << lua_tostring(L, -1);
  ASSERT_EQ(lua_pcall(L, 0, 2, 0), LUA_OK) << lua_tostring(L, -1);
  EXPECT_GT(lua_tointeger(L, -1), leastCases);
  const lua_Integer mismatches = static_cast<lua_Integer>(lua_rawlen(L, -2));
  for (lua_Integer i = 1; i <= mismatches; ++i) {
    lua_rawgeti(L, -2, i);
    ADD_FAILURE() << lua_tostring(L, -1);
    lua_pop(L, 1);
  }
}

TEST(Utf8Module, ByteFunctionsAgreeWithLuasUtf8Library) { runDifferential("utf8_differential.lua", 30000); }

TEST(Utf8Module, PatternFunctionsAgreeWithTheStringLibrary) { runDifferential("utf8_pattern_differential.lua", 80000); }

}  // namespace
