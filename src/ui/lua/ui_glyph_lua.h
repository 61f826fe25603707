// The ui_glyph module: scripts register named glyphs (a text in a UI font, or a vector shape) once for the
// life of the Lua state; controls draw them by name.
#pragma once

#include <memory>
#include <string_view>

#include "ui/ui_glyph.h"

struct lua_State;

int luaopen_ui_glyph(lua_State* L);

// The glyph registered under the name, or none; the Lua stack is left as it was.
std::shared_ptr<ui::Glyph> lookupUiGlyph(lua_State* L, std::string_view name);
