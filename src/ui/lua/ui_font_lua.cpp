// The ui_font module and the "UiFont" userdata, a protected holder of one shared ui::Font description. Every
// field of a description is checked before the description is built, so a refused one creates nothing.
#include "ui/lua/ui_font_lua.h"

#include <string>
#include <utility>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/lua/protected_holder_lua.h"
#include "ui/lua/render_lua_support.h"

namespace {

constexpr char kUiFontType[] = "UiFont";
constexpr char kUiFontProtection[] = "protected UI font description";
constexpr lua_Unsigned kMaxFallbacks = 64;

using FontHolder = ProtectedHolder<ui::Font, kUiFontType, kUiFontProtection>;

// Reads description[field] onto the stack top.
int pushField(lua_State* L, const char* field) { return lua_getfield(L, 1, field); }

// Lua's type error for a field of the description, unless its value has exactly the type.
void expectType(lua_State* L, int actual, const TableEntry& entry, int expected) {
  if (actual != expected) raiseEntryTypeError(L, entry, expected);
}

std::string readPath(lua_State* L) {
  expectType(L, pushField(L, "path"), TableEntry::ofField(1, "path"), LUA_TSTRING);
  size_t length = 0;
  const char* text = lua_tolstring(L, -1, &length);
  std::string path(text, length);  // whole: the text before a zero byte names another file
  lua_pop(L, 1);
  if (path.empty()) luaL_argerror(L, 1, "font path must not be empty");
  return path;
}

float readSize(lua_State* L) {
  pushField(L, "size");
  const float size = checkEntryPositiveFloat(L, TableEntry::ofField(1, "size"));
  lua_pop(L, 1);
  return size;
}

std::vector<std::string> readFallbacks(lua_State* L) {
  std::vector<std::string> fallbacks;
  const int type = pushField(L, "fallbacks");
  if (type != LUA_TNIL) {
    expectType(L, type, TableEntry::ofField(1, "fallbacks"), LUA_TTABLE);
    const lua_Unsigned count = lua_rawlen(L, -1);
    if (count > kMaxFallbacks) luaL_argerror(L, 1, "too many font fallbacks");
    fallbacks.reserve(count);
    for (lua_Unsigned i = 1; i <= count; ++i) {
      expectType(L, lua_rawgeti(L, -1, static_cast<lua_Integer>(i)),
                 TableEntry::ofField(1, "fallbacks").withElement(static_cast<long long>(i)), LUA_TSTRING);
      size_t length = 0;
      const char* text = lua_tolstring(L, -1, &length);
      fallbacks.emplace_back(text, length);
      lua_pop(L, 1);
    }
  }
  lua_pop(L, 1);
  return fallbacks;
}

float readEmbolden(lua_State* L) {
  float embolden = 0.0f;
  if (pushField(L, "embolden") != LUA_TNIL) {
    embolden = checkEntryFloatNumber(L, TableEntry::ofField(1, "embolden"));
  }
  lua_pop(L, 1);
  return embolden;
}

bool readFlag(lua_State* L, const char* field) {
  bool flag = true;
  const int type = pushField(L, field);
  if (type != LUA_TNIL) {
    expectType(L, type, TableEntry::ofField(1, field), LUA_TBOOLEAN);
    flag = lua_toboolean(L, -1) != 0;
  }
  lua_pop(L, 1);
  return flag;
}

ui::Font readDescription(lua_State* L) {
  ui::Font font;
  font.path = readPath(L);
  font.size = readSize(L);
  font.fallbacks = readFallbacks(L);
  font.embolden = readEmbolden(L);
  font.lineGap = readFlag(L, "line_gap");
  font.antialias = readFlag(L, "antialias");
  return font;
}

// ui_font.create(description) -> UiFont
int uiFontCreate(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  ui::Font font = guardMemory(L, "create UI font", [&] { return readDescription(L); });
  FontHolder::Pointer& holder = FontHolder::push(L);
  holder = guardMemory(L, "create UI font", [&] { return std::make_shared<ui::Font>(std::move(font)); });
  return 1;
}

const luaL_Reg kUiFontFunctions[] = {
    {"create", uiFontCreate},
    {nullptr, nullptr},
};

}  // namespace

std::shared_ptr<ui::Font> checkUiFont(lua_State* L, int index) {
  const FontHolder::Pointer& holder = FontHolder::check(L, index);
  if (!holder) raiseArgumentError(L, index, "font is no longer available");
  return holder;
}

int luaopen_ui_font(lua_State* L) {
  luaL_checkversion(L);
  luaL_newlib(L, kUiFontFunctions);
  FontHolder::pushMetatable(L);
  lua_pop(L, 1);
  return 1;
}
