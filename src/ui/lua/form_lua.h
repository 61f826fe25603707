// The Lua `form` module: forms with their background, root layout and Lua lifecycle, attachment into panes,
// overlays, focus, closing and destruction, and work deferred past the current UI work.
#pragma once

struct lua_State;

int luaopen_form(lua_State* L);
