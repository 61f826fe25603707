// The Lua `renderer` module: frames of the render-target window, drawing and text commands, rendering into
// new canvases, and the `font` class (the Font type).
#pragma once

struct lua_State;

int luaopen_renderer(lua_State* L);

// Lets go of the canvases kept alive for frames once no window is inside a frame: a form's paint is a frame
// that no renderer call ends, so what its controls drew would otherwise stay alive until the scripts' next.
void releaseCanvasesOfEndedFrames(lua_State* L);
