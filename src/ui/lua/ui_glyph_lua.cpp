// The ui_glyph module, the "UiGlyph" userdata (a protected holder of one shared ui::Glyph) and the glyph
// registry: a table in the Lua registry, made on first use, from each name to its UiGlyph. Names are never
// removed, so a name is registered once for the life of the state.
#include "ui/lua/ui_glyph_lua.h"

#include <array>
#include <string>
#include <utility>

#include "host/lua_api.h"
#include "ui/lua/protected_holder_lua.h"
#include "ui/lua/render_lua_support.h"
#include "ui/lua/ui_font_lua.h"

namespace {

constexpr char kUiGlyphType[] = "UiGlyph";
constexpr char kUiGlyphProtection[] = "protected UI glyph definition";
const char kRegistryKey = 0;  // its address keys the registry table

using GlyphHolder = ProtectedHolder<ui::Glyph, kUiGlyphType, kUiGlyphProtection>;

struct Shape {
  std::string_view name;
  ui::GlyphKind kind;
};

constexpr std::array<Shape, 4> kShapes{{
    {"cross", ui::GlyphKind::Cross},
    {"triangle_right", ui::GlyphKind::TriangleRight},
    {"triangle_up", ui::GlyphKind::TriangleUp},
    {"triangle_down", ui::GlyphKind::TriangleDown},
}};

void pushRegistry(lua_State* L) {
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, &kRegistryKey) == LUA_TTABLE) return;
  lua_pop(L, 1);
  lua_newtable(L);
  lua_pushvalue(L, -1);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kRegistryKey);
}

bool isRegistered(lua_State* L, int nameIndex) {
  pushRegistry(L);
  lua_pushvalue(L, nameIndex);
  const bool taken = lua_rawget(L, -2) != LUA_TNIL;
  lua_pop(L, 2);
  return taken;
}

// Stores a new UiGlyph holding the glyph that `make` builds under the name at nameIndex.
template <typename Make>
void registerGlyph(lua_State* L, int nameIndex, Make&& make) {
  pushRegistry(L);
  lua_pushvalue(L, nameIndex);
  GlyphHolder::Pointer& holder = GlyphHolder::push(L);
  holder = guardMemory(L, "register UI glyph", std::forward<Make>(make));
  lua_rawset(L, -3);
  lua_pop(L, 1);
}

std::string_view checkName(lua_State* L) {
  size_t length = 0;
  const char* name = luaL_checklstring(L, 1, &length);
  if (length == 0) luaL_argerror(L, 1, "glyph name must not be empty");
  return {name, length};
}

// ui_glyph.register_font(name, font, text)
int registerFont(lua_State* L) {
  const std::string_view name = checkName(L);
  size_t length = 0;
  const char* text = luaL_checklstring(L, 3, &length);
  if (length == 0) luaL_argerror(L, 3, "glyph text must not be empty");
  if (isRegistered(L, 1)) luaL_argerror(L, 1, "glyph name is already registered");
  std::shared_ptr<ui::Font> font = checkUiFont(L, 2);
  registerGlyph(
      L, 1, [&] { return std::make_shared<ui::Glyph>(std::string(name), std::move(font), std::string(text, length)); });
  return 0;
}

// ui_glyph.register_shape(name, shape)
int registerShape(lua_State* L) {
  const std::string_view name = checkName(L);
  size_t length = 0;
  const char* text = luaL_checklstring(L, 2, &length);
  const std::string_view shape(text, length);
  const Shape* found = nullptr;
  for (const Shape& candidate : kShapes) {
    if (candidate.name == shape) found = &candidate;
  }
  if (found == nullptr) luaL_argerror(L, 2, "unknown UI glyph shape");
  if (isRegistered(L, 1)) luaL_argerror(L, 1, "glyph name is already registered");
  registerGlyph(L, 1, [&] { return std::make_shared<ui::Glyph>(std::string(name), found->kind); });
  return 0;
}

const luaL_Reg kUiGlyphFunctions[] = {
    {"register_font", registerFont},
    {"register_shape", registerShape},
    {nullptr, nullptr},
};

}  // namespace

std::shared_ptr<ui::Glyph> lookupUiGlyph(lua_State* L, std::string_view name) {
  pushRegistry(L);
  lua_pushlstring(L, name.data(), name.size());
  lua_rawget(L, -2);
  const GlyphHolder::Pointer* holder = GlyphHolder::test(L, -1);
  std::shared_ptr<ui::Glyph> glyph = holder != nullptr ? *holder : nullptr;
  lua_pop(L, 2);
  return glyph;
}

int luaopen_ui_glyph(lua_State* L) {
  luaL_checkversion(L);
  luaL_newlib(L, kUiGlyphFunctions);
  GlyphHolder::pushMetatable(L);
  lua_pop(L, 1);
  return 1;
}
