// The name tables of the native functions. Each is a fresh table of the functions under their own keys,
// without the metamethods, so that a function known by two keys (release and __gc) is found by its name.
#include "host/lua_function_names.h"

#include <algorithm>
#include <string_view>

#include "host/lua_api.h"

namespace {

// Pushes a new table of the function fields of the table at index whose keys do not begin with "__";
// returns how many it holds.
int pushFunctionTable(lua_State* L, int index) {
  index = lua_absindex(L, index);
  lua_newtable(L);
  int count = 0;
  lua_pushnil(L);
  while (lua_next(L, index) != 0) {
    if (lua_type(L, -2) == LUA_TSTRING && lua_isfunction(L, -1) &&
        std::string_view(lua_tostring(L, -2)).rfind("__", 0) != 0) {
      lua_pushvalue(L, -2);
      lua_insert(L, -2);
      lua_rawset(L, -4);
      ++count;
    } else {
      lua_pop(L, 1);
    }
  }
  return count;
}

// package.loaded[name] = the functions of the table at index, unless the name is taken or there are none.
void enterFunctions(lua_State* L, int loaded, const std::string& name, int index) {
  if (lua_getfield(L, loaded, name.c_str()) != LUA_TNIL) {
    lua_pop(L, 1);
    return;
  }
  lua_pop(L, 1);
  if (pushFunctionTable(L, index) > 0) {
    lua_setfield(L, loaded, name.c_str());
  } else {
    lua_pop(L, 1);
  }
}

}  // namespace

std::vector<std::string> registeredTypeNames(lua_State* L) {
  std::vector<std::string> names;
  lua_pushnil(L);
  while (lua_next(L, LUA_REGISTRYINDEX) != 0) {
    if (lua_type(L, -2) == LUA_TSTRING && lua_istable(L, -1)) {
      lua_pushliteral(L, "__name");
      if (lua_rawget(L, -2) == LUA_TSTRING && lua_rawequal(L, -1, -3)) names.emplace_back(lua_tostring(L, -3));
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
  }
  return names;
}

void nameNativeFunctions(lua_State* L, const std::vector<std::string>& modules,
                         const std::vector<std::string>& typesBefore) {
  luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
  const int loaded = lua_gettop(L);
  lua_newtable(L);  // the inner tables named, as keys
  const int named = lua_gettop(L);
  for (const std::string& module : modules) {
    if (lua_getfield(L, loaded, module.c_str()) == LUA_TTABLE) {
      const int table = lua_gettop(L);
      lua_pushnil(L);
      while (lua_next(L, table) != 0) {
        if (lua_type(L, -2) == LUA_TSTRING && lua_istable(L, -1)) {
          enterFunctions(L, loaded, module + "." + lua_tostring(L, -2), -1);
          lua_pushvalue(L, -1);
          lua_pushboolean(L, 1);
          lua_rawset(L, named);
        }
        lua_pop(L, 1);
      }
    }
    lua_pop(L, 1);
  }
  for (const std::string& type : registeredTypeNames(L)) {
    if (std::find(typesBefore.begin(), typesBefore.end(), type) != typesBefore.end()) continue;
    luaL_getmetatable(L, type.c_str());
    // The methods: a table of their own under __index, or the metatable when it is its own __index. A type
    // whose methods are a module's inner table (the Font type is renderer.font) keeps the module's name.
    lua_pushliteral(L, "__index");
    if (lua_rawget(L, -2) == LUA_TTABLE) {
      lua_pushvalue(L, -1);
      if (lua_rawget(L, named) == LUA_TNIL) enterFunctions(L, loaded, type, -2);
      lua_pop(L, 1);
    }
    lua_pop(L, 2);
  }
  lua_pop(L, 2);
}
