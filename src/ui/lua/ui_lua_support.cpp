// Helpers of the UI modules.
#include "ui/lua/ui_lua_support.h"

#include <cstdlib>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/application.h"

namespace ui::lua {

Application& checkApplication(lua_State* L) {
  if (Application* application = currentApplication()) return *application;
  luaL_error(L, "the UI host is not running");
  std::abort();  // unreachable: luaL_error raises
}

int pushFailure(lua_State* L, const char* message) {
  lua_pushnil(L);
  lua_pushstring(L, message);
  return 2;
}

int pushOutcome(lua_State* L, bool succeeded, const std::string& error) {
  if (!succeeded) return pushFailure(L, error.c_str());
  lua_pushboolean(L, 1);
  return 1;
}

int rawField(lua_State* L, int index, const char* field) {
  index = lua_absindex(L, index);
  lua_pushstring(L, field);
  return lua_rawget(L, index);
}

std::string_view readNameField(lua_State* L, int table, const char* message) {
  const int type = rawField(L, table, "name");
  if (type == LUA_TNIL) return {};
  if (type != LUA_TSTRING) luaL_argerror(L, table, message);
  size_t length = 0;
  const char* text = lua_tolstring(L, -1, &length);
  return {text, length};
}

uint32_t readUiColor(lua_State* L, int argument, const char* field) {
  const TableEntry where = TableEntry::ofField(argument, field);
  int index = argument;
  if (field != nullptr) {
    checkEntryType(L, where, LUA_TTABLE);
    index = lua_gettop(L);
  } else {
    luaL_checktype(L, argument, LUA_TTABLE);
  }
  uint32_t color = 0;
  for (int channel = 1; channel <= 4; ++channel) {
    const bool present = lua_rawgeti(L, index, channel) != LUA_TNIL;
    const uint32_t value =
        channel == 4 && !present ? 255 : static_cast<uint32_t>(checkEntryColorChannel(L, where.withElement(channel)));
    lua_pop(L, 1);
    color |= value << (8 * (channel - 1));
  }
  return color;
}

bool readBooleanField(lua_State* L, int table, const char* field, bool fallback, const char* message, bool raw,
                      int argument) {
  const int type = raw ? rawField(L, table, field) : lua_getfield(L, table, field);
  bool value = fallback;
  if (type == LUA_TBOOLEAN) {
    value = lua_toboolean(L, -1);
  } else if (type != LUA_TNIL) {
    luaL_argerror(L, argument != 0 ? argument : table, message);
  }
  lua_pop(L, 1);
  return value;
}

int32_t readCheckedField(lua_State* L, int table, const char* field, int32_t fallback,
                         int32_t (*checker)(lua_State*, const TableEntry&), bool raw) {
  const int type = raw ? rawField(L, table, field) : lua_getfield(L, table, field);
  const int32_t value = type == LUA_TNIL ? fallback : checker(L, TableEntry::ofField(table, field));
  lua_pop(L, 1);
  return value;
}

}  // namespace ui::lua
