// Pieces shared by the files of the renderer module.
#pragma once

#include <cstdint>

class RenderCache;
struct lua_State;

// The optional colour argument at index (an argument position, not relative to the top): {r, g, b [, a]}
// (or such a table inside a table) packed 0xAARRGGBB; none or nil is opaque white.
uint32_t readRendererColor(lua_State* L, int index);

// Keeps the Canvas at index alive until the frame open in the cache ends. With no frame open the drawing is
// dropped, so nothing is kept (no frame end would let it go): false.
bool keepCanvasForFrame(lua_State* L, int index, const RenderCache& cache);
// Ends the keep-alive of every canvas drawn so far (a frame has ended).
void renewCanvasKeepAlive(lua_State* L);

// The shape and canvas drawing functions (renderer_draw_lua.cpp).
int rendererSetClipRect(lua_State* L);
int rendererInvalidateRect(lua_State* L);
int rendererDrawRect(lua_State* L);
int rendererDrawVerticalRules(lua_State* L);
int rendererDrawAntialiasedRect(lua_State* L);
int rendererDrawLine(lua_State* L);
int rendererDrawPolyline(lua_State* L);
int rendererDrawCheckerboard(lua_State* L);
int rendererDrawCanvas(lua_State* L);
int rendererDrawMask(lua_State* L);
int rendererDrawCanvasScaled(lua_State* L);
int rendererDrawCanvasTiled(lua_State* L);
