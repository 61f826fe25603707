// The sanitizer build's Lua checks each call of its C API: a misuse stops the process at the faulty call
// instead of corrupting the state. Each misuse runs in a child process, which the check ends.
#include <gtest/gtest.h>

#include <functional>

#include "host/lua_api.h"

namespace {

struct Misuse {
  const char* what;
  std::function<void(lua_State*)> call;
  const char* report;  // the checked function and the failed check
};

TEST(LuaApiCheck, EveryMisuseStopsTheProcessAtTheFaultyCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Misuse misuses[] = {
      {"pop below the stack's base", [](lua_State* L) { lua_pop(L, 3); }, "lapi\\.c.*lua_settop.*Assertion"},
      {"raw read from a number",
       [](lua_State* L) {
         lua_pushinteger(L, 1);
         lua_rawgeti(L, -1, 1);
       },
       "lapi\\.c.*gettable.*Assertion"},
      {"call with its function missing", [](lua_State* L) { lua_call(L, 2, 0); }, "lapi\\.c.*lua_callk.*Assertion"},
  };
  for (const Misuse& misuse : misuses) {
    EXPECT_DEATH(
        {
          lua_State* L = luaL_newstate();
          misuse.call(L);
          lua_close(L);
        },
        misuse.report)
        << misuse.what;
  }
}

}  // namespace
