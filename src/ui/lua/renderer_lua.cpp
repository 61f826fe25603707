// The Lua binding of the renderer module: the frame of the render-target window, rendering a function
// into a new canvas, text drawing and measuring, and the text cache counters. Canvases drawn in a frame are
// kept alive (in a registry table) until the frame ends, since the frame's records point at their pixels.
#include "ui/lua/renderer_lua.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "fonts/svg_glyph_worker.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "render/canvas_bitmap.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"
#include "ui/application.h"
#include "ui/lua/canvas_lua.h"
#include "ui/lua/font_lua.h"
#include "ui/lua/render_lua_support.h"
#include "ui/lua/renderer_lua_internal.h"
#include "ui/window_registry.h"

namespace {

constexpr const char kKeepAliveKey[] = "qz.renderer.keep_alive";

// show_debug(on) -- tints every redrawn rectangle
int rendererShowDebug(lua_State* L) {
  luaL_checkany(L, 1);
  checkRenderTargetCache(L).setDebugView(lua_toboolean(L, 1));
  return 0;
}

// set_vsync(on) -- for the window's SDL renderer, now or when it is made
int rendererSetVSync(lua_State* L) {
  luaL_checktype(L, 1, LUA_TBOOLEAN);
  std::string error;
  if (!checkRenderTarget(L).setVSync(lua_toboolean(L, 1), &error)) {
    luaL_error(L, "failed to set renderer VSync: %s", error.c_str());
  }
  return 0;
}

// get_size() -> width, height of the window in pixels (of the canvas while rendering into one)
int rendererGetSize(lua_State* L) {
  int32_t width = 0, height = 0;
  checkRenderTarget(L).outputSize(&width, &height);
  lua_pushinteger(L, width);
  lua_pushinteger(L, height);
  return 2;
}

// begin_frame()
int rendererBeginFrame(lua_State* L) {
  WindowRenderer& renderer = checkRenderTarget(L);
  if (renderer.isDrawing()) luaL_error(L, "renderer frame is already active");
  renderer.beginDrawing();
  return 0;
}

// end_frame() -- replays the changed cells and presents them
int rendererEndFrame(lua_State* L) {
  WindowRenderer& renderer = checkRenderTarget(L);
  if (renderer.hasCanvasTarget()) luaL_error(L, "canvas rendering owns the current frame");
  if (!renderer.isDrawing()) luaL_error(L, "renderer frame is not active");
  guardMemory(L, "draw the frame", [&] { renderer.endDrawing(); });
  renewCanvasKeepAlive(L);
  return 0;
}

// has_pending_glyphs() -> whether SVG glyphs are still being rendered or wait to be drawn
int rendererHasPendingGlyphs(lua_State* L) {
  lua_pushboolean(L, AsyncSvgGlyphWorker::instance().hasPendingGlyphs());
  return 1;
}

std::unique_ptr<CanvasBitmap> newCanvasBitmap(lua_State* L, int32_t width, int32_t height) {
  const char* failure = nullptr;
  try {
    return std::make_unique<CanvasBitmap>(width, height);
  } catch (const std::length_error&) {
    failure = "canvas dimensions are too large";
  } catch (const std::bad_alloc&) {
    failure = "not enough memory to create canvas";
  }
  luaL_error(L, "%s", failure);
  return nullptr;
}

// The renderer of a window, when it still exists (a script may close windows while it renders).
WindowRenderer* rendererOfWindow(uint64_t id) {
  if (currentApplication() == nullptr || !currentWindowRegistry().exists(id)) return nullptr;
  return currentWindowRegistry().window(id).renderer();
}

// render_to_canvas(width, height, fn) -> Canvas holding what fn drew; fn's error is raised unchanged
// after the frame and the canvas target are closed, and a drawing that was never drawn whole (it lost
// commands, or its window closed before the frame ended) is raised too
int rendererRenderToCanvas(lua_State* L) {
  const int32_t width = checkPositiveInteger(L, 1);
  const int32_t height = checkPositiveInteger(L, 2);
  luaL_checktype(L, 3, LUA_TFUNCTION);
  WindowRenderer& renderer = checkRenderTarget(L);
  const uint64_t windowId = *currentWindowRegistry().renderTargetId();
  if (renderer.isDrawing()) luaL_error(L, "canvas rendering cannot begin inside another frame");
  std::unique_ptr<CanvasBitmap> bitmap = newCanvasBitmap(L, width, height);
  std::string error;
  if (!renderer.beginCanvasTarget(bitmap.get(), &error)) {
    luaL_error(L, "could not begin canvas rendering: %s", error.c_str());
  }
  renderer.beginDrawing();
  lua_pushvalue(L, 3);
  const int status = lua_pcall(L, 0, 0, 0);
  bool drawn = true;
  const char* discarded = nullptr;
  WindowRenderer* still = rendererOfWindow(windowId);
  if (still != nullptr) {
    discarded = still->renderCache()->discardReason();
    try {
      still->endDrawing();
    } catch (const std::bad_alloc&) {
      drawn = false;
    }
    still->endCanvasTarget();  // before the bitmap can go away
  }
  renewCanvasKeepAlive(L);
  if (status != LUA_OK) lua_error(L);
  if (!drawn) raiseOutOfMemory(L, "draw the canvas");
  // A frame that lost commands, or whose window went, was not drawn: its canvas would be blank.
  if (still == nullptr) luaL_error(L, "could not render the canvas: its window was closed while it drew");
  if (discarded != nullptr) luaL_error(L, "could not render the canvas: %s", discarded);
  return pushCanvas(L, bitmap);
}

// The Font of argument 1; every function of the module holds the Font metatable as its upvalue.
RenderFont* checkFontArgument(lua_State* L) { return checkFontWith(L, 1, lua_upvalueindex(1)); }

using TextDrawer = int32_t (RenderCache::*)(RenderFont*, const char*, int32_t, int32_t, uint32_t);
using TextMeasurer = int32_t (RenderCache::*)(RenderFont*, const char*, int32_t);

// Reads font, text, x, y [, color] and pushes the pen x after drawing the text with `draw`.
int drawTextWith(lua_State* L, TextDrawer draw) {
  RenderFont* font = checkFontArgument(L);
  const char* text = luaL_checkstring(L, 2);
  const int32_t x = checkIntegerNumber(L, 3);
  const int32_t y = checkIntegerNumber(L, 4);
  const uint32_t color = readRendererColor(L, 5);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushinteger(L, guardMemory(L, "draw text", [&] { return (cache.*draw)(font, text, x, y, color); }));
  return 1;
}

// Reads font, text [, x = 0] and pushes x plus the text's width by `measure`.
int measureTextWith(lua_State* L, TextMeasurer measure) {
  RenderFont* font = checkFontArgument(L);
  const char* text = luaL_checkstring(L, 2);
  const int32_t x = lua_isnoneornil(L, 3) ? 0 : checkIntegerNumber(L, 3);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushinteger(L, guardMemory(L, "measure text", [&] { return (cache.*measure)(font, text, x); }));
  return 1;
}

// draw_text(font, text, x, y [, color]) -> x after the text
int rendererDrawText(lua_State* L) { return drawTextWith(L, &RenderCache::drawText); }

// draw_transient_text(font, text, x, y [, color]) -> x after the text; shaped anew, not cached
int rendererDrawTransientText(lua_State* L) { return drawTextWith(L, &RenderCache::drawTransientText); }

// measure_text(font, text [, x = 0]) -> x + width
int rendererMeasureText(lua_State* L) { return measureTextWith(L, &RenderCache::textWidth); }

// measure_transient_text(font, text [, x = 0]) -> x + width, not cached
int rendererMeasureTransientText(lua_State* L) { return measureTextWith(L, &RenderCache::measureTransientText); }

// draw_glyph(font, glyph_id, x, y [, color]) -> pen x after the glyph
int rendererDrawGlyph(lua_State* L) {
  RenderFont* font = checkFontArgument(L);
  const auto glyphId = static_cast<uint32_t>(checkPositiveInteger(L, 2));
  const int32_t x = checkIntegerNumber(L, 3);
  const int32_t y = checkIntegerNumber(L, 4);
  const uint32_t color = readRendererColor(L, 5);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushinteger(L, guardMemory(L, "draw text", [&] { return cache.drawGlyph(font, glyphId, x, y, color); }));
  return 1;
}

// draw_text_cells(font, text, x, y, color, cell_width) -> x + cell width x cell count
int rendererDrawTextCells(lua_State* L) {
  RenderFont* font = checkFontArgument(L);
  const char* text = luaL_checkstring(L, 2);
  const int32_t x = checkIntegerNumber(L, 3);
  const int32_t y = checkIntegerNumber(L, 4);
  const uint32_t color = readRendererColor(L, 5);
  const int32_t cellWidth = checkPositiveInteger(L, 6);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushinteger(L,
                  guardMemory(L, "draw text", [&] { return cache.drawTextCells(font, text, x, y, color, cellWidth); }));
  return 1;
}

// get_perf_stats([reset]) -> {width_cache_hits, width_cache_misses, glyph_run_cache_hits,
//                             glyph_run_cache_misses, image_tile_bytes, image_tile_budget}; reset zeroes the
//                             four text cache counters after reading
int rendererGetPerfStats(lua_State* L) {
  WindowRenderer& renderer = checkRenderTarget(L);
  RenderCache& cache = *renderer.renderCache();
  uint64_t counters[6] = {};
  cache.perfStats(&counters[0], &counters[1], &counters[2], &counters[3]);
  counters[4] = renderer.imageTileCache()->bytesUsed();
  counters[5] = renderer.imageTileCache()->budget();
  static const char* const kKeys[] = {"width_cache_hits",       "width_cache_misses", "glyph_run_cache_hits",
                                      "glyph_run_cache_misses", "image_tile_bytes",   "image_tile_budget"};
  lua_createtable(L, 0, 6);
  for (int i = 0; i < 6; ++i) {
    lua_pushinteger(L, static_cast<lua_Integer>(counters[i]));
    lua_setfield(L, -2, kKeys[i]);
  }
  if (lua_toboolean(L, 1)) cache.resetPerfStats();
  return 1;
}

const luaL_Reg kRendererFunctions[] = {
    {"show_debug", rendererShowDebug},
    {"set_vsync", rendererSetVSync},
    {"get_size", rendererGetSize},
    {"begin_frame", rendererBeginFrame},
    {"end_frame", rendererEndFrame},
    {"has_pending_glyphs", rendererHasPendingGlyphs},
    {"render_to_canvas", rendererRenderToCanvas},
    {"set_clip_rect", rendererSetClipRect},
    {"invalidate_rect", rendererInvalidateRect},
    {"draw_rect", rendererDrawRect},
    {"draw_vertical_rules", rendererDrawVerticalRules},
    {"draw_antialiased_rect", rendererDrawAntialiasedRect},
    {"draw_line", rendererDrawLine},
    {"draw_polyline", rendererDrawPolyline},
    {"draw_checkerboard", rendererDrawCheckerboard},
    {"draw_canvas", rendererDrawCanvas},
    {"draw_mask", rendererDrawMask},
    {"draw_canvas_scaled", rendererDrawCanvasScaled},
    {"draw_canvas_tiled", rendererDrawCanvasTiled},
    {"draw_text", rendererDrawText},
    {"draw_glyph", rendererDrawGlyph},
    {"draw_text_cells", rendererDrawTextCells},
    {"draw_transient_text", rendererDrawTransientText},
    {"measure_text", rendererMeasureText},
    {"measure_transient_text", rendererMeasureTransientText},
    {"get_perf_stats", rendererGetPerfStats},
    {nullptr, nullptr},
};

}  // namespace

