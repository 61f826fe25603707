// The Lua `canvas` module and the "Canvas" userdata, the one owner of a CanvasBitmap.
#pragma once

#include <cstdint>
#include <memory>

#include "render/canvas_bitmap.h"

struct lua_State;

// Pushes a new Canvas that takes the bitmap (left empty); returns 1. When Lua cannot make the userdata it
// raises its memory error and the caller still owns the bitmap. The pixels count towards the collector's
// pace until the canvas is collected: enough of them since the last collection run a full one (which may
// run finalizers).
int pushCanvas(lua_State* L, std::unique_ptr<CanvasBitmap>& bitmap);
// The bitmap of the Canvas at index; the standard type error for another value, and an argument error
// with `message` for a freed canvas.
CanvasBitmap* checkCanvas(lua_State* L, int index, const char* message);

// The pixel bytes of the state's canvases that are not yet collected.
uint64_t canvasPixelBytes(lua_State* L);

int luaopen_canvas(lua_State* L);
