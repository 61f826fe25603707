// The Lua "Font" type, which is also the font module (`renderer.font`): loading fonts and groups, per-font
// queries and settings, measuring through the render target's text cache, and the process-wide font
// settings. A Font holds one shared RenderFont until it is released, collected or taken over by a group.
#pragma once

struct lua_State;
class RenderFont;

// Creates the "Font" metatable with its functions and leaves it on the stack.
void registerFontMetatable(lua_State* L);

// The font of the Font at index; the standard type error for another value, and the argument error "font
// already transferred or freed" for an emptied one.
RenderFont* checkFont(lua_State* L, int index);
// checkFont where the Font metatable is at `metatable` (a drawing function's upvalue): a Font is told by
// comparing its metatable with that one, without looking the type up by name; every other value goes
// through checkFont and its errors.
RenderFont* checkFontWith(lua_State* L, int index, int metatable);