bool keepCanvasForFrame(lua_State* L, int index, const RenderCache& cache) {
  if (!cache.frameOpen()) return false;
  index = lua_absindex(L, index);
  if (lua_getfield(L, LUA_REGISTRYINDEX, kKeepAliveKey) == LUA_TTABLE) {
    lua_pushvalue(L, index);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);
  }
  lua_pop(L, 1);
  return true;
}

void renewCanvasKeepAlive(lua_State* L) {
  lua_newtable(L);
  lua_setfield(L, LUA_REGISTRYINDEX, kKeepAliveKey);
}

void releaseCanvasesOfEndedFrames(lua_State* L) {
  if (currentApplication() == nullptr || currentWindowRegistry().anyFrameOpen()) return;
  bool holds = false;
  if (lua_getfield(L, LUA_REGISTRYINDEX, kKeepAliveKey) == LUA_TTABLE) {
    lua_pushnil(L);
    holds = lua_next(L, -2) != 0;
    if (holds) lua_pop(L, 2);
  }
  lua_pop(L, 1);
  if (holds) renewCanvasKeepAlive(L);  // an empty table stays: an idle loop makes no garbage
}

int luaopen_renderer(lua_State* L) {
  luaL_checkversion(L);
  renewCanvasKeepAlive(L);
  lua_createtable(L, 0, 26);
  registerFontMetatable(L);
  lua_pushvalue(L, -1);
  lua_setfield(L, -3, "font");
  luaL_setfuncs(L, kRendererFunctions, 1);  // the Font metatable is every function's upvalue
  return 1;
}
