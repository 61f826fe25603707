// The names of the native functions, entered into package.loaded one function at a time under their whole
// name, without the metamethods, so that a function known by two keys (release and __gc) is found by its name.
#include "host/lua_function_names.h"

#include <algorithm>
#include <string_view>

#include "host/lua_api.h"

namespace {

// package.loaded[prefix .. "." .. key] = each function field of the table at index whose key does not begin
// with "__", unless package.loaded holds that name already.
void enterFunctions(lua_State* L, int loaded, const std::string& prefix, int index) {
  index = lua_absindex(L, index);
  std::string name;
  lua_pushnil(L);
  while (lua_next(L, index) != 0) {
    if (lua_type(L, -2) == LUA_TSTRING && lua_isfunction(L, -1) &&
        std::string_view(lua_tostring(L, -2)).rfind("__", 0) != 0) {
      name.assign(prefix).append(".").append(lua_tostring(L, -2));
      lua_pushlstring(L, name.data(), name.size());
      if (lua_rawget(L, loaded) == LUA_TNIL) {
        lua_pushlstring(L, name.data(), name.size());
        lua_pushvalue(L, -3);
        lua_rawset(L, loaded);
      }
      lua_pop(L, 1);
    }
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
