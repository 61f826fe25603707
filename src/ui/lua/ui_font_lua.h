// The ui_font module: scripts describe UI fonts (file, fallbacks, size and rendering flags) as protected
// "UiFont" userdata that each window's text context loads at its own scale.
#pragma once

#include <memory>

#include "fonts/ui_font.h"

struct lua_State;

int luaopen_ui_font(lua_State* L);

// The description held by a UiFont argument. Another value raises Lua's type error; a holder emptied by its
// collection raises "font is no longer available".
std::shared_ptr<ui::Font> checkUiFont(lua_State* L, int index);
